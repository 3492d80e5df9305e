// Soft-DTW gradients without distance or alignment matrices on the GPU: the same functions,
// arguments, checks and buffer formats as the vectorised module's calc_softdtw_gradients* and
// calc_softdtw_pair_gradients*, on device addresses. score_matrix holds the batch's R in the
// anti-diagonal layout (no checkpoints: score_matrix_cells, when given, must cover it). The
// reference (each pair's) may be at most gradients_max_ref_length(path) samples long.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

#define ORVANE_DECLARE_GRADIENTS(name, References)                                                \
    void name(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,           \
              DeviceAddress ref_signal, References ref_signal_length, DeviceAddress score_matrix, \
              DeviceAddress scores, DeviceAddress input_gradients, DeviceAddress ref_gradients,   \
              double gamma, DeviceAddress alpha, DeviceAddress weights, bool local_end,           \
              bool last_row_only, double ref_gap_penalty, std::int64_t score_matrix_cells,        \
              int channels, const std::string& cost, DeviceAddress band,                          \
              const std::string& band_kind);
ORVANE_DECLARE_GRADIENTS(calc_softdtw_gradients, int)
ORVANE_DECLARE_GRADIENTS(calc_softdtw_gradients_mixed, int)
ORVANE_DECLARE_GRADIENTS(calc_softdtw_gradients_float64, int)
// Pairs: signal k against a reference of its own, of ref_signal_lengths[k] samples; each
// pair's reference gradient is added into its own part of ref_gradients.
ORVANE_DECLARE_GRADIENTS(calc_softdtw_pair_gradients, const std::vector<int>&)
ORVANE_DECLARE_GRADIENTS(calc_softdtw_pair_gradients_mixed, const std::vector<int>&)
ORVANE_DECLARE_GRADIENTS(calc_softdtw_pair_gradients_float64, const std::vector<int>&)
#undef ORVANE_DECLARE_GRADIENTS

// The longest reference the gradients of a path ("float32", "mixed" or "float64") take on the
// current device.
int gradients_max_ref_length(const std::string& path);

}  // namespace orvane
