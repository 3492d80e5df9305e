"""orvane.torch: gradients through the loss for both inputs against finite differences,
accumulation, partial requires_grad, padded input, and a training loop that learns."""

import numpy as np
import pytest

import softdtw_reference as ref
from orvane.buffers import cuda_device_count

torch = pytest.importorskip("torch")
import orvane  # noqa: E402
import orvane.torch as otorch  # noqa: E402

DEVICES = [pytest.param("cpu", id="cpu"),
           pytest.param("cuda", id="cuda", marks=pytest.mark.skipif(
               cuda_device_count() == 0, reason="no CUDA device"))]
GRADIENT_ATOL = 2e-3


@pytest.fixture(params=DEVICES)
def device(request):
    return request.param


def inputs(device, lengths=(5, 8, 3), ref_length=6, seed=0):
    generator = torch.Generator().manual_seed(seed)
    signals = [torch.randn(n, generator=generator, dtype=torch.float64).to(device)
               .requires_grad_() for n in lengths]
    reference = torch.randn(ref_length, generator=generator, dtype=torch.float64).to(device)
    return signals, reference.requires_grad_()


def float64_loss(signals, reference, gamma, weights):
    """Σ_k w_k sdtw(x_k, y) from the float64 reference, with the default cost (x - y)^2."""
    return sum(w * ref.score_of_distance(ref.squared_distance(s, reference), gamma)
               for w, s in zip(weights, signals))


@pytest.mark.parametrize("reduction", ["mean", "sum", "none"])
def test_loss_gradients_match_finite_differences_for_both_inputs(device, reduction):
    signals, reference = inputs(device)
    gamma = 0.5
    loss = otorch.SoftDTWLoss(gamma=gamma, reduction=reduction)(signals, reference)
    # With reduction "none", weigh the scores unevenly: every signal's own factor must reach
    # its gradient and the reference's.
    weights = {"mean": [1 / 3] * 3, "sum": [1.0] * 3, "none": [0.5, -1.0, 2.0]}[reduction]
    total = loss if reduction != "none" else (loss * torch.tensor(weights, device=device)).sum()
    total.backward()

    xs = [s.detach().cpu().numpy() for s in signals]
    y = reference.detach().cpu().numpy()
    h = 1e-4
    for k in range(3):
        for i in range(len(xs[k])):
            up, down = [x.copy() for x in xs], [x.copy() for x in xs]
            up[k][i] += h
            down[k][i] -= h
            slope = (float64_loss(up, y, gamma, weights) - float64_loss(down, y, gamma, weights)
                     ) / (2 * h)
            assert signals[k].grad[i].item() == pytest.approx(slope, abs=GRADIENT_ATOL)
    for j in range(len(y)):
        up, down = y.copy(), y.copy()
        up[j] += h
        down[j] -= h
        slope = (float64_loss(xs, up, gamma, weights) - float64_loss(xs, down, gamma, weights)
                 ) / (2 * h)
        assert reference.grad[j].item() == pytest.approx(slope, abs=GRADIENT_ATOL)
    assert signals[0].grad.dtype == torch.float64


def test_gradients_accumulate_over_two_backward_calls(device):
    signals, reference = inputs(device)
    loss_fn = otorch.SoftDTWLoss(gamma=0.3)
    loss_fn(signals, reference).backward()
    once = reference.grad.clone(), signals[1].grad.clone()
    loss_fn(signals, reference).backward()
    torch.testing.assert_close(reference.grad, 2 * once[0])
    torch.testing.assert_close(signals[1].grad, 2 * once[1])


def test_only_the_inputs_that_require_grad_get_one(device):
    signals, reference = inputs(device)
    frozen = [s.detach() for s in signals]
    otorch.SoftDTWLoss()(frozen, reference).backward()
    assert reference.grad is not None and all(s.grad is None for s in signals)
    otorch.SoftDTWLoss()(signals, reference.detach()).backward()
    assert all(s.grad is not None for s in signals)
    with torch.no_grad():
        assert otorch.SoftDTWLoss()(signals, reference).grad_fn is None


def test_padded_input_matches_list_input(device):
    signals, reference = inputs(device)
    padded = torch.zeros(3, 8, dtype=torch.float64, device=device)
    for k, signal in enumerate(signals):
        padded[k, :len(signal)] = signal.detach()
    padded.requires_grad_()
    loss_fn = otorch.SoftDTWLoss(gamma=0.4, end="free", reduction="sum")
    loss_fn(padded, reference, lengths=[5, 8, 3]).backward()
    loss_fn(signals, reference.detach().clone()).backward()
    for k, signal in enumerate(signals):
        torch.testing.assert_close(padded.grad[k, :len(signal)], signal.grad)
        assert torch.all(padded.grad[k, len(signal):] == 0)


