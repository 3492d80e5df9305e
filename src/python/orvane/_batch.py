"""Argument checks and the batch forms: a list of 1-D arrays, a padded 2-D array with
`lengths`, or a flat array with `lengths`. Everything here runs before anything is
allocated on a device or any address is formed."""

from __future__ import annotations

import math
import numbers
import operator
from dataclasses import dataclass

import numpy as np

from ._arrays import FLOAT32, FLOAT64, Element, native

MAX_POSITIONS = 2**31 - 1
FLOAT32_OVERFLOW = 2.0**128 - 2.0**103
FLOAT64_MIN_NORMAL = 2.0**-1022
# Halfway between the smallest normal float32 and the subnormal below it, which rounds up.
FLOAT32_SMALLEST_ROUNDING_TO_NORMAL = 2.0**-126 - 2.0**-150
ENDS = ("global", "free", "free_last_row")


@dataclass
class Batch:
    """Signals as one flat array of the element type a call computes in, on one device, with
    the form they came in."""

    adapter: object
    device: object
    build_flat: object  # makes the flat array of an Element, once every check has passed
    lengths: list[int]
    form: str          # "list", "padded" or "flat"
    width: int = 0     # padded: the row length
    flat: object = None
    float64: bool = False  # whether the signals came as float64

    def materialize(self, element=FLOAT32):
        if self.flat is None:
            self.flat = self.build_flat(element)
        return self

    @property
    def count(self) -> int:
        return len(self.lengths)

    def signal_offsets(self) -> list[int]:
        return [0, *np.cumsum(self.lengths).tolist()]

    def in_input_form(self, flat_values):
        """Per-sample values (such as gradients) shaped like the signals were given."""
        offsets = self.signal_offsets()
        pieces = [flat_values[a:b] for a, b in zip(offsets[:-1], offsets[1:])]
        if self.form == "list":
            return pieces
        if self.form == "flat":
            return flat_values
        element = FLOAT64 if self.adapter.is_float64(flat_values) else FLOAT32
        padded = self.adapter.zeros(self.count * self.width, self.device, element)
        for k, piece in enumerate(pieces):
            padded[k * self.width:k * self.width + self.lengths[k]] = piece
        return padded.reshape(self.count, self.width)


def _check_floating(adapter, array, name):
    if not adapter.is_floating(array):
        raise TypeError(f"{name} must hold floating-point numbers, got {array.dtype}")
    return array


def as_element(adapter, array, element=FLOAT32):
    """The array itself when it is of the element type and contiguous, else a contiguous copy
    converted to it."""
    return array if adapter.is_contiguous_as(array, element) else adapter.as_type(array, element)


def _length_list(lengths, name="lengths"):
    try:
        values = [operator.index(v) for v in lengths]
    except TypeError:
        raise TypeError(f"{name} must be a sequence of integers") from None
    for k, value in enumerate(values):
        if value < 1:
            raise ValueError(f"{name}[{k}] must be positive, got: {value}")
    return values


def _one_dimensional(array, name):
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimensions")
    if array.shape[0] == 0:
        raise ValueError(f"{name} is empty")


def parse_signals(signals, lengths=None, name="signals", lengths_name="lengths") -> Batch:
    """The signals checked, not yet converted; messages name them `name` and their lengths
    `lengths_name`."""
    if isinstance(signals, (list, tuple)):
        return _parse_list(signals, lengths, name, lengths_name)
    adapter, array = native(signals, name)
    device = adapter.device(array)
    if array.ndim == 2:
        return _parse_padded(adapter, device, array, lengths, name, lengths_name)
    if array.ndim != 1:
        raise ValueError(f"{name} must be a list of 1-D arrays, a padded 2-D array or a flat "
                         f"1-D array, got {array.ndim} dimensions")
    _one_dimensional(array, name)
    sizes = [array.shape[0]] if lengths is None else _length_list(lengths, lengths_name)
    if sum(sizes) != array.shape[0]:
        raise ValueError(f"{lengths_name} add up to {sum(sizes)}, but the flat {name} hold "
                         f"{array.shape[0]} samples")
    _check_floating(adapter, array, name)
    return Batch(adapter, device, lambda element: as_element(adapter, array, element), sizes,
                 "flat", float64=adapter.is_float64(array))


