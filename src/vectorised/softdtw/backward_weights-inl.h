// The weights of the Soft-DTW backward passes, compiled once per instruction set: how much
// of a successor's E flows into a cell (E(cell) = sum over its successors s of E(s) times
// the weight from s), and where E starts. Holds the float32 path's step weight (the kernels'
// steps), the shares among predecessors that the float64 and mixed paths weigh by, and the
// start of E at the cells where a pass ends (BackwardStart). Used by the backward passes of
// along_diagonals-inl.h and side_by_side-inl.h; the shares read R through the score matrices
// of sources_sinks-inl.h.

#if defined(ORVANE_VECTORISED_SOFTDTW_BACKWARD_WEIGHTS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_BACKWARD_WEIGHTS_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_BACKWARD_WEIGHTS_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_BACKWARD_WEIGHTS_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "hwy/highway.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/mixed_differences-inl.h"
#include "vectorised/softdtw/rolling_diagonals-inl.h"
#include "vectorised/tiles.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// d R(successor) / d R(cell) = exp((R_s - R - c_s) / gamma); no weight flows into or out of an
// infinite score.
template <class D>
HWY_INLINE VecOf<D> StepWeight(D d, VecOf<D> successor_score, VecOf<D> score,
                               VecOf<D> successor_cost, const VectorGammaScale<D>& over_gamma) {
    const auto t = over_gamma(hn::Sub(hn::Sub(successor_score, score), successor_cost));
    const auto infinite = hn::Or(hn::IsInf(successor_score), hn::IsInf(score));
    return hn::IfThenZeroElse(infinite, ExpOf(d, t));
}

// A share as a weight: none flows into or out of an infinite score.
template <class D>
HWY_INLINE VecOf<D> ShareWeight(VecOf<D> successor_score, VecOf<D> score, VecOf<D> share) {
    const auto infinite = hn::Or(hn::IsInf(successor_score), hn::IsInf(score));
    return hn::IfThenZeroElse(infinite, share);
}

// Where E starts, before the weights from a cell's successors are added. With a free end,
// each terminal cell (the last row and, unless last_row_only, the last column) starts from
// its share of the final soft minimum, exp((final - (g * column + R)) / gamma); otherwise the
// last cell starts from 1. `exponent(penalty)` gives (final - (penalty + R)) / gamma of the
// cells a vector holds, penalty being g * column in Data, as each path forms it; it is formed
// only where a vector holds a terminal.
template <typename Data>
struct BackwardStart {
    int rows;
    int cols;
    bool free_end;
    bool last_row_only;
    Data ref_gap_penalty;

    // Positions p, p + 1, ... of a diagonal, one a lane.
    template <class D, class Exponent>
    HWY_INLINE VecOf<D> along(D d, const Span& span, int diagonal, std::int64_t p,
                              const Exponent& exponent) const {
        const hn::RebindToSigned<D> di;
        const auto first = hn::Set(di, static_cast<Lane<decltype(di)>>(span.first_col + p));
        return at(d, diagonal, hn::Add(first, hn::Iota(di, 0)), exponent);
    }

    // Position p of a diagonal in every lane, a lane a signal side by side.
    template <class D, class Exponent>
    HWY_INLINE VecOf<D> side_by_side(D d, const Span& span, int diagonal, std::int64_t p,
                                     const Exponent& exponent) const {
        const hn::RebindToSigned<D> di;
        return at(d, diagonal, hn::Set(di, static_cast<Lane<decltype(di)>>(span.first_col + p)),
                  exponent);
    }

private:
    template <class D, class Exponent>
    HWY_INLINE VecOf<D> at(D d, int diagonal, VecOf<hn::RebindToSigned<D>> columns,
                           const Exponent& exponent) const {
        if (!free_end) {
            return diagonal == rows + cols - 2 ? hn::Set(d, Lane<D>{1}) : hn::Zero(d);
        }
        const hn::RebindToSigned<D> di;
        using Int = Lane<decltype(di)>;
        const auto row = hn::Sub(hn::Set(di, static_cast<Int>(diagonal)), columns);
        auto terminal = hn::Eq(row, hn::Set(di, static_cast<Int>(rows - 1)));
        if (!last_row_only) {
            terminal = hn::Or(terminal, hn::Eq(columns, hn::Set(di, static_cast<Int>(cols - 1))));
        }
        if (hn::AllFalse(di, terminal)) {
            return hn::Zero(d);
        }
        const auto penalty = hn::Mul(hn::ConvertTo(d, columns), hn::Set(d, ref_gap_penalty));
        return hn::IfThenElseZero(hn::RebindMask(d, terminal), ExpOf(d, exponent(penalty)));
    }
};

