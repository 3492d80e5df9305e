"""PyTorch autograd for Soft-DTW: differentiable functions and an `nn.Module` loss.

Gradients flow to the signals and to the reference. CPU tensors run on the CPU, CUDA tensors
on their own GPU. When some input requires a gradient, the forward pass computes the
gradients of the samples along with the scores, a piece of the batch at a time within the
memory budget, and keeps only those for the backward pass.

    loss_fn = orvane.torch.SoftDTWLoss(gamma=0.1)
    loss = loss_fn(signals, reference)          # signals: list, or padded with lengths=
    loss.backward()

The operations are registered as `torch.ops.orvane.soft_dtw` and
`torch.ops.orvane.soft_dtw_backward`, with fake implementations, so that `torch.compile`
(fullgraph too) and `torch.jit.trace` take models that use them; `torch.func.grad` works
through the loss. First derivatives only: differentiating a gradient again (create_graph=True
and a second backward) raises an error, and so does `torch.func.vmap` (the batch is the
vectorised dimension already).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Literal

import torch

from . import _backends
from ._arrays import FLOAT32, FLOAT64
from ._accuracy import warn_if_unreliable
from ._api import Backend, Cost, End, Lengths, Precision, Signals, prepare, warn_if_no_path
from ._batch import (check_memory_budget, parse_alpha, parse_band, parse_options,
                     parse_reference, parse_signals, reference_channels)
from ._core import run, scores

REDUCTIONS = ("mean", "sum", "none")
_OPTIONS = ("Tensor flat, Tensor reference, int[] lengths, Tensor? alpha, float gamma, str end, "
            "float ref_gap_penalty, str cost, int[]? band, str? backend, int? memory_budget, "
            "str? precision")


def _prepare(flat, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band, backend,
             memory_budget, precision):
    return prepare(flat, reference, lengths=lengths, gamma=gamma, end=end,
                   ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                   memory_budget=memory_budget, precision=precision, cost=cost, band=band,
                   lean_gradients=True)


@torch.library.custom_op("orvane::soft_dtw", mutates_args=(),
                         schema=f"({_OPTIONS}, bool with_gradients) -> (Tensor, Tensor, Tensor)")
def soft_dtw_op(flat, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
                backend, memory_budget, precision, with_gradients):
    """(scores, gradients of the samples, gradient of the reference) of flat signals, float32
    or float64 like them, the gradients shaped like flat and reference; they are empty unless
    with_gradients is set."""
    inputs = _prepare(flat, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
                      backend, memory_budget, precision)
    if not with_gradients:
        found = scores(inputs)
        warn_if_no_path(inputs, found)
        return inputs.result(found), flat.new_empty(0), reference.new_empty(0)
    results = run(inputs, sample_gradients=True)
    warn_if_no_path(inputs, results.scores)
    warn_if_unreliable(inputs, results.scores)
    return (inputs.result(results.scores), results.signal_gradients.reshape(flat.shape),
            results.reference_gradient.reshape(reference.shape))


@soft_dtw_op.register_fake
def _(flat, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band, backend,
      memory_budget, precision, with_gradients):
    gradients = ((flat.new_empty(flat.shape), reference.new_empty(reference.shape))
                 if with_gradients else (flat.new_empty(0), reference.new_empty(0)))
    return flat.new_empty(len(lengths)), *gradients


@torch.library.custom_op(
    "orvane::soft_dtw_backward", mutates_args=(),
    schema=f"(Tensor grad_scores, {_OPTIONS}, Tensor signal_gradients, "
           "Tensor reference_gradient) -> (Tensor, Tensor)")
def soft_dtw_backward_op(grad_scores, flat, reference, lengths, alpha, gamma, end,
                         ref_gap_penalty, cost, band, backend, memory_budget, precision,
                         signal_gradients, reference_gradient):
    """The gradients of sum_k w_k * score_k, w = grad_scores. With one weight for every score
    they are the forward pass's gradients scaled; otherwise (or when the forward pass did not
    compute them) every signal's gradient matrix is weighed in a second pass, a piece of the
    batch at a time."""
    weights = grad_scores.to(flat.dtype)
    computed = signal_gradients.shape == flat.shape
    if computed and bool(torch.all(weights == weights[0])):
        return signal_gradients * weights[0], reference_gradient * weights[0]
    inputs = _prepare(flat, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
                      backend, memory_budget, precision)
    results = run(inputs, sample_gradients=True, score_weights=weights)
    return (results.signal_gradients.reshape(flat.shape),
            results.reference_gradient.reshape(reference.shape))


@soft_dtw_backward_op.register_fake
def _(grad_scores, flat, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
      backend, memory_budget, precision, signal_gradients, reference_gradient):
    return flat.new_empty(flat.shape), reference.new_empty(reference.shape)


class _FirstDerivativeOnly(torch.autograd.Function):
    """The gradients as they are, with a backward that refuses: without it a gradient made
    with create_graph=True would have no history, and a penalty on it would be silently
    dropped from the second backward pass."""

    @staticmethod
    def forward(signal_gradients, reference_gradient, flat, reference):
        return signal_gradients.clone(), reference_gradient.clone()

    @staticmethod
    def setup_context(ctx, inputs, output):
        pass

    @staticmethod
    def backward(ctx, *grads):
        raise RuntimeError("orvane.torch has first derivatives only: the gradient of a Soft-DTW "
                           "gradient (create_graph=True followed by another backward pass, or "
                           "a Hessian) is not implemented")


def _setup_context(ctx, inputs, output):
    flat, reference, lengths, alpha, *options, _ = inputs
    _, signal_gradients, reference_gradient = output
    ctx.mark_non_differentiable(signal_gradients, reference_gradient)
    ctx.save_for_backward(flat, reference, alpha, signal_gradients, reference_gradient)
    ctx.options = (lengths, *options)


def _backward(ctx, grad_scores, *_):
    flat, reference, alpha, signal_gradients, reference_gradient = ctx.saved_tensors
    lengths, *options = ctx.options
    # A backward pass that records no graph (no create_graph) has no second derivative to refuse.
    records_graph = torch.is_grad_enabled()
    with torch.no_grad():
        gradients = soft_dtw_backward_op(grad_scores, flat, reference, lengths, alpha, *options,
                                         signal_gradients, reference_gradient)
    signal_grad, reference_grad = (_FirstDerivativeOnly.apply(*gradients, flat, reference)
                                   if records_graph else gradients)
    return (signal_grad if ctx.needs_input_grad[0] else None,
            reference_grad if ctx.needs_input_grad[1] else None, *[None] * 11)


soft_dtw_op.register_autograd(_backward, setup_context=_setup_context)


class SoftDTWFunction(torch.autograd.Function):
    """scores, signal_gradients, reference_gradient = SoftDTWFunction.apply(flat, reference,
    lengths, alpha, gamma, end, ref_gap_penalty, cost, band, backend, memory_budget, precision,
    with_gradients), the arguments of `torch.ops.orvane.soft_dtw`: flat (sum N_k, or
    (sum N_k, d) with an (M, d) reference), reference and alpha (None or B values) tensors of
    one type, float32 or float64. Differentiable with respect to flat and reference (when
    with_gradients is set), under `torch.func.grad` too."""

    @staticmethod
    def forward(*arguments):
        return soft_dtw_op(*arguments)

    setup_context = staticmethod(_setup_context)
    backward = staticmethod(_backward)

    @staticmethod
    def vmap(info, in_dims, *arguments):
        raise RuntimeError("orvane.torch does not run under torch.func.vmap: one call aligns a "
                           "whole batch already; pass the signals as a list, or as a padded "
                           "tensor with lengths")


def _check_tensor(value, name):
    if not isinstance(value, torch.Tensor):
        raise TypeError(f"{name} must be a PyTorch tensor, got {type(value).__name__}")


def _checked_signals(signals, lengths, reference):
    batch = parse_signals(signals, lengths, reference_channels(reference))
    if batch.adapter.name != "torch":
        raise TypeError(f"orvane.torch takes PyTorch tensors, got {batch.adapter.name} arrays")
    return batch


def _flat_signals(signals, batch, dtype):
    """The signals as one differentiable flat tensor of the type the call computes in."""
    if batch.form == "list":
        return torch.cat([signal.to(dtype) for signal in signals])
    if batch.form == "padded":
        rows = signals.to(dtype)
        return torch.cat([rows[k, :n] for k, n in enumerate(batch.lengths)])
    return signals.to(dtype)


def _compute_type(batch, reference, backend, precision):
    """float64 for the float64 path (float64 CPU tensors by default, or precision="float64",
    which the operation refuses where it cannot run), float32 otherwise."""
    if precision is not None:  # checked by the operation
        return torch.float64 if precision == "float64" else torch.float32
    float64_inputs = batch.float64 or reference.dtype == torch.float64
    host = not batch.device.is_cuda and backend in (None, "auto", "cpu")
    return torch.float64 if float64_inputs and host else torch.float32


def _alpha_tensor(alpha, batch, dtype):
    """alpha as B values of the compute type on the signals' device, or None. The values of a
    tensor are checked when the operation runs."""
    alpha = parse_alpha(alpha, batch, check_values=False)
    if alpha is None or isinstance(alpha, torch.Tensor):
        return alpha if alpha is None else alpha.detach().to(dtype)
    return torch.full((batch.count,), float(alpha), dtype=dtype, device=str(batch.device))


def soft_dtw(signals: Signals, reference: torch.Tensor, *, lengths: Lengths | None = None,
             gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
             alpha: float | torch.Tensor | None = None, cost: Cost = "abs",
             band: int | Sequence[int] | None = None, backend: Backend | None = None,
             memory_budget: int | None = None,
             precision: Precision | None = None) -> torch.Tensor:
    """Differentiable Soft-DTW scores, one per signal; arguments as for `orvane.soft_dtw`.
    Float64 CPU tensors run the float64 path and give float64 scores and gradients."""
    _check_tensor(reference, "reference")
    batch = _checked_signals(signals, lengths, reference)
    parse_reference(reference, batch)
    _backends.check_name(backend)
    check_memory_budget(memory_budget)
    dtype = _compute_type(batch, reference, backend, precision)
    options = parse_options(gamma, end, ref_gap_penalty,
                            FLOAT64 if dtype == torch.float64 else FLOAT32, cost, band,
                            batch.count)
    flat = _flat_signals(signals, batch, dtype)
    # Float64 results of float32 inputs are rounded once, at the end.
    float64_inputs = batch.float64 or reference.dtype == torch.float64
    returned = torch.float64 if float64_inputs and dtype == torch.float64 else torch.float32
    reference = reference.to(dtype)
    if reference is flat:  # one tensor as both (the divergence's self-terms): autograd and
        reference = reference.clone()  # torch.compile take each input once
    # A traced graph may later run for training, so it always computes them.
    with_gradients = torch.jit.is_tracing() or (
        torch.is_grad_enabled() and (flat.requires_grad or reference.requires_grad))
    scores, _, _ = SoftDTWFunction.apply(
        flat, reference, batch.lengths, _alpha_tensor(alpha, batch, dtype), options.gamma,
        options.end, options.ref_gap_penalty, options.cost,
        None if options.band is None else list(options.band), backend, memory_budget, precision,
        with_gradients)
    return scores.to(returned)


def soft_dtw_divergence(signals: Signals, reference: torch.Tensor, *,
                        lengths: Lengths | None = None, gamma: float = 1.0, cost: Cost = "abs",
                        band: int | Sequence[int] | None = None, backend: Backend | None = None,
                        memory_budget: int | None = None,
                        precision: Precision | None = None) -> torch.Tensor:
    """Differentiable sdtw(x_k, y) - (sdtw(x_k, x_k) + sdtw(y, y)) / 2 per signal (global
    end), each term within signal k's band; one call per signal for the self-terms."""
    _check_tensor(reference, "reference")
    batch = _checked_signals(signals, lengths, reference)
    flat = _flat_signals(signals, batch, _compute_type(batch, reference, backend, precision))
    widths = parse_band(band, batch.count) or (None,) * batch.count
    options = dict(gamma=gamma, cost=cost, backend=backend, memory_budget=memory_budget,
                   precision=precision)
    cross = soft_dtw(flat, reference, lengths=batch.lengths, band=band, **options)
    once = {width: soft_dtw(reference, reference, band=width, **options)
            for width in set(widths)}
    reference_self = torch.cat([once[width] for width in widths])
    pieces = torch.split(flat, batch.lengths)
    signal_self = torch.cat([soft_dtw(piece, piece, band=width, **options)
                             for piece, width in zip(pieces, widths)])
    return cross - (signal_self + reference_self) / 2


