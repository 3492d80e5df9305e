"""orvane.pairwise: every pair against the float64 reference, the mirrored path of a batch with
itself against computing every pair, divergences, array libraries, the limit on references
and rejected arguments."""

import numpy as np
import pytest

import orvane
import softdtw_reference as ref
from orvane import _pairwise
from orvane import cpu_cuda_testing as hooks
from tslearn_oracle import tslearn_module

torch = pytest.importorskip("torch")


def random_signals(lengths, seed):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal(n) for n in lengths]


def padded(signals):
    rows = np.zeros((len(signals), max(map(len, signals))))
    for k, signal in enumerate(signals):
        rows[k, :len(signal)] = signal
    return rows


def reference_scores(a, b, gamma, alphas=None, **end):
    """sdtw(a_i, b_j) by the plain float64 recurrence, alpha per signal of a, with the default
    cost (x - y)^2."""
    alphas = np.zeros(len(a)) if alphas is None else alphas
    return np.array([[ref.score_of_distance(ref.squared_distance(x, y), gamma, alpha, **end)
                      for y in b] for x, alpha in zip(a, alphas)])


def reference_divergences(a, b, gamma):
    selves = lambda signals: np.diagonal(reference_scores(signals, signals, gamma))
    return (reference_scores(a, b, gamma)
            - (selves(a)[:, None] + selves(b)[None, :]) / 2)


ALPHAS = np.array([0.3, -0.2, 0.1])
OPTIONS = [
    pytest.param(dict(gamma=0.7), dict(), id="global"),
    pytest.param(dict(gamma=1.0, end="free", ref_gap_penalty=0.2),
                 dict(local_end=True, gap=0.2), id="free"),
    pytest.param(dict(gamma=0.5, end="free_last_row", alpha=ALPHAS),
                 dict(local_end=True, last_row_only=True, alphas=ALPHAS), id="last-row-alpha"),
]
PATHS = [pytest.param("cpu", np.float64, 1e-10, id="float64"),
         pytest.param("twin", np.float32, 1e-4, id="twin-float32")]


@pytest.mark.parametrize("options, expected_options", OPTIONS)
@pytest.mark.parametrize("backend, dtype, tolerance", PATHS)
def test_every_pair_equals_the_float64_reference(options, expected_options, backend, dtype,
                                                 tolerance):
    a = [x.astype(dtype) for x in random_signals([5, 9, 3], seed=1)]
    b = [y.astype(dtype) for y in random_signals([6, 4], seed=2)]
    if "alpha" in options:
        options = {**options, "alpha": options["alpha"].astype(dtype)}
    matrix = orvane.pairwise(a, padded(b).astype(dtype), lengths_b=[6, 4], backend=backend,
                             **options)
    assert matrix.shape == (3, 2) and matrix.dtype == dtype
    expected = reference_scores(a, b, options["gamma"], **expected_options)
    np.testing.assert_allclose(matrix, expected, rtol=tolerance, atol=tolerance)


@pytest.fixture
def pairs_computed(monkeypatch):
    """Counts the (signal, reference) pairs that pairwise's calls compute."""
    counted = []
    real = _pairwise.soft_dtw_of_pairs

    def counting(signals, references, channels, *, lengths, **options):
        counted.append(len(lengths))
        return real(signals, references, channels, lengths=lengths, **options)

    monkeypatch.setattr(_pairwise, "soft_dtw_of_pairs", counting)
    return lambda: sum(counted)


@pytest.mark.parametrize("options, mirrored", [
    (dict(gamma=0.4), True),
    (dict(gamma=0.4, precision="float32", backend="cpu"), True),
    (dict(gamma=0.4, end="free"), False),
    (dict(gamma=0.4, alpha=0.1), False),
    (dict(gamma=0.4, ref_gap_penalty=0.5), False),
])
def test_a_batch_with_itself_mirrors_symmetric_scores_only(options, mirrored, pairs_computed):
    a = random_signals([7, 4, 9, 5], seed=3)
    alone = orvane.pairwise(a, **options)
    assert pairs_computed() == (10 if mirrored else 16)
    every_pair = orvane.pairwise(a, a, **options)
    if mirrored:
        np.testing.assert_array_equal(alone, alone.T)
        rtol = 1e-12 if alone.dtype == np.float64 else 1e-6
        np.testing.assert_allclose(alone, every_pair, rtol=rtol)
    else:
        np.testing.assert_array_equal(alone, every_pair)