def _parse_list(signals, lengths, name, lengths_name):
    if lengths is not None:
        raise ValueError(f"{lengths_name} goes with a padded or flat array of {name}, not with "
                         "a list")
    if len(signals) == 0:
        raise ValueError(f"{name} is empty")
    natives = [native(signal, f"{name}[{k}]") for k, signal in enumerate(signals)]
    adapter, first = natives[0]
    device = adapter.device(first)
    arrays = []
    for k, (library, array) in enumerate(natives):
        item = f"{name}[{k}]"
        if library is not adapter:
            raise TypeError(f"{item} is a {library.name} array, but {name}[0] is a "
                            f"{adapter.name} array; pass every input from one library")
        if library.device(array) != device:
            raise ValueError(f"{item} is on {library.device(array)}, but {name}[0] is on "
                             f"{device}; every input must be on one device")
        _one_dimensional(array, item)
        arrays.append(_check_floating(library, array, item))

    def build_flat(element):
        converted = [as_element(adapter, array, element) for array in arrays]
        return converted[0] if len(converted) == 1 else adapter.concat(converted)

    return Batch(adapter, device, build_flat, [a.shape[0] for a in arrays], "list",
                 float64=any(adapter.is_float64(array) for array in arrays))


def _parse_padded(adapter, device, array, lengths, name, lengths_name):
    rows, width = array.shape
    if rows == 0 or width == 0:
        raise ValueError(f"{name} is empty (shape {rows} x {width})")
    sizes = [width] * rows if lengths is None else _length_list(lengths, lengths_name)
    if len(sizes) != rows:
        raise ValueError(f"{lengths_name} has {len(sizes)} entries for {rows} padded {name}")
    for k, size in enumerate(sizes):
        if size > width:
            raise ValueError(f"{lengths_name}[{k}] is {size}, longer than the rows of the "
                             f"padded {name} ({width})")
    _check_floating(adapter, array, name)

    def build_flat(element):
        values = as_element(adapter, array, element)
        if all(size == width for size in sizes):
            return values.reshape(-1)
        return adapter.concat([values[k, :size] for k, size in enumerate(sizes)])

    return Batch(adapter, device, build_flat, sizes, "padded", width,
                 float64=adapter.is_float64(array))


def parse_reference(reference, batch: Batch, name="reference"):
    """The reference, checked but not yet converted to float32."""
    adapter, array = native(reference, name)
    if adapter is not batch.adapter:
        raise TypeError(f"{name} is a {adapter.name} array, but signals are {batch.adapter.name}"
                        " arrays; pass every input from one library")
    if adapter.device(array) != batch.device:
        raise ValueError(f"{name} is on {adapter.device(array)}, but signals are on "
                         f"{batch.device}; every input must be on one device")
    _one_dimensional(array, name)
    return _check_floating(adapter, array, name)


def parse_alpha(alpha, batch: Batch, check_values=True, element=FLOAT32):
    """None, a number, or B values on the signals' device; checked, not yet converted: finite
    as numbers of the element type. check_values=False leaves an array's values (which may be
    on a device) unread."""
    if alpha is None:
        return alpha
    if isinstance(alpha, numbers.Real) and not isinstance(alpha, bool):
        if not _finite_as(_real(alpha, "alpha"), element):
            raise ValueError(f"alpha must be finite, got: {alpha!r}")
        return alpha
    adapter, array = native(alpha, "alpha")
    if adapter is not batch.adapter or adapter.device(array) != batch.device:
        raise ValueError(f"alpha must be a number or a {batch.adapter.name} array on "
                         f"{batch.device}")
    if array.ndim != 1 or array.shape[0] != batch.count:
        raise ValueError(f"alpha must hold one value per signal ({batch.count}), got shape "
                         f"{tuple(array.shape)}")
    _check_floating(adapter, array, "alpha")
    if not check_values:
        return array
    with np.errstate(over="ignore"):
        values = np.asarray(adapter.to_numpy(array)).astype(element.numpy)
    if not np.isfinite(values).all():
        raise ValueError(f"alpha must be finite, got: {values[~np.isfinite(values)][0]} "
                         f"for signal {int(np.flatnonzero(~np.isfinite(values))[0])}")
    return array


