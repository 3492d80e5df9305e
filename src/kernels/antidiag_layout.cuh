// Index arithmetic of the anti-diagonal layout, shared by every kernel. Inside one N x M
// matrix the cells of anti-diagonal d = i + j are stored together, diagonals in increasing
// order and, within a diagonal, cells in increasing column j. Positions inside a matrix are
// 32-bit; the matrix offset is added in 64 bits.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace orvane {

// Number of cells stored before anti-diagonal d of an n x m matrix.
__host__ __device__ __forceinline__ int diagonal_start(int d, int n, int m) {
    const int mn = n < m ? n : m;
    const int mx = n < m ? m : n;
    if (d < mn) {
        return d * (d + 1) / 2;
    }
    const int full_triangle = (mn - 1) * mn / 2;
    if (d < mx) {
        return (d + 1 - mn) * mn + full_triangle;
    }
    return (d - mn + 1) * mn + full_triangle - (d - mx) * (d - mx + 1) / 2;
}

// Position of the cell in row i on anti-diagonal d; 0 is the cell with the largest row.
__host__ __device__ __forceinline__ int position_in_diagonal(int d, int i, int n) {
    return (d < n - 1 ? d : n - 1) - i;
}

// One signal's matrix inside a batch matrix.
struct AntidiagMatrix {
    int offset;
    int rows;
    int cols;

    __host__ __device__ __forceinline__ std::int64_t cell(int i, int j) const {
        const int d = i + j;
        const int position = diagonal_start(d, rows, cols) + position_in_diagonal(d, i, rows);
        return static_cast<std::int64_t>(offset) + position;
    }
};

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

// Block x the signal, block y the row or the anti-diagonal, thread x the column. A GPU caps
// the grid's height, so a block takes row (or diagonal) blockIdx.y and then every
// gridDim.y-th after it; below the cap that is exactly one. Threads outside the batch (grids
// are sized for the longest signal) do nothing.
enum class BlockRows { matrix_row, anti_diagonal };

template <BlockRows rows, typename CellBody>
__device__ __forceinline__ void for_each_thread_cell(const int* lengths, int ref_signal_length,
                                                     const int* matrix_offsets, int num_signals,
                                                     CellBody body) {
    const int k = blockIdx.x;
    const int j = threadIdx.x;
    if (k >= num_signals || j >= ref_signal_length) {
        return;
    }
    const int n = lengths[k];
    const AntidiagMatrix matrix{matrix_offsets[k], n, ref_signal_length};
    // Row i = y, or i = y - j on a diagonal. The stop fits in 32 bits (n + M - 1 <= n * M),
    // and unsigned steps past it cannot wrap.
    const int column_shift = rows == BlockRows::anti_diagonal ? j : 0;
    const auto stop = static_cast<unsigned>(n + column_shift);
    for (unsigned y = blockIdx.y; y < stop; y += gridDim.y) {
        const int i = static_cast<int>(y) - column_shift;
        if (i >= 0) {
            body(ThreadCell{k, i, j, matrix});
        }
    }
}

}  // namespace orvane
