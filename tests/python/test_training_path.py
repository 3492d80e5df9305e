"""The training path, distance -> forward -> backward -> distance gradient, against the
float64 reference, finite differences, and the edge cases of the recurrences."""

import numpy as np
import pytest

from orvane import cpu_cuda_testing as hooks
import softdtw_reference as ref
from batches import SENTINEL, Batch, Options, TrainingRun, pack, random_batch

# Float32 against float64: a few units in the last place per diagonal of accumulation.
SCORE_RTOL = 2e-5
SCORE_ATOL = 2e-5
GRADIENT_ATOL = 5e-5      # gradient cells lie in [0, 1]
SAMPLE_GRADIENT_ATOL = 5e-4
FINITE_DIFFERENCE_STEP = 1e-5

MIXED_LENGTHS = [3, 7, 7, 12, 1, 9]   # N < M, N = M, N > M and N = 1 against M = 7
MIXED_REF_LENGTH = 7


def end_options():
    return [
        pytest.param(Options(gamma=1.0), id="global"),
        pytest.param(Options(gamma=0.3), id="global-gamma0.3"),
        pytest.param(Options(gamma=1.0, local_end=True), id="free-end"),
        pytest.param(Options(gamma=0.5, local_end=True, last_row_only=True), id="last-row"),
        pytest.param(Options(gamma=2.0, local_end=True, ref_gap_penalty=0.25), id="gap"),
        pytest.param(Options(gamma=1.0, local_end=True, last_row_only=True,
                             ref_gap_penalty=-0.1), id="last-row-gap"),
    ]


def reference_of(batch, options):
    """Per-signal float64 D, R, score and E from the reference."""
    out = []
    for k, signal in enumerate(batch.signals):
        alpha = 0.0 if batch.alpha is None else np.float64(batch.alpha[k])
        distance = ref.distance(signal, batch.reference)
        score = ref.forward(distance, options.gamma, alpha)
        out.append(dict(D=distance, R=score,
                        score=ref.final_score(score, options.gamma, **options.end()),
                        E=ref.backward(distance, options.gamma, alpha, **options.end())))
    return out


def test_distance_is_exact_and_overwrites_everything(backend):
    batch = random_batch(MIXED_LENGTHS, MIXED_REF_LENGTH, seed=1)
    batch.signals[2][3] = np.float32("nan")
    batch.signals[0][1] = batch.reference[4]
    run = TrainingRun(backend, batch, Options()).run_distance()
    for signal, distance in zip(batch.signals, run.matrices("D")):
        expected = np.abs(signal[:, None] - batch.reference[None, :])  # the same float32 steps
        np.testing.assert_array_equal(distance, expected)
    assert np.isnan(run.matrices("D")[2][3]).all()
    assert run.matrices("D")[0][1, 4] == 0.0 and not np.signbit(run.matrices("D")[0][1, 4])


@pytest.mark.parametrize("options", end_options())
@pytest.mark.parametrize("with_alpha", [False, True], ids=["no-alpha", "alpha"])
def test_forward_and_backward_match_the_reference(backend, options, with_alpha):
    batch = random_batch(MIXED_LENGTHS, MIXED_REF_LENGTH, seed=2, alpha=with_alpha)
    run = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    expected = reference_of(batch, options)
    scores = run.flat("scores")
    for k, (score_matrix, gradient) in enumerate(zip(run.matrices("R"), run.matrices("E"))):
        np.testing.assert_allclose(score_matrix, expected[k]["R"], rtol=SCORE_RTOL,
                                   atol=SCORE_ATOL, err_msg=f"R of signal {k}")
        np.testing.assert_allclose(scores[k], expected[k]["score"], rtol=SCORE_RTOL,
                                   atol=SCORE_ATOL, err_msg=f"score of signal {k}")
        np.testing.assert_allclose(gradient, expected[k]["E"], atol=GRADIENT_ATOL,
                                   err_msg=f"E of signal {k}")
        # Every path starts at (0, 0), and the weights are probabilities.
        assert abs(gradient[0, 0] - 1.0) < GRADIENT_ATOL
        assert np.all(gradient >= 0.0) and np.all(gradient <= 1.0 + GRADIENT_ATOL)
    if not options.local_end:
        last_cells = [m[-1, -1] for m in run.matrices("R")]
        assert scores.tobytes() == np.array(last_cells, np.float32).tobytes()


@pytest.mark.parametrize("options", end_options()[::2])
def test_gradient_matrix_is_the_derivative_of_the_score(backend, options):
    batch = random_batch([5, 4, 1], 4, seed=3)
    run = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    for k, (signal, gradient) in enumerate(zip(batch.signals, run.matrices("E"))):
        distance = ref.distance(signal, batch.reference)
        for i in range(distance.shape[0]):
            for j in range(distance.shape[1]):
                step = np.zeros_like(distance)
                step[i, j] = FINITE_DIFFERENCE_STEP
                slope = (ref.score_of_distance(distance + step, options.gamma, **options.end())
                         - ref.score_of_distance(distance - step, options.gamma, **options.end())
                         ) / (2 * FINITE_DIFFERENCE_STEP)
                assert abs(gradient[i, j] - slope) < GRADIENT_ATOL, (k, i, j)


@pytest.mark.parametrize("options", [Options(gamma=0.7), Options(gamma=1.0, local_end=True)],
                         ids=["global", "free-end"])
def test_sample_gradients_are_the_derivatives_of_the_scores(backend, options):
    batch = random_batch([6, 3, 8], 5, seed=4)
    run = TrainingRun(backend, batch, options).run_all()
    dx = np.split(run.flat("dx"), np.cumsum(batch.lengths)[:-1])
    dy = run.flat("dy")

    def total_score(signals, reference):
        return sum(ref.score_of_distance(ref.distance(s, reference), options.gamma,
                                         **options.end()) for s in signals)

    signals = [s.astype(np.float64) for s in batch.signals]
    reference = batch.reference.astype(np.float64)
    h = FINITE_DIFFERENCE_STEP
    for k, signal in enumerate(signals):
        for i in range(len(signal)):
            up = [s.copy() for s in signals]
            down = [s.copy() for s in signals]
            up[k][i] += h
            down[k][i] -= h
            slope = (total_score(up, reference) - total_score(down, reference)) / (2 * h)
            assert abs(dx[k][i] - slope) < SAMPLE_GRADIENT_ATOL, (k, i)
    for j in range(len(reference)):
        up, down = reference.copy(), reference.copy()
        up[j] += h
        down[j] -= h
        slope = (total_score(signals, up) - total_score(signals, down)) / (2 * h)
        assert abs(dy[j] - slope) < SAMPLE_GRADIENT_ATOL, j


def test_a_signal_does_not_depend_on_its_batch(backend):
    options = Options(gamma=0.8, local_end=True, ref_gap_penalty=0.1)
    batch = random_batch([4, 11, 2, 6], 6, seed=5, alpha=True)
    together = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    for k in range(len(batch.signals)):
        alone = Batch([batch.signals[k]], batch.reference, batch.alpha[k:k + 1])
        single = TrainingRun(backend, alone, options).run_distance().run_forward().run_backward()
        for name in ("D", "R", "E"):
            assert together.matrices(name)[k].tobytes() == single.matrices(name)[0].tobytes()
        assert together.flat("scores")[k] == single.flat("scores")[0]


@pytest.mark.parametrize("options", end_options()[::2])
@pytest.mark.parametrize("ref_length", [9, 100])  # one warp, and several
def test_results_do_not_depend_on_thread_order(backend, options, ref_length):
    # A missing barrier shows only when threads run in another order than the default one.
    if backend.name != "twin":
        pytest.skip("thread order is a hook of the CPU twin")
    batch = random_batch([5, 13, 1, 9, 120], ref_length, seed=6)
    baseline = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    for order, seed in [(hooks.ThreadOrder.reverse, 0), (hooks.ThreadOrder.shuffled, 3),
                        (hooks.ThreadOrder.shuffled, 8)]:
        hooks.set_thread_order(order, seed)
        other = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
        for name in ("D", "R", "scores", "E"):
            assert other.flat(name).tobytes() == baseline.flat(name).tobytes(), (order, name)


