"""Runs every function of the package once on small inputs and saves the results to the .npz
file named on the command line: run by the installation tests in an environment under test,
and in the development one to compare with. With --report, prints which backends load and
how a call fails instead."""

import json
import sys

import numpy as np

import orvane


def results():
    rng = np.random.default_rng(0)
    signals = [rng.standard_normal(n).astype(np.float32) for n in (5, 9, 3)]
    reference = rng.standard_normal(7).astype(np.float32)
    found = {}
    for backend in ("cpu", "twin"):
        for precision in (("float32", "mixed", "float64") if backend == "cpu" else ("float32",)):
            options = dict(gamma=0.3, backend=backend, precision=precision)
            key = f"{backend}-{precision}"
            found[f"{key}-scores"] = orvane.soft_dtw(signals, reference, end="free", **options)
            scores, dx, dy = orvane.soft_dtw_with_grad(signals, reference, alpha=0.1, **options)
            found[f"{key}-with-grad"] = np.concatenate([scores, *dx, dy])
            alignment = orvane.soft_alignment(signals, reference, **options)
            for name in ("weighted_mean", "log_std", "index_log_std", "column_sums"):
                found[f"{key}-{name}"] = getattr(alignment, name)
            found[f"{key}-matrix"] = alignment.matrix(1)
            found[f"{key}-weights"] = alignment.weights(-1)
            found[f"{key}-path"] = alignment.path(0)
            found[f"{key}-divergence"] = orvane.soft_dtw_divergence(signals, reference, **options)
    return found


def report():
    """What loads, and what a default call says, as JSON."""
    state = {"backends": orvane.backends()}
    try:
        orvane.soft_dtw([np.ones(3, np.float32)], np.ones(4, np.float32))
        state["default call"] = "ran"
    except ImportError as error:
        state["default call"] = f"ImportError: {error}"
    twin = orvane.soft_dtw([np.ones(3, np.float32)], np.ones(4, np.float32), backend="twin")
    state["twin call"] = twin.tolist()
    print(json.dumps(state))


if __name__ == "__main__":
    if sys.argv[1] == "--report":
        report()
    else:
        np.savez(sys.argv[1], **results())
