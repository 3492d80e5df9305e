"""The Soft-DTW barycenter of a batch: the signal z that minimises sum_k w_k * sdtw(x_k, z), or
the weighted sum of divergences, by L-BFGS (SciPy). z is the reference of every call, so one
call per evaluation gives the objective and its gradient, with the weights applied inside."""

from __future__ import annotations

import math
import numbers
import operator
from dataclasses import dataclass, replace

import numpy as np

from . import _accuracy, _backends
from ._api import (SCORE_OPTION_DEFAULTS, Array, Lengths, Signals, check_divergence_options,
                   prepare, signal_self_scores)
from ._arrays import native, warn_if_tracked
from ._batch import Batch, parse_reference, parse_signals, signal_channels
from ._core import Inputs, run
from ._types import FLOAT32, FLOAT64

# soft_dtw's options but gamma, which barycenter takes itself (its reading keywords do not
# apply: z is one reference).
OPTION_DEFAULTS = {name: default for name, default in SCORE_OPTION_DEFAULTS.items()
                   if name != "gamma"}


@dataclass
class BarycenterResult:
    """How the minimisation went. scores: the objective at the initial signal, then after
    every iteration (float64); converged: whether L-BFGS met its tolerance; iterations: how
    many it ran; message: SciPy's word on why it stopped."""

    scores: np.ndarray
    converged: bool
    iterations: int
    message: str


def barycenter(signals: Signals, length: int | None = None, *, lengths: Lengths | None = None,
               init: Array | None = None, weights: Array | None = None, gamma: float = 1.0,
               divergence: bool = False, max_iter: int = 100, tol: float = 1e-3,
               **options) -> tuple[Array, BarycenterResult]:
    """(z, result): the signal z of `length` samples that minimises sum_k w_k * sdtw(x_k, z),
    or with divergence=True sum_k w_k * (sdtw(x_k, z) - (sdtw(x_k, x_k) + sdtw(z, z)) / 2),
    found by SciPy's L-BFGS-B (SciPy must be installed) from `init`.

    signals: a batch in any of `soft_dtw`'s forms, with `lengths` for a padded or flat array.
    length: the barycenter's number of samples; by default init's, or else the signals' mean
        length, rounded.
    init: where the search starts, a 1-D array like the signals; by default the weighted
        mean of the signals, each linearly resampled to `length`.
    weights: one non-negative value per signal, not all zero; by default 1 / B each.
    max_iter, tol: L-BFGS-B's iteration limit and tolerance (on the objective's relative
        change and on the largest component of its gradient). tol's default, 1e-3, is
        tslearn's, with the same meaning; max_iter allows twice tslearn's 50 iterations,
        which matters only for a search that has not met tol by then.
    options: every other keyword of `soft_dtw` (end, alpha, backend, precision, ...), passed
        on. The divergence is defined for the global end without alpha or gap penalty.

    The search runs in the type the path computes in (`soft_dtw`'s choice for the signals:
    float64 for float64 signals on the host, the objective and its gradient then float64
    too). z is the reference of every call, of any length. z comes back in the
    signals' library, on their device, float64 for float64 signals on the float64 path and
    float32 otherwise; `result.scores[-1]` is the objective there.
    """
    warn_if_tracked("barycenter", signals=signals, init=init)
    minimize = _scipy_minimize()
    _check_limits(max_iter, tol)
    objective, start = objective_of(signals, length, lengths=lengths, init=init,
                                    weights=weights, gamma=gamma, divergence=divergence,
                                    **options)
    found, history = _minimize(minimize, objective, start, max_iter, tol)
    inputs = objective.inputs
    returned = FLOAT64 if inputs.returns_float64 else FLOAT32
    z = inputs.adapter.from_numpy(found.x.astype(returned.numpy).reshape(inputs.reference.shape),
                                  inputs.batch.device)
    return z, BarycenterResult(np.array(history), bool(found.success), int(found.nit),
                               str(found.message))


