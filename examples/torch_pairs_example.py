"""Training on pairs: a small 1-D convolutional network learns to clean noisy signals, each
scored by the Soft-DTW divergence against its own target (signal k against target k), with
orvane.torch's SoftDTWLoss. The pairs have lengths of their own: the noisy inputs come as one
padded batch with their lengths, the clean targets as a list, each sampled at a length of its
own, so that no target lines up with its input sample by sample and a pointwise loss could not
score them. Runs on the GPU where PyTorch sees one, otherwise on the CPU; prints the loss as it
falls.

    python examples/torch_pairs_example.py            # 64 pairs, 80 steps
    python examples/torch_pairs_example.py --small    # 8 pairs, 25 steps: seconds
"""

import argparse

import numpy as np
import torch

import orvane.torch


def clean_shape(frequencies, phases, length):
    """A smooth signal of `length` samples over [0, 1]: a sum of sines."""
    positions = np.linspace(0.0, 1.0, length)
    return sum(np.sin(2 * np.pi * f * positions + p) for f, p in zip(frequencies, phases))


def make_pairs(count, rng, noise=0.4):
    """count noisy inputs of 40 to 80 samples and their clean targets: the same two sines,
    each target sampled at 0.8 to 1.2 times its input's length."""
    inputs, targets = [], []
    for _ in range(count):
        length = int(rng.integers(40, 81))
        target_length = int(round(length * rng.uniform(0.8, 1.2)))
        frequencies, phases = rng.uniform(1.0, 3.0, 2), rng.uniform(0.0, 2 * np.pi, 2)
        inputs.append(clean_shape(frequencies, phases, length) + rng.normal(0.0, noise, length))
        targets.append(clean_shape(frequencies, phases, target_length))
    return inputs, targets


def padded(signals, device):
    """(B, N_max) float32 padded with zeros past each length, and the lengths."""
    lengths = [len(signal) for signal in signals]
    batch = np.zeros((len(signals), max(lengths)), np.float32)
    for row, signal in zip(batch, signals):
        row[:len(signal)] = signal
    return torch.from_numpy(batch).to(device), torch.tensor(lengths)


def make_model(width=16):
    """Three convolutions that keep the length: (B, 1, N) in, (B, 1, N) out."""
    return torch.nn.Sequential(
        torch.nn.Conv1d(1, width, 5, padding=2), torch.nn.ReLU(),
        torch.nn.Conv1d(width, width, 5, padding=2), torch.nn.ReLU(),
        torch.nn.Conv1d(width, 1, 5, padding=2))


def train(pairs, steps, seed=0, report_every=10):
    """The loss at every step of training the network on `pairs` synthetic pairs."""
    device = "cuda" if torch.cuda.is_available() else "cpu"
    rng = np.random.default_rng(seed)
    torch.manual_seed(seed)
    inputs, targets = make_pairs(pairs, rng)
    noisy, lengths = padded(inputs, device)
    targets = [torch.tensor(target, dtype=torch.float32, device=device) for target in targets]
    model = make_model().to(device)
    # A list of targets makes the call pairs, prediction k against target k; the divergence
    # is 0 for a prediction equal to its target, where a plain score would go negative.
    loss_fn = orvane.torch.SoftDTWLoss(gamma=0.1, divergence=True)
    optimiser = torch.optim.Adam(model.parameters(), lr=1e-2)
    losses = []
    for step in range(steps):
        optimiser.zero_grad()
        predictions = model(noisy[:, None, :])[:, 0, :]  # (B, N_max), padded like the inputs
        loss = loss_fn(predictions, targets, lengths=lengths)
        loss.backward()
        optimiser.step()
        losses.append(loss.item())
        if step % report_every == 0 or step == steps - 1:
            print(f"step {step:3d}: loss {losses[-1]:9.4f}")
    return losses


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small", action="store_true",
                        help="8 pairs and 25 steps, a run of seconds")
    parser.add_argument("--pairs", type=int, default=64)
    parser.add_argument("--steps", type=int, default=80)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(arguments)
    pairs, steps = (8, 25) if args.small else (args.pairs, args.steps)
    print(f"{pairs} pairs, each a noisy input against its own clean target, {steps} steps")
    losses = train(pairs, steps, args.seed, report_every=5 if args.small else 10)
    print(f"loss {losses[0]:.4f} at the start, {losses[-1]:.4f} after {steps} steps")
    return losses


if __name__ == "__main__":
    main()
