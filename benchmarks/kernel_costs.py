"""What the Soft-DTW wavefront kernels would cost on a GPU, read from the CUDA module's machine
code (SASS) for every architecture it holds, with no GPU needed: for the kernels of the eleven
(float32, a thread per column) and the passes beyond them (softdtw_passes.cu, a thread per
columns t, t + T, ... on the Float32Path, MixedPath and Float64Path) and the scores without
matrices (softdtw_scores.cu, the same paths) and the gradients without matrices
(softdtw_gradients.cu: the scores' sweep storing R, and a backward sweep that forms the costs
and the sample gradients), side by side:

- registers, local memory (spills: its bytes and the STL/LDL instructions that use it) and
  static shared memory, from `cuobjdump -res-usage` and the SASS;
- a cell's static instructions: those of the innermost loop that does one cell's work, how
  many of them are float64 (D* arithmetic, and F2F/I2F/F2I/FRND conversions that take or give
  a 64-bit float) and special-function (MUFU), the bytes its global loads and stores move
  (LDG/STG/LD/ST: .64 is 8 bytes, .128 16, plain 4), and a weighted count: the other
  instructions plus the float64 ones times the architecture's float32:float64 throughput
  ratio (FP64_RATIO below);
- for each path the weighted count of its forward plus backward cell against the eleven's
  (softdtw_forward_kernel + softdtw_backward_kernel);
- the twin's CPU time per cell of each path's forward + backward, which is no GPU figure.

How the cell's loop is found. The SASS of each kernel is cut into basic blocks at branch
targets and after branches (BRA, and CALL.REL.NOINC, which the compiler uses as a branch out of
a loop; other calls return), each block linked to its branch target and, unless it ends in an
unconditional branch or EXIT, to the next (a branch is conditional when predicated, @P0 BRA,
or given a predicate operand, BRA.U !UP0). A backward branch closes a loop when its target
dominates it (every path from the entry passes the target); the loop is the target with every
block that reaches the branch without passing the target (a natural loop). A loop that holds
no other loop is innermost. In the eleven's kernels the innermost loop is the loop over the
diagonals, whose body is the thread's one cell of the diagonal (with the diagonal's start and
the barrier). In the passes it is the loop over the thread's columns (j = t, t + T, ...) inside
the loop over the diagonals, and the compiler may make several versions of it: two innermost
loops of one diagonal loop are versions of one sweep when neither reaches the other within an
iteration of the diagonal loop, and successive sweeps otherwise (the backward passes of the
mixed and float64 paths have two: the gradients E, then the shares of the predecessors). A
forward cell is the largest version of each sweep (the other is the first diagonal's single
cell); a backward cell with a global end the smallest (the free-end version adds the
terminals' share of the final score) and with a free end the largest. "+diag" is what the
diagonal loop runs besides its sweeps, paid once per diagonal and thread: with M <= T each
thread has one cell a diagonal, so a cell costs its sweeps plus that; with M >> T the sweeps
alone. The final-score kernels run once per signal: their figures are their whole code. The
scores kernels unroll a thread's columns (at most SCORES_COLUMNS of them) inside the diagonal
loop, which holds no loop but each column's loop over the channels after the first: their cell
(of one channel) is the diagonal loop's body without those over the columns, the per-diagonal
work shared among them.
Counts are static (every instruction of the loop counted once, rarely taken branches such as
NaN, infinities and division slow paths included, calls to slow-path subroutines not).

Checked by hand on sm_89's MixedPath forward kernel (as built when this was written): its
diagonal loop runs from 0x2e0 to the branch back at 0x1290 and holds two loops over the
columns. 0x8c0-0x10e0 is the general cell, 131 instructions: the cost's LDG.E, the three
predecessors' LDG.E.64 and R's STG.E.64, 36 bytes; 16 float64 instructions: three DSETP.GTU
(the NaN tests), two DSETP.MIN and a DSETP.NEU (the least and its infinity test), five DADD
(the three differences, least - gamma log sum, cost + that) and five F2F (the differences to
float32, the cost and gamma log sum to float64); three MUFU.EX2 (the logarithm is a
polynomial). 0x1150-0x1220, 14 instructions with one F2F.F64.F32, is the first diagonal's
cell, R = cost. --loops lists the same: two versions of one sweep.

    .venv/bin/python benchmarks/kernel_costs.py [--module PATH] [--arch sm_89 ...]
        [--repeats 3] [--twin-size B N] [--loops]

--module defaults to the installed orvane_pybind's file. Needs cuobjdump and nvdisasm (which
cuobjdump runs to print SASS): pip install nvidia-cuda-cuobjdump nvidia-cuda-nvdisasm, or a
CUDA toolkit on the PATH. --loops lists every kernel's innermost loops with their addresses.
"""

