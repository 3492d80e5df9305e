"""Orvane vectorised CPU implementation: the eleven functions on host addresses, and the
number of worker threads"""

import typing

from orvane_pybind import *

def set_num_threads(threads: typing.SupportsInt) -> None: ...
