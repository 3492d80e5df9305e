"""band_kind="widened", the Sakoe-Chiba band of tslearn's sakoe_chiba_mask, on every backend and
every entry point that takes a band: the cells it keeps against tslearn's mask and against its
definition (in the package's masks and in the vectorised module's passes), scores and gradients
against tslearn's soft_dtw and against a float64 reference over the masked costs, for one
reference and for pairs; band_kind="scaled" the same bits as leaving it out; any other value
refused before anything runs."""

import re

import numpy as np
import pytest

import orvane
import orvane_cpu
import softdtw_reference as ref
from conftest import assert_refused_before_anything_runs, vectorised_threads
from orvane import cpu_cuda_testing as hooks
from orvane._costs import in_band
from tslearn_oracle import tslearn_module

torch = pytest.importorskip("torch")
import orvane.torch as otorch  # noqa: E402

# float64 on both sides: the recurrences differ by a few roundings per cell.
AGREEMENT = 1e-10
GAMMA = 0.6
# (N, M, r): signals shorter and longer than the reference, square matrices, r = 0, r beyond
# both lengths, single rows and columns, and the README's 400 x 512 figures.
SHAPES = [(400, 512, 51), (512, 400, 51), (7, 12, 0), (12, 7, 2), (9, 9, 3), (9, 9, 0),
          (5, 3, 1), (6, 4, 10), (3, 30, 40), (1, 6, 0), (6, 1, 0), (1, 1, 0)]
# Four signals of one length and band (they run side by side on the vectorised module), and
# signals shorter and longer than the reference of 19 samples (or than their own references).
LENGTHS = [12, 12, 12, 12, 30, 7, 45]
REF_LENGTH = 19
REF_LENGTHS = [17, 17, 17, 17, 9, 20, 45]
BANDS = [2, 2, 2, 2, 4, 0, 3]
ENDS = {"global": dict(end="global"), "free": dict(end="free")}


def widened_by_definition(rows, cols, r):
    """Row i keeps columns max(0, i - r) .. i + (M - N) + r where N <= M; column j keeps rows
    max(0, j - r) .. j + (N - M) + r where N > M."""
    i, j = np.indices((rows, cols))
    if rows <= cols:
        return (j >= np.maximum(0, i - r)) & (j <= i + (cols - rows) + r)
    return (i >= np.maximum(0, j - r)) & (i <= j + (rows - cols) + r)


def widened_by_diagonals(rows, cols, r):
    """The same cells as the vectorised module finds them on each diagonal d = i + j: the j
    with |4 j - 2 d - (M - N)| <= 2 r + |M - N|."""
    i, j = np.indices((rows, cols))
    return np.abs(4 * j - 2 * (i + j) - (cols - rows)) <= 2 * r + abs(cols - rows)


def module_kept(rows, cols, r, kind):
    """The cells that orvane_cpu's distance pass leaves finite under a band of that kind."""
    x, y = np.zeros(rows), np.zeros(cols)
    distance, square = np.empty(rows * cols), np.empty(rows * cols)
    band = np.array([r], np.int32)
    orvane_cpu.calc_distance_float64(x.ctypes.data, [rows], y.ctypes.data, cols,
                                     distance.ctypes.data, band_ptr=band.ctypes.data,
                                     band_kind=kind)
    orvane_cpu.convert_antidiag_to_square_float64([rows], cols, distance.ctypes.data,
                                                  square.ctypes.data)
    return np.isfinite(square.reshape(rows, cols))


@pytest.mark.parametrize("rows, cols, r", SHAPES)
def test_the_widened_band_keeps_the_cells_of_tslearn_s_mask(rows, cols, r):
    mask = tslearn_module("metrics").sakoe_chiba_mask(rows, cols, r)
    for kept in (widened_by_definition(rows, cols, r), widened_by_diagonals(rows, cols, r),
                 in_band(rows, cols, r, "widened"), module_kept(rows, cols, r, "widened")):
        assert np.array_equal(kept, mask)
    if rows == cols:  # where the two kinds agree
        assert np.array_equal(in_band(rows, cols, r, "scaled"), mask)
        assert np.array_equal(module_kept(rows, cols, r, "scaled"), mask)


def test_the_two_kinds_keep_the_readme_s_cells_at_400_by_512():
    assert widened_by_definition(400, 512, 51).sum() == 83_348
    scaled = module_kept(400, 512, 51, "scaled")
    assert scaled.sum() == 48_914 and np.array_equal(scaled, in_band(400, 512, 51))


