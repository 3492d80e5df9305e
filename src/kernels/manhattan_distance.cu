// Distance matrices: block x the signal, block y the anti-diagonal, so the threads of a
// block store one diagonal's consecutive cells; one thread per cell against one reference,
// threads serving several columns for pairs. Written once over the element type: float32
// and float64 buffers.
#include <cuda_runtime.h>

#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/manhattan_distance.h"
#include "kernels/pair_batch.cuh"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

namespace {

// |x_k[i] - y[j]|, stored in the cell.
template <typename T, typename Cell>
__device__ __forceinline__ void store_distance(const T* input_signals, const int* signal_offsets,
                                               const T* ref_signals, T* distance_matrices,
                                               const Cell& cell) {
    const T difference =
        input_signals[signal_offsets[cell.k] + cell.i] - ref_signals[cell.reference()];
    distance_matrices[cell.index()] = magnitude_of(difference);
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(1024) manhattan_distance_antidiag_kernel(
    const T* __restrict__ input_signals,     // in:  [sum N_k]
    const int* __restrict__ signal_offsets,  // in:  [B]
    const int* __restrict__ lengths,         // in:  [B] N_k
    const T* __restrict__ ref_signal,        // in:  [M]
    int ref_signal_length,                   // M
    T* __restrict__ distance_matrices,       // out: [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,  // in:  [B]
    int num_signals) {                       // B
    for_each_thread_cell<BlockRows::anti_diagonal>(
        lengths, ref_signal_length, matrix_offsets, num_signals, [&](const ThreadCell& cell) {
            store_distance(input_signals, signal_offsets, ref_signal, distance_matrices, cell);
        });
}

template <typename T>
__global__ void __launch_bounds__(1024) manhattan_pair_distance_antidiag_kernel(
    const T* __restrict__ input_signals,  // in:  [sum N_k]
    const T* __restrict__ ref_signals,    // in:  [sum M_k], pair k's from ref_offsets[k]
    T* __restrict__ distance_matrices,    // out: [sum N_k * M_k], anti-diagonal
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::anti_diagonal>(pairs, [&](const PairCell& cell) {
        store_distance(input_signals, pairs.signal_offsets, ref_signals, distance_matrices, cell);
    });
}

namespace {

template <typename T>
void manhattan_distance(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                        DeviceAddress ref_signal, int ref_signal_length,
                        DeviceAddress distance_matrix) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::needed);
    const LaunchGeometry geometry = make_launch_geometry(batch);
    const DeviceTables tables(batch);
    launch_kernel<manhattan_distance_antidiag_kernel<T>>(
        geometry.grid, geometry.block, 0, device_pointer<const T>(input_signal),
        tables.signal_offsets(), tables.lengths(), device_pointer<const T>(ref_signal),
        ref_signal_length, device_pointer<T>(distance_matrix), tables.matrix_offsets(),
        batch.num_signals());
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void manhattan_pair_distance(DeviceAddress input_signal,
                             const std::vector<int>& input_signal_lengths, DeviceAddress ref_signal,
                             const std::vector<int>& ref_signal_lengths,
                             DeviceAddress distance_matrix) {
    run_over_pairs<manhattan_pair_distance_antidiag_kernel<T>>(
        input_signal_lengths, ref_signal_lengths, BlockRows::anti_diagonal,
        device_pointer<const T>(input_signal), device_pointer<const T>(ref_signal),
        device_pointer<T>(distance_matrix));
}

}  // namespace

void calc_manhattan_distance(DeviceAddress input_signal,
                             const std::vector<int>& input_signal_lengths, DeviceAddress ref_signal,
                             int ref_signal_length, DeviceAddress distance_matrix) {
    manhattan_distance<float>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                              distance_matrix);
}

void calc_manhattan_distance_float64(DeviceAddress input_signal,
                                     const std::vector<int>& input_signal_lengths,
                                     DeviceAddress ref_signal, int ref_signal_length,
                                     DeviceAddress distance_matrix) {
    manhattan_distance<double>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                               distance_matrix);
}

void calc_manhattan_pair_distance(DeviceAddress input_signal,
                                  const std::vector<int>& input_signal_lengths,
                                  DeviceAddress ref_signal,
                                  const std::vector<int>& ref_signal_lengths,
                                  DeviceAddress distance_matrix) {
    manhattan_pair_distance<float>(input_signal, input_signal_lengths, ref_signal,
                                   ref_signal_lengths, distance_matrix);
}

void calc_manhattan_pair_distance_float64(DeviceAddress input_signal,
                                          const std::vector<int>& input_signal_lengths,
                                          DeviceAddress ref_signal,
                                          const std::vector<int>& ref_signal_lengths,
                                          DeviceAddress distance_matrix) {
    manhattan_pair_distance<double>(input_signal, input_signal_lengths, ref_signal,
                                    ref_signal_lengths, distance_matrix);
}

}  // namespace orvane
