"""Samples of several channels, the squared cost and a Sakoe-Chiba band through the package:
every batch form, every module that runs here (the vectorised module forms costs itself; the
twin gets them formed with the array library), the alignment, the divergence and the checks
of bad input."""

import warnings

import numpy as np
import pytest

import orvane
from conftest import assert_refused_before_anything_runs
from test_costs import in_band, reference_costs

torch = pytest.importorskip("torch")
import orvane.torch  # noqa: E402  (after the skip: it needs PyTorch)

# float32 data: the twin's kernels and the vectorised module's float32 path take the same
# steps on the same costs; the gradients add the same terms in another order.
GRADIENT_AGREEMENT = 1e-4


def batch(lengths=(9, 14, 6), ref_length=11, channels=3, seed=0):
    rng = np.random.default_rng(seed)
    return ([rng.standard_normal((n, channels)).astype(np.float32) for n in lengths],
            rng.standard_normal((ref_length, channels)).astype(np.float32))


def padded_and_flat(signals):
    lengths = [len(s) for s in signals]
    padded = np.zeros((len(signals), max(lengths), signals[0].shape[1]), np.float32)
    for k, signal in enumerate(signals):
        padded[k, :len(signal)] = signal
    return padded, np.concatenate(signals), lengths


@pytest.mark.parametrize("options", [dict(cost="sqeuclidean"), dict(band=2),
                                     dict(cost="sqeuclidean", band=[1, 3, 2], end="free")],
                         ids=["squared", "band", "squared-band-free"])
def test_every_form_and_module_gives_the_same_scores_and_gradients(options):
    signals, reference = batch()
    padded, flat, lengths = padded_and_flat(signals)
    results = {}
    for backend in ("cpu", "twin"):
        call = dict(gamma=0.4, backend=backend, precision="float32", **options)
        listed = orvane.soft_dtw_with_grad(signals, reference, **call)
        by_padded = orvane.soft_dtw_with_grad(padded, reference, lengths=lengths, **call)
        by_flat = orvane.soft_dtw_with_grad(flat, reference, lengths=lengths, **call)
        assert by_padded[1].shape == padded.shape and by_flat[1].shape == flat.shape
        assert listed[2].shape == reference.shape
        for k, length in enumerate(lengths):
            assert listed[1][k].shape == signals[k].shape
            np.testing.assert_array_equal(by_padded[1][k, :length], listed[1][k])
            assert not by_padded[1][k, length:].any()
        np.testing.assert_array_equal(by_flat[1], np.concatenate(listed[1]))
        assert by_padded[0].tobytes() == listed[0].tobytes() == by_flat[0].tobytes()
        assert orvane.soft_dtw(signals, reference, **call).tobytes() == listed[0].tobytes()
        results[backend] = listed
    # The twin's distances are the vectorised module's bits, and so are the scores.
    assert results["cpu"][0].tobytes() == results["twin"][0].tobytes()
    for got, want in zip((*results["twin"][1], results["twin"][2]),
                         (*results["cpu"][1], results["cpu"][2])):
        np.testing.assert_allclose(got, want, rtol=GRADIENT_AGREEMENT, atol=GRADIENT_AGREEMENT)


def least_cost(costs):
    """The hard DTW cost of a float64 cost matrix, from the recurrence."""
    total = np.full((costs.shape[0] + 1, costs.shape[1] + 1), np.inf)
    total[0, 0] = 0.0
    for i in range(costs.shape[0]):
        for j in range(costs.shape[1]):
            total[i + 1, j + 1] = costs[i, j] + min(total[i, j], total[i, j + 1], total[i + 1, j])
    return total[-1, -1]


