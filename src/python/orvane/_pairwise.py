"""Soft-DTW between every signal of one batch and every signal of another: the matrix runs as
batches of pairs (a_i, b_j), as many columns to a `soft_dtw` call as the memory budget holds
copies of their samples."""

from __future__ import annotations

import numbers
from dataclasses import dataclass

import numpy as np

from ._api import (SCORE_OPTION_DEFAULTS, Array, Lengths, Signals, check_divergence_options,
                   soft_dtw_of_pairs)
from ._arrays import native, warn_if_tracked
from ._batch import (Batch, Channels, boolean, check_memory_budget, check_no_nan_ends,
                     is_integer, is_one_value, parse_alpha, parse_signals, signal_channels)

# The bytes of the samples that one batch of pairs copies (each pair's signal and reference,
# joined), when the call gives no memory_budget to hold them to.
COPY_BYTES_WITHOUT_BUDGET = 1 << 30

# The options known to leave sdtw(x, y) == sdtw(y, x) under a global end without alpha or gap
# penalty. Any other option (one the package gains later) might not, so it makes every pair
# computed rather than mirrored.
SYMMETRY_KEEPING = frozenset({"gamma", "end", "ref_gap_penalty", "alpha", "cost", "band",
                              "band_kind", "backend", "memory_budget", "precision"})


@dataclass
class _Signals:
    """A checked batch with each of its signals as an array of the caller's own type (1-D, or
    (N_k, d) for samples of d channels)."""

    name: str
    batch: Batch
    pieces: list

    @property
    def lengths(self) -> list[int]:
        return self.batch.lengths

    @property
    def channels(self) -> Channels:
        return Channels(self.batch.channels, self.batch.with_channels)

    def joined(self, pieces):
        return pieces[0] if len(pieces) == 1 else self.batch.adapter.concat(pieces)

    @property
    def sample_bytes(self) -> int:
        return (8 if self.batch.float64 else 4) * self.batch.channels


def pairwise(a: Signals, b: Signals | None = None, *, lengths_a: Lengths | None = None,
             lengths_b: Lengths | None = None, divergence: bool = False, **options) -> Array:
    """The (len(a), len(b)) matrix of Soft-DTW scores sdtw(a_i, b_j), or with divergence=True
    of the divergences sdtw(a_i, b_j) - (sdtw(a_i, a_i) + sdtw(b_j, b_j)) / 2.

    a, b: batches in any of `soft_dtw`'s forms (a list of 1-D arrays, a padded 2-D array or a
        flat 1-D array; for samples of d channels a list of (N_k, d) arrays, a padded
        (B, N, d) array or a flat (sum N_k, d) array), with `lengths_a` and `lengths_b` where
        `soft_dtw` takes `lengths`, from one library and on one device. A 2-D array with
        lengths that reads both as padded 1-D signals and as a flat batch of samples of
        several channels is refused. b=None aligns a with itself.
    options: every other keyword of `soft_dtw` (gamma, end, alpha: one value per signal of a,
        backend, precision, ...), passed on as they are.

    The pairs (a_i, b_j) run as batches of pairs: each call takes as many signals of b (whole
    columns, the longest first) as copies of their pairs' samples fit in memory_budget bytes
    (or COPY_BYTES_WITHOUT_BUDGET, 1 GiB, without one); each pair's score is that of a
    one-pair call. With b=None under options that keep the
    score symmetric (global end, neither alpha nor ref_gap_penalty), each pair is computed
    once and mirrored. The divergence's self-terms run as pairs too (with b=None they are the
    diagonal). Results come back in the inputs' library and on their device, float64 where
    `soft_dtw` would return float64; they are not differentiable (`orvane.torch` is).

    A Soft-DTW score can be negative (sdtw(x, x) < 0 for any x of two samples or more), so
    scikit-learn's metric="precomputed" estimators refuse the plain matrix ("Negative values
    in data passed to X"). Give them divergence=True: the divergence is non-negative and zero
    on the diagonal. Rounding can leave tiny negatives off the diagonal for near-identical
    signals (about -1e-5 in float32), which np.maximum(matrix, 0) clears.
    """
    warn_if_tracked("pairwise", a=a, b=b)
    _check_options(options)
    if boolean(divergence, "divergence"):
        check_divergence_options(**options)
    first = _parse(a, lengths_a, "a")
    if b is None:
        if lengths_b is not None:
            raise ValueError("lengths_b goes with b, which is not given")
        second = first
    else:
        second = _parse(b, lengths_b, "b")
        _check_alike(first.batch, second.batch)
    # alpha is spread over the pairs: its count is checked against a first.
    parse_alpha(options.get("alpha"), first.batch, check_values=False)
    adapter = first.batch.adapter
    if b is None and _symmetric(options):
        matrix = _mirrored_scores(first, options)
    else:
        matrix = _scores(first, second, options)
    if divergence:
        if b is None:
            selves_a = selves_b = np.diagonal(matrix)
        else:
            selves_a, selves_b = _self_scores(first, options), _self_scores(second, options)
        matrix = _divergences(matrix, selves_a, selves_b)
    return adapter.from_numpy(matrix, first.batch.device)


def _check_options(options):
    """soft_dtw's options, and a band of one integer (a 0-d integer array or tensor too)."""
    if "lengths" in options:
        raise TypeError("pairwise takes lengths_a and lengths_b, not lengths")
    unknown = sorted(options.keys() - SCORE_OPTION_DEFAULTS.keys())
    if unknown:
        raise TypeError(f"pairwise() got an unexpected keyword argument {unknown[0]!r}")
    band = options.get("band")
    if band is not None and not (is_one_value(band) and is_integer(band)):
        raise TypeError(f"band must be one integer in pairwise, the half-width for every pair, "
                        f"got {type(band).__name__}")
    check_memory_budget(options.get("memory_budget"))


