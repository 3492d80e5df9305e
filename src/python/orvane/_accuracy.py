"""When the float32 expected-alignment matrices cannot be trusted.

The backward pass loses about one float32 rounding of |R| / gamma in every step of its
recurrence, and those losses compound along the N + M steps of a path. The estimate below
was fitted to measurements against a float64 reference (benchmarks/accuracy_envelope.py;
the README has the table); past the threshold E may be off by more than a few percent.
"""

import os
import sys
import warnings

import numpy as np

FLOAT32_EPSILON = float(np.finfo(np.float32).eps)
UNRELIABLE = 0.01
# Fitted: the largest error measured was 0.04 to 0.06 of eps * (N + M) * |score| / gamma for
# gamma <= 0.1 at every size (|x - y| and the squared cost alike; 0.075 at N + M = 128, where
# the errors are far below the threshold), and smaller for larger gamma.
MEASURED_FRACTION = 0.06


def estimated_error(steps, gamma, score, epsilon=FLOAT32_EPSILON):
    """Rough largest error in E for a matrix of N + M = `steps` with final score `score`, when
    the recurrences round to `epsilon`."""
    return MEASURED_FRACTION * epsilon * steps * abs(score) / gamma


def library_directories():
    """Where the package and PyTorch live: a warning names the first caller outside them."""
    directories = [os.path.dirname(__file__) + os.sep]
    if (torch := sys.modules.get("torch")) is not None:
        directories.append(os.path.dirname(torch.__file__) + os.sep)
    return tuple(directories)


def warn_if_unreliable(inputs, scores):
    """A warning (once per call site: the caller's line, wherever the call came through) when
    E may be off by more than UNRELIABLE."""
    magnitudes = np.abs(np.asarray(inputs.adapter.to_numpy(scores), np.float64))
    steps = np.asarray(inputs.batch.lengths) + np.asarray(inputs.ref_lengths)
    finite = np.isfinite(magnitudes)
    if not finite.any():
        return
    worst = float(np.max(estimated_error(steps[finite], inputs.options.gamma,
                                         magnitudes[finite],
                                         float(np.finfo(inputs.element.score.numpy).eps))))
    if worst > UNRELIABLE:
        warnings.warn(
            f"the expected alignments of this batch may be off by about {worst:.2g} "
            f"({inputs.element.name} recurrences over up to {int(steps.max())} steps with gamma "
            f"= {inputs.options.gamma:g}); the float64 path (float64 arrays, or "
            "precision='float64'), a larger gamma, or signals rescaled to smaller distances, "
            "makes them reliable", RuntimeWarning,
            skip_file_prefixes=library_directories())
