"""Pairs, signal k against reference k, over the backends that run here: scores and gradients
against tslearn's per pair, each pair bit for bit a one-pair call (on 1 and 2 threads), the
batch forms of references, alignments and divergences of pairs, shapes that read two ways
refused naming the way out, bad input refused before anything runs, the per-pair loss under
gradcheck and torch.compile, and pairwise's matrix bit for bit that of one call per signal."""

import tracemalloc

import numpy as np
import pytest

import orvane
from conftest import assert_refused_before_anything_runs, vectorised_threads
from orvane import cpu_cuda_testing as hooks
from tslearn_oracle import tslearn_module

torch = pytest.importorskip("torch")
import orvane.torch as otorch  # noqa: E402

# The backends that run here: the vectorised module (its float64 path for float64 arrays) and
# the twin (the kernels' float32 steps).
BACKENDS = ["cpu", "twin"]
# float64 on both sides: the two recurrences differ by a few roundings per cell.
FLOAT64_AGREEMENT = 1e-10
# The twin's float32 steps against tslearn's float64.
FLOAT32_AGREEMENT = 2e-4


@pytest.fixture(params=BACKENDS)
def backend(request):
    return request.param


def dtype_of(backend):
    """What each backend computes in by default: the twin has float32 steps only."""
    return np.float64 if backend == "cpu" else np.float32


def assert_same_sums(backend, got, want):
    """Bit for bit on the vectorised module; on the twin, gradients, column sums and what is
    weighed by them are float atomic sums, added in the order its threads run, so two calls
    agree to that rounding only."""
    if backend == "cpu":
        assert got.tobytes() == want.tobytes()
    else:
        np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-7)


def random_pairs(lengths, ref_lengths, channels=None, seed=0, dtype=np.float64):
    """(signals, references) as lists: 1-D samples, or (n, channels) arrays."""
    rng = np.random.default_rng(seed)
    shape = lambda n: (n,) if channels is None else (n, channels)
    return ([rng.standard_normal(shape(n)).astype(dtype) for n in lengths],
            [rng.standard_normal(shape(m)).astype(dtype) for m in ref_lengths])


def padded(arrays):
    rows = np.zeros((len(arrays), max(map(len, arrays)), *arrays[0].shape[1:]), arrays[0].dtype)
    for k, array in enumerate(arrays):
        rows[k, :len(array)] = array
    return rows


def tslearn_gradients(x, y, gamma):
    """(score, d/dx, d/dy) of one pair from tslearn's expected alignment A:
    d/dx_i = sum_j A_ij 2 (x_i - y_j)."""
    metrics = tslearn_module("metrics")
    x2, y2 = x.reshape(len(x), -1), y.reshape(len(y), -1)
    alignment, score = metrics.soft_dtw_alignment(x2, y2, gamma=gamma)
    weighted = alignment[:, :, None] * 2 * (x2[:, None, :] - y2[None, :, :])
    return score, weighted.sum(axis=1).reshape(x.shape), -weighted.sum(axis=0).reshape(y.shape)


@pytest.mark.parametrize("channels", [None, 3], ids=["1-D", "3-channels"])
def test_pairs_match_tslearn_per_pair(backend, channels):
    dtype = dtype_of(backend)
    signals, references = random_pairs([12, 30, 7, 19], [19, 9, 25, 19], channels, seed=1,
                                       dtype=dtype)
    scores, dx, dy = orvane.soft_dtw_with_grad(signals, references, gamma=0.7,
                                               cost="sqeuclidean", backend=backend)
    assert scores.dtype == dtype and len(dy) == len(references)
    tolerance = FLOAT64_AGREEMENT if dtype == np.float64 else FLOAT32_AGREEMENT
    for k, (x, y) in enumerate(zip(signals, references)):
        score, own_dx, own_dy = tslearn_gradients(x.astype(np.float64), y.astype(np.float64),
                                                  0.7)
        assert scores[k] == pytest.approx(score, rel=tolerance)
        assert dx[k].shape == x.shape and dy[k].shape == y.shape
        np.testing.assert_allclose(dx[k], own_dx, rtol=tolerance, atol=tolerance * 10)
        np.testing.assert_allclose(dy[k], own_dy, rtol=tolerance, atol=tolerance * 10)


