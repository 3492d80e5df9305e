"""Array libraries the package speaks natively: NumPy, PyTorch and CuPy.

Each adapter knows how to tell its arrays apart, where they live, how to make float32
contiguous copies and new buffers on the same device, and the address of their data. Any
other producer of `__dlpack__` or `__cuda_array_interface__` is taken in through whichever
of these libraries is installed, and its results come back in that library's type.
"""

from __future__ import annotations

import contextlib
import importlib
import sys
import warnings
from dataclasses import dataclass

import numpy as np

from ._accuracy import library_directories
from ._types import FLOAT32, FLOAT64, HOST, Device



def _loaded(name):
    """A library the caller has already imported: its arrays can only come from there, and
    importing one that is not in use would cost seconds."""
    return sys.modules.get(name)


def _importable(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


class NumpyArrays:
    name = "numpy"

    def __init__(self):
        self.np = np
        self.module = np  # its elementwise functions (sign), which the three libraries share

    def owns(self, obj) -> bool:
        return isinstance(obj, np.ndarray)

    def device(self, obj) -> Device:
        return HOST

    def refuse_unsupported(self, obj, name):
        if isinstance(obj, np.matrix):
            raise TypeError(f"{name} is a numpy.matrix, which is always two-dimensional; pass "
                            f"np.asarray({name}) instead")
        if isinstance(obj, np.ma.MaskedArray):
            raise TypeError(f"{name} is a masked array, whose mask would be ignored; pass the "
                            "values to align as a plain array")

    def is_float64(self, obj) -> bool:
        return obj.dtype == np.float64

    def is_contiguous_as(self, obj, element=FLOAT32) -> bool:
        return obj.dtype == element.numpy and obj.flags.c_contiguous

    def as_type(self, obj, element=FLOAT32):
        return np.ascontiguousarray(obj, dtype=element.numpy)

    def is_floating(self, obj) -> bool:
        return np.issubdtype(obj.dtype, np.floating)

    def empty(self, size, device, element=FLOAT32):
        return np.empty(size, element.numpy)

    def zeros(self, size, device, element=FLOAT32):
        return np.zeros(size, element.numpy)

    def address(self, obj) -> int:
        return obj.ctypes.data

    def concat(self, arrays):
        return np.concatenate(arrays)

    def copy(self, obj):
        return obj.copy()

    def copy_into(self, destination, source):
        np.copyto(destination, source)

    def to_numpy(self, obj):
        return np.asarray(obj)

    def values_at(self, obj, positions):
        """The values at positions (one sequence of indices per leading axis), as float64
        NumPy values."""
        return np.asarray(obj)[positions].astype(np.float64)

    def swap_last_axes(self, obj):
        return np.swapaxes(obj, -1, -2)

    def from_numpy(self, array, device):
        return np.ascontiguousarray(array)

    def synchronize(self, device):
        pass

    @contextlib.contextmanager
    def on_device(self, device):
        yield

    def max_threads_per_block(self, device):
        raise AssertionError("host arrays have no device")


class TorchArrays:
    name = "torch"

    def __init__(self, torch):
        self.torch = torch
        self.module = torch

    def owns(self, obj) -> bool:
        return isinstance(obj, self.torch.Tensor)

    def device(self, obj) -> Device:
        if obj.device.type == "cuda":
            return Device("cuda", obj.device.index or 0)
        if obj.device.type != "cpu":
            raise ValueError(f"tensors on {obj.device.type} devices are not supported; "
                             "use CPU or CUDA tensors")
        return HOST

    def refuse_unsupported(self, obj, name):
        if obj.is_nested:
            raise TypeError(f"{name} is a nested tensor; pass a list of tensors, or a padded "
                            "tensor with lengths")
        if obj.layout != self.torch.strided:
            raise TypeError(f"{name} is a {obj.layout} tensor; pass a dense one "
                            f"({name}.to_dense())")

    def _torch_device(self, device):
        return self.torch.device(str(device))

    def _dtype(self, element):
        return getattr(self.torch, np.dtype(element.numpy).name)

    def is_float64(self, obj) -> bool:
        return obj.dtype == self.torch.float64

    def is_contiguous_as(self, obj, element=FLOAT32) -> bool:
        return obj.dtype == self._dtype(element) and obj.is_contiguous()

    def as_type(self, obj, element=FLOAT32):
        return obj.detach().to(self._dtype(element)).contiguous()

    def is_floating(self, obj) -> bool:
        return obj.dtype.is_floating_point

    def empty(self, size, device, element=FLOAT32):
        return self.torch.empty(size, dtype=self._dtype(element),
                                device=self._torch_device(device))

    def zeros(self, size, device, element=FLOAT32):
        return self.torch.zeros(size, dtype=self._dtype(element),
                                device=self._torch_device(device))

    def address(self, obj) -> int:
        return obj.data_ptr()

    def concat(self, arrays):
        return self.torch.cat(arrays)

    def copy(self, obj):
        return obj.clone()

    def copy_into(self, destination, source):
        destination.copy_(source)

    def to_numpy(self, obj):
        return obj.detach().cpu().numpy()

    def values_at(self, obj, positions):
        index = tuple(self.torch.tensor(axis, device=obj.device) for axis in positions)
        return self.to_numpy(obj[index].to(self.torch.float64))

    def swap_last_axes(self, obj):
        return obj.transpose(-1, -2)

    def from_numpy(self, array, device):
        return self.torch.from_numpy(np.ascontiguousarray(array)).to(self._torch_device(device))

    def synchronize(self, device):
        if device.is_cuda:
            self.torch.cuda.current_stream(device.index).synchronize()

    def on_device(self, device):
        return self.torch.cuda.device(device.index) if device.is_cuda else contextlib.nullcontext()

    def max_threads_per_block(self, device):
        from . import buffers
        return buffers.max_threads_per_block(device.index)


class CupyArrays:
    name = "cupy"

    def __init__(self, cupy):
        self.cupy = cupy
        self.module = cupy

    def owns(self, obj) -> bool:
        return isinstance(obj, self.cupy.ndarray)

    def device(self, obj) -> Device:
        return Device("cuda", obj.device.id)

    def refuse_unsupported(self, obj, name):
        pass

    def is_float64(self, obj) -> bool:
        return obj.dtype == np.float64

    def is_contiguous_as(self, obj, element=FLOAT32) -> bool:
        return obj.dtype == element.numpy and obj.flags.c_contiguous

    def as_type(self, obj, element=FLOAT32):
        return self.cupy.ascontiguousarray(obj, dtype=element.numpy)

    def is_floating(self, obj) -> bool:
        return np.issubdtype(obj.dtype, np.floating)

    def empty(self, size, device, element=FLOAT32):
        with self.cupy.cuda.Device(device.index):
            return self.cupy.empty(size, element.numpy)

    def zeros(self, size, device, element=FLOAT32):
        with self.cupy.cuda.Device(device.index):
            return self.cupy.zeros(size, element.numpy)

    def address(self, obj) -> int:
        return obj.data.ptr

    def concat(self, arrays):
        return self.cupy.concatenate(arrays)

    def copy(self, obj):
        return obj.copy()

    def copy_into(self, destination, source):
        self.cupy.copyto(destination, source)

    def to_numpy(self, obj):
        return self.cupy.asnumpy(obj)

    def values_at(self, obj, positions):
        with self.cupy.cuda.Device(obj.device.id):
            index = tuple(self.cupy.asarray(axis) for axis in positions)
            return self.cupy.asnumpy(obj[index]).astype(np.float64)

    def swap_last_axes(self, obj):
        return self.cupy.swapaxes(obj, -1, -2)

    def from_numpy(self, array, device):
        with self.cupy.cuda.Device(device.index):
            return self.cupy.asarray(array)

    def synchronize(self, device):
        with self.cupy.cuda.Device(device.index):
            self.cupy.cuda.get_current_stream().synchronize()

    def on_device(self, device):
        return self.cupy.cuda.Device(device.index)

    def max_threads_per_block(self, device):
        return self.cupy.cuda.runtime.getDeviceProperties(device.index)["maxThreadsPerBlock"]


_ADAPTERS = {}


def _adapter(name, make, find=_loaded):
    """The adapter of library `name` once it is there (`find` decides how to look), or None."""
    if name not in _ADAPTERS:
        module = find(name)
        if module is None:
            return None
        _ADAPTERS[name] = make(module)
    return _ADAPTERS[name]


def libraries(find=_loaded):
    """The adapters of the libraries in use, NumPy first."""
    found = [_adapter("numpy", lambda _: NumpyArrays(), _importable),
             _adapter("torch", TorchArrays, find), _adapter("cupy", CupyArrays, find)]
    return [library for library in found if library is not None]


def adapter_of(obj):
    """The adapter of a native array, or None."""
    for library in libraries():
        if library.owns(obj):
            return library
    return None


def _tracked(value) -> bool:
    """Whether a value (an array, or a list of them) holds a PyTorch tensor that autograd
    records: one that requires grad, outside torch.no_grad()."""
    torch = _loaded("torch")
    if torch is None or not torch.is_grad_enabled():
        return False
    items = value if isinstance(value, (list, tuple)) else (value,)
    return any(isinstance(item, torch.Tensor) and item.requires_grad for item in items)


def warn_if_tracked(function: str, **arguments):
    """One UserWarning for the call when some of the arguments are tensors that require
    grad: the array-level functions return results detached from autograd, and the error
    PyTorch gives at a later backward() does not say why."""
    # A warning rather than an error: a model's parameters passed on purpose (a validation
    # score, a pairwise matrix for clustering) are a fair use, which `.detach()` at every
    # call would only clutter; under torch.no_grad() nothing is tracked and nothing is said.
    tracked = [name for name, value in arguments.items() if _tracked(value)]
    if tracked:
        warnings.warn(f"orvane.{function} does not track gradients: {' and '.join(tracked)} "
                      f"{'require' if len(tracked) > 1 else 'requires'} grad, but the results "
                      "come back detached from autograd; use orvane.torch (soft_dtw, "
                      "soft_dtw_divergence, SoftDTWLoss) for differentiable results, or pass "
                      "detached tensors", UserWarning, skip_file_prefixes=library_directories())


class RawCudaArray:
    """A float32 (or float64) device buffer made through the CUDA runtime, for callers whose
    CUDA arrays come from a library the package does not speak. It exposes
    `__cuda_array_interface__`, so any CUDA library can take it in."""

    def __init__(self, size, device, zero=False, element=FLOAT32):
        from . import buffers
        self.buffer = buffers.CudaBuffer.allocate(size, device.index, zero, element.numpy)
        self.size = size
        self.device = device
        self.dtype = np.dtype(element.numpy)

    @property
    def __cuda_array_interface__(self):
        return {"shape": (self.size,), "typestr": self.dtype.str, "data": (self.buffer.ptr, False),
                "version": 3, "strides": None}

    def __getitem__(self, item):
        start, stop, step = item.indices(self.size)
        if step != 1:
            raise IndexError("only contiguous slices of a RawCudaArray are supported")
        view = object.__new__(RawCudaArray)
        view.buffer = _Offset(self.buffer, start, self.dtype.itemsize)
        view.size, view.device, view.dtype = max(stop - start, 0), self.device, self.dtype
        return view

    def numpy(self):
        return self.buffer.numpy()[:self.size]


@dataclass
class _Offset:
    base: object
    start: int
    itemsize: int

    @property
    def ptr(self):
        return self.base.ptr + self.itemsize * self.start

    def numpy(self):
        return self.base.numpy()[self.start:]


class RawCudaArrays:
    """CUDA arrays known only by their `__cuda_array_interface__`, with no CUDA library
    installed: taken as they are (float32, contiguous) and answered with RawCudaArray."""

    name = "cuda-array-interface"

    def owns(self, obj) -> bool:
        return isinstance(obj, RawCudaArray)

    @staticmethod
    def _interface(obj):
        return obj.__cuda_array_interface__

    def device(self, obj) -> Device:
        from . import buffers
        return Device("cuda", buffers.device_of_address(self._interface(obj)["data"][0]))

    def refuse_unsupported(self, obj, name):
        pass

    def is_float64(self, obj) -> bool:
        return self._interface(obj)["typestr"] == "<f8"

    def is_contiguous_as(self, obj, element=FLOAT32) -> bool:
        interface = self._interface(obj)
        return (interface["typestr"] == np.dtype(element.numpy).str
                and interface.get("strides") is None and len(interface["shape"]) == 1)

    def as_type(self, obj, element=FLOAT32):
        raise TypeError(f"CUDA arrays that are not contiguous 1-D {element.numpy.__name__} "
                        "need CuPy or PyTorch installed to be converted")

    def is_floating(self, obj) -> bool:
        return self._interface(obj)["typestr"][1] == "f"

    def empty(self, size, device, element=FLOAT32):
        return RawCudaArray(size, device, element=element)

    def zeros(self, size, device, element=FLOAT32):
        return RawCudaArray(size, device, zero=True, element=element)

    def address(self, obj) -> int:
        return obj.buffer.ptr if isinstance(obj, RawCudaArray) else self._interface(obj)["data"][0]

    def to_numpy(self, obj):
        return obj.numpy()

    def values_at(self, obj, positions):
        return self.to_numpy(obj)[positions].astype(np.float64)

    def swap_last_axes(self, obj):
        raise TypeError("CUDA arrays with their channels first need CuPy or PyTorch installed "
                        "to be read")

    def from_numpy(self, array, device):
        values = RawCudaArray(int(np.size(array)), device)
        from . import buffers
        buffers.copy_to_device(values.buffer.ptr, np.ascontiguousarray(array, np.float32))
        return values

    def copy(self, obj):
        duplicate = RawCudaArray(obj.size, obj.device,
                                 element=FLOAT64 if self.is_float64(obj) else FLOAT32)
        self.copy_into(duplicate, obj)
        return duplicate

    def copy_into(self, destination, source):
        from . import buffers
        itemsize = 8 if self.is_float64(source) else 4
        buffers.copy_on_device(self.address(destination), self.address(source), source.size,
                               itemsize)

    def concat(self, arrays):
        raise TypeError("a list of CUDA arrays needs CuPy or PyTorch installed to be joined; "
                        "pass one flat array with lengths instead")

    def synchronize(self, device):
        from . import buffers
        buffers.synchronize(device.index)

    @contextlib.contextmanager
    def on_device(self, device):
        from . import buffers
        with buffers.current_device(device.index):
            yield

    def max_threads_per_block(self, device):
        from . import buffers
        return buffers.max_threads_per_block(device.index)


def is_cuda_array(obj) -> bool:
    """A foreign object that describes CUDA memory."""
    if hasattr(obj, "__cuda_array_interface__"):
        return True
    device = getattr(obj, "__dlpack_device__", None)
    return device is not None and device()[0] in (2, 3, 13)  # CUDA, CUDA host, managed


def _import_foreign(obj, name):
    """A foreign array as one of the native libraries' arrays, without a copy where possible."""
    from . import _backends
    by_name = {library.name: library for library in libraries(find=_importable)}
    if is_cuda_array(obj):
        _backends.require_cuda(name)
        if "cupy" in by_name:
            return by_name["cupy"], by_name["cupy"].cupy.asarray(obj)
        if "torch" in by_name:
            torch = by_name["torch"].torch
            tensor = (torch.as_tensor(obj, device="cuda")
                      if hasattr(obj, "__cuda_array_interface__") else torch.from_dlpack(obj))
            return by_name["torch"], tensor
        if hasattr(obj, "__cuda_array_interface__"):
            return RawCudaArrays(), obj
        raise TypeError(f"{name} is a DLPack CUDA array; taking it in needs CuPy or PyTorch")
    return by_name["numpy"], np.from_dlpack(obj)


def native(obj, name):
    """(adapter, array) for any supported array; TypeError naming the argument otherwise."""
    if (library := adapter_of(obj)) is not None:
        library.refuse_unsupported(obj, name)
        return library, obj
    if hasattr(obj, "__cuda_array_interface__") or hasattr(obj, "__dlpack__"):
        return _import_foreign(obj, name)
    raise TypeError(f"{name} must be an array (NumPy, PyTorch, CuPy, or any object with "
                    f"__dlpack__ or __cuda_array_interface__), got {type(obj).__name__}")
