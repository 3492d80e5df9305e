"""Orvane CUDA implementation (CPU build): the same functions as orvane_pybind, on host addresses"""

from orvane_pybind import *