import argparse
import collections
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# Float32 and float64 add/multiply/fma results per clock per multiprocessor, from the CUDA C++
# Best Practices Guide's "Throughput of Native Arithmetic Instructions" (in the Programming
# Guide's "Arithmetic Instructions" before CUDA 13). The guide gives 7.5, 8.0, 8.6, 8.9, 9.0,
# 10.0 and 12.0; the others take their family's figures, as marked.
FP64_RATIO = {  # arch: (float32, float64, where from)
    "sm_75": (64, 2, "guide, 7.5"),
    "sm_80": (64, 32, "guide, 8.0"),
    "sm_86": (128, 2, "guide, 8.6"),
    "sm_87": (128, 2, "as 8.6 (same SM), assumed"),
    "sm_89": (128, 2, "guide, 8.9"),
    "sm_90": (128, 64, "guide, 9.0"),
    "sm_100": (128, 64, "guide, 10.0"),
    "sm_103": (128, 64, "guide's 10.x column, assumed"),
    "sm_110": (128, 2, "as the 12.x parts, assumed"),
    "sm_120": (128, 2, "guide, 12.0"),
    "sm_121": (128, 2, "guide's 12.x column, assumed"),
}



def throughput(arch):
    """FP64_RATIO's row for an architecture, sm_90a as sm_90."""
    base = re.match(r"sm_\d+", arch).group(0)
    if base not in FP64_RATIO:
        sys.exit(f"{arch}: no float32:float64 throughput known; add it to FP64_RATIO")
    return FP64_RATIO[base]


FLOAT64_ARITHMETIC = {"DADD", "DMUL", "DFMA", "DSETP", "DSET", "DMNMX", "DMMA"}
CONVERSIONS = {"F2F", "I2F", "F2I", "FRND"}
GLOBAL_MEMORY = {"LDG", "STG", "LD", "ST"}
WIDTH_BYTES = {"U8": 1, "S8": 1, "U16": 2, "S16": 2, "64": 8, "128": 16}


@dataclass(frozen=True)
class Kernel:
    label: str
    symbol: str  # a regular expression the mangled name matches
    path: str    # "eleven", "Float32Path", "MixedPath" or "Float64Path"
    role: str    # "forward", "backward", "free-end backward" or "final"


def _kernels():
    eleven = [
        Kernel("softdtw_forward_kernel", r"softdtw_forward_kernel", "eleven", "forward"),
        Kernel("softdtw_backward_kernel", r"softdtw_backward_kernel", "eleven", "backward"),
        Kernel("softdtw_local_backward_kernel", r"softdtw_local_backward_kernel", "eleven",
               "free-end backward"),
        Kernel("get_final_scores_kernel", r"get_final_scores_kernel", "eleven", "final"),
        Kernel("softdtw_local_end_reducer_kernel", r"softdtw_local_end_reducer_kernel",
               "eleven", "final"),
    ]
    columns = []
    for path in ("Float32Path", "MixedPath", "Float64Path"):
        # The scores' kernel stores R for the gradients when its second argument is true.
        for role, name, label, tail in [
                ("forward", "softdtw_forward_columns_kernel", "forward_columns", ""),
                ("scores", "softdtw_scores_kernel", "scores, no matrices", "ELb0"),
                ("lean forward", "softdtw_scores_kernel", "gradients' forward (R)", "ELb1"),
                ("lean backward", "softdtw_gradients_kernel", "gradients' backward", ""),
                ("backward", "softdtw_backward_columns_kernel", "backward_columns", ""),
                ("free-end backward", "softdtw_backward_columns_kernel",
                 "backward_columns, free end", ""),
                ("final", "softdtw_final_scores_columns_kernel", "final_scores_columns", "")]:
            columns.append(Kernel(label, rf"{name}I\w*?{path}{tail}", path, role))
    return eleven + columns