def squared_costs(x, y):
    x2, y2 = x.reshape(len(x), -1), y.reshape(len(y), -1)
    return ((x2[:, None, :] - y2[None, :, :]) ** 2).sum(axis=2)


def gradients_from(expected, x, y):
    """d/dx_i = sum_j E_ij 2 (x_i - y_j) and d/dy_j = -sum_i E_ij 2 (x_i - y_j), shaped like
    x and y."""
    x2, y2 = x.reshape(len(x), -1), y.reshape(len(y), -1)
    weighted = expected[:, :, None] * 2 * (x2[:, None, :] - y2[None, :, :])
    return weighted.sum(axis=1).reshape(x.shape), -weighted.sum(axis=0).reshape(y.shape)


def masked_costs(x, y, r):
    """Squared costs in float64, +inf outside the widened band of half-width r."""
    x, y = np.asarray(x, np.float64), np.asarray(y, np.float64)
    return np.where(widened_by_definition(len(x), len(y), r), squared_costs(x, y), np.inf)


def reference_pair(x, y, r, end="global"):
    """(score, d/dx, d/dy, E) of one pair from the float64 reference over the masked costs."""
    x, y = np.asarray(x, np.float64), np.asarray(y, np.float64)
    costs = masked_costs(x, y, r)
    expected = ref.backward(costs, GAMMA, local_end=end == "free")
    return (ref.score_of_distance(costs, GAMMA, local_end=end == "free"),
            *gradients_from(expected, x, y), expected)


def tslearn_pair(x, y, r):
    """(score, d/dx, d/dy) of one pair from tslearn's soft_dtw and expected alignment."""
    metrics = tslearn_module("metrics")
    x2, y2 = x.reshape(len(x), -1), y.reshape(len(y), -1)
    constraint = dict(global_constraint="sakoe_chiba", sakoe_chiba_radius=r)
    alignment, _ = metrics.soft_dtw_alignment(x2, y2, gamma=GAMMA, **constraint)
    return metrics.soft_dtw(x2, y2, gamma=GAMMA, **constraint), *gradients_from(alignment, x, y)


def inputs(pairs, channels, seed=3, dtype=np.float64):
    """(signals, reference or references, the reference of each signal) as NumPy arrays."""
    rng = np.random.default_rng(seed)
    shape = (lambda n: (n,)) if channels is None else (lambda n: (n, channels))
    signals = [rng.standard_normal(shape(n)).astype(dtype) for n in LENGTHS]
    if pairs:
        references = [rng.standard_normal(shape(m)).astype(dtype) for m in REF_LENGTHS]
        return signals, references, references
    reference = rng.standard_normal(shape(REF_LENGTH)).astype(dtype)
    return signals, reference, [reference] * len(signals)


def placed(values, backend):
    """Arrays where the backend runs: NumPy's on the host, CUDA tensors for the CUDA module."""
    if backend.name != "cuda":
        return values
    if isinstance(values, list):
        return [placed(value, backend) for value in values]
    return torch.from_numpy(values).cuda()


def on_host(values):
    if isinstance(values, (list, tuple)):
        return [on_host(value) for value in values]
    return values.cpu().numpy() if isinstance(values, torch.Tensor) else np.asarray(values)


def assert_agree(got, want, rel=AGREEMENT):
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    scale = max(1.0, float(np.abs(want).max(initial=0.0)))
    np.testing.assert_allclose(got, want, rtol=0, atol=rel * scale)


def assert_pair_results(scores, dx, dy, signals, reference_of, pairs, end, rel=AGREEMENT):
    """scores, signal gradients and the reference gradient (each pair's own, or their sum)
    against the float64 reference, and under the global end against tslearn's."""
    summed = np.zeros(np.shape(reference_of[0]))
    for k, (x, y, r) in enumerate(zip(signals, reference_of, BANDS)):
        score, own_dx, own_dy, _ = reference_pair(x, y, r, end)
        oracles = [(score, own_dx, own_dy)]
        if end == "global":
            oracles.append(tslearn_pair(np.asarray(x, np.float64), np.asarray(y, np.float64), r))
        for oracle_score, oracle_dx, oracle_dy in oracles:
            assert scores[k] == pytest.approx(oracle_score, rel=rel, abs=rel)
            assert_agree(dx[k], oracle_dx, rel)
            if pairs:
                assert_agree(dy[k], oracle_dy, rel)
        if not pairs:
            summed += own_dy
    if not pairs:
        assert_agree(dy, summed, rel)


