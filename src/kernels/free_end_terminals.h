// The free-end terminals of one signal's score matrix, shared by the CUDA reducer and the
// vectorised CPU module: the last row, then (unless last_row_only) rows 0 .. N-2 of the last
// column, each scaled as -(R + g * column) / gamma with g * column + R in one fused step.
#pragma once

#include <cmath>

#include "kernels/antidiag_index.h"

namespace orvane {

struct FreeEndTerminals {
    const float* score;
    AntidiagMatrix matrix;
    float inv_gamma;
    float ref_gap_penalty;
    int count;

    ORVANE_HOST_DEVICE static int count_of(int rows, int cols, bool last_row_only) {
        return last_row_only ? cols : rows + cols - 1;
    }

    ORVANE_HOST_DEVICE float scaled(int t) const {
        const int last_col = matrix.cols - 1;
        const int i = t < matrix.cols ? matrix.rows - 1 : t - matrix.cols;
        const int j = t < matrix.cols ? t : last_col;
        const float value = fmaf(static_cast<float>(j), ref_gap_penalty, score[matrix.cell(i, j)]);
        return -(inv_gamma * value);
    }
};

}  // namespace orvane
