"""The vectorised CPU module against the twin and the float64 reference: as accurate as the
twin on every output, bit for bit on distances and conversions, on every vector tail and
partial diagonal, on both instruction sets, with references the twin cannot take; and its
threads: the GIL released, forked children, a settable thread count."""

import multiprocessing
import os
import platform
import threading
import time

import numpy as np
import pytest

import orvane_cpu
import softdtw_reference as ref
import statistics_reference as stats_ref
from batches import Batch, Options, TrainingRun, pack
from conftest import VECTORISED, vectorised_testing, vectorised_threads
from orvane.buffers import twin_backend

# orvane_cpu's largest error may be twice the twin's plus this fraction of the output's scale.
SCALE_FRACTION = 1e-6
EDGE_LENGTHS = [1, 2, 7, 8, 9, 15, 16, 17]


def batch_of(lengths, ref_length, seed):
    rng = np.random.default_rng(seed)
    return Batch([rng.standard_normal(n).astype(np.float32) for n in lengths],
                 rng.standard_normal(ref_length).astype(np.float32))


def float64_results(batch, distances, options):
    """R, scores, E, dx, dy and the statistics of the float64 reference, on the float32 D."""
    fast = options.gamma >= 0.1 and not options.local_end
    out = {name: [] for name in ("R", "scores", "E", "dx")}
    dy = np.zeros(batch.ref_length)
    for signal, distance in zip(batch.signals, distances):
        if fast:
            score, _, gradient = ref.by_diagonals(distance, options.gamma)
            final = score[-1, -1]
        else:
            score = ref.forward(distance, options.gamma)
            final = ref.final_score(score, options.gamma, **options.end())
            gradient = ref.backward(distance, options.gamma, **options.end())
        dx, dy_k = ref.sample_gradients(signal, batch.reference, gradient)
        out["R"].append(score)
        out["scores"].append(final)
        out["E"].append(gradient)
        out["dx"].append(dx)
        dy += dy_k
    out["dy"] = dy
    return out


def largest_errors(run, expected):
    got = {"R": run.matrices("R"), "scores": run.flat("scores"), "E": run.matrices("E"),
           "dx": np.split(run.flat("dx"), np.cumsum(run.batch.lengths)[:-1]),
           "dy": run.flat("dy")}
    errors = {}
    for name, value in got.items():
        a = np.concatenate([np.ravel(v) for v in value]) if isinstance(value, list) else value
        b = np.concatenate([np.ravel(v) for v in expected[name]]) \
            if isinstance(expected[name], list) else np.asarray(expected[name])
        errors[name] = (float(np.max(np.abs(a - b))), float(np.max(np.abs(b))))
    return errors


def assert_as_accurate_as_the_twin(batch, options):
    twin = TrainingRun(twin_backend(), batch, options).run_all()
    vectorised = TrainingRun(VECTORISED, batch, options).run_all()
    assert vectorised.flat("D").tobytes() == twin.flat("D").tobytes()
    expected = float64_results(batch, [d.astype(np.float64) for d in twin.matrices("D")], options)
    twin_errors = largest_errors(twin, expected)
    for name, (error, scale) in largest_errors(vectorised, expected).items():
        bound = 2 * twin_errors[name][0] + SCALE_FRACTION * max(scale, 1.0)
        assert error <= bound, (name, error, twin_errors[name][0])


END_OPTIONS = [Options(gamma=0.7), Options(gamma=0.3, local_end=True, ref_gap_penalty=0.1),
               Options(gamma=1.0, local_end=True, last_row_only=True)]


def test_the_forced_instruction_sets_are_the_fallback_four_lanes_and_the_widest(
        instruction_set):
    assert instruction_set in ("SCALAR", "EMU128") or instruction_set.startswith(("AVX", "SSE"))


@pytest.mark.skipif(platform.machine().lower() not in ("x86_64", "amd64"),
                    reason="SSE4 is an x86-64 instruction set")
def test_sse4_is_forced_by_name():
    # Four float32 lanes: the narrowest squares of lanes that signals side by side transpose.
    try:
        vectorised_testing.force_instruction_set("sse4")
        assert vectorised_testing.last_instruction_set() == "SSE4"
    finally:
        vectorised_testing.force_instruction_set("best")
    with pytest.raises(ValueError, match="instruction set must be 'best', 'sse4' or 'scalar'"):
        vectorised_testing.force_instruction_set("avx")


