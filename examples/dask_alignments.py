"""Soft alignments of a large batch of signals against one reference, in partitions on a Dask
cluster: here a local cluster of 2 worker processes, elsewhere any cluster's scheduler. Every
partition is one call of the package; since its results for a signal do not depend on the
batch the signal is in, the partitions together equal one call on the whole batch, bit for
bit, which this script checks.

    .venv/bin/python examples/dask_alignments.py [--signals 2000] [--partition 250]
    .venv/bin/python examples/dask_alignments.py --scheduler tcp://scheduler:8786
"""

import argparse
import time

import numpy as np

import orvane

STATISTICS = ("scores", "weighted_mean", "log_std", "index_log_std")


def alignment_statistics(signals, reference, **options):
    """Scores and per-position statistics of one batch, as NumPy arrays (what a worker sends
    back: the alignment matrices stay on the worker)."""
    alignment = orvane.soft_alignment(signals, reference, **options)
    return {name: np.asarray(getattr(alignment, name)) for name in STATISTICS}


def in_partitions(client, signals, reference, partition, **options):
    """alignment_statistics of the whole batch, a partition of signals per task."""
    reference = client.scatter(reference, broadcast=True)
    futures = [client.submit(alignment_statistics, signals[start:start + partition], reference,
                             **options)
               for start in range(0, len(signals), partition)]
    parts = client.gather(futures)
    return {name: np.concatenate([part[name] for part in parts]) for name in STATISTICS}


def warped_copies(count, reference, seed=0):
    rng = np.random.default_rng(seed)
    grid = np.linspace(0, 1, len(reference))
    copies = []
    for _ in range(count):
        length = int(rng.integers(len(reference) // 2, 2 * len(reference)))
        warp = np.sort(rng.uniform(0, 1, length)) ** rng.uniform(0.7, 1.4)
        noisy = np.interp(warp, grid, reference) + 0.1 * rng.standard_normal(length)
        copies.append(noisy.astype(np.float32))
    return copies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signals", type=int, default=2000)
    parser.add_argument("--partition", type=int, default=250)
    parser.add_argument("--scheduler", help="a running cluster's scheduler address")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    reference = np.sin(np.linspace(0, 6, 150)).astype(np.float32)
    signals = warped_copies(args.signals, reference)
    cluster = None if args.scheduler else LocalCluster(n_workers=2, threads_per_worker=1)
    with Client(args.scheduler or cluster) as client:
        start = time.perf_counter()
        spread = in_partitions(client, signals, reference, args.partition, gamma=0.1)
        spread_time = time.perf_counter() - start
    if cluster is not None:
        cluster.close()
    start = time.perf_counter()
    whole = alignment_statistics(signals, reference, gamma=0.1)
    whole_time = time.perf_counter() - start
    same = all(spread[name].tobytes() == whole[name].tobytes() for name in STATISTICS)
    print(f"{args.signals} signals against {len(reference)} samples: on the cluster in "
          f"partitions of {args.partition}, {spread_time:.2f} s; in one call here, "
          f"{whole_time:.2f} s; the same bits: {'yes' if same else 'NO'}")


if __name__ == "__main__":
    main()