def objective_of(signals, length=None, *, lengths=None, init=None, weights=None, gamma=1.0,
                 divergence=False, **options) -> tuple[Objective, np.ndarray]:
    """The objective of a barycenter call and where its search starts (float64), every
    argument checked before anything is computed."""
    unknown = sorted(options.keys() - OPTION_DEFAULTS.keys())
    if unknown:
        raise TypeError(f"barycenter() got an unexpected keyword argument {unknown[0]!r}")
    options = {**OPTION_DEFAULTS, **options}
    if divergence:
        check_divergence_options(**options)
    batch = parse_signals(signals, lengths, signal_channels(signals, lengths=lengths))
    start = None if init is None else _init_values(init, batch, length)
    length = _length(length, start, batch.lengths)
    chosen = _backend_of(batch, options["backend"])
    values = _weights(weights, batch.count,
                      _backends.choose_element(options["precision"], chosen, batch.float64))
    # A stand-in for z while the call is checked: of the signals' type, so that they alone
    # choose the path, and of their channels.
    stand_in = batch.samples_shaped(batch.adapter.zeros(
        length * batch.channels, batch.device, FLOAT64 if batch.float64 else FLOAT32))
    inputs = prepare(signals, stand_in, lengths=lengths, gamma=gamma, **options,
                     lean_gradients=True)
    if start is None:
        start = _resampled_mean(inputs, length, values)
    return Objective.of(inputs, values, divergence), start.reshape(-1)


@dataclass
class Objective:
    """The objective and its gradient at z, both float64 NumPy arrays (as SciPy takes them).

    The gradient is the reference gradient of one call on the whole batch with the weights
    applied inside it. With the divergence, -W/2 * sdtw(z, z) is added (W the sum of the
    weights): z is both the signal and the reference of that self-call, so its gradient is the
    sum of that call's signal and reference gradients. The signals' own self-terms are
    constants, computed once."""

    inputs: Inputs
    weights: np.ndarray          # float64, for the objective
    call_weights: object         # the same, in the call's type on the signals' device
    divergence: bool
    constant: float              # sum_k w_k * sdtw(x_k, x_k) / 2 with the divergence, else 0

    @classmethod
    def of(cls, inputs: Inputs, weights: np.ndarray, divergence: bool) -> Objective:
        call_weights = inputs.adapter.from_numpy(weights.astype(inputs.element.numpy),
                                                 inputs.batch.device)
        constant = (float(weights @ _host(inputs, signal_self_scores(inputs))) / 2
                    if divergence else 0.0)
        return cls(inputs, weights, call_weights, divergence, constant)

    def __call__(self, z: np.ndarray) -> tuple[float, np.ndarray]:
        """z: the barycenter's values, sample by sample."""
        shape = self.inputs.reference.shape
        inputs = replace(self.inputs, reference=self.inputs.adapter.from_numpy(
            np.asarray(z, self.inputs.element.numpy).reshape(shape), self.inputs.batch.device))
        results = run(inputs, sample_gradients=True, score_weights=self.call_weights,
                      reference_only=True)
        _accuracy.warn_if_unreliable(inputs, results.scores)
        value = float(self.weights @ _host(inputs, results.scores))
        gradient = _host(inputs, results.reference_gradient)
        if self.divergence:
            self_value, self_gradient = _self_term(inputs)
            half_total = self.weights.sum() / 2
            value -= half_total * self_value + self.constant
            gradient -= half_total * self_gradient
        return value, gradient


def _self_term(inputs: Inputs) -> tuple[float, np.ndarray]:
    """sdtw(z, z) and its gradient with respect to z, the reference of `inputs`."""
    z = inputs.reference
    alone = replace(inputs.batch, lengths=[inputs.ref_length], form="flat", flat=z.reshape(-1))
    results = run(replace(inputs, batch=alone), sample_gradients=True)
    gradient = _host(inputs, results.signal_gradients) + _host(inputs, results.reference_gradient)
    return float(_host(inputs, results.scores)[0]), gradient


def _host(inputs: Inputs, array) -> np.ndarray:
    return np.asarray(inputs.adapter.to_numpy(array), np.float64)


def _scipy_minimize():
    try:
        from scipy.optimize import minimize
    except ImportError as error:
        raise ImportError("orvane.barycenter needs SciPy for its L-BFGS minimiser: pip install "
                          "scipy") from error
    return minimize


