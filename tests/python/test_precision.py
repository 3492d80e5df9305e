"""The float64 and mixed paths: orvane_cpu's float64 operations and mixed passes and the
package's choice of them, against a reference in extended precision (np.longdouble, 64-bit
mantissa): every output on small cases, E and the gradients on one large case per end, the
types results come back in, and the arguments they refuse."""

import numpy as np
import pytest

import orvane
import orvane_cpu
import softdtw_reference as ref
import statistics_reference as stats_ref
from orvane import cpu_cuda_testing as hooks

EXTENDED = np.longdouble
ENDS = [dict(end="global"), dict(end="free", ref_gap_penalty=0.05),
        dict(end="free_last_row", ref_gap_penalty=0.2)]
END_IDS = ["global", "free", "free-last-row"]
# The cost of the references below, |x - y|, whose scales the cases are chosen for.
ABS = dict(cost="abs")


def reference_run(signals, reference, gamma, alpha, end="global", ref_gap_penalty=0.0):
    """Per signal: (score, E, dx), and dy of the whole batch, in extended precision."""
    free = dict(local_end=end != "global", last_row_only=end == "free_last_row",
                gap=ref_gap_penalty)
    results, dy = [], np.zeros(len(reference), EXTENDED)
    y = np.asarray(reference, EXTENDED)
    for k, signal in enumerate(signals):
        x = np.asarray(signal, EXTENDED)
        cost = np.abs(x[:, None] - y[None, :])
        _, total, expected = ref.by_diagonals(cost, gamma, alpha[k], dtype=EXTENDED, **free)
        sign = np.sign(x[:, None] - y[None, :])
        results.append((total, expected, (expected * sign).sum(axis=1)))
        dy -= (expected * sign).sum(axis=0)
    return results, dy


def batch_of(lengths, ref_length, scale=1.0, seed=0):
    rng = np.random.default_rng(seed)
    return ([rng.standard_normal(n) * scale for n in lengths],
            rng.standard_normal(ref_length) * scale, rng.uniform(-0.5, 0.5, len(lengths)))


# Largest error allowed against the extended reference on small cases: relative for scores,
# absolute for E, the gradients and the statistics.
TOLERANCES = {"float64": dict(score=1e-14, matrix=1e-14, gradient=1e-13, statistic=1e-12),
              "mixed": dict(score=1e-6, matrix=1e-6, gradient=1e-5, statistic=1e-5)}


@pytest.mark.parametrize("options", ENDS, ids=END_IDS)
@pytest.mark.parametrize("path", ["float64", "mixed"])
def test_every_output_matches_the_extended_reference(options, path):
    signals, reference, alpha = batch_of([1, 6, 11, 4], 9, seed=1)
    if path == "mixed":  # float32 inputs: the reference sees the same float32 values
        signals = [s.astype(np.float32) for s in signals]
        reference, alpha = reference.astype(np.float32), alpha.astype(np.float32)
    tolerance = TOLERANCES[path]
    gamma = 0.3
    expected, expected_dy = reference_run(signals, reference, gamma, alpha, **options)
    scores, dx, dy = orvane.soft_dtw_with_grad(signals, reference, gamma=gamma, alpha=alpha,
                                               **options, **ABS)
    alignment = orvane.soft_alignment(signals, reference, gamma=gamma, alpha=alpha, **options,
                                      **ABS)
    returned = np.float64 if path == "float64" else np.float32
    assert scores.dtype == dy.dtype == alignment.weighted_mean.dtype == returned
    for k, (total, matrix, gradient) in enumerate(expected):
        assert abs(scores[k] - total) <= tolerance["score"] * max(1.0, abs(total))
        np.testing.assert_allclose(alignment.matrix(k), matrix.astype(float), rtol=0,
                                   atol=tolerance["matrix"])
        np.testing.assert_allclose(dx[k], gradient.astype(float), rtol=0,
                                   atol=tolerance["gradient"])
        weights, sums = stats_ref.normalize(matrix)
        x = np.asarray(signals[k], EXTENDED)
        means = stats_ref.weighted_mean(weights, x)
        for name, want in [("column_sums", sums), ("weighted_mean", means),
                           ("log_std", stats_ref.weighted_log_std(weights, x, means)),
                           ("index_log_std", stats_ref.index_log_std(weights))]:
            np.testing.assert_allclose(getattr(alignment, name)[k], want.astype(float),
                                       rtol=0, atol=tolerance["statistic"], err_msg=name)
        np.testing.assert_allclose(alignment.weights(k), weights.astype(float), rtol=0,
                                   atol=tolerance["gradient"])
    np.testing.assert_allclose(dy, expected_dy.astype(float), rtol=0,
                               atol=tolerance["gradient"])


