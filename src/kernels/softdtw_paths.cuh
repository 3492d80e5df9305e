// The three paths of the Soft-DTW passes beyond the eleven, as sets of types and steps that
// the kernels are written once over: their types, the cell of each, their checked gamma and
// gap penalty, where a backward pass starts and how it shares a cell's gradient among its
// predecessors, and how wide the free end folds. Shared by the passes over stored matrices
// (softdtw_passes.cu) and those without matrices (lean_sweep.cuh, softdtw_gradients.cu), so
// that both take the same steps.
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <type_traits>

#include "common/antidiag_index.h"
#include "common/batch_checks.h"
#include "kernels/softdtw_steps.cuh"

namespace orvane {

// The float32 steps; R scaled by -1/gamma for the soft minimum, weights from R and costs.
// kMaxThreads: the largest block a path's kernels launch, so that their registers fit it
// (64 a thread at 1024). The float64 library exponential and logarithm take more, hence
// blocks of 512 threads there.
struct Float32Path {
    using Data = float;
    using Score = float;
    using Gradient = float;
    static constexpr bool kShares = false;
    static constexpr int kMaxThreads = 1024;
};

struct MixedPath {
    using Data = float;
    using Score = double;
    using Gradient = float;
    using Share = float;
    static constexpr bool kShares = true;
    static constexpr int kMaxThreads = 1024;
};

struct Float64Path {
    using Data = double;
    using Score = double;
    using Gradient = double;
    using Share = double;
    static constexpr bool kShares = true;
    static constexpr int kMaxThreads = 512;
};

// R of a cell from its cost and its predecessors' scores (+inf for an absent one), on the
// paths that scale scores: the kernels' cell, in the path's type.
template <typename T>
__device__ __forceinline__ T scaled_cell(T cost, T up, T corner, T left, T gamma, T inv_gamma) {
    return cost +
           calculate_softmin(-(inv_gamma * up), -(inv_gamma * corner), -(inv_gamma * left), gamma);
}

// The mixed path's cell: the least predecessor score and the differences to it in float64,
// each rounded to float32 before it is scaled; +-inf where the least score is, NaN where a
// predecessor is.
__device__ __forceinline__ double mixed_cell(float cost, double up, double corner, double left,
                                             float gamma, float inv_gamma) {
    const double least = fmin(fmin(up, corner), left);
    double softmin = least;
    if (isnan(up) || isnan(corner) || isnan(left)) {
        softmin = NAN;
    } else if (!isinf(least)) {
        const auto term = [&](double r) { return expf(static_cast<float>(least - r) * inv_gamma); };
        const float sum = (term(up) + term(corner)) + term(left);
        softmin = least - static_cast<double>(logf(sum) * gamma);
    }
    return static_cast<double>(cost) + softmin;
}

// A cell's R from its cost and its predecessors' scores (+inf for an absent one), in the
// path's steps.
template <class Path>
__device__ __forceinline__ typename Path::Score path_cell(
    typename Path::Data cost, typename Path::Score up, typename Path::Score corner,
    typename Path::Score left, typename Path::Data gamma, typename Path::Data inv_gamma) {
    if constexpr (std::is_same_v<Path, MixedPath>) {
        return mixed_cell(cost, up, corner, left, gamma, inv_gamma);
    } else {
        return scaled_cell(cost, up, corner, left, gamma, inv_gamma);
    }
}

// Where the gradient of a cell starts, before its successors' weights are added: with a free
// end, a terminal's share of the final soft minimum (read from `final_score` only there);
// otherwise 1 at the last cell.
template <class Path>
__device__ __forceinline__ typename Path::Gradient backward_start(
    const AntidiagMatrix& matrix, int i, int j, typename Path::Score r,
    typename Path::Data inv_gamma, bool free_end, bool last_row_only,
    const typename Path::Score* final_score, typename Path::Data ref_gap_penalty) {
    using Data = typename Path::Data;
    using Gradient = typename Path::Gradient;
    if (!free_end) {
        return i == matrix.rows - 1 && j == matrix.cols - 1 ? Gradient(1) : Gradient(0);
    }
    if (i != matrix.rows - 1 && (j != matrix.cols - 1 || last_row_only)) {
        return Gradient(0);
    }
    const Data penalty = static_cast<Data>(j) * ref_gap_penalty;
    if constexpr (std::is_same_v<Path, MixedPath>) {
        const double exponent = *final_score - (static_cast<double>(penalty) + r);
        return expf(static_cast<float>(exponent) * inv_gamma);
    } else {
        Data t = penalty + r;
        t = *final_score - t;
        t = inv_gamma * t;
        return exp_of(t);
    }
}

// The shares of a cell's predecessors in its soft minimum, formed from differences of scores
// to the least of them, each rounded to Share and scaled by 1/gamma: none where no
// predecessor is finite, NaN where one is NaN (or the differences are -inf - -inf).
template <typename Share>
struct PredecessorShares {
    Share up;
    Share corner;
    Share left;
};

template <typename Share, typename Score>
__device__ __forceinline__ PredecessorShares<Share> predecessor_shares(Score up, Score corner,
                                                                       Score left,
                                                                       Share inv_gamma) {
    Score least = fmin(fmin(up, corner), left);
    if (least == Score(INFINITY)) {
        least = -Score(INFINITY);
    }
    // A NaN exponent makes its exponential NaN, and so the sum and every share.
    const auto share_of = [&](Score r) {
        return exp_of(static_cast<Share>(least - r) * inv_gamma);
    };
    const Share up_share = share_of(up);
    const Share corner_share = share_of(corner);
    const Share left_share = share_of(left);
    const Share sum = (up_share + corner_share) + left_share;
    const Share scale = sum == Share(0) ? Share(0) : Share(1) / sum;
    return {up_share * scale, corner_share * scale, left_share * scale};
}

// The free-end terminals fold in slots of min(M_k, kFoldWidth), as a block of that many
// threads of the kernels of one thread per column folds them, whatever the block's threads.
constexpr int kFoldWidth = 1024;

// gamma and ref_gap_penalty rounded to the path's data type, checked as the float32
// functions check them (in float64's range on the float64 path).
template <class Path>
typename Path::Data path_gamma(double gamma) {
    if constexpr (std::is_same_v<typename Path::Data, double>) {
        return checked_gamma_float64(gamma);
    } else {
        return checked_gamma(gamma);
    }
}

template <class Path>
typename Path::Data path_ref_gap_penalty(double ref_gap_penalty, bool local_end) {
    if constexpr (std::is_same_v<typename Path::Data, double>) {
        return checked_ref_gap_penalty_float64(ref_gap_penalty, local_end);
    } else {
        return checked_ref_gap_penalty(ref_gap_penalty, local_end);
    }
}

}  // namespace orvane
