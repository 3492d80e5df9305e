// Alignment statistics on the CPU. Every statistic is a per-column sum over a signal's rows;
// on diagonal d the columns first_col + p are contiguous, so each vector of cells adds into a
// contiguous run of column sums. Each signal's sums go straight into its own row of the
// packed output, in row order: no atomics, and subnormal sums are kept.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/features.cpp"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "kernels/log_std.h"
#include "vectorised/batch.h"
#include "vectorised/simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// sums[j] += term(weights, cells) over the signal's cells (i, j), rows in increasing order;
// term gets each vector of weights with where its cells are.
template <class Term>
void AddColumnSums(const float* weights, int rows, int cols, float* sums, const Term& term) {
    const FloatTag d;
    ForEachCellVector(rows, cols, [&](const CellVector& cells) {
        const FloatVec w = LoadPart(d, weights + cells.cell, cells.count);
        float* own = sums + cells.column;
        StorePart(d, hn::Add(LoadPart(d, own, cells.count), term(w, cells)), own, cells.count);
    });
}

}  // namespace

void ColumnTotals(const float* weights, int rows, int cols, float* sums) {
    AddColumnSums(weights, rows, cols, sums, [](FloatVec w, const CellVector&) { return w; });
}

// Every cell divided by its column's total; a column that carries no weight becomes zeros.
void Normalize(float* weights, int rows, int cols, const float* sums) {
    const FloatTag d;
    ForEachCellVector(rows, cols, [&](const CellVector& cells) {
        float* own = weights + cells.cell;
        const FloatVec sum = LoadPart(d, sums + cells.column, cells.count);
        const FloatVec ratio = hn::Div(LoadPart(d, own, cells.count), sum);
        StorePart(d, hn::IfThenElseZero(hn::Ne(sum, hn::Zero(d)), ratio), own, cells.count);
    });
}

void WeightedSums(const float* samples, const float* weights, int rows, int cols, float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums, [&](FloatVec w, const CellVector& cells) {
        return hn::Mul(LoadReversedPart(d, samples + cells.row, cells.count), w);
    });
}

void WeightedSquaredDeviations(const float* samples, const float* weights, const float* means,
                               int rows, int cols, float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums, [&](FloatVec w, const CellVector& cells) {
        const FloatVec difference = hn::Sub(LoadReversedPart(d, samples + cells.row, cells.count),
                                            LoadPart(d, means + cells.column, cells.count));
        return hn::Mul(hn::Mul(difference, difference), w);
    });
}

void WeightedIndexSums(const float* weights, int rows, int cols, float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums, [&](FloatVec w, const CellVector& cells) {
        return hn::Mul(w, FallingRows(d, cells.row));
    });
}

void WeightedIndexSquaredDeviations(const float* weights, const float* means, int rows, int cols,
                                    float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums, [&](FloatVec w, const CellVector& cells) {
        const FloatVec difference =
            hn::Sub(FallingRows(d, cells.row), LoadPart(d, means + cells.column, cells.count));
        return hn::Mul(hn::Mul(difference, difference), w);
    });
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(ColumnTotals);
HWY_EXPORT(Normalize);
HWY_EXPORT(WeightedSums);
HWY_EXPORT(WeightedSquaredDeviations);
HWY_EXPORT(WeightedIndexSums);
HWY_EXPORT(WeightedIndexSquaredDeviations);

namespace {

void finalize_log_std(float* row, int cols) {
    for (int j = 0; j < cols; ++j) {
        row[j] = clamped_log_std(row[j]);
    }
}

float* packed_row(HostAddress packed, const Signal& signal) {
    return host_pointer<float>(packed) + std::int64_t{signal.index} * signal.cols;
}

}  // namespace

void normalize_matrix(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      HostAddress gradient_matrix, HostAddress ref_total_grads) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    const auto weights = host_pointer<float>(gradient_matrix);
    for_each_signal(batch, [&](const Signal& signal) {
        float* sums = packed_row(ref_total_grads, signal);
        float* own = weights + signal.first_cell;
        HWY_DYNAMIC_DISPATCH(ColumnTotals)(own, signal.rows, signal.cols, sums);
        HWY_DYNAMIC_DISPATCH(Normalize)(own, signal.rows, signal.cols, sums);
    });
}

void calc_weighted_means(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                         int ref_signal_length, HostAddress gradient_matrix,
                         HostAddress weighted_means) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    for_each_signal(batch, [&](const Signal& signal) {
        HWY_DYNAMIC_DISPATCH(WeightedSums)
        (host_pointer<const float>(input_signal) + signal.first_sample,
         host_pointer<const float>(gradient_matrix) + signal.first_cell, signal.rows, signal.cols,
         packed_row(weighted_means, signal));
    });
}

void calc_weighted_std(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                       int ref_signal_length, HostAddress gradient_matrix,
                       HostAddress weighted_means, HostAddress weighted_std_log) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    for_each_signal(batch, [&](const Signal& signal) {
        float* out = packed_row(weighted_std_log, signal);
        std::memset(out, 0, sizeof(float) * signal.cols);
        HWY_DYNAMIC_DISPATCH(WeightedSquaredDeviations)
        (host_pointer<const float>(input_signal) + signal.first_sample,
         host_pointer<const float>(gradient_matrix) + signal.first_cell,
         packed_row(weighted_means, signal), signal.rows, signal.cols, out);
        finalize_log_std(out, signal.cols);
    });
}

void calc_weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                             HostAddress gradient_matrix, HostAddress weighted_index_std_log) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    for_each_signal(batch, [&](const Signal& signal) {
        const float* weights = host_pointer<const float>(gradient_matrix) + signal.first_cell;
        float* out = packed_row(weighted_index_std_log, signal);
        std::vector<float> index_means(static_cast<std::size_t>(signal.cols), 0.0f);
        HWY_DYNAMIC_DISPATCH(WeightedIndexSums)
        (weights, signal.rows, signal.cols, index_means.data());
        std::memset(out, 0, sizeof(float) * signal.cols);
        HWY_DYNAMIC_DISPATCH(WeightedIndexSquaredDeviations)
        (weights, index_means.data(), signal.rows, signal.cols, out);
        finalize_log_std(out, signal.cols);
    });
}

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
