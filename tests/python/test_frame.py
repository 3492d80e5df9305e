"""The operation frame: validation messages, the 32-bit range checks, the device tables'
upload and clean-up on every error path, and the reporting of kernel failures.

Error paths run on the twin through its runtime's failure hooks; each checks the exception
the caller sees, that nothing is left allocated and what ran."""

import numpy as np
import pytest

from orvane import cpu_cuda_testing as hooks
import orvane_pybind_cpu as twin
from orvane.cpu_cuda_testing import Call

CUDA_ERROR = {"out of memory": 2, "invalid argument": 1, "no device": 100,
              "out of resources": 701, "launch failure": 719}


@pytest.mark.parametrize("lengths, ref_length, message", [
    ([], 0, "input_signal_lengths is empty"),
    ([], 5, "input_signal_lengths is empty"),
    ([0], 0, "ref_signal_length must be positive"),
    ([2], -3, "ref_signal_length must be positive"),
    ([3, 0, -2], 4, "input_signal_lengths[1] must be positive, got: 0"),
    ([3, 1, -2], 4, "input_signal_lengths[2] must be positive, got: -2"),
    ([1], 1025, "ref_signal_length (1025) exceeds maximum threads per block (1024)"),
])
def test_validation_messages(module, lengths, ref_length, message):
    if "exceeds" in message and module is not twin:
        pytest.skip("the limit comes from a device")
    with pytest.raises(ValueError) as raised:
        module.convert_square_to_antidiag(lengths, ref_length, 0, 0)
    assert str(raised.value) == message


@pytest.mark.parametrize("lengths, ref_length, message", [
    ([2**30, 2**30], 1,
     "input_signal_lengths add up to 2147483648 samples, more than the 2147483647 that 32-bit "
     "positions can address"),
    ([2**31 - 1, 2**31 - 1, 5], 1,
     "input_signal_lengths add up to 4294967299 samples, more than the 2147483647 that 32-bit "
     "positions can address"),
    ([2**20, 2**20], 1024,
     "the batch matrix would hold 2147483648 cells (the sum of input_signal_lengths times "
     "ref_signal_length), more than the 2147483647 that 32-bit positions can address"),
])
def test_batches_beyond_32_bit_positions_are_rejected(lengths, ref_length, message):
    before = hooks.live_allocations()
    with pytest.raises(ValueError) as raised:
        twin.convert_square_to_antidiag(lengths, ref_length, 0, 0)
    assert str(raised.value) == message
    assert hooks.live_allocations() == before


@pytest.mark.parametrize("lengths, ref_length", [([2**31 - 1], 1), ([2**21 - 2, 1], 1024)])
def test_largest_batches_within_32_bit_positions_pass_validation(lengths, ref_length):
    # Stop the call at its first allocation: getting there means validation passed.
    hooks.fail_call(Call.malloc, CUDA_ERROR["out of memory"])
    with pytest.raises(RuntimeError, match="^Failed to allocate device memory: out of memory$"):
        twin.convert_square_to_antidiag(lengths, ref_length, 0, 0)


class Conversion:
    """A small valid conversion call whose output can be checked for changes."""

    lengths = [2, 3]
    ref_length = 3

    def __init__(self):
        self.source = np.arange(15, dtype=np.float32)
        self.target = np.full(15, -1.0, dtype=np.float32)

    def __call__(self):
        twin.convert_square_to_antidiag(self.lengths, self.ref_length, self.source.ctypes.data,
                                        self.target.ctypes.data)

    def untouched(self):
        return bool(np.all(self.target == -1.0))


def run_failing(call, exception, message):
    allocations = hooks.live_allocations()
    launches = hooks.launches_run()
    with pytest.raises(exception) as raised:
        call()
    assert str(raised.value) == message
    assert hooks.live_allocations() == allocations
    return hooks.launches_run() - launches


def test_validation_failure_allocates_and_launches_nothing():
    call = Conversion()
    call.lengths = [2, 0]
    assert run_failing(call, ValueError, "input_signal_lengths[1] must be positive, got: 0") == 0
    assert call.untouched()


