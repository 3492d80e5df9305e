"""The Python surface: registered functions, signatures, docstrings, argument conversion,
the interpreter-version refusal, and the CUDA module where no device is present."""

import ctypes
import functools
import importlib
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import orvane_cpu
import orvane_pybind_cpu
from conftest import orvane_pybind
from orvane.buffers import CUDART, cuda_device_count

INT = "typing.SupportsInt"
FLOAT = "typing.SupportsFloat"
BOOL = "bool"
LENGTHS = "collections.abc.Sequence[typing.SupportsInt]"

CONVERSION_ARGS = [
    ("input_signal_lengths", LENGTHS),
    ("ref_signal_length", INT),
    ("input_matrix_ptr", INT),
    ("output_matrix_ptr", INT),
]

# Registered functions in registration order: arguments and full docstrings as users see them.
EXPECTED_FUNCTIONS = {
    "calc_manhattan_distance": (
        [("input_signal_ptr", INT), ("input_signal_lengths", LENGTHS), ("ref_signal_ptr", INT),
         ("ref_signal_length", INT), ("distance_matrix_ptr", INT)],
        "\n"
        "              Calculate Manhattan distance between input signals and reference signal.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_ptrs: uintptr_t from input_signals.data_ptr()\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_ptr: uintptr_t from ref_signal.data_ptr()\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  distance_matrix_ptrs: uintptr_t from distance_matrices.data_ptr()\n"
        "          ",
    ),
    "calc_manhattan_distance_gradient": (
        [("input_signal_ptr", INT), ("input_signal_lengths", LENGTHS), ("ref_signal_ptr", INT),
         ("ref_signal_length", INT), ("gradient_matrix_ptr", INT), ("input_gradients_ptr", INT),
         ("ref_gradients_ptr", INT)],
        "\n"
        "              Calculate gradient of Manhattan distance between input signals and reference signal.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_ptr: uintptr_t from input_signals.data_ptr()\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_ptr: uintptr_t from ref_signal.data_ptr()\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  gradient_matrix_ptr: uintptr_t from distance_matrices.data_ptr()\n"
        "                  input_gradients_ptr: uintptr_t from input_signal_gradients.data_ptr()\n"
        "                  ref_gradients_ptr: uintptr_t from ref_signal_gradients.data_ptr()\n"
        "\n"
        "          ",
    ),
    "calc_softdtw_forward": (
        [("input_signal_lengths", LENGTHS), ("ref_signal_length", INT),
         ("distance_matrix_ptr", INT), ("score_matrix_ptr", INT), ("scores_ptr", INT),
         ("gamma", FLOAT), ("alpha_ptr", INT, "0"), ("local_end", BOOL, "False"),
         ("last_row_only", BOOL, "False"), ("ref_gap_penalty", FLOAT, "0.0")],
        "\n"
        "              Calculate SoftDTW forward pass by outputting score matrix and its final scores.\n"
        "\n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  distance_matrix_ptr: uintptr_t from distance_matrices.data_ptr()\n"
        "                  score_matrix_ptr: uintptr_t from score_matrices.data_ptr()\n"
        "                  scores_ptr: uintptr_t from scores.data_ptr()\n"
        "                  gamma: SoftDTW parameter (default is 1.0)\n"
        "                  alpha_ptr: uintptr_t from per-signal alpha tensor data_ptr(),\n"
        "                      or 0 to skip the per-cell bias shift (default 0).\n"
        "                  local_end: if True, the final score is a soft-min over the last\n"
        "                      row union last column of the score matrix (one-sided local\n"
        "                      alignment with anchored start). Default False.\n"
        "                  last_row_only: only meaningful when local_end is True. If True,\n"
        "                      the terminal set is the last row only (query fully consumed,\n"
        "                      reference end free) instead of last row union last column.\n"
        "                      Default False.\n"
        "                  ref_gap_penalty: per-reference-column advance penalty g added to\n"
        "                      each terminal as g*j, so covering reference column j costs\n"
        "                      g*j. Used to control where the alignment ends. Default 0.\n"
        "          ",
    ),
    "calc_softdtw_backward": (
        [("input_signal_lengths", LENGTHS), ("ref_signal_length", INT),
         ("distance_matrix_ptr", INT), ("score_matrix_ptr", INT), ("gradient_matrix_prt", INT),
         ("gamma", FLOAT), ("alpha_ptr", INT, "0"), ("local_end", BOOL, "False"),
         ("scores_ptr", INT, "0"), ("last_row_only", BOOL, "False"),
         ("ref_gap_penalty", FLOAT, "0.0")],
        "\n"
        "              Calculate SoftDTW backward pass by outputting gradients for input signals and reference signal.\n"
        "\n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  distance_matrix_ptr: uintptr_t from distance_matrices.data_ptr()\n"
        "                  score_matrix_ptr: uintptr_t from score_matrices.data_ptr()\n"
        "                  gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr()\n"
        "                  gamma: SoftDTW parameter (default is 1.0)\n"
        "                  alpha_ptr: uintptr_t from per-signal alpha tensor data_ptr(),\n"
        "                      or 0 to skip the per-cell bias shift (default 0).\n"
        "                  local_end: if True, applies one-sided local-alignment boundary.\n"
        "                      Default False.\n"
        "                  scores_ptr: required when local_end is True; pointer to the\n"
        "                      per-signal final scores produced by calc_softdtw_forward.\n"
        "                  last_row_only: must match the value used in the forward pass.\n"
        "                      Default False.\n"
        "                  ref_gap_penalty: must match the value used in the forward pass.\n"
        "                      Default 0.\n"
        "          ",
    ),
    "normalize_matrix": (
        [("input_signal_lengths", LENGTHS), ("ref_signal_length", INT),
         ("gradient_matrix_ptr", INT), ("ref_total_grads_ptr", INT)],
        "\n"
        "              Normalize the gradient matrix by dividing each element by the sum of gradients for each reference position.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr()\n"
        "                  ref_total_grads_ptr: uintptr_t from ref_total_grads.data_ptr() (temporary storage)\n"
        "          ",
    ),
    "calc_weighted_means": (
        [("input_signal_ptr", INT), ("input_signal_lengths", LENGTHS), ("ref_signal_length", INT),
         ("gradient_matrix_ptr", INT), ("weighted_means_ptr", INT)],
        "\n"
        "              Calculate weighted means of input signals using the normalized gradient matrix as weights.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_ptr: uintptr_t from input_signals.data_ptr()\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr() (normalized)\n"
        "                  weighted_means_ptr: uintptr_t from weighted_means.data_ptr()\n"
        "          ",
    ),
    "calc_weighted_std": (
        [("input_signal_ptr", INT), ("input_signal_lengths", LENGTHS), ("ref_signal_length", INT),
         ("gradient_matrix_ptr", INT), ("weighted_means_ptr", INT),
         ("weighted_std_log_ptr", INT)],
        "\n"
        "              Calculate weighted standard deviation (in log scale) of input signals using the normalized gradient matrix as weights.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_ptr: uintptr_t from input_signals.data_ptr()\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr() (normalized)\n"
        "                  weighted_means_ptr: uintptr_t from weighted_means.data_ptr() (precomputed)\n"
        "                  weighted_std_log_ptr: uintptr_t from weighted_std_log.data_ptr()\n"
        "          ",
    ),
    "calc_weighted_index_std": (
        [("input_signal_lengths", LENGTHS), ("ref_signal_length", INT),
         ("gradient_matrix_ptr", INT), ("weighted_index_std_log_ptr", INT)],
        "\n"
        "              Calculate weighted standard deviation (in log scale) of index positions using the normalized gradient matrix as weights.\n"
        "              \n"
        "              Args:\n"
        "                  input_signal_lengths: List of signal lengths\n"
        "                  ref_signal_length: Length of reference signal\n"
        "                  gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr() (normalized)\n"
        "                  weighted_index_std_log_ptr: uintptr_t from weighted_index_std_log.data_ptr()\n"
        "          ",
    ),
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
    assert orvane_cpu.__doc__ == "Orvane vectorised CPU implementation"
    if orvane_pybind is not None:
        assert orvane_pybind.__doc__ == "Orvane CUDA implementation"


def test_functions_are_registered_in_order(module):
    # Every module has the passes of pairs, then the CUDA module and the twin the
    # cell-parallel operations of pairs, each with its float64 version, the scores and
    # gradients without matrices (against one reference and of pairs) and their limits of M,
    # and the vectorised module worker threads to set, scores and gradients without matrices
    # (against one reference and of pairs) with the checkpoints' size, distances of several
    # channels and costs, and last the float64 version of every operation but the last row's
    # extraction and the passes' mixed versions, in the order of the eleven.
    versions = [f"{name}{suffix}" for name in list(EXPECTED_FUNCTIONS)[:-1]
                for suffix in ("_float64", "_mixed")
                if suffix == "_float64" or name.startswith("calc_softdtw")]
    scores = [f"calc_softdtw_{what}{suffix}"
              for what in ("scores", "gradients", "pair_scores", "pair_gradients")
              for suffix in ("", "_float64", "_mixed")]
    costs = [f"calc_distance{what}{suffix}" for what in ("", "_gradient")
             for suffix in ("", "_float64")]
    pairs = [f"calc_softdtw_pair_{what}{suffix}" for what in ("forward", "backward")
             for suffix in ("", "_mixed", "_float64")]
    pair_operations = [f"{name}{suffix}" for name in (
        "calc_manhattan_pair_distance", "calc_manhattan_pair_distance_gradient",
        "convert_pair_antidiag_to_square", "convert_pair_square_to_antidiag",
        "normalize_pair_matrix", "calc_pair_weighted_means", "calc_pair_weighted_std",
        "calc_pair_weighted_index_std") for suffix in ("", "_float64")]
    added = (["set_num_threads", *scores, *costs, "gradient_checkpoint_cells"]
             if module is orvane_cpu
             else [*pair_operations, *scores, "scores_max_ref_length",
                   "gradients_max_ref_length"])
    assert registered_functions(module) == list(EXPECTED_FUNCTIONS) + pairs + added + versions


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
    ([np.float32(2.9)], 2, 0),  # an integer is an int or has __index__: nothing is truncated
    ([2], np.float32(2.9), 0),
    ([2], np.float16(2.0), 0),
    ([2], 2, np.float32(1.0)),
    ({2, 3}, 2, 0),            # a set has no order to read the lengths in
    (frozenset([2]), 2, 0),
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
    lambda: np.array([3, 4]), lambda: [np.int32(3), np.uint8(4)], lambda: {3: 0, 4: 0}.keys(),
])
def test_length_iterables_are_accepted(module, make_lengths):
    # ref_signal_length 0 stops every call in validation, after a successful conversion.
    with pytest.raises(ValueError, match="^ref_signal_length must be positive$"):
        module.extract_last_row_antidiag(make_lengths(), 0, 0, 0)


