// The cost of a vector of a diagonal's cells from the samples, and its derivative added into
// the gradients of the samples and the reference, for any number of channels and both costs,
// compiled once per instruction set. The distance and Soft-DTW passes share them, so a cost
// formed in either is the same bits.

#if defined(ORVANE_VECTORISED_COSTS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_COSTS_INL_H_
#undef ORVANE_VECTORISED_COSTS_INL_H_
#else
#define ORVANE_VECTORISED_COSTS_INL_H_
#endif

#include <cstddef>
#include <type_traits>

#include "hwy/highway.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {

// Where sample `row` of channel c of a signal (or of its gradients) is, stored in reverse: the
// lanes of a diagonal, rows falling from `row`, are the ones after it.
inline std::ptrdiff_t ReversedSample(int channel, int rows, int row) {
    return static_cast<std::ptrdiff_t>(channel) * rows + (rows - 1 - row);
}

// The costs of `count` cells: rows falling from `row`, columns rising from `column`; channel
// 0's first, each next channel's added in turn. The cost's kind is a template argument, so
// that the loop over the channels branches on nothing.
template <CostKind kKind, class D>
HWY_INLINE VecOf<D> CellCostsOf(D d, const SampleSource<Lane<D>>& source, int row, int column,
                                std::size_t count) {
    const auto channel_cost = [&](int c) {
        const auto x = LoadPart(d, source.samples + ReversedSample(c, source.rows, row), count);
        const auto y = LoadPart(
            d, source.reference + static_cast<std::ptrdiff_t>(c) * source.cols + column, count);
        const auto difference = hn::Sub(x, y);
        if constexpr (kKind == CostKind::abs) {
            return hn::Abs(difference);
        } else {
            return hn::Mul(difference, difference);
        }
    };
    VecOf<D> total = channel_cost(0);
    for (int c = 1; c < source.channels; ++c) {
        total = hn::Add(total, channel_cost(c));
    }
    return total;
}

template <class D>
HWY_INLINE VecOf<D> CellCosts(D d, const SampleSource<Lane<D>>& source, int row, int column,
                              std::size_t count) {
    return source.kind == CostKind::abs
               ? CellCostsOf<CostKind::abs>(d, source, row, column, count)
               : CellCostsOf<CostKind::sqeuclidean>(d, source, row, column, count);
}

// Adds g times each cell's derivative of its cost into the gradients of its samples (rows
// falling from `row`, channel-major in reverse like the samples; none for nullptr) and of its
// reference samples (columns rising from `column`, channel-major): sign(x - y) and sign(y - x)
// for |x - y|, with no gradient at a tie (the dead zone), 2 (x - y) and 2 (y - x) for the
// square. The kind and whether the samples get gradients are template arguments, as above.
template <CostKind kKind, bool kSamples, class D>
HWY_INLINE void AddCellGradientsOf(D d, VecOf<D> g, const SampleSource<Lane<D>>& source,
                                   Lane<D>* sample_gradients, Lane<D>* reference_gradients, int row,
                                   int column, std::size_t count) {
    for (int c = 0; c < source.channels; ++c) {
        const std::ptrdiff_t sample_channel = ReversedSample(c, source.rows, row);
        const std::ptrdiff_t reference_channel =
            static_cast<std::ptrdiff_t>(c) * source.cols + column;
        const auto x = LoadPart(d, source.samples + sample_channel, count);
        const auto y = LoadPart(d, source.reference + reference_channel, count);
        VecOf<D> to_sample;
        VecOf<D> to_reference;
        if constexpr (kKind == CostKind::abs) {
            to_sample = DeadZoneSign(d, hn::Sub(x, y));
            to_reference = DeadZoneSign(d, hn::Sub(y, x));
        } else {
            const auto difference = hn::Sub(x, y);
            to_sample = hn::Add(difference, difference);
            to_reference = hn::Neg(to_sample);
        }
        if constexpr (kSamples) {
            Lane<D>* own_samples = sample_gradients + sample_channel;
            StorePart(d, hn::Add(LoadPart(d, own_samples, count), hn::Mul(g, to_sample)),
                      own_samples, count);
        }
        Lane<D>* own_reference = reference_gradients + reference_channel;
        StorePart(d, hn::Add(LoadPart(d, own_reference, count), hn::Mul(g, to_reference)),
                  own_reference, count);
    }
}

template <class D>
HWY_INLINE void AddCellGradients(D d, VecOf<D> g, const SampleSource<Lane<D>>& source,
                                 Lane<D>* sample_gradients, Lane<D>* reference_gradients, int row,
                                 int column, std::size_t count) {
    const auto add = [&](auto kind, auto samples) {
        AddCellGradientsOf<decltype(kind)::value, decltype(samples)::value>(
            d, g, source, sample_gradients, reference_gradients, row, column, count);
    };
    using Abs = std::integral_constant<CostKind, CostKind::abs>;
    using Squared = std::integral_constant<CostKind, CostKind::sqeuclidean>;
    if (source.kind == CostKind::abs) {
        sample_gradients != nullptr ? add(Abs{}, std::true_type{}) : add(Abs{}, std::false_type{});
    } else {
        sample_gradients != nullptr ? add(Squared{}, std::true_type{})
                                    : add(Squared{}, std::false_type{});
    }
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_COSTS_INL_H_