@pytest.mark.parametrize("options", END_OPTIONS, ids=["global", "free-end", "last-row"])
def test_every_vector_tail_and_partial_diagonal(instruction_set, options):
    # Every N against every M of the edge lengths: diagonals of every length up to 17 cells.
    for ref_length in EDGE_LENGTHS:
        assert_as_accurate_as_the_twin(batch_of(EDGE_LENGTHS, ref_length, seed=ref_length),
                                       options)


def data_type(path):
    return np.float64 if path == "_float64" else np.float32


def stored_passes(path, lengths, m, distance, alpha, options):
    """R, scores and E of the float32, mixed or float64 path's stored-matrix passes over a
    distance matrix in the library's layout."""
    score = np.float32 if path == "" else np.float64
    distance, alpha = distance.astype(data_type(path)), alpha.astype(data_type(path))
    gradient = np.empty_like(distance)
    matrix, scores = np.empty(distance.size, score), np.empty(len(lengths), score)
    end = dict(local_end=options.local_end, last_row_only=options.last_row_only,
               ref_gap_penalty=options.ref_gap_penalty)
    getattr(orvane_cpu, "calc_softdtw_forward" + path)(
        lengths, m, distance.ctypes.data, matrix.ctypes.data, scores.ctypes.data, options.gamma,
        alpha.ctypes.data, **end)
    getattr(orvane_cpu, "calc_softdtw_backward" + path)(
        lengths, m, distance.ctypes.data, matrix.ctypes.data, gradient.ctypes.data,
        options.gamma, alpha.ctypes.data, scores_ptr=scores.ctypes.data, **end)
    return matrix, scores, gradient


def forward_and_backward(path, signals, reference, alpha, options):
    """R, scores and E of the float32, mixed or float64 path's stored-matrix passes, as bytes
    per signal."""
    lengths = [len(signal) for signal in signals]
    x, m = np.concatenate(signals).astype(data_type(path)), len(reference)
    reference = reference.astype(data_type(path))
    distance = np.empty(sum(lengths) * m, data_type(path))
    getattr(orvane_cpu, "calc_manhattan_distance" + ("_float64" if path == "_float64" else ""))(
        x.ctypes.data, lengths, reference.ctypes.data, m, distance.ctypes.data)
    matrix, scores, gradient = stored_passes(path, lengths, m, distance, alpha, options)
    bounds = np.cumsum([0] + lengths) * m
    return [(matrix[a:b].tobytes(), gradient[a:b].tobytes(), scores[k].tobytes())
            for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:]))]


@pytest.mark.parametrize("path", ["", "_mixed", "_float64"], ids=["float32", "mixed", "float64"])
@pytest.mark.parametrize("options", END_OPTIONS, ids=["global", "free-end", "last-row"])
def test_tiles_take_the_steps_of_one_sweep(instruction_set, path, options):
    # A matrix cut into tiles that threads sweep at once, each waiting on its neighbour's
    # edge line: every cell takes the steps of one sweep of the whole matrix. Tiles of
    # columns (tall and square matrices) and of rows (wide ones), of one line, narrower and
    # wider than a vector, a matrix of one row or one column, NaN and inf samples; on one
    # thread the tiles run one after another, on two side by side.
    rng = np.random.default_rng(len(path))
    lengths, ref_length = [70, 1, 9, 33, 120], 41
    signals = [rng.standard_normal(n).astype(np.float32) for n in lengths]
    signals[0][5], signals[3][30] = np.nan, np.inf
    reference = rng.standard_normal(ref_length).astype(np.float32)
    alpha = rng.standard_normal(len(lengths)).astype(np.float32)
    # One signal a call: a batch of several would run some side by side, untiled.
    def each_alone(reference):
        return [forward_and_backward(path, [signal], reference, alpha[k:k + 1], options)[0]
                for k, signal in enumerate(signals)]
    for ref in (reference, reference[:1], reference[:13]):
        whole = each_alone(ref)
        for threads, tiles in [(0, 2), (0, 3), (1, 4), (0, 41), (2, 7)]:
            with vectorised_threads(threads, tiles):
                assert each_alone(ref) == whole, (threads, tiles, len(ref))


