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
#include "vectorised/batch.h"
#include "vectorised/simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// sums[j] += term(weights, cells) over the signal's cells (i, j), rows in increasing order.
// term gets the vector of weights, the rows of its lanes (first_row, first_row - 1, ...),
// the first column and the lane count.
template <class Term>
void AddColumnSums(const float* weights, int rows, int cols, float* sums, const Term& term) {
    const FloatTag d;
    const std::size_t lanes = hn::Lanes(d);
    for (int diagonal = 0; diagonal < rows + cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            const int column = span.first_col + p;
            const FloatVec w = LoadPart(d, weights + span.start + p, count);
            float* own = sums + column;
            StorePart(d,
                      hn::Add(LoadPart(d, own, count), term(w, diagonal - column, column, count)),
                      own, count);
        }
    }
}

}  // namespace

void ColumnTotals(const float* weights, int rows, int cols, float* sums) {
    AddColumnSums(weights, rows, cols, sums, [](FloatVec w, int, int, std::size_t) { return w; });
}

// Every cell divided by its column's total; a column that carries no weight becomes zeros.
void Normalize(float* weights, int rows, int cols, const float* sums) {
    const FloatTag d;
    const std::size_t lanes = hn::Lanes(d);
    for (int diagonal = 0; diagonal < rows + cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            float* cells = weights + span.start + p;
            const FloatVec sum = LoadPart(d, sums + span.first_col + p, count);
            const FloatVec ratio = hn::Div(LoadPart(d, cells, count), sum);
            StorePart(d, hn::IfThenElseZero(hn::Ne(sum, hn::Zero(d)), ratio), cells, count);
        }
    }
}

void WeightedSums(const float* samples, const float* weights, int rows, int cols, float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums,
                  [&](FloatVec w, int first_row, int, std::size_t count) {
                      return hn::Mul(LoadReversedPart(d, samples + first_row, count), w);
                  });
}

void WeightedSquaredDeviations(const float* samples, const float* weights, const float* means,
                               int rows, int cols, float* sums) {
    const FloatTag d;
    AddColumnSums(
        weights, rows, cols, sums, [&](FloatVec w, int first_row, int column, std::size_t count) {
            const FloatVec difference = hn::Sub(LoadReversedPart(d, samples + first_row, count),
                                                LoadPart(d, means + column, count));
            return hn::Mul(hn::Mul(difference, difference), w);
        });
}

void WeightedIndexSums(const float* weights, int rows, int cols, float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums, [&](FloatVec w, int first_row, int, std::size_t) {
        return hn::Mul(w, FallingRows(d, first_row));
    });
}

void WeightedIndexSquaredDeviations(const float* weights, const float* means, int rows, int cols,
                                    float* sums) {
    const FloatTag d;
    AddColumnSums(weights, rows, cols, sums,
                  [&](FloatVec w, int first_row, int column, std::size_t count) {
                      const FloatVec difference =
                          hn::Sub(FallingRows(d, first_row), LoadPart(d, means + column, count));
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

// ln(sqrt(v) + 1e-8) clamped to [-10, 10]; a NaN (from a negative or NaN variance) gives 10.
float clamped_log_std(float variance) {
    const float deviation = std::sqrt(variance);
    const float shifted = deviation + 1e-8f;
    return std::fmax(-10.0f, std::fmin(10.0f, std::log(shifted)));
}

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
