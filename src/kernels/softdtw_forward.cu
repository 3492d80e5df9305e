// Soft-DTW forward pass. The score recurrence runs as a wavefront: one block per signal, one
// thread per reference column, the anti-diagonals in increasing order with a block barrier
// after each, so a cell only reads diagonals finished before an earlier barrier. The final
// scores come from a second kernel: the last cell, or a soft minimum over the free-end
// terminals reduced in shared memory.
#include <cuda_runtime.h>

#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/softdtw_forward.h"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

__global__ void __launch_bounds__(1024) softdtw_forward_kernel(
    const int* __restrict__ lengths,              // in:  [B] N_k
    int ref_signal_length,                        // M
    const float* __restrict__ distance_matrices,  // in:  [sum N_k * M], anti-diagonal
    float* __restrict__ score_matrices,           // out: [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,       // in:  [B]
    int num_signals,                              // B
    float gamma,
    const float* __restrict__ alpha) {  // in:  [B], or null
    const int k = blockIdx.x;
    const int j = threadIdx.x;
    if (j >= ref_signal_length || k >= num_signals) {
        return;
    }
    const float inv_gamma = 1.0f / gamma;
    const float bias = alpha != nullptr ? alpha[k] : 0.0f;
    const int n = lengths[k];
    const AntidiagMatrix matrix{matrix_offsets[k], n, ref_signal_length};
    const auto scaled_score = [&](std::int64_t cell) {
        return -(inv_gamma * score_matrices[cell]);
    };
    WavefrontStarts starts;
    for (int d = 0; d < n + ref_signal_length - 1; ++d) {
        starts.reach(diagonal_start(d, n, ref_signal_length));
        const int i = d - j;
        if (i >= 0 && i < n) {
            const std::int64_t here = matrix.cell_on(d, starts.here, i);
            const float cost = distance_matrices[here] - bias;
            float value = cost;
            if (d > 0) {
                const float up =
                    i >= 1 ? scaled_score(matrix.cell_on(d - 1, starts.near, i - 1)) : -INFINITY;
                const float diagonal = i >= 1 && j >= 1
                                           ? scaled_score(matrix.cell_on(d - 2, starts.far, i - 1))
                                           : -INFINITY;
                const float left =
                    j >= 1 ? scaled_score(matrix.cell_on(d - 1, starts.near, i)) : -INFINITY;
                value = cost + calculate_softmin(up, diagonal, left, gamma);
            }
            score_matrices[here] = value;
        }
        __syncthreads();
    }
}

__global__ void __launch_bounds__(1) get_final_scores_kernel(
    const float* __restrict__ score_matrices,  // in:  [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,    // in:  [B]
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    float* __restrict__ scores,                // out: [B]
    int num_signals) {                         // B
    const int k = blockIdx.x;
    if (k >= num_signals) {
        return;
    }
    const int n = lengths[k];
    const AntidiagMatrix matrix{matrix_offsets[k], n, ref_signal_length};
    scores[k] = score_matrices[matrix.cell(n - 1, ref_signal_length - 1)];
}

__global__ void __launch_bounds__(1024) softdtw_local_end_reducer_kernel(
    const float* __restrict__ score_matrices,  // in:  [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,    // in:  [B]
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    float* __restrict__ scores,                // out: [B]
    int num_signals,                           // B
    float gamma, bool last_row_only, float ref_gap_penalty) {
    const int k = blockIdx.x;
    if (k >= num_signals) {
        return;
    }
    const int n = lengths[k];
    const FreeEndTerminals<float> terminals{
        score_matrices, AntidiagMatrix{matrix_offsets[k], n, ref_signal_length}, 1.0f / gamma,
        ref_gap_penalty, FreeEndTerminals<float>::count_of(n, ref_signal_length, last_row_only)};
    reduce_free_end(terminals, dynamic_shared_memory<float>(), static_cast<int>(blockDim.x), gamma,
                    scores[k]);
}

void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          DeviceAddress distance_matrix, DeviceAddress score_matrix,
                          DeviceAddress scores, double requested_gamma, DeviceAddress alpha,
                          bool local_end, bool last_row_only, double requested_ref_gap_penalty) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::not_needed);
    const float gamma = checked_gamma(requested_gamma);
    const float ref_gap_penalty = checked_ref_gap_penalty(requested_ref_gap_penalty, local_end);
    const LaunchGeometry wavefront = make_signal_geometry(batch, ref_signal_length);
    const DeviceTables tables(batch);

    launch_kernel<softdtw_forward_kernel>(
        wavefront.grid, wavefront.block, 0, tables.lengths(), ref_signal_length,
        device_pointer<const float>(distance_matrix), device_pointer<float>(score_matrix),
        tables.matrix_offsets(), batch.num_signals(), gamma, device_pointer<const float>(alpha));
    wait_for_device();
    if (local_end) {
        launch_kernel<softdtw_local_end_reducer_kernel>(
            wavefront.grid, wavefront.block, ref_signal_length * sizeof(float),
            device_pointer<const float>(score_matrix), tables.matrix_offsets(), tables.lengths(),
            ref_signal_length, device_pointer<float>(scores), batch.num_signals(), gamma,
            last_row_only, ref_gap_penalty);
    } else {
        const LaunchGeometry last_cell = make_signal_geometry(batch, 1);
        launch_kernel<get_final_scores_kernel>(
            last_cell.grid, last_cell.block, 0, device_pointer<const float>(score_matrix),
            tables.matrix_offsets(), tables.lengths(), ref_signal_length,
            device_pointer<float>(scores), batch.num_signals());
    }
    wait_for_device();
    check_kernel_execution();
}

}  // namespace orvane