def one_pair_calls(function, signals, references, **options):
    """function([x_k], y_k) for every pair, with per-pair options (alpha, band) taken apart."""
    found = []
    for k, (x, y) in enumerate(zip(signals, references)):
        own = {name: value[k:k + 1] if name in ("alpha", "band") and not np.isscalar(value)
               else value for name, value in options.items()}
        found.append(function([x], y, **own))
    return found


# Pairs of equal shapes run side by side in one call, the others alone; references 0, 2 and 4
# are one array, so their pairs run as one group.
LENGTHS, REF_LENGTHS = [16, 16, 16, 9, 16, 23], [16, 11, 16, 16, 16, 8]
OPTIONS = [
    pytest.param(dict(gamma=0.6), id="global"),
    pytest.param(dict(gamma=0.4, end="free", ref_gap_penalty=0.1,
                      alpha=np.array([0.1, -0.2, 0.3, 0.0, 0.2, -0.1])), id="free-alpha"),
    pytest.param(dict(gamma=0.5, end="free_last_row", cost="sqeuclidean",
                      band=np.array([2, 3, 16, 4, 5, 9])), id="last-row-band"),
]


def shared_reference_pairs(channels, dtype):
    signals, references = random_pairs(LENGTHS, REF_LENGTHS, channels, seed=2, dtype=dtype)
    references[2] = references[4] = references[0]
    return signals, references


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("channels", [None, 2], ids=["1-D", "2-channels"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64], ids=["float32", "float64"])
def test_each_pair_equals_a_one_pair_call_bit_for_bit(backend, threads, options, channels,
                                                       dtype):
    if backend == "twin" and dtype == np.float64:
        pytest.skip("the twin has the kernels' float32 steps only")
    signals, references = shared_reference_pairs(channels, dtype)
    options = {**options, "backend": backend}
    if "alpha" in options:
        options["alpha"] = options["alpha"].astype(dtype)
    with vectorised_threads(threads):
        scores, dx, dy = orvane.soft_dtw_with_grad(signals, references, **options)
        alone = one_pair_calls(orvane.soft_dtw_with_grad, signals, references, **options)
        scores_only = orvane.soft_dtw(signals, references, **options)
    for k, (score, own_dx, own_dy) in enumerate(alone):
        assert scores[k].tobytes() == score.tobytes() == scores_only[k].tobytes()
        assert_same_sums(backend, dx[k], own_dx[0])
        assert_same_sums(backend, dy[k], own_dy)


def test_pairs_within_a_memory_budget_give_the_bits_of_an_unbudgeted_call(backend):
    dtype = dtype_of(backend)
    signals, references = random_pairs([40, 25, 40, 31], [30, 40, 30, 12], seed=14,
                                       dtype=dtype)
    # |x - y|: the GPU modules' kernels form it without a matrix of costs.
    whole = orvane.soft_dtw_with_grad(signals, references, gamma=0.5, backend=backend,
                                      cost="abs")
    # Room for one pair's matrices at a time (and, on the vectorised module, less than the
    # largest pair's score matrix: its gradients then keep checkpoints of it).
    budget = 900 * 8 if backend == "cpu" else 40 * 40 * 12
    split = orvane.soft_dtw_with_grad(signals, references, gamma=0.5, backend=backend,
                                      memory_budget=budget, cost="abs")
    assert whole[0].tobytes() == split[0].tobytes()
    for ours, theirs in zip(whole[1] + whole[2], split[1] + split[2]):
        assert_same_sums(backend, ours, theirs)
    with pytest.raises(ValueError, match="more than memory_budget|too small for signal"):
        orvane.soft_dtw_with_grad(signals, references, gamma=0.5, backend=backend,
                                  memory_budget=16)


