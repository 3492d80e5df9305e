"""Scores without matrices on the twin and, with a GPU, the CUDA module (calc_softdtw_scores*
and calc_softdtw_pair_scores*): the stored path's scores bit for bit (distances formed as the
package forms them, then the forward pass of the same path), orvane_cpu's within the suite's
tolerances, a float64 reference written from the definitions, and every bad argument refused
as orvane_cpu refuses it, before anything is allocated or launched."""

from dataclasses import dataclass, field

import numpy as np
import pytest

import orvane_cpu
import softdtw_reference as ref
from orvane import cpu_cuda_testing as hooks
from orvane._costs import in_band
from orvane.buffers import twin_backend, vectorised_backend

PATHS = {  # suffix of the scores and passes, of the distances; data and score types
    "float32": ("", "", np.float32, np.float32),
    "mixed": ("_mixed", "", np.float32, np.float64),
    "float64": ("_float64", "_float64", np.float64, np.float64),
}
ENDS = {
    "global": dict(local_end=False, last_row_only=False, ref_gap_penalty=0.0),
    "free": dict(local_end=True, last_row_only=False, ref_gap_penalty=0.07),
    "free-last-row": dict(local_end=True, last_row_only=True, ref_gap_penalty=0.2),
}
GAMMA = 0.3
# Largest differences from orvane_cpu's scores (relative, absolute): its float32 steps use
# Highway's exp and log, a few ulps from the device's; the mixed and float64 paths as
# test_column_passes holds them.
CPU_AGREEMENT = {"float32": (2e-5, 1e-3), "mixed": (1e-6, 2e-6), "float64": (1e-12, 1e-9)}
# Largest relative differences from the float64 reference, as test_costs holds orvane_cpu's.
REFERENCE_AGREEMENT = {"float32": 2e-4, "mixed": 2e-5, "float64": 1e-11}


@dataclass
class Case:
    """Signals and references ((N_k, d) and (M_k, d) each), one reference for all unless
    pairs, with the cost's options."""

    lengths: list
    ref_lengths: list
    pairs: bool
    channels: int = 1
    cost: str = "abs"
    band: list | None = None
    band_kind: str = "scaled"
    alpha: bool = False
    seed: int = 0
    signals: list = field(init=False)
    references: list = field(init=False)

    def __post_init__(self):
        rng = np.random.default_rng(self.seed)
        self.signals = [rng.standard_normal((n, self.channels)) for n in self.lengths]
        count = len(self.lengths) if self.pairs else 1
        self.references = [rng.standard_normal((m, self.channels))
                           for m in self.ref_lengths[:count]]

    def reference_of(self, k):
        return self.references[k if self.pairs else 0]

    def alpha_values(self):
        return np.linspace(-0.2, 0.3, len(self.lengths)) if self.alpha else None

    def square_costs(self, k, data):
        """Signal k's N x M costs as the package forms them for the CUDA module and the twin
        (_costs.form_distances): channel by channel in order, in the data type, +inf outside
        the band."""
        x, y = self.signals[k].astype(data), self.reference_of(k).astype(data)
        costs = None
        for c in range(self.channels):
            difference = x[:, c, None] - y[None, :, c]
            own = abs(difference) if self.cost == "abs" else difference * difference
            costs = own if costs is None else costs + own
        if self.band is not None:
            costs[~in_band(*costs.shape, self.band[k], self.band_kind)] = np.inf
        return costs


CASES = {
    "1d-abs": Case([1, 5, 30, 60], [45], pairs=False),
    "1d-abs-alpha": Case([7, 1, 20], [33], pairs=False, alpha=True, seed=1),
    "3-channels-sqeuclidean": Case([4, 25, 12], [19], pairs=False, channels=3,
                                   cost="sqeuclidean", seed=2),
    "3-channels-abs": Case([9, 16], [21], pairs=False, channels=3, seed=3),
    "band-scaled": Case([12, 40, 25], [30], pairs=False, band=[2, 0, 5], seed=4),
    "band-widened": Case([12, 40, 25], [30], pairs=False, band=[1, 3, 0],
                         band_kind="widened", seed=5),
    "pairs": Case([1, 13, 40, 22], [45, 13, 7, 1], pairs=True, alpha=True, seed=6),
    "pairs-3-channels-widened": Case([15, 30, 9], [20, 11, 9], pairs=True, channels=3,
                                     cost="sqeuclidean", band=[2, 1, 0],
                                     band_kind="widened", seed=7),
    "pairs-scaled": Case([15, 30, 9], [20, 11, 9], pairs=True, band=[1, 4, 0], seed=8),
}


