"""orvane_cpu's costs beyond the kernels' 1-D |x - y|: signals of several channels, the squared
cost, and a Sakoe-Chiba band, in the distance pass, its gradient, and the passes that form
costs from the samples (scores alone and gradients without matrices), against float64
references written from the definitions."""

import numpy as np
import pytest

import orvane_cpu
import softdtw_reference as ref

PATHS = {"float32": (np.float32, np.float32, "", ""),
         "mixed": (np.float32, np.float64, "", "_mixed"),
         "float64": (np.float64, np.float64, "_float64", "_float64")}
TOLERANCE = {"float32": 2e-4, "mixed": 2e-5, "float64": 1e-11}


def reference_costs(x, y, cost):
    """N x M costs of (N, d) and (M, d) samples, channel by channel in order, in x's type."""
    total = None
    for c in range(x.shape[1]):
        difference = x[:, c, None] - y[None, :, c]
        own = np.abs(difference) if cost == "abs" else difference * difference
        total = own if total is None else total + own
    return total


def in_band(rows, cols, half_width):
    """The cells a Sakoe-Chiba band keeps, from its definition."""
    i, j = np.indices((rows, cols))
    return np.abs(i * (cols - 1) - j * (rows - 1)) <= half_width * max(rows - 1, cols - 1)


def cost_derivatives(x, y, cost):
    """d cost(i, j) / d x[i, c]: (N, M, d)."""
    difference = x[:, None, :].astype(np.float64) - y[None, :, :]
    return np.sign(difference) if cost == "abs" else 2 * difference


def reference_results(x, y, cost, band, gamma, **end):
    """(score, dx, dy) of one signal in float64."""
    costs = reference_costs(x.astype(np.float64), y.astype(np.float64), cost)
    if band is not None:
        costs = np.where(in_band(len(x), len(y), band), costs, np.inf)
    score = ref.score_of_distance(costs, gamma, **end)
    if not np.isfinite(score):
        return score, np.zeros(x.shape), np.zeros(y.shape)
    expected = ref.backward(costs, gamma, **end)
    derivatives = cost_derivatives(x, y, cost)
    return (score, np.einsum("ij,ijc->ic", expected, derivatives),
            -np.einsum("ij,ijc->jc", expected, derivatives))


def batch(lengths, ref_length, channels, data, seed):
    rng = np.random.default_rng(seed)
    signals = [rng.standard_normal((n, channels)).astype(data) for n in lengths]
    return signals, rng.standard_normal((ref_length, channels)).astype(data)


def lean_call(path, signals, reference, cost, bands, gamma=0.7, cells=0, **options):
    """(scores, [dx_k], dy) of calc_softdtw_gradients for the batch."""
    data, score, _, pass_suffix = PATHS[path]
    lengths = [len(s) for s in signals]
    channels = reference.shape[1]
    flat = np.concatenate(signals)
    matrix = np.empty(cells or sum(lengths) * len(reference), score)
    scores, dx, dy = np.empty(len(lengths), score), np.zeros_like(flat), np.zeros_like(reference)
    band = None if bands is None else np.asarray(bands, np.int32)
    getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)(
        flat.ctypes.data, lengths, reference.ctypes.data, len(reference), matrix.ctypes.data,
        scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, gamma,
        score_matrix_cells=cells, channels=channels, cost=cost,
        band_ptr=0 if band is None else band.ctypes.data, **options)
    return scores, np.split(dx, np.cumsum(lengths)[:-1]), dy


def scores_alone(path, signals, reference, cost, bands, gamma=0.7, **options):
    _, score, _, pass_suffix = PATHS[path]
    flat = np.concatenate(signals)
    scores = np.empty(len(signals), score)
    band = None if bands is None else np.asarray(bands, np.int32)
    getattr(orvane_cpu, "calc_softdtw_scores" + pass_suffix)(
        flat.ctypes.data, [len(s) for s in signals], reference.ctypes.data, len(reference),
        scores.ctypes.data, gamma, channels=reference.shape[1], cost=cost,
        band_ptr=0 if band is None else band.ctypes.data, **options)
    return scores


