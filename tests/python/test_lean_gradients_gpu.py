"""Gradients without matrices on the twin and, with a GPU, the CUDA module
(calc_softdtw_gradients* and calc_softdtw_pair_gradients*): float32 against the twin's stored
path of the same float steps (distances, forward and backward passes, the gradients formed
from E in float32), equal within a few roundings since the sums run in another order than the
stored path's atomics; mixed and float64 against orvane_cpu's gradients without matrices
within the suite's tolerances; every path against a float64 reference from the definitions;
the same bits on every run, under any block size and for a signal alone or inside a batch; and
every bad argument refused as orvane_cpu refuses it, before anything is allocated or
launched."""

import numpy as np
import pytest

import orvane
import orvane_cpu
import softdtw_reference as ref
import test_lean_gpu as lean
from orvane import cpu_cuda_testing as hooks
from orvane.buffers import twin_backend, vectorised_backend

PATHS, ENDS, CASES, GAMMA = lean.PATHS, lean.ENDS, lean.CASES, lean.GAMMA
# Largest differences from orvane_cpu's gradients, relative to the largest gradient of the
# call: its float32 exp and log are a few ulps from the device's; the mixed and float64 paths
# as test_column_passes holds their passes.
CPU_AGREEMENT = {"float32": 1e-4, "mixed": 2e-6, "float64": 1e-11}
# Largest differences from the float64 reference, relative to the largest gradient.
REFERENCE_AGREEMENT = {"float32": 1e-3, "mixed": 1e-5, "float64": 1e-10}
# The float32 sums of the stored path and of the lean one differ in their order alone: a few
# roundings of the largest term.
FEW_ROUNDINGS = 8 * np.finfo(np.float32).eps


def weights_of(case):
    return np.linspace(0.5, 1.5, len(case.lengths))


def lean_gradients(backend, path, case, end, with_samples=True, weights=True):
    """(scores, sample gradients, reference gradients) of calc_softdtw_gradients* (pair
    versions for pairs) on `backend`, the gradients added into buffers that start at 0.25."""
    suffix, _, data, score = PATHS[path]
    samples = backend.array(np.concatenate(case.signals).ravel(), data)
    references = backend.array(np.concatenate(case.references).ravel(), data)
    ref_lengths = case.ref_lengths if case.pairs else case.ref_lengths * len(case.lengths)
    cells = sum(n * m for n, m in zip(case.lengths, ref_lengths))
    score_matrix = backend.full(cells, np.nan, score)
    scores = backend.full(len(case.lengths), np.nan, score)
    sample_gradients = backend.full(samples.numpy().size, 0.25, data)
    reference_gradients = backend.full(references.numpy().size, 0.25, data)
    alpha = case.alpha_values()
    alpha_buffer = None if alpha is None else backend.array(alpha, data)
    weight_buffer = backend.array(weights_of(case), data) if weights else None
    band = None if case.band is None else backend.array(case.band, np.int32)
    name, refs = (("calc_softdtw_pair_gradients", case.ref_lengths) if case.pairs
                  else ("calc_softdtw_gradients", case.ref_lengths[0]))
    getattr(backend.module, name + suffix)(
        samples.ptr, case.lengths, references.ptr, refs, score_matrix.ptr, scores.ptr,
        sample_gradients.ptr if with_samples else 0, reference_gradients.ptr, GAMMA,
        0 if alpha_buffer is None else alpha_buffer.ptr,
        0 if weight_buffer is None else weight_buffer.ptr, end["local_end"],
        end["last_row_only"], end["ref_gap_penalty"], channels=case.channels, cost=case.cost,
        band_ptr=0 if band is None else band.ptr, band_kind=case.band_kind)
    backend.synchronize()
    return scores.numpy(), sample_gradients.numpy(), reference_gradients.numpy()


