"""PyTorch autograd for Soft-DTW: differentiable functions and an `nn.Module` loss.

Gradients flow to the signals and to the reference. CPU tensors run on the CPU, CUDA tensors
on their own GPU. When some input requires a gradient, the forward pass computes the
gradients of the samples along with the scores, a piece of the batch at a time within the
memory budget, and keeps only those for the backward pass.

    loss_fn = orvane.torch.SoftDTWLoss(gamma=0.1)
    loss = loss_fn(signals, reference)          # signals: list, or padded with lengths=
    loss.backward()

The operations are registered as `torch.ops.orvane.soft_dtw`, `soft_dtw_backward` and
`soft_dtw_self_terms` (the divergence's), with fake implementations, so that `torch.compile`
(fullgraph too) and `torch.jit.trace` take models that use them. The lengths of a batch are
data to them, an int64 tensor that only the real implementations read, and a padded batch
goes in as it is (its gradient comes back padded, zeros past each length): a compiled model
given its lengths as a tensor runs every new set through one graph. A list's integers are
constants to torch.compile until each has changed once, each change compiling again (up to
B + 1 graphs), unless the model is compiled with dynamic=True. A band given as an array or a
tensor is read at each call, which a compiled graph cannot do: give it as integers, or to
`SoftDTWLoss`, which reads it when it is built.

`torch.func.grad` and `torch.func.jacrev` work through the functions (the Jacobian with one
weighted backward pass per score). First derivatives only: differentiating a gradient again
(create_graph=True and a second backward, or a Hessian) raises an error, and so does
`torch.func.vmap` of the functions (the batch is the vectorised dimension already).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

import torch

from . import _arrays, _backends
from ._types import FLOAT32, FLOAT64, BackendName, Precision
from ._accuracy import warn_if_unreliable
from ._api import Cost, End, Lengths, Signals, prepare, warn_if_no_path
from ._batch import (Options, as_element, check_memory_budget, parse_alpha, parse_options,
                     parse_reference, parse_signals, reference_channels)
from ._core import run, scores

# The array adapters are made now, at import: torch.compile cannot trace the import that a
# first call would otherwise make.
_arrays.libraries()

REDUCTIONS = ("mean", "sum", "none")
# The operations carry memory_budget as a 64-bit integer.
LARGEST_MEMORY_BUDGET = 2**63 - 1
# signals: flat (sum N_k, or (sum N_k, d) with an (M, d) reference) or padded (B, N, or
# (B, N, d)); lengths: B integers.
_OPTIONS = ("Tensor signals, Tensor reference, Tensor lengths, Tensor? alpha, float gamma, "
            "str end, float ref_gap_penalty, str cost, int[]? band, str? backend, "
            "int? memory_budget, str? precision")


def _prepare(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
             backend, memory_budget, precision, **extra):
    return prepare(signals, reference, lengths=lengths.tolist(), gamma=gamma, end=end,
                   ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                   memory_budget=memory_budget, precision=precision, cost=cost, band=band,
                   lean_gradients=True, **extra)


def _like_signals(inputs, flat_values, signals):
    """Per-sample values of the batch (gradients) shaped like the signals the operation took,
    zeros past each length of a padded batch, in their type."""
    return inputs.batch.in_input_form(flat_values).reshape(signals.shape).to(signals.dtype)


def _empty_gradients(signals, reference):
    return signals.new_empty(0), reference.new_empty(0)


@torch.library.custom_op("orvane::soft_dtw", mutates_args=(),
                         schema=f"({_OPTIONS}, bool with_gradients) -> (Tensor, Tensor, Tensor)")
def soft_dtw_op(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
                backend, memory_budget, precision, with_gradients):
    """(scores, gradients of the samples, gradient of the reference). The scores and the
    samples' gradients have the signals' type, the reference's gradient the reference's,
    whatever the call computes in (precision); the gradients are shaped like their inputs,
    and empty unless with_gradients is set."""
    inputs = _prepare(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost,
                      band, backend, memory_budget, precision)
    if not with_gradients:
        found = scores(inputs)
        warn_if_no_path(inputs, found)
        return inputs.result(found).to(signals.dtype), *_empty_gradients(signals, reference)
    results = run(inputs, sample_gradients=True)
    warn_if_no_path(inputs, results.scores)
    warn_if_unreliable(inputs, results.scores)
    return (inputs.result(results.scores).to(signals.dtype),
            _like_signals(inputs, results.signal_gradients, signals),
            results.reference_gradient.reshape(reference.shape).to(reference.dtype))


@soft_dtw_op.register_fake
def _(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band, backend,
      memory_budget, precision, with_gradients):
    gradients = ((signals.new_empty(signals.shape), reference.new_empty(reference.shape))
                 if with_gradients else _empty_gradients(signals, reference))
    return signals.new_empty(lengths.shape[0]), *gradients


@torch.library.custom_op(
    "orvane::soft_dtw_backward", mutates_args=(),
    schema=f"(Tensor grad_scores, {_OPTIONS}, Tensor signal_gradients, "
           "Tensor reference_gradient) -> (Tensor, Tensor)")
def soft_dtw_backward_op(grad_scores, signals, reference, lengths, alpha, gamma, end,
                         ref_gap_penalty, cost, band, backend, memory_budget, precision,
                         signal_gradients, reference_gradient):
    """The gradients of sum_k w_k * score_k, w = grad_scores, of the types and shapes of
    signals and reference. With one weight for every score they are the forward pass's
    gradients scaled; otherwise (or when the forward pass did not compute them) every
    signal's gradient matrix is weighed in a second pass, a piece of the batch at a time."""
    if signal_gradients.shape == signals.shape and bool(torch.all(grad_scores == grad_scores[0])):
        weight = grad_scores[0]
        return ((signal_gradients * weight).to(signals.dtype),
                (reference_gradient * weight).to(reference.dtype))
    inputs = _prepare(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost,
                      band, backend, memory_budget, precision)
    weights = as_element(inputs.adapter, grad_scores, inputs.element)
    results = run(inputs, sample_gradients=True, score_weights=weights)
    return (_like_signals(inputs, results.signal_gradients, signals),
            results.reference_gradient.reshape(reference.shape).to(reference.dtype))


