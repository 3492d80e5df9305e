"""The orvane package over every array kind that can run here: results equal the low-level
calls, gradients match finite differences, batch forms agree, split batches equal whole
ones, and rejected arguments change nothing."""

import functools
import sys
import warnings
from dataclasses import dataclass

import numpy as np
import pytest

import orvane
import softdtw_reference as ref
from batches import Options, TrainingRun, random_batch
from conftest import VECTORISED, assert_refused_before_anything_runs, orvane_pybind
from orvane._api import prepare
from orvane.buffers import twin_backend, cuda_backend, cuda_device_count

torch = pytest.importorskip("torch")

FLOAT32_ATOL = 1e-5
FINITE_DIFFERENCE_STEP = 1e-4
GRADIENT_ATOL = 2e-3


@dataclass
class Kind:
    """How to make one library's arrays and read them back, the backend the package is asked
    for (None: its default choice) and the low-level backend that choice runs on."""

    make: object
    read: object
    low_level: object
    backend: str | None = None

    def __getattr__(self, name):
        """The package's function `name`, asked for this kind's backend and the kernels'
        float32 steps (the other paths have tests of their own)."""
        return functools.partial(getattr(orvane, name), backend=self.backend,
                                 precision="float32")


def _torch_kind(device):
    return Kind(lambda a: torch.from_numpy(np.asarray(a)).to(device),
                lambda t: t.detach().cpu().numpy(),
                cuda_backend if device == "cuda" else lambda: VECTORISED)


NO_GPU = pytest.mark.skipif(cuda_device_count() == 0 or orvane_pybind is None,
                            reason="no CUDA device")
KINDS = [
    pytest.param(Kind(np.asarray, np.asarray, lambda: VECTORISED), id="numpy"),
    pytest.param(Kind(np.asarray, np.asarray, twin_backend, "twin"), id="numpy-twin"),
    pytest.param(_torch_kind("cpu"), id="torch-cpu"),
    pytest.param(_torch_kind("cuda"), id="torch-cuda", marks=NO_GPU),
]


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


def low_level(kind):
    return kind.low_level()


END_OPTIONS = [Options(gamma=0.7), Options(gamma=1.0, local_end=True, ref_gap_penalty=0.2),
               Options(gamma=0.5, local_end=True, last_row_only=True)]
END_OF = {(False, False): "global", (True, False): "free", (True, True): "free_last_row"}


def package_options(options):
    """The package's options for a low-level run: its cost is |x - y|, the kernels' own."""
    return dict(gamma=options.gamma, end=END_OF[options.local_end, options.last_row_only],
                ref_gap_penalty=options.ref_gap_penalty, cost="abs")


@pytest.mark.parametrize("options", END_OPTIONS, ids=["global", "free", "last-row"])
def test_results_equal_the_low_level_calls(kind, options):
    batch = random_batch([5, 9, 1, 7], 6, seed=1, alpha=True)
    run = TrainingRun(low_level(kind), batch, options).run_all()
    signals = [kind.make(s) for s in batch.signals]
    common = dict(alpha=kind.make(batch.alpha), **package_options(options))
    reference = kind.make(batch.reference)

    scores = kind.soft_dtw(signals, reference, **common)
    assert kind.read(scores).tobytes() == run.flat("scores").tobytes()
    alignment = kind.soft_alignment(signals, reference, **common)
    for k, expected in enumerate(run.matrices("E")):
        assert kind.read(alignment.matrix(k)).tobytes() == expected.tobytes()
    _, dx, dy = kind.soft_dtw_with_grad(signals, reference, **common)
    np.testing.assert_allclose(np.concatenate([kind.read(g) for g in dx]), run.flat("dx"),
                               atol=FLOAT32_ATOL)
    np.testing.assert_allclose(kind.read(dy), run.flat("dy"), atol=FLOAT32_ATOL)