def stored_expected_alignments(backend, path, case, end):
    """Each signal's E (N_k x M_k, row-major) from the stored path: the distances as the
    package forms them, then the forward and backward passes of pairs (the reference
    repeated for one reference)."""
    suffix, distance_suffix, data, score = PATHS[path]
    module = backend.module
    lengths = case.lengths
    ref_lengths = case.ref_lengths if case.pairs else case.ref_lengths * len(lengths)
    cells = sum(n * m for n, m in zip(lengths, ref_lengths))
    square = backend.array(np.concatenate(
        [case.square_costs(k, data).ravel() for k in range(len(lengths))]), data)
    distance, gradient = backend.full(cells, np.nan, data), backend.full(cells, np.nan, data)
    score_matrix = backend.full(cells, np.nan, score)
    scores = backend.full(len(lengths), np.nan, score)
    alpha = case.alpha_values()
    alpha_buffer = None if alpha is None else backend.array(alpha, data)
    alpha_ptr = 0 if alpha_buffer is None else alpha_buffer.ptr
    getattr(module, f"convert_pair_square_to_antidiag{distance_suffix}")(
        lengths, ref_lengths, square.ptr, distance.ptr)
    getattr(module, f"calc_softdtw_pair_forward{suffix}")(
        lengths, ref_lengths, distance.ptr, score_matrix.ptr, scores.ptr, GAMMA, alpha_ptr,
        end["local_end"], end["last_row_only"], end["ref_gap_penalty"])
    getattr(module, f"calc_softdtw_pair_backward{suffix}")(
        lengths, ref_lengths, distance.ptr, score_matrix.ptr, gradient.ptr, GAMMA, alpha_ptr,
        end["local_end"], scores.ptr, end["last_row_only"], end["ref_gap_penalty"])
    getattr(module, f"convert_pair_antidiag_to_square{distance_suffix}")(
        lengths, ref_lengths, gradient.ptr, square.ptr)
    backend.synchronize()
    flat, found, start = square.numpy(), [], 0
    for n, m in zip(lengths, ref_lengths):
        found.append(flat[start:start + n * m].reshape(n, m))
        start += n * m
    return scores.numpy(), found


def gradients_from_alignments(case, alignments, data, scores):
    """The gradients of sum_k w_k score_k from each signal's E, formed cell by cell in `data`
    as the package forms them (w E sign(x - y) outside the dead zone, or (w E + w E)(x - y)),
    and summed in float64; a signal of score +inf adds nothing. Starts at 0.25."""
    dx = [np.full(s.shape, 0.25) for s in case.signals]
    dy = [np.full(r.shape, 0.25) for r in case.references]
    for k, (x, expected) in enumerate(zip(case.signals, alignments)):
        if scores[k] == np.inf:
            continue
        y = case.reference_of(k)
        g = expected.astype(data) * data(weights_of(case)[k])
        for c in range(case.channels):
            difference = x[:, c, None].astype(data) - y[None, :, c].astype(data)
            if case.cost == "abs":
                term = g * (np.sign(difference) * (np.abs(difference) >= data(1e-7)))
            else:
                term = (g + g) * difference
            dx[k][:, c] += term.astype(np.float64).sum(axis=1)
            dy[k if case.pairs else 0][:, c] -= term.astype(np.float64).sum(axis=0)
    return np.concatenate(dx).ravel(), np.concatenate(dy).ravel()


def reference_gradients(case, end):
    """Float64 gradients from the definitions: E by the chain rule through R, times d cost."""
    alpha = case.alpha_values()
    alignments, scores = [], []
    for k, x in enumerate(case.signals):
        y = case.reference_of(k)
        difference = x[:, None, :] - y[None, :, :]
        costs = (np.abs(difference) if case.cost == "abs" else difference ** 2).sum(axis=2)
        if case.band is not None:
            costs[~lean.band_from_definition(*costs.shape, case.band[k], case.band_kind)] = \
                np.inf
        options = dict(local_end=end["local_end"], last_row_only=end["last_row_only"],
                       gap=end["ref_gap_penalty"])
        bias = 0.0 if alpha is None else alpha[k]
        with np.errstate(invalid="ignore"):  # a signal a band leaves without a path
            alignments.append(ref.backward(costs, GAMMA, bias, **options))
        scores.append(ref.score_of_distance(costs, GAMMA, bias, **options))
    return gradients_from_alignments(case, alignments, np.float64, scores)


