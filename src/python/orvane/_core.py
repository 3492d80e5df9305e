"""The calls into an extension module for one checked batch, split into pieces that one call
can hold. Outputs of the whole batch are allocated once and each piece writes its part
through an offset address, so a split batch gives every score and matrix the same bits as one
call would; accumulated outputs differ by float32 rounding at most.

Pairs (signal k against reference k) run through `pair_scores`, `pair_gradients` and
`pair_alignments`, the one place that decides how: scores and gradients as pairs in one call
a piece, each signal against its own reference (on the CUDA module and the twin through the
operations' pair versions, which also run a reference longer than a block's threads as pairs
of it); alignments as one call per distinct reference."""

from __future__ import annotations

import atexit
import contextlib
import functools
import threading
import weakref
from collections.abc import Callable
from dataclasses import dataclass, field, replace

import numpy as np

from . import _costs
from ._backends import Backend
from ._batch import Batch, Options, cells_one_call_holds, plan_chunks
from ._types import FLOAT32, Element


# Without a memory budget a thread keeps at most this many bytes of workspaces between calls.
KEPT_BYTES_WITHOUT_BUDGET = 1 << 30
# A workspace that this many calls in a row have used less than a quarter of is let go.
IDLE_CALLS_BEFORE_SHRINKING = 16


@dataclass
class _Kept:
    array: object
    capacity: int      # elements
    bytes: int
    idle_calls: int = 0  # calls in a row that used less than a quarter of it


class _ThreadWorkspaces:
    """One thread's workspaces. Only its thread adds to them; `release_memory` may empty them
    from any thread, hence the lock."""

    def __init__(self):
        self.lock = threading.Lock()
        self.kept: dict[object, _Kept] = {}

    def bytes(self) -> int:
        with self.lock:
            return sum(kept.bytes for kept in self.kept.values())


class Workspaces:
    """Temporary matrices kept from one call to the next, per thread: back-to-back calls reuse
    pages they have touched instead of having fresh ones zeroed and faulted in.

    A call with a memory budget keeps its thread's workspaces within it; without one, a
    thread keeps at most KEPT_BYTES_WITHOUT_BUDGET (a larger workspace is made for its call
    and let go after it), and a workspace much larger than its last calls needed is made
    anew at their size. A thread's workspaces go when the thread ends; `release` lets every
    thread's go."""

    def __init__(self):
        self._lock = threading.Lock()
        self._local = threading.local()  # its values are dropped when their thread ends
        self._threads = weakref.WeakSet()  # of _ThreadWorkspaces, for release and held_bytes

    def _own(self) -> _ThreadWorkspaces:
        own = getattr(self._local, "workspaces", None)
        if own is None:
            own = self._local.workspaces = _ThreadWorkspaces()
            with self._lock:
                self._threads.add(own)
        return own

    def get(self, key, size, element, make, budget):
        own = self._own()
        limit = KEPT_BYTES_WITHOUT_BUDGET if budget is None else budget
        with own.lock:
            kept = own.kept.pop(key, None)
            if kept is not None and not _reusable(kept, size, limit):
                kept = None
            needed = size * element.bytes if kept is None else kept.bytes
            if sum(other.bytes for other in own.kept.values()) + needed > limit:
                own.kept.clear()
            if kept is not None:
                own.kept[key] = kept
                return kept.array[:size]
        array = make()
        if needed <= limit:
            with own.lock:
                own.kept[key] = _Kept(array, size, needed)
        return array

    def held_bytes(self) -> int:
        """Bytes kept, over every thread."""
        with self._lock:
            threads = list(self._threads)
        return sum(own.bytes() for own in threads)

    def release(self):
        with self._lock:
            threads = list(self._threads)
        for own in threads:
            with own.lock:
                own.kept.clear()


def _reusable(kept: _Kept, size, limit) -> bool:
    """Whether a kept workspace serves a call of `size` elements: large enough, within the
    limit, and not much larger than the calls of late have needed."""
    if kept.capacity < size or kept.bytes > limit:
        return False
    kept.idle_calls = kept.idle_calls + 1 if 4 * size < kept.capacity else 0
    return kept.idle_calls < IDLE_CALLS_BEFORE_SHRINKING


WORKSPACES = Workspaces()
atexit.register(WORKSPACES.release)


def release_memory():
    """Lets go of the temporary matrices the package keeps between calls (on every thread and
    device); the next call makes them afresh."""
    WORKSPACES.release()


