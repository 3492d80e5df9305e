// Soft-DTW forward and backward passes on the CPU, vectorised along the anti-diagonals: every
// cell of a diagonal depends only on the two diagonals before it (after it, going back), and
// a diagonal's cells are contiguous. Each signal keeps its last three diagonals in small
// buffers padded with a neutral value at both ends, so that the cells on the matrix's edges,
// whose missing neighbours fall on the pads, take the same vector path as every other cell.
// The float32 steps are the CUDA kernels', in the same order.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/softdtw.cpp"
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "common/free_end_terminals.h"
#include "common/neighbour_shifts.h"
#include "vectorised/batch.h"
#include "vectorised/call_samples.h"
#include "vectorised/tiles.h"
#include "vectorised/costs-inl.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"

#ifndef ORVANE_VECTORISED_FINAL_SCORES
#define ORVANE_VECTORISED_FINAL_SCORES
namespace orvane::vectorised {

// x / gamma as each path forms it. The float32 path multiplies by 1/gamma rounded to float32,
// the kernels' step. The float64 and mixed paths divide: a rounded 1/gamma errs the same way
// at every cell, and the forward pass, which takes each score through -R / gamma and back,
// added that error to R at every step, so that it grew with the path (8e-14 of a
// 2048 x 2048 score at gamma = 0.1, where quotients leave 3e-15, tslearn's error).
template <typename T>
struct GammaScale {
    T gamma;
    T inverse;

    explicit GammaScale(T gamma) : gamma(gamma), inverse(T{1} / gamma) {}

    T operator()(T x) const {
        if constexpr (std::is_same_v<T, float>) {
            return inverse * x;
        } else {
            return x / gamma;
        }
    }
};

// The diagonals as the passes walk them, positions in 64 bits: a pass that keeps no matrix,
// or only checkpoints of one, takes a signal of any number of cells.
using Span = DiagonalCells<std::int64_t>;

inline Span span_of(int diagonal, int rows, int cols) {
    return diagonal_span<std::int64_t>(diagonal, rows, cols);
}

// What the lean backward pass of one signal takes besides its score matrix; gradients
// channel-major.
template <typename Data, typename Score>
struct SignalGradients {
    const SampleSource<Data>* source;
    const Band* band;
    Data* sample_gradients;
    Data* reference_gradients;
    Data weight;
    Data bias;
    Data gamma;
    bool free_end;
    Score final_score;
    bool last_row_only;
    Data ref_gap_penalty;
};

// What the lean passes of signals side by side take: their samples interleaved, a lane a
// signal (sample i of channel c of lane k at (c * rows + i) * lanes + k), the reference
// channel-major, their band and biases; the backward pass also their gradients so interleaved
// (reference value j of lane k at (c * cols + j) * lanes + k), and weights and final scores a
// lane each, `adding` zero for a lane whose band leaves its signal without a path.
template <typename Data, typename Score>
struct SideSignals {
    const Data* samples;
    const Data* reference;
    int channels;
    CostKind kind;
    const Band* band;
    int rows;
    int cols;
    const Data* biases;
    Data gamma;
    Data* sample_gradients = nullptr;
    Data* reference_gradients = nullptr;
    const Data* weights = nullptr;
    const Data* adding = nullptr;
    bool free_end = false;
    const Score* final_scores = nullptr;
    bool last_row_only = false;
    Data ref_gap_penalty = 0;
};

// R of a signal whose score matrix is not kept whole: the forward pass keeps two consecutive
// diagonals before every `segment`-th one (a checkpoint), and the backward pass computes each
// segment's diagonals again from its checkpoint, one segment at a time, into one buffer. A
// segment of about sqrt(2 D) of the D diagonals makes the checkpoints and the buffer about
// equal and their sum least; every segment is computed once more, whatever its length.
// The workspace holds the checkpoints of segments 1 .. segments - 1, then the buffer of one
// segment's diagonals start - 2 .. stop; each diagonal takes `stride` cells.
struct CheckpointPlan {
    int rows;
    int cols;
    int stride;
    int segment;
    int segments;

    CheckpointPlan(int rows, int cols)
        : rows(rows),
          cols(cols),
          stride(std::min(rows, cols)),
          segment(std::max(2, static_cast<int>(std::ceil(std::sqrt(2.0 * diagonals()))))),
          segments((diagonals() + segment - 1) / segment) {}

    int diagonals() const { return rows + cols - 1; }
    std::int64_t cells() const { return std::int64_t{2 * (segments - 1) + segment + 3} * stride; }

    // Where a checkpoint diagonal is kept, or nullptr for the other diagonals.
    template <typename T>
    T* checkpoint(T* workspace, int diagonal) const {
        for (const int before : {2, 1}) {
            const int start = diagonal + before;
            if (start % segment == 0 && start / segment >= 1 && start / segment < segments) {
                return row(workspace, 2 * (start / segment - 1) + 2 - before);
            }
        }
        return nullptr;
    }

    // The buffer's row of diagonal `diagonal`, in the segment that starts at `start`.
    template <typename T>
    T* buffered(T* workspace, int start, int diagonal) const {
        return row(workspace, 2 * (segments - 1) + diagonal - start + 2);
    }

private:
    template <typename T>
    T* row(T* workspace, int index) const {
        return workspace + std::int64_t{index} * stride;
    }
};

// What a forward pass that keeps no score matrix keeps of one signal: the last cell's score,
// and with a free end the terminals' scores in the order the free-end soft minimum folds them
// (the last row, then the last column above it); +inf for a terminal outside a band.
template <typename T>
struct FinalScores {
    int rows;
    int cols;
    bool free_end;
    T last = 0;
    std::vector<T> terminals;

    FinalScores(int rows, int cols, bool free_end)
        : rows(rows),
          cols(cols),
          free_end(free_end),
          terminals(free_end ? static_cast<std::size_t>(rows + cols - 1) : 0,
                    std::numeric_limits<T>::infinity()) {}

    // Cell (i, j)'s score, when it is a terminal or the last cell.
    void take(int i, int j, T value) {
        if (i == rows - 1 && j == cols - 1) {
            last = value;
        }
        if (!free_end) {
            return;
        }
        if (i == rows - 1) {
            terminals[static_cast<std::size_t>(j)] = value;
        } else if (j == cols - 1) {
            terminals[static_cast<std::size_t>(cols + i)] = value;
        }
    }
};

}  // namespace orvane::vectorised
#endif  // ORVANE_VECTORISED_FINAL_SCORES

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// Three diagonals' worth of one quantity, each with a pad before position 0 and after its last
// cell, and room for the lanes of a partial last vector. A position holds `width` values: one,
// or one per signal when signals run side by side.
template <typename T>
class RollingDiagonals {
public:
    RollingDiagonals(int longest, T pad, int width = 1)
        : width_(width),
          stride_((static_cast<std::size_t>(longest) + 2 + 2 * kMaxLanes<T>) * width),
          values_(3 * stride_, pad),
          pad_(pad) {}

    T* operator[](int d) { return values_.data() + (((d % 3) + 3) % 3) * stride_ + width_; }

    // Diagonal d as one outside the matrix: pads only.
    void clear(int d) { std::fill((*this)[d] - width_, (*this)[d] - width_ + stride_, pad_); }

    // Pads around positions [begin, end) of diagonal d, the cells a band keeps there: the
    // passes on the diagonals next to it read at most one cell beyond either end, since a
    // band moves by at most one column a diagonal.
    void fence(int d, int begin, int end) {
        if (begin == end) {
            clear(d);
            return;
        }
        T* own = (*this)[d];
        std::fill(own + (begin - 1) * width_, own + begin * width_, pad_);
        std::fill(own + end * width_, own + (end + 1) * width_, pad_);
    }

    T pad() const { return pad_; }

private:
    std::ptrdiff_t width_;
    std::size_t stride_;
    std::vector<T> values_;
    T pad_;
};

// GammaScale a vector at a time. Float64's division costs no time that could be measured
// against the product (AVX-512 and AVX2, one and two threads, up to 64 x 1024^2, timed in
// turn in one process: the stored passes, the scores alone and the gradients without
// matrices of both paths within 6% either way, most within 3%); the product corrected by its
// residual in two fused steps, which rounds as the quotient does, was no faster.
template <class D>
struct VectorGammaScale {
    VecOf<D> gamma;
    VecOf<D> inverse;

    VectorGammaScale(D d, Lane<D> gamma_value)
        : gamma(hn::Set(d, gamma_value)),
          inverse(hn::Set(d, GammaScale<Lane<D>>(gamma_value).inverse)) {}

    HWY_INLINE VecOf<D> operator()(VecOf<D> x) const {
        if constexpr (std::is_same_v<Lane<D>, float>) {
            return hn::Mul(inverse, x);
        } else {
            return hn::Div(x, gamma);
        }
    }
};

// softmin_gamma of three scores given scaled, -R / gamma (-inf for an absent one): a
// log-sum-exp shifted by the largest number; +inf when none is a number, NaN when any is NaN.
template <class D>
HWY_INLINE VecOf<D> Softmin(D d, VecOf<D> a, VecOf<D> b, VecOf<D> c, VecOf<D> gamma) {
    using T = Lane<D>;
    // A NaN may make `largest` NaN; the result is NaN then anyway.
    const VecOf<D> largest = hn::Max(hn::Max(a, b), c);
    const auto any_nan = hn::Or(hn::IsNaN(a), hn::Or(hn::IsNaN(b), hn::IsNaN(c)));
    const VecOf<D> sum = hn::Add(
        hn::Add(ExpOfNonPositive(d, hn::Sub(a, largest)), ExpOfNonPositive(d, hn::Sub(b, largest))),
        ExpOfNonPositive(d, hn::Sub(c, largest)));
    VecOf<D> result = hn::Mul(hn::Sub(hn::Neg(hn::Log(d, sum)), largest), gamma);
    const VecOf<D> infinity = hn::Set(d, kInfinity<T>);
    result = hn::IfThenElse(hn::Eq(largest, infinity), hn::Neg(infinity), result);
    result = hn::IfThenElse(hn::Eq(largest, hn::Neg(infinity)), infinity, result);
    return hn::IfThenElse(any_nan, hn::Set(d, std::numeric_limits<T>::quiet_NaN()), result);
}

// One rolling quantity on a diagonal and the two next to it that a pass reads: before it
// (step -1) for a forward pass, after it (step 1) for a backward one.
template <typename T>
struct WithNeighbours {
    T* here;
    const T* near;
    const T* far;

    WithNeighbours(RollingDiagonals<T>& rolling, int diagonal, int step)
        : here(rolling[diagonal]),
          near(rolling[diagonal + step]),
          far(rolling[diagonal + 2 * step]) {}
};

// Before a tile's pass sweeps `diagonal`, the `swept`-th in its order: once the neighbouring
// tile has swept the diagonals before it, that tile's `line` on the diagonal next to this one
// (step -1: before it, forward; 1: after it, backward) goes where this tile's cells read it,
// set(diagonal, position, value); the step before set the diagonal beyond. A cell outside the
// matrix keeps its pad.
template <typename T, class Set>
void TakeEdge(const Tile<T>& tile, int line, int diagonal, int step, int swept, int rows,
              int cols, const Set& set) {
    if (tile.taken == nullptr) {
        return;
    }
    tile.taken->wait_for(swept);
    const int near = diagonal + step;
    if (near >= 0 && near <= rows + cols - 2 && tile.crosses(line, near, rows, cols)) {
        set(near, tile.position(line, near, span_of(near, rows, cols).first_col),
            tile.taken->value(near));
    }
}

// After a tile's pass has swept `diagonal` (positions [begin, end) of `rolling`), the
// `swept`-th in its order: its `line` there, for the tile it feeds.
template <typename T>
void GiveEdge(const Tile<T>& tile, int line, RollingDiagonals<T>& rolling, int diagonal,
              std::pair<int, int> positions, int swept, int rows, int cols) {
    if (tile.given == nullptr) {
        return;
    }
    const int p = tile.position(line, diagonal, span_of(diagonal, rows, cols).first_col);
    const bool kept = p >= positions.first && p < positions.second;
    tile.given->publish(diagonal, kept ? rolling[diagonal][p] : rolling.pad());
    tile.given->mark(swept);
}

// The soft minimum of the predecessors of the cells p, p + 1, ... of a diagonal, from the
// scaled scores (-R / gamma, padded) of the two diagonals before it.
template <class D>
HWY_INLINE VecOf<D> PredecessorSoftmin(D d, const Lane<D>* previous, const Lane<D>* before_previous,
                                       int p, PredecessorShifts shifts, VecOf<D> gamma) {
    const auto up = hn::LoadU(d, previous + p + shifts.up);
    const auto left = hn::LoadU(d, previous + p - 1 + shifts.up);
    const auto corner = hn::LoadU(d, before_previous + p + shifts.corner);
    return Softmin(d, up, corner, left, gamma);
}

// The positions of a diagonal that a pass over a tile sweeps: those the band keeps, in the
// tile.
inline std::pair<int, int> SweptPositions(const Strip& tile, const Band& band, int diagonal,
                                          const Span& span) {
    return tile.clip(band.positions(diagonal, span), diagonal, span.first_col);
}

// The first lines of a pass's part of its next diagonal in a stored matrix, read or written:
// the hardware's prefetcher, which follows a stream within a page, does not foresee the jump
// to it, and a tile's part of each diagonal starts a stream of its own (a float32
// forward pass over half the columns of 16,384 x 1,024 takes 8% longer without).
template <bool kWrite, typename T>
HWY_INLINE void PrefetchLines(const T* first) {
    constexpr int kLines = 8;
    for (int line = 0; line < kLines; ++line) {
        __builtin_prefetch(first + line * 64 / sizeof(T), kWrite ? 1 : 0);
    }
}

// Prefetches a matrix's cells from position p of a diagonal on, where `source` keeps a matrix
// (its prefetch(span, p)); nothing for the others.
template <class Source>
HWY_INLINE void PrefetchFrom(const Source& source, const Span& span, int p) {
    if constexpr (requires { source.prefetch(span, p); }) {
        source.prefetch(span, p);
    }
}

