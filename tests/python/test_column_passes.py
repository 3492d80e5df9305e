"""The wavefronts whose threads serve several reference columns: references longer than a
block's threads and a reference per signal (pairs), on the float32, mixed and float64 paths,
on the twin and, with a GPU, the CUDA module. The float32 path keeps the kernels' steps bit for
bit; the mixed and float64 paths are held to orvane_cpu's and to float64 within tolerances."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

import orvane_cpu
from batches import Options, TrainingRun, random_batch
from layout_reference import square_to_antidiag
from orvane import cpu_cuda_testing as hooks
from orvane.buffers import twin_backend

PATHS = {  # suffix, data, score and gradient types
    "float32": ("", np.float32, np.float32, np.float32),
    "mixed": ("_mixed", np.float32, np.float64, np.float32),
    "float64": ("_float64", np.float64, np.float64, np.float64),
}
ENDS = [
    pytest.param(Options(gamma=0.3), id="global"),
    pytest.param(Options(gamma=0.3, local_end=True, ref_gap_penalty=0.07), id="free"),
    pytest.param(Options(gamma=0.7, local_end=True, last_row_only=True, ref_gap_penalty=0.2),
                 id="free-last-row"),
]


def distances(lengths, ref_lengths, seed=0):
    """|x - y| of random signals against their references, one N_k x M_k matrix after the
    other (the layout does not matter to these tests, which compare like with like)."""
    rng = np.random.default_rng(seed)
    return np.abs(rng.standard_normal(sum(n * m for n, m in zip(lengths, ref_lengths)))
                  ).astype(np.float32)


def run(backend, path, lengths, ref_lengths, distance, options, alpha=None, pairs=True):
    """R, the scores and E of one forward and backward pass on `backend`."""
    suffix, data, score, gradient = PATHS[path]
    cells = sum(n * m for n, m in zip(lengths, ref_lengths))
    d = backend.array(distance, data)
    r = backend.full(cells, np.nan, score)
    scores = backend.full(len(lengths), np.nan, score)
    e = backend.full(cells, np.nan, gradient)
    a = backend.array(alpha, data) if alpha is not None else None
    module = backend.module
    name, refs = ("calc_softdtw_pair_{}" + suffix, ref_lengths) if pairs else \
        ("calc_softdtw_{}" + suffix, ref_lengths[0])
    end = (options.local_end, options.last_row_only, options.ref_gap_penalty)
    alpha_ptr = 0 if a is None else a.ptr
    getattr(module, name.format("forward"))(lengths, refs, d.ptr, r.ptr, scores.ptr,
                                             options.gamma, alpha_ptr, *end)
    getattr(module, name.format("backward"))(lengths, refs, d.ptr, r.ptr, e.ptr, options.gamma,
                                              alpha_ptr, options.local_end, scores.ptr,
                                              options.last_row_only, options.ref_gap_penalty)
    backend.synchronize()
    return r.numpy(), scores.numpy(), e.numpy()


def assert_same_bits(found, expected):
    for name, a, b in zip(("R", "scores", "E"), found, expected):
        assert a.tobytes() == b.tobytes(), name


@pytest.mark.parametrize("options", ENDS)
@pytest.mark.parametrize("alpha", [False, True], ids=["", "alpha"])
@pytest.mark.parametrize("ref_length", [1, 7, 45, 300])
def test_float32_pairs_of_one_reference_are_the_kernels_bit_for_bit(gpu, thread_order, options,
                                                                     alpha, ref_length):
    batch = random_batch([1, 5, 30, 60], ref_length, seed=ref_length, alpha=alpha)
    kernels = TrainingRun(gpu, batch, options).run_distance().run_forward().run_backward()
    found = run(gpu, "float32", batch.lengths, [ref_length] * 4, kernels.flat("D"), options,
                batch.alpha)
    assert_same_bits(found, (kernels.flat("R"), kernels.flat("scores"), kernels.flat("E")))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS)
def test_threads_serving_several_columns_change_no_bit(thread_order, path, options):
    """A block of fewer threads than columns (each thread then serves every T-th column) gives
    the bits of a thread per column, for one reference and for pairs of other lengths."""
    twin = twin_backend()
    lengths, ref_lengths = [1, 9, 40, 23], [45, 13, 60, 1]
    distance = distances(lengths, ref_lengths, seed=3)
    alpha = np.linspace(-0.2, 0.3, 4)
    one_per_column = run(twin, path, lengths, ref_lengths, distance, options, alpha)
    for threads in (1, 8, 32):
        hooks.set_max_threads_per_block(threads)
        assert_same_bits(run(twin, path, lengths, ref_lengths, distance, options, alpha),
                         one_per_column)
    hooks.reset_device()
    # A signal alone gives the bits it has in its batch.
    cells = np.cumsum([0] + [n * m for n, m in zip(lengths, ref_lengths)])
    k = 2
    alone = run(twin, path, lengths[k:k + 1], ref_lengths[k:k + 1],
                distance[cells[k]:cells[k + 1]], options, alpha[k:k + 1])
    assert alone[0].tobytes() == one_per_column[0][cells[k]:cells[k + 1]].tobytes()
    assert alone[1].tobytes() == one_per_column[1][k:k + 1].tobytes()
    assert alone[2].tobytes() == one_per_column[2][cells[k]:cells[k + 1]].tobytes()


@pytest.fixture(scope="module")
def scalar():
    loader = Path(__file__).parents[2] / "benchmarks" / "scalar_wavefront.py"
    spec = importlib.util.spec_from_file_location("scalar_wavefront", loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.ScalarWavefront()


@pytest.mark.parametrize("options", ENDS)
def test_float32_beyond_a_block_is_the_scalar_loop_bit_for_bit(gpu, scalar, options):
    """References longer than the 1024 threads of a block: every cell takes the kernels'
    steps, and the free-end terminals fold as the block's threads fold them."""
    lengths, ref_lengths = [3, 11], [2048, 1500]
    distance = distances(lengths, ref_lengths, seed=5)
    score, scores, gradient = run(gpu, "float32", lengths, ref_lengths, distance, options)
    expected_score, expected_gradient = np.empty_like(score), np.empty_like(gradient)
    offset = 0
    for k, (n, m) in enumerate(zip(lengths, ref_lengths)):
        scalar.forward(distance, expected_score, n, m, options.gamma, offset=offset)
        final = (scalar.free_end_score(expected_score, n, m, options.gamma, options.last_row_only,
                                       options.ref_gap_penalty, offset,
                                       threads=min(max(ref_lengths), 1024))
                 if options.local_end else expected_score[offset + n * m - 1])
        assert final.tobytes() == scores[k].tobytes(), k
        scalar.backward(distance, expected_score, expected_gradient, n, m, options.gamma,
                        local_end=options.local_end, final_score=final,
                        last_row_only=options.last_row_only,
                        ref_gap_penalty=options.ref_gap_penalty, offset=offset)
        offset += n * m
    assert score.tobytes() == expected_score.tobytes()
    assert gradient.tobytes() == expected_gradient.tobytes()


