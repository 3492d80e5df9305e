"""orvane_cpu's scores and gradients without matrices of pairs, signal k against a reference
of its own: each pair's results are bit for bit those of a one-pair call of the one-reference
functions, whether it runs side by side with pairs of its shape or alone, cut in tiles or from
checkpoints, on 1 and 2 threads and every instruction set; one reference shared by every pair
gives the one-reference call's scores, and reference gradients that add up to its reference
gradient; the float64 path agrees with a float64 reference written from the mathematics; bad
arguments are refused before anything is written; and the package runs pairs through them."""

from dataclasses import dataclass, replace

import numpy as np
import pytest

import orvane
import orvane_cpu
import softdtw_reference as reference_math
from conftest import vectorised_threads

# Data type, score type and the suffix of each path's functions.
PATHS = {"float32": (np.float32, np.float32, ""),
         "mixed": (np.float32, np.float64, "_mixed"),
         "float64": (np.float64, np.float64, "_float64")}
ENDS = [dict(), dict(local_end=True, ref_gap_penalty=0.1), dict(local_end=True, last_row_only=True)]
END_IDS = ["global", "free", "last-row"]
GAMMA = 0.6


def function(name, path):
    return getattr(orvane_cpu, name + PATHS[path][2])


@dataclass
class Pairs:
    """Signals and references of `channels` values a sample, with each pair's alpha and weight,
    and band half-widths (or None)."""

    path: str
    channels: int
    signals: list
    references: list
    alpha: np.ndarray
    weights: np.ndarray
    bands: np.ndarray | None = None

    @classmethod
    def random(cls, path, lengths, ref_lengths, channels, seed, bands=None):
        data = PATHS[path][0]
        rng = np.random.default_rng(seed)
        return cls(path, channels,
                   [rng.standard_normal((n, channels)).astype(data) for n in lengths],
                   [rng.standard_normal((m, channels)).astype(data) for m in ref_lengths],
                   rng.uniform(-0.3, 0.3, len(lengths)).astype(data),
                   rng.uniform(0.5, 2.0, len(lengths)).astype(data),
                   None if bands is None else np.asarray(bands, np.int32))

    def __len__(self):
        return len(self.signals)

    def one(self, k):
        """Pair k alone."""
        return replace(self, signals=[self.signals[k]], references=[self.references[k]],
                       alpha=self.alpha[k:k + 1], weights=self.weights[k:k + 1],
                       bands=None if self.bands is None else self.bands[k:k + 1])

    def arguments(self, options, cost):
        return dict(alpha_ptr=self.alpha.ctypes.data, channels=self.channels, cost=cost,
                    band_ptr=0 if self.bands is None else self.bands.ctypes.data, **options)


def pair_results(pairs, options, cost, score_matrix_cells=0):
    """(scores alone, scores, R, dx, dy) of the pair functions over a batch of pairs."""
    score = PATHS[pairs.path][1]
    lengths = [len(x) for x in pairs.signals]
    ref_lengths = [len(y) for y in pairs.references]
    x, y = np.concatenate(pairs.signals), np.concatenate(pairs.references)
    alone = np.full(len(pairs), np.nan, score)
    function("calc_softdtw_pair_scores", pairs.path)(
        x.ctypes.data, lengths, y.ctypes.data, ref_lengths, alone.ctypes.data, GAMMA,
        **pairs.arguments(options, cost))
    cells = score_matrix_cells or sum(n * m for n, m in zip(lengths, ref_lengths))
    matrix, scores = np.full(cells, np.nan, score), np.full(len(pairs), np.nan, score)
    dx, dy = np.zeros_like(x), np.zeros_like(y)
    function("calc_softdtw_pair_gradients", pairs.path)(
        x.ctypes.data, lengths, y.ctypes.data, ref_lengths, matrix.ctypes.data,
        scores.ctypes.data, dx.ctypes.data, dy.ctypes.data, GAMMA,
        weights_ptr=pairs.weights.ctypes.data, score_matrix_cells=score_matrix_cells,
        **pairs.arguments(options, cost))
    return alone, scores, matrix, dx, dy


def one_reference_results(pairs, options, cost, score_matrix_cells=0):
    """The same of today's functions over a batch that shares the first pair's reference."""
    score = PATHS[pairs.path][1]
    lengths = [len(x) for x in pairs.signals]
    x, y = np.concatenate(pairs.signals), pairs.references[0]
    alone = np.full(len(pairs), np.nan, score)
    function("calc_softdtw_scores", pairs.path)(
        x.ctypes.data, lengths, y.ctypes.data, len(y), alone.ctypes.data, GAMMA,
        **pairs.arguments(options, cost))
    cells = score_matrix_cells or sum(lengths) * len(y)
    matrix, scores = np.full(cells, np.nan, score), np.full(len(pairs), np.nan, score)
    dx, dy = np.zeros_like(x), np.zeros_like(y)
    function("calc_softdtw_gradients", pairs.path)(
        x.ctypes.data, lengths, y.ctypes.data, len(y), matrix.ctypes.data, scores.ctypes.data,
        dx.ctypes.data, dy.ctypes.data, GAMMA, weights_ptr=pairs.weights.ctypes.data,
        score_matrix_cells=score_matrix_cells, **pairs.arguments(options, cost))
    return alone, scores, matrix, dx, dy


