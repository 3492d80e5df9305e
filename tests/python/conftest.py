"""Backends for the Python suite: one test list runs over every module that can run it.

The CPU twin and the vectorised CPU module run everything on host memory. The CUDA module
runs the device tests only where a GPU is present, and the tests that need no device
everywhere it was built.
"""

import contextlib
import importlib

import pytest

import orvane
from orvane import cpu_cuda_testing as hooks
from orvane import vectorised_testing
import orvane_cpu
import orvane_pybind_cpu
from orvane.buffers import (Backend, CudaBuffer, twin_backend, cuda_device_count,
                            vectorised_backend)

try:
    orvane_pybind = importlib.import_module("orvane_pybind")
except ImportError:  # the CUDA module is only built where nvcc is found
    orvane_pybind = None

VECTORISED = vectorised_backend()
BACKENDS = [pytest.param(twin_backend(), id="twin"), pytest.param(VECTORISED, id="cpu")]
if orvane_pybind is not None:
    BACKENDS.append(pytest.param(
        Backend("cuda", orvane_pybind, CudaBuffer), id="cuda",
        marks=pytest.mark.skipif(cuda_device_count() == 0, reason="no CUDA device")))

MODULES = [pytest.param(orvane_pybind_cpu, id="twin"), pytest.param(orvane_cpu, id="cpu")]
if orvane_pybind is not None:
    MODULES.append(pytest.param(orvane_pybind, id="cuda"))


@pytest.fixture(params=BACKENDS)
def backend(request):
    """A module together with a way to make its device buffers."""
    return request.param


# The modules whose kernels run in blocks of threads: the twin and, with a GPU, the CUDA one.
GPU_BACKENDS = [param for param in BACKENDS if param.id != "cpu"]


@pytest.fixture(params=GPU_BACKENDS)
def gpu(request):
    """The twin and, where a GPU is present, the CUDA module."""
    return request.param


@pytest.fixture(params=[hooks.ThreadOrder.forward, hooks.ThreadOrder.reverse,
                        hooks.ThreadOrder.shuffled], ids=["forward", "reverse", "shuffled"])
def thread_order(request):
    """The twin's threads of a block start and resume in this order (a GPU picks its own), so
    that a missing barrier shows under one of them."""
    hooks.set_thread_order(request.param, seed=7)
    return request.param


@pytest.fixture(params=MODULES)
def module(request):
    """Each built module, for tests that need no device."""
    return request.param


@pytest.fixture(autouse=True)
def clean_cpu_runtime():
    """Every test starts and ends with a healthy twin runtime and no pending failures."""
    hooks.reset_device()
    hooks.clear_failures()
    hooks.set_thread_order(hooks.ThreadOrder.forward)
    yield
    hooks.reset_device()
    hooks.clear_failures()
    hooks.set_thread_order(hooks.ThreadOrder.forward)


def assert_refused_before_anything_runs(arguments, error, message):
    """Every package entry point refuses `arguments` (on the twin, whose hooks count what is
    allocated and launched) with `error` matching `message`, having allocated and launched
    nothing."""
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    for function in (orvane.soft_dtw, orvane.soft_dtw_with_grad, orvane.soft_alignment):
        with pytest.raises(error, match=message):
            function(**arguments)
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


@contextlib.contextmanager
def vectorised_threads(threads, tiles=0):
    """Inside the block the vectorised module runs on `threads` threads (0: one per core) and
    cuts the matrix of every signal that runs alone into `tiles` tiles (0: its own choice)."""
    orvane_cpu.set_num_threads(threads)
    vectorised_testing.force_tiles(tiles)
    try:
        yield
    finally:
        vectorised_testing.force_tiles(0)
        orvane_cpu.set_num_threads(0)


@pytest.fixture(params=["scalar", "sse4", "best"])
def instruction_set(request):
    """The vectorised module on its portable fallback, on four float32 lanes (SSE4) and on the
    widest instruction set here."""
    vectorised_testing.force_instruction_set(request.param)
    yield vectorised_testing.last_instruction_set()
    vectorised_testing.force_instruction_set("best")
