"""Argument checks and the batch forms: a list of 1-D arrays, a padded 2-D array with
`lengths`, or a flat array with `lengths`; with a 2-D reference of d channels, (N_k, d)
arrays, a padded (B, N, d) array or a flat (sum N_k, d) one. References come as one array, or
as a batch of their own in the same forms (pairs: one reference per signal), and a call whose
shapes read both ways is refused rather than guessed. Everything here runs before anything
is allocated on a device or any address is formed."""

from __future__ import annotations

import math
import numbers
import operator
from dataclasses import dataclass

import numpy as np

from ._arrays import native
from ._types import FLOAT32, FLOAT64, Element

MAX_POSITIONS = 2**31 - 1
FLOAT32_OVERFLOW = 2.0**128 - 2.0**103
FLOAT64_MIN_NORMAL = 2.0**-1022
# Halfway between the smallest normal float32 and the subnormal below it, which rounds up.
FLOAT32_SMALLEST_ROUNDING_TO_NORMAL = 2.0**-126 - 2.0**-150
ENDS = ("global", "free", "free_last_row")
# lengths=NAN_PADDED: a padded array's lengths come from its trailing NaN padding.
NAN_PADDED = "nan"
COSTS = ("abs", "sqeuclidean")
# How a band's half-width spreads over an N x M matrix (see `soft_dtw`'s band_kind).
BAND_KINDS = ("scaled", "widened")


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
    channels: int = 1  # values per sample; the flat array holds them sample by sample
    with_channels: bool = False  # whether samples came as rows of a channel axis
    channels_first: bool = False  # padded (B, d, N): given values go back in that layout
    given: object = None  # the caller's array (or list of arrays), channels last, unconverted
    # lengths="nan" left unread: gives the lengths, each row's full width until then.
    unread_padding: object = None

    def materialize(self, element=FLOAT32):
        if self.flat is None:
            self.flat = self.build_flat(element, self.lengths)
        return self

    def read_nan_padding(self):
        """Takes the lengths of lengths="nan" from the padding, which parse_call leaves unread
        so that a call checks its options before it reads a whole batch."""
        if self.unread_padding is not None:
            self.lengths, self.unread_padding = self.unread_padding(), None
        return self

    @property
    def count(self) -> int:
        return len(self.lengths)

    def signal_offsets(self) -> list[int]:
        """Where each signal's values start in the flat array, and where the last ends."""
        return [0, *(np.cumsum(self.lengths) * self.channels).tolist()]

    def samples_shaped(self, values):
        """Values of consecutive samples, with a channel axis where the samples have one."""
        return values.reshape(-1, self.channels) if self.with_channels else values

    def in_input_form(self, flat_values):
        """Per-sample values (such as gradients) shaped like the signals were given."""
        if self.form == "flat":
            return self.samples_shaped(flat_values)
        offsets = self.signal_offsets()
        if self.form == "list":
            return [self.samples_shaped(flat_values[a:b])
                    for a, b in zip(offsets[:-1], offsets[1:])]
        if all(length == self.width for length in self.lengths):
            padded = flat_values  # no padding: the rows are the flat values in order
        else:
            element = FLOAT64 if self.adapter.is_float64(flat_values) else FLOAT32
            row = self.width * self.channels
            padded = self.adapter.zeros(self.count * row, self.device, element)
            for k, (a, b) in enumerate(zip(offsets[:-1], offsets[1:])):
                padded[k * row:k * row + b - a] = flat_values[a:b]
        shape = (self.count, self.width, self.channels) if self.with_channels else \
            (self.count, self.width)
        padded = padded.reshape(*shape)
        return self.adapter.swap_last_axes(padded) if self.channels_first else padded


def _check_floating(adapter, array, name):
    if not adapter.is_floating(array):
        raise TypeError(f"{name} must hold floating-point numbers, got {array.dtype}")
    return array


def as_element(adapter, array, element=FLOAT32):
    """The array itself when it is of the element type and contiguous, else a contiguous copy
    converted to it."""
    return array if adapter.is_contiguous_as(array, element) else adapter.as_type(array, element)