@pytest.mark.parametrize("end", ENDS)
@pytest.mark.parametrize("channels", [None, 3], ids=["1-D", "3-channels"])
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_widened_scores_and_gradients_match_tslearn_and_the_reference(backend, pairs, channels,
                                                                      end):
    signals, reference, reference_of = inputs(pairs, channels)
    options = dict(gamma=GAMMA, band=BANDS, band_kind="widened", backend=backend.name,
                   **ENDS[end])
    scores, dx, dy = orvane.soft_dtw_with_grad(placed(signals, backend),
                                               placed(reference, backend), **options)
    assert_pair_results(on_host(scores), on_host(dx), on_host(dy), signals, reference_of,
                        pairs, end)
    alone = on_host(orvane.soft_dtw(placed(signals, backend), placed(reference, backend),
                                    **options))
    assert_agree(alone, on_host(scores))


@pytest.mark.parametrize("precision", ["float32", "mixed"])
def test_the_vectorised_passes_keep_the_widened_band_alone_side_by_side_and_in_tiles(precision):
    # Four signals of one shape run side by side, the others alone, on two threads and with
    # each matrix cut into tiles of columns.
    signals, reference, reference_of = inputs(False, 2, seed=4, dtype=np.float32)
    for threads, tiles in ((0, 0), (2, 3)):
        with vectorised_threads(threads, tiles):
            scores, dx, dy = orvane.soft_dtw_with_grad(
                signals, reference, gamma=GAMMA, band=BANDS, band_kind="widened",
                backend="cpu", precision=precision)
        assert_pair_results(scores, dx, dy, signals, reference_of, False, "global", rel=2e-4)


def test_checkpoints_of_a_widened_band_give_the_stored_results():
    rng = np.random.default_rng(8)
    signal, reference = rng.standard_normal((300, 2)), rng.standard_normal((40, 2))
    band = np.array([5], np.int32)

    def lean(cells):
        matrix = np.empty(cells or 300 * 40)
        scores, dx, dy = np.empty(1), np.zeros_like(signal), np.zeros_like(reference)
        orvane_cpu.calc_softdtw_gradients_float64(
            signal.ctypes.data, [300], reference.ctypes.data, 40, matrix.ctypes.data,
            scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, GAMMA, score_matrix_cells=cells,
            channels=2, cost="sqeuclidean", band_ptr=band.ctypes.data, band_kind="widened")
        return scores, dx, dy

    checkpointed = lean(orvane_cpu.gradient_checkpoint_cells(300, 40))
    stored = lean(0)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(checkpointed, stored))
    score, own_dx, own_dy, _ = reference_pair(signal, reference, 5)
    assert stored[0][0] == pytest.approx(score, rel=AGREEMENT)
    assert_agree(stored[1], own_dx)
    assert_agree(stored[2], own_dy)


@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_widened_alignments_and_paths_stay_in_the_band(backend, pairs):
    signals, reference, reference_of = inputs(pairs, None)
    alignment = orvane.soft_alignment(placed(signals, backend), placed(reference, backend),
                                      gamma=GAMMA, band=BANDS, band_kind="widened",
                                      backend=backend.name)
    for k, (x, y, r) in enumerate(zip(signals, reference_of, BANDS)):
        score, _, _, expected = reference_pair(x, y, r)
        assert on_host(alignment.scores)[k] == pytest.approx(score, rel=AGREEMENT)
        assert_agree(on_host(alignment.matrix(k)), expected)
        path = on_host(alignment.path(k))
        assert len(path) and widened_by_definition(len(x), len(y), r)[tuple(path.T)].all()


def reference_divergence(x, y, r):
    return (reference_pair(x, y, r)[0]
            - (reference_pair(x, x, r)[0] + reference_pair(y, y, r)[0]) / 2)


@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_widened_divergences_match_the_reference(backend, pairs):
    signals, reference, reference_of = inputs(pairs, None)
    found = on_host(orvane.soft_dtw_divergence(
        placed(signals, backend), placed(reference, backend), gamma=GAMMA, band=BANDS,
        band_kind="widened", backend=backend.name))
    for k, (x, y, r) in enumerate(zip(signals, reference_of, BANDS)):
        assert found[k] == pytest.approx(reference_divergence(x, y, r), rel=AGREEMENT,
                                         abs=AGREEMENT)