@soft_dtw_backward_op.register_fake
def _(grad_scores, signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
      backend, memory_budget, precision, signal_gradients, reference_gradient):
    return signals.new_empty(signals.shape), reference.new_empty(reference.shape)


def _batched(in_dims):
    """Whether any of the dimensions (of arguments, or of a list's items) is batched."""
    return any(_batched(dim) if isinstance(dim, (list, tuple)) else dim is not None
               for dim in in_dims)


@soft_dtw_backward_op.register_vmap
def _(info, in_dims, grad_scores, *arguments):
    """Batched score weights, as torch.func.jacrev makes them: one weighted pass each."""
    if _batched(in_dims[1:]):
        _refuse_vmap()
    weights = grad_scores.movedim(in_dims[0], 0)
    passes = [soft_dtw_backward_op(row, *arguments) for row in weights]
    return tuple(torch.stack(gradients) for gradients in zip(*passes)), (0, 0)


def _self_term(values, width, with_gradients, options):
    """sdtw(v, v) within a band of that half-width (or none) as one value, and with_gradients
    its gradient (v is the signal and the reference), or None."""
    inputs = prepare(values, values, lengths=None, end="global", ref_gap_penalty=0.0,
                     alpha=None, band=width, lean_gradients=True, **options)
    if not with_gradients:
        return scores(inputs), None
    results = run(inputs, sample_gradients=True)
    return results.scores, (results.signal_gradients + results.reference_gradient).reshape(
        values.shape)


@torch.library.custom_op(
    "orvane::soft_dtw_self_terms", mutates_args=(),
    schema="(Tensor signals, Tensor reference, Tensor lengths, float gamma, str cost, "
           "int[]? band, str? backend, int? memory_budget, str? precision, "
           "bool signal_gradients, bool reference_gradients) -> (Tensor, Tensor, Tensor)")
