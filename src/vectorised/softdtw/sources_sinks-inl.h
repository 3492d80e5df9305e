// The sources and sinks of the Soft-DTW passes, compiled once per instruction set: where a
// pass reads its costs and R, and where it puts R and E. The passes (along_diagonals-inl.h,
// side_by_side-inl.h) are templates over these parts, and the entries (entries-inl.h) choose
// the parts of each call. The matrices they read and write are in the anti-diagonal layout
// (common/antidiag_index.h); a diagonal is walked at `span` (its first cell `span.start`,
// first column `span.first_col`), position p holding column span.first_col + p.
//
// Along the diagonals (one signal; a vector holds cells p .. p + count - 1 of a diagonal,
// count at most its lanes, the lanes past count never stored):
//  - Costs: first() is cell (0, 0)'s cost; at(d, span, diagonal, p, count) the costs of the
//    cells.
//  - Scores, where a forward pass puts R: first(value) takes cell (0, 0)'s, take(d, value,
//    span, diagonal, p, count) the cells'.
//  - ScoreMatrix, where a backward pass reads R: diagonal(diagonal, span) points at the
//    diagonal's R (position p at [p]) until the next call.
//  - Gradients, where a backward pass puts E: take(d, e, span, diagonal, p, count).
//  Any of them that keeps a matrix also has prefetch(span, p), for the cells from p on.
// Side by side (a group of signals of one shape, one a lane; a vector holds position p of
// every lane, interleaved as the rolling diagonals hold it):
//  - Costs: reach(span) before a diagonal's cells; at(d, span, diagonal, p) the costs.
//  - Scores: reach(span); take(d, value, span, diagonal, p, first_lane) the R of the lanes
//    from first_lane on (the mixed path gives a float32 vector's lanes as two float64
//    halves); finish(span, begin, end) once positions [begin, end) are taken.
//  - ScoreMatrix: read(lanes, span, out) puts the diagonal's R in `out`, position p of lane
//    k at p * lanes + k.
//  - Gradients: reach(span); take(d, e, span, diagonal, p).

#if defined(ORVANE_VECTORISED_SOFTDTW_SOURCES_SINKS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_SOURCES_SINKS_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_SOURCES_SINKS_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_SOURCES_SINKS_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "hwy/highway.h"
#include "vectorised/costs-inl.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/interleave-inl.h"
#include "vectorised/softdtw/pass_table.h"
#include "vectorised/softdtw/rolling_diagonals-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// Costs from a distance matrix, or from the samples themselves, each cost formed as the
// distance passes form it (the same bits).
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

// Scores into a score matrix, or only what the final score needs.
template <typename T>
struct StoredScores {
    T* score;

    void first(T value) { score[0] = value; }
    template <class D>
    void take(D d, VecOf<D> value, const Span& span, int /*diagonal*/, int p, std::size_t count) {
        StorePart(d, value, score + span.start + p, count);
    }
    void prefetch(const Span& span, int p) const { PrefetchLines<true>(score + span.start + p); }
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

// R from a stored score matrix, or from a signal's checkpoints, each segment's diagonals
// computed again as the pass reaches them (`recompute(range, sink)`).
template <typename T>
struct StoredScoreMatrix {
    const T* score;

    const T* diagonal(int /*diagonal*/, const Span& span) const { return score + span.start; }
    void prefetch(const Span& span, int p) const { PrefetchLines<false>(score + span.start + p); }
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

// E into a gradient matrix, or straight into the gradients of the samples and of the
// reference (channel-major), E never stored: each cell adds w * E times its cost's
// derivative, w its score's weight.
template <typename T>
struct StoredGradient {
    T* gradient;

    template <class D>
    HWY_INLINE void take(D d, VecOf<D> e, const Span& span, int /*diagonal*/, int p,
                         std::size_t count) {
        StorePart(d, e, gradient + span.start + p, count);
    }
    void prefetch(const Span& span, int p) const { PrefetchLines<true>(gradient + span.start + p); }
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

// Side by side: costs from the lanes' distance matrices, through a window; or from their
// samples and references, interleaved (sample i of channel c of lane k at
// (c * rows + i) * lanes + k, reference value j at (c * cols + j) * lanes + k), each cost
// formed as CellCosts forms it.
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
    const T* references;
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
                        hn::LoadU(d, references + (std::int64_t{c} * cols + column) * lanes));
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

// R or E into each lane's matrix, through a window. A side-by-side forward pass may also keep
// each lane's final scores only (KeptLaneScores), or a group's R interleaved
// (InterleavedScores).
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

// E side by side into each lane's gradient matrix (LaneMatrices); or straight into each
// lane's gradients of its samples and of its reference, interleaved as they are (sample i of
// channel c of lane k at (c * rows + i) * lanes + k, reference value j at
// (c * cols + j) * lanes + k), each cell adding what AddedGradient adds for it. A lane whose
// `adding` is zero adds nothing (a band left its signal without a path).
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
            const auto difference = hn::Sub(hn::LoadU(d, samples.samples + sample),
                                            hn::LoadU(d, samples.references + reference));
            const auto slope = kKind == CostKind::abs ? DeadZoneSign(d, difference) : difference;
            const auto term = hn::Mul(scale, slope);
            T* to_sample = sample_gradients + sample;
            T* to_reference = reference_gradients + reference;
            hn::StoreU(hn::Add(hn::LoadU(d, to_sample), term), d, to_sample);
            hn::StoreU(hn::Sub(hn::LoadU(d, to_reference), term), d, to_reference);
        }
    }
};

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_SOURCES_SINKS_INL_H_
