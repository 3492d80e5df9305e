// Distance gradient: threads mapped like the distance kernels'; the sums over columns (per
// sample) and over rows (per reference sample: of all signals against one reference, of its
// own signal for a pair) are atomics straight into the caller's buffers. Written once over
// the element type: float32 and float64 buffers.
#include <cuda_runtime.h>

#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/manhattan_distance_gradient.h"
#include "kernels/pair_batch.cuh"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

namespace {

// The cell's gradient G times the sign of its difference, added to its sample's and its
// reference sample's gradients.
template <typename T, typename Cell>
__device__ __forceinline__ void add_distance_gradient(
    const T* input_signals, const int* signal_offsets, const T* ref_signals,
    const T* gradient_matrices, T* input_gradients, T* ref_gradients, const Cell& cell) {
    const int sample = signal_offsets[cell.k] + cell.i;
    const T x = input_signals[sample];
    const T y = ref_signals[cell.reference()];
    const T g = gradient_matrices[cell.index()];
    atomicAdd(&input_gradients[sample], g * dead_zone_sign(x - y));
    atomicAdd(&ref_gradients[cell.reference()], g * dead_zone_sign(y - x));
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
            add_distance_gradient(input_signals, signal_offsets, ref_signal, gradient_matrices,
                                  input_gradients, ref_gradients, cell);
        });
}

template <typename T>
__global__ void __launch_bounds__(1024) manhattan_pair_distance_gradient_kernel(
    const T* __restrict__ input_signals,      // in:  [sum N_k]
    const T* __restrict__ ref_signals,        // in:  [sum M_k], pair k's from ref_offsets[k]
    const T* __restrict__ gradient_matrices,  // in:  [sum N_k * M_k], anti-diagonal
    T* __restrict__ input_gradients,          // out: [sum N_k], added to
    T* __restrict__ ref_gradients,            // out: [sum M_k], each pair's own, added to
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::anti_diagonal>(pairs, [&](const PairCell& cell) {
        add_distance_gradient(input_signals, pairs.signal_offsets, ref_signals, gradient_matrices,
                              input_gradients, ref_gradients, cell);
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

template <typename T>
void manhattan_pair_distance_gradient(DeviceAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      DeviceAddress ref_signal,
                                      const std::vector<int>& ref_signal_lengths,
                                      DeviceAddress gradient_matrix, DeviceAddress input_gradients,
                                      DeviceAddress ref_gradients) {
    run_over_pairs<manhattan_pair_distance_gradient_kernel<T>>(
        input_signal_lengths, ref_signal_lengths, BlockRows::anti_diagonal,
        device_pointer<const T>(input_signal), device_pointer<const T>(ref_signal),
        device_pointer<const T>(gradient_matrix), device_pointer<T>(input_gradients),
        device_pointer<T>(ref_gradients));
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

void calc_manhattan_pair_distance_gradient(
    DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
    DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,
    DeviceAddress gradient_matrix, DeviceAddress input_gradients, DeviceAddress ref_gradients) {
    manhattan_pair_distance_gradient<float>(input_signal, input_signal_lengths, ref_signal,
                                            ref_signal_lengths, gradient_matrix, input_gradients,
                                            ref_gradients);
}

void calc_manhattan_pair_distance_gradient_float64(
    DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
    DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,
    DeviceAddress gradient_matrix, DeviceAddress input_gradients, DeviceAddress ref_gradients) {
    manhattan_pair_distance_gradient<double>(input_signal, input_signal_lengths, ref_signal,
                                             ref_signal_lengths, gradient_matrix, input_gradients,
                                             ref_gradients);
}

}  // namespace orvane
