"""Anti-diagonal layout conversions, against hand-worked examples and the sorted-cell oracle."""

import numpy as np
import pytest

from orvane import cpu_cuda_testing as hooks
from layout_reference import antidiag_to_square, square_to_antidiag

SENTINEL = -7.25
GUARD = 16  # values past the end of every output that must stay untouched


def convert(backend, function, lengths, cols, values, output_size):
    source = backend.array(values)
    target = backend.full(output_size + GUARD, SENTINEL)
    assert getattr(backend.module, function)(lengths, cols, source.ptr, target.ptr) is None
    out = target.numpy()
    np.testing.assert_array_equal(out[output_size:], SENTINEL)
    return out[:output_size]


# Positions of every cell, worked out by hand for N = 3, M = 4 and N = 4, M = 3.
POSITIONS_3x4 = np.array([[0, 2, 5, 8], [1, 4, 7, 10], [3, 6, 9, 11]])
POSITIONS_4x3 = np.array([[0, 2, 5], [1, 4, 8], [3, 7, 10], [6, 9, 11]])


@pytest.mark.parametrize("positions", [POSITIONS_3x4, POSITIONS_4x3], ids=["3x4", "4x3"])
def test_worked_examples(backend, positions):
    rows, cols = positions.shape
    square = np.arange(rows * cols, dtype=np.float32) + 100
    antidiag = convert(backend, "convert_square_to_antidiag", [rows], cols, square, rows * cols)
    for i in range(rows):
        for j in range(cols):
            assert antidiag[positions[i, j]] == square[i * cols + j]


def test_cell_of_second_signal_lands_at_its_worked_position(backend):
    # Lengths [3, 4], M = 4: cell (2, 1) of signal 1 is at 12 + 6 + 1 = 19.
    square = np.zeros(28, dtype=np.float32)
    square[12 + 2 * 4 + 1] = 5.0
    antidiag = convert(backend, "convert_square_to_antidiag", [3, 4], 4, square, 28)
    assert np.flatnonzero(antidiag).tolist() == [19]


def test_equal_sides_give_growing_then_shrinking_diagonals(backend):
    m = 5
    # Each cell holds its diagonal number, so the stored sequence shows the diagonal lengths.
    square = np.add.outer(np.arange(m), np.arange(m)).astype(np.float32).ravel()
    antidiag = convert(backend, "convert_square_to_antidiag", [m], m, square, m * m)
    _, counts = np.unique(antidiag, return_counts=True)
    assert counts.tolist() == [1, 2, 3, 4, 5, 4, 3, 2, 1]
    assert np.all(np.diff(antidiag) >= 0)


@pytest.mark.parametrize("lengths, cols", [([1, 1, 1], 7), ([5, 2, 9], 1), ([1], 1)])
def test_single_row_or_column_layouts_coincide_with_row_major(backend, lengths, cols):
    total = sum(lengths) * cols
    square = np.random.default_rng(0).standard_normal(total).astype(np.float32)
    antidiag = convert(backend, "convert_square_to_antidiag", lengths, cols, square, total)
    np.testing.assert_array_equal(antidiag, square)
    back = convert(backend, "convert_antidiag_to_square", lengths, cols, square, total)
    np.testing.assert_array_equal(back, square)


@pytest.mark.parametrize("lengths, cols", [
    ([3, 4], 4),
    ([1, 7, 3, 12, 5, 5], 5),
    ([40, 1, 17, 64], 33),
    ([2, 3], 1024),
])
def test_conversions_match_the_oracle_and_round_trip(backend, lengths, cols):
    total = sum(lengths) * cols
    square = np.random.default_rng(len(lengths)).standard_normal(total).astype(np.float32)
    # NaN payloads and signed zeros must be copied bit for bit.
    square[::7] = -0.0
    square[3::11] = np.float32("nan")
    antidiag = convert(backend, "convert_square_to_antidiag", lengths, cols, square, total)
    expected = square_to_antidiag(square, lengths, cols)
    assert antidiag.tobytes() == expected.tobytes()
    back = convert(backend, "convert_antidiag_to_square", lengths, cols, antidiag, total)
    assert back.tobytes() == square.tobytes()
    assert antidiag_to_square(expected, lengths, cols).tobytes() == square.tobytes()


def test_extract_last_row(backend):
    lengths, cols = [3, 4, 1], 4
    total = sum(lengths) * cols
    square = np.arange(total, dtype=np.float32)
    antidiag = square_to_antidiag(square, lengths, cols)
    out = convert(backend, "extract_last_row_antidiag", lengths, cols, antidiag, len(lengths) * cols)
    expected = [square[8:12], square[12 + 12:12 + 16], square[28:32]]
    np.testing.assert_array_equal(out, np.concatenate(expected))


def test_conversion_results_do_not_depend_on_thread_order(backend):
    if backend.name != "twin":
        pytest.skip("thread order is a hook of the CPU twin")
    lengths, cols = [6, 2, 9], 8
    total = sum(lengths) * cols
    square = np.random.default_rng(3).standard_normal(total).astype(np.float32)
    baseline = convert(backend, "convert_square_to_antidiag", lengths, cols, square, total)
    hooks.set_thread_order(hooks.ThreadOrder.shuffled, 11)
    shuffled = convert(backend, "convert_square_to_antidiag", lengths, cols, square, total)
    np.testing.assert_array_equal(shuffled, baseline)
