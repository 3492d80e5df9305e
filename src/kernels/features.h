// Alignment statistics per signal and reference position, weighted by the gradient
// matrices once each reference column has been normalised to sum to one. Each takes float32
// buffers; its _float64 version takes float64 ones and works in float64.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

// inputs:  gradient_matrix   [sum N_k * M] anti-diagonal batch matrix E
//          ref_total_grads   [B, M] zeros (added into)
// outputs: gradient_matrix   overwritten in place by W = E / column sum (0 where the sum is 0)
//          ref_total_grads   [B, M] column sums S_k[j] (plus what it held)
void normalize_matrix(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      DeviceAddress gradient_matrix, DeviceAddress ref_total_grads);
void normalize_matrix_float64(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                              DeviceAddress gradient_matrix, DeviceAddress ref_total_grads);

// inputs:  input_signal      [sum N_k] signal batch
//          gradient_matrix   [sum N_k * M] normalised weights W
// outputs: weighted_means    [B, M] accumulated into: += sum_i W_k[i, j] * x_k[i]
void calc_weighted_means(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                         int ref_signal_length, DeviceAddress gradient_matrix,
                         DeviceAddress weighted_means);
void calc_weighted_means_float64(DeviceAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, DeviceAddress gradient_matrix,
                                 DeviceAddress weighted_means);

// inputs:  input_signal      [sum N_k] signal batch
//          gradient_matrix   [sum N_k * M] normalised weights W
//          weighted_means    [B, M] from calc_weighted_means
// outputs: weighted_std_log  [B, M] cleared, then clamp(ln(sqrt(variance) + 1e-8), -10, 10)
void calc_weighted_std(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                       int ref_signal_length, DeviceAddress gradient_matrix,
                       DeviceAddress weighted_means, DeviceAddress weighted_std_log);
void calc_weighted_std_float64(DeviceAddress input_signal,
                               const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               DeviceAddress gradient_matrix, DeviceAddress weighted_means,
                               DeviceAddress weighted_std_log);

// inputs:  gradient_matrix             [sum N_k * M] normalised weights W
// outputs: weighted_index_std_log      [B, M] cleared, then the clamped log standard
//                                      deviation of the row index i under each column of W
void calc_weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                             DeviceAddress gradient_matrix, DeviceAddress weighted_index_std_log);
void calc_weighted_index_std_float64(const std::vector<int>& input_signal_lengths,
                                     int ref_signal_length, DeviceAddress gradient_matrix,
                                     DeviceAddress weighted_index_std_log);

// Pairs, signal k against a reference of its own of M_k samples (ref_signal_lengths): the
// same statistics, the [B, M] arrays above packed per pair instead ([sum M_k] values, pair
// k's from sum_{l<k} M_l), the matrices N_k x M_k one after the other.
void normalize_pair_matrix(const std::vector<int>& input_signal_lengths,
                           const std::vector<int>& ref_signal_lengths,
                           DeviceAddress gradient_matrix, DeviceAddress ref_total_grads);
void normalize_pair_matrix_float64(const std::vector<int>& input_signal_lengths,
                                   const std::vector<int>& ref_signal_lengths,
                                   DeviceAddress gradient_matrix, DeviceAddress ref_total_grads);
void calc_pair_weighted_means(DeviceAddress input_signal,
                              const std::vector<int>& input_signal_lengths,
                              const std::vector<int>& ref_signal_lengths,
                              DeviceAddress gradient_matrix, DeviceAddress weighted_means);
void calc_pair_weighted_means_float64(DeviceAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      const std::vector<int>& ref_signal_lengths,
                                      DeviceAddress gradient_matrix, DeviceAddress weighted_means);
void calc_pair_weighted_std(DeviceAddress input_signal,
                            const std::vector<int>& input_signal_lengths,
                            const std::vector<int>& ref_signal_lengths,
                            DeviceAddress gradient_matrix, DeviceAddress weighted_means,
                            DeviceAddress weighted_std_log);
void calc_pair_weighted_std_float64(DeviceAddress input_signal,
                                    const std::vector<int>& input_signal_lengths,
                                    const std::vector<int>& ref_signal_lengths,
                                    DeviceAddress gradient_matrix, DeviceAddress weighted_means,
                                    DeviceAddress weighted_std_log);
void calc_pair_weighted_index_std(const std::vector<int>& input_signal_lengths,
                                  const std::vector<int>& ref_signal_lengths,
                                  DeviceAddress gradient_matrix,
                                  DeviceAddress weighted_index_std_log);
void calc_pair_weighted_index_std_float64(const std::vector<int>& input_signal_lengths,
                                          const std::vector<int>& ref_signal_lengths,
                                          DeviceAddress gradient_matrix,
                                          DeviceAddress weighted_index_std_log);

}  // namespace orvane