def _parse(signals, lengths, name) -> _Signals:
    lengths_name = f"lengths_{name}"
    batch = parse_signals(signals, lengths, signal_channels(signals, name, lengths, lengths_name),
                          name, lengths_name)
    check_no_nan_ends(batch, name, lengths_name)
    if batch.form == "list":
        return _Signals(name, batch, [native(s, f"{name}[{k}]")[1] for k, s in enumerate(signals)])
    array = native(signals, name)[1]
    if batch.form == "padded":
        return _Signals(name, batch, [array[k, :n] for k, n in enumerate(batch.lengths)])
    offsets = np.cumsum([0, *batch.lengths]).tolist()
    return _Signals(name, batch, [array[start:stop]
                                  for start, stop in zip(offsets[:-1], offsets[1:])])


def _check_alike(first: Batch, second: Batch):
    if second.channels != first.channels or second.with_channels != first.with_channels:
        raise ValueError(f"b's samples have {second.channels} channels, a's {first.channels}; "
                         "both must have the same")
    if second.adapter is not first.adapter:
        raise TypeError(f"b holds {second.adapter.name} arrays, but a holds {first.adapter.name} "
                        "arrays; pass every input from one library")
    if second.device != first.device:
        raise ValueError(f"b is on {second.device}, but a is on {first.device}; every input must "
                         "be on one device")


def _symmetric(options) -> bool:
    return (options.keys() <= SYMMETRY_KEEPING and options.get("end", "global") == "global"
            and options.get("alpha") is None and options.get("ref_gap_penalty", 0.0) == 0.0)


def _longest_first(lengths) -> list[int]:
    """Positions by decreasing length: the first call then meets every limit (reference
    length, memory budget) that a later one could, before anything else has run."""
    return sorted(range(len(lengths)), key=lambda k: -lengths[k])


def _column_batches(signals: _Signals, columns, references: _Signals, options):
    """The columns (signals of `references`, each with the signals of `signals` it pairs
    with) in batches whose copies of their pairs' samples fit the memory budget."""
    limit = options.get("memory_budget") or COPY_BYTES_WITHOUT_BUDGET
    batches, held = [], 0
    for j, rows in columns:
        own = sum(signals.lengths[i] + references.lengths[j] for i in rows)
        own *= signals.sample_bytes
        if batches and held + own > limit:
            batches.append([])
            held = 0
        if not batches:
            batches.append([])
        batches[-1].append((j, rows))
        held += own
    return batches


def _pair_scores(signals: _Signals, columns, references: _Signals, options) -> dict:
    """{j: scores of sdtw(a_i, b_j) for the rows i of column j}, as batches of pairs."""
    to_numpy = signals.batch.adapter.to_numpy
    found = {}
    for batch in _column_batches(signals, columns, references, options):
        rows = [i for _, column_rows in batch for i in column_rows]
        scores = to_numpy(soft_dtw_of_pairs(
            signals.joined([signals.pieces[i] for i in rows]),
            references.joined([references.pieces[j] for j, column_rows in batch
                               for _ in column_rows]),
            signals.channels, lengths=[signals.lengths[i] for i in rows],
            ref_lengths=[references.lengths[j] for j, column_rows in batch for _ in column_rows],
            **_per_pair(options, signals, [column_rows for _, column_rows in batch])))
        first = 0
        for j, column_rows in batch:
            found[j] = scores[first:first + len(column_rows)]
            first += len(column_rows)
    return found


def _per_pair(options, signals: _Signals, row_sets) -> dict:
    """The options with alpha (one value per signal of a) given for every pair."""
    alpha = options.get("alpha")
    if alpha is None or isinstance(alpha, numbers.Real):
        return options
    return {**options, "alpha": signals.joined([alpha[rows] for rows in row_sets])}


def _scores(first: _Signals, second: _Signals, options) -> np.ndarray:
    every_row = list(range(len(first.lengths)))
    columns = _pair_scores(first, [(j, every_row) for j in _longest_first(second.lengths)],
                           second, options)
    return np.stack([columns[j] for j in range(len(columns))], axis=1)


def _mirrored_scores(signals: _Signals, options) -> np.ndarray:
    """sdtw(a_i, a_j) with each pair computed once: signal j, as the reference, against
    itself and every signal after it in the order of decreasing length."""
    order = _longest_first(signals.lengths)
    columns = _pair_scores(signals, [(j, order[position:]) for position, j in enumerate(order)],
                           signals, options)
    matrix = np.empty((len(order), len(order)), np.result_type(*columns.values()))
    for position, j in enumerate(order):
        rows = order[position:]
        matrix[rows, j] = columns[j]
        matrix[j, rows] = columns[j]
    return matrix


def _self_scores(signals: _Signals, options) -> np.ndarray:
    flat = signals.joined(signals.pieces)
    return signals.batch.adapter.to_numpy(soft_dtw_of_pairs(
        flat, flat, signals.channels, lengths=signals.lengths, ref_lengths=signals.lengths,
        **options))


def _divergences(matrix, selves_a, selves_b) -> np.ndarray:
    """Formed in float64 from the scores and rounded once to their type."""
    wide = lambda values: np.asarray(values, np.float64)
    divergences = wide(matrix) - (wide(selves_a)[:, None] + wide(selves_b)[None, :]) / 2
    return divergences.astype(matrix.dtype)