@dataclass
class Inputs:
    """A checked call: the batch, the reference, the options and the module that runs it.
    With pairs, `references` is the batch of references, one per signal, and `reference`
    their flat values."""

    batch: Batch
    reference: object
    options: Options
    backend: Backend
    alpha: object = None
    memory_budget: int | None = None
    element: Element = FLOAT32  # what the call computes in
    returns_float64: bool = False  # else results come back as float32
    references: Batch | None = None

    @property
    def pairs(self) -> bool:
        return self.references is not None

    @property
    def ref_lengths(self) -> list[int]:
        """The length of each signal's reference."""
        return (list(self.references.lengths) if self.pairs
                else [self.ref_length] * self.batch.count)

    def reference_in_input_form(self, flat_values):
        """Per-sample values of the reference (or of each pair's reference) shaped like it was
        given."""
        if self.pairs:
            return self.references.in_input_form(flat_values)
        shaped = flat_values.reshape(self.reference.shape)
        return self.adapter.swap_last_axes(shaped) if self.batch.channels_first else shaped

    def result(self, array):
        """An array the call computed, in the type it returns: float64 results of float32
        inputs are rounded once, here."""
        if array is None or self.returns_float64 or self.adapter.is_contiguous_as(array, FLOAT32):
            return array
        return self.adapter.as_type(array, FLOAT32)

    @property
    def adapter(self):
        return self.batch.adapter

    @property
    def ref_length(self) -> int:
        return int(self.reference.shape[0])

    @property
    def reference_values(self) -> int:
        """Values of the reference: its samples times their channels."""
        return self.ref_length * self.batch.channels

    @property
    def reference_gradient_values(self) -> int:
        """Values of the reference's gradient, or of every pair's, one after the other."""
        if self.pairs:
            return sum(self.references.lengths) * self.batch.channels
        return self.reference_values

    def reference_of(self, k):
        """Signal k's reference, (M_k, channels)."""
        if self.pairs:
            offsets = self.references.signal_offsets()
            values = self.reference[offsets[k]:offsets[k + 1]]
        else:
            values = self.reference
        return values.reshape(-1, self.batch.channels)

    def address(self, array, offset=0, element=None) -> int:
        """The address of array[offset], an array of the call's data type or of `element`."""
        return self.adapter.address(array) + (element or self.element).bytes * offset

    def samples_address(self, first_sample) -> int:
        """The address of sample `first_sample` of the flat signals (its first channel)."""
        return self.address(self.batch.flat, first_sample * self.batch.channels)

    @property
    def kernels_costs(self) -> bool:
        return kernels_costs(self.options, self.batch.channels)

    @functools.cached_property
    def band_values(self):
        """The band's half-widths as int32 values on the host, or None."""
        band = self.options.band
        return None if band is None else np.asarray(band, np.int32)

    @functools.cached_property
    def band_address(self) -> int:
        """Where the module reads the band's half-widths: on the host, or for inputs on a CUDA
        device in its memory (a buffer kept as long as the inputs); 0 without a band."""
        band = self.band_values
        if band is None:
            return 0
        if not self.batch.device.is_cuda:
            return band.ctypes.data
        from . import buffers
        with buffers.current_device(self.batch.device.index):
            self._device_band = buffers.CudaBuffer(band, np.int32)
        return self._device_band.ptr

    def cost_arguments(self, piece) -> dict:
        """The cost arguments of the functions that form costs from the samples, for a piece
        of the batch."""
        band = self.band_address
        return {"channels": self.batch.channels, "cost": self.options.cost,
                "band_ptr": 0 if band == 0 else band + 4 * piece.start,
                "band_kind": self.options.band_kind}

    def new(self, size, zero=False, element=None):
        make = self.adapter.zeros if zero else self.adapter.empty
        return make(size, self.batch.device, element or self.element)

    def workspace(self, name, size, element=None):
        """A temporary array of `size` elements, kept for the next call on this thread."""
        element = element or self.element
        key = (name, self.adapter.name, str(self.batch.device), element.name)
        return WORKSPACES.get(key, size, element, lambda: self.new(size, element=element),
                              self.memory_budget)

    def operation(self, name, references=None):
        """The module's function `name` for what the call computes in, or its pair version
        where `references` is a list of reference lengths, one per signal."""
        if isinstance(references, list):
            name = PAIR_VERSIONS[name]
        passes = ("calc_softdtw_forward", "calc_softdtw_backward", "calc_softdtw_scores",
                  "calc_softdtw_gradients", "calc_softdtw_pair_forward",
                  "calc_softdtw_pair_backward")
        suffix = self.element.pass_suffix if name in passes else self.element.suffix
        return getattr(self.backend.module, name + suffix)

    @contextlib.contextmanager
    def on_device(self):
        """The inputs' device made current, its producer's work finished."""
        with self.adapter.on_device(self.batch.device):
            self.adapter.synchronize(self.batch.device)
            yield


