// Index arithmetic of the anti-diagonal layout, shared by every kernel and by the vectorised
// CPU module. Inside one N x M matrix the cells of anti-diagonal d = i + j are stored
// together, diagonals in increasing order and, within a diagonal, cells in increasing column
// j. Positions inside a matrix are 32-bit; the matrix offset is added in 64 bits.
#pragma once

#include <cstdint>

#if defined(__CUDACC__)
#define ORVANE_HOST_DEVICE __host__ __device__ __forceinline__
#else
#define ORVANE_HOST_DEVICE inline __attribute__((always_inline))
#endif

namespace orvane {

// Number of cells stored before anti-diagonal d of an n x m matrix, in Index: int for stored
// matrices, 64 bits where a pass walks the diagonals of a matrix it never stores.
template <typename Index = int>
ORVANE_HOST_DEVICE Index diagonal_start(int d, int n, int m) {
    const Index mn = n < m ? n : m;
    const Index mx = n < m ? m : n;
    const Index diagonal = d;
    if (diagonal < mn) {
        return diagonal * (diagonal + 1) / 2;
    }
    const Index full_triangle = (mn - 1) * mn / 2;
    if (diagonal < mx) {
        return (diagonal + 1 - mn) * mn + full_triangle;
    }
    return (diagonal - mn + 1) * mn + full_triangle - (diagonal - mx) * (diagonal - mx + 1) / 2;
}

// Position of the cell in row i on anti-diagonal d; 0 is the cell with the largest row.
ORVANE_HOST_DEVICE int position_in_diagonal(int d, int i, int n) {
    return (d < n - 1 ? d : n - 1) - i;
}

// One signal's matrix inside a batch matrix.
struct AntidiagMatrix {
    int offset;
    int rows;
    int cols;

    ORVANE_HOST_DEVICE std::int64_t cell(int i, int j) const {
        const int d = i + j;
        return cell_on(d, diagonal_start(d, rows, cols), i);
    }

    // Cell (i, d - i), given where diagonal d starts.
    ORVANE_HOST_DEVICE std::int64_t cell_on(int d, int start, int i) const {
        return static_cast<std::int64_t>(offset) + start + position_in_diagonal(d, i, rows);
    }
};

// Where diagonal d and the two diagonals a wavefront swept just before it start (d - 1 and
// d - 2 going forward, d + 1 and d + 2 going back): each diagonal's start is computed once,
// as the wavefront reaches it, rather than for every cell.
struct WavefrontStarts {
    int here = 0;
    int near = 0;
    int far = 0;

    ORVANE_HOST_DEVICE void reach(int start) {
        far = near;
        near = here;
        here = start;
    }
};

// The cells of anti-diagonal d of an n x m matrix: columns first_col .. first_col + length - 1
// (rows falling from d - first_col), stored from position `start` of the matrix.
template <typename Index>
struct DiagonalCells {
    Index start;
    int first_col;
    int length;
};
using DiagonalSpan = DiagonalCells<int>;

template <typename Index = int>
ORVANE_HOST_DEVICE DiagonalCells<Index> diagonal_span(int d, int n, int m) {
    const int first_col = d < n ? 0 : d - n + 1;
    const int last_col = d < m ? d : m - 1;
    return DiagonalCells<Index>{diagonal_start<Index>(d, n, m), first_col,
                                last_col - first_col + 1};
}

}  // namespace orvane