def lean_scores(backend, path, case, end, band_kind=None):
    """The scores of calc_softdtw_scores* (pair versions for pairs) on `backend`."""
    suffix, _, data, score = PATHS[path]
    module = backend.module
    samples = backend.array(np.concatenate(case.signals).ravel(), data)
    references = backend.array(np.concatenate(case.references).ravel(), data)
    scores = backend.full(len(case.lengths), np.nan, score)
    alpha = case.alpha_values()
    alpha_buffer = None if alpha is None else backend.array(alpha, data)
    band = None if case.band is None else backend.array(case.band, np.int32)
    name, refs = (("calc_softdtw_pair_scores", case.ref_lengths) if case.pairs
                  else ("calc_softdtw_scores", case.ref_lengths[0]))
    getattr(module, name + suffix)(
        samples.ptr, case.lengths, references.ptr, refs, scores.ptr, GAMMA,
        0 if alpha_buffer is None else alpha_buffer.ptr, end["local_end"],
        end["last_row_only"], end["ref_gap_penalty"], channels=case.channels, cost=case.cost,
        band_ptr=0 if band is None else band.ptr, band_kind=band_kind or case.band_kind)
    backend.synchronize()
    return scores.numpy()


def stored_scores(backend, path, case, end):
    """The scores of the stored path: the distances (the kernels' own for 1-D |x - y|
    without a band, else formed as the package forms them), then the forward pass of the
    same path, one launch for the batch: the one-reference functions up to a block's 1024
    threads, the pair passes of the reference repeated beyond."""
    suffix, distance_suffix, data, score = PATHS[path]
    module = backend.module
    lengths = case.lengths
    ref_lengths = case.ref_lengths if case.pairs else case.ref_lengths * len(lengths)
    one_reference = not case.pairs and ref_lengths[0] <= 1024
    refs, pair = (ref_lengths[0], "") if one_reference else (ref_lengths, "pair_")
    cells = sum(n * m for n, m in zip(lengths, ref_lengths))
    distance = backend.full(cells, np.nan, data)
    if case.channels == 1 and case.cost == "abs" and case.band is None:
        samples = backend.array(np.concatenate(case.signals).ravel(), data)
        references = backend.array(np.concatenate(
            case.references if one_reference else
            [case.reference_of(k) for k in range(len(lengths))]).ravel(), data)
        getattr(module, f"calc_manhattan_{pair}distance{distance_suffix}")(
            samples.ptr, lengths, references.ptr, refs, distance.ptr)
    else:
        square = backend.array(np.concatenate(
            [case.square_costs(k, data).ravel() for k in range(len(lengths))]), data)
        getattr(module, f"convert_{pair}square_to_antidiag{distance_suffix}")(
            lengths, refs, square.ptr, distance.ptr)
    score_matrix = backend.full(cells, np.nan, score)
    scores = backend.full(len(lengths), np.nan, score)
    alpha = case.alpha_values()
    alpha_buffer = None if alpha is None else backend.array(alpha, data)
    getattr(module, f"calc_softdtw_{pair}forward{suffix}")(
        lengths, refs, distance.ptr, score_matrix.ptr, scores.ptr, GAMMA,
        0 if alpha_buffer is None else alpha_buffer.ptr, end["local_end"],
        end["last_row_only"], end["ref_gap_penalty"])
    backend.synchronize()
    return scores.numpy()


def vectorised_scores(path, case, end):
    """orvane_cpu's scores without matrices of the same call."""
    return lean_scores(vectorised_backend(), path, case, end)


def band_from_definition(rows, cols, half_width, kind):
    """The cells a band keeps, from the definitions of both kinds."""
    i, j = np.indices((rows, cols))
    if kind == "scaled":
        return np.abs(i * (cols - 1) - j * (rows - 1)) <= half_width * max(rows - 1, cols - 1)
    low, high = (-half_width, cols - rows + half_width) if rows <= cols else \
        (cols - rows - half_width, half_width)
    return (j - i >= low) & (j - i <= high)


