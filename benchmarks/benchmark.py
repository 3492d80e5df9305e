"""Times every operation for a few batch sizes and prints the time and the matrix cells per
second of each, and of the whole forward plus backward, on the CUDA module where a GPU is
present and on the CPU twin otherwise. Each figure comes with the command that reproduces it.

On the twin it also prints how many cores the forward plus backward kept busy (process CPU
time over wall time)."""

import argparse
import collections
import contextlib
import os
import subprocess
import sys
import time

import numpy as np

import orvane
from orvane.buffers import select_backend
from scalar_wavefront import ScalarWavefront

DEFAULT_SIZES = ["16,128,128", "32,256,256", "64,512,512", "64,1024,1024"]
# The operations of one training step, whose CPU time per cell the twin is held to.
TRAINING_STEP = ("distance", "forward", "backward", "distance gradient")


def parse_size(text):
    batch, length, ref_length = (int(v) for v in text.split(","))
    return batch, length, ref_length


class Workload:
    """Buffers for B signals of N samples against a reference of M, on one backend."""

    def __init__(self, backend, batch, length, ref_length, seed=0):
        rng = np.random.default_rng(seed)
        self.backend = backend
        self.lengths = [length] * batch
        self.M = ref_length
        self.cells = batch * length * ref_length
        self.x = backend.array(rng.standard_normal(batch * length))
        self.y = backend.array(rng.standard_normal(ref_length))
        self.distance = backend.full(self.cells, 0.0)
        self.score_matrix = backend.full(self.cells, 0.0)
        self.scores = backend.full(batch, 0.0)
        self.gradient = backend.full(self.cells, 0.0)
        self.dx = backend.full(batch * length, 0.0)
        self.dy = backend.full(ref_length, 0.0)
        self.packed = [backend.full(batch * ref_length, 0.0) for _ in range(4)]

    def operations(self):
        m, L, M = self.backend.module, self.lengths, self.M
        sums, means, log_std, index_log_std = self.packed
        forward = lambda local_end: m.calc_softdtw_forward(
            L, M, self.distance.ptr, self.score_matrix.ptr, self.scores.ptr, 1.0, 0, local_end)
        backward = lambda local_end: m.calc_softdtw_backward(
            L, M, self.distance.ptr, self.score_matrix.ptr, self.gradient.ptr, 1.0, 0, local_end,
            self.scores.ptr)
        return {
            "distance": lambda: m.calc_manhattan_distance(self.x.ptr, L, self.y.ptr, M,
                                                          self.distance.ptr),
            "forward": lambda: forward(False),
            "backward": lambda: backward(False),
            "forward+backward": lambda: (forward(False), backward(False)),
            "forward free end": lambda: forward(True),
            "backward free end": lambda: backward(True),
            "distance gradient": lambda: m.calc_manhattan_distance_gradient(
                self.x.ptr, L, self.y.ptr, M, self.gradient.ptr, self.dx.ptr, self.dy.ptr),
            "normalize": lambda: m.normalize_matrix(L, M, self.gradient.ptr, sums.ptr),
            "weighted means": lambda: m.calc_weighted_means(self.x.ptr, L, M, self.gradient.ptr,
                                                            means.ptr),
            "weighted log-std": lambda: m.calc_weighted_std(self.x.ptr, L, M, self.gradient.ptr,
                                                            means.ptr, log_std.ptr),
            "index log-std": lambda: m.calc_weighted_index_std(L, M, self.gradient.ptr,
                                                               index_log_std.ptr),
        }


Timing = collections.namedtuple("Timing", "wall busy_cores cpu")


def run_once(backend, call):
    cpu_start, wall_start = time.process_time(), time.perf_counter()
    call()
    backend.synchronize()
    wall = time.perf_counter() - wall_start
    cpu = time.process_time() - cpu_start
    return Timing(wall, cpu / wall if wall > 0 else 0.0, cpu)


def best_of(timings):
    """The best wall time with the CPU time over wall time of that run, and the least process
    CPU time of any run (this VM's neighbours only ever add to either)."""
    fastest = min(timings, key=lambda timing: timing.wall)
    return fastest._replace(cpu=min(timing.cpu for timing in timings))


def measure(backend, call, repeats):
    return best_of([run_once(backend, call) for _ in range(repeats)])


def measure_in_turn(backend, calls, repeats):
    """Like `measure` for each of `calls` (a dict), taking them in turn run by run, so that a
    busy spell of the machine does not fall on one of them alone."""
    runs = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            runs[name].append(run_once(backend, call))
    return {name: best_of(timings) for name, timings in runs.items()}


