"""orvane's scikit-learn estimators next to tslearn's on its Trace data set (100 training and 100
test series of 275 samples, four classes, float64): SoftDTWKNeighborsClassifier against
KNeighborsTimeSeriesClassifier(metric="softdtw"), and SoftDTWKMeans against
TimeSeriesKMeans(metric="softdtw") from the same initial centroids, with the same parameters;
the accuracy or inertia of each and its best time of a few repeats, side by side.

    .venv/bin/python benchmarks/estimators.py [--repeats 3] [--gamma 1.0] [--neighbors 1]
        [--clusters 4] [--max-iter 5] [--max-iter-barycenter 20]

Both use the squared cost. The classifier runs twice: ranking neighbours by the Soft-DTW score,
as tslearn's does, and by the divergence, its default. tslearn's k-means reports the inertia of
the assignment before its last update; the inertia of the centroids it returns, the one
SoftDTWKMeans reports, is shown beside it (computed untimed by tslearn's cdist_soft_dtw). Each
library runs once on a few series before the timing, so that tslearn's compilation is not
timed. Needs tslearn and scikit-learn."""

import argparse
import time
import warnings

import numpy as np

from orvane.estimators import SoftDTWKMeans, SoftDTWKNeighborsClassifier


def best_time(call, repeats):
    """(the last result, the least wall time of `repeats` calls)."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, min(times)


def row(name, figure, seconds, tslearn_seconds=None):
    """One line of the table: with tslearn's time, ours as a speed-up against it."""
    ratio = "" if tslearn_seconds is None else f"  {tslearn_seconds / seconds:5.1f}x faster"
    print(f"  {name:42s} {figure:>22s} {seconds:8.2f} s{ratio}")


def classifiers(data, args, tslearn):
    X, y, X_test, y_test = data
    theirs = tslearn.neighbors.KNeighborsTimeSeriesClassifier(
        n_neighbors=args.neighbors, metric="softdtw", metric_params={"gamma": args.gamma})
    theirs.fit(X[:4], y[:4]).predict(X_test[:2])
    accuracy, seconds = best_time(lambda: theirs.fit(X, y).score(X_test, y_test), args.repeats)
    print(f"{args.neighbors}-NN, gamma = {args.gamma}: accuracy on the {len(X_test)} test series")
    row("tslearn, by scores", f"{accuracy:.3f}", seconds)
    for divergence, name in [(False, "orvane, by scores"), (True, "orvane, by divergences")]:
        ours = SoftDTWKNeighborsClassifier(args.neighbors, gamma=args.gamma,
                                           divergence=divergence)
        ours.fit(X[:4], y[:4]).predict(X_test[:2])
        own_accuracy, own_seconds = best_time(lambda: ours.fit(X, y).score(X_test, y_test),
                                              args.repeats)
        row(name, f"{own_accuracy:.3f}", own_seconds, seconds)


def kmeans(data, args, tslearn):
    X = data[0]
    init = X[np.random.default_rng(0).choice(len(X), args.clusters, replace=False)]
    options = {"max_iter": args.max_iter, "max_iter_barycenter": args.max_iter_barycenter,
               "init": init}
    theirs = tslearn.clustering.TimeSeriesKMeans(args.clusters, metric="softdtw",
                                                 metric_params={"gamma": args.gamma}, **options)
    tslearn.clustering.TimeSeriesKMeans(args.clusters, metric="softdtw", max_iter=1,
                                        max_iter_barycenter=2, init=init[:, :20]).fit(X[:8, :20])
    fitted, seconds = best_time(lambda: theirs.fit(X), args.repeats)
    distances = tslearn.metrics.cdist_soft_dtw(X, fitted.cluster_centers_, gamma=args.gamma)
    print(f"k-means, {args.clusters} clusters, gamma = {args.gamma}, {args.max_iter} iterations "
          f"of at most {args.max_iter_barycenter} for each barycenter: inertia")
    row("tslearn, as it reports it", f"{fitted.inertia_:.7g}", seconds)
    row("tslearn, of the centroids it returns", f"{np.mean(distances.min(axis=1) ** 2):.7g}",
        seconds)
    ours = SoftDTWKMeans(args.clusters, gamma=args.gamma, **options)
    SoftDTWKMeans(args.clusters, max_iter=1, max_iter_barycenter=2, init=init[:, :20]).fit(
        X[:8, :20])
    own, own_seconds = best_time(lambda: ours.fit(X), args.repeats)
    row("orvane", f"{own.inertia_:.7g}", own_seconds, seconds)
    agreeing = np.mean(own.labels_ == distances.argmin(axis=1))
    print(f"  labels agreeing with tslearn's centroids' assignment: {agreeing:.0%}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--gamma", type=float, default=1.0)
    parser.add_argument("--neighbors", type=int, default=1)
    parser.add_argument("--clusters", type=int, default=4)
    parser.add_argument("--max-iter", type=int, default=5)
    parser.add_argument("--max-iter-barycenter", type=int, default=20)
    args = parser.parse_args()
    warnings.filterwarnings("ignore", message="h5py not installed")
    import tslearn.clustering
    import tslearn.datasets
    import tslearn.metrics
    import tslearn.neighbors

    data = tslearn.datasets.CachedDatasets().load_dataset("Trace")
    print(f"tslearn's Trace: {len(data[0])} training and {len(data[2])} test series of "
          f"{data[0].shape[1]} samples; best of {args.repeats}, "
          f"speed-ups against tslearn's time")
    classifiers(data, args, tslearn)
    kmeans(data, args, tslearn)


if __name__ == "__main__":
    main()
