// Distance gradient: one thread per cell, mapped like the distance kernel; the sums over
// columns (per sample) and over all rows of all signals (per reference sample) are float
// atomics straight into the caller's buffers.
#include <cuda_runtime.h>

#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/manhattan_distance_gradient.h"

namespace orvane {

namespace {

// Differences closer to zero than this carry no gradient: there is no subgradient choice at
// a tie. The float32 value nearest to 1e-7.
constexpr float kSignDeadZone = 1e-7f;

// 0 inside the dead zone, otherwise the sign of z; a NaN difference stays NaN.
__device__ __forceinline__ float dead_zone_sign(float z) {
    if (fabsf(z) < kSignDeadZone) {
        return 0.0f;
    }
    if (z > 0.0f) {
        return 1.0f;
    }
    return z < 0.0f ? -1.0f : z;
}

}  // namespace

__global__ void __launch_bounds__(1024) manhattan_distance_gradient_kernel(
    const float* __restrict__ input_signals,      // in:  [sum N_k]
    const int* __restrict__ signal_offsets,       // in:  [B]
    const int* __restrict__ lengths,              // in:  [B] N_k
    const float* __restrict__ ref_signal,         // in:  [M]
    int ref_signal_length,                        // M
    const float* __restrict__ gradient_matrices,  // in:  [sum N_k * M], anti-diagonal
    float* __restrict__ input_gradients,          // out: [sum N_k], added to
    float* __restrict__ ref_gradients,            // out: [M], added to
    const int* __restrict__ matrix_offsets,       // in:  [B]
    int num_signals) {                            // B
    for_each_thread_cell<BlockRows::anti_diagonal>(
        lengths, ref_signal_length, matrix_offsets, num_signals, [&](const ThreadCell& cell) {
            const int sample = signal_offsets[cell.k] + cell.i;
            const float x = input_signals[sample];
            const float y = ref_signal[cell.j];
            const float g = gradient_matrices[cell.index()];
            atomicAdd(&input_gradients[sample], g * dead_zone_sign(x - y));
            atomicAdd(&ref_gradients[cell.j], g * dead_zone_sign(y - x));
        });
}

void calc_manhattan_distance_gradient(DeviceAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      DeviceAddress ref_signal, int ref_signal_length,
                                      DeviceAddress gradient_matrix, DeviceAddress input_gradients,
                                      DeviceAddress ref_gradients) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::needed);
    const LaunchGeometry geometry = make_launch_geometry(batch);
    const DeviceTables tables(batch);
    launch_kernel<manhattan_distance_gradient_kernel>(
        geometry.grid, geometry.block, 0, device_pointer<const float>(input_signal),
        tables.signal_offsets(), tables.lengths(), device_pointer<const float>(ref_signal),
        ref_signal_length, device_pointer<const float>(gradient_matrix),
        device_pointer<float>(input_gradients), device_pointer<float>(ref_gradients),
        tables.matrix_offsets(), batch.num_signals());
    wait_for_device();
    check_kernel_execution();
}

}  // namespace orvane
