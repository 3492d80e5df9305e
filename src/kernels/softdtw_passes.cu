// Soft-DTW forward and backward wavefronts whose threads serve several reference columns each:
// thread t of a block of T threads takes columns t, t + T, t + 2T, ... of its block's signal,
// so a reference may be longer than a block's threads, and every signal may have a reference
// of its own (pairs, a block a pair). One block per signal and a barrier per diagonal, as the
// kernels of one thread per column. Each path is one set of types and steps (the *Path
// structs of softdtw_paths.cuh), the kernels written once over it:
// - Float32Path: the kernels' own steps (softdtw_steps.cuh), so that with a block of M
//   threads the results are theirs bit for bit;
// - MixedPath: float32 distances, alpha and gradients, R held in float64; every difference of
//   scores is formed in float64 and rounded to float32, the exponentials, logarithms and sums
//   stay float32;
// - Float64Path: the float32 steps in float64.
// The mixed and float64 backward passes weigh a successor's gradient by the cell's share of
// the successor's soft minimum, normalised so that the shares of one successor add up to one
// (their error then does not grow along a path, as the float32 weights' does): each cell forms
// its predecessors' shares once, and publishes them in a ring of three diagonals in global
// memory, where the predecessors read them one and two diagonals later.
#include <cuda_runtime.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/batch_checks.h"
#include "common/free_end_terminals.h"
#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/pair_batch.cuh"
#include "kernels/softdtw_passes.h"
#include "kernels/softdtw_paths.cuh"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

