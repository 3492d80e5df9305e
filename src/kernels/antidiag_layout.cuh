// How the threads of the cell-parallel kernels map onto the cells of the anti-diagonal layout
// (whose index arithmetic is in common/antidiag_index.h): one thread per reference column
// for the kernels of one reference, threads serving several columns for those of pairs.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "common/antidiag_index.h"

namespace orvane {

// A cell of signal k's matrix: row i, column j.
struct MatrixCell {
    int k;
    int i;
    int j;
    AntidiagMatrix matrix;

    __host__ __device__ __forceinline__ std::int64_t index() const { return matrix.cell(i, j); }
    // The same cell in a row-major batch.
    __host__ __device__ __forceinline__ int row_major_index() const {
        return matrix.offset + i * matrix.cols + j;
    }
};

// The cell that one thread of a cell-parallel kernel of one reference handles.
struct ThreadCell : MatrixCell {
    // Where column j of signal k sits in a packed B x M array.
    __host__ __device__ __forceinline__ int packed() const { return k * matrix.cols + j; }
    // The reference sample of column j.
    __host__ __device__ __forceinline__ int reference() const { return j; }
};

// A cell of a kernel of pairs: signal k against a reference of its own, of matrix.cols
// samples, which starts at ref_offset among all references' samples. The packed
// per-reference-position arrays of pairs hold pair k's values from there too.
struct PairCell : MatrixCell {
    int ref_offset;

    __host__ __device__ __forceinline__ int packed() const { return ref_offset + j; }
    __host__ __device__ __forceinline__ int reference() const { return ref_offset + j; }
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
    cell = ThreadCell{{k, 0, j, AntidiagMatrix{matrix_offsets[k], lengths[k], ref_signal_length}}};
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

// The tables of a batch of pairs that its kernels read, passed by value.
struct PairTables {
    const int* lengths;         // [B] N_k
    const int* ref_lengths;     // [B] M_k
    const int* signal_offsets;  // [B] where signal k starts among the samples
    const int* matrix_offsets;  // [B] where pair k's matrix starts
    const int* ref_offsets;     // [B] where pair k's reference starts, sum of M_l for l < k
    int num_signals;            // B
};

// Pair k = blockIdx.x's cell with its matrix, and no row or column yet; false for blocks
// outside the batch.
__device__ __forceinline__ bool pair_of_block(const PairTables& pairs, PairCell& cell) {
    const int k = blockIdx.x;
    if (k >= pairs.num_signals) {
        return false;
    }
    cell = PairCell{
        {k, 0, 0, AntidiagMatrix{pairs.matrix_offsets[k], pairs.lengths[k], pairs.ref_lengths[k]}},
        pairs.ref_offsets[k]};
    return true;
}

// The first column at or after `lowest` that the running thread serves: columns t, t + T,
// t + 2T, ... for thread t of a block of T threads.
__device__ __forceinline__ unsigned first_own_column(unsigned lowest) {
    const unsigned t = threadIdx.x;
    const unsigned stride = blockDim.x;
    return t >= lowest ? t : t + (lowest - t + stride - 1) / stride * stride;
}

// Runs body on each column of pair k = blockIdx.x that the running thread serves, so that
// M_k is bounded by 32-bit positions alone. Positions are unsigned: a step past the last
// column (below 2^31) cannot wrap.
template <typename ColumnBody>
__device__ __forceinline__ void for_each_pair_thread_column(const PairTables& pairs,
                                                            ColumnBody body) {
    PairCell cell;
    if (!pair_of_block(pairs, cell)) {
        return;
    }
    const auto columns = static_cast<unsigned>(cell.matrix.cols);
    for (unsigned j = first_own_column(0); j < columns; j += blockDim.x) {
        cell.j = static_cast<int>(j);
        body(cell);
    }
}

// for_each_thread_cell of pairs: block x the pair, block y the row or the anti-diagonal
// (and every gridDim.y-th after it, as there), the running thread taking its columns of
// that row or diagonal inside pair k's matrix. With a thread per column, each thread
// handles the cells for_each_thread_cell gives it.
template <BlockRows rows, typename CellBody>
__device__ __forceinline__ void for_each_pair_thread_cell(const PairTables& pairs, CellBody body) {
    PairCell cell;
    if (!pair_of_block(pairs, cell)) {
        return;
    }
    constexpr bool diagonals = rows == BlockRows::anti_diagonal;
    const auto n = static_cast<unsigned>(cell.matrix.rows);
    const auto last_column = static_cast<unsigned>(cell.matrix.cols - 1);
    // n + M - 1 <= n * M fits in 32 bits.
    const unsigned stop = diagonals ? n + last_column : n;
    for (unsigned y = blockIdx.y; y < stop; y += gridDim.y) {
        // Diagonal y holds columns y - n + 1 .. y of the matrix; a row holds all of them.
        const unsigned lowest = diagonals && y >= n ? y - n + 1 : 0;
        const unsigned highest = diagonals && y < last_column ? y : last_column;
        for (unsigned j = first_own_column(lowest); j <= highest; j += blockDim.x) {
            cell.j = static_cast<int>(j);
            cell.i = static_cast<int>(diagonals ? y - j : y);
            body(cell);
        }
    }
}

}  // namespace orvane