def package_overhead(backend, repeats, batch=16, length=128, ref_length=128):
    """The orvane package next to the raw calls it makes, on the same float32 data."""
    workload = Workload(backend, batch, length, ref_length)
    raw = workload.operations()
    rng = np.random.default_rng(0)
    flat = rng.standard_normal(batch * length).astype(np.float32)
    reference = rng.standard_normal(ref_length).astype(np.float32)
    if backend.name == "cuda":
        import torch
        flat, reference = torch.from_numpy(flat).cuda(), torch.from_numpy(reference).cuda()
    lengths = workload.lengths
    same_module = "twin" if backend.name == "twin" else None
    pairs = {
        "scores": (lambda: (raw["distance"](), raw["forward"]()),
                   lambda: orvane.soft_dtw(flat, reference, lengths=lengths,
                                           backend=same_module)),
        "scores and gradients": (
            lambda: (raw["distance"](), raw["forward"](), raw["backward"](),
                     raw["distance gradient"]()),
            lambda: orvane.soft_dtw_with_grad(flat, reference, lengths=lengths,
                                              backend=same_module)),
    }
    print(f"The orvane package against the raw calls, B = {batch}, N = {length}, "
          f"M = {ref_length} (float32 flat input, no copies):")
    for name, (raw_call, package_call) in pairs.items():
        raw_wall = measure(backend, raw_call, repeats).wall
        package_wall = measure(backend, package_call, repeats).wall
        print(f"  {name:22s} raw {raw_wall * 1e3:8.2f} ms   package {package_wall * 1e3:8.2f} ms"
              f"   overhead {(package_wall - raw_wall) * 1e3:+7.2f} ms")
    scores_wall = measure(backend, pairs["scores"][1], repeats).wall
    divergence_wall = measure(
        backend, lambda: orvane.soft_dtw_divergence(flat, reference, lengths=lengths,
                                                    backend=same_module), repeats).wall
    print(f"  soft-DTW divergence    {divergence_wall * 1e3:8.2f} ms: the scores and {batch + 1} "
          f"self-terms, one call each ({divergence_wall / scores_wall:.1f}x the scores)\n")


@contextlib.contextmanager
def on_one_core():
    """Every thread of the process (the twin's workers too) on one core for a while: on a
    shared VM the cores are not equally fast, and the loop runs on one of them only."""
    threads = [int(tid) for tid in os.listdir("/proc/self/task")]
    before = {tid: os.sched_getaffinity(tid) for tid in threads}
    core = {min(os.sched_getaffinity(0))}
    for tid in threads:
        os.sched_setaffinity(tid, core)
    try:
        yield
    finally:
        for tid, cores in before.items():
            os.sched_setaffinity(tid, cores)


def twin_against_scalar_loop(backend, repeats, batch=16, length=256, ref_length=256):
    """The twin's wavefronts next to a plain scalar loop of the same float32 steps, in the
    least process CPU time per cell of `repeats` runs each; the loop's results must equal the
    twin's bit for bit."""
    if backend.name != "twin":
        return
    try:
        scalar = ScalarWavefront()
    except (OSError, subprocess.CalledProcessError):
        return  # no C++ compiler
    workload = Workload(backend, batch, length, ref_length)
    raw = workload.operations()
    raw["distance"]()
    cells_each = length * ref_length
    distance = workload.distance.numpy()
    score = np.empty_like(distance)
    gradient = np.empty_like(distance)
    loops = {
        "forward": lambda: [scalar.forward(distance, score, length, ref_length, 1.0,
                                           offset=k * cells_each) for k in range(batch)],
        "backward": lambda: [scalar.backward(distance, score, gradient, length, ref_length, 1.0,
                                             offset=k * cells_each) for k in range(batch)],
    }
    print(f"The twin against a plain scalar wavefront loop, B = {batch}, N = {length}, "
          f"M = {ref_length} (process CPU time per cell, both on one core):")
    for name in ("forward", "backward"):
        with on_one_core():
            timings = measure_in_turn(backend, {"twin": raw[name], "loop": loops[name]},
                                      repeats)
        twin_cpu, loop_cpu = timings["twin"].cpu, timings["loop"].cpu
        print(f"  {name:9s} twin {twin_cpu / workload.cells * 1e9:7.1f} ns   loop "
              f"{loop_cpu / workload.cells * 1e9:7.1f} ns   {twin_cpu / loop_cpu:5.2f}x")
    same = (score.tobytes() == workload.score_matrix.numpy().tobytes()
            and gradient.tobytes() == workload.gradient.numpy().tobytes())
    print(f"  loop results equal the twin's bit for bit: {'yes' if same else 'NO'}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", nargs="+", default=DEFAULT_SIZES, metavar="B,N,M",
                        help="batch size, signal length and reference length")
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--only", nargs="+", help="operations to time (default: all)")
    parser.add_argument("--no-package", action="store_true",
                        help="skip the package's overhead against the raw calls")
    args = parser.parse_args()

    backend = select_backend()
    print(f"Module: {backend.module.__name__} ({backend.module.__doc__}); "
          f"{os.cpu_count()} cores\n")
    for size in args.sizes:
        batch, length, ref_length = parse_size(size)
        workload = Workload(backend, batch, length, ref_length)
        workload.operations()["distance"]()
        workload.operations()["forward"]()
        print(f"B = {batch}, N = {length}, M = {ref_length}: {workload.cells:,} cells")
        print(f"  reproduce: {sys.executable} {sys.argv[0]} --sizes {size} "
              f"--repeats {args.repeats}")
        cpu_per_cell = {}
        calls = {name: call for name, call in workload.operations().items()
                 if not args.only or name in args.only}
        for name, timing in measure_in_turn(backend, calls, args.repeats).items():
            line = (f"  {name:18s} {timing.wall * 1e3:10.1f} ms "
                    f"{workload.cells / timing.wall / 1e6:10.1f} Mcells/s")
            if backend.name == "twin":
                cpu_per_cell[name] = timing.cpu / workload.cells * 1e9
                line += (f"   {timing.busy_cores:4.2f} cores busy   "
                         f"{cpu_per_cell[name]:6.1f} ns CPU per cell")
            print(line)
        if all(name in cpu_per_cell for name in TRAINING_STEP):
            total = sum(cpu_per_cell[name] for name in TRAINING_STEP)
            print(f"  {' + '.join(TRAINING_STEP)}: {total:.1f} ns CPU per cell")
        print()
    if not args.no_package:
        package_overhead(backend, args.repeats)
    twin_against_scalar_loop(backend, args.repeats)


if __name__ == "__main__":
    main()