def test_alignments_of_pairs_are_those_of_one_pair_calls(backend):
    signals, references = random_pairs([6, 9, 4], [8, 5, 8], seed=3, dtype=np.float32)
    references[2] = references[0]
    alignment = orvane.soft_alignment(signals, padded(references), ref_lengths=[8, 5, 8],
                                      gamma=0.5, backend=backend)
    assert alignment.ref_lengths == [8, 5, 8]
    means = alignment.weighted_mean
    assert means.shape == (3, 8) and np.all(means[1, 5:] == 0)
    for k, (x, y) in enumerate(zip(signals, references)):
        alone = orvane.soft_alignment([x], y, gamma=0.5, backend=backend)
        assert alignment.scores[k].tobytes() == alone.scores[0].tobytes()
        assert alignment.matrix(k).tobytes() == alone.matrix(0).tobytes()
        assert_same_sums(backend, alignment.weights(k), alone.weights(0))
        assert_same_sums(backend, means[k, :len(y)], alone.weighted_mean[0])
        assert_same_sums(backend, alignment.log_std[k, :len(y)], alone.log_std[0])
        np.testing.assert_array_equal(alignment.path(k), alone.path(0))
    listed = orvane.soft_alignment(signals, references, gamma=0.5, backend=backend)
    assert [m.shape for m in listed.index_log_std] == [(8,), (5,), (8,)]
    assert listed.matrix(-2).shape == (9, 5)


def test_every_form_of_references_gives_the_bits_of_a_list(backend):
    dtype = dtype_of(backend)
    signals, references = random_pairs([7, 12, 9], [10, 6, 10], channels=2, seed=4, dtype=dtype)
    lengths = [10, 6, 10]
    listed = orvane.soft_dtw_with_grad(signals, references, gamma=0.3, backend=backend)
    flat = orvane.soft_dtw_with_grad(signals, np.concatenate(references), ref_lengths=lengths,
                                     gamma=0.3, backend=backend)
    rows = orvane.soft_dtw_with_grad(padded(signals), padded(references), lengths=[7, 12, 9],
                                     ref_lengths=lengths, gamma=0.3, backend=backend)
    assert listed[0].tobytes() == flat[0].tobytes() == rows[0].tobytes()
    assert flat[2].shape == (26, 2) and rows[2].shape == (3, 10, 2)
    for k, gradient in enumerate(listed[2]):
        first = sum(lengths[:k])
        assert_same_sums(backend, flat[2][first:first + lengths[k]], gradient)
        assert_same_sums(backend, rows[2][k, :lengths[k]], gradient)
        assert np.all(rows[2][k, lengths[k]:] == 0)


def test_divergences_of_pairs_take_each_pairs_own_reference(backend):
    dtype = dtype_of(backend)
    signals, references = random_pairs([7, 12, 9], [10, 6, 10], seed=5, dtype=dtype)
    found = orvane.soft_dtw_divergence(signals, references, gamma=0.4, band=[3, 9, 4],
                                       backend=backend)
    for k, (x, y) in enumerate(zip(signals, references)):
        alone = orvane.soft_dtw_divergence([x], y, gamma=0.4, band=[[3, 9, 4][k]],
                                           backend=backend)
        assert found[k].tobytes() == alone.tobytes()
    assert np.all(orvane.soft_dtw_divergence(signals, signals, gamma=0.4, backend=backend) == 0)


# Shapes that read two ways, the keyword that picks each reading, and what that reading is.
def test_b_by_n_against_b_by_m_is_refused_and_either_keyword_reads_it(backend):
    rng = np.random.default_rng(6)
    signals, references = rng.standard_normal((4, 6)), rng.standard_normal((4, 6))
    with pytest.raises(ValueError, match=r"read two ways: as one signal of 4 samples \(samples "
                                         r"of 6 channels\) against one reference of 4 samples, "
                                         r"or as 4 pairs.*pass pairs=True or pairs=False"):
        orvane.soft_dtw(signals, references, backend=backend)
    as_pairs = orvane.soft_dtw(signals, references, pairs=True, backend=backend)
    assert as_pairs.tobytes() == orvane.soft_dtw(list(signals), list(references),
                                                 backend=backend).tobytes()
    as_one = orvane.soft_dtw(signals, references, pairs=False, backend=backend)
    assert as_one.shape == (1,)
    # Where one reading alone fits, it is taken: rows of another length are 1-D references.
    assert orvane.soft_dtw(signals, references[:, :5], backend=backend).shape == (4,)


