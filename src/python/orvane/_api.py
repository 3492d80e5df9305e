"""The array-level functions: arrays in, arrays out, every argument checked first."""

from __future__ import annotations

import inspect
import warnings
from collections.abc import Sequence
from dataclasses import replace
from typing import Any, Literal, SupportsIndex

import numpy as np

from . import _accuracy, _backends
from ._alignment import PairAlignments, SoftAlignment
from ._arrays import warn_if_tracked
from ._batch import (Channels, alpha_values, as_element, check_no_nan_ends, check_reference_end,
                     parse_alpha, parse_call, parse_options, parse_pairs, plan_chunks)
from ._core import (Inputs, call_layout, gradients, kernels_costs, pair_alignments, run, scores,
                    self_pairs)
from ._types import FLOAT64, BackendName, Precision

# An array of NumPy, PyTorch, CuPy or any DLPack or CUDA-array-interface producer.
Array = Any
Signals = Array | Sequence[Array]
Lengths = Sequence[SupportsIndex] | Literal["nan"]
End = Literal["global", "free", "free_last_row"]
Cost = Literal["abs", "sqeuclidean"]
BandKind = Literal["scaled", "widened"]


def prepare(signals, reference, *, lengths, gamma, end, ref_gap_penalty, alpha, backend,
            memory_budget, precision=None, cost="sqeuclidean", band=None, band_kind="scaled",
            matrices=3, lean_gradients=False, ref_lengths=None, pairs=None, channels_first=None,
            channels: Channels | None = None) -> Inputs:
    """Checks every argument, then converts what needs converting. A rejected call raises
    TypeError or ValueError before anything is allocated or any address is formed.
    matrices: the batch matrices a call holds, None for scores alone (none where they run
    without matrices, _core.lean_scores; distances and scores elsewhere). lean_gradients:
    sample gradients without distance or gradient matrices, as the vectorised module computes
    them.
    ref_lengths, pairs, channels_first: how the reference is read (see `soft_dtw`).
    channels: the samples' channels, where the caller knows them: signals and reference are
    then flat batches of pairs, read that way without reading their shapes. The NaN padding
    that lengths="nan" takes off is read once the options have passed their checks, and the
    signals' ends before anything is converted."""
    parsed = (parse_call(signals, reference, lengths, ref_lengths, pairs, channels_first)
              if channels is None
              else parse_pairs(signals, reference, lengths, ref_lengths, channels))
    batch, references = parsed.batch, parsed.references
    chosen = _backends.choose(batch.device, backend, batch.adapter, "signals")
    float64_inputs = batch.float64 or (references.float64 if references is not None
                                       else batch.adapter.is_float64(parsed.reference))
    element = _backends.choose_element(precision, chosen, float64_inputs)
    options = parse_options(gamma, end, ref_gap_penalty, element, cost, band, batch.count,
                            band_kind)
    alpha = parse_alpha(alpha, batch, element=element)
    parsed.read_nan_padding()
    ref_lengths = (references.lengths if references is not None
                   else int(parsed.reference.shape[0]))
    layout = call_layout(chosen, element, matrices, lean_gradients,
                         kernels_costs(options, batch.channels), ref_lengths)
    plan_chunks(batch.lengths, ref_lengths, 0, memory_budget, element, **layout.arguments())
    check_no_nan_ends(batch)
    if references is None:
        check_reference_end(batch.adapter, parsed.reference)
    else:
        check_no_nan_ends(references, "reference", "ref_lengths")
    batch.materialize(element)
    reference = (as_element(batch.adapter, parsed.reference, element) if references is None
                 else references.materialize(element).flat)
    return Inputs(batch, reference, options, chosen, alpha_values(alpha, batch, element),
                  memory_budget, element, returns_float64=float64_inputs and element is FLOAT64,
                  references=references)