class SoftDTWLoss(torch.nn.Module):
    """Soft-DTW of a batch of signals against a reference, reduced to a loss.

    reduction: "mean" (default), "sum" or "none" (one score per signal). With
    divergence=True the loss is the soft-DTW divergence, 0 for a signal equal to the
    reference (global end only). Every option is checked here, when the loss is built."""

    def __init__(self, gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                 reduction: Literal["mean", "sum", "none"] = "mean", divergence: bool = False,
                 cost: Cost = "abs", band: int | Sequence[int] | None = None,
                 backend: Backend | None = None, memory_budget: int | None = None,
                 precision: Precision | None = None):
        super().__init__()
        parse_options(gamma, end, ref_gap_penalty, FLOAT64 if precision == "float64" else FLOAT32,
                      cost, band, len(band) if isinstance(band, Sequence) else 1)
        _backends.check_precision(precision)
        _backends.check_name(backend)
        check_memory_budget(memory_budget)
        if reduction not in REDUCTIONS:
            raise ValueError(f"reduction must be one of {', '.join(map(repr, REDUCTIONS))}, "
                             f"got: {reduction!r}")
        if divergence and (end != "global" or ref_gap_penalty != 0.0):
            raise ValueError("the soft-DTW divergence is defined for end='global' without "
                             "ref_gap_penalty")
        self.gamma, self.end, self.ref_gap_penalty = gamma, end, ref_gap_penalty
        self.reduction, self.divergence = reduction, divergence
        self.cost, self.band = cost, band
        self.backend, self.memory_budget, self.precision = backend, memory_budget, precision

    def forward(self, signals: Signals, reference: torch.Tensor, lengths: Lengths | None = None,
                alpha: float | torch.Tensor | None = None) -> torch.Tensor:
        if self.divergence:
            if alpha is not None:
                raise ValueError("the soft-DTW divergence is defined without alpha")
            scores = soft_dtw_divergence(signals, reference, lengths=lengths, gamma=self.gamma,
                                         cost=self.cost, band=self.band, backend=self.backend,
                                         memory_budget=self.memory_budget,
                                         precision=self.precision)
        else:
            scores = soft_dtw(signals, reference, lengths=lengths, gamma=self.gamma,
                              end=self.end, ref_gap_penalty=self.ref_gap_penalty, alpha=alpha,
                              cost=self.cost, band=self.band, backend=self.backend, memory_budget=self.memory_budget,
                              precision=self.precision)
        if self.reduction == "mean":
            return scores.mean()
        return scores.sum() if self.reduction == "sum" else scores

    def extra_repr(self):
        return f"gamma={self.gamma}, end={self.end!r}, reduction={self.reduction!r}"
