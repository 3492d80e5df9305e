"""The package on the twin against the vectorised module where its own steps (costs beyond
the kernels' |x - y| formed with the array library, the divergence's self-terms) meet pairs
and long references: cases that once went wrong there."""

import warnings

import numpy as np
import pytest
import torch

import orvane
import orvane.torch
from orvane import cpu_cuda_testing as hooks

# A sample whose squared difference from any normal sample overflows float32: the cells of its
# row cost +inf.
HUGE = np.float32(3e38)


def overflowing_batch(seed=0):
    """Three signals, the second with a sample of HUGE, and a reference for each."""
    rng = np.random.default_rng(seed)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (5, 8, 6)]
    signals[1][3] = HUGE
    references = [rng.standard_normal(m).astype(np.float32) for m in (7, 11, 4)]
    return signals, references


def without(values, k):
    return [value for j, value in enumerate(values) if j != k]


@pytest.mark.parametrize("precision", ["float32", "mixed"])
@pytest.mark.parametrize("pairs", [True, False], ids=["pairs", "one-reference"])
def test_a_signal_whose_squared_costs_overflow_adds_no_gradient(pairs, precision):
    signals, references = overflowing_batch()
    reference = references if pairs else references[1]
    call = dict(gamma=0.5, cost="sqeuclidean", precision=precision, backend="twin")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        scores, signal_gradients, reference_gradients = orvane.soft_dtw_with_grad(
            signals, reference, **call)
    assert scores[1] == np.inf
    assert not np.any(signal_gradients[1])
    # Dropping its infinite score leaves the others' gradients as they are without it.
    alone = orvane.soft_dtw_with_grad(without(signals, 1),
                                      without(references, 1) if pairs else reference, **call)
    np.testing.assert_array_equal(np.concatenate(without(signal_gradients, 1)),
                                  np.concatenate(alone[1]))
    if pairs:
        assert not np.any(reference_gradients[1])
        np.testing.assert_array_equal(np.concatenate(without(reference_gradients, 1)),
                                      np.concatenate(alone[2]))
    else:
        np.testing.assert_allclose(reference_gradients, alone[2], rtol=0, atol=1e-6)


@pytest.mark.parametrize("pairs", [True, False], ids=["pairs", "one-reference"])
def test_cells_of_overflowing_cost_off_a_free_ends_path_carry_no_gradient(pairs):
    signals, references = overflowing_batch()
    reference = references if pairs else references[1]
    call = dict(gamma=0.5, cost="sqeuclidean", end="free")
    twin = orvane.soft_dtw_with_grad(signals, reference, backend="twin", **call)
    cpu = orvane.soft_dtw_with_grad(signals, reference, backend="cpu", **call)
    # The free end stops before the row of HUGE: the score is finite, its cells weigh nothing.
    assert np.all(np.isfinite(twin[0]))
    np.testing.assert_allclose(twin[0], cpu[0], rtol=2e-6)
    for got, want in ((twin[1], cpu[1]), (twin[2], cpu[2])):
        flat = (lambda v: np.concatenate(v)) if isinstance(got, list) else np.asarray
        assert np.all(np.isfinite(flat(got)))
        np.testing.assert_allclose(flat(got), flat(want), rtol=2e-6, atol=2e-6)


def short_signals_long_references(seed=1):
    """Signals of 40 and 50 samples against references of 30 and 300: on the twin's mixed
    path the cross terms and their gradients take 16 bytes a cell of at most 15,000 cells, the
    self-term of the reference of 300 with its gradients 1,440,000 bytes (its score alone
    none)."""
    rng = np.random.default_rng(seed)
    return ([rng.standard_normal(n).astype(np.float32) for n in (40, 50)],
            [rng.standard_normal(m).astype(np.float32) for m in (30, 300)])


@pytest.mark.parametrize("pairs", [True, False], ids=["pairs", "one-reference"])
def test_a_divergence_whose_self_terms_exceed_the_budget_is_refused_before_anything_runs(
        pairs):
    signals, references = short_signals_long_references()
    reference = references if pairs else references[1]
    call = dict(gamma=0.5, backend="twin", memory_budget=500_000)
    # Scores alone keep no matrix on the twin either, for references up to the 2048 samples
    # its blocks take on the mixed path: the divergence's self-terms fit any budget there.
    np.testing.assert_allclose(
        orvane.soft_dtw_divergence(signals, reference, **call),
        orvane.soft_dtw_divergence(signals, reference, gamma=0.5, backend="cpu"), rtol=2e-6)
    # Beyond, a reference's self-term runs through stored matrices, which the budget (that
    # holds the cross term's) cannot hold.
    longest = np.random.default_rng(5).standard_normal(2049).astype(np.float32)
    beyond = [references[0], longest] if pairs else longest
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(ValueError, match="self-terms of the references.*memory_budget"):
        orvane.soft_dtw_divergence(signals, beyond, gamma=0.5, backend="twin",
                                   memory_budget=2_000_000)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
    # The loss's self-terms are an operation of their own, after the cross term's: it refuses
    # them naming them (it said "signal 1", midway through them), where the references'
    # gradients need their matrices.
    loss = orvane.torch.SoftDTWLoss(divergence=True, **call)
    with pytest.raises(ValueError, match="self-terms of the references.*memory_budget"):
        loss([torch.tensor(x, requires_grad=True) for x in signals],
             [torch.tensor(y, requires_grad=True) for y in references] if pairs
             else torch.tensor(reference, requires_grad=True))
    # A budget that holds them runs, as the vectorised module does without one.
    np.testing.assert_allclose(
        orvane.soft_dtw_divergence(signals, reference, gamma=0.5, backend="twin",
                                   memory_budget=2_000_000),
        orvane.soft_dtw_divergence(signals, reference, gamma=0.5, backend="cpu"), rtol=2e-6)