def assert_close(found, expected, tolerance):
    scale = max(np.max(np.abs(expected)), 1.0)
    np.testing.assert_allclose(found, expected, rtol=0, atol=tolerance * scale)


@pytest.mark.parametrize("end", ENDS)
@pytest.mark.parametrize("case", CASES)
def test_float32_gradients_are_the_stored_paths_within_a_few_roundings(gpu, thread_order, end,
                                                                        case):
    scores, dx, dy = lean_gradients(gpu, "float32", CASES[case], ENDS[end])
    stored_scores, alignments = stored_expected_alignments(gpu, "float32", CASES[case],
                                                           ENDS[end])
    assert scores.tobytes() == stored_scores.tobytes()
    expected_dx, expected_dy = gradients_from_alignments(CASES[case], alignments, np.float32,
                                                         scores)
    assert_close(dx, expected_dx, FEW_ROUNDINGS)
    assert_close(dy, expected_dy, FEW_ROUNDINGS)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ENDS)
@pytest.mark.parametrize("case", CASES)
def test_gradients_agree_with_orvane_cpu_and_the_float64_reference(gpu, thread_order, path,
                                                                   end, case):
    scores, dx, dy = lean_gradients(gpu, path, CASES[case], ENDS[end])
    cpu_scores, cpu_dx, cpu_dy = lean_gradients(vectorised_backend(), path, CASES[case],
                                                ENDS[end])
    relative, absolute = lean.CPU_AGREEMENT[path]
    np.testing.assert_allclose(scores, cpu_scores, rtol=relative, atol=absolute)
    for found, expected in ((dx, cpu_dx), (dy, cpu_dy)):
        assert_close(found, expected, CPU_AGREEMENT[path])
    expected_dx, expected_dy = reference_gradients(CASES[case], ENDS[end])
    assert_close(dx, expected_dx, REFERENCE_AGREEMENT[path])
    assert_close(dy, expected_dy, REFERENCE_AGREEMENT[path])


def test_the_reference_gradients_alone_leave_the_samples_untouched():
    twin = twin_backend()
    case = CASES["3-channels-sqeuclidean"]
    _, dx, dy = lean_gradients(twin, "float32", case, ENDS["free"], with_samples=False)
    _, _, expected_dy = lean_gradients(twin, "float32", case, ENDS["free"])
    assert np.all(dx == np.float32(0.25))
    assert dy.tobytes() == expected_dy.tobytes()


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ["global", "free"])
def test_the_same_bits_on_every_run_under_any_block_and_alone_or_in_a_batch(thread_order, path,
                                                                            end):
    twin = twin_backend()
    cases = [CASES["pairs"], CASES["band-widened"], CASES["3-channels-sqeuclidean"]]
    whole = [lean_gradients(twin, path, case, ENDS[end]) for case in cases]
    for case, expected in zip(cases, whole):
        again = lean_gradients(twin, path, case, ENDS[end])
        assert all(a.tobytes() == b.tobytes() for a, b in zip(again, expected))
    # A column a thread: a block as wide as the longest reference (45 columns), or wider.
    for threads in (45, 64):
        hooks.set_max_threads_per_block(threads)
        for case, expected in zip(cases, whole):
            found = lean_gradients(twin, path, case, ENDS[end])
            assert all(a.tobytes() == b.tobytes() for a, b in zip(found, expected))