def test_gradients_match_finite_differences_of_the_float64_reference(kind):
    batch = random_batch([6, 4], 5, seed=2)
    gamma = 0.6
    _, dx, dy = kind.soft_dtw_with_grad([kind.make(s) for s in batch.signals],
                                          kind.make(batch.reference), gamma=gamma, cost="abs")

    def total(signals, reference):
        return sum(ref.score_of_distance(ref.distance(s, reference), gamma) for s in signals)

    signals = [s.astype(np.float64) for s in batch.signals]
    reference = batch.reference.astype(np.float64)
    h = FINITE_DIFFERENCE_STEP
    for k, signal in enumerate(signals):
        for i in range(len(signal)):
            up, down = [s.copy() for s in signals], [s.copy() for s in signals]
            up[k][i] += h
            down[k][i] -= h
            slope = (total(up, reference) - total(down, reference)) / (2 * h)
            assert kind.read(dx[k])[i] == pytest.approx(slope, abs=GRADIENT_ATOL)
    for j in range(len(reference)):
        up, down = reference.copy(), reference.copy()
        up[j] += h
        down[j] -= h
        slope = (total(signals, up) - total(signals, down)) / (2 * h)
        assert kind.read(dy)[j] == pytest.approx(slope, abs=GRADIENT_ATOL)


def test_batch_forms_agree_and_float32_inputs_are_not_copied(kind):
    batch = random_batch([4, 7, 2], 5, seed=3)
    flat = np.concatenate(batch.signals)
    padded = np.zeros((3, 7), np.float32)
    for k, signal in enumerate(batch.signals):
        padded[k, :len(signal)] = signal
    reference = kind.make(batch.reference)
    forms = {
        "list": dict(signals=[kind.make(s) for s in batch.signals]),
        "flat": dict(signals=kind.make(flat), lengths=batch.lengths),
        "padded": dict(signals=kind.make(padded), lengths=batch.lengths),
        "strided": dict(signals=kind.make(np.repeat(flat, 2))[::2], lengths=batch.lengths),
    }
    results = {name: kind.soft_dtw_with_grad(reference=reference, gamma=0.5, **form)
               for name, form in forms.items()}
    expected_scores = kind.read(results["list"][0]).tobytes()
    for name, (scores, dx, dy) in results.items():
        assert kind.read(scores).tobytes() == expected_scores, name
    padded_dx = kind.read(results["padded"][1])
    assert padded_dx.shape == (3, 7) and np.all(padded_dx[2, 2:] == 0)
    if low_level(kind) is not VECTORISED:
        # The kernels' sample gradients are float atomic sums, added in the order the threads
        # run (on the GPU and on the twin).
        np.testing.assert_allclose(padded_dx[1], kind.read(results["list"][1][1]), rtol=1e-6,
                                   atol=1e-6)
    else:
        np.testing.assert_array_equal(padded_dx[1], kind.read(results["list"][1][1]))

    flat_input = forms["flat"]["signals"]
    inputs = prepare(flat_input, reference, lengths=batch.lengths, gamma=1.0, end="global",
                     ref_gap_penalty=0.0, alpha=None, backend=None, memory_budget=None)
    assert inputs.batch.flat is flat_input and inputs.reference is reference


def test_split_batches_equal_one_call(kind):
    batch = random_batch([9, 3, 12, 5, 8], 6, seed=4)
    signals = [kind.make(s) for s in batch.signals]
    reference = kind.make(batch.reference)
    whole = kind.soft_alignment(signals, reference, gamma=0.5, cost="abs")
    # Room for the temporaries of 12 x 6 cells at most: every signal in a call of its own
    # (|x - y|, which the GPU modules' kernels form without a matrix of costs).
    split = kind.soft_alignment(signals, reference, gamma=0.5, memory_budget=3 * 4 * 72,
                                cost="abs")
    assert kind.read(split.scores).tobytes() == kind.read(whole.scores).tobytes()
    for k in range(5):
        assert kind.read(split.matrix(k)).tobytes() == kind.read(whole.matrix(k)).tobytes()
    for name in ("weighted_mean", "log_std", "index_log_std"):
        np.testing.assert_allclose(kind.read(getattr(split, name)),
                                   kind.read(getattr(whole, name)), atol=FLOAT32_ATOL)
    _, _, dy_whole = kind.soft_dtw_with_grad(signals, reference, cost="abs")
    _, _, dy_split = kind.soft_dtw_with_grad(signals, reference, memory_budget=3 * 4 * 72,
                                             cost="abs")
    np.testing.assert_allclose(kind.read(dy_split), kind.read(dy_whole), atol=FLOAT32_ATOL)
    with pytest.raises(ValueError, match="signal 2 needs 864 bytes of matrices, more than "
                                         r"memory_budget \(863\)"):
        kind.soft_alignment(signals, reference, memory_budget=863, cost="abs")


