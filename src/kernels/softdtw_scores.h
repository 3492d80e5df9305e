// Soft-DTW scores without matrices on the GPU: each cell's cost formed from the samples inside
// the forward sweep, no distance or score matrix kept. The same functions, arguments, checks
// and buffer formats as the vectorised module's calc_softdtw_scores* and
// calc_softdtw_pair_scores*, on device addresses (band: B int32 half-widths in device memory,
// or 0). The scores equal those of the distances and the forward pass of the same path over
// stored matrices bit for bit. The reference (each pair's) may be at most
// scores_max_ref_length(path) samples long: every column keeps its two newest scores in the
// block's shared memory.
#pragma once

#include <string>
#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

void calc_softdtw_scores(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                         DeviceAddress ref_signal, int ref_signal_length, DeviceAddress scores,
                         double gamma, DeviceAddress alpha, bool local_end, bool last_row_only,
                         double ref_gap_penalty, int channels, const std::string& cost,
                         DeviceAddress band, const std::string& band_kind);
void calc_softdtw_scores_float64(DeviceAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 DeviceAddress ref_signal, int ref_signal_length,
                                 DeviceAddress scores, double gamma, DeviceAddress alpha,
                                 bool local_end, bool last_row_only, double ref_gap_penalty,
                                 int channels, const std::string& cost, DeviceAddress band,
                                 const std::string& band_kind);
void calc_softdtw_scores_mixed(DeviceAddress input_signal,
                               const std::vector<int>& input_signal_lengths,
                               DeviceAddress ref_signal, int ref_signal_length,
                               DeviceAddress scores, double gamma, DeviceAddress alpha,
                               bool local_end, bool last_row_only, double ref_gap_penalty,
                               int channels, const std::string& cost, DeviceAddress band,
                               const std::string& band_kind);

// Pairs: signal k against a reference of its own, of ref_signal_lengths[k] samples, the
// references one after the other at ref_signal ((sum M_k, channels) values).
void calc_softdtw_pair_scores(DeviceAddress input_signal,
                              const std::vector<int>& input_signal_lengths,
                              DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,
                              DeviceAddress scores, double gamma, DeviceAddress alpha,
                              bool local_end, bool last_row_only, double ref_gap_penalty,
                              int channels, const std::string& cost, DeviceAddress band,
                              const std::string& band_kind);
void calc_softdtw_pair_scores_float64(
    DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
    DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths, DeviceAddress scores,
    double gamma, DeviceAddress alpha, bool local_end, bool last_row_only, double ref_gap_penalty,
    int channels, const std::string& cost, DeviceAddress band, const std::string& band_kind);
void calc_softdtw_pair_scores_mixed(
    DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
    DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths, DeviceAddress scores,
    double gamma, DeviceAddress alpha, bool local_end, bool last_row_only, double ref_gap_penalty,
    int channels, const std::string& cost, DeviceAddress band, const std::string& band_kind);

// The longest reference the scores of a path ("float32", "mixed" or "float64") take on the
// current device.
int scores_max_ref_length(const std::string& path);

}  // namespace orvane
