// Conversions between the anti-diagonal layout and row-major order. The _float64 versions
// move float64 buffers; the last row's extraction has none.
#pragma once

#include <vector>

#include "cuda_helpers/cuda_helpers.h"

namespace orvane {

// inputs:  input_matrix   [sum N_k * M] anti-diagonal batch matrix
// outputs: output_matrix  [sum N_k * M] row-major batch matrix
void convert_antidiag_to_square(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                DeviceAddress input_matrix, DeviceAddress output_matrix);
void convert_antidiag_to_square_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, DeviceAddress input_matrix,
                                        DeviceAddress output_matrix);

// inputs:  input_matrix   [sum N_k * M] row-major batch matrix
// outputs: output_matrix  [sum N_k * M] anti-diagonal batch matrix
void convert_square_to_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                DeviceAddress input_matrix, DeviceAddress output_matrix);
void convert_square_to_antidiag_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, DeviceAddress input_matrix,
                                        DeviceAddress output_matrix);

// Pairs, signal k's matrix N_k x M_k (M_k in ref_signal_lengths), one after the other:
// inputs:  input_matrix   [sum N_k * M_k] anti-diagonal (to square) or row-major
// outputs: output_matrix  [sum N_k * M_k] row-major (to square) or anti-diagonal
void convert_pair_antidiag_to_square(const std::vector<int>& input_signal_lengths,
                                     const std::vector<int>& ref_signal_lengths,
                                     DeviceAddress input_matrix, DeviceAddress output_matrix);
void convert_pair_antidiag_to_square_float64(const std::vector<int>& input_signal_lengths,
                                             const std::vector<int>& ref_signal_lengths,
                                             DeviceAddress input_matrix,
                                             DeviceAddress output_matrix);
void convert_pair_square_to_antidiag(const std::vector<int>& input_signal_lengths,
                                     const std::vector<int>& ref_signal_lengths,
                                     DeviceAddress input_matrix, DeviceAddress output_matrix);
void convert_pair_square_to_antidiag_float64(const std::vector<int>& input_signal_lengths,
                                             const std::vector<int>& ref_signal_lengths,
                                             DeviceAddress input_matrix,
                                             DeviceAddress output_matrix);

// inputs:  input_matrix   [sum N_k * M] anti-diagonal batch matrix
// outputs: output_matrix  [B, M] row N_k - 1 of every signal's matrix
void extract_last_row_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               DeviceAddress input_matrix, DeviceAddress output_matrix);

}  // namespace orvane