def soft_dtw_self_terms_op(signals, reference, lengths, gamma, cost, band, backend,
                           memory_budget, precision, signal_gradients, reference_gradients):
    """(sdtw(x_k, x_k) + sdtw(y, y)) / 2 for every signal x_k and the reference y, each term
    within signal k's band (the divergence's self-terms: one call per signal and one per band
    width for the reference), of the signals' type; then, on request, the gradient of each
    with respect to its signal (shaped like the signals) and to the reference (one row a
    signal, (B, *reference.shape)), or empty tensors."""
    options = dict(gamma=gamma, cost=cost, backend=backend, memory_budget=memory_budget,
                   precision=precision)
    inputs = _prepare(signals, reference, lengths, None, gamma, "global", 0.0, cost, band,
                      backend, memory_budget, precision, signals_as_references=True)
    widths = inputs.options.band or (None,) * inputs.batch.count
    offsets = inputs.batch.signal_offsets()
    shape = inputs.reference.shape[1:]
    own = [_self_term(inputs.batch.flat[a:b].reshape(-1, *shape), width, signal_gradients,
                      options)
           for a, b, width in zip(offsets[:-1], offsets[1:], widths)]
    once = {width: _self_term(inputs.reference, width, reference_gradients, options)
            for width in set(widths)}
    shared = [once[width] for width in widths]
    terms = (torch.cat([score for score, _ in own]) + torch.cat([score for score, _ in shared])) / 2
    own_gradients = (_like_signals(inputs, torch.cat([g.reshape(-1) for _, g in own]) / 2,
                                   signals)
                     if signal_gradients else signals.new_empty(0))
    shared_gradients = (torch.stack([g for _, g in shared]).to(reference.dtype) / 2
                        if reference_gradients else reference.new_empty(0))
    return inputs.result(terms).to(signals.dtype), own_gradients, shared_gradients


@soft_dtw_self_terms_op.register_fake
def _(signals, reference, lengths, gamma, cost, band, backend, memory_budget, precision,
      signal_gradients, reference_gradients):
    count = lengths.shape[0]
    return (signals.new_empty(count),
            signals.new_empty(signals.shape if signal_gradients else 0),
            reference.new_empty((count, *reference.shape) if reference_gradients else 0))


def _refuse_vmap(*_):
    raise RuntimeError("orvane.torch does not run under torch.func.vmap: one call aligns a "
                       "whole batch already; pass the signals as a list, or as a padded "
                       "tensor with lengths")


class _FirstDerivativeOnly(torch.autograd.Function):
    """The gradients as they are, with a backward that refuses: without it a gradient made
    with create_graph=True would have no history, and a penalty on it would be silently
    dropped from the second backward pass."""

    generate_vmap_rule = True  # torch.func.jacrev runs the backward pass batched

    @staticmethod
    def forward(signal_gradients, reference_gradient, signals, reference):
        return signal_gradients.clone(), reference_gradient.clone()

    @staticmethod
    def setup_context(ctx, inputs, output):
        pass

    @staticmethod
    def backward(ctx, *grads):
        raise RuntimeError("orvane.torch has first derivatives only: the gradient of a Soft-DTW "
                           "gradient (create_graph=True followed by another backward pass, or "
                           "a Hessian) is not implemented")


def _first_derivatives(signal_gradients, reference_gradient, signals, reference):
    """The gradients, refusing to be differentiated again where the backward pass records a
    graph (create_graph); one that records none has no second derivative to refuse."""
    if not torch.is_grad_enabled():
        return signal_gradients, reference_gradient
    return _FirstDerivativeOnly.apply(signal_gradients, reference_gradient, signals, reference)


def _wanted(ctx, signal_grad, reference_grad, others):
    return (signal_grad if ctx.needs_input_grad[0] else None,
            reference_grad if ctx.needs_input_grad[1] else None, *[None] * others)


