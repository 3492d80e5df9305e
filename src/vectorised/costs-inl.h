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

#include <array>
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

// Loads and stores of a whole vector, and of its first `count` lanes. The loops over the
// channels take one or the other as a template argument, so that a whole vector's channels
// are plain loads and stores with no test of the count.
template <class D>
struct WholeLanes {
    D d;
    HWY_INLINE VecOf<D> Load(const Lane<D>* p) const { return hn::LoadU(d, p); }
    HWY_INLINE void Store(VecOf<D> v, Lane<D>* p) const { hn::StoreU(v, d, p); }
};

template <class D>
struct PartLanes {
    D d;
    std::size_t count;
    HWY_INLINE VecOf<D> Load(const Lane<D>* p) const { return LoadPart(d, p, count); }
    HWY_INLINE void Store(VecOf<D> v, Lane<D>* p) const { StorePart(d, v, p, count); }
};

// Calls body(lanes) with the loads and stores that `count` lanes need.
template <class D, class Body>
HWY_INLINE auto WithLanes(D d, std::size_t count, const Body& body) {
    return count == hn::Lanes(d) ? body(WholeLanes<D>{d}) : body(PartLanes<D>{d, count});
}

// The costs of kVectors adjacent vectors of a diagonal's cells, the first's rows falling from
// `row` and columns rising from `column`; channel 0's first, each next channel's added in
// turn. The cost's kind is a template argument, so that the loop over the channels branches
// on nothing; several vectors at once keep several sums in flight.
template <CostKind kKind, std::size_t kVectors, class Lanes, typename T>
HWY_INLINE auto CellCostsOf(const Lanes& lanes, const SampleSource<T>& source, int row,
                            int column) {
    using V = decltype(lanes.Load(source.samples));
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(hn::Lanes(lanes.d));
    const std::ptrdiff_t rows = source.rows;
    const std::ptrdiff_t cols = source.cols;
    const T* x = source.samples + ReversedSample(0, source.rows, row);
    const T* y = source.reference + column;
    const auto channel_costs = [&](const auto& take) {
        for (std::size_t k = 0; k < kVectors; ++k) {
            const auto difference = hn::Sub(lanes.Load(x + k * step), lanes.Load(y + k * step));
            if constexpr (kKind == CostKind::abs) {
                take(k, hn::Abs(difference));
            } else {
                take(k, hn::Mul(difference, difference));
            }
        }
        x += rows;
        y += cols;
    };
    std::array<V, kVectors> totals;
    channel_costs([&](std::size_t k, V cost) { totals[k] = cost; });
    for (int c = 1; c < source.channels; ++c) {
        channel_costs([&](std::size_t k, V cost) { totals[k] = hn::Add(totals[k], cost); });
    }
    return totals;
}

template <std::size_t kVectors, class Lanes, typename T>
HWY_INLINE auto CellCostsOfKind(const Lanes& lanes, const SampleSource<T>& source, int row,
                                int column) {
    return source.kind == CostKind::abs
               ? CellCostsOf<CostKind::abs, kVectors>(lanes, source, row, column)
               : CellCostsOf<CostKind::sqeuclidean, kVectors>(lanes, source, row, column);
}

// The costs of `count` cells from `row`, `column` as above.
template <class D>
HWY_INLINE VecOf<D> CellCosts(D d, const SampleSource<Lane<D>>& source, int row, int column,
                              std::size_t count) {
    return WithLanes(d, count, [&](const auto& lanes) {
        return CellCostsOfKind<1>(lanes, source, row, column)[0];
    });
}

// The costs of two whole vectors of cells from `row`, `column`, the second's after the first's.
template <class D>
HWY_INLINE std::array<VecOf<D>, 2> WholeCellCostPair(D d, const SampleSource<Lane<D>>& source,
                                                     int row, int column) {
    return CellCostsOfKind<2>(WholeLanes<D>{d}, source, row, column);
}

// Adds g times each cell's derivative of its cost into the gradients of its samples (rows
// falling from `row`, channel-major in reverse like the samples; none for nullptr) and of its
// reference samples (columns rising from `column`, channel-major): sign(x - y) for |x - y|,
// with no gradient at a tie (the dead zone), and 2 (x - y) for the square; the reference's
// derivative is the sample's negated, so one product serves both. The kind and whether the
// samples get gradients are template arguments, as above.
template <CostKind kKind, bool kSamples, class Lanes, typename T, class V>
HWY_INLINE void AddCellGradientsOf(const Lanes& lanes, V g, const SampleSource<T>& source,
                                   T* sample_gradients, T* reference_gradients, int row,
                                   int column) {
    const std::ptrdiff_t rows = source.rows;
    const std::ptrdiff_t cols = source.cols;
    const std::ptrdiff_t first_sample = ReversedSample(0, source.rows, row);
    const T* x = source.samples + first_sample;
    const T* y = source.reference + column;
    T* to_samples = kSamples ? sample_gradients + first_sample : nullptr;
    T* to_reference = reference_gradients + column;
    const V scale = kKind == CostKind::abs ? g : hn::Add(g, g);
    for (int c = 0; c < source.channels; ++c) {
        const auto difference = hn::Sub(lanes.Load(x), lanes.Load(y));
        const V slope =
            kKind == CostKind::abs ? DeadZoneSign(lanes.d, difference) : difference;
        const V term = hn::Mul(scale, slope);
        if constexpr (kSamples) {
            lanes.Store(hn::Add(lanes.Load(to_samples), term), to_samples);
            to_samples += rows;
        }
        lanes.Store(hn::Sub(lanes.Load(to_reference), term), to_reference);
        x += rows;
        y += cols;
        to_reference += cols;
    }
}

template <class D>
HWY_INLINE void AddCellGradients(D d, VecOf<D> g, const SampleSource<Lane<D>>& source,
                                 Lane<D>* sample_gradients, Lane<D>* reference_gradients, int row,
                                 int column, std::size_t count) {
    WithLanes(d, count, [&](const auto& lanes) {
        const auto add = [&](auto kind, auto samples) {
            AddCellGradientsOf<decltype(kind)::value, decltype(samples)::value>(
                lanes, g, source, sample_gradients, reference_gradients, row, column);
        };
        using Abs = std::integral_constant<CostKind, CostKind::abs>;
        using Squared = std::integral_constant<CostKind, CostKind::sqeuclidean>;
        if (source.kind == CostKind::abs) {
            sample_gradients != nullptr ? add(Abs{}, std::true_type{})
                                        : add(Abs{}, std::false_type{});
        } else {
            sample_gradients != nullptr ? add(Squared{}, std::true_type{})
                                        : add(Squared{}, std::false_type{});
        }
    });
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_COSTS_INL_H_
