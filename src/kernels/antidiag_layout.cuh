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

// Block x the signal, block y the row or the anti-diagonal, thread x the column. False for
// threads outside the batch: grids are sized for the longest signal.
enum class BlockRows { matrix_row, anti_diagonal };

template <BlockRows rows>
__device__ __forceinline__ bool locate_thread_cell(const int* lengths, int ref_signal_length,
                                                   const int* matrix_offsets, int num_signals,
                                                   ThreadCell& cell) {
    const int k = blockIdx.x;
    const int j = threadIdx.x;
    if (k >= num_signals || j >= ref_signal_length) {
        return false;
    }
    const int n = lengths[k];
    const int i = rows == BlockRows::matrix_row ? static_cast<int>(blockIdx.y)
                                                : static_cast<int>(blockIdx.y) - j;
    if (i < 0 || i >= n) {
        return false;
    }
    cell = ThreadCell{k, i, j, AntidiagMatrix{matrix_offsets[k], n, ref_signal_length}};
    return true;
}

}  // namespace orvane