def vectorised(path, lengths, ref_lengths, distance, options):
    """orvane_cpu's forward and backward passes of pairs on the same path."""
    suffix, data, score, gradient = PATHS[path]
    cells = sum(n * m for n, m in zip(lengths, ref_lengths))
    d = distance.astype(data)
    r, scores = np.empty(cells, score), np.empty(len(lengths), score)
    e = np.empty(cells, data)
    end = (options.local_end, options.last_row_only, options.ref_gap_penalty)
    getattr(orvane_cpu, "calc_softdtw_pair_forward" + suffix)(
        lengths, ref_lengths, d.ctypes.data, r.ctypes.data, scores.ctypes.data, options.gamma, 0,
        *end)
    getattr(orvane_cpu, "calc_softdtw_pair_backward" + suffix)(
        lengths, ref_lengths, d.ctypes.data, r.ctypes.data, e.ctypes.data, options.gamma, 0,
        options.local_end, scores.ctypes.data, options.last_row_only, options.ref_gap_penalty)
    return r, scores, e


def test_vectorised_pairs_are_one_reference_calls_bit_for_bit():
    """orvane_cpu's passes of pairs give each pair the bits of a one-reference call."""
    lengths, ref_lengths = [3, 20, 1], [17, 5, 40]
    distance = distances(lengths, ref_lengths, seed=2)
    options = Options(gamma=0.4, local_end=True, ref_gap_penalty=0.1)
    for path, (suffix, data, score, gradient) in PATHS.items():
        pairs = vectorised(path, lengths, ref_lengths, distance, options)
        cell = 0
        for k, (n, m) in enumerate(zip(lengths, ref_lengths)):
            d = distance[cell:cell + n * m].astype(data)
            r, final, e = np.empty(n * m, score), np.empty(1, score), np.empty(n * m, data)
            getattr(orvane_cpu, "calc_softdtw_forward" + suffix)(
                [n], m, d.ctypes.data, r.ctypes.data, final.ctypes.data, 0.4, 0, True, False, 0.1)
            getattr(orvane_cpu, "calc_softdtw_backward" + suffix)(
                [n], m, d.ctypes.data, r.ctypes.data, e.ctypes.data, 0.4, 0, True,
                final.ctypes.data, False, 0.1)
            assert r.tobytes() == pairs[0][cell:cell + n * m].tobytes(), (path, k)
            assert final.tobytes() == pairs[1][k:k + 1].tobytes(), (path, k)
            assert e.tobytes() == pairs[2][cell:cell + n * m].tobytes(), (path, k)
            cell += n * m


