// Vector helpers of the vectorised CPU module, compiled once per instruction set (Highway's
// foreach_target re-includes this header for each). A diagonal's cells are contiguous, so
// most loads are plain; the input samples of a diagonal run backwards (row i falls as the
// column rises), and the last vector of a diagonal is partial and must not touch memory past
// it, since another thread may be writing the next signal's matrix.

#if defined(ORVANE_VECTORISED_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SIMD_INL_H_
#undef ORVANE_VECTORISED_SIMD_INL_H_
#else
#define ORVANE_VECTORISED_SIMD_INL_H_
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "hwy/contrib/math/math-inl.h"
#include "hwy/highway.h"
#include "kernels/antidiag_index.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using FloatTag = hn::ScalableTag<float>;
using FloatVec = hn::Vec<FloatTag>;
using IntTag = hn::RebindToSigned<FloatTag>;

constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(float);
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// `count` floats from p (count <= lanes); the other lanes are zero.
HWY_INLINE FloatVec LoadPart(FloatTag d, const float* p, std::size_t count) {
    if (count == hn::Lanes(d)) {
        return hn::LoadU(d, p);
    }
    alignas(64) float staged[kMaxLanes] = {};
    for (std::size_t q = 0; q < count; ++q) {
        staged[q] = p[q];
    }
    return hn::Load(d, staged);
}

HWY_INLINE void StorePart(FloatTag d, FloatVec v, float* p, std::size_t count) {
    if (count == hn::Lanes(d)) {
        hn::StoreU(v, d, p);
        return;
    }
    alignas(64) float staged[kMaxLanes];
    hn::Store(v, d, staged);
    for (std::size_t q = 0; q < count; ++q) {
        p[q] = staged[q];
    }
}

// Lane q holds last[-q]: the samples of rows last_row, last_row - 1, ... of a diagonal.
HWY_INLINE FloatVec LoadReversedPart(FloatTag d, const float* last, std::size_t count) {
    if (count == hn::Lanes(d)) {
        return hn::Reverse(d, hn::LoadU(d, last - (hn::Lanes(d) - 1)));
    }
    alignas(64) float staged[kMaxLanes] = {};
    for (std::size_t q = 0; q < count; ++q) {
        staged[q] = last[-static_cast<std::ptrdiff_t>(q)];
    }
    return hn::Load(d, staged);
}

HWY_INLINE void StoreReversedPart(FloatTag d, FloatVec v, float* last, std::size_t count) {
    if (count == hn::Lanes(d)) {
        hn::StoreU(hn::Reverse(d, v), d, last - (hn::Lanes(d) - 1));
        return;
    }
    alignas(64) float staged[kMaxLanes];
    hn::Store(v, d, staged);
    for (std::size_t q = 0; q < count; ++q) {
        last[-static_cast<std::ptrdiff_t>(q)] = staged[q];
    }
}

// The larger of a and b, taking the number when one of them is NaN (as fmaxf does).
HWY_INLINE FloatVec MaxOfNumbers(FloatVec a, FloatVec b) {
    return hn::IfThenElse(hn::IsNaN(a), b, hn::IfThenElse(hn::IsNaN(b), a, hn::Max(a, b)));
}

// e^x with expf's answers at the edges: 0 for -inf, +inf past the float range, NaN for NaN.
// Highway's Exp is defined up to +104 and gives 0 for a NaN.
HWY_INLINE FloatVec ExpOf(FloatTag d, FloatVec x) {
    const FloatVec in_range = hn::Min(x, hn::Set(d, 100.0f));
    const FloatVec value = hn::Exp(d, in_range);
    const FloatVec overflowed =
        hn::IfThenElse(hn::Gt(x, hn::Set(d, 88.8f)), hn::Set(d, kInfinity), value);
    return hn::IfThenElse(hn::IsNaN(x), x, overflowed);
}

// a * b + c with one rounding on every target: the instruction where the target has one,
// the C library's fmaf lane by lane where it has not.
HWY_INLINE FloatVec FusedMulAdd(FloatTag d, FloatVec a, FloatVec b, FloatVec c) {
#if HWY_NATIVE_FMA
    static_cast<void>(d);
    return hn::MulAdd(a, b, c);
#else
    alignas(64) float av[kMaxLanes], bv[kMaxLanes], cv[kMaxLanes];
    hn::Store(a, d, av);
    hn::Store(b, d, bv);
    hn::Store(c, d, cv);
    for (std::size_t q = 0; q < hn::Lanes(d); ++q) {
        cv[q] = std::fmaf(av[q], bv[q], cv[q]);
    }
    return hn::Load(d, cv);
#endif
}

// One vector of a diagonal's cells: `count` lanes at matrix position `cell`, in columns
// column, column + 1, ... and rows row, row - 1, ...
struct CellVector {
    int cell;
    int column;
    int row;
    std::size_t count;
};

// Calls body(cells) for every vector of an n x m matrix's cells, diagonal after diagonal, so
// that each column's cells come in increasing row.
template <class Body>
HWY_INLINE void ForEachCellVector(int rows, int cols, const Body& body) {
    const int lanes = static_cast<int>(hn::Lanes(FloatTag()));
    for (int diagonal = 0; diagonal < rows + cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        for (int p = 0; p < span.length; p += lanes) {
            const int column = span.first_col + p;
            body(CellVector{span.start + p, column, diagonal - column,
                            static_cast<std::size_t>(std::min(lanes, span.length - p))});
        }
    }
}

// The row index of lane q, first_row - q, as a float (exact below 2^24).
HWY_INLINE FloatVec FallingRows(FloatTag d, int first_row) {
    const IntTag di;
    return hn::ConvertTo(d, hn::Sub(hn::Set(di, first_row), hn::Iota(di, 0)));
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SIMD_INL_H_
