"""orvane.torch under PyTorch's transforms: torch.compile of variable-length batches (one
compilation for every set of lengths), the registered operations' fake implementations
against the real ones (torch.library.opcheck), and torch.func.jacrev against the autograd
Jacobian and finite differences."""

import itertools
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
import orvane.torch as otorch  # noqa: E402
from orvane import cpu_cuda_testing as hooks  # noqa: E402
from torch._dynamo.utils import counters  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Guards may run slower")

FIRST_CALL_COMPILED = """
import sys
import torch
import orvane.torch

loss = orvane.torch.SoftDTWLoss(gamma=0.5)
compiled = torch.compile(lambda x, y, lengths: loss(x, y, lengths=lengths), fullgraph=True,
                         backend="eager")
x = torch.linspace(-1, 1, 18, dtype=torch.float64).reshape(3, 6)
y = torch.linspace(0, 1, 5, dtype=torch.float64)
lengths = [4, 6, 2] if sys.argv[1] == "list" else torch.tensor([4, 6, 2])
print(compiled(x, y, lengths).item())
"""


@pytest.mark.parametrize("lengths", ["list", "tensor"])
def test_the_first_call_of_a_process_compiles(lengths):
    # The array adapters must exist before torch.compile traces a first call: importing one
    # while tracing breaks the graph.
    done = subprocess.run([sys.executable, "-c", FIRST_CALL_COMPILED, lengths],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    x = torch.linspace(-1, 1, 18, dtype=torch.float64).reshape(3, 6)
    y = torch.linspace(0, 1, 5, dtype=torch.float64)
    eager = otorch.SoftDTWLoss(gamma=0.5)(x, y, lengths=[4, 6, 2]).item()
    assert float(done.stdout) == eager


class ConvolvedLoss(torch.nn.Module):
    """A convolution in front of the loss, over a padded batch with its lengths."""

    def __init__(self, **options):
        super().__init__()
        torch.manual_seed(0)
        self.conv = torch.nn.Conv1d(1, 1, 3, padding=1, dtype=torch.float64)
        self.loss = otorch.SoftDTWLoss(**options)

    def forward(self, padded, reference, lengths):
        return self.loss(self.conv(padded.unsqueeze(1)).squeeze(1), reference, lengths=lengths)


def value_and_gradients(model, function, padded, reference, lengths):
    model.zero_grad()
    reference.grad = None
    value = function(padded, reference, lengths)
    value.backward()
    return [value.detach(), model.conv.weight.grad.clone(), model.conv.bias.grad.clone(),
            reference.grad.clone()]


def lengths_sets(count, batch, width, seed=3):
    generator = torch.Generator().manual_seed(seed)
    return [torch.randint(2, width + 1, (batch,), generator=generator) for _ in range(count)]


def compiled_graphs(model, compile_options, lengths_given, padded, reference):
    """Runs 12 sets of lengths through one compiled model, checking each against eager mode;
    the number of graphs torch.compile made."""
    torch._dynamo.reset()
    counters.clear()
    compiled = torch.compile(model, fullgraph=True, backend="aot_eager", **compile_options)
    for lengths in lengths_sets(12, *padded.shape):
        given = lengths_given(lengths)
        eager = value_and_gradients(model, model, padded, reference, given)
        assert all(torch.any(g != 0) for g in eager[1:])
        mine = value_and_gradients(model, compiled, padded, reference, given)
        for ours, theirs in zip(mine, eager):
            # The graph may add a gradient's terms in another order.
            torch.testing.assert_close(ours, theirs, rtol=1e-12, atol=1e-12)
    return counters["stats"]["unique_graphs"]


LOSSES = [pytest.param(dict(gamma=0.5), id="global"),
          pytest.param(dict(gamma=0.3, end="free", ref_gap_penalty=0.05), id="free"),
          pytest.param(dict(gamma=0.4, divergence=True), id="divergence"),
          pytest.param(dict(gamma=0.4, divergence=True, band=np.array([3, 9, 9, 4])),
                       id="divergence-band")]


@pytest.mark.parametrize("options", LOSSES)
@pytest.mark.parametrize("lengths_given, compile_options", [
    pytest.param(lambda lengths: lengths, {}, id="tensor"),
    pytest.param(lambda lengths: lengths.tolist(), dict(dynamic=True), id="list-dynamic"),
])
def test_new_lengths_run_through_one_compiled_graph(options, lengths_given, compile_options):
    model = ConvolvedLoss(**options)
    padded = torch.randn(4, 12, dtype=torch.float64, generator=torch.Generator().manual_seed(1))
    reference = torch.randn(9, dtype=torch.float64, requires_grad=True)
    assert compiled_graphs(model, compile_options, lengths_given, padded, reference) == 1


def test_a_list_of_lengths_compiles_at_most_once_per_position():
    # Without dynamic=True, torch.compile takes a list's integers for constants until each
    # changes: a bound set by the batch, not by the number of sets of lengths.
    model = ConvolvedLoss(gamma=0.5)
    padded = torch.randn(3, 10, dtype=torch.float64, generator=torch.Generator().manual_seed(2))
    reference = torch.randn(7, dtype=torch.float64, requires_grad=True)
    graphs = compiled_graphs(model, {}, lambda lengths: lengths.tolist(), padded, reference)
    assert graphs <= 1 + padded.shape[0]


def test_a_compiled_model_refuses_bad_lengths_by_name():
    model = ConvolvedLoss(gamma=0.5)
    compiled = torch.compile(model, fullgraph=True, backend="aot_eager")
    padded = torch.randn(2, 6, dtype=torch.float64)
    reference = torch.randn(5, dtype=torch.float64)
    compiled(padded, reference, torch.tensor([3, 6]))
    with pytest.raises(ValueError, match=r"lengths\[1\] is 7, longer than the rows"):
        compiled(padded, reference, torch.tensor([3, 7]))
    with pytest.raises(ValueError, match=r"lengths\[0\] must be positive, got: 0"):
        compiled(padded, reference, torch.tensor([0, 2]))


def test_a_padded_batch_s_gradient_comes_back_padded_with_zeros():
    padded = torch.randn(3, 8, dtype=torch.float64, requires_grad=True)
    reference = torch.randn(6, dtype=torch.float64)
    otorch.soft_dtw(padded, reference, lengths=torch.tensor([5, 8, 3])).sum().backward()
    rows = [padded.detach()[k, :n].clone().requires_grad_() for k, n in enumerate((5, 8, 3))]
    otorch.soft_dtw(rows, reference).sum().backward()
    for k, row in enumerate(rows):
        assert torch.equal(padded.grad[k, :len(row)], row.grad)
        assert torch.all(padded.grad[k, len(row):] == 0)


# The registered operations' fakes against their real implementations, over what the
# operations take: each input type, each precision, gradients computed in the forward pass,
# in the backward pass or not at all, flat (a list joined) and padded batches, 1-D samples and
# samples of channels, with and without alpha, a free end and a band.
LENGTHS = [5, 9, 3]
DTYPES = [torch.float32, torch.float64]
PRECISIONS = [None, "float32", "mixed", "float64"]
FORMS = ["flat", "padded"]
CHANNELS = [None, 2]


def batch(form, channels, dtype, requires_grad, seed=0):
    """(signals as the operations take them, reference, lengths tensor)."""
    generator = torch.Generator().manual_seed(seed)
    sample = () if channels is None else (channels,)
    shape = (sum(LENGTHS),) if form == "flat" else (len(LENGTHS), max(LENGTHS))
    signals = torch.randn(*shape, *sample, generator=generator, dtype=dtype)
    reference = torch.randn(7, *sample, generator=generator, dtype=dtype)
    return (signals.requires_grad_(requires_grad), reference.requires_grad_(requires_grad),
            torch.tensor(LENGTHS))


def forward_options(variant, dtype):
    """(alpha, gamma, end, ref_gap_penalty, cost, band, band_kind)."""
    if variant == "plain":
        return None, 0.5, "global", 0.0, "abs", None, "scaled"
    return (torch.tensor([0.1, -0.2, 0.3], dtype=dtype), 0.4, "free", 0.05, "sqeuclidean",
            [2, 9, 3], "widened")


GRID = list(itertools.product(FORMS, CHANNELS, DTYPES, PRECISIONS))
GRID_IDS = [f"{form}-{channels or 1}ch-{str(dtype)[6:]}-{precision}"
            for form, channels, dtype, precision in GRID]


@pytest.mark.parametrize("form, channels, dtype, precision", GRID, ids=GRID_IDS)
@pytest.mark.parametrize("variant", ["plain", "free-alpha-band"])
@pytest.mark.parametrize("gradients", ["none", "forward", "backward"])
def test_the_soft_dtw_operation_s_fake_agrees_with_it(form, channels, dtype, precision, variant,
                                                      gradients):
    signals, reference, lengths = batch(form, channels, dtype, gradients != "none")
    arguments = (signals, reference, lengths, *forward_options(variant, dtype), None, None,
                 precision, gradients == "forward")
    torch.library.opcheck(torch.ops.orvane.soft_dtw.default, arguments)


@pytest.mark.parametrize("form, channels, dtype, precision", GRID, ids=GRID_IDS)
@pytest.mark.parametrize("computed", [True, False], ids=["computed", "not-computed"])
@pytest.mark.parametrize("weights", ["equal", "unequal"])
def test_the_backward_operation_s_fake_agrees_with_it(form, channels, dtype, precision,
                                                      computed, weights):
    signals, reference, lengths = batch(form, channels, dtype, requires_grad=False)
    options = (*forward_options("free-alpha-band", dtype), None, None, precision)
    _, signal_gradients, reference_gradient = torch.ops.orvane.soft_dtw(
        signals, reference, lengths, *options, computed)
    grad_scores = (torch.full((3,), 0.5, dtype=dtype) if weights == "equal"
                   else torch.tensor([0.5, -1.0, 2.0], dtype=dtype))
    torch.library.opcheck(torch.ops.orvane.soft_dtw_backward.default,
                          (grad_scores, signals, reference, lengths, *options, signal_gradients,
                           reference_gradient))


@pytest.mark.parametrize("form, channels, dtype, precision", GRID, ids=GRID_IDS)
@pytest.mark.parametrize("band", [None, [2, 9, 3]], ids=["no-band", "band"])
@pytest.mark.parametrize("gradients", ["none", "forward", "signals-forward", "backward"])
def test_the_self_terms_operation_s_fake_agrees_with_it(form, channels, dtype, precision, band,
                                                        gradients):
    # The gradients the forward pass did not make, the backward pass makes.
    signals, reference, lengths = batch(form, channels, dtype, gradients != "none")
    made = {"none": (False, False), "forward": (True, True), "signals-forward": (True, False),
            "backward": (False, False)}[gradients]
    torch.library.opcheck(torch.ops.orvane.soft_dtw_self_terms.default,
                          (signals, reference, lengths, 0.4, "abs", band, "scaled", None, None,
                           precision, *made))


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("made", [(False, False), (True, False), (False, True), (True, True)],
                         ids=["none", "signals", "reference", "both"])
def test_the_self_terms_gradients_pass_gradcheck_wherever_they_are_made(form, made):
    signals, reference, lengths = batch(form, None, torch.float64, requires_grad=True)
    terms = lambda x, y: otorch.SelfTermsFunction.apply(x, y, lengths, 0.4, "abs", [2, 9, 3],
                                                        "scaled", None, None, None, *made)[0]
    assert torch.autograd.gradcheck(terms, (signals, reference))


@pytest.mark.parametrize("precision", PRECISIONS)
def test_float32_tensors_get_float32_results_in_every_precision(precision):
    signals, reference, lengths = batch("padded", None, torch.float32, requires_grad=False)
    found = torch.ops.orvane.soft_dtw(signals, reference, lengths, None, 0.5, "global", 0.0,
                                      "abs", None, "scaled", None, None, precision, True)
    assert [t.dtype for t in found] == [torch.float32] * 3
    float64 = torch.ops.orvane.soft_dtw(signals.double(), reference.double(), lengths, None,
                                        0.5, "global", 0.0, "abs", None, "scaled", None, None,
                                        "float64", True)
    if precision == "float64":  # the float64 path, rounded once at the end
        for mine, wide in zip(found, float64):
            assert torch.equal(mine, wide.float())


def test_a_model_on_the_float64_path_of_float32_tensors_compiles():
    model = torch.nn.Linear(6, 6)
    loss = otorch.SoftDTWLoss(gamma=0.5, precision="float64")
    function = lambda x, y: loss(model(x), y)
    compiled = torch.compile(function, fullgraph=True, backend="aot_eager")
    x, y = torch.randn(3, 6), torch.randn(5, requires_grad=True)
    eager = function(x, y)
    eager.backward()
    expected = y.grad.clone()
    y.grad = None
    value = compiled(x, y)
    value.backward()
    assert value.dtype == torch.float32 and torch.equal(value, eager)
    torch.testing.assert_close(y.grad, expected, rtol=1e-6, atol=1e-7)


# torch.func.jacrev: the batched backward pass (one weighted pass per score) against the
# autograd Jacobian (one backward pass per score) and central differences on the float64 path.
def jacobian_cases():
    generator = torch.Generator().manual_seed(5)
    signals = [torch.randn(n, generator=generator, dtype=torch.float64) for n in (5, 8, 3)]
    padded = torch.randn(3, 8, generator=generator, dtype=torch.float64)
    reference = torch.randn(6, generator=generator, dtype=torch.float64)
    channels = torch.randn(6, 2, generator=generator, dtype=torch.float64)
    lengths = torch.tensor([5, 8, 3])
    return {
        "reference": (lambda y: otorch.soft_dtw(signals, y, gamma=0.5), reference),
        "padded-free-alpha": (lambda x: otorch.soft_dtw(
            x, reference, lengths=lengths, gamma=0.4, end="free", alpha=0.2), padded),
        "channels": (lambda y: otorch.soft_dtw(
            [torch.ones(4, 2, dtype=torch.float64), channels[:3]], y, gamma=0.5), channels),
        "divergence-reference": (lambda y: otorch.soft_dtw_divergence(signals, y, gamma=0.5,
                                                                      band=[2, 3, 3]),
                                 reference),
        "divergence-padded": (lambda x: otorch.soft_dtw_divergence(
            x, reference, lengths=lengths, gamma=0.5), padded),
        "divergence-flat": (lambda x: otorch.soft_dtw_divergence(
            x, reference, lengths=torch.tensor([4, 9, 3]), gamma=0.5), padded.reshape(-1)[:16]),
    }


@pytest.mark.parametrize("case", list(jacobian_cases()))
def test_jacrev_equals_the_autograd_jacobian_and_finite_differences(case):
    function, point = jacobian_cases()[case]
    jacobian = torch.func.jacrev(function)(point)
    torch.testing.assert_close(jacobian, torch.autograd.functional.jacobian(function, point),
                               rtol=1e-12, atol=1e-12)
    h = 1e-6
    flat = point.reshape(-1)
    for i in range(flat.numel()):
        step = torch.zeros_like(flat)
        step[i] = h
        slope = (function((flat + step).reshape(point.shape))
                 - function((flat - step).reshape(point.shape))) / (2 * h)
        torch.testing.assert_close(jacobian.reshape(jacobian.shape[0], -1)[:, i], slope,
                                   rtol=1e-5, atol=1e-6)


def test_a_jacobian_of_the_jacobian_is_refused_by_name():
    signals = [torch.randn(5, dtype=torch.float64), torch.randn(4, dtype=torch.float64)]
    total = lambda y: otorch.soft_dtw(signals, y, gamma=0.5).sum()
    reference = torch.randn(6, dtype=torch.float64)
    for hessian in (torch.func.jacrev(torch.func.jacrev(total)),
                    lambda y: torch.autograd.functional.hessian(total, y)):
        with pytest.raises(RuntimeError, match="orvane.torch has first derivatives only"):
            hessian(reference)


# Lengths given as a tensor: their type and count are checked by the functions, their
# values by the operation, before it allocates anything.
@pytest.mark.parametrize("lengths, error, message", [
    (torch.tensor([3.0, 4.0]), TypeError, "lengths must hold integers, got torch.float32"),
    (torch.tensor([True, True]), TypeError, "lengths must hold integers, got torch.bool"),
    (torch.tensor([[3, 4]]), ValueError, "lengths must be one-dimensional, got 2 dimensions"),
    (torch.tensor([3, 4, 2]), ValueError, "lengths has 3 entries for 2 padded signals"),
    (torch.tensor([3, 0]), ValueError, r"lengths\[1\] must be positive, got: 0"),
    (torch.tensor([3, 7]), ValueError, r"lengths\[1\] is 7, longer than the rows"),
])
def test_a_lengths_tensor_is_checked_before_anything_is_allocated(lengths, error, message):
    allocations, launches = hooks.live_allocations(), hooks.launches_run()
    for function in (otorch.soft_dtw, otorch.soft_dtw_divergence):
        with pytest.raises(error, match=message):
            function(torch.ones(2, 6), torch.ones(5), lengths=lengths, backend="twin")
    assert hooks.live_allocations() == allocations and hooks.launches_run() == launches


def test_flat_signals_take_a_lengths_tensor_that_adds_up_to_them():
    flat = torch.randn(12, dtype=torch.float64)
    reference = torch.randn(5, dtype=torch.float64)
    by_tensor = otorch.soft_dtw(flat, reference, lengths=torch.tensor([4, 8]))
    by_list = otorch.soft_dtw(flat, reference, lengths=[4, 8])
    assert torch.equal(by_tensor, by_list)
    with pytest.raises(ValueError, match="lengths add up to 11, but the flat signals hold 12"):
        otorch.soft_dtw(flat, reference, lengths=torch.tensor([4, 7]))
    # alpha has one value per length.
    alpha = torch.tensor([0.5, -0.25], dtype=torch.float64)
    assert torch.equal(otorch.soft_dtw(flat, reference, lengths=torch.tensor([4, 8]), alpha=alpha),
                       otorch.soft_dtw(flat, reference, lengths=[4, 8], alpha=alpha))
    with pytest.raises(ValueError, match=r"alpha must hold one value per signal \(2\)"):
        otorch.soft_dtw(flat, reference, lengths=torch.tensor([4, 8]), alpha=torch.zeros(3))
    with pytest.raises(ValueError, match="lengths goes with a padded or flat tensor of signals, "
                                         "not with a list"):
        otorch.soft_dtw([flat], reference, lengths=torch.tensor([12]))


def test_a_numpy_lengths_array_is_taken_as_a_list():
    padded = torch.randn(2, 6, dtype=torch.float64)
    reference = torch.randn(5, dtype=torch.float64)
    assert torch.equal(otorch.soft_dtw(padded, reference, lengths=np.array([3, 6])),
                       otorch.soft_dtw(padded, reference, lengths=[3, 6]))


# Pairs under torch.compile: lengths and ref_lengths decide how the shapes read by being given
# and by their count, which tracing knows, never by their values, which it must not read.
PAIR_FORMS = [
    pytest.param((15,), (14,), id="flat"),  # not one reference of 14 samples
    pytest.param((15, 2), (14, 2), id="flat-2-channels"),
    pytest.param((3, 6), (3, 6), id="padded-N-equals-M"),  # not one signal of 6 channels
    pytest.param((15, 2), (3, 6, 2), id="flat-against-padded"),
]
PAIR_LENGTHS, PAIR_REF_LENGTHS = [6, 5, 4], [6, 3, 5]


def each_pair(values, lengths):
    """The signals of a flat or padded batch, one by one."""
    if values.shape[0] == sum(lengths):
        return torch.split(values, lengths)
    return [row[:length] for row, length in zip(values, lengths)]


@pytest.mark.parametrize("signal_shape, reference_shape", PAIR_FORMS)
@pytest.mark.parametrize("given", [torch.tensor, list], ids=["tensor", "list"])
def test_compiled_pairs_are_read_and_scored_as_eager_ones(signal_shape, reference_shape, given):
    generator = torch.Generator().manual_seed(21)
    signals = torch.randn(*signal_shape, dtype=torch.float64, generator=generator)
    references = torch.randn(*reference_shape, dtype=torch.float64, generator=generator)
    weights = torch.tensor([1.0, -2.0, 0.5], dtype=torch.float64)
    function = lambda x, y, n, m: otorch.soft_dtw(x, y, lengths=n, ref_lengths=m, gamma=0.5)
    torch._dynamo.reset()
    compiled = torch.compile(function, fullgraph=True, backend="aot_eager")
    results = []
    for run in (function, compiled):
        x, y = signals.clone().requires_grad_(), references.clone().requires_grad_()
        scores = run(x, y, given(PAIR_LENGTHS), given(PAIR_REF_LENGTHS))
        (scores * weights).sum().backward()
        results.append((scores.detach(), x.grad, y.grad))
    for ours, eager in zip(*results):
        torch.testing.assert_close(ours, eager, rtol=1e-12, atol=1e-12)
    one_pair_calls = [otorch.soft_dtw([x], y, gamma=0.5) for x, y in zip(
        each_pair(signals, PAIR_LENGTHS), each_pair(references, PAIR_REF_LENGTHS))]
    assert torch.equal(results[0][0], torch.cat(one_pair_calls))
