"""The float64 versions of the cell-parallel operations on the twin and, with a GPU, the CUDA
module. Distances and conversions are orvane_cpu's float64 results and float64 NumPy's bit for
bit. The sums that atomics add in no fixed order (distance gradients, column sums and the
statistics) are held to orvane_cpu's and to NumPy's within SUM_RTOL of the sum of the terms'
magnitudes (the weights they divide within SUM_RTOL relative, the log-stds within
LOG_STD_ATOL), in every thread order of the twin. Bad arguments are refused with the float32
functions' messages before anything is allocated or launched."""

import numpy as np
import pytest

import statistics_reference as stats_ref
from conftest import VECTORISED
from layout_reference import antidiag_to_square, square_to_antidiag
from orvane import cpu_cuda_testing as hooks
from orvane.buffers import twin_backend
from orvane.cpu_cuda_testing import Call

# The same float64 terms added in two orders differ by at most (terms - 1) * 2^-53 of the sum
# of their magnitudes: below 1e-13 for the few hundred terms of these batches.
SUM_RTOL = 1e-12
# A clamped log-std moves by at most half the relative change of its variance.
LOG_STD_ATOL = SUM_RTOL
# The dead zone of the sign, the float32 value nearest to 1e-7 (as orvane_cpu has it).
SIGN_DEAD_ZONE = np.float64(np.float32(1e-7))
GUARD = 8
SENTINEL = -4242.125
SHAPES = [([3, 7, 1, 12, 5], 6), ([40, 17, 64], 33), ([9, 2], 1)]


def guarded(backend, values):
    """A float64 buffer on `backend` holding `values`, then GUARD sentinels."""
    flat = np.asarray(values, np.float64).ravel()
    return backend.array(np.concatenate([flat, np.full(GUARD, SENTINEL)]), np.float64)


def read(buffer, size):
    """The first `size` values of a guarded buffer, checking that nothing past them changed."""
    values = buffer.numpy()
    assert values[size:].tobytes() == np.full(GUARD, SENTINEL).tobytes(), \
        "values past the output were written"
    return values[:size]