def _minimize(minimize, objective, start, max_iter, tol):
    """SciPy's result and the objective at the start and after every iteration."""
    history = []

    def evaluate(z):
        value, gradient = objective(z)
        if not history:
            history.append(value)
        return value, gradient

    def record(intermediate_result):
        history.append(float(intermediate_result.fun))

    found = minimize(evaluate, start, method="L-BFGS-B", jac=True, tol=tol,
                     options={"maxiter": max_iter}, callback=record)
    return found, history


def _weights(weights, count, element) -> np.ndarray:
    """One real, finite, non-negative weight per signal, as float64: finite in the type the
    call weighs in too, and not all zero."""
    if weights is None:
        return np.full(count, 1.0 / count)
    if isinstance(weights, (list, tuple)):
        for k, value in enumerate(weights):
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"weights must be real numbers, got {type(value).__name__} for "
                                f"signal {k}")
        values = np.asarray(weights, np.float64)
    else:
        adapter, array = native(weights, "weights")
        values = np.asarray(adapter.to_numpy(array))
        if values.dtype.kind not in "iuf":
            raise TypeError(f"weights must be real numbers, got an array of {values.dtype}")
        values = values.astype(np.float64)
    if values.shape != (count,):
        raise ValueError(f"weights must hold one value per signal ({count}), got shape "
                         f"{values.shape}")
    with np.errstate(over="ignore"):
        in_call_type = values.astype(element.numpy)
    for k, (value, rounded) in enumerate(zip(values, in_call_type)):
        if not (math.isfinite(value) and value >= 0):
            raise ValueError(f"weights must be finite and not negative, got {value} for "
                             f"signal {k}")
        if not math.isfinite(rounded):
            raise ValueError(f"weights must be finite as {element.numpy.__name__}, the type "
                             f"this call weighs in; got {value} for signal {k}")
    if not values.any():
        raise ValueError("weights are all zero, which leaves nothing to minimise")
    return values


def _init_values(init, batch: Batch, length) -> np.ndarray:
    init = parse_reference(init, batch, name="init")
    if length is not None and init.shape[0] != length:
        raise ValueError(f"init has {init.shape[0]} samples, but length is {length}")
    values = np.asarray(batch.adapter.to_numpy(init), np.float64)
    if not np.isfinite(values).all():
        raise ValueError("init must be finite")
    return values


def _length(length, start, signal_lengths) -> int:
    if length is None:
        return len(start) if start is not None else round(float(np.mean(signal_lengths)))
    if isinstance(length, bool) or not isinstance(length, numbers.Integral):
        raise TypeError(f"length must be an integer, got {type(length).__name__}")
    if length < 1:
        raise ValueError(f"length must be at least 1, got {length}")
    return operator.index(length)


def _check_limits(max_iter, tol):
    if isinstance(max_iter, bool) or not isinstance(max_iter, numbers.Integral):
        raise TypeError(f"max_iter must be an integer, got {type(max_iter).__name__}")
    if max_iter < 1:
        raise ValueError(f"max_iter must be at least 1, got {max_iter}")
    if isinstance(tol, bool) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a real number, got {type(tol).__name__}")
    if not (math.isfinite(tol) and tol > 0):
        raise ValueError(f"tol must be finite and greater than zero, got {tol}")


def _backend_of(batch: Batch, backend) -> _backends.Backend:
    return _backends.choose(batch.device, backend, batch.adapter, "signals")


def _resampled_mean(inputs: Inputs, length, weights) -> np.ndarray:
    """The weighted mean of the signals, each channel of each linearly resampled to `length`
    samples: length x d values."""
    channels = inputs.batch.channels
    samples = _host(inputs, inputs.batch.flat).reshape(-1, channels)
    offsets = np.cumsum([0, *inputs.batch.lengths])
    grid = np.linspace(0.0, 1.0, length)
    resampled = [np.stack([np.interp(grid, np.linspace(0.0, 1.0, stop - start),
                                     samples[start:stop, c]) for c in range(channels)], axis=1)
                 for start, stop in zip(offsets[:-1], offsets[1:])]
    return np.tensordot(weights, np.array(resampled), axes=1) / weights.sum()
