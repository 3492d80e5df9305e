"""Alignment statistics: normalisation, weighted means, weighted log-std and weighted index
log-std, against the float64 reference, the worked examples and their error paths."""

import numpy as np
import pytest

from orvane import cpu_cuda_testing as hooks
import orvane_pybind_cpu as twin
import statistics_reference as ref
from batches import Options, TrainingRun, pack, random_batch, unpack
from orvane.cpu_cuda_testing import Call
from orvane.buffers import twin_backend

# Column sums and weights: a few float32 roundings; statistics: sums of up to N products.
WEIGHT_ATOL = 2e-6
MEAN_ATOL = 2e-5
LOG_STD_ATOL = 2e-4
GUARD = 8
SENTINEL = np.float32(-4242.0)


class Statistics:
    """One batch of weight matrices on a backend, with every statistic's output buffer."""

    def __init__(self, backend, lengths, ref_length, gradients, samples=None):
        self.backend = backend
        self.lengths = lengths
        self.M = ref_length
        self.B = len(lengths)
        cells = sum(lengths) * ref_length
        flat = pack(gradients) if isinstance(gradients, list) else gradients
        self.matrix = backend.array(np.concatenate([flat, np.full(GUARD, np.nan, np.float32)]))
        self.samples = backend.array(np.zeros(sum(lengths)) if samples is None else samples)
        self.cells = cells

    def packed(self, fill):
        return self.backend.full(self.B * self.M + GUARD, fill)

    def normalize(self, sums=None):
        sums = sums or self.packed(0.0)
        self.backend.module.normalize_matrix(self.lengths, self.M, self.matrix.ptr, sums.ptr)
        return sums

    def means(self, means=None):
        means = means or self.packed(0.0)
        self.backend.module.calc_weighted_means(self.samples.ptr, self.lengths, self.M,
                                                self.matrix.ptr, means.ptr)
        return means

    def log_std(self, means, out=None):
        out = out or self.packed(SENTINEL)
        self.backend.module.calc_weighted_std(self.samples.ptr, self.lengths, self.M,
                                              self.matrix.ptr, means.ptr, out.ptr)
        return out

    def index_log_std(self, out=None):
        out = out or self.packed(SENTINEL)
        self.backend.module.calc_weighted_index_std(self.lengths, self.M, self.matrix.ptr,
                                                    out.ptr)
        return out

    def weights(self):
        flat = self.matrix.numpy()
        assert np.isnan(flat[self.cells:]).all(), "cells past the batch were written"
        return unpack(flat[:self.cells], self.lengths, self.M)

    def rows(self, buffer):
        """A packed B x M output as rows, checking that nothing past it was written."""
        flat = buffer.numpy()
        guard = flat[self.B * self.M:]
        assert guard.tobytes() == np.repeat(guard[-1:], GUARD).tobytes(), \
            "values past the output were written"
        return flat[:self.B * self.M].reshape(self.B, self.M)


def gradients_of(backend, lengths, ref_length, seed, options=Options(gamma=0.5)):
    batch = random_batch(lengths, ref_length, seed=seed)
    run = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    return batch, run.flat("E")


def test_worked_normalisation_example(backend):
    gradient = np.array([[0.2, 0.0], [0.6, 0.0]], np.float32)
    stats = Statistics(backend, [2], 2, [gradient])
    sums = stats.rows(stats.normalize())
    total = np.float32(0.2) + np.float32(0.6)
    assert sums.tolist() == [[total, 0.0]]
    weights = stats.weights()[0]
    assert weights[:, 0].tolist() == [np.float32(0.2) / total, np.float32(0.6) / total]
    assert weights[:, 0] == pytest.approx([0.25, 0.75])
    assert weights[:, 1].tobytes() == np.zeros(2, np.float32).tobytes()


def test_length_one_signal_normalises_to_ones(backend):
    gradient = np.array([[0.3, 0.0, 2.0, 1e-30]], np.float32)
    stats = Statistics(backend, [1], 4, [gradient])
    np.testing.assert_array_equal(stats.rows(stats.normalize())[0], gradient[0])
    np.testing.assert_array_equal(stats.weights()[0][0], [1.0, 0.0, 1.0, 1.0])


