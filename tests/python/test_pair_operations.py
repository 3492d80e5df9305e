"""The cell-parallel operations of pairs (each signal against a reference of its own, of any
length), in float32 and float64, on the twin and, with a GPU, the CUDA module.

Two kinds of values: dyadic samples and weights, which make every sum exact in any order, so
that everything compares bit for bit; and random ones, where distances and conversions
compare bit for bit and the sums that float atomics add in no fixed order within the
rounding that order allows. With one reference repeated (M <= 1024) the results are the
one-reference functions'. Pairs of other lengths (1 to 5000 columns, and a matrix taller
than a grid) give each pair's float64 NumPy reference. Blocks of fewer threads than columns
(each thread serving every T-th column) and every thread order of the twin change no bit.
Bad pairs are refused before anything is allocated or launched, with nothing written."""

import numpy as np
import pytest

import statistics_reference as stats_ref
from conftest import BACKENDS
from layout_reference import square_to_antidiag
from orvane import cpu_cuda_testing as hooks
from orvane.buffers import twin_backend
from orvane.cpu_cuda_testing import Call

DTYPES = [pytest.param(np.float32, id="float32"), pytest.param(np.float64, id="float64")]
GUARD = 8
SENTINEL = -4242.125
DY_START = 0.5  # what every reference gradient holds before a call adds to it
# The dead zone of the sign, the float32 value nearest to 1e-7, on either element type.
SIGN_DEAD_ZONE = np.float64(np.float32(1e-7))
# A clamped log-std from a variance that is off by a relative d moves by at most d / 2; the
# variances of random weights spread over every row are off by a few thousand roundings.
LOG_STD_ATOL = {np.float32: 2e-4, np.float64: 1e-12}
# One reference's functions and those of pairs, by the one-reference name.
PAIR_NAMES = {
    "calc_manhattan_distance": "calc_manhattan_pair_distance",
    "calc_manhattan_distance_gradient": "calc_manhattan_pair_distance_gradient",
    "convert_antidiag_to_square": "convert_pair_antidiag_to_square",
    "convert_square_to_antidiag": "convert_pair_square_to_antidiag",
    "normalize_matrix": "normalize_pair_matrix",
    "calc_weighted_means": "calc_pair_weighted_means",
    "calc_weighted_std": "calc_pair_weighted_std",
    "calc_weighted_index_std": "calc_pair_weighted_index_std",
}


@pytest.fixture(params=BACKENDS)
def backend(request):
    """The twin and the CUDA module; orvane_cpu's passes form their costs themselves."""
    if request.param.name == "cpu":
        pytest.skip("orvane_cpu has no cell-parallel operations of pairs")
    return request.param


@pytest.fixture(params=DTYPES)
def dtype(request):
    return request.param