@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="one thread sweeps a matrix whole")
@pytest.mark.parametrize("path", ["", "_mixed", "_float64"], ids=["float32", "mixed", "float64"])
def test_a_long_signal_alone_takes_the_same_steps_on_every_thread_count(path):
    # A batch of one signal of a million cells: its matrix cut into a tile a thread (the
    # threads' own choice, not forced), against the whole matrix on one thread.
    rng = np.random.default_rng(11)
    signal = rng.standard_normal(2048).astype(np.float32)
    reference = rng.standard_normal(512).astype(np.float32)
    alpha = np.float32([0.5])
    options = Options(gamma=0.5, local_end=True)
    on_every_thread = forward_and_backward(path, [signal], reference, alpha, options)
    with vectorised_threads(1):
        assert forward_and_backward(path, [signal], reference, alpha, options) == on_every_thread


def test_tiles_refuse_a_negative_count():
    with pytest.raises(ValueError, match="tiles must be at least 0, got: -1"):
        vectorised_testing.force_tiles(-1)


@pytest.mark.parametrize("path", ["", "_mixed"], ids=["float32", "mixed"])
@pytest.mark.parametrize("options", END_OPTIONS, ids=["global", "free-end", "last-row"])
@pytest.mark.parametrize("ref_length", [1, 7, 45, 200])
def test_signals_side_by_side_take_the_steps_they_take_alone(instruction_set, path, options,
                                                             ref_length):
    # Many short signals of one length run a vector's lanes of them at a time, one signal a
    # lane, and the rest alone; a batch of one signal runs alone. Groups of several lengths,
    # their signals apart in the batch, left-over signals, NaN and inf samples, a bias per
    # signal: the same bits either way, on every thread count (on one thread the batch forms
    # groups whatever the machine's cores). A group's matrices of up to 12,800 cells pass
    # through the window of the passes over stored matrices a run of diagonals at a time.
    rng = np.random.default_rng(ref_length)
    lengths = [30, 50] * 9 + [1] * 8 + [50] * 8 + [3, 64, 64]
    signals = [rng.standard_normal(n).astype(np.float32) for n in lengths]
    signals[1][4], signals[2][7] = np.nan, np.inf
    reference = rng.standard_normal(ref_length).astype(np.float32)
    alpha = rng.standard_normal(len(lengths)).astype(np.float32)
    together = forward_and_backward(path, signals, reference, alpha, options)
    alone = [forward_and_backward(path, [signal], reference, alpha[k:k + 1], options)[0]
             for k, signal in enumerate(signals)]
    assert together == alone
    with vectorised_threads(1):
        assert forward_and_backward(path, signals, reference, alpha, options) == together


@pytest.mark.parametrize("lengths, ref_length", [([1023], 1024), ([1024], 1023)])
def test_long_square_matrices(instruction_set, lengths, ref_length):
    assert_as_accurate_as_the_twin(batch_of(lengths, ref_length, seed=3), Options(gamma=1.0))


def test_statistics_are_as_accurate_as_the_twin():
    batch = batch_of([9, 16, 1, 33], 17, seed=4)
    runs = {name: TrainingRun(backend, batch, Options(gamma=0.5)).run_all()
            for name, backend in (("twin", twin_backend()), ("vectorised", VECTORISED))}
    expected = []
    for signal, distance in zip(batch.signals, runs["twin"].matrices("D")):
        weights, _ = stats_ref.normalize(ref.backward(distance.astype(np.float64), 0.5))
        mean = stats_ref.weighted_mean(weights, signal.astype(np.float64))
        expected.append({"means": mean,
                         "log_std": stats_ref.weighted_log_std(weights, signal, mean),
                         "index_log_std": stats_ref.index_log_std(weights)})
    errors = {}
    for name, run in runs.items():
        run.run_statistics()
        errors[name] = {key: max(float(np.max(np.abs(run.flat(key)[17 * k:17 * (k + 1)]
                                                      - expected[k][key])))
                                 for k in range(4))
                        for key in expected[0]}
    for key, twin_error in errors["twin"].items():
        assert errors["vectorised"][key] <= 2 * twin_error + SCALE_FRACTION * 10, key


def test_reference_longer_than_any_thread_block():
    batch = batch_of([20, 3], 5000, seed=5)
    # Small distances keep float32 E close to float64 over 5,000 steps (the accuracy envelope).
    batch.signals = [s * np.float32(0.05) for s in batch.signals]
    batch.reference = batch.reference * np.float32(0.05)
    run = TrainingRun(VECTORISED, batch, Options(gamma=1.0)).run_all()
    for k, distance in enumerate(run.matrices("D")):
        score, _, gradient = ref.by_diagonals(distance.astype(np.float64), 1.0)
        np.testing.assert_allclose(run.matrices("R")[k], score, rtol=2e-5, atol=1e-3)
        # E still loses about one rounding per step along 5,000 steps: 5e3 * 6e-8 = 3e-4.
        np.testing.assert_allclose(run.matrices("E")[k], gradient, atol=1e-3)
    with pytest.raises(ValueError, match=r"ref_signal_length \(5000\) exceeds maximum threads"):
        TrainingRun(twin_backend(), batch, Options()).run_distance()