ENDS = [dict(), dict(local_end=True, ref_gap_penalty=0.05), dict(local_end=True,
                                                                  last_row_only=True)]
CASES = [("abs", 1, None), ("sqeuclidean", 1, None), ("abs", 3, None), ("sqeuclidean", 4, None),
         ("abs", 1, [2, 3, 1]), ("sqeuclidean", 2, [4, 0, 2])]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ENDS, ids=["global", "free", "last-row"])
@pytest.mark.parametrize("cost, channels, bands", CASES,
                         ids=["abs", "sq", "abs-3", "sq-4", "abs-band", "sq-2-band"])
def test_scores_and_gradients_match_the_float64_definition(instruction_set, path, end, cost,
                                                           channels, bands):
    data = PATHS[path][0]
    signals, reference = batch([13, 20, 9], 17, channels, data, seed=channels)
    scores, dx, dy = lean_call(path, signals, reference, cost, bands, **end)
    wanted_dy = np.zeros(reference.shape)
    for k, signal in enumerate(signals):
        score, own_dx, own_dy = reference_results(
            signal, reference, cost, None if bands is None else bands[k], 0.7,
            local_end=end.get("local_end", False), last_row_only=end.get("last_row_only", False),
            gap=end.get("ref_gap_penalty", 0.0))
        scale = max(1.0, abs(score)) if np.isfinite(score) else 1.0
        assert scores[k] == pytest.approx(score, rel=TOLERANCE[path], abs=TOLERANCE[path])
        np.testing.assert_allclose(dx[k], own_dx, atol=TOLERANCE[path] * scale * 10, rtol=0)
        wanted_dy += own_dy
    np.testing.assert_allclose(dy, wanted_dy, atol=TOLERANCE[path] * 100, rtol=0)
    # Scores alone form the same costs in the same sweep.
    assert scores_alone(path, signals, reference, cost, bands, **end).tobytes() == \
        scores.tobytes()


@pytest.mark.parametrize("path", PATHS)
def test_banded_and_multichannel_costs_equal_the_distance_and_forward_passes(path):
    data, score, suffix, pass_suffix = PATHS[path]
    signals, reference = batch([11, 30, 4], 23, 3, data, seed=5)
    lengths = [len(s) for s in signals]
    bands = np.array([1, 4, 0], np.int32)
    flat = np.concatenate(signals)
    cells = sum(lengths) * len(reference)
    distance, matrix = np.empty(cells, data), np.empty(cells, score)
    stored = np.empty(3, score)
    getattr(orvane_cpu, "calc_distance" + suffix)(
        flat.ctypes.data, lengths, reference.ctypes.data, len(reference), distance.ctypes.data,
        channels=3, cost="sqeuclidean", band_ptr=bands.ctypes.data)
    square = np.empty(cells, data)
    getattr(orvane_cpu, "convert_antidiag_to_square" + suffix)(
        lengths, len(reference), distance.ctypes.data, square.ctypes.data)
    offset = 0
    for k, signal in enumerate(signals):
        own = square[offset:offset + len(signal) * 23].reshape(len(signal), 23)
        wanted = np.where(in_band(len(signal), 23, bands[k]),
                          reference_costs(signal, reference, "sqeuclidean"), np.inf)
        assert own.tobytes() == wanted.astype(data).tobytes()
        offset += own.size
    getattr(orvane_cpu, "calc_softdtw_forward" + pass_suffix)(
        lengths, 23, distance.ctypes.data, matrix.ctypes.data, stored.ctypes.data, 0.7,
        local_end=True)
    alone = scores_alone(path, signals, reference, "sqeuclidean", bands, local_end=True)
    assert alone.tobytes() == stored.tobytes()


