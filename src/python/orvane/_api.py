"""The array-level functions: arrays in, arrays out, every argument checked first."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import replace
from typing import Any, Literal, SupportsIndex

from . import _accuracy, _backends
from ._alignment import SoftAlignment
from ._arrays import FLOAT64
from ._batch import (alpha_values, as_element, parse_alpha, parse_options, parse_reference,
                     parse_signals, plan_chunks)
from ._core import Inputs, run, scores

# An array of NumPy, PyTorch, CuPy or any DLPack or CUDA-array-interface producer.
Array = Any
Signals = Array | Sequence[Array]
Lengths = Sequence[SupportsIndex]
End = Literal["global", "free", "free_last_row"]
Backend = Literal["auto", "cpu", "twin", "cuda"]
Precision = Literal["float32", "float64"]


def prepare(signals, reference, *, lengths, gamma, end, ref_gap_penalty, alpha, backend,
            memory_budget, precision=None, matrices=3, signals_as_references=False,
            lean_gradients=False) -> Inputs:
    """Checks every argument, then converts what needs converting. A rejected call raises
    TypeError or ValueError before anything is allocated or any address is formed.
    signals_as_references: each signal will also serve as a reference (the divergence's
    self-terms), so it must fit the backend's limit on references too. matrices: the batch
    matrices a call holds, None for scores alone (none on the vectorised module, which keeps
    no matrix for them; distances and scores elsewhere). lean_gradients: sample gradients
    without distance or gradient matrices, as the vectorised module computes them."""
    batch = parse_signals(signals, lengths)
    reference = parse_reference(reference, batch)
    chosen = _backends.choose(batch.device, backend, batch.adapter, "signals")
    float64_inputs = batch.float64 or batch.adapter.is_float64(reference)
    element = _backends.choose_element(precision, chosen, float64_inputs)
    options = parse_options(gamma, end, ref_gap_penalty, element)
    alpha = parse_alpha(alpha, batch, element=element)
    ref_length = int(reference.shape[0])
    if ref_length > chosen.max_ref_length:
        raise ValueError(f"the reference has {ref_length} samples, more than the "
                         f"{chosen.max_ref_length} that backend {chosen.name!r} takes (one "
                         "thread per reference sample in a block)")
    if signals_as_references:
        for k, length in enumerate(batch.lengths):
            if length > chosen.max_ref_length:
                raise ValueError(
                    f"signal {k} has {length} samples; its self-term uses it as the reference, "
                    f"which backend {chosen.name!r} limits to {chosen.max_ref_length} samples "
                    "(one thread per reference sample in a block)")
    cell_bytes = None
    if matrices is None:
        matrices = 0 if chosen.name == "cpu" else 2
    elif lean_gradients and chosen.name == "cpu":  # score matrices alone
        cell_bytes = element.score.bytes
    plan_chunks(batch.lengths, ref_length, matrices, memory_budget, element, cell_bytes)
    batch.materialize(element)
    return Inputs(batch, as_element(batch.adapter, reference, element), options, chosen,
                  alpha_values(alpha, batch, element), memory_budget, element,
                  returns_float64=float64_inputs and element is FLOAT64)


def soft_dtw(signals: Signals, reference: Array, *, lengths: Lengths | None = None,
             gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
             alpha: float | Array | None = None, backend: Backend | None = None,
             memory_budget: int | None = None, precision: Precision | None = None) -> Array:
    """Soft-DTW score of every signal against the reference: an array of B values, float64
    for float64 inputs on the float64 path and float32 otherwise.

    signals: a list of 1-D arrays, a padded 2-D array (with `lengths`, or every row full),
        or a flat 1-D array with `lengths`. NumPy, PyTorch (CPU or CUDA) or CuPy arrays, or
        anything with `__dlpack__` or `__cuda_array_interface__`. Inputs of the type the call
        computes in and contiguous are used as they are, others converted with a copy.
    reference: a 1-D array from the same library, on the same device.
    gamma: the soft minimum's smoothing, a normal number greater than zero (in float32, or in
        float64 on the float64 path).
    end: "global" (the alignment ends at the last cell), "free" (it may end anywhere on the
        last row or the last column) or "free_last_row" (anywhere on the last row).
    ref_gap_penalty: with a free end, g * j is added to a terminal in reference column j.
    alpha: a number or one value per signal, subtracted from every cell's cost.
    backend: None (host memory to the vectorised CPU module, device memory to the CUDA
        module), "cpu", "twin" (the CUDA kernels run on the CPU) or "cuda".
    memory_budget: bytes of temporary matrices one call may use; larger batches are split.
    precision: None (float64 inputs on the host run the float64 path, everything else the
        kernels' float32 steps), "float32" or "float64" (host arrays on the vectorised CPU
        module only: every matrix and every step in float64; float32 inputs get float32
        results, rounded once at the end).
    """
    inputs = prepare(signals, reference, lengths=lengths, gamma=gamma, end=end,
                     ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                     memory_budget=memory_budget, precision=precision, matrices=None)
    return inputs.result(scores(inputs))


def soft_dtw_with_grad(signals: Signals, reference: Array, *, lengths: Lengths | None = None,
                       gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                       alpha: float | Array | None = None, backend: Backend | None = None,
                       memory_budget: int | None = None,
                       precision: Precision | None = None) -> tuple[Array, Signals, Array]:
    """(scores, signal gradients, reference gradient).

    The gradient of score k with respect to signal k, shaped like the signals were given
    (a list, a padded array with zeros past each length, or a flat array), and the gradient
    of the sum of all scores with respect to the reference. Arguments as for `soft_dtw`.
    """
    inputs = prepare(signals, reference, lengths=lengths, gamma=gamma, end=end,
                     ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                     memory_budget=memory_budget, precision=precision, lean_gradients=True)
    results = run(inputs, sample_gradients=True)
    _accuracy.warn_if_unreliable(inputs, results.scores)
    signal_gradients = inputs.result(results.signal_gradients)
    return (inputs.result(results.scores), inputs.batch.in_input_form(signal_gradients),
            inputs.result(results.reference_gradient))


def soft_alignment(signals: Signals, reference: Array, *, lengths: Lengths | None = None,
                   gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                   alpha: float | Array | None = None, backend: Backend | None = None,
                   memory_budget: int | None = None,
                   precision: Precision | None = None) -> SoftAlignment:
    """The soft alignment of every signal with the reference: its scores, expected-alignment
    matrices, normalised weights and per-position statistics. Arguments as for
    `soft_dtw`."""
    inputs = prepare(signals, reference, lengths=lengths, gamma=gamma, end=end,
                     ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                     memory_budget=memory_budget, precision=precision)
    results = run(inputs, keep_gradient_matrix=True)
    _accuracy.warn_if_unreliable(inputs, results.scores)
    return SoftAlignment(inputs, results)


def soft_dtw_divergence(signals: Signals, reference: Array, *, lengths: Lengths | None = None,
                        gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                        alpha: float | Array | None = None, backend: Backend | None = None,
                        memory_budget: int | None = None,
                        precision: Precision | None = None) -> Array:
    """sdtw(x_k, y) - (sdtw(x_k, x_k) + sdtw(y, y)) / 2 for every signal x_k: 0 for a signal
    identical to the reference. Defined for the global end without alpha or gap penalty.

    The self-term of a signal uses it as the reference, so on the CUDA module and the twin a
    signal may be no longer than the device's threads per block (the vectorised CPU module has
    no such limit). One call per signal computes the self-terms."""
    check_divergence_options(end, alpha, ref_gap_penalty)
    inputs = prepare(signals, reference, lengths=lengths, gamma=gamma, end=end,
                     ref_gap_penalty=0.0, alpha=None, backend=backend,
                     memory_budget=memory_budget, precision=precision, matrices=None,
                     signals_as_references=True)
    cross = scores(inputs)
    reference_self = self_score(inputs, inputs.reference)
    return inputs.result(cross - (signal_self_scores(inputs) + reference_self) / 2)


def check_divergence_options(end="global", alpha=None, ref_gap_penalty=0.0, **others):
    """Refuses what the divergence is not defined for; takes a call's whole set of options
    (with its defaults), of which `others` are free."""
    if end != "global" or alpha is not None or ref_gap_penalty != 0.0:
        raise ValueError("the soft-DTW divergence is defined for end='global' without alpha or "
                         "ref_gap_penalty")


def self_score(inputs: Inputs, signal):
    """sdtw(signal, signal) as a one-element array."""
    alone = replace(inputs.batch, lengths=[int(signal.shape[0])], form="flat", flat=signal)
    return scores(replace(inputs, batch=alone, reference=signal))


def signal_self_scores(inputs: Inputs):
    """sdtw(x_k, x_k) of every signal of the batch, one call each."""
    offsets = inputs.batch.signal_offsets()
    selves = [self_score(inputs, inputs.batch.flat[a:b])
              for a, b in zip(offsets[:-1], offsets[1:])]
    return inputs.adapter.concat(selves) if len(selves) > 1 else selves[0]