EDGE_LENGTHS = [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17]


@pytest.mark.parametrize("path", ["float64", "mixed"])
def test_every_vector_tail_and_partial_diagonal(instruction_set, path):
    # Every N against every M of the edge lengths: diagonals of every length up to 17 cells,
    # on the portable fallback too, where a vector holds one lane.
    tolerance = TOLERANCES[path]
    for ref_length in (1, 2, 5, 8, 9, 17):
        signals, reference, alpha = batch_of(EDGE_LENGTHS, ref_length, seed=ref_length)
        if path == "mixed":
            signals = [s.astype(np.float32) for s in signals]
            reference, alpha = reference.astype(np.float32), alpha.astype(np.float32)
        expected, expected_dy = reference_run(signals, reference, 0.4, alpha, end="free",
                                              ref_gap_penalty=0.1)
        scores, dx, dy = orvane.soft_dtw_with_grad(signals, reference, gamma=0.4, alpha=alpha,
                                                   end="free", ref_gap_penalty=0.1, **ABS)
        for k, (total, _, gradient) in enumerate(expected):
            assert abs(scores[k] - total) <= tolerance["score"] * max(1.0, abs(total))
            np.testing.assert_allclose(dx[k], gradient.astype(float), rtol=0,
                                       atol=tolerance["gradient"])
        np.testing.assert_allclose(dy, expected_dy.astype(float), rtol=0,
                                   atol=tolerance["gradient"] * len(signals))


def test_raw_distances_and_conversions_are_exact():
    signals, reference, _ = batch_of([3, 7], 5, seed=2)
    lengths = [3, 7]
    x = np.concatenate(signals)
    distance = np.empty(sum(lengths) * 5)
    orvane_cpu.calc_manhattan_distance_float64(x.ctypes.data, lengths, reference.ctypes.data, 5,
                                               distance.ctypes.data)
    square = np.concatenate([np.abs(s[:, None] - reference[None, :]).ravel() for s in signals])
    back = np.empty_like(distance)
    orvane_cpu.convert_antidiag_to_square_float64(lengths, 5, distance.ctypes.data,
                                                  back.ctypes.data)
    assert back.tobytes() == square.tobytes()
    again = np.empty_like(distance)
    orvane_cpu.convert_square_to_antidiag_float64(lengths, 5, back.ctypes.data,
                                                  again.ctypes.data)
    assert again.tobytes() == distance.tobytes()


@pytest.mark.parametrize("options", ENDS[:2], ids=END_IDS[:2])
@pytest.mark.parametrize("path, scale, bound", [("float64", 0.9, 1e-9), ("float64", 9.0, 1e-9),
                                                ("mixed", 0.9, 1e-5)],
                         ids=["float64-distance-1", "float64-distance-10", "mixed-distance-1"])
def test_a_large_matrix_at_small_gamma_stays_accurate(options, path, scale, bound):
    # N = M = 1024, gamma = 0.01, mean distance about 1 and about 10: where float32 E is off
    # by 0.45 and by 1. The mixed path takes float32 inputs, the reference their values.
    signals, reference, _ = batch_of([1024], 1024, scale=scale, seed=3)
    if path == "mixed":
        signals, reference = [signals[0].astype(np.float32)], reference.astype(np.float32)
    expected, expected_dy = reference_run(signals, reference, 0.01, [0.0], **options)
    _, matrix, gradient = expected[0]
    alignment = orvane.soft_alignment(signals, reference, gamma=0.01, **options, **ABS)
    assert np.max(np.abs(alignment.matrix(0) - matrix)) <= bound
    _, dx, dy = orvane.soft_dtw_with_grad(signals, reference, gamma=0.01, **options, **ABS)
    assert np.max(np.abs(dx[0] - gradient)) <= bound * np.max(np.abs(gradient))
    assert np.max(np.abs(dy - expected_dy)) <= bound * np.max(np.abs(expected_dy))
    if path == "mixed":
        return  # its statistics are float32 sums, held to the float32 path's tolerances
    # Statistics of the columns the alignment reaches: past a free end the column sums fall
    # below what float64 holds (1e-308), where the reference's extended range still has some.
    weights, sums = stats_ref.normalize(matrix)
    reached = sums > 1e-12
    x = np.asarray(signals[0], EXTENDED)
    means = stats_ref.weighted_mean(weights, x)
    assert np.max(np.abs(alignment.weighted_mean[0] - means)[reached]) <= \
        bound * np.max(np.abs(x))
    assert np.max(np.abs(alignment.index_log_std[0] - stats_ref.index_log_std(weights))[reached]
                  ) <= bound


