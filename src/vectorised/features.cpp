// Alignment statistics on the CPU. Every statistic is a per-column sum over a signal's rows;
// on diagonal d the columns first_col + p are contiguous, so each vector of cells adds into a
// contiguous run of column sums. Each signal's sums go straight into its own row of the
// packed output, in row order: no atomics, and subnormal sums are kept.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/features.cpp"
#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "common/log_std.h"
#include "vectorised/batch.h"
#include "vectorised/simd-inl.h"

#ifndef ORVANE_VECTORISED_STATISTICS_PASSES
#define ORVANE_VECTORISED_STATISTICS_PASSES
namespace orvane::vectorised {

// One instruction set's statistics passes for element type T.
template <typename T>
struct StatisticsPasses {
    void (*column_totals)(const T* weights, int rows, int cols, T* sums);
    void (*normalize)(T* weights, int rows, int cols, const T* sums);
    void (*weighted_sums)(const T* samples, const T* weights, int rows, int cols, T* sums);
    void (*weighted_squared_deviations)(const T* samples, const T* weights, const T* means,
                                        int rows, int cols, T* sums);
    void (*weighted_index_sums)(const T* weights, int rows, int cols, T* sums);
    void (*weighted_index_squared_deviations)(const T* weights, const T* means, int rows, int cols,
                                              T* sums);
};

}  // namespace orvane::vectorised
#endif  // ORVANE_VECTORISED_STATISTICS_PASSES

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// sums[j] += term(weights, cells) over the signal's cells (i, j), rows in increasing order;
// term gets each vector of weights with where its cells are.
template <typename T, class Term>
void AddColumnSums(const T* weights, int rows, int cols, T* sums, const Term& term) {
    const TagOf<T> d;
    ForEachCellVector(d, rows, cols, [&](const CellVector& cells) {
        const auto w = LoadPart(d, weights + cells.cell, cells.count);
        T* own = sums + cells.column;
        StorePart(d, hn::Add(LoadPart(d, own, cells.count), term(w, cells)), own, cells.count);
    });
}

template <typename T>
void ColumnTotals(const T* weights, int rows, int cols, T* sums) {
    AddColumnSums(weights, rows, cols, sums, [](auto w, const CellVector&) { return w; });
}

// Every cell divided by its column's total; a column that carries no weight becomes zeros.
template <typename T>
void Normalize(T* weights, int rows, int cols, const T* sums) {
    const TagOf<T> d;
    ForEachCellVector(d, rows, cols, [&](const CellVector& cells) {
        T* own = weights + cells.cell;
        const auto sum = LoadPart(d, sums + cells.column, cells.count);
        const auto ratio = hn::Div(LoadPart(d, own, cells.count), sum);
        StorePart(d, hn::IfThenElseZero(hn::Ne(sum, hn::Zero(d)), ratio), own, cells.count);
    });
}

template <typename T>
void WeightedSums(const T* samples, const T* weights, int rows, int cols, T* sums) {
    const TagOf<T> d;
    AddColumnSums(weights, rows, cols, sums, [&](auto w, const CellVector& cells) {
        return hn::Mul(LoadReversedPart(d, samples + cells.row, cells.count), w);
    });
}

template <typename T>
void WeightedSquaredDeviations(const T* samples, const T* weights, const T* means, int rows,
                               int cols, T* sums) {
    const TagOf<T> d;
    AddColumnSums(weights, rows, cols, sums, [&](auto w, const CellVector& cells) {
        const auto difference = hn::Sub(LoadReversedPart(d, samples + cells.row, cells.count),
                                        LoadPart(d, means + cells.column, cells.count));
        return hn::Mul(hn::Mul(difference, difference), w);
    });
}

template <typename T>
void WeightedIndexSums(const T* weights, int rows, int cols, T* sums) {
    const TagOf<T> d;
    AddColumnSums(weights, rows, cols, sums, [&](auto w, const CellVector& cells) {
        return hn::Mul(w, FallingRows(d, cells.row));
    });
}

template <typename T>
void WeightedIndexSquaredDeviations(const T* weights, const T* means, int rows, int cols, T* sums) {
    const TagOf<T> d;
    AddColumnSums(weights, rows, cols, sums, [&](auto w, const CellVector& cells) {
        const auto difference =
            hn::Sub(FallingRows(d, cells.row), LoadPart(d, means + cells.column, cells.count));
        return hn::Mul(hn::Mul(difference, difference), w);
    });
}

template <typename T>
StatisticsPasses<T> PassesOf() {
    return {&ColumnTotals<T>,      &Normalize<T>,
            &WeightedSums<T>,      &WeightedSquaredDeviations<T>,
            &WeightedIndexSums<T>, &WeightedIndexSquaredDeviations<T>};
}

}  // namespace

// This instruction set's passes of each element type, which Highway dispatches by name.
StatisticsPasses<float> StatisticsPasses32() { return PassesOf<float>(); }
StatisticsPasses<double> StatisticsPasses64() { return PassesOf<double>(); }

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(StatisticsPasses32);
HWY_EXPORT(StatisticsPasses64);

