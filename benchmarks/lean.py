"""Scores and gradients without matrices, side by side with the raw calls they replace:
orvane.soft_dtw on the CPU (the float32 path and the default mixed path) against
orvane_cpu's distance + forward passes, and soft_dtw_with_grad and the PyTorch loss against
the four raw calls of a training step (into buffers made once), in cells per second, best of
the repeats, the calls timed in turn, with the peak memory each package call adds in a fresh
process, in bytes per cell; then the peak memory that scores of one long signal add, and the
gradients of a signal whose score matrix exceeds the memory budget (checkpoints of R) next to
the same call without a budget.

    .venv/bin/python benchmarks/lean.py [--repeats 5] [--long 200000,4096]
        [--checkpointed 1000000,4096 --fitting 100000,4096 --budget-mib 1024]
"""

import os

# numpy's bundled OpenBLAS threads spin on the cores being timed for a while after each
# numpy call; the timed calls here use no BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
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

    loss = otorch.SoftDTWLoss()  # made once, as a training loop makes it

    def torch_step():
        loss(padded, template).backward()
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


def peak_of(call):
    """(seconds, bytes) of one call: its wall time and the growth of this process's peak
    resident memory over what it held before."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident("VmRSS")
    start = time.perf_counter()
    call()
    return time.perf_counter() - start, resident("VmHWM") - before


def probe(kind, name, batch, length, ref_length, budget):
    """Runs one package call in this (fresh) process after a tiny warm-up, a signal for every
    thread, so that the worker threads, which start once with their stacks, have started;
    prints its time and peak growth."""
    if kind == "long":
        rng = np.random.default_rng(1)
        x = rng.standard_normal(length).astype(np.float32)
        y = rng.standard_normal(ref_length).astype(np.float32)
        call = {"scores": lambda: orvane.soft_dtw(x, y, end="free"),
                "gradients": lambda: orvane.soft_dtw_with_grad(x, y, memory_budget=budget)}[name]
        orvane.soft_dtw_with_grad(x[:10], y[:10])
    else:
        call = calls(batch, length, ref_length)[kind][name]
        calls(os.cpu_count(), 8, 8)[kind][name]()
    print(*peak_of(call))


def fresh(*arguments):
    """(seconds, bytes) of probe(*arguments) in a fresh process."""
    output = subprocess.run([sys.executable, __file__, "--probe", json.dumps(arguments)],
                            check=True, capture_output=True, text=True).stdout.split()
    return float(output[0]), int(output[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--long", default="200000,4096", metavar="N,M")
    parser.add_argument("--checkpointed", default="1000000,4096", metavar="N,M")
    parser.add_argument("--fitting", default="100000,4096", metavar="N,M")
    parser.add_argument("--budget-mib", type=int, default=1024)
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        probe(*json.loads(args.probe))
        return
    for size in SIZES:
        cells = size[0] * size[1] * size[2]
        print(f"B = {size[0]}, N = M = {size[1]}:{'peak added':>63s}")
        for kind, timed in calls(*size).items():
            best = best_in_turn(timed, args.repeats)
            raw_wall = next(iter(best.values()))
            for name, wall in best.items():
                peak = "" if name.startswith("raw") else \
                    f"{fresh(kind, name, *size, None)[1] / cells:6.2f} bytes/cell"
                print(f"  {name:30s} {cells / wall / 1e6:8.1f} Mcells/s   "
                      f"{raw_wall / wall:5.2f}x the raw calls   {peak}")
    length, ref_length = (int(v) for v in args.long.split(","))
    wall, peak = fresh("long", "scores", 1, length, ref_length, None)
    print(f"\nScores of one signal of {length} against {ref_length} (free end, mixed path): "
          f"{wall:.1f} s, {peak / MIB:.1f} MiB added at the peak; distance + forward would "
          f"hold {length * ref_length * 8 / MIB:,.0f} MiB of matrices")
    budget = args.budget_mib * MIB
    print(f"\nGradients of one signal (mixed path), memory_budget = {args.budget_mib} MiB:")
    for label, shape, limit in [("fits, no budget", args.fitting, None),
                                ("fits, budget: checkpoints", args.fitting, budget),
                                ("exceeds: checkpoints", args.checkpointed, budget)]:
        length, ref_length = (int(v) for v in shape.split(","))
        wall, peak = fresh("long", "gradients", 1, length, ref_length, limit)
        print(f"  {length:>9,} x {ref_length:<6} {label:26s} {wall:7.1f} s "
              f"{length * ref_length / wall / 1e6:7.1f} Mcells/s {peak / MIB:9,.0f} MiB added "
              f"(R: {length * ref_length * 8 / MIB:,.0f} MiB)")


if __name__ == "__main__":
    main()
