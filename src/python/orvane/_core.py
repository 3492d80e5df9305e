"""The calls into an extension module for one checked batch, split into pieces that one call
can hold. Outputs of the whole batch are allocated once and each piece writes its part
through an offset address, so a split batch gives every score and matrix the same bits as one
call would; accumulated outputs differ by float32 rounding at most."""

from __future__ import annotations

import contextlib
from dataclasses import dataclass, field

from ._arrays import FLOAT32_BYTES
from ._backends import Backend
from ._batch import Batch, Options, plan_chunks


@dataclass
class Inputs:
    """A checked call: the batch, the reference, the options and the module that runs it."""

    batch: Batch
    reference: object
    options: Options
    backend: Backend
    alpha: object = None
    memory_budget: int | None = None

    @property
    def adapter(self):
        return self.batch.adapter

    @property
    def ref_length(self) -> int:
        return int(self.reference.shape[0])

    def address(self, array, offset=0) -> int:
        return self.adapter.address(array) + FLOAT32_BYTES * offset

    def new(self, size, zero=False):
        make = self.adapter.zeros if zero else self.adapter.empty
        return make(size, self.batch.device)

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


def pieces(inputs: Inputs, matrices: int):
    lengths = inputs.batch.lengths
    ref_length = inputs.ref_length
    first_sample = first_cell = 0
    for start, stop in plan_chunks(lengths, ref_length, matrices, inputs.memory_budget):
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


def run(inputs: Inputs, *, keep_gradient_matrix=False, sample_gradients=False) -> Results:
    """Scores, and on request the gradient matrices and the gradients of the samples."""
    module = inputs.backend.module
    options = inputs.options
    batch = inputs.batch
    results = Results(scores=inputs.new(batch.count))
    need_gradient = keep_gradient_matrix or sample_gradients
    whole_matrix = sum(batch.lengths) * inputs.ref_length
    temporaries = 2 + (need_gradient and not keep_gradient_matrix)
    with inputs.on_device():
        if keep_gradient_matrix:
            results.gradient_matrix = inputs.new(whole_matrix)
        if sample_gradients:
            results.signal_gradients = inputs.new(sum(batch.lengths), zero=True)
            results.reference_gradient = inputs.new(inputs.ref_length, zero=True)
        for piece in pieces(inputs, temporaries):
            results.cell_offsets.append(piece.first_cell)
            distance, score = inputs.new(piece.cells), inputs.new(piece.cells)
            module.calc_manhattan_distance(
                inputs.address(batch.flat, piece.first_sample), piece.lengths,
                inputs.address(inputs.reference), inputs.ref_length, inputs.address(distance))
            alpha = 0 if inputs.alpha is None else inputs.address(inputs.alpha, piece.start)
            scores = inputs.address(results.scores, piece.start)
            module.calc_softdtw_forward(
                piece.lengths, inputs.ref_length, inputs.address(distance),
                inputs.address(score), scores, options.gamma, alpha, options.local_end,
                options.last_row_only, options.ref_gap_penalty)
            if not need_gradient:
                continue
            if keep_gradient_matrix:
                gradient = inputs.address(results.gradient_matrix, piece.first_cell)
            else:
                temporary = inputs.new(piece.cells)
                gradient = inputs.address(temporary)
            module.calc_softdtw_backward(
                piece.lengths, inputs.ref_length, inputs.address(distance),
                inputs.address(score), gradient, options.gamma, alpha, options.local_end,
                scores, options.last_row_only, options.ref_gap_penalty)
            if sample_gradients:
                _add_sample_gradients(inputs, piece, gradient, results)
    return results


def _add_sample_gradients(inputs, piece, gradient_address, results):
    inputs.backend.module.calc_manhattan_distance_gradient(
        inputs.address(inputs.batch.flat, piece.first_sample), piece.lengths,
        inputs.address(inputs.reference), inputs.ref_length, gradient_address,
        inputs.address(results.signal_gradients, piece.first_sample),
        inputs.address(results.reference_gradient))


def sample_gradients_of(inputs: Inputs, gradient_matrix) -> Results:
    """The gradients of the samples from given gradient matrices of the whole batch."""
    batch = inputs.batch
    results = Results(signal_gradients=inputs.new(sum(batch.lengths), zero=True),
                      reference_gradient=inputs.new(inputs.ref_length, zero=True))
    with inputs.on_device():
        for piece in pieces(inputs, 0):
            _add_sample_gradients(inputs, piece,
                                  inputs.address(gradient_matrix, piece.first_cell), results)
    return results