@dataclass
class Piece:
    """Signals [start, stop) of a batch, with their sample and cell offsets."""

    start: int
    stop: int
    lengths: list[int]
    first_sample: int
    first_cell: int
    cells: int


def kernels_costs(options: Options, channels: int) -> bool:
    """Whether the cost is the kernels' own: 1-D |x - y| without a band."""
    return options.cost == "abs" and options.band is None and channels == 1


@dataclass(frozen=True)
class MatrixLayout:
    """What one call holds per cell of its batch: bytes of temporary matrices, whether it
    stores them (their cell positions must then fit in 32 bits), and, where the call can keep
    checkpoints of R instead, the cells those take for a signal the budget cannot hold."""

    cell_bytes: int
    stores_matrices: bool = True
    checkpoint_cells: Callable[[int, int], int] | None = None

    @classmethod
    def of(cls, element: Element, matrices: int, row_major: int = 0) -> MatrixLayout:
        """`matrices` batch matrices, and `row_major` ones of the data type besides."""
        return cls(element.cell_bytes(matrices) + row_major * element.bytes)

    def arguments(self) -> dict:
        return {"cell_bytes": self.cell_bytes, "stores_matrices": self.stores_matrices,
                "checkpoint_cells": self.checkpoint_cells}


def _within_blocks(backend: Backend, element: Element, ref_lengths, limit: str) -> bool:
    """Whether references of these lengths (one, or one per signal; None for unknown ones) fit
    what a function without matrices takes: always on the vectorised module, on the twin
    where the longest is at most its `limit` function's length, never yet on the CUDA module.
    """
    if backend.name == "cpu":
        return True
    # The kernels without matrices pass on the twin under every thread order, but on the
    # simulated GPU a band gave other scores than the stored path's: CUDA arrays keep the
    # stored passes until the kernels hold there too.
    if ref_lengths is None or backend.name == "cuda":
        return False
    longest = ref_lengths if isinstance(ref_lengths, int) else max(ref_lengths)
    return longest <= getattr(backend.module, limit)(element.name)


def lean_scores(backend: Backend, element: Element, ref_lengths) -> bool:
    """Whether the scores alone of references of these lengths run without matrices (on the
    CUDA module and the twin where their blocks' shared memory takes the longest)."""
    return _within_blocks(backend, element, ref_lengths, "scores_max_ref_length")


def runs_lean_gradients(backend: Backend, element: Element, ref_lengths) -> bool:
    """Whether the gradients of references of these lengths run without distance or
    gradient matrices (on the CUDA module and the twin where their blocks take the longest)."""
    return _within_blocks(backend, element, ref_lengths, "gradients_max_ref_length")


def call_layout(backend: Backend, element: Element, matrices: int | None,
                lean_gradients=False, kernels_costs=True, ref_lengths=None) -> MatrixLayout:
    """What one call holds per cell. matrices: the batch matrices of a call that stores
    them, None for scores alone, which keep no matrix where they run without (lean_scores,
    for references of ref_lengths). The lean gradients (lean_gradients), where they run
    (runs_lean_gradients), keep the score matrices alone, or on the vectorised module
    checkpoints of them; otherwise the CUDA module and the twin keep distances and scores at
    least, and a row-major matrix for costs other than their kernels' own."""
    if matrices is None and lean_scores(backend, element, ref_lengths):
        return MatrixLayout(0, stores_matrices=False)
    if lean_gradients and runs_lean_gradients(backend, element, ref_lengths):
        checkpoints = backend.module.gradient_checkpoint_cells if backend.name == "cpu" else None
        return MatrixLayout(element.score.bytes, checkpoint_cells=checkpoints)
    if backend.name == "cpu":
        return MatrixLayout.of(element, matrices)
    return MatrixLayout.of(element, 2 if matrices is None else matrices,
                           _costs.extra_matrices(backend.name, kernels_costs))


