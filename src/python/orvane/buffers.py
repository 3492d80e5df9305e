"""Raw buffers for the low-level functions, and the CUDA runtime reached through ctypes.

The extension modules take buffer addresses as integers. On a GPU those are device
allocations, made here through the CUDA runtime library when no array library is at hand; on
the CPU modules they are NumPy arrays' addresses. `select_backend()` picks the CUDA module when
a device is present and the twin otherwise. The package itself uses the runtime only to read
a device's limits, to find which device an address belongs to, and for CUDA arrays whose own
library it does not speak.
"""

import contextlib
import ctypes
import ctypes.util
import importlib
import warnings

import numpy as np

_MEMCPY_HOST_TO_DEVICE = 1
_MEMCPY_DEVICE_TO_HOST = 2
_MEMCPY_DEVICE_TO_DEVICE = 3
_ATTRIBUTE_MAX_THREADS_PER_BLOCK = 1


def load_cudart():
    """The CUDA runtime library, or None where it cannot be loaded."""
    for name in ("libcudart.so", ctypes.util.find_library("cudart"),
                 "/usr/local/cuda/lib64/libcudart.so"):
        if name:
            try:
                library = ctypes.CDLL(name)
            except OSError:
                continue
            library.cudaGetErrorString.restype = ctypes.c_char_p
            return library
    return None


CUDART = load_cudart()


def _device_count_query():
    """(the devices the CUDA runtime reaches, its error message or None); (0, None) without
    the runtime."""
    if CUDART is None:
        return 0, None
    count = ctypes.c_int(0)
    code = CUDART.cudaGetDeviceCount(ctypes.byref(count))
    if code != 0:
        return 0, CUDART.cudaGetErrorString(code).decode()
    return count.value, None


def cuda_device_count():
    return _device_count_query()[0]


def cuda_device_error():
    """Why the CUDA runtime reaches no device, in its own words (a missing driver, say), or
    None when it raises no error."""
    return _device_count_query()[1]


def _check(code, what):
    if code != 0:
        raise RuntimeError(f"{what} failed: {CUDART.cudaGetErrorString(code).decode()}")


def max_threads_per_block(device):
    value = ctypes.c_int(0)
    _check(CUDART.cudaDeviceGetAttribute(ctypes.byref(value), _ATTRIBUTE_MAX_THREADS_PER_BLOCK,
                                         device), "cudaDeviceGetAttribute")
    return value.value


class _PointerAttributes(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("device", ctypes.c_int),
                ("devicePointer", ctypes.c_void_p), ("hostPointer", ctypes.c_void_p)]


def device_of_address(address):
    attributes = _PointerAttributes()
    _check(CUDART.cudaPointerGetAttributes(ctypes.byref(attributes), ctypes.c_void_p(address)),
           "cudaPointerGetAttributes")
    return attributes.device


def synchronize(device):
    with current_device(device):
        _check(CUDART.cudaDeviceSynchronize(), "cudaDeviceSynchronize")


@contextlib.contextmanager
def current_device(device):
    previous = ctypes.c_int(0)
    _check(CUDART.cudaGetDevice(ctypes.byref(previous)), "cudaGetDevice")
    _check(CUDART.cudaSetDevice(device), "cudaSetDevice")
    try:
        yield
    finally:
        CUDART.cudaSetDevice(previous.value)


def copy_to_device(address, host):
    """Copies a contiguous NumPy array to device memory at `address`."""
    _check(CUDART.cudaMemcpy(ctypes.c_void_p(address), host.ctypes.data_as(ctypes.c_void_p),
                             ctypes.c_size_t(host.nbytes), _MEMCPY_HOST_TO_DEVICE), "cudaMemcpy")


def copy_on_device(target, source, count, itemsize=4):
    """Copies `count` values of `itemsize` bytes (float32 unless told) between device
    addresses."""
    _check(CUDART.cudaMemcpy(ctypes.c_void_p(target), ctypes.c_void_p(source),
                             ctypes.c_size_t(itemsize * count), _MEMCPY_DEVICE_TO_DEVICE),
           "cudaMemcpy")


