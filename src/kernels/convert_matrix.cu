// Kernels and drivers that move batch matrices between the anti-diagonal layout and
// row-major order. One block per matrix row, one thread per column against one reference,
// threads serving several columns for pairs; values are copied bit for bit, float32 or
// float64 (the last row's extraction: float32 only).
#include <cuda_runtime.h>

#include "convert_matrix.h"
#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/pair_batch.cuh"

namespace orvane {

namespace {

// Which way a conversion copies a cell.
enum class Layout { to_square, to_antidiag };

template <Layout target, typename T, typename Cell>
__device__ __forceinline__ void copy_cell(const T* input, T* output, const Cell& cell) {
    if (target == Layout::to_square) {
        output[cell.row_major_index()] = input[cell.index()];
    } else {
        output[cell.index()] = input[cell.row_major_index()];
    }
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(1024) convert_antidiag_to_square_kernel(
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    const T* __restrict__ input,               // in:  [sum N_k * M], anti-diagonal
    T* __restrict__ output,                    // out: [sum N_k * M], row-major
    int num_signals,                           // B
    const int* __restrict__ matrix_offsets) {  // in:  [B]
    for_each_thread_cell<BlockRows::matrix_row>(
        lengths, ref_signal_length, matrix_offsets, num_signals,
        [&](const ThreadCell& cell) { copy_cell<Layout::to_square>(input, output, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) convert_square_to_antidiag_kernel(
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    const T* __restrict__ input,               // in:  [sum N_k * M], row-major
    T* __restrict__ output,                    // out: [sum N_k * M], anti-diagonal
    int num_signals,                           // B
    const int* __restrict__ matrix_offsets) {  // in:  [B]
    for_each_thread_cell<BlockRows::matrix_row>(
        lengths, ref_signal_length, matrix_offsets, num_signals,
        [&](const ThreadCell& cell) { copy_cell<Layout::to_antidiag>(input, output, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) convert_pair_antidiag_to_square_kernel(
    const T* __restrict__ input,  // in:  [sum N_k * M_k], anti-diagonal
    T* __restrict__ output,       // out: [sum N_k * M_k], row-major
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(
        pairs, [&](const PairCell& cell) { copy_cell<Layout::to_square>(input, output, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) convert_pair_square_to_antidiag_kernel(
    const T* __restrict__ input,  // in:  [sum N_k * M_k], row-major
    T* __restrict__ output,       // out: [sum N_k * M_k], anti-diagonal
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(
        pairs, [&](const PairCell& cell) { copy_cell<Layout::to_antidiag>(input, output, cell); });
}

__global__ void __launch_bounds__(1024) extract_last_row_antidiag_kernel(
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    const float* __restrict__ input,           // in:  [sum N_k * M], anti-diagonal
    float* __restrict__ output,                // out: [B * M], packed per signal
    int num_signals,                           // B
    const int* __restrict__ matrix_offsets) {  // in:  [B]
    ThreadCell cell;
    if (!thread_column(lengths, ref_signal_length, matrix_offsets, num_signals, cell)) {
        return;
    }
    cell.i = cell.matrix.rows - 1;
    output[cell.packed()] = input[cell.index()];
}

namespace {

enum class GridRows { every_row, last_row };

// Runs a conversion kernel of element type T over the batch.
template <typename T, auto Kernel>
void run_conversion(GridRows rows, const std::vector<int>& lengths, int ref_signal_length,
                    DeviceAddress input_matrix, DeviceAddress output_matrix) {
    const BatchTables batch = prepare_batch(lengths, ref_signal_length, SignalOffsets::not_needed);
    const LaunchGeometry geometry = rows == GridRows::every_row
                                        ? make_row_geometry(batch)
                                        : make_signal_geometry(batch, ref_signal_length);
    const DeviceTables tables(batch);
    const int num_signals = batch.num_signals();
    launch_kernel<Kernel>(geometry.grid, geometry.block, 0, tables.lengths(), ref_signal_length,
                          device_pointer<const T>(input_matrix), device_pointer<T>(output_matrix),
                          num_signals, tables.matrix_offsets());
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void antidiag_to_square(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                        DeviceAddress input_matrix, DeviceAddress output_matrix) {
    run_conversion<T, convert_antidiag_to_square_kernel<T>>(
        GridRows::every_row, input_signal_lengths, ref_signal_length, input_matrix, output_matrix);
}

template <typename T>
void square_to_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                        DeviceAddress input_matrix, DeviceAddress output_matrix) {
    run_conversion<T, convert_square_to_antidiag_kernel<T>>(
        GridRows::every_row, input_signal_lengths, ref_signal_length, input_matrix, output_matrix);
}

// Runs a conversion kernel of pairs of element type T over the batch.
template <typename T, auto Kernel>
void run_pair_conversion(const std::vector<int>& lengths, const std::vector<int>& ref_lengths,
                         DeviceAddress input_matrix, DeviceAddress output_matrix) {
    run_over_pairs<Kernel>(lengths, ref_lengths, BlockRows::matrix_row,
                           device_pointer<const T>(input_matrix), device_pointer<T>(output_matrix));
}

}  // namespace

void convert_antidiag_to_square(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                DeviceAddress input_matrix, DeviceAddress output_matrix) {
    antidiag_to_square<float>(input_signal_lengths, ref_signal_length, input_matrix, output_matrix);
}

void convert_antidiag_to_square_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, DeviceAddress input_matrix,
                                        DeviceAddress output_matrix) {
    antidiag_to_square<double>(input_signal_lengths, ref_signal_length, input_matrix,
                               output_matrix);
}

void convert_square_to_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                DeviceAddress input_matrix, DeviceAddress output_matrix) {
    square_to_antidiag<float>(input_signal_lengths, ref_signal_length, input_matrix, output_matrix);
}

void convert_square_to_antidiag_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, DeviceAddress input_matrix,
                                        DeviceAddress output_matrix) {
    square_to_antidiag<double>(input_signal_lengths, ref_signal_length, input_matrix,
                               output_matrix);
}

void convert_pair_antidiag_to_square(const std::vector<int>& input_signal_lengths,
                                     const std::vector<int>& ref_signal_lengths,
                                     DeviceAddress input_matrix, DeviceAddress output_matrix) {
    run_pair_conversion<float, convert_pair_antidiag_to_square_kernel<float>>(
        input_signal_lengths, ref_signal_lengths, input_matrix, output_matrix);
}

void convert_pair_antidiag_to_square_float64(const std::vector<int>& input_signal_lengths,
                                             const std::vector<int>& ref_signal_lengths,
                                             DeviceAddress input_matrix,
                                             DeviceAddress output_matrix) {
    run_pair_conversion<double, convert_pair_antidiag_to_square_kernel<double>>(
        input_signal_lengths, ref_signal_lengths, input_matrix, output_matrix);
}

void convert_pair_square_to_antidiag(const std::vector<int>& input_signal_lengths,
                                     const std::vector<int>& ref_signal_lengths,
                                     DeviceAddress input_matrix, DeviceAddress output_matrix) {
    run_pair_conversion<float, convert_pair_square_to_antidiag_kernel<float>>(
        input_signal_lengths, ref_signal_lengths, input_matrix, output_matrix);
}

void convert_pair_square_to_antidiag_float64(const std::vector<int>& input_signal_lengths,
                                             const std::vector<int>& ref_signal_lengths,
                                             DeviceAddress input_matrix,
                                             DeviceAddress output_matrix) {
    run_pair_conversion<double, convert_pair_square_to_antidiag_kernel<double>>(
        input_signal_lengths, ref_signal_lengths, input_matrix, output_matrix);
}

void extract_last_row_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               DeviceAddress input_matrix, DeviceAddress output_matrix) {
    run_conversion<float, extract_last_row_antidiag_kernel>(
        GridRows::last_row, input_signal_lengths, ref_signal_length, input_matrix, output_matrix);
}

}  // namespace orvane
