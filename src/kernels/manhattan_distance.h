// Manhattan distance matrices of a signal batch against the reference, or of pairs.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

// inputs:  input_signal     [sum N_k] signal batch
//          ref_signal       [M] reference
// outputs: distance_matrix  [sum N_k * M] anti-diagonal batch matrix, |x_k[i] - y[j]|
// float32 buffers; the _float64 version takes float64 ones and works in float64.
void calc_manhattan_distance(DeviceAddress input_signal,
                             const std::vector<int>& input_signal_lengths, DeviceAddress ref_signal,
                             int ref_signal_length, DeviceAddress distance_matrix);
void calc_manhattan_distance_float64(DeviceAddress input_signal,
                                     const std::vector<int>& input_signal_lengths,
                                     DeviceAddress ref_signal, int ref_signal_length,
                                     DeviceAddress distance_matrix);

// Pairs, signal k against a reference of its own:
// inputs:  input_signal     [sum N_k] signal batch
//          ref_signal       [sum M_k] the references one after the other
// outputs: distance_matrix  [sum N_k * M_k] anti-diagonal, |x_k[i] - y_k[j]|
void calc_manhattan_pair_distance(DeviceAddress input_signal,
                                  const std::vector<int>& input_signal_lengths,
                                  DeviceAddress ref_signal,
                                  const std::vector<int>& ref_signal_lengths,
                                  DeviceAddress distance_matrix);
void calc_manhattan_pair_distance_float64(DeviceAddress input_signal,
                                          const std::vector<int>& input_signal_lengths,
                                          DeviceAddress ref_signal,
                                          const std::vector<int>& ref_signal_lengths,
                                          DeviceAddress distance_matrix);

}  // namespace orvane
