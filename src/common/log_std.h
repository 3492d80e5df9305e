// The log-std finalisation of the statistics, shared by the CUDA kernels and the vectorised
// CPU module: ln(sqrt(v) + 1e-8) clamped to [-10, 10]. The epsilon goes on the standard
// deviation, and a NaN (from a negative or NaN variance) comes out as 10.
#pragma once

#include <cmath>

#include "common/antidiag_index.h"

namespace orvane {

ORVANE_HOST_DEVICE float clamped_log_std(float variance) {
    const float deviation = sqrtf(variance);
    const float shifted = deviation + 1e-8f;
    const float log_value = logf(shifted);
    return fmaxf(-10.0f, fminf(10.0f, log_value));
}

// The same steps in float64, for the vectorised module's float64 statistics.
ORVANE_HOST_DEVICE double clamped_log_std(double variance) {
    const double deviation = sqrt(variance);
    const double shifted = deviation + 1e-8;
    const double log_value = log(shifted);
    return fmax(-10.0, fmin(10.0, log_value));
}

}  // namespace orvane