def test_the_alignment_keeps_the_band_and_the_cost():
    signals, reference = batch(channels=2)
    for backend in ("cpu", "twin"):
        alignment = orvane.soft_alignment(signals, reference, gamma=0.3, cost="sqeuclidean",
                                          band=2, backend=backend)
        for k, signal in enumerate(signals):
            matrix = alignment.matrix(k)
            outside = ~in_band(len(signal), 11, 2)
            assert not matrix[outside].any() and matrix[~outside].any()
            path = alignment.path(k)
            assert in_band(len(signal), 11, 2)[path[:, 0], path[:, 1]].all()
            # The most likely path costs what the cheapest one in the band costs.
            costs = np.where(outside, np.inf, reference_costs(
                signal.astype(np.float64), reference.astype(np.float64), "sqeuclidean"))
            assert costs[path[:, 0], path[:, 1]].sum() == pytest.approx(least_cost(costs))
        with pytest.raises(ValueError, match="per-position statistics .* 2 channels"):
            alignment.weighted_mean


def test_the_divergence_of_several_channels_is_zero_for_identical_inputs():
    signals, reference = batch(lengths=(11, 7), channels=2)
    for backend in ("cpu", "twin"):
        divergence = orvane.soft_dtw_divergence([reference, signals[1]], reference,
                                                cost="sqeuclidean", band=3, backend=backend)
        assert divergence[0] == 0.0 and divergence[1] > 0.0


def test_a_band_without_a_path_warns_naming_the_signals():
    signals, reference = batch(lengths=(5, 8, 6), ref_length=8, channels=1)
    with pytest.warns(RuntimeWarning, match=r"band leaves signals \[0, 2\] without any path"):
        scores, dx, _ = orvane.soft_dtw_with_grad(signals, reference, band=0)
    assert np.isinf(scores[[0, 2]]).all() and np.isfinite(scores[1])
    assert not dx[0].any() and dx[1].any()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        orvane.soft_dtw(signals, reference, band=1)


NO_PATH_OPTIONS = [dict(end="global"), dict(end="free"), dict(end="free_last_row"),
                   dict(end="free", ref_gap_penalty=0.3, cost="sqeuclidean")]


@pytest.mark.parametrize("backend", ["cpu", "twin"])
@pytest.mark.parametrize("options", NO_PATH_OPTIONS, ids=["global", "free", "last-row", "gap"])
def test_a_signal_without_a_path_has_zero_alignment_and_no_gradient(backend, options):
    # Band 0 of a 5 x 8 matrix keeps only the cells on the line from (0, 0) to (4, 7), which
    # no path joins; the same signal in a 5 x 5 matrix has its diagonal.
    signals, reference = batch(lengths=(8, 5, 7), ref_length=8, channels=1)
    signals = [s.reshape(-1) for s in signals]
    others = [signals[0], signals[2]]
    arguments = dict(reference=reference.reshape(-1), band=[2, 0, 3], gamma=0.5,
                     backend=backend, **options)
    with pytest.warns(RuntimeWarning, match=r"band leaves signals \[1\] without any path"):
        scores, dx, dy = orvane.soft_dtw_with_grad(signals, **arguments)
        alignment = orvane.soft_alignment(signals, **arguments)
    assert scores[1] == np.inf and np.isfinite(scores[[0, 2]]).all()
    assert not dx[1].any() and not alignment.matrix(1).any()
    assert alignment.path(1).shape == (0, 2)
    assert alignment.path(0).shape[0] >= 8
    for statistic in (alignment.weighted_mean, alignment.log_std, alignment.index_log_std):
        assert np.isfinite(statistic).all()
    assert not alignment.column_sums[1].any()
    # The others' gradients are those of a batch without it.
    without = dict(arguments, band=[2, 3])
    alone_scores, alone_dx, alone_dy = orvane.soft_dtw_with_grad(others, **without)
    np.testing.assert_array_equal(scores[[0, 2]], alone_scores)
    np.testing.assert_allclose(dy, alone_dy, rtol=1e-5, atol=1e-6)
    for got, want in zip((dx[0], dx[2]), alone_dx):
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6)


def test_dropping_a_signal_without_a_path_from_a_torch_loss_leaves_finite_gradients():
    signals, reference = batch(lengths=(8, 5, 7), ref_length=8, channels=1)
    x = [torch.from_numpy(s.reshape(-1)).requires_grad_() for s in signals]
    y = torch.from_numpy(reference.reshape(-1)).requires_grad_()
    with pytest.warns(RuntimeWarning, match="without any path"):
        scores = orvane.torch.soft_dtw(x, y, band=[2, 0, 3], end="free", backend="twin")
    scores[torch.isfinite(scores)].sum().backward()
    assert torch.isfinite(y.grad).all() and not x[1].grad.any()


