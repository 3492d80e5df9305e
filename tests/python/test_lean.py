"""orvane_cpu's scores without matrices: every cost formed from the samples inside the forward
sweep. The scores equal the distance and forward passes' of the same path bit for bit, on
every vector tail and both instruction sets, and the package uses them for scores on the CPU,
where a memory budget no longer limits a signal's length."""

import numpy as np
import pytest

import orvane
import orvane_cpu
from conftest import vectorised_threads

# Data type, score type and the suffixes of each path's distance and Soft-DTW functions.
PATHS = {"float32": (np.float32, np.float32, "", ""),
         "mixed": (np.float32, np.float64, "", "_mixed"),
         "float64": (np.float64, np.float64, "_float64", "_float64")}
ENDS = [dict(), dict(local_end=True, ref_gap_penalty=0.1), dict(local_end=True, last_row_only=True)]


def both_ways(path, lengths, ref_length, seed, **options):
    """(distance + forward scores, scores alone) of one random batch."""
    data, score, suffix, pass_suffix = PATHS[path]
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(sum(lengths)).astype(data)
    y = rng.standard_normal(ref_length).astype(data)
    alpha = rng.uniform(-0.3, 0.3, len(lengths)).astype(data)
    cells = sum(lengths) * ref_length
    distance, matrix = np.empty(cells, data), np.empty(cells, score)
    stored, alone = np.empty(len(lengths), score), np.full(len(lengths), np.nan, score)
    getattr(orvane_cpu, "calc_manhattan_distance" + suffix)(
        x.ctypes.data, lengths, y.ctypes.data, ref_length, distance.ctypes.data)
    getattr(orvane_cpu, "calc_softdtw_forward" + pass_suffix)(
        lengths, ref_length, distance.ctypes.data, matrix.ctypes.data, stored.ctypes.data, 0.3,
        alpha.ctypes.data, **options)
    getattr(orvane_cpu, "calc_softdtw_scores" + pass_suffix)(
        x.ctypes.data, lengths, y.ctypes.data, ref_length, alone.ctypes.data, 0.3,
        alpha.ctypes.data, **options)
    return stored, alone


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=["global", "free", "last-row"])
def test_scores_alone_equal_the_distance_and_forward_passes(instruction_set, path, options):
    for ref_length in (1, 2, 7, 9, 17, 40):
        stored, alone = both_ways(path, [1, 2, 5, 8, 9, 16, 17, 33], ref_length, ref_length,
                                  **options)
        assert alone.tobytes() == stored.tobytes(), ref_length


def scores_of(path, signals, reference, alpha, bands, options, cost):
    score, pass_suffix = PATHS[path][1], PATHS[path][3]
    lengths = [len(signal) for signal in signals]
    found = np.full(len(signals), np.nan, score)
    flat = np.concatenate(signals)
    getattr(orvane_cpu, "calc_softdtw_scores" + pass_suffix)(
        flat.ctypes.data, lengths, reference.ctypes.data, len(reference),
        found.ctypes.data, 0.6, alpha.ctypes.data, channels=reference.shape[1], cost=cost,
        band_ptr=0 if bands is None else bands.ctypes.data, **options)
    return found


def short_signals(data, channels, fifties, seed):
    """(rng, signals, alpha): short signals of a few lengths, apart in the batch, `fifties`
    more of 50 samples, left-overs, a NaN and an inf sample."""
    rng = np.random.default_rng(seed)
    lengths = [30, 50] * 9 + [1] * 8 + [50] * fifties + [3, 64, 64]
    signals = [rng.standard_normal((n, channels)).astype(data) for n in lengths]
    signals[1][4, 0], signals[2][7, 0] = np.nan, np.inf
    return rng, signals, rng.uniform(-0.3, 0.3, len(lengths)).astype(data)


