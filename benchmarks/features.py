"""The costs beyond the kernels' 1-D |x - y| side by side with it, on the vectorised CPU
module: the distance pass plus its gradient for samples of d channels under the squared cost
against the 1-D |x - y| pass, per cell; and a training step (scores and gradients without
matrices) within a Sakoe-Chiba band against the full matrix. Best of the repeats, the calls
timed in turn.

    .venv/bin/python benchmarks/features.py [--repeats 5] [--channels 8] [--band-fraction 0.05]
"""

import os

# numpy's bundled OpenBLAS threads spin on the cores being timed for a while after each
# numpy call; the timed calls here use no BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse

import numpy as np
import orvane_cpu

import orvane
from cpu_backends import best_in_turn


def distance_calls(batch, length, channels):
    """The 1-D abs distance + gradient passes (the kernels' own, and calc_distance's) and the
    d-channel ones, into buffers made once."""
    rng = np.random.default_rng(0)
    lengths = [length] * batch
    cells = batch * length * length
    distance, gradient = np.empty(cells, np.float32), np.ones(cells, np.float32)
    x = rng.standard_normal(batch * length).astype(np.float32)
    y = rng.standard_normal(length).astype(np.float32)
    dx, dy = np.zeros_like(x), np.zeros_like(y)

    def kernels_costs():
        orvane_cpu.calc_manhattan_distance(x.ctypes.data, lengths, y.ctypes.data, length,
                                           distance.ctypes.data)
        orvane_cpu.calc_manhattan_distance_gradient(x.ctypes.data, lengths, y.ctypes.data,
                                                    length, gradient.ctypes.data,
                                                    dx.ctypes.data, dy.ctypes.data)
    calls = {"1-D abs": kernels_costs}
    for name, width, cost in [("1-D abs, calc_distance", 1, "abs"),
                              (f"{channels} channels, abs", channels, "abs"),
                              (f"{channels} channels, squared", channels, "sqeuclidean")]:
        x = rng.standard_normal(batch * length * width).astype(np.float32)
        y = rng.standard_normal(length * width).astype(np.float32)
        dx, dy = np.zeros_like(x), np.zeros_like(y)

        def call(x=x, y=y, dx=dx, dy=dy, width=width, cost=cost):
            orvane_cpu.calc_distance(x.ctypes.data, lengths, y.ctypes.data, length,
                                     distance.ctypes.data, channels=width, cost=cost)
            orvane_cpu.calc_distance_gradient(x.ctypes.data, lengths, y.ctypes.data, length,
                                              gradient.ctypes.data, dx.ctypes.data,
                                              dy.ctypes.data, channels=width, cost=cost)
        calls[name] = call
    return calls


def band_calls(batch, length, fraction):
    rng = np.random.default_rng(1)
    x = rng.standard_normal((batch, length)).astype(np.float32)
    y = rng.standard_normal(length).astype(np.float32)
    radius = round(fraction * length)
    return radius, {
        "full matrix": lambda: orvane.soft_dtw_with_grad(x, y, precision="float32"),
        f"band r = {radius}": lambda: orvane.soft_dtw_with_grad(x, y, precision="float32",
                                                                band=radius)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--channels", type=int, default=8)
    parser.add_argument("--band-fraction", type=float, default=0.05)
    args = parser.parse_args()
    batch, length = 16, 256
    print(f"Distance + distance gradient, B = {batch}, N = M = {length} (orvane_cpu, float32):")
    best = best_in_turn(distance_calls(batch, length, args.channels), args.repeats)
    base = best["1-D abs"]
    cells = batch * length * length
    for name, wall in best.items():
        print(f"  {name:24s} {wall / cells * 1e9:7.2f} ns/cell   {wall / base:5.2f}x the 1-D abs")
    for batch, length in [(4, 4096), (16, 1024)]:
        radius, calls = band_calls(batch, length, args.band_fraction)
        print(f"Training step (soft_dtw_with_grad, float32), B = {batch}, N = M = {length}, "
              f"band of {args.band_fraction:.0%} (r = {radius}):")
        best = best_in_turn(calls, args.repeats)
        full = best["full matrix"]
        for name, wall in best.items():
            print(f"  {name:24s} {wall * 1e3:8.1f} ms   {full / wall:5.1f}x the full matrix's "
                  "speed")


if __name__ == "__main__":
    main()