def test_the_torch_loss_takes_channels_cost_and_band():
    signals, reference = batch(channels=2, seed=3)
    padded, _, lengths = padded_and_flat(signals)
    x = torch.from_numpy(padded).double().requires_grad_()
    y = torch.from_numpy(reference).double().requires_grad_()
    loss = orvane.torch.SoftDTWLoss(gamma=0.5, cost="sqeuclidean", band=3, reduction="sum")
    loss(x, y, lengths=lengths).backward()
    scores, dx, dy = orvane.soft_dtw_with_grad([s.astype(np.float64) for s in signals],
                                               reference.astype(np.float64), gamma=0.5,
                                               cost="sqeuclidean", band=3)
    np.testing.assert_allclose(y.grad.numpy(), dy, rtol=1e-12)
    for k, length in enumerate(lengths):
        np.testing.assert_allclose(x.grad[k, :length].numpy(), dx[k], rtol=1e-12)
    assert torch.autograd.gradcheck(
        lambda z: orvane.torch.soft_dtw(x.detach(), z, lengths=lengths, gamma=0.5,
                                        cost="sqeuclidean", band=[2, 4, 3]).sum(),
        (y.detach().clone().requires_grad_(),))


REJECTED = [
    (dict(reference=np.zeros((4, 2), np.float32)), ValueError,
     r"signals\[0\] has 3 channels, the reference 2"),
    (dict(signals=[np.zeros((3, 2, 2), np.float32)]), ValueError,
     r"signals\[0\] must have 2 dimensions \(samples of 3 channels"),
    (dict(band=-1), ValueError, "band must be 0 or more"),
    (dict(band=[1, 2]), ValueError, "band has 2 values for 3 signals"),
    (dict(band=[1, -2, 1]), ValueError, "band must be 0 or more .* got: -2 for signal 1"),
    (dict(band=1.5), TypeError, "band must be an integer or a sequence of integers"),
    (dict(band="3"), TypeError, "band must be an integer or a sequence of integers"),
    (dict(band={1, 3, 2}), TypeError, "band must be an integer or a sequence of integers, one "
                                      "per signal, in order; got a set"),
    (dict(band=True), TypeError, "band must be an integer .* got bool"),
    (dict(band=[1, False, 2]), TypeError, "got bool at position 1"),
    (dict(cost="euclidean"), ValueError, "cost must be one of 'abs', 'sqeuclidean', got: "
                                         "'euclidean'"),
    (dict(cost=None), ValueError, "cost must be one of"),
]


@pytest.mark.parametrize("change, error, message", REJECTED)
def test_bad_channels_costs_and_bands_are_refused_before_anything_runs(change, error, message):
    signals, reference = batch()
    arguments = dict(signals=signals, reference=reference, backend="twin")
    arguments.update(change)
    assert_refused_before_anything_runs(arguments, error, message)


@pytest.mark.parametrize("backend", ["cpu", "twin"])
@pytest.mark.parametrize("end", ["global", "free"])
def test_costs_that_overflow_leave_a_signal_without_a_path_too(backend, end):
    # (1e20 - 0)^2 overflows float32: every cell of the first signal costs +inf.
    signals = [np.full(5, 1e20, np.float32), np.linspace(0, 1, 4, dtype=np.float32)]
    reference = np.linspace(0, 1, 6, dtype=np.float32)
    scores, dx, dy = orvane.soft_dtw_with_grad(signals, reference, cost="sqeuclidean", end=end,
                                               backend=backend, precision="float32")
    alone = orvane.soft_dtw_with_grad(signals[1:], reference, cost="sqeuclidean", end=end,
                                      backend=backend, precision="float32")
    assert scores[0] == np.inf and not dx[0].any()
    np.testing.assert_array_equal(scores[1:], alone[0])
    np.testing.assert_allclose(dy, alone[2], rtol=1e-6)
    np.testing.assert_allclose(dx[1], alone[1][0], rtol=1e-6)