namespace {

// Shares of a cell's up, corner and left predecessors, as the ring holds them.
enum Share { kUp, kCorner, kLeft, kShares };
// Diagonals of shares the ring holds: those of the two diagonals a cell reads, and its own.
constexpr int kRingDiagonals = 3;

// A block's signal and the part of the batch it reads; false for blocks outside the batch.
// Threads beyond a shorter reference's columns stay, serving no column, since every thread
// of the block must reach its barriers.
struct BlockPair {
    int k;
    AntidiagMatrix matrix;
    int ref_offset;  // where signal k's reference starts among all references' samples
};

__device__ __forceinline__ bool block_pair(const int* lengths, const int* ref_lengths,
                                           const int* matrix_offsets, const int* ref_offsets,
                                           int num_signals, BlockPair& pair) {
    const int k = blockIdx.x;
    if (k >= num_signals) {
        return false;
    }
    pair = BlockPair{k, AntidiagMatrix{matrix_offsets[k], lengths[k], ref_lengths[k]},
                     ref_offsets == nullptr ? 0 : ref_offsets[k]};
    return true;
}

// Where diagonal d of a sweep and the two on either side of it start.
struct DiagonalStarts {
    int far_before = 0;  // d - 2
    int before = 0;      // d - 1
    int here = 0;
    int after = 0;      // d + 1
    int far_after = 0;  // d + 2
};

// Runs each body(i, j, d, starts) in turn over the running thread's cells of each
// anti-diagonal of a rows x cols matrix, first to last (kForward) or last to first, with a
// block barrier after each diagonal, which every thread of the block reaches. Each
// diagonal's start is computed once, as the sweep reaches its neighbourhood.
template <bool kForward, typename... Bodies>
__device__ __forceinline__ void for_each_own_cell(int rows, int cols, Bodies... bodies) {
    const int first = threadIdx.x;
    const int stride = blockDim.x;
    const int diagonals = rows + cols - 1;
    const auto start_of = [&](int d) { return d >= 0 ? diagonal_start(d, rows, cols) : 0; };
    DiagonalStarts starts;
    if (!kForward) {
        starts.before = start_of(diagonals - 1);
        starts.far_before = start_of(diagonals - 2);
    }
    for (int step = 0; step < diagonals; ++step) {
        const int d = kForward ? step : diagonals - 1 - step;
        if (kForward) {
            starts = DiagonalStarts{starts.before, starts.here, start_of(d), 0, 0};
        } else {
            starts = DiagonalStarts{start_of(d - 2), starts.far_before, starts.before, starts.here,
                                    starts.after};
        }
        const int lowest = d - rows + 1 > 0 ? d - rows + 1 : 0;
        const int highest = d < cols - 1 ? d : cols - 1;
        const int own_lowest =
            first >= lowest ? first : first + (lowest - first + stride - 1) / stride * stride;
        const auto sweep = [&](auto& body) {
            for (int j = own_lowest; j <= highest; j += stride) {
                body(d - j, j, d, starts);
            }
        };
        (sweep(bodies), ...);
        __syncthreads();
    }
}

template <class Path>
__global__ void __launch_bounds__(Path::kMaxThreads) softdtw_forward_columns_kernel(
    const int* __restrict__ lengths,                            // in:  [B] N_k
    const int* __restrict__ ref_lengths,                        // in:  [B] M_k
    const typename Path::Data* __restrict__ distance_matrices,  // in:  [sum N_k * M_k]
    typename Path::Score* __restrict__ score_matrices,          // out: [sum N_k * M_k]
    const int* __restrict__ matrix_offsets,                     // in:  [B]
    int num_signals,                                            // B
    typename Path::Data gamma,
    const typename Path::Data* __restrict__ alpha) {  // in:  [B], or null
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    BlockPair pair;
    if (!block_pair(lengths, ref_lengths, matrix_offsets, nullptr, num_signals, pair)) {
        return;
    }
    const AntidiagMatrix matrix = pair.matrix;
    const Data inv_gamma = Data(1) / gamma;
    const Data bias = alpha != nullptr ? alpha[pair.k] : Data(0);
    const Score absent = Score(INFINITY);
    for_each_own_cell<true>(
        matrix.rows, matrix.cols, [&](int i, int j, int d, const DiagonalStarts& starts) {
            const std::int64_t here = matrix.cell_on(d, starts.here, i);
            const Data cost = distance_matrices[here] - bias;
            Score value = cost;
            if (d > 0) {
                const Score up =
                    i >= 1 ? score_matrices[matrix.cell_on(d - 1, starts.before, i - 1)] : absent;
                const Score corner =
                    i >= 1 && j >= 1
                        ? score_matrices[matrix.cell_on(d - 2, starts.far_before, i - 1)]
                        : absent;
                const Score left =
                    j >= 1 ? score_matrices[matrix.cell_on(d - 1, starts.before, i)] : absent;
                value = path_cell<Path>(cost, up, corner, left, gamma, inv_gamma);
            }
            score_matrices[here] = value;
        });
}

// The final scores: the last cell, or the free-end soft minimum over the terminals, reduced
// by the block's threads in the score type.
template <class Path>
__global__ void __launch_bounds__(Path::kMaxThreads) softdtw_final_scores_columns_kernel(
    const typename Path::Score* __restrict__ score_matrices,  // in:  [sum N_k * M_k]
    const int* __restrict__ matrix_offsets,                   // in:  [B]
    const int* __restrict__ lengths,                          // in:  [B] N_k
    const int* __restrict__ ref_lengths,                      // in:  [B] M_k
    typename Path::Score* __restrict__ scores,                // out: [B]
    int num_signals,                                          // B
    typename Path::Data gamma, bool local_end, bool last_row_only,
    typename Path::Data ref_gap_penalty) {
    using Score = typename Path::Score;
    const int k = blockIdx.x;
    if (k >= num_signals) {
        return;
    }
    const AntidiagMatrix matrix{matrix_offsets[k], lengths[k], ref_lengths[k]};
    if (!local_end) {
        if (threadIdx.x == 0) {
            scores[k] = score_matrices[matrix.cell(matrix.rows - 1, matrix.cols - 1)];
        }
        return;
    }
    const Score score_gamma = gamma;
    const FreeEndTerminals<Score> terminals{
        score_matrices, matrix, Score(1) / score_gamma, static_cast<Score>(ref_gap_penalty),
        FreeEndTerminals<Score>::count_of(matrix.rows, matrix.cols, last_row_only)};
    reduce_free_end(terminals, dynamic_shared_memory<Score>(),
                    matrix.cols < kFoldWidth ? matrix.cols : kFoldWidth, score_gamma, scores[k]);
}

template <class Path>
__global__ void __launch_bounds__(Path::kMaxThreads) softdtw_backward_columns_kernel(
    const int* __restrict__ lengths,                            // in:  [B] N_k
    const int* __restrict__ ref_lengths,                        // in:  [B] M_k
    const typename Path::Data* __restrict__ distance_matrices,  // in:  [sum N_k * M_k]
    const typename Path::Score* __restrict__ score_matrices,    // in:  [sum N_k * M_k]
    typename Path::Gradient* __restrict__ gradient_matrices,    // out: [sum N_k * M_k]
    const int* __restrict__ matrix_offsets,                     // in:  [B]
    const int* __restrict__ ref_offsets,                        // in:  [B] sum of M before k
    int num_signals,                                            // B
    typename Path::Data gamma,
    const typename Path::Data* __restrict__ alpha,    // in:  [B], or null
    const typename Path::Score* __restrict__ scores,  // in:  [B], or null without a free end
    bool local_end, bool last_row_only, typename Path::Data ref_gap_penalty,
    void* __restrict__ share_ring) {  // scratch: [9 * sum M_k] shares, or null
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    using Gradient = typename Path::Gradient;
    BlockPair pair;
    if (!block_pair(lengths, ref_lengths, matrix_offsets, ref_offsets, num_signals, pair)) {
        return;
    }
    const AntidiagMatrix matrix = pair.matrix;
    const Data inv_gamma = Data(1) / gamma;
    const Data bias = alpha != nullptr ? alpha[pair.k] : Data(0);
    const Score* R = score_matrices;
    Gradient* E = gradient_matrices;
    // Signal k's part of the ring of shares (unused on the float32 path).
    using ShareType = typename std::conditional_t<Path::kShares, Path, Float64Path>::Share;
    ShareType* ring = static_cast<ShareType*>(share_ring) +
                      std::int64_t{kRingDiagonals} * kShares * pair.ref_offset;
    const auto slot = [&](int diagonal, Share which, int column) -> ShareType& {
        const int row = (diagonal % kRingDiagonals) * kShares + which;
        return ring[row * matrix.cols + column];
    };
    for_each_own_cell<false>(
        matrix.rows, matrix.cols,
        [&](int i, int j, int d, const DiagonalStarts& starts) {
            const std::int64_t here = matrix.cell_on(d, starts.here, i);
            const Score r = R[here];
            const bool has_down = i + 1 < matrix.rows;
            const bool has_right = j + 1 < matrix.cols;
            Gradient e = backward_start<Path>(matrix, i, j, r, inv_gamma, local_end, last_row_only,
                                              scores + pair.k, ref_gap_penalty);
            if constexpr (!Path::kShares) {
                const auto add = [&](std::int64_t s) {
                    const Gradient weight =
                        get_gradient(R[s], r, distance_matrices[s] - bias, inv_gamma);
                    e = fused_multiply_add(E[s], weight, e);
                };
                if (has_down) {
                    add(matrix.cell_on(d + 1, starts.after, i + 1));
                }
                if (has_down && has_right) {
                    add(matrix.cell_on(d + 2, starts.far_after, i + 1));
                }
                if (has_right) {
                    add(matrix.cell_on(d + 1, starts.after, i));
                }
                E[here] = e;
            } else {
                if (has_down) {
                    e = fused_multiply_add(E[matrix.cell_on(d + 1, starts.after, i + 1)],
                                           slot(d + 1, kUp, j), e);
                }
                if (has_down && has_right) {
                    e = fused_multiply_add(E[matrix.cell_on(d + 2, starts.far_after, i + 1)],
                                           slot(d + 2, kCorner, j + 1), e);
                }
                if (has_right) {
                    e = fused_multiply_add(E[matrix.cell_on(d + 1, starts.after, i)],
                                           slot(d + 1, kLeft, j + 1), e);
                }
                E[here] = e;
            }
        },
        [&](int i, int j, int d, const DiagonalStarts& starts) {
            // The cell's predecessors' shares of its own soft minimum, once its E is stored.
            if constexpr (Path::kShares) {
                if (d == 0) {
                    return;
                }
                const Score absent = Score(INFINITY);
                const PredecessorShares<ShareType> shares = predecessor_shares(
                    i >= 1 ? R[matrix.cell_on(d - 1, starts.before, i - 1)] : absent,
                    i >= 1 && j >= 1 ? R[matrix.cell_on(d - 2, starts.far_before, i - 1)] : absent,
                    j >= 1 ? R[matrix.cell_on(d - 1, starts.before, i)] : absent,
                    static_cast<ShareType>(inv_gamma));
                slot(d, kUp, j) = shares.up;
                slot(d, kCorner, j) = shares.corner;
                slot(d, kLeft, j) = shares.left;
            }
        });
}

// Values of scratch a backward pass that weighs by shares keeps per reference sample.
constexpr std::int64_t kRingValues = std::int64_t{kRingDiagonals} * kShares;

// One reference for the whole batch: the checks of the kernels of one thread per column,
// without their limit on M, and the tables of pairs of it.
PairBatch one_reference(const std::vector<int>& lengths, int ref_signal_length) {
    validate_lengths(lengths, ref_signal_length);
    check_batch_fits_int32(lengths, ref_signal_length);
    std::vector<int> ref_lengths(lengths.size(), ref_signal_length);
    check_pairs_fit_int32(lengths, ref_lengths, kRingValues);
    return make_pair_batch(lengths, std::move(ref_lengths));
}

PairBatch pairs(const std::vector<int>& lengths, const std::vector<int>& ref_signal_lengths) {
    return prepare_pairs(lengths, ref_signal_lengths, kRingValues);
}

template <class Path>
void forward_columns(const PairBatch& tables, DeviceAddress distance_matrix,
                     DeviceAddress score_matrix, DeviceAddress scores, double requested_gamma,
                     DeviceAddress alpha, bool local_end, bool last_row_only,
                     double requested_ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Data gamma = path_gamma<Path>(requested_gamma);
    const Data ref_gap_penalty = path_ref_gap_penalty<Path>(requested_ref_gap_penalty, local_end);
    const LaunchGeometry geometry = make_pair_signal_geometry(tables, Path::kMaxThreads);
    const DevicePairTables device_tables(tables);
    const PairTables device = device_tables.view();
    launch_kernel<softdtw_forward_columns_kernel<Path>>(
        geometry.grid, geometry.block, 0, device.lengths, device.ref_lengths,
        device_pointer<const Data>(distance_matrix), device_pointer<Score>(score_matrix),
        device.matrix_offsets, tables.num_signals(), gamma, device_pointer<const Data>(alpha));
    wait_for_device();
    launch_kernel<softdtw_final_scores_columns_kernel<Path>>(
        geometry.grid, geometry.block,
        local_end ? std::min(tables.longest_reference(), kFoldWidth) * sizeof(Score) : 0,
        device_pointer<const Score>(score_matrix), device.matrix_offsets, device.lengths,
        device.ref_lengths, device_pointer<Score>(scores), tables.num_signals(), gamma, local_end,
        last_row_only, ref_gap_penalty);
    wait_for_device();
    check_kernel_execution();
}

template <class Path>
void backward_columns(const PairBatch& tables, DeviceAddress distance_matrix,
                      DeviceAddress score_matrix, DeviceAddress gradient_matrix,
                      double requested_gamma, DeviceAddress alpha, bool local_end,
                      DeviceAddress scores, bool last_row_only, double requested_ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    if (local_end && scores == 0) {
        throw std::runtime_error(
            "calc_softdtw_backward: scores_ptr is required when local_end is true");
    }
    const Data gamma = path_gamma<Path>(requested_gamma);
    const Data ref_gap_penalty = path_ref_gap_penalty<Path>(requested_ref_gap_penalty, local_end);
    const LaunchGeometry geometry = make_pair_signal_geometry(tables, Path::kMaxThreads);
    const DevicePairTables device_tables(tables);
    const PairTables device = device_tables.view();
    DeviceBuffer ring;
    if constexpr (Path::kShares) {
        const std::int64_t samples = tables.reference_samples();
        ring = make_zeroed_device_buffer(static_cast<std::size_t>(kRingValues * samples) *
                                         sizeof(typename Path::Share));
    }
    launch_kernel<softdtw_backward_columns_kernel<Path>>(
        geometry.grid, geometry.block, 0, device.lengths, device.ref_lengths,
        device_pointer<const Data>(distance_matrix), device_pointer<const Score>(score_matrix),
        device_pointer<typename Path::Gradient>(gradient_matrix), device.matrix_offsets,
        device.ref_offsets, tables.num_signals(), gamma, device_pointer<const Data>(alpha),
        device_pointer<const Score>(scores), local_end, last_row_only, ref_gap_penalty,
        ring.get<void>());
    wait_for_device();
    check_kernel_execution();
}

}  // namespace