def _integer(value):
    """An integer as operator.index gives it; bools (of any array library), which index as 0
    and 1, are refused."""
    if isinstance(value, (bool, np.bool_)) or str(getattr(value, "dtype", "")).endswith("bool"):
        raise TypeError("a bool is not an integer")
    return operator.index(value)


def is_integer(value) -> bool:
    """Whether value is one integer (a NumPy integer, or a 0-d integer array or tensor, too);
    bools are not."""
    try:
        _integer(value)
    except TypeError:
        return False
    return True


def integer_list(values, name, what="a sequence of integers"):
    """The integers of an ordered collection. A set is refused: its order is a hash order,
    not the caller's."""
    if isinstance(values, (set, frozenset)):
        raise TypeError(f"{name} must be {what}, in order; got a {type(values).__name__}, "
                        "whose order is not the one it was written in")
    try:
        listed = list(values)
    except TypeError:
        raise TypeError(f"{name} must be {what}, got {type(values).__name__}") from None
    integers = []
    for k, value in enumerate(listed):
        try:
            integers.append(_integer(value))
        except TypeError:
            raise TypeError(f"{name} must be {what}, got {type(value).__name__} at position "
                            f"{k}") from None
    return integers


def _length_list(lengths, name="lengths"):
    values = integer_list(lengths, name)
    for k, value in enumerate(values):
        if value < 1:
            raise ValueError(f"{name}[{k}] must be positive, got: {value}")
    return values


@dataclass(frozen=True)
class UnreadLengths:
    """Lengths of which only the count is known here: a tensor while torch.compile traces,
    whose graph must not depend on its values (the operation reads and checks them). They
    decide the reading of the shapes as lengths do, by their presence and their count."""

    count: int


def _sizes(lengths, name):
    """The lengths as integers, or None for each length left unread."""
    if isinstance(lengths, UnreadLengths):
        return [None] * lengths.count
    return _length_list(lengths, name)


def _one_dimensional(array, name):
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimensions")
    if array.shape[0] == 0:
        raise ValueError(f"{name} is empty")


@dataclass(frozen=True)
class Channels:
    """Values per sample, as the reference gives them: a 1-D reference has one and signals
    without a channel axis; an (M, d) one d, and signals with a channel axis of d."""

    count: int = 1
    axis: bool = False

    def check_sample_shape(self, array, name, sample_axis):
        """The dimensions past `sample_axis` (the samples') must be the channels'."""
        dimensions = sample_axis + (2 if self.axis else 1)
        if array.ndim != dimensions and not self.axis and sample_axis == 0:
            raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimensions "
                             "(samples of d channels take a reference of shape (M, d))")
        if array.ndim != dimensions:
            raise ValueError(f"{name} must have {dimensions} dimensions ({self.describe()}), "
                             f"got {array.ndim}")
        if self.axis and array.shape[-1] != self.count:
            raise ValueError(f"{name} has {array.shape[-1]} channels, the reference "
                             f"{self.count}; signals and reference must have the same channels")
        if array.shape[sample_axis] == 0 or (self.axis and self.count == 0):
            raise ValueError(f"{name} is empty")

    def flatten(self, samples):
        """Samples as one row of values, sample by sample (the array itself without a
        channel axis)."""
        return samples.reshape(-1) if self.axis else samples

    def describe(self) -> str:
        return (f"samples of {self.count} channels, like the reference" if self.axis
                else "1-D samples, like the reference")


def reference_channels(reference, name="reference") -> Channels:
    """The channels of a reference: 1-D, or (M, d). A reference that is no usable array
    counts as 1-D here: the signals' own checks come first, parse_reference's after them."""
    try:
        _, array = native(reference, name)
    except (TypeError, ValueError, RuntimeError):
        return Channels()
    if array.ndim == 1:
        return Channels()
    if array.ndim == 2:
        if array.shape[1] == 0:
            raise ValueError(f"{name} has no channels (shape {tuple(array.shape)})")
        return Channels(int(array.shape[1]), True)
    raise ValueError(f"{name} must be a 1-D array, or (M, d) for samples of d channels; got "
                     f"{array.ndim} dimensions")