@pytest.mark.parametrize("failing, skip, message", [
    (Call.malloc, 0, "Failed to allocate device memory: out of memory"),   # lengths table
    (Call.malloc, 1, "Failed to allocate device memory: out of memory"),   # matrix offsets
    (Call.memcpy, 0, "Failed to copy to device: invalid argument"),
    (Call.memcpy, 1, "Failed to copy to device: invalid argument"),
])
def test_upload_failures_free_every_table_and_launch_nothing(failing, skip, message):
    call = Conversion()
    error = CUDA_ERROR["out of memory"] if failing is Call.malloc else CUDA_ERROR["invalid argument"]
    hooks.fail_call(failing, error, skip)
    assert run_failing(call, RuntimeError, message) == 0
    assert call.untouched()


def test_device_query_failures_are_runtime_errors():
    call = Conversion()
    for failing in (Call.get_device, Call.device_attribute):
        hooks.fail_call(failing, CUDA_ERROR["no device"])
        assert run_failing(call, RuntimeError,
                           "Failed to get device attributes: no CUDA-capable device is detected") == 0
    assert call.untouched()


def test_refused_launch_is_reported_after_the_wait():
    call = Conversion()
    hooks.fail_call(Call.launch, CUDA_ERROR["out of resources"])
    assert run_failing(call, RuntimeError,
                       "Kernel execution failed: too many resources requested for launch") == 0
    assert call.untouched()
    call()  # a refused launch leaves the runtime usable
    assert not call.untouched()


def test_kernel_fault_is_sticky_until_reset():
    call = Conversion()
    hooks.fail_call(Call.launch, CUDA_ERROR["launch failure"])
    run_failing(call, RuntimeError, "Kernel execution failed: unspecified launch failure")
    run_failing(call, RuntimeError, "Failed to allocate device memory: unspecified launch failure")
    hooks.reset_device()
    call()
    assert not call.untouched()


def forward_call(gamma=1.0, local_end=False):
    distance = np.ones(6, dtype=np.float32)
    score = np.zeros(6, dtype=np.float32)
    scores = np.zeros(2, dtype=np.float32)
    return lambda: twin.calc_softdtw_forward([1, 2], 2, distance.ctypes.data, score.ctypes.data,
                                             scores.ctypes.data, gamma, 0, local_end)


@pytest.mark.parametrize("gamma, shown", [
    (0.0, "0"), (-1.0, "-1"), (float("nan"), "nan"), (float("inf"), "inf"),
    (1e300, "1e+300"),                 # +inf once rounded to float32
    (1e-39, "1e-39"),                  # subnormal in float32: 1 / gamma loses its precision
    (2e-39, "2e-39"), (1e-50, "1e-50"),  # 1 / gamma overflows; rounds to 0
    (1.1754942e-38, "1.1754942e-38"),  # just below the smallest normal float32
])
def test_gamma_must_be_a_normal_positive_float32(gamma, shown):
    message = f"gamma must be a finite, normal float32 number greater than zero, got: {shown}"
    assert run_failing(forward_call(gamma), ValueError, message) == 0
    backward = lambda: twin.calc_softdtw_backward([1], 1, 8, 8, 8, gamma)
    assert run_failing(backward, ValueError, message) == 0


def test_smallest_normal_gamma_is_accepted():
    forward_call(1.1754944e-38)()


@pytest.mark.parametrize("penalty, shown", [(float("nan"), "nan"), (float("inf"), "inf"),
                                            (-float("inf"), "-inf"), (1e39, "1e+39")])