// Prefetches the cells of diagonal `next` that a pass over a tile will reach first, in each
// of `sources`.
template <class... Sources>
HWY_INLINE void PrefetchDiagonal(const Strip& tile, const Band& band, int next, int rows,
                                 int cols, const Sources&... sources) {
    if (next < 0 || next > rows + cols - 2) {
        return;
    }
    const Span span = span_of(next, rows, cols);
    const int at = SweptPositions(tile, band, next, span).first;
    (PrefetchFrom(sources, span, at), ...);
}

// Where a forward pass reads its costs: a distance matrix, or the samples themselves, each
// cost formed as the distance passes form it (the same bits).
template <typename T>
struct StoredCosts {
    const T* distance;

    T first() const { return distance[0]; }
    template <class D>
    VecOf<D> at(D d, const Span& span, int /*diagonal*/, int p, std::size_t count) const {
        return LoadPart(d, distance + span.start + p, count);
    }
    void prefetch(const Span& span, int p) const {
        PrefetchLines<false>(distance + span.start + p);
    }
};

template <typename T>
struct SampleCosts {
    const SampleSource<T>& source;

    T first() const { return hn::GetLane(CellCosts(TagOf<T>(), source, 0, 0, 1)); }
    template <class D>
    VecOf<D> at(D d, const Span& span, int diagonal, int p, std::size_t count) const {
        const int column = span.first_col + p;
        return CellCosts(d, source, diagonal - column, column, count);
    }
};

// Where a forward pass puts its scores: a score matrix, or only what the final score needs.
template <typename T>
struct StoredScores {
    T* score;

    void first(T value) { score[0] = value; }
    template <class D>
    void take(D d, VecOf<D> value, const Span& span, int /*diagonal*/, int p, std::size_t count) {
        StorePart(d, value, score + span.start + p, count);
    }
    void prefetch(const Span& span, int p) const {
        PrefetchLines<true>(score + span.start + p);
    }
};

template <typename T>
struct KeptScores {
    FinalScores<T>& kept;

    void first(T value) { kept.take(0, 0, value); }
    // The diagonal's first cell may be on the last row, its last on the last column.
    template <class D>
    void take(D d, VecOf<D> value, const Span& span, int diagonal, int p, std::size_t count) {
        const bool first = p == 0 && diagonal >= kept.rows - 1;
        const bool last =
            p + static_cast<int>(count) == span.length && span.first_col + span.length == kept.cols;
        if (count == 0 || !(first || last)) {
            return;
        }
        alignas(64) T lanes[kMaxLanes<T>];
        hn::StoreU(value, d, lanes);
        if (first) {
            kept.take(kept.rows - 1, span.first_col, lanes[0]);
        }
        if (last) {
            kept.take(diagonal - (kept.cols - 1), kept.cols - 1, lanes[count - 1]);
        }
    }
};

// Scores put in two places.
template <class First, class Second>
struct BothScores {
    First first_sink;
    Second second_sink;

    template <typename T>
    void first(T value) {
        first_sink.first(value);
        second_sink.first(value);
    }
    template <class D, typename Position, typename Extent>
    void take(D d, VecOf<D> value, const Span& span, int diagonal, Position p, Extent extent) {
        first_sink.take(d, value, span, diagonal, p, extent);
        second_sink.take(d, value, span, diagonal, p, extent);
    }
    // Side by side: the diagonal at `span` is next, or its positions [begin, end) are done.
    void reach(const Span& span) {
        first_sink.reach(span);
        second_sink.reach(span);
    }
    void finish(const Span& span, int begin, int end) {
        first_sink.finish(span, begin, end);
        second_sink.finish(span, begin, end);
    }
};

// The checkpoint diagonals of a signal's scores.
template <typename T>
struct CheckpointScores {
    const CheckpointPlan& plan;
    T* workspace;
    int diagonal = -1;  // the diagonal whose checkpoint row is `row`
    T* row = nullptr;

    void first(T value) {
        if (T* own = plan.checkpoint(workspace, 0)) {
            own[0] = value;
        }
    }
    template <class D>
    void take(D d, VecOf<D> value, const Span& /*span*/, int at_diagonal, int p,
              std::size_t count) {
        if (at_diagonal != diagonal) {
            diagonal = at_diagonal;
            row = plan.checkpoint(workspace, diagonal);
        }
        if (row != nullptr) {
            StorePart(d, value, row + p, count);
        }
    }
};

// A forward pass over one segment, into the checkpoint buffer's rows.
template <typename T>
struct SegmentScores {
    const CheckpointPlan& plan;
    T* workspace;
    int start;

    void first(T value) { plan.buffered(workspace, start, 0)[0] = value; }
    template <class D>
    void take(D d, VecOf<D> value, const Span& /*span*/, int diagonal, int p, std::size_t count) {
        StorePart(d, value, plan.buffered(workspace, start, diagonal) + p, count);
    }
};

// Diagonals [first, last) of a forward pass; a pass from past diagonal 0 starts from R of
// the two diagonals before `first`, as a checkpoint holds them.
template <typename T>
struct DiagonalRange {
    int first;
    int last;
    const T* before_previous = nullptr;
    const T* previous = nullptr;

    static DiagonalRange whole(int rows, int cols) { return {0, rows + cols - 1}; }
};

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
void ForwardSignal(const Costs& costs, Scores& scores, int rows, int cols, T bias, T gamma,
                   const DiagonalRange<T>& range, const Band& band,
                   const Tile<T>& tile = {}) {
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

// The mixed path: float32 data, distances and gradients with scores held in float64. Every
// difference of scores is formed in float64 and rounded to float32; the exponentials, the
// logarithms and the sums stay float32, on whole float32 vectors: a group of cells is as many
// as a float32 vector holds, its float64 work done on the two float64 vectors that hold them.
using MixedTag = TagOf<double>;
using MixedFloatTag = TagOf<float>;
using MixedHalfTag = hn::Rebind<float, MixedTag>;

// A float32 vector holds the cells of two float64 vectors, except on the portable fallback,
// where every vector holds one lane.
constexpr bool kPairs = HWY_TARGET != HWY_SCALAR;

// Two float64 vectors rounded into one float32 vector, lo in the lower lanes.
HWY_INLINE VecOf<MixedFloatTag> RoundedPair(VecOf<MixedTag> lo, VecOf<MixedTag> hi) {
#if HWY_TARGET == HWY_SCALAR
    static_cast<void>(hi);
    return hn::DemoteTo(MixedFloatTag(), lo);
#else
    const MixedHalfTag dh;
    return hn::Combine(MixedFloatTag(), hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo));
#endif
}

// The lower and the upper lanes of a float32 vector as float64 vectors.
HWY_INLINE VecOf<MixedTag> LowerAsDoubles(VecOf<MixedFloatTag> v) {
#if HWY_TARGET == HWY_SCALAR
    return hn::PromoteTo(MixedTag(), v);
#else
    return hn::PromoteTo(MixedTag(), hn::LowerHalf(MixedHalfTag(), v));
#endif
}

HWY_INLINE VecOf<MixedTag> UpperAsDoubles(VecOf<MixedFloatTag> v) {
#if HWY_TARGET == HWY_SCALAR
    return hn::PromoteTo(MixedTag(), v);
#else
    return hn::PromoteTo(MixedTag(), hn::UpperHalf(MixedHalfTag(), v));
#endif
}

// One float64 vector of cells' predecessors: the least score and the differences to it over
// gamma, formed in float64.
struct ScaledDifferences {
    VecOf<MixedTag> least;
    VecOf<MixedTag> up;
    VecOf<MixedTag> corner;
    VecOf<MixedTag> left;
    VecOf<MixedTag> any_nan;  // all bits set where a predecessor is NaN
};

// Where no predecessor is finite the differences are inf - inf, NaN. The shares want -inf
// there (no share), which a least score taken as -inf gives; a NaN predecessor that Min
// dropped still makes its difference NaN, and so every share. The forward pass wants nothing,
// its soft minimum then being the least score itself whatever the differences.
enum class Unreachable { kept_nan, no_share };

template <Unreachable kUnreachable>
HWY_INLINE ScaledDifferences DifferencesOf(const double* up_at, const double* left_at,
                                           const double* corner_at,
                                           const VectorGammaScale<MixedTag>& over_gamma) {
    const MixedTag d;
    const auto up = hn::LoadU(d, up_at);
    const auto left = hn::LoadU(d, left_at);
    const auto corner = hn::LoadU(d, corner_at);
    // A NaN predecessor may make `least` NaN; what depends on it is NaN then anyway.
    auto least = hn::Min(hn::Min(up, corner), left);
    if constexpr (kUnreachable == Unreachable::no_share) {
        least = hn::IfThenElse(hn::Eq(least, hn::Set(d, kInfinity<double>)),
                               hn::Set(d, -kInfinity<double>), least);
    }
    const auto scaled = [&](VecOf<MixedTag> r) { return over_gamma(hn::Sub(least, r)); };
    const auto any_nan = hn::Or(hn::IsNaN(up), hn::Or(hn::IsNaN(corner), hn::IsNaN(left)));
    return ScaledDifferences{least, scaled(up), scaled(corner), scaled(left),
                             hn::VecFromMask(d, any_nan)};
}

// The differences of cells q, q + 1, ... of a diagonal.
template <Unreachable kUnreachable>
HWY_INLINE ScaledDifferences DifferencesAt(const double* previous, const double* before_previous,
                                           int q, PredecessorShifts shifts,
                                           const VectorGammaScale<MixedTag>& over_gamma) {
    return DifferencesOf<kUnreachable>(previous + q + shifts.up, previous + q - 1 + shifts.up,
                                       before_previous + q + shifts.corner, over_gamma);
}

// Where a backward pass reads R: a stored score matrix, or a signal's checkpoints, each
// segment's diagonals computed again as the pass reaches them (`recompute(range, sink)`).
template <typename T>
struct StoredScoreMatrix {
    const T* score;

    const T* diagonal(int /*diagonal*/, const Span& span) const { return score + span.start; }
    void prefetch(const Span& span, int p) const {
        PrefetchLines<false>(score + span.start + p);
    }
};

template <typename T, class Recompute>
class CheckpointedScoreMatrix {
public:
    CheckpointedScoreMatrix(const CheckpointPlan& plan, T* workspace, const Recompute& recompute)
        : plan_(plan), workspace_(workspace), recompute_(recompute) {}

    // Diagonal `diagonal`'s scores; every diagonal from the segment's start - 2 to the next
    // segment's start is at hand, so that the diagonal a pass is on and the one before it
    // stay readable together.
    const T* diagonal(int diagonal, const Span& /*span*/) {
        if (diagonal < start_ || diagonal > stop_) {
            load(diagonal / plan_.segment);
        }
        return plan_.buffered(workspace_, start_, diagonal);
    }

private:
    void load(int segment) {
        start_ = segment * plan_.segment;
        stop_ = std::min(start_ + plan_.segment, plan_.diagonals() - 1);
        DiagonalRange<T> range{start_, stop_ + 1};
        if (segment > 0) {
            for (const int before : {2, 1}) {
                std::memcpy(plan_.buffered(workspace_, start_, start_ - before),
                            plan_.checkpoint(workspace_, start_ - before),
                            sizeof(T) * static_cast<std::size_t>(plan_.stride));
            }
            range.before_previous = plan_.buffered(workspace_, start_, start_ - 2);
            range.previous = plan_.buffered(workspace_, start_, start_ - 1);
        }
        SegmentScores<T> sink{plan_, workspace_, start_};
        recompute_(range, sink);
    }

    const CheckpointPlan& plan_;
    T* workspace_;
    const Recompute& recompute_;
    int start_ = 1;  // no segment loaded
    int stop_ = 0;
};

// Signals side by side: as many signals of one shape as a vector has lanes, lane k holding
// signal k's cell, so that a short diagonal still fills whole vectors. Their values are held
// interleaved (position p of lane k at p * lanes + k), so the matrices keep their layout;
// every cell takes the steps the passes along the diagonals take, the same bits.

// Whether a vector of T has a width whose square of lanes TransposeSquare turns: 16 or 32
// bytes, the targets side by side has been measured on.
template <typename T>
constexpr std::size_t kVectorBytes = hn::MaxLanes(TagOf<T>()) * sizeof(T);
template <typename T>
constexpr bool kTransposes =
    HWY_TARGET != HWY_SCALAR && (kVectorBytes<T> == 16 || kVectorBytes<T> == 32);

// v[i] lane j becomes v[j] lane i, for vectors of 16 or 32 bytes: pairs of lanes interleaved,
// then (32-bit lanes) pairs of pairs, then (32 bytes) the two halves.
template <class D>
HWY_INLINE void TransposeSquare(D d, VecOf<D>* v) {
#if HWY_TARGET != HWY_SCALAR
    constexpr std::size_t kLanes = hn::MaxLanes(D());
    if constexpr (sizeof(Lane<D>) == 8) {
        VecOf<D> pairs[kLanes];
        for (std::size_t i = 0; i < kLanes; i += 2) {
            pairs[i] = hn::InterleaveLower(d, v[i], v[i + 1]);
            pairs[i + 1] = hn::InterleaveUpper(d, v[i], v[i + 1]);
        }
        if constexpr (kLanes == 2) {
            v[0] = pairs[0];
            v[1] = pairs[1];
        } else {
            for (std::size_t i = 0; i < 2; ++i) {
                v[i] = hn::ConcatLowerLower(d, pairs[i + 2], pairs[i]);
                v[i + 2] = hn::ConcatUpperUpper(d, pairs[i + 2], pairs[i]);
            }
        }
        return;
    }
    const hn::Repartition<std::uint64_t, D> d64;
    const auto pairs_lower = [&](VecOf<D> a, VecOf<D> b) {
        return hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, a), hn::BitCast(d64, b)));
    };
    const auto pairs_upper = [&](VecOf<D> a, VecOf<D> b) {
        return hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, a), hn::BitCast(d64, b)));
    };
    VecOf<D> lanes[kLanes];
    for (std::size_t i = 0; i < kLanes; i += 2) {
        lanes[i] = hn::InterleaveLower(d, v[i], v[i + 1]);
        lanes[i + 1] = hn::InterleaveUpper(d, v[i], v[i + 1]);
    }
    VecOf<D> quads[kLanes];
    for (std::size_t i = 0; i < kLanes; i += 4) {
        quads[i] = pairs_lower(lanes[i], lanes[i + 2]);
        quads[i + 1] = pairs_upper(lanes[i], lanes[i + 2]);
        quads[i + 2] = pairs_lower(lanes[i + 1], lanes[i + 3]);
        quads[i + 3] = pairs_upper(lanes[i + 1], lanes[i + 3]);
    }
    if constexpr (kLanes == 4) {
        for (std::size_t i = 0; i < kLanes; ++i) {
            v[i] = quads[i];
        }
    } else {
        for (std::size_t i = 0; i < 4; ++i) {
            v[i] = hn::ConcatLowerLower(d, quads[i + 4], quads[i]);
            v[i + 4] = hn::ConcatUpperUpper(d, quads[i + 4], quads[i]);
        }
    }
#else
    static_cast<void>(d);
    static_cast<void>(v);
#endif
}

// Moves cells [first, first + count) between the lanes' matrices (lane k's cell c at
// matrices[k] + c) and interleaved positions (cell first + p of lane k at p * lanes + k):
// gathers them from the matrices, or scatters them back. A square of positions and of a
// vector's lanes at a time (float64 scores of float32 lanes: two squares of half as many).
template <bool kGather, class Matrix, class Interleaved>
void MoveCells(Matrix* const* matrices, std::size_t lanes, std::int64_t first, std::int64_t count,
               Interleaved* interleaved) {
    using T = std::remove_const_t<Matrix>;
    const TagOf<T> d;
    constexpr std::size_t kLanes = hn::MaxLanes(TagOf<T>());
    const auto in_matrix = [&](std::size_t k, std::int64_t p) { return matrices[k] + first + p; };
    const auto in_lanes = [&](std::int64_t p, std::size_t k) {
        return interleaved + p * static_cast<std::int64_t>(lanes) + k;
    };
    std::int64_t p = 0;
    if constexpr (kTransposes<T>) {
        VecOf<TagOf<T>> square[kLanes];
        for (; lanes % kLanes == 0 && p + static_cast<std::int64_t>(kLanes) <= count;
             p += kLanes) {
            for (std::size_t first_lane = 0; first_lane < lanes; first_lane += kLanes) {
                // Lane first_lane + k's positions in vector k on the matrices' side, position
                // q's lanes in vector q on the other.
                for (std::size_t i = 0; i < kLanes; ++i) {
                    square[i] = hn::LoadU(d, kGather ? in_matrix(first_lane + i, p)
                                                     : in_lanes(p + i, first_lane));
                }
                TransposeSquare(d, square);
                for (std::size_t i = 0; i < kLanes; ++i) {
                    if constexpr (kGather) {
                        hn::StoreU(square[i], d, in_lanes(p + i, first_lane));
                    } else {
                        hn::StoreU(square[i], d, in_matrix(first_lane + i, p));
                    }
                }
            }
        }
    }
    for (; p < count; ++p) {
        for (std::size_t k = 0; k < lanes; ++k) {
            if constexpr (kGather) {
                *in_lanes(p, k) = *in_matrix(k, p);
            } else {
                *in_matrix(k, p) = *in_lanes(p, k);
            }
        }
    }
}

// The passes over the stored matrices of signals side by side move the lanes' matrices in and
// out of a window, interleaved as the rolling diagonals hold them (cell c of lane k at
// c * lanes + k), a run of whole diagonals at a time. A lane's part of one diagonal is a run of
// a few lines, which the hardware neither prefetches nor streams to memory, least of all as a
// backward pass goes from the last diagonal to the first (1,024 x 64^2, E written a diagonal
// at a time: 1.0 ns a cell more than with its matrices in cache); a run of diagonals is one
// stretch of each lane's matrix. The window stays small enough for the core's own cache.
class DiagonalRuns {
public:
    static constexpr std::int64_t kMostCells = 4096;

    DiagonalRuns(int rows, int cols) {
        std::int64_t run_cells = 0;
        for (int diagonal = 0; diagonal < rows + cols - 1; ++diagonal) {
            const Span span = span_of(diagonal, rows, cols);
            if (run_cells > 0 && run_cells + span.length > kMostCells) {
                starts_.push_back(span.start);
                run_cells = 0;
            }
            run_cells += span.length;
            longest_ = std::max(longest_, run_cells);
        }
        starts_.push_back(std::int64_t{rows} * cols);
    }

    // The cells of the longest run: at most kMostCells, or one diagonal where it is longer.
    std::int64_t longest() const { return longest_; }

    // The cells [first, end) of the run holding cell c.
    std::pair<std::int64_t, std::int64_t> around(std::int64_t c) const {
        const auto next = std::upper_bound(starts_.begin(), starts_.end(), c);
        return {next == starts_.begin() ? 0 : *(next - 1), *next};
    }

private:
    std::vector<std::int64_t> starts_;  // each run's first cell but the first run's, then the end
    std::int64_t longest_ = 0;
};

// One quantity's window: read from the lanes' matrices (T const) or written to them.
template <typename T>
class LaneWindow {
    using Value = std::remove_const_t<T>;
    static constexpr bool kWrites = !std::is_const_v<T>;

public:
    LaneWindow(T* const* matrices, std::size_t lanes, const DiagonalRuns& runs)
        : matrices_(matrices),
          lanes_(static_cast<std::int64_t>(lanes)),
          runs_(runs),
          values_(new Value[runs.longest() * lanes]) {}
    LaneWindow(const LaneWindow&) = delete;
    ~LaneWindow() { flush(); }

    // The diagonal at `span`, position p of lane k at p * lanes() + k, the window moved there
    // if it is not.
    Value* diagonal(const Span& span) {
        if (span.start < first_ || span.start >= end_) {
            move_to(span);
        }
        return values_.get() + (span.start - first_) * lanes_;
    }
    std::int64_t lanes() const { return lanes_; }

    // What the window holds into the matrices, where they are written.
    void flush() {
        if constexpr (kWrites) {
            MoveCells<false>(matrices_, lanes_, first_, cells(), values_.get());
        }
        first_ = end_ = 0;
    }

private:
    std::int64_t cells() const { return end_ - first_; }

    void move_to(const Span& span) {
        flush();
        std::tie(first_, end_) = runs_.around(span.start);
        if constexpr (!kWrites) {
            MoveCells<true>(matrices_, lanes_, first_, cells(), values_.get());
        }
    }

    T* const* matrices_;
    std::int64_t lanes_;
    const DiagonalRuns& runs_;
    // Not cleared: every value is read from the matrices, or (the stored passes keep every
    // cell: a full band) taken from the pass, before it is used or written back.
    std::unique_ptr<Value[]> values_;
    std::int64_t first_ = 0;
    std::int64_t end_ = 0;
};

// The score matrices of signals side by side, one a lane.
template <typename T>
struct GatheredScoreMatrix {
    LaneWindow<const T> window;

    void read(std::size_t lanes, const Span& span, T* out) {
        std::copy_n(window.diagonal(span), span.length * static_cast<std::int64_t>(lanes), out);
    }
};

// The score matrices of signals side by side as the passes that form every cost from the
// samples keep them: interleaved as the rolling diagonals are (position p of a diagonal, lane
// k at (span.start + p) * lanes + k), the lanes' matrices taken one after another as one run
// of lanes * cells values. A diagonal is then one stretch of memory, where the matrices' own
// layout needs a square of lanes transposed for every lanes positions. Nothing else reads
// these matrices.
template <typename T>
struct InterleavedScoreMatrices {
    using Value = std::remove_const_t<T>;

    T* const* matrices;
    std::size_t lanes;
    std::int64_t cells;  // each matrix's

    // Values [at, at + count) of the run: into the matrices (kWrite) or out of them.
    template <bool kWrite>
    void move(std::int64_t at, std::conditional_t<kWrite, const Value*, Value*> values,
              std::int64_t count) const {
        while (count > 0) {
            const std::int64_t offset = at % cells;
            const std::int64_t run = std::min(count, cells - offset);
            T* matrix = matrices[at / cells] + offset;
            if constexpr (kWrite) {
                std::copy_n(values, run, matrix);
            } else {
                std::copy_n(matrix, run, values);
            }
            at += run;
            values += run;
            count -= run;
        }
    }

    // Where values [at, at + count) of the run lie in one matrix, their place; otherwise null.
    T* within_one(std::int64_t at, std::int64_t count) const {
        const std::int64_t offset = at % cells;
        return offset + count <= cells ? matrices[at / cells] + offset : nullptr;
    }

    void read(std::size_t /*lanes*/, const Span& span, Value* out) const {
        move<false>(span.start * static_cast<std::int64_t>(lanes), out,
                    span.length * static_cast<std::int64_t>(lanes));
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

// Where a backward pass puts E: a gradient matrix, or straight into the gradients of the
// samples and of the reference (channel-major), E never stored: each cell adds w * E times
// its cost's derivative, w its score's weight.
template <typename T>
struct StoredGradient {
    T* gradient;

    template <class D>
    HWY_INLINE void take(D d, VecOf<D> e, const Span& span, int /*diagonal*/, int p,
                         std::size_t count) {
        StorePart(d, e, gradient + span.start + p, count);
    }
    void prefetch(const Span& span, int p) const {
        PrefetchLines<true>(gradient + span.start + p);
    }
};

template <typename T>
struct AddedGradient {
    const SampleSource<T>& source;
    T* sample_gradients;
    T* reference_gradients;
    T weight;

    template <class D>
    HWY_INLINE void take(D d, VecOf<D> e, const Span& span, int diagonal, int p,
                         std::size_t count) {
        const int column = span.first_col + p;
        AddCellGradients(d, hn::Mul(e, hn::Set(d, weight)), source, sample_gradients,
                         reference_gradients, diagonal - column, column, count);
    }
};

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

// E of one signal, swept from the last diagonal to the first. With a free end (final_score
// given), every terminal cell starts from its share of the final soft minimum; otherwise the
// last cell starts from 1. float32 takes the kernels' steps; float64 weighs by shares among
// predecessors (PredecessorShares), which keeps E to about 1e-11 where the scores reach 1e4.
// Costs come from a distance matrix or the samples; E goes to a gradient matrix or straight
// into the gradients of the samples and the reference.
template <typename T, class Costs, class ScoreMatrix, class Gradients>
void BackwardSignal(const Costs& cost_source, ScoreMatrix& score, Gradients& sink, int rows,
                    int cols, T bias, T gamma, bool free_end, T final_score, bool last_row_only,
                    T ref_gap_penalty, const Band& band, const Tile<T>& tile = {}) {
    const TagOf<T> d;
    const hn::RebindToSigned<TagOf<T>> di;
    using Int = Lane<decltype(di)>;
    const std::size_t lanes = hn::Lanes(d);
    const VectorGammaScale<TagOf<T>> over_gamma(d, gamma);
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
                     costs[near][p] = hn::GetLane(
                         hn::Sub(cost_source.at(d, near_span, near, p, 1), bias_v));
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

            auto e = hn::Zero(d);
            if (free_end) {
                const auto column =
                    hn::Add(hn::Set(di, static_cast<Int>(span.first_col + p)), hn::Iota(di, 0));
                const auto row = hn::Sub(hn::Set(di, static_cast<Int>(diagonal)), column);
                auto terminal = hn::Eq(row, hn::Set(di, static_cast<Int>(rows - 1)));
                if (!last_row_only) {
                    terminal =
                        hn::Or(terminal, hn::Eq(column, hn::Set(di, static_cast<Int>(cols - 1))));
                }
                const auto penalty = hn::Mul(hn::ConvertTo(d, column), hn::Set(d, ref_gap_penalty));
                const auto share =
                    ExpOf(d, over_gamma(hn::Sub(hn::Set(d, final_score), hn::Add(penalty, r))));
                e = hn::IfThenElseZero(hn::RebindMask(d, terminal), share);
            } else if (diagonal == last_diagonal) {
                e = hn::Set(d, T{1});
            }
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

// Where a side-by-side pass reads its lanes' costs: their distance matrices, through a
// window; or their samples, interleaved (sample i of channel c of lane k
// at (c * rows + i) * lanes + k), each cost formed as CellCosts forms it.
template <typename T>
struct GatheredCosts {
    LaneWindow<const T> window;
    const T* diagonal = nullptr;

    void reach(const Span& span) { diagonal = window.diagonal(span); }
    template <class D>
    VecOf<D> at(D d, const Span& /*span*/, int /*diagonal*/, std::int64_t p) const {
        return hn::LoadU(d, diagonal + p * static_cast<std::int64_t>(hn::Lanes(d)));
    }
};

template <typename T>
struct InterleavedSampleCosts {
    const T* samples;
    int rows;
    const T* reference;  // channel-major
    int cols;
    int channels;
    CostKind kind;

    void reach(const Span& /*span*/) {}
    template <class D>
    VecOf<D> at(D d, const Span& span, int diagonal, std::int64_t p) const {
        const std::int64_t column = span.first_col + p;
        const std::int64_t row = diagonal - column;
        return kind == CostKind::abs ? CostsOf<CostKind::abs>(d, row, column)
                                     : CostsOf<CostKind::sqeuclidean>(d, row, column);
    }

private:
    template <CostKind kKind, class D>
    VecOf<D> CostsOf(D d, std::int64_t row, std::int64_t column) const {
        const std::int64_t lanes = static_cast<std::int64_t>(hn::Lanes(d));
        const auto channel_cost = [&](int c) {
            const auto difference =
                hn::Sub(hn::LoadU(d, samples + (std::int64_t{c} * rows + row) * lanes),
                        hn::Set(d, reference[std::int64_t{c} * cols + column]));
            if constexpr (kKind == CostKind::abs) {
                return hn::Abs(difference);
            } else {
                return hn::Mul(difference, difference);
            }
        };
        auto total = channel_cost(0);
        for (int c = 1; c < channels; ++c) {
            total = hn::Add(total, channel_cost(c));
        }
        return total;
    }
};

// Where the passes over stored matrices of signals side by side put R or E: each lane's matrix,
// through a window. A side-by-side forward pass may also keep each lane's final scores only
// (KeptLaneScores), or a group's R interleaved (InterleavedScores).
template <typename T>
struct LaneMatrices {
    LaneWindow<T> window;
    T* diagonal = nullptr;

    // Where the diagonal at `span` goes, found once before its cells.
    void reach(const Span& span) { diagonal = window.diagonal(span); }
    // The lanes of `value` are those from first_lane on.
    template <class D>
    void take(D d, VecOf<D> value, const Span& /*span*/, int /*diagonal*/, std::int64_t p,
              std::int64_t first_lane = 0) {
        hn::StoreU(value, d, diagonal + p * window.lanes() + first_lane);
    }
    void finish(const Span& /*span*/, int /*begin*/, int /*end*/) {}
};

// A diagonal goes straight to its place, or where it spans two matrices through a buffer.
template <typename T>
class InterleavedScores {
public:
    InterleavedScores(const InterleavedScoreMatrices<T>& matrices, std::size_t longest)
        : matrices_(matrices), buffer_(longest * matrices.lanes) {}

    void reach(const Span& span) {
        to_ = matrices_.within_one(span.start * lanes(), span.length * lanes());
        if (to_ == nullptr) {
            to_ = buffer_.data();
        }
    }
    // The lanes of `value` are those from first_lane on.
    template <class D>
    void take(D d, VecOf<D> value, const Span& /*span*/, int /*diagonal*/, std::int64_t p,
              std::int64_t first_lane = 0) {
        hn::StoreU(value, d, to_ + p * lanes() + first_lane);
    }
    void finish(const Span& span, int begin, int end) {
        if (to_ == buffer_.data()) {
            matrices_.template move<true>((span.start + begin) * lanes(), to_ + begin * lanes(),
                                          (end - begin) * lanes());
        }
    }

private:
    std::int64_t lanes() const { return static_cast<std::int64_t>(matrices_.lanes); }

    InterleavedScoreMatrices<T> matrices_;
    std::vector<T> buffer_;
    T* to_ = nullptr;
};

template <typename T>
struct KeptLaneScores {
    FinalScores<T>* const* kept;

    void reach(const Span& /*span*/) {}
    // The lanes of `value` are those from first_lane on.
    template <class D>
    void take(D d, VecOf<D> value, const Span& span, int diagonal, std::int64_t p,
              std::int64_t first_lane = 0) {
        const int column = static_cast<int>(span.first_col + p);
        const int row = diagonal - column;
        if (row != kept[0]->rows - 1 && column != kept[0]->cols - 1) {
            return;
        }
        alignas(64) T lanes[kMaxLanes<T>];
        hn::StoreU(value, d, lanes);
        for (std::size_t k = 0; k < hn::Lanes(d); ++k) {
            kept[first_lane + k]->take(row, column, lanes[k]);
        }
    }
    void finish(const Span& /*span*/, int /*begin*/, int /*end*/) {}
};

// R of one signal per lane, each cell taking ForwardSignal's steps; biases one a lane.
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
            const auto value =
                value_of(hn::Sub(costs.at(d, span, diagonal, p), bias_v), around, p);
            sink.take(d, value, span, diagonal, p, 0);
            hn::StoreU(scale(value), d, around.here + p * lanes);
        }
        sink.finish(span, begin, end);
        scaled.fence(diagonal, begin, end);
    };
    sweep(0, [](VecOf<TagOf<T>> cost, const WithNeighbours<T>&, std::int64_t) { return cost; });
    for (int diagonal = 1; diagonal < rows + cols - 1; ++diagonal) {
        const PredecessorShifts shifts(diagonal, rows);
        sweep(diagonal, [&](VecOf<TagOf<T>> cost, const WithNeighbours<T>& around,
                            std::int64_t p) {
            return hn::Add(cost, Softmin(d, at(around.near, p + shifts.up),
                                         at(around.far, p + shifts.corner),
                                         at(around.near, p - 1 + shifts.up), gamma_v));
        });
    }
}

