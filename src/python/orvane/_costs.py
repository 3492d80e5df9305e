"""Costs beyond the kernels' 1-D |x - y| on the modules whose kernels form only that (the CUDA
module and its twin): each signal's distances formed row-major with the caller's array
library, channel by channel in order (the float steps of the vectorised module's), +inf
outside a band, and converted to the anti-diagonal layout; the gradients of the samples and of
the reference formed from the expected alignments the same way."""

from __future__ import annotations

import numpy as np

# Differences closer to zero than this carry no gradient of |x - y|, as in the kernels.
DEAD_ZONE = 1e-7


def in_band(rows: int, cols: int, half_width: int, kind: str = "scaled") -> np.ndarray:
    """The cells (i, j) of an N x M matrix that a Sakoe-Chiba band of half-width r keeps, as an
    N x M mask: per row, the columns between two bounds. kind "scaled":
    |i (M - 1) - j (N - 1)| <= r max(N - 1, M - 1); "widened": -r <= j - i <= (M - N) + r for
    N <= M, (M - N) - r <= j - i <= r for N > M."""
    bounds = _widened_bounds if kind == "widened" else _scaled_bounds
    low, high = bounds(rows, cols, half_width)
    columns = np.arange(cols)
    return (columns >= low[:, None]) & (columns <= high[:, None])


def _scaled_bounds(rows, cols, half_width):
    if rows == 1:
        return np.zeros(1, np.int64), np.full(1, cols - 1)
    reach = half_width * (max(rows, cols) - 1)
    centre = np.arange(rows, dtype=np.int64) * (cols - 1)
    low = -((reach - centre) // (rows - 1))   # ceil((centre - reach) / (N - 1))
    return low, (centre + reach) // (rows - 1)


def _widened_bounds(rows, cols, half_width):
    excess = cols - rows
    row = np.arange(rows, dtype=np.int64)
    return row + min(excess, 0) - half_width, row + max(excess, 0) + half_width


def extra_matrices(backend_name: str, kernels_costs: bool) -> int:
    """Batch matrices a call holds besides its own for costs the array library forms: one
    row-major matrix, on the modules whose kernels form the 1-D |x - y| only."""
    return 0 if kernels_costs or backend_name == "cpu" else 1


def _signals(inputs, piece):
    """(k, samples as N_k x d) of every signal of the piece."""
    channels = inputs.batch.channels
    first = piece.first_sample
    for k, length in zip(range(piece.start, piece.stop), piece.lengths):
        yield k, inputs.batch.flat[first * channels:(first + length) * channels].reshape(
            length, channels)
        first += length


def _differences(inputs, k, samples, channel):
    """x - y of signal k's samples against its reference, one channel: (N_k, M_k)."""
    return samples[:, channel, None] - inputs.reference_of(k)[None, :, channel]


def form_distances(inputs, piece, distance, references):
    """The piece's distance matrices, into `distance` in the anti-diagonal layout.
    references: M, or the list of the piece's pairs' reference lengths."""
    square = inputs.workspace("row-major", piece.cells)
    cells = 0
    for k, samples in _signals(inputs, piece):
        costs = None
        for channel in range(inputs.batch.channels):
            difference = _differences(inputs, k, samples, channel)
            own = abs(difference) if inputs.options.cost == "abs" else difference * difference
            costs = own if costs is None else costs + own
        if inputs.options.band is not None:
            outside = ~in_band(*costs.shape, inputs.options.band[k],
                               inputs.options.band_kind)
            costs[inputs.adapter.from_numpy(outside, inputs.batch.device)] = float("inf")
        size = costs.shape[0] * costs.shape[1]
        square[cells:cells + size] = costs.reshape(-1)
        cells += size
    inputs.operation("convert_square_to_antidiag", references)(
        piece.lengths, references, inputs.address(square), inputs.address(distance))


def add_sample_gradients(inputs, piece, gradient, results, references):
    """The gradients of sum E * cost over the piece, from its expected alignments E in the
    anti-diagonal layout, added into the results: the samples', and the reference's (or each
    pair's own)."""
    square = inputs.workspace("row-major", piece.cells)
    inputs.operation("convert_antidiag_to_square", references)(
        piece.lengths, references, inputs.address(gradient), inputs.address(square))
    channels = inputs.batch.channels
    reference_offsets = (inputs.references.signal_offsets() if inputs.pairs
                         else [0] * (inputs.batch.count + 1))
    cells = 0
    for k, samples in _signals(inputs, piece):
        length = samples.shape[0]
        reference = inputs.reference_of(k)
        expected = square[cells:cells + length * reference.shape[0]].reshape(
            length, reference.shape[0])
        first = (piece.first_sample + sum(piece.lengths[:k - piece.start])) * channels
        own = results.signal_gradients[first:first + length * channels].reshape(length,
                                                                                channels)
        start = reference_offsets[k]
        reference_gradient = results.reference_gradient[
            start:start + reference.shape[0] * channels].reshape(-1, channels)
        for channel in range(channels):
            difference = _differences(inputs, k, samples, channel)
            if inputs.options.cost == "abs":
                weighted = expected * (inputs.adapter.module.sign(difference)
                                       * (abs(difference) >= DEAD_ZONE))
            else:
                # 2E times (x - y), as the vectorised module forms it: a cell of no weight adds
                # nothing even where 2 (x - y) overflows (its square, the cost, did too).
                weighted = (expected + expected) * difference
            own[:, channel] += weighted.sum(axis=1)
            reference_gradient[:, channel] -= weighted.sum(axis=0)
        cells += length * reference.shape[0]
