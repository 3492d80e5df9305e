// The free-end terminals of one signal's score matrix, shared by the CUDA reducer and the
// vectorised CPU module: the last row, then (unless last_row_only) rows 0 .. N-2 of the last
// column, each scaled as -(R + g * column) / gamma with g * column + R in one fused step.
// The kernels use float; the vectorised module float and double.
#pragma once

#include <cmath>

#include "common/antidiag_index.h"

namespace orvane {

// a * b + c rounded once, for each element type.
ORVANE_HOST_DEVICE float fused_multiply_add(float a, float b, float c) { return fmaf(a, b, c); }
ORVANE_HOST_DEVICE double fused_multiply_add(double a, double b, double c) { return fma(a, b, c); }

// A terminal's score R in column j as the free end folds it: -(R + g * j) / gamma, with
// g * j + R in one fused step.
template <typename T>
ORVANE_HOST_DEVICE T scaled_terminal(T score, int j, T ref_gap_penalty, T inv_gamma) {
    const T value = fused_multiply_add(static_cast<T>(j), ref_gap_penalty, score);
    return -(inv_gamma * value);
}

template <typename T>
struct FreeEndTerminals {
    const T* score;
    AntidiagMatrix matrix;
    T inv_gamma;
    T ref_gap_penalty;
    int count;

    ORVANE_HOST_DEVICE static int count_of(int rows, int cols, bool last_row_only) {
        return last_row_only ? cols : rows + cols - 1;
    }

    ORVANE_HOST_DEVICE T scaled(int t) const {
        const int last_col = matrix.cols - 1;
        const int i = t < matrix.cols ? matrix.rows - 1 : t - matrix.cols;
        const int j = t < matrix.cols ? t : last_col;
        return scaled_terminal(score[matrix.cell(i, j)], j, ref_gap_penalty, inv_gamma);
    }
};

// The same terminals kept apart from any score matrix, in their order: the last row's M
// scores, then rows 0 .. N-2 of the last column (for passes that keep no matrix).
template <typename T>
struct PackedTerminals {
    const T* score;
    int cols;
    T inv_gamma;
    T ref_gap_penalty;
    int count;

    ORVANE_HOST_DEVICE T scaled(int t) const {
        const int j = t < cols ? t : cols - 1;
        return scaled_terminal(score[t], j, ref_gap_penalty, inv_gamma);
    }
};

}  // namespace orvane