// Where a side-by-side backward pass puts E: each lane's gradient matrix (LaneMatrices); or
// straight into each lane's gradients of its samples and of the reference, interleaved as its
// samples are (sample i of channel c of lane k at (c * rows + i) * lanes + k, reference value
// j at (c * cols + j) * lanes + k), each cell adding what AddedGradient adds for it. A lane
// whose `adding` is zero adds nothing (a band left its signal without a path).
template <typename T>
struct AddedLaneGradients {
    const InterleavedSampleCosts<T>& samples;
    T* sample_gradients;
    T* reference_gradients;
    const T* weights;
    const T* adding;

    void reach(const Span& /*span*/) {}
    template <class D>
    HWY_INLINE void take(D d, VecOf<D> e, const Span& span, int diagonal, std::int64_t p) {
        const std::int64_t column = span.first_col + p;
        const std::int64_t row = diagonal - column;
        const auto g = hn::IfThenElseZero(hn::Ne(hn::LoadU(d, adding), hn::Zero(d)),
                                          hn::Mul(e, hn::LoadU(d, weights)));
        if (samples.kind == CostKind::abs) {
            Add<CostKind::abs>(d, g, row, column);
        } else {
            Add<CostKind::sqeuclidean>(d, g, row, column);
        }
    }

private:
    // AddCellGradients' steps, a lane a signal.
    template <CostKind kKind, class D>
    HWY_INLINE void Add(D d, VecOf<D> g, std::int64_t row, std::int64_t column) {
        const std::int64_t lanes = static_cast<std::int64_t>(hn::Lanes(d));
        const auto scale = kKind == CostKind::abs ? g : hn::Add(g, g);
        for (int c = 0; c < samples.channels; ++c) {
            const std::int64_t sample = (std::int64_t{c} * samples.rows + row) * lanes;
            const std::int64_t reference = (std::int64_t{c} * samples.cols + column) * lanes;
            const auto difference =
                hn::Sub(hn::LoadU(d, samples.samples + sample),
                        hn::Set(d, samples.reference[std::int64_t{c} * samples.cols + column]));
            const auto slope =
                kKind == CostKind::abs ? DeadZoneSign(d, difference) : difference;
            const auto term = hn::Mul(scale, slope);
            T* to_sample = sample_gradients + sample;
            T* to_reference = reference_gradients + reference;
            hn::StoreU(hn::Add(hn::LoadU(d, to_sample), term), d, to_sample);
            hn::StoreU(hn::Sub(hn::LoadU(d, to_reference), term), d, to_reference);
        }
    }
};

// E of one matrix per lane from its costs and R; biases and final scores one a lane.
template <typename T, class Costs, class ScoreMatrix, class Gradients>
void BackwardSideBySide(Costs& costs, ScoreMatrix& scores, Gradients& sink, const T* biases,
                        int rows, int cols, T gamma, bool free_end, const T* final_scores,
                        bool last_row_only, T ref_gap_penalty, const Band& band) {
    const TagOf<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const VectorGammaScale<TagOf<T>> over_gamma(d, gamma);
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
            auto e = hn::Zero(d);
            if (free_end) {
                const std::int64_t column = span.first_col + p;
                const std::int64_t row = diagonal - column;
                if (row == rows - 1 || (!last_row_only && column == cols - 1)) {
                    const auto penalty = hn::Mul(hn::Set(d, static_cast<T>(column)),
                                                 hn::Set(d, ref_gap_penalty));
                    e = ExpOf(d, over_gamma(hn::Sub(finals, hn::Add(penalty, r))));
                }
            } else if (diagonal == last_diagonal) {
                e = hn::Set(d, T{1});
            }
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

// gamma * log(sum of the exponentials) of a float32 vector of cells, from the float64
// differences of its two halves, rounded to float32.
HWY_INLINE VecOf<MixedFloatTag> MixedLogTerm(const ScaledDifferences& lo,
                                             const ScaledDifferences& hi,
                                             VecOf<MixedFloatTag> gamma) {
    const MixedFloatTag df;
    const auto sum = hn::Add(hn::Add(ExpOfNonPositive(df, RoundedPair(lo.up, hi.up)),
                                     ExpOfNonPositive(df, RoundedPair(lo.corner, hi.corner))),
                             ExpOfNonPositive(df, RoundedPair(lo.left, hi.left)));
    return hn::Mul(hn::Log(df, sum), gamma);
}

// R = cost + least - gamma * log(sum): +-inf where the least is infinite, NaN where a
// predecessor is NaN.
HWY_INLINE VecOf<MixedTag> MixedValue(VecOf<MixedTag> cost, const ScaledDifferences& at,
                                      VecOf<MixedTag> log_term) {
    const MixedTag d;
    auto softmin = hn::Sub(at.least, log_term);
    softmin = hn::IfThenElse(hn::IsInf(at.least), at.least, softmin);
    softmin = hn::IfThenElse(hn::MaskFromVec(at.any_nan),
                             hn::Set(d, std::numeric_limits<double>::quiet_NaN()), softmin);
    return hn::Add(cost, softmin);
}

template <class Costs, class Scores>
void ForwardMixed(const Costs& costs, Scores& sink, int rows, int cols, float bias, float gamma,
                  const DiagonalRange<double>& range, const Band& band,
                  const Tile<double>& tile = {}) {
    const MixedTag d;
    const MixedFloatTag df;
    const std::size_t lanes = hn::Lanes(d);
    const std::size_t group = hn::Lanes(df);
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
    const auto gamma_v = hn::Set(df, gamma);
    const auto bias_v = hn::Set(df, bias);
    RollingDiagonals<double> scores(std::min(rows, cols), kInfinity<double>);

    const int from = StartForward(range, scores, sink, static_cast<double>(costs.first() - bias),
                                  rows, cols, band, [](VecOf<MixedTag> r) { return r; }, tile);
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
            const auto lo = DifferencesAt<Unreachable::kept_nan>(
                around.near, around.far, p, shifts, over_gamma);
            const auto hi = kPairs ? DifferencesAt<Unreachable::kept_nan>(
                                         around.near, around.far,
                                         p + static_cast<int>(lanes), shifts, over_gamma)
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

// The mixed path's R (or final scores) of one signal per lane, each cell taking ForwardMixed's
// steps: a float32 vector of lanes, its float64 work on the two halves.
template <class Costs, class Scores>
void ForwardMixedSideBySide(Costs& costs, Scores& sink, const float* biases, int rows, int cols,
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
        sweep(diagonal, [&](VecOf<MixedFloatTag> cost, const WithNeighbours<double>& around,
                            std::int64_t p) {
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
// taking BackwardMixed's steps; final scores one a lane.
template <class ScoreMatrix, class Gradients>
void BackwardMixedSideBySide(ScoreMatrix& matrix, Gradients& sink, int rows, int cols,
                             float gamma, bool free_end, const double* final_scores,
                             bool last_row_only, float ref_gap_penalty, const Band& band) {
    const MixedTag d;
    const MixedFloatTag df;
    const std::int64_t lanes = static_cast<std::int64_t>(hn::Lanes(df));
    const std::int64_t half = static_cast<std::int64_t>(hn::Lanes(d));
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
    RollingDiagonals<float> expected(std::min(rows, cols), 0.0f, static_cast<int>(lanes));
    PredecessorShares<float, ScoreMatrix> shares(
        matrix, rows, cols, static_cast<double>(gamma), band, static_cast<int>(lanes));
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
            auto e = hn::Zero(df);
            if (free_end) {
                const std::int64_t column = span.first_col + p;
                const std::int64_t row = diagonal - column;
                if (row == rows - 1 || (!last_row_only && column == cols - 1)) {
                    // (final - (penalty + R)) / gamma, formed in float64 and rounded.
                    const auto penalty = hn::Mul(hn::Set(df, static_cast<float>(column)),
                                                 hn::Set(df, ref_gap_penalty));
                    const auto exponent = [&](VecOf<MixedTag> penalties, std::int64_t first) {
                        return over_gamma(hn::Sub(
                            hn::LoadU(d, final_scores + first),
                            hn::Add(penalties, hn::LoadU(d, at(own_scores, p) + first))));
                    };
                    e = ExpOf(df, RoundedPair(exponent(LowerAsDoubles(penalty), 0),
                                              exponent(UpperAsDoubles(penalty), half)));
                }
            } else if (diagonal == last_diagonal) {
                e = hn::Set(df, 1.0f);
            }
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

// The shares are formed from the scores alone: no cost enters the weights.
template <class ScoreMatrix, class Gradients>
void BackwardMixed(ScoreMatrix& score, Gradients& sink, int rows, int cols, float gamma,
                   bool free_end, double final_score, bool last_row_only, float ref_gap_penalty,
                   const Band& band, const Tile<float>& tile = {}) {
    const MixedTag d;
    const MixedFloatTag df;
    const hn::RebindToSigned<MixedFloatTag> di;
    const std::size_t lanes = hn::Lanes(d);
    const std::size_t group = hn::Lanes(df);
    const VectorGammaScale<MixedTag> over_gamma(d, static_cast<double>(gamma));
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
            auto e = hn::Zero(df);
            if (free_end) {
                const auto column = hn::Add(hn::Set(di, span.first_col + p), hn::Iota(di, 0));
                const auto row = hn::Sub(hn::Set(di, diagonal), column);
                auto terminal = hn::Eq(row, hn::Set(di, rows - 1));
                if (!last_row_only) {
                    terminal = hn::Or(terminal, hn::Eq(column, hn::Set(di, cols - 1)));
                }
                // (final - (penalty + R)) / gamma, formed in float64 and rounded.
                const auto penalty =
                    hn::Mul(hn::ConvertTo(df, column), hn::Set(df, ref_gap_penalty));
                const auto exponent = [&](VecOf<MixedTag> penalties, std::size_t first) {
                    const std::size_t own = count > first ? std::min(lanes, count - first) : 0;
                    const auto r = LoadPart(d, own_scores + p + first, own);
                    return over_gamma(hn::Sub(hn::Set(d, final_score), hn::Add(penalties, r)));
                };
                const auto low = exponent(LowerAsDoubles(penalty), 0);
                const auto high = kPairs ? exponent(UpperAsDoubles(penalty), lanes) : low;
                const auto share = ExpOf(df, RoundedPair(low, high));
                e = hn::IfThenElseZero(hn::RebindMask(df, terminal), share);
            } else if (diagonal == last_diagonal) {
                e = hn::Set(df, 1.0f);
            }
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
struct Passes {
    template <class Costs, class Scores>
    static void forward(const Costs& costs, Scores& scores, int rows, int cols, Data bias,
                        Data gamma, const DiagonalRange<Score>& range, const Band& band,
                        const Tile<Score>& tile = {}) {
        if constexpr (std::is_same_v<Data, Score>) {
            ForwardSignal(costs, scores, rows, cols, bias, gamma, range, band, tile);
        } else {
            ForwardMixed(costs, scores, rows, cols, bias, gamma, range, band, tile);
        }
    }

    template <class Costs, class ScoreMatrix, class Gradients>
    static void backward(const Costs& costs, ScoreMatrix& score, Gradients& sink, int rows,
                         int cols, Data bias, Data gamma, bool free_end, Score final_score,
                         bool last_row_only, Data ref_gap_penalty, const Band& band,
                         const Tile<Data>& tile = {}) {
        if constexpr (std::is_same_v<Data, Score>) {
            BackwardSignal(costs, score, sink, rows, cols, bias, gamma, free_end, final_score,
                           last_row_only, ref_gap_penalty, band, tile);
        } else {
            BackwardMixed(score, sink, rows, cols, gamma, free_end, final_score, last_row_only,
                          ref_gap_penalty, band, tile);
        }
    }
};

// Over stored matrices, the whole matrix or one tile of it.
template <typename Data, typename Score>
void ForwardStored(const Data* distance, Score* score, int rows, int cols, Data bias, Data gamma,
                   const Tile<Score>& tile) {
    StoredScores<Score> scores{score};
    Passes<Data, Score>::forward(StoredCosts<Data>{distance}, scores, rows, cols, bias, gamma,
                                 DiagonalRange<Score>::whole(rows, cols), Band(rows, cols), tile);
}

template <typename Data, typename Score>
void BackwardStored(const Data* distance, const Score* score, Data* gradient, int rows, int cols,
                    Data bias, Data gamma, bool free_end, Score final_score, bool last_row_only,
                    Data ref_gap_penalty, const Tile<Data>& tile) {
    StoredGradient<Data> sink{gradient};
    StoredScoreMatrix<Score> stored{score};
    Passes<Data, Score>::backward(StoredCosts<Data>{distance}, stored, sink, rows, cols, bias,
                                  gamma, free_end, final_score, last_row_only, ref_gap_penalty,
                                  Band(rows, cols), tile);
}

// The passes that form every cost from the samples: the final scores alone; R stored with
// them; or checkpoints of R with them.
// A tile's passes keep the final scores of its own cells: the terminals it holds, and the
// last cell where it holds it.
template <typename Data, typename Score, class Scores>
void ForwardFromSamples(const SampleSource<Data>& source, const Band& band, Scores& scores,
                        Data bias, Data gamma, const Tile<Score>& tile = {}) {
    Passes<Data, Score>::forward(SampleCosts<Data>{source}, scores, source.rows, source.cols, bias,
                                 gamma, DiagonalRange<Score>::whole(source.rows, source.cols),
                                 band, tile);
}

template <typename Data, typename Score>
void ScoresOnly(const SampleSource<Data>* source, const Band* band, FinalScores<Score>* kept,
                Data bias, Data gamma, const Tile<Score>* tile) {
    KeptScores<Score> scores{*kept};
    ForwardFromSamples<Data, Score>(*source, *band, scores, bias, gamma, *tile);
}

template <typename Data, typename Score>
void ForwardSamples(const SampleSource<Data>* source, const Band* band, Score* score,
                    FinalScores<Score>* kept, Data bias, Data gamma,
                    const Tile<Score>* tile) {
    BothScores<StoredScores<Score>, KeptScores<Score>> scores{{score}, {*kept}};
    ForwardFromSamples<Data, Score>(*source, *band, scores, bias, gamma, *tile);
}

template <typename Data, typename Score>
void ForwardCheckpoints(const SampleSource<Data>* source, const Band* band, Score* workspace,
                        FinalScores<Score>* kept, Data bias, Data gamma) {
    const CheckpointPlan plan(source->rows, source->cols);
    BothScores<CheckpointScores<Score>, KeptScores<Score>> scores{{plan, workspace}, {*kept}};
    ForwardFromSamples<Data, Score>(*source, *band, scores, bias, gamma);
}

// The backward pass from the samples, E added straight into the gradients. Two tiles add into
// the gradients of the lines they share (a sample's across tiles of columns, a reference
// value's across tiles of rows) in the order one sweep does: a tile reaches a diagonal only
// once the tile after it has swept the diagonals after it, so that tile has added all of its
// cells of a shared line before this one adds any, and the lines the two touch at any moment
// are apart.
template <typename Data, typename Score, class ScoreMatrix>
void AddGradients(ScoreMatrix& score, const SignalGradients<Data, Score>& signal,
                  const Tile<Data>& tile = {}) {
    const SampleSource<Data>& source = *signal.source;
    AddedGradient<Data> sink{source, signal.sample_gradients, signal.reference_gradients,
                             signal.weight};
    Passes<Data, Score>::backward(SampleCosts<Data>{source}, score, sink, source.rows, source.cols,
                                  signal.bias, signal.gamma, signal.free_end, signal.final_score,
                                  signal.last_row_only, signal.ref_gap_penalty, *signal.band,
                                  tile);
}

template <typename Data, typename Score>
void GradientsStored(const Score* score, const SignalGradients<Data, Score>* signal,
                     const Tile<Data>* tile) {
    StoredScoreMatrix<Score> stored{score};
    AddGradients(stored, *signal, *tile);
}

// Each segment's R computed again from its checkpoint as the backward pass reaches it.
template <typename Data, typename Score>
void GradientsCheckpointed(Score* workspace, const SignalGradients<Data, Score>* signal) {
    const SampleSource<Data>& source = *signal->source;
    const CheckpointPlan plan(source.rows, source.cols);
    const auto recompute = [&](const DiagonalRange<Score>& range, SegmentScores<Score>& sink) {
        Passes<Data, Score>::forward(SampleCosts<Data>{source}, sink, source.rows, source.cols,
                                     signal->bias, signal->gamma, range, *signal->band);
    };
    CheckpointedScoreMatrix<Score, decltype(recompute)> score(plan, workspace, recompute);
    AddGradients(score, *signal);
}

}  // namespace

// The entry points of each path, which Highway dispatches by name.
#define ORVANE_PATH_ENTRY_POINTS(SUFFIX, Data, Score)                                              \
    void ForwardSignal##SUFFIX(const Data* distance, Score* score, int rows, int cols, Data bias,  \
                               Data gamma, const Tile<Score>* tile) {                              \
        ForwardStored<Data, Score>(distance, score, rows, cols, bias, gamma, *tile);               \
    }                                                                                              \
    void BackwardSignal##SUFFIX(const Data* distance, const Score* score, Data* gradient,          \
                                int rows, int cols, Data bias, Data gamma, bool free_end,          \
                                Score final_score, bool last_row_only, Data ref_gap_penalty,       \
                                const Tile<Data>* tile) {                                          \
        BackwardStored<Data, Score>(distance, score, gradient, rows, cols, bias, gamma, free_end,  \
                                    final_score, last_row_only, ref_gap_penalty, *tile);           \
    }                                                                                              \
    void ScoresSignal##SUFFIX(const SampleSource<Data>* source, const Band* band,                  \
                              FinalScores<Score>* kept, Data bias, Data gamma,                     \
                              const Tile<Score>* tile) {                                           \
        ScoresOnly<Data, Score>(source, band, kept, bias, gamma, tile);                            \
    }                                                                                              \
    void ForwardSamples##SUFFIX(const SampleSource<Data>* source, const Band* band, Score* score,  \
                                FinalScores<Score>* kept, Data bias, Data gamma,                   \
                                const Tile<Score>* tile) {                                         \
        ForwardSamples<Data, Score>(source, band, score, kept, bias, gamma, tile);                 \
    }                                                                                              \
    void ForwardCheckpoints##SUFFIX(const SampleSource<Data>* source, const Band* band,            \
                                    Score* workspace, FinalScores<Score>* kept, Data bias,         \
                                    Data gamma) {                                                  \
        ForwardCheckpoints<Data, Score>(source, band, workspace, kept, bias, gamma);               \
    }                                                                                              \
    void GradientsSignal##SUFFIX(const Score* score, const SignalGradients<Data, Score>* signal,   \
                                 const Tile<Data>* tile) {                                         \
        GradientsStored<Data, Score>(score, signal, tile);                                         \
    }                                                                                              \
    void GradientsCheckpointed##SUFFIX(Score* workspace,                                           \
                                       const SignalGradients<Data, Score>* signal) {               \
        GradientsCheckpointed<Data, Score>(workspace, signal);                                     \
    }

int SideLanes() { return kTransposes<float> ? static_cast<int>(hn::Lanes(TagOf<float>())) : 0; }
void ForwardSideBySide32(const float* const* distances, float* const* scores, const float* biases,
                         int rows, int cols, float gamma) {
    const std::size_t lanes = static_cast<std::size_t>(SideLanes());
    const DiagonalRuns runs(rows, cols);
    GatheredCosts<float> costs{LaneWindow<const float>(distances, lanes, runs)};
    LaneMatrices<float> sink{LaneWindow<float>(scores, lanes, runs)};
    ForwardSideBySide(costs, sink, biases, rows, cols, gamma, Band(rows, cols));
}
void BackwardSideBySide32(const float* const* distances, const float* const* scores,
                          float* const* gradients, const float* biases, int rows, int cols,
                          float gamma, bool free_end, const float* final_scores,
                          bool last_row_only, float ref_gap_penalty) {
    const std::size_t lanes = static_cast<std::size_t>(SideLanes());
    const DiagonalRuns runs(rows, cols);
    GatheredCosts<float> costs{LaneWindow<const float>(distances, lanes, runs)};
    GatheredScoreMatrix<float> matrix{LaneWindow<const float>(scores, lanes, runs)};
    LaneMatrices<float> sink{LaneWindow<float>(gradients, lanes, runs)};
    BackwardSideBySide(costs, matrix, sink, biases, rows, cols, gamma, free_end, final_scores,
                       last_row_only, ref_gap_penalty, Band(rows, cols));
}

// Final scores of one signal per lane from their interleaved samples.
template <typename T>
void ScoresSideBySide(const T* samples, const T* reference, int channels, CostKind kind,
                      const Band* band, FinalScores<T>* const* kept, const T* biases, int rows,
                      int cols, T gamma) {
    InterleavedSampleCosts<T> costs{samples, rows, reference, cols, channels, kind};
    KeptLaneScores<T> sink{kept};
    ForwardSideBySide(costs, sink, biases, rows, cols, gamma, *band);
}

void ForwardSideBySideMixed(const float* const* distances, double* const* scores,
                           const float* biases, int rows, int cols, float gamma) {
    const std::size_t lanes = static_cast<std::size_t>(SideLanes());
    const DiagonalRuns runs(rows, cols);
    GatheredCosts<float> costs{LaneWindow<const float>(distances, lanes, runs)};
    LaneMatrices<double> sink{LaneWindow<double>(scores, lanes, runs)};
    ForwardMixedSideBySide(costs, sink, biases, rows, cols, gamma, Band(rows, cols));
}
// The mixed backward pass weighs by shares of the scores alone: no distance or bias enters.
void BackwardSideBySideMixed(const float* const* /*distances*/, const double* const* scores,
                             float* const* gradients, const float* /*biases*/, int rows,
                             int cols, float gamma, bool free_end, const double* final_scores,
                             bool last_row_only, float ref_gap_penalty) {
    const std::size_t lanes = static_cast<std::size_t>(SideLanes());
    const DiagonalRuns runs(rows, cols);
    GatheredScoreMatrix<double> matrix{LaneWindow<const double>(scores, lanes, runs)};
    LaneMatrices<float> sink{LaneWindow<float>(gradients, lanes, runs)};
    BackwardMixedSideBySide(matrix, sink, rows, cols, gamma, free_end, final_scores,
                            last_row_only, ref_gap_penalty, Band(rows, cols));
}
int ScoreLanesMixed() { return kPairs ? hn::Lanes(MixedFloatTag()) : 0; }
void ScoresSideBySideMixed(const float* samples, const float* reference, int channels,
                           CostKind kind, const Band* band, FinalScores<double>* const* kept,
                           const float* biases, int rows, int cols, float gamma) {
    InterleavedSampleCosts<float> costs{samples, rows, reference, cols, channels, kind};
    KeptLaneScores<double> sink{kept};
    ForwardMixedSideBySide(costs, sink, biases, rows, cols, gamma, *band);
}
int ScoreLanes32() { return HWY_TARGET == HWY_SCALAR ? 0 : hn::Lanes(TagOf<float>()); }
int ScoreLanes64() { return HWY_TARGET == HWY_SCALAR ? 0 : hn::Lanes(TagOf<double>()); }
void ScoresSideBySide32(const float* samples, const float* reference, int channels, CostKind kind,
                        const Band* band, FinalScores<float>* const* kept, const float* biases,
                        int rows, int cols, float gamma) {
    ScoresSideBySide(samples, reference, channels, kind, band, kept, biases, rows, cols, gamma);
}
void ScoresSideBySide64(const double* samples, const double* reference, int channels,
                        CostKind kind, const Band* band, FinalScores<double>* const* kept,
                        const double* biases, int rows, int cols, double gamma) {
    ScoresSideBySide(samples, reference, channels, kind, band, kept, biases, rows, cols, gamma);
}

// R and the final scores of one signal per lane from their interleaved samples, and the
// gradients of their scores added as E goes.
template <typename Data, typename Score>
void ForwardSamplesSide(const SideSignals<Data, Score>* side, Score* const* score_matrices,
                        FinalScores<Score>* const* kept) {
    InterleavedSampleCosts<Data> costs{side->samples,  side->rows,     side->reference,
                                       side->cols,     side->channels, side->kind};
    const std::size_t lanes = hn::Lanes(TagOf<Data>());
    const std::size_t longest = static_cast<std::size_t>(std::min(side->rows, side->cols));
    BothScores<InterleavedScores<Score>, KeptLaneScores<Score>> sink{
        {{score_matrices, lanes, std::int64_t{side->rows} * side->cols}, longest}, {kept}};
    if constexpr (std::is_same_v<Data, Score>) {
        ForwardSideBySide(costs, sink, side->biases, side->rows, side->cols, side->gamma,
                          *side->band);
    } else {
        ForwardMixedSideBySide(costs, sink, side->biases, side->rows, side->cols, side->gamma,
                               *side->band);
    }
}