def test_options_the_package_gains_are_passed_on_and_every_pair_computed(monkeypatch):
    a = random_signals([5, 6, 4], seed=4)
    plain = orvane.pairwise(a, gamma=0.3)
    received = []
    real = _pairwise.soft_dtw_of_pairs

    def gaining(signals, references, channels, *, cost, band, **options):
        received.append((cost, band))
        return real(signals, references, channels, **options)

    monkeypatch.setattr(_pairwise, "soft_dtw_of_pairs", gaining)
    gained = orvane.pairwise(a, gamma=0.3, cost="sqeuclidean", band=3)
    # The whole mirrored matrix is one batch of pairs.
    assert received == [("sqeuclidean", 3)]
    np.testing.assert_allclose(gained, plain, rtol=1e-12)


@pytest.mark.parametrize("backend, dtype, tolerance", PATHS)
def test_divergences_vanish_on_the_diagonal_and_equal_the_reference(backend, dtype, tolerance):
    a = [x.astype(dtype) for x in random_signals([6, 8, 5], seed=5)]
    b = [y.astype(dtype) for y in random_signals([7, 3], seed=6)]
    options = dict(gamma=0.3, backend=backend, divergence=True)
    for itself in (orvane.pairwise(a, **options), orvane.pairwise(a, a, **options)):
        assert itself.dtype == dtype
        assert np.all(np.diagonal(itself) == 0) and np.all(itself[~np.eye(3, dtype=bool)] > 0)
    across = orvane.pairwise(a, b, **options)
    np.testing.assert_allclose(across, reference_divergences(a, b, 0.3), rtol=tolerance,
                               atol=tolerance)
    for j, y in enumerate(b):
        column = orvane.soft_dtw_divergence(a, y, gamma=0.3, backend=backend)
        np.testing.assert_allclose(across[:, j], column, rtol=tolerance, atol=tolerance)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64], ids=["float32", "float64"])
def test_tensors_in_give_a_tensor_of_their_type_out(dtype):
    a = random_signals([5, 8, 6], seed=7)
    b = random_signals([4, 7], seed=8)
    numpy_dtype = np.float32 if dtype == torch.float32 else np.float64
    expected = orvane.pairwise([x.astype(numpy_dtype) for x in a],
                               [y.astype(numpy_dtype) for y in b], gamma=0.5)
    tensor = lambda values: torch.tensor(values, dtype=dtype)
    matrix = orvane.pairwise(tensor(padded(a)), [tensor(y) for y in b], lengths_a=[5, 8, 6],
                             gamma=0.5)
    assert isinstance(matrix, torch.Tensor) and matrix.dtype == dtype
    np.testing.assert_array_equal(matrix.numpy(), expected)


@pytest.mark.parametrize("a, b, options, message", [
    # The longest reference runs first: its call meets the budget before any other has run.
    # The twin's scores keep no matrix up to the 3072 samples of reference its blocks take on
    # the float64 path; beyond, its distance and score matrices need 16 bytes a cell.
    ([np.ones(30)], [np.ones(2), np.ones(3100)],
     dict(memory_budget=2 * 8 * 30 * 3099, cost="abs"),
     "signal 0 needs 1488000 bytes of matrices, more than memory_budget"),
])
def test_a_budget_below_the_longest_reference_is_refused_before_any_call(a, b, options,
                                                                         message):
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(ValueError, match=message):
        orvane.pairwise(a, b, backend="twin", **options)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


def test_scores_within_the_twins_blocks_need_no_budget():
    """A budget that holds no matrix: the twin's scores without matrices run, as orvane_cpu's
    do."""
    a, b = [np.linspace(0, 1, 30)], [np.ones(2), np.linspace(1, 0, 40)]
    options = dict(memory_budget=64, cost="abs")
    np.testing.assert_allclose(orvane.pairwise(a, b, backend="twin", **options),
                               orvane.pairwise(a, b, backend="cpu", **options), rtol=1e-10)