def signal_channels(signals, name="signals", lengths=None,
                    lengths_name="lengths") -> Channels:
    """The channels of signals that come without a reference (pairwise, barycenter): those
    of a list's (N_k, d) arrays, of a padded (B, N, d) array, or of a flat (sum N_k, d) array
    with lengths; 1-D samples otherwise. A 2-D array with lengths is flat when its rows are
    the lengths' sum and padded when they are one per length: where both readings fit and
    they differ, the call is refused rather than guessed."""
    listed = isinstance(signals, (list, tuple))
    try:
        _, array = native(signals[0] if listed and signals else signals, name)
    except (TypeError, ValueError, RuntimeError):
        return Channels()  # parse_signals says what is wrong
    if array.ndim == (2 if listed else 3) and array.shape[-1] > 0:
        return Channels(int(array.shape[-1]), True)
    if listed or array.ndim != 2 or lengths is None:
        return Channels()
    if isinstance(lengths, UnreadLengths):
        # One a row reads as padded, fewer as flat (each holds a sample at least). The
        # operation refuses what the values then contradict, as it refuses flat rows of one
        # sample each, which read both ways once the values are known.
        return Channels(int(array.shape[1]), True) if lengths.count < array.shape[0] \
            else Channels()
    try:
        sizes = _length_list(lengths, lengths_name)
    except (TypeError, ValueError):
        return Channels()  # parse_signals says what is wrong
    rows, width = array.shape
    flat = sum(sizes) == rows and width > 0
    padded = len(sizes) == rows and all(size <= width for size in sizes)
    if flat and padded and width > 1:
        raise ValueError(
            f"{name} of shape ({rows}, {width}) with {lengths_name} {sizes} reads both as "
            f"{rows} padded 1-D signals and as a flat batch of samples of {width} channels; "
            f"pass a list of arrays, or a padded ({rows}, {width}, 1) array for 1-D signals")
    return Channels(width, True) if flat and not padded else Channels()


def parse_signals(signals, lengths=None, channels=Channels(), name="signals",
                  lengths_name="lengths", read_padding=True) -> Batch:
    """The signals checked, not yet converted; messages name them `name` and their lengths
    `lengths_name`. read_padding=False leaves lengths="nan" unread (see
    Batch.read_nan_padding)."""
    if isinstance(signals, (list, tuple)):
        return _parse_list(signals, lengths, channels, name, lengths_name)
    adapter, array = native(signals, name)
    device = adapter.device(array)
    if array.ndim == 2 + channels.axis:
        batch = _parse_padded(adapter, device, array, lengths, channels, name, lengths_name)
        return batch.read_nan_padding() if read_padding else batch
    if array.ndim != 1 + channels.axis:
        forms = ("a list of (N_k, d) arrays, a padded (B, N, d) array or a flat (sum N_k, d) "
                 "array" if channels.axis else
                 "a list of 1-D arrays, a padded 2-D array or a flat 1-D array")
        raise ValueError(f"{name} must be {forms}, got {array.ndim} dimensions"
                         + _channel_axis_hint(array, channels))
    channels.check_sample_shape(array, name, 0)
    _refuse_nan_lengths(lengths, lengths_name, name, "a flat array")
    sizes = [array.shape[0]] if lengths is None else _sizes(lengths, lengths_name)
    _check_flat_sizes(sizes, array.shape[0], name, lengths_name)
    _check_floating(adapter, array, name)
    return Batch(adapter, device,
                 lambda element, _: channels.flatten(as_element(adapter, array, element)),
                 sizes, "flat", float64=adapter.is_float64(array), channels=channels.count,
                 with_channels=channels.axis, given=array)


def _channel_axis_hint(array, channels: Channels) -> str:
    """What makes (B, N, d) signals valid where a 1-D reference read them as 1-D: tslearn
    lays out even 1-D data sets as (n, sz, 1)."""
    if channels.axis or array.ndim != 3 or array.shape[-1] == 0:
        return ""
    hint = ("; for signals of shape (B, N, d) give the reference as (M, d), or the references "
            "as (B, M, d)")
    return hint + (", here d = 1: reference[..., None]" if array.shape[-1] == 1 else "")