def references_and_bands(rng, signals):
    """(reference, bands) pairs: references of 1, 9 and 40 samples without a band, then of 40
    with band widths 1 and 3 shared among signals of one length."""
    channels, data = signals[0].shape[1], signals[0].dtype
    two_widths = np.where(np.arange(len(signals)) % 3 == 0, 1, 3).astype(np.int32)
    for ref_length, bands in [(1, None), (9, None), (40, None), (40, two_widths)]:
        yield rng.standard_normal((ref_length, channels)).astype(data), bands


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=["global", "free", "last-row"])
@pytest.mark.parametrize("channels, cost", [(1, "abs"), (3, "sqeuclidean")])
def test_signals_side_by_side_score_as_they_do_alone(instruction_set, path, options, channels,
                                                     cost):
    # Many short signals of one length (and band) run a vector's lanes of them at a time, one
    # signal a lane; the rest, and a batch of one, run alone: the same bits, on every thread
    # count (on one thread the batch forms groups whatever the machine's cores).
    rng, signals, alpha = short_signals(PATHS[path][0], channels, 24, seed=channels)
    for reference, bands in references_and_bands(rng, signals):
        together = scores_of(path, signals, reference, alpha, bands, options, cost)
        alone = np.concatenate([
            scores_of(path, [signal], reference, alpha[k:k + 1],
                      None if bands is None else bands[k:k + 1], options, cost)
            for k, signal in enumerate(signals)])
        assert together.tobytes() == alone.tobytes(), len(reference)
        with vectorised_threads(1):
            one_thread = scores_of(path, signals, reference, alpha, bands, options, cost)
        assert one_thread.tobytes() == together.tobytes(), len(reference)


def lean_gradients(path, signals, reference, alpha, weights, bands, options, cost):
    """Scores, R, dx and dy of calc_softdtw_gradients over a batch."""
    score, pass_suffix = PATHS[path][1], PATHS[path][3]
    lengths = [len(signal) for signal in signals]
    flat = np.concatenate(signals)
    m = len(reference)
    scores = np.full(len(signals), np.nan, score)
    matrix = np.full(sum(lengths) * m, np.nan, score)
    dx, dy = np.zeros_like(flat), np.zeros_like(reference)
    getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)(
        flat.ctypes.data, lengths, reference.ctypes.data, m, matrix.ctypes.data,
        scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, 0.6, alpha.ctypes.data,
        weights.ctypes.data, channels=reference.shape[1], cost=cost,
        band_ptr=0 if bands is None else bands.ctypes.data, **options)
    return scores, matrix, dx, dy


def lean_bytes(path, signal, reference, alpha, weight, band, options, cost):
    """Scores alone, then the scores, R, dx and dy of the gradients without matrices, of one
    signal, as bytes."""
    alone = scores_of(path, [signal], reference, alpha, band, options, cost)
    gradients = lean_gradients(path, [signal], reference, alpha, weight, band, options, cost)
    return b"".join(part.tobytes() for part in (alone, *gradients))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=["global", "free", "last-row"])
@pytest.mark.parametrize("channels, cost", [(1, "abs"), (2, "sqeuclidean")])
def test_tiles_score_and_add_gradients_as_one_sweep(instruction_set, path, options, channels,
                                                    cost):
    # Scores alone and gradients without matrices over a matrix cut into tiles of columns
    # (tall matrices) or rows (wide ones): each tile keeps the final scores of its own cells
    # and adds into the gradient of a line it shares only once the tile after it has added
    # all of its cells of that line, so scores, R, dx and dy are bit for bit those of one
    # sweep; with a band too, on one thread and on two.
    data = PATHS[path][0]
    rng = np.random.default_rng(channels)
    signals = [rng.standard_normal((n, channels)).astype(data) for n in (70, 1, 9, 45)]
    reference = rng.standard_normal((37, channels)).astype(data)
    alpha = rng.uniform(-0.3, 0.3, 1).astype(data)
    weight = rng.uniform(0.5, 2.0, 1).astype(data)
    for band in (None, np.int32([3])):
        def each_signal():
            return [lean_bytes(path, signal, reference, alpha, weight, band, options, cost)
                    for signal in signals]
        whole = each_signal()
        for threads, tiles in [(0, 2), (1, 3), (0, 37), (2, 5)]:
            with vectorised_threads(threads, tiles):
                assert each_signal() == whole, (threads, tiles, band)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=["global", "free", "last-row"])