@pytest.mark.parametrize("end", [dict(), dict(local_end=True, last_row_only=True,
                                             ref_gap_penalty=0.05)], ids=["global", "last-row"])
def test_float64_scores_of_a_long_path_carry_no_error_that_grows_with_it(end):
    # Every cell takes its predecessors' scores through R / gamma and back. Times a rounded
    # 1/gamma (10 for gamma = 0.1, 5.6e-17 too large) that step erred the same way at every
    # cell, and the score of this path through 6,000 rows came out 1.4e-13 too large;
    # quotients leave 1.4e-14. Scores alone and the stored passes alike.
    rng = np.random.default_rng(0)
    x, y = rng.standard_normal(6000), rng.standard_normal(20)
    cost = np.abs(x.astype(EXTENDED)[:, None] - y.astype(EXTENDED)[None, :])
    _, want, _ = ref.by_diagonals(cost, 0.1, dtype=EXTENDED, local_end=bool(end),
                                  last_row_only=bool(end), gap=end.get("ref_gap_penalty", 0.0))
    alone, stored = np.empty(1), np.empty(1)
    orvane_cpu.calc_softdtw_scores_float64(x.ctypes.data, [6000], y.ctypes.data, 20,
                                           alone.ctypes.data, 0.1, **end)
    distance, matrix = np.empty(6000 * 20), np.empty(6000 * 20)
    orvane_cpu.calc_manhattan_distance_float64(x.ctypes.data, [6000], y.ctypes.data, 20,
                                               distance.ctypes.data)
    orvane_cpu.calc_softdtw_forward_float64([6000], 20, distance.ctypes.data,
                                            matrix.ctypes.data, stored.ctypes.data, 0.1, **end)
    for score in (alone[0], stored[0]):
        assert abs(score - want) <= 5e-14 * abs(want), float((score - want) / want)


def test_float32_inputs_run_the_mixed_path_by_default_on_every_backend():
    signals, reference, _ = batch_of([5, 8], 6, seed=7)
    single = [s.astype(np.float32) for s in signals], reference.astype(np.float32)
    default = orvane.soft_dtw_with_grad(*single, gamma=0.2)
    mixed = orvane.soft_dtw_with_grad(*single, gamma=0.2, precision="mixed")
    (scores, dx, dy), (mixed_scores, mixed_dx, mixed_dy) = default, mixed
    assert scores.dtype == np.float32 and scores.tobytes() == mixed_scores.tobytes()
    assert np.concatenate(dx).tobytes() == np.concatenate(mixed_dx).tobytes()
    assert dy.tobytes() == mixed_dy.tobytes()
    # The twin, as the CUDA module, runs its mixed kernels by default: within a few float32
    # roundings of the vectorised module's mixed path.
    twin = orvane.soft_dtw_with_grad(*single, gamma=0.2, backend="twin")
    twin_mixed = orvane.soft_dtw_with_grad(*single, gamma=0.2, backend="twin", precision="mixed")
    assert twin[0].tobytes() == twin_mixed[0].tobytes()
    np.testing.assert_allclose(twin[0], scores, rtol=1e-6)
    np.testing.assert_allclose(np.concatenate(twin[1]), np.concatenate(dx), atol=1e-5)


def test_results_come_back_in_the_inputs_type():
    signals, reference, _ = batch_of([5, 8], 6, seed=4)
    single = [s.astype(np.float32) for s in signals], reference.astype(np.float32)
    assert orvane.soft_dtw(*single).dtype == np.float32
    # float32 inputs on the float64 path: the float64 results of the same values, rounded once.
    widened = [s.astype(np.float64) for s in single[0]], single[1].astype(np.float64)
    scores, dx, dy = orvane.soft_dtw_with_grad(*single, precision="float64")
    want_scores, want_dx, want_dy = orvane.soft_dtw_with_grad(*widened)
    assert scores.dtype == dx[0].dtype == dy.dtype == np.float32
    assert scores.tobytes() == want_scores.astype(np.float32).tobytes()
    assert dy.tobytes() == want_dy.astype(np.float32).tobytes()
    # float64 inputs on the float32 path: today's float32 results.
    assert orvane.soft_dtw(signals, reference, precision="float32").tobytes() == \
        orvane.soft_dtw(*single, precision="float32").tobytes()
    # Padded float64 input gives padded float64 gradients.
    padded = np.zeros((2, 8))
    for k, s in enumerate(signals):
        padded[k, :len(s)] = s
    _, padded_dx, _ = orvane.soft_dtw_with_grad(padded, reference, lengths=[5, 8])
    assert padded_dx.dtype == np.float64 and np.all(padded_dx[0, 5:] == 0)