KERNELS = _kernels()
# The columns a thread of the sweeps without matrices serves, unrolled in their diagonal loop:
# the scores' (kColumnsPerThread in lean_sweep.cuh) and the gradients' forward and backward
# sweeps' (kGradientColumnsPerThread).
SCORES_COLUMNS = {"Float32Path": 4, "MixedPath": 2, "Float64Path": 6}
GRADIENT_COLUMNS = {"Float32Path": 1, "MixedPath": 1, "Float64Path": 2}
SWEEP_ROLES = ("scores", "lean forward", "lean backward")


def sweep_columns(kernel):
    table = SCORES_COLUMNS if kernel.role == "scores" else GRADIENT_COLUMNS
    return table[kernel.path]


# ---- tools and module ------------------------------------------------------------------

def find_tool(name):
    """A CUDA binary from the nvidia PyPI packages of this interpreter, the PATH or the
    default toolkit, or None."""
    spec = importlib.util.find_spec("nvidia")
    for root in (spec.submodule_search_locations if spec else []):
        for candidate in sorted(Path(root).glob(f"cu*/bin/{name}")):
            return str(candidate)
    toolkit = Path("/usr/local/cuda/bin") / name
    return shutil.which(name) or (str(toolkit) if toolkit.exists() else None)


def tools():
    cuobjdump, nvdisasm = find_tool("cuobjdump"), find_tool("nvdisasm")
    missing = [n for n, p in [("cuobjdump", cuobjdump), ("nvdisasm", nvdisasm)] if p is None]
    if missing:
        sys.exit(f"{' and '.join(missing)} not found (cuobjdump runs nvdisasm to print SASS): "
                 "pip install nvidia-cuda-cuobjdump nvidia-cuda-nvdisasm, or put a CUDA "
                 "toolkit's bin on the PATH")
    env = dict(os.environ, PATH=os.pathsep.join([str(Path(nvdisasm).parent),
                                                 os.environ.get("PATH", "")]))
    return cuobjdump, env


def default_module():
    spec = importlib.util.find_spec("orvane_pybind")
    if spec is None or spec.origin is None:
        sys.exit("orvane_pybind is not installed: pass --module PATH")
    return spec.origin


def run(command, env):
    return subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout


def by_arch(text):
    """cuobjdump output cut at each "arch = sm_XX" line: arch -> its lines."""
    sections = collections.defaultdict(list)
    arch = None
    for line in text.splitlines():
        match = re.match(r"arch = (sm_\d+\w*)", line.strip())
        if match:
            arch = match.group(1)
        elif arch:
            sections[arch].append(line)
    return sections


@dataclass
class Resources:
    registers: int
    shared: int
    local: int


def read_resources(lines):
    """function -> Resources, from one architecture's -res-usage lines."""
    resources, function = {}, None
    for line in lines:
        match = re.match(r"\s*Function (\S+):", line)
        if match:
            function = match.group(1)
            continue
        fields = dict(re.findall(r"(REG|SHARED|LOCAL):(\d+)", line))
        if function and fields:
            resources[function] = Resources(*(int(fields[k]) for k in ("REG", "SHARED", "LOCAL")))
            function = None
    return resources


# ---- SASS and its loops ----------------------------------------------------------------

@dataclass(frozen=True)
class Instruction:
    address: int
    predicated: bool
    opcode: str    # with its modifiers, e.g. LDG.E.64.CONSTANT
    operands: str

    @property
    def base(self):
        return self.opcode.split(".")[0]

    @property
    def modifiers(self):
        return self.opcode.split(".")[1:]

    def target(self):
        return int(re.findall(r"0x[0-9a-f]+", self.operands)[-1], 16)

    def branches(self):
        return self.base in ("BRA", "JMP") or self.opcode.startswith("CALL.REL.NOINC")

    def conditional(self):
        """Guarded by a predicate: @P0 BRA ..., or a predicate operand, as in BRA.U !UP0, ..."""
        return self.predicated or bool(re.search(r"(?<![\w.])!?U?P[0-6]\b", self.operands))

    def ends_path(self):
        """No fall-through: an unconditional branch, exit or return."""
        return not self.conditional() and (self.branches() or self.base in ("EXIT", "RET"))

    def is_float64(self):
        return self.base in FLOAT64_ARITHMETIC or (
            self.base in CONVERSIONS and "F64" in self.modifiers)

    def global_bytes(self):
        if self.base not in GLOBAL_MEMORY:
            return 0
        return next((WIDTH_BYTES[m] for m in self.modifiers if m in WIDTH_BYTES), 4)


