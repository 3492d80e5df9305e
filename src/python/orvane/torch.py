"""PyTorch autograd for Soft-DTW: differentiable functions and an `nn.Module` loss.

Gradients flow to the signals and to the reference. CPU tensors run on the CPU, CUDA tensors
on their own GPU. When some input requires a gradient, the forward pass computes the
gradients of the samples along with the scores, a piece of the batch at a time within the
memory budget, and keeps only those for the backward pass.

    loss_fn = orvane.torch.SoftDTWLoss(gamma=0.1)
    loss = loss_fn(pred, target)                # pairs: pred (B, N, d), target (B, M, d)
    loss = loss_fn(signals, reference)          # one reference: signals list, or padded
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

import inspect
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

import torch

# The package's modules by name, so that the functions taken from them stay out of this
# module's public names; the annotations' types by their own.
from . import _accuracy, _api, _arrays, _backends, _batch, _core, _types
from ._api import BandKind, Cost, End, Lengths, Signals
from ._batch import Options
from ._types import BackendName, Precision

__all__ = ["SelfTermsFunction", "SoftDTWFunction", "SoftDTWLoss", "soft_dtw",
           "soft_dtw_divergence"]


def __dir__():
    # The module's namespace also holds what it imports (torch, the annotations' types);
    # dir() and completion offer the public names alone.
    return sorted(__all__)


# The array adapters are made now, at import: torch.compile cannot trace the import that a
# first call would otherwise make.
_arrays.libraries()

_REDUCTIONS = ("mean", "sum", "none")
# The operations carry memory_budget as a 64-bit integer.
_LARGEST_MEMORY_BUDGET = 2**63 - 1
# signals: flat (sum N_k, or (sum N_k, d) with an (M, d) reference) or padded (B, N, or
# (B, N, d)); lengths: B integers.
_OPTIONS = ("Tensor signals, Tensor reference, Tensor lengths, Tensor? alpha, float gamma, "
            "str end, float ref_gap_penalty, str cost, int[]? band, str band_kind, "
            "str? backend, int? memory_budget, str? precision")


def _prepare(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
             band_kind, backend, memory_budget, precision, ref_lengths=None, with_gradients=True,
             **extra):
    """The operation's inputs checked as the package checks them: pairs when ref_lengths is
    given, padded arrays with their channels last (the functions have read the shapes), and
    memory_budget against what the operation computes: the gradients without matrices, or
    the scores alone."""
    return _api.prepare(signals, reference, lengths=lengths.tolist(), gamma=gamma, end=end,
                        ref_gap_penalty=ref_gap_penalty, alpha=alpha, backend=backend,
                        memory_budget=memory_budget, precision=precision, cost=cost, band=band,
                        band_kind=band_kind, pairs=ref_lengths is not None,
                        channels_first=False,
                        ref_lengths=None if ref_lengths is None else ref_lengths.tolist(),
                        **_computed(with_gradients), **extra)


def _computed(with_gradients) -> dict:
    """What prepare checks memory_budget against: the gradients without matrices, or the
    scores alone (which keep none on the vectorised module)."""
    return dict(lean_gradients=True) if with_gradients else dict(matrices=None)


def _like_signals(inputs, flat_values, signals):
    """Per-sample values of the batch (gradients) shaped like the signals the operation took,
    zeros past each length of a padded batch, in their type."""
    return inputs.batch.in_input_form(flat_values).reshape(signals.shape).to(signals.dtype)


def _like_reference(inputs, flat_values, reference):
    """Per-sample values of the reference, or of each pair's, shaped like the reference the
    operation took, in its type."""
    return inputs.reference_in_input_form(flat_values).reshape(reference.shape).to(
        reference.dtype)


def _empty_gradients(signals, reference):
    return signals.new_empty(0), reference.new_empty(0)


@torch.library.custom_op("orvane::soft_dtw", mutates_args=(),
                         schema=f"({_OPTIONS}, bool with_gradients, Tensor? ref_lengths=None) "
                                "-> (Tensor, Tensor, Tensor)")
def soft_dtw_op(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
                band_kind, backend, memory_budget, precision, with_gradients, ref_lengths=None):
    """(scores, gradients of the samples, gradient of the reference). The scores and the
    samples' gradients have the signals' type, the reference's gradient the reference's,
    whatever the call computes in (precision); the gradients are shaped like their inputs,
    and empty unless with_gradients is set. With ref_lengths, reference is a batch of
    references, one per signal (flat or padded), and its gradient each pair's own."""
    inputs = _prepare(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost,
                      band, band_kind, backend, memory_budget, precision, ref_lengths,
                      with_gradients)
    if not with_gradients:
        found = _core.scores(inputs)
        _api.warn_if_no_path(inputs, found)
        return inputs.result(found).to(signals.dtype), *_empty_gradients(signals, reference)
    results = _core.gradients(inputs)
    _api.warn_if_no_path(inputs, results.scores)
    _accuracy.warn_if_unreliable(inputs, results.scores)
    return (inputs.result(results.scores).to(signals.dtype),
            _like_signals(inputs, results.signal_gradients, signals),
            _like_reference(inputs, results.reference_gradient, reference))


