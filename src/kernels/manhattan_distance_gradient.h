// Chain rule through the Manhattan distance, back to the signal and reference samples.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

// inputs:  input_signal      [sum N_k] signal batch
//          ref_signal        [M] reference
//          gradient_matrix   [sum N_k * M] anti-diagonal batch matrix, dLoss/dD
// outputs: input_gradients   [sum N_k] accumulated into: += sum_j G * sgn(x - y)
//          ref_gradients     [M] accumulated into: += sum_k sum_i G * sgn(y - x)
// float32 buffers; the _float64 version takes float64 ones and works in float64.
void calc_manhattan_distance_gradient(DeviceAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      DeviceAddress ref_signal, int ref_signal_length,
                                      DeviceAddress gradient_matrix, DeviceAddress input_gradients,
                                      DeviceAddress ref_gradients);
void calc_manhattan_distance_gradient_float64(DeviceAddress input_signal,
                                              const std::vector<int>& input_signal_lengths,
                                              DeviceAddress ref_signal, int ref_signal_length,
                                              DeviceAddress gradient_matrix,
                                              DeviceAddress input_gradients,
                                              DeviceAddress ref_gradients);

// Pairs, signal k against a reference of its own:
// inputs:  input_signal      [sum N_k] signal batch
//          ref_signal        [sum M_k] the references one after the other
//          gradient_matrix   [sum N_k * M_k] anti-diagonal, dLoss/dD
// outputs: input_gradients   [sum N_k] accumulated into: += sum_j G * sgn(x - y)
//          ref_gradients     [sum M_k] accumulated into, each pair's own reference:
//                            += sum_i G * sgn(y - x) over its own signal's rows
void calc_manhattan_pair_distance_gradient(
    DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
    DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,
    DeviceAddress gradient_matrix, DeviceAddress input_gradients, DeviceAddress ref_gradients);
void calc_manhattan_pair_distance_gradient_float64(
    DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
    DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,
    DeviceAddress gradient_matrix, DeviceAddress input_gradients, DeviceAddress ref_gradients);

}  // namespace orvane