def test_divergence_is_zero_for_identical_inputs_and_symmetric(kind):
    rng = np.random.default_rng(5)
    x, y = (rng.standard_normal(9).astype(np.float32) for _ in range(2))
    same = kind.soft_dtw_divergence([kind.make(y), kind.make(x)], kind.make(y), gamma=0.3)
    assert kind.read(same)[0] == 0.0 and kind.read(same)[1] > 0.0
    forward = kind.read(kind.soft_dtw_divergence([kind.make(x)], kind.make(y)))[0]
    backward = kind.read(kind.soft_dtw_divergence([kind.make(y)], kind.make(x)))[0]
    assert forward == pytest.approx(backward, rel=1e-5)
    with pytest.raises(ValueError, match="defined for end='global' without alpha"):
        kind.soft_dtw_divergence([kind.make(x)], kind.make(y), end="free")


def test_alignment_statistics_equal_the_low_level_sequence(kind):
    batch = random_batch([6, 9], 5, seed=6)
    run = TrainingRun(low_level(kind), batch, Options(gamma=0.5)).run_all().run_statistics()
    alignment = kind.soft_alignment([kind.make(s) for s in batch.signals],
                                    kind.make(batch.reference), gamma=0.5, cost="abs")
    for name, expected in [("weighted_mean", "means"), ("log_std", "log_std"),
                           ("index_log_std", "index_log_std"), ("column_sums", "sums")]:
        np.testing.assert_allclose(kind.read(getattr(alignment, name)),
                                   run.flat(expected).reshape(2, 5), atol=FLOAT32_ATOL)
    np.testing.assert_allclose(kind.read(alignment.weights(1)).sum(axis=0), 1.0, atol=1e-6)
    path = alignment.path(1)
    assert path[0].tolist() == [0, 0] and path[-1].tolist() == [8, 4]
    assert np.all(np.diff(path, axis=0) >= 0) and np.all(np.diff(path, axis=0).sum(1) >= 1)


ALIGNMENT_ATTRIBUTES = ("scores", "weighted_mean", "log_std", "index_log_std", "column_sums")


def alignment_contents(kind, alignment):
    """Every attribute and per-signal result of an alignment, as NumPy arrays."""
    contents = {name: kind.read(getattr(alignment, name)) for name in ALIGNMENT_ATTRIBUTES}
    for k in range(len(alignment.lengths)):
        for name in ("matrix", "weights"):
            contents[f"{name}({k})"] = kind.read(getattr(alignment, name)(k))
        contents[f"path({k})"] = alignment.path(k)
    return contents


def test_an_alignment_keeps_nothing_of_the_callers_arrays(kind):
    batch = random_batch([5, 8, 3], 6, seed=9, alpha=True)
    flat, reference, alpha = (kind.make(a.copy()) for a in (batch.samples(), batch.reference,
                                                               batch.alpha))
    options = dict(lengths=batch.lengths, gamma=0.4, alpha=alpha)
    alignment = kind.soft_alignment(flat, reference, **options)
    # The caller reuses its buffers before asking for anything lazy.
    for array in (flat, reference, alpha):
        array[:] = 7
    fresh = kind.soft_alignment(*(kind.make(a) for a in (batch.samples(), batch.reference)),
                                lengths=batch.lengths, gamma=0.4, alpha=kind.make(batch.alpha))
    expected = alignment_contents(kind, fresh)
    for name, value in alignment_contents(kind, alignment).items():
        if kind.backend == "twin" and not name.startswith(("scores", "matrix", "path")):
            # The twin's statistics are float atomic sums, added in the order its threads run;
            # buffers read after the overwrite would be off by far more.
            np.testing.assert_allclose(value, expected[name], rtol=1e-6, atol=1e-6,
                                       err_msg=name)
        else:
            assert value.tobytes() == expected[name].tobytes(), name


def test_signals_of_an_alignment_are_indexed_like_a_sequence():
    batch = random_batch([4, 6, 5], 5, seed=10)
    alignment = orvane.soft_alignment(batch.signals, batch.reference, end="free")
    for k in (-1, -3):
        np.testing.assert_array_equal(alignment.matrix(k), alignment.matrix(3 + k))
        np.testing.assert_array_equal(alignment.weights(k), alignment.weights(3 + k))
        np.testing.assert_array_equal(alignment.path(k), alignment.path(3 + k))
    for method in (alignment.matrix, alignment.weights, alignment.path, alignment.plot):
        for k in (3, -4):
            with pytest.raises(IndexError, match=f"k = {k} is out of range for a batch of 3"):
                method(k)
        with pytest.raises(TypeError, match="k must be an integer, got float"):
            method(1.0)


