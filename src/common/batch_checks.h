// Argument checks and offset tables shared by every implementation of the operations.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace orvane {

// Throws std::invalid_argument for an empty list, a non-positive reference length or a
// non-positive signal length (the first one).
void validate_lengths(const std::vector<int>& lengths, int ref_signal_length);

// validate_lengths for pairs, each signal with a reference of its own: one positive
// reference length per signal.
void validate_pair_lengths(const std::vector<int>& lengths,
                           const std::vector<int>& ref_signal_lengths);

// Throws std::invalid_argument for pairs whose cells (sum N_k * M_k) or reference samples,
// `per_reference_sample` values each, would not fit in 32-bit positions.
void check_pairs_fit_int32(const std::vector<int>& lengths,
                           const std::vector<int>& ref_signal_lengths,
                           std::int64_t per_reference_sample = 1);

// Throws std::invalid_argument for batches whose sample positions would not fit in 32-bit
// signed integers; returns the number of samples.
std::int64_t check_samples_fit_int32(const std::vector<int>& lengths);
// Throws std::invalid_argument for batches whose sample or cell positions would not fit in
// the 32-bit signed integers that the kernels index with.
void check_batch_fits_int32(const std::vector<int>& lengths, int ref_signal_length);

// gamma rounded to float32; throws std::invalid_argument unless that is a finite, normal
// number greater than zero. The soft minimum is only defined for gamma > 0, and below the
// smallest normal float its reciprocal loses its precision or overflows to +inf.
float checked_gamma(double gamma);

// ref_gap_penalty rounded to float32; with a free end it must be finite, since the terminal
// penalty j * g of column 0 would otherwise be NaN. Without one it has no effect.
float checked_ref_gap_penalty(double ref_gap_penalty, bool local_end);

// The same two checks for the vectorised module's float64 operations, in float64's range.
double checked_gamma_float64(double gamma);
double checked_ref_gap_penalty_float64(double ref_gap_penalty, bool local_end);

// Refuses 0 for a buffer an operation reads or writes (its name and address), before
// anything runs: "operation: name must not be 0".
void require_buffers(const char* operation,
                     std::initializer_list<std::pair<const char*, std::uint64_t>> buffers);

// Exclusive prefix sums: where each signal starts in the signal batch.
std::vector<int> make_signal_offsets(const std::vector<int>& lengths);

// Exclusive prefix sums of N_k * M: where each signal's matrix starts in a batch matrix, in
// Index: int where the batch matrix is stored, 64 bits where a pass only walks its cells.
template <typename Index = int>
std::vector<Index> make_matrix_offsets(const std::vector<int>& lengths, int ref_signal_length) {
    std::vector<Index> offsets(lengths.size());
    Index next = 0;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        offsets[k] = next;
        next += Index{lengths[k]} * ref_signal_length;
    }
    return offsets;
}

}  // namespace orvane