def test_padded_rows_without_lengths_read_two_ways_are_refused():
    # A (B, N) batch without lengths against an (M, d) reference of d = N: one signal of B
    # samples of N channels, or B pairs of 1-D signals and references.
    with pytest.raises(ValueError, match="pass pairs=True or pairs=False"):
        orvane.soft_dtw(np.ones((3, 5)), np.ones((3, 5)))
    with pytest.raises(ValueError, match="pass pairs=True or pairs=False"):
        otorch.SoftDTWLoss()(torch.ones(32, 128), torch.ones(32, 128))


def test_channels_first_batches_are_refused_and_channels_first_reads_them(backend):
    rng = np.random.default_rng(7)
    signals, references = rng.standard_normal((3, 2, 12)), rng.standard_normal((3, 2, 12))
    with pytest.raises(ValueError, match=r"as 3 pairs, .* \(samples of 12 channels\), or as 3 "
                                         r"pairs, .* \(samples of 2 channels, channels first\); "
                                         "pass channels_first=True or channels_first=False"):
        orvane.soft_dtw(signals, references, backend=backend)
    scores, dx, dy = orvane.soft_dtw_with_grad(signals, references, channels_first=True,
                                               backend=backend)
    last = orvane.soft_dtw_with_grad(list(signals.transpose(0, 2, 1)),
                                     list(references.transpose(0, 2, 1)), backend=backend)
    assert scores.tobytes() == last[0].tobytes()
    assert dx.shape == signals.shape and dy.shape == references.shape
    for k in range(3):
        assert_same_sums(backend, dx[k].T, last[1][k])
        assert_same_sums(backend, dy[k].T, last[2][k])
    assert orvane.soft_dtw(signals, references, channels_first=False,
                           backend=backend).shape == (3,)


def test_nan_padded_batches_are_refused_or_read_with_lengths_nan(backend):
    rng = np.random.default_rng(8)
    signals, references = rng.standard_normal((3, 9, 2)), rng.standard_normal((3, 7, 2))
    signals[0, 6:], signals[2, 4:] = np.nan, np.nan
    references[1, 5:] = np.nan
    with pytest.raises(ValueError, match=r"signals\[0\] ends in NaN, as a batch padded with NaN "
                                         "does .*pass lengths='nan'"):
        orvane.soft_dtw(signals, references, backend=backend)
    with pytest.raises(ValueError, match=r"reference\[1\] ends in NaN.*pass ref_lengths='nan'"):
        orvane.soft_dtw(signals, references, lengths="nan", backend=backend)
    found = orvane.soft_dtw(signals, references, lengths="nan", ref_lengths="nan",
                            backend=backend)
    expected = orvane.soft_dtw(signals, references, lengths=[6, 9, 4], ref_lengths=[7, 5, 7],
                               backend=backend)
    assert np.all(np.isfinite(found)) and found.tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="lengths='nan' takes the lengths of a padded array"):
        orvane.soft_dtw(list(signals), references, lengths="nan", backend=backend)
    one = np.ones((2, 5))
    one[1, :] = np.nan
    with pytest.raises(ValueError, match=r"signals\[1\] is NaN throughout"):
        orvane.soft_dtw(one, np.ones(4), lengths="nan", backend=backend)
    tensors = torch.from_numpy(signals), torch.from_numpy(references)
    assert otorch.soft_dtw(*tensors, lengths="nan", ref_lengths="nan",
                           backend=backend).numpy().tobytes() == found.tobytes()