def pieces(inputs: Inputs, layout: MatrixLayout):
    lengths = inputs.batch.lengths
    ref_length = inputs.ref_length
    first_sample = first_cell = 0
    for start, stop in plan_chunks(lengths, ref_length, 0, inputs.memory_budget,
                                   inputs.element, **layout.arguments()):
        chunk = lengths[start:stop]
        yield Piece(start, stop, chunk, first_sample, first_cell, sum(chunk) * ref_length)
        first_sample += sum(chunk)
        first_cell += sum(chunk) * ref_length


@dataclass
class Results:
    scores: object = None
    gradient_matrix: object = None      # E of the whole batch, anti-diagonal layout
    signal_gradients: object = None     # flat, one value per sample
    reference_gradient: object = None
    cell_offsets: list[int] = field(default_factory=list)


def run(inputs: Inputs, *, keep_gradient_matrix=False, sample_gradients=False,
        score_weights=None, reference_only=False) -> Results:
    """Scores, and on request the gradient matrices and the gradients of the samples (and of
    the reference, or of each pair's). score_weights: B values on the batch's device; the
    gradients are then those of sum_k w_k * score_k. reference_only: the caller wants the
    reference's gradient alone (the vectorised module then forms no sample gradients). The
    temporary matrices are made once, for the largest piece of the batch, and every piece
    reuses them, so that they stay within the memory budget. On the CUDA module and the twin,
    pairs run every pair of a piece in one launch of each operation, and a reference longer
    than a block's threads runs as pairs of it."""
    if sample_gradients and not keep_gradient_matrix and (
            inputs.backend.name == "cpu" or not inputs.pairs and runs_lean_gradients(
                inputs.backend, inputs.element, inputs.ref_length)):
        return lean_gradients(inputs, score_weights, reference_only)
    if _beyond_a_block(inputs):
        return _summed_over_copies(inputs, run(_as_pairs(inputs),
                                               keep_gradient_matrix=keep_gradient_matrix,
                                               sample_gradients=sample_gradients,
                                               score_weights=score_weights))
    options = inputs.options
    batch = inputs.batch
    scores_type = inputs.element.score
    results = Results(scores=inputs.new(batch.count, element=scores_type))
    need_gradient = keep_gradient_matrix or sample_gradients
    planned = list(_run_pieces(inputs, call_layout(
        inputs.backend, inputs.element, temporary_matrices(keep_gradient_matrix, sample_gradients),
        kernels_costs=inputs.kernels_costs)))
    largest = max(piece.cells for piece, _, _ in planned)
    with inputs.on_device():
        if keep_gradient_matrix:
            results.gradient_matrix = inputs.new(sum(piece.cells for piece, _, _ in planned))
        if sample_gradients:
            results.signal_gradients = inputs.new(sum(batch.lengths) * batch.channels,
                                                  zero=True)
            results.reference_gradient = inputs.new(inputs.reference_gradient_values, zero=True)
        distance = inputs.workspace("distances", largest)
        score = inputs.workspace("scores", largest, scores_type)
        workspace = (inputs.workspace("gradients", largest)
                     if sample_gradients and not keep_gradient_matrix else None)
        for piece, first_reference, references in planned:
            results.cell_offsets.append(piece.first_cell)
            _distances(inputs, piece, distance, first_reference, references)
            alpha = 0 if inputs.alpha is None else inputs.address(inputs.alpha, piece.start)
            scores = inputs.address(results.scores, piece.start, scores_type)
            inputs.operation("calc_softdtw_forward", references)(
                piece.lengths, references, inputs.address(distance),
                inputs.address(score), scores, options.gamma, alpha, options.local_end,
                options.last_row_only, options.ref_gap_penalty)
            if not need_gradient:
                continue
            if keep_gradient_matrix:
                gradient = results.gradient_matrix[piece.first_cell:piece.first_cell + piece.cells]
            else:
                gradient = workspace[:piece.cells]
            inputs.operation("calc_softdtw_backward", references)(
                piece.lengths, references, inputs.address(distance),
                inputs.address(score), inputs.address(gradient), options.gamma, alpha,
                options.local_end, scores, options.last_row_only, options.ref_gap_penalty)
            _clear_signals_without_path(inputs, piece, gradient, results.scores)
            if sample_gradients:
                if score_weights is not None:
                    _weigh_signals(inputs, piece, gradient, score_weights)
                _add_sample_gradients(inputs, piece, gradient, results, first_reference,
                                      references)
    return results