@soft_dtw_op.register_fake
def _(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band, band_kind,
      backend, memory_budget, precision, with_gradients, ref_lengths=None):
    gradients = ((signals.new_empty(signals.shape), reference.new_empty(reference.shape))
                 if with_gradients else _empty_gradients(signals, reference))
    return signals.new_empty(lengths.shape[0]), *gradients


@torch.library.custom_op(
    "orvane::soft_dtw_backward", mutates_args=(),
    schema=f"(Tensor grad_scores, {_OPTIONS}, Tensor signal_gradients, "
           "Tensor reference_gradient, Tensor? ref_lengths=None) -> (Tensor, Tensor)")
def soft_dtw_backward_op(grad_scores, signals, reference, lengths, alpha, gamma, end,
                         ref_gap_penalty, cost, band, band_kind, backend, memory_budget,
                         precision, signal_gradients, reference_gradient, ref_lengths=None):
    """The gradients of sum_k w_k * score_k, w = grad_scores, of the types and shapes of
    signals and reference. With one weight for every score they are the forward pass's
    gradients scaled; otherwise (or when the forward pass did not compute them) every
    signal's gradient matrix is weighed in a second pass, a piece of the batch at a time."""
    if signal_gradients.shape == signals.shape and bool(torch.all(grad_scores == grad_scores[0])):
        weight = grad_scores[0]
        return ((signal_gradients * weight).to(signals.dtype),
                (reference_gradient * weight).to(reference.dtype))
    inputs = _prepare(signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost,
                      band, band_kind, backend, memory_budget, precision, ref_lengths)
    weights = _batch.as_element(inputs.adapter, grad_scores, inputs.element)
    results = _core.gradients(inputs, score_weights=weights)
    return (_like_signals(inputs, results.signal_gradients, signals),
            _like_reference(inputs, results.reference_gradient, reference))


@soft_dtw_backward_op.register_fake
def _(grad_scores, signals, reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band,
      band_kind, backend, memory_budget, precision, signal_gradients, reference_gradient,
      ref_lengths=None):
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


def _self_terms(inputs, batch, with_gradients):
    """sdtw(v_k, v_k) of every signal v_k of the batch, within its own band, as pairs, and
    with_gradients the gradient of each with respect to its signal (which is both the signal
    and the reference), flat, or None."""
    pairs = _core.self_pairs(inputs, batch)
    if not with_gradients:
        return _core.scores(pairs), None
    results = _core.gradients(pairs)
    return results.scores, results.signal_gradients + results.reference_gradient


def _reference_self_term(values, width, with_gradients, options):
    """sdtw(y, y) within a band of that half-width (or none) as one value, and with_gradients
    its gradient (y is the signal and the reference), or None."""
    inputs = _api.prepare(values, values, lengths=None, end="global", ref_gap_penalty=0.0,
                          alpha=None, band=width, pairs=False, channels_first=False,
                          **_computed(with_gradients), **options)
    if not with_gradients:
        return _core.scores(inputs), None
    results = _core.run(inputs, sample_gradients=True)
    return results.scores, (results.signal_gradients + results.reference_gradient).reshape(
        values.shape)


def _shared_reference_terms(inputs, reference, with_gradients, options):
    """sdtw(y, y) within each signal's band (one call per band width), and with_gradients one
    row of its gradient per signal, (B, *reference.shape)."""
    widths = inputs.options.band or (None,) * inputs.batch.count
    once = {width: _reference_self_term(inputs.reference, width, with_gradients, options)
            for width in set(widths)}
    shared = [once[width] for width in widths]
    terms = torch.cat([score for score, _ in shared])
    if not with_gradients:
        return terms, reference.new_empty(0)
    return terms, torch.stack([g for _, g in shared]).to(reference.dtype) / 2