# Largest differences from orvane_cpu's path: R relative to its size, scores and E absolute.
AGREEMENT = {"mixed": (1e-6, 2e-6), "float64": (1e-12, 1e-9)}


@pytest.mark.parametrize("path", AGREEMENT)
@pytest.mark.parametrize("options", ENDS)
@pytest.mark.parametrize("shape", [
    pytest.param(([4, 9], [2048, 2048], False), id="one-reference-2048"),
    pytest.param(([3, 1, 6], [5000, 2048, 300], True), id="pairs-5000"),
])
def test_mixed_and_float64_agree_with_the_vectorised_module(gpu, path, options, shape):
    lengths, ref_lengths, pairs = shape
    distance = distances(lengths, ref_lengths, seed=11)
    found = run(gpu, path, lengths, ref_lengths, distance, options, pairs=pairs)
    expected = vectorised(path, lengths, ref_lengths, distance, options)
    relative, absolute = AGREEMENT[path]
    np.testing.assert_allclose(found[0], expected[0], rtol=relative, atol=0)
    np.testing.assert_allclose(found[1], expected[1], rtol=relative, atol=absolute)
    np.testing.assert_allclose(found[2], expected[2], rtol=0, atol=absolute)
    assert found[2].min() >= -absolute and found[2].max() <= 1 + absolute


@pytest.mark.parametrize("gamma", [0.01, 0.1])
def test_mixed_expected_alignments_are_accurate_where_float32_steps_are_not(gpu, gamma):
    """At N = M = 1024, |x - y| of two random signals scaled to mean 1: E of the mixed path
    within 5e-6 of the float64 path's on the same float32 distances, and within that of
    orvane_cpu's mixed path's own error, where the float32 steps are off by 1e-2 to 1; the
    float64 path within 1e-9 of orvane_cpu's. (E is stored in float32 cell by cell, and the
    roundings along a path of 2047 cells leave 1e-6 to 4e-6 on either path.)"""
    lengths, ref_lengths = [1024], [1024]
    rng = np.random.default_rng(int(1 / gamma))
    x, y = rng.standard_normal(1024), rng.standard_normal(1024)
    square = np.abs(x[:, None] - y[None, :])
    distance = square_to_antidiag((square / square.mean()).astype(np.float32).ravel(), lengths,
                                  1024)
    options = Options(gamma=gamma)
    exact = run(gpu, "float64", lengths, ref_lengths, distance, options)[2]
    mixed = run(gpu, "mixed", lengths, ref_lengths, distance, options)[2]
    steps = run(gpu, "float32", lengths, ref_lengths, distance, options)[2]
    error = np.max(np.abs(mixed - exact))
    cpu_error = np.max(np.abs(vectorised("mixed", lengths, ref_lengths, distance, options)[2]
                              - exact))
    assert error <= 5e-6 and error <= 2 * cpu_error + 1e-6
    assert np.max(np.abs(steps - exact)) > 1000 * error
    cpu = vectorised("float64", lengths, ref_lengths, distance, options)[2]
    assert np.max(np.abs(exact - cpu)) <= 1e-9