class Pairs:
    """Signals, a reference per signal and one N_k x M_k matrix (the gradients, or weights) per
    pair, as float64 values that the element type holds exactly."""

    def __init__(self, lengths, ref_lengths, samples, references, squares):
        self.lengths, self.ref_lengths = list(lengths), list(ref_lengths)
        self.samples, self.references, self.squares = samples, references, squares
        self.cells = sum(n * m for n, m in zip(lengths, ref_lengths))
        self.reference_samples = sum(ref_lengths)

    @classmethod
    def random(cls, lengths, ref_lengths, dtype, seed=0, one_reference=False):
        """Normal samples and uniform positive gradients, one column of the first pair
        carrying none."""
        rng = np.random.default_rng(seed)
        cast = lambda values: values.astype(dtype).astype(np.float64)
        squares = [cast(rng.uniform(0.0, 1.0, (n, m))) for n, m in zip(lengths, ref_lengths)]
        squares[0][:, ref_lengths[0] // 2] = 0.0
        references = [cast(rng.standard_normal(m)) for m in ref_lengths]
        if one_reference:
            references = [references[0]] * len(lengths)
        return cls(lengths, ref_lengths, cast(rng.standard_normal(sum(lengths))), references,
                   squares)

    @classmethod
    def of(cls, values, lengths, ref_lengths, dtype, seed=0, one_reference=False):
        """Pairs.exact or Pairs.random, as `values` names them."""
        if values == "exact":
            return cls.exact(lengths, ref_lengths, seed, one_reference)
        return cls.random(lengths, ref_lengths, dtype, seed, one_reference)

    @classmethod
    def exact(cls, lengths, ref_lengths, seed=0, one_reference=False):
        """Halves in [-8, 8] as samples and references, and gradients whose columns hold
        eighths adding up to one, scaled by 1/2, 1, 2, 3 or 4 (one column of the first pair
        carrying none): every product and every sum the operations form, in any order, is
        exact in float32."""
        rng = np.random.default_rng(seed)
        halves = lambda size: rng.integers(-16, 17, size) / 2.0
        squares = []
        for n, m in zip(lengths, ref_lengths):
            eighths = np.stack([rng.multinomial(8, np.full(n, 1.0 / n)) for _ in range(m)], 1)
            squares.append(eighths / 8.0 * rng.choice([0.5, 1.0, 2.0, 3.0, 4.0], m))
        squares[0][:, ref_lengths[0] // 2] = 0.0
        references = [halves(m) for m in ref_lengths]
        if one_reference:
            references = [references[0]] * len(lengths)
        return cls(lengths, ref_lengths, halves(sum(lengths)), references, squares)

    def signals(self):
        return np.split(self.samples, np.cumsum(self.lengths)[:-1])

    def matrix(self, squares):
        """Per-pair squares, each in the anti-diagonal layout of its own N_k x M_k, one after
        the other."""
        return np.concatenate([square_to_antidiag(square.ravel(), [n], m) for square, n, m in
                               zip(squares, self.lengths, self.ref_lengths)])

    def per_pair(self, packed):
        """sum M_k values packed per pair -> each pair's M_k."""
        return np.split(packed, np.cumsum(self.ref_lengths)[:-1])

    def alone(self, k):
        first = sum(self.lengths[:k])
        return Pairs([self.lengths[k]], [self.ref_lengths[k]],
                     self.samples[first:first + self.lengths[k]], [self.references[k]],
                     [self.squares[k]])


class Calls:
    """The operations of `pairs` on a backend in one element type: the functions of pairs, or
    with one_reference the one-reference functions (for pairs that share one reference). Every
    output buffer has GUARD sentinels after it, which must stay."""

    def __init__(self, backend, dtype, pairs, one_reference=False):
        self.backend, self.dtype, self.pairs = backend, dtype, pairs
        self.one_reference = one_reference
        self.refs = pairs.ref_lengths[0] if one_reference else pairs.ref_lengths
        self.packed = len(pairs.lengths) * self.refs if one_reference else \
            pairs.reference_samples

    def buffer(self, values):
        flat = np.asarray(values, np.float64).ravel()
        return self.backend.array(np.concatenate([flat, np.full(GUARD, SENTINEL)]), self.dtype)

    def read(self, buffer, size):
        values = buffer.numpy()
        assert values[size:].tobytes() == \
            np.full(GUARD, SENTINEL, self.dtype).tobytes(), "values past the output were written"
        return values[:size]

    def call(self, name, *arguments):
        function = name if self.one_reference else PAIR_NAMES[name]
        suffix = "" if self.dtype == np.float32 else "_float64"
        getattr(self.backend.module, function + suffix)(*arguments)
        self.backend.synchronize()

    def reference(self):
        return self.pairs.references[0] if self.one_reference else \
            np.concatenate(self.pairs.references)

    def distances(self):
        p = self.pairs
        x, y = self.buffer(p.samples), self.buffer(self.reference())
        d = self.buffer(np.full(p.cells, SENTINEL))
        self.call("calc_manhattan_distance", x.ptr, p.lengths, y.ptr, self.refs, d.ptr)
        return self.read(d, p.cells)

    def converted(self, name, values):
        source, target = self.buffer(values), self.buffer(np.full(self.pairs.cells, SENTINEL))
        self.call(name, self.pairs.lengths, self.refs, source.ptr, target.ptr)
        return self.read(target, self.pairs.cells)

    def gradients(self, start_dx, start_dy):
        """dx and dy added to start_dx and start_dy, the gradient matrices as dLoss/dD."""
        p = self.pairs
        x, y = self.buffer(p.samples), self.buffer(self.reference())
        g = self.buffer(p.matrix(p.squares))
        dx, dy = self.buffer(start_dx), self.buffer(start_dy)
        self.call("calc_manhattan_distance_gradient", x.ptr, p.lengths, y.ptr, self.refs, g.ptr,
                  dx.ptr, dy.ptr)
        return self.read(dx, len(p.samples)), self.read(dy, len(start_dy))

    def normalized(self, start_sums):
        """The gradient matrices normalised in place, and the column sums added to
        start_sums."""
        p = self.pairs
        g, sums = self.buffer(p.matrix(p.squares)), self.buffer(start_sums)
        self.call("normalize_matrix", p.lengths, self.refs, g.ptr, sums.ptr)
        return self.read(g, p.cells), self.read(sums, self.packed)

    def means(self, weights, start):
        x, w, out = self.buffer(self.pairs.samples), self.buffer(weights), self.buffer(start)
        self.call("calc_weighted_means", x.ptr, self.pairs.lengths, self.refs, w.ptr, out.ptr)
        return self.read(out, self.packed)

    def log_std(self, weights, means, fill=np.nan):
        x, w, m = (self.buffer(v) for v in (self.pairs.samples, weights, means))
        out = self.buffer(np.full(self.packed, fill))
        self.call("calc_weighted_std", x.ptr, self.pairs.lengths, self.refs, w.ptr, m.ptr,
                  out.ptr)
        return self.read(out, self.packed)

    def index_log_std(self, weights, fill=np.nan):
        w, out = self.buffer(weights), self.buffer(np.full(self.packed, fill))
        self.call("calc_weighted_index_std", self.pairs.lengths, self.refs, w.ptr, out.ptr)
        return self.read(out, self.packed)


def divided(dtype, squares):
    """Each pair's gradients divided by their column sums in the element type (0 where a
    column carries none), as float64 values."""
    quotients = []
    for g in squares:
        sums = g.sum(0).astype(dtype)
        safe = np.where(sums != 0, sums, dtype(1))
        quotients.append(np.where(sums != 0, g.astype(dtype) / safe, 0).astype(np.float64))
    return quotients


def statistics_inputs(pairs, dtype):
    """The weights and means the statistics read: float64 NumPy's, in the element type."""
    cast = lambda values: values.astype(dtype).astype(np.float64)
    weights = [cast(stats_ref.normalize(g)[0]) for g in pairs.squares]
    means = [cast(stats_ref.weighted_mean(w, s)) for w, s in zip(weights, pairs.signals())]
    return weights, means


def run_all(calls, start, weights, means):
    """Every operation on calls' pairs: the statistics read the given per-pair weights and
    means; start holds what the accumulated outputs hold first. name -> the output."""
    p = calls.pairs
    found = {"distances": calls.distances()}
    square = np.concatenate([s.ravel() for s in p.squares])
    found["to_antidiag"] = calls.converted("convert_square_to_antidiag", square)
    found["to_square"] = calls.converted("convert_antidiag_to_square", found["to_antidiag"])
    found["dx"], found["dy"] = calls.gradients(start["dx"], start["dy"])
    found["weights"], found["sums"] = calls.normalized(start["sums"])
    weight_matrix = p.matrix(weights)
    found["means"] = calls.means(weight_matrix, start["means"])
    found["log_std"] = calls.log_std(weight_matrix, np.concatenate(means))
    found["index_log_std"] = calls.index_log_std(weight_matrix)
    return found


def starting_values(pairs, packed, dy_size):
    """Dyadic values for the accumulated outputs to start from (no -0.0, whose sum with 0.0
    depends on the order): gradients and means add to them, and the column sums start from
    zero (so that they divide the columns by their own weight)."""
    return {"dx": np.linspace(-64.0, 64.0, len(pairs.samples)).round() / 32 + 0.0,
            "dy": np.full(dy_size, DY_START), "sums": np.zeros(packed),
            "means": np.full(packed, -0.25)}


def dead_zone_sign(z):
    return np.where(np.abs(z) < SIGN_DEAD_ZONE, 0.0, np.sign(z))


def numpy_results(pairs, start, dtype):
    """run_all's results from float64 NumPy, pair by pair: name -> (values, for every sum
    the sum of its terms' magnitudes, and its number of terms)."""
    signals, squares = pairs.signals(), pairs.squares
    weights, means = statistics_inputs(pairs, dtype)
    differences = [s[:, None] - y[None, :] for s, y in zip(signals, pairs.references)]
    signs = [dead_zone_sign(d) for d in differences]
    joined = np.concatenate
    # A sample's gradient adds M_k terms to what it held, a column's sums N_k; a weight is
    # its column's sum of N_k terms, divided.
    sample_terms = np.repeat(np.add(pairs.ref_lengths, 1), pairs.lengths)
    column_terms = np.repeat(np.add(pairs.lengths, 1), pairs.ref_lengths)
    weight_terms = pairs.matrix([np.full((n, m), n + 3.0)
                                 for n, m in zip(pairs.lengths, pairs.ref_lengths)])
    sums = joined([g.sum(0) for g in squares])
    absolute_means = joined([stats_ref.weighted_mean(w, np.abs(s))
                             for w, s in zip(weights, signals)])
    return {
        "distances": (pairs.matrix([np.abs(d).astype(dtype) for d in differences]), None, None),
        "to_antidiag": (pairs.matrix(squares), None, None),
        "to_square": (np.concatenate([s.ravel() for s in squares]), None, None),
        "dx": (start["dx"] + joined([(g * s).sum(1) for g, s in zip(squares, signs)]),
               np.abs(start["dx"]) + joined([g.sum(1) for g in squares]), sample_terms),
        "dy": (start["dy"] - joined([(g * s).sum(0) for g, s in zip(squares, signs)]),
               np.abs(start["dy"]) + sums, column_terms),
        "sums": (start["sums"] + sums, np.abs(start["sums"]) + sums, column_terms),
        "weights": (pairs.matrix(divided(dtype, squares)), None, weight_terms),
        "means": (start["means"] + joined(means), np.abs(start["means"]) + absolute_means,
                  column_terms),
        "log_std": (joined([stats_ref.weighted_log_std(w, s, m)
                            for w, s, m in zip(weights, signals, means)]), None, None),
        "index_log_std": (joined([stats_ref.index_log_std(w) for w in weights]), None, None),
    }


def assert_matches_numpy(found, expected, dtype, exact, names=None):
    """Distances, conversions and (with exact values) every sum and weight bit for bit;
    otherwise each sum of n terms within n roundings of the sum of its terms' magnitudes and
    each weight within n + 3 roundings of its size. The log-stds are the element type's log
    of an exact variance with exact values (a few roundings), and otherwise within
    LOG_STD_ATOL. names: the outputs to compare, all by default."""
    eps = np.finfo(dtype).eps
    for name in expected if names is None else names:
        values, magnitudes, terms = expected[name]
        got = found[name].astype(np.float64)
        if name in ("log_std", "index_log_std"):
            atol = 16 * eps if exact else LOG_STD_ATOL[dtype]
            np.testing.assert_allclose(got, values, rtol=0, atol=atol, err_msg=name)
        elif exact or terms is None:
            assert got.tobytes() == values.astype(dtype).astype(np.float64).tobytes(), name
        elif magnitudes is None:
            assert np.all(np.abs(got - values) <= terms * eps * np.abs(values)), name
        else:
            error = np.abs(got - values)
            assert np.all(error <= terms * eps * magnitudes), \
                (name, np.max(error / np.maximum(magnitudes, 1e-300)))


# Sums and statistics of float atomics differ between calls in their last bits unless every
# sum is exact in any order; distances and conversions hold no sums.
HOLD_NO_SUMS = ("distances", "to_antidiag", "to_square")
VALUES = ["exact", "random"]


def run_pairs(backend, dtype, pairs):
    """run_all of the functions of pairs, and what the accumulated outputs held first."""
    start = starting_values(pairs, pairs.reference_samples, pairs.reference_samples)
    return run_all(Calls(backend, dtype, pairs), start, *statistics_inputs(pairs, dtype)), start


@pytest.mark.parametrize("values", VALUES)
@pytest.mark.parametrize("ref_length", [1, 7, 300, 1024])
def test_one_reference_repeated_gives_the_one_reference_functions_results(
        backend, dtype, thread_order, values, ref_length):
    """Bit for bit; with random values, outputs that float atomics add up are each within
    the same rounding of float64 NumPy's."""
    lengths = [5, 1, 40, 17]
    pairs = Pairs.of(values, lengths, [ref_length] * 4, dtype, seed=ref_length,
                     one_reference=True)
    found, start = run_pairs(backend, dtype, pairs)
    one = Calls(backend, dtype, pairs, one_reference=True)
    expected = run_all(one, dict(start, dy=start["dy"][:ref_length]),
                       *statistics_inputs(pairs, dtype))
    for name in HOLD_NO_SUMS if values == "random" else set(found) - {"dy"}:
        assert found[name].tobytes() == expected[name].tobytes(), name
    if values == "random":
        reference = numpy_results(pairs, start, dtype)
        assert_matches_numpy(found, reference, dtype, exact=False)
        # The one-reference function's reference gradient adds up the pairs'.
        assert_matches_numpy(expected, reference, dtype, exact=False,
                             names=set(reference) - {"dy"})
        return
    # Each pair's reference gradient is its own: that of its signal alone against the
    # reference, and the pairs' add up to the batch's.
    own = pairs.per_pair(found["dy"])
    for k in range(len(lengths)):
        first = sum(lengths[:k])
        alone = Calls(backend, dtype, pairs.alone(k), one_reference=True).gradients(
            start["dx"][first:first + lengths[k]], start["dy"][:ref_length])
        assert own[k].tobytes() == alone[1].tobytes()
    added = sum(dy - DY_START for dy in own) + DY_START
    assert added.astype(dtype).tobytes() == expected["dy"].tobytes()


ANY_LENGTH = [
    pytest.param([7, 3, 12, 2, 5], [1, 13, 300, 2048, 5000], id="1-to-5000-columns"),
    pytest.param([70000, 3], [2, 1], id="taller-than-a-grid"),
]


@pytest.mark.parametrize("values", VALUES)
@pytest.mark.parametrize("lengths, ref_lengths", ANY_LENGTH)
def test_pairs_of_any_length_are_their_numpy_references(backend, dtype, values, lengths,
                                                        ref_lengths):
    pairs = Pairs.of(values, lengths, ref_lengths, dtype, seed=len(lengths))
    found, start = run_pairs(backend, dtype, pairs)
    assert_matches_numpy(found, numpy_results(pairs, start, dtype), dtype, values == "exact")


@pytest.mark.parametrize("values", VALUES)
def test_threads_serving_several_columns_change_no_bit(dtype, thread_order, values):
    """Blocks of 1, 8 and 32 threads (the twin's device reporting that many threads per
    block), each thread serving every T-th column, give the bits of a thread per column."""
    twin = twin_backend()
    pairs = Pairs.of(values, [1, 9, 40, 23], [45, 13, 60, 1], dtype, seed=3)
    one_per_column, start = run_pairs(twin, dtype, pairs)
    reference = numpy_results(pairs, start, dtype)
    for threads in (1, 8, 32):
        hooks.set_max_threads_per_block(threads)
        found = run_pairs(twin, dtype, pairs)[0]
        for name in HOLD_NO_SUMS if values == "random" else found:
            assert found[name].tobytes() == one_per_column[name].tobytes(), (threads, name)
        assert_matches_numpy(found, reference, dtype, values == "exact")


def test_hand_worked_pairs(backend, dtype):
    # Pair 0: x = [1, 4] against y = [2, 3, 7]; pair 1: x = [5] against y = [5, 1]. Pair 0's
    # 2 x 3 matrix stores diagonal 0 (0, 0), then (1, 0), (0, 1), then (1, 1), (0, 2), then
    # (1, 2); pair 1's 1 x 2 matrix follows it.
    pairs = Pairs([2, 1], [3, 2], np.array([1.0, 4.0, 5.0]),
                  [np.array([2.0, 3.0, 7.0]), np.array([5.0, 1.0])],
                  [np.ones((2, 3)), np.array([[0.5, 2.0]])])
    calls = Calls(backend, dtype, pairs)
    assert calls.distances().tolist() == [1, 2, 2, 1, 6, 3, 0, 4]
    # Every gradient 1 in pair 0: dx = sgn(1 - y).sum() = -3 and sgn(4 - y).sum() = 1, and
    # dy = -(sgn(x - 2), sgn(x - 3), sgn(x - 7)) summed over x = [0, 0, 2]. Pair 1: 5 - 5
    # is in the dead zone, so dx = 2 * sgn(5 - 1) = 2 and dy = [0, -2].
    dx, dy = calls.gradients(np.zeros(3), np.zeros(5))
    assert dx.tolist() == [-3, 1, 2] and dy.tolist() == [0, 0, 2, 0, -2]
    # Halves of column 0 of pair 0 on rows 0 and 1: index mean 0.5, variance 0.25, log-std
    # ln(0.5 + 1e-8); pair 1 has one row, so every index variance is 0 and clamps to -10.
    weights = pairs.matrix([np.full((2, 3), 0.5), np.ones((1, 2))])
    expected = [np.log(0.5 + 1e-8)] * 3 + [-10.0, -10.0]
    np.testing.assert_allclose(calls.index_log_std(weights), expected,
                               rtol=4 * np.finfo(dtype).eps)
    # Weighted means: pair 0 (1 + 4) / 2 in every column, pair 1 the sample itself.
    assert calls.means(weights, np.zeros(5)).tolist() == [2.5, 2.5, 2.5, 5.0, 5.0]


# Refusals: the pair passes' checks and messages, before anything is allocated or run.

ARGUMENTS = {  # each operation's arguments from the lengths, the M_k and one address
    "calc_manhattan_distance": lambda lengths, refs, a: (a, lengths, a, refs, a),
    "calc_manhattan_distance_gradient": lambda lengths, refs, a: (a, lengths, a, refs, a, a, a),
    "convert_antidiag_to_square": lambda lengths, refs, a: (lengths, refs, a, a),
    "convert_square_to_antidiag": lambda lengths, refs, a: (lengths, refs, a, a),
    "normalize_matrix": lambda lengths, refs, a: (lengths, refs, a, a),
    "calc_weighted_means": lambda lengths, refs, a: (a, lengths, refs, a, a),
    "calc_weighted_std": lambda lengths, refs, a: (a, lengths, refs, a, a, a),
    "calc_weighted_index_std": lambda lengths, refs, a: (lengths, refs, a, a),
}
BAD_PAIRS = [
    pytest.param([], [], "^input_signal_lengths is empty$", id="no-signals"),
    pytest.param([3, 0], [2, 2], r"^input_signal_lengths\[1\] must be positive, got: 0$",
                 id="empty-signal"),
    pytest.param([3, 4], [2], "^ref_signal_lengths must hold one length per signal: got 1 for "
                 "2 signals$", id="reference-count"),
    pytest.param([3, 4], [2, -1], r"^ref_signal_lengths\[1\] must be positive, got: -1$",
                 id="empty-reference"),
    pytest.param([1 << 30, 1 << 30], [1, 1], "^input_signal_lengths add up to 2147483648 "
                 "samples, more than the 2147483647", id="too-many-samples"),
    pytest.param([1 << 16, 1 << 16], [1 << 14, 1 << 14], "^the batch matrix would hold "
                 r"2147483648 cells \(the sum of input_signal_lengths times ref_signal_lengths\)",
                 id="too-many-cells"),
]


def assert_refused(backend, name, arguments, error, message, failing=None):
    """Both element types' function of pairs refuse `arguments` (after the device query
    `failing` fails, if given) with `error` matching `message`, having allocated and launched
    nothing where that is counted (on the twin)."""
    for suffix in ("", "_float64"):
        if failing is not None:
            hooks.fail_call(failing, 100)  # cudaErrorNoDevice
        allocations, launches = hooks.live_allocations(), hooks.launches_run()
        with pytest.raises(error, match=message):
            getattr(backend.module, PAIR_NAMES[name] + suffix)(*arguments)
        if backend.name == "twin":
            assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


@pytest.mark.parametrize("name", ARGUMENTS)
@pytest.mark.parametrize("lengths, ref_lengths, message", BAD_PAIRS)
def test_bad_pairs_are_refused_before_anything_runs(backend, name, lengths, ref_lengths,
                                                    message):
    buffer = backend.array(np.full(4 + GUARD, SENTINEL), np.float64)
    assert_refused(backend, name, ARGUMENTS[name](lengths, ref_lengths, buffer.ptr), ValueError,
                   message)
    assert buffer.numpy().tolist() == [SENTINEL] * (4 + GUARD)


@pytest.mark.parametrize("failing", [Call.get_device, Call.device_attribute])
@pytest.mark.parametrize("name", ARGUMENTS)
def test_a_failed_device_query_is_refused_before_anything_is_allocated(name, failing):
    twin = twin_backend()
    buffer = twin.array(np.full(4 + GUARD, SENTINEL), np.float64)
    assert_refused(twin, name, ARGUMENTS[name]([2, 3], [4, 1], buffer.ptr), RuntimeError,
                   "^Failed to get device attributes: no CUDA-capable device is detected$",
                   failing)
    assert buffer.numpy().tolist() == [SENTINEL] * (4 + GUARD)


@pytest.mark.parametrize("name", ["calc_weighted_std", "calc_weighted_index_std"])
def test_log_std_outputs_are_cleared_before_the_tables_upload(dtype, name):
    # The tables' upload fails after the output was cleared: its sum M_k values are zeros,
    # nothing past them changed, and nothing is left allocated or launched.
    pairs = Pairs.exact([2, 3], [5, 2])
    calls = Calls(twin_backend(), dtype, pairs)
    weights, samples = calls.buffer(pairs.matrix(pairs.squares)), calls.buffer(pairs.samples)
    out = calls.buffer(np.full(pairs.reference_samples, SENTINEL))
    if name == "calc_weighted_std":  # the weights stand in for the means
        arguments = (samples.ptr, pairs.lengths, pairs.ref_lengths, weights.ptr, weights.ptr)
    else:
        arguments = (pairs.lengths, pairs.ref_lengths, weights.ptr)
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    # The index log-std allocates its index means first, then the tables.
    hooks.fail_call(Call.malloc, 2, 0 if name == "calc_weighted_std" else 1)
    with pytest.raises(RuntimeError, match="^Failed to allocate device memory: out of memory$"):
        calls.call(name, *arguments, out.ptr)
    assert calls.read(out, pairs.reference_samples).tobytes() == \
        np.zeros(pairs.reference_samples, dtype).tobytes()
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches
