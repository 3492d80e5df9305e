"""tslearn as a test oracle. Its Soft-DTW takes the squared Euclidean cost, so comparisons with
it need that cost in the package too; they are skipped where this build has only |x - y|."""

import numpy as np
import pytest

import orvane


def _squared_cost_available() -> bool:
    try:
        orvane.soft_dtw([np.zeros(2)], np.zeros(2), cost="sqeuclidean")
    except TypeError:
        return False
    return True


requires_squared_cost = pytest.mark.skipif(
    not _squared_cost_available(),
    reason="the squared Euclidean cost (cost='sqeuclidean') is not available in this build")


def tslearn_module(name):
    """A tslearn module, imported only by the tests that run (it takes seconds)."""
    return pytest.importorskip(f"tslearn.{name}")