# A signal that ends in NaN, by the form it comes in, and what its refusal tells the caller to
# do: only what the call can take (one reference takes no lengths, a list no lengths="nan",
# and a sample NaN in some channels only is no padding for lengths="nan" to take off).
def nan_at(shape, position):
    values = np.ones(shape)
    values[position] = np.nan
    return values


NAN_ENDS = [
    (dict(reference=nan_at(5, -1)),
     r"^reference ends in NaN, as a signal padded with NaN does: pass the reference without its "
     r"padding \(one reference takes no lengths\)$"),
    (dict(signals=[np.ones(3), nan_at(4, -1)]),
     r"^signals\[1\] ends in NaN, .*: pass the array without its padding, or pass the batch as "
     "a padded array with lengths='nan'$"),
    (dict(signals=nan_at(7, -1), lengths=[3, 4]),
     r"^signals\[1\] ends in NaN, .*: take its padding out of the flat array, and out of "
     "lengths, or pass the batch as a padded array with lengths='nan'$"),
    (dict(signals=nan_at((2, 4, 2), (1, 3, 0)), lengths="nan", reference=np.ones((5, 2))),
     r"^signals\[1\] ends in a sample that is NaN in 1 of its 2 channels: a missing value, not "
     r"padding \(which is NaN in every channel, and all that lengths='nan' takes off\); fill it "
     "in, or pass lengths that leave that sample out$"),
    (dict(reference=nan_at((5, 2), (4, 1)), signals=[np.ones((3, 2))]),
     r"^reference ends in a sample that is NaN in 1 of its 2 channels: .*; fill it in, or pass "
     r"the reference without that sample \(one reference takes no lengths\)$"),
    (dict(reference=[np.ones(4), nan_at(5, -1)]),
     r"^reference\[1\] ends in NaN, .*: pass the array without its padding, or pass the batch "
     "as a padded array with ref_lengths='nan'$"),
]


@pytest.mark.parametrize("change, message", NAN_ENDS)
def test_a_signal_ending_in_nan_is_refused_saying_what_the_call_can_take(change, message):
    arguments = dict(signals=[np.ones(3), np.ones(4)], reference=np.ones(5), backend="twin")
    arguments.update(change)
    assert_refused_before_anything_runs(arguments, ValueError, message)


def traced_peak(function):
    """The largest number of bytes traced allocations held at once while function ran (NumPy's
    arrays included), and the error it raised."""
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as refusal:
            function()
        return tracemalloc.get_traced_memory()[1], str(refusal.value)
    finally:
        tracemalloc.stop()


def test_a_batch_is_refused_before_any_of_it_is_converted():
    # Float16 rows, which the call would convert to float32 (or to float64 to find their
    # padding); a refusal should cost a small part of one such copy.
    signals = np.ones((64, 4096), np.float16)
    signals[5, 3000:] = np.nan
    one_copy = signals.size * 4
    orvane.soft_dtw([np.ones(3)], np.ones(3))  # what a first call imports, not counted
    peak, message = traced_peak(lambda: orvane.soft_dtw(signals, np.ones(7), gamma=0.5))
    assert "signals[5] ends in NaN" in message and peak < one_copy / 16
    peak, message = traced_peak(lambda: orvane.soft_dtw(signals, np.ones(7), gamma=-1.0,
                                                        lengths="nan"))
    assert "gamma must be" in message and peak < one_copy / 16


