"""Batched Soft-DTW of variable-length float32 signals against one reference, or each
against its own (pairs), on NVIDIA GPUs or the CPU: arrays in, arrays out.

    scores = orvane.soft_dtw(signals, reference, gamma=0.1)
    scores = orvane.soft_dtw(predictions, targets)          # pairs: sdtw(x_k, y_k)
    scores, signal_grads, reference_grad = orvane.soft_dtw_with_grad(signals, reference)
    alignment = orvane.soft_alignment(signals, reference)
    divergence = orvane.soft_dtw_divergence(signals, reference)
    matrix = orvane.pairwise(signals_a, signals_b)          # every pair of two batches
    barycenter, result = orvane.barycenter(signals)         # the signal nearest them all

Signals are a list of 1-D arrays, a padded 2-D array with `lengths`, or a flat array with
`lengths`, from NumPy, PyTorch or CuPy (or anything with `__dlpack__` or
`__cuda_array_interface__`). Host arrays run on the vectorised CPU module, device arrays on
their own GPU; results come back in the same library, on the same device. `orvane.torch` has
the autograd loss; `orvane.backends()` says which modules can run here. The eleven
address-level functions of `orvane_pybind` (GPU), `orvane_cpu`
(vectorised CPU) and `orvane_pybind_cpu` (the CPU twin of the GPU code) are the layer
underneath.
"""

from importlib import metadata as _metadata

from ._alignment import PairAlignments, SoftAlignment
from ._api import soft_alignment, soft_dtw, soft_dtw_divergence, soft_dtw_with_grad
from ._backends import backends
from ._barycenter import BarycenterResult, barycenter
from ._core import release_memory
from ._pairwise import pairwise

try:
    __version__ = _metadata.version("orvane")
except _metadata.PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"

__all__ = ["BarycenterResult", "PairAlignments", "SoftAlignment", "backends", "barycenter",
           "pairwise", "release_memory", "soft_alignment", "soft_dtw", "soft_dtw_divergence",
           "soft_dtw_with_grad"]