// Each cell's predecessors' shares in its soft minimum, diagonal by diagonal, from the stored
// scores: for cell s with least predecessor score m_s, predecessor p's share is
// exp((m_s - R_p) / gamma) over the sum of those of all three. A cell's weight from its
// successor s is its share of s. The shares of s add up to one to a few roundings however
// large the scores, since m_s - R_p is a difference of neighbouring scores, exact, where the
// kernels' weight exp((R_s - c_s - R_p) / gamma) carries the rounding of R_s (about 1e-12 at
// R = 1e4, and its error grows along the N + M steps of a path).
// Share is double on the float64 path and float on the mixed one; the scores are float64.
template <typename Share, class ScoreMatrix>
class PredecessorShares {
    using T = double;

public:
    // `width`: one, or a Share vector's lanes of signals side by side (GatheredScoreMatrix).
    // A backward pass over a tile (`strip`) takes the shares of its lines and of the one
    // after them, where its last line's successors are.
    PredecessorShares(ScoreMatrix& score, int rows, int cols, T gamma, const Band& band,
                      int width = 1, Strip strip = {})
        : score_(score),
          rows_(rows),
          cols_(cols),
          band_(band),
          strip_(strip),
          gamma_(gamma),
          width_(width),
          scores_(std::min(rows, cols), kInfinity<T>, width),
          up_(std::min(rows, cols), Share{0}, width),
          corner_(std::min(rows, cols), Share{0}, width),
          left_(std::min(rows, cols), Share{0}, width) {}

    // Makes diagonal + 1's shares available, as a sweep from the last diagonal down reaches
    // `diagonal`.
    void reach(int diagonal) {
        const int last = rows_ + cols_ - 2;
        if (diagonal == last) {
            load_scores(last);
        }
        load_scores(diagonal - 1);
        if (diagonal < last) {
            compute(diagonal + 1);
        }
    }

    // The shares of the up, corner and left predecessors of diagonal d's cells.
    const Share* up(int diagonal) { return up_[diagonal]; }
    const Share* corner(int diagonal) { return corner_[diagonal]; }
    const Share* left(int diagonal) { return left_[diagonal]; }
    // The scores of a diagonal the sweep has reached or is about to.
    const T* scores(int diagonal) { return scores_[diagonal]; }

private:
    void load_scores(int diagonal) {
        if (diagonal < 0) {
            scores_.clear(diagonal);
            return;
        }
        const TagOf<T> d;
        const std::size_t lanes = hn::Lanes(d);
        const Span span = span_of(diagonal, rows_, cols_);
        T* own = scores_[diagonal];
        const auto [begin, end] =
            strip_.clip(band_.positions(diagonal, span), diagonal, span.first_col, 1, 1);
        if constexpr (requires { score_.read(std::size_t{}, span, own); }) {
            score_.read(static_cast<std::size_t>(width_), span, own);
        } else {
            const T* stored = score_.diagonal(diagonal, span);
            for (int p = begin; p < end; p += static_cast<int>(lanes)) {
                const std::size_t count = std::min<std::size_t>(lanes, end - p);
                hn::StoreU(LoadPart(d, stored + p, count), d, own + p);
            }
        }
        scores_.fence(diagonal, begin, end);
    }