class Batch:
    """Float64 signals, a reference and one positive N_k x M weight matrix per signal (one
    column of the first carrying no weight), with each operation run on a backend."""

    def __init__(self, lengths, ref_length, seed=0):
        rng = np.random.default_rng(seed)
        self.lengths, self.M = lengths, ref_length
        self.samples = rng.standard_normal(sum(lengths))
        self.reference = rng.standard_normal(ref_length)
        self.squares = [rng.uniform(0.0, 1.0, (n, ref_length)) for n in lengths]
        self.squares[0][:, ref_length // 2] = 0.0
        self.cells = sum(lengths) * ref_length
        self.packed = len(lengths) * ref_length

    def signals(self):
        return np.split(self.samples, np.cumsum(self.lengths)[:-1])

    def matrix(self, squares=None):
        """Per-signal squares in the anti-diagonal layout (the weights by default)."""
        square = np.concatenate([s.ravel() for s in squares or self.squares])
        return square_to_antidiag(square, self.lengths, self.M)

    def unpack(self, flat):
        square = antidiag_to_square(flat, self.lengths, self.M)
        return np.split(square.reshape(-1, self.M), np.cumsum(self.lengths)[:-1])

    def distances(self, backend):
        x, y = guarded(backend, self.samples), guarded(backend, self.reference)
        d = guarded(backend, np.full(self.cells, SENTINEL))
        backend.module.calc_manhattan_distance_float64(x.ptr, self.lengths, y.ptr, self.M, d.ptr)
        return read(d, self.cells)

    def sample_gradients(self, backend, dx=None, dy=None):
        """dx and dy added to what they hold (zeros by default), the weights as dLoss/dD."""
        x, y = guarded(backend, self.samples), guarded(backend, self.reference)
        g = guarded(backend, self.matrix())
        dx = guarded(backend, np.zeros(len(self.samples)) if dx is None else dx)
        dy = guarded(backend, np.zeros(self.M) if dy is None else dy)
        backend.module.calc_manhattan_distance_gradient_float64(x.ptr, self.lengths, y.ptr,
                                                                self.M, g.ptr, dx.ptr, dy.ptr)
        return read(dx, len(self.samples)), read(dy, self.M)

    def normalized(self, backend, sums=None):
        """The normalised matrix and the column sums (added to zeros by default)."""
        g = guarded(backend, self.matrix())
        s = guarded(backend, np.zeros(self.packed) if sums is None else sums)
        backend.module.normalize_matrix_float64(self.lengths, self.M, g.ptr, s.ptr)
        return read(g, self.cells), read(s, self.packed).reshape(-1, self.M)

    def means(self, backend, weights, means=None):
        x, w = guarded(backend, self.samples), guarded(backend, weights)
        out = guarded(backend, np.zeros(self.packed) if means is None else means)
        backend.module.calc_weighted_means_float64(x.ptr, self.lengths, self.M, w.ptr, out.ptr)
        return read(out, self.packed).reshape(-1, self.M)

    def log_std(self, backend, weights, means, fill=np.nan):
        x, w, m = (guarded(backend, v) for v in (self.samples, weights, means))
        out = guarded(backend, np.full(self.packed, fill))
        backend.module.calc_weighted_std_float64(x.ptr, self.lengths, self.M, w.ptr, m.ptr,
                                                 out.ptr)
        return read(out, self.packed).reshape(-1, self.M)

    def index_log_std(self, backend, weights, fill=np.nan):
        w = guarded(backend, weights)
        out = guarded(backend, np.full(self.packed, fill))
        backend.module.calc_weighted_index_std_float64(self.lengths, self.M, w.ptr, out.ptr)
        return read(out, self.packed).reshape(-1, self.M)


def dead_zone_sign(z):
    return np.where(np.abs(z) < SIGN_DEAD_ZONE, 0.0, np.sign(z))


def assert_sums_close(found, expected, magnitudes):
    """`found` and `expected` add the same terms, whose magnitudes add up to `magnitudes`."""
    assert np.all(np.abs(found - expected) <= SUM_RTOL * magnitudes), \
        np.max(np.abs(found - expected) / magnitudes)


def normalised_weights(batch):
    """The float64 weights W of the batch, normalised by NumPy, in the anti-diagonal layout."""
    return batch.matrix([stats_ref.normalize(square)[0] for square in batch.squares])


# Distances and conversions: the same float64 arithmetic (or none) everywhere, bit for bit.

@pytest.mark.parametrize("lengths, ref_length", SHAPES)
def test_distances_are_float64_numpy_and_orvane_cpu_bit_for_bit(gpu, lengths, ref_length):
    batch = Batch(lengths, ref_length, seed=1)
    found = batch.distances(gpu)
    expected = batch.matrix([np.abs(signal[:, None] - batch.reference[None, :])
                             for signal in batch.signals()])
    assert found.tobytes() == expected.tobytes()
    assert found.tobytes() == batch.distances(VECTORISED).tobytes()


def test_distances_keep_what_float32_cannot_hold(gpu):
    # 1 + 2^-40 - 1 is exact in float64 and 0 in float32; NaN, infinities and a subnormal
    # difference pass as float64 arithmetic gives them.
    batch = Batch([4], 2)
    batch.samples = np.array([1.0 + 2.0**-40, np.nan, np.inf, 3e-310])
    batch.reference = np.array([1.0, -1e-310])
    found = batch.unpack(batch.distances(gpu))[0]
    assert np.isnan(found[1]).all()  # a GPU gives its own NaN
    subnormal_sum = np.float64(3e-310) + np.float64(1e-310)  # exact, as subnormal sums are
    expected = [[2.0**-40, 1.0 + 2.0**-40], [np.inf, np.inf], [1.0, subnormal_sum]]
    assert found[[0, 2, 3]].tobytes() == np.array(expected).tobytes()


def special_values(size, seed):
    """Random float64 values with signed zeros, a NaN payload, infinities and subnormals."""
    values = np.random.default_rng(seed).standard_normal(size)
    values[::7] = -0.0
    values[3::11] = np.array([0x7FF0_0000_0000_0123], np.uint64).view(np.float64)[0]
    values[5::13] = -np.inf
    values[6::17] = 5e-324
    return values


@pytest.mark.parametrize("lengths, ref_length", SHAPES + [([2, 3], 1024)])
def test_conversions_are_the_layout_bit_for_bit_and_round_trip(gpu, lengths, ref_length):
    total = sum(lengths) * ref_length
    square = special_values(total, seed=len(lengths))

    def convert(backend, name, values):
        source, target = guarded(backend, values), guarded(backend, np.full(total, SENTINEL))
        getattr(backend.module, name + "_float64")(lengths, ref_length, source.ptr, target.ptr)
        return read(target, total)

    antidiag = convert(gpu, "convert_square_to_antidiag", square)
    assert antidiag.tobytes() == square_to_antidiag(square, lengths, ref_length).tobytes()
    assert antidiag.tobytes() == convert(VECTORISED, "convert_square_to_antidiag",
                                         square).tobytes()
    back = convert(gpu, "convert_antidiag_to_square", antidiag)
    assert back.tobytes() == square.tobytes()
    assert back.tobytes() == convert(VECTORISED, "convert_antidiag_to_square",
                                     antidiag).tobytes()


# Sums that atomics add in the order the threads run.

@pytest.mark.parametrize("lengths, ref_length", SHAPES)
def test_distance_gradients_match_numpy_and_orvane_cpu(gpu, thread_order, lengths, ref_length):
    batch = Batch(lengths, ref_length, seed=2)
    start_dx, start_dy = np.linspace(-1.0, 1.0, len(batch.samples)), np.full(ref_length, 0.5)
    dx, dy = batch.sample_gradients(gpu, start_dx, start_dy)
    expected_dx, expected_dy = start_dx.copy(), start_dy.copy()
    dx_magnitudes, dy_magnitudes = np.abs(start_dx), np.abs(start_dy)
    offsets = np.cumsum([0] + lengths)
    for signal, square, offset in zip(batch.signals(), batch.squares, offsets):
        signs = dead_zone_sign(signal[:, None] - batch.reference[None, :])
        expected_dx[offset:offset + len(signal)] += (square * signs).sum(axis=1)
        expected_dy += (square * -signs).sum(axis=0)
        dx_magnitudes[offset:offset + len(signal)] += square.sum(axis=1)
        dy_magnitudes += square.sum(axis=0)
    assert_sums_close(dx, expected_dx, dx_magnitudes)
    assert_sums_close(dy, expected_dy, dy_magnitudes)
    cpu_dx, cpu_dy = batch.sample_gradients(VECTORISED, start_dx, start_dy)
    assert_sums_close(dx, cpu_dx, dx_magnitudes)
    assert_sums_close(dy, cpu_dy, dy_magnitudes)


def test_distance_gradient_dead_zone_and_subnormals(gpu):
    # Differences of 1.000000005e-7 (inside the float32 threshold, outside 1e-7 in float64),
    # 2e-7 and -3 against 0; weights 0.5, 0.25 and 2, so dx = [0, 0.25, -2] and
    # dy = -0.25 + 2. The subnormal weight of the last row stays in its sample's gradient (and
    # vanishes in dy's 1.75): a GPU's float64 atomics keep subnormals, its float32 ones flush
    # them.
    batch = Batch([4], 1)
    batch.samples = np.array([1.000000005e-7, 2e-7, -3.0, 1.0])
    batch.reference = np.array([0.0])
    batch.squares = [np.array([[0.5], [0.25], [2.0], [1e-310]])]
    dx, dy = batch.sample_gradients(gpu)
    assert dx.tolist() == [0.0, 0.25, -2.0, 1e-310]
    assert dy.tolist() == [1.75]


@pytest.mark.parametrize("lengths, ref_length", SHAPES)
def test_normalisation_matches_numpy_and_orvane_cpu(gpu, thread_order, lengths, ref_length):
    batch = Batch(lengths, ref_length, seed=3)
    weights, sums = batch.normalized(gpu)
    cpu_weights, cpu_sums = batch.normalized(VECTORISED)
    for k, square in enumerate(batch.squares):
        expected_weights, expected_sums = stats_ref.normalize(square)
        # The weights are positive: their sum is its own magnitude.
        assert_sums_close(sums[k], expected_sums, expected_sums)
        assert_sums_close(sums[k], cpu_sums[k], expected_sums)
        found = batch.unpack(weights)[k]
        np.testing.assert_allclose(found, expected_weights, rtol=SUM_RTOL, atol=0)
        np.testing.assert_allclose(found, batch.unpack(cpu_weights)[k], rtol=SUM_RTOL, atol=0)
    # The column without weight becomes zeros, as on orvane_cpu.
    zero_column = batch.unpack(weights)[0][:, ref_length // 2]
    assert zero_column.tobytes() == np.zeros(lengths[0]).tobytes()


def test_normalisation_keeps_subnormal_sums_and_adds_to_old_ones(gpu):
    # Column 0 carries subnormal weights only (their sum is exact), column 1 adds to an old
    # sum of 1, which the division then includes.
    batch = Batch([2], 2)
    batch.squares = [np.array([[2e-310, 0.5], [3e-310, 1.5]])]
    weights, sums = batch.normalized(gpu, np.array([0.0, 1.0]))
    subnormal_sum = np.float64(2e-310) + np.float64(3e-310)
    assert sums.tolist() == [[subnormal_sum, 3.0]]
    expected = [[2e-310 / subnormal_sum, 0.5 / 3.0], [3e-310 / subnormal_sum, 0.5]]
    assert batch.unpack(weights)[0].tobytes() == np.array(expected).tobytes()


@pytest.mark.parametrize("lengths, ref_length", SHAPES)
def test_weighted_means_match_numpy_and_orvane_cpu(gpu, thread_order, lengths, ref_length):
    batch = Batch(lengths, ref_length, seed=4)
    weights = normalised_weights(batch)
    start = np.linspace(-2.0, 2.0, batch.packed)
    means = batch.means(gpu, weights, start)
    cpu_means = batch.means(VECTORISED, weights, start)
    for k, (signal, w) in enumerate(zip(batch.signals(), batch.unpack(weights))):
        own = start.reshape(-1, ref_length)[k]
        magnitudes = np.abs(own) + stats_ref.weighted_mean(w, np.abs(signal))
        assert_sums_close(means[k], own + stats_ref.weighted_mean(w, signal), magnitudes)
        assert_sums_close(means[k], cpu_means[k], magnitudes)


@pytest.mark.parametrize("lengths, ref_length", SHAPES)
def test_weighted_log_std_matches_numpy_and_orvane_cpu(gpu, thread_order, lengths, ref_length):
    batch = Batch(lengths, ref_length, seed=5)
    weights = normalised_weights(batch)
    means = np.concatenate([stats_ref.weighted_mean(w, signal)
                            for signal, w in zip(batch.signals(), batch.unpack(weights))])
    log_std = batch.log_std(gpu, weights, means)
    expected = [stats_ref.weighted_log_std(w, signal, m) for signal, w, m in
                zip(batch.signals(), batch.unpack(weights), means.reshape(-1, ref_length))]
    np.testing.assert_allclose(log_std, expected, rtol=0, atol=LOG_STD_ATOL)
    np.testing.assert_allclose(log_std, batch.log_std(VECTORISED, weights, means), rtol=0,
                               atol=LOG_STD_ATOL)
    # What the output held does not matter: it is cleared first.
    np.testing.assert_allclose(batch.log_std(gpu, weights, means, fill=1e300), log_std, rtol=0,
                               atol=LOG_STD_ATOL)


@pytest.mark.parametrize("lengths, ref_length", SHAPES)
def test_weighted_index_log_std_matches_numpy_and_orvane_cpu(gpu, thread_order, lengths,
                                                             ref_length):
    batch = Batch(lengths, ref_length, seed=6)
    weights = normalised_weights(batch)
    index_log_std = batch.index_log_std(gpu, weights)
    expected = [stats_ref.index_log_std(w) for w in batch.unpack(weights)]
    np.testing.assert_allclose(index_log_std, expected, rtol=0, atol=LOG_STD_ATOL)
    np.testing.assert_allclose(index_log_std, batch.index_log_std(VECTORISED, weights), rtol=0,
                               atol=LOG_STD_ATOL)
    np.testing.assert_allclose(batch.index_log_std(gpu, weights, fill=-1e300), index_log_std,
                               rtol=0, atol=LOG_STD_ATOL)


def test_hand_made_columns_in_float64(gpu):
    # Column 0: half on samples 1 and 3 (rows 0 and 2); column 1: all on row 1; column 2: no
    # weight; column 3: a quarter on row 0, three quarters on row 2. A unit deviation gives
    # ln(1 + 1e-8), which float32 rounds to 0.
    batch = Batch([3], 4)
    batch.samples = np.array([1.0, 7.0, 3.0])
    weights = batch.matrix([np.array([[0.5, 0.0, 0.0, 0.25],
                                      [0.0, 1.0, 0.0, 0.0],
                                      [0.5, 0.0, 0.0, 0.75]])])
    means = batch.means(gpu, weights)
    assert means.tolist() == [[2.0, 7.0, 0.0, 2.5]]
    unit = np.log(1.0 + 1e-8)
    # Column 3: variance 0.25 * 1.5^2 + 0.75 * 0.5^2 = 0.75 for samples and rows alike.
    spread = np.log(np.sqrt(0.75) + 1e-8)
    np.testing.assert_allclose(batch.log_std(gpu, weights, means)[0],
                               [unit, -10.0, -10.0, spread], rtol=1e-15)
    np.testing.assert_allclose(batch.index_log_std(gpu, weights)[0],
                               [unit, -10.0, -10.0, spread], rtol=1e-15)


# Refusals: the float32 functions' checks and messages, before anything is allocated or run.

ARGUMENTS = {  # each operation's arguments from the lengths, M and one address for every buffer
    "calc_manhattan_distance": lambda lengths, m, a: (a, lengths, a, m, a),
    "calc_manhattan_distance_gradient": lambda lengths, m, a: (a, lengths, a, m, a, a, a),
    "normalize_matrix": lambda lengths, m, a: (lengths, m, a, a),
    "calc_weighted_means": lambda lengths, m, a: (a, lengths, m, a, a),
    "calc_weighted_std": lambda lengths, m, a: (a, lengths, m, a, a, a),
    "calc_weighted_index_std": lambda lengths, m, a: (lengths, m, a, a),
    "convert_antidiag_to_square": lambda lengths, m, a: (lengths, m, a, a),
    "convert_square_to_antidiag": lambda lengths, m, a: (lengths, m, a, a),
}
BAD_BATCHES = [
    pytest.param([], 4, "^input_signal_lengths is empty$", id="no-signals"),
    pytest.param([3, 0], 4, r"^input_signal_lengths\[1\] must be positive, got: 0$",
                 id="empty-signal"),
    pytest.param([3], 0, "^ref_signal_length must be positive$", id="empty-reference"),
    pytest.param([3], 1025,
                 r"^ref_signal_length \(1025\) exceeds maximum threads per block \(1024\)$",
                 id="reference-beyond-a-block"),
    pytest.param([1 << 21], 1024, "^the batch matrix would hold 2147483648 cells",
                 id="too-many-cells"),
]


@pytest.mark.parametrize("name", ARGUMENTS)
@pytest.mark.parametrize("lengths, ref_length, message", BAD_BATCHES)
def test_bad_batches_are_refused_as_the_float32_functions_refuse_them(gpu, name, lengths,
                                                                      ref_length, message):
    buffer = guarded(gpu, np.full(4, SENTINEL))
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    refusals = []
    for suffix in ("", "_float64"):
        with pytest.raises(ValueError, match=message) as raised:
            getattr(gpu.module, name + suffix)(*ARGUMENTS[name](lengths, ref_length, buffer.ptr))
        refusals.append(str(raised.value))
    assert refusals[0] == refusals[1]
    assert read(buffer, 4).tolist() == [SENTINEL] * 4
    if gpu.name == "twin":  # the stand-in counts what it allocates and launches
        assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


@pytest.mark.parametrize("name", ["calc_weighted_std", "calc_weighted_index_std"])
def test_log_std_outputs_are_cleared_in_float64_before_uploading(name):
    # The tables' upload fails after the output was cleared: every one of its B * M float64
    # values is zero (all eight bytes), nothing past it changed and nothing is left allocated.
    twin = twin_backend()
    batch = Batch([2, 3], 5)
    weights = guarded(twin, normalised_weights(batch))
    out = guarded(twin, np.full(batch.packed, SENTINEL))
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    hooks.fail_call(Call.malloc, 2)
    with pytest.raises(RuntimeError, match="^Failed to allocate device memory: out of memory$"):
        if name == "calc_weighted_std":
            samples = guarded(twin, batch.samples)
            twin.module.calc_weighted_std_float64(samples.ptr, batch.lengths, batch.M,
                                                  weights.ptr, weights.ptr, out.ptr)
        else:
            twin.module.calc_weighted_index_std_float64(batch.lengths, batch.M, weights.ptr,
                                                        out.ptr)
    assert read(out, batch.packed).tobytes() == np.zeros(batch.packed).tobytes()
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
