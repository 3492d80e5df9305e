"""Pairs side by side, in one run: the per-pair loss (forward + backward, predictions against
their own targets) beside tslearn's SoftDTWLossPyTorch, pysdtw's SoftDTW and the
one-reference call on the same cells; pairwise as batches of pairs beside one call per signal
of b; and the loss with the divergence beside the loss without it. Float32 CPU tensors (the
mixed path), the squared cost the peers use; every figure is the best of --repeats runs, the
calls of a row run in turn, so that a busy machine slows them alike.

    .venv/bin/python benchmarks/pairs.py [--repeats 5] [--gamma 1] [--pairwise 200,128]

tslearn and pysdtw are optional (pip install tslearn pysdtw); a column whose library is
missing says so.
"""

import os

# numpy's bundled OpenBLAS threads spin on the cores being timed after each numpy call.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import importlib
import warnings

import numpy as np
import torch

import orvane
import orvane.torch as otorch
from cpu_backends import best_in_turn as best_of_runs

LOSS_SIZES = [(32, 128, 1), (32, 128, 3), (32, 256, 1), (32, 256, 3)]  # B, N = M, d


def best_in_turn(calls, repeats):
    """The best of `repeats` runs of each call, after one run each that warms them up (the
    peers compile their kernels on a first call)."""
    for call in calls.values():
        call()
    return best_of_runs(calls, repeats)


def step(loss_of, pred, target):
    """One training step's Soft-DTW work: the loss and its gradient for the predictions."""
    def run():
        pred.grad = None
        loss_of(pred, target).backward()
    return run


def peer_losses(gamma):
    """name -> loss(pred, target) of the per-pair peers installed here, or the reason one is
    missing."""
    peers = {}
    try:
        from tslearn.metrics import SoftDTWLossPyTorch
        tslearn = SoftDTWLossPyTorch(gamma=gamma)
        peers["tslearn"] = lambda pred, target: tslearn(pred, target).mean()
    except ImportError:
        peers["tslearn"] = "not installed (pip install tslearn)"
    try:
        pysdtw = importlib.import_module("pysdtw").SoftDTW(gamma=gamma, use_cuda=False)
        peers["pysdtw"] = lambda pred, target: pysdtw(pred, target).mean()
    except ImportError:
        peers["pysdtw"] = "not installed (pip install pysdtw)"
    return peers


def loss_rows(gamma, repeats):
    ours = otorch.SoftDTWLoss(gamma=gamma, cost="sqeuclidean")
    peers = peer_losses(gamma)
    print(f"per-pair loss, forward + backward, float32 CPU tensors (mixed path), gamma {gamma}, "
          f"best of {repeats}, ms a step")
    header = ["B x N x M x d", "pairs", "one reference", "pairs / one ref"]
    header += [f"{name} (x ours)" for name in peers]
    print(" | ".join(header))
    generator = torch.Generator().manual_seed(0)
    for batch, length, channels in LOSS_SIZES:
        pred = torch.randn(batch, length, channels, generator=generator).requires_grad_()
        target = torch.randn(batch, length, channels, generator=generator)
        pairs = step(ours, pred, target)
        best = best_in_turn({"pairs": pairs,
                             "one reference": step(lambda p, t: ours(p, t[0]), pred, target)},
                            repeats)
        # The peers leave threads spinning after their calls, which slows whatever runs next
        # on two cores: ours against ours run apart from them, and each peer in turn with the
        # pairs; every figure is the best of its own runs, wherever they ran.
        row = [f"{batch} x {length} x {length} x {channels}", f"{1e3 * best['pairs']:.1f}",
               f"{1e3 * best['one reference']:.1f}",
               f"{best['pairs'] / best['one reference']:.2f}"]
        for name, loss in peers.items():
            if not callable(loss):
                row.append(loss)
                continue
            with_peer = best_in_turn({"pairs": pairs, name: step(loss, pred, target)}, repeats)
            ours_best = min(best["pairs"], with_peer["pairs"])
            row.append(f"{1e3 * with_peer[name]:.1f} ({with_peer[name] / ours_best:.1f})")
        print(" | ".join(row))


def one_call_per_signal(a, b, gamma):
    """pairwise's matrix the way it ran before pairs: one soft_dtw call per signal of b over
    the whole of a."""
    flat, lengths = np.concatenate(a), [len(x) for x in a]
    return np.stack([orvane.soft_dtw(flat, y, lengths=lengths, gamma=gamma,
                                     cost="sqeuclidean") for y in b], axis=1)


def pairwise_row(count, length, gamma, repeats):
    rng = np.random.default_rng(1)
    a = [rng.standard_normal(length).astype(np.float32) for _ in range(count)]
    b = [rng.standard_normal(length).astype(np.float32) for _ in range(count)]
    found = {}
    calls = {"batches of pairs": lambda: found.update(
                 pairs=orvane.pairwise(a, b, gamma=gamma, cost="sqeuclidean")),
             "one call per signal": lambda: found.update(
                 signals=one_call_per_signal(a, b, gamma))}
    best = best_in_turn(calls, repeats)
    assert found["pairs"].tobytes() == found["signals"].tobytes()
    print(f"\npairwise {count} x {count} of length {length}, float32 (mixed path), best of "
          f"{repeats}, s: batches of pairs {best['batches of pairs']:.2f} | one call per signal "
          f"{best['one call per signal']:.2f} | speed-up "
          f"{best['one call per signal'] / best['batches of pairs']:.2f} (same bits)")


def divergence_rows(gamma, repeats):
    plain = otorch.SoftDTWLoss(gamma=gamma, cost="sqeuclidean")
    divergence = otorch.SoftDTWLoss(gamma=gamma, cost="sqeuclidean", divergence=True)
    print(f"\nthe loss with divergence=True beside the loss without it, forward + backward, best "
          f"of {repeats}, ms a step")
    print("B x N x M x d | form | without | with divergence | ratio")
    generator = torch.Generator().manual_seed(2)
    for batch, length, channels in LOSS_SIZES[:2]:
        pred = torch.randn(batch, length, channels, generator=generator).requires_grad_()
        target = torch.randn(batch, length, channels, generator=generator)
        for form, reference in (("pairs", target), ("one reference", target[0])):
            best = best_in_turn({"without": step(plain, pred, reference),
                                 "with": step(divergence, pred, reference)}, repeats)
            print(f"{batch} x {length} x {length} x {channels} | {form} | "
                  f"{1e3 * best['without']:.1f} | {1e3 * best['with']:.1f} | "
                  f"{best['with'] / best['without']:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--gamma", type=float, default=1.0)
    parser.add_argument("--pairwise", default="200,128", help="signals a side, their length")
    arguments = parser.parse_args()
    # The peers' compiled kernels warn on their first calls; the figures are what matter here.
    warnings.filterwarnings("ignore", category=RuntimeWarning)
    loss_rows(arguments.gamma, arguments.repeats)
    count, length = (int(v) for v in arguments.pairwise.split(","))
    pairwise_row(count, length, arguments.gamma, arguments.repeats)
    divergence_rows(arguments.gamma, arguments.repeats)


if __name__ == "__main__":
    main()
