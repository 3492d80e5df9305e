"""orvane_cpu's float32 training step (forward + backward on a precomputed distance matrix,
gamma = 1, global end) in cells per second over batches of many shapes, beside the two
reference wavefronts of wavefront_probes.cpp built here from source (the same float steps,
Highway's Exp and Log): along the diagonal and signals side by side. Also orvane_cpu's mixed
path (float64 score matrices) against its float32 path, and its speed-up from one thread to
its default (one per core) where a batch is one long signal or of mixed lengths. Each shape's
calls are timed in turn and the best of the repeats kept.

    PYTHONPATH=benchmarks .venv/bin/python benchmarks/shapes.py [--repeats 3]
"""

import os

# numpy's bundled OpenBLAS threads spin on the cores being timed for a while after each
# numpy call; the timed calls here use no BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
from dataclasses import dataclass

import numpy as np
import orvane_cpu

import wavefront_probes
from cpu_backends import best_in_turn

PROBE_THREADS = 2
HEADER = """\
Mcells/s of forward + backward, best of {repeats}, calls timed in turn; {cores} cores,
orvane_cpu on its default threads (one per core), the probes on {threads} threads, {lanes}
float32 lanes a vector. Columns:
  orvane      orvane_cpu's float32 path (calc_softdtw_forward then calc_softdtw_backward)
  along       probe: one signal at a time, a vector along each anti-diagonal
  side        probe: {lanes} equal-length signals a group, one a lane (* fewer signals than
              lanes: the empty lanes repeat a signal; only the real cells are counted)
  vs probe    orvane's Mcells/s over the relevant probe's (side for 64^2 and 128^2, along
              otherwise)
  mixed       orvane_cpu's mixed path (_mixed calls, float64 score matrices), and its
  /f32        Mcells/s over the float32 path's
  2T/1T       orvane's float32 path on its default threads over one thread
  step        orvane_cpu's whole float32 training step without matrices
              (calc_softdtw_gradients: every cost formed from the samples in the sweeps,
              forward, backward, and the gradients of the samples and the reference), which
              orvane.soft_dtw_with_grad and the PyTorch loss run; and over the relevant probe's
              forward + backward, which reads its costs from a distance matrix and adds no
              gradient
"""


@dataclass
class Shape:
    name: str
    lengths: list
    cols: int
    relevant_probe: str  # "side" or "along"
    thread_speedup: bool = False


def mixed_lengths(count=64, shortest=64, longest=4096, seed=0):
    """A geometric spread of lengths, shuffled as a batch would come."""
    lengths = np.geomspace(shortest, longest, count).round().astype(int)
    return np.random.default_rng(seed).permutation(lengths).tolist()


SHAPES = [
    Shape("1,024 x 64 x 64", [64] * 1024, 64, "side"),
    Shape("256 x 128 x 128", [128] * 256, 128, "side"),
    Shape("16 x 256 x 256", [256] * 16, 256, "along"),
    Shape("64 x 1,024 x 1,024", [1024] * 64, 1024, "along"),
    Shape("4 x 4,096 x 4,096", [4096] * 4, 4096, "along"),
    Shape("1 x 16,384 x 1,024", [16384], 1024, "along", thread_speedup=True),
    Shape("64 x 64..4,096 x 1,024", mixed_lengths(), 1024, "along", thread_speedup=True),
]


def touched(size, dtype):
    """An array whose pages are already mapped, so that no timed run pays for them."""
    array = np.empty(size, dtype)
    array.fill(0)
    return array


class OrvanePath:
    """orvane_cpu's forward and backward on one batch, into buffers of their own: the float32
    path, or the mixed one (float64 score matrix and scores)."""

    def __init__(self, distance, lengths, cols, score_type):
        suffix = "" if score_type == np.float32 else "_mixed"
        self._forward = getattr(orvane_cpu, "calc_softdtw_forward" + suffix)
        self._backward = getattr(orvane_cpu, "calc_softdtw_backward" + suffix)
        self.lengths, self.cols, self.distance = lengths, cols, distance
        self.score = touched(distance.size, score_type)
        self.gradient = touched(distance.size, np.float32)
        self.scores = touched(len(lengths), score_type)

    def step(self):
        pointers = (self.distance.ctypes.data, self.score.ctypes.data)
        self._forward(self.lengths, self.cols, *pointers, self.scores.ctypes.data, 1.0)
        self._backward(self.lengths, self.cols, *pointers, self.gradient.ctypes.data, 1.0)