def same_values(matrix, expected):
    """Whether two score matrices hold the same values, bit for bit, in any order (pairs side
    by side keep their R interleaved in their part of the matrix)."""
    as_bits = np.uint32 if matrix.dtype == np.float32 else np.uint64
    return np.array_equal(np.sort(matrix.view(as_bits)), np.sort(expected.view(as_bits)))


def assert_each_pair_is_a_one_pair_call(pairs, found, options, cost):
    """Scores, sample and reference gradients bit for bit, R as the same values."""
    alone = [one_reference_results(pairs.one(k), options, cost) for k in range(len(pairs))]
    for part in (0, 1):
        assert found[part].tobytes() == np.concatenate([own[part] for own in alone]).tobytes()
    assert same_values(found[2], np.concatenate([own[2] for own in alone]))
    signal_ends = np.cumsum([0] + [len(x) for x in pairs.signals])
    reference_ends = np.cumsum([0] + [len(y) for y in pairs.references])
    for k, own in enumerate(alone):
        assert found[3][signal_ends[k]:signal_ends[k + 1]].tobytes() == own[3].tobytes(), k
        assert found[4][reference_ends[k]:reference_ends[k + 1]].tobytes() == own[4].tobytes(), k


def mixed_shapes(path, channels, seed, banded):
    """Pairs of a few shapes, apart in the batch and enough of them to run side by side on
    every instruction set and thread count, with pairs of other shapes between them: of one
    length against references of two lengths, the other way round, and pairs of their own
    (one sample, far longer than their reference and far shorter). With a band, most pairs of
    a shape share a width. A NaN sample, and an infinite one that leaves its pair (among
    others of its shape) without a path."""
    shapes = [(12, 9), (12, 14)] * 20 + [(7, 9)] * 4 + [(1, 1), (3, 40), (40, 3), (33, 17),
                                                        (9, 12)]
    lengths, ref_lengths = zip(*shapes)
    bands = [1 if k % 7 == 0 else 3 for k in range(len(shapes))] if banded else None
    pairs = Pairs.random(path, lengths, ref_lengths, channels, seed, bands)
    pairs.signals[4][2, 0], pairs.signals[6][0, 0] = np.nan, np.inf
    return pairs


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=END_IDS)
@pytest.mark.parametrize("channels, cost", [(1, "abs"), (3, "sqeuclidean")])
@pytest.mark.parametrize("banded", [False, True], ids=["no-band", "band"])
def test_each_pair_is_a_one_pair_call_bit_for_bit(instruction_set, path, options, channels, cost,
                                                  banded):
    pairs = mixed_shapes(path, channels, seed=channels + 3 * banded, banded=banded)
    for threads in (1, 2):
        with vectorised_threads(threads):
            found = pair_results(pairs, options, cost)
        assert_each_pair_is_a_one_pair_call(pairs, found, options, cost)
        first = sum(map(len, pairs.signals[:6]))
        assert found[1][6] == np.inf and not found[3][first:first + 12].any()


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=END_IDS)
def test_pairs_that_run_alone_in_tiles_are_one_pair_calls_bit_for_bit(path, options):
    # A pair that runs alone may be cut in tiles of its columns (tall) or rows (wide), each
    # tile on a thread of its own: its bits are those of a one-pair call swept whole.
    pairs = Pairs.random(path, [70, 9, 45], [37, 60, 45], channels=2, seed=5, bands=[4, 30, 6])
    for threads, tiles in [(0, 2), (1, 3), (2, 5), (0, 37)]:
        with vectorised_threads(threads, tiles):
            found = pair_results(pairs, options, "sqeuclidean")
        assert_each_pair_is_a_one_pair_call(pairs, found, options, "sqeuclidean")


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=END_IDS)
def test_a_pair_keeps_checkpoints_of_its_score_matrix_as_a_one_pair_call_does(path, options):
    # A call of one pair whose score matrix does not fit the cells given keeps checkpoints of
    # it, with the bits of the one-reference call given as few cells, and of an unbudgeted one.
    pairs = Pairs.random(path, [97], [41], channels=2, seed=6, bands=[9])
    checkpoint_cells = orvane_cpu.gradient_checkpoint_cells(97, 41)
    assert checkpoint_cells < 97 * 41
    checkpointed = pair_results(pairs, options, "abs", score_matrix_cells=checkpoint_cells)
    one_pair = one_reference_results(pairs, options, "abs", score_matrix_cells=checkpoint_cells)
    stored = pair_results(pairs, options, "abs")
    for part in (0, 1, 3, 4):
        assert checkpointed[part].tobytes() == one_pair[part].tobytes() == stored[part].tobytes()


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("options", ENDS, ids=END_IDS)
@pytest.mark.parametrize("channels, cost", [(1, "abs"), (2, "sqeuclidean")])
def test_pairs_sharing_one_reference_give_the_one_reference_results(instruction_set, path,
                                                                     options, channels, cost):
    # Scores, R and sample gradients bit for bit; each pair's reference gradient is its own,
    # and they add up, in signal order, to the one-reference call's reference gradient.
    lengths = [16] * 30 + [5, 40, 16, 1]
    pairs = Pairs.random(path, lengths, [16] * len(lengths), channels, seed=channels,
                  bands=[2 if k % 5 == 0 else 3 for k in range(len(lengths))])
    pairs.references = [pairs.references[0]] * len(lengths)
    for threads in (1, 2):
        with vectorised_threads(threads):
            found = pair_results(pairs, options, cost)
            one_reference = one_reference_results(pairs, options, cost)
        for part in (0, 1, 3):
            assert found[part].tobytes() == one_reference[part].tobytes()
        assert found[2].tobytes() == one_reference[2].tobytes()
        summed = np.zeros_like(pairs.references[0])
        for own in found[4].reshape(len(lengths), 16, channels):
            summed += own
        np.testing.assert_array_equal(summed, one_reference[4])
        assert not np.array_equal(found[4][:16], found[4][16:32])


