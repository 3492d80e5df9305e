"""The package's vocabulary, which every other module may use and which imports none of
them: the modules a call may run on, what it computes in (`Element`, its three precisions)
and where arrays live (`Device`)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal, get_args

import numpy as np

# The modules a call may run on: "cpu" the vectorised CPU module, "twin" the CUDA kernels on
# the CPU, "cuda" the CUDA module; "auto" picks by where the arrays live.
BackendName = Literal["auto", "cpu", "twin", "cuda"]
BACKEND_NAMES: tuple[str, ...] = get_args(BackendName)

# The three paths every module runs: the kernels' float32 steps, mixed (float64 scores) and
# float64.
Precision = Literal["float32", "mixed", "float64"]
PRECISIONS: tuple[str, ...] = get_args(Precision)


@dataclass(frozen=True)
class Element:
    """What a call computes in: the type of its data (samples, distances, gradients), its size
    and NumPy type, the suffix of the modules' functions for it, and those of its score
    matrices and scores (float64 on the mixed path) and of its Soft-DTW passes."""

    name: str
    bytes: int
    numpy: type
    suffix: str
    score_name: str
    pass_suffix: str

    @property
    def score(self) -> Element:
        return FLOAT64 if self.score_name == "float64" else FLOAT32

    def cell_bytes(self, matrices: int) -> int:
        """Bytes a cell of `matrices` temporary matrices takes: distances and scores first,
        then the gradient matrix (a single matrix is a gradient matrix)."""
        if matrices < 2:
            return matrices * self.bytes
        return (matrices - 1) * self.bytes + self.score.bytes


FLOAT32 = Element("float32", 4, np.float32, "", "float32", "")
FLOAT64 = Element("float64", 8, np.float64, "_float64", "float64", "_float64")
MIXED = Element("mixed", 4, np.float32, "", "float64", "_mixed")


@dataclass(frozen=True)
class Device:
    """Where an array's data lives: the host, or CUDA device `index`."""

    kind: str  # "cpu" or "cuda"
    index: int = 0

    @property
    def is_cuda(self) -> bool:
        return self.kind == "cuda"

    def __str__(self) -> str:
        return f"cuda:{self.index}" if self.is_cuda else "cpu"


HOST = Device("cpu")
