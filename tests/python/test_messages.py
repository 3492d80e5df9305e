"""What the package says when a call cannot do what the caller meant: tensors that require
grad given to the array-level functions, backend="cuda" where it cannot run, tslearn's
(n, sz, 1) layout against a 1-D reference; and the documented way to scikit-learn's
precomputed metrics."""

import sys
import typing
import warnings

import numpy as np
import pytest

import orvane
from orvane import buffers
from orvane._types import PRECISIONS, Precision

torch = pytest.importorskip("torch")
import orvane.torch  # noqa: E402

DETACHED = "does not track gradients"


def detached_warnings(call):
    """The UserWarnings about detached results that one call raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return [w for w in caught if issubclass(w.category, UserWarning)
            and DETACHED in str(w.message)]


def tracked_batch():
    generator = torch.Generator().manual_seed(3)
    signals = [torch.randn(n, generator=generator, requires_grad=True) for n in (7, 12, 9)]
    return signals, torch.randn(10, generator=generator)


ARRAY_LEVEL_CALLS = {
    "soft_dtw": lambda x, y: orvane.soft_dtw(x, y),
    "soft_dtw_with_grad": lambda x, y: orvane.soft_dtw_with_grad(x, y),
    "soft_alignment": lambda x, y: orvane.soft_alignment(x, y),
    "soft_dtw_divergence": lambda x, y: orvane.soft_dtw_divergence(x, y),
    # A budget that holds one column of pairs a call: the matrix takes several calls.
    "pairwise": lambda x, y: orvane.pairwise(x, [y, y], memory_budget=200),
    "barycenter": lambda x, y: orvane.barycenter(x, max_iter=3),
}


@pytest.mark.parametrize("function", ARRAY_LEVEL_CALLS)
def test_tensors_that_require_grad_are_named_once_per_call_pointing_to_orvane_torch(function):
    if function == "barycenter":
        pytest.importorskip("scipy")
    signals, reference = tracked_batch()
    found = detached_warnings(lambda: ARRAY_LEVEL_CALLS[function](signals, reference))
    assert len(found) == 1
    message = str(found[0].message)
    assert message.startswith(f"orvane.{function} does not track gradients: ")
    assert "orvane.torch" in message and "SoftDTWLoss" in message
    assert found[0].filename == __file__  # the caller's line, not the package's


def test_every_argument_that_requires_grad_is_named():
    signals, reference = tracked_batch()
    found = detached_warnings(lambda: orvane.soft_dtw(signals, reference.requires_grad_()))
    assert len(found) == 1
    assert "signals and reference require grad" in str(found[0].message)
    found = detached_warnings(lambda: orvane.soft_dtw([s.detach() for s in signals], reference))
    assert "reference requires grad" in str(found[0].message)


def test_nothing_is_said_where_nothing_is_tracked():
    signals, reference = tracked_batch()
    with torch.no_grad():
        assert detached_warnings(lambda: orvane.soft_dtw(signals, reference)) == []
    assert detached_warnings(lambda: orvane.soft_dtw([s.detach() for s in signals],
                                                     reference)) == []
    # orvane.torch's operations take the same tensors through the package's checks.
    assert detached_warnings(lambda: orvane.torch.soft_dtw(signals, reference)) == []
    assert detached_warnings(
        lambda: orvane.torch.SoftDTWLoss(divergence=True)(signals, reference).backward()) == []


def no_device(monkeypatch):
    monkeypatch.setattr(buffers, "cuda_device_count", lambda: 0)


@pytest.mark.parametrize("call", [
    lambda: orvane.soft_dtw([np.ones(3)], np.ones(4), backend="cuda"),
    lambda: orvane.torch.SoftDTWLoss(backend="cuda")([torch.ones(3)], torch.ones(4)),
], ids=["array-level", "torch"])
def test_backend_cuda_without_a_gpu_says_there_is_none(monkeypatch, call):
    no_device(monkeypatch)
    with pytest.raises(RuntimeError, match="backend='cuda' needs an NVIDIA GPU and the CUDA "
                                           "module; this machine has no GPU that the CUDA "
                                           "runtime can reach"):
        call()


def test_backend_cuda_without_the_cuda_runtime_says_so(monkeypatch):
    monkeypatch.setattr(buffers, "CUDART", None)
    with pytest.raises(RuntimeError, match=r"needs an NVIDIA GPU and the CUDA module; the CUDA "
                                           r"runtime library \(libcudart\) could not be loaded"):
        orvane.soft_dtw([np.ones(3)], np.ones(4), backend="cuda")


def test_backend_cuda_without_the_cuda_module_says_it_was_not_built(monkeypatch):
    # None in sys.modules makes the import fail as a missing module does.
    monkeypatch.setitem(sys.modules, "orvane_pybind", None)
    with pytest.raises(RuntimeError, match=r"needs an NVIDIA GPU and the CUDA module; this "
                                           r"installation has no CUDA module \(it was built "
                                           r"without nvcc\)"):
        orvane.soft_dtw([np.ones(3)], np.ones(4), backend="cuda")


def test_the_cuda_runtime_s_own_word_is_given_where_it_has_one(monkeypatch):
    no_device(monkeypatch)
    monkeypatch.setattr(buffers, "cuda_device_error", lambda: "no CUDA-capable device")
    with pytest.raises(RuntimeError, match=r"\(it says: no CUDA-capable device\)"):
        orvane.soft_dtw([np.ones(3)], np.ones(4), backend="cuda")
    monkeypatch.setattr(buffers, "cuda_device_error", lambda: None)
    assert orvane.backends()["cuda"] == ("this machine has no GPU that the CUDA runtime can "
                                         "reach (it found none)")


TSLEARN_HINT = (r"for signals of shape \(B, N, d\) give the reference as \(M, d\), or the "
                r"references as \(B, M, d\), here d = 1: reference\[\.\.\., None\]")


@pytest.mark.parametrize("library", ["numpy", "torch"])
def test_tslearn_s_layout_against_a_1d_reference_says_how_to_give_the_reference(library):
    rng = np.random.default_rng(0)
    signals, reference = rng.standard_normal((3, 8, 1)), rng.standard_normal(6)
    call = orvane.soft_dtw if library == "numpy" else orvane.torch.soft_dtw
    if library == "torch":
        signals, reference = torch.from_numpy(signals), torch.from_numpy(reference)
    with pytest.raises(ValueError, match="got 3 dimensions; " + TSLEARN_HINT):
        call(signals, reference)
    # The hint's reference makes the call, and it scores the signals as 1-D ones.
    expected = orvane.soft_dtw(np.asarray(signals)[..., 0], np.asarray(reference))
    np.testing.assert_array_equal(np.asarray(call(signals, reference[..., None])), expected)


def test_signals_of_several_channels_against_a_1d_reference_get_the_general_hint():
    with pytest.raises(ValueError, match=r"give the reference as \(M, d\), or the references as "
                                         r"\(B, M, d\)$"):
        orvane.soft_dtw(np.ones((3, 8, 2)), np.ones(6))


def test_the_divergence_matrix_is_what_scikit_learn_s_precomputed_metrics_take():
    check_non_negative = pytest.importorskip("sklearn.utils.validation").check_non_negative
    rng = np.random.default_rng(5)
    signals = [np.sin(np.linspace(0, 6, n)) + 0.1 * rng.standard_normal(n) for n in (30, 42, 37)]
    with pytest.raises(ValueError, match="Negative values in data passed to X"):
        check_non_negative(orvane.pairwise(signals, gamma=0.1), "X")
    divergences = orvane.pairwise(signals, gamma=0.1, divergence=True)
    check_non_negative(divergences, "X")
    assert np.all(np.diagonal(divergences) == 0)
    documented = " ".join(orvane.pairwise.__doc__.split())
    assert ('refuse the plain matrix ("Negative values in data passed to X"). Give them '
            "divergence=True") in documented


PRECISION_TAKERS = [orvane.soft_dtw, orvane.soft_dtw_with_grad, orvane.soft_alignment,
                    orvane.soft_dtw_divergence, orvane.torch.soft_dtw,
                    orvane.torch.soft_dtw_divergence, orvane.torch.SoftDTWLoss.__init__]


@pytest.mark.parametrize("function", PRECISION_TAKERS,
                         ids=lambda f: f"{f.__module__}.{f.__qualname__}")
def test_precision_is_annotated_with_every_path(function):
    assert typing.get_type_hints(function)["precision"] == Precision | None
    assert set(typing.get_args(Precision)) == {"float32", "mixed", "float64"}


@pytest.mark.parametrize("documented", [orvane.soft_dtw, orvane.torch.soft_dtw,
                                        orvane.torch.SoftDTWLoss],
                         ids=lambda f: f"{f.__module__}.{f.__qualname__}")
def test_precision_s_documentation_lists_every_path(documented):
    assert all(f'"{precision}"' in documented.__doc__ for precision in PRECISIONS)