# Bad pairs, refused on the twin (whose hooks count what is allocated and launched) with
# nothing allocated, launched or written.
REFUSED = [
    (dict(reference=[np.ones(5)] * 3), ValueError,
     "reference holds 3 references for 2 signals; pairs take one reference per signal"),
    (dict(signals=[np.ones((3, 2)), np.ones((4, 2))], reference=np.ones((3, 5, 2))), ValueError,
     "reference holds 3 references for 2 signals"),
    (dict(reference=[np.ones((5, 2))] * 2), ValueError,
     r"signals\[0\] must have 2 dimensions \(samples of 2 channels"),
    (dict(signals=[np.ones((3, 3))] * 2, reference=[np.ones((5, 2))] * 2), ValueError,
     r"signals\[0\] has 3 channels, the reference 2"),
    (dict(reference=np.ones(9), ref_lengths=[4, 4]), ValueError,
     "ref_lengths add up to 8, but the flat reference hold 9 samples"),
    (dict(reference=np.ones((2, 5)), ref_lengths=[4, 4, 4]), ValueError,
     "ref_lengths has 3 entries for 2 padded reference"),
    (dict(reference=np.ones((2, 5)), ref_lengths=[4, 6]), ValueError,
     r"ref_lengths\[1\] is 6, longer than the rows"),
    (dict(signals=np.ones((2, 4)), lengths=[3, 4, 2], reference=[np.ones(5)] * 2), ValueError,
     "lengths has 3 entries for 2 padded signals"),
    (dict(reference=[np.ones(5)] * 2, band=[1, 2, 3]), ValueError, "band has 3 values for 2"),
    (dict(reference=[np.ones(5)] * 2, alpha=np.zeros(3)), ValueError,
     r"alpha must hold one value per signal \(2\)"),
    (dict(reference=[np.ones(5)], pairs=False), ValueError, "pairs=False takes one reference"),
    (dict(reference=[np.ones(5)] * 2, pairs="yes"), TypeError,
     "pairs must be True, False or None"),
    (dict(reference=[np.ones(5), torch.ones(5)]), TypeError,
     r"reference\[1\] is a torch array, but reference\[0\] is a numpy array"),
    (dict(signals=[np.ones(3), np.ones(4)], reference=[np.ones(5), np.ones(4)],
          lengths="nan"), ValueError, "lengths='nan' takes the lengths of a padded array"),
]


@pytest.mark.parametrize("change, error, message", REFUSED)
def test_bad_pairs_are_refused_before_anything_runs(change, error, message):
    arguments = dict(signals=[np.ones(3), np.ones(4)], reference=[np.ones(5)] * 2,
                     backend="twin")
    arguments.update(change)
    assert_refused_before_anything_runs(arguments, error, message)
    if "alpha" in change:
        return  # the divergence takes no alpha
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(error, match=message):
        orvane.soft_dtw_divergence(**arguments)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


def test_a_refused_call_writes_nothing_into_the_callers_arrays():
    signals = [np.ones(3), np.ones(4)]
    references = np.ones((3, 5))
    before = [s.copy() for s in signals], references.copy()
    with pytest.raises(ValueError, match="reference holds 3 references for 2 signals"):
        orvane.soft_dtw_with_grad(signals, references, pairs=True)
    assert all(np.array_equal(s, b) for s, b in zip(signals, before[0]))
    assert np.array_equal(references, before[1])


# The per-pair loss.
def loss_inputs(dtype=torch.float64, seed=9):
    generator = torch.Generator().manual_seed(seed)
    pred = torch.randn(4, 9, 2, generator=generator, dtype=dtype)
    target = torch.randn(4, 7, 2, generator=generator, dtype=dtype)
    return pred.requires_grad_(), target.requires_grad_()


@pytest.mark.parametrize("divergence", [False, True], ids=["loss", "divergence"])
@pytest.mark.parametrize("weighted", [False, True], ids=["mean", "weighted"])
def test_the_per_pair_loss_passes_gradcheck(backend, divergence, weighted):
    if backend == "twin":
        pytest.skip("gradcheck needs the float64 path, which the twin does not have")
    pred, target = loss_inputs()
    loss_fn = otorch.SoftDTWLoss(gamma=0.5, cost="sqeuclidean", divergence=divergence,
                                 reduction="none" if weighted else "mean", band=[3, 8, 4, 9])
    weights = torch.tensor([0.5, -1.0, 2.0, 0.25], dtype=torch.float64)
    lengths, ref_lengths = torch.tensor([9, 6, 4, 8]), torch.tensor([7, 7, 3, 5])
    function = (lambda p, t: (loss_fn(p, t, lengths, ref_lengths=ref_lengths) * weights).sum()
                if weighted else loss_fn(p, t, lengths, ref_lengths=ref_lengths))
    assert torch.autograd.gradcheck(function, (pred, target))