template <typename Data, typename Score>
void GradientsSide(const SideSignals<Data, Score>* side, const Score* const* score_matrices) {
    InterleavedSampleCosts<Data> costs{side->samples,  side->rows,     side->reference,
                                       side->cols,     side->channels, side->kind};
    AddedLaneGradients<Data> sink{costs, side->sample_gradients, side->reference_gradients,
                                  side->weights, side->adding};
    InterleavedScoreMatrices<const Score> matrix{score_matrices, hn::Lanes(TagOf<Data>()),
                                                 std::int64_t{side->rows} * side->cols};
    if constexpr (std::is_same_v<Data, Score>) {
        BackwardSideBySide(costs, matrix, sink, side->biases, side->rows, side->cols,
                           side->gamma, side->free_end, side->final_scores, side->last_row_only,
                           side->ref_gap_penalty, *side->band);
    } else {
        BackwardMixedSideBySide(matrix, sink, side->rows, side->cols, side->gamma,
                                side->free_end, side->final_scores, side->last_row_only,
                                side->ref_gap_penalty, *side->band);
    }
}

void ForwardSamplesSide32(const SideSignals<float, float>* side, float* const* score_matrices,
                          FinalScores<float>* const* kept) {
    ForwardSamplesSide(side, score_matrices, kept);
}
void ForwardSamplesSideMixed(const SideSignals<float, double>* side,
                             double* const* score_matrices, FinalScores<double>* const* kept) {
    ForwardSamplesSide(side, score_matrices, kept);
}
void GradientsSide32(const SideSignals<float, float>* side, const float* const* score_matrices) {
    GradientsSide(side, score_matrices);
}
void GradientsSideMixed(const SideSignals<float, double>* side,
                        const double* const* score_matrices) {
    GradientsSide(side, score_matrices);
}

ORVANE_PATH_ENTRY_POINTS(32, float, float)
ORVANE_PATH_ENTRY_POINTS(64, double, double)
ORVANE_PATH_ENTRY_POINTS(Mixed, float, double)
#undef ORVANE_PATH_ENTRY_POINTS

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(ForwardSignal32);
HWY_EXPORT(ForwardSignal64);
HWY_EXPORT(BackwardSignal32);
HWY_EXPORT(BackwardSignal64);
HWY_EXPORT(ForwardSignalMixed);
HWY_EXPORT(ScoresSignal32);
HWY_EXPORT(ScoresSignal64);
HWY_EXPORT(ScoresSignalMixed);
HWY_EXPORT(ForwardSamples32);
HWY_EXPORT(ForwardSamples64);
HWY_EXPORT(ForwardSamplesMixed);
HWY_EXPORT(GradientsSignal32);
HWY_EXPORT(GradientsSignal64);
HWY_EXPORT(GradientsSignalMixed);
HWY_EXPORT(BackwardSignalMixed);
HWY_EXPORT(ForwardCheckpoints32);
HWY_EXPORT(ForwardCheckpoints64);
HWY_EXPORT(ForwardCheckpointsMixed);
HWY_EXPORT(GradientsCheckpointed32);
HWY_EXPORT(GradientsCheckpointed64);
HWY_EXPORT(GradientsCheckpointedMixed);
HWY_EXPORT(TargetName);
HWY_EXPORT(SideLanes);
HWY_EXPORT(ScoreLanes32);
HWY_EXPORT(ScoreLanes64);
HWY_EXPORT(ScoreLanesMixed);
HWY_EXPORT(ScoresSideBySideMixed);
HWY_EXPORT(ForwardSideBySideMixed);
HWY_EXPORT(BackwardSideBySideMixed);
HWY_EXPORT(ScoresSideBySide32);
HWY_EXPORT(ScoresSideBySide64);
HWY_EXPORT(ForwardSideBySide32);
HWY_EXPORT(ForwardSamplesSide32);
HWY_EXPORT(ForwardSamplesSideMixed);
HWY_EXPORT(GradientsSide32);
HWY_EXPORT(GradientsSideMixed);
HWY_EXPORT(BackwardSideBySide32);

namespace {

// The passes and the argument checks of each path, with its data type (distances, alpha,
// gradients) and its score type.
struct Float32Path {
    using Data = float;
    using Score = float;
    template <typename... Args>
    static void forward(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSignal32)(args...);
    }
    template <typename... Args>
    static void backward(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSignal32)(args...);
    }
    template <typename... Args>
    static void scores(Args... args) {
        HWY_DYNAMIC_DISPATCH(ScoresSignal32)(args...);
    }
    template <typename... Args>
    static void forward_samples(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSamples32)(args...);
    }
    template <typename... Args>
    static void gradients(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsSignal32)(args...);
    }
    template <typename... Args>
    static void forward_checkpoints(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardCheckpoints32)(args...);
    }
    template <typename... Args>
    static void gradients_checkpointed(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsCheckpointed32)(args...);
    }
    static float gamma(double value) { return checked_gamma(value); }
    static float penalty(double value, bool local_end) {
        return checked_ref_gap_penalty(value, local_end);
    }
    // Signals side by side in the forward and backward passes over stored matrices, and in
    // the passes that keep only the final scores.
    static constexpr bool kSideBySide = true;
    static constexpr bool kSideScores = true;
    // The passes that keep only the final scores gather and scatter nothing: side by side
    // they are 2 times as fast at 16 x 16, 1.27 at 64 x 64, 1.05 at 256 x 256 and 1.01 at
    // 512 x 512 (float64: 1.4 at 16 x 16, 1.1 at 64 x 64, 1.0 at 512 x 512).
    static constexpr std::int64_t kMostSideScoreCells = 512 * 512;
    static int score_lanes() { return HWY_DYNAMIC_DISPATCH(ScoreLanes32)(); }
    template <typename... Args>
    static void scores_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ScoresSideBySide32)(args...);
    }
    static int side_lanes() { return HWY_DYNAMIC_DISPATCH(SideLanes)(); }
    template <typename... Args>
    static void forward_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSideBySide32)(args...);
    }
    template <typename... Args>
    static void backward_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSideBySide32)(args...);
    }
    template <typename... Args>
    static void forward_samples_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSamplesSide32)(args...);
    }
    template <typename... Args>
    static void gradients_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsSide32)(args...);
    }
};

struct Float64Path {
    static constexpr bool kSideBySide = false;
    static constexpr bool kSideScores = true;
    static constexpr std::int64_t kMostSideScoreCells = Float32Path::kMostSideScoreCells;
    static int score_lanes() { return HWY_DYNAMIC_DISPATCH(ScoreLanes64)(); }
    template <typename... Args>
    static void scores_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ScoresSideBySide64)(args...);
    }
    using Data = double;
    using Score = double;
    template <typename... Args>
    static void forward(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSignal64)(args...);
    }
    template <typename... Args>
    static void backward(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSignal64)(args...);
    }
    template <typename... Args>
    static void scores(Args... args) {
        HWY_DYNAMIC_DISPATCH(ScoresSignal64)(args...);
    }
    template <typename... Args>
    static void forward_samples(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSamples64)(args...);
    }
    template <typename... Args>
    static void gradients(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsSignal64)(args...);
    }
    template <typename... Args>
    static void forward_checkpoints(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardCheckpoints64)(args...);
    }
    template <typename... Args>
    static void gradients_checkpointed(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsCheckpointed64)(args...);
    }
    static double gamma(double value) { return checked_gamma_float64(value); }
    static double penalty(double value, bool local_end) {
        return checked_ref_gap_penalty_float64(value, local_end);
    }
};

struct MixedPath : Float32Path {
    using Score = double;
    template <typename... Args>
    static void forward_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSideBySideMixed)(args...);
    }
    template <typename... Args>
    static void backward_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSideBySideMixed)(args...);
    }
    template <typename... Args>
    static void forward_samples_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSamplesSideMixed)(args...);
    }
    template <typename... Args>
    static void gradients_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsSideMixed)(args...);
    }
    // Side by side: 2 times as fast at 16 x 16, 1.2 at 64 x 64, 1.07 at 128 x 128, even at
    // 256 x 256 and slower beyond.
    static constexpr std::int64_t kMostSideScoreCells = 128 * 128;
    static int score_lanes() { return HWY_DYNAMIC_DISPATCH(ScoreLanesMixed)(); }
    template <typename... Args>
    static void scores_side(Args... args) {
        HWY_DYNAMIC_DISPATCH(ScoresSideBySideMixed)(args...);
    }
    template <typename... Args>
    static void forward(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSignalMixed)(args...);
    }
    template <typename... Args>
    static void backward(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSignalMixed)(args...);
    }
    template <typename... Args>
    static void scores(Args... args) {
        HWY_DYNAMIC_DISPATCH(ScoresSignalMixed)(args...);
    }
    template <typename... Args>
    static void forward_samples(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSamplesMixed)(args...);
    }
    template <typename... Args>
    static void gradients(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsSignalMixed)(args...);
    }
    template <typename... Args>
    static void forward_checkpoints(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardCheckpointsMixed)(args...);
    }
    template <typename... Args>
    static void gradients_checkpointed(Args... args) {
        HWY_DYNAMIC_DISPATCH(GradientsCheckpointedMixed)(args...);
    }
};

template <typename T>
T bias_of(const T* alpha, int k) {
    return alpha != nullptr ? alpha[k] : T{0};
}

// The free-end soft minimum over the terminals: +inf when none is a number, -inf when one is
// -inf, NaN when some (not all) are NaN.
template <typename T, class Terminals>
T free_end_score(const Terminals& terminals, T gamma) {
    T largest = -std::numeric_limits<T>::infinity();
    for (int t = 0; t < terminals.count; ++t) {
        const T x = terminals.scaled(t);
        if (largest < x) {
            largest = x;
        }
    }
    if (std::isinf(largest)) {
        return -largest;
    }
    T sum = 0;
    for (int t = 0; t < terminals.count; ++t) {
        sum += std::exp(terminals.scaled(t) - largest);
    }
    return -((largest + std::log(sum)) * gamma);
}

// The free-end terminals scaled as the passes scale a score, -(R + g * column) / gamma;
// sums.of(t) gives terminal t's R + g * column, formed in one fused step.
template <typename T, class Sums>
struct ScaledTerminals {
    Sums sums;
    GammaScale<T> over_gamma;
    int count;

    T scaled(int t) const { return -over_gamma(sums.of(t)); }
};

// The terminals' sums of a stored score matrix, as the kernels form them: their
// FreeEndTerminals with 1/gamma taken as 1 scale a sum to exactly its negation.
template <typename T>
struct StoredTerminalSums {
    FreeEndTerminals<T> unscaled;

    T of(int t) const { return -unscaled.scaled(t); }
};

// The final score of a signal whose score matrix is stored: its last cell, or the soft
// minimum over the free-end terminals.
template <typename Score, typename Data>
Score final_score_of(const Score* own_score, const Signal& signal, Data gamma, Data ref_gap_penalty,
                     bool local_end, bool last_row_only) {
    if (!local_end) {
        return own_score[std::int64_t{signal.rows} * signal.cols - 1];
    }
    const int count = FreeEndTerminals<Score>::count_of(signal.rows, signal.cols, last_row_only);
    const ScaledTerminals<Score, StoredTerminalSums<Score>> terminals{
        {{own_score, AntidiagMatrix{0, signal.rows, signal.cols}, Score{1},
          static_cast<Score>(ref_gap_penalty), count}},
        GammaScale<Score>(static_cast<Score>(gamma)),
        count};
    return free_end_score(terminals, static_cast<Score>(gamma));
}

// A group of signals of one shape that run side by side, one a lane.
template <typename Data>
struct SideGroup {
    const Batch& batch;
    std::vector<int> members;
    int rows;
    int cols;

    // Each member's matrix within the batch matrix at `base`.
    template <typename T>
    std::vector<T*> matrices(T* base) const {
        std::vector<T*> own;
        for (const int k : members) {
            own.push_back(base + batch.signal(k).first_cell);
        }
        return own;
    }
    std::vector<Data> biases(const Data* alpha) const {
        std::vector<Data> own;
        for (const int k : members) {
            own.push_back(bias_of(alpha, k));
        }
        return own;
    }
    template <class Body>
    void for_each(const Body& body) const {
        for (const int k : members) {
            body(batch.signal(k));
        }
    }
};

// Up to this many cells a signal's diagonals are short enough that running it side by side
// with others of its length pays for interleaving them (measured on AVX2, stored matrices: 2.0
// times as fast at 16 x 16, 1.04 at 256 x 256, the same at 320 x 320, slower from 384 x 384).
constexpr std::int64_t kMostSideBySideCells = 256 * 256;

// alone(signal) for every signal of the batch (of signals first .. stop - 1) that runs on its
// own, side(group) for every group of `lanes` signals of one kind (their `kind_of`, none for a
// signal that runs alone) that runs side by side. Groups form only where every worker thread
// gets one, lest fewer groups idle a core.
template <typename Data, class KindOf, class Alone, class Side>
void for_each_signal_or_group(const Batch& batch, int lanes, const KindOf& kind_of,
                              const Alone& alone, const Side& side, int first = 0,
                              int stop = -1) {
    stop = stop < 0 ? batch.count() : stop;
    const bool enough = lanes > 1 && stop - first >= lanes * worker_threads();
    std::vector<std::vector<int>> tasks;
    std::map<std::pair<int, int>, std::vector<int>> by_kind;
    for (int k = first; k < stop; ++k) {
        const std::optional<std::pair<int, int>> kind = kind_of(batch.signal(k));
        if (enough && kind) {
            by_kind[*kind].push_back(k);
        } else {
            tasks.push_back({k});
        }
    }
    for (const auto& [kind, members] : by_kind) {
        const std::size_t whole = members.size() - members.size() % lanes;
        for (std::size_t at = 0; at < whole; at += lanes) {
            tasks.emplace_back(members.begin() + at, members.begin() + at + lanes);
        }
        for (std::size_t i = whole; i < members.size(); ++i) {
            tasks.push_back({members[i]});
        }
    }
    std::vector<std::int64_t> work;
    for (const auto& members : tasks) {
        work.push_back(std::int64_t{batch.signal(members[0]).rows} *
                       static_cast<std::int64_t>(members.size()));
    }
    for_each_task(work, [&](int t) {
        const std::vector<int>& members = tasks[static_cast<std::size_t>(t)];
        if (members.size() == 1) {
            alone(batch.signal(members[0]));
        } else {
            side(SideGroup<Data>{batch, members, batch.signal(members[0]).rows, batch.cols()});
        }
    });
}