# The operations' pair versions, which take a reference per signal (ref_signal_lengths) and
# references of any length.
PAIR_VERSIONS = {
    "calc_softdtw_forward": "calc_softdtw_pair_forward",
    "calc_softdtw_backward": "calc_softdtw_pair_backward",
    "calc_manhattan_distance": "calc_manhattan_pair_distance",
    "calc_manhattan_distance_gradient": "calc_manhattan_pair_distance_gradient",
    "convert_square_to_antidiag": "convert_pair_square_to_antidiag",
    "convert_antidiag_to_square": "convert_pair_antidiag_to_square",
    "normalize_matrix": "normalize_pair_matrix",
    "calc_weighted_means": "calc_pair_weighted_means",
    "calc_weighted_std": "calc_pair_weighted_std",
    "calc_weighted_index_std": "calc_pair_weighted_index_std",
}


def one_reference_operation(inputs: Inputs, name):
    """The module's function `name` for a call of one reference, taking (..., lengths, M, ...)
    as it does: where the reference is longer than the kernels of one thread per column take
    (on the CUDA module and the twin), its pair version with the reference as every signal's,
    whose layouts are the same."""
    if not _beyond_a_block(inputs):
        return inputs.operation(name)
    pair_version = inputs.operation(PAIR_VERSIONS[name])

    def with_lengths_repeated(*arguments):
        arguments = list(arguments)
        lengths = next(k for k, value in enumerate(arguments) if isinstance(value, list))
        arguments[lengths + 1] = [arguments[lengths + 1]] * len(arguments[lengths])
        return pair_version(*arguments)
    return with_lengths_repeated


def _run_pieces(inputs: Inputs, layout: MatrixLayout):
    """(piece, its first reference sample, the references the module takes for it: M, or the
    list of the pairs' lengths)."""
    if inputs.pairs:
        yield from _pair_pieces(inputs, layout)
        return
    for piece in pieces(inputs, layout):
        yield piece, 0, inputs.ref_length


def _beyond_a_block(inputs: Inputs) -> bool:
    """Whether one reference is longer than the kernels of one thread per column take."""
    return (inputs.backend.name != "cpu" and not inputs.pairs
            and inputs.ref_length > inputs.backend.block_threads)


def _as_pairs(inputs: Inputs) -> Inputs:
    """The call with its one reference as every signal's own."""
    count = inputs.batch.count
    copies = inputs.adapter.concat([inputs.reference.reshape(-1)] * count)
    references = replace(inputs.batch, lengths=[inputs.ref_length] * count, form="flat",
                         flat=copies)
    return replace(inputs, reference=copies, references=references)


def _summed_over_copies(inputs: Inputs, results: Results) -> Results:
    """Results of a call run as pairs of its one reference: the reference's gradient is the
    sum of its copies', in signal order."""
    if results.reference_gradient is not None:
        copies = results.reference_gradient.reshape(inputs.batch.count, inputs.reference_values)
        total = copies[0]
        for k in range(1, inputs.batch.count):
            total = total + copies[k]
        results.reference_gradient = total
    return results


def lean_gradients(inputs: Inputs, score_weights=None, reference_only=False) -> Results:
    """Scores and the gradients of the samples (unless reference_only) and of the reference,
    keeping only the score matrices (runs_lean_gradients): every cost is formed from the
    samples, and the expected alignments go straight into the gradients (of
    sum_k w_k * score_k with score_weights)."""
    batch = inputs.batch
    results = Results(scores=inputs.new(batch.count, element=inputs.element.score),
                      signal_gradients=None if reference_only else inputs.new(
                          sum(batch.lengths) * batch.channels, zero=True),
                      reference_gradient=inputs.new(inputs.reference_values, zero=True))
    layout = call_layout(inputs.backend, inputs.element, 1, lean_gradients=True,
                         ref_lengths=inputs.ref_length)
    planned = [(piece, 0, inputs.ref_length) for piece in pieces(inputs, layout)]
    _run_lean_gradients(inputs, layout, planned, results, score_weights,
                        "calc_softdtw_gradients", results.reference_gradient,
                        inputs.operation)
    return results


