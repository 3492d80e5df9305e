"""orvane_cpu's scores without matrices: every cost formed from the samples inside the forward
sweep. The scores equal the distance and forward passes' of the same path bit for bit, on
every vector tail and both instruction sets, and the package uses them for scores on the CPU,
where a memory budget no longer limits a signal's length."""

import numpy as np
import pytest

import orvane
import orvane_cpu

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


def test_raw_scores_refuse_as_the_forward_pass_does():
    scores = np.full(1, 7.0, np.float32)
    with pytest.raises(ValueError, match="gamma must be a finite, normal float32"):
        orvane_cpu.calc_softdtw_scores(0, [3], 0, 2, scores.ctypes.data, 0.0)
    with pytest.raises(ValueError, match=r"input_signal_lengths\[0\] must be positive"):
        orvane_cpu.calc_softdtw_scores(0, [0], 0, 2, scores.ctypes.data, 1.0)
    assert scores[0] == 7.0


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
    with pytest.raises(ValueError, match="more than memory_budget"):
        orvane.soft_dtw(signals, reference, memory_budget=1024, backend="twin")


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


def test_package_gradients_keep_only_the_score_matrices():
    rng = np.random.default_rng(6)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (60, 20)]
    reference = rng.standard_normal(30).astype(np.float32)
    # 60 x 30 cells of 8-byte scores fit 14,400 bytes: no distance or gradient matrix.
    budgeted = orvane.soft_dtw_with_grad(signals, reference, memory_budget=14400)
    whole = orvane.soft_dtw_with_grad(signals, reference)
    assert budgeted[0].tobytes() == whole[0].tobytes()
    with pytest.raises(ValueError, match="signal 0 needs 14400 bytes"):
        orvane.soft_dtw_with_grad(signals, reference, memory_budget=14399)


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