def _check_flat_sizes(sizes, samples, name, lengths_name):
    if None not in sizes and sum(sizes) != samples:
        raise ValueError(f"{lengths_name} add up to {sum(sizes)}, but the flat {name} hold "
                         f"{samples} samples")
    if len(sizes) > samples:  # unread lengths hold one sample each at least
        raise ValueError(f"{lengths_name} has {len(sizes)} entries, but the flat {name} hold "
                         f"{samples} samples")


def _refuse_nan_lengths(lengths, lengths_name, name, form):
    if isinstance(lengths, str) and lengths == NAN_PADDED:
        raise ValueError(f"{lengths_name}={NAN_PADDED!r} takes the lengths of a padded array from "
                         f"its NaN padding, but {name} is {form}")


def _parse_list(signals, lengths, channels, name, lengths_name):
    _refuse_nan_lengths(lengths, lengths_name, name, "a list")
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
        channels.check_sample_shape(array, item, 0)
        arrays.append(_check_floating(library, array, item))

    def build_flat(element, _):
        converted = [channels.flatten(as_element(adapter, array, element)) for array in arrays]
        return converted[0] if len(converted) == 1 else adapter.concat(converted)

    return Batch(adapter, device, build_flat, [a.shape[0] for a in arrays], "list",
                 float64=any(adapter.is_float64(array) for array in arrays),
                 channels=channels.count, with_channels=channels.axis, given=arrays)


def _parse_padded(adapter, device, array, lengths, channels, name, lengths_name):
    rows, width = array.shape[:2]
    if rows == 0 or width == 0:
        raise ValueError(f"{name} is empty (shape {' x '.join(map(str, array.shape))})")
    channels.check_sample_shape(array, name, 1)
    _check_floating(adapter, array, name)
    nan_padded = isinstance(lengths, str) and lengths == NAN_PADDED
    sizes = [width] * rows if lengths is None or nan_padded else _sizes(lengths, lengths_name)
    if len(sizes) != rows:
        raise ValueError(f"{lengths_name} has {len(sizes)} entries for {rows} padded {name}")
    for k, size in enumerate(sizes):
        if size is not None and size > width:
            raise ValueError(f"{lengths_name}[{k}] is {size}, longer than the rows of the "
                             f"padded {name} ({width})")

    def build_flat(element, sizes):
        values = as_element(adapter, array, element)
        if all(size == width for size in sizes):
            return values.reshape(-1)
        return adapter.concat([values[k, :size].reshape(-1) for k, size in enumerate(sizes)])

    return Batch(adapter, device, build_flat, sizes, "padded", width,
                 float64=adapter.is_float64(array), channels=channels.count,
                 with_channels=channels.axis, given=array,
                 unread_padding=(lambda: _lengths_from_nan_padding(adapter, array, channels, name))
                 if nan_padded else None)


def _lengths_from_nan_padding(adapter, array, channels, name) -> list[int]:
    """Each row's length up to its trailing padding: samples that are NaN in every channel,
    as tslearn pads its data sets."""
    padding = np.isnan(np.asarray(adapter.to_numpy(adapter.as_type(array, FLOAT64))))
    if channels.axis:
        padding = padding.all(axis=-1)
    kept = ~padding
    sizes = np.where(kept.any(axis=1), kept.shape[1] - np.argmax(kept[:, ::-1], axis=1), 0)
    for k, size in enumerate(sizes.tolist()):
        if size == 0:
            raise ValueError(f"{name}[{k}] is NaN throughout: nothing is left of it once its "
                             "padding is taken off")
    return sizes.tolist()


def last_samples(batch: Batch) -> np.ndarray:
    """Each signal's last sample, (B, channels) in float64, read from the caller's arrays:
    nothing of the batch is converted."""
    adapter, given, count = batch.adapter, batch.given, batch.count
    if batch.form == "list":
        given = adapter.concat([array[-1:] for array in given])
        positions = (list(range(count)),)
    elif batch.form == "padded":
        positions = (list(range(count)), [length - 1 for length in batch.lengths])
    else:
        positions = ((np.cumsum(batch.lengths) - 1).tolist(),)
    return adapter.values_at(given, positions).reshape(count, batch.channels)


