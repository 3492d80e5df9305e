// Signals side by side, compiled once per instruction set: as many signals of one shape as a
// vector has lanes, lane k holding signal k's cell, so that a short diagonal still fills
// whole vectors. Their values are held interleaved (position p of lane k at p * lanes + k);
// every cell takes the steps the passes along the diagonals (along_diagonals-inl.h) take,
// the same bits. Holds ForwardSideBySide (float32 and float64 scores), BackwardSideBySide
// (float32: the kernels' step weights), ForwardSideBySideMixed and BackwardSideBySideMixed
// (the shares), and PassesSideBySide, which picks them by path. Their sources and sinks are in
// sources_sinks-inl.h, the lanes' moves to and from interleaved order in interleave-inl.h;
// entries-inl.h calls them.

#if defined(ORVANE_VECTORISED_SOFTDTW_SIDE_BY_SIDE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_SIDE_BY_SIDE_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_SIDE_BY_SIDE_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_SIDE_BY_SIDE_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "hwy/highway.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/backward_weights-inl.h"
#include "vectorised/softdtw/mixed_differences-inl.h"
#include "vectorised/softdtw/rolling_diagonals-inl.h"
#include "vectorised/softdtw/sources_sinks-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// R of one signal per lane, each cell taking ForwardAlong's steps; biases one a lane.
template <typename T, class Costs, class Scores>
void ForwardSideBySide(Costs& costs, Scores& sink, const T* biases, int rows, int cols, T gamma,
                       const Band& band) {
    const TagOf<T> d;
    const std::int64_t lanes = static_cast<std::int64_t>(hn::Lanes(d));
    const auto gamma_v = hn::Set(d, gamma);
    const VectorGammaScale<TagOf<T>> scale(d, -gamma);
    const auto bias_v = hn::LoadU(d, biases);
    RollingDiagonals<T> scaled(std::min(rows, cols), -kInfinity<T>, static_cast<int>(lanes));
    const auto at = [&](const T* diagonal_values, std::int64_t p) {
        return hn::LoadU(d, diagonal_values + p * lanes);
    };

    // R of a diagonal's cells, value(cost, around, p) each: the first cell its cost alone.
    const auto sweep = [&](int diagonal, const auto& value_of) {
        const Span span = span_of(diagonal, rows, cols);
        const WithNeighbours<T> around(scaled, diagonal, -1);
        const auto [begin, end] = band.positions(diagonal, span);
        costs.reach(span);
        sink.reach(span);
        for (std::int64_t p = begin; p < end; ++p) {
            const auto value = value_of(hn::Sub(costs.at(d, span, diagonal, p), bias_v), around, p);
            sink.take(d, value, span, diagonal, p, 0);
            hn::StoreU(scale(value), d, around.here + p * lanes);
        }
        sink.finish(span, begin, end);
        scaled.fence(diagonal, begin, end);
    };
    sweep(0, [](VecOf<TagOf<T>> cost, const WithNeighbours<T>&, std::int64_t) { return cost; });
    for (int diagonal = 1; diagonal < rows + cols - 1; ++diagonal) {
        const PredecessorShifts shifts(diagonal, rows);
        sweep(diagonal, [&](VecOf<TagOf<T>> cost, const WithNeighbours<T>& around, std::int64_t p) {
            return hn::Add(
                cost, Softmin(d, at(around.near, p + shifts.up), at(around.far, p + shifts.corner),
                              at(around.near, p - 1 + shifts.up), gamma_v));
        });
    }
}