def test_keywords_are_accepted(module):
    with pytest.raises(ValueError, match="ref_signal_length must be positive"):
        module.convert_antidiag_to_square(output_matrix_ptr=0, input_matrix_ptr=0,
                                          ref_signal_length=0, input_signal_lengths=[1])


def test_gamma_is_required(module):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        module.calc_softdtw_forward([2], 2, 0, 0, 0)


def test_backward_gradient_keyword_is_spelled_prt(module):
    arguments = dict(input_signal_lengths=[2], ref_signal_length=0, distance_matrix_ptr=0,
                     score_matrix_ptr=0, gamma=1.0)
    with pytest.raises(ValueError, match="ref_signal_length must be positive"):
        module.calc_softdtw_backward(gradient_matrix_prt=0, **arguments)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        module.calc_softdtw_backward(gradient_matrix_ptr=0, **arguments)


@pytest.mark.parametrize("local_end, expect_scores_error", [
    (None, False), (0, False), (np.bool_(False), False), (1, True), (True, True),
    (np.bool_(True), True), (2.5, True),
])
def test_local_end_flag_conversion(local_end, expect_scores_error):
    # Without scores_ptr (default 0), a true local_end is refused before anything runs, so
    # the addresses are never used; a false one would run, so use real buffers.
    values = np.ones(4, dtype=np.float32)
    out = np.zeros(4, dtype=np.float32)
    address = values.ctypes.data
    call = lambda: orvane_pybind_cpu.calc_softdtw_backward(
        [2], 2, address, address, out.ctypes.data, 1.0, local_end=local_end)
    if expect_scores_error:
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == \
            "calc_softdtw_backward: scores_ptr is required when local_end is true"
    else:
        assert call() is None


