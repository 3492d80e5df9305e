"""Peak memory of every entry point of the package next to its memory_budget.

Each entry point runs in a fresh process on host arrays (the vectorised CPU module by
default). The figure is the growth of the process's peak resident memory over what it held
once the inputs were made, in MiB, next to the budget and to the size of what the call
returns, so that the temporaries are the difference.

    .venv/bin/python benchmarks/memory_budget.py                 # B = 16, N = M = 2048, 64 MiB
    .venv/bin/python benchmarks/memory_budget.py --size 8,1024,1024 --budget 16
"""

import argparse
import json
import subprocess
import sys

import numpy as np

MIB = 2**20
ENTRY_POINTS = ("soft_dtw", "soft_dtw_with_grad", "soft_alignment", "soft_alignment statistics",
                "soft_dtw_divergence", "torch loss", "torch loss, unequal weights")


def resident(field):
    """VmRSS or VmHWM of this process, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"/proc/self/status has no {field}")


def nbytes(value):
    if isinstance(value, (list, tuple)):
        return sum(nbytes(v) for v in value)
    return getattr(value, "nbytes", 0)


def probe(entry, batch, length, ref_length, budget, backend):
    """Runs one entry point in this process; returns (peak growth, bytes returned)."""
    import orvane
    import torch
    import orvane.torch as otorch

    rng = np.random.default_rng(0)
    signals = rng.standard_normal((batch, length)).astype(np.float32)
    reference = rng.standard_normal(ref_length).astype(np.float32)
    options = dict(gamma=1.0, backend=backend, memory_budget=budget)
    tensors = torch.from_numpy(signals).requires_grad_(), torch.from_numpy(reference)
    weights = torch.linspace(0.5, 2.0, batch)

    def torch_loss(weighted):
        scores = otorch.SoftDTWLoss(reduction="none", **options)(*tensors)
        (scores * weights if weighted else scores).sum().backward()
        return scores, tensors[0].grad

    def alignment_statistics():
        alignment = orvane.soft_alignment(signals, reference, **options)
        return alignment, alignment.weighted_mean, alignment.log_std, alignment.index_log_std

    calls = {
        "soft_dtw": lambda: orvane.soft_dtw(signals, reference, **options),
        "soft_dtw_with_grad": lambda: orvane.soft_dtw_with_grad(signals, reference, **options),
        "soft_alignment": lambda: [orvane.soft_alignment(signals, reference, **options)],
        "soft_alignment statistics": alignment_statistics,
        "soft_dtw_divergence": lambda: orvane.soft_dtw_divergence(
            signals, reference[:min(ref_length, length)], **options),
        "torch loss": lambda: torch_loss(False),
        "torch loss, unequal weights": lambda: torch_loss(True),
    }
    # Loads the modules, and what PyTorch imports on the first autograd call (150 MiB).
    small = torch.ones(2, 8, requires_grad=True)
    (otorch.soft_dtw(small, torch.ones(8), backend=backend) * weights[:2]).sum().backward()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak starts again from here
    before = resident("VmRSS")
    result = calls[entry]()
    returned = nbytes(result)
    if entry.startswith("soft_alignment"):  # with its expected alignments
        returned += 4 * batch * length * ref_length
    return resident("VmHWM") - before, returned


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="16,2048,2048", metavar="B,N,M")
    parser.add_argument("--budget", type=int, default=64, help="memory_budget in MiB")
    parser.add_argument("--backend", default="cpu", choices=("cpu", "twin"))
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    args = parser.parse_args()
    batch, length, ref_length = (int(v) for v in args.size.split(","))
    budget = args.budget * MIB
    if args.probe:
        print(json.dumps(probe(args.probe, batch, length, ref_length, budget, args.backend)))
        return
    print(f"B = {batch}, N = {length}, M = {ref_length}, backend {args.backend!r}, memory_budget "
          f"{args.budget} MiB (one float32 matrix of the batch: "
          f"{4 * batch * length * ref_length / MIB:.0f} MiB)")
    print(f"  {'entry point':30s} {'peak':>8s} {'returned':>9s} {'temporaries':>12s} {'budget':>7s}")
    for entry in ENTRY_POINTS:
        output = subprocess.run([sys.executable, __file__, "--probe", entry, "--size", args.size,
                                 "--budget", str(args.budget), "--backend", args.backend],
                                check=True, capture_output=True, text=True).stdout
        peak, returned = json.loads(output.splitlines()[-1])
        print(f"  {entry:30s} {peak / MIB:8.0f} {returned / MIB:9.0f} "
              f"{(peak - returned) / MIB:12.0f} {args.budget:7d}")


if __name__ == "__main__":
    main()