def test_divergence_loss_is_zero_at_the_reference_and_differentiable(device):
    signals, reference = inputs(device)
    loss_fn = otorch.SoftDTWLoss(gamma=0.5, divergence=True, reduction="none")
    values = loss_fn([reference.detach(), signals[0]], reference)
    assert values[0].item() == 0.0 and values[1].item() > 0.0
    values.sum().backward()
    assert torch.isfinite(reference.grad).all() and torch.isfinite(signals[0].grad).all()


def test_a_few_training_steps_lower_the_loss(device):
    signals = [torch.sin(torch.linspace(0.3 * k, 6 + 0.3 * k, n, device=device))
               for k, n in enumerate((35, 45, 40))]
    reference = torch.zeros(40, device=device, requires_grad=True)
    optimiser = torch.optim.Adam([reference], lr=0.1)
    loss_fn = otorch.SoftDTWLoss(gamma=0.1, divergence=True)
    losses = []
    for _ in range(15):
        optimiser.zero_grad()
        loss = loss_fn(signals, reference)
        loss.backward()
        optimiser.step()
        losses.append(loss.item())
    assert losses[-1] < 0.5 * losses[0]


def test_numpy_arrays_are_refused_with_a_clear_message():
    with pytest.raises(TypeError, match="orvane.torch takes PyTorch tensors, got numpy"):
        otorch.SoftDTWLoss()([np.ones(3, np.float32)], torch.ones(3))


def test_unequal_score_weights_reach_every_gradient_with_a_split_batch(device):
    # The weighted second pass runs a piece at a time; each signal in a piece of its own.
    signals, reference = inputs(device, lengths=(5, 8, 3, 6))
    weights = torch.tensor([0.5, -1.0, 2.0, 0.0], dtype=torch.float64, device=device)
    grads = {}
    for budget in (None, 3 * 8 * 8 * 6):  # float64 tensors: 8 bytes a cell
        for tensor in (*signals, reference):
            tensor.grad = None
        scores = otorch.soft_dtw(signals, reference, gamma=0.5, memory_budget=budget)
        (scores * weights).sum().backward()
        grads[budget] = [t.grad.clone() for t in (*signals, reference)]
    xs = [s.detach().cpu().numpy() for s in signals]
    y = reference.detach().cpu().numpy()
    loss = lambda y: float64_loss(xs, y, 0.5, weights.tolist())
    h = 1e-4
    for j in range(len(y)):
        up, down = y.copy(), y.copy()
        up[j] += h
        down[j] -= h
        slope = (loss(up) - loss(down)) / (2 * h)
        assert grads[None][-1][j].item() == pytest.approx(slope, abs=GRADIENT_ATOL)
    assert torch.all(grads[None][3] == 0)  # a zero weight
    for whole, split in zip(grads[None], grads[3 * 8 * 8 * 6]):
        torch.testing.assert_close(split, whole)


def test_second_derivatives_are_refused_rather_than_dropped(device):
    signals, reference = inputs(device)
    loss = otorch.SoftDTWLoss(gamma=0.5)(signals, reference)
    gradient, = torch.autograd.grad(loss, reference, create_graph=True)
    assert gradient.requires_grad
    with pytest.raises(RuntimeError, match="orvane.torch has first derivatives only"):
        (loss + (gradient ** 2).sum()).backward()


class ConvolvedLoss(torch.nn.Module):
    """A convolution in front of the loss: gradients must reach its weights."""

    def __init__(self, **options):
        super().__init__()
        self.conv = torch.nn.Conv1d(1, 1, 3, padding=1, dtype=torch.float64)
        self.loss = otorch.SoftDTWLoss(**options)

    def forward(self, signals, reference):
        return self.loss(self.conv(signals.unsqueeze(1)).squeeze(1), reference)


def run_and_collect(model, function, signals, reference):
    model.zero_grad()
    reference.grad = None
    value = function(signals, reference)
    value.backward()
    return [value.detach(), model.conv.weight.grad.clone(), model.conv.bias.grad.clone(),
            reference.grad.clone()]


@pytest.mark.filterwarnings("ignore::torch.jit.TracerWarning", "ignore::FutureWarning",
                            "ignore:Guards may run slower")
@pytest.mark.parametrize("options", [dict(gamma=0.5), dict(gamma=0.3, end="free", alpha=None),
                                     dict(gamma=0.4, divergence=True)],
                         ids=["global", "free", "divergence"])