def test_reference_length_at_the_thread_limit(backend):
    options = Options(gamma=1.0, local_end=True)
    batch = random_batch([3, 1], 1024, seed=7)
    run = TrainingRun(backend, batch, options).run_all()
    expected = reference_of(batch, options)
    for k in range(2):
        np.testing.assert_allclose(run.flat("scores")[k], expected[k]["score"], rtol=1e-4)
        np.testing.assert_allclose(run.matrices("E")[k], expected[k]["E"], atol=GRADIENT_ATOL)


def run_on_distances(backend, distances, options, alpha=None):
    """Forward and backward on given distance matrices (per-signal 2-D arrays)."""
    lengths, cols = [d.shape[0] for d in distances], distances[0].shape[1]
    batch = Batch([np.zeros(n, np.float32) for n in lengths], np.zeros(cols, np.float32), alpha)
    run = TrainingRun(backend, batch, options)
    run.buffers["D"] = backend.array(pack(distances))
    return run.run_forward().run_backward()


def test_one_row_scores_are_running_sums(backend):
    row = np.random.default_rng(8).uniform(0, 2, (1, 9)).astype(np.float32)
    running = np.cumsum(row[0], dtype=np.float32)
    for distances in (row, row.T.copy()):
        run = run_on_distances(backend, [distances], Options(gamma=1.0))
        np.testing.assert_array_equal(run.matrices("R")[0].ravel(), running)
        np.testing.assert_allclose(run.matrices("E")[0], 1.0, atol=GRADIENT_ATOL)


def test_three_equal_predecessors(backend):
    gamma = 0.5
    distances = np.zeros((2, 2), np.float32)
    distances[1, 1] = 3.0
    run = run_on_distances(backend, [distances], Options(gamma=gamma))
    # R(0, 1) = R(1, 0) = R(0, 0) = 0, so R(1, 1) = 3 + 0 - gamma ln 3.
    assert run.matrices("R")[0][1, 1] == pytest.approx(3.0 - gamma * np.log(3.0), abs=1e-6)


def test_zero_alpha_equals_no_alpha_and_alpha_shifts_the_distances(backend):
    batch = random_batch([4, 6], 5, seed=9)
    options = Options(gamma=0.6)
    plain = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    batch.alpha = np.zeros(2, np.float32)
    zero = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    for name in ("R", "scores", "E"):
        assert plain.flat(name).tobytes() == zero.flat(name).tobytes()

    batch.alpha = np.array([0.25, -0.5], np.float32)
    shifted = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    distances = [d - a for d, a in zip(plain.matrices("D"), batch.alpha)]
    moved = run_on_distances(backend, distances, options)
    for k in range(2):
        np.testing.assert_array_equal(shifted.matrices("E")[k], moved.matrices("E")[k])


def test_huge_scores_stay_finite(backend):
    distances = np.full((3, 4), 1e30, np.float32)
    run = run_on_distances(backend, [distances], Options(gamma=1.0))
    assert np.isfinite(run.matrices("R")[0]).all()
    assert np.isfinite(run.flat("scores")).all()


def test_nan_distance_spreads_to_later_cells(backend):
    distances = np.ones((3, 3), np.float32)
    distances[1, 1] = np.nan
    score_matrix = run_on_distances(backend, [distances], Options()).matrices("R")[0]
    assert np.isnan(score_matrix[1, 1]) and np.isnan(score_matrix[2, 2])
    assert np.isfinite(score_matrix[0]).all() and np.isfinite(score_matrix[:, 0]).all()


@pytest.mark.parametrize("options", [Options(), Options(local_end=True)], ids=["global", "free-end"])
def test_infinite_distances_give_infinite_scores_not_nan(backend, options):
    distances = np.full((3, 4), np.inf, np.float32)
    run = run_on_distances(backend, [distances], options)
    assert np.all(run.matrices("R")[0] == np.inf)
    assert run.flat("scores")[0] == np.inf


