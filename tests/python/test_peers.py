"""The squared cost against tslearn's Soft-DTW (a test oracle only, float64): scores, the
expected alignments through the gradients, and the Sakoe-Chiba band where tslearn defines it
as we do. With N = M both keep the cells with |i - j| <= r. For N != M tslearn keeps
-r <= j - i <= r + (M - N) (a band widened on one side by the difference of the lengths),
where we keep the cells within r max(N - 1, M - 1) of the line from (0, 0) to (N - 1, M - 1),
so the two are compared at equal lengths only."""

import numpy as np
import pytest

import orvane

metrics = pytest.importorskip("tslearn.metrics")

# float64 on both sides: the two recurrences differ by a few roundings per cell.
FLOAT64_AGREEMENT = 1e-10
# float32 data and steps against tslearn's float64.
FLOAT32_AGREEMENT = 1e-4


def batch(lengths, ref_length, channels, seed):
    rng = np.random.default_rng(seed)
    return ([rng.standard_normal((n, channels)) for n in lengths],
            rng.standard_normal((ref_length, channels)))


def tslearn_gradients(x, y, gamma, **constraint):
    """(score, d/dx, d/dy) from tslearn's expected alignment A: d/dx_i = sum_j A_ij 2 (x_i - y_j)."""
    alignment, score = metrics.soft_dtw_alignment(x, y, gamma=gamma, **constraint)
    difference = x[:, None, :] - y[None, :, :]
    weighted = alignment[:, :, None] * 2 * difference
    return score, weighted.sum(axis=1), -weighted.sum(axis=0)


@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("gamma", [0.1, 1.0])
def test_scores_and_gradients_match_tslearn(channels, gamma):
    signals, reference = batch([12, 30, 7], 19, channels, seed=channels)
    scores, dx, dy = orvane.soft_dtw_with_grad(signals, reference, gamma=gamma,
                                               cost="sqeuclidean")
    wanted_dy = np.zeros_like(reference)
    for k, signal in enumerate(signals):
        score, own_dx, own_dy = tslearn_gradients(signal, reference, gamma)
        assert scores[k] == pytest.approx(score, rel=FLOAT64_AGREEMENT)
        np.testing.assert_allclose(dx[k], own_dx, rtol=FLOAT64_AGREEMENT, atol=1e-12)
        wanted_dy += own_dy
    np.testing.assert_allclose(dy, wanted_dy, rtol=FLOAT64_AGREEMENT, atol=1e-11)
    # float32 inputs run the mixed path; the twin the kernels' float32 steps.
    for backend in ("cpu", "twin"):
        narrow = orvane.soft_dtw([s.astype(np.float32) for s in signals],
                                 reference.astype(np.float32), gamma=gamma, cost="sqeuclidean",
                                 backend=backend)
        np.testing.assert_allclose(narrow, scores, rtol=FLOAT32_AGREEMENT)


@pytest.mark.parametrize("radius", [0, 2, 6])
def test_the_band_matches_tslearns_sakoe_chiba_band_at_equal_lengths(radius):
    signals, reference = batch([25, 25], 25, 2, seed=radius)
    scores, dx, _ = orvane.soft_dtw_with_grad(signals, reference, gamma=0.5, cost="sqeuclidean",
                                              band=radius)
    for k, signal in enumerate(signals):
        score, own_dx, _ = tslearn_gradients(signal, reference, 0.5,
                                             global_constraint="sakoe_chiba",
                                             sakoe_chiba_radius=radius)
        assert scores[k] == pytest.approx(score, rel=FLOAT64_AGREEMENT)
        np.testing.assert_allclose(dx[k], own_dx, rtol=FLOAT64_AGREEMENT, atol=1e-12)


def test_pairwise_scores_match_tslearns_cdist_on_several_channels():
    a, _ = batch([10, 14, 9], 1, 3, seed=11)
    b, _ = batch([12, 8], 1, 3, seed=12)
    ours = orvane.pairwise(a, b, gamma=0.3, cost="sqeuclidean")
    theirs = metrics.cdist_soft_dtw(a, b, gamma=0.3)
    np.testing.assert_allclose(ours, theirs, rtol=FLOAT64_AGREEMENT)


def test_the_default_cost_is_tslearns_and_abs_is_one_keyword_away():
    signals, reference = batch([20, 14], 17, 1, seed=21)
    signals, reference = [s[:, 0] for s in signals], reference[:, 0]
    ours = orvane.soft_dtw(signals, reference, gamma=0.7)
    torch = pytest.importorskip("torch")
    otorch = pytest.importorskip("orvane.torch")
    loss = otorch.SoftDTWLoss(gamma=0.7, reduction="none")(
        [torch.tensor(s) for s in signals], torch.tensor(reference))
    for k, signal in enumerate(signals):
        theirs = metrics.soft_dtw(signal[:, None], reference[:, None], gamma=0.7)
        assert ours[k] == pytest.approx(theirs, rel=FLOAT64_AGREEMENT)
        assert loss[k].item() == pytest.approx(theirs, rel=FLOAT64_AGREEMENT)
    absolute = orvane.soft_dtw(signals, reference, gamma=0.7, cost="abs")
    assert np.all(np.abs(absolute - ours) > 0.1)  # a different cost, not tslearn's