def test_compiled_and_traced_models_equal_eager_ones(options):
    torch.manual_seed(0)
    model = ConvolvedLoss(**{k: v for k, v in options.items() if k != "alpha"})
    signals = torch.randn(3, 9, dtype=torch.float64)
    reference = torch.randn(7 if "divergence" not in options else 9, dtype=torch.float64,
                            requires_grad=True)
    eager = run_and_collect(model, model, signals, reference)
    assert all(torch.any(g != 0) for g in eager[1:])
    explained = torch._dynamo.explain(model)(signals, reference)
    assert explained.graph_break_count == 0, explained.break_reasons
    compiled = torch.compile(model, fullgraph=True, backend="eager")
    traced = torch.jit.trace(model, (signals, reference))
    for other in (compiled, traced):
        # The graphs may form the weights of the scores (float32 in the backward pass) and
        # add a gradient's terms in another order: float32 rounding apart.
        for mine, theirs in zip(run_and_collect(model, other, signals, reference), eager):
            torch.testing.assert_close(mine, theirs, rtol=1e-6, atol=1e-7)


def test_torch_func_grad_works_and_vmap_says_what_to_do():
    signals, reference = inputs("cpu")
    loss = lambda y: otorch.soft_dtw([s.detach() for s in signals], y, gamma=0.5).sum()
    otorch.soft_dtw([s.detach() for s in signals], reference, gamma=0.5).sum().backward()
    assert torch.equal(torch.func.grad(loss)(reference.detach()), reference.grad)
    with pytest.raises(RuntimeError, match="does not run under torch.func.vmap: one call aligns "
                                           "a whole batch already"):
        torch.func.vmap(lambda s: otorch.soft_dtw([s], reference))(torch.ones(2, 4))


REJECTED_BY_THE_LOSS = [
    (dict(gamma=-1), ValueError, "gamma must be a finite, normal float64"),
    (dict(gamma=10**400), ValueError, "gamma must be a finite, normal float64"),
    (dict(end="fre"), ValueError, "end must be one of"),
    (dict(end="free", ref_gap_penalty=float("nan")), ValueError, "ref_gap_penalty must be"),
    (dict(backend="gpu"), ValueError, "backend must be one of"),
    (dict(memory_budget=-5), ValueError, "memory_budget must be a positive number"),
    (dict(reduction="avg"), ValueError, "reduction must be one of"),
    # Truthy values that are no bools would otherwise read as True.
    (dict(divergence="no"), TypeError, "divergence must be True or False, got str"),
    (dict(pairs="yes"), TypeError, "pairs must be True, False or None, got str"),
    (dict(channels_first=1), TypeError, "channels_first must be True, False or None, got int"),
]


@pytest.mark.parametrize("options, error, message", REJECTED_BY_THE_LOSS)
def test_the_loss_checks_its_options_when_it_is_built(options, error, message):
    with pytest.raises(error, match=message):
        otorch.SoftDTWLoss(**options)
    reading = {name: value for name, value in options.items()
               if name in ("pairs", "channels_first")}
    if reading:  # the functions refuse them as the loss does
        for function in (otorch.soft_dtw, otorch.soft_dtw_divergence):
            with pytest.raises(error, match=message):
                function(*inputs("cpu"), **reading)


def test_scores_without_gradients_are_held_to_the_budget_of_scores_alone():
    # Scores alone keep no matrix on the vectorised module, so any budget holds them, as it
    # does for the package's functions; gradients keep checkpoints at least.
    signals, reference = inputs("cpu")
    arrays = [s.detach().numpy() for s in signals], reference.detach().numpy()
    detached = [s.detach() for s in signals], reference.detach()
    pairs = [s.detach() for s in signals], [reference.detach()[:n] for n in (6, 4, 5)]
    for function, package in ((otorch.soft_dtw, orvane.soft_dtw),
                              (otorch.soft_dtw_divergence, orvane.soft_dtw_divergence)):
        expected = torch.from_numpy(package(*arrays, memory_budget=1))
        assert torch.equal(function(*detached, memory_budget=1), expected)
        with torch.no_grad():
            assert torch.equal(function(signals, reference, memory_budget=1), expected)
        assert torch.equal(function(*pairs, memory_budget=1),
                           torch.from_numpy(package(*[[a.numpy() for a in side] for side in pairs],
                                                    memory_budget=1)))
        with pytest.raises(ValueError, match="too small for signal 0: its gradients need"):
            function(signals, reference, memory_budget=1)