def test_free_end_refuses_a_gap_penalty_that_is_not_finite(penalty, shown):
    message = f"ref_gap_penalty must be a finite number, got: {shown}"
    forward = lambda: twin.calc_softdtw_forward([1], 1, 8, 8, 8, 1.0, 0, True, False, penalty)
    assert run_failing(forward, ValueError, message) == 0
    backward = lambda: twin.calc_softdtw_backward([1], 1, 8, 8, 8, 1.0, 0, True, 8, False,
                                                  penalty)
    assert run_failing(backward, ValueError, message) == 0
    # Without a free end the penalty is unused and not checked.
    distance, out = np.ones(1, np.float32), np.zeros(2, np.float32)
    twin.calc_softdtw_forward([1], 1, distance.ctypes.data, out.ctypes.data, out[1:].ctypes.data,
                              1.0, 0, False, False, penalty)
    assert out[1] == 1.0


def test_backward_without_scores_for_a_free_end_is_refused_before_anything_runs():
    message = "calc_softdtw_backward: scores_ptr is required when local_end is true"
    call = lambda: twin.calc_softdtw_backward([2, 3], 4, 8, 8, 8, 1.0, 0, True)
    assert run_failing(call, RuntimeError, message) == 0
    # Lengths are validated first.
    with pytest.raises(ValueError, match="input_signal_lengths is empty"):
        twin.calc_softdtw_backward([], 4, 8, 8, 8, 1.0, 0, True)


@pytest.mark.parametrize("skip", [0, 1, 2])
def test_distance_uploads_three_tables_and_frees_them_on_failure(skip):
    samples = np.zeros(3, dtype=np.float32)
    out = np.full(6, -1.0, dtype=np.float32)
    hooks.fail_call(Call.malloc, CUDA_ERROR["out of memory"], skip)
    call = lambda: twin.calc_manhattan_distance(samples.ctypes.data, [1, 2], samples.ctypes.data,
                                                2, out.ctypes.data)
    assert run_failing(call, RuntimeError, "Failed to allocate device memory: out of memory") == 0
    assert np.all(out == -1.0)


@pytest.mark.parametrize("local_end", [False, True])
def test_a_failed_first_stage_does_not_stop_the_second(local_end):
    hooks.fail_call(Call.launch, CUDA_ERROR["out of resources"])
    launched = run_failing(forward_call(local_end=local_end), RuntimeError,
                           "Kernel execution failed: too many resources requested for launch")
    assert launched == 1


class TestFailureDoesNotOutliveItsCall:
    """A runtime failure that one call reports must not be reported again by the next call:
    no reset of the runtime happens between the two."""

    @pytest.mark.parametrize("failing, error", [
        (Call.malloc, "out of memory"), (Call.memcpy, "invalid argument"),
        (Call.device_attribute, "no device"), (Call.get_device, "no device")])
    def test_upload_and_query_failures(self, failing, error):
        call = Conversion()
        hooks.fail_call(failing, CUDA_ERROR[error])
        with pytest.raises(RuntimeError):
            call()
        call()
        assert not call.untouched()

    @pytest.mark.parametrize("skip", [0, 1])  # the caller's output, then the temporary buffer
    def test_clear_failures(self, skip):
        weights = np.ones(4, np.float32)
        out = np.full(3, 7.0, np.float32)  # B x M = 2 values and one that must stay
        call = lambda: twin.calc_weighted_index_std([2], 2, weights.ctypes.data, out.ctypes.data)
        hooks.fail_call(Call.memset, CUDA_ERROR["invalid argument"], skip)
        with pytest.raises(RuntimeError, match="^Failed to clear device memory: invalid argument$"):
            call()
        call()
        # Weight 1 on rows 0 and 1: index mean 1, variance 1, log(1 + 1e-8) = 0 in float32.
        assert out.tolist() == [0.0, 0.0, 7.0]

    def test_temporary_allocation_failure(self):
        weights = np.ones(4, np.float32)
        out = np.zeros(2, np.float32)
        hooks.fail_call(Call.malloc, CUDA_ERROR["out of memory"])
        with pytest.raises(RuntimeError, match="^Failed to allocate device memory"):
            twin.calc_weighted_index_std([2], 2, weights.ctypes.data, out.ctypes.data)
        twin.calc_weighted_index_std([2], 2, weights.ctypes.data, out.ctypes.data)
