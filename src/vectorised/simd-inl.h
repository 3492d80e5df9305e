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
#include "common/antidiag_index.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
// Every operation is written once for float and double lanes: T is the element type, D its
// full vector's tag.
template <typename T>
using TagOf = hn::ScalableTag<T>;
template <class D>
using VecOf = hn::Vec<D>;
template <class D>
using Lane = hn::TFromD<D>;

template <typename T>
constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(T);
template <typename T>
constexpr T kInfinity = std::numeric_limits<T>::infinity();

// `count` values from p (count <= lanes); the other lanes are zero.
template <class D>
HWY_INLINE VecOf<D> LoadPart(D d, const Lane<D>* p, std::size_t count) {
    if (count == hn::Lanes(d)) {
        return hn::LoadU(d, p);
    }
    alignas(64) Lane<D> staged[kMaxLanes<Lane<D>>] = {};
    for (std::size_t q = 0; q < count; ++q) {
        staged[q] = p[q];
    }
    return hn::Load(d, staged);
}

template <class D>
HWY_INLINE void StorePart(D d, VecOf<D> v, Lane<D>* p, std::size_t count) {
    if (count == hn::Lanes(d)) {
        hn::StoreU(v, d, p);
        return;
    }
    alignas(64) Lane<D> staged[kMaxLanes<Lane<D>>];
    hn::Store(v, d, staged);
    for (std::size_t q = 0; q < count; ++q) {
        p[q] = staged[q];
    }
}

// Lane q holds last[-q]: the samples of rows last_row, last_row - 1, ... of a diagonal.
template <class D>
HWY_INLINE VecOf<D> LoadReversedPart(D d, const Lane<D>* last, std::size_t count) {
    if (count == hn::Lanes(d)) {
        return hn::Reverse(d, hn::LoadU(d, last - (hn::Lanes(d) - 1)));
    }
    alignas(64) Lane<D> staged[kMaxLanes<Lane<D>>] = {};
    for (std::size_t q = 0; q < count; ++q) {
        staged[q] = last[-static_cast<std::ptrdiff_t>(q)];
    }
    return hn::Load(d, staged);
}

template <class D>
HWY_INLINE void StoreReversedPart(D d, VecOf<D> v, Lane<D>* last, std::size_t count) {
    if (count == hn::Lanes(d)) {
        hn::StoreU(hn::Reverse(d, v), d, last - (hn::Lanes(d) - 1));
        return;
    }
    alignas(64) Lane<D> staged[kMaxLanes<Lane<D>>];
    hn::Store(v, d, staged);
    for (std::size_t q = 0; q < count; ++q) {
        last[-static_cast<std::ptrdiff_t>(q)] = staged[q];
    }
}

// Where Highway's Exp is defined (up to +104 for float, +706 for double) and from where the C
// library's exp overflows. Highway's float Exp itself overflows to +inf at every x from there
// to its range's end (checked at every float from 80 up, on the portable fallback, SSE4 and
// AVX2), so clamping x at 100 is all that float needs; float64 is clamped below its overflow
// and sets +inf past it.
template <typename T>
struct ExpRange;
template <>
struct ExpRange<float> {
    static constexpr float kDefinedUpTo = 100.0f;
    static constexpr bool kOverflowsWhenClamped = true;
};
template <>
struct ExpRange<double> {
    static constexpr double kDefinedUpTo = 700.0;
    static constexpr bool kOverflowsWhenClamped = false;
    static constexpr double kOverflowsAbove = 709.79;
};

// e^x with the C library's answers at the edges: 0 for -inf, +inf past the range, NaN for
// NaN. Highway's Exp gives 0 for a NaN.
template <class D>
HWY_INLINE VecOf<D> ExpOf(D d, VecOf<D> x) {
    using Range = ExpRange<Lane<D>>;
    VecOf<D> value = hn::Exp(d, hn::Min(x, hn::Set(d, Range::kDefinedUpTo)));
    if constexpr (!Range::kOverflowsWhenClamped) {
        value = hn::IfThenElse(hn::Gt(x, hn::Set(d, Range::kOverflowsAbove)),
                               hn::Set(d, kInfinity<Lane<D>>), value);
    }
    return hn::IfThenElse(hn::IsNaN(x), x, value);
}

// e^x for the exponents of a soft minimum, x <= 0, whose callers select their own result
// where an exponent is -inf - -inf or NaN: Highway's Exp, which gives 0 for -inf (and for a
// NaN), without ExpOf's edge selects.
template <class D>
HWY_INLINE VecOf<D> ExpOfNonPositive(D d, VecOf<D> x) {
    return hn::Exp(d, x);
}

// a * b + c with one rounding on every target: the instruction where the target has one,
// the C library's fma lane by lane where it has not.
template <class D>
HWY_INLINE VecOf<D> FusedMulAdd(D d, VecOf<D> a, VecOf<D> b, VecOf<D> c) {
#if HWY_NATIVE_FMA
    static_cast<void>(d);
    return hn::MulAdd(a, b, c);
#else
    using T = Lane<D>;
    alignas(64) T av[kMaxLanes<T>], bv[kMaxLanes<T>], cv[kMaxLanes<T>];
    hn::Store(a, d, av);
    hn::Store(b, d, bv);
    hn::Store(c, d, cv);
    for (std::size_t q = 0; q < hn::Lanes(d); ++q) {
        cv[q] = std::fma(av[q], bv[q], cv[q]);
    }
    return hn::Load(d, cv);
#endif
}

// Differences closer to zero than this carry no gradient: there is no subgradient choice at
// a tie. 0 inside the dead zone, otherwise the sign of z; a NaN stays NaN.
template <class D>
VecOf<D> DeadZoneSign(D d, VecOf<D> z) {
    using T = Lane<D>;
    const auto sign = hn::IfThenElse(hn::Gt(z, hn::Zero(d)), hn::Set(d, T{1}),
                                     hn::IfThenElse(hn::Lt(z, hn::Zero(d)), hn::Set(d, T{-1}), z));
    return hn::IfThenZeroElse(hn::Lt(hn::Abs(z), hn::Set(d, static_cast<T>(1e-7f))), sign);
}

// One vector of a diagonal's cells: `count` lanes at matrix position `cell`, in columns
// column, column + 1, ... and rows row, row - 1, ...
struct CellVector {
    int cell;
    int column;
    int row;
    std::size_t count;
};

// Calls body(cells) for every vector of lanes of D over an n x m matrix's cells, diagonal
// after diagonal, so that each column's cells come in increasing row.
template <class D, class Body>
HWY_INLINE void ForEachCellVector(D d, int rows, int cols, const Body& body) {
    const int lanes = static_cast<int>(hn::Lanes(d));
    for (int diagonal = 0; diagonal < rows + cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        for (int p = 0; p < span.length; p += lanes) {
            const int column = span.first_col + p;
            body(CellVector{span.start + p, column, diagonal - column,
                            static_cast<std::size_t>(std::min(lanes, span.length - p))});
        }
    }
}

// The row index of lane q, first_row - q, as a floating-point number (exact below 2^24).
template <class D>
HWY_INLINE VecOf<D> FallingRows(D d, int first_row) {
    const hn::RebindToSigned<D> di;
    using Int = Lane<decltype(di)>;
    return hn::ConvertTo(d, hn::Sub(hn::Set(di, static_cast<Int>(first_row)), hn::Iota(di, 0)));
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SIMD_INL_H_
