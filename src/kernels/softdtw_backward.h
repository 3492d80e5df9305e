// Soft-DTW backward pass: the gradient (expected-alignment) matrices of the final scores.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

// gamma and ref_gap_penalty arrive as the caller gave them, so that a rejection can show
// that value; both are rounded to float32 before use.
// inputs:  distance_matrix  [sum N_k * M] anti-diagonal batch matrix D of the forward pass
//          score_matrix     [sum N_k * M] its score matrix R
//          alpha            [B] the forward pass's per-signal bias, or 0
//          scores           [B] the forward pass's final scores; required with local_end
// outputs: gradient_matrix  [sum N_k * M] anti-diagonal batch matrix dscore_k/dD_k(i, j),
//                           overwritten; must not overlap D or R
void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           DeviceAddress distance_matrix, DeviceAddress score_matrix,
                           DeviceAddress gradient_matrix, double gamma, DeviceAddress alpha,
                           bool local_end, DeviceAddress scores, bool last_row_only,
                           double ref_gap_penalty);

}  // namespace orvane