def _setup_context(ctx, inputs, output):
    signals, reference, lengths, alpha, *options, _ = inputs
    _, signal_gradients, reference_gradient = output
    ctx.mark_non_differentiable(signal_gradients, reference_gradient)
    ctx.save_for_backward(signals, reference, lengths, alpha, signal_gradients,
                          reference_gradient)
    ctx.options = options


def _backward(ctx, grad_scores, *_):
    signals, reference, lengths, alpha, signal_gradients, reference_gradient = ctx.saved_tensors
    with torch.no_grad():
        gradients = soft_dtw_backward_op(grad_scores, signals, reference, lengths, alpha,
                                         *ctx.options, signal_gradients, reference_gradient)
    return _wanted(ctx, *_first_derivatives(*gradients, signals, reference), 11)


soft_dtw_op.register_autograd(_backward, setup_context=_setup_context)


def _self_terms_setup_context(ctx, inputs, output):
    signals, reference, lengths, *options, _, _ = inputs
    _, signal_gradients, reference_gradients = output
    ctx.mark_non_differentiable(signal_gradients, reference_gradients)
    ctx.save_for_backward(signals, reference, lengths, signal_gradients, reference_gradients)
    ctx.options = options


def _self_terms_gradients(ctx):
    """The terms' gradients of the forward pass, made now where it did not make those the
    backward pass needs."""
    signals, reference, lengths, signal_gradients, reference_gradients = ctx.saved_tensors
    wanted_signals, wanted_reference = ctx.needs_input_grad[:2]
    if ((wanted_signals and signal_gradients.shape != signals.shape)
            or (wanted_reference and reference_gradients.shape[1:] != reference.shape)):
        with torch.no_grad():
            _, signal_gradients, reference_gradients = soft_dtw_self_terms_op(
                signals, reference, lengths, *ctx.options, wanted_signals, wanted_reference)
    return _first_derivatives(signal_gradients, reference_gradients, signals, reference)


def _weight_of_each_sample(weights, signals, reference, lengths):
    """The weights of the signals, one a sample, shaped to scale the signals' gradients."""
    if signals.ndim == reference.ndim:  # flat
        signal_of_sample = torch.repeat_interleave(
            torch.arange(lengths.shape[0], device=lengths.device), lengths,
            output_size=signals.shape[0]).to(signals.device)
        weights = weights.index_select(0, signal_of_sample)
    return weights.reshape(*weights.shape, *[1] * (signals.ndim - weights.ndim))


def _self_terms_backward(ctx, grad_terms, *_):
    """Each term's gradients weighed by its own weight."""
    signals, reference, lengths = ctx.saved_tensors[:3]
    signal_gradients, reference_gradients = _self_terms_gradients(ctx)
    weights = grad_terms.to(signals.dtype)
    signal_grad = (signal_gradients * _weight_of_each_sample(weights, signals, reference, lengths)
                   if ctx.needs_input_grad[0] else None)
    reference_grad = (torch.tensordot(weights, reference_gradients.to(weights.dtype), dims=1)
                      .to(reference.dtype) if ctx.needs_input_grad[1] else None)
    return signal_grad, reference_grad, *[None] * 9


soft_dtw_self_terms_op.register_autograd(_self_terms_backward,
                                         setup_context=_self_terms_setup_context)


class SoftDTWFunction(torch.autograd.Function):
    """scores, signal_gradients, reference_gradient = SoftDTWFunction.apply(signals,
    reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band, backend,
    memory_budget, precision, with_gradients), the arguments of `torch.ops.orvane.soft_dtw`:
    signals flat (sum N_k, or (sum N_k, d) with an (M, d) reference) or padded (B, N, or
    (B, N, d)), lengths B integers (int64), reference and alpha (None or B values) tensors.
    Differentiable with respect to signals and reference (when with_gradients is set), under
    `torch.func.grad` and `torch.func.jacrev` too."""

    @staticmethod
    def forward(*arguments):
        return soft_dtw_op(*arguments)

    setup_context = staticmethod(_setup_context)
    backward = staticmethod(_backward)
    vmap = staticmethod(_refuse_vmap)