class HostBuffer:
    """A buffer of the CPU modules (float32 unless told): host memory, used by address."""

    def __init__(self, values, dtype=np.float32):
        self.array = np.array(values, dtype=dtype, copy=True).ravel()
        self.ptr = self.array.ctypes.data

    def numpy(self):
        return self.array.copy()


class CudaBuffer:
    """A buffer in GPU memory (float32 unless told), filled from and read back to NumPy."""

    def __init__(self, values, dtype=np.float32):
        host = np.ascontiguousarray(values, dtype=dtype).ravel()
        self._allocate(host.size, host.dtype)
        copy_to_device(self.ptr, host)

    @classmethod
    def allocate(cls, size, device=0, zero=False, dtype=np.float32):
        buffer = cls.__new__(cls)
        with current_device(device):
            buffer._allocate(size, np.dtype(dtype))
            if zero:
                _check(CUDART.cudaMemset(ctypes.c_void_p(buffer.ptr), 0,
                                         ctypes.c_size_t(buffer.dtype.itemsize * size)),
                       "cudaMemset")
        return buffer

    def _allocate(self, size, dtype):
        self.size, self.dtype = size, dtype
        pointer = ctypes.c_void_p()
        _check(CUDART.cudaMalloc(ctypes.byref(pointer),
                                 ctypes.c_size_t(max(dtype.itemsize * size, 4))), "cudaMalloc")
        self.ptr = pointer.value

    def numpy(self):
        host = np.empty(self.size, dtype=self.dtype)
        _check(CUDART.cudaMemcpy(host.ctypes.data_as(ctypes.c_void_p), ctypes.c_void_p(self.ptr),
                                 ctypes.c_size_t(host.nbytes), _MEMCPY_DEVICE_TO_HOST),
               "cudaMemcpy")
        return host

    def __del__(self):
        if CUDART is not None and getattr(self, "ptr", None):
            CUDART.cudaFree(ctypes.c_void_p(self.ptr))


class Backend:
    """One of the modules together with the buffers it works on, named as the package's
    `backend=` names it: "cuda", "twin" or "cpu" (the vectorised module)."""

    def __init__(self, name, module, buffer_type):
        self.name = name
        self.module = module
        self.buffer_type = buffer_type

    def array(self, values, dtype=np.float32):
        return self.buffer_type(values, dtype)

    def full(self, size, value, dtype=np.float32):
        return self.buffer_type(np.full(size, value, dtype=dtype), dtype)

    def synchronize(self):
        if self.buffer_type is CudaBuffer:
            _check(CUDART.cudaDeviceSynchronize(), "cudaDeviceSynchronize")

    def __repr__(self):
        return self.name


def twin_backend():
    """The twin: the CUDA kernels run on the CPU ("twin", as the package names it)."""
    return Backend("twin", importlib.import_module("orvane_pybind_cpu"), HostBuffer)


def vectorised_backend():
    """The vectorised CPU module ("cpu", as the package names it)."""
    return Backend("cpu", importlib.import_module("orvane_cpu"), HostBuffer)


def cpu_backend():
    """The twin, under the name it had before the backends took the package's names; call
    twin_backend()."""
    warnings.warn("orvane.buffers.cpu_backend() returns the twin; call twin_backend() (the "
                  "package's backend 'cpu' is the vectorised module, vectorised_backend())",
                  DeprecationWarning, stacklevel=2)
    return twin_backend()


def cuda_backend():
    """The CUDA module with GPU buffers, or None without the module or a device."""
    try:
        module = importlib.import_module("orvane_pybind")
    except ImportError:
        return None
    return Backend("cuda", module, CudaBuffer) if cuda_device_count() > 0 else None


def select_backend():
    """The CUDA module where a GPU is present, the twin otherwise."""
    return cuda_backend() or twin_backend()
