"""The soft alignment of a batch: expected-alignment matrices, normalised weights and the
per-position statistics, computed on the batch's own device when first asked for; of pairs,
the alignments of every group of pairs that shares a reference, read pair by pair."""

from __future__ import annotations

import functools

import operator
from dataclasses import replace

import numpy as np

from ._core import (Inputs, MatrixLayout, Results, one_reference_operation, pieces, place_spans,
                    spans)
from ._costs import in_band
from ._types import FLOAT32, FLOAT64


class _PerPositionStatistics:
    """The statistics of the reference positions, per signal: computed by `_statistic`."""

    @property
    def column_sums(self):
        """Each reference position's total expected alignment before normalisation."""
        return self._statistic("column_sums")

    @property
    def weighted_mean(self):
        """The weighted mean of the samples aligned with each reference position."""
        return self._statistic("weighted_mean")

    @property
    def log_std(self):
        """ln of their weighted standard deviation, clamped to [-10, 10]."""
        return self._statistic("log_std")

    @property
    def index_log_std(self):
        """ln of the weighted standard deviation of their positions, clamped."""
        return self._statistic("index_log_std")


class SoftAlignment(_PerPositionStatistics):
    """Scores and expected alignments of B signals against one reference of M samples.

    `matrix(k)` and `weights(k)` are N_k x M row-major arrays; `weighted_mean`, `log_std`
    and `index_log_std` are B x M arrays: per signal and reference position, the weighted
    mean of the aligned samples, and the clamped natural log of the weighted standard
    deviation of the aligned samples and of their positions. Weights are the expected
    alignments with every reference column scaled to sum to one. Arrays come in the
    inputs' library, on their device. Signals are indexed as in a sequence: -1 is the last.

    The alignment keeps its own copy of the signals, the reference and alpha, so that the
    caller may reuse those arrays. Its statistics are computed when first asked for, a piece
    of the batch at a time, within the call's memory budget.
    """

    def __init__(self, inputs: Inputs, results: Results):
        adapter = inputs.adapter
        own = lambda array: None if array is None else adapter.copy(array)
        self._inputs = replace(inputs, batch=replace(inputs.batch, flat=own(inputs.batch.flat)),
                               reference=own(inputs.reference), alpha=own(inputs.alpha))
        self.scores = inputs.result(results.scores)
        self._expected = results.gradient_matrix
        self._statistics = {}

    @property
    def lengths(self) -> list[int]:
        return list(self._inputs.batch.lengths)

    @property
    def ref_length(self) -> int:
        return self._inputs.ref_length

    def _signal(self, k) -> int:
        """k as a position in the batch, negative ones counted from the end."""
        count = len(self.lengths)
        try:
            position = operator.index(k)
        except TypeError:
            raise TypeError(f"k must be an integer, got {type(k).__name__}") from None
        if not -count <= position < count:
            raise IndexError(f"k = {position} is out of range for a batch of {count} signals")
        return position % count

    def _row_major(self, matrix, cell_offset, rows):
        inputs = self._inputs
        out = inputs.new(rows * self.ref_length)
        with inputs.on_device():
            one_reference_operation(inputs, "convert_antidiag_to_square")(
                [rows], self.ref_length, inputs.address(matrix, cell_offset),
                inputs.address(out))
        return inputs.result(out).reshape(rows, self.ref_length)

    def _cells_before(self, k):
        return sum(self.lengths[:k]) * self.ref_length

    def matrix(self, k):
        """Expected alignment of signal k: N_k x M, entry (i, j) the weight of the soft
        alignment through sample i and reference position j."""
        k = self._signal(k)
        return self._row_major(self._expected, self._cells_before(k), self.lengths[k])

    def weights(self, k):
        """Normalised weights of signal k: N_k x M, every column summing to one (or zero
        where the column carries no weight)."""
        k = self._signal(k)
        inputs = self._inputs
        rows, first = self.lengths[k], self._cells_before(k)
        weights = inputs.adapter.copy(self._expected[first:first + rows * self.ref_length])
        sums = inputs.new(self.ref_length, zero=True)
        with inputs.on_device():
            one_reference_operation(inputs, "normalize_matrix")(
                [rows], self.ref_length, inputs.address(weights), inputs.address(sums))
        return self._row_major(weights, 0, rows)

    def _statistic(self, name):
        if not self._statistics:
            self._compute_statistics()
        return self._inputs.result(self._statistics[name]).reshape(len(self.lengths),
                                                                   self.ref_length)

    def _compute_statistics(self):
        """Every statistic, normalising one piece of the batch at a time in a copy of its
        expected alignments."""
        inputs = self._inputs
        if inputs.batch.channels > 1:
            raise ValueError(f"the per-position statistics weigh the aligned samples, which "
                             f"have {inputs.batch.channels} channels here; they are defined "
                             "for 1-D signals")
        packed = len(self.lengths) * self.ref_length
        sums, means = inputs.new(packed, zero=True), inputs.new(packed, zero=True)
        log_std, index_log_std = inputs.new(packed), inputs.new(packed)
        planned = list(pieces(inputs, MatrixLayout.of(inputs.element, 1)))
        workspace = inputs.workspace("weights", max(piece.cells for piece in planned))
        with inputs.on_device():
            for piece in planned:
                inputs.adapter.copy_into(
                    workspace[:piece.cells],
                    self._expected[piece.first_cell:piece.first_cell + piece.cells])
                signals = inputs.address(inputs.batch.flat, piece.first_sample)
                row = piece.start * self.ref_length
                matrix = inputs.address(workspace)
                lengths, cols = piece.lengths, self.ref_length
                means_row = inputs.address(means, row)
                operation = functools.partial(one_reference_operation, inputs)
                operation("normalize_matrix")(lengths, cols, matrix, inputs.address(sums, row))
                operation("calc_weighted_means")(signals, lengths, cols, matrix, means_row)
                operation("calc_weighted_std")(signals, lengths, cols, matrix, means_row,
                                               inputs.address(log_std, row))
                operation("calc_weighted_index_std")(lengths, cols, matrix,
                                                     inputs.address(index_log_std, row))
        self._statistics = {"column_sums": sums, "weighted_mean": means, "log_std": log_std,
                            "index_log_std": index_log_std}

    def path(self, k):
        """The most likely alignment path of signal k, as an (L, 2) array of (i, j): the one
        of least total cost, which the soft alignment weighs highest. A signal without any
        path of finite cost (score +inf: a band that leaves none) has none: (0, 2)."""
        k = self._signal(k)
        inputs = self._inputs
        offsets = inputs.batch.signal_offsets()
        adapter = inputs.adapter
        channels = inputs.batch.channels
        signal = adapter.to_numpy(inputs.batch.flat[offsets[k]:offsets[k + 1]])
        reference = adapter.to_numpy(inputs.reference).reshape(self.ref_length, channels)
        difference = (signal.reshape(-1, channels)[:, None, :].astype(np.float64)
                      - reference[None, :, :])
        per_channel = np.abs(difference) if inputs.options.cost == "abs" else difference ** 2
        alpha = 0.0 if inputs.alpha is None else float(adapter.to_numpy(inputs.alpha)[k])
        cost = per_channel.sum(axis=2) - alpha
        if inputs.options.band is not None:
            cost[~in_band(*cost.shape, inputs.options.band[k],
                          inputs.options.band_kind)] = np.inf
        return least_cost_path(cost, inputs.options)

    def plot(self, k, ax=None):
        """Signal k's expected alignment with its most likely path; returns the axes.
        Needs matplotlib."""
        k = self._signal(k)
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("SoftAlignment.plot needs matplotlib: pip install matplotlib") \
                from None
        if ax is None:
            _, ax = plt.subplots(figsize=(5, 5))
        image = ax.imshow(self._inputs.adapter.to_numpy(self.matrix(k)), origin="lower",
                          aspect="auto", cmap="Blues", interpolation="nearest")
        path = self.path(k)
        ax.plot(path[:, 1], path[:, 0], color="tab:red", linewidth=0.8, alpha=0.8,
                label="most likely path")
        ax.set_xlabel("reference position j")
        ax.set_ylabel(f"sample i of signal {k}")
        ax.set_title(f"expected alignment of signal {k}")
        ax.legend(loc="upper left", fontsize="small")
        ax.figure.colorbar(image, ax=ax, fraction=0.046)
        return ax