SASS_LINE = re.compile(r"/\*([0-9a-f]{4,})\*/\s+(@!?U?P[T0-9]\s+)?([A-Z][A-Z0-9_.]*)\s*([^;]*);")


def read_sass(lines):
    """function -> its instructions (NOPs left out), from one architecture's -sass lines."""
    functions, current = {}, None
    for line in lines:
        match = re.search(r"Function : (\S+)", line)
        if match:
            current = functions.setdefault(match.group(1), [])
            continue
        match = SASS_LINE.search(line)
        if match and current is not None and match.group(3) != "NOP":
            current.append(Instruction(int(match.group(1), 16), bool(match.group(2)),
                                       match.group(3), match.group(4).strip()))
    return functions


@dataclass
class ControlFlow:
    """Basic blocks as [start, end) instruction ranges, their successors and predecessors."""
    instructions: list
    blocks: list
    successors: dict
    predecessors: dict = field(default_factory=lambda: collections.defaultdict(set))

    @classmethod
    def of(cls, instructions):
        index = {ins.address: k for k, ins in enumerate(instructions)}
        leaders = {0}
        for k, ins in enumerate(instructions):
            if ins.base in ("BRX", "JMX"):
                raise ValueError(f"indirect branch at {ins.address:#x}: no control flow graph")
            if ins.branches():
                leaders.update((index[ins.target()], k + 1))
            elif ins.base in ("EXIT", "RET"):
                leaders.add(k + 1)
        starts = sorted(k for k in leaders if k < len(instructions))
        blocks = list(zip(starts, starts[1:] + [len(instructions)]))
        block_at = {start: n for n, (start, _) in enumerate(blocks)}
        successors = collections.defaultdict(set)
        for n, (_, end) in enumerate(blocks):
            last = instructions[end - 1]
            if last.branches():
                successors[n].add(block_at[index[last.target()]])
            if not last.ends_path() and end < len(instructions):
                successors[n].add(n + 1)
        flow = cls(instructions, blocks, successors)
        for n, targets in successors.items():
            for m in targets:
                flow.predecessors[m].add(n)
        return flow

    def reachable(self, start=0, stop=None, follow=None):
        """Blocks reached from `start` along `follow` (successors by default) without passing
        `stop`."""
        follow = self.successors if follow is None else follow
        seen, stack = set(), [start]
        while stack:
            n = stack.pop()
            if n in seen:
                continue
            seen.add(n)
            if n != stop:
                stack.extend(follow[n])
        return seen

    def dominators(self):
        live = self.reachable()
        dominators = {n: set(live) for n in live}
        dominators[0] = {0}
        changed = True
        while changed:
            changed = False
            for n in sorted(live - {0}):
                incoming = [dominators[p] for p in self.predecessors[n] if p in live]
                new = {n} | set.intersection(*incoming)
                if new != dominators[n]:
                    dominators[n], changed = new, True
        return dominators

    def natural_loops(self):
        """header block -> the blocks of its loop (all back edges to it merged)."""
        dominators = self.dominators()
        loops = collections.defaultdict(set)
        for n in dominators:
            for header in self.successors[n]:
                if header in dominators[n]:
                    loops[header] |= {header} | self.reachable(n, header, self.predecessors)
        return dict(loops)

    def address(self, block):
        return self.instructions[self.blocks[block][0]].address

    def body(self, blocks):
        return [ins for n in sorted(blocks) for ins in
                self.instructions[self.blocks[n][0]:self.blocks[n][1]]]


@dataclass
class Counts:
    instructions: int = 0
    float64: int = 0
    mufu: int = 0
    global_bytes: int = 0

    @classmethod
    def of(cls, body):
        return cls(len(body), sum(i.is_float64() for i in body),
                   sum(i.base == "MUFU" for i in body), sum(i.global_bytes() for i in body))

    def __add__(self, other):
        return Counts(self.instructions + other.instructions, self.float64 + other.float64,
                      self.mufu + other.mufu, self.global_bytes + other.global_bytes)

    def weighted(self, arch):
        float32, float64, _ = throughput(arch)
        return self.instructions - self.float64 + self.float64 * float32 / float64


