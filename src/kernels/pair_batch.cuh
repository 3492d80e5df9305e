// The host frame of the kernels of pairs, each signal against a reference of its own: the
// checks of the pair passes, the per-pair tables and their device copy, and launch
// geometries whose threads serve several reference columns each.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "common/batch_checks.h"
#include "cuda_helpers/cuda_helpers.h"
#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"

namespace orvane {

// A checked batch of pairs with its host tables (see PairTables).
struct PairBatch {
    const std::vector<int>& lengths;
    std::vector<int> ref_lengths;
    std::vector<int> signal_offsets;
    std::vector<int> matrix_offsets;
    std::vector<int> ref_offsets;

    int num_signals() const { return static_cast<int>(lengths.size()); }
    // sum M_k: the values of the references, their gradients and every packed array.
    int reference_samples() const { return ref_offsets.back() + ref_lengths.back(); }
    int longest_reference() const {
        return *std::max_element(ref_lengths.begin(), ref_lengths.end());
    }
};

// The tables of a batch whose lengths have passed their checks.
inline PairBatch make_pair_batch(const std::vector<int>& lengths, std::vector<int> ref_lengths) {
    PairBatch pairs{lengths, std::move(ref_lengths), make_signal_offsets(lengths), {}, {}};
    int cells = 0;
    int samples = 0;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        pairs.matrix_offsets.push_back(cells);
        pairs.ref_offsets.push_back(samples);
        cells += lengths[k] * pairs.ref_lengths[k];
        samples += pairs.ref_lengths[k];
    }
    return pairs;
}

// Checks the lengths as the pair passes do (with per_reference_sample values of scratch or
// output a reference sample), then builds the tables: the first steps of every driver of
// pairs, before anything is allocated.
inline PairBatch prepare_pairs(const std::vector<int>& lengths, const std::vector<int>& ref_lengths,
                               std::int64_t per_reference_sample = 1) {
    validate_pair_lengths(lengths, ref_lengths);
    check_pairs_fit_int32(lengths, ref_lengths, per_reference_sample);
    return make_pair_batch(lengths, ref_lengths);
}

// One block per pair and row (or anti-diagonal) of the tallest matrix, the grid's height
// capped; T = min(longest M_k, most_threads, the device's threads per block) threads, each
// serving columns t, t + T, ...
inline LaunchGeometry make_pair_geometry(const PairBatch& pairs, BlockRows rows,
                                         int most_threads = std::numeric_limits<int>::max()) {
    int tallest = 0;
    for (int k = 0; k < pairs.num_signals(); ++k) {
        const int shift = rows == BlockRows::anti_diagonal ? pairs.ref_lengths[k] - 1 : 0;
        tallest = std::max(tallest, pairs.lengths[k] + shift);
    }
    const int threads =
        std::min({pairs.longest_reference(), most_threads, max_threads_per_block()});
    const unsigned grid_rows = std::min(static_cast<unsigned>(tallest), kMaxGridRows);
    return LaunchGeometry{dim3(static_cast<unsigned>(pairs.num_signals()), grid_rows, 1),
                          dim3(static_cast<unsigned>(threads), 1, 1)};
}

// One block per pair, with the threads of make_pair_geometry (at most most_threads).
inline LaunchGeometry make_pair_signal_geometry(
    const PairBatch& pairs, int most_threads = std::numeric_limits<int>::max()) {
    LaunchGeometry geometry = make_pair_geometry(pairs, BlockRows::matrix_row, most_threads);
    geometry.grid.y = 1;
    return geometry;
}

// Device copy of the tables, in one buffer freed when the call ends.
class DevicePairTables {
public:
    explicit DevicePairTables(const PairBatch& pairs)
        : num_signals_(pairs.num_signals()), buffer_(copy_vector_to_device(joined(pairs))) {}

    PairTables view() const {
        const int* table = buffer_.get<const int>();
        const std::size_t b = static_cast<std::size_t>(num_signals_);
        return PairTables{table,         table + b,     table + 2 * b,
                          table + 3 * b, table + 4 * b, num_signals_};
    }

private:
    // The tables one after the other, in PairTables' order.
    static std::vector<int> joined(const PairBatch& pairs) {
        std::vector<int> tables;
        for (const std::vector<int>* table :
             {&pairs.lengths, &pairs.ref_lengths, &pairs.signal_offsets, &pairs.matrix_offsets,
              &pairs.ref_offsets}) {
            tables.insert(tables.end(), table->begin(), table->end());
        }
        return tables;
    }

    int num_signals_;
    DeviceBuffer buffer_;
};

// The whole call of an operation of one kernel: checks, then Kernel over the pairs' rows or
// diagonals with the tables as its last argument, waited for.
template <auto Kernel, typename... Arguments>
void run_over_pairs(const std::vector<int>& lengths, const std::vector<int>& ref_lengths,
                    BlockRows rows, Arguments... arguments) {
    const PairBatch pairs = prepare_pairs(lengths, ref_lengths);
    const LaunchGeometry geometry = make_pair_geometry(pairs, rows);
    const DevicePairTables tables(pairs);
    launch_kernel<Kernel>(geometry.grid, geometry.block, 0, arguments..., tables.view());
    wait_for_device();
    check_kernel_execution();
}

}  // namespace orvane