@torch.library.custom_op(
    "orvane::soft_dtw_self_terms", mutates_args=(),
    schema="(Tensor signals, Tensor reference, Tensor lengths, float gamma, str cost, "
           "int[]? band, str band_kind, str? backend, int? memory_budget, str? precision, "
           "bool signal_gradients, bool reference_gradients, Tensor? ref_lengths=None) -> "
           "(Tensor, Tensor, Tensor)")
def soft_dtw_self_terms_op(signals, reference, lengths, gamma, cost, band, band_kind, backend,
                           memory_budget, precision, signal_gradients, reference_gradients,
                           ref_lengths=None):
    """(sdtw(x_k, x_k) + sdtw(y, y)) / 2 for every signal x_k and the reference y, each term
    within signal k's band (the divergence's self-terms: the signals' as pairs, and one call
    per band width for the reference), of the signals' type; then, on request, the gradient
    of each with respect to its signal (shaped like the signals) and to the reference (one row
    a signal, (B, *reference.shape)), or empty tensors. With ref_lengths, reference holds one
    reference y_k per signal, whose terms run as pairs too, and their gradients come shaped
    like it."""
    options = dict(gamma=gamma, cost=cost, band_kind=band_kind, backend=backend,
                   memory_budget=memory_budget, precision=precision)
    inputs = _prepare(signals, reference, lengths, None, gamma, "global", 0.0, cost, band,
                      band_kind, backend, memory_budget, precision, ref_lengths,
                      signal_gradients or reference_gradients)
    _api.check_self_terms_fit(inputs, signal_gradients, reference_gradients)
    own, own_gradients = _self_terms(inputs, inputs.batch, signal_gradients)
    own_gradients = (_like_signals(inputs, own_gradients / 2, signals) if signal_gradients
                     else signals.new_empty(0))
    if inputs.pairs:
        shared, shared_gradients = _self_terms(inputs, inputs.references, reference_gradients)
        shared_gradients = (_like_reference(inputs, shared_gradients / 2, reference)
                            if reference_gradients else reference.new_empty(0))
    else:
        shared, shared_gradients = _shared_reference_terms(inputs, reference,
                                                           reference_gradients, options)
    return inputs.result((own + shared) / 2).to(signals.dtype), own_gradients, shared_gradients


@soft_dtw_self_terms_op.register_fake
def _(signals, reference, lengths, gamma, cost, band, band_kind, backend, memory_budget,
      precision, signal_gradients, reference_gradients, ref_lengths=None):
    count = lengths.shape[0]
    per_signal = reference.shape if ref_lengths is not None else (count, *reference.shape)
    return (signals.new_empty(count),
            signals.new_empty(signals.shape if signal_gradients else 0),
            reference.new_empty(per_signal if reference_gradients else 0))


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


def _wanted(ctx, signal_grad, reference_grad):
    """The two gradients where wanted, and None for every other input."""
    return (signal_grad if ctx.needs_input_grad[0] else None,
            reference_grad if ctx.needs_input_grad[1] else None,
            *[None] * (len(ctx.needs_input_grad) - 2))


# The arguments of soft_dtw between alpha and with_gradients.
_OPTION_COUNT = 9


def _setup_context(ctx, inputs, output):
    signals, reference, lengths, alpha, *rest = inputs
    ref_lengths = rest[_OPTION_COUNT + 1] if len(rest) > _OPTION_COUNT + 1 else None
    _, signal_gradients, reference_gradient = output
    ctx.mark_non_differentiable(signal_gradients, reference_gradient)
    ctx.save_for_backward(signals, reference, lengths, alpha, signal_gradients,
                          reference_gradient, ref_lengths)
    ctx.options = rest[:_OPTION_COUNT]


def _backward(ctx, grad_scores, *_):
    (signals, reference, lengths, alpha, signal_gradients, reference_gradient,
     ref_lengths) = ctx.saved_tensors
    with torch.no_grad():
        gradients = soft_dtw_backward_op(grad_scores, signals, reference, lengths, alpha,
                                         *ctx.options, signal_gradients, reference_gradient,
                                         ref_lengths)
    return _wanted(ctx, *_first_derivatives(*gradients, signals, reference))