def test_step_weights_overflow_where_expf_does(backend, instruction_set):
    # One signal of one sample against two reference samples a step: D = 0 and R = [0, t], so
    # that the first cell's E is its step weight exp(t / gamma), exp evaluated past where
    # float32 overflows, past where the vector exponential is defined (104) and at the edges:
    # +inf where float64's exp exceeds FLT_MAX, the float32 exponential (within 4 ulp)
    # elsewhere; none out of an infinite score, NaN out of a NaN one. Enough signals of one
    # length for a vector's lanes of them on every thread, so the vectorised module weighs them
    # side by side too.
    exponents = np.resize(np.float32([0.5, 80.0, 88.5, 88.72, 88.73, 89.0, 95.0, 99.99, 100.0,
                                      101.0, 150.0, 1e30, np.inf, np.nan]),
                          16 * max(os.cpu_count() or 1, 2))
    count = len(exponents)
    batch = Batch([np.zeros(1, np.float32)] * count, np.zeros(2, np.float32))
    run = TrainingRun(backend, batch, Options())
    run.buffers["D"] = backend.array(np.zeros(2 * count, np.float32))
    run.buffers["R"] = backend.array(np.stack([np.zeros(count, np.float32), exponents], 1).ravel())
    run.buffers["scores"] = backend.array(exponents)
    first_cells = run.run_backward().flat("E")[::2]
    with np.errstate(over="ignore", invalid="ignore"):
        expected = np.exp(exponents.astype(np.float64)).astype(np.float32)
    expected[np.isinf(exponents)] = 0.0
    np.testing.assert_array_equal(np.isinf(first_cells), np.isinf(expected))
    np.testing.assert_array_equal(np.isnan(first_cells), np.isnan(expected))
    np.testing.assert_allclose(first_cells, expected, rtol=5e-7)


def distances_with(kinds):
    """One 4 x 5 distance matrix of ones per kind, with the kind's cells set."""
    cells = {"inf column": (slice(None), 2),  # no path around the column
             "nan": (2, 3), "nan first column": (1, 0), "nan first row": (0, 3),
             "-inf": (0, 1), "nan last cell": (3, 4)}
    values = {"inf column": np.inf, "-inf": -np.inf}
    distances = [np.ones((4, 5), np.float32) for _ in kinds]
    for distance, kind in zip(distances, kinds):
        distance[cells[kind]] = values.get(kind, np.nan)
    return distances


