"""Nearest-neighbour classification of tslearn's Trace data set (four classes of transients, 100
training and 100 test series of 275 samples) under the Soft-DTW divergence: fits
`SoftDTWKNeighborsClassifier` on the training series and prints its accuracy on the test ones.

    python examples/classification_example.py [--small]

--small keeps the first 24 series of each set, every fifth sample, to run in a moment."""

import argparse
import time

from tslearn.datasets import CachedDatasets

from orvane.estimators import SoftDTWKNeighborsClassifier


def trace(small: bool):
    """(X_train, y_train, X_test, y_test), as tslearn ships them: (n, 275, 1) arrays."""
    X_train, y_train, X_test, y_test = CachedDatasets().load_dataset("Trace")
    if small:
        return X_train[:24, ::5], y_train[:24], X_test[:24, ::5], y_test[:24]
    return X_train, y_train, X_test, y_test


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="a few short series only")
    X_train, y_train, X_test, y_test = trace(parser.parse_args().small)
    start = time.perf_counter()
    classifier = SoftDTWKNeighborsClassifier(n_neighbors=1, gamma=1.0).fit(X_train, y_train)
    accuracy = classifier.score(X_test, y_test)
    print(f"{len(X_train)} training and {len(X_test)} test series of {X_train.shape[1]} samples")
    print(f"1-NN under the Soft-DTW divergence (gamma = 1): accuracy {accuracy:.3f} "
          f"in {time.perf_counter() - start:.2f} s")


if __name__ == "__main__":
    main()
