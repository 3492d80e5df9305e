"""Orvane CUDA implementation (CPU build): the same eleven functions, on host addresses"""

from orvane_pybind import *