def test_the_per_pair_loss_equals_one_pair_calls_and_tslearns(backend):
    pred, target = loss_inputs(torch.float32)
    loss = otorch.SoftDTWLoss(gamma=0.5, cost="sqeuclidean", reduction="none",
                              backend=backend)(pred, target)
    loss.sum().backward()
    metrics = tslearn_module("metrics")
    for k in range(4):
        x, y = pred[k].detach().clone().requires_grad_(), target[k].detach().clone()
        y.requires_grad_()
        alone = otorch.SoftDTWLoss(gamma=0.5, cost="sqeuclidean", backend=backend)([x], y)
        alone.backward()
        assert loss[k].item() == alone.item()
        assert torch.equal(pred.grad[k], x.grad) and torch.equal(target.grad[k], y.grad)
        theirs = metrics.soft_dtw(x.detach().double().numpy(), y.detach().double().numpy(),
                                  gamma=0.5)
        assert alone.item() == pytest.approx(theirs, rel=FLOAT32_AGREEMENT)


def test_a_compiled_per_pair_loss_runs_new_lengths_through_one_graph():
    from torch._dynamo.utils import counters
    loss_fn = otorch.SoftDTWLoss(gamma=0.5, divergence=True)
    pred, target = loss_inputs()
    torch._dynamo.reset()
    counters.clear()
    compiled = torch.compile(lambda p, t, n, m: loss_fn(p, t, n, ref_lengths=m), fullgraph=True,
                             backend="aot_eager")
    generator = torch.Generator().manual_seed(10)
    for _ in range(4):
        lengths = torch.randint(2, 10, (4,), generator=generator)
        ref_lengths = torch.randint(2, 8, (4,), generator=generator)
        values = []
        for function in (compiled, lambda *a: loss_fn(a[0], a[1], a[2], ref_lengths=a[3])):
            pred.grad = target.grad = None
            value = function(pred, target, lengths, ref_lengths)
            value.backward()
            values.append((value.detach(), pred.grad.clone(), target.grad.clone()))
        for ours, eager in zip(*values):
            torch.testing.assert_close(ours, eager, rtol=1e-12, atol=1e-12)
    assert counters["stats"]["unique_graphs"] == 1


@pytest.mark.parametrize("form", ["flat", "padded"])
@pytest.mark.parametrize("gradients", ["none", "forward"])
def test_the_operations_fakes_agree_with_them_on_pairs(form, gradients):
    generator = torch.Generator().manual_seed(11)
    lengths, ref_lengths = torch.tensor([5, 9, 3]), torch.tensor([4, 7, 6])
    shape = (lambda sizes: (int(sizes.sum()), 2)) if form == "flat" else (
        lambda sizes: (3, int(sizes.max()), 2))
    wanted = gradients != "none"
    signals = torch.randn(*shape(lengths), generator=generator,
                          dtype=torch.float64).requires_grad_(wanted)
    references = torch.randn(*shape(ref_lengths), generator=generator,
                             dtype=torch.float64).requires_grad_(wanted)
    options = (None, 0.5, "global", 0.0, "sqeuclidean", [2, 9, 4], "widened", None, None, None)
    torch.library.opcheck(torch.ops.orvane.soft_dtw.default,
                          (signals, references, lengths, *options, wanted, ref_lengths))
    _, signal_gradients, reference_gradients = torch.ops.orvane.soft_dtw(
        signals.detach(), references.detach(), lengths, *options, True, ref_lengths)
    torch.library.opcheck(torch.ops.orvane.soft_dtw_backward.default,
                          (torch.tensor([0.5, -1.0, 2.0], dtype=torch.float64), signals.detach(),
                           references.detach(), lengths, *options, signal_gradients,
                           reference_gradients, ref_lengths))
    torch.library.opcheck(torch.ops.orvane.soft_dtw_self_terms.default,
                          (signals, references, lengths, 0.4, "abs", [2, 9, 4], "widened", None,
                           None, None, wanted, wanted, ref_lengths))