namespace {

template <typename T>
StatisticsPasses<T> statistics_passes() {
    if constexpr (std::is_same_v<T, float>) {
        return HWY_DYNAMIC_DISPATCH(StatisticsPasses32)();
    } else {
        return HWY_DYNAMIC_DISPATCH(StatisticsPasses64)();
    }
}

template <typename T>
void finalize_log_std(T* row, int cols) {
    for (int j = 0; j < cols; ++j) {
        row[j] = clamped_log_std(row[j]);
    }
}

template <typename T>
T* packed_row(HostAddress packed, const Signal& signal) {
    return host_pointer<T>(packed) + std::int64_t{signal.index} * signal.cols;
}

template <typename T>
void normalize(const std::vector<int>& input_signal_lengths, int ref_signal_length,
               HostAddress gradient_matrix, HostAddress ref_total_grads) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("normalize_matrix", {{"gradient_matrix_ptr", gradient_matrix},
                                         {"ref_total_grads_ptr", ref_total_grads}});
    const auto passes = statistics_passes<T>();
    const auto weights = host_pointer<T>(gradient_matrix);
    for_each_signal(batch, [&](const Signal& signal) {
        T* sums = packed_row<T>(ref_total_grads, signal);
        T* own = weights + signal.first_cell;
        passes.column_totals(own, signal.rows, signal.cols, sums);
        passes.normalize(own, signal.rows, signal.cols, sums);
    });
}

template <typename T>
void add_weighted_means(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                        int ref_signal_length, HostAddress gradient_matrix, HostAddress means) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("calc_weighted_means", {{"input_signal_ptr", input_signal},
                                            {"gradient_matrix_ptr", gradient_matrix},
                                            {"weighted_means_ptr", means}});
    const auto passes = statistics_passes<T>();
    for_each_signal(batch, [&](const Signal& signal) {
        passes.weighted_sums(host_pointer<const T>(input_signal) + signal.first_sample,
                             host_pointer<const T>(gradient_matrix) + signal.first_cell,
                             signal.rows, signal.cols, packed_row<T>(means, signal));
    });
}

template <typename T>
void weighted_std(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                  int ref_signal_length, HostAddress gradient_matrix, HostAddress means,
                  HostAddress std_log) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("calc_weighted_std", {{"input_signal_ptr", input_signal},
                                          {"gradient_matrix_ptr", gradient_matrix},
                                          {"weighted_means_ptr", means},
                                          {"weighted_std_log_ptr", std_log}});
    const auto passes = statistics_passes<T>();
    for_each_signal(batch, [&](const Signal& signal) {
        T* out = packed_row<T>(std_log, signal);
        std::fill(out, out + signal.cols, T{0});
        passes.weighted_squared_deviations(
            host_pointer<const T>(input_signal) + signal.first_sample,
            host_pointer<const T>(gradient_matrix) + signal.first_cell,
            packed_row<T>(means, signal), signal.rows, signal.cols, out);
        finalize_log_std(out, signal.cols);
    });
}

template <typename T>
void weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                        HostAddress gradient_matrix, HostAddress index_std_log) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("calc_weighted_index_std", {{"gradient_matrix_ptr", gradient_matrix},
                                                {"weighted_index_std_log_ptr", index_std_log}});
    const auto passes = statistics_passes<T>();
    for_each_signal(batch, [&](const Signal& signal) {
        const T* weights = host_pointer<const T>(gradient_matrix) + signal.first_cell;
        T* out = packed_row<T>(index_std_log, signal);
        std::vector<T> index_means(static_cast<std::size_t>(signal.cols), T{0});
        passes.weighted_index_sums(weights, signal.rows, signal.cols, index_means.data());
        std::fill(out, out + signal.cols, T{0});
        passes.weighted_index_squared_deviations(weights, index_means.data(), signal.rows,
                                                 signal.cols, out);
        finalize_log_std(out, signal.cols);
    });
}

}  // namespace

void normalize_matrix(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      HostAddress gradient_matrix, HostAddress ref_total_grads) {
    normalize<float>(input_signal_lengths, ref_signal_length, gradient_matrix, ref_total_grads);
}

void normalize_matrix_float64(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                              HostAddress gradient_matrix, HostAddress ref_total_grads) {
    normalize<double>(input_signal_lengths, ref_signal_length, gradient_matrix, ref_total_grads);
}

void calc_weighted_means(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                         int ref_signal_length, HostAddress gradient_matrix,
                         HostAddress weighted_means) {
    add_weighted_means<float>(input_signal, input_signal_lengths, ref_signal_length,
                              gradient_matrix, weighted_means);
}

void calc_weighted_means_float64(HostAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, HostAddress gradient_matrix,
                                 HostAddress weighted_means) {
    add_weighted_means<double>(input_signal, input_signal_lengths, ref_signal_length,
                               gradient_matrix, weighted_means);
}

void calc_weighted_std(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                       int ref_signal_length, HostAddress gradient_matrix,
                       HostAddress weighted_means, HostAddress weighted_std_log) {
    weighted_std<float>(input_signal, input_signal_lengths, ref_signal_length, gradient_matrix,
                        weighted_means, weighted_std_log);
}

void calc_weighted_std_float64(HostAddress input_signal,
                               const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               HostAddress gradient_matrix, HostAddress weighted_means,
                               HostAddress weighted_std_log) {
    weighted_std<double>(input_signal, input_signal_lengths, ref_signal_length, gradient_matrix,
                         weighted_means, weighted_std_log);
}

void calc_weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                             HostAddress gradient_matrix, HostAddress weighted_index_std_log) {
    weighted_index_std<float>(input_signal_lengths, ref_signal_length, gradient_matrix,
                              weighted_index_std_log);
}

void calc_weighted_index_std_float64(const std::vector<int>& input_signal_lengths,
                                     int ref_signal_length, HostAddress gradient_matrix,
                                     HostAddress weighted_index_std_log) {
    weighted_index_std<double>(input_signal_lengths, ref_signal_length, gradient_matrix,
                               weighted_index_std_log);
}

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