def test_plot_draws_the_alignment_and_its_path():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    batch = random_batch([8], 6, seed=7)
    alignment = orvane.soft_alignment(batch.signals, batch.reference, end="free")
    ax = alignment.plot(0)
    line = ax.get_lines()[0]
    np.testing.assert_array_equal(np.column_stack([line.get_ydata(), line.get_xdata()]),
                                  alignment.path(0))
    assert ax.get_images()[0].get_array().shape == (8, 6)


def test_unreliable_alignments_warn_and_say_what_helps():
    rng = np.random.default_rng(8)
    signal, reference = (rng.standard_normal(400).astype(np.float32) * 10 for _ in range(2))
    with pytest.warns(RuntimeWarning, match="float32 recurrences .* the float64 path .* a "
                                            "larger gamma, or signals rescaled"):
        orvane.soft_alignment([signal], reference, gamma=0.01, precision="float32")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        orvane.soft_alignment([signal / 100], reference / 100, gamma=1.0, precision="float32")
        orvane.soft_alignment([signal], reference, gamma=0.01)  # the mixed path


def numpy_matrix(values):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(values)


REJECTED = [
    (dict(signals="abc"), TypeError, "signals must be an array"),
    (dict(signals=[]), ValueError, "signals is empty"),
    (dict(signals=[np.zeros((2, 2))]), ValueError, r"signals\[0\] must be one-dimensional"),
    (dict(signals=[np.zeros(3, np.int32)]), TypeError, r"signals\[0\] must hold floating"),
    (dict(signals=np.zeros(5), lengths=[2, 2]), ValueError, "lengths add up to 4"),
    (dict(signals=np.zeros(5), lengths=[5, 0]), ValueError, r"lengths\[1\] must be positive"),
    (dict(signals=np.zeros((2, 4)), lengths=[4, 5]), ValueError, r"lengths\[1\] is 5"),
    (dict(signals=[np.zeros(3)], lengths=[3]), ValueError, "lengths goes with a padded"),
    # A set's order is its hash order, not the caller's: {4, 3} may read as [3, 4].
    (dict(signals=np.zeros((2, 4)), lengths={4, 3}), TypeError,
     "lengths must be a sequence of integers, in order; got a set"),
    (dict(signals=np.zeros(7), lengths=frozenset({4, 3})), TypeError, "got a frozenset"),
    (dict(signals=np.zeros((2, 4)), lengths=[True, 4]), TypeError,
     "lengths must be a sequence of integers, got bool at position 0"),
    (dict(signals=np.zeros((2, 4)), lengths=np.array([1, 1], bool)), TypeError, "got bool"),
    # A 2-D reference holds samples of several channels: the 1-D signals do not match it (nor
    # are its 3 rows one padded reference for each of the 2 signals).
    (dict(reference=np.zeros((3, 2))), ValueError,
     r"signals\[0\] must have 2 dimensions \(samples of 2 channels"),
    (dict(reference=np.zeros((2, 2, 2))), ValueError, "reference must be a 1-D array, or"),
    (dict(gamma=1e-39, precision="float32"), ValueError, "gamma must be a finite, normal float32"),
    (dict(gamma="1"), TypeError, "gamma must be a real number"),
    (dict(gamma=10**400, precision="mixed"), ValueError,
     "gamma must be a finite, normal float32 number greater than zero, got: 1000"),
    (dict(gamma=-10**400), ValueError, "gamma must be a finite, normal float64"),
    (dict(alpha=float("nan")), ValueError, "alpha must be finite, got: nan"),
    (dict(alpha=-10**400), ValueError, "alpha must be finite"),
    (dict(alpha=np.array([0.0, np.inf])), ValueError, "alpha must be finite, got: inf for "
                                                      "signal 1"),
    # Finite in float64 but infinite as the float32 a mixed call computes in.
    (dict(alpha=np.array([1e39, 0.0]), precision="mixed"), ValueError,
     "alpha must be finite, got: inf for signal 0"),
    (dict(signals=numpy_matrix(np.ones(7)), lengths=[3, 4]), TypeError,
     r"signals is a numpy.matrix, which is always two-dimensional; pass np.asarray\(signals\)"),
    (dict(reference=np.ma.masked_array(np.ones(5), mask=[0, 1, 0, 0, 0])), TypeError,
     "reference is a masked array, whose mask would be ignored"),
    (dict(end=["free"]), ValueError, "end must be one of"),
    (dict(end="local"), ValueError, "end must be one of"),
    (dict(end="free", ref_gap_penalty=np.inf), ValueError, "ref_gap_penalty must be a finite number"),
    (dict(alpha=np.zeros(3)), ValueError, r"alpha must hold one value per signal \(2\)"),
    # Where the CUDA backend cannot run at all, that comes first.
    (dict(backend="cuda"), ValueError, "backend 'cuda' needs device memory")
    if cuda_device_count() > 0 and orvane_pybind is not None else
    (dict(backend="cuda"), RuntimeError, "backend='cuda' needs an NVIDIA GPU and the CUDA module"),
    (dict(backend="gpu"), ValueError, "backend must be one of"),
    (dict(backend=None, reference=np.zeros((1, 5))), ValueError,
     r"signals\[0\] must have 2 dimensions"),
    (dict(memory_budget=0), ValueError, "memory_budget must be a positive number"),
]