// The stored-matrix passes' groups: signals of one length, no longer than pays.
template <typename Path>
int stored_side_lanes() {
    if constexpr (Path::kSideBySide) {
        return Path::side_lanes();
    } else {
        return 0;
    }
}

inline std::optional<std::pair<int, int>> stored_side_kind(const Signal& signal) {
    if (std::int64_t{signal.rows} * signal.cols > kMostSideBySideCells) {
        return std::nullopt;
    }
    return std::pair{signal.rows, 0};
}

// Where a batch has fewer signals than worker threads, the threads left over sweep tiles of
// its signals that have at least this many cells: tiles of columns where a matrix is no wider
// than long, of rows where it is wider (a tile sweeps the diagonals its lines cross, so tiles
// cut across the long side would mostly wait for each other). A tile is never thinner than
// this many lines. On two threads one signal of 16,384 x 1,024 runs 1.75 times as fast as on
// one, 4,096 x 4,096 1.5 times. A thread that sweeps two tiles of one matrix in turn is 4-8%
// slower than over the whole, so signals that keep every thread busy run whole. The passes
// over stored matrices, the scores alone and the gradients without matrices all share
// signals this way.
constexpr std::int64_t kLeastTiledCells = std::int64_t{1} << 20;
constexpr int kLeastTileLines = 256;
std::atomic<int> forced_tiles{0};

// Tiles of rows where a matrix is wider than long; of columns otherwise.
bool tiles_of_rows(const Signal& signal) { return signal.cols > signal.rows; }

int tile_count(const Batch& batch, const Signal& signal) {
    const int lines = tiles_of_rows(signal) ? signal.rows : signal.cols;
    if (const int forced = forced_tiles.load(); forced > 0) {
        return std::min(forced, lines);
    }
    const int threads_each = worker_threads() / batch.count();
    if (threads_each < 2 || std::int64_t{signal.rows} * signal.cols < kLeastTiledCells) {
        return 1;
    }
    // A nearly square matrix spends much of its sweep in the triangles at its corners, where
    // the first tiles (the last, going back) work alone: twice as many tiles as threads shrink
    // them (4,096 x 4,096 on two threads: 1.53 times one thread's speed against 1.30).
    const int longest = std::max(signal.rows, signal.cols);
    const int per_thread = longest <= 2 * std::min(signal.rows, signal.cols) ? 2 : 1;
    return std::clamp(lines / kLeastTileLines, 1, threads_each * per_thread);
}

enum class Sweep { forward, backward };

// pass(tile) for each tile of a signal's matrix, the tiles on the worker threads, claimed in
// the order the sweep feeds them: from the first line forward, from the last backward.
template <typename T, class Pass>
void for_each_tile(const Batch& batch, const Signal& signal, Sweep sweep, const Pass& pass) {
    const int tiles = tile_count(batch, signal);
    if (tiles == 1) {
        pass(Tile<T>{});
        return;
    }
    const bool forward = sweep == Sweep::forward;
    const bool of_rows = tiles_of_rows(signal);
    const std::int64_t lines = of_rows ? signal.rows : signal.cols;
    std::vector<Tile<T>> own(static_cast<std::size_t>(tiles));
    std::vector<std::unique_ptr<TileEdge<T>>> edges;
    for (int t = 0; t < tiles; ++t) {
        own[t].of_rows = of_rows;
        own[t].first = static_cast<int>(lines * t / tiles);
        own[t].last = static_cast<int>(lines * (t + 1) / tiles);
    }
    for (int t = 0; t + 1 < tiles; ++t) {
        edges.push_back(std::make_unique<TileEdge<T>>(signal.diagonals()));
        own[forward ? t : t + 1].given = edges.back().get();
        own[forward ? t + 1 : t].taken = edges.back().get();
    }
    for_each_claim(tiles, [&](int claim) {
        const Tile<T>& tile = own[forward ? claim : tiles - 1 - claim];
        try {
            pass(tile);
        } catch (...) {
            if (tile.given != nullptr) {
                tile.given->abandon();
            }
            throw;
        }
    });
}

// The kind of side-by-side group a signal of a call on samples joins: its length and band
// width, none beyond `most` cells.
template <typename Data>
auto length_and_band(const CallSamples<Data>& call, std::int64_t most) {
    return [&call, most](const Signal& signal) -> std::optional<std::pair<int, int>> {
        if (std::int64_t{signal.rows} * signal.cols > most) {
            return std::nullopt;
        }
        return std::pair{signal.rows, call.band_width(signal.index)};
    };
}

template <typename Path>
void softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                     HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                     double requested_gamma, HostAddress alpha, bool local_end, bool last_row_only,
                     double requested_ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Batch batch(input_signal_lengths, ref_signal_length);
    const Data gamma = Path::gamma(requested_gamma);
    const Data ref_gap_penalty = Path::penalty(requested_ref_gap_penalty, local_end);
    const auto distance = host_pointer<const Data>(distance_matrix);
    const auto score = host_pointer<Score>(score_matrix);
    const auto biases = host_pointer<const Data>(alpha);
    const auto finals = host_pointer<Score>(scores);
    const auto finish = [&](const Signal& signal) {
        finals[signal.index] = final_score_of(score + signal.first_cell, signal, gamma,
                                              ref_gap_penalty, local_end, last_row_only);
    };
    for_each_signal_or_group<Data>(
        batch, stored_side_lanes<Path>(), stored_side_kind,
        [&](const Signal& signal) {
            const auto sweep = [&](const Tile<Score>& tile) {
                Path::forward(distance + signal.first_cell, score + signal.first_cell, signal.rows,
                              signal.cols, bias_of(biases, signal.index), gamma, &tile);
            };
            for_each_tile<Score>(batch, signal, Sweep::forward, sweep);
            finish(signal);
        },
        [&](const SideGroup<Data>& group) {
            if constexpr (Path::kSideBySide) {
                const auto own_distances = group.matrices(distance);
                const auto own_scores = group.matrices(score);
                Path::forward_side(own_distances.data(), own_scores.data(),
                                   group.biases(biases).data(), group.rows, group.cols, gamma);
                group.for_each(finish);
            }
        });
}

// The sums of the free-end terminals kept by a forward pass without a score matrix, formed as
// StoredTerminalSums forms those of a stored one.
template <typename T>
struct KeptTerminalSums {
    const FinalScores<T>& kept;
    T ref_gap_penalty;

    T of(int t) const {
        const int j = t < kept.cols ? t : kept.cols - 1;
        return fused_multiply_add(static_cast<T>(j), ref_gap_penalty,
                                  kept.terminals[static_cast<std::size_t>(t)]);
    }
};

// The final score of a forward pass that kept no score matrix.
template <typename Score, typename Data>
Score final_score_of(const FinalScores<Score>& kept, Data gamma, Data ref_gap_penalty,
                     bool local_end, bool last_row_only) {
    if (!local_end) {
        return kept.last;
    }
    const ScaledTerminals<Score, KeptTerminalSums<Score>> terminals{
        {kept, static_cast<Score>(ref_gap_penalty)},
        GammaScale<Score>(static_cast<Score>(gamma)),
        FreeEndTerminals<Score>::count_of(kept.rows, kept.cols, last_row_only)};
    return free_end_score(terminals, static_cast<Score>(gamma));
}

template <typename Path>
void softdtw_scores(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                    HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                    double requested_gamma, HostAddress alpha, bool local_end, bool last_row_only,
                    double requested_ref_gap_penalty, int channels, const std::string& cost,
                    HostAddress band) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Batch batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited);
    const Data gamma = Path::gamma(requested_gamma);
    const Data ref_gap_penalty = Path::penalty(requested_ref_gap_penalty, local_end);
    require_buffers("calc_softdtw_scores", {{"input_signal_ptr", input_signal},
                                            {"ref_signal_ptr", ref_signal},
                                            {"scores_ptr", scores}});
    const CallSamples<Data> call(batch, input_signal, ref_signal, channels, cost, band);
    const auto biases = host_pointer<const Data>(alpha);
    const auto finals = host_pointer<Score>(scores);
    const auto finish = [&](const Signal& signal, const FinalScores<Score>& kept) {
        finals[signal.index] =
            final_score_of(kept, gamma, ref_gap_penalty, local_end, last_row_only);
    };
    int lanes = 0;
    if constexpr (Path::kSideScores) {
        lanes = Path::score_lanes();
    }
    for_each_signal_or_group<Data>(
        batch, lanes, length_and_band(call, Path::kMostSideScoreCells),
        [&](const Signal& signal) {
            const typename CallSamples<Data>::Own own(call, signal);
            FinalScores<Score> kept(signal.rows, signal.cols, local_end);
            const auto sweep = [&](const Tile<Score>& tile) {
                Path::scores(&own.source, &own.band, &kept, bias_of(biases, signal.index), gamma,
                             &tile);
            };
            for_each_tile<Score>(batch, signal, Sweep::forward, sweep);
            finish(signal, kept);
        },
        [&](const SideGroup<Data>& group) {
            if constexpr (Path::kSideScores) {
                const std::vector<Data> samples = call.interleaved(batch, group.members);
                std::vector<FinalScores<Score>> kept(group.members.size(),
                                                     FinalScores<Score>(group.rows, group.cols,
                                                                        local_end));
                std::vector<FinalScores<Score>*> own_kept;
                for (auto& one : kept) {
                    own_kept.push_back(&one);
                }
                const Band band(group.rows, group.cols, call.band_width(group.members[0]));
                Path::scores_side(samples.data(), call.reference(), call.channels(), call.kind(),
                                  &band, own_kept.data(), group.biases(biases).data(),
                                  group.rows, group.cols, gamma);
                for (std::size_t i = 0; i < kept.size(); ++i) {
                    finish(batch.signal(group.members[i]), kept[i]);
                }
            }
        });
}

// How a call of the lean gradients holds R: the whole batch matrix, or the checkpoints of its
// one signal. score_matrix_cells = 0 stands for the batch matrix's cells.
bool checkpointed(const Batch& batch, std::int64_t score_matrix_cells) {
    if (score_matrix_cells < 0) {
        throw std::invalid_argument("score_matrix_cells must be 0 or more, got: " +
                                    std::to_string(score_matrix_cells));
    }
    const std::int64_t capacity = score_matrix_cells == 0 ? batch.cells() : score_matrix_cells;
    if (batch.cells() <= std::min<std::int64_t>(capacity, std::numeric_limits<int>::max())) {
        return false;
    }
    if (batch.count() > 1) {
        throw std::invalid_argument(
            "score_matrix_ptr holds " + std::to_string(capacity) + " cells, less than the " +
            std::to_string(batch.cells()) +
            " of the batch (or more than 2147483647); only a batch of one signal keeps "
            "checkpoints of R instead");
    }
    const Signal signal = batch.signal(0);
    const std::int64_t needed = CheckpointPlan(signal.rows, signal.cols).cells();
    if (capacity < needed) {
        throw std::invalid_argument(
            "score_matrix_ptr holds " + std::to_string(capacity) +
            " cells, fewer than the signal's checkpoints need: " + std::to_string(needed));
    }
    return true;
}

// A call of the lean gradients forms each signal's reference gradient in a row of its own,
// a chunk of signals at a time, its rows at most this many values.
constexpr std::size_t kMostReferenceRowValues = std::size_t{1} << 21;

