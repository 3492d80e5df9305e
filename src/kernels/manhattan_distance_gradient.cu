// Distance gradient: one thread per cell, mapped like the distance kernel; the sums over
// columns (per sample) and over all rows of all signals (per reference sample) are atomics
// straight into the caller's buffers. Written once over the element type: float32 and
// float64 buffers.
#include <cuda_runtime.h>

#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/manhattan_distance_gradient.h"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

namespace {

// Differences closer to zero than this carry no gradient: there is no subgradient choice at
// a tie. The float32 value nearest to 1e-7, on either element type (as in orvane_cpu).
constexpr float kSignDeadZone = 1e-7f;

// 0 inside the dead zone, otherwise the sign of z; a NaN difference stays NaN.
template <typename T>
__device__ __forceinline__ T dead_zone_sign(T z) {
    if (magnitude_of(z) < static_cast<T>(kSignDeadZone)) {
        return T(0);
    }
    if (z > T(0)) {
        return T(1);
    }
    return z < T(0) ? T(-1) : z;
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(1024) manhattan_distance_gradient_kernel(
    const T* __restrict__ input_signals,      // in:  [sum N_k]
    const int* __restrict__ signal_offsets,   // in:  [B]
    const int* __restrict__ lengths,          // in:  [B] N_k
    const T* __restrict__ ref_signal,         // in:  [M]
    int ref_signal_length,                    // M
    const T* __restrict__ gradient_matrices,  // in:  [sum N_k * M], anti-diagonal
    T* __restrict__ input_gradients,          // out: [sum N_k], added to
    T* __restrict__ ref_gradients,            // out: [M], added to
    const int* __restrict__ matrix_offsets,   // in:  [B]
    int num_signals) {                        // B
    for_each_thread_cell<BlockRows::anti_diagonal>(
        lengths, ref_signal_length, matrix_offsets, num_signals, [&](const ThreadCell& cell) {
            const int sample = signal_offsets[cell.k] + cell.i;
            const T x = input_signals[sample];
            const T y = ref_signal[cell.j];
            const T g = gradient_matrices[cell.index()];
            atomicAdd(&input_gradients[sample], g * dead_zone_sign(x - y));
            atomicAdd(&ref_gradients[cell.j], g * dead_zone_sign(y - x));
        });
}

namespace {

template <typename T>
void manhattan_distance_gradient(DeviceAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 DeviceAddress ref_signal, int ref_signal_length,
                                 DeviceAddress gradient_matrix, DeviceAddress input_gradients,
                                 DeviceAddress ref_gradients) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::needed);
    const LaunchGeometry geometry = make_launch_geometry(batch);
    const DeviceTables tables(batch);
    launch_kernel<manhattan_distance_gradient_kernel<T>>(
        geometry.grid, geometry.block, 0, device_pointer<const T>(input_signal),
        tables.signal_offsets(), tables.lengths(), device_pointer<const T>(ref_signal),
        ref_signal_length, device_pointer<const T>(gradient_matrix),
        device_pointer<T>(input_gradients), device_pointer<T>(ref_gradients),
        tables.matrix_offsets(), batch.num_signals());
    wait_for_device();
    check_kernel_execution();
}

}  // namespace

void calc_manhattan_distance_gradient(DeviceAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      DeviceAddress ref_signal, int ref_signal_length,
                                      DeviceAddress gradient_matrix, DeviceAddress input_gradients,
                                      DeviceAddress ref_gradients) {
    manhattan_distance_gradient<float>(input_signal, input_signal_lengths, ref_signal,
                                       ref_signal_length, gradient_matrix, input_gradients,
                                       ref_gradients);
}

void calc_manhattan_distance_gradient_float64(DeviceAddress input_signal,
                                              const std::vector<int>& input_signal_lengths,
                                              DeviceAddress ref_signal, int ref_signal_length,
                                              DeviceAddress gradient_matrix,
                                              DeviceAddress input_gradients,
                                              DeviceAddress ref_gradients) {
    manhattan_distance_gradient<double>(input_signal, input_signal_lengths, ref_signal,
                                        ref_signal_length, gradient_matrix, input_gradients,
                                        ref_gradients);
}

}  // namespace orvane
