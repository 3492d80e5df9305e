"""The twin's float32 steps, bit for bit: its score matrices, scores and expected alignments
equal a plain scalar loop of the same steps (benchmarks/scalar_wavefront.cpp), so that a
reordered sum, a lost fused multiply-add or a changed rounding shows, where a comparison with
a tolerance would pass."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

from batches import Options, TrainingRun, random_batch

_LOADER = Path(__file__).parents[2] / "benchmarks" / "scalar_wavefront.py"


@pytest.fixture(scope="module")
def scalar():
    spec = importlib.util.spec_from_file_location("scalar_wavefront", _LOADER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.ScalarWavefront()


OPTIONS = [
    pytest.param(Options(gamma=0.3), id="global"),
    pytest.param(Options(gamma=1.0), id="global-gamma-1"),
    pytest.param(Options(gamma=0.3, local_end=True, ref_gap_penalty=0.07), id="free"),
    pytest.param(Options(gamma=0.7, local_end=True, last_row_only=True, ref_gap_penalty=0.2),
                 id="free-last-row"),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("alpha", [False, True], ids=["", "alpha"])
@pytest.mark.parametrize("ref_length", [7, 45])  # within one warp and beyond it
def test_the_twin_equals_the_scalar_loop_bit_for_bit(backend, scalar, options, alpha,
                                                     ref_length):
    if backend.name != "twin":
        pytest.skip("the twin runs the kernels' own steps; orvane_cpu uses Highway's exp and "
                    "log, a few ulps from expf and logf, and is held to the float64 reference")
    batch = random_batch([1, 5, 30, 60], ref_length, seed=ref_length, alpha=alpha)
    run = TrainingRun(backend, batch, options).run_distance().run_forward().run_backward()
    distance = run.flat("D")
    score, gradient = np.empty_like(distance), np.empty_like(distance)
    offset = 0
    for k, n in enumerate(batch.lengths):
        step = dict(gamma=options.gamma, bias=0.0 if batch.alpha is None else batch.alpha[k],
                    offset=offset)
        scalar.forward(distance, score, n, ref_length, **step)
        if options.local_end:
            final = scalar.free_end_score(score, n, ref_length, options.gamma,
                                          options.last_row_only, options.ref_gap_penalty, offset)
        else:
            final = score[offset + n * ref_length - 1]
        assert final.tobytes() == run.flat("scores")[k].tobytes(), k
        scalar.backward(distance, score, gradient, n, ref_length, local_end=options.local_end,
                        final_score=final, last_row_only=options.last_row_only,
                        ref_gap_penalty=options.ref_gap_penalty, **step)
        offset += n * ref_length
    assert score.tobytes() == run.flat("R").tobytes()
    assert gradient.tobytes() == run.flat("E").tobytes()
