// Moving the cells of signals side by side between their own matrices and interleaved order
// (cell c of lane k at c * lanes + k, as the side-by-side passes hold a diagonal), compiled
// once per instruction set: a square of lanes transposed at a time, and a window of whole
// diagonals that a pass over stored matrices reads from or writes to. Used by the
// side-by-side sources and sinks (sources_sinks-inl.h) and the entries over stored matrices
// (entries-inl.h); the passes themselves are in side_by_side-inl.h.

#if defined(ORVANE_VECTORISED_SOFTDTW_INTERLEAVE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_INTERLEAVE_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_INTERLEAVE_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_INTERLEAVE_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "hwy/highway.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/pass_table.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// Whether a vector of T has a width whose square of lanes TransposeSquare turns: 16 or 32
// bytes, the targets side by side has been measured on.
template <typename T>
constexpr std::size_t kVectorBytes = hn::MaxLanes(TagOf<T>()) * sizeof(T);
template <typename T>
constexpr bool kTransposes = HWY_TARGET != HWY_SCALAR &&
                             (kVectorBytes<T> == 16 || kVectorBytes<T> == 32);

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
        for (; lanes % kLanes == 0 && p + static_cast<std::int64_t>(kLanes) <= count; p += kLanes) {
            for (std::size_t first_lane = 0; first_lane < lanes; first_lane += kLanes) {
                // Lane first_lane + k's positions in vector k on the matrices' side, position
                // q's lanes in vector q on the other.
                for (std::size_t i = 0; i < kLanes; ++i) {
                    square[i] = hn::LoadU(
                        d, kGather ? in_matrix(first_lane + i, p) : in_lanes(p + i, first_lane));
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

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_INTERLEAVE_INL_H_
