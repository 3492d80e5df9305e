// The diagonals a Soft-DTW pass keeps as it sweeps a matrix, and the steps every pass takes on
// them, compiled once per instruction set (Highway's foreach_target re-includes this header).
// Every cell of a diagonal depends only on the two diagonals before it (after it, going
// back), and a diagonal's cells are contiguous: each pass keeps its last three diagonals in
// small buffers padded with a neutral value at both ends, so that the cells on the matrix's
// edges, whose missing neighbours fall on the pads, take the same vector path as every other
// cell. Holds: RollingDiagonals and WithNeighbours (a cell's neighbours at the shifts of
// common/neighbour_shifts.h), x / gamma and the soft minimum a vector at a time, the edges a
// tile of a matrix takes from and gives to its neighbour (vectorised/tiles.h), the positions
// a pass sweeps, and prefetching. Used by every other -inl.h header beside it; the passes
// themselves are in along_diagonals-inl.h and side_by_side-inl.h.

#if defined(ORVANE_VECTORISED_SOFTDTW_ROLLING_DIAGONALS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_ROLLING_DIAGONALS_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_ROLLING_DIAGONALS_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_ROLLING_DIAGONALS_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/neighbour_shifts.h"
#include "hwy/highway.h"
#include "vectorised/costs.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/pass_table.h"
#include "vectorised/tiles.h"

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
          stride_((static_cast<std::size_t>(longest) + 2 + 2 * kMaxLanes<T>)*width),
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
void TakeEdge(const Tile<T>& tile, int line, int diagonal, int step, int swept, int rows, int cols,
              const Set& set) {
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
HWY_INLINE void PrefetchDiagonal(const Strip& tile, const Band& band, int next, int rows, int cols,
                                 const Sources&... sources) {
    if (next < 0 || next > rows + cols - 2) {
        return;
    }
    const Span span = span_of(next, rows, cols);
    const int at = SweptPositions(tile, band, next, span).first;
    (PrefetchFrom(sources, span, at), ...);
}

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_ROLLING_DIAGONALS_INL_H_