def test_minus_infinite_terminal_gives_minus_infinite_free_end_score(backend):
    distances = np.ones((3, 4), np.float32)
    distances[2, 1] = -np.inf
    run = run_on_distances(backend, [distances], Options(local_end=True, last_row_only=True))
    assert run.flat("scores")[0] == -np.inf


def test_free_end_with_one_terminal_is_the_cell_score(backend):
    distances = np.random.default_rng(10).uniform(0, 1, (5, 1)).astype(np.float32)
    run = run_on_distances(backend, [distances], Options(local_end=True, last_row_only=True))
    assert run.flat("scores")[0] == run.matrices("R")[0][-1, 0]


def test_free_end_single_row_ignores_last_row_only(backend):
    distances = [np.random.default_rng(11).uniform(0, 1, (1, 6)).astype(np.float32)]
    both = run_on_distances(backend, distances, Options(local_end=True))
    row = run_on_distances(backend, distances, Options(local_end=True, last_row_only=True))
    assert both.flat("scores").tobytes() == row.flat("scores").tobytes()
    np.testing.assert_allclose(both.matrices("E")[0][0, 0], 1.0, atol=GRADIENT_ATOL)


def test_gap_penalty_moves_the_end_towards_early_columns(backend):
    batch = random_batch([12], 10, seed=12)
    mean_columns = []
    for gap in (0.0, 1.0):
        options = Options(gamma=1.0, local_end=True, last_row_only=True, ref_gap_penalty=gap)
        gradient = TrainingRun(backend, batch, options).run_distance().run_forward() \
            .run_backward().matrices("E")[0]
        last_row = gradient[-1]
        mean_columns.append(np.sum(last_row * np.arange(10)) / np.sum(last_row))
    assert mean_columns[1] < mean_columns[0]


def test_distance_gradient_dead_zone(backend):
    tiny = np.float32(1e-7)
    assert tiny.view(np.uint32) == 0x33D6BF95
    below = np.nextafter(tiny, np.float32(0))
    reference = np.array([0.0, 5e-8, -2.0, 3.0], np.float32)
    # Rows: an exact tie with column 0, a difference exactly at the dead zone's edge, one just
    # inside it, and a sample far from everything.
    signal = np.array([0.0, tiny, below, 5.0], np.float32)
    gradient = np.full((4, 4), 0.5, np.float32)
    gradient[0, 0] = np.inf  # a tie with an infinite weight adds inf * 0 = NaN
    x, y = backend.array(signal), backend.array(reference)
    g = backend.array(pack([gradient]))
    dx, dy = backend.full(4, 1.0), backend.full(4, 0.0)
    backend.module.calc_manhattan_distance_gradient(x.ptr, [4], y.ptr, 4, g.ptr, dx.ptr, dy.ptr)

    difference = signal[:, None] - reference[None, :]   # float32, as the kernel forms it
    sign = np.where(np.abs(difference) < tiny, 0.0, np.sign(difference.astype(np.float64)))
    assert sign[1, 0] == 1.0 and sign[2, 0] == 0.0 and sign[1, 1] == 0.0
    weights = np.where(np.isinf(gradient), 0.0, gradient)
    expected_dx = 1.0 + (weights * sign).sum(axis=1)   # dx started at 1: accumulated into
    expected_dy = -(weights * sign).sum(axis=0)
    result_dx, result_dy = dx.numpy(), dy.numpy()
    assert np.isnan(result_dx[0]) and np.isnan(result_dy[0])
    np.testing.assert_allclose(result_dx[1:], expected_dx[1:], rtol=1e-6)
    np.testing.assert_allclose(result_dy[1:], expected_dy[1:], rtol=1e-6)


def test_distance_gradient_with_one_column_is_exact(backend):
    batch = random_batch([5, 3], 1, seed=13)
    run = TrainingRun(backend, batch, Options()).run_all()
    dx = run.flat("dx")
    gradient = np.concatenate([m[:, 0] for m in run.matrices("E")])
    samples = batch.samples()
    expected = gradient * np.sign(samples - batch.reference[0]).astype(np.float32)
    np.testing.assert_array_equal(dx, expected)
    again = run.run_sample_gradients().flat("dx")
    np.testing.assert_array_equal(again, expected)  # the buffers were refilled with zeros


