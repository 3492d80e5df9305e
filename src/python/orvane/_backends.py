"""Which extension module runs a call: the CUDA module for device memory, the vectorised CPU
module for host memory, or the one the caller names ("twin" runs the CUDA kernels on the
CPU, as the CUDA module would run them on a GPU)."""

from __future__ import annotations

import importlib
from dataclasses import dataclass

from . import buffers
from ._types import BACKEND_NAMES, FLOAT32, FLOAT64, MIXED, PRECISIONS, Device, Element

# The twin runs the CUDA kernels, one thread per reference column, under the thread limit of
# the device it stands in for. The vectorised module has no thread blocks: only the 32-bit
# positions bound the reference.
# The twin's device, as its stand-in for the CUDA runtime reports it.
TWIN_THREADS_PER_BLOCK = 1024
UNBOUNDED = 2**31 - 1


@dataclass(frozen=True)
class Backend:
    """The module that runs a call, under its name in `backend=`."""

    name: str
    module: object
    # The threads a block may have: the longest reference the kernels of one thread per column
    # take (longer ones run through the operations' pair versions).
    block_threads: int


# The module behind each backend.
MODULES = {"cpu": "orvane_cpu", "twin": "orvane_pybind_cpu", "cuda": "orvane_pybind"}


def _load(backend: str):
    """The extension module of a backend; ImportError with the loader's own message (a
    missing shared library, say) and the backend's name when it cannot be loaded."""
    name = MODULES[backend]
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ImportError(f"backend {backend!r} cannot be used: its module {name} did not "
                          f"load: {error}") from error


def _unavailable(backend: str):
    """Why a backend cannot run here, or None when it can."""
    try:
        _load(backend)
    except ImportError as error:
        if backend == "cuda" and isinstance(error.__cause__, ModuleNotFoundError):
            return "this installation has no CUDA module (it was built without nvcc)"
        return str(error.__cause__)
    if backend == "cuda" and buffers.cuda_device_count() == 0:
        return _no_device_reason()
    return None


def _no_device_reason() -> str:
    """Why the CUDA module reaches no device: no runtime to ask, or the runtime's own word."""
    if buffers.CUDART is None:
        return "the CUDA runtime library (libcudart) could not be loaded"
    said = buffers.cuda_device_error()
    return ("this machine has no GPU that the CUDA runtime can reach "
            + (f"(it says: {said})" if said else "(it found none)"))


def cuda_unavailable_reason():
    """Why device arrays cannot run here, or None when they can."""
    return _unavailable("cuda")


def backends() -> dict[str, str]:
    """Every backend with "available", or the reason it cannot run here."""
    return {backend: _unavailable(backend) or "available" for backend in MODULES}


def require_cuda_backend():
    """Refuses backend="cuda" where it cannot run, saying what is missing, before anything
    else is said about the arrays."""
    if (reason := cuda_unavailable_reason()) is not None:
        raise RuntimeError(f"backend='cuda' needs an NVIDIA GPU and the CUDA module; {reason}")


def require_cuda(name):
    if (reason := cuda_unavailable_reason()) is not None:
        raise RuntimeError(f"{name} is in CUDA device memory, which needs the CUDA module "
                           f"orvane_pybind and a GPU: {reason}")


def check_name(requested: str | None) -> str:
    """The backend asked for, "auto" for None; ValueError for a name that is none."""
    requested = "auto" if requested is None else requested
    if not isinstance(requested, str) or requested not in BACKEND_NAMES:
        raise ValueError(f"backend must be one of {', '.join(map(repr, BACKEND_NAMES))}, "
                         f"got: {requested!r}")
    return requested


def choose(device: Device, requested: str | None, adapter, argument: str) -> Backend:
    requested = check_name(requested)
    if device.is_cuda:
        if requested not in ("auto", "cuda"):
            raise ValueError(f"backend {requested!r} runs on host memory, but {argument} is on "
                             f"{device}")
        require_cuda(argument)
        return Backend("cuda", _load("cuda"), adapter.max_threads_per_block(device))
    if requested == "cuda":
        require_cuda_backend()
        raise ValueError(f"backend 'cuda' needs device memory, but {argument} is in host memory")
    if requested == "twin":
        return Backend("twin", _load("twin"), TWIN_THREADS_PER_BLOCK)
    return Backend("cpu", _load("cpu"), UNBOUNDED)


def check_precision(requested: str | None):
    if requested is not None and (not isinstance(requested, str) or requested not in PRECISIONS):
        raise ValueError(f"precision must be one of {', '.join(map(repr, PRECISIONS))}, "
                         f"got: {requested!r}")


def choose_element(requested: str | None, backend: Backend, float64_inputs: bool) -> Element:
    """What a call computes in: by default float64 inputs on the float64 path and every other
    input on the mixed path, on every backend; precision= picks any path anywhere
    ("float32" the kernels' own float32 steps)."""
    check_precision(requested)
    if requested is None:
        return FLOAT64 if float64_inputs else MIXED
    return {"float32": FLOAT32, "mixed": MIXED, "float64": FLOAT64}[requested]