@pytest.mark.parametrize("change, error, message", REJECTED)
def test_rejected_arguments_allocate_and_run_nothing(change, error, message):
    # On the twin, whose hooks count what is allocated and launched.
    arguments = dict(signals=[np.ones(3), np.ones(4)], reference=np.ones(5), backend="twin")
    arguments.update(change)
    assert_refused_before_anything_runs(arguments, error, message)


def test_inputs_from_two_libraries_or_devices_are_refused():
    with pytest.raises(TypeError, match="reference is a torch array, but signals are numpy"):
        orvane.soft_dtw([np.ones(3)], torch.ones(4))
    with pytest.raises(TypeError, match=r"signals\[1\] is a torch array"):
        orvane.soft_dtw([np.ones(3), torch.ones(3)], np.ones(4))


class CudaInterfaceOnly:
    """A foreign CUDA array known only by its __cuda_array_interface__."""

    __cuda_array_interface__ = {"shape": (4,), "typestr": "<f4", "data": (1 << 40, False),
                                "version": 3, "strides": None}


@pytest.mark.skipif(cuda_device_count() > 0, reason="with a GPU the array would run")
def test_cuda_arrays_go_to_the_cuda_module_and_are_refused_without_a_gpu():
    with pytest.raises(RuntimeError, match="signals is in CUDA device memory, which needs the "
                                           "CUDA module orvane_pybind and a GPU"):
        orvane.soft_dtw(CudaInterfaceOnly(), CudaInterfaceOnly())


def test_batches_split_at_the_32_bit_cell_limit():
    from orvane._batch import plan_chunks
    # 2^30 + 2^30 - 1 cells fit one call; one more sample does not.
    assert plan_chunks([2**30, 2**30 - 1], 1, 3) == [(0, 2)]
    assert plan_chunks([2**30, 2**30, 5], 1, 3) == [(0, 1), (1, 3)]
    with pytest.raises(ValueError, match="signal 1 needs a 2147483648 x 1 matrix of 2147483648 "
                                         "cells, more than the 2147483647 one call can address"):
        plan_chunks([5, 2**31], 1, 3)


def test_a_module_that_cannot_load_is_named_with_the_loaders_reason(monkeypatch):
    # None in sys.modules makes the import fail, as a missing shared library would.
    monkeypatch.setitem(sys.modules, "orvane_cpu", None)
    status = orvane.backends()
    assert status["twin"] == "available" and "orvane_cpu" in status["cpu"]
    with pytest.raises(ImportError, match="backend 'cpu' cannot be used: its module orvane_cpu "
                                          "did not load: import of orvane_cpu halted"):
        orvane.soft_dtw([np.ones(3)], np.ones(4))
    assert orvane.soft_dtw([np.ones(3)], np.ones(4), backend="twin").shape == (1,)
    if orvane_pybind is None:
        assert status["cuda"] == "this installation has no CUDA module (it was built without nvcc)"
    elif cuda_device_count() == 0:
        assert status["cuda"].startswith("this machine has no GPU that the CUDA runtime can "
                                         "reach")


def test_the_raw_buffers_backends_take_the_packages_names():
    from orvane import _backends, buffers
    for backend in (buffers.twin_backend(), buffers.vectorised_backend()):
        assert _backends.MODULES[backend.name] == backend.module.__name__
    with pytest.warns(DeprecationWarning, match=r"call twin_backend\(\)"):
        assert buffers.cpu_backend().module is buffers.twin_backend().module