@pytest.mark.parametrize("divergence", [False, True], ids=["scores", "divergence"])
def test_pairwise_takes_the_widened_band(backend, divergence):
    rng = np.random.default_rng(5)
    a = [rng.standard_normal(n) for n in (9, 16, 5)]
    b = [rng.standard_normal(m) for m in (13, 4)]
    reference_of = reference_divergence if divergence else (
        lambda x, y, r: reference_pair(x, y, r)[0])
    options = dict(gamma=GAMMA, band=1, band_kind="widened", divergence=divergence,
                   backend=backend.name)
    for second in (b, None):  # b=None mirrors one triangle
        found = on_host(orvane.pairwise(placed(a, backend), None if second is None
                                        else placed(second, backend), **options))
        columns = a if second is None else second
        wanted = [[reference_of(x, y, 1) for y in columns] for x in a]
        assert_agree(found, wanted)


def test_the_barycenter_takes_the_widened_band(backend):
    rng = np.random.default_rng(6)
    signals = [rng.standard_normal(n) for n in (14, 9, 20)]
    init = rng.standard_normal(11)
    z, result = orvane.barycenter(placed(signals, backend), init=placed(init, backend),
                                  gamma=GAMMA, band=2, band_kind="widened", max_iter=3,
                                  backend=backend.name)
    at_init = np.mean([reference_pair(x, init, 2)[0] for x in signals])
    at_end = np.mean([reference_pair(x, on_host(z), 2)[0] for x in signals])
    assert result.scores[0] == pytest.approx(at_init, rel=AGREEMENT)
    assert result.scores[-1] == pytest.approx(at_end, rel=AGREEMENT)


def torch_inputs(pairs, backend):
    """Float64 tensors that require their gradients, on the backend's device."""
    signals, reference, reference_of = inputs(pairs, 2)
    device = "cuda" if backend.name == "cuda" else "cpu"
    tensor = lambda value: torch.tensor(value, device=device, requires_grad=True)
    references = [tensor(y) for y in reference] if pairs else tensor(reference)
    return [tensor(x) for x in signals], references, signals, reference_of


def tensors_equal(got, want):
    """Whether two nests of tensors (lists and tuples of them) hold the same bits."""
    if isinstance(want, (list, tuple)):
        return len(got) == len(want) and all(map(tensors_equal, got, want))
    return torch.equal(got, want)


def gradients_of(signals, reference):
    return ([x.grad for x in signals],
            [y.grad for y in reference] if isinstance(reference, list) else reference.grad)


@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_torch_s_functions_and_loss_take_the_widened_band(backend, pairs):
    options = dict(gamma=GAMMA, band=BANDS, band_kind="widened", backend=backend.name)
    signals, reference, arrays, reference_of = torch_inputs(pairs, backend)
    scores = otorch.soft_dtw(signals, reference, **options)
    scores.sum().backward()
    dx, dy = gradients_of(signals, reference)
    assert_pair_results(on_host(scores.detach()), on_host(dx), on_host(dy), arrays,
                        reference_of, pairs, "global")

    signals, reference, _, _ = torch_inputs(pairs, backend)
    loss = otorch.SoftDTWLoss(reduction="none", **options)(signals, reference)
    loss.sum().backward()
    assert torch.equal(loss, scores)
    assert tensors_equal(gradients_of(signals, reference), (dx, dy))

    signals, reference, _, _ = torch_inputs(pairs, backend)
    divergences = otorch.SoftDTWLoss(reduction="none", divergence=True, **options)(
        signals, reference)
    for k, (x, y, r) in enumerate(zip(arrays, reference_of, BANDS)):
        assert divergences[k].item() == pytest.approx(reference_divergence(x, y, r),
                                                      rel=AGREEMENT, abs=AGREEMENT)


def same_bits(got, want):
    """Whether two results (arrays, or tuples and lists of them) hold the same bits."""
    if isinstance(want, (list, tuple)):
        return len(got) == len(want) and all(map(same_bits, got, want))
    return on_host(got).tobytes() == on_host(want).tobytes()