@pytest.mark.parametrize("band", [np.array(2), torch.tensor(2), np.int64(2)],
                         ids=["numpy-0d", "tensor-0d", "numpy-integer"])
def test_one_integer_band_may_be_a_0d_array_or_tensor(band):
    signals, reference = inputs("cpu")
    expected = otorch.soft_dtw(signals, reference, band=2)
    assert not torch.equal(expected, otorch.soft_dtw(signals, reference))
    loss = otorch.SoftDTWLoss(band=band, reduction="none")
    assert loss.band == 2 and torch.equal(loss(signals, reference), expected)
    assert torch.equal(otorch.soft_dtw(signals, reference, band=band), expected)
    arrays = [s.detach().numpy() for s in signals]
    assert (orvane.soft_dtw(arrays, reference.detach().numpy(), band=band).tobytes()
            == expected.detach().numpy().tobytes())


def test_a_memory_budget_the_operations_cannot_carry_is_refused_by_name():
    # The registered operations take it as a 64-bit integer.
    with pytest.raises(ValueError, match=r"memory_budget must be at most 2\*\*63 - 1 bytes"):
        otorch.SoftDTWLoss(memory_budget=2**63)
    signals, reference = inputs("cpu")
    for function in (otorch.soft_dtw, otorch.soft_dtw_divergence):
        with pytest.raises(ValueError, match=r"memory_budget must be at most 2\*\*63 - 1"):
            function(signals, reference, memory_budget=2**63)
    largest = otorch.SoftDTWLoss(memory_budget=2**63 - 1, reduction="none")(signals, reference)
    assert torch.equal(largest, otorch.soft_dtw(signals, reference))


def test_gamma_is_checked_against_the_type_the_call_computes_in():
    # 1e-40 is a normal float64 number and a subnormal float32 one.
    signals, reference = inputs("cpu")
    signals, reference = [s.detach() for s in signals], reference.detach()  # scores alone
    loss = otorch.SoftDTWLoss(gamma=1e-40, reduction="none")
    # A vanishing gamma leaves the minimum: the DTW distance.
    expected = [ref.forward(ref.squared_distance(s.numpy(), reference.numpy()), 1e-300)[-1, -1]
                for s in signals]
    assert loss(signals, reference).tolist() == pytest.approx(expected, rel=1e-12)
    single = [s.float() for s in signals]
    with pytest.raises(ValueError, match="gamma must be a finite, normal float32"):
        loss(single, reference.float())  # the mixed path, in float32 steps
    assert torch.isfinite(otorch.SoftDTWLoss(gamma=1e-40, precision="float64")(
        single, reference.float()))
    for precision in ("float32", "mixed"):
        with pytest.raises(ValueError, match="gamma must be a finite, normal float32"):
            otorch.SoftDTWLoss(gamma=1e-40, precision=precision)


@pytest.mark.parametrize("band", [np.array([2, 3, 1]), torch.tensor([2, 3, 1]), (2, 3, 1),
                                  np.array([2, 3, 1], dtype=np.uint8)],
                         ids=["numpy", "tensor", "tuple", "numpy-uint8"])
def test_a_band_per_signal_may_be_an_array_or_a_tensor_of_integers(band):
    signals, reference = inputs("cpu")
    expected = otorch.soft_dtw(signals, reference, band=[2, 3, 1])
    assert torch.equal(otorch.SoftDTWLoss(band=band, reduction="none")(signals, reference),
                       expected)
    assert torch.equal(otorch.soft_dtw(signals, reference, band=band), expected)
    assert torch.equal(otorch.soft_dtw(signals, reference, band=2),
                       otorch.soft_dtw(signals, reference, band=[2, 2, 2]))
    assert not torch.equal(expected, otorch.soft_dtw(signals, reference))


@pytest.mark.parametrize("band", [
    np.array([2.0, 3.0, 1.0]), torch.tensor([2.0, 3.0, 1.0]), [2, 3.5, 1], 2.0,
    np.array([True, False, True]), torch.tensor([True, True, False]), [True, 2, 1], True,
    {2, 3, 1}, "2", np.array(2.0), torch.tensor(True)],
    ids=["numpy-float", "tensor-float", "list-float", "float", "numpy-bool", "tensor-bool",
         "list-bool", "bool", "set", "str", "numpy-0d-float", "tensor-0d-bool"])
def test_a_band_of_anything_but_integers_is_refused_by_name(band):
    with pytest.raises(TypeError, match="band must be an integer or a sequence of integers"):
        otorch.SoftDTWLoss(band=band)
    signals, reference = inputs("cpu")
    with pytest.raises(TypeError, match="band must be an integer or a sequence of integers"):
        otorch.soft_dtw(signals, reference, band=band)