class SelfTermsFunction(torch.autograd.Function):
    """terms, signal_gradients, reference_gradients = SelfTermsFunction.apply(signals,
    reference, lengths, gamma, cost, band, backend, memory_budget, precision,
    signal_gradients, reference_gradients), the arguments of
    `torch.ops.orvane.soft_dtw_self_terms`; differentiable like SoftDTWFunction."""

    @staticmethod
    def forward(*arguments):
        return soft_dtw_self_terms_op(*arguments)

    setup_context = staticmethod(_self_terms_setup_context)
    backward = staticmethod(_self_terms_backward)
    vmap = staticmethod(_refuse_vmap)


def _check_tensor(value, name):
    if not isinstance(value, torch.Tensor):
        raise TypeError(f"{name} must be a PyTorch tensor, got {type(value).__name__}")


def _check_memory_budget(memory_budget):
    check_memory_budget(memory_budget)
    if memory_budget is not None and memory_budget > LARGEST_MEMORY_BUDGET:
        raise ValueError(f"memory_budget must be at most 2**63 - 1 bytes (a 64-bit integer), "
                         f"got: {memory_budget!r}")


def _lengths_tensor(lengths, batch):
    """A lengths tensor as the operations take it, its type and count checked: its values are
    read, and checked, by the operation, so that torch.compile does not take them for
    constants."""
    if lengths.dtype.is_floating_point or lengths.dtype.is_complex or lengths.dtype == torch.bool:
        raise TypeError(f"lengths must hold integers, got {lengths.dtype}")
    if lengths.ndim != 1:
        raise ValueError(f"lengths must be one-dimensional, got {lengths.ndim} dimensions")
    if lengths.shape[0] == 0:
        raise ValueError("lengths is empty")
    if batch.form == "padded" and lengths.shape[0] != batch.count:
        raise ValueError(f"lengths has {lengths.shape[0]} entries for {batch.count} padded "
                         "signals")
    return lengths.to(device="cpu", dtype=torch.int64)


def _checked_signals(signals, lengths, reference):
    """The signals checked as the package checks them (a padded tensor, when its lengths are a
    tensor, as if every row were full), and their lengths as an int64 tensor."""
    channels = reference_channels(reference)
    if lengths is not None and not isinstance(lengths, torch.Tensor) and (
            torch.compiler.is_compiling()):
        # torch.compile makes a list's integers symbols once they change, which the package's
        # checks of integers do not trace: they are data to the operation, as a tensor's are.
        lengths = torch.tensor(list(lengths))
    given_as_tensor = isinstance(lengths, torch.Tensor)
    batch = parse_signals(signals, None if given_as_tensor else lengths, channels)
    if batch.adapter.name != "torch":
        raise TypeError(f"orvane.torch takes PyTorch tensors, got {batch.adapter.name} arrays")
    if not given_as_tensor:
        return batch, torch.tensor(batch.lengths, dtype=torch.int64)
    if batch.form == "list":
        raise ValueError("lengths goes with a padded or flat tensor of signals, not with a list")
    return batch, _lengths_tensor(lengths, batch)


def _compute_type(batch, reference, backend, precision):
    """float64 for the float64 path (float64 CPU tensors by default, or precision="float64",
    which the operation refuses where it cannot run), float32 otherwise."""
    if precision is not None:
        return torch.float64 if precision == "float64" else torch.float32
    float64_inputs = batch.float64 or reference.dtype == torch.float64
    host = not batch.device.is_cuda and backend in (None, "auto", "cpu")
    return torch.float64 if float64_inputs and host else torch.float32


def _signals_as_taken(signals, batch, dtype):
    """The signals as one differentiable tensor of the type the call computes in: a list
    joined into a flat tensor, a padded or flat one as it is."""
    if batch.form == "list":
        return torch.cat([signal.to(dtype) for signal in signals])
    return signals.to(dtype)


@dataclass(frozen=True)
class _Signals:
    """What parse_alpha reads of a batch: the number of signals may come from a lengths
    tensor, whose values are not read here."""

    adapter: object
    device: object
    count: int