def independent_results(pairs, options, cost):
    """Float64 scores, dx and dy of every pair from the nested-loop reference: the gradients
    of sum_k w_k score_k through each cell's cost, channel by channel."""
    gap = options.get("ref_gap_penalty", 0.0)
    end = dict(local_end=options.get("local_end", False),
               last_row_only=options.get("last_row_only", False), gap=gap)
    scores, dx, dy = [], [], []
    for k, (x, y) in enumerate(zip(pairs.signals, pairs.references)):
        difference = x[:, None, :] - y[None, :, :]
        cost_matrix = (np.abs(difference) if cost == "abs" else difference ** 2).sum(axis=2)
        score = reference_math.forward(cost_matrix, GAMMA, pairs.alpha[k])
        scores.append(reference_math.final_score(score, GAMMA, **end))
        alignment = reference_math.backward(cost_matrix, GAMMA, pairs.alpha[k], **end)
        slope = np.sign(difference) if cost == "abs" else 2 * difference
        weighted = pairs.weights[k] * alignment[:, :, None] * slope
        dx.append(weighted.sum(axis=1))
        dy.append(-weighted.sum(axis=0))
    return np.array(scores), np.concatenate(dx), np.concatenate(dy)


@pytest.mark.parametrize("options", ENDS, ids=END_IDS)
@pytest.mark.parametrize("channels, cost", [(1, "abs"), (3, "sqeuclidean")])
def test_float64_pairs_agree_with_the_mathematics(options, channels, cost):
    # Pairs of many shapes, N != M, four of one shape side by side on one thread.
    pairs = Pairs.random("float64", [6, 6, 6, 6, 11, 3, 8], [9, 9, 9, 9, 4, 13, 8], channels,
                         seed=8)
    with vectorised_threads(1):
        alone, scores, _, dx, dy = pair_results(pairs, options, cost)
    want = independent_results(pairs, options, cost)
    np.testing.assert_allclose(alone, want[0], rtol=1e-12)
    np.testing.assert_allclose(scores, want[0], rtol=1e-12)
    np.testing.assert_allclose(dx, want[1], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(dy, want[2], rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("path", PATHS)
def test_pairs_refuse_bad_arguments_before_anything_is_written(path):
    data, score, _ = PATHS[path]
    x, y = np.ones(9, data), np.zeros(7, data)
    matrix, scores = np.full(4 * 3 + 5 * 4, 7.0, score), np.full(2, 7.0, score)
    dx, dy = np.full(9, 7.0, data), np.full(7, 7.0, data)
    scores_call = function("calc_softdtw_pair_scores", path)
    gradients_call = function("calc_softdtw_pair_gradients", path)
    buffers = dict(input_signal_ptr=x.ctypes.data, ref_signal_ptr=y.ctypes.data,
                   scores_ptr=scores.ctypes.data)
    gradient_buffers = dict(buffers, score_matrix_ptr=matrix.ctypes.data,
                            input_gradients_ptr=dx.ctypes.data, ref_gradients_ptr=dy.ctypes.data)

    def refused(message, lengths=(4, 5), ref_lengths=(3, 4), gamma=1.0, **changes):
        for call, given in ((scores_call, buffers), (gradients_call, gradient_buffers)):
            with pytest.raises(ValueError, match=message):
                call(input_signal_lengths=list(lengths), ref_signal_lengths=list(ref_lengths),
                     gamma=gamma, **given, **changes)

    refused(r"ref_signal_lengths must hold one length per signal: got 1 for 2 signals",
            ref_lengths=[3])
    refused(r"ref_signal_lengths must hold one length per signal: got 3 for 2 signals",
            ref_lengths=[3, 4, 5])
    refused(r"ref_signal_lengths\[1\] must be positive, got: 0", ref_lengths=[3, 0])
    refused(r"ref_signal_lengths\[0\] must be positive, got: -2", ref_lengths=[-2, 4])
    refused(r"input_signal_lengths\[1\] must be positive, got: 0", lengths=[4, 0])
    refused("input_signal_lengths is empty", lengths=[], ref_lengths=[])
    refused("gamma must be a finite, normal", gamma=0.0)
    refused("cost must be 'abs' or 'sqeuclidean'", cost="cosine")
    refused("channels must be 1 or more", channels=0)
    refused(r"band\[1\] must be 0 or more", band_ptr=np.int32([2, -1]).ctypes.data)
    for name in buffers:
        with pytest.raises(ValueError, match=f"calc_softdtw_pair_scores: {name} must not be 0"):
            scores_call(**{**buffers, name: 0}, input_signal_lengths=[4, 5],
                        ref_signal_lengths=[3, 4], gamma=1.0)
    for name in ("input_signal_ptr", "ref_signal_ptr", "score_matrix_ptr", "scores_ptr",
                 "ref_gradients_ptr"):
        with pytest.raises(ValueError,
                           match=f"calc_softdtw_pair_gradients: {name} must not be 0"):
            gradients_call(**{**gradient_buffers, name: 0}, input_signal_lengths=[4, 5],
                           ref_signal_lengths=[3, 4], gamma=1.0)
    with pytest.raises(ValueError, match="only a batch of one signal keeps checkpoints"):
        gradients_call(**gradient_buffers, input_signal_lengths=[4, 5], ref_signal_lengths=[3, 4],
                       gamma=1.0, score_matrix_cells=31)
    assert all(np.all(a == 7.0) for a in (matrix, scores, dx, dy))
    # The sample gradients may be 0: the references' alone are formed.
    gradients_call(**{**gradient_buffers, "input_gradients_ptr": 0}, input_signal_lengths=[4, 5],
                   ref_signal_lengths=[3, 4], gamma=1.0)
    assert np.all(dx == 7.0) and np.all(np.isfinite(scores)) and not np.all(dy == 7.0)


@pytest.mark.parametrize("precision", ["float32", "mixed", "float64"])
def test_the_package_runs_pairs_on_the_cpu_in_one_call(monkeypatch, precision):
    # Pairs of distinct references, one call of each pair function and none of the
    # one-reference ones; the results are the raw calls'.
    suffix = {"float32": "", "mixed": "_mixed", "float64": "_float64"}[precision]
    calls = []

    def counting(name):
        original = getattr(orvane_cpu, name)

        def counted(*arguments, **options):
            calls.append(name)
            return original(*arguments, **options)
        monkeypatch.setattr(orvane_cpu, name, counted)

    for name in ("calc_softdtw_pair_scores", "calc_softdtw_pair_gradients",
                 "calc_softdtw_scores", "calc_softdtw_gradients"):
        counting(name + suffix)
    pairs = Pairs.random(precision, [12, 30, 7], [19, 9, 25], channels=2, seed=9)
    options = dict(gamma=GAMMA, cost="sqeuclidean", precision=precision, backend="cpu")
    scores = orvane.soft_dtw(pairs.signals, pairs.references, **options)
    gradients = orvane.soft_dtw_with_grad(pairs.signals, pairs.references, **options)
    assert calls == ["calc_softdtw_pair_scores" + suffix, "calc_softdtw_pair_gradients" + suffix]
    pairs.alpha[:], pairs.weights[:] = 0, 1
    raw = pair_results(pairs, {}, "sqeuclidean")
    # The mixed path's float64 scores come back rounded to float32.
    assert scores.tobytes() == raw[0].astype(scores.dtype).tobytes()
    assert gradients[0].tobytes() == raw[1].astype(scores.dtype).tobytes()
    assert np.concatenate(gradients[1]).tobytes() == raw[3].tobytes()
    assert np.concatenate(gradients[2]).tobytes() == raw[4].tobytes()