# The paths that weigh by shares of their predecessors' scores (mixed, float64) take no cost
# into a weight: a NaN cost in the last cell leaves the other cells' gradients finite, and the
# mixed path's shares after a -inf cost are NaN (-inf - -inf), where the float32 steps give 0.
@pytest.mark.parametrize("path, kinds", [
    ("", ["inf column", "nan", "nan first column", "nan first row", "-inf", "nan last cell"]),
    ("_mixed", ["inf column", "nan", "nan first column", "nan first row"]),
    ("_float64", ["inf column", "nan", "nan first column", "nan first row", "-inf"]),
], ids=["float32", "mixed", "float64"])
def test_infinite_and_nan_distances_match_the_twin_in_kind(path, kinds):
    packed, m = pack(distances_with(kinds)), 5
    lengths = [4] * len(kinds)
    for options in (Options(), Options(local_end=True)):
        twin = TrainingRun(twin_backend(), Batch([np.zeros(4, np.float32)] * len(kinds),
                                                np.zeros(m, np.float32)), options)
        twin.buffers["D"] = twin.backend.array(packed)
        twin.run_forward().run_backward()
        expected = [twin.flat(name) for name in ("R", "scores", "E")]
        found = stored_passes(path, lengths, m, packed, np.zeros(len(lengths)), options)
        for twins, own in zip(expected, found):
            np.testing.assert_array_equal(np.isnan(twins), np.isnan(own))
            np.testing.assert_array_equal(np.isinf(twins), np.isinf(own))
            np.testing.assert_allclose(own, twins, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("path", ["", "_mixed", "_float64"], ids=["float32", "mixed", "float64"])
def test_a_nan_beside_unreachable_cells_makes_the_gradients_before_it_nan(instruction_set, path):
    # One column: each cell's only predecessor is the one above it, its others unreachable,
    # so its least predecessor score may be the NaN's unreachable neighbours' +inf: the
    # gradients of the cells before the last must still be NaN, as on the float32 path.
    packed = pack([np.array([[np.nan], [1.0], [1.0]], np.float32)])
    _, _, gradient = stored_passes(path, [3], 1, packed, np.zeros(1), Options())
    assert np.isnan(gradient[:-1]).all() and gradient[-1] == 1.0


def long_call(batch=8, length=1500, ref_length=1500):
    rng = np.random.default_rng(0)
    lengths = [length] * batch
    x = rng.standard_normal(batch * length).astype(np.float32)
    y = rng.standard_normal(ref_length).astype(np.float32)
    distance = np.empty(batch * length * ref_length, np.float32)
    score, scores = np.empty_like(distance), np.empty(batch, np.float32)

    def call():
        orvane_cpu.calc_manhattan_distance(x.ctypes.data, lengths, y.ctypes.data, ref_length,
                                           distance.ctypes.data)
        orvane_cpu.calc_softdtw_forward(lengths, ref_length, distance.ctypes.data,
                                        score.ctypes.data, scores.ctypes.data, 1.0)
        return scores.copy()
    return call


def test_the_gil_is_released_while_it_computes():
    call = long_call()
    ticks = []
    worker = threading.Thread(target=call)
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    assert len(ticks) > 5  # this thread ran Python code during the call


def _child(_):
    return long_call(batch=2, length=300, ref_length=200)().tolist()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
def test_a_forked_child_can_use_the_module_after_its_parent():
    parent = long_call(batch=2, length=300, ref_length=200)().tolist()
    with multiprocessing.get_context("fork").Pool(2) as pool:
        children = pool.map(_child, range(3), chunksize=1)
    assert children == [parent] * 3


def test_thread_count_changes_nothing_but_speed():
    call = long_call(batch=5, length=200, ref_length=150)
    everywhere = call()
    try:
        orvane_cpu.set_num_threads(1)
        assert call().tobytes() == everywhere.tobytes()
    finally:
        orvane_cpu.set_num_threads(0)



def one_long_signal(path, threads, end, n=1400, m=600):
    """R, the score and E of one signal long enough for the threads to share its diagonals,
    run on `threads` threads (0: every core)."""
    data, score = (np.float64, np.float64) if path == "_float64" else (
        np.float32, np.float64 if path == "_mixed" else np.float32)
    rng = np.random.default_rng(31)
    x, y = rng.standard_normal(n).astype(data), rng.standard_normal(m).astype(data)
    distance, gradient = np.empty(n * m, data), np.empty(n * m, data)
    matrix, scores = np.empty(n * m, score), np.empty(1, score)
    orvane_cpu.set_num_threads(threads)
    try:
        getattr(orvane_cpu, "calc_manhattan_distance" + ("_float64" if data == np.float64
                                                         else ""))(
            x.ctypes.data, [n], y.ctypes.data, m, distance.ctypes.data)
        getattr(orvane_cpu, "calc_softdtw_forward" + path)(
            [n], m, distance.ctypes.data, matrix.ctypes.data, scores.ctypes.data, 0.5, **end)
        getattr(orvane_cpu, "calc_softdtw_backward" + path)(
            [n], m, distance.ctypes.data, matrix.ctypes.data, gradient.ctypes.data, 0.5,
            scores_ptr=scores.ctypes.data, **end)
    finally:
        orvane_cpu.set_num_threads(0)
    return matrix.tobytes() + scores.tobytes() + gradient.tobytes()


@pytest.mark.parametrize("path", ["", "_mixed", "_float64"])
@pytest.mark.parametrize("end", [dict(), dict(local_end=True)], ids=["global", "free"])
def test_a_long_signal_shared_among_threads_gives_the_same_bits(path, end):
    # One thread or every core: the same cells.
    assert one_long_signal(path, 0, end) == one_long_signal(path, 1, end)


def test_sums_are_the_same_on_every_run_and_for_every_thread_count():
    # Gradients and statistics add over signals and cells in a fixed order: the reference
    # gradient sums across all signals, which threads share.
    rng = np.random.default_rng(21)
    batch = Batch([rng.standard_normal(n).astype(np.float32) for n in rng.integers(1, 60, 80)],
                  rng.standard_normal(37).astype(np.float32))
    outputs = ("scores", "E", "dx", "dy", "sums", "means", "log_std", "index_log_std")

    def run():
        done = TrainingRun(VECTORISED, batch, Options(gamma=0.4)).run_all().run_statistics()
        return {name: done.flat(name).tobytes() for name in outputs}

    first = run()
    assert run() == first
    try:
        orvane_cpu.set_num_threads(1)
        assert run() == first
    finally:
        orvane_cpu.set_num_threads(0)


@pytest.mark.parametrize("threads", [-1, os.cpu_count() + 1, 10**9, 10**12])
def test_thread_counts_beyond_the_machine_are_refused(threads):
    # oneTBB reserves memory for every thread it is allowed: ten million cost gigabytes.
    most = len(os.sched_getaffinity(0))
    with pytest.raises(ValueError, match=f"^threads must be between 0 and {most}, got: {threads}$"):
        orvane_cpu.set_num_threads(threads)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        orvane_cpu.set_num_threads(np.float32(1.0))
    assert long_call(batch=2, length=30, ref_length=20)().shape == (2,)


def test_rejected_calls_write_nothing():
    distance = np.ones(6, np.float32)
    score = np.full(6, 7.0, np.float32)
    scores = np.full(2, 7.0, np.float32)
    forward = lambda gamma, penalty: orvane_cpu.calc_softdtw_forward(
        [1, 2], 2, distance.ctypes.data, score.ctypes.data, scores.ctypes.data, gamma, 0, True,
        False, penalty)
    for gamma, penalty, message in [(0.0, 0.0, "gamma must be"), (1.0, np.nan, "ref_gap_penalty"),
                                    (1e-39, 0.0, "gamma must be")]:
        with pytest.raises(ValueError, match=message):
            forward(gamma, penalty)
    with pytest.raises(ValueError, match=r"input_signal_lengths\[1\] must be positive"):
        orvane_cpu.calc_manhattan_distance(0, [2, 0], 0, 3, score.ctypes.data)
    assert np.all(score == 7.0) and np.all(scores == 7.0)


@pytest.mark.parametrize("suffix, data", [("", np.float32), ("_float64", np.float64)],
                         ids=["float32", "float64"])
def test_costs_and_their_gradient_refuse_a_missing_buffer(suffix, data):
    # Every buffer they read or write, given as 0, is refused by name before anything is
    # written (the band and the sample gradients may be 0: none, or not wanted).
    x, y = np.arange(8, dtype=data).reshape(4, 2), np.zeros((3, 2), data)
    distance, gradient = np.full(12, 7.0, data), np.linspace(0.1, 1.2, 12).astype(data)
    dx, dy = np.full_like(x, 7.0), np.full_like(y, 7.0)
    distance_call = getattr(orvane_cpu, "calc_distance" + suffix)
    gradient_call = getattr(orvane_cpu, "calc_distance_gradient" + suffix)
    shape = dict(input_signal_lengths=[4], ref_signal_length=3, channels=2, cost="sqeuclidean")
    given = dict(input_signal_ptr=x.ctypes.data, ref_signal_ptr=y.ctypes.data,
                 distance_matrix_ptr=distance.ctypes.data)
    for name in given:
        with pytest.raises(ValueError, match=f"^calc_distance: {name} must not be 0$"):
            distance_call(**{**given, name: 0}, **shape)
    given = dict(input_signal_ptr=x.ctypes.data, ref_signal_ptr=y.ctypes.data,
                 gradient_matrix_ptr=gradient.ctypes.data, input_gradients_ptr=dx.ctypes.data,
                 ref_gradients_ptr=dy.ctypes.data)
    for name in ("input_signal_ptr", "ref_signal_ptr", "gradient_matrix_ptr",
                 "ref_gradients_ptr"):
        with pytest.raises(ValueError, match=f"^calc_distance_gradient: {name} must not be 0$"):
            gradient_call(**{**given, name: 0}, **shape)
    assert all(np.all(a == 7.0) for a in (distance, dx, dy))
    # Without sample gradients: the reference's alone, the bits it gets with them.
    dx[:], dy[:] = 0, 0
    gradient_call(**given, **shape)
    samples, with_samples, dy[:] = dx.copy(), dy.copy(), 0
    gradient_call(**{**given, "input_gradients_ptr": 0}, **shape)
    assert samples.any() and with_samples.any()
    assert dy.tobytes() == with_samples.tobytes() and dx.tobytes() == samples.tobytes()
