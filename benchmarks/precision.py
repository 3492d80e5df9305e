"""orvane_cpu's three paths side by side: forward + backward in cells per second on the float32
path (the kernels' steps), the mixed path (float64 score matrices) and the float64 path, the
ratios to the float32 path, and tslearn's SoftDTW (float64, compute + grad) for the float64
path's wall time. Each size's paths are timed in turn, run by run, and the best of the runs
kept, so that a busy machine slows them alike.

    .venv/bin/python benchmarks/precision.py [--sizes B,N,M ...] [--repeats 5]

tslearn is optional (pip install tslearn); its column is left out without it.
"""

import os

# numpy's bundled OpenBLAS threads spin on the cores being timed for a while after each
# numpy call; the timed calls here use no BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import time

import numpy as np
import orvane_cpu

from cpu_backends import Batch, best_in_turn, tslearn_available, tslearn_steps

DEFAULT_SIZES = ["16,256,256", "64,1024,1024"]
# Data and score-matrix types and function suffixes of each path.
PATHS = {"float32": (np.float32, np.float32, "", ""),
         "mixed": (np.float32, np.float64, "", "_mixed"),
         "float64": (np.float64, np.float64, "_float64", "_float64")}


def forward_and_backward(batch, path):
    """The forward and backward passes of one path on the batch, as one call."""
    data, score_type, suffix, pass_suffix = PATHS[path]
    lengths, m = batch.lengths, batch.M
    x, y = batch.x.astype(data), batch.y.astype(data)
    distance, gradient = np.empty(batch.cells, data), np.empty(batch.cells, data)
    score, scores = np.empty(batch.cells, score_type), np.empty(len(lengths), score_type)
    getattr(orvane_cpu, "calc_manhattan_distance" + suffix)(
        x.ctypes.data, lengths, y.ctypes.data, m, distance.ctypes.data)
    forward = getattr(orvane_cpu, "calc_softdtw_forward" + pass_suffix)
    backward = getattr(orvane_cpu, "calc_softdtw_backward" + pass_suffix)

    def call():
        forward(lengths, m, distance.ctypes.data, score.ctypes.data, scores.ctypes.data, 1.0)
        backward(lengths, m, distance.ctypes.data, score.ctypes.data, gradient.ctypes.data, 1.0)
    return call


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", default=DEFAULT_SIZES, metavar="B,N,M")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    have_tslearn = tslearn_available()
    for size in args.sizes:
        batch = Batch(*(int(v) for v in size.split(",")))
        best = best_in_turn({path: forward_and_backward(batch, path) for path in PATHS},
                            args.repeats)
        print(f"B = {len(batch.lengths)}, N = {batch.lengths[0]}, M = {batch.M}: forward + "
              f"backward, best of {args.repeats}")
        for path, wall in best.items():
            print(f"  {path:8s} {batch.cells / wall / 1e6:8.1f} Mcells/s  {wall * 1e3:9.1f} ms  "
                  f"{best['float32'] / wall:5.2f}x the float32 path")
        if have_tslearn:
            steps = tslearn_steps(batch)
            start = time.perf_counter()
            steps["training step"]()
            theirs = time.perf_counter() - start
            print(f"  tslearn  {batch.cells / theirs / 1e6:8.1f} Mcells/s  {theirs * 1e3:9.1f} ms"
                  f"  (float64 path {theirs / best['float64']:.1f}x faster)")
        print()


if __name__ == "__main__":
    main()
