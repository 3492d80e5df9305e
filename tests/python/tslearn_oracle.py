"""tslearn as a test oracle (its Soft-DTW takes the squared Euclidean cost, cost="sqeuclidean"
here), imported only by the tests that use it."""

import pytest


def tslearn_module(name):
    """A tslearn module, imported only by the tests that run (it takes seconds)."""
    return pytest.importorskip(f"tslearn.{name}")
