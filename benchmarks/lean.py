"""Scores and gradients without matrices, side by side with the raw calls they replace:
orvane.soft_dtw on the CPU (the float32 path and the default mixed path) against
orvane_cpu's distance + forward passes, and soft_dtw_with_grad and the PyTorch loss against
the four raw calls of a training step (into buffers made once), in cells per second, best of
the repeats, the calls timed in turn; then the peak memory that scores of one long signal
add, in a fresh process.

    .venv/bin/python benchmarks/lean.py [--repeats 5] [--long 200000,4096]
"""

import argparse
import subprocess
import sys
import time

import numpy as np
import orvane_cpu

import torch

import orvane
import orvane.torch as otorch
from cpu_backends import best_in_turn
from memory_budget import MIB, resident

SIZES = [(16, 256, 256), (64, 1024, 1024), (4, 4096, 4096)]


def calls(batch, length, ref_length):
    rng = np.random.default_rng(0)
    x = rng.standard_normal(batch * length).astype(np.float32)
    y = rng.standard_normal(ref_length).astype(np.float32)
    lengths = [length] * batch
    distance, score = (np.empty(batch * length * ref_length, np.float32) for _ in range(2))
    scores = np.empty(batch, np.float32)

    def raw():
        orvane_cpu.calc_manhattan_distance(x.ctypes.data, lengths, y.ctypes.data, ref_length,
                                           distance.ctypes.data)
        orvane_cpu.calc_softdtw_forward(lengths, ref_length, distance.ctypes.data,
                                        score.ctypes.data, scores.ctypes.data, 1.0)
    gradient = np.empty_like(distance)
    dx, dy = np.zeros_like(x), np.zeros_like(y)

    def raw_training_step():
        raw()
        orvane_cpu.calc_softdtw_backward(lengths, ref_length, distance.ctypes.data,
                                         score.ctypes.data, gradient.ctypes.data, 1.0)
        orvane_cpu.calc_manhattan_distance_gradient(x.ctypes.data, lengths, y.ctypes.data,
                                                    ref_length, gradient.ctypes.data,
                                                    dx.ctypes.data, dy.ctypes.data)
    padded = torch.from_numpy(x.reshape(batch, length)).requires_grad_()
    template = torch.from_numpy(y).requires_grad_()

    def torch_step():
        otorch.SoftDTWLoss()(padded, template).backward()
    return {"scores": {
                "raw distance + forward": raw,
                "soft_dtw, float32": lambda: orvane.soft_dtw(x, y, lengths=lengths,
                                                             precision="float32"),
                "soft_dtw, mixed": lambda: orvane.soft_dtw(x, y, lengths=lengths)},
            "gradients": {
                "raw four calls": raw_training_step,
                "soft_dtw_with_grad, float32": lambda: orvane.soft_dtw_with_grad(
                    x, y, lengths=lengths, precision="float32"),
                "soft_dtw_with_grad, mixed": lambda: orvane.soft_dtw_with_grad(
                    x, y, lengths=lengths),
                "torch loss, mixed": torch_step}}


def long_scores(length, ref_length):
    """Peak memory added by the scores of one long signal, in this (fresh) process."""
    rng = np.random.default_rng(1)
    x = rng.standard_normal(length).astype(np.float32)
    y = rng.standard_normal(ref_length).astype(np.float32)
    orvane.soft_dtw(x[:10], y[:10])
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident("VmRSS")
    start = time.perf_counter()
    orvane.soft_dtw(x, y, end="free")
    print(f"{time.perf_counter() - start:.1f} {(resident('VmHWM') - before) / MIB:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--long", default="200000,4096", metavar="N,M")
    parser.add_argument("--long-probe", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    length, ref_length = (int(v) for v in args.long.split(","))
    if args.long_probe:
        long_scores(length, ref_length)
        return
    for size in SIZES:
        cells = size[0] * size[1] * size[2]
        print(f"B = {size[0]}, N = M = {size[1]}:")
        for kind, timed in calls(*size).items():
            best = best_in_turn(timed, args.repeats)
            raw_wall = next(iter(best.values()))
            for name, wall in best.items():
                print(f"  {name:30s} {cells / wall / 1e6:8.1f} Mcells/s   "
                      f"{raw_wall / wall:5.2f}x the raw calls")
    output = subprocess.run([sys.executable, __file__, "--long-probe", "--long", args.long],
                            check=True, capture_output=True, text=True).stdout.split()
    stored = length * ref_length * 8 / MIB
    print(f"\nScores of one signal of {length} against {ref_length} (free end, mixed path): "
          f"{output[0]} s, {output[1]} MiB added at the peak; distance + forward would hold "
          f"{stored:,.0f} MiB of matrices")


if __name__ == "__main__":
    main()