def test_negative_zero_sums_give_positive_zeros_and_old_sums_are_added(backend):
    gradient = np.array([[-0.0, 0.5, 0.25], [-0.0, 0.5, 0.25]], np.float32)
    stats = Statistics(backend, [2], 3, [gradient])
    sums = backend.array(np.concatenate([[-0.0, 0.0, 1.5], np.zeros(GUARD)]))
    result = stats.rows(stats.normalize(sums))[0]
    assert np.signbit(result[0]) and result[0] == 0.0
    assert result[1:].tolist() == [1.0, 2.0]
    weights = stats.weights()[0]
    assert weights[:, 0].tobytes() == np.zeros(2, np.float32).tobytes()  # +0.0, not -0.0
    np.testing.assert_array_equal(weights[:, 1:], [[0.5, 0.125], [0.5, 0.125]])


def test_subnormal_column_sums_flush_in_atomics_and_stay_in_the_vectorised_sums(backend):
    # Column 0 carries subnormal weights only (as past a free end), column 1 normal ones. The
    # GPU's float atomics flush subnormals, so there (and on the twin) column 0 sums to 0 and
    # normalises to zeros; the vectorised module adds without atomics and keeps them.
    gradient = np.array([[2e-39, 0.25], [3e-39, 0.75]], np.float32)
    stats = Statistics(backend, [2], 2, [gradient])
    sums = stats.rows(stats.normalize())
    if backend.name == "cpu":
        total = np.float32(2e-39) + np.float32(3e-39)
        assert sums.tolist() == [[total, 1.0]]
        np.testing.assert_array_equal(stats.weights()[0][:, 0],
                                      [np.float32(2e-39) / total, np.float32(3e-39) / total])
    else:
        assert sums.tolist() == [[0.0, 1.0]]
        np.testing.assert_array_equal(stats.weights()[0], [[0.0, 0.25], [0.0, 0.75]])


@pytest.mark.parametrize("options", [Options(gamma=0.5), Options(gamma=1.0, local_end=True)],
                         ids=["global", "free-end"])
def test_statistics_of_real_alignments_match_the_reference(backend, options):
    lengths, ref_length = [3, 7, 7, 12, 1, 9], 7
    batch, gradient = gradients_of(backend, lengths, ref_length, seed=20, options=options)
    stats = Statistics(backend, lengths, ref_length, gradient, batch.samples())
    sums = stats.rows(stats.normalize())
    means = stats.means()
    log_std = stats.rows(stats.log_std(means))
    index_log_std = stats.rows(stats.index_log_std())
    means = stats.rows(means)
    weights = stats.weights()
    for k, (signal, original) in enumerate(zip(batch.signals, unpack(gradient, lengths,
                                                                      ref_length))):
        expected_weights, expected_sums = ref.normalize(original.astype(np.float64))
        np.testing.assert_allclose(sums[k], expected_sums, rtol=1e-5)
        np.testing.assert_allclose(weights[k], expected_weights, atol=WEIGHT_ATOL)
        # Every column carries weight here, and each now sums to one.
        np.testing.assert_allclose(weights[k].astype(np.float64).sum(axis=0), 1.0,
                                   atol=lengths[k] * 1.2e-7)
        w = weights[k].astype(np.float64)
        expected_means = ref.weighted_mean(w, signal.astype(np.float64))
        np.testing.assert_allclose(means[k], expected_means, atol=MEAN_ATOL)
        np.testing.assert_allclose(log_std[k], ref.weighted_log_std(
            w, signal.astype(np.float64), means[k].astype(np.float64)), atol=LOG_STD_ATOL)
        np.testing.assert_allclose(index_log_std[k], ref.index_log_std(w), atol=LOG_STD_ATOL)