@pytest.mark.parametrize("channels, cost", [(1, "abs"), (3, "sqeuclidean")])
def test_signals_side_by_side_add_the_gradients_they_add_alone(instruction_set, path, options,
                                                               channels, cost):
    # Short signals of one length and band run a vector's lanes of them at a time in the
    # gradients without matrices: scores and each signal's sample gradients are bit for bit
    # those of the signal alone, and the reference gradient is the signals' own added in
    # signal order, whatever the grouping and the threads. The signals side by side keep their
    # R interleaved in their part of the score matrix: it holds the values of theirs alone, no
    # more and no fewer (cells outside a band keep what the caller put there). A band that
    # leaves a signal (with an infinite sample) without a path gives it no gradient, beside
    # others that have one.
    rng, signals, alpha = short_signals(PATHS[path][0], channels, 16, seed=channels + 10)
    signals[5][0, 0] = np.inf
    weights = rng.uniform(0.5, 2.0, len(signals)).astype(alpha.dtype)
    bounds = np.cumsum([0] + [len(signal) for signal in signals])
    for reference, bands in references_and_bands(rng, signals):
        together = lean_gradients(path, signals, reference, alpha, weights, bands, options, cost)
        alone = [lean_gradients(path, [signal], reference, alpha[k:k + 1], weights[k:k + 1],
                                None if bands is None else bands[k:k + 1], options, cost)
                 for k, signal in enumerate(signals)]
        summed = np.zeros_like(reference)
        for own in alone:
            summed += own[3]
        assert together[0].tobytes() == np.concatenate([own[0] for own in alone]).tobytes()
        assert same_values(together[1], np.concatenate([own[1] for own in alone]))
        for k, own in enumerate(alone):
            assert together[2][bounds[k]:bounds[k + 1]].tobytes() == own[2].tobytes(), k
        # Exactly equal; a NaN's sign depends on which operand of an addition the compiler
        # puts first.
        np.testing.assert_array_equal(together[3], summed)
        with vectorised_threads(1):
            one_thread = lean_gradients(path, signals, reference, alpha, weights, bands, options,
                                        cost)
        assert all(one_thread[k].tobytes() == together[k].tobytes() for k in (0, 2, 3))
        assert same_values(one_thread[1], together[1])


def same_values(matrix, expected):
    """Whether two score matrices hold the same values, bit for bit, in any order."""
    as_bits = np.uint32 if matrix.dtype == np.float32 else np.uint64
    return np.array_equal(np.sort(matrix.view(as_bits)), np.sort(expected.view(as_bits)))


def test_raw_scores_refuse_as_the_forward_pass_does():
    scores = np.full(1, 7.0, np.float32)
    with pytest.raises(ValueError, match="gamma must be a finite, normal float32"):
        orvane_cpu.calc_softdtw_scores(0, [3], 0, 2, scores.ctypes.data, 0.0)
    with pytest.raises(ValueError, match=r"input_signal_lengths\[0\] must be positive"):
        orvane_cpu.calc_softdtw_scores(0, [0], 0, 2, scores.ctypes.data, 1.0)
    assert scores[0] == 7.0


@pytest.mark.parametrize("path", PATHS)
def test_scores_and_gradients_refuse_a_missing_buffer(path):
    # Every buffer they read or write, given as 0, is refused by name before anything is
    # written (alpha, weights and the sample gradients may be 0: none, or not wanted).
    data, score, _, pass_suffix = PATHS[path]
    x, y = np.ones(4, data), np.zeros(3, data)
    matrix, scores = np.full(12, 7.0, score), np.full(1, 7.0, score)
    dx, dy = np.full(4, 7.0, data), np.full(3, 7.0, data)
    scores_call = getattr(orvane_cpu, "calc_softdtw_scores" + pass_suffix)
    gradients_call = getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)
    given = dict(input_signal_ptr=x.ctypes.data, ref_signal_ptr=y.ctypes.data,
                 scores_ptr=scores.ctypes.data)
    for name in given:
        with pytest.raises(ValueError, match=f"calc_softdtw_scores: {name} must not be 0"):
            scores_call(**{**given, name: 0}, input_signal_lengths=[4], ref_signal_length=3,
                        gamma=1.0)
    given.update(score_matrix_ptr=matrix.ctypes.data, input_gradients_ptr=dx.ctypes.data,
                 ref_gradients_ptr=dy.ctypes.data)
    for name in ("input_signal_ptr", "ref_signal_ptr", "score_matrix_ptr", "scores_ptr",
                 "ref_gradients_ptr"):
        with pytest.raises(ValueError, match=f"calc_softdtw_gradients: {name} must not be 0"):
            gradients_call(**{**given, name: 0}, input_signal_lengths=[4], ref_signal_length=3,
                           gamma=1.0)
    assert all(np.all(a == 7.0) for a in (matrix, scores, dx, dy))
    gradients_call(**{**given, "input_gradients_ptr": 0}, input_signal_lengths=[4],
                   ref_signal_length=3, gamma=1.0)
    assert np.all(dx == 7.0) and np.isfinite(scores[0]) and scores[0] != 7.0