@dataclass
class Sweep:
    versions: list  # (header address, Counts) of each version, by address


@dataclass
class LoopNest:
    """A kernel's innermost loops: the sweeps of its diagonal loop, or its one loop."""
    sweeps: list
    diagonal: Counts  # the diagonal loop's instructions outside its sweeps (none if unnested)
    nested: bool


def enclosing_loop(loops, header):
    """The header of the smallest loop around `header`'s loop, or None."""
    return min((other for other, body in loops.items() if other != header and header in body),
               key=lambda other: len(loops[other]), default=None)


def group_sweeps(flow, inner, diagonal_header):
    """The innermost loops of one diagonal loop, in sweeps: two loops are versions of one
    sweep when neither reaches the other within an iteration (never back through the
    diagonal loop's header)."""
    within = collections.defaultdict(
        set, {n: flow.successors[n] - {diagonal_header} for n in flow.successors})
    reaches = {h: flow.reachable(h, follow=within) for h in inner}
    sweeps = []
    for h in inner:
        sweep = next((s for s in sweeps
                      if all(h not in reaches[o] and o not in reaches[h] for o in s)), None)
        if sweep is None:
            sweeps.append([h])
        else:
            sweep.append(h)
    return sweeps


def loop_nest(instructions):
    flow = ControlFlow.of(instructions)
    loops = flow.natural_loops()
    innermost = [h for h, body in loops.items()
                 if not any(other != h and other in body for other in loops)]
    if not innermost:
        return None

    def version(header):
        return flow.address(header), Counts.of(flow.body(loops[header]))

    # The diagonal loop: the one around the largest innermost loop.
    largest = max(innermost, key=lambda h: len(flow.body(loops[h])))
    diagonal = enclosing_loop(loops, largest)
    if diagonal is None:
        return LoopNest([Sweep([version(largest)])], Counts(), False)
    inner = sorted((h for h in innermost if enclosing_loop(loops, h) == diagonal),
                   key=flow.address)
    sweeps = [Sweep([version(h) for h in s]) for s in group_sweeps(flow, inner, diagonal)]
    own = loops[diagonal] - set().union(*(loops[h] for h in inner))
    return LoopNest(sweeps, Counts.of(flow.body(own)), True)


def scores_cell(instructions, columns):
    """A cell of the sweeps without matrices with one channel: their largest loop, the diagonal
    loop, whose body runs the thread's columns unrolled, over those columns (rounded), without
    the loops over the channels after the first, which run no iteration then."""
    flow = ControlFlow.of(instructions)
    loops = flow.natural_loops()
    diagonal = max(loops.values(), key=lambda body: len(flow.body(body)))
    channels = [body for body in loops.values() if body < diagonal]
    whole = Counts.of(flow.body(diagonal - set().union(*channels)))
    return Counts(*(round(value / columns) for value in
                    (whole.instructions, whole.float64, whole.mufu, whole.global_bytes)))


def cell_counts(nest, role):
    """One cell's Counts: a version of each sweep, chosen by the kernel's role."""
    pick = min if role == "backward" else max
    total = Counts()
    for sweep in nest.sweeps:
        total = total + pick((c for _, c in sweep.versions), key=lambda c: c.instructions)
    return total


# ---- one architecture -------------------------------------------------------------------

@dataclass
class Row:
    kernel: Kernel
    resources: Resources
    spill_instructions: int
    cell: Counts
    diagonal: Counts
    nest: LoopNest


def find_function(kernel, names):
    matches = [n for n in names if re.search(kernel.symbol, n)]
    if len(matches) != 1:
        raise LookupError(f"{kernel.label}: {len(matches)} functions match {kernel.symbol!r}")
    return matches[0]


def measure(arch_sass, arch_resources):
    rows = []
    for kernel in KERNELS:
        name = find_function(kernel, arch_sass)
        instructions = arch_sass[name]
        spills = sum(i.base in ("STL", "LDL") for i in instructions)
        nest = loop_nest(instructions) if kernel.role not in ("final", *SWEEP_ROLES) else None
        if kernel.role in SWEEP_ROLES:
            cell, diagonal = scores_cell(instructions, sweep_columns(kernel)), Counts()
        elif nest is None:
            cell, diagonal = Counts.of(instructions), Counts()
        else:
            cell, diagonal = cell_counts(nest, kernel.role), nest.diagonal
        rows.append(Row(kernel, arch_resources[name], spills, cell, diagonal, nest))
    return rows


