"""The Python surface: registered functions, signatures, docstrings, argument conversion,
the interpreter-version refusal, and the CUDA module where no device is present."""

import ctypes
import functools
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import orvane_pybind_cpu
from conftest import orvane_pybind
from orvane_buffers import CUDART, cuda_device_count

INT = "typing.SupportsInt"
LENGTHS = "collections.abc.Sequence[typing.SupportsInt]"

CONVERSION_ARGS = [
    ("input_signal_lengths", LENGTHS),
    ("ref_signal_length", INT),
    ("input_matrix_ptr", INT),
    ("output_matrix_ptr", INT),
]

# Registered functions in registration order: arguments and full docstrings as users see them.
EXPECTED_FUNCTIONS = {
    "convert_antidiag_to_square": (
        CONVERSION_ARGS,
        "\n"
        "              Convert anti-diagonal matrix format to standard row-major format for debugging and compatibility.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  input_matrix_ptr: uintptr_t from input_matrix.data_ptr() (anti-diagonal format)\n"
        "                  output_matrix_ptr: uintptr_t from output_matrix.data_ptr() (row-major format)\n"
        "          ",
    ),
    "convert_square_to_antidiag": (
        CONVERSION_ARGS,
        "\n"
        "              Convert standard row-major matrix format to anti-diagonal format used by CUDA kernels.\n"
        "\n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  input_matrix_ptr: uintptr_t from input_matrix.data_ptr() (row-major format)\n"
        "                  output_matrix_ptr: uintptr_t from output_matrix.data_ptr() (anti-diagonal format)\n"
        "          ",
    ),
    "extract_last_row_antidiag": (
        CONVERSION_ARGS,
        "\n"
        "              Extract R[N_k-1, :] per signal directly from the anti-diagonal layout,\n"
        "              writing to a packed (num_signals, ref_signal_length) output.\n"
        "\n"
        "              Avoids the full antidiag->square conversion and its scratch buffer\n"
        "              (which is the size of the entire concatenated matrix).\n"
        "\n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  input_matrix_ptr: uintptr_t from input_matrix.data_ptr() (anti-diagonal format)\n"
        "                  output_matrix_ptr: uintptr_t from output.data_ptr() \u2014 must hold\n"
        "                      num_signals * ref_signal_length float32 elements (row-major).\n"
        "          ",
    ),
}


def signature(name, args):
    shown = []
    for arg_name, arg_type, *default in args:
        shown.append(f"{arg_name}: {arg_type}" + (f" = {default[0]}" if default else ""))
    return f"{name}({', '.join(shown)}) -> None"


def registered_functions(mod):
    return [name for name, value in vars(mod).items()
            if not name.startswith("_") and callable(value)]


def test_module_docstrings():
    assert orvane_pybind_cpu.__doc__ == "Orvane CUDA implementation (CPU build)"
    if orvane_pybind is not None:
        assert orvane_pybind.__doc__ == "Orvane CUDA implementation"


def test_functions_are_registered_in_order(module):
    assert registered_functions(module) == list(EXPECTED_FUNCTIONS)


@pytest.mark.parametrize("name", list(EXPECTED_FUNCTIONS))
def test_signature_and_docstring(module, name):
    args, doc = EXPECTED_FUNCTIONS[name]
    assert getattr(module, name).__doc__ == f"{signature(name, args)}\n\n{doc}\n"


@pytest.mark.skipif(orvane_pybind is None, reason="CUDA module not built")
def test_both_builds_share_one_surface():
    for name in registered_functions(orvane_pybind_cpu):
        assert getattr(orvane_pybind, name).__doc__ == getattr(orvane_pybind_cpu, name).__doc__


@pytest.mark.parametrize("lengths, ref_length, address", [
    ([2], 2.0, 0),             # a whole float is still a float
    ([2], 2, 1.0),
    ([2], 2, -1),              # addresses are unsigned
    ([2], 2, 2**64),
    ([2], 2**31, 0),           # reference length is 32-bit signed
    ("12", 2, 0),              # a string is not a length list
    ([2, 3.0], 2, 0),          # nor one with a float in it
    ([2**31], 2, 0),
    (None, 2, 0),
])
def test_unconvertible_arguments_raise_type_error(module, lengths, ref_length, address):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        module.convert_square_to_antidiag(lengths, ref_length, address, 0)


