"""The probes of wavefront_probes.cpp, two reference wavefronts of the float32 training step
(forward then backward; global end, no per-signal bias) that shapes.py times beside
orvane_cpu: along the diagonal (one signal at a time, the anti-diagonal layout) and signals
side by side (one signal a lane, interleaved matrices). Built for this machine's instruction
set with the library's float flags, and called on NumPy arrays."""

import ctypes
from pathlib import Path

import numpy as np

from scalar_wavefront import compiled

SOURCE = Path(__file__).with_name("wavefront_probes.cpp")
INCLUDE = Path(__file__).resolve().parents[1] / "src"
HEADERS = [INCLUDE / "common" / "antidiag_index.h",
           INCLUDE / "common" / "neighbour_shifts.h"]

# The instruction sets the library leaves out (src/vectorised/CMakeLists.txt): where
# -march=native makes AVX3_DL the static target, Highway 1.0 refuses to build it.
DISABLED_TARGETS = "-DHWY_DISABLED_TARGETS=(HWY_SSSE3|HWY_AVX3_DL)"

_PASS = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
         ctypes.c_int, ctypes.c_int, ctypes.c_float, ctypes.c_int]


def library():
    """The compiled probes, their calls typed."""
    built = compiled(SOURCE, ["-march=native", "-pthread", f"-I{INCLUDE}", DISABLED_TARGETS],
                     HEADERS)
    for name in ("along_forward", "along_backward", "side_by_side_forward",
                 "side_by_side_backward"):
        getattr(built, name).argtypes = _PASS
    built.probe_lanes.restype = ctypes.c_int
    return built


def _float32(array):
    assert array.dtype == np.float32 and array.flags.c_contiguous
    return array.ctypes.data


class _Probe:
    """One probe's passes over a batch's matrices (`distance` in the probe's own layout, of
    `width` floats a cell), its R, E and scores kept: forward() then backward()."""

    def __init__(self, passes, distance, rows, cols, width, gamma, threads):
        self._forward, self._backward = passes
        self.distance = distance
        self.score = np.empty_like(distance)
        self.gradient = np.empty_like(distance)
        self.scores = np.empty(len(rows) * width, np.float32)
        self._rows = (ctypes.c_int * len(rows))(*rows)
        self._shape = (len(rows), cols, ctypes.c_float(gamma), threads)

    def forward(self):
        self._forward(_float32(self.distance), _float32(self.score), _float32(self.scores),
                      self._rows, *self._shape)

    def backward(self):
        self._backward(_float32(self.distance), _float32(self.score), _float32(self.gradient),
                       self._rows, *self._shape)


class AlongDiagonal(_Probe):
    """Signals of any lengths, one at a time, their matrices in the anti-diagonal layout
    (`distance` as orvane_cpu's calc_manhattan_distance gives it)."""

    def __init__(self, built, distance, lengths, cols, gamma=1.0, threads=2):
        super().__init__((built.along_forward, built.along_backward),
                         np.ascontiguousarray(distance, np.float32), list(lengths), cols, 1,
                         gamma, threads)

    def signal_scores(self):
        return self.scores

    def signal_gradients(self):
        return self.gradient


class SideBySide(_Probe):
    """Signals of one length in groups of as many as a vector has lanes; the last group's
    empty lanes repeat its last signal. The interleaved copy of `distance` (anti-diagonal
    layout) is made here, once."""

    def __init__(self, built, distance, lengths, cols, gamma=1.0, threads=2):
        lengths = list(lengths)
        if len(set(lengths)) != 1:
            raise ValueError("signals side by side take signals of one length")
        self.lanes = built.probe_lanes()
        self.count = len(lengths)
        self.cells = lengths[0] * cols
        groups = -(-self.count // self.lanes)
        in_lanes = np.minimum(np.arange(groups * self.lanes), self.count - 1)
        by_signal = np.asarray(distance, np.float32).reshape(self.count, self.cells)[in_lanes]
        interleaved = np.ascontiguousarray(
            by_signal.reshape(groups, self.lanes, self.cells).transpose(0, 2, 1)).ravel()
        super().__init__((built.side_by_side_forward, built.side_by_side_backward), interleaved,
                         [lengths[0]] * groups, cols, self.lanes, gamma, threads)

    def signal_scores(self):
        return self.scores[:self.count]

    def signal_gradients(self):
        """E in the anti-diagonal layout of the batch, signal after signal."""
        by_lane = self.gradient.reshape(-1, self.cells, self.lanes).transpose(0, 2, 1)
        return by_lane.reshape(-1, self.cells)[:self.count].ravel()