def soft_dtw(signals: Signals, reference: Array | Signals, *, lengths: Lengths | None = None,
             ref_lengths: Lengths | None = None, pairs: bool | None = None,
             channels_first: bool | None = None, gamma: float = 1.0, end: End = "global",
             ref_gap_penalty: float = 0.0, alpha: float | Array | None = None,
             cost: Cost = "sqeuclidean", band: int | Sequence[int] | None = None,
             band_kind: BandKind = "scaled", backend: BackendName | None = None,
             memory_budget: int | None = None, precision: Precision | None = None) -> Array:
    """Soft-DTW score of every signal against the reference, or of every pair (signal k
    against reference k): an array of B values, float64 for float64 inputs on the float64
    path and float32 otherwise.

    signals: a list of 1-D arrays, a padded 2-D array (with `lengths`, or every row full),
        or a flat 1-D array with `lengths`; for samples of d channels, a list of (N_k, d)
        arrays, a padded (B, N, d) array or a flat (sum N_k, d) array. NumPy, PyTorch (CPU or
        CUDA) or CuPy arrays, or anything with `__dlpack__` or `__cuda_array_interface__`.
        Inputs of the type the call computes in and contiguous are used as they are, others
        converted with a copy. lengths="nan" takes a padded array's lengths from its trailing
        NaN padding (tslearn's data sets); signals that end in NaN are refused otherwise.
    reference: one 1-D array, or (M, d) for samples of d channels, from the same library, on
        the same device; or one reference per signal (pairs), in the signals' forms: a list,
        a padded (B, M) or (B, M, d) array (with `ref_lengths`, or every row full), or a flat
        array with `ref_lengths`.
    pairs: None reads the shapes: a list of references, `ref_lengths` or a 3-D reference are
        pairs, a 1-D reference is one; a 2-D reference reads both ways ((M, d), or B padded
        1-D references), and the reading the signals fit is taken, a call that fits both
        refused. True or False says which.
    channels_first: padded arrays of channels before samples ((B, d, N) signals and (d, M) or
        (B, d, M) references, as torch.nn.Conv1d lays them out); None reads (B, X, Y) signals
        with X < Y both ways, and refuses a call that fits both. Gradients come back in the
        layout given.
    gamma: the soft minimum's smoothing, a normal number greater than zero (in float32, or in
        float64 on the float64 path).
    end: "global" (the alignment ends at the last cell), "free" (it may end anywhere on the
        last row or the last column) or "free_last_row" (anywhere on the last row).
    ref_gap_penalty: with a free end, g * j is added to a terminal in reference column j.
    alpha: a number or one value per signal, subtracted from every cell's cost.
    cost: "sqeuclidean" (the default, the field's convention: (x - y)^2 summed over the
        channels, the squared Euclidean distance of two samples) or "abs" (|x - y| summed
        over the channels, the cost the GPU functions form themselves).
    band: None, or the half-width r of a Sakoe-Chiba band (one integer, or one per signal):
        by default (band_kind="scaled") cell (i, j) of signal k's N_k x M matrix is kept when
        |i (M - 1) - j (N_k - 1)| <= r max(N_k - 1, M - 1), the cells within r steps of the
        line from (0, 0) to (N_k - 1, M - 1) along the longer side; the others cost +inf, so
        they carry no score and no gradient. A band too narrow to hold any path gives +inf,
        with a RuntimeWarning naming the signals.
    band_kind: "scaled" (the default, above) or "widened", the band of tslearn's
        sakoe_chiba_mask: |i - j| <= r widened by |N_k - M| on the longer side (for
        N_k <= M, row i keeps columns max(0, i - r) .. i + (M - N_k) + r; for N_k > M,
        column j keeps rows max(0, j - r) .. j + (N_k - M) + r), which always holds a path.
        The two keep the same cells where N_k = M.
    backend: None (host memory to the vectorised CPU module, device memory to the CUDA
        module), "cpu", "twin" (the CUDA kernels run on the CPU) or "cuda".
    memory_budget: bytes of temporary matrices one call may use; larger batches are split.
    precision: None (float64 inputs run the float64 path, everything else the mixed path,
        on every backend), "float32" (the kernels' own float32 steps), "mixed" (float64
        scores, float32 data and results) or "float64" (every matrix and every step in
        float64; float32 inputs get float32 results, rounded once at the end).

    A batch of pairs runs in one call of the vectorised module, and on the GPU and the twin
    in one launch of each operation, every pair of a piece in a block of its own. References
    of any length run on every backend.
    """
    warn_if_tracked("soft_dtw", signals=signals, reference=reference)
    return _scores_of(prepare(signals, reference, **_reading(locals()), gamma=gamma, end=end,
                              ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                              memory_budget=memory_budget, precision=precision, cost=cost,
                              band=band, band_kind=band_kind, matrices=None))


def _scores_of(inputs: Inputs):
    found = scores(inputs)
    warn_if_no_path(inputs, found)
    return inputs.result(found)


READING = ("lengths", "ref_lengths", "pairs", "channels_first")
# soft_dtw's other keyword options and their defaults, read from its signature so that
# options the package gains reach `prepare` without being listed here.
SCORE_OPTION_DEFAULTS = {name: parameter.default
                         for name, parameter in inspect.signature(soft_dtw).parameters.items()
                         if parameter.kind is inspect.Parameter.KEYWORD_ONLY
                         and name not in READING}