// Scores and the gradients of sum_k w_k * score_k with respect to the samples and the
// reference (w_k = 1 without weights): the forward pass stores R from the samples (or its
// checkpoints), the backward pass forms each cost again and adds E into the gradients as it
// goes, a signal at a time or short signals of one length and band side by side, one a lane
// (the same bits either way). Each signal's reference gradient is formed in a row of its own
// and the rows added in signal order, so the sums are the same whatever the threads. A signal
// without a path of finite cost (a band that leaves none, or costs that overflow) has a score
// of +inf and no gradient.
template <typename Path>
void softdtw_gradients(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                       HostAddress ref_signal, int ref_signal_length, HostAddress score_matrix,
                       HostAddress scores, HostAddress input_gradients, HostAddress ref_gradients,
                       double requested_gamma, HostAddress alpha, HostAddress weights,
                       bool local_end, bool last_row_only, double requested_ref_gap_penalty,
                       std::int64_t score_matrix_cells, int channels, const std::string& cost,
                       HostAddress band) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Batch batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited);
    const bool with_checkpoints = checkpointed(batch, score_matrix_cells);
    const Data gamma = Path::gamma(requested_gamma);
    const Data ref_gap_penalty = Path::penalty(requested_ref_gap_penalty, local_end);
    require_buffers("calc_softdtw_gradients", {{"input_signal_ptr", input_signal},
                                               {"ref_signal_ptr", ref_signal},
                                               {"score_matrix_ptr", score_matrix},
                                               {"scores_ptr", scores},
                                               {"ref_gradients_ptr", ref_gradients}});
    const CallSamples<Data> call(batch, input_signal, ref_signal, channels, cost, band);
    const auto score = host_pointer<Score>(score_matrix);
    const auto finals = host_pointer<Score>(scores);
    const auto biases = host_pointer<const Data>(alpha);
    const auto score_weights = host_pointer<const Data>(weights);
    const auto sample_gradients = host_pointer<Data>(input_gradients);
    const auto weight_of = [&](int k) {
        return score_weights != nullptr ? score_weights[k] : Data{1};
    };
    const auto without_path = [&](Score final_score) {
        return final_score == std::numeric_limits<Score>::infinity();
    };
    const auto one_signal = [&](const Signal& signal, Data* reference_gradients) {
        const typename CallSamples<Data>::Own own(call, signal);
        const Data bias = bias_of(biases, signal.index);
        FinalScores<Score> kept(signal.rows, signal.cols, local_end);
        Score* own_score = with_checkpoints ? score : score + signal.first_cell;
        if (with_checkpoints) {
            Path::forward_checkpoints(&own.source, &own.band, own_score, &kept, bias, gamma);
        } else {
            const auto sweep = [&](const Tile<Score>& tile) {
                Path::forward_samples(&own.source, &own.band, own_score, &kept, bias, gamma,
                                      &tile);
            };
            for_each_tile<Score>(batch, signal, Sweep::forward, sweep);
        }
        const Score final_score =
            final_score_of(kept, gamma, ref_gap_penalty, local_end, last_row_only);
        finals[signal.index] = final_score;
        if (without_path(final_score)) {
            return;
        }
        ChannelGradients<Data> own_gradients(sample_gradients, signal, call.channels());
        const SignalGradients<Data, Score> gradients{
            &own.source,
            &own.band,
            own_gradients.data(),
            reference_gradients,
            weight_of(signal.index),
            bias,
            gamma,
            local_end,
            final_score,
            last_row_only,
            ref_gap_penalty};
        if (with_checkpoints) {
            Path::gradients_checkpointed(own_score, &gradients);
        } else {
            const auto sweep = [&](const Tile<Data>& tile) {
                Path::gradients(own_score, &gradients, &tile);
            };
            for_each_tile<Data>(batch, signal, Sweep::backward, sweep);
        }
        own_gradients.finish();
    };
    const std::size_t width = static_cast<std::size_t>(batch.cols()) * call.channels();
    // Signals side by side: their gradients interleaved a lane a signal, then each lane's
    // added into its signal's sample gradients and copied into its signal's row.
    const auto side_group = [&](const SideGroup<Data>& group, const auto& row_of) {
        if constexpr (Path::kSideBySide) {
            const std::size_t lanes = group.members.size();
            const std::vector<Data> samples = call.interleaved(batch, group.members);
            const Band own_band(group.rows, group.cols, call.band_width(group.members[0]));
            const std::vector<Data> own_biases = group.biases(biases);
            std::vector<FinalScores<Score>> kept(
                lanes, FinalScores<Score>(group.rows, group.cols, local_end));
            std::vector<FinalScores<Score>*> kept_of;
            for (auto& one : kept) {
                kept_of.push_back(&one);
            }
            const std::vector<Score*> own_scores = group.matrices(score);
            SideSignals<Data, Score> side{samples.data(), call.reference(), call.channels(),
                                          call.kind(),    &own_band,        group.rows,
                                          group.cols,     own_biases.data(), gamma};
            Path::forward_samples_side(&side, own_scores.data(), kept_of.data());
            std::vector<Score> own_finals(lanes);
            std::vector<Data> own_weights(lanes);
            std::vector<Data> adding(lanes);
            for (std::size_t i = 0; i < lanes; ++i) {
                const int k = group.members[i];
                own_finals[i] = final_score_of(kept[i], gamma, ref_gap_penalty, local_end,
                                               last_row_only);
                finals[k] = own_finals[i];
                own_weights[i] = weight_of(k);
                adding[i] = without_path(own_finals[i]) ? Data{0} : Data{1};
            }
            std::vector<Data> sample_sums(samples.size(), Data{0});
            std::vector<Data> reference_sums(width * lanes, Data{0});
            side.sample_gradients = sample_sums.data();
            side.reference_gradients = reference_sums.data();
            side.weights = own_weights.data();
            side.adding = adding.data();
            side.free_end = local_end;
            side.final_scores = own_finals.data();
            side.last_row_only = last_row_only;
            side.ref_gap_penalty = ref_gap_penalty;
            const std::vector<const Score*> stored(own_scores.begin(), own_scores.end());
            Path::gradients_side(&side, stored.data());
            for (std::size_t i = 0; i < lanes; ++i) {
                if (adding[i] == Data{0}) {
                    continue;
                }
                const Signal signal = batch.signal(group.members[i]);
                if (sample_gradients != nullptr) {
                    Data* own = sample_gradients + signal.first_sample * call.channels();
                    for (std::size_t v = 0; v < samples.size() / lanes; ++v) {
                        const std::size_t c = v / static_cast<std::size_t>(group.rows);
                        const std::size_t row = v % static_cast<std::size_t>(group.rows);
                        own[row * call.channels() + c] += sample_sums[v * lanes + i];
                    }
                }
                Data* row = row_of(signal.index);
                for (std::size_t v = 0; v < width; ++v) {
                    row[v] = reference_sums[v * lanes + i];
                }
            }
        }
    };
    const int chunk = static_cast<int>(std::clamp<std::size_t>(
        kMostReferenceRowValues / width, 1, static_cast<std::size_t>(batch.count())));
    std::vector<Data> rows(static_cast<std::size_t>(chunk) * width);
    std::vector<Data> channel_major(call.channels() > 1 ? width : 0, Data{0});
    Data* total = call.channels() > 1 ? channel_major.data() : host_pointer<Data>(ref_gradients);
    for (int first = 0; first < batch.count(); first += chunk) {
        const int stop = std::min(batch.count(), first + chunk);
        std::fill(rows.begin(), rows.end(), Data{0});
        const auto row_of = [&](int k) {
            return rows.data() + static_cast<std::size_t>(k - first) * width;
        };
        for_each_signal_or_group<Data>(
            batch, with_checkpoints ? 0 : stored_side_lanes<Path>(),
            length_and_band(call, kMostSideBySideCells),
            [&](const Signal& signal) { one_signal(signal, row_of(signal.index)); },
            [&](const SideGroup<Data>& group) { side_group(group, row_of); }, first, stop);
        for (int k = first; k < stop; ++k) {
            const Data* row = row_of(k);
            for (std::size_t v = 0; v < width; ++v) {
                total[v] += row[v];
            }
        }
    }
    if (call.channels() > 1) {
        add_sample_major(total, host_pointer<Data>(ref_gradients), batch.cols(), call.channels());
    }
}

template <typename Path>
void softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      HostAddress distance_matrix, HostAddress score_matrix,
                      HostAddress gradient_matrix, double requested_gamma, HostAddress alpha,
                      bool local_end, HostAddress scores, bool last_row_only,
                      double requested_ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Batch batch(input_signal_lengths, ref_signal_length);
    if (local_end && scores == 0) {
        throw std::runtime_error(
            "calc_softdtw_backward: scores_ptr is required when local_end is true");
    }
    const Data gamma = Path::gamma(requested_gamma);
    const Data ref_gap_penalty = Path::penalty(requested_ref_gap_penalty, local_end);
    const auto distance = host_pointer<const Data>(distance_matrix);
    const auto score = host_pointer<const Score>(score_matrix);
    const auto gradient = host_pointer<Data>(gradient_matrix);
    const auto biases = host_pointer<const Data>(alpha);
    const auto finals = host_pointer<const Score>(scores);
    const auto final_of = [&](int k) { return local_end ? finals[k] : Score{0}; };
    for_each_signal_or_group<Data>(
        batch, stored_side_lanes<Path>(), stored_side_kind,
        [&](const Signal& signal) {
            const auto sweep = [&](const Tile<Data>& tile) {
                Path::backward(distance + signal.first_cell, score + signal.first_cell,
                               gradient + signal.first_cell, signal.rows, signal.cols,
                               bias_of(biases, signal.index), gamma, local_end,
                               final_of(signal.index), last_row_only, ref_gap_penalty, &tile);
            };
            for_each_tile<Data>(batch, signal, Sweep::backward, sweep);
        },
        [&](const SideGroup<Data>& group) {
            if constexpr (Path::kSideBySide) {
                const auto own_distances = group.matrices(distance);
                const auto own_scores = group.matrices(score);
                const auto own_gradients = group.matrices(gradient);
                std::vector<Score> own_finals;
                group.for_each([&](const Signal& signal) {
                    own_finals.push_back(final_of(signal.index));
                });
                Path::backward_side(own_distances.data(), own_scores.data(), own_gradients.data(),
                                    group.biases(biases).data(), group.rows, group.cols, gamma,
                                    local_end, own_finals.data(), last_row_only,
                                    ref_gap_penalty);
            }
        });
}

}  // namespace

void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                          double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                          double ref_gap_penalty) {
    softdtw_forward<Float32Path>(input_signal_lengths, ref_signal_length, distance_matrix,
                                 score_matrix, scores, gamma, alpha, local_end, last_row_only,
                                 ref_gap_penalty);
}

void calc_softdtw_forward_float64(const std::vector<int>& input_signal_lengths,
                                  int ref_signal_length, HostAddress distance_matrix,
                                  HostAddress score_matrix, HostAddress scores, double gamma,
                                  HostAddress alpha, bool local_end, bool last_row_only,
                                  double ref_gap_penalty) {
    softdtw_forward<Float64Path>(input_signal_lengths, ref_signal_length, distance_matrix,
                                 score_matrix, scores, gamma, alpha, local_end, last_row_only,
                                 ref_gap_penalty);
}

void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           HostAddress distance_matrix, HostAddress score_matrix,
                           HostAddress gradient_matrix, double gamma, HostAddress alpha,
                           bool local_end, HostAddress scores, bool last_row_only,
                           double ref_gap_penalty) {
    softdtw_backward<Float32Path>(input_signal_lengths, ref_signal_length, distance_matrix,
                                  score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                  last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward_float64(const std::vector<int>& input_signal_lengths,
                                   int ref_signal_length, HostAddress distance_matrix,
                                   HostAddress score_matrix, HostAddress gradient_matrix,
                                   double gamma, HostAddress alpha, bool local_end,
                                   HostAddress scores, bool last_row_only, double ref_gap_penalty) {
    softdtw_backward<Float64Path>(input_signal_lengths, ref_signal_length, distance_matrix,
                                  score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                  last_row_only, ref_gap_penalty);
}

void calc_softdtw_forward_mixed(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress distance_matrix, HostAddress score_matrix,
                                HostAddress scores, double gamma, HostAddress alpha, bool local_end,
                                bool last_row_only, double ref_gap_penalty) {
    softdtw_forward<MixedPath>(input_signal_lengths, ref_signal_length, distance_matrix,
                               score_matrix, scores, gamma, alpha, local_end, last_row_only,
                               ref_gap_penalty);
}

void calc_softdtw_backward_mixed(const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, HostAddress distance_matrix,
                                 HostAddress score_matrix, HostAddress gradient_matrix,
                                 double gamma, HostAddress alpha, bool local_end,
                                 HostAddress scores, bool last_row_only, double ref_gap_penalty) {
    softdtw_backward<MixedPath>(input_signal_lengths, ref_signal_length, distance_matrix,
                                score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                last_row_only, ref_gap_penalty);
}

void calc_softdtw_scores(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                         HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                         double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                         double ref_gap_penalty, int channels, const std::string& cost,
                         HostAddress band) {
    softdtw_scores<Float32Path>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                                scores, gamma, alpha, local_end, last_row_only, ref_gap_penalty,
                                channels, cost, band);
}

void calc_softdtw_scores_float64(HostAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                                 double gamma, HostAddress alpha, bool local_end,
                                 bool last_row_only, double ref_gap_penalty, int channels,
                                 const std::string& cost, HostAddress band) {
    softdtw_scores<Float64Path>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                                scores, gamma, alpha, local_end, last_row_only, ref_gap_penalty,
                                channels, cost, band);
}

void calc_softdtw_scores_mixed(HostAddress input_signal,
                               const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
                               int ref_signal_length, HostAddress scores, double gamma,
                               HostAddress alpha, bool local_end, bool last_row_only,
                               double ref_gap_penalty, int channels, const std::string& cost,
                               HostAddress band) {
    softdtw_scores<MixedPath>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                              scores, gamma, alpha, local_end, last_row_only, ref_gap_penalty,
                              channels, cost, band);
}

void calc_softdtw_gradients(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                            HostAddress ref_signal, int ref_signal_length, HostAddress score_matrix,
                            HostAddress scores, HostAddress input_gradients,
                            HostAddress ref_gradients, double gamma, HostAddress alpha,
                            HostAddress weights, bool local_end, bool last_row_only,
                            double ref_gap_penalty, std::int64_t score_matrix_cells, int channels,
                            const std::string& cost, HostAddress band) {
    softdtw_gradients<Float32Path>(input_signal, input_signal_lengths, ref_signal,
                                   ref_signal_length, score_matrix, scores, input_gradients,
                                   ref_gradients, gamma, alpha, weights, local_end, last_row_only,
                                   ref_gap_penalty, score_matrix_cells, channels, cost, band);
}

void calc_softdtw_gradients_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    int ref_signal_length, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band) {
    softdtw_gradients<Float64Path>(input_signal, input_signal_lengths, ref_signal,
                                   ref_signal_length, score_matrix, scores, input_gradients,
                                   ref_gradients, gamma, alpha, weights, local_end, last_row_only,
                                   ref_gap_penalty, score_matrix_cells, channels, cost, band);
}

void calc_softdtw_gradients_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    int ref_signal_length, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band) {
    softdtw_gradients<MixedPath>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                                 score_matrix, scores, input_gradients, ref_gradients, gamma, alpha,
                                 weights, local_end, last_row_only, ref_gap_penalty,
                                 score_matrix_cells, channels, cost, band);
}

std::int64_t gradient_checkpoint_cells(int input_signal_length, int ref_signal_length) {
    validate_lengths({input_signal_length}, ref_signal_length);
    return CheckpointPlan(input_signal_length, ref_signal_length).cells();
}

std::string last_instruction_set() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

void force_tiles(int tiles) {
    if (tiles < 0) {
        throw std::invalid_argument("tiles must be at least 0, got: " + std::to_string(tiles));
    }
    forced_tiles.store(tiles);
}

void force_instruction_set(const std::string& name) {
    if (name == "best") {
        hwy::SetSupportedTargetsForTest(0);
    } else if (name == "scalar") {
        hwy::SetSupportedTargetsForTest(HWY_BASELINE_SCALAR);
    } else if (name == "sse4") {
        hwy::SetSupportedTargetsForTest(HWY_SSE4 | HWY_BASELINE_SCALAR);
    } else {
        throw std::invalid_argument("instruction set must be 'best', 'sse4' or 'scalar', got: " +
                                    name);
    }
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