def test_package_scores_need_no_memory_for_matrices():
    rng = np.random.default_rng(4)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (300, 40)]
    reference = rng.standard_normal(200).astype(np.float32)
    whole = orvane.soft_dtw(signals, reference, end="free")
    # 1 KB holds no signal's matrices: scores need none on the CPU.
    budgeted = orvane.soft_dtw(signals, reference, end="free", memory_budget=1024)
    assert budgeted.tobytes() == whole.tobytes()
    divergence = orvane.soft_dtw_divergence(signals, reference, memory_budget=1024)
    assert divergence.tobytes() == orvane.soft_dtw_divergence(signals, reference).tobytes()
    # Nor on the twin, up to the longest reference its blocks take (2048 on the mixed path);
    # beyond it the twin's distances and scores are matrices, which 1 KB cannot hold.
    on_twin = orvane.soft_dtw(signals, reference, end="free", memory_budget=1024,
                              backend="twin")
    np.testing.assert_allclose(on_twin, whole, rtol=1e-6, atol=2e-6)
    longer = rng.standard_normal(2049).astype(np.float32)
    with pytest.raises(ValueError, match="more than memory_budget"):
        orvane.soft_dtw(signals, longer, memory_budget=1024, backend="twin")


def lean_and_four_calls(path, lengths, ref_length, seed, weighted=True, **options):
    """((scores, R, dx, dy) of calc_softdtw_gradients, the same of the four calls)."""
    data, score, suffix, pass_suffix = PATHS[path]
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(sum(lengths)).astype(data)
    y = rng.standard_normal(ref_length).astype(data)
    alpha = rng.uniform(-0.3, 0.3, len(lengths)).astype(data)
    weights = rng.uniform(-1.0, 2.0, len(lengths)).astype(data)
    cells = sum(lengths) * ref_length
    results = []
    for lean in (True, False):
        matrix, scores = np.empty(cells, score), np.empty(len(lengths), score)
        dx, dy = np.zeros_like(x), np.zeros_like(y)
        if lean:
            getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)(
                x.ctypes.data, lengths, y.ctypes.data, ref_length, matrix.ctypes.data,
                scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, 0.3, alpha.ctypes.data,
                weights.ctypes.data if weighted else 0, **options)
        else:
            distance, gradient = np.empty(cells, data), np.empty(cells, data)
            getattr(orvane_cpu, "calc_manhattan_distance" + suffix)(
                x.ctypes.data, lengths, y.ctypes.data, ref_length, distance.ctypes.data)
            getattr(orvane_cpu, "calc_softdtw_forward" + pass_suffix)(
                lengths, ref_length, distance.ctypes.data, matrix.ctypes.data,
                scores.ctypes.data, 0.3, alpha.ctypes.data, **options)
            getattr(orvane_cpu, "calc_softdtw_backward" + pass_suffix)(
                lengths, ref_length, distance.ctypes.data, matrix.ctypes.data,
                gradient.ctypes.data, 0.3, alpha.ctypes.data, scores_ptr=scores.ctypes.data,
                **options)
            if weighted:
                gradient *= np.repeat(weights, np.asarray(lengths) * ref_length)
            getattr(orvane_cpu, "calc_manhattan_distance_gradient" + suffix)(
                x.ctypes.data, lengths, y.ctypes.data, ref_length, gradient.ctypes.data,
                dx.ctypes.data, dy.ctypes.data)
        results.append((scores, matrix, dx, dy))
    return results


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=["global", "free", "last-row"])
def test_gradients_without_matrices_equal_the_four_calls(instruction_set, path, options):
    # Scores and R bit for bit; the gradients add the same terms in another order.
    tolerance = 1e-12 if path == "float64" else 2e-6
    for ref_length in (1, 5, 17, 40):
        lean, four = lean_and_four_calls(path, [1, 2, 9, 16, 33], ref_length, ref_length,
                                         **options)
        assert lean[0].tobytes() == four[0].tobytes() and lean[1].tobytes() == four[1].tobytes()
        for got, want in zip(lean[2:], four[2:]):
            np.testing.assert_allclose(got, want, rtol=0,
                                       atol=tolerance * max(1.0, np.max(np.abs(want))))


def test_gradients_without_matrices_do_not_depend_on_threads():
    runs = []
    for threads in (0, 1, 0):
        orvane_cpu.set_num_threads(threads)
        try:
            lean, _ = lean_and_four_calls("mixed", list(range(1, 81)), 23, 7,
                                          local_end=True, ref_gap_penalty=0.1)
        finally:
            orvane_cpu.set_num_threads(0)
        runs.append(b"".join(part.tobytes() for part in lean))
    assert runs[0] == runs[1] == runs[2]


