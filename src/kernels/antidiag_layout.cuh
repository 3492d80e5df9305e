// How the threads of the cell-parallel kernels map onto the cells of the anti-diagonal layout
// (whose index arithmetic is in common/antidiag_index.h).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "common/antidiag_index.h"

namespace orvane {

// The cell that one thread of a cell-parallel kernel handles: signal k, row i, column j.
struct ThreadCell {
    int k;
    int i;
    int j;
    AntidiagMatrix matrix;

    __host__ __device__ __forceinline__ std::int64_t index() const { return matrix.cell(i, j); }
    // The same cell in a row-major batch.
    __host__ __device__ __forceinline__ int row_major_index() const {
        return matrix.offset + i * matrix.cols + j;
    }
    // Where column j of signal k sits in a packed B x M array.
    __host__ __device__ __forceinline__ int packed() const { return k * matrix.cols + j; }
};

// The thread's column j = threadIdx.x of signal k = blockIdx.x, with its matrix and no row
// yet; false for threads outside the batch (grids are sized for the longest signal).
__device__ __forceinline__ bool thread_column(const int* lengths, int ref_signal_length,
                                              const int* matrix_offsets, int num_signals,
                                              ThreadCell& cell) {
    const int k = blockIdx.x;
    const int j = threadIdx.x;
    if (k >= num_signals || j >= ref_signal_length) {
        return false;
    }
    cell = ThreadCell{k, 0, j, AntidiagMatrix{matrix_offsets[k], lengths[k], ref_signal_length}};
    return true;
}

// Block x the signal, block y the row or the anti-diagonal, thread x the column. A GPU caps
// the grid's height, so a block takes row (or diagonal) blockIdx.y and then every
// gridDim.y-th after it; below the cap that is exactly one. Threads outside the batch do
// nothing.
enum class BlockRows { matrix_row, anti_diagonal };

template <BlockRows rows, typename CellBody>
__device__ __forceinline__ void for_each_thread_cell(const int* lengths, int ref_signal_length,
                                                     const int* matrix_offsets, int num_signals,
                                                     CellBody body) {
    ThreadCell cell;
    if (!thread_column(lengths, ref_signal_length, matrix_offsets, num_signals, cell)) {
        return;
    }
    // Row i = y, or i = y - j on a diagonal. The stop fits in 32 bits (n + M - 1 <= n * M),
    // and unsigned steps past it cannot wrap.
    const int column_shift = rows == BlockRows::anti_diagonal ? cell.j : 0;
    const auto stop = static_cast<unsigned>(cell.matrix.rows + column_shift);
    for (unsigned y = blockIdx.y; y < stop; y += gridDim.y) {
        cell.i = static_cast<int>(y) - column_shift;
        if (cell.i >= 0) {
            body(cell);
        }
    }
}

}  // namespace orvane
