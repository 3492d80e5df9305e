"""The CPU backends side by side: the vectorised module orvane_cpu, the CPU twin of the CUDA
kernels, and tslearn's SoftDTW (float64, single-threaded as it ships) on the same distance
matrices. Prints Mcells/s, wall time, process CPU time and busy cores for the forward pass,
the backward pass and the whole training step (distance + forward + backward + gradient;
tslearn: compute + grad on a precomputed D), then one long signal alone.

    .venv/bin/python benchmarks/cpu_backends.py [--sizes B,N,M ...] [--no-twin]

tslearn is optional (pip install tslearn); its column is left out without it.
"""

import argparse
import time

import numpy as np

from orvane.buffers import HostBuffer, twin_backend, vectorised_backend

DEFAULT_SIZES = ["16,256,256", "64,1024,1024"]


def timed(call, repeats=1):
    """(wall, process CPU) seconds of the fastest of `repeats` runs."""
    best = None
    for _ in range(repeats):
        cpu, wall = time.process_time(), time.perf_counter()
        call()
        measured = (time.perf_counter() - wall, time.process_time() - cpu)
        best = measured if best is None or measured[0] < best[0] else best
    return best


class Batch:
    def __init__(self, batch, length, ref_length, seed=0):
        rng = np.random.default_rng(seed)
        self.lengths = [length] * batch
        self.M = ref_length
        self.cells = batch * length * ref_length
        self.x = rng.standard_normal(batch * length).astype(np.float32)
        self.y = rng.standard_normal(ref_length).astype(np.float32)


def module_steps(backend, batch):
    """The training step's calls on one of the extension modules."""
    m, L, M = backend.module, batch.lengths, batch.M
    x, y = HostBuffer(batch.x), HostBuffer(batch.y)
    distance, score, gradient = (HostBuffer(np.zeros(batch.cells)) for _ in range(3))
    scores = HostBuffer(np.zeros(len(L)))
    dx, dy = HostBuffer(np.zeros(batch.x.size)), HostBuffer(np.zeros(M))
    steps = {
        "distance": lambda: m.calc_manhattan_distance(x.ptr, L, y.ptr, M, distance.ptr),
        "forward": lambda: m.calc_softdtw_forward(L, M, distance.ptr, score.ptr, scores.ptr, 1.0),
        "backward": lambda: m.calc_softdtw_backward(L, M, distance.ptr, score.ptr, gradient.ptr,
                                                    1.0),
        "gradient": lambda: m.calc_manhattan_distance_gradient(x.ptr, L, y.ptr, M, gradient.ptr,
                                                               dx.ptr, dy.ptr),
    }
    steps["distance"]()
    steps["forward"]()
    return {"forward": steps["forward"], "backward": steps["backward"],
            "training step": lambda: [step() for step in steps.values()]}


def best_in_turn(calls, repeats):
    """name -> the least wall time of `repeats` runs of each call, the calls run in turn, so
    that a busy machine slows them alike."""
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def tslearn_available():
    try:
        import tslearn  # noqa: F401
    except ImportError:
        return False
    return True


def tslearn_steps(batch):
    from tslearn.metrics import SoftDTW
    offsets = np.cumsum([0, *batch.lengths])
    distances = [np.abs(batch.x[a:b, None].astype(np.float64) - batch.y[None, :])
                 for a, b in zip(offsets[:-1], offsets[1:])]  # float64 copies, not timed
    warm_up = SoftDTW(distances[0][:8, :8], gamma=1.0)  # numba compiles on first use
    warm_up.compute()
    warm_up.grad()
    computed = [SoftDTW(d, gamma=1.0) for d in distances]
    for soft in computed:
        soft.compute()

    def both():
        for d in distances:
            soft = SoftDTW(d, gamma=1.0)
            soft.compute()
            soft.grad()
    return {"forward": lambda: [SoftDTW(d, gamma=1.0).compute() for d in distances],
            "backward": lambda: [soft.grad() for soft in computed],
            "training step": both}


def report(name, cells, wall, cpu):
    print(f"    {name:12s} {cells / wall / 1e6:9.1f} Mcells/s  wall {wall * 1e3:9.1f} ms  "
          f"CPU {cpu * 1e3:9.1f} ms  {cpu / wall:4.2f} cores busy  "
          f"{cpu / cells * 1e9:7.2f} ns/cell/core")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", default=DEFAULT_SIZES, metavar="B,N,M")
    parser.add_argument("--no-twin", action="store_true", help="leave the slow twin out")
    parser.add_argument("--long", type=int, default=8192, help="length of the lone signal")
    args = parser.parse_args()
    backends = {"orvane_cpu": vectorised_backend()}
    if not args.no_twin:
        backends["twin"] = twin_backend()
    have_tslearn = tslearn_available()

    for size in args.sizes:
        batch = Batch(*(int(v) for v in size.split(",")))
        print(f"B = {len(batch.lengths)}, N = {batch.lengths[0]}, M = {batch.M}: "
              f"{batch.cells:,} cells")
        results = {}
        for name, backend in backends.items():
            repeats = 3 if name == "orvane_cpu" else 1
            results[name] = {op: timed(call, repeats)
                             for op, call in module_steps(backend, batch).items()}
        if have_tslearn:
            results["tslearn"] = {op: timed(call) for op, call in tslearn_steps(batch).items()}
        for op in ("forward", "backward", "training step"):
            print(f"  {op}")
            for name, timings in results.items():
                report(name, batch.cells, *timings[op])
        if have_tslearn:
            ours, theirs = results["orvane_cpu"], results["tslearn"]
            both = [sum(t[op][i] for op in ("forward", "backward")) for t in (ours, theirs)
                    for i in (0, 1)]
            print(f"  orvane_cpu against tslearn: forward + backward {both[2] / both[0]:.1f}x "
                  f"wall, {both[3] / both[1]:.1f}x per core; training step "
                  f"{theirs['training step'][0] / ours['training step'][0]:.1f}x wall\n")

    lone = Batch(1, args.long, 1024)
    print(f"One signal of {args.long} samples against 1024 (orvane_cpu):")
    for op, call in module_steps(backends["orvane_cpu"], lone).items():
        report(op, lone.cells, *timed(call))


if __name__ == "__main__":
    main()