@pytest.mark.parametrize("band", [None, 90])
def test_a_long_signal_shared_among_threads_gives_the_same_gradients(band):
    # One signal long enough for the threads to share its diagonals, with checkpoints too.
    rng = np.random.default_rng(12)
    signal = rng.standard_normal((1500, 2)).astype(np.float32)
    reference = rng.standard_normal((700, 2)).astype(np.float32)
    runs = []
    for threads in (0, 1):
        orvane_cpu.set_num_threads(threads)
        try:
            for budget in (None, 2**20):
                found = orvane.soft_dtw_with_grad([signal], reference, cost="sqeuclidean",
                                                  band=band, precision="float32",
                                                  memory_budget=budget)
                runs.append(found[0].tobytes() + found[1][0].tobytes() + found[2].tobytes())
        finally:
            orvane_cpu.set_num_threads(0)
    assert runs[0] == runs[1] == runs[2] == runs[3]


@pytest.mark.parametrize("path", PATHS)
def test_the_reference_gradient_alone_is_the_same_without_the_samples(path):
    # input_gradients_ptr = 0: no sample gradient is formed, and the reference's is the same.
    data, score, _, pass_suffix = PATHS[path]
    rng = np.random.default_rng(14)
    lengths = [30, 7, 52]
    x = rng.standard_normal((sum(lengths), 2)).astype(data)
    y = rng.standard_normal((25, 2)).astype(data)
    found = []
    for with_samples in (True, False):
        matrix, scores = np.empty(sum(lengths) * 25, score), np.empty(3, score)
        dx, dy = np.zeros_like(x), np.zeros_like(y)
        getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)(
            x.ctypes.data, lengths, y.ctypes.data, 25, matrix.ctypes.data, scores.ctypes.data,
            dx.ctypes.data if with_samples else 0, dy.ctypes.data, 0.5, channels=2,
            cost="sqeuclidean")
        found.append((scores.tobytes(), dy.tobytes(), dx.any()))
    assert found[0][:2] == found[1][:2] and found[0][2] and not found[1][2]


def test_package_gradients_keep_only_the_score_matrices():
    rng = np.random.default_rng(6)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (60, 20)]
    reference = rng.standard_normal(30).astype(np.float32)
    # 60 x 30 cells of 8-byte scores fit 14,400 bytes: no distance or gradient matrix.
    budgeted = orvane.soft_dtw_with_grad(signals, reference, memory_budget=14400)
    whole = orvane.soft_dtw_with_grad(signals, reference)
    assert budgeted[0].tobytes() == whole[0].tobytes()
    # One byte less, and signal 0 runs alone, keeping checkpoints of its score matrix.
    assert orvane_cpu.gradient_checkpoint_cells(60, 30) * 8 < 14399
    checkpointed = orvane.soft_dtw_with_grad(signals, reference, memory_budget=14399)
    for got, want in zip((checkpointed[0], *checkpointed[1]), (whole[0], *whole[1])):
        assert got.tobytes() == want.tobytes()


def checkpointed_and_stored(path, length, ref_length, seed, **options):
    """((scores, dx, dy) with checkpoints of R in as few cells as they need, the same with R
    stored) of one signal."""
    data, score, _, pass_suffix = PATHS[path]
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(length).astype(data)
    y = rng.standard_normal(ref_length).astype(data)
    alpha = rng.uniform(-0.3, 0.3, 1).astype(data)
    weights = rng.uniform(0.5, 2.0, 1).astype(data)
    checkpoint_cells = orvane_cpu.gradient_checkpoint_cells(length, ref_length)
    results = []
    for cells in (checkpoint_cells, length * ref_length):
        matrix = np.full(cells, np.nan, score)
        scores, dx, dy = np.empty(1, score), np.zeros_like(x), np.zeros_like(y)
        getattr(orvane_cpu, "calc_softdtw_gradients" + pass_suffix)(
            x.ctypes.data, [length], y.ctypes.data, ref_length, matrix.ctypes.data,
            scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, 0.3, alpha.ctypes.data,
            weights.ctypes.data, score_matrix_cells=cells, **options)
        results.append((scores, dx, dy))
    return results


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=["global", "free", "last-row"])
def test_gradients_from_checkpoints_equal_those_from_the_whole_score_matrix(
        instruction_set, path, options):
    # Every segment's R is computed again with the same float steps, from the same values.
    for length, ref_length in [(60, 5), (5, 60), (300, 17), (17, 300), (33, 33), (97, 41)]:
        assert orvane_cpu.gradient_checkpoint_cells(length, ref_length) < length * ref_length
        checkpointed, stored = checkpointed_and_stored(path, length, ref_length, length,
                                                       **options)
        for got, want in zip(checkpointed, stored):
            assert got.tobytes() == want.tobytes(), (length, ref_length)