def test_distance_gradient_accumulates_into_its_outputs(backend):
    batch = random_batch([4, 6], 5, seed=14)
    run = TrainingRun(backend, batch, Options()).run_all()
    once_dx, once_dy = run.flat("dx"), run.flat("dy")
    backend.module.calc_manhattan_distance_gradient(
        run.buffers["x"].ptr, batch.lengths, run.buffers["y"].ptr, batch.ref_length,
        run.buffers["E"].ptr, run.buffers["dx"].ptr, run.buffers["dy"].ptr)
    np.testing.assert_allclose(run.flat("dx"), 2 * once_dx, rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(run.flat("dy"), 2 * once_dy, rtol=1e-5, atol=1e-6)


def test_sentinel_outputs_are_fully_overwritten(backend):
    batch = random_batch(MIXED_LENGTHS, MIXED_REF_LENGTH, seed=15)
    for options in (Options(), Options(local_end=True)):
        run = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
        for name in ("D", "R", "scores", "E"):
            assert not np.any(run.flat(name) == SENTINEL), name


def assert_same_in_kind(got, expected, atol, what):
    """NaN exactly where the reference has NaN, the same infinities, finite values close."""
    got, expected = np.asarray(got, np.float64), np.asarray(expected, np.float64)
    np.testing.assert_array_equal(np.isnan(got), np.isnan(expected), err_msg=f"NaN in {what}")
    np.testing.assert_allclose(got, expected, rtol=SCORE_RTOL, atol=atol, equal_nan=True,
                               err_msg=what)


NAN_CELLS = {"first-cell": (0, 0), "first-row": (0, 3), "first-column": (3, 0),
             "interior": (2, 3), "last-cell": (4, 5)}


@pytest.mark.parametrize("cell", NAN_CELLS.values(), ids=NAN_CELLS.keys())
@pytest.mark.parametrize("options", [Options(gamma=0.7), Options(gamma=0.7, local_end=True)],
                         ids=["global", "free-end"])
def test_a_nan_distance_reaches_every_result_that_depends_on_it(backend, cell, options):
    batch = random_batch([5, 4], 6, seed=21)
    run = TrainingRun(backend, batch, options).run_distance()
    distances = run.matrices("D")
    distances[0][cell] = np.nan
    run.buffers["D"] = backend.array(pack(distances))
    run.run_forward().run_backward().run_sample_gradients()

    score_matrix = ref.forward(distances[0], options.gamma)
    expected_score = ref.final_score(score_matrix, options.gamma, **options.end())
    terminal_scores = [score_matrix[t] for t in ref.terminals(5, 6, False)]
    if options.local_end and np.isnan(terminal_scores).all():
        expected_score = np.inf  # a free end with no terminal that is a number
    gradient = ref.backward(distances[0], options.gamma, **options.end())
    dx, dy = ref.sample_gradients(batch.signals[0], batch.reference, gradient)

    assert_same_in_kind(run.matrices("R")[0], score_matrix, SCORE_ATOL, "R")
    assert_same_in_kind(run.flat("scores")[0], expected_score, SCORE_ATOL, "score")
    assert_same_in_kind(run.matrices("E")[0], gradient, GRADIENT_ATOL, "E")
    assert_same_in_kind(run.flat("dx")[:5], dx, SAMPLE_GRADIENT_ATOL, "input gradients")
    # The reference gradient also collects the clean second signal's contributions.
    other = ref.sample_gradients(batch.signals[1], batch.reference,
                                 ref.backward(distances[1], options.gamma, **options.end()))[1]
    assert_same_in_kind(run.flat("dy"), dy + other, SAMPLE_GRADIENT_ATOL, "reference gradients")
    assert np.isfinite(run.flat("scores")[1]) and np.isfinite(run.flat("dx")[5:]).all()
