"""Signals longer than a GPU grid is tall (65,535 blocks): the cell-parallel kernels step
through the rows or diagonals past the grid's height. One signal just under the limit,
one exactly at it and one far past it, each batched with a short one."""

import numpy as np
import pytest

from layout_reference import antidiag_to_square, square_to_antidiag

GRID_ROWS = 65535
M = 4


def lengths_around_the_grid_height(extent):
    """Signal lengths whose row (or diagonal) count is one under, at and far past the limit."""
    return {"under": GRID_ROWS - 1 - extent, "at": GRID_ROWS - extent, "past": 200_000}


@pytest.fixture(scope="module")
def reference():
    return np.random.default_rng(5).standard_normal(M).astype(np.float32)


def signals_of(length):
    rng = np.random.default_rng(length)
    return [rng.standard_normal(length).astype(np.float32),
            rng.standard_normal(3).astype(np.float32)]


@pytest.mark.parametrize("length", lengths_around_the_grid_height(M - 1).values(),
                         ids=lengths_around_the_grid_height(M - 1).keys())
def test_distance_and_its_gradient_cover_every_diagonal(backend, reference, length):
    signals = signals_of(length)
    lengths = [len(s) for s in signals]
    x = np.concatenate(signals)
    exact = np.abs(x.astype(np.float64)[:, None] - reference.astype(np.float64)[None, :])
    expected = square_to_antidiag(exact.astype(np.float32).ravel(), lengths, M)

    xs, ys = backend.array(x), backend.array(reference)
    distance = backend.full(expected.size, np.nan)
    backend.module.calc_manhattan_distance(xs.ptr, lengths, ys.ptr, M, distance.ptr)
    np.testing.assert_array_equal(distance.numpy(), expected)

    # Gradient matrix of ones: every cell adds the sign of its difference, exactly.
    ones = backend.full(expected.size, 1.0)
    dx, dy = backend.full(x.size, 0.0), backend.full(M, 0.0)
    backend.module.calc_manhattan_distance_gradient(xs.ptr, lengths, ys.ptr, M, ones.ptr,
                                                    dx.ptr, dy.ptr)
    sign = np.sign(x[:, None] - reference[None, :])
    np.testing.assert_array_equal(dx.numpy(), sign.sum(axis=1))
    np.testing.assert_array_equal(dy.numpy(), -sign.sum(axis=0))


@pytest.mark.parametrize("length", lengths_around_the_grid_height(0).values(),
                         ids=lengths_around_the_grid_height(0).keys())
def test_conversions_round_trip_every_row(backend, length):
    lengths = [length, 3]
    square = np.random.default_rng(1).standard_normal(sum(lengths) * M).astype(np.float32)
    source, antidiag = backend.array(square), backend.full(square.size, np.nan)
    backend.module.convert_square_to_antidiag(lengths, M, source.ptr, antidiag.ptr)
    np.testing.assert_array_equal(antidiag.numpy(), square_to_antidiag(square, lengths, M))
    back = backend.full(square.size, np.nan)
    backend.module.convert_antidiag_to_square(lengths, M, antidiag.ptr, back.ptr)
    np.testing.assert_array_equal(back.numpy(), square)


@pytest.mark.parametrize("length", lengths_around_the_grid_height(0).values(),
                         ids=lengths_around_the_grid_height(0).keys())
def test_statistics_see_the_rows_past_the_grid_height(backend, length):
    # All the weight of the long signal on its last row, of the short one on its row 1.
    lengths = [length, 3]
    samples = np.random.default_rng(2).standard_normal(sum(lengths)).astype(np.float32)
    square = np.zeros(sum(lengths) * M, np.float32)
    square[(length - 1) * M:length * M] = 2.0
    square[(length + 1) * M:(length + 2) * M] = 4.0
    weights = backend.array(square_to_antidiag(square, lengths, M))
    sums, means = backend.full(2 * M, 0.0), backend.full(2 * M, 0.0)
    std, index_std = backend.full(2 * M, 7.0), backend.full(2 * M, 7.0)
    xs = backend.array(samples)
    module = backend.module
    module.normalize_matrix(lengths, M, weights.ptr, sums.ptr)
    module.calc_weighted_means(xs.ptr, lengths, M, weights.ptr, means.ptr)
    module.calc_weighted_std(xs.ptr, lengths, M, weights.ptr, means.ptr, std.ptr)
    module.calc_weighted_index_std(lengths, M, weights.ptr, index_std.ptr)

    np.testing.assert_array_equal(sums.numpy(), np.repeat([2.0, 4.0], M))
    normalised = antidiag_to_square(weights.numpy(), lengths, M)
    np.testing.assert_array_equal(normalised, square / np.repeat([2.0, 4.0], [length * M, 3 * M]))
    np.testing.assert_array_equal(means.numpy(), np.repeat(samples[[length - 1, length + 1]], M))
    np.testing.assert_array_equal(std.numpy(), -10.0)
    np.testing.assert_array_equal(index_std.numpy(), -10.0)
