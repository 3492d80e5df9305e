"""The training path and the analysis sequence on a realistic batch: a reference signal and a
few hundred warped, noisy copies of it of varying lengths, taken through distance -> Soft-DTW
forward -> backward -> gradients of every sample, then normalize -> weighted means -> weighted
log-std and weighted index log-std. Runs on the CUDA module where a GPU is present, otherwise
on the CPU twin, and prints the scores, what the alignment recovers of the reference, and the
time each step took."""

import argparse
import time

import numpy as np

from orvane.buffers import select_backend


def make_reference(length):
    t = np.linspace(0.0, 1.0, length)
    return (np.sin(2 * np.pi * 3 * t) + 0.5 * np.sin(2 * np.pi * 7 * t + 1.0)).astype(np.float32)


def warped_copy(reference, length, rng, noise=0.05):
    """The reference resampled along a random monotone time warp, plus noise."""
    s = np.linspace(0.0, 1.0, length)
    strength = rng.uniform(-0.8, 0.8)
    warp = np.clip(s + strength * np.sin(2 * np.pi * s) / (2 * np.pi), 0.0, 1.0)
    grid = np.linspace(0.0, 1.0, len(reference))
    return (np.interp(warp, grid, reference) + rng.normal(0.0, noise, length)).astype(np.float32)


def make_batch(reference, count, rng):
    lengths = rng.integers(len(reference) * 6 // 10, len(reference) * 16 // 10, count)
    return [warped_copy(reference, int(n), rng) for n in lengths]


class Timer:
    def __init__(self, backend):
        self.backend = backend
        self.times = {}

    def run(self, name, call):
        start = time.perf_counter()
        call()
        self.backend.synchronize()
        self.times[name] = time.perf_counter() - start


def run_training_path(backend, reference, signals, gamma):
    lengths = [len(s) for s in signals]
    cells = sum(lengths) * len(reference)
    m = backend.module
    x = backend.array(np.concatenate(signals))
    y = backend.array(reference)
    distance = backend.full(cells, 0.0)
    score_matrix = backend.full(cells, 0.0)
    scores = backend.full(len(signals), 0.0)
    gradient = backend.full(cells, 0.0)
    dx = backend.full(sum(lengths), 0.0)
    dy = backend.full(len(reference), 0.0)
    M = len(reference)

    timer = Timer(backend)
    timer.run("distance", lambda: m.calc_manhattan_distance(x.ptr, lengths, y.ptr, M, distance.ptr))
    timer.run("forward", lambda: m.calc_softdtw_forward(lengths, M, distance.ptr, score_matrix.ptr,
                                                         scores.ptr, gamma))
    timer.run("backward", lambda: m.calc_softdtw_backward(lengths, M, distance.ptr,
                                                           score_matrix.ptr, gradient.ptr, gamma))
    timer.run("sample gradients", lambda: m.calc_manhattan_distance_gradient(
        x.ptr, lengths, y.ptr, M, gradient.ptr, dx.ptr, dy.ptr))
    packed = len(signals) * M
    column_sums = backend.full(packed, 0.0)
    means = backend.full(packed, 0.0)
    log_std = backend.full(packed, 0.0)
    index_log_std = backend.full(packed, 0.0)
    timer.run("normalize", lambda: m.normalize_matrix(lengths, M, gradient.ptr, column_sums.ptr))
    timer.run("weighted means", lambda: m.calc_weighted_means(x.ptr, lengths, M, gradient.ptr,
                                                               means.ptr))
    timer.run("weighted log-std", lambda: m.calc_weighted_std(x.ptr, lengths, M, gradient.ptr,
                                                               means.ptr, log_std.ptr))
    timer.run("index log-std", lambda: m.calc_weighted_index_std(lengths, M, gradient.ptr,
                                                                  index_log_std.ptr))
    shape = (len(signals), M)
    return dict(scores=scores.numpy(), dx=dx.numpy(), dy=dy.numpy(), times=timer.times,
                cells=cells, means=means.numpy().reshape(shape),
                log_std=log_std.numpy().reshape(shape),
                index_log_std=index_log_std.numpy().reshape(shape))


def print_recovered_reference(reference, result, lengths, shown_signals, positions):
    """Each signal's weighted mean at a few reference positions, next to the reference."""
    print("What the alignments recover of the reference (weighted mean of the aligned samples,")
    print("log-std of those samples, log-std of their input positions):")
    header = "".join(f" {f'j = {j}':>9s}{'':14s}" for j in positions)
    print(f"  {'':18s}{header}")
    print(f"  {'reference':18s}" + "".join(f" {reference[j]:9.3f}{'':14s}" for j in positions))
    for k in shown_signals:
        cells = "".join(f" {result['means'][k, j]:9.3f} {result['log_std'][k, j]:6.2f} "
                        f"{result['index_log_std'][k, j]:6.2f}" for j in positions)
        print(f"  signal {k:4d} ({lengths[k]:3d}) {cells}")
    warped = result["means"][:-3]
    error = np.abs(warped - reference[None, :])
    print(f"  over all warped copies and positions: |mean - reference| is {error.mean():.3f} "
          f"on average (noise level 0.05)\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--signals", type=int, default=300)
    parser.add_argument("--ref-length", type=int, default=160)
    parser.add_argument("--gamma", type=float, default=0.1)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    reference = make_reference(args.ref_length)
    signals = make_batch(reference, args.signals, rng)
    # A few signals of pure noise, for contrast with the warped copies.
    noise = [rng.normal(0.0, 0.7, len(s)).astype(np.float32) for s in signals[:3]]
    signals[-3:] = noise

    backend = select_backend()
    lengths = [len(s) for s in signals]
    print(f"Module: {backend.module.__name__} ({backend.module.__doc__})")
    print(f"Batch: {len(signals)} signals of {min(lengths)} to {max(lengths)} samples "
          f"against a reference of {args.ref_length}; gamma = {args.gamma}\n")

    result = run_training_path(backend, reference, signals, args.gamma)
    scores = result["scores"]
    per_sample = scores / np.array(lengths)
    print("Soft-DTW score per signal (score / length in brackets):")
    for k in list(range(8)) + list(range(len(signals) - 3, len(signals))):
        kind = "noise " if k >= len(signals) - 3 else "warped"
        print(f"  signal {k:4d} [{kind}] length {lengths[k]:4d}: {scores[k]:10.3f}  "
              f"({per_sample[k]:.4f})")
    warped = per_sample[:-3]
    print(f"  warped copies: score per sample {warped.mean():.4f} on average, "
          f"{warped.max():.4f} at most; noise: {per_sample[-3:].min():.4f} at least\n")
    print(f"Gradient of the summed scores: |d/dx| mean {np.abs(result['dx']).mean():.4f}, "
          f"|d/dy| mean {np.abs(result['dy']).mean():.4f}\n")

    print_recovered_reference(reference, result, lengths, shown_signals=range(5),
                              positions=np.linspace(0, args.ref_length - 1, 5).astype(int))

    total = sum(result["times"].values())
    print(f"Time ({result['cells']:,} matrix cells):")
    for name, seconds in result["times"].items():
        print(f"  {name:17s} {seconds * 1e3:9.1f} ms")
    print(f"  {'total':17s} {total * 1e3:9.1f} ms")


if __name__ == "__main__":
    main()