class LeanStep:
    """orvane_cpu's float32 scores and gradients without distance or gradient matrices."""

    def __init__(self, x, y, lengths):
        self.x, self.y, self.lengths = x, y, lengths
        self.score = touched(sum(lengths) * len(y), np.float32)
        self.scores = touched(len(lengths), np.float32)
        self.dx, self.dy = touched(x.size, np.float32), touched(y.size, np.float32)

    def step(self):
        self.dx.fill(0)
        self.dy.fill(0)
        orvane_cpu.calc_softdtw_gradients(
            self.x.ctypes.data, self.lengths, self.y.ctypes.data, self.y.size,
            self.score.ctypes.data, self.scores.ctypes.data, self.dx.ctypes.data,
            self.dy.ctypes.data, 1.0)


def one_thread(step):
    """step on one thread, the default thread count restored after it."""
    def call():
        orvane_cpu.set_num_threads(1)
        try:
            step()
        finally:
            orvane_cpu.set_num_threads(0)
    return call


def signals_and_distances(shape, seed=0):
    """The batch's samples, reference and distance matrices, in the anti-diagonal layout,
    from orvane_cpu."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(sum(shape.lengths)).astype(np.float32)
    y = rng.standard_normal(shape.cols).astype(np.float32)
    distance = touched(sum(shape.lengths) * shape.cols, np.float32)
    orvane_cpu.calc_manhattan_distance(x.ctypes.data, shape.lengths, y.ctypes.data, shape.cols,
                                       distance.ctypes.data)
    return x, y, distance


def check_scores(probe, reference, name):
    """A probe timed must be computing the same scores."""
    if not np.allclose(probe.signal_scores(), reference, rtol=1e-5, atol=1e-5):
        raise AssertionError(f"the {name} probe's scores differ from orvane_cpu's")


def measure(shape, built, repeats):
    """Mcells/s of every call on one shape, by name."""
    x, y, distance = signals_and_distances(shape)
    float32 = OrvanePath(distance, shape.lengths, shape.cols, np.float32)
    lean = LeanStep(x, y, shape.lengths)
    mixed = OrvanePath(distance, shape.lengths, shape.cols, np.float64)
    probes = {"along": wavefront_probes.AlongDiagonal(built, distance, shape.lengths, shape.cols,
                                                      threads=PROBE_THREADS)}
    if len(set(shape.lengths)) == 1:
        probes["side"] = wavefront_probes.SideBySide(built, distance, shape.lengths, shape.cols,
                                                     threads=PROBE_THREADS)
    calls = {"orvane": float32.step, "mixed": mixed.step, "step": lean.step}
    calls.update({name: (lambda p=probe: (p.forward(), p.backward()))
                  for name, probe in probes.items()})
    if shape.thread_speedup:
        calls["1 thread"] = one_thread(float32.step)
    best = best_in_turn(calls, repeats)
    for name, probe in probes.items():
        check_scores(probe, float32.scores, name)
    return {name: distance.size / wall / 1e6 for name, wall in best.items()}


def row(shape, rates, lanes):
    def cell(name):
        return f"{rates[name]:8.1f}" if name in rates else f"{'-':>8s}"
    side = cell("side") + ("*" if "side" in rates and len(shape.lengths) < lanes else " ")
    versus = f"{rates['orvane'] / rates[shape.relevant_probe]:5.2f} {shape.relevant_probe:5s}"
    speedup = (f"{rates['orvane'] / rates['1 thread']:6.2f}" if "1 thread" in rates
               else f"{'-':>6s}")
    step = f"{rates['step'] / rates[shape.relevant_probe]:5.2f}"
    return (f"{shape.name:24s} {sum(shape.lengths) * shape.cols / 1e6:8.1f} {cell('orvane')} "
            f"{cell('along')} {side} {versus} {cell('mixed')} "
            f"{rates['mixed'] / rates['orvane']:5.2f} {speedup} {cell('step')} {step}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    built = wavefront_probes.library()
    lanes = built.probe_lanes()
    print(HEADER.format(repeats=args.repeats, cores=os.cpu_count(), threads=PROBE_THREADS,
                        lanes=lanes))
    print(f"{'shape (B x N x M)':24s} {'Mcells':>8s} {'orvane':>8s} {'along':>8s} "
          f"{'side':>8s}  {'vs probe':11s} {'mixed':>8s} {'/f32':>5s} {'2T/1T':>6s} "
          f"{'step':>8s} {'/probe':>6s}")
    for shape in SHAPES:
        print(row(shape, measure(shape, built, args.repeats), lanes), flush=True)


if __name__ == "__main__":
    main()
