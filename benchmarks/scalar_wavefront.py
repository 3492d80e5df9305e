"""The plain scalar wavefront of scalar_wavefront.cpp, built with the library's float flags
(no contraction, a fused multiply-add only where asked) and called on NumPy arrays. The
benchmark times the twin against it; the tests hold the twin to it bit for bit. compiled()
builds the other yardsticks of benchmarks/ the same way."""

import ctypes
import hashlib
import os
import subprocess
import tempfile
from pathlib import Path

import numpy as np

SOURCE = Path(__file__).with_name("scalar_wavefront.cpp")
FLAGS = ["-O2", "-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC"]


def compiled(source, extra_flags=(), headers=()):
    """`source` built with the library's float flags and `extra_flags`, cached by the hash of
    them, the source and the `headers` it includes; built atomically, so that processes
    running side by side never load half a file."""
    flags = [*FLAGS, *extra_flags]
    inputs = b"".join(path.read_bytes() for path in (source, *headers))
    digest = hashlib.sha256(inputs + " ".join(flags).encode()).hexdigest()[:16]
    library = Path(tempfile.gettempdir()) / f"orvane_{source.stem}_{digest}.so"
    if not library.exists():
        partial = library.with_suffix(f".{os.getpid()}.tmp")
        subprocess.run(["g++", *flags, str(source), "-o", str(partial)], check=True)
        os.replace(partial, library)
    return ctypes.CDLL(str(library))


def _build():
    return compiled(SOURCE, ["-mfma"] if "fma" in Path("/proc/cpuinfo").read_text() else [])


class ScalarWavefront:
    """One signal's matrices (float32 arrays in the anti-diagonal layout) at a time."""

    def __init__(self):
        self.library = _build()
        self.library.scalar_free_end_score.restype = ctypes.c_float

    @staticmethod
    def _pointer(array, offset=0):
        assert array.dtype == np.float32 and array.flags.c_contiguous
        return ctypes.c_void_p(array.ctypes.data + 4 * offset)

    def forward(self, distance, score, n, m, gamma, bias=0.0, offset=0):
        self.library.scalar_forward(self._pointer(distance, offset), self._pointer(score, offset),
                                    n, m, ctypes.c_float(gamma), ctypes.c_float(bias))

    def free_end_score(self, score, n, m, gamma, last_row_only, ref_gap_penalty, offset=0,
                       threads=None):
        """The free-end score, its terminals folded as a block of `threads` (m unless told)
        threads folds them."""
        return np.float32(self.library.scalar_free_end_score(
            self._pointer(score, offset), n, m, ctypes.c_float(gamma), ctypes.c_bool(last_row_only),
            ctypes.c_float(ref_gap_penalty), threads or m))

    def backward(self, distance, score, gradient, n, m, gamma, bias=0.0, local_end=False,
                 final_score=0.0, last_row_only=False, ref_gap_penalty=0.0, offset=0):
        self.library.scalar_backward(
            self._pointer(distance, offset), self._pointer(score, offset),
            self._pointer(gradient, offset), n, m, ctypes.c_float(gamma), ctypes.c_float(bias),
            ctypes.c_bool(local_end), ctypes.c_float(final_score), ctypes.c_bool(last_row_only),
            ctypes.c_float(ref_gap_penalty))
