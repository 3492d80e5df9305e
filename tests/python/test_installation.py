"""Installation as users get it: the repaired wheel (scripts/build_wheel.sh) in a fresh
virtualenv on a machine without Highway and oneTBB, a development install that cannot load
those explaining itself, and an editable install that imports the sources."""

import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import orvane_cpu

ROOT = Path(__file__).resolve().parents[2]
PROBE = Path(__file__).with_name("installation_probe.py")
SYSTEM_LIBRARIES = ("libhwy.so.1", "libtbb.so.12")
# Probe results that are sums over signals or cells.
ACCUMULATED = ("with-grad", "weighted_mean", "log_std", "index_log_std", "column_sums",
               "weights")


def repaired_wheel():
    wheels = sorted((ROOT / "wheelhouse").glob("orvane-*manylinux*.whl"))
    if not wheels:
        pytest.skip("no repaired wheel: scripts/build_wheel.sh builds it, as the test command "
                    "does")
    return wheels[-1]


def linked_system_libraries():
    """The files of Highway and oneTBB that the development install links."""
    vectorised = Path(orvane_cpu.__file__).parent / "orvane_pybind_cpu.libs"
    output = subprocess.run(["ldd", str(vectorised / "liborvane_vectorised.so")], check=True,
                            capture_output=True, text=True).stdout
    paths = [line.split("=>")[1].split("(")[0].strip() for line in output.splitlines()
             if line.strip().startswith(SYSTEM_LIBRARIES)]
    assert len(paths) == 2, output
    return [os.path.realpath(path) for path in paths]


def without_system_libraries(commands):
    """Runs shell commands in a private mount namespace where Highway's and oneTBB's files
    are empty, as on a machine without them."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("hiding the system's libraries needs root and unshare")
    hide = "; ".join(f"mount --bind /dev/null {path}" for path in linked_system_libraries())
    return subprocess.run(["unshare", "--mount", "sh", "-ec", f"{hide}; {commands}"],
                          check=True, capture_output=True, text=True).stdout


def test_the_repaired_wheel_carries_what_it_needs_and_no_test_hooks(tmp_path):
    wheel = repaired_wheel()
    names = zipfile.ZipFile(wheel).namelist()
    assert any(name.startswith("orvane.libs/libhwy") for name in names)
    assert any(name.startswith("orvane.libs/libtbb") for name in names)
    assert not any("testing" in name for name in names)
    venv = tmp_path / "venv"
    installed, development = tmp_path / "installed.npz", tmp_path / "development.npz"
    without_system_libraries(
        f"{sys._base_executable} -m venv {venv}; "
        f"{venv}/bin/pip install -q --disable-pip-version-check {wheel}; "
        f"cd {tmp_path}; {venv}/bin/python {PROBE} {installed}")
    subprocess.run([sys.executable, str(PROBE), str(development)], check=True, cwd=tmp_path)
    got, want = np.load(installed), np.load(development)
    assert sorted(got.files) == sorted(want.files)
    for name in want.files:
        if name.startswith("twin-") and name.endswith(ACCUMULATED):
            # The twin adds these with float atomics, in the order its threads run.
            np.testing.assert_allclose(got[name], want[name], rtol=1e-6, atol=1e-7,
                                       err_msg=name)
        else:
            assert got[name].tobytes() == want[name].tobytes(), name


def test_a_module_without_its_libraries_says_why_and_the_others_run(tmp_path):
    state = json.loads(without_system_libraries(f"cd {tmp_path}; {sys.executable} {PROBE} "
                                                "--report"))
    assert state["backends"]["twin"] == "available"
    assert "libhwy.so.1" in state["backends"]["cpu"] or "libtbb" in state["backends"]["cpu"]
    assert state["default call"].startswith("ImportError: backend 'cpu' cannot be used: its "
                                            "module orvane_cpu did not load:")
    assert len(state["twin call"]) == 1


def test_an_editable_install_imports_the_sources(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", str(venv)], check=True)
    pip = [str(venv / "bin" / "python"), "-m", "pip", "install", "-q",
           "--disable-pip-version-check"]
    requirements = ["scikit-build-core>=0.10", "pybind11==3.0.1", "cmake>=3.25", "ninja",
                    "numpy>=2"]
    subprocess.run([*pip, *requirements], check=True)
    subprocess.run([*pip, "--no-build-isolation", "-e", str(ROOT)], check=True, cwd=tmp_path)
    found = subprocess.run(
        [str(venv / "bin" / "python"), "-c",
         "import numpy, orvane; print(orvane.__file__); "
         "print(orvane.soft_dtw([numpy.ones(3)], numpy.ones(4)))"],
        check=True, capture_output=True, text=True, cwd=tmp_path).stdout.splitlines()
    assert Path(found[0]) == ROOT / "src" / "python" / "orvane" / "__init__.py"
    assert found[1].startswith("[")


@pytest.mark.parametrize("package, debian", [("hwy", "libhwy-dev"), ("TBB", "libtbb-dev")])
def test_a_missing_library_stops_the_configure_step_naming_its_package(tmp_path, package,
                                                                       debian):
    import pybind11
    done = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path), "-DORVANE_BUILD_CUDA=OFF",
         f"-DCMAKE_DISABLE_FIND_PACKAGE_{package}=TRUE", f"-DPython_EXECUTABLE={sys.executable}",
         f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"],
        capture_output=True, text=True)
    assert done.returncode != 0
    assert f"install the Debian package {debian}" in done.stderr
