"""Test batches: signals, reference, and the training path run on a backend, with results
unpacked into per-signal 2-D arrays."""

from dataclasses import dataclass, field

import numpy as np

from layout_reference import antidiag_to_square, square_to_antidiag


def pack(matrices):
    """Per-signal 2-D arrays -> one float32 batch matrix in the anti-diagonal layout."""
    lengths = [m.shape[0] for m in matrices]
    square = np.concatenate([np.asarray(m, np.float32).ravel() for m in matrices])
    return square_to_antidiag(square, lengths, matrices[0].shape[1])


def unpack(flat, lengths, cols):
    """Batch matrix in the anti-diagonal layout -> per-signal 2-D arrays."""
    square = antidiag_to_square(np.asarray(flat), lengths, cols)
    offsets = np.concatenate([[0], np.cumsum(np.asarray(lengths) * cols)])
    return [square[a:b].reshape(n, cols) for a, b, n in zip(offsets[:-1], offsets[1:], lengths)]


@dataclass
class Batch:
    signals: list
    reference: np.ndarray
    alpha: np.ndarray | None = None

    @property
    def lengths(self):
        return [len(s) for s in self.signals]

    @property
    def ref_length(self):
        return len(self.reference)

    @property
    def cells(self):
        return sum(self.lengths) * self.ref_length

    def samples(self):
        return np.concatenate(self.signals).astype(np.float32)


def random_batch(lengths, ref_length, seed=0, alpha=False):
    rng = np.random.default_rng(seed)
    reference = rng.standard_normal(ref_length).astype(np.float32)
    signals = [rng.standard_normal(n).astype(np.float32) for n in lengths]
    alphas = rng.uniform(-0.5, 0.5, len(lengths)).astype(np.float32) if alpha else None
    return Batch(signals, reference, alphas)


@dataclass
class Options:
    gamma: float = 1.0
    local_end: bool = False
    last_row_only: bool = False
    ref_gap_penalty: float = 0.0

    def end(self):
        return dict(local_end=self.local_end, last_row_only=self.last_row_only,
                    gap=np.float32(self.ref_gap_penalty))


SENTINEL = np.float32(-12345.5)


@dataclass
class TrainingRun:
    """Every buffer of one pass through the training path on one backend."""

    backend: object
    batch: Batch
    options: Options
    buffers: dict = field(default_factory=dict)

    def run_distance(self):
        b, batch = self.backend, self.batch
        self.buffers["x"] = b.array(batch.samples())
        self.buffers["y"] = b.array(batch.reference)
        self.buffers["D"] = b.full(batch.cells, SENTINEL)
        b.module.calc_manhattan_distance(self.buffers["x"].ptr, batch.lengths,
                                         self.buffers["y"].ptr, batch.ref_length,
                                         self.buffers["D"].ptr)
        return self

    def alpha_ptr(self):
        if self.batch.alpha is None:
            return 0
        self.buffers.setdefault("alpha", self.backend.array(self.batch.alpha))
        return self.buffers["alpha"].ptr

    def run_forward(self):
        b, batch, o = self.backend, self.batch, self.options
        self.buffers["R"] = b.full(batch.cells, SENTINEL)
        self.buffers["scores"] = b.full(len(batch.lengths), SENTINEL)
        b.module.calc_softdtw_forward(batch.lengths, batch.ref_length, self.buffers["D"].ptr,
                                      self.buffers["R"].ptr, self.buffers["scores"].ptr, o.gamma,
                                      self.alpha_ptr(), o.local_end, o.last_row_only,
                                      o.ref_gap_penalty)
        return self

    def run_backward(self):
        b, batch, o = self.backend, self.batch, self.options
        self.buffers["E"] = b.full(batch.cells, SENTINEL)
        b.module.calc_softdtw_backward(batch.lengths, batch.ref_length, self.buffers["D"].ptr,
                                       self.buffers["R"].ptr, self.buffers["E"].ptr, o.gamma,
                                       self.alpha_ptr(), o.local_end, self.buffers["scores"].ptr,
                                       o.last_row_only, o.ref_gap_penalty)
        return self

    def run_sample_gradients(self):
        b, batch = self.backend, self.batch
        self.buffers["dx"] = b.full(sum(batch.lengths), 0.0)
        self.buffers["dy"] = b.full(batch.ref_length, 0.0)
        b.module.calc_manhattan_distance_gradient(
            self.buffers["x"].ptr, batch.lengths, self.buffers["y"].ptr, batch.ref_length,
            self.buffers["E"].ptr, self.buffers["dx"].ptr, self.buffers["dy"].ptr)
        return self

    def run_all(self):
        return self.run_distance().run_forward().run_backward().run_sample_gradients()

    def run_statistics(self):
        """The analysis sequence on E, which it normalises in place into the weights."""
        b, batch = self.backend, self.batch
        lengths, cols = batch.lengths, batch.ref_length
        packed = len(lengths) * cols
        for name in ("sums", "means", "log_std", "index_log_std"):
            self.buffers[name] = b.full(packed, 0.0)
        x, weights = self.buffers["x"].ptr, self.buffers["E"].ptr
        module = b.module
        module.normalize_matrix(lengths, cols, weights, self.buffers["sums"].ptr)
        module.calc_weighted_means(x, lengths, cols, weights, self.buffers["means"].ptr)
        module.calc_weighted_std(x, lengths, cols, weights, self.buffers["means"].ptr,
                                 self.buffers["log_std"].ptr)
        module.calc_weighted_index_std(lengths, cols, weights, self.buffers["index_log_std"].ptr)
        return self

    def flat(self, name):
        return self.buffers[name].numpy()

    def matrices(self, name):
        return unpack(self.flat(name), self.batch.lengths, self.batch.ref_length)
