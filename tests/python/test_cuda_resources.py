"""Every kernel of the CUDA build must launch with 1024 threads per block on every
architecture it targets: ptxas's resource report may show at most 64 registers per thread and
no spills to local memory."""

import re
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
KERNELS = sorted((ROOT / "src" / "kernels").glob("*.cu"))
MAX_REGISTERS = 65536 // 1024
# The flags the CUDA build compiles kernels with (see CMakeLists.txt).
NVCC_FLAGS = ["-std=c++17", "-rdc=true", "-fmad=false", "-ftz=false", "-prec-div=true",
              "-prec-sqrt=true", "-Xptxas", "-v", f"-I{ROOT / 'src'}"]

pytestmark = pytest.mark.skipif(shutil.which("nvcc") is None, reason="nvcc not found")


def default_architectures():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    listed = re.search(r"set\(CMAKE_CUDA_ARCHITECTURES ([^)]*)\)", cmake).group(1).split()
    return sorted({int(entry.split("-")[0]) for entry in listed})


def resource_report(source):
    gencode = [f"-gencode=arch=compute_{a},code=sm_{a}" for a in default_architectures()]
    result = subprocess.run(["nvcc", *NVCC_FLAGS, *gencode, "-c", str(source), "-o", "/dev/null"],
                            capture_output=True, text=True, check=True)
    return result.stdout + result.stderr


def parse_kernels(report):
    """(architecture, kernel, registers, spill bytes) for every entry function compiled."""
    found = []
    current = None
    for line in report.splitlines():
        if match := re.search(r"Compiling entry function '(\w+)' for 'sm_(\d+)'", line):
            current = {"kernel": match.group(1), "arch": int(match.group(2)), "spills": 0}
        elif current and (match := re.search(r"(\d+) bytes spill stores, (\d+) bytes spill loads",
                                             line)):
            current["spills"] = int(match.group(1)) + int(match.group(2))
        elif current and (match := re.search(r"Used (\d+) registers", line)):
            current["registers"] = int(match.group(1))
            found.append(current)
            current = None
    return found


@pytest.fixture(scope="module")
def reports():
    with ThreadPoolExecutor(max_workers=2) as pool:
        return dict(zip(KERNELS, pool.map(resource_report, KERNELS)))


@pytest.mark.parametrize("source", KERNELS, ids=[k.stem for k in KERNELS])
def test_kernels_fit_1024_threads_per_block(reports, source):
    kernels = parse_kernels(reports[source])
    assert {k["arch"] for k in kernels} == set(default_architectures())
    assert kernels, "no kernel found in the report"
    for kernel in kernels:
        assert kernel["registers"] <= MAX_REGISTERS, kernel
        assert kernel["spills"] == 0, kernel