soft_dtw_op.register_autograd(_backward, setup_context=_setup_context)

# The arguments of soft_dtw_self_terms between lengths and the two gradient flags.
_SELF_TERM_OPTION_COUNT = 7


def _self_terms_setup_context(ctx, inputs, output):
    signals, reference, lengths, *rest = inputs
    ref_lengths = rest[_SELF_TERM_OPTION_COUNT + 2] if len(rest) > _SELF_TERM_OPTION_COUNT + 2 \
        else None
    _, signal_gradients, reference_gradients = output
    ctx.mark_non_differentiable(signal_gradients, reference_gradients)
    ctx.save_for_backward(signals, reference, lengths, signal_gradients, reference_gradients,
                          ref_lengths)
    ctx.options = rest[:_SELF_TERM_OPTION_COUNT]


def _self_terms_gradients(ctx):
    """The terms' gradients of the forward pass, made now where it did not make those the
    backward pass needs (one reference)."""
    signals, reference, lengths, signal_gradients, reference_gradients, _ = ctx.saved_tensors
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


def _weighted_self_pairs(weights, values, lengths, half_gradients, options):
    """The gradient of sum_k w_k * sdtw(v_k, v_k) / 2 with respect to the values: the forward
    pass's gradients (half of each term's, or empty where it made none) weighed by the
    backward operation, which takes v as both the signals and the references."""
    gamma, cost, band, band_kind, backend, memory_budget, precision = options
    with torch.no_grad():
        as_signals, as_references = soft_dtw_backward_op(
            weights / 2, values, values, lengths, None, gamma, "global", 0.0, cost, band,
            band_kind, backend, memory_budget, precision,
            half_gradients * 2 if half_gradients.shape == values.shape else half_gradients,
            torch.zeros_like(values), lengths)
    return as_signals + as_references


def _pair_self_terms_backward(ctx, weights):
    """Each pair's terms weighed by its own weight: the signals' and the references' alike."""
    signals, reference, lengths, signal_gradients, reference_gradients, ref_lengths = \
        ctx.saved_tensors
    signal_grad = reference_grad = None
    if ctx.needs_input_grad[0]:
        signal_grad = _weighted_self_pairs(weights, signals, lengths, signal_gradients,
                                           ctx.options)
    if ctx.needs_input_grad[1]:
        reference_grad = _weighted_self_pairs(weights.to(reference.dtype), reference,
                                              ref_lengths, reference_gradients, ctx.options)
    return _first_derivatives(
        signals.new_zeros(0) if signal_grad is None else signal_grad,
        reference.new_zeros(0) if reference_grad is None else reference_grad,
        signals, reference)


def _self_terms_backward(ctx, grad_terms, *_):
    """Each term's gradients weighed by its own weight."""
    signals, reference, lengths = ctx.saved_tensors[:3]
    weights = grad_terms.to(signals.dtype)
    if ctx.saved_tensors[5] is not None:
        return _wanted(ctx, *_pair_self_terms_backward(ctx, weights))
    signal_gradients, reference_gradients = _self_terms_gradients(ctx)
    signal_grad = (signal_gradients * _weight_of_each_sample(weights, signals, reference, lengths)
                   if ctx.needs_input_grad[0] else None)
    reference_grad = (torch.tensordot(weights, reference_gradients.to(weights.dtype), dims=1)
                      .to(reference.dtype) if ctx.needs_input_grad[1] else None)
    return _wanted(ctx, signal_grad, reference_grad)


soft_dtw_self_terms_op.register_autograd(_self_terms_backward,
                                         setup_context=_self_terms_setup_context)


class SoftDTWFunction(torch.autograd.Function):
    """scores, signal_gradients, reference_gradient = SoftDTWFunction.apply(signals,
    reference, lengths, alpha, gamma, end, ref_gap_penalty, cost, band, band_kind, backend,
    memory_budget, precision, with_gradients[, ref_lengths]), the arguments of
    `torch.ops.orvane.soft_dtw`: signals flat (sum N_k, or (sum N_k, d) with an (M, d)
    reference) or padded (B, N, or (B, N, d)), lengths B integers (int64), reference and alpha
    (None or B values) tensors; with ref_lengths (B integers), reference holds one reference
    per signal, flat or padded like signals. Differentiable with respect to signals and
    reference (when with_gradients is set), under `torch.func.grad` and `torch.func.jacrev`
    too."""

    @staticmethod
    def forward(*arguments):
        return soft_dtw_op(*arguments)

    setup_context = staticmethod(_setup_context)
    backward = staticmethod(_backward)
    vmap = staticmethod(_refuse_vmap)


