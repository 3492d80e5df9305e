"""PyTorch autograd for Soft-DTW: a differentiable function and an `nn.Module` loss.

Gradients flow to the signals and to the reference. CPU tensors run on the CPU, CUDA tensors
on their own GPU. The forward pass keeps only the expected-alignment matrices and the float32
inputs for the backward pass, and only when some input requires a gradient.

    loss_fn = orvane.torch.SoftDTWLoss(gamma=0.1)
    loss = loss_fn(signals, reference)          # signals: list, or padded with lengths=
    loss.backward()
"""

from __future__ import annotations

import torch

from . import _accuracy
from typing import Literal

from ._api import Backend, End, Lengths, Signals, prepare
from ._batch import parse_signals
from ._core import run, sample_gradients_of

REDUCTIONS = ("mean", "sum", "none")


class SoftDTWFunction(torch.autograd.Function):
    """scores = SoftDTWFunction.apply(flat_signals, reference, lengths, settings), with
    settings a dict of the options of `orvane.soft_dtw`; flat_signals and reference are 1-D
    float32 tensors."""

    @staticmethod
    def forward(ctx, flat_signals, reference, lengths, settings):
        inputs = prepare(flat_signals.detach(), reference.detach(), lengths=lengths, **settings)
        wants_gradient = any(ctx.needs_input_grad[:2])
        results = run(inputs, keep_gradient_matrix=wants_gradient)
        if wants_gradient:
            _accuracy.warn_if_unreliable(inputs, results.scores, stacklevel=4)
            ctx.save_for_backward(inputs.batch.flat, inputs.reference, results.gradient_matrix)
            ctx.settings = (lengths, settings)
        return results.scores

    @staticmethod
    def backward(ctx, grad_scores):
        flat_signals, reference, gradient_matrix = ctx.saved_tensors
        lengths, settings = ctx.settings
        inputs = prepare(flat_signals, reference, lengths=lengths, **settings)
        weights = grad_scores.to(torch.float32)
        uniform = bool(torch.all(weights == weights[0]))
        if not uniform:
            cells = torch.tensor(lengths, device=weights.device) * inputs.ref_length
            gradient_matrix = gradient_matrix * torch.repeat_interleave(weights, cells)
        results = sample_gradients_of(inputs, gradient_matrix)
        signal_gradients, reference_gradient = (results.signal_gradients,
                                                results.reference_gradient)
        if uniform:
            signal_gradients = signal_gradients * weights[0]
            reference_gradient = reference_gradient * weights[0]
        return (signal_gradients if ctx.needs_input_grad[0] else None,
                reference_gradient if ctx.needs_input_grad[1] else None, None, None)


def _flat_signals(signals, lengths):
    """The signals as one differentiable flat float32 tensor, and their lengths."""
    batch = parse_signals(signals, lengths)
    if batch.adapter.name != "torch":
        raise TypeError(f"orvane.torch takes PyTorch tensors, got {batch.adapter.name} arrays")
    if batch.form == "list":
        flat = torch.cat([signal.to(torch.float32) for signal in signals])
    elif batch.form == "padded":
        rows = signals.to(torch.float32)
        flat = torch.cat([rows[k, :n] for k, n in enumerate(batch.lengths)])
    else:
        flat = signals.to(torch.float32)
    return flat, batch.lengths


def soft_dtw(signals: Signals, reference: torch.Tensor, *, lengths: Lengths | None = None,
             gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
             alpha: float | torch.Tensor | None = None, backend: Backend | None = None,
             memory_budget: int | None = None) -> torch.Tensor:
    """Differentiable Soft-DTW scores, one per signal; arguments as for `orvane.soft_dtw`."""
    flat, sizes = _flat_signals(signals, lengths)
    if not isinstance(reference, torch.Tensor):
        raise TypeError(f"reference must be a PyTorch tensor, got {type(reference).__name__}")
    settings = dict(gamma=gamma, end=end, ref_gap_penalty=ref_gap_penalty, alpha=alpha,
                    backend=backend, memory_budget=memory_budget)
    return SoftDTWFunction.apply(flat, reference.to(torch.float32), sizes, settings)


def soft_dtw_divergence(signals: Signals, reference: torch.Tensor, *,
                        lengths: Lengths | None = None, gamma: float = 1.0,
                        backend: Backend | None = None,
                        memory_budget: int | None = None) -> torch.Tensor:
    """Differentiable sdtw(x_k, y) - (sdtw(x_k, x_k) + sdtw(y, y)) / 2 per signal (global
    end); one call per signal for the self-terms."""
    flat, sizes = _flat_signals(signals, lengths)
    options = dict(gamma=gamma, backend=backend, memory_budget=memory_budget)
    cross = soft_dtw(flat, reference, lengths=sizes, **options)
    reference_self = soft_dtw(reference, reference, **options)
    pieces = torch.split(flat, sizes)
    signal_self = torch.cat([soft_dtw(piece, piece, **options) for piece in pieces])
    return cross - (signal_self + reference_self) / 2


class SoftDTWLoss(torch.nn.Module):
    """Soft-DTW of a batch of signals against a reference, reduced to a loss.

    reduction: "mean" (default), "sum" or "none" (one score per signal). With
    divergence=True the loss is the soft-DTW divergence, 0 for a signal equal to the
    reference (global end only)."""

    def __init__(self, gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                 reduction: Literal["mean", "sum", "none"] = "mean", divergence: bool = False,
                 backend: Backend | None = None, memory_budget: int | None = None):
        super().__init__()
        if reduction not in REDUCTIONS:
            raise ValueError(f"reduction must be one of {', '.join(map(repr, REDUCTIONS))}, "
                             f"got: {reduction!r}")
        if divergence and (end != "global" or ref_gap_penalty != 0.0):
            raise ValueError("the soft-DTW divergence is defined for end='global' without "
                             "ref_gap_penalty")
        self.gamma, self.end, self.ref_gap_penalty = gamma, end, ref_gap_penalty
        self.reduction, self.divergence = reduction, divergence
        self.backend, self.memory_budget = backend, memory_budget

    def forward(self, signals: Signals, reference: torch.Tensor, lengths: Lengths | None = None,
                alpha: float | torch.Tensor | None = None) -> torch.Tensor:
        if self.divergence:
            if alpha is not None:
                raise ValueError("the soft-DTW divergence is defined without alpha")
            scores = soft_dtw_divergence(signals, reference, lengths=lengths, gamma=self.gamma,
                                         backend=self.backend, memory_budget=self.memory_budget)
        else:
            scores = soft_dtw(signals, reference, lengths=lengths, gamma=self.gamma,
                              end=self.end, ref_gap_penalty=self.ref_gap_penalty, alpha=alpha,
                              backend=self.backend, memory_budget=self.memory_budget)
        if self.reduction == "mean":
            return scores.mean()
        return scores.sum() if self.reduction == "sum" else scores

    def extra_repr(self):
        return f"gamma={self.gamma}, end={self.end!r}, reduction={self.reduction!r}"