def _run_lean_gradients(inputs: Inputs, layout: MatrixLayout, planned, results: Results,
                        score_weights, name, reference_gradient, operation):
    """The gradients without matrices, a call a planned piece:
    (piece, its first reference sample, its reference length or lengths). On the vectorised
    module a piece whose score matrix the budget (or 32-bit positions) cannot hold keeps
    checkpoints of it, in the cells they need; the reference gradient goes into
    `reference_gradient` at the piece's first reference sample."""
    options = inputs.options
    channels = inputs.batch.channels
    scores_type = inputs.element.score
    capacity = cells_one_call_holds(inputs.memory_budget, layout.cell_bytes)
    held = [piece.cells if piece.cells <= capacity
            else layout.checkpoint_cells(piece.lengths[0], _first(ref_length))
            for piece, _, ref_length in planned]
    score = inputs.workspace("scores", max(held), scores_type)
    for (piece, first_reference, ref_length), cells in zip(planned, held):
        results.cell_offsets.append(piece.first_cell)
        alpha = 0 if inputs.alpha is None else inputs.address(inputs.alpha, piece.start)
        weights = 0 if score_weights is None else inputs.address(score_weights, piece.start)
        signal_gradients = (0 if results.signal_gradients is None else inputs.address(
            results.signal_gradients, piece.first_sample * channels))
        operation(name)(
            inputs.samples_address(piece.first_sample), piece.lengths,
            inputs.address(inputs.reference, first_reference * channels), ref_length,
            inputs.address(score, element=scores_type),
            inputs.address(results.scores, piece.start, scores_type), signal_gradients,
            inputs.address(reference_gradient, first_reference * channels), options.gamma,
            alpha, weights, options.local_end, options.last_row_only, options.ref_gap_penalty,
            score_matrix_cells=cells, **inputs.cost_arguments(piece))


def _first(ref_length):
    """The reference length of a piece's first signal: one length, or one per signal."""
    return ref_length if isinstance(ref_length, int) else ref_length[0]


def scores(inputs: Inputs):
    """The scores alone. Every module forms every cost from the samples inside its forward
    sweep and keeps no matrix (the CUDA module and the twin up to the longest reference their
    blocks take, lean_scores); beyond it they run distance and forward passes."""
    if inputs.pairs:
        return pair_scores(inputs)
    if not lean_scores(inputs.backend, inputs.element, inputs.ref_length):
        return run(inputs).scores
    options = inputs.options
    batch = inputs.batch
    scores_type = inputs.element.score
    found = inputs.new(batch.count, element=scores_type)
    for piece in pieces(inputs, call_layout(inputs.backend, inputs.element, None,
                                            ref_lengths=inputs.ref_length)):
        alpha = 0 if inputs.alpha is None else inputs.address(inputs.alpha, piece.start)
        inputs.operation("calc_softdtw_scores")(
            inputs.samples_address(piece.first_sample), piece.lengths,
            inputs.address(inputs.reference), inputs.ref_length,
            inputs.address(found, piece.start, scores_type), options.gamma, alpha,
            options.local_end, options.last_row_only, options.ref_gap_penalty,
            **inputs.cost_arguments(piece))
    return found


def temporary_matrices(keep_gradient_matrix, sample_gradients) -> int:
    """Batch matrices a call of `run` holds per piece: distances and scores, and the gradient
    matrices when they are not kept."""
    return 2 + (sample_gradients and not keep_gradient_matrix)


def _signal_cells(inputs, piece):
    """(k, first cell, cells) of every signal of the piece, cells counted from the piece's
    first."""
    first = 0
    ref_lengths = inputs.ref_lengths
    for k, length in zip(range(piece.start, piece.stop), piece.lengths):
        own = length * ref_lengths[k]
        yield k, first, own
        first += own


def _clear_signals_without_path(inputs, piece, gradient, scores):
    """Zero expected alignments for the piece's signals of score +inf: no path of finite
    cost (a band that leaves none, or costs that overflow) aligns them, so they carry no
    weight and no gradient (the backward pass would give such a signal 1 at its last cell,
    or NaN with a free end)."""
    found = np.asarray(inputs.adapter.to_numpy(scores[piece.start:piece.stop]))
    if not np.isposinf(found).any():
        return
    for k, first, own in _signal_cells(inputs, piece):
        if found[k - piece.start] == np.inf:
            gradient[first:first + own] = 0


def _weigh_signals(inputs, piece, gradient, score_weights):
    """Each signal's gradient matrix in the piece scaled, in place, by its score's weight."""
    for k, first, own in _signal_cells(inputs, piece):
        gradient[first:first + own] *= score_weights[k]


def _distances(inputs, piece, distance, first_reference=0, references=None):
    """The piece's distance matrices: the kernels' own, the vectorised module's of any cost,
    or, elsewhere, formed with the array library. references: as _run_pieces gives them."""
    references = inputs.ref_length if references is None else references
    arguments = (inputs.samples_address(piece.first_sample), piece.lengths,
                 inputs.address(inputs.reference, first_reference * inputs.batch.channels),
                 references, inputs.address(distance))
    if inputs.kernels_costs:
        inputs.operation("calc_manhattan_distance", references)(*arguments)
    elif inputs.backend.name == "cpu":
        inputs.operation("calc_distance")(*arguments, **inputs.cost_arguments(piece))
    else:
        _costs.form_distances(inputs, piece, distance, references)