class SelfTermsFunction(torch.autograd.Function):
    """terms, signal_gradients, reference_gradients = SelfTermsFunction.apply(signals,
    reference, lengths, gamma, cost, band, band_kind, backend, memory_budget, precision,
    signal_gradients, reference_gradients[, ref_lengths]), the arguments of
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
    _batch.check_memory_budget(memory_budget)
    if memory_budget is not None and memory_budget > _LARGEST_MEMORY_BUDGET:
        raise ValueError(f"memory_budget must be at most 2**63 - 1 bytes (a 64-bit integer), "
                         f"got: {memory_budget!r}")


def _checked_lengths(lengths, name):
    """A lengths tensor checked for its type and dimensions; its values are read, and checked,
    by the operation, so that torch.compile does not take them for constants."""
    if lengths.dtype.is_floating_point or lengths.dtype.is_complex or lengths.dtype == torch.bool:
        raise TypeError(f"{name} must hold integers, got {lengths.dtype}")
    if lengths.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {lengths.ndim} dimensions")
    if lengths.shape[0] == 0:
        raise ValueError(f"{name} is empty")
    return lengths.to(device="cpu", dtype=torch.int64)


def _as_data(lengths, values, name, what):
    """Lengths as the operations take them: a tensor checked (a list, while torch.compile
    traces, becomes one: it makes a list's integers symbols once they change, which the
    package's checks of integers do not trace)."""
    if isinstance(lengths, torch.Tensor) and isinstance(values, (list, tuple)):
        raise ValueError(f"{name} goes with a padded or flat tensor of {what}, not with a list")
    if lengths is not None and not isinstance(lengths, (torch.Tensor, str)) and (
            torch.compiler.is_compiling()):
        lengths = torch.tensor(list(lengths))
    return _checked_lengths(lengths, name) if isinstance(lengths, torch.Tensor) else lengths


def _to_read(lengths):
    """What the shapes are read with: a list as it is, a tensor's values; while torch.compile
    traces, whose graph must not read them, their count alone, which decides the reading as
    the values would (the operation checks the values)."""
    if not isinstance(lengths, torch.Tensor):
        return lengths
    if torch.compiler.is_compiling():
        return _batch.UnreadLengths(lengths.shape[0])
    return lengths.tolist()


def _check_torch_signals(signals):
    first = signals[0] if isinstance(signals, (list, tuple)) and signals else signals
    try:
        library = _arrays.native(first, "signals")[0]
    except (TypeError, ValueError, RuntimeError):
        return  # the package's checks say what is wrong
    if library.name != "torch":
        raise TypeError(f"orvane.torch takes PyTorch tensors, got {library.name} arrays")


def _compute_type(float64_inputs, precision):
    """float64 for the float64 path (float64 tensors by default, on every backend, or
    precision="float64"), float32 otherwise."""
    if precision is not None:
        return torch.float64 if precision == "float64" else torch.float32
    return torch.float64 if float64_inputs else torch.float32


def _as_taken(values, batch, dtype, channels_first):
    """Signals (or references) as one differentiable tensor of the type the call computes in:
    a list joined into a flat tensor, a padded or flat one as it is, its channels last."""
    if batch.form == "list":
        return torch.cat([value.to(dtype) for value in values])
    return (values.transpose(-1, -2) if channels_first else values).to(dtype)


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
    alpha = _batch.parse_alpha(alpha, _Signals(batch.adapter, batch.device, count),
                               check_values=False)
    if alpha is None or isinstance(alpha, torch.Tensor):
        return alpha if alpha is None else alpha.detach().to(dtype)
    return torch.full((count,), float(alpha), dtype=dtype, device=str(batch.device))


@dataclass(frozen=True)
class _Call:
    """A checked call as the operations take it."""

    signals: torch.Tensor    # flat or padded, of the type the call computes in
    reference: torch.Tensor  # of that type too; with pairs, the references flat or padded
    lengths: torch.Tensor    # B int64 values on the host
    ref_lengths: torch.Tensor | None  # with pairs, B int64 values on the host
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


def _lengths_of(given, batch):
    """The lengths tensor of a batch: the one given, or its parsed lengths."""
    if isinstance(given, torch.Tensor):
        return given
    return torch.tensor(batch.lengths, dtype=torch.int64)


def _checked_call(signals, reference, lengths, gamma, end, ref_gap_penalty, alpha, cost, band,
                  band_kind, backend, memory_budget, precision, ref_lengths=None, pairs=None,
                  channels_first=None) -> _Call:
    if not isinstance(reference, (list, tuple)):
        _check_tensor(reference, "reference")
    _check_torch_signals(signals)
    lengths = _as_data(lengths, signals, "lengths", "signals")
    ref_lengths = _as_data(ref_lengths, reference, "ref_lengths", "references")
    parsed = _batch.parse_call(signals, reference, _to_read(lengths), _to_read(ref_lengths),
                               pairs, channels_first)
    batch, references = parsed.batch, parsed.references
    _backends.check_name(backend)
    _backends.check_precision(precision)
    _check_memory_budget(memory_budget)
    float64_inputs = batch.float64 or (references.float64 if references is not None
                                       else parsed.reference.dtype == torch.float64)
    dtype = _compute_type(float64_inputs, precision)
    count = batch.count
    element = _types.FLOAT64 if dtype == torch.float64 else _types.FLOAT32
    options = _batch.parse_options(gamma, end, ref_gap_penalty, element, cost, band, count,
                                   band_kind)
    parsed.read_nan_padding()
    lengths = _lengths_of(lengths, batch)
    channels_first = parsed.reading.channels_first
    flat_or_padded = _as_taken(signals, batch, dtype, channels_first)
    if references is None:
        taken = (reference.transpose(-1, -2) if channels_first else reference).to(dtype)
    else:
        taken = _as_taken(reference, references, dtype, channels_first)
    # Float64 results of float32 inputs are rounded once, at the end.
    returned = torch.float64 if float64_inputs and dtype == torch.float64 else torch.float32
    if taken is flat_or_padded:  # one tensor as both: autograd and torch.compile take
        taken = taken.clone()    # each input once
    # A traced graph may later run for training, so it always computes them.
    gradients_of = tuple(torch.jit.is_tracing() or (torch.is_grad_enabled()
                                                    and tensor.requires_grad)
                         for tensor in (flat_or_padded, taken))
    return _Call(flat_or_padded, taken, lengths,
                 None if references is None else _lengths_of(ref_lengths, references),
                 options, _alpha_tensor(alpha, batch, count, dtype), returned, gradients_of)


def soft_dtw(signals: Signals, reference: torch.Tensor | Signals, *,
             lengths: Lengths | torch.Tensor | None = None,
             ref_lengths: Lengths | torch.Tensor | None = None, pairs: bool | None = None,
             channels_first: bool | None = None, gamma: float = 1.0, end: End = "global",
             ref_gap_penalty: float = 0.0, alpha: float | torch.Tensor | None = None,
             cost: Cost = "sqeuclidean", band: int | Sequence[int] | None = None,
             band_kind: BandKind = "scaled", backend: BackendName | None = None,
             memory_budget: int | None = None,
             precision: Precision | None = None) -> torch.Tensor:
    """Differentiable Soft-DTW scores, one per signal (or per pair: signal k against
    reference k); arguments as for `orvane.soft_dtw`: lengths and ref_lengths a sequence of
    integers or an integer tensor (or "nan", eagerly: from a padded batch's NaN padding),
    band an integer or one per signal (a sequence, a NumPy array or an integer tensor),
    precision None, "float32", "mixed" or "float64". By default float64 tensors run the
    float64 path and give float64 scores and gradients, other tensors the mixed path."""
    call = _checked_call(signals, reference, lengths, gamma, end, ref_gap_penalty, alpha, cost,
                         band, band_kind, backend, memory_budget, precision, ref_lengths, pairs,
                         channels_first)
    options = call.options
    found, _, _ = SoftDTWFunction.apply(
        call.signals, call.reference, call.lengths, call.alpha, options.gamma, options.end,
        options.ref_gap_penalty, options.cost, call.band, options.band_kind, backend,
        memory_budget, precision, call.with_gradients, call.ref_lengths)
    return found.to(call.returned)


def soft_dtw_divergence(signals: Signals, reference: torch.Tensor | Signals, *,
                        lengths: Lengths | torch.Tensor | None = None,
                        ref_lengths: Lengths | torch.Tensor | None = None,
                        pairs: bool | None = None, channels_first: bool | None = None,
                        gamma: float = 1.0, cost: Cost = "sqeuclidean",
                        band: int | Sequence[int] | None = None, band_kind: BandKind = "scaled",
                        backend: BackendName | None = None, memory_budget: int | None = None,
                        precision: Precision | None = None) -> torch.Tensor:
    """Differentiable sdtw(x_k, y) - (sdtw(x_k, x_k) + sdtw(y, y)) / 2 per signal (global
    end; with pairs, y_k in place of y), each term within signal k's band; the self-terms run
    as pairs."""
    call = _checked_call(signals, reference, lengths, gamma, "global", 0.0, None, cost, band,
                         band_kind, backend, memory_budget, precision, ref_lengths, pairs,
                         channels_first)
    options = call.options
    cross, _, _ = SoftDTWFunction.apply(
        call.signals, call.reference, call.lengths, None, options.gamma, "global", 0.0,
        options.cost, call.band, options.band_kind, backend, memory_budget, precision,
        call.with_gradients, call.ref_lengths)
    selves, _, _ = SelfTermsFunction.apply(
        call.signals, call.reference, call.lengths, options.gamma, options.cost, call.band,
        options.band_kind, backend, memory_budget, precision, *call.gradients_of,
        call.ref_lengths)
    return (cross - selves).to(call.returned)


def _band_count(band):
    """The signals a band is for: one per value of a sequence or an array; any number for
    one integer (a 0-d array or tensor too), which the check takes as one."""
    return 1 if _batch.is_one_value(band) else len(band)


class SoftDTWLoss(torch.nn.Module):
    """Soft-DTW of predictions against their targets (or of a batch against one reference),
    reduced to a loss: differentiable with respect to both, on CPU and CUDA tensors.

    A call, `loss_fn(signals, reference, lengths=None, alpha=None, ref_lengths=None)`, takes
    the forms of `orvane.soft_dtw`:

    signals: B signals, a list of (N_k,) or (N_k, d) tensors, a padded (B, N) or (B, N, d)
        tensor (with lengths, or every row full; (B, d, N) with channels_first=True), or a
        flat (sum N_k,) or (sum N_k, d) tensor with lengths.
    reference: one reference for every signal, (M,) or (M, d); or pairs, signal k against
        reference k: a list of (M_k,) or (M_k, d) tensors, a padded (B, M) or (B, M, d)
        tensor (with ref_lengths, or every row full), or a flat one with ref_lengths.
    returns: with reduction "mean" (the default) or "sum", a 0-d tensor, the mean or the sum
        of the B scores; with "none", the B scores, of shape (B,). On the signals' device,
        float64 for float64 tensors on the float64 path and float32 otherwise. Gradients
        reach the signals and the reference (whichever require grad) in their own shapes.

    Shapes that read two ways ((B, N) against (B, M) at N = M: B pairs, or one signal of B
    samples of N channels against a reference of B samples) are refused unless pairs says
    which, here or in the call.

    gamma: the soft minimum's smoothing, greater than zero.
    end, ref_gap_penalty, cost, band, band_kind, backend, memory_budget: as for
        `orvane.soft_dtw`.
    reduction: "mean", "sum" or "none".
    divergence: the soft-DTW divergence in place of the score, 0 for a signal equal to its
        reference (global end, without ref_gap_penalty or alpha).
    precision: None (float64 tensors run the float64 path, others the mixed path),
        "float32", "mixed" or "float64", as for `orvane.soft_dtw`.
    pairs, channels_first: None (the shapes say), True or False, as for `orvane.soft_dtw`.

    Every option is checked here, when the loss is built, as far as it can be without the
    tensors: gamma and ref_gap_penalty against the range of the type precision computes in
    (float64 when it is unset; the call checks them against the type it computes in), and
    divergence, pairs and channels_first as bools (pairs and channels_first None too). A
    band given as an array or a tensor, one integer per signal or a 0-d one, is read here.

    Four predictions of 2 channels, each against its own target, then a batch of 1-D
    signals of three lengths against one template, a score each:

        >>> import torch
        >>> import orvane.torch
        >>> loss_fn = orvane.torch.SoftDTWLoss(gamma=0.1)
        >>> pred = torch.randn(4, 30, 2, requires_grad=True)
        >>> target = torch.randn(4, 25, 2)
        >>> loss = loss_fn(pred, target)
        >>> loss.shape
        torch.Size([])
        >>> loss.backward()
        >>> pred.grad.shape
        torch.Size([4, 30, 2])
        >>> per_signal = orvane.torch.SoftDTWLoss(reduction="none", divergence=True)
        >>> per_signal
        SoftDTWLoss(reduction='none', divergence=True)
        >>> per_signal(torch.randn(3, 40), torch.zeros(20), lengths=[40, 31, 25]).shape
        torch.Size([3])
    """

    def __init__(self, gamma: float = 1.0, end: End = "global", ref_gap_penalty: float = 0.0,
                 reduction: Literal["mean", "sum", "none"] = "mean", divergence: bool = False,
                 cost: Cost = "sqeuclidean", band: int | Sequence[int] | None = None,
                 band_kind: BandKind = "scaled", backend: BackendName | None = None,
                 memory_budget: int | None = None, precision: Precision | None = None,
                 pairs: bool | None = None, channels_first: bool | None = None):
        super().__init__()
        _backends.check_precision(precision)
        widest = _types.FLOAT32 if precision in ("float32", "mixed") else _types.FLOAT64
        options = _batch.parse_options(gamma, end, ref_gap_penalty, widest, cost, band,
                                       _band_count(band), band_kind)
        _backends.check_name(backend)
        _check_memory_budget(memory_budget)
        if reduction not in _REDUCTIONS:
            raise ValueError(f"reduction must be one of {', '.join(map(repr, _REDUCTIONS))}, "
                             f"got: {reduction!r}")
        divergence = _batch.boolean(divergence, "divergence")
        if divergence and (end != "global" or ref_gap_penalty != 0.0):
            raise ValueError("the soft-DTW divergence is defined for end='global' without "
                             "ref_gap_penalty")
        self.pairs = _batch.flag(pairs, "pairs")
        self.channels_first = _batch.flag(channels_first, "channels_first")
        self.gamma, self.end, self.ref_gap_penalty = gamma, end, ref_gap_penalty
        self.reduction, self.divergence = reduction, divergence
        self.cost, self.band_kind = cost, band_kind
        # An array's values as integers, which a compiled model does not read at every call.
        self.band = None if band is None else (
            options.band[0] if _batch.is_one_value(band) else options.band)
        self.backend, self.memory_budget, self.precision = backend, memory_budget, precision

    def forward(self, signals: Signals, reference: torch.Tensor | Signals,
                lengths: Lengths | torch.Tensor | None = None,
                alpha: float | torch.Tensor | None = None,
                ref_lengths: Lengths | torch.Tensor | None = None) -> torch.Tensor:
        """The loss of the signals against the reference (or each against its own): a 0-d
        tensor, or B scores with reduction="none"; the forms are the class's.

        lengths: with a padded or flat tensor of signals, their B lengths: a sequence of
            integers, an integer tensor (whose values a compiled model does not read), or
            "nan" to take them from a padded tensor's trailing NaN padding.
        alpha: a number or B values, subtracted from every cell's cost (not with the
            divergence).
        ref_lengths: with pairs given as a padded or flat tensor, the references' B lengths,
            in the forms of lengths.
        """
        options = dict(lengths=lengths, ref_lengths=ref_lengths, pairs=self.pairs,
                       channels_first=self.channels_first, gamma=self.gamma, cost=self.cost,
                       band=self.band, band_kind=self.band_kind, backend=self.backend,
                       memory_budget=self.memory_budget, precision=self.precision)
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

    def extra_repr(self) -> str:
        """The options that differ from their defaults, as the constructor takes them: read
        from its signature, so that an option it gains shows without being listed here."""
        options = inspect.signature(SoftDTWLoss.__init__).parameters.values()
        return ", ".join(f"{option.name}={getattr(self, option.name)!r}" for option in options
                         if option.name != "self"
                         and getattr(self, option.name) != option.default)