LABEL_WIDTH = max(len(k.label) for k in KERNELS) + 2
TABLE_HEADER = (f"{'kernel':{LABEL_WIDTH}s} {'regs':>4s} {'local':>5s} {'STL/LDL':>7s} "
                f"{'shared':>6s} {'instr':>5s} {'f64':>4s} {'MUFU':>4s} {'bytes':>5s} "
                f"{'weighted':>8s} {'+diag':>5s} {'f64':>4s}")
PATH_TITLES = {"eleven": "the eleven (float32, a thread per column)",
               "Float32Path": "softdtw_*_columns_kernel<Float32Path>",
               "MixedPath": "softdtw_*_columns_kernel<MixedPath> (R in float64)",
               "Float64Path": "softdtw_*_columns_kernel<Float64Path>"}


def print_table(arch, rows):
    float32, float64, source = throughput(arch)
    print(f"{arch}: float32:float64 = {float32}:{float64} = {float32 // float64} ({source})")
    print(TABLE_HEADER)
    path = None
    for row in rows:
        if row.kernel.path != path:
            path = row.kernel.path
            print(PATH_TITLES[path])
        r, c = row.resources, row.cell
        diagonal = (f"{row.diagonal.instructions:5d} {row.diagonal.float64:4d}"
                    if row.nest and row.nest.nested else f"{'':5s} {'':4s}")
        suffix = ""
        if row.kernel.role == "final":
            suffix = "  (whole kernel, once a signal)"
        elif row.kernel.role in SWEEP_ROLES:
            suffix = (f"  (diagonal loop / {sweep_columns(row.kernel)} columns, costs "
                      "from the samples)")
        line = (f"  {row.kernel.label:{LABEL_WIDTH - 2}s} {r.registers:4d} {r.local:5d} "
                f"{row.spill_instructions:7d} {r.shared:6d} {c.instructions:5d} {c.float64:4d} "
                f"{c.mufu:4d} {c.global_bytes:5d} {c.weighted(arch):8.0f} {diagonal}{suffix}")
        print(line.rstrip())


def pair_cost(rows, path, arch, with_diagonal):
    def cost(role):
        row = next(r for r in rows if r.kernel.path == path and r.kernel.role == role)
        extra = row.diagonal if with_diagonal and row.nest and row.nest.nested else Counts()
        return (row.cell + extra).weighted(arch)
    return cost("forward") + cost("backward")


def print_pairs(arch, rows):
    eleven = pair_cost(rows, "eleven", arch, True)
    print(f"forward + backward (global end), weighted instructions a cell, and over the "
          f"eleven's {eleven:.0f}\n(M >> T: a thread's many columns, the sweeps alone; "
          f"M <= T: a column a thread, with +diag):")
    for path in ("Float32Path", "MixedPath", "Float64Path"):
        many = pair_cost(rows, path, arch, False)
        one = pair_cost(rows, path, arch, True)
        print(f"  {path:12s} M >> T {many:7.0f} {many / eleven:6.2f}x    "
              f"M <= T (+diag) {one:7.0f} {one / eleven:6.2f}x")


def print_lean(arch, rows):
    """The gradients without matrices, forward + backward, against the stored passes' of the
    same path (whose costs come from a distance matrix, and add no sample gradient)."""
    print("gradients without matrices, forward + backward (global end, one channel, costs and "
          "sample gradients formed in the cell),\nweighted instructions a cell, and over the "
          "stored passes' forward + backward of the path (M >> T / M <= T):")
    for path in ("Float32Path", "MixedPath", "Float64Path"):
        lean = sum(r.cell.weighted(arch) for r in rows if r.kernel.path == path
                   and r.kernel.role in ("lean forward", "lean backward"))
        many, one = (pair_cost(rows, path, arch, diagonal) for diagonal in (False, True))
        print(f"  {path:12s} {lean:7.0f}   {lean / many:6.2f}x / {lean / one:6.2f}x")