def reference_scores(case, end):
    """Float64 scores from nested loops over the definitions."""
    alpha = case.alpha_values()
    found = []
    for k, x in enumerate(case.signals):
        y = case.reference_of(k)
        difference = x[:, None, :] - y[None, :, :]
        costs = (np.abs(difference) if case.cost == "abs" else difference ** 2).sum(axis=2)
        if case.band is not None:
            costs[~band_from_definition(*costs.shape, case.band[k], case.band_kind)] = np.inf
        found.append(ref.score_of_distance(costs, GAMMA, 0.0 if alpha is None else alpha[k],
                                           local_end=end["local_end"],
                                           last_row_only=end["last_row_only"],
                                           gap=end["ref_gap_penalty"]))
    return np.array(found)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ENDS)
@pytest.mark.parametrize("case", CASES)
def test_scores_are_the_stored_paths_bit_for_bit(gpu, thread_order, path, end, case):
    found = lean_scores(gpu, path, CASES[case], ENDS[end])
    expected = stored_scores(gpu, path, CASES[case], ENDS[end])
    assert found.tobytes() == expected.tobytes(), (found, expected)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ENDS)
@pytest.mark.parametrize("case", CASES)
def test_scores_agree_with_orvane_cpu_and_the_float64_reference(gpu, path, end, case):
    found = lean_scores(gpu, path, CASES[case], ENDS[end])
    relative, absolute = CPU_AGREEMENT[path]
    np.testing.assert_allclose(found, vectorised_scores(path, CASES[case], ENDS[end]),
                               rtol=relative, atol=absolute)
    np.testing.assert_allclose(found, reference_scores(CASES[case], ENDS[end]),
                               rtol=REFERENCE_AGREEMENT[path], atol=0)


def test_band_kind_changes_the_scores():
    """The two kinds keep other cells of a signal shorter than its reference, so that a
    kernel that ignored band_kind would fail the comparisons above in one of them."""
    case = CASES["band-widened"]
    twin = twin_backend()
    widened = lean_scores(twin, "float64", case, ENDS["global"])
    scaled = lean_scores(twin, "float64", case, ENDS["global"], band_kind="scaled")
    assert not np.array_equal(widened, scaled)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ["global", "free"])
def test_fewer_threads_a_block_change_no_bit(thread_order, path, end):
    """A block of fewer threads than columns (each thread then serves every T-th column) gives
    the bits of a thread per column, for one reference and for pairs of other lengths."""
    twin = twin_backend()
    cases = [CASES["pairs"], CASES["band-widened"], CASES["3-channels-sqeuclidean"]]
    whole = [lean_scores(twin, path, case, ENDS[end]) for case in cases]
    # Up to 2 columns a thread on the mixed path, so that M_k <= 45 fits 32 threads.
    for threads in (23, 32):
        hooks.set_max_threads_per_block(threads)
        for case, expected in zip(cases, whole):
            assert lean_scores(twin, path, case, ENDS[end]).tobytes() == expected.tobytes()


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ENDS)
@pytest.mark.parametrize("case", [
    pytest.param(Case([3, 2], [1500], pairs=False, seed=9), id="one-reference-1500"),
    pytest.param(Case([2, 4], [2048], pairs=False, channels=3, cost="sqeuclidean", seed=10),
                 id="one-reference-2048"),
    pytest.param(Case([3, 2, 5], [2048, 1500, 7], pairs=True, band=[3, 100, 1], seed=11),
                 id="pairs-2048-1500-7"),
])
def test_references_beyond_a_block_are_the_stored_paths_bit_for_bit(gpu, path, end, case):
    found = lean_scores(gpu, path, case, ENDS[end])
    assert found.tobytes() == stored_scores(gpu, path, case, ENDS[end]).tobytes()
    np.testing.assert_allclose(found, reference_scores(case, ENDS[end]),
                               rtol=REFERENCE_AGREEMENT[path], atol=0)


def test_the_limit_of_m_is_two_scores_a_column_of_shared_memory_and_a_few_columns_a_thread():
    """48 KiB of shared memory a block on the twin: float32 at 3 columns a thread of 1024,
    the mixed path at 2, float64 at 6 of 512, each within two scores a column."""
    module = twin_backend().module
    assert [module.scores_max_ref_length(path) for path in PATHS] == [3072, 2048, 3072]
    hooks.set_max_threads_per_block(100)
    assert [module.scores_max_ref_length(path) for path in PATHS] == [300, 200, 600]
    with pytest.raises(ValueError, match="path must be 'float32', 'mixed' or 'float64'"):
        module.scores_max_ref_length("float16")