def test_memory_budget_counts_each_matrix_at_its_own_size():
    signals, reference, _ = batch_of([12, 3], 6, seed=5)
    single = [s.astype(np.float32) for s in signals], reference.astype(np.float32)
    # The signal of 12 x 6 cells: the gradients keep its score matrix alone, 8 bytes a cell on
    # the float64 and the mixed path (below that, its checkpoints: 78 cells, more than the
    # matrix of so short a signal); the alignment keeps three matrices, of 8 bytes a cell on
    # the float64 path, of 4 + 8 + 4 on the mixed one.
    gradients_refused = "too small for signal 0: its gradients need at least 624 bytes"
    for inputs, budget, function, refused in [
            ((signals, reference), 576, orvane.soft_dtw_with_grad, gradients_refused),
            (single, 576, orvane.soft_dtw_with_grad, gradients_refused),
            ((signals, reference), 1728, orvane.soft_alignment, "signal 0 needs 1728 bytes"),
            (single, 1152, orvane.soft_alignment, "signal 0 needs 1152 bytes")]:
        with pytest.raises(ValueError, match=refused):
            function(*inputs, memory_budget=budget - 1)
        assert function(*inputs, memory_budget=budget) is not None
    whole = orvane.soft_alignment(signals, reference)
    split = orvane.soft_alignment(signals, reference, memory_budget=1728)
    assert split.scores.tobytes() == whole.scores.tobytes()
    assert split.matrix(1).tobytes() == whole.matrix(1).tobytes()


REJECTED = [
    (dict(gamma=1e-320), "gamma must be a finite, normal float64 number greater than zero, "
                         "got: 1e-320"),
    (dict(gamma=float("inf")), "gamma must be a finite, normal float64"),
    (dict(end="free", ref_gap_penalty=float("nan")), "ref_gap_penalty must be a finite number"),
    (dict(alpha=np.array([0.0, np.inf])), "alpha must be finite, got: inf for signal 1"),
    (dict(precision="float16"), "precision must be one of 'float32', 'mixed', 'float64'"),
    (dict(precision="float64", backend="twin", gamma=0.0),
     "gamma must be a finite, normal float64"),
    (dict(precision="mixed", backend="twin", gamma=1e-39),
     "gamma must be a finite, normal float32"),
]


@pytest.mark.parametrize("change, message", REJECTED)
def test_rejected_arguments_are_named(change, message):
    arguments = dict(signals=[np.ones(3), np.ones(4)], reference=np.ones(5))
    arguments.update(change)
    allocations = hooks.live_allocations()
    for function in (orvane.soft_dtw, orvane.soft_dtw_with_grad, orvane.soft_alignment):
        with pytest.raises(ValueError, match=message):
            function(**arguments)
    assert hooks.live_allocations() == allocations


def test_raw_mixed_passes_refuse_as_the_float32_ones_and_write_nothing():
    distance = np.ones(12, np.float32)
    score, scores = np.full(12, 7.0), np.full(1, 7.0)
    for gamma, message in [(1e-39, "gamma must be a finite, normal float32"),
                           (0.0, "gamma must be a finite, normal float32")]:
        with pytest.raises(ValueError, match=message):
            orvane_cpu.calc_softdtw_forward_mixed([4], 3, distance.ctypes.data,
                                                  score.ctypes.data, scores.ctypes.data, gamma)
    gradient = np.full(12, 7.0, np.float32)
    with pytest.raises(RuntimeError, match="scores_ptr is required when local_end is true"):
        orvane_cpu.calc_softdtw_backward_mixed([4], 3, distance.ctypes.data, score.ctypes.data,
                                               gradient.ctypes.data, 1.0, local_end=True)
    assert np.all(score == 7.0) and np.all(scores == 7.0) and np.all(gradient == 7.0)


def test_float64_gamma_below_float32_range_works_and_raw_calls_refuse_quietly():
    signals, reference, _ = batch_of([4], 3, seed=6)
    assert np.isfinite(orvane.soft_dtw(signals, reference, gamma=1e-39)[0])
    distance = np.ones(12)
    score = np.full(12, 7.0)
    scores = np.full(1, 7.0)
    with pytest.raises(ValueError, match="gamma must be a finite, normal float64"):
        orvane_cpu.calc_softdtw_forward_float64([4], 3, distance.ctypes.data, score.ctypes.data,
                                                scores.ctypes.data, 0.0)
    assert np.all(score == 7.0) and np.all(scores == 7.0)