def check_no_nan_ends(batch: Batch, name="signals", lengths_name="lengths"):
    """Refuses a batch whose signals end in NaN, as a batch padded with NaN does when it comes
    without lengths: it would be aligned with its padding. Reads the last samples alone, so
    that the batch is refused before any of it is converted."""
    ending_in_nan = np.isnan(last_samples(batch))
    for k in np.flatnonzero(ending_in_nan.any(axis=1)).tolist():
        which = name if batch.count == 1 and batch.form != "padded" else f"{name}[{k}]"
        raise ValueError(_nan_end_message(which, ending_in_nan[k], batch.form, lengths_name))


def check_reference_end(adapter, reference):
    """Refuses one reference that ends in NaN; it takes no lengths, so the way out is to pass
    it without its padding."""
    last = adapter.values_at(reference, ([int(reference.shape[0]) - 1],)).reshape(-1)
    if np.isnan(last).any():
        raise ValueError(_nan_end_message("reference", np.isnan(last), "one", None))


def _nan_end_message(which, nan_channels, form, lengths_name) -> str:
    """What a signal that ends in NaN is taken for, and what its caller can do: padding is NaN
    in every channel, and lengths="nan" takes it off a padded array; a last sample NaN in some
    channels only is a missing value, which no lengths="nan" takes off."""
    leave_out = {"padded": f"pass {lengths_name} that leave {{}} out",
                 "flat": f"take {{}} out of the flat array, and out of {lengths_name}",
                 "list": "pass the array without {}",
                 "one": "pass the reference without {} (one reference takes no lengths)"}[form]
    if not nan_channels.all():
        padding = ("which is NaN in every channel, and all that "
                   f"{lengths_name}={NAN_PADDED!r} takes off" if form == "padded"
                   else "which is NaN in every channel")
        return (f"{which} ends in a sample that is NaN in {int(nan_channels.sum())} of its "
                f"{nan_channels.size} channels: a missing value, not padding ({padding}); fill "
                "it in, or " + leave_out.format("that sample"))
    if form == "padded":
        return (f"{which} ends in NaN, as a batch padded with NaN does (tslearn pads its data "
                f"sets so): pass {lengths_name}={NAN_PADDED!r} to take each length from the "
                f"padding, or {lengths_name} that leave the padding out")
    return (f"{which} ends in NaN, as a signal padded with NaN does: "
            + leave_out.format("its padding")
            + ("" if form == "one" else f", or pass the batch as a padded array with "
                                       f"{lengths_name}={NAN_PADDED!r}"))


def parse_reference(reference, batch: Batch, name="reference"):
    """The reference, checked but not yet converted to float32."""
    adapter, array = native(reference, name)
    if adapter is not batch.adapter:
        raise TypeError(f"{name} is a {adapter.name} array, but signals are {batch.adapter.name}"
                        " arrays; pass every input from one library")
    if adapter.device(array) != batch.device:
        raise ValueError(f"{name} is on {adapter.device(array)}, but signals are on "
                         f"{batch.device}; every input must be on one device")
    if batch.with_channels:
        Channels(batch.channels, True).check_sample_shape(array, name, 0)
    else:
        _one_dimensional(array, name)
    return _check_floating(adapter, array, name)


def parse_references(references, batch: Batch, ref_lengths=None, channels=Channels()) -> Batch:
    """A batch of references, one per signal of `batch`, checked, not yet converted, with
    ref_lengths="nan" unread (see Batch.read_nan_padding)."""
    parsed = parse_signals(references, ref_lengths, channels, "reference", "ref_lengths",
                           read_padding=False)
    if parsed.adapter is not batch.adapter:
        raise TypeError(f"reference holds {parsed.adapter.name} arrays, but signals are "
                        f"{batch.adapter.name} arrays; pass every input from one library")
    if parsed.device != batch.device:
        raise ValueError(f"reference is on {parsed.device}, but signals are on {batch.device}; "
                         "every input must be on one device")
    if parsed.count != batch.count:
        raise ValueError(f"reference holds {parsed.count} references for {batch.count} signals; "
                         "pairs take one reference per signal")
    return parsed