# The scaled band of r = 0 leaves signal 5 without a path: its +inf takes part too.
@pytest.mark.filterwarnings("ignore:band leaves signals")
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_the_scaled_band_is_the_default_bit_for_bit(backend, pairs):
    signals, reference, _ = inputs(pairs, None)
    signals, reference = placed(signals, backend), placed(reference, backend)
    options = dict(gamma=GAMMA, band=BANDS, backend=backend.name)
    for function in (orvane.soft_dtw, orvane.soft_dtw_with_grad, orvane.soft_dtw_divergence):
        default = function(signals, reference, **options)
        assert same_bits(function(signals, reference, band_kind="scaled", **options), default)
        # The option reaches the passes: where N != M the other band gives other results.
        assert not same_bits(function(signals, reference, band_kind="widened", **options),
                             default)
    alignments = [orvane.soft_alignment(signals, reference, **options, **kind)
                  for kind in (dict(), dict(band_kind="scaled"))]
    assert all(same_bits(alignments[0].matrix(k), alignments[1].matrix(k))
               for k in range(len(LENGTHS)))
    pairwise = [orvane.pairwise(signals[:3], signals[3:], gamma=GAMMA, band=2,
                                backend=backend.name, **kind)
                for kind in (dict(), dict(band_kind="scaled"))]
    assert same_bits(*pairwise)
    barycenters = [orvane.barycenter(signals, length=11, gamma=GAMMA, band=2, max_iter=2,
                                     backend=backend.name, **kind)[0]
                   for kind in (dict(), dict(band_kind="scaled"))]
    assert same_bits(*barycenters)


# The scaled band of r = 0 leaves signal 5 without a path: its +inf takes part too.
@pytest.mark.filterwarnings("ignore:band leaves signals")
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_torch_s_scaled_band_is_the_default_bit_for_bit(backend, pairs):
    options = dict(gamma=GAMMA, band=BANDS, backend=backend.name)
    runs = []
    for kind in (dict(), dict(band_kind="scaled")):
        signals, reference, _, _ = torch_inputs(pairs, backend)
        scores = otorch.soft_dtw(signals, reference, **options, **kind)
        divergences = otorch.SoftDTWLoss(divergence=True, reduction="none", **options, **kind)(
            signals, reference)
        (scores.sum() + divergences.sum()).backward()
        runs.append((scores, divergences, *gradients_of(signals, reference)))
    assert tensors_equal(runs[0], runs[1])


BAD_KINDS = ["widen", "Scaled", "", None, 1]


@pytest.mark.parametrize("band_kind", BAD_KINDS, ids=map(repr, BAD_KINDS))
def test_other_band_kinds_are_refused_before_anything_runs(band_kind):
    message = re.escape(f"band_kind must be one of 'scaled', 'widened', got: {band_kind!r}")
    signals, reference, _ = inputs(False, None)
    for band in (2, None):  # refused with a band and without one
        arguments = dict(signals=signals, reference=reference, band=band, band_kind=band_kind,
                         backend="twin")
        assert_refused_before_anything_runs(arguments, ValueError, message)
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    tensors = [torch.from_numpy(x) for x in signals], torch.from_numpy(reference)
    options = dict(band=2, band_kind=band_kind, backend="twin")
    for call in (lambda: orvane.soft_dtw_divergence(signals, reference, **options),
                 lambda: orvane.pairwise(signals, **options),
                 lambda: orvane.barycenter(signals, **options),
                 lambda: otorch.soft_dtw(*tensors, **options),
                 lambda: otorch.soft_dtw_divergence(*tensors, **options),
                 lambda: otorch.SoftDTWLoss(**options)):
        with pytest.raises(ValueError, match=message):
            call()
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


def test_the_vectorised_module_refuses_other_band_kinds_before_writing():
    x, y = np.ones((8, 1)), np.zeros((4, 1))
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    out = np.full(8 * 4, 7.0)
    band = np.array([1, 1], np.int32)
    common = dict(cost="sqeuclidean", band_ptr=band.ctypes.data, band_kind="widen")
    calls = [
        lambda: orvane_cpu.calc_softdtw_scores_float64(
            x.ctypes.data, [4, 4], y.ctypes.data, 4, out.ctypes.data, GAMMA, **common),
        lambda: orvane_cpu.calc_softdtw_pair_gradients_mixed(
            x32.ctypes.data, [4, 4], y32.ctypes.data, [2, 2],
            out.ctypes.data, out.ctypes.data, 0, out.ctypes.data, GAMMA, **common),
        lambda: orvane_cpu.calc_distance_float64(x.ctypes.data, [4, 4], y.ctypes.data, 4,
                                                 out.ctypes.data, **common)]
    for call in calls:
        with pytest.raises(ValueError, match="band_kind must be 'scaled' or 'widened', got: "
                                             "'widen'"):
            call()
    assert np.all(out == 7.0)
