"""The training path and the analysis sequence on a realistic batch: a reference signal and a
few hundred warped, noisy copies of it of varying lengths. Through the orvane package it takes
the Soft-DTW scores with the gradients of every sample, then the soft alignments with their
per-position statistics, and the Soft-DTW barycenter of some of the warped copies. Runs on the
GPU where one is present, otherwise on the vectorised CPU module; prints the scores, what the
alignment and the barycenter recover of the reference and the time each step took, and draws
the reference with the barycenter, one signal's weighted means with a band of one weighted
standard deviation, and that signal's alignment matrix with its most likely path into a
PNG."""

import argparse
import time
from pathlib import Path

import numpy as np

import orvane
from orvane.buffers import cuda_backend

# The barycenter's batch and iteration limit: enough to recover the shape in a second or two.
BARYCENTER_COPIES = 40
BARYCENTER_ITERATIONS = 50


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


def on_device(array, use_gpu):
    if not use_gpu:
        return array
    import torch
    return torch.from_numpy(array).cuda()


def as_numpy(array):
    return array.detach().cpu().numpy() if hasattr(array, "detach") else np.asarray(array)


def run_training_path(reference, signals, gamma, use_gpu):
    """Scores and gradients, then the soft alignment and its statistics, each timed."""
    signals = [on_device(s, use_gpu) for s in signals]
    reference = on_device(reference, use_gpu)
    times = {}
    start = time.perf_counter()
    scores, dx, dy = orvane.soft_dtw_with_grad(signals, reference, gamma=gamma)
    times["scores and gradients"] = time.perf_counter() - start
    start = time.perf_counter()
    alignment = orvane.soft_alignment(signals, reference, gamma=gamma)
    statistics = {name: as_numpy(getattr(alignment, name))
                  for name in ("weighted_mean", "log_std", "index_log_std")}
    times["alignment and statistics"] = time.perf_counter() - start
    return dict(scores=as_numpy(scores), dx=np.concatenate([as_numpy(g) for g in dx]),
                dy=as_numpy(dy), times=times, alignment=alignment,
                cells=sum(len(s) for s in signals) * len(reference),
                means=statistics["weighted_mean"], log_std=statistics["log_std"],
                index_log_std=statistics["index_log_std"])


def run_barycenter(reference, copies, gamma, use_gpu):
    """The barycenter of the warped copies, as long as the reference, from the default start
    (their mean, each resampled to that length), timed; and the mean score of the reference
    itself against the copies, which the barycenter should beat."""
    copies = [on_device(s, use_gpu) for s in copies]
    start = time.perf_counter()
    z, result = orvane.barycenter(copies, len(reference), gamma=gamma,
                                  max_iter=BARYCENTER_ITERATIONS)
    seconds = time.perf_counter() - start
    at_reference = as_numpy(orvane.soft_dtw(copies, on_device(reference, use_gpu),
                                            gamma=gamma)).mean()
    return dict(z=as_numpy(z), result=result, seconds=seconds, count=len(copies),
                at_reference=float(at_reference))


def print_barycenter(reference, barycenter):
    result = barycenter["result"]
    stopped = "converged" if result.converged else result.message.lower()
    print(f"Soft-DTW barycenter of {barycenter['count']} warped copies "
          f"({len(reference)} samples), {barycenter['seconds'] * 1e3:.1f} ms:")
    print(f"  mean score {result.scores[0]:.3f} at the start, {result.scores[-1]:.3f} after "
          f"{result.iterations} iterations ({stopped}); the reference itself scores "
          f"{barycenter['at_reference']:.3f}")
    error = np.abs(barycenter["z"] - reference).mean()
    print(f"  |barycenter - reference| is {error:.3f} on average\n")


def draw(reference, result, barycenter, signal, path):
    """Reference and barycenter, the signal's weighted means with a band of one weighted
    standard deviation, and its alignment matrix with the most likely path."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5),
                                         gridspec_kw={"width_ratios": [1.6, 1]})
    positions = np.arange(len(reference))
    mean = result["means"][signal]
    deviation = np.exp(result["log_std"][signal])
    left.fill_between(positions, mean - deviation, mean + deviation, color="tab:orange",
                      alpha=0.3, label="± one weighted standard deviation")
    left.plot(positions, mean, color="tab:orange", label=f"weighted mean of signal {signal}")
    left.plot(positions, barycenter["z"], color="tab:blue", linewidth=1.2,
              label=f"barycenter of {barycenter['count']} warped copies")
    left.plot(positions, reference, color="black", linewidth=1.2, label="reference")
    left.set_xlabel("reference position j")
    left.set_title("What the soft alignment and the barycenter recover of the reference")
    left.legend(loc="best", fontsize="small")
    result["alignment"].plot(signal, ax=right)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


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
    parser.add_argument("--picture", type=Path, default=Path("training_example.png"))
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    reference = make_reference(args.ref_length)
    signals = make_batch(reference, args.signals, rng)
    # A few signals of pure noise, for contrast with the warped copies.
    noise = [rng.normal(0.0, 0.7, len(s)).astype(np.float32) for s in signals[:3]]
    signals[-3:] = noise

    use_gpu = cuda_backend() is not None
    lengths = [len(s) for s in signals]
    where = "the GPU (orvane_pybind)" if use_gpu else "the vectorised CPU module (orvane_cpu)"
    print(f"Running on: {where}")
    print(f"Batch: {len(signals)} signals of {min(lengths)} to {max(lengths)} samples "
          f"against a reference of {args.ref_length}; gamma = {args.gamma}\n")

    result = run_training_path(reference, signals, args.gamma, use_gpu)
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

    barycenter = run_barycenter(reference, signals[:BARYCENTER_COPIES], args.gamma, use_gpu)
    print_barycenter(reference, barycenter)
    result["times"]["barycenter"] = barycenter["seconds"]

    total = sum(result["times"].values())
    print(f"Time ({result['cells']:,} matrix cells):")
    for name, seconds in result["times"].items():
        print(f"  {name:25s} {seconds * 1e3:9.1f} ms")
    print(f"  {'total':25s} {total * 1e3:9.1f} ms")
    draw(reference, result, barycenter, signal=1, path=args.picture)
    print(f"\nPicture: {args.picture}")


if __name__ == "__main__":
    main()