def _add_sample_gradients(inputs, piece, gradient, results, first_reference=0,
                          references=None):
    """The gradients of the piece's samples and of the reference (or of each pair's) from its
    expected alignments, added into the results."""
    references = inputs.ref_length if references is None else references
    if not inputs.kernels_costs and inputs.backend.name != "cpu":
        _costs.add_sample_gradients(inputs, piece, gradient, results, references)
        return
    channels = inputs.batch.channels
    name = ("calc_manhattan_distance_gradient" if inputs.kernels_costs
            else "calc_distance_gradient")
    extra = {} if inputs.kernels_costs else {"channels": channels,
                                             "cost": inputs.options.cost}
    inputs.operation(name, references)(
        inputs.samples_address(piece.first_sample), piece.lengths,
        inputs.address(inputs.reference, first_reference * channels), references,
        inputs.address(gradient),
        inputs.address(results.signal_gradients, piece.first_sample * channels),
        inputs.address(results.reference_gradient, first_reference * channels), **extra)


def gradients(inputs: Inputs, score_weights=None, reference_gradients=True) -> Results:
    """Scores and the gradients of the samples and of the reference (of each pair's own
    reference, with pairs), of sum_k w_k * score_k with score_weights."""
    if inputs.pairs:
        return pair_gradients(inputs, score_weights, reference_gradients)
    return run(inputs, sample_gradients=True, score_weights=score_weights)


def self_pairs(inputs: Inputs, batch: Batch) -> Inputs:
    """Every signal of `batch` against itself, within its own band: a divergence's
    self-terms."""
    return replace(inputs, batch=batch, reference=batch.flat, references=batch, alpha=None)


def pair_scores(inputs: Inputs):
    """The score of every pair, each signal against its own reference, every pair of a piece
    in one call without matrices (on the CUDA module and the twin one launch, where their
    blocks take the longest reference; beyond it one launch of each operation of the stored
    path)."""
    if not lean_scores(inputs.backend, inputs.element, inputs.ref_lengths):
        return run(inputs).scores
    found = inputs.new(inputs.batch.count, element=inputs.element.score)
    options = inputs.options
    for piece, first_reference, ref_lengths in _pair_pieces(
            inputs, call_layout(inputs.backend, inputs.element, None,
                                ref_lengths=inputs.ref_lengths)):
        alpha = 0 if inputs.alpha is None else inputs.address(inputs.alpha, piece.start)
        _pair_operation(inputs, "calc_softdtw_pair_scores")(
            inputs.samples_address(piece.first_sample), piece.lengths,
            inputs.address(inputs.reference, first_reference * inputs.batch.channels),
            ref_lengths, inputs.address(found, piece.start, inputs.element.score),
            options.gamma, alpha, options.local_end, options.last_row_only,
            options.ref_gap_penalty, **inputs.cost_arguments(piece))
    return found


def pair_gradients(inputs: Inputs, score_weights=None, reference_gradients=True) -> Results:
    """Scores, the gradients of the samples, and with reference_gradients each pair's own
    reference gradient, shaped like the flat references. Every pair of a piece runs in one
    call, keeping only the score matrices where the gradients run without matrices
    (runs_lean_gradients; elsewhere, on the CUDA module and the twin, one launch of each
    operation of the stored path)."""
    if runs_lean_gradients(inputs.backend, inputs.element, inputs.ref_lengths):
        return _lean_pair_gradients(inputs, score_weights, reference_gradients)
    results = run(inputs, sample_gradients=True, score_weights=score_weights)
    if not reference_gradients:
        results.reference_gradient = inputs.new(inputs.reference_gradient_values, zero=True)
    return results