def _alpha_tensor(alpha, batch, count, dtype):
    """alpha as B values of the compute type on the signals' device, or None. The values of a
    tensor are checked when the operation runs."""
    alpha = parse_alpha(alpha, _Signals(batch.adapter, batch.device, count),
                        check_values=False)
    if alpha is None or isinstance(alpha, torch.Tensor):
        return alpha if alpha is None else alpha.detach().to(dtype)
    return torch.full((count,), float(alpha), dtype=dtype, device=str(batch.device))


@dataclass(frozen=True)
class _Call:
    """A checked call as the operations take it."""

    signals: torch.Tensor    # flat or padded, of the type the call computes in
    reference: torch.Tensor  # of that type too
    lengths: torch.Tensor    # B int64 values on the host
    options: Options
    alpha: torch.Tensor | None
    returned: torch.dtype    # of the scores given back
    gradients_of: tuple[bool, bool]  # whether the signals' and the reference's are computed

    @property
    def with_gradients(self) -> bool:
        return any(self.gradients_of)

    @property
    def band(self):
        return None if self.options.band is None else list(self.options.band)


def _checked_call(signals, reference, lengths, gamma, end, ref_gap_penalty, alpha, cost, band,
                  backend, memory_budget, precision) -> _Call:
    _check_tensor(reference, "reference")
    batch, lengths = _checked_signals(signals, lengths, reference)
    parse_reference(reference, batch)
    _backends.check_name(backend)
    _backends.check_precision(precision)
    _check_memory_budget(memory_budget)
    dtype = _compute_type(batch, reference, backend, precision)
    count = lengths.shape[0]
    options = parse_options(gamma, end, ref_gap_penalty,
                            FLOAT64 if dtype == torch.float64 else FLOAT32, cost, band, count)
    flat_or_padded = _signals_as_taken(signals, batch, dtype)
    # Float64 results of float32 inputs are rounded once, at the end.
    float64_inputs = batch.float64 or reference.dtype == torch.float64
    returned = torch.float64 if float64_inputs and dtype == torch.float64 else torch.float32
    reference = reference.to(dtype)
    if reference is flat_or_padded:  # one tensor as both: autograd and torch.compile take
        reference = reference.clone()  # each input once
    # A traced graph may later run for training, so it always computes them.
    gradients_of = tuple(torch.jit.is_tracing() or (torch.is_grad_enabled()
                                                    and tensor.requires_grad)
                         for tensor in (flat_or_padded, reference))
    return _Call(flat_or_padded, reference, lengths, options,
                 _alpha_tensor(alpha, batch, count, dtype), returned, gradients_of)


def soft_dtw(signals: Signals, reference: torch.Tensor, *,
             lengths: Lengths | torch.Tensor | None = None, gamma: float = 1.0,
             end: End = "global", ref_gap_penalty: float = 0.0,
             alpha: float | torch.Tensor | None = None, cost: Cost = "abs",
             band: int | Sequence[int] | None = None, backend: BackendName | None = None,
             memory_budget: int | None = None,
             precision: Precision | None = None) -> torch.Tensor:
    """Differentiable Soft-DTW scores, one per signal; arguments as for `orvane.soft_dtw`:
    lengths a sequence of integers or an integer tensor, band an integer or one per signal (a
    sequence, a NumPy array or an integer tensor). Float64 CPU tensors run the float64 path
    and give float64 scores and gradients."""
    call = _checked_call(signals, reference, lengths, gamma, end, ref_gap_penalty, alpha, cost,
                         band, backend, memory_budget, precision)
    options = call.options
    found, _, _ = SoftDTWFunction.apply(
        call.signals, call.reference, call.lengths, call.alpha, options.gamma, options.end,
        options.ref_gap_penalty, options.cost, call.band, backend, memory_budget, precision,
        call.with_gradients)
    return found.to(call.returned)