@pytest.mark.parametrize("path", ["float32", "float64"])
def test_distance_gradient_of_several_channels_matches_the_definition(path):
    data, _, suffix, _ = PATHS[path]
    signals, reference = batch([7, 12], 9, 4, data, seed=3)
    lengths = [7, 12]
    rng = np.random.default_rng(4)
    flat = np.concatenate(signals)
    for cost in ("abs", "sqeuclidean"):
        weights = [rng.uniform(0, 1, (n, 9)) for n in lengths]
        antidiag = np.empty(sum(lengths) * 9, data)
        square = np.concatenate([w.ravel() for w in weights]).astype(data)
        getattr(orvane_cpu, "convert_square_to_antidiag" + suffix)(
            lengths, 9, square.ctypes.data, antidiag.ctypes.data)
        dx, dy = np.zeros_like(flat), np.zeros_like(reference)
        getattr(orvane_cpu, "calc_distance_gradient" + suffix)(
            flat.ctypes.data, lengths, reference.ctypes.data, 9, antidiag.ctypes.data,
            dx.ctypes.data, dy.ctypes.data, channels=4, cost=cost)
        wanted_dx = [np.einsum("ij,ijc->ic", w.astype(data), cost_derivatives(s, reference, cost))
                     for w, s in zip(weights, signals)]
        wanted_dy = -sum(np.einsum("ij,ijc->jc", w.astype(data), cost_derivatives(s, reference,
                                                                                   cost))
                         for w, s in zip(weights, signals))
        tolerance = 1e-5 if path == "float32" else 1e-12
        np.testing.assert_allclose(dx, np.concatenate(wanted_dx), atol=tolerance, rtol=tolerance)
        np.testing.assert_allclose(dy, wanted_dy, atol=tolerance * 10, rtol=tolerance)


@pytest.mark.parametrize("path", PATHS)
def test_a_band_too_narrow_for_any_path_scores_infinity_without_gradient(path):
    data = PATHS[path][0]
    # r = 0 keeps only the cells on the line from (0, 0) to (4, 7): not a connected path.
    signals, reference = batch([5, 8], 8, 1, data, seed=2)
    scores, dx, dy = lean_call(path, signals, reference, "abs", [0, 0])
    assert scores[0] == np.inf and not dx[0].any()
    assert np.isfinite(scores[1]) and dx[1].any()
    wanted = reference_results(signals[1], reference, "abs", 0, 0.7)
    np.testing.assert_allclose(dy, wanted[2], atol=TOLERANCE[path] * 100)


@pytest.mark.parametrize("path", PATHS)
def test_checkpoints_of_a_banded_multichannel_signal_give_the_same_results(path):
    signals, reference = batch([300], 40, 2, PATHS[path][0], seed=8)
    cells = orvane_cpu.gradient_checkpoint_cells(300, 40)
    whole = lean_call(path, signals, reference, "sqeuclidean", [30], local_end=True)
    checkpointed = lean_call(path, signals, reference, "sqeuclidean", [30], cells=cells,
                             local_end=True)
    for got, want in zip((checkpointed[0], *checkpointed[1], checkpointed[2]),
                         (whole[0], *whole[1], whole[2])):
        assert got.tobytes() == want.tobytes()


def test_multichannel_gradients_do_not_depend_on_threads():
    signals, reference = batch(list(range(1, 60)), 21, 3, np.float32, seed=6)
    runs = []
    for threads in (0, 1):
        orvane_cpu.set_num_threads(threads)
        try:
            scores, dx, dy = lean_call("mixed", signals, reference, "sqeuclidean",
                                       list(range(59)))
        finally:
            orvane_cpu.set_num_threads(0)
        runs.append(scores.tobytes() + b"".join(d.tobytes() for d in dx) + dy.tobytes())
    assert runs[0] == runs[1]


def test_bad_channels_costs_and_bands_are_refused_before_anything_is_written():
    x, y = np.zeros(8, np.float32), np.zeros(4, np.float32)
    scores = np.full(2, 7.0, np.float32)

    def call(**options):
        orvane_cpu.calc_softdtw_scores(x.ctypes.data, [2, 2], y.ctypes.data, 2,
                                       scores.ctypes.data, 1.0, **options)

    with pytest.raises(ValueError, match="cost must be 'abs' or 'sqeuclidean', got: 'euclid'"):
        call(cost="euclid")
    with pytest.raises(ValueError, match="channels must be 1 or more, got: 0"):
        call(channels=0)
    band = np.array([1, -2], np.int32)
    with pytest.raises(ValueError, match=r"band\[1\] must be 0 or more, got: -2"):
        call(channels=2, band_ptr=band.ctypes.data)
    assert np.all(scores == 7.0)
