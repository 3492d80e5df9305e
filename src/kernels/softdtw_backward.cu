// Soft-DTW backward pass: the forward wavefront run from the last anti-diagonal to the first.
// Each cell's gradient gathers its successors' gradients (down, diagonal, right), weighted by
// how much each successor's score depends on this cell's. With a free end, terminal cells
// also receive their share of the final soft minimum.
#include <cuda_runtime.h>

#include <stdexcept>

#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/softdtw_backward.h"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

namespace {

// A cell of the sweep: its row, its diagonal, and where that diagonal and the two after it
// (whose gradients are done) start.
struct SweepCell {
    int i;
    int d;
    WavefrontStarts starts;
};

// One signal's matrices as the backward sweep of one thread sees them.
struct BackwardSweep {
    const float* distance;
    const float* score;
    float* gradient;
    AntidiagMatrix matrix;
    float bias;
    float inv_gamma;

    __device__ __forceinline__ std::int64_t index(const SweepCell& cell) const {
        return matrix.cell_on(cell.d, cell.starts.here, cell.i);
    }

    // e plus the gradient flowing back from every successor of (i, j) inside the matrix:
    // down and right on the next diagonal, diagonally on the one after.
    __device__ __forceinline__ float add_successors(float e, const SweepCell& cell, int j,
                                                    float r) const {
        const bool has_down = cell.i + 1 < matrix.rows;
        const bool has_right = j + 1 < matrix.cols;
        if (has_down) {
            e = add_successor(e, matrix.cell_on(cell.d + 1, cell.starts.near, cell.i + 1), r);
        }
        if (has_down && has_right) {
            e = add_successor(e, matrix.cell_on(cell.d + 2, cell.starts.far, cell.i + 1), r);
        }
        if (has_right) {
            e = add_successor(e, matrix.cell_on(cell.d + 1, cell.starts.near, cell.i), r);
        }
        return e;
    }

    __device__ __forceinline__ float add_successor(float e, std::int64_t s, float r) const {
        const float weight = get_gradient(score[s], r, distance[s] - bias, inv_gamma);
        return fmaf(gradient[s], weight, e);
    }

    // Runs the diagonals from last to first; cell_gradient(cell) gives each cell's value.
    template <typename CellGradient>
    __device__ __forceinline__ void run(int j, CellGradient cell_gradient) const {
        WavefrontStarts starts;
        for (int d = matrix.rows + matrix.cols - 2; d >= 0; --d) {
            starts.reach(diagonal_start(d, matrix.rows, matrix.cols));
            const int i = d - j;
            if (i >= 0 && i < matrix.rows) {
                const SweepCell cell{i, d, starts};
                gradient[index(cell)] = cell_gradient(cell);
            }
            __syncthreads();
        }
    }
};

// The sweep of the running thread's column of its block's signal; false for threads outside
// the batch, which take no part.
__device__ __forceinline__ bool begin_sweep(const int* lengths, int ref_signal_length,
                                            const float* distance_matrices,
                                            const float* score_matrices, float* gradient_matrices,
                                            const int* matrix_offsets, int num_signals, float gamma,
                                            const float* alpha, BackwardSweep& sweep) {
    const int k = blockIdx.x;
    const int j = threadIdx.x;
    if (j >= ref_signal_length || k >= num_signals) {
        return false;
    }
    sweep = BackwardSweep{distance_matrices,
                          score_matrices,
                          gradient_matrices,
                          AntidiagMatrix{matrix_offsets[k], lengths[k], ref_signal_length},
                          alpha != nullptr ? alpha[k] : 0.0f,
                          1.0f / gamma};
    return sweep.matrix.rows + ref_signal_length >= 2;
}

}  // namespace

