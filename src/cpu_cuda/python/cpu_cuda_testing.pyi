"""Test hooks of the CPU stand-in for the CUDA runtime"""

import enum
import typing

class Call(enum.Enum):
    malloc = 0
    memcpy = 1
    memset = 2
    launch = 3
    get_device = 4
    device_attribute = 5

class ThreadOrder(enum.Enum):
    forward = 0
    reverse = 1
    shuffled = 2

def clear_failures() -> None: ...
def error_string(error: typing.SupportsInt) -> str: ...
def fail_call(
    call: Call,
    error: typing.SupportsInt,
    skip: typing.SupportsInt = 0,
) -> None: ...
def last_fault() -> str: ...
def launches_run() -> int: ...
def live_allocations() -> int: ...
def reset_device() -> None: ...
def set_max_threads_per_block(threads: typing.SupportsInt) -> None: ...
def set_thread_order(order: ThreadOrder, seed: typing.SupportsInt = 0) -> None: ...
