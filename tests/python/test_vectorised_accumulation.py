"""orvane_cpu's sums over the signals of a batch, the reference gradient above all: each
signal's (or each fixed group's) share is formed apart and the shares added in a fixed order,
so that many signals on several threads give the one-thread bits on every run. Threads that
add into one row, or rows added in the order threads finish, change the low bits from run to
run, which a single run or two seldom shows."""

import os

import numpy as np
import pytest

import orvane_cpu
from conftest import vectorised_threads

pytestmark = pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2,
                                reason="one thread adds the signals in order whatever the code")

RUNS = 30
REF_LENGTH = 61
CHANNELS = 3
# Data type, score type and the suffixes of each path's distance and Soft-DTW functions.
PATHS = {"float32": (np.float32, np.float32, "", ""),
         "mixed": (np.float32, np.float64, "", "_mixed"),
         "float64": (np.float64, np.float64, "_float64", "_float64")}
COSTS = ["abs", "sqeuclidean"]


def many_signals(data, seed):
    """96 signals of 3 channels: 40 of one short length, which the gradients without matrices
    run side by side, and lengths from 1 to 299, in random order; a reference; weights of
    varied sizes, so that sums in another order round otherwise."""
    rng = np.random.default_rng(seed)
    lengths = [24] * 40 + rng.integers(1, 300, 56).tolist()
    rng.shuffle(lengths)
    x = rng.standard_normal((sum(lengths), CHANNELS)).astype(data)
    y = rng.standard_normal((REF_LENGTH, CHANNELS)).astype(data)
    weights = (rng.uniform(0.1, 1.0, len(lengths)) * 10.0 ** rng.uniform(-3, 3, len(lengths)))
    return lengths, x, y, weights.astype(data)


def assert_every_run_gives_the_one_thread_bits(call):
    with vectorised_threads(1):
        alone = call()
    with vectorised_threads(0):
        for run in range(RUNS):
            assert call() == alone, f"run {run} of {RUNS} on {os.cpu_count()} threads"


@pytest.mark.parametrize("cost", COSTS)
@pytest.mark.parametrize("path", ["float32", "float64"])
def test_distance_gradient_sums_the_same_bits_on_every_run(path, cost):
    data, _, suffix, _ = PATHS[path]
    lengths, x, y, weights = many_signals(data, seed=1)
    rng = np.random.default_rng(2)
    # Any E will do: each cell's weight of its cost's derivative, scaled per signal.
    gradient = np.concatenate([rng.uniform(0, 1, n * REF_LENGTH) * w
                               for n, w in zip(lengths, weights)]).astype(data)

    def call():
        dx, dy = np.zeros_like(x), np.zeros_like(y)
        getattr(orvane_cpu, "calc_distance_gradient" + suffix)(
            x.ctypes.data, lengths, y.ctypes.data, REF_LENGTH, gradient.ctypes.data,
            dx.ctypes.data, dy.ctypes.data, channels=CHANNELS, cost=cost)
        assert np.isfinite(dy).all() and dy.any()
        return dx.tobytes() + dy.tobytes()

    assert_every_run_gives_the_one_thread_bits(call)


@pytest.mark.parametrize("cost", COSTS)
@pytest.mark.parametrize("path", PATHS)
def test_gradients_without_matrices_sum_the_same_bits_on_every_run(path, cost):
    data, score, _, pass_suffix = PATHS[path]
    lengths, x, y, weights = many_signals(data, seed=3)
    matrix, scores = np.empty(sum(lengths) * REF_LENGTH, score), np.empty(len(lengths), score)

    def call():
        dx, dy = np.zeros_like(x), np.zeros_like(y)
        getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)(
            x.ctypes.data, lengths, y.ctypes.data, REF_LENGTH, matrix.ctypes.data,
            scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, 0.5,
            weights_ptr=weights.ctypes.data, channels=CHANNELS, cost=cost)
        assert np.isfinite(dy).all() and dy.any()
        return scores.tobytes() + dx.tobytes() + dy.tobytes()

    assert_every_run_gives_the_one_thread_bits(call)