def test_hand_made_columns(backend):
    # Column 0: half on samples 1.0 and 3.0; column 1: all on one row; column 2: no weight;
    # column 3: half on rows 0 and 2.
    weights = np.array([[0.5, 0.0, 0.0, 0.5],
                        [0.0, 1.0, 0.0, 0.0],
                        [0.5, 0.0, 0.0, 0.5]], np.float32)
    samples = np.array([1.0, 7.0, 3.0], np.float32)
    stats = Statistics(backend, [3], 4, [weights], samples)
    means = stats.means()
    assert stats.rows(means)[0].tolist() == [2.0, 7.0, 0.0, 2.0]
    log_std = stats.rows(stats.log_std(means))[0]
    assert log_std.tolist() == [0.0, -10.0, -10.0, 0.0]
    assert not np.signbit(log_std[0])
    index_log_std = stats.rows(stats.index_log_std())[0]
    assert index_log_std.tolist() == [0.0, -10.0, -10.0, 0.0]


def test_length_one_signals(backend):
    samples = np.array([2.5, -1.0], np.float32)
    gradients = [np.array([[0.7, 0.1, 3.0]], np.float32), np.array([[1.0, 1.0, 1.0]], np.float32)]
    stats = Statistics(backend, [1, 1], 3, gradients, samples)
    stats.normalize()
    means = stats.means()
    np.testing.assert_array_equal(stats.rows(means), [[2.5] * 3, [-1.0] * 3])
    assert np.all(stats.rows(stats.log_std(means)) == -10.0)
    assert np.all(stats.rows(stats.index_log_std()) == -10.0)


def test_means_accumulate_and_log_std_outputs_are_cleared(backend):
    batch, gradient = gradients_of(backend, [5, 9], 6, seed=21)
    stats = Statistics(backend, [5, 9], 6, gradient, batch.samples())
    stats.normalize()
    fresh = stats.rows(stats.means())
    doubled = stats.means(backend.array(np.concatenate([fresh.ravel(), np.zeros(GUARD)])))
    np.testing.assert_allclose(stats.rows(doubled), 2 * fresh, rtol=1e-6, atol=1e-7)

    # What the outputs held does not matter. Float atomics add in no fixed order, so on the
    # twin and the GPU two runs may differ in the last bits; the vectorised sums may not.
    same = (np.testing.assert_array_equal if backend.name == "cpu" else
            lambda a, b: np.testing.assert_allclose(a, b, rtol=1e-5, atol=1e-6))
    means = backend.array(np.concatenate([fresh.ravel(), np.zeros(GUARD)]))
    clean = stats.rows(stats.log_std(means, stats.packed(0.0)))
    dirty = stats.rows(stats.log_std(means, stats.packed(np.nan)))
    same(clean, dirty)
    clean_index = stats.rows(stats.index_log_std(stats.packed(0.0)))
    dirty_index = stats.rows(stats.index_log_std(stats.packed(1e30)))
    same(clean_index, dirty_index)


def test_unnormalised_weights_give_weighted_sums(backend):
    weights = np.array([[2.0, 0.5], [1.0, 0.5]], np.float32)
    samples = np.array([3.0, -1.0], np.float32)
    stats = Statistics(backend, [2], 2, [weights], samples)
    assert stats.rows(stats.means())[0].tolist() == [5.0, 1.0]


def test_extreme_variances_clamp(backend):
    # A negative weight gives a negative variance (NaN deviation), huge samples an infinite one.
    weights = np.array([[1.5, 0.5], [-0.5, 0.5]], np.float32)
    samples = np.array([0.0, 4e19], np.float32)
    stats = Statistics(backend, [2], 2, [weights], samples)
    means = stats.means()
    log_std = stats.rows(stats.log_std(means))[0]
    assert log_std.tolist() == [10.0, 10.0]
    assert stats.rows(stats.index_log_std())[0].tolist() == [10.0, -0.6931471824645996]


def test_index_spread_is_in_absolute_rows(backend):
    short = np.zeros((4, 2), np.float32)
    long = np.zeros((40, 2), np.float32)
    for matrix in (short, long):
        matrix[1, 0] = matrix[3, 0] = 0.5     # spread of one row either side
        matrix[0, 1] = 1.0
    stats = Statistics(backend, [4, 40], 2, [short, long])
    out = stats.rows(stats.index_log_std())
    assert out[0].tolist() == out[1].tolist() == [0.0, -10.0]