// E of one matrix per lane from its costs and R; biases and final scores one a lane.
template <typename T, class Costs, class ScoreMatrix, class Gradients>
void BackwardSideBySide(Costs& costs, ScoreMatrix& scores, Gradients& sink, const T* biases,
                        int rows, int cols, T gamma, bool free_end, const T* final_scores,
                        bool last_row_only, T ref_gap_penalty, const Band& band) {
    const TagOf<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const VectorGammaScale<TagOf<T>> over_gamma(d, gamma);
    const BackwardStart<T> start{rows, cols, free_end, last_row_only, ref_gap_penalty};
    const auto bias_v = hn::LoadU(d, biases);
    const auto finals = hn::LoadU(d, final_scores);
    const int longest = std::min(rows, cols);
    const int width = static_cast<int>(lanes);
    RollingDiagonals<T> own_scores(longest, kInfinity<T>, width), own_costs(longest, T{0}, width),
        expected(longest, T{0}, width);
    const int last_diagonal = rows + cols - 2;
    const auto at = [&](const T* diagonal_values, std::int64_t p) {
        return hn::LoadU(d, diagonal_values + p * static_cast<std::int64_t>(lanes));
    };

    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const Span span = span_of(diagonal, rows, cols);
        const SuccessorShifts shifts(diagonal, rows);
        const WithNeighbours<T> around_scores(own_scores, diagonal, 1);
        const WithNeighbours<T> around_costs(own_costs, diagonal, 1);
        const WithNeighbours<T> around_expected(expected, diagonal, 1);
        const auto [begin, end] = band.positions(diagonal, span);
        scores.read(lanes, span, around_scores.here);
        costs.reach(span);
        sink.reach(span);
        for (std::int64_t p = begin; p < end; ++p) {
            hn::StoreU(hn::Sub(costs.at(d, span, diagonal, p), bias_v), d,
                       around_costs.here + p * static_cast<std::int64_t>(lanes));
            const auto r = at(around_scores.here, p);
            auto e = start.side_by_side(d, span, diagonal, p, [&](VecOf<TagOf<T>> penalty) {
                return over_gamma(hn::Sub(finals, hn::Add(penalty, r)));
            });
            const auto weight = [&](bool far, std::int64_t q) {
                return StepWeight(d, at(far ? around_scores.far : around_scores.near, q), r,
                                  at(far ? around_costs.far : around_costs.near, q), over_gamma);
            };
            const std::int64_t down = p + shifts.down;
            const std::int64_t right = p + 1 + shifts.down;
            const std::int64_t corner = p + shifts.corner;
            e = FusedMulAdd(d, at(around_expected.near, down), weight(false, down), e);
            e = FusedMulAdd(d, at(around_expected.far, corner), weight(true, corner), e);
            e = FusedMulAdd(d, at(around_expected.near, right), weight(false, right), e);
            sink.take(d, e, span, diagonal, p);
            hn::StoreU(e, d, around_expected.here + p * static_cast<std::int64_t>(lanes));
        }
        for (auto* rolling : {&own_scores, &own_costs, &expected}) {
            rolling->fence(diagonal, begin, end);
        }
    }
}

// The mixed path's R (or final scores) of one signal per lane, each cell taking ForwardAlongMixed's
// steps: a float32 vector of lanes, its float64 work on the two halves.
template <class Costs, class Scores>
void ForwardSideBySideMixed(Costs& costs, Scores& sink, const float* biases, int rows, int cols,
                            float gamma, const Band& band) {
    const MixedTag d;
    const MixedFloatTag df;
    const std::int64_t lanes = static_cast<std::int64_t>(hn::Lanes(df));
    const std::int64_t half = static_cast<std::int64_t>(hn::Lanes(d));
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
    const auto gamma_v = hn::Set(df, gamma);
    const auto bias_v = hn::LoadU(df, biases);
    RollingDiagonals<double> scores(std::min(rows, cols), kInfinity<double>,
                                    static_cast<int>(lanes));
    // R of a diagonal's cells, value(costs, around, p) each as a pair of float64 vectors: the
    // first cell its cost alone.
    const auto sweep = [&](int diagonal, const auto& value_of) {
        const Span span = span_of(diagonal, rows, cols);
        const WithNeighbours<double> around(scores, diagonal, -1);
        const auto [begin, end] = band.positions(diagonal, span);
        costs.reach(span);
        sink.reach(span);
        for (std::int64_t p = begin; p < end; ++p) {
            const auto [low, high] =
                value_of(hn::Sub(costs.at(df, span, diagonal, p), bias_v), around, p);
            sink.take(d, low, span, diagonal, p, 0);
            sink.take(d, high, span, diagonal, p, half);
            hn::StoreU(low, d, around.here + p * lanes);
            hn::StoreU(high, d, around.here + p * lanes + half);
        }
        sink.finish(span, begin, end);
        scores.fence(diagonal, begin, end);
    };
    using Pair = std::pair<VecOf<MixedTag>, VecOf<MixedTag>>;
    sweep(0, [](VecOf<MixedFloatTag> cost, const WithNeighbours<double>&, std::int64_t) {
        return Pair{LowerAsDoubles(cost), UpperAsDoubles(cost)};
    });
    for (int diagonal = 1; diagonal < rows + cols - 1; ++diagonal) {
        const PredecessorShifts shifts(diagonal, rows);
        sweep(diagonal,
              [&](VecOf<MixedFloatTag> cost, const WithNeighbours<double>& around, std::int64_t p) {
                  const auto differences = [&](std::int64_t first_lane) {
                      return DifferencesOf<Unreachable::kept_nan>(
                          around.near + (p + shifts.up) * lanes + first_lane,
                          around.near + (p - 1 + shifts.up) * lanes + first_lane,
                          around.far + (p + shifts.corner) * lanes + first_lane, over_gamma);
                  };
                  const auto lo = differences(0);
                  const auto hi = differences(half);
                  const auto log_term = MixedLogTerm(lo, hi, gamma_v);
                  return Pair{MixedValue(LowerAsDoubles(cost), lo, LowerAsDoubles(log_term)),
                              MixedValue(UpperAsDoubles(cost), hi, UpperAsDoubles(log_term))};
              });
    }
}