def alpha_values(alpha, batch: Batch, element=FLOAT32):
    """The checked alpha as B values of the element type on the signals' device, or None."""
    if alpha is None:
        return None
    if isinstance(alpha, numbers.Real):
        return batch.adapter.from_numpy(np.full(batch.count, alpha, element.numpy), batch.device)
    return as_element(batch.adapter, alpha, element)


def _real(value, name):
    """A real number as a float; integers too large for one become an infinity."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _finite_as(value: float, element: Element) -> bool:
    """Whether value rounds to a finite number of the element type (plain comparisons, which
    torch.compile traces): from 2^128 - 2^103 on, rounding to float32 gives infinity."""
    return abs(value) < (math.inf if element is FLOAT64 else FLOAT32_OVERFLOW)


def _normal_as(value: float, element: Element) -> bool:
    """Whether value rounds to a normal number of the element type, at least its smallest."""
    return value >= (FLOAT64_MIN_NORMAL if element is FLOAT64
                     else FLOAT32_SMALLEST_ROUNDING_TO_NORMAL)


@dataclass(frozen=True)
class Options:
    gamma: float
    end: str
    ref_gap_penalty: float

    @property
    def local_end(self) -> bool:
        return self.end != "global"

    @property
    def last_row_only(self) -> bool:
        return self.end == "free_last_row"


def parse_options(gamma, end, ref_gap_penalty, element=FLOAT32) -> Options:
    """The options checked for a call computing in the element type."""
    value = _real(gamma, "gamma")
    if not (_finite_as(value, element) and _normal_as(value, element)):
        raise ValueError(f"gamma must be a finite, normal {element.name} number greater than "
                         f"zero, got: {gamma!r}")
    if not isinstance(end, str) or end not in ENDS:
        raise ValueError(f"end must be one of {', '.join(map(repr, ENDS))}, got: {end!r}")
    penalty = _real(ref_gap_penalty, "ref_gap_penalty")
    if end != "global" and not _finite_as(penalty, element):
        raise ValueError(f"ref_gap_penalty must be a finite number, got: {ref_gap_penalty!r}")
    return Options(value, end, penalty)


def check_memory_budget(memory_budget):
    if memory_budget is not None and (isinstance(memory_budget, bool)
                                      or not isinstance(memory_budget, numbers.Integral)
                                      or memory_budget <= 0):
        raise ValueError(f"memory_budget must be a positive number of bytes, got: "
                         f"{memory_budget!r}")


def plan_chunks(lengths, ref_length, matrices, memory_budget=None, element=FLOAT32,
                cell_bytes=None):
    """Signal ranges [start, stop) that one call each can hold: positions fit in 32 bits
    and, with a budget, the `matrices` temporary batch matrices of what the call computes in
    (or `cell_bytes` a cell, when given) fit in it."""
    check_memory_budget(memory_budget)
    cell_limit = MAX_POSITIONS
    if cell_bytes is None:
        cell_bytes = element.cell_bytes(matrices)
    if memory_budget is not None and cell_bytes > 0:
        cell_limit = min(cell_limit, memory_budget // cell_bytes)
    chunks, start, cells, samples = [], 0, 0, 0
    for k, length in enumerate(lengths):
        own = length * ref_length
        if own > MAX_POSITIONS:
            raise ValueError(f"signal {k} needs a {length} x {ref_length} matrix of {own} cells, "
                             f"more than the {MAX_POSITIONS} one call can address")
        if own > cell_limit:
            raise ValueError(f"signal {k} needs {own * cell_bytes} bytes of "
                             f"matrices, more than memory_budget ({memory_budget})")
        if k > start and (cells + own > cell_limit or samples + length > MAX_POSITIONS):
            chunks.append((start, k))
            start, cells, samples = k, 0, 0
        cells += own
        samples += length
    chunks.append((start, len(lengths)))
    return chunks
