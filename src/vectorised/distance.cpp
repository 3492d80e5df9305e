// Distance matrices and their gradient on the CPU, vectorised along the anti-diagonals: on
// diagonal d the columns rise and the rows fall, so the reference is read forwards and the
// signal backwards. The gradient sums go, per signal, into the signal's own samples and into
// a reference gradient per group of signals, added in a fixed order: no atomics, the same
// sums on every run.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/distance.cpp"
#include <algorithm>
#include <vector>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "vectorised/batch.h"
#include "vectorised/simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// Differences closer to zero than this carry no gradient: there is no subgradient choice at
// a tie. 0 inside the dead zone, otherwise the sign of z; a NaN stays NaN.
FloatVec DeadZoneSign(FloatTag d, FloatVec z) {
    const FloatVec sign =
        hn::IfThenElse(hn::Gt(z, hn::Zero(d)), hn::Set(d, 1.0f),
                       hn::IfThenElse(hn::Lt(z, hn::Zero(d)), hn::Set(d, -1.0f), z));
    return hn::IfThenZeroElse(hn::Lt(hn::Abs(z), hn::Set(d, 1e-7f)), sign);
}

}  // namespace

void DistanceSignal(const float* samples, const float* reference, float* distance, int rows,
                    int cols) {
    const FloatTag d;
    ForEachCellVector(rows, cols, [&](const CellVector& cells) {
        const FloatVec x = LoadReversedPart(d, samples + cells.row, cells.count);
        const FloatVec y = LoadPart(d, reference + cells.column, cells.count);
        StorePart(d, hn::Abs(hn::Sub(x, y)), distance + cells.cell, cells.count);
    });
}

// Adds every cell's g * sign(x - y) to its sample's gradient and g * sign(y - x) to its
// reference sample's.
void DistanceGradientSignal(const float* samples, const float* reference, const float* gradient,
                            float* sample_gradients, float* reference_gradients, int rows,
                            int cols) {
    const FloatTag d;
    ForEachCellVector(rows, cols, [&](const CellVector& cells) {
        const FloatVec x = LoadReversedPart(d, samples + cells.row, cells.count);
        const FloatVec y = LoadPart(d, reference + cells.column, cells.count);
        const FloatVec g = LoadPart(d, gradient + cells.cell, cells.count);
        float* sample_sums = sample_gradients + cells.row;
        float* reference_sums = reference_gradients + cells.column;
        StoreReversedPart(d,
                          hn::Add(LoadReversedPart(d, sample_sums, cells.count),
                                  hn::Mul(g, DeadZoneSign(d, hn::Sub(x, y)))),
                          sample_sums, cells.count);
        StorePart(d,
                  hn::Add(LoadPart(d, reference_sums, cells.count),
                          hn::Mul(g, DeadZoneSign(d, hn::Sub(y, x)))),
                  reference_sums, cells.count);
    });
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(DistanceSignal);
HWY_EXPORT(DistanceGradientSignal);

void calc_manhattan_distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                             HostAddress ref_signal, int ref_signal_length,
                             HostAddress distance_matrix) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    const auto samples = host_pointer<const float>(input_signal);
    const auto reference = host_pointer<const float>(ref_signal);
    const auto distance = host_pointer<float>(distance_matrix);
    for_each_signal(batch, [&](const Signal& signal) {
        HWY_DYNAMIC_DISPATCH(DistanceSignal)
        (samples + signal.first_sample, reference, distance + signal.first_cell, signal.rows,
         signal.cols);
    });
}

void calc_manhattan_distance_gradient(HostAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      HostAddress ref_signal, int ref_signal_length,
                                      HostAddress gradient_matrix, HostAddress input_gradients,
                                      HostAddress ref_gradients) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    const auto samples = host_pointer<const float>(input_signal);
    const auto reference = host_pointer<const float>(ref_signal);
    const auto gradient = host_pointer<const float>(gradient_matrix);
    const auto sample_gradients = host_pointer<float>(input_gradients);
    const std::size_t cols = static_cast<std::size_t>(ref_signal_length);
    std::vector<float> group_sums(static_cast<std::size_t>(signal_groups(batch)) * cols, 0.0f);
    for_each_signal_group(batch, [&](int group, int first, int last) {
        float* own = group_sums.data() + static_cast<std::size_t>(group) * cols;
        for (int k = first; k < last; ++k) {
            const Signal signal = batch.signal(k);
            HWY_DYNAMIC_DISPATCH(DistanceGradientSignal)
            (samples + signal.first_sample, reference, gradient + signal.first_cell,
             sample_gradients + signal.first_sample, own, signal.rows, signal.cols);
        }
    });
    float* reference_gradients = host_pointer<float>(ref_gradients);
    for (std::size_t offset = 0; offset < group_sums.size(); offset += cols) {
        for (std::size_t j = 0; j < cols; ++j) {
            reference_gradients[j] += group_sums[offset + j];
        }
    }
}

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