def test_checkpoints_need_a_score_matrix_of_at_least_their_cells_and_one_signal():
    x, y = np.zeros(200, np.float32), np.zeros(50, np.float32)
    needed = orvane_cpu.gradient_checkpoint_cells(200, 50)
    matrix = np.zeros(needed, np.float32)
    scores, dx, dy = np.zeros(2, np.float32), np.zeros(200, np.float32), np.zeros(50, np.float32)

    def call(lengths, cells):
        orvane_cpu.calc_softdtw_gradients(
            x.ctypes.data, lengths, y.ctypes.data, 50, matrix.ctypes.data, scores.ctypes.data,
            dx.ctypes.data, dy.ctypes.data, 1.0, score_matrix_cells=cells)

    with pytest.raises(ValueError, match=f"fewer than the signal's checkpoints need: {needed}"):
        call([200], needed - 1)
    with pytest.raises(ValueError, match="only a batch of one signal keeps checkpoints"):
        call([100, 100], needed)
    with pytest.raises(ValueError, match="score_matrix_cells must be 0 or more"):
        call([200], -1)
    assert not scores.any() and not dx.any() and not dy.any()
    with pytest.raises(ValueError, match="ref_signal_length must be positive"):
        orvane_cpu.gradient_checkpoint_cells(5, 0)


@pytest.mark.parametrize("precision, score_bytes", [(None, 8), ("float32", 4), ("float64", 8)])
def test_package_keeps_checkpoints_of_a_signal_beyond_the_budget(precision, score_bytes):
    rng = np.random.default_rng(9)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (30, 900, 50, 60)]
    reference = rng.standard_normal(70).astype(np.float32)
    whole = orvane.soft_dtw_with_grad(signals, reference, end="free", precision=precision)
    needed = orvane_cpu.gradient_checkpoint_cells(900, 70) * score_bytes
    # Room for the short signals' score matrices together, not for the long one's.
    budget = max(needed, 140 * 70 * score_bytes)
    assert budget < 900 * 70 * score_bytes
    budgeted = orvane.soft_dtw_with_grad(signals, reference, end="free", precision=precision,
                                         memory_budget=budget)
    assert budgeted[0].tobytes() == whole[0].tobytes()
    for got, want in zip(budgeted[1], whole[1]):
        assert got.tobytes() == want.tobytes()
    np.testing.assert_allclose(budgeted[2], whole[2], rtol=1e-6, atol=1e-6)
    with pytest.raises(ValueError, match=f"memory_budget \\({needed - 1}\\) is too small for "
                                         f"signal 1: its gradients need at least {needed} bytes"):
        orvane.soft_dtw_with_grad(signals, reference, precision=precision,
                                  memory_budget=needed - 1)


def test_workspaces_are_kept_between_calls_within_the_budget_and_released():
    from orvane._core import WORKSPACES
    rng = np.random.default_rng(8)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (50, 70)]
    reference = rng.standard_normal(40).astype(np.float32)
    orvane.release_memory()
    assert WORKSPACES.held_bytes() == 0
    first = orvane.soft_dtw_with_grad(signals, reference)
    kept = WORKSPACES.held_bytes()
    assert kept == 8 * 120 * 40  # the mixed path's float64 score matrices
    again = orvane.soft_dtw_with_grad(signals, reference)
    assert WORKSPACES.held_bytes() == kept
    for got, want in zip((again[0], *again[1], again[2]), (first[0], *first[1], first[2])):
        assert got.tobytes() == want.tobytes()
    # A call with a budget keeps no more than it, whatever earlier calls kept.
    orvane.soft_alignment(signals, reference)
    orvane.soft_dtw_with_grad(signals, reference, memory_budget=8 * 70 * 40)
    assert WORKSPACES.held_bytes() <= 8 * 70 * 40
    orvane.release_memory()
    assert WORKSPACES.held_bytes() == 0