def print_loops(arch, rows):
    print(f"{arch}: innermost loops (address: instructions, float64), versions of a sweep "
          "joined by |")
    for row in rows:
        if row.nest is None:
            continue
        sweeps = "; ".join(" | ".join(f"{a:#x}: {c.instructions}, {c.float64}"
                                      for a, c in s.versions) for s in row.nest.sweeps)
        print(f"  {row.kernel.path:12s} {row.kernel.label:{LABEL_WIDTH - 2}s} {sweeps}")


# ---- the twin's CPU time -----------------------------------------------------------------

PATH_CALLS = {  # path: (data type, score type, suffix)
    "float32": (np.float32, np.float32, ""),
    "mixed": (np.float32, np.float64, "_mixed"),
    "float64": (np.float64, np.float64, "_float64"),
}


def twin_pass_pair(twin, path, batch, length, rng, gamma=1.0):
    """One path's forward + backward on the twin, as a call, on costs |N(0, 1)| (the
    anti-diagonal layout of i.i.d. costs is i.i.d. costs)."""
    data, score, suffix = PATH_CALLS[path]
    lengths, cells = [length] * batch, batch * length * length
    distance = np.abs(rng.standard_normal(cells)).astype(data)
    score_matrix, gradient = np.empty(cells, score), np.empty(cells, data)
    scores = np.empty(batch, score)
    forward = getattr(twin, "calc_softdtw_forward" + suffix)
    backward = getattr(twin, "calc_softdtw_backward" + suffix)

    def call():
        forward(lengths, length, distance.ctypes.data, score_matrix.ctypes.data,
                scores.ctypes.data, gamma)
        backward(lengths, length, distance.ctypes.data, score_matrix.ctypes.data,
                 gradient.ctypes.data, gamma)
    return call


def twin_times(batch, length, repeats):
    """path -> the least process CPU seconds a cell of its forward + backward on the twin,
    the paths run in turn, so that a busy machine slows them alike."""
    import orvane_pybind_cpu as twin

    rng = np.random.default_rng(0)
    calls = {path: twin_pass_pair(twin, path, batch, length, rng) for path in PATH_CALLS}
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeats):
        for path, call in calls.items():
            start = time.process_time()
            call()
            best[path] = min(best[path], time.process_time() - start)
    return {path: seconds / (batch * length * length) for path, seconds in best.items()}


def print_twin(batch, length, repeats):
    times = twin_times(batch, length, repeats)
    print(f"twin CPU time, not a GPU figure: forward + backward, B = {batch}, N = M = {length}, "
          f"best of {repeats}, ns a cell")
    for path, seconds in times.items():
        print(f"  {path:8s} {seconds * 1e9:6.1f} ns   {seconds / times['float32']:5.2f}x float32")


# ---- main --------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", default=None, help="the CUDA module (default: installed)")
    parser.add_argument("--arch", nargs="+", default=None, help="only these, e.g. sm_89")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--twin-size", type=int, nargs=2, default=[8, 512], metavar=("B", "N"))
    parser.add_argument("--loops", action="store_true", help="list the innermost loops")
    args = parser.parse_args()
    module = args.module or default_module()
    cuobjdump, env = tools()
    resources = by_arch(run([cuobjdump, "-res-usage", module], env))
    sass = by_arch(run([cuobjdump, "-sass", module], env))
    print(f"{module}\nper cell: instr = static SASS instructions of a cell's sweeps, f64 = of "
          "them float64, MUFU = special-function,\nbytes = global memory loaded and stored, "
          "weighted = instr - f64 + f64 x float32:float64, +diag = the diagonal loop's\n"
          "own instructions and float64 ones (paid once a diagonal by each thread); local = "
          "local memory bytes,\nSTL/LDL = its spill instructions, shared = static shared bytes "
          "as cuobjdump reports it (the free-end reductions\ndeclare none: they take "
          "min(M, 1024) scores of dynamic shared memory)\n")
    for arch in sorted(sass, key=lambda a: int(re.sub(r"\D", "", a))):
        if args.arch and arch not in args.arch:
            continue
        rows = measure(read_sass(sass[arch]), read_resources(resources[arch]))
        print_table(arch, rows)
        print_pairs(arch, rows)
        print_lean(arch, rows)
        if args.loops:
            print_loops(arch, rows)
        print()
    print_twin(*args.twin_size, args.repeats)


if __name__ == "__main__":
    main()