@pytest.mark.parametrize("path", PATHS)
def test_a_signal_alone_has_the_gradients_it_has_inside_a_batch(thread_order, path):
    """Each signal of a batch against one reference, alone: its samples' gradients are the
    batch's bit for bit; each pair of a batch of pairs, alone: its samples' and its
    reference's gradients are the batch's bit for bit."""
    twin = twin_backend()
    for case in (lean.Case([7, 19, 12], [21], pairs=False, channels=3, cost="sqeuclidean",
                           seed=12), CASES["pairs-3-channels-widened"]):
        _, batch_dx, batch_dy = lean_gradients(twin, path, case, ENDS["free"], weights=False)
        first_sample, first_reference = 0, 0
        for k, n in enumerate(case.lengths):
            m = case.ref_lengths[k if case.pairs else 0]
            alone = lean.Case([n], [m], pairs=case.pairs, channels=case.channels,
                              cost=case.cost, band_kind=case.band_kind,
                              band=None if case.band is None else [case.band[k]])
            alone.signals, alone.references = [case.signals[k]], [case.reference_of(k)]
            _, dx, dy = lean_gradients(twin, path, alone, ENDS["free"], weights=False)
            own = slice(first_sample * case.channels, (first_sample + n) * case.channels)
            assert dx.tobytes() == batch_dx[own].tobytes()
            if case.pairs:
                own = slice(first_reference * case.channels,
                            (first_reference + m) * case.channels)
                assert dy.tobytes() == batch_dy[own].tobytes()
            first_sample += n
            first_reference += m


BAD = lean.BAD + [  # beyond the scores': R's buffer and the gradients'
    pytest.param(dict(score_matrix=0), "score_matrix_ptr must not be 0", id="no-score-matrix"),
    pytest.param(dict(ref_gradients=0), "ref_gradients_ptr must not be 0",
                 id="no-reference-gradients"),
    pytest.param(dict(cells=-1), "score_matrix_cells must be 0 or more, got: -1",
                 id="negative-cells"),
]
# Fewer cells than the batch's: orvane_cpu would keep checkpoints for one signal, and says
# so for more; the GPU keeps none, and says that instead.
TOO_FEW_CELLS = r"score_matrix_ptr holds 11 cells, less than the 12 of the batch"


def call_with(module, path, pairs, bad, sentinel, band):
    """A call of 2 signals of 3 samples against references of 2, changed by `bad`."""
    address = sentinel.ctypes.data
    refs = bad.get("refs", [2, 2] if pairs else 2)
    name = ("calc_softdtw_pair_gradients" if pairs else "calc_softdtw_gradients") + \
        PATHS[path][0]
    getattr(module, name)(
        bad.get("input_signal", address), bad.get("lengths", [3, 3]),
        bad.get("ref_signal", address), refs, bad.get("score_matrix", address),
        bad.get("scores", address), address, bad.get("ref_gradients", address),
        bad.get("gamma", 1.0), 0, 0, bad.get("local_end", False), False, bad.get("gap", 0.0),
        score_matrix_cells=bad.get("cells", 0), channels=bad.get("channels", 1),
        cost=bad.get("cost", "abs"), band_ptr=band.ctypes.data if "band" in bad else 0,
        band_kind=bad.get("band_kind", "scaled"))


def refused(module, path, pairs, bad, message):
    """The message of a refused call, which allocated, launched and wrote nothing."""
    sentinel = np.full(64, -1.0)
    band = np.array(bad.get("band", [0, 0]), np.int32)
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(ValueError, match=message) as refusal:
        call_with(module, path, pairs, bad, sentinel, band)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
    assert np.all(sentinel == -1.0)
    return str(refusal.value)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
@pytest.mark.parametrize("bad, message", BAD)
def test_bad_calls_are_refused_as_orvane_cpu_refuses_them_before_anything_runs(path, pairs,
                                                                              bad, message):
    if pairs != isinstance(bad.get("refs", [] if pairs else 0), list):
        pytest.skip("the reference lengths of the other kind of call")
    messages = [refused(module, path, pairs, bad, message)
                for module in (twin_backend().module, orvane_cpu)]
    assert messages[0] == messages[1]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_fewer_cells_than_the_batchs_are_refused_before_anything_runs(path, pairs):
    found = refused(twin_backend().module, path, pairs, dict(cells=11), TOO_FEW_CELLS)
    assert found.endswith("the GPU keeps no checkpoints of R")
    refused(orvane_cpu, path, pairs, dict(cells=11), TOO_FEW_CELLS)