# pairwise: its matrix as batches of pairs, bit for bit that of one soft_dtw call per signal
# of b over the whole of a (and, for the divergence, of one call per signal for its
# self-terms).
def one_call_per_signal(a, b, divergence=False, **options):
    flat, lengths = np.concatenate(a), [len(x) for x in a]
    matrix = np.stack([orvane.soft_dtw(flat, y, lengths=lengths, **options) for y in b], axis=1)
    if not divergence:
        return matrix
    selves = lambda signals: np.concatenate([orvane.soft_dtw([s], s, **options)
                                             for s in signals])
    wide = lambda values: np.asarray(values, np.float64)
    return (wide(matrix) - (wide(selves(a))[:, None] + wide(selves(b))[None, :]) / 2).astype(
        matrix.dtype)


@pytest.mark.parametrize("shape", [
    pytest.param(dict(a=[5, 9, 3, 9], b=[6, 4, 9]), id="a-b"),
    pytest.param(dict(a=[7, 4, 9, 5, 7], b=None), id="a-itself"),
    pytest.param(dict(a=[12, 8], b=[3, 12, 8, 5], channels=3), id="3-channels"),
    # Joined, b's signals of one sample of 2 channels make a (B, 2) array that reads as B
    # padded 1-D signals too: pairwise says how to read it.
    pytest.param(dict(a=[5, 5, 5], b=[1, 1], channels=2), id="one-sample-signals"),
    pytest.param(dict(a=[1, 1, 1], b=None, channels=2), id="one-sample-itself"),
])
@pytest.mark.parametrize("options", [
    pytest.param(dict(gamma=0.4), id="global"),
    pytest.param(dict(gamma=0.3, end="free", ref_gap_penalty=0.1), id="free"),
    pytest.param(dict(gamma=0.5, divergence=True, band=4), id="divergence-band"),
])
@pytest.mark.parametrize("dtype", [np.float32, np.float64], ids=["float32", "float64"])
def test_pairwise_gives_the_bits_of_one_call_per_signal(backend, shape, options, dtype):
    if backend == "twin" and dtype == np.float64:
        pytest.skip("the twin has the kernels' float32 steps only")
    channels = shape.get("channels")
    a, b = random_pairs(shape["a"], shape["b"] or [], channels, seed=12, dtype=dtype)
    options = {**options, "backend": backend}
    matrix = orvane.pairwise(a, None if shape["b"] is None else b, **options)
    expected = one_call_per_signal(a, a if shape["b"] is None else b, **options)
    if shape["b"] is None and not options.get("end"):
        # Mirrored: each pair computed once, as sdtw(a_i, a_j) with a_j the reference for the
        # longer (or later) of the two.
        order = sorted(range(len(a)), key=lambda k: -len(a[k]))
        for position, j in enumerate(order):
            for i in order[position:]:
                expected[j, i] = expected[i, j]
    assert matrix.tobytes() == expected.tobytes()


def test_pairwise_splits_its_pairs_within_the_memory_budget(monkeypatch):
    from orvane import _pairwise
    calls = []
    real = _pairwise.soft_dtw_of_pairs

    def counting(signals, references, channels, **options):
        calls.append(len(options["lengths"]))
        return real(signals, references, channels, **options)

    monkeypatch.setattr(_pairwise, "soft_dtw_of_pairs", counting)
    a, b = random_pairs([20] * 6, [10] * 5, seed=13)
    whole = orvane.pairwise(a, b, gamma=0.5)
    assert calls == [30]
    # Each column copies 6 signals of 20 samples and 6 references of 10, 8 bytes a sample.
    split = orvane.pairwise(a, b, gamma=0.5, memory_budget=2 * 6 * 30 * 8)
    assert calls[1:] == [12, 12, 6] and split.tobytes() == whole.tobytes()