void calc_softdtw_forward_mixed(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                DeviceAddress scores, double gamma, DeviceAddress alpha,
                                bool local_end, bool last_row_only, double ref_gap_penalty) {
    forward_columns<MixedPath>(one_reference(input_signal_lengths, ref_signal_length),
                               distance_matrix, score_matrix, scores, gamma, alpha, local_end,
                               last_row_only, ref_gap_penalty);
}

void calc_softdtw_forward_float64(const std::vector<int>& input_signal_lengths,
                                  int ref_signal_length, DeviceAddress distance_matrix,
                                  DeviceAddress score_matrix, DeviceAddress scores, double gamma,
                                  DeviceAddress alpha, bool local_end, bool last_row_only,
                                  double ref_gap_penalty) {
    forward_columns<Float64Path>(one_reference(input_signal_lengths, ref_signal_length),
                                 distance_matrix, score_matrix, scores, gamma, alpha, local_end,
                                 last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward_mixed(const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, DeviceAddress distance_matrix,
                                 DeviceAddress score_matrix, DeviceAddress gradient_matrix,
                                 double gamma, DeviceAddress alpha, bool local_end,
                                 DeviceAddress scores, bool last_row_only, double ref_gap_penalty) {
    backward_columns<MixedPath>(one_reference(input_signal_lengths, ref_signal_length),
                                distance_matrix, score_matrix, gradient_matrix, gamma, alpha,
                                local_end, scores, last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward_float64(const std::vector<int>& input_signal_lengths,
                                   int ref_signal_length, DeviceAddress distance_matrix,
                                   DeviceAddress score_matrix, DeviceAddress gradient_matrix,
                                   double gamma, DeviceAddress alpha, bool local_end,
                                   DeviceAddress scores, bool last_row_only,
                                   double ref_gap_penalty) {
    backward_columns<Float64Path>(one_reference(input_signal_lengths, ref_signal_length),
                                  distance_matrix, score_matrix, gradient_matrix, gamma, alpha,
                                  local_end, scores, last_row_only, ref_gap_penalty);
}

void calc_softdtw_pair_forward(const std::vector<int>& input_signal_lengths,
                               const std::vector<int>& ref_signal_lengths,
                               DeviceAddress distance_matrix, DeviceAddress score_matrix,
                               DeviceAddress scores, double gamma, DeviceAddress alpha,
                               bool local_end, bool last_row_only, double ref_gap_penalty) {
    forward_columns<Float32Path>(pairs(input_signal_lengths, ref_signal_lengths), distance_matrix,
                                 score_matrix, scores, gamma, alpha, local_end, last_row_only,
                                 ref_gap_penalty);
}

void calc_softdtw_pair_forward_mixed(const std::vector<int>& input_signal_lengths,
                                     const std::vector<int>& ref_signal_lengths,
                                     DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                     DeviceAddress scores, double gamma, DeviceAddress alpha,
                                     bool local_end, bool last_row_only, double ref_gap_penalty) {
    forward_columns<MixedPath>(pairs(input_signal_lengths, ref_signal_lengths), distance_matrix,
                               score_matrix, scores, gamma, alpha, local_end, last_row_only,
                               ref_gap_penalty);
}

void calc_softdtw_pair_forward_float64(const std::vector<int>& input_signal_lengths,
                                       const std::vector<int>& ref_signal_lengths,
                                       DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                       DeviceAddress scores, double gamma, DeviceAddress alpha,
                                       bool local_end, bool last_row_only, double ref_gap_penalty) {
    forward_columns<Float64Path>(pairs(input_signal_lengths, ref_signal_lengths), distance_matrix,
                                 score_matrix, scores, gamma, alpha, local_end, last_row_only,
                                 ref_gap_penalty);
}

void calc_softdtw_pair_backward(const std::vector<int>& input_signal_lengths,
                                const std::vector<int>& ref_signal_lengths,
                                DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                DeviceAddress gradient_matrix, double gamma, DeviceAddress alpha,
                                bool local_end, DeviceAddress scores, bool last_row_only,
                                double ref_gap_penalty) {
    backward_columns<Float32Path>(pairs(input_signal_lengths, ref_signal_lengths), distance_matrix,
                                  score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                  last_row_only, ref_gap_penalty);
}

void calc_softdtw_pair_backward_mixed(const std::vector<int>& input_signal_lengths,
                                      const std::vector<int>& ref_signal_lengths,
                                      DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                      DeviceAddress gradient_matrix, double gamma,
                                      DeviceAddress alpha, bool local_end, DeviceAddress scores,
                                      bool last_row_only, double ref_gap_penalty) {
    backward_columns<MixedPath>(pairs(input_signal_lengths, ref_signal_lengths), distance_matrix,
                                score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                last_row_only, ref_gap_penalty);
}

void calc_softdtw_pair_backward_float64(const std::vector<int>& input_signal_lengths,
                                        const std::vector<int>& ref_signal_lengths,
                                        DeviceAddress distance_matrix, DeviceAddress score_matrix,
                                        DeviceAddress gradient_matrix, double gamma,
                                        DeviceAddress alpha, bool local_end, DeviceAddress scores,
                                        bool last_row_only, double ref_gap_penalty) {
    backward_columns<Float64Path>(pairs(input_signal_lengths, ref_signal_lengths), distance_matrix,
                                  score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                  last_row_only, ref_gap_penalty);
}

}  // namespace orvane