    // The shares in Share, from differences formed in T; none where a cell has no finite
    // predecessor.
    void compute(int diagonal) {
        const TagOf<T> d;
        const TagOf<Share> ds;
        const std::size_t lanes = hn::Lanes(d);
        const std::size_t group = hn::Lanes(ds);
        const VectorGammaScale<TagOf<T>> over_gamma(d, gamma_);
        const Span span = span_of(diagonal, rows_, cols_);
        const PredecessorShifts shifts(diagonal, rows_);
        const WithNeighbours<T> around(scores_, diagonal, -1);
        // Float32 shares of float64 scores: two float64 vectors' worth of cells at a time.
        constexpr bool kPaired = !std::is_same_v<Share, T> && kPairs;
        const auto as_shares = [&](VecOf<TagOf<T>> lo, VecOf<TagOf<T>> hi) {
            if constexpr (std::is_same_v<Share, T>) {
                static_cast<void>(hi);
                return lo;
            } else {
                return RoundedPair(lo, hi);
            }
        };
        // A vector holds `group` positions of one signal, or one position of `group` signals.
        const std::int64_t width = width_;
        const std::int64_t step = width == 1 ? static_cast<std::int64_t>(group) : 1;
        const auto at = [&](auto* values, std::int64_t p) { return values + p * width; };
        const auto differences = [&](std::int64_t p, std::size_t first_lane) {
            return DifferencesOf<Unreachable::no_share>(
                at(around.near, p + shifts.up) + first_lane,
                at(around.near, p - 1 + shifts.up) + first_lane,
                at(around.far, p + shifts.corner) + first_lane, over_gamma);
        };
        const auto [begin, end] =
            strip_.clip(band_.positions(diagonal, span), diagonal, span.first_col, 0, 1);
        for (std::int64_t p = begin; p < end; p += step) {
            const auto lo = differences(p, 0);
            const auto hi = kPaired ? differences(p, lanes) : lo;
            // Each exponent is the least predecessor score less one of them: at most zero, -inf
            // or NaN. Their sum is NaN where one is, and a NaN one makes all three shares NaN.
            const auto up_exponent = as_shares(lo.up, hi.up);
            const auto corner_exponent = as_shares(lo.corner, hi.corner);
            const auto left_exponent = as_shares(lo.left, hi.left);
            const auto up_share = ExpOfNonPositive(ds, up_exponent);
            const auto corner_share = ExpOfNonPositive(ds, corner_exponent);
            const auto left_share = ExpOfNonPositive(ds, left_exponent);
            const auto sum = hn::Add(hn::Add(up_share, corner_share), left_share);
            const auto any_nan =
                hn::IsNaN(hn::Add(hn::Add(up_exponent, corner_exponent), left_exponent));
            const auto scale = hn::IfThenElse(
                any_nan, hn::Set(ds, std::numeric_limits<Share>::quiet_NaN()),
                hn::IfThenZeroElse(hn::Eq(sum, hn::Zero(ds)), hn::Div(hn::Set(ds, Share{1}), sum)));
            hn::StoreU(hn::Mul(up_share, scale), ds, at(up_[diagonal], p));
            hn::StoreU(hn::Mul(corner_share, scale), ds, at(corner_[diagonal], p));
            hn::StoreU(hn::Mul(left_share, scale), ds, at(left_[diagonal], p));
        }
        for (auto* shares : {&up_, &corner_, &left_}) {
            shares->fence(diagonal, begin, end);
        }
    }

    ScoreMatrix& score_;
    int rows_;
    int cols_;
    const Band& band_;
    Strip strip_;
    T gamma_;
    int width_;
    RollingDiagonals<T> scores_;
    RollingDiagonals<Share> up_;
    RollingDiagonals<Share> corner_;
    RollingDiagonals<Share> left_;
};

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_BACKWARD_WEIGHTS_INL_H_
