// The Soft-DTW passes along the anti-diagonals of one signal's matrix, compiled once per
// instruction set: a vector holds consecutive cells of one diagonal. Holds the forward pass
// (ForwardAlong: float32 and float64; ForwardAlongMixed), the backward pass (BackwardAlong:
// float32 takes the kernels' steps, float64 weighs by shares; BackwardAlongMixed), where a
// forward pass starts (diagonal 0, or a checkpoint), and PassesAlong, which picks them by
// path. Each pass sweeps the whole matrix or one tile of it (vectorised/tiles.h), within a
// band. Built on rolling_diagonals-inl.h, the weights of backward_weights-inl.h and the
// mixed differences of mixed_differences-inl.h; the parts it reads and writes are in
// sources_sinks-inl.h; entries-inl.h calls it. The float32 steps are the CUDA kernels', in
// the same order.

#if defined(ORVANE_VECTORISED_SOFTDTW_ALONG_DIAGONALS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_ALONG_DIAGONALS_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_ALONG_DIAGONALS_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_ALONG_DIAGONALS_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "hwy/highway.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/backward_weights-inl.h"
#include "vectorised/softdtw/mixed_differences-inl.h"
#include "vectorised/softdtw/rolling_diagonals-inl.h"
#include "vectorised/softdtw/sources_sinks-inl.h"
#include "vectorised/tiles.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// A rolling diagonal set again from R, `transform` turning R into what the pass keeps.
template <typename T, class Transform>
void Restore(RollingDiagonals<T>& rolling, int diagonal, const T* score, int rows, int cols,
             const Band& band, const Transform& transform) {
    const TagOf<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const Span span = span_of(diagonal, rows, cols);
    const auto [begin, end] = band.positions(diagonal, span);
    T* own = rolling[diagonal];
    for (int p = begin; p < end; p += static_cast<int>(lanes)) {
        const std::size_t count = std::min<std::size_t>(lanes, end - p);
        hn::StoreU(transform(LoadPart(d, score + p, count)), d, own + p);
    }
    rolling.fence(diagonal, begin, end);
}

// The two diagonals before range.first, or diagonal 0: where a forward pass starts. Returns
// the first diagonal the recurrence computes. A tile past the first line starts with
// diagonal 1, its neighbour's line published as it goes; diagonal 0 is the first tile's.
template <typename T, class Scores, class Transform>
int StartForward(const DiagonalRange<T>& range, RollingDiagonals<T>& rolling, Scores& scores,
                 T first_score, int rows, int cols, const Band& band, const Transform& transform,
                 const Tile<T>& tile) {
    if (range.first > 0) {
        Restore(rolling, range.first - 2, range.before_previous, rows, cols, band, transform);
        Restore(rolling, range.first - 1, range.previous, rows, cols, band, transform);
        return range.first;
    }
    if (tile.first == 0) {
        scores.first(first_score);
        const TagOf<T> d;
        rolling[0][0] = hn::GetLane(transform(hn::Set(d, first_score)));
        rolling.fence(0, 0, 1);
    }
    GiveEdge(tile, tile.last - 1, rolling, 0, {0, tile.first == 0 ? 1 : 0}, 1, rows, cols);
    return 1;
}

// R of one signal, and its scaled scores' diagonals as the recurrence needs them.
template <typename T, class Costs, class Scores>
void ForwardAlong(const Costs& costs, Scores& scores, int rows, int cols, T bias, T gamma,
                  const DiagonalRange<T>& range, const Band& band, const Tile<T>& tile = {}) {
    const TagOf<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const auto gamma_v = hn::Set(d, gamma);
    // -(r / gamma) as r / -gamma (float32: (-1 / gamma) * r): the same value, one step fewer.
    const VectorGammaScale<TagOf<T>> scale(d, -gamma);
    const auto bias_v = hn::Set(d, bias);
    RollingDiagonals<T> scaled(std::min(rows, cols), -kInfinity<T>);

    const int from =
        StartForward(range, scaled, scores, costs.first() - bias, rows, cols, band, scale, tile);
    for (int diagonal = from; diagonal < range.last; ++diagonal) {
        const Span span = span_of(diagonal, rows, cols);
        const PredecessorShifts shifts(diagonal, rows);
        TakeEdge(tile, tile.first - 1, diagonal, -1, diagonal, rows, cols,
                 [&](int near, int p, T value) { scaled[near][p] = value; });
        const WithNeighbours<T> around(scaled, diagonal, -1);
        const auto [begin, end] = SweptPositions(tile, band, diagonal, span);
        PrefetchDiagonal(tile, band, diagonal + 1, rows, cols, costs, scores);
        for (int p = begin; p < end; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, end - p);
            const auto cost = hn::Sub(costs.at(d, span, diagonal, p, count), bias_v);
            const auto value =
                hn::Add(cost, PredecessorSoftmin(d, around.near, around.far, p, shifts, gamma_v));
            scores.take(d, value, span, diagonal, p, count);
            hn::StoreU(scale(value), d, around.here + p);
        }
        scaled.fence(diagonal, begin, end);
        GiveEdge(tile, tile.last - 1, scaled, diagonal, {begin, end}, diagonal + 1, rows, cols);
    }
}