class PairAlignments(_PerPositionStatistics):
    """Scores and expected alignments of B pairs, signal k (N_k samples) against reference k
    (M_k samples).

    `scores` holds B values; `matrix(k)` and `weights(k)` are N_k x M_k; `path(k)` and
    `plot(k)` are those of pair k. The per-position statistics (`column_sums`,
    `weighted_mean`, `log_std`, `index_log_std`, of 1-D signals) hold one value per position
    of each pair's reference, and come shaped like the references were given: a list of M_k
    values each, a padded (B, M) array (zeros past each reference's length) or a flat array
    of sum M_k values. Pairs are indexed as in a sequence."""

    def __init__(self, inputs: Inputs, groups):
        """groups: (positions of the pairs, their SoftAlignment against the one reference they
        share)."""
        self._inputs = inputs
        self._groups = groups
        self._located = {k: (alignment, i) for positions, alignment in groups
                         for i, k in enumerate(positions)}
        self.scores = self._assembled(lambda alignment: alignment.scores,
                                      [(k, k + 1) for k in range(inputs.batch.count)],
                                      lambda positions: [(k, k + 1) for k in positions])

    @property
    def lengths(self) -> list[int]:
        return list(self._inputs.batch.lengths)

    @property
    def ref_lengths(self) -> list[int]:
        return self._inputs.ref_lengths

    def _assembled(self, values_of, every_span, spans_of):
        """Each group's values (values_of(alignment), one run per pair of the group) placed in
        one array at each pair's spans."""
        inputs = self._inputs
        element = FLOAT64 if inputs.returns_float64 else FLOAT32
        size = every_span[-1][1]
        out = inputs.new(size, element=element)
        for positions, alignment in self._groups:
            place_spans(inputs.adapter, out, spans_of(positions),
                        values_of(alignment).reshape(-1))
        return out

    def _pair(self, k):
        count = self._inputs.batch.count
        try:
            position = operator.index(k)
        except TypeError:
            raise TypeError(f"k must be an integer, got {type(k).__name__}") from None
        if not -count <= position < count:
            raise IndexError(f"k = {position} is out of range for {count} pairs")
        return self._located[position % count]

    def matrix(self, k):
        """Expected alignment of pair k: N_k x M_k."""
        alignment, i = self._pair(k)
        return alignment.matrix(i)

    def weights(self, k):
        """Normalised weights of pair k: N_k x M_k, every column summing to one (or zero)."""
        alignment, i = self._pair(k)
        return alignment.weights(i)

    def path(self, k):
        """The most likely alignment path of pair k, as for SoftAlignment.path."""
        alignment, i = self._pair(k)
        return alignment.path(i)

    def plot(self, k, ax=None):
        """Pair k's expected alignment with its most likely path; returns the axes."""
        alignment, i = self._pair(k)
        ax = alignment.plot(i, ax)
        ax.set_ylabel(f"sample i of signal {k}")
        ax.set_title(f"expected alignment of pair {k}")
        return ax

    def _statistic(self, name):
        references = self._inputs.references
        reference_spans = spans(references)
        flat = self._assembled(lambda alignment: getattr(alignment, name), reference_spans,
                               lambda positions: [reference_spans[k] for k in positions])
        return references.in_input_form(flat)


def least_cost_path(cost, options):
    """Hard DTW path of least cost through a float64 cost matrix, ending as `options` says."""
    rows, cols = cost.shape
    total = np.full((rows, cols), np.inf)
    for i in range(rows):
        for j in range(cols):
            before = 0.0 if i == j == 0 else min(
                total[i - 1, j] if i else np.inf,
                total[i - 1, j - 1] if i and j else np.inf,
                total[i, j - 1] if j else np.inf)
            total[i, j] = cost[i, j] + before
    end = (rows - 1, cols - 1)
    if options.local_end:
        terminals = [(rows - 1, j) for j in range(cols)]
        if not options.last_row_only:
            terminals += [(i, cols - 1) for i in range(rows - 1)]
        end = min(terminals, key=lambda t: total[t] + options.ref_gap_penalty * t[1])
    if total[end] == np.inf:
        return np.empty((0, 2), np.int64)
    path = [end]
    i, j = end
    while (i, j) != (0, 0):
        steps = [(a, b) for a, b in ((i - 1, j - 1), (i - 1, j), (i, j - 1)) if a >= 0 and b >= 0]
        i, j = min(steps, key=lambda s: total[s])
        path.append((i, j))
    return np.array(path[::-1])
