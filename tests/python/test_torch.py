"""orvane.torch: gradients through the loss for both inputs against finite differences,
accumulation, partial requires_grad, padded input, and a training loop that learns."""

import numpy as np
import pytest

import softdtw_reference as ref
from orvane.buffers import cuda_device_count

torch = pytest.importorskip("torch")
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
    """Σ_k w_k sdtw(x_k, y) from the float64 reference."""
    return sum(w * ref.score_of_distance(ref.distance(s, reference), gamma)
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