@dataclass(frozen=True)
class Reading:
    """How a call's shapes are read: pairs (signal k against reference k) or every signal
    against one reference, and whether padded arrays have their channels before their
    samples ((B, d, N), as torch.nn.Conv1d lays them out)."""

    pairs: bool
    channels_first: bool = False


@dataclass
class Parsed:
    """A call's signals and reference as one reading takes them."""

    reading: Reading
    batch: Batch
    reference: object = None       # the one reference, checked
    references: Batch | None = None  # pairs: one reference per signal

    def read_nan_padding(self):
        """Takes lengths="nan" (and ref_lengths="nan") from the padding: see Batch's."""
        self.batch.read_nan_padding()
        if self.references is not None:
            self.references.read_nan_padding()
        return self

    def describe(self) -> str:
        batch = self.batch
        samples = (f"samples of {batch.channels} channels" if batch.with_channels
                   else "1-D samples")
        if self.reading.channels_first:
            samples += ", channels first"
        if self.reading.pairs:
            return f"{batch.count} pairs, signal k against reference k ({samples})"
        signals = f"{batch.count} signals" if batch.count > 1 else "one signal"
        if batch.count == 1 and batch.lengths[0] is not None:  # None: unread
            signals += f" of {batch.lengths[0]} samples"
        return (f"{signals} ({samples}) against one reference of "
                f"{int(self.reference.shape[0])} samples")


