"""The package on the CUDA module and the twin with references longer than a block's threads,
and with pairs: every entry point runs them, through the operations' pair versions (a pair
of a piece per block, one launch of each operation), and agrees with the vectorised module
within the roundings that separate the two implementations."""

import numpy as np
import pytest

import orvane
from orvane import cpu_cuda_testing as hooks

LONG = 1500  # beyond the 1024 threads of the twin's blocks
# The twin's mixed path against the vectorised module's: scores relative, gradients absolute.
AGREEMENT = dict(rtol=2e-6, atol=2e-6)


def signals_and_reference(lengths=(5, 17, 9), ref_length=LONG, channels=None, seed=0):
    rng = np.random.default_rng(seed)
    shape = (lambda n: (n,)) if channels is None else (lambda n: (n, channels))
    return ([rng.standard_normal(shape(n)).astype(np.float32) for n in lengths],
            rng.standard_normal(shape(ref_length)).astype(np.float32))


def assert_close(twin, cpu, **tolerance):
    tolerance = tolerance or AGREEMENT
    for got, want in zip(twin, cpu):
        if isinstance(got, list):
            assert_close(got, want, **tolerance)
        else:
            np.testing.assert_allclose(got, want, **tolerance)


@pytest.mark.parametrize("options", [dict(), dict(end="free", ref_gap_penalty=0.01),
                                     dict(cost="sqeuclidean", band=400),
                                     dict(precision="float64"), dict(precision="float32")],
                         ids=["global", "free", "squared-band", "float64", "float32"])
def test_scores_and_gradients_of_a_long_reference(options):
    signals, reference = signals_and_reference()
    call = dict(gamma=0.3, **options)
    twin = orvane.soft_dtw_with_grad(signals, reference, backend="twin", **call)
    cpu = orvane.soft_dtw_with_grad(signals, reference, backend="cpu", **call)
    # The float32 steps' weights lose a rounding of |R| / gamma a step (the mixed and float64
    # paths weigh by shares); the scores stay close.
    tolerance = dict(rtol=1e-4, atol=1e-3) if options.get("precision") == "float32" else {}
    assert_close(twin, cpu, **tolerance)
    assert orvane.soft_dtw(signals, reference, backend="twin", **call).tobytes() == \
        twin[0].tobytes()


def test_a_long_reference_with_channels_and_its_alignment():
    signals, reference = signals_and_reference(lengths=(4, 7), channels=2)
    twin = orvane.soft_alignment(signals, reference, gamma=0.5, backend="twin")
    cpu = orvane.soft_alignment(signals, reference, gamma=0.5, backend="cpu")
    for k in range(2):
        np.testing.assert_allclose(twin.matrix(k), cpu.matrix(k), atol=2e-6)
    signals, reference = signals_and_reference(lengths=(4, 7))
    twin = orvane.soft_alignment(signals, reference, gamma=0.5, backend="twin")
    cpu = orvane.soft_alignment(signals, reference, gamma=0.5, backend="cpu")
    for name in ("weighted_mean", "log_std", "index_log_std"):
        np.testing.assert_allclose(getattr(twin, name), getattr(cpu, name), atol=1e-4)


def test_pairwise_divergences_and_barycenters_of_long_signals():
    rng = np.random.default_rng(3)
    a = [rng.standard_normal(n).astype(np.float32) for n in (1100, 30)]
    b = [rng.standard_normal(n).astype(np.float32) for n in (1200, 8)]
    twin = orvane.pairwise(a, b, gamma=0.5, divergence=True, backend="twin")
    cpu = orvane.pairwise(a, b, gamma=0.5, divergence=True, backend="cpu")
    np.testing.assert_allclose(twin, cpu, rtol=1e-5, atol=1e-3)
    twin, twin_run = orvane.barycenter(a, length=LONG, gamma=1.0, max_iter=3, backend="twin")
    cpu, cpu_run = orvane.barycenter(a, length=LONG, gamma=1.0, max_iter=3, backend="cpu")
    assert twin.shape == cpu.shape == (LONG,)
    # The same start and the same objective up to roundings: the same first steps.
    np.testing.assert_allclose(twin_run.scores[:2], cpu_run.scores[:2], rtol=1e-5)


def test_pairs_run_one_launch_of_each_operation():
    signals, _ = signals_and_reference(lengths=(5, 17, 9, 3))
    references = [np.random.default_rng(k).standard_normal(m).astype(np.float32)
                  for k, m in enumerate((11, LONG, 6, 300))]
    launches = hooks.launches_run()
    twin = orvane.soft_dtw_with_grad(signals, references, gamma=0.3, backend="twin")
    # Distances, the forward pass and its final scores, the backward pass, the gradients: the
    # same launches for four pairs of four references as for one.
    assert hooks.launches_run() - launches == 5
    cpu = orvane.soft_dtw_with_grad(signals, references, gamma=0.3, backend="cpu")
    assert_close(twin, cpu)