@pytest.mark.parametrize("reference, error, message", [
    (torch.ones(5, dtype=torch.int64), TypeError, "reference must hold floating-point numbers, "
                                                  "got torch.int64"),
    (torch.ones(5, dtype=torch.bool), TypeError, "reference must hold floating-point"),
    (torch.ones(5, dtype=torch.complex64), TypeError, "reference must hold floating-point"),
    # (2, 5): samples of 5 channels, which the 1-D signals do not have.
    (torch.ones(2, 5), ValueError, r"signals\[0\] must have 2 dimensions"),
    (torch.ones(2, 5, 1), ValueError, "reference must be a 1-D array, or"),
    (np.ones(5), TypeError, "reference must be a PyTorch tensor"),
])
def test_the_reference_is_checked_as_the_package_checks_it(reference, error, message):
    with pytest.raises(error, match=message):
        otorch.soft_dtw([torch.ones(4)], reference)


@pytest.mark.parametrize("alpha", [float("nan"), float("inf"), 1e39, 10**400,
                                   torch.tensor([0.0, float("nan")])])
def test_alpha_must_be_finite(alpha):
    with pytest.raises(ValueError, match="alpha must be finite"):
        otorch.soft_dtw([torch.ones(4), torch.ones(3)], torch.ones(5), alpha=alpha)


@pytest.mark.filterwarnings("ignore:Sparse CSR tensor support is in beta")
def test_sparse_and_nested_tensors_are_refused_by_name():
    with pytest.raises(TypeError, match=r"signals is a torch.sparse_coo tensor; pass a dense one"):
        otorch.soft_dtw(torch.ones(2, 4).to_sparse(), torch.ones(5))
    with pytest.raises(TypeError, match=r"reference is a torch.sparse_csr tensor"):
        otorch.soft_dtw([torch.ones(4)], torch.ones(1, 5).to_sparse_csr())
    nested = torch.nested.nested_tensor([torch.ones(4), torch.ones(2)], layout=torch.jagged)
    with pytest.raises(TypeError, match="signals is a nested tensor; pass a list of tensors"):
        otorch.soft_dtw(nested, torch.ones(5))


def test_the_accuracy_warning_names_the_callers_line():
    rng = np.random.default_rng(8)
    signals = torch.from_numpy(rng.standard_normal((1, 400)).astype(np.float32) * 10)
    reference = torch.from_numpy(rng.standard_normal(400).astype(np.float32) * 10)
    with pytest.warns(RuntimeWarning, match="a larger gamma") as record:
        otorch.SoftDTWLoss(gamma=0.01, precision="float32")(signals.requires_grad_(),
                                                            reference).backward()
    assert record[0].filename == __file__


@pytest.mark.parametrize("options", [dict(), dict(end="free", ref_gap_penalty=0.1),
                                     dict(end="free_last_row"), dict(alpha=0.3),
                                     dict(divergence=True)],
                         ids=["global", "free", "free-last-row", "alpha", "divergence"])
def test_float64_tensors_pass_gradcheck(options):
    signals, reference = inputs("cpu", lengths=(4, 6), ref_length=5, seed=11)
    alpha = options.pop("alpha", None)
    loss = otorch.SoftDTWLoss(gamma=0.4, reduction="none", **options)
    function = lambda x0, x1, y: loss([x0, x1], y, alpha=alpha)
    assert function(*signals, reference).dtype == torch.float64
    assert torch.autograd.gradcheck(function, (*signals, reference))


def test_float32_tensors_on_the_float64_path_give_float32_scores():
    signals, reference = inputs("cpu")
    single = [s.detach().float().requires_grad_() for s in signals]
    scores = otorch.soft_dtw(single, reference.detach().float(), precision="float64")
    assert scores.dtype == torch.float32
    scores.sum().backward()
    assert single[0].grad.dtype == torch.float32
    with pytest.raises(ValueError, match="precision must be one of"):
        otorch.SoftDTWLoss(precision="half")


def test_float32_cpu_tensors_run_the_mixed_path_as_the_package_does():
    signals, reference = inputs("cpu")
    single = [s.detach().float() for s in signals]
    scores = otorch.soft_dtw(single, reference.detach().float(), gamma=0.2)
    expected = orvane.soft_dtw([s.numpy() for s in single], reference.detach().float().numpy(),
                               gamma=0.2)
    assert scores.dtype == torch.float32 and scores.numpy().tobytes() == expected.tobytes()