def boolean(value, name, what="True or False") -> bool:
    """True or False (a NumPy bool too); TypeError naming it otherwise, where a truthy value
    would silently read as True."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be {what}, got {type(value).__name__}")
    return bool(value)


def flag(value, name):
    """True, False or None (let the shapes say); TypeError naming it otherwise."""
    return None if value is None else boolean(value, name, "True, False or None")


def _dimensions(value, name):
    """An argument's number of dimensions, or None for a list or what is no array (whose own
    parse says what is wrong)."""
    if isinstance(value, (list, tuple)):
        return None
    try:
        return native(value, name)[1].ndim
    except (TypeError, ValueError, RuntimeError):
        return None


def _readings(signals, reference, ref_lengths, pairs, channels_first) -> list[Reading]:
    """The readings a call's shapes allow, today's one-reference reading first."""
    dimensions = _dimensions(reference, "reference")
    batch_of_references = isinstance(reference, (list, tuple)) or ref_lengths is not None
    ways = []
    # A 3-D reference is pairs only; it stays a one-reference candidate, whose refusal then
    # says what one reference may be.
    if pairs is not True and not batch_of_references:
        ways.append(False)
    if pairs is True or (pairs is None and (batch_of_references or dimensions in (2, 3))):
        ways.append(True)
    if not ways:
        raise ValueError("pairs=False takes one reference, but reference is a batch of them (a "
                         "list, an array with ref_lengths, or a padded (B, M, d) array); pass "
                         "pairs=True, or one 1-D or (M, d) reference")
    layouts = [bool(channels_first)]
    signal_dimensions = _dimensions(signals, "signals")
    if channels_first is None and signal_dimensions == 3:
        rows = native(signals, "signals")[1].shape
        if rows[1] < rows[2]:  # more channels than samples: read channels first too
            layouts.append(True)
    return [Reading(way, layout) for way in ways for layout in layouts]


def _channels_last(value, name, dimensions):
    """A padded array of channels first, (..., d, N), as (..., N, d)."""
    if isinstance(value, (list, tuple)):
        raise ValueError(f"channels_first=True takes {name} as a padded array, channels before "
                         f"samples; a list of {name} takes (N_k, d) arrays, channels last")
    adapter, array = native(value, name)
    if array.ndim != dimensions:
        raise ValueError(f"channels_first=True takes {name} as a padded array of "
                         f"{dimensions} dimensions, channels before samples; got "
                         f"{array.ndim} dimensions")
    return adapter.swap_last_axes(array)


def _parse_reading(reading: Reading, signals, reference, lengths, ref_lengths) -> Parsed:
    if reading.channels_first:
        signals = _channels_last(signals, "signals", 3)
        reference = _channels_last(reference, "reference", 3 if reading.pairs else 2)
    if reading.pairs:
        channels = signal_channels(reference, "reference", ref_lengths, "ref_lengths")
        parsed = parse_pairs(signals, reference, lengths, ref_lengths, channels)
        parsed.batch.channels_first = parsed.references.channels_first = reading.channels_first
        return Parsed(reading, parsed.batch, references=parsed.references)
    batch = parse_signals(signals, lengths, reference_channels(reference), read_padding=False)
    batch.channels_first = reading.channels_first
    return Parsed(reading, batch, reference=parse_reference(reference, batch))


def parse_pairs(signals, references, lengths, ref_lengths, channels: Channels) -> Parsed:
    """Pairs whose samples' channels are known (pairwise's flat batches, where (B, d) with
    lengths of one reads as B padded 1-D signals too), read that way alone; lengths="nan"
    left unread as parse_call leaves it."""
    batch = parse_signals(signals, lengths, channels, read_padding=False)
    return Parsed(Reading(True), batch,
                  references=parse_references(references, batch, ref_lengths, channels))


def parse_call(signals, reference, lengths=None, ref_lengths=None, pairs=None,
               channels_first=None) -> Parsed:
    """The signals and the reference as the one reading that fits them. pairs and
    channels_first pick a reading; left None, every reading the shapes allow is tried, and a
    call that fits two is refused with both and the keyword that picks one. lengths="nan" is
    left unread until Parsed.read_nan_padding, once the call's options have passed their
    checks; lengths of UnreadLengths decide the reading by their count alone."""
    pairs = flag(pairs, "pairs")
    channels_first = flag(channels_first, "channels_first")
    fitting, refusals = [], []
    for reading in _readings(signals, reference, ref_lengths, pairs, channels_first):
        try:
            fitting.append(_parse_reading(reading, signals, reference, lengths, ref_lengths))
        except (TypeError, ValueError) as refusal:
            refusals.append(refusal)
    if len(fitting) == 1:
        return fitting[0]
    if fitting:
        first, second = fitting[:2]
        keyword = ("pairs=True or pairs=False" if first.reading.pairs != second.reading.pairs
                   else "channels_first=True or channels_first=False")
        raise ValueError(f"signals and reference read two ways: as {first.describe()}, or as "
                         f"{second.describe()}; pass {keyword} to say which")
    messages = list(dict.fromkeys(str(refusal) for refusal in refusals))
    if len(messages) == 1:
        raise refusals[0]
    raise type(refusals[0])("signals and reference fit no reading: "
                            + "; or else ".join(messages))


def _one_of(value, name, allowed) -> str:
    if not isinstance(value, str) or value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, got: {value!r}")
    return value


def parse_cost(cost) -> str:
    return _one_of(cost, "cost", COSTS)


def parse_band_kind(band_kind) -> str:
    return _one_of(band_kind, "band_kind", BAND_KINDS)


def is_one_value(value) -> bool:
    """Whether value is one value, rather than a sequence: a 0-d array or tensor is one."""
    return not hasattr(value, "__len__") or getattr(value, "ndim", None) == 0


def parse_band(band, count) -> tuple[int, ...] | None:
    """None, or the half-width of a Sakoe-Chiba band per signal: from one integer (a 0-d
    integer array or tensor too), or a sequence of B."""
    if band is None:
        return None
    if not is_one_value(band):
        widths = integer_list(band, "band", "an integer or a sequence of integers, one per "
                              "signal")
        if len(widths) != count:
            raise ValueError(f"band has {len(widths)} values for {count} signals")
    else:
        try:
            widths = [_integer(band)] * count
        except TypeError:
            raise TypeError(f"band must be an integer or a sequence of integers, one per "
                            f"signal, got {type(band).__name__}") from None
    for k, width in enumerate(widths):
        if not 0 <= width <= MAX_POSITIONS:
            raise ValueError(f"band must be 0 or more (and at most {MAX_POSITIONS}), got: "
                             f"{width}" + (f" for signal {k}" if count > 1 else ""))
    return tuple(widths)


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
    cost: str = "sqeuclidean"
    band: tuple[int, ...] | None = None  # half-widths of a Sakoe-Chiba band, per signal
    band_kind: str = "scaled"  # how each half-width spreads over its matrix

    @property
    def local_end(self) -> bool:
        return self.end != "global"

    @property
    def last_row_only(self) -> bool:
        return self.end == "free_last_row"


def parse_options(gamma, end, ref_gap_penalty, element=FLOAT32, cost="sqeuclidean", band=None,
                  count=1, band_kind="scaled") -> Options:
    """The options checked for a call of `count` signals computing in the element type."""
    value = _real(gamma, "gamma")
    if not (_finite_as(value, element) and _normal_as(value, element)):
        # The mixed path takes gamma as float32, as its data.
        raise ValueError(f"gamma must be a finite, normal {np.dtype(element.numpy).name} number "
                         f"greater than zero, got: {gamma!r}")
    if not isinstance(end, str) or end not in ENDS:
        raise ValueError(f"end must be one of {', '.join(map(repr, ENDS))}, got: {end!r}")
    penalty = _real(ref_gap_penalty, "ref_gap_penalty")
    if end != "global" and not _finite_as(penalty, element):
        raise ValueError(f"ref_gap_penalty must be a finite number, got: {ref_gap_penalty!r}")
    return Options(value, end, penalty, parse_cost(cost), parse_band(band, count),
                   parse_band_kind(band_kind))


def check_memory_budget(memory_budget):
    if memory_budget is not None and (isinstance(memory_budget, bool)
                                      or not isinstance(memory_budget, numbers.Integral)
                                      or memory_budget <= 0):
        raise ValueError(f"memory_budget must be a positive number of bytes, got: "
                         f"{memory_budget!r}")


def plan_chunks(lengths, ref_length, matrices, memory_budget=None, element=FLOAT32,
                cell_bytes=None, *, stores_matrices=True, checkpoint_cells=None):
    """Signal ranges [start, stop) that one call each can hold: positions fit in 32 bits
    and, with a budget, the `matrices` temporary batch matrices of what the call computes in
    (or `cell_bytes` a cell, when given) fit in it. stores_matrices=False: the call walks the
    cells without storing them, so only its samples' positions must fit.
    checkpoint_cells(N, M): a signal whose matrix does not fit runs alone, in as many cells
    as that gives (checkpoints of its score matrix). ref_length: one reference's, or one per
    signal (pairs)."""
    check_memory_budget(memory_budget)
    if cell_bytes is None:
        cell_bytes = element.cell_bytes(matrices)
    cell_limit = cells_one_call_holds(memory_budget, cell_bytes, stores_matrices)
    ref_lengths = ([ref_length] * len(lengths) if isinstance(ref_length, numbers.Integral)
                   else ref_length)
    chunks, start, cells, samples = [], 0, 0, 0
    for k, (length, ref_length) in enumerate(zip(lengths, ref_lengths)):
        own = length * ref_length
        if own > cell_limit and checkpoint_cells is not None:
            _check_checkpoints(k, length, ref_length, checkpoint_cells, cell_bytes,
                               memory_budget)
            if k > start:
                chunks.append((start, k))
            chunks.append((k, k + 1))
            start, cells, samples = k + 1, 0, 0
            continue
        if own > MAX_POSITIONS and stores_matrices:
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
    if start < len(lengths):
        chunks.append((start, len(lengths)))
    return chunks


def cells_one_call_holds(memory_budget, cell_bytes, stores_matrices=True):
    """The most cells of the batch one call can take: 32-bit positions where it stores its
    matrices, and no more than the budget holds at `cell_bytes` a cell."""
    limit = MAX_POSITIONS if stores_matrices else math.inf
    if memory_budget is not None and cell_bytes > 0:
        limit = min(limit, memory_budget // cell_bytes)
    return limit


def _check_checkpoints(k, length, ref_length, checkpoint_cells, cell_bytes, memory_budget):
    needed = checkpoint_cells(length, ref_length) * cell_bytes
    if memory_budget is not None and needed > memory_budget:
        raise ValueError(
            f"memory_budget ({memory_budget}) is too small for signal {k}: its gradients need "
            f"at least {needed} bytes, keeping checkpoints of its {length} x {ref_length} "
            "score matrix")