@pytest.mark.parametrize("flag", ["yes", [1]])
def test_flags_without_a_truth_number_are_refused(module, flag):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        module.calc_softdtw_forward([2], 2, 0, 0, 0, 1.0, 0, flag)


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


STUBS = Path(__file__).resolve().parents[2] / "src" / "python"
SOURCES = Path(__file__).resolve().parents[2] / "src"
STUB_FILES = {"orvane_pybind": STUBS / "stubs" / "orvane_pybind-stubs" / "__init__.pyi",
              "orvane_pybind_cpu": STUBS / "stubs" / "orvane_pybind_cpu-stubs" / "__init__.pyi",
              "orvane_cpu": STUBS / "stubs" / "orvane_cpu-stubs" / "__init__.pyi",
              "orvane.vectorised_testing":
                  SOURCES / "vectorised" / "python" / "vectorised_testing.pyi",
              "orvane.cpu_cuda_testing": SOURCES / "cpu_cuda" / "python" / "cpu_cuda_testing.pyi"}


def stub_signatures(path):
    """name -> the signature line pybind11 would write for every function of a stub."""
    import ast
    signatures = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.ImportFrom) and node.names[0].name == "*":
            signatures.update(stub_signatures(STUB_FILES[node.module]))
        if isinstance(node, ast.FunctionDef):
            arguments = node.args.args
            defaults = [None] * (len(arguments) - len(node.args.defaults)) + node.args.defaults
            shown = [f"{a.arg}: {ast.unparse(a.annotation)}"
                     + ("" if d is None else f" = {ast.unparse(d)}")
                     for a, d in zip(arguments, defaults)]
            signatures[node.name] = (f"{node.name}({', '.join(shown)}) -> "
                                     f"{ast.unparse(node.returns)}")
    return signatures


@pytest.mark.parametrize("name", STUB_FILES)
def test_type_stubs_match_the_runtime_signatures(name):
    module = orvane_pybind if name == "orvane_pybind" else importlib.import_module(name)
    if module is None:
        pytest.skip("the CUDA module was not built")
    runtime = {attribute: getattr(module, attribute).__doc__.splitlines()[0]
                          .replace(f"{name}.", "")
               for attribute in dir(module)
               if not attribute.startswith("_") and callable(getattr(module, attribute))
               and not isinstance(getattr(module, attribute), type)}
    assert stub_signatures(STUB_FILES[name]) == runtime