__global__ void __launch_bounds__(1024) softdtw_backward_kernel(
    const int* __restrict__ lengths,              // in:  [B] N_k
    int ref_signal_length,                        // M
    const float* __restrict__ distance_matrices,  // in:  [sum N_k * M], anti-diagonal
    const float* __restrict__ score_matrices,     // in:  [sum N_k * M], anti-diagonal
    float* __restrict__ gradient_matrices,        // out: [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,       // in:  [B]
    int num_signals,                              // B
    float gamma,
    const float* __restrict__ alpha) {  // in:  [B], or null
    BackwardSweep sweep;
    if (!begin_sweep(lengths, ref_signal_length, distance_matrices, score_matrices,
                     gradient_matrices, matrix_offsets, num_signals, gamma, alpha, sweep)) {
        return;
    }
    const int j = threadIdx.x;
    const int n = sweep.matrix.rows;
    const int last_diagonal = n + ref_signal_length - 2;
    const std::int64_t last_cell = sweep.matrix.cell(n - 1, ref_signal_length - 1);
    sweep.run(j, [&](const SweepCell& cell) {
        // The final score is the last cell's: its gradient is 1 and the cells next to it
        // have it as their only successor.
        if (cell.d == last_diagonal) {
            return 1.0f;
        }
        const float r = sweep.score[sweep.index(cell)];
        if (cell.d == last_diagonal - 1) {
            return get_gradient(sweep.score[last_cell], r, sweep.distance[last_cell] - sweep.bias,
                                sweep.inv_gamma);
        }
        return sweep.add_successors(0.0f, cell, j, r);
    });
}

__global__ void __launch_bounds__(1024) softdtw_local_backward_kernel(
    const int* __restrict__ lengths,              // in:  [B] N_k
    int ref_signal_length,                        // M
    const float* __restrict__ distance_matrices,  // in:  [sum N_k * M], anti-diagonal
    const float* __restrict__ score_matrices,     // in:  [sum N_k * M], anti-diagonal
    float* __restrict__ gradient_matrices,        // out: [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,       // in:  [B]
    int num_signals,                              // B
    float gamma,
    const float* __restrict__ alpha,   // in:  [B], or null
    const float* __restrict__ scores,  // in:  [B] final scores
    bool last_row_only, float ref_gap_penalty) {
    BackwardSweep sweep;
    if (!begin_sweep(lengths, ref_signal_length, distance_matrices, score_matrices,
                     gradient_matrices, matrix_offsets, num_signals, gamma, alpha, sweep)) {
        return;
    }
    const int j = threadIdx.x;
    const int n = sweep.matrix.rows;
    const float final_score = scores[blockIdx.x];
    const float column_penalty = static_cast<float>(j) * ref_gap_penalty;
    const bool terminal_column = j == ref_signal_length - 1 && !last_row_only;
    sweep.run(j, [&](const SweepCell& cell) {
        const float r = sweep.score[sweep.index(cell)];
        float e = 0.0f;
        // A terminal's share of the free-end soft minimum.
        if (cell.i == n - 1 || terminal_column) {
            float t = column_penalty + r;
            t = final_score - t;
            t = sweep.inv_gamma * t;
            e = expf(t);
        }
        return sweep.add_successors(e, cell, j, r);
    });
}

void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           DeviceAddress distance_matrix, DeviceAddress score_matrix,
                           DeviceAddress gradient_matrix, double requested_gamma,
                           DeviceAddress alpha, bool local_end, DeviceAddress scores,
                           bool last_row_only, double requested_ref_gap_penalty) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::not_needed);
    if (local_end && scores == 0) {
        throw std::runtime_error(
            "calc_softdtw_backward: scores_ptr is required when local_end is true");
    }
    const float gamma = checked_gamma(requested_gamma);
    const float ref_gap_penalty = checked_ref_gap_penalty(requested_ref_gap_penalty, local_end);
    const LaunchGeometry wavefront = make_signal_geometry(batch, ref_signal_length);
    const DeviceTables tables(batch);
    const auto distance = device_pointer<const float>(distance_matrix);
    const auto score = device_pointer<const float>(score_matrix);
    const auto gradient = device_pointer<float>(gradient_matrix);
    if (local_end) {
        launch_kernel<softdtw_local_backward_kernel>(
            wavefront.grid, wavefront.block, 0, tables.lengths(), ref_signal_length, distance,
            score, gradient, tables.matrix_offsets(), batch.num_signals(), gamma,
            device_pointer<const float>(alpha), device_pointer<const float>(scores), last_row_only,
            ref_gap_penalty);
    } else {
        launch_kernel<softdtw_backward_kernel>(wavefront.grid, wavefront.block, 0, tables.lengths(),
                                               ref_signal_length, distance, score, gradient,
                                               tables.matrix_offsets(), batch.num_signals(), gamma,
                                               device_pointer<const float>(alpha));
    }
    wait_for_device();
    check_kernel_execution();
}

}  // namespace orvane
