"""The probes of benchmarks/wavefront_probes.cpp, the yardsticks benchmarks/shapes.py times
orvane_cpu against, compute the step they are timed for: their scores and expected alignments
E equal orvane_cpu's float32 path to float32 rounding, and the float64 reference to float32
accuracy, on batches with lengths off the vector width, N != M, one column, and distances of
+inf (no path runs through them)."""

import importlib
import shutil
import subprocess
from pathlib import Path

import numpy as np
import orvane_cpu
import pytest

from layout_reference import antidiag_to_square, matrix_offsets, square_to_antidiag
from softdtw_reference import by_diagonals

BENCHMARKS = Path(__file__).parents[2] / "benchmarks"
GAMMA = 1.0
# The probes take orvane_cpu's float32 steps with the same Exp and Log (Highway's); where an
# instruction set's Exp or Log parted by an ulp, the parting would grow a little along a path.
SAME_STEPS = dict(rtol=1e-5, atol=1e-6)
# float32 against float64 on matrices of up to a few thousand cells.
FLOAT64 = dict(rtol=1e-4, atol=3e-5)


def _why_not_buildable():
    if shutil.which("g++") is None:
        return "g++ not found"
    headers = "#include <hwy/highway.h>\n#include <hwy/contrib/math/math-inl.h>\n"
    found = subprocess.run(["g++", "-x", "c++", "-E", "-o", "/dev/null", "-"], input=headers,
                           text=True, capture_output=True)
    if found.returncode != 0:
        return "Highway's headers not found (Debian: libhwy-dev)"
    return None


@pytest.fixture(scope="module")
def probes():
    """The probes' module and its compiled library."""
    reason = _why_not_buildable()
    if reason is not None:
        pytest.skip(f"the probes cannot be built: {reason}")
    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(BENCHMARKS))  # the loader builds with scalar_wavefront's
        module = importlib.import_module("wavefront_probes")
    return module, module.library()


def outside_a_band(i, j, rows, cols):
    return np.abs(i / (rows - 1) - j / (cols - 1)) > 0.2


def a_wall_with_a_gap(i, j, rows, cols):
    """A column of +inf but for one cell: the cells beyond it above the gap have a finite
    distance and no finite predecessor."""
    return (j == cols // 2) & (i != rows // 2)


def distances(lengths, cols, seed, infinite=None):
    """The batch's D in the anti-diagonal layout, from orvane_cpu; +inf where
    infinite(i, j, N, M) holds."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(sum(lengths)).astype(np.float32)
    y = rng.standard_normal(cols).astype(np.float32)
    distance = np.empty(sum(lengths) * cols, np.float32)
    orvane_cpu.calc_manhattan_distance(x.ctypes.data, lengths, y.ctypes.data, cols,
                                       distance.ctypes.data)
    if infinite is None:
        return distance
    square = antidiag_to_square(distance, lengths, cols)
    for offset, rows in zip(matrix_offsets(lengths, cols), lengths):
        i, j = np.divmod(np.arange(rows * cols), cols)
        square[offset:offset + rows * cols][infinite(i, j, rows, cols)] = np.inf
    return square_to_antidiag(square, lengths, cols)


def orvane_step(distance, lengths, cols):
    """(scores, E) of orvane_cpu's float32 path."""
    score, gradient = np.empty_like(distance), np.empty_like(distance)
    scores = np.empty(len(lengths), np.float32)
    orvane_cpu.calc_softdtw_forward(lengths, cols, distance.ctypes.data, score.ctypes.data,
                                    scores.ctypes.data, GAMMA)
    orvane_cpu.calc_softdtw_backward(lengths, cols, distance.ctypes.data, score.ctypes.data,
                                     gradient.ctypes.data, GAMMA)
    return scores, gradient


def float64_step(distance, lengths, cols):
    """(scores, E in the anti-diagonal layout) of the float64 reference."""
    square = antidiag_to_square(distance.astype(np.float64), lengths, cols)
    scores, gradients = [], []
    for offset, rows in zip(matrix_offsets(lengths, cols), lengths):
        cost = square[offset:offset + rows * cols].reshape(rows, cols)
        with np.errstate(divide="ignore"):  # log(0): a cell no finite path reaches
            _, total, gradient = by_diagonals(cost, GAMMA)
        scores.append(total)
        gradients.append(gradient.ravel())
    return np.array(scores), square_to_antidiag(np.concatenate(gradients), lengths, cols)


def assert_computes_the_step(probe, distance, lengths, cols):
    probe.forward()
    probe.backward()
    scores, gradient = probe.signal_scores(), probe.signal_gradients()
    assert np.all(np.isfinite(scores)) and np.all(np.isfinite(gradient))
    orvane_scores, orvane_gradient = orvane_step(distance, lengths, cols)
    np.testing.assert_allclose(scores, orvane_scores, **SAME_STEPS)
    np.testing.assert_allclose(gradient, orvane_gradient, **SAME_STEPS)
    reference_scores, reference_gradient = float64_step(distance, lengths, cols)
    np.testing.assert_allclose(scores, reference_scores, **FLOAT64)
    np.testing.assert_allclose(gradient, reference_gradient, **FLOAT64)


@pytest.mark.parametrize("lengths, cols", [
    ([1, 3, 8, 13, 37], 21),
    ([5, 40], 1),
    ([17, 64], 64),
    ([100, 9], 77),
], ids=["short", "one-column", "full-vectors", "long"])
def test_along_the_diagonal_computes_the_step(probes, lengths, cols):
    module, built = probes
    distance = distances(lengths, cols, seed=cols)
    probe = module.AlongDiagonal(built, distance, lengths, cols, GAMMA, threads=2)
    assert_computes_the_step(probe, distance, lengths, cols)


@pytest.mark.parametrize("count, rows, cols", [
    (11, 13, 29),
    (8, 16, 16),
    (3, 30, 7),
], ids=["partial-group", "one-group", "empty-lanes"])
def test_signals_side_by_side_compute_the_step(probes, count, rows, cols):
    module, built = probes
    lengths = [rows] * count
    distance = distances(lengths, cols, seed=count)
    probe = module.SideBySide(built, distance, lengths, cols, GAMMA, threads=2)
    assert_computes_the_step(probe, distance, lengths, cols)


@pytest.mark.parametrize("infinite", [outside_a_band, a_wall_with_a_gap])
@pytest.mark.parametrize("kind", ["AlongDiagonal", "SideBySide"])
def test_no_path_runs_through_an_infinite_distance(probes, kind, infinite):
    module, built = probes
    lengths, cols = [23] * 9, 31
    distance = distances(lengths, cols, seed=5, infinite=infinite)
    probe = getattr(module, kind)(built, distance, lengths, cols, GAMMA, threads=2)
    assert_computes_the_step(probe, distance, lengths, cols)
    assert np.all(probe.signal_gradients()[np.isinf(distance)] == 0)


def test_signals_side_by_side_take_one_length(probes):
    module, built = probes
    lengths = [4, 5]
    with pytest.raises(ValueError, match="one length"):
        module.SideBySide(built, distances(lengths, 6, seed=0), lengths, 6)
