// The mixed path's float64 differences, compiled once per instruction set: float32 data,
// distances and gradients with scores held in float64. Every difference of scores is formed
// in float64 and rounded to float32; the exponentials, the logarithms and the sums stay
// float32, on whole float32 vectors: a group of cells is as many as a float32 vector holds,
// its float64 work done on the two float64 vectors that hold them. Holds the tags and the
// conversions between the two widths, a cell's predecessors' differences over gamma, and the
// forward step built on them. Used by the mixed passes (along_diagonals-inl.h,
// side_by_side-inl.h) and the shares of backward_weights-inl.h.

#if defined(ORVANE_VECTORISED_SOFTDTW_MIXED_DIFFERENCES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_MIXED_DIFFERENCES_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_MIXED_DIFFERENCES_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_MIXED_DIFFERENCES_INL_H_
#endif

#include <limits>

#include "hwy/highway.h"
#include "vectorised/simd-inl.h"
#include "vectorised/softdtw/rolling_diagonals-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

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

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_MIXED_DIFFERENCES_INL_H_
