// Alignment statistics. The accumulation kernels map threads onto matrix cells (block x the
// signal, block y the row, thread x the reference column: one thread per column against one
// reference, threads serving several columns for pairs) and sum per column with atomics
// straight into global memory; the finalisation kernels turn each accumulated variance into
// a clamped log standard deviation. Each cell's step is written once for both mappings, and
// everything once over the element type: float32 and float64 buffers.
#include <cuda_runtime.h>

#include "common/log_std.h"
#include "cuda_helpers/launch.cuh"
#include "kernels/antidiag_layout.cuh"
#include "kernels/features.h"
#include "kernels/pair_batch.cuh"

namespace orvane {

namespace {

template <typename CellBody>
__device__ __forceinline__ void for_each_row_cell(const int* lengths, int ref_signal_length,
                                                  const int* matrix_offsets, int num_signals,
                                                  CellBody body) {
    for_each_thread_cell<BlockRows::matrix_row>(lengths, ref_signal_length, matrix_offsets,
                                                num_signals, body);
}

// A variance term: the squared deviation times its weight, added to its column's sum.
template <typename T>
__device__ __forceinline__ void add_weighted_square(T* variance, T difference, T weight) {
    const T square = difference * difference;
    atomicAdd(variance, square * weight);
}

// The cell's weight, added to its column's sum.
template <typename T, typename Cell>
__device__ __forceinline__ void add_to_column_sum(const T* gradient_matrices, T* column_sums,
                                                  const Cell& cell) {
    atomicAdd(&column_sums[cell.packed()], gradient_matrices[cell.index()]);
}

template <typename T, typename Cell>
__device__ __forceinline__ void normalize_cell(T* gradient_matrices, const T* column_sums,
                                               const Cell& cell) {
    const T sum = column_sums[cell.packed()];
    // A column that carries no weight becomes zeros rather than NaN.
    gradient_matrices[cell.index()] = sum != T(0) ? gradient_matrices[cell.index()] / sum : T(0);
}

template <typename T, typename Cell>
__device__ __forceinline__ T cell_sample(const T* input_signals, const int* signal_offsets,
                                         const Cell& cell) {
    return input_signals[signal_offsets[cell.k] + cell.i];
}

// The cell's sample times its weight, added to its column's mean.
template <typename T, typename Cell>
__device__ __forceinline__ void add_weighted_sample(const T* input_signals,
                                                    const int* signal_offsets,
                                                    const T* weight_matrices, T* weighted_means,
                                                    const Cell& cell) {
    const T sample = cell_sample(input_signals, signal_offsets, cell);
    atomicAdd(&weighted_means[cell.packed()], sample * weight_matrices[cell.index()]);
}

template <typename T, typename Cell>
__device__ __forceinline__ void add_weighted_sample_square(const T* input_signals,
                                                           const int* signal_offsets,
                                                           const T* weight_matrices,
                                                           const T* weighted_means, T* variances,
                                                           const Cell& cell) {
    const T sample = cell_sample(input_signals, signal_offsets, cell);
    add_weighted_square(&variances[cell.packed()], sample - weighted_means[cell.packed()],
                        weight_matrices[cell.index()]);
}

// The cell's row index times its weight, added to its column's mean index.
template <typename T, typename Cell>
__device__ __forceinline__ void add_weighted_index(const T* weight_matrices, T* index_means,
                                                   const Cell& cell) {
    atomicAdd(&index_means[cell.packed()], weight_matrices[cell.index()] * static_cast<T>(cell.i));
}

template <typename T, typename Cell>
__device__ __forceinline__ void add_weighted_index_square(const T* weight_matrices,
                                                          const T* index_means, T* variances,
                                                          const Cell& cell) {
    add_weighted_square(&variances[cell.packed()],
                        static_cast<T>(cell.i) - index_means[cell.packed()],
                        weight_matrices[cell.index()]);
}

template <typename T>
__device__ __forceinline__ void finalize_log_std(T* values, int num_signals,
                                                 int ref_signal_length) {
    const int k = blockIdx.x;
    const int j = threadIdx.x;
    if (k >= num_signals || j >= ref_signal_length) {
        return;
    }
    T& value = values[k * ref_signal_length + j];
    value = clamped_log_std(value);
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(1024) sum_matrix_kernel(
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    T* __restrict__ gradient_matrices,         // in:  [sum N_k * M], anti-diagonal, read only
    T* __restrict__ column_sums,               // out: [B * M], packed per signal, added to
    int num_signals,                           // B
    const int* __restrict__ matrix_offsets) {  // in:  [B]
    for_each_row_cell(
        lengths, ref_signal_length, matrix_offsets, num_signals,
        [&](const ThreadCell& cell) { add_to_column_sum(gradient_matrices, column_sums, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) normalize_matrix_kernel(
    const int* __restrict__ lengths,           // in:  [B] N_k
    int ref_signal_length,                     // M
    T* __restrict__ gradient_matrices,         // in/out: [sum N_k * M], anti-diagonal, in place
    const T* __restrict__ column_sums,         // in:  [B * M], packed per signal
    int num_signals,                           // B
    const int* __restrict__ matrix_offsets) {  // in:  [B]
    for_each_row_cell(
        lengths, ref_signal_length, matrix_offsets, num_signals,
        [&](const ThreadCell& cell) { normalize_cell(gradient_matrices, column_sums, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_weighted_means_kernel(
    const T* __restrict__ input_signals,     // in:  [sum N_k]
    const int* __restrict__ signal_offsets,  // in:  [B]
    const int* __restrict__ lengths,         // in:  [B] N_k
    int ref_signal_length,                   // M
    const T* __restrict__ weight_matrices,   // in:  [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,  // in:  [B]
    int num_signals,                         // B
    T* __restrict__ weighted_means) {        // out: [B * M], packed per signal, added to
    for_each_row_cell(lengths, ref_signal_length, matrix_offsets, num_signals,
                      [&](const ThreadCell& cell) {
                          add_weighted_sample(input_signals, signal_offsets, weight_matrices,
                                              weighted_means, cell);
                      });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_weighted_std_kernel(
    const T* __restrict__ input_signals,     // in:  [sum N_k]
    const int* __restrict__ signal_offsets,  // in:  [B]
    const int* __restrict__ lengths,         // in:  [B] N_k
    int ref_signal_length,                   // M
    const T* __restrict__ weight_matrices,   // in:  [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,  // in:  [B]
    const T* __restrict__ weighted_means,    // in:  [B * M], packed per signal
    int num_signals,                         // B
    T* __restrict__ variances) {             // out: [B * M], packed per signal, added to
    for_each_row_cell(lengths, ref_signal_length, matrix_offsets, num_signals,
                      [&](const ThreadCell& cell) {
                          add_weighted_sample_square(input_signals, signal_offsets, weight_matrices,
                                                     weighted_means, variances, cell);
                      });
}

template <typename T>
__global__ void __launch_bounds__(1024) finalize_weighted_std_kernel(
    T* __restrict__ weighted_std_log,  // in/out: [B * M], packed per signal, variance to log-std
    int num_signals,                   // B
    int ref_signal_length) {           // M
    finalize_log_std(weighted_std_log, num_signals, ref_signal_length);
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_weighted_index_mean_kernel(
    const int* __restrict__ lengths,         // in:  [B] N_k
    int ref_signal_length,                   // M
    const T* __restrict__ weight_matrices,   // in:  [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,  // in:  [B]
    int num_signals,                         // B
    T* __restrict__ index_means) {           // out: [B * M], packed per signal, added to
    for_each_row_cell(
        lengths, ref_signal_length, matrix_offsets, num_signals,
        [&](const ThreadCell& cell) { add_weighted_index(weight_matrices, index_means, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_weighted_index_variance_kernel(
    const int* __restrict__ lengths,         // in:  [B] N_k
    int ref_signal_length,                   // M
    const T* __restrict__ weight_matrices,   // in:  [sum N_k * M], anti-diagonal
    const int* __restrict__ matrix_offsets,  // in:  [B]
    const T* __restrict__ index_means,       // in:  [B * M], packed per signal
    int num_signals,                         // B
    T* __restrict__ variances) {             // out: [B * M], packed per signal, added to
    for_each_row_cell(lengths, ref_signal_length, matrix_offsets, num_signals,
                      [&](const ThreadCell& cell) {
                          add_weighted_index_square(weight_matrices, index_means, variances, cell);
                      });
}

template <typename T>
__global__ void __launch_bounds__(1024) finalize_weighted_index_std_kernel(
    T* __restrict__ weighted_index_std_log,  // in/out: [B * M], packed per signal, variance to
                                             // log-std
    int num_signals,                         // B
    int ref_signal_length) {                 // M
    finalize_log_std(weighted_index_std_log, num_signals, ref_signal_length);
}

// The kernels of pairs: the steps above, with pair k's packed values (column sums, means,
// variances and log-stds) at ref_offsets[k] + j.

template <typename T>
__global__ void __launch_bounds__(1024) sum_pair_matrix_kernel(
    const T* __restrict__ gradient_matrices,  // in:  [sum N_k * M_k], anti-diagonal
    T* __restrict__ column_sums,              // out: [sum M_k], packed per pair, added to
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(pairs, [&](const PairCell& cell) {
        add_to_column_sum(gradient_matrices, column_sums, cell);
    });
}

template <typename T>
__global__ void __launch_bounds__(1024) normalize_pair_matrix_kernel(
    T* __restrict__ gradient_matrices,  // in/out: [sum N_k * M_k], anti-diagonal, in place
    const T* __restrict__ column_sums,  // in:  [sum M_k], packed per pair
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(
        pairs, [&](const PairCell& cell) { normalize_cell(gradient_matrices, column_sums, cell); });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_pair_weighted_means_kernel(
    const T* __restrict__ input_signals,    // in:  [sum N_k]
    const T* __restrict__ weight_matrices,  // in:  [sum N_k * M_k], anti-diagonal
    T* __restrict__ weighted_means,         // out: [sum M_k], packed per pair, added to
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(pairs, [&](const PairCell& cell) {
        add_weighted_sample(input_signals, pairs.signal_offsets, weight_matrices, weighted_means,
                            cell);
    });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_pair_weighted_std_kernel(
    const T* __restrict__ input_signals,    // in:  [sum N_k]
    const T* __restrict__ weight_matrices,  // in:  [sum N_k * M_k], anti-diagonal
    const T* __restrict__ weighted_means,   // in:  [sum M_k], packed per pair
    T* __restrict__ variances,              // out: [sum M_k], packed per pair, added to
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(pairs, [&](const PairCell& cell) {
        add_weighted_sample_square(input_signals, pairs.signal_offsets, weight_matrices,
                                   weighted_means, variances, cell);
    });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_pair_weighted_index_mean_kernel(
    const T* __restrict__ weight_matrices,  // in:  [sum N_k * M_k], anti-diagonal
    T* __restrict__ index_means,            // out: [sum M_k], packed per pair, added to
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(pairs, [&](const PairCell& cell) {
        add_weighted_index(weight_matrices, index_means, cell);
    });
}

template <typename T>
__global__ void __launch_bounds__(1024) calc_pair_weighted_index_variance_kernel(
    const T* __restrict__ weight_matrices,  // in:  [sum N_k * M_k], anti-diagonal
    const T* __restrict__ index_means,      // in:  [sum M_k], packed per pair
    T* __restrict__ variances,              // out: [sum M_k], packed per pair, added to
    PairTables pairs) {
    for_each_pair_thread_cell<BlockRows::matrix_row>(pairs, [&](const PairCell& cell) {
        add_weighted_index_square(weight_matrices, index_means, variances, cell);
    });
}

// The log-stds of samples and of indices alike: one block per pair.
template <typename T>
__global__ void __launch_bounds__(1024) finalize_pair_log_std_kernel(
    T* __restrict__ values,  // in/out: [sum M_k], packed per pair, variance to log-std
    PairTables pairs) {
    for_each_pair_thread_column(pairs, [&](const PairCell& cell) {
        T& value = values[cell.packed()];
        value = clamped_log_std(value);
    });
}

namespace {

template <typename T>
std::size_t packed_bytes(const BatchTables& batch) {
    return static_cast<std::size_t>(batch.num_signals()) *
           static_cast<std::size_t>(batch.ref_signal_length) * sizeof(T);
}

template <typename T>
void normalize_columns(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                       DeviceAddress gradient_matrix, DeviceAddress ref_total_grads) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::not_needed);
    const LaunchGeometry per_row = make_row_geometry(batch);
    const DeviceTables tables(batch);
    const auto weights = device_pointer<T>(gradient_matrix);
    launch_kernel<sum_matrix_kernel<T>>(
        per_row.grid, per_row.block, 0, tables.lengths(), ref_signal_length, weights,
        device_pointer<T>(ref_total_grads), batch.num_signals(), tables.matrix_offsets());
    wait_for_device();
    launch_kernel<normalize_matrix_kernel<T>>(
        per_row.grid, per_row.block, 0, tables.lengths(), ref_signal_length, weights,
        device_pointer<const T>(ref_total_grads), batch.num_signals(), tables.matrix_offsets());
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void add_weighted_means(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                        int ref_signal_length, DeviceAddress gradient_matrix, DeviceAddress means) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::needed);
    const LaunchGeometry per_row = make_row_geometry(batch);
    const DeviceTables tables(batch);
    launch_kernel<calc_weighted_means_kernel<T>>(
        per_row.grid, per_row.block, 0, device_pointer<const T>(input_signal),
        tables.signal_offsets(), tables.lengths(), ref_signal_length,
        device_pointer<const T>(gradient_matrix), tables.matrix_offsets(), batch.num_signals(),
        device_pointer<T>(means));
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void weighted_std(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                  int ref_signal_length, DeviceAddress gradient_matrix, DeviceAddress means,
                  DeviceAddress std_log) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::needed);
    const LaunchGeometry per_row = make_row_geometry(batch);
    const LaunchGeometry per_signal = make_signal_geometry(batch, ref_signal_length);
    clear_device_buffer(std_log, packed_bytes<T>(batch));
    const DeviceTables tables(batch);
    const auto output = device_pointer<T>(std_log);
    launch_kernel<calc_weighted_std_kernel<T>>(
        per_row.grid, per_row.block, 0, device_pointer<const T>(input_signal),
        tables.signal_offsets(), tables.lengths(), ref_signal_length,
        device_pointer<const T>(gradient_matrix), tables.matrix_offsets(),
        device_pointer<const T>(means), batch.num_signals(), output);
    wait_for_device();
    launch_kernel<finalize_weighted_std_kernel<T>>(per_signal.grid, per_signal.block, 0, output,
                                                   batch.num_signals(), ref_signal_length);
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                        DeviceAddress gradient_matrix, DeviceAddress index_std_log) {
    const BatchTables batch =
        prepare_batch(input_signal_lengths, ref_signal_length, SignalOffsets::not_needed);
    const LaunchGeometry per_row = make_row_geometry(batch);
    const LaunchGeometry per_signal = make_signal_geometry(batch, ref_signal_length);
    clear_device_buffer(index_std_log, packed_bytes<T>(batch));
    const DeviceBuffer index_means = make_zeroed_device_buffer(packed_bytes<T>(batch));
    const DeviceTables tables(batch);
    const auto weights = device_pointer<const T>(gradient_matrix);
    const auto output = device_pointer<T>(index_std_log);
    launch_kernel<calc_weighted_index_mean_kernel<T>>(
        per_row.grid, per_row.block, 0, tables.lengths(), ref_signal_length, weights,
        tables.matrix_offsets(), batch.num_signals(), index_means.get<T>());
    wait_for_device();
    launch_kernel<calc_weighted_index_variance_kernel<T>>(
        per_row.grid, per_row.block, 0, tables.lengths(), ref_signal_length, weights,
        tables.matrix_offsets(), index_means.get<const T>(), batch.num_signals(), output);
    wait_for_device();
    launch_kernel<finalize_weighted_index_std_kernel<T>>(
        per_signal.grid, per_signal.block, 0, output, batch.num_signals(), ref_signal_length);
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
std::size_t pair_packed_bytes(const PairBatch& pairs) {
    return static_cast<std::size_t>(pairs.reference_samples()) * sizeof(T);
}

template <typename T>
void normalize_pair_columns(const std::vector<int>& input_signal_lengths,
                            const std::vector<int>& ref_signal_lengths,
                            DeviceAddress gradient_matrix, DeviceAddress ref_total_grads) {
    const PairBatch pairs = prepare_pairs(input_signal_lengths, ref_signal_lengths);
    const LaunchGeometry per_row = make_pair_geometry(pairs, BlockRows::matrix_row);
    const DevicePairTables tables(pairs);
    const auto weights = device_pointer<T>(gradient_matrix);
    launch_kernel<sum_pair_matrix_kernel<T>>(per_row.grid, per_row.block, 0,
                                             device_pointer<const T>(gradient_matrix),
                                             device_pointer<T>(ref_total_grads), tables.view());
    wait_for_device();
    launch_kernel<normalize_pair_matrix_kernel<T>>(per_row.grid, per_row.block, 0, weights,
                                                   device_pointer<const T>(ref_total_grads),
                                                   tables.view());
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void add_pair_weighted_means(DeviceAddress input_signal,
                             const std::vector<int>& input_signal_lengths,
                             const std::vector<int>& ref_signal_lengths,
                             DeviceAddress gradient_matrix, DeviceAddress means) {
    run_over_pairs<calc_pair_weighted_means_kernel<T>>(
        input_signal_lengths, ref_signal_lengths, BlockRows::matrix_row,
        device_pointer<const T>(input_signal), device_pointer<const T>(gradient_matrix),
        device_pointer<T>(means));
}

template <typename T>
void pair_weighted_std(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                       const std::vector<int>& ref_signal_lengths, DeviceAddress gradient_matrix,
                       DeviceAddress means, DeviceAddress std_log) {
    const PairBatch pairs = prepare_pairs(input_signal_lengths, ref_signal_lengths);
    const LaunchGeometry per_row = make_pair_geometry(pairs, BlockRows::matrix_row);
    const LaunchGeometry per_pair = make_pair_signal_geometry(pairs);
    clear_device_buffer(std_log, pair_packed_bytes<T>(pairs));
    const DevicePairTables tables(pairs);
    const auto output = device_pointer<T>(std_log);
    launch_kernel<calc_pair_weighted_std_kernel<T>>(
        per_row.grid, per_row.block, 0, device_pointer<const T>(input_signal),
        device_pointer<const T>(gradient_matrix), device_pointer<const T>(means), output,
        tables.view());
    wait_for_device();
    launch_kernel<finalize_pair_log_std_kernel<T>>(per_pair.grid, per_pair.block, 0, output,
                                                   tables.view());
    wait_for_device();
    check_kernel_execution();
}

template <typename T>
void pair_weighted_index_std(const std::vector<int>& input_signal_lengths,
                             const std::vector<int>& ref_signal_lengths,
                             DeviceAddress gradient_matrix, DeviceAddress index_std_log) {
    const PairBatch pairs = prepare_pairs(input_signal_lengths, ref_signal_lengths);
    const LaunchGeometry per_row = make_pair_geometry(pairs, BlockRows::matrix_row);
    const LaunchGeometry per_pair = make_pair_signal_geometry(pairs);
    clear_device_buffer(index_std_log, pair_packed_bytes<T>(pairs));
    const DeviceBuffer index_means = make_zeroed_device_buffer(pair_packed_bytes<T>(pairs));
    const DevicePairTables tables(pairs);
    const auto weights = device_pointer<const T>(gradient_matrix);
    const auto output = device_pointer<T>(index_std_log);
    launch_kernel<calc_pair_weighted_index_mean_kernel<T>>(per_row.grid, per_row.block, 0, weights,
                                                           index_means.get<T>(), tables.view());
    wait_for_device();
    launch_kernel<calc_pair_weighted_index_variance_kernel<T>>(
        per_row.grid, per_row.block, 0, weights, index_means.get<const T>(), output, tables.view());
    wait_for_device();
    launch_kernel<finalize_pair_log_std_kernel<T>>(per_pair.grid, per_pair.block, 0, output,
                                                   tables.view());
    wait_for_device();
    check_kernel_execution();
}

}  // namespace

void normalize_matrix(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      DeviceAddress gradient_matrix, DeviceAddress ref_total_grads) {
    normalize_columns<float>(input_signal_lengths, ref_signal_length, gradient_matrix,
                             ref_total_grads);
}

void normalize_matrix_float64(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                              DeviceAddress gradient_matrix, DeviceAddress ref_total_grads) {
    normalize_columns<double>(input_signal_lengths, ref_signal_length, gradient_matrix,
                              ref_total_grads);
}

void calc_weighted_means(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                         int ref_signal_length, DeviceAddress gradient_matrix,
                         DeviceAddress weighted_means) {
    add_weighted_means<float>(input_signal, input_signal_lengths, ref_signal_length,
                              gradient_matrix, weighted_means);
}

void calc_weighted_means_float64(DeviceAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, DeviceAddress gradient_matrix,
                                 DeviceAddress weighted_means) {
    add_weighted_means<double>(input_signal, input_signal_lengths, ref_signal_length,
                               gradient_matrix, weighted_means);
}

void calc_weighted_std(DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,
                       int ref_signal_length, DeviceAddress gradient_matrix,
                       DeviceAddress weighted_means, DeviceAddress weighted_std_log) {
    weighted_std<float>(input_signal, input_signal_lengths, ref_signal_length, gradient_matrix,
                        weighted_means, weighted_std_log);
}

void calc_weighted_std_float64(DeviceAddress input_signal,
                               const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               DeviceAddress gradient_matrix, DeviceAddress weighted_means,
                               DeviceAddress weighted_std_log) {
    weighted_std<double>(input_signal, input_signal_lengths, ref_signal_length, gradient_matrix,
                         weighted_means, weighted_std_log);
}

void calc_weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                             DeviceAddress gradient_matrix, DeviceAddress weighted_index_std_log) {
    weighted_index_std<float>(input_signal_lengths, ref_signal_length, gradient_matrix,
                              weighted_index_std_log);
}

void calc_weighted_index_std_float64(const std::vector<int>& input_signal_lengths,
                                     int ref_signal_length, DeviceAddress gradient_matrix,
                                     DeviceAddress weighted_index_std_log) {
    weighted_index_std<double>(input_signal_lengths, ref_signal_length, gradient_matrix,
                               weighted_index_std_log);
}

void normalize_pair_matrix(const std::vector<int>& input_signal_lengths,
                           const std::vector<int>& ref_signal_lengths,
                           DeviceAddress gradient_matrix, DeviceAddress ref_total_grads) {
    normalize_pair_columns<float>(input_signal_lengths, ref_signal_lengths, gradient_matrix,
                                  ref_total_grads);
}

void normalize_pair_matrix_float64(const std::vector<int>& input_signal_lengths,
                                   const std::vector<int>& ref_signal_lengths,
                                   DeviceAddress gradient_matrix, DeviceAddress ref_total_grads) {
    normalize_pair_columns<double>(input_signal_lengths, ref_signal_lengths, gradient_matrix,
                                   ref_total_grads);
}

void calc_pair_weighted_means(DeviceAddress input_signal,
                              const std::vector<int>& input_signal_lengths,
                              const std::vector<int>& ref_signal_lengths,
                              DeviceAddress gradient_matrix, DeviceAddress weighted_means) {
    add_pair_weighted_means<float>(input_signal, input_signal_lengths, ref_signal_lengths,
                                   gradient_matrix, weighted_means);
}

void calc_pair_weighted_means_float64(DeviceAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      const std::vector<int>& ref_signal_lengths,
                                      DeviceAddress gradient_matrix, DeviceAddress weighted_means) {
    add_pair_weighted_means<double>(input_signal, input_signal_lengths, ref_signal_lengths,
                                    gradient_matrix, weighted_means);
}

void calc_pair_weighted_std(DeviceAddress input_signal,
                            const std::vector<int>& input_signal_lengths,
                            const std::vector<int>& ref_signal_lengths,
                            DeviceAddress gradient_matrix, DeviceAddress weighted_means,
                            DeviceAddress weighted_std_log) {
    pair_weighted_std<float>(input_signal, input_signal_lengths, ref_signal_lengths,
                             gradient_matrix, weighted_means, weighted_std_log);
}

void calc_pair_weighted_std_float64(DeviceAddress input_signal,
                                    const std::vector<int>& input_signal_lengths,
                                    const std::vector<int>& ref_signal_lengths,
                                    DeviceAddress gradient_matrix, DeviceAddress weighted_means,
                                    DeviceAddress weighted_std_log) {
    pair_weighted_std<double>(input_signal, input_signal_lengths, ref_signal_lengths,
                              gradient_matrix, weighted_means, weighted_std_log);
}

void calc_pair_weighted_index_std(const std::vector<int>& input_signal_lengths,
                                  const std::vector<int>& ref_signal_lengths,
                                  DeviceAddress gradient_matrix,
                                  DeviceAddress weighted_index_std_log) {
    pair_weighted_index_std<float>(input_signal_lengths, ref_signal_lengths, gradient_matrix,
                                   weighted_index_std_log);
}

void calc_pair_weighted_index_std_float64(const std::vector<int>& input_signal_lengths,
                                          const std::vector<int>& ref_signal_lengths,
                                          DeviceAddress gradient_matrix,
                                          DeviceAddress weighted_index_std_log) {
    pair_weighted_index_std<double>(input_signal_lengths, ref_signal_lengths, gradient_matrix,
                                    weighted_index_std_log);
}

}  // namespace orvane
