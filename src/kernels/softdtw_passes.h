// Soft-DTW forward and backward passes for references of any length and for pairs (each
// signal against a reference of its own), on three paths: float32 (the kernels' steps),
// mixed (float32 distances and gradients, float64 score matrices and scores) and float64.
// Same buffers and layout as calc_softdtw_forward and calc_softdtw_backward, with the score
// matrices and scores of the path's score type; with pairs, signal k's matrices are
// N_k x M_k, one after the other.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

void calc_softdtw_forward_mixed(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                DeviceAddress scores, double gamma, DeviceAddress alpha,
                                bool local_end, bool last_row_only, double ref_gap_penalty);
void calc_softdtw_forward_float64(const std::vector<int>& input_signal_lengths,
                                  int ref_signal_length, DeviceAddress distance_matrix,
                                  DeviceAddress score_matrix, DeviceAddress scores, double gamma,
                                  DeviceAddress alpha, bool local_end, bool last_row_only,
                                  double ref_gap_penalty);
void calc_softdtw_backward_mixed(const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, DeviceAddress distance_matrix,
                                 DeviceAddress score_matrix, DeviceAddress gradient_matrix,
                                 double gamma, DeviceAddress alpha, bool local_end,
                                 DeviceAddress scores, bool last_row_only, double ref_gap_penalty);
void calc_softdtw_backward_float64(const std::vector<int>& input_signal_lengths,
                                   int ref_signal_length, DeviceAddress distance_matrix,
                                   DeviceAddress score_matrix, DeviceAddress gradient_matrix,
                                   double gamma, DeviceAddress alpha, bool local_end,
                                   DeviceAddress scores, bool last_row_only,
                                   double ref_gap_penalty);

// Pairs: ref_signal_lengths holds M_k, one per signal.
void calc_softdtw_pair_forward(const std::vector<int>& input_signal_lengths,
                               const std::vector<int>& ref_signal_lengths,
                               DeviceAddress distance_matrix, DeviceAddress score_matrix,
                               DeviceAddress scores, double gamma, DeviceAddress alpha,
                               bool local_end, bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_forward_mixed(const std::vector<int>& input_signal_lengths,
                                     const std::vector<int>& ref_signal_lengths,
                                     DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                     DeviceAddress scores, double gamma, DeviceAddress alpha,
                                     bool local_end, bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_forward_float64(const std::vector<int>& input_signal_lengths,
                                       const std::vector<int>& ref_signal_lengths,
                                       DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                       DeviceAddress scores, double gamma, DeviceAddress alpha,
                                       bool local_end, bool last_row_only,
                                       double ref_gap_penalty);
void calc_softdtw_pair_backward(const std::vector<int>& input_signal_lengths,
                                const std::vector<int>& ref_signal_lengths,
                                DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                DeviceAddress gradient_matrix, double gamma, DeviceAddress alpha,
                                bool local_end, DeviceAddress scores, bool last_row_only,
                                double ref_gap_penalty);
void calc_softdtw_pair_backward_mixed(const std::vector<int>& input_signal_lengths,
                                      const std::vector<int>& ref_signal_lengths,
                                      DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                      DeviceAddress gradient_matrix, double gamma,
                                      DeviceAddress alpha, bool local_end, DeviceAddress scores,
                                      bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_backward_float64(const std::vector<int>& input_signal_lengths,
                                        const std::vector<int>& ref_signal_lengths,
                                        DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                        DeviceAddress gradient_matrix, double gamma,
                                        DeviceAddress alpha, bool local_end, DeviceAddress scores,
                                        bool last_row_only, double ref_gap_penalty);

}  // namespace orvane
