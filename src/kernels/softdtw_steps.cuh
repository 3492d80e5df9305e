// The float steps of the Soft-DTW wavefronts, shared by the kernels of one thread per column
// and by those whose threads serve several columns (softdtw_passes.cu), each written once over
// the element type: float32 gives the kernels' specified steps, float64 the same steps in
// float64. Also the free-end reduction over a block's threads.
#pragma once

#include <cuda_runtime.h>

#include <cmath>

#include "common/free_end_terminals.h"

namespace orvane {

// The device math library's full-accuracy functions, by element type.
__device__ __forceinline__ float exp_of(float x) { return expf(x); }
__device__ __forceinline__ double exp_of(double x) { return exp(x); }
__device__ __forceinline__ float log_of(float x) { return logf(x); }
__device__ __forceinline__ double log_of(double x) { return log(x); }
// The larger of two values; a NaN operand is ignored when the other is a number.
__device__ __forceinline__ float larger_of(float a, float b) { return fmaxf(a, b); }
__device__ __forceinline__ double larger_of(double a, double b) { return fmax(a, b); }
__device__ __forceinline__ float magnitude_of(float x) { return fabsf(x); }
__device__ __forceinline__ double magnitude_of(double x) { return fabs(x); }

// Differences closer to zero than this carry no gradient: there is no subgradient choice at
// a tie. The float32 value nearest to 1e-7, on either element type (as in orvane_cpu).
constexpr float kSignDeadZone = 1e-7f;

// 0 inside the dead zone, otherwise the sign of z; a NaN difference stays NaN.
template <typename T>
__device__ __forceinline__ T dead_zone_sign(T z) {
    if (magnitude_of(z) < static_cast<T>(kSignDeadZone)) {
        return T(0);
    }
    if (z > T(0)) {
        return T(1);
    }
    return z < T(0) ? T(-1) : z;
}

// softmin_gamma of three scores given as a = -R_a / gamma etc. (-inf for an absent one), as
// a log-sum-exp shifted by the largest argument, so that no exponential overflows.
template <typename T>
__device__ __forceinline__ T calculate_softmin(T a, T b, T c, T gamma) {
    const T largest = larger_of(larger_of(a, b), c);
    if (largest == T(INFINITY)) {
        return -T(INFINITY);
    }
    // Every predecessor absent or +inf: the soft minimum of nothing finite is +inf. The
    // maximum skipped any NaN, which must still reach the result.
    if (largest == -T(INFINITY)) {
        return isnan(a) || isnan(b) || isnan(c) ? T(NAN) : T(INFINITY);
    }
    const T sum = (exp_of(a - largest) + exp_of(b - largest)) + exp_of(c - largest);
    return (-log_of(sum) - largest) * gamma;
}

// d R(successor) / d R(cell) = exp((R_s - R - c_s) / gamma); no weight flows into or out
// of an infinite score.
template <typename T>
__device__ __forceinline__ T get_gradient(T successor_score, T score, T successor_cost,
                                          T inv_gamma) {
    if (magnitude_of(successor_score) == T(INFINITY) || magnitude_of(score) == T(INFINITY)) {
        return T(0);
    }
    T t = successor_score - score;
    t = t - successor_cost;
    t = t * inv_gamma;
    return exp_of(t);
}

// Tree reduction of `size` values in shared memory by the block's threads, each taking slots
// tid, tid + threads, ...; `combine(theirs, mine)` folds the slot `stride` above into the one
// below. The tail above the largest power of two is folded in first, so any size works, and
// the order of the operations depends on `size` alone, not on the threads that run it.
template <typename T, typename Combine>
__device__ __forceinline__ T reduce_block(T* slots, int tid, int size, Combine combine) {
    const int threads = blockDim.x;
    int power = 1;
    while (power * 2 <= size) {
        power *= 2;
    }
    for (int slot = tid; slot + power < size; slot += threads) {
        slots[slot] = combine(slots[slot + power], slots[slot]);
    }
    __syncthreads();
    for (int stride = power / 2; stride > 0; stride /= 2) {
        for (int slot = tid; slot < stride; slot += threads) {
            slots[slot] = combine(slots[slot + stride], slots[slot]);
        }
        __syncthreads();
    }
    return slots[0];
}

// The free-end soft minimum over a signal's terminals (FreeEndTerminals or PackedTerminals
// of T), by the block's threads together: a
// two-pass log-sum-exp over `width` slots (at most the slots given), slot v taking terminals
// v, v + width, ..., and the slots folded in a tree, first their maxima, then their sums.
// The bits depend on `width`, not on the threads: a block of `width` threads runs a slot
// each. Thread 0 writes the score: +inf when no terminal is a number, -inf when one is -inf.
template <typename T, class Terminals>
__device__ __forceinline__ void reduce_free_end(const Terminals& terminals, T* slots, int width,
                                                T gamma, T& score) {
    const int tid = threadIdx.x;
    const int threads = blockDim.x;
    for (int slot = tid; slot < width; slot += threads) {
        T local_max = -T(INFINITY);
        for (int t = slot; t < terminals.count; t += width) {
            const T x = terminals.scaled(t);
            if (local_max < x) {
                local_max = x;
            }
        }
        slots[slot] = local_max;
    }
    __syncthreads();
    const T largest =
        reduce_block(slots, tid, width, [](T theirs, T mine) { return theirs > mine ? theirs : mine; });
    __syncthreads();
    if (largest == -T(INFINITY) || largest == T(INFINITY)) {
        if (tid == 0) {
            score = -largest;
        }
        return;
    }

    for (int slot = tid; slot < width; slot += threads) {
        T local_sum = T(0);
        for (int t = slot; t < terminals.count; t += width) {
            local_sum += exp_of(terminals.scaled(t) - largest);
        }
        slots[slot] = local_sum;
    }
    __syncthreads();
    const T sum = reduce_block(slots, tid, width, [](T theirs, T mine) { return theirs + mine; });
    if (tid == 0) {
        score = -((largest + log_of(sum)) * gamma);
    }
}

}  // namespace orvane