def soft_dtw_divergence(signals: Signals, reference: torch.Tensor, *,
                        lengths: Lengths | torch.Tensor | None = None, gamma: float = 1.0,
                        cost: Cost = "abs", band: int | Sequence[int] | None = None,
                        backend: BackendName | None = None, memory_budget: int | None = None,
                        precision: Precision | None = None) -> torch.Tensor:
    """Differentiable sdtw(x_k, y) - (sdtw(x_k, x_k) + sdtw(y, y)) / 2 per signal (global
    end), each term within signal k's band; one call per signal for the self-terms."""
    call = _checked_call(signals, reference, lengths, gamma, "global", 0.0, None, cost, band,
                         backend, memory_budget, precision)
    options = call.options
    cross, _, _ = SoftDTWFunction.apply(
        call.signals, call.reference, call.lengths, None, options.gamma, "global", 0.0,
        options.cost, call.band, backend, memory_budget, precision, call.with_gradients)
    selves, _, _ = SelfTermsFunction.apply(
        call.signals, call.reference, call.lengths, options.gamma, options.cost, call.band,
        backend, memory_budget, precision, *call.gradients_of)
    return (cross - selves).to(call.returned)


def _band_count(band):
    """The signals a band is for: one per value of a sequence or an array; any number for
    one integer, which the check takes as one."""
    try:
        return len(band)
    except TypeError:
        return 1


class SoftDTWLoss(torch.nn.Module):
    """Soft-DTW of a batch of signals against a reference, reduced to a loss.

    reduction: "mean" (default), "sum" or "none" (one score per signal). With
    divergence=True the loss is the soft-DTW divergence, 0 for a signal equal to the
    reference (global end only). Every option is checked here, when the loss is built, as
    far as it can be without the tensors: gamma and ref_gap_penalty against the range of the
    type precision computes in (float64 when it is unset; the call checks them against the
    type it computes in). A band given as an array or a tensor, one integer per signal, is
    read here."""

    def __init__(self, gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                 reduction: Literal["mean", "sum", "none"] = "mean", divergence: bool = False,
                 cost: Cost = "abs", band: int | Sequence[int] | None = None,
                 backend: BackendName | None = None, memory_budget: int | None = None,
                 precision: Precision | None = None):
        super().__init__()
        _backends.check_precision(precision)
        widest = FLOAT32 if precision in ("float32", "mixed") else FLOAT64
        options = parse_options(gamma, end, ref_gap_penalty, widest, cost, band,
                                _band_count(band))
        _backends.check_name(backend)
        _check_memory_budget(memory_budget)
        if reduction not in REDUCTIONS:
            raise ValueError(f"reduction must be one of {', '.join(map(repr, REDUCTIONS))}, "
                             f"got: {reduction!r}")
        if divergence and (end != "global" or ref_gap_penalty != 0.0):
            raise ValueError("the soft-DTW divergence is defined for end='global' without "
                             "ref_gap_penalty")
        self.gamma, self.end, self.ref_gap_penalty = gamma, end, ref_gap_penalty
        self.reduction, self.divergence = reduction, divergence
        self.cost = cost
        # An array's values as integers, which a compiled model does not read at every call.
        self.band = options.band if hasattr(band, "__len__") else band
        self.backend, self.memory_budget, self.precision = backend, memory_budget, precision

    def forward(self, signals: Signals, reference: torch.Tensor,
                lengths: Lengths | torch.Tensor | None = None,
                alpha: float | torch.Tensor | None = None) -> torch.Tensor:
        options = dict(lengths=lengths, gamma=self.gamma, cost=self.cost, band=self.band,
                       backend=self.backend, memory_budget=self.memory_budget,
                       precision=self.precision)
        if self.divergence:
            if alpha is not None:
                raise ValueError("the soft-DTW divergence is defined without alpha")
            scores = soft_dtw_divergence(signals, reference, **options)
        else:
            scores = soft_dtw(signals, reference, end=self.end,
                              ref_gap_penalty=self.ref_gap_penalty, alpha=alpha, **options)
        if self.reduction == "mean":
            return scores.mean()
        return scores.sum() if self.reduction == "sum" else scores

    def extra_repr(self):
        return f"gamma={self.gamma}, end={self.end!r}, reduction={self.reduction!r}"