BAD = [  # arguments changed from a good call, the message orvane_cpu gives too
    pytest.param(dict(lengths=[]), "input_signal_lengths is empty", id="no-signals"),
    pytest.param(dict(lengths=[3, 0]), r"input_signal_lengths\[1\] must be positive",
                 id="empty-signal"),
    pytest.param(dict(refs=0), "ref_signal_length must be positive", id="empty-reference"),
    pytest.param(dict(refs=[2]), "ref_signal_lengths must hold one length per signal",
                 id="reference-count"),
    pytest.param(dict(refs=[2, -1]), r"ref_signal_lengths\[1\] must be positive",
                 id="negative-reference"),
    pytest.param(dict(gamma=0.0), "gamma must be a finite, normal", id="gamma"),
    pytest.param(dict(local_end=True, gap=float("nan")), "ref_gap_penalty must be a finite",
                 id="gap-penalty"),
    pytest.param(dict(input_signal=0), "input_signal_ptr must not be 0", id="no-samples"),
    pytest.param(dict(ref_signal=0), "ref_signal_ptr must not be 0", id="no-reference"),
    pytest.param(dict(scores=0), "scores_ptr must not be 0", id="no-scores"),
    pytest.param(dict(channels=0), "channels must be 1 or more, got: 0", id="channels"),
    pytest.param(dict(cost="l1"), "cost must be 'abs' or 'sqeuclidean', got: 'l1'", id="cost"),
    pytest.param(dict(band=[1, -2]), r"band\[1\] must be 0 or more, got: -2", id="band"),
    pytest.param(dict(band_kind="diagonal"), "band_kind must be 'scaled' or 'widened'",
                 id="band-kind"),
]


def call_with(module, path, pairs, bad, sentinel, band):
    """A call of 2 signals of 3 samples against references of 2, changed by `bad`."""
    address = sentinel.ctypes.data
    refs = bad.get("refs", [2, 2] if pairs else 2)
    name = ("calc_softdtw_pair_scores" if pairs else "calc_softdtw_scores") + PATHS[path][0]
    getattr(module, name)(
        bad.get("input_signal", address), bad.get("lengths", [3, 3]),
        bad.get("ref_signal", address), refs, bad.get("scores", address),
        bad.get("gamma", 1.0), 0, bad.get("local_end", False), False, bad.get("gap", 0.0),
        channels=bad.get("channels", 1), cost=bad.get("cost", "abs"),
        band_ptr=band.ctypes.data if "band" in bad else 0,
        band_kind=bad.get("band_kind", "scaled"))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
@pytest.mark.parametrize("bad, message", BAD)
def test_bad_calls_are_refused_as_orvane_cpu_refuses_them_before_anything_runs(path, pairs,
                                                                              bad, message):
    if pairs != isinstance(bad.get("refs", [] if pairs else 0), list):
        pytest.skip("the reference lengths of the other kind of call")
    messages = []
    for module in (twin_backend().module, orvane_cpu):
        sentinel = np.full(16, -1.0)
        band = np.array(bad.get("band", [0, 0]), np.int32)
        allocations, launches = hooks.live_allocations(), hooks.launches_run()
        with pytest.raises(ValueError, match=message) as refused:
            call_with(module, path, pairs, bad, sentinel, band)
        assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
        assert np.all(sentinel == -1.0)
        messages.append(str(refused.value))
    assert messages[0] == messages[1]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_a_reference_beyond_the_limit_is_refused_before_anything_runs(path, pairs):
    module = twin_backend().module
    limit = module.scores_max_ref_length(path)
    sentinel = np.full(16, -1.0)
    bad = dict(refs=[5, limit + 1] if pairs else limit + 1)
    name = r"ref_signal_lengths\[1\]" if pairs else "ref_signal_length"
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(ValueError, match=rf"{name} \({limit + 1}\) exceeds the {limit} columns"):
        call_with(module, path, pairs, bad, sentinel, np.zeros(2, np.int32))
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
    assert np.all(sentinel == -1.0)