def _reading(arguments) -> dict:
    """The arguments that say how a call's signals and reference are read."""
    return {name: arguments[name] for name in READING}


def soft_dtw_of_pairs(signals, references, channels: Channels, *, lengths, ref_lengths,
                      **options):
    """soft_dtw of pairs given as flat batches whose samples' channels the caller knows
    (pairwise's), read as pairs of those channels whatever their shapes: a flat (B, d) batch
    of one sample a signal reads as B padded 1-D signals too. options: any of
    SCORE_OPTION_DEFAULTS."""
    return _scores_of(prepare(signals, references, lengths=lengths, ref_lengths=ref_lengths,
                              channels=channels, matrices=None,
                              **{**SCORE_OPTION_DEFAULTS, **options}))


def soft_dtw_with_grad(signals: Signals, reference: Array | Signals, *,
                       lengths: Lengths | None = None, ref_lengths: Lengths | None = None,
                       pairs: bool | None = None, channels_first: bool | None = None,
                       gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                       alpha: float | Array | None = None, cost: Cost = "sqeuclidean",
                       band: int | Sequence[int] | None = None, band_kind: BandKind = "scaled",
                       backend: BackendName | None = None, memory_budget: int | None = None,
                       precision: Precision | None = None) -> tuple[Array, Signals, Array]:
    """(scores, signal gradients, reference gradient).

    The gradient of score k with respect to signal k, shaped like the signals were given
    (a list, a padded array with zeros past each length, or a flat array), and the gradient
    of the sum of all scores with respect to the reference, shaped like it; with pairs, the
    gradient of score k with respect to reference k, shaped like the references were given.
    Arguments as for `soft_dtw`; a signal without a path in its band has no gradient.
    """
    warn_if_tracked("soft_dtw_with_grad", signals=signals, reference=reference)
    inputs = prepare(signals, reference, **_reading(locals()), gamma=gamma, end=end,
                     ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                     memory_budget=memory_budget, precision=precision, cost=cost, band=band,
                     band_kind=band_kind, lean_gradients=True)
    results = gradients(inputs)
    warn_if_no_path(inputs, results.scores)
    _accuracy.warn_if_unreliable(inputs, results.scores)
    signal_gradients = inputs.result(results.signal_gradients)
    reference_gradient = inputs.result(results.reference_gradient)
    return (inputs.result(results.scores), inputs.batch.in_input_form(signal_gradients),
            inputs.reference_in_input_form(reference_gradient))


def soft_alignment(signals: Signals, reference: Array | Signals, *,
                   lengths: Lengths | None = None, ref_lengths: Lengths | None = None,
                   pairs: bool | None = None, channels_first: bool | None = None,
                   gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                   alpha: float | Array | None = None, cost: Cost = "sqeuclidean",
                   band: int | Sequence[int] | None = None, band_kind: BandKind = "scaled",
                   backend: BackendName | None = None, memory_budget: int | None = None,
                   precision: Precision | None = None) -> SoftAlignment | PairAlignments:
    """The soft alignment of every signal with the reference: its scores, expected-alignment
    matrices, normalised weights and per-position statistics (of 1-D signals). Arguments as
    for `soft_dtw`. Pairs give a PairAlignments: matrix k is N_k x M_k, and the statistics
    come shaped like the references were given."""
    warn_if_tracked("soft_alignment", signals=signals, reference=reference)
    inputs = prepare(signals, reference, **_reading(locals()), gamma=gamma, end=end,
                     ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                     memory_budget=memory_budget, precision=precision, cost=cost, band=band,
                     band_kind=band_kind)
    if inputs.pairs:
        alignment = PairAlignments(inputs, [(positions, SoftAlignment(group, results))
                                            for positions, group, results
                                            in pair_alignments(inputs)])
        found = alignment.scores
    else:
        results = run(inputs, keep_gradient_matrix=True)
        alignment, found = SoftAlignment(inputs, results), results.scores
    warn_if_no_path(inputs, found)
    _accuracy.warn_if_unreliable(inputs, found)
    return alignment