@pytest.mark.parametrize("make_lengths", [
    tuple, lambda: range(0), lambda: (n for n in []), lambda: {}.keys(), list,
])
def test_empty_length_sequences_convert_and_reach_validation(module, make_lengths):
    # The extreme addresses convert too; validation stops the call before they are used.
    with pytest.raises(ValueError, match="^input_signal_lengths is empty$"):
        module.convert_square_to_antidiag(make_lengths(), 2, 2**64 - 1, np.uint64(7))


@pytest.mark.parametrize("make_lengths", [
    lambda: (3, 4), lambda: range(1, 3), lambda: (n for n in [2, 5]), lambda: [True, 2],
])
def test_length_iterables_are_accepted(module, make_lengths):
    # ref_signal_length 0 stops every call in validation, after a successful conversion.
    with pytest.raises(ValueError, match="^ref_signal_length must be positive$"):
        module.extract_last_row_antidiag(make_lengths(), 0, 0, 0)


def test_keywords_are_accepted(module):
    with pytest.raises(ValueError, match="ref_signal_length must be positive"):
        module.convert_antidiag_to_square(output_matrix_ptr=0, input_matrix_ptr=0,
                                          ref_signal_length=0, input_signal_lengths=[1])


def test_successful_call_returns_none():
    values = np.arange(6, dtype=np.float32)
    out = np.zeros(6, dtype=np.float32)
    assert orvane_pybind_cpu.convert_square_to_antidiag([2, 1], 2, values.ctypes.data,
                                                        out.ctypes.data) is None


def runs(interpreter):
    return subprocess.run([interpreter, "-c", "pass"], capture_output=True).returncode == 0


@functools.cache
def other_interpreter():
    """A Python 3.12 interpreter, from pyenv or PATH."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    candidates = [str(path) for path in sorted(root.glob("versions/3.12.*/bin/python3.12"))]
    candidates += [found for found in [shutil.which("python3.12")] if found]
    return next((candidate for candidate in candidates if runs(candidate)), None)


LOAD_EXTENSION = """
import importlib.machinery, importlib.util, sys
name, path = sys.argv[1], sys.argv[2]
loader = importlib.machinery.ExtensionFileLoader(name, path)
spec = importlib.util.spec_from_file_location(name, path, loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(error)
"""


@pytest.mark.skipif(other_interpreter() is None, reason="no Python 3.12 interpreter")
def test_other_interpreter_versions_are_refused(module):
    interpreter = other_interpreter()
    result = subprocess.run([interpreter, "-c", LOAD_EXTENSION, module.__name__, module.__file__],
                            capture_output=True, text=True, check=True)
    version = subprocess.run([interpreter, "-c", "import sys; print(sys.version)"],
                             capture_output=True, text=True, check=True).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}.")


@pytest.mark.skipif(orvane_pybind is None or cuda_device_count() > 0,
                    reason="needs the CUDA module on a machine without a usable GPU")
def test_cuda_module_without_device_reports_the_runtime_error():
    with pytest.raises(RuntimeError) as raised:
        orvane_pybind.convert_square_to_antidiag([2, 3], 4, 0, 0)
    message = str(raised.value)
    assert message.startswith("Failed to get device attributes: ")
    if CUDART is not None:
        device = ctypes.c_int()
        code = CUDART.cudaGetDevice(ctypes.byref(device))
        assert message == "Failed to get device attributes: " + \
            CUDART.cudaGetErrorString(code).decode()
    # Validation still comes first.
    with pytest.raises(ValueError, match=r"^input_signal_lengths\[1\] must be positive, got: -2$"):
        orvane_pybind.convert_square_to_antidiag([2, -2], 4, 0, 0)