def _lean_pair_gradients(inputs: Inputs, score_weights, reference_gradients) -> Results:
    """pair_gradients without matrices: as lean_gradients, each pair's reference gradient its
    own; on the vectorised module a pair whose score matrix the budget cannot hold keeps
    checkpoints of it."""
    batch = inputs.batch
    channels = batch.channels
    reference_values = sum(inputs.references.lengths) * channels
    results = Results(scores=inputs.new(batch.count, element=inputs.element.score),
                      signal_gradients=inputs.new(sum(batch.lengths) * channels, zero=True),
                      reference_gradient=inputs.new(reference_values, zero=True))
    # Without reference gradients the call still forms them, into a buffer let go after it.
    into = results.reference_gradient if reference_gradients else inputs.new(reference_values)
    layout = call_layout(inputs.backend, inputs.element, 1, lean_gradients=True,
                         ref_lengths=inputs.ref_lengths)
    _run_lean_gradients(inputs, layout, list(_pair_pieces(inputs, layout)), results,
                        score_weights, "calc_softdtw_pair_gradients", into,
                        lambda name: _pair_operation(inputs, name))
    return results


def _pair_operation(inputs: Inputs, name):
    """The module's pair function `name` for what the call computes in."""
    return getattr(inputs.backend.module, name + inputs.element.pass_suffix)


def _pair_pieces(inputs: Inputs, layout: MatrixLayout):
    """(piece, its first reference sample, its references' lengths) for every piece of pairs
    that one call holds."""
    lengths, ref_lengths = inputs.batch.lengths, inputs.ref_lengths
    first_sample = first_cell = first_reference = 0
    for start, stop in plan_chunks(lengths, ref_lengths, 0, inputs.memory_budget,
                                   inputs.element, **layout.arguments()):
        chunk, own_references = lengths[start:stop], ref_lengths[start:stop]
        cells = sum(n * m for n, m in zip(chunk, own_references))
        yield (Piece(start, stop, chunk, first_sample, first_cell, cells), first_reference,
               own_references)
        first_sample += sum(chunk)
        first_cell += cells
        first_reference += sum(own_references)


def pair_alignments(inputs: Inputs):
    """(positions, inputs, results) of every group of pairs that shares a reference, with the
    expected alignments of each."""
    return [(positions, group, run(group, keep_gradient_matrix=True))
            for positions, group in _reference_groups(inputs)]


def spans(batch: Batch) -> list[tuple[int, int]]:
    """(start, stop) of each signal's values in the batch's flat array."""
    offsets = batch.signal_offsets()
    return list(zip(offsets[:-1], offsets[1:]))


def _reference_groups(inputs: Inputs, shared=True):
    """(positions, one-reference inputs) for every distinct reference: the pairs that share a
    reference (equal values) run as one call against it; with shared=False every pair runs
    alone, so that its reference's gradient is its own."""
    batch, references = inputs.batch, inputs.references
    reference_spans = spans(references)
    if shared:
        values = np.asarray(inputs.adapter.to_numpy(inputs.reference))
        groups: dict[bytes, list[int]] = {}
        for k, (a, b) in enumerate(reference_spans):
            groups.setdefault(values[a:b].tobytes(), []).append(k)
        grouped = list(groups.values())
    else:
        grouped = [[k] for k in range(batch.count)]
    signal_spans = spans(batch)
    for positions in grouped:
        a, b = reference_spans[positions[0]]
        reference = inputs.reference[a:b]
        if batch.with_channels:
            reference = reference.reshape(-1, batch.channels)
        flat = _gathered(inputs.adapter, batch.flat, [signal_spans[k] for k in positions])
        band = inputs.options.band
        yield positions, replace(
            inputs, batch=replace(batch, lengths=[batch.lengths[k] for k in positions],
                                  form="flat", flat=flat),
            reference=reference, references=None,
            options=replace(inputs.options, band=None if band is None else tuple(
                band[k] for k in positions)),
            alpha=None if inputs.alpha is None else _gathered(
                inputs.adapter, inputs.alpha, [(k, k + 1) for k in positions]))


def _runs(targets):
    """Adjacent spans joined: (start, stop) of each run."""
    runs = []
    for start, stop in targets:
        if runs and runs[-1][1] == start:
            runs[-1] = (runs[-1][0], stop)
        else:
            runs.append((start, stop))
    return runs


def _gathered(adapter, array, sources):
    """The source spans of an array one after the other: a view where they are adjacent."""
    pieces = [array[start:stop] for start, stop in _runs(sources)]
    return pieces[0] if len(pieces) == 1 else adapter.concat(pieces)


def place_spans(adapter, destination, targets, values):
    """values, one span after the other, written into the target spans of destination."""
    first = 0
    for start, stop in _runs(targets):
        adapter.copy_into(destination[start:stop], values[first:first + stop - start])
        first += stop - start


def place(adapter, destination, positions, values):
    place_spans(adapter, destination, [(k, k + 1) for k in positions], values)
