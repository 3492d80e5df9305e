"""k-means under Soft-DTW on tslearn's Trace data set (100 training series of 275 samples, four
classes): `SoftDTWKMeans` with Soft-DTW barycenters as centroids, then its inertia and how its
clusters meet the classes, as a contingency table and the adjusted Rand index.

    python examples/clustering_example.py [--small]

--small keeps the first 24 series, every fifth sample, and fewer iterations, to run in a
moment."""

import argparse
import time

import numpy as np
from sklearn.metrics import adjusted_rand_score
from sklearn.metrics.cluster import contingency_matrix
from tslearn.datasets import CachedDatasets

from orvane.estimators import SoftDTWKMeans


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="a few short series only")
    small = parser.parse_args().small
    X, classes, _, _ = CachedDatasets().load_dataset("Trace")
    if small:
        X, classes = X[:24, ::5], classes[:24]
    start = time.perf_counter()
    kmeans = SoftDTWKMeans(n_clusters=4, gamma=1.0, max_iter=3 if small else 10,
                           max_iter_barycenter=20, random_state=0).fit(X)
    print(f"{len(X)} series of {X.shape[1]} samples in 4 clusters: inertia "
          f"{kmeans.inertia_:.6g} after {kmeans.n_iter_} updates, "
          f"{time.perf_counter() - start:.2f} s")
    table = contingency_matrix(classes, kmeans.labels_)
    print("series of each class (rows) in each cluster (columns):")
    for label, row in zip(np.unique(classes), table):
        print(f"  class {label}: " + " ".join(f"{count:4d}" for count in row))
    print(f"adjusted Rand index: {adjusted_rand_score(classes, kmeans.labels_):.3f}")


if __name__ == "__main__":
    main()