REJECTED = [
    (dict(lengths=[3]), TypeError, "pairwise takes lengths_a and lengths_b, not lengths"),
    (dict(b=None, lengths_b=[3]), ValueError, "lengths_b goes with b, which is not given"),
    (dict(a=[]), ValueError, "a is empty"),
    (dict(a=np.zeros(5), lengths_a=[2, 2]), ValueError,
     "lengths_a add up to 4, but the flat a hold 5 samples"),
    (dict(b=np.zeros((2, 4)), lengths_b=[4, 5]), ValueError,
     r"lengths_b\[1\] is 5, longer than the rows of the padded b \(4\)"),
    (dict(b=[np.zeros(3, np.int32)]), TypeError, r"b\[0\] must hold floating-point numbers"),
    (dict(b=[torch.ones(3)]), TypeError, "b holds torch arrays, but a holds numpy arrays"),
    (dict(gamma=-1.0), ValueError, "gamma must be a finite, normal float64 number"),
    (dict(alpha=np.zeros(3)), ValueError, r"alpha must hold one value per signal \(2\)"),
    (dict(backend="gpu"), ValueError, "backend must be one of"),
    (dict(bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    (dict(divergence=True, end="free"), ValueError, "defined for end='global' without alpha"),
    (dict(divergence=True, alpha=0.5), ValueError, "defined for end='global' without alpha"),
    (dict(a=np.ones((3, 5)), lengths_a=[1, 1, 1]), ValueError,
     r"a of shape \(3, 5\) with lengths_a \[1, 1, 1\] reads both as 3 padded 1-D signals and as "
     "a flat batch of samples of 5 channels"),
    (dict(a=np.ones((2, 4)), lengths_a={4, 3}), TypeError, "lengths_a must be a sequence of "
                                                          "integers, in order; got a set"),
    # Checked before the columns are shared out by it (there must be two to share).
    (dict(b=[np.ones(5)] * 2, memory_budget="abc"), ValueError,
     "memory_budget must be a positive number of bytes, got: 'abc'"),
    (dict(b=[np.ones(5)] * 2, memory_budget=[1]), ValueError,
     r"memory_budget must be a positive number of bytes, got: \[1\]"),
    (dict(divergence="no"), TypeError, "divergence must be True or False, got str"),
    (dict(pairs=True), TypeError, "pairwise\\(\\) got an unexpected keyword argument 'pairs'"),
    # Named as the caller gave them, not as the pairs' references they become.
    (dict(b=np.array([[1.0, 2.0, np.nan]])), ValueError,
     r"^b\[0\] ends in NaN, .*: pass lengths_b='nan' to take each length from the padding, or "
     "lengths_b that leave the padding out$"),
]


@pytest.mark.parametrize("change, error, message", REJECTED)
def test_rejected_arguments_allocate_and_run_nothing(change, error, message):
    arguments = dict(a=[np.ones(3), np.ones(4)], b=[np.ones(5)], backend="twin")
    arguments.update(change)
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(error, match=message):
        orvane.pairwise(**arguments)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


@pytest.mark.parametrize("band", [np.array(2), torch.tensor(2), np.int64(2)],
                         ids=["numpy-0d", "tensor-0d", "numpy-integer"])
def test_one_band_may_be_a_0d_integer_array_or_tensor(band):
    a = random_signals([7, 4, 9], seed=10)
    banded = orvane.pairwise(a, band=band)
    assert banded.tobytes() == orvane.pairwise(a, band=2).tobytes()
    assert not np.array_equal(banded, orvane.pairwise(a))
    with pytest.raises(TypeError, match="band must be one integer in pairwise"):
        orvane.pairwise(a, band=np.array([2]))


def test_the_squared_cost_matches_tslearns_cdist_soft_dtw():
    metrics = tslearn_module("metrics")
    rng = np.random.default_rng(9)
    a, b = rng.standard_normal((4, 12)), rng.standard_normal((3, 9))
    ours = orvane.pairwise(a, b, gamma=0.5, cost="sqeuclidean")
    theirs = metrics.cdist_soft_dtw(a[..., None], b[..., None], gamma=0.5)
    np.testing.assert_allclose(ours, theirs, rtol=1e-9)


@pytest.mark.parametrize("channels", [1, 3])
def test_every_batch_form_gives_the_bits_of_a_list(channels):
    rng = np.random.default_rng(11)
    lengths = [7, 12, 9]
    a = [rng.standard_normal((n, channels)).astype(np.float32) for n in lengths]
    b = [rng.standard_normal((n, channels)).astype(np.float32) for n in (6, 8)]
    padded_a = np.zeros((3, 12, channels), np.float32)
    for k, signal in enumerate(a):
        padded_a[k, :len(signal)] = signal
    listed = orvane.pairwise(a, b, gamma=0.3)
    flat = orvane.pairwise(np.concatenate(a), b, lengths_a=lengths, gamma=0.3)
    padded = orvane.pairwise(padded_a, b, lengths_a=lengths, gamma=0.3)
    assert listed.tobytes() == flat.tobytes() == padded.tobytes()
    expected = [[ref.score_of_distance(((x[:, None, :].astype(np.float64)
                                         - y[None, :, :]) ** 2).sum(axis=2), 0.3)
                 for y in b] for x in a]
    np.testing.assert_allclose(listed, expected, rtol=1e-5)
