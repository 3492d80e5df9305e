"""The machine code inside the built CUDA module, read with cuobjdump.

A device-linked module carries no PTX that a newer driver could compile, so it must hold a
cubin for every default architecture. Every kernel must launch with the largest block it is
launched with on each of them, 1024 threads (512 for the float64 passes): at most 64 (128)
registers per thread and nothing spilled to local memory."""

import importlib.util
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
REGISTERS_PER_BLOCK = 65536
KERNEL_COUNT = 72
# Compute capabilities users run today: Turing to Blackwell, data-centre and desktop.
REQUIRED_ARCHITECTURES = {75, 80, 86, 89, 90, 100, 120}


def find_cuobjdump():
    if found := shutil.which("cuobjdump"):
        return found
    if (spec := importlib.util.find_spec("nvidia")) is not None:
        for root in spec.submodule_search_locations:
            for candidate in sorted(Path(root).glob("*/bin/cuobjdump")):
                return str(candidate)
    return None


def cuda_module_path():
    spec = importlib.util.find_spec("orvane_pybind")
    return spec.origin if spec is not None else None


CUOBJDUMP = find_cuobjdump()
MODULE = cuda_module_path()
pytestmark = [pytest.mark.skipif(MODULE is None, reason="the CUDA module was not built"),
              pytest.mark.skipif(CUOBJDUMP is None, reason="cuobjdump not found")]


def default_architectures():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    listed = re.search(r"set\(ORVANE_DEFAULT_CUDA_ARCHITECTURES([^)]*)\)", cmake).group(1).split()
    return {int(entry.split("-")[0]) for entry in listed}


def cuobjdump(*options):
    return subprocess.run([CUOBJDUMP, *options, MODULE], capture_output=True, text=True,
                          check=True).stdout


def resource_usage():
    """(architecture, function, registers, local bytes, stack bytes) of every cubin."""
    found, arch = [], None
    function = None
    for line in cuobjdump("--dump-resource-usage").splitlines():
        if match := re.match(r"\s*arch = sm_(\d+)", line):
            arch = int(match.group(1))
        elif match := re.match(r"\s*Function ([\w$]+):", line):
            function = match.group(1)
        elif function and (match := re.search(r"REG:(\d+) STACK:(\d+) SHARED:\d+ LOCAL:(\d+)",
                                              line)):
            found.append((arch, function, int(match.group(1)), int(match.group(3)),
                          int(match.group(2))))
            function = None
    return found


def test_default_architectures_cover_current_gpus():
    assert REQUIRED_ARCHITECTURES <= default_architectures()


def test_module_holds_machine_code_for_every_default_architecture():
    embedded = {int(a) for a in re.findall(r"\.sm_(\d+)\.cubin", cuobjdump("--list-elf"))}
    assert default_architectures() <= embedded


def largest_block(function):
    """The threads of the largest block a kernel is launched with: the float64 passes, whose
    library exponential and logarithm need more registers, launch at most 512; the float32
    backward sweep of the gradients without matrices at most 768."""
    if "Float64Path" in function:
        return 512
    return 768 if "softdtw_gradients_kernel" in function and "Float32Path" in function else 1024


def test_kernels_fit_their_largest_block_on_every_architecture():
    usage = resource_usage()
    kernels = [entry for entry in usage if "_kernel" in entry[1]]
    assert len(kernels) == KERNEL_COUNT * len(default_architectures())
    for arch, function, registers, local, stack in kernels:
        assert registers <= REGISTERS_PER_BLOCK // largest_block(function), (arch, function,
                                                                             registers)
        assert local == 0 and stack == 0, (arch, function, local, stack)