// E of one signal, swept from the last diagonal to the first, starting where BackwardStart
// says (final_score is used with a free end only). float32 takes the kernels' steps; float64
// weighs by shares among predecessors (PredecessorShares), which keeps E to about 1e-11 where
// the scores reach 1e4.
// Costs come from a distance matrix or the samples; E goes to a gradient matrix or straight
// into the gradients of the samples and the reference.
template <typename T, class Costs, class ScoreMatrix, class Gradients>
void BackwardAlong(const Costs& cost_source, ScoreMatrix& score, Gradients& sink, int rows,
                   int cols, T bias, T gamma, bool free_end, T final_score, bool last_row_only,
                   T ref_gap_penalty, const Band& band, const Tile<T>& tile = {}) {
    const TagOf<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const VectorGammaScale<TagOf<T>> over_gamma(d, gamma);
    const BackwardStart<T> start{rows, cols, free_end, last_row_only, ref_gap_penalty};
    const auto bias_v = hn::Set(d, bias);
    const int longest = std::min(rows, cols);
    // Pads: an absent successor has an infinite score (so no weight) and no gradient.
    RollingDiagonals<T> scores(longest, kInfinity<T>), costs(longest, T{0}),
        gradients(longest, T{0});
    const int last_diagonal = rows + cols - 2;
    constexpr bool kShares = std::is_same_v<T, double>;
    std::optional<PredecessorShares<T, ScoreMatrix>> shares;
    if constexpr (kShares) {
        shares.emplace(score, rows, cols, gamma, band, 1, tile);
    }
    // Diagonal d + 1's up and left shares, diagonal d + 2's corner shares.
    const T* down_shares = nullptr;
    const T* right_shares = nullptr;
    const T* corner_shares = nullptr;

    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const Span span = span_of(diagonal, rows, cols);
        if constexpr (kShares) {
            shares->reach(diagonal);
            down_shares = shares->up(diagonal + 1);
            right_shares = shares->left(diagonal + 1);
            corner_shares = shares->corner(diagonal + 2);
        }
        const SuccessorShifts shifts(diagonal, rows);
        // The successors in the next tile: R and costs from the matrices, E published; pads
        // outside the band, as there.
        TakeEdge(tile, tile.last, diagonal, 1, last_diagonal - diagonal, rows, cols,
                 [&](int near, int p, T e) {
                     const Span near_span = span_of(near, rows, cols);
                     const auto [kept_begin, kept_end] = band.positions(near, near_span);
                     if (p < kept_begin || p >= kept_end) {
                         return;
                     }
                     scores[near][p] = score.diagonal(near, near_span)[p];
                     costs[near][p] =
                         hn::GetLane(hn::Sub(cost_source.at(d, near_span, near, p, 1), bias_v));
                     gradients[near][p] = e;
                 });
        const WithNeighbours<T> around_scores(scores, diagonal, 1);
        const WithNeighbours<T> around_costs(costs, diagonal, 1);
        const WithNeighbours<T> around_gradients(gradients, diagonal, 1);
        const T* own_scores = score.diagonal(diagonal, span);
        // The weight from the successor at `at` of the next (far: the one after) diagonal: by
        // element type, from its cost or its predecessors' shares (`own_shares`).
        const auto weight = [&](bool far, int at, const T* own_shares, auto r) {
            const auto successor_score =
                hn::LoadU(d, (far ? around_scores.far : around_scores.near) + at);
            if constexpr (kShares) {
                return ShareWeight<decltype(d)>(successor_score, r, hn::LoadU(d, own_shares + at));
            } else {
                static_cast<void>(own_shares);
                return StepWeight(d, successor_score, r,
                                  hn::LoadU(d, (far ? around_costs.far : around_costs.near) + at),
                                  over_gamma);
            }
        };
        const auto [begin, end] = SweptPositions(tile, band, diagonal, span);
        PrefetchDiagonal(tile, band, diagonal - 1, rows, cols, cost_source, score, sink);
        for (int p = begin; p < end; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, end - p);
            const auto r = LoadPart(d, own_scores + p, count);
            hn::StoreU(r, d, around_scores.here + p);
            if constexpr (!kShares) {
                hn::StoreU(hn::Sub(cost_source.at(d, span, diagonal, p, count), bias_v), d,
                           around_costs.here + p);
            }

            auto e = start.along(d, span, diagonal, p, [&](VecOf<TagOf<T>> penalty) {
                return over_gamma(hn::Sub(hn::Set(d, final_score), hn::Add(penalty, r)));
            });
            const int down = p + shifts.down;
            const int right = p + 1 + shifts.down;
            const int corner = p + shifts.corner;
            e = FusedMulAdd(d, hn::LoadU(d, around_gradients.near + down),
                            weight(false, down, down_shares, r), e);
            e = FusedMulAdd(d, hn::LoadU(d, around_gradients.far + corner),
                            weight(true, corner, corner_shares, r), e);
            e = FusedMulAdd(d, hn::LoadU(d, around_gradients.near + right),
                            weight(false, right, right_shares, r), e);
            sink.take(d, e, span, diagonal, p, count);
            hn::StoreU(e, d, around_gradients.here + p);
        }
        scores.fence(diagonal, begin, end);
        costs.fence(diagonal, begin, end);
        gradients.fence(diagonal, begin, end);
        GiveEdge(tile, tile.first, gradients, diagonal, {begin, end}, last_diagonal - diagonal + 1,
                 rows, cols);
    }
}