BAD_PAIRS = [
    pytest.param(dict(lengths=[], refs=[]), ValueError, "input_signal_lengths is empty",
                 id="no-signals"),
    pytest.param(dict(lengths=[3, 0], refs=[2, 2]), ValueError,
                 r"input_signal_lengths\[1\] must be positive", id="empty-signal"),
    pytest.param(dict(lengths=[3, 4], refs=[2]), ValueError,
                 "ref_signal_lengths must hold one length per signal: got 1 for 2 signals",
                 id="reference-count"),
    pytest.param(dict(lengths=[3, 4], refs=[2, -1]), ValueError,
                 r"ref_signal_lengths\[1\] must be positive, got: -1", id="empty-reference"),
    pytest.param(dict(lengths=[3], refs=[2], gamma=0.0), ValueError, "gamma must be",
                 id="gamma"),
    pytest.param(dict(lengths=[3], refs=[2], local_end=True, gap=float("nan")), ValueError,
                 "ref_gap_penalty must be a finite number", id="gap-penalty"),
    pytest.param(dict(lengths=[1 << 16, 1 << 16], refs=[1 << 15, 1 << 15]), ValueError,
                 "more than the 2147483647", id="too-many-cells"),
]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("bad, error, message", BAD_PAIRS)
@pytest.mark.parametrize("module", [twin_backend().module, orvane_cpu], ids=["twin", "cpu"])
def test_bad_pairs_are_refused_before_anything_runs(module, path, bad, error, message):
    suffix = PATHS[path][0]
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    sentinel = np.full(4, -1.0)
    for operation in ("forward", "backward"):
        arguments = [bad["lengths"], bad["refs"], sentinel.ctypes.data, sentinel.ctypes.data,
                     sentinel.ctypes.data, bad.get("gamma", 1.0), 0, bad.get("local_end", False)]
        if operation == "forward":
            arguments += [False, bad.get("gap", 0.0)]
        else:
            arguments += [sentinel.ctypes.data, False, bad.get("gap", 0.0)]
        with pytest.raises(error, match=message):
            getattr(module, f"calc_softdtw_pair_{operation}{suffix}")(*arguments)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
    assert np.all(sentinel == -1.0)


@pytest.mark.parametrize("path", ["mixed", "float64"])
def test_one_reference_versions_refuse_what_the_float32_functions_refuse(path):
    module = twin_backend().module
    sentinel = np.full(4, -1.0)
    address = sentinel.ctypes.data
    with pytest.raises(ValueError, match="ref_signal_length must be positive"):
        getattr(module, "calc_softdtw_forward_" + path)([3], 0, address, address, address, 1.0)
    with pytest.raises(RuntimeError, match="scores_ptr is required when local_end is true"):
        getattr(module, "calc_softdtw_backward_" + path)([3], 2, address, address, address, 1.0,
                                                         0, True, 0)
    # No limit of the threads per block: a reference of 5000 columns runs.
    lengths, distance = [2], distances([2], [5000])
    found = run(twin_backend(), path, lengths, [5000], distance, Options(), pairs=False)
    assert np.isfinite(found[1]).all()
    assert np.all(sentinel == -1.0)
