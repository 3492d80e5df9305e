// Soft-DTW forward pass: score matrices and one final score per signal.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

// gamma and ref_gap_penalty arrive as the caller gave them, so that a rejection can show
// that value; both are rounded to float32 before use.
// inputs:  distance_matrix  [sum N_k * M] anti-diagonal batch matrix D
//          alpha            [B] per-signal bias subtracted from every cell cost, or 0
// outputs: score_matrix     [sum N_k * M] anti-diagonal batch matrix R, overwritten
//          scores           [B] R(N_k - 1, M - 1), or the free-end soft minimum over the
//                           last row (and, unless last_row_only, the last column) plus
//                           ref_gap_penalty * column
void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          DeviceAddress distance_matrix, DeviceAddress score_matrix,
                          DeviceAddress scores, double gamma, DeviceAddress alpha, bool local_end,
                          bool last_row_only, double ref_gap_penalty);

}  // namespace orvane