// The mixed path's R of one signal: float32 costs, float64 scores, a float32 vector's cells at
// a time (mixed_differences-inl.h).
template <class Costs, class Scores>
void ForwardAlongMixed(const Costs& costs, Scores& sink, int rows, int cols, float bias,
                       float gamma, const DiagonalRange<double>& range, const Band& band,
                       const Tile<double>& tile = {}) {
    const MixedTag d;
    const MixedFloatTag df;
    const std::size_t lanes = hn::Lanes(d);
    const std::size_t group = hn::Lanes(df);
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
    const auto gamma_v = hn::Set(df, gamma);
    const auto bias_v = hn::Set(df, bias);
    RollingDiagonals<double> scores(std::min(rows, cols), kInfinity<double>);

    const int from = StartForward(
        range, scores, sink, static_cast<double>(costs.first() - bias), rows, cols, band,
        [](VecOf<MixedTag> r) { return r; }, tile);
    for (int diagonal = from; diagonal < range.last; ++diagonal) {
        const Span span = span_of(diagonal, rows, cols);
        const PredecessorShifts shifts(diagonal, rows);
        TakeEdge(tile, tile.first - 1, diagonal, -1, diagonal, rows, cols,
                 [&](int near, int p, double value) { scores[near][p] = value; });
        const WithNeighbours<double> around(scores, diagonal, -1);
        const auto [begin, end] = SweptPositions(tile, band, diagonal, span);
        PrefetchDiagonal(tile, band, diagonal + 1, rows, cols, costs, sink);
        for (int p = begin; p < end; p += static_cast<int>(group)) {
            const std::size_t count = std::min<std::size_t>(group, end - p);
            const auto lo = DifferencesAt<Unreachable::kept_nan>(around.near, around.far, p, shifts,
                                                                 over_gamma);
            const auto hi = kPairs ? DifferencesAt<Unreachable::kept_nan>(
                                         around.near, around.far, p + static_cast<int>(lanes),
                                         shifts, over_gamma)
                                   : lo;
            const auto log_term = MixedLogTerm(lo, hi, gamma_v);
            const auto cost = hn::Sub(costs.at(df, span, diagonal, p, count), bias_v);
            const auto low = MixedValue(LowerAsDoubles(cost), lo, LowerAsDoubles(log_term));
            sink.take(d, low, span, diagonal, p, std::min(lanes, count));
            hn::StoreU(low, d, around.here + p);
            if constexpr (kPairs) {
                const auto high = MixedValue(UpperAsDoubles(cost), hi, UpperAsDoubles(log_term));
                sink.take(d, high, span, diagonal, p + static_cast<int>(lanes),
                          count > lanes ? count - lanes : 0);
                hn::StoreU(high, d, around.here + p + lanes);
            }
        }
        scores.fence(diagonal, begin, end);
        GiveEdge(tile, tile.last - 1, scores, diagonal, {begin, end}, diagonal + 1, rows, cols);
    }
}