def test_the_limit_of_m_is_two_successors_a_column_and_a_column_or_two_a_thread():
    """48 KiB of shared memory a block on the twin: one column a thread, of 768 on the float32
    path, 1024 on the mixed one and 512 on the float64 one, each within two successors a
    column (12, 12 and 24 bytes)."""
    module = twin_backend().module
    assert [module.gradients_max_ref_length(path) for path in PATHS] == [768, 1024, 512]
    hooks.set_max_threads_per_block(100)
    assert [module.gradients_max_ref_length(path) for path in PATHS] == [100, 100, 100]
    with pytest.raises(ValueError, match="path must be 'float32', 'mixed' or 'float64'"):
        module.gradients_max_ref_length("float16")


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("pairs", [False, True], ids=["one-reference", "pairs"])
def test_a_reference_beyond_the_limit_is_refused_before_anything_runs(path, pairs):
    module = twin_backend().module
    limit = module.gradients_max_ref_length(path)
    bad = dict(refs=[5, limit + 1] if pairs else limit + 1, cells=10 ** 6)
    name = r"ref_signal_lengths\[1\]" if pairs else "ref_signal_length"
    refused(module, path, pairs, bad, rf"{name} \({limit + 1}\) exceeds the {limit} columns")


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("end", ["global", "free"])
def test_a_reference_at_the_limit_agrees_with_orvane_cpu(path, end):
    """M at the limit, every thread of a block busy: 1024, 512 on the float64 path."""
    limit = twin_backend().module.gradients_max_ref_length(path)
    case = lean.Case([3, 6], [limit], pairs=False, channels=3, cost="sqeuclidean", seed=13)
    scores, dx, dy = lean_gradients(twin_backend(), path, case, ENDS[end])
    cpu_scores, cpu_dx, cpu_dy = lean_gradients(vectorised_backend(), path, case, ENDS[end])
    relative, absolute = lean.CPU_AGREEMENT[path]
    np.testing.assert_allclose(scores, cpu_scores, rtol=relative, atol=absolute)
    assert_close(dx, cpu_dx, CPU_AGREEMENT[path])
    assert_close(dy, cpu_dy, CPU_AGREEMENT[path])


def test_the_package_runs_the_twins_gradients_without_matrices():
    """soft_dtw_with_grad on the twin keeps R alone (8 bytes a cell on the mixed path): three
    launches a call, the whole batch's bits in pieces that a budget of one signal's R cuts,
    orvane_cpu's results within the tolerances, and a budget below one signal's R refused."""
    rng = np.random.default_rng(14)
    signals = [rng.standard_normal((n, 2)).astype(np.float32) for n in (60, 20)]
    reference = rng.standard_normal((30, 2)).astype(np.float32)
    options = dict(precision="mixed", band=[4, 2], end="free")
    launches = hooks.launches_run()
    whole = orvane.soft_dtw_with_grad(signals, reference, backend="twin", **options)
    assert hooks.launches_run() - launches == 3  # forward, backward, reference rows
    budgeted = orvane.soft_dtw_with_grad(signals, reference, backend="twin",
                                         memory_budget=60 * 30 * 8, **options)
    for got, want in zip((budgeted[0], *budgeted[1], budgeted[2]),
                         (whole[0], *whole[1], whole[2])):
        assert got.tobytes() == want.tobytes()
    cpu = orvane.soft_dtw_with_grad(signals, reference, backend="cpu", **options)
    np.testing.assert_allclose(whole[0], cpu[0], rtol=1e-6)
    for got, want in zip((*whole[1], whole[2]), (*cpu[1], cpu[2])):
        assert_close(got, want, CPU_AGREEMENT["mixed"])
    with pytest.raises(ValueError, match="memory_budget"):
        orvane.soft_dtw_with_grad(signals, reference, backend="twin",
                                  memory_budget=60 * 30 * 8 - 1, **options)
