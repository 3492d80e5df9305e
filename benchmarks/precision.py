"""orvane_cpu's three paths side by side: forward + backward over stored matrices, the scores
alone and the gradients without matrices, in cells per second on the float32 path (the
kernels' steps), the mixed path (float64 scores) and the float64 path, the ratios to the
float32 path, and tslearn's SoftDTW (float64, compute + grad) for the float64 path's wall
time. Each size's calls are timed in turn, run by run, and the best of the runs kept, so that
a busy machine slows them alike and the ratios hold where the figures themselves move.

    .venv/bin/python benchmarks/precision.py [--sizes B,N,M ...] [--repeats 5] [--gamma 1]
        [--threads 0]

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
ROUTES = ["forward + backward", "scores alone", "gradients without matrices"]


def route_calls(batch, path, gamma):
    """route -> one call of that route on the batch, on one path."""
    data, score_type, suffix, pass_suffix = PATHS[path]
    lengths, m = batch.lengths, batch.M
    x, y = batch.x.astype(data), batch.y.astype(data)
    distance, gradient = np.empty(batch.cells, data), np.empty(batch.cells, data)
    score, scores = np.empty(batch.cells, score_type), np.empty(len(lengths), score_type)
    dx, dy = np.zeros_like(x), np.zeros_like(y)
    getattr(orvane_cpu, "calc_manhattan_distance" + suffix)(
        x.ctypes.data, lengths, y.ctypes.data, m, distance.ctypes.data)
    forward = getattr(orvane_cpu, "calc_softdtw_forward" + pass_suffix)
    backward = getattr(orvane_cpu, "calc_softdtw_backward" + pass_suffix)
    scores_alone = getattr(orvane_cpu, "calc_softdtw_scores" + pass_suffix)
    gradients = getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)

    def stored():
        forward(lengths, m, distance.ctypes.data, score.ctypes.data, scores.ctypes.data, gamma)
        backward(lengths, m, distance.ctypes.data, score.ctypes.data, gradient.ctypes.data,
                 gamma)
    return {
        "forward + backward": stored,
        "scores alone": lambda: scores_alone(x.ctypes.data, lengths, y.ctypes.data, m,
                                             scores.ctypes.data, gamma),
        "gradients without matrices": lambda: gradients(
            x.ctypes.data, lengths, y.ctypes.data, m, score.ctypes.data, scores.ctypes.data,
            dx.ctypes.data, dy.ctypes.data, gamma)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", default=DEFAULT_SIZES, metavar="B,N,M")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--gamma", type=float, default=1.0)
    parser.add_argument("--threads", type=int, default=0,
                        help="orvane_cpu's threads (0: one per core); 1 keeps the timing off "
                             "a core that others share")
    args = parser.parse_args()
    orvane_cpu.set_num_threads(args.threads)
    have_tslearn = tslearn_available()
    for size in args.sizes:
        batch = Batch(*(int(v) for v in size.split(",")))
        calls = {path: route_calls(batch, path, args.gamma) for path in PATHS}
        best = best_in_turn({(route, path): calls[path][route]
                             for route in ROUTES for path in PATHS}, args.repeats)
        print(f"B = {len(batch.lengths)}, N = {batch.lengths[0]}, M = {batch.M}, "
              f"gamma = {args.gamma:g}: best of {args.repeats}")
        for route in ROUTES:
            print(f"  {route}")
            for path in PATHS:
                wall = best[route, path]
                print(f"    {path:8s} {batch.cells / wall / 1e6:8.1f} Mcells/s  "
                      f"{wall * 1e3:9.1f} ms  {best[route, 'float32'] / wall:5.2f}x the float32 "
                      "path")
        if have_tslearn:
            steps = tslearn_steps(batch)
            start = time.perf_counter()
            steps["training step"]()
            theirs = time.perf_counter() - start
            print(f"  tslearn  {batch.cells / theirs / 1e6:8.1f} Mcells/s  {theirs * 1e3:9.1f} ms"
                  "  (float64 path's forward + backward "
                  f"{theirs / best['forward + backward', 'float64']:.1f}x faster)")
        print()


if __name__ == "__main__":
    main()