// The mixed path's E of one signal per lane from their float64 score matrices, each cell
// taking BackwardAlongMixed's steps; final scores one a lane.
template <class ScoreMatrix, class Gradients>
void BackwardSideBySideMixed(ScoreMatrix& matrix, Gradients& sink, int rows, int cols, float gamma,
                             bool free_end, const double* final_scores, bool last_row_only,
                             float ref_gap_penalty, const Band& band) {
    const MixedTag d;
    const MixedFloatTag df;
    const std::int64_t lanes = static_cast<std::int64_t>(hn::Lanes(df));
    const std::int64_t half = static_cast<std::int64_t>(hn::Lanes(d));
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
    const BackwardStart<float> start{rows, cols, free_end, last_row_only, ref_gap_penalty};
    RollingDiagonals<float> expected(std::min(rows, cols), 0.0f, static_cast<int>(lanes));
    PredecessorShares<float, ScoreMatrix> shares(matrix, rows, cols, static_cast<double>(gamma),
                                                 band, static_cast<int>(lanes));
    const int last_diagonal = rows + cols - 2;
    const auto at = [&](auto* values, std::int64_t p) { return values + p * lanes; };

    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const Span span = span_of(diagonal, rows, cols);
        const SuccessorShifts shifts(diagonal, rows);
        shares.reach(diagonal);
        const float* down_shares = shares.up(diagonal + 1);
        const float* right_shares = shares.left(diagonal + 1);
        const float* corner_shares = shares.corner(diagonal + 2);
        const WithNeighbours<float> around_expected(expected, diagonal, 1);
        const double* own_scores = shares.scores(diagonal);
        const auto [begin, end] = band.positions(diagonal, span);
        sink.reach(span);
        for (std::int64_t p = begin; p < end; ++p) {
            // (final - (penalty + R)) / gamma, formed in float64 and rounded.
            auto e = start.side_by_side(df, span, diagonal, p, [&](VecOf<MixedFloatTag> penalty) {
                const auto lanes_from = [&](VecOf<MixedTag> penalties, std::int64_t first) {
                    return over_gamma(
                        hn::Sub(hn::LoadU(d, final_scores + first),
                                hn::Add(penalties, hn::LoadU(d, at(own_scores, p) + first))));
                };
                return RoundedPair(lanes_from(LowerAsDoubles(penalty), 0),
                                   lanes_from(UpperAsDoubles(penalty), half));
            });
            const std::int64_t down = p + shifts.down;
            const std::int64_t right = p + 1 + shifts.down;
            const std::int64_t corner = p + shifts.corner;
            e = FusedMulAdd(df, hn::LoadU(df, at(around_expected.near, down)),
                            hn::LoadU(df, at(down_shares, down)), e);
            e = FusedMulAdd(df, hn::LoadU(df, at(around_expected.far, corner)),
                            hn::LoadU(df, at(corner_shares, corner)), e);
            e = FusedMulAdd(df, hn::LoadU(df, at(around_expected.near, right)),
                            hn::LoadU(df, at(right_shares, right)), e);
            sink.take(df, e, span, diagonal, p);
            hn::StoreU(e, df, at(around_expected.here, p));
        }
        expected.fence(diagonal, begin, end);
    }
}

// The side-by-side passes of each path: float32 and float64 scores of data of their own
// type, and the mixed path's float64 scores of float32 data (whose backward pass weighs by
// the shares of the scores alone: no cost or bias enters it).
template <typename Data, typename Score>
struct PassesSideBySide {
    template <class Costs, class Scores>
    static void forward(Costs& costs, Scores& sink, const Data* biases, int rows, int cols,
                        Data gamma, const Band& band) {
        if constexpr (std::is_same_v<Data, Score>) {
            ForwardSideBySide(costs, sink, biases, rows, cols, gamma, band);
        } else {
            ForwardSideBySideMixed(costs, sink, biases, rows, cols, gamma, band);
        }
    }

    template <class Costs, class ScoreMatrix, class Gradients>
    static void backward(Costs& costs, ScoreMatrix& scores, Gradients& sink, const Data* biases,
                         int rows, int cols, Data gamma, bool free_end, const Score* final_scores,
                         bool last_row_only, Data ref_gap_penalty, const Band& band) {
        if constexpr (std::is_same_v<Data, Score>) {
            BackwardSideBySide(costs, scores, sink, biases, rows, cols, gamma, free_end,
                               final_scores, last_row_only, ref_gap_penalty, band);
        } else {
            BackwardSideBySideMixed(scores, sink, rows, cols, gamma, free_end, final_scores,
                                    last_row_only, ref_gap_penalty, band);
        }
    }
};

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_SIDE_BY_SIDE_INL_H_