def soft_dtw_divergence(signals: Signals, reference: Array | Signals, *,
                        lengths: Lengths | None = None, ref_lengths: Lengths | None = None,
                        pairs: bool | None = None, channels_first: bool | None = None,
                        gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                        alpha: float | Array | None = None, cost: Cost = "sqeuclidean",
                        band: int | Sequence[int] | None = None, band_kind: BandKind = "scaled",
                        backend: BackendName | None = None, memory_budget: int | None = None,
                        precision: Precision | None = None) -> Array:
    """sdtw(x_k, y) - (sdtw(x_k, x_k) + sdtw(y, y)) / 2 for every signal x_k (with pairs,
    y_k in place of y): 0 for a signal identical to its reference. Defined for the global end
    without alpha or gap penalty; with a band, each of the three terms takes signal k's.
    The self-terms sdtw(x_k, x_k) run as pairs, and so do the references' with pairs."""
    check_divergence_options(end, alpha, ref_gap_penalty)
    warn_if_tracked("soft_dtw_divergence", signals=signals, reference=reference)
    inputs = prepare(signals, reference, **_reading(locals()), gamma=gamma, end=end,
                     ref_gap_penalty=0.0, alpha=None, backend=backend,
                     memory_budget=memory_budget, precision=precision, cost=cost, band=band,
                     band_kind=band_kind, matrices=None)
    check_self_terms_fit(inputs, signal_gradients=False, reference_gradients=False)
    cross = scores(inputs)
    warn_if_no_path(inputs, cross)
    return inputs.result(cross - (signal_self_scores(inputs) + reference_self_scores(inputs)) / 2)


def check_divergence_options(end="global", alpha=None, ref_gap_penalty=0.0, **others):
    """Refuses what the divergence is not defined for; takes a call's whole set of options
    (with its defaults), of which `others` are free."""
    if end != "global" or alpha is not None or ref_gap_penalty != 0.0:
        raise ValueError("the soft-DTW divergence is defined for end='global' without alpha or "
                         "ref_gap_penalty")


def self_score(inputs: Inputs, signal, band_width=None):
    """sdtw(signal, signal) as a one-element array, signal of the reference's shape, within
    a band of that half-width (or none)."""
    alone = replace(inputs.batch, lengths=[int(signal.shape[0])], form="flat",
                    flat=signal.reshape(-1))
    options = replace(inputs.options, band=None if band_width is None else (band_width,))
    return scores(replace(inputs, batch=alone, reference=signal, options=options,
                          references=None))


def check_self_terms_fit(inputs: Inputs, signal_gradients, reference_gradients):
    """Refuses, before anything runs, a divergence whose self-terms sdtw(v, v) the memory
    budget cannot hold (each signal's, and each pair's reference's or the one reference's),
    with or without their gradients: a signal much shorter than its reference fits the
    cross term's budget where the reference's self-term does not."""
    references = inputs.references.lengths if inputs.pairs else [inputs.ref_length]
    for which, lengths, with_gradients in (("signals", inputs.batch.lengths, signal_gradients),
                                           ("references", references, reference_gradients)):
        layout = call_layout(inputs.backend, inputs.element, 3 if with_gradients else None,
                             with_gradients, inputs.kernels_costs, lengths)
        try:
            plan_chunks(lengths, lengths, 0, inputs.memory_budget, inputs.element,
                        **layout.arguments())
        except ValueError as error:
            raise ValueError(f"the self-terms of the {which}, each its own reference: "
                             f"{error}") from None


def signal_self_scores(inputs: Inputs):
    """sdtw(x_k, x_k) of every signal of the batch, within its own band, as pairs."""
    return scores(self_pairs(inputs, inputs.batch))


def reference_self_scores(inputs: Inputs):
    """sdtw(y_k, y_k) of every pair's reference as pairs, or sdtw(y, y) within each signal's
    band (one call per band width) for every signal."""
    if inputs.pairs:
        return scores(self_pairs(inputs, inputs.references))
    band = inputs.options.band
    widths = [None] * inputs.batch.count if band is None else list(band)
    once = {width: self_score(inputs, inputs.reference, width) for width in set(widths)}
    selves = [once[width] for width in widths]
    return inputs.adapter.concat(selves) if len(selves) > 1 else selves[0]


def warn_if_no_path(inputs: Inputs, found):
    """A RuntimeWarning naming the signals that a band leaves without any path."""
    if inputs.options.band is None:
        return
    values = np.asarray(inputs.adapter.to_numpy(found))
    blocked = np.flatnonzero(values == np.inf)
    if blocked.size:
        warnings.warn(f"band leaves signals {blocked.tolist()} without any path from (0, 0) to "
                      "the end of their matrices: their scores are +inf", RuntimeWarning,
                      skip_file_prefixes=_accuracy.library_directories())