def test_statistics_do_not_depend_on_thread_order(backend):
    if backend.name != "twin":
        pytest.skip("thread order is a hook of the CPU twin")
    weights = np.full((3, 4), 0.25, np.float32)
    outputs = []
    for order in (hooks.ThreadOrder.forward, hooks.ThreadOrder.reverse):
        hooks.set_thread_order(order)
        stats = Statistics(backend, [3], 4, [weights.copy()], np.arange(3, dtype=np.float32))
        stats.normalize()
        means = stats.means()
        outputs.append((stats.rows(means), stats.rows(stats.log_std(means)),
                        stats.rows(stats.index_log_std())))
    for first, second in zip(*outputs):
        np.testing.assert_allclose(first, second, rtol=1e-6)


# Error paths on the twin: what is left allocated, what ran and what the outputs hold.

def twin_statistics():
    weights = np.full((2, 3), 0.5, np.float32)
    return Statistics(twin_backend(), [2, 2], 3,
                      [weights, weights], np.array([1.0, 2.0, 3.0, 4.0], np.float32))


@pytest.mark.parametrize("failing, skip, message", [
    (Call.memset, 0, "Failed to clear device memory: invalid argument"),     # the output
    (Call.malloc, 0, "Failed to allocate device memory: out of memory"),     # index means
    (Call.memset, 1, "Failed to clear device memory: invalid argument"),     # index means
    (Call.malloc, 1, "Failed to allocate device memory: out of memory"),     # lengths table
    (Call.memcpy, 1, "Failed to copy to device: invalid argument"),          # matrix offsets
])
def test_index_std_failures_free_everything_and_launch_nothing(failing, skip, message):
    stats = twin_statistics()
    out = stats.packed(SENTINEL)
    hooks.fail_call(failing, 2 if failing is Call.malloc else 1, skip)
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    with pytest.raises(RuntimeError) as raised:
        stats.index_log_std(out)
    assert str(raised.value) == message
    assert hooks.live_allocations() == allocations
    assert hooks.launches_run() == launches


def test_weighted_std_clears_before_uploading():
    stats = twin_statistics()
    means = stats.means()
    out = stats.packed(SENTINEL)
    hooks.fail_call(Call.malloc, 2)
    with pytest.raises(RuntimeError, match="^Failed to allocate device memory: out of memory$"):
        stats.log_std(means, out)
    flat = out.numpy()
    assert np.all(flat[:stats.B * stats.M] == 0.0) and np.all(flat[stats.B * stats.M:] == SENTINEL)

    hooks.fail_call(Call.memset, 1)
    out = stats.packed(SENTINEL)
    with pytest.raises(RuntimeError, match="^Failed to clear device memory: invalid argument$"):
        stats.log_std(means, out)
    assert np.all(out.numpy() == SENTINEL)


def test_rejected_statistics_calls_change_nothing():
    stats = twin_statistics()
    out = stats.packed(SENTINEL)
    allocations = hooks.live_allocations()
    with pytest.raises(ValueError, match=r"input_signal_lengths\[1\] must be positive, got: 0"):
        twin.calc_weighted_index_std([2, 0], 3, stats.matrix.ptr, out.ptr)
    with pytest.raises(ValueError, match="ref_signal_length must be positive"):
        twin.calc_weighted_std(stats.samples.ptr, [2, 2], 0, stats.matrix.ptr, out.ptr, out.ptr)
    assert np.all(out.numpy() == SENTINEL)
    assert hooks.live_allocations() == allocations


def test_a_failed_accumulation_is_reported_after_every_stage():
    stats = twin_statistics()
    hooks.fail_call(Call.launch, 701)
    launches = hooks.launches_run()
    with pytest.raises(RuntimeError, match="^Kernel execution failed: too many resources"):
        stats.normalize()
    assert hooks.launches_run() == launches + 1   # the division still ran