// The mixed path's E of one signal, weighed by shares formed from the scores alone: no cost
// enters the weights.
template <class ScoreMatrix, class Gradients>
void BackwardAlongMixed(ScoreMatrix& score, Gradients& sink, int rows, int cols, float gamma,
                        bool free_end, double final_score, bool last_row_only,
                        float ref_gap_penalty, const Band& band, const Tile<float>& tile = {}) {
    const MixedTag d;
    const MixedFloatTag df;
    const std::size_t lanes = hn::Lanes(d);
    const std::size_t group = hn::Lanes(df);
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
    const BackwardStart<float> start{rows, cols, free_end, last_row_only, ref_gap_penalty};
    const int longest = std::min(rows, cols);
    RollingDiagonals<float> gradients(longest, 0.0f);
    const int last_diagonal = rows + cols - 2;
    PredecessorShares<float, ScoreMatrix> shares(score, rows, cols, static_cast<double>(gamma),
                                                 band, 1, tile);

    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const Span span = span_of(diagonal, rows, cols);
        const SuccessorShifts shifts(diagonal, rows);
        shares.reach(diagonal);
        const float* down_shares = shares.up(diagonal + 1);
        const float* right_shares = shares.left(diagonal + 1);
        const float* corner_shares = shares.corner(diagonal + 2);
        TakeEdge(tile, tile.last, diagonal, 1, last_diagonal - diagonal, rows, cols,
                 [&](int near, int p, float e) { gradients[near][p] = e; });
        const WithNeighbours<float> around_gradients(gradients, diagonal, 1);
        const double* own_scores = score.diagonal(diagonal, span);
        const auto [begin, end] = SweptPositions(tile, band, diagonal, span);
        // The shares read the scores of the diagonal before next as they reach the next.
        PrefetchDiagonal(tile, band, diagonal - 2, rows, cols, score);
        PrefetchDiagonal(tile, band, diagonal - 1, rows, cols, sink);
        for (int p = begin; p < end; p += static_cast<int>(group)) {
            const std::size_t count = std::min<std::size_t>(group, end - p);
            // (final - (penalty + R)) / gamma, formed in float64 and rounded.
            auto e = start.along(df, span, diagonal, p, [&](VecOf<MixedFloatTag> penalty) {
                const auto half = [&](VecOf<MixedTag> penalties, std::size_t first) {
                    const std::size_t own = count > first ? std::min(lanes, count - first) : 0;
                    const auto r = LoadPart(d, own_scores + p + first, own);
                    return over_gamma(hn::Sub(hn::Set(d, final_score), hn::Add(penalties, r)));
                };
                const auto low = half(LowerAsDoubles(penalty), 0);
                return RoundedPair(low, kPairs ? half(UpperAsDoubles(penalty), lanes) : low);
            });
            const int down = p + shifts.down;
            const int right = p + 1 + shifts.down;
            const int corner = p + shifts.corner;
            e = FusedMulAdd(df, hn::LoadU(df, around_gradients.near + down),
                            hn::LoadU(df, down_shares + down), e);
            e = FusedMulAdd(df, hn::LoadU(df, around_gradients.far + corner),
                            hn::LoadU(df, corner_shares + corner), e);
            e = FusedMulAdd(df, hn::LoadU(df, around_gradients.near + right),
                            hn::LoadU(df, right_shares + right), e);
            sink.take(df, e, span, diagonal, p, count);
            hn::StoreU(e, df, around_gradients.here + p);
        }
        gradients.fence(diagonal, begin, end);
        GiveEdge(tile, tile.first, gradients, diagonal, {begin, end}, last_diagonal - diagonal + 1,
                 rows, cols);
    }
}

// The passes of each path: float32 and float64 scores of data of their own type, and the
// mixed path's float64 scores of float32 data.
template <typename Data, typename Score>
struct PassesAlong {
    template <class Costs, class Scores>
    static void forward(const Costs& costs, Scores& scores, int rows, int cols, Data bias,
                        Data gamma, const DiagonalRange<Score>& range, const Band& band,
                        const Tile<Score>& tile = {}) {
        if constexpr (std::is_same_v<Data, Score>) {
            ForwardAlong(costs, scores, rows, cols, bias, gamma, range, band, tile);
        } else {
            ForwardAlongMixed(costs, scores, rows, cols, bias, gamma, range, band, tile);
        }
    }

    template <class Costs, class ScoreMatrix, class Gradients>
    static void backward(const Costs& costs, ScoreMatrix& score, Gradients& sink, int rows,
                         int cols, Data bias, Data gamma, bool free_end, Score final_score,
                         bool last_row_only, Data ref_gap_penalty, const Band& band,
                         const Tile<Data>& tile = {}) {
        if constexpr (std::is_same_v<Data, Score>) {
            BackwardAlong(costs, score, sink, rows, cols, bias, gamma, free_end, final_score,
                          last_row_only, ref_gap_penalty, band, tile);
        } else {
            BackwardAlongMixed(score, sink, rows, cols, gamma, free_end, final_score, last_row_only,
                               ref_gap_penalty, band, tile);
        }
    }
};

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_ALONG_DIAGONALS_INL_H_
