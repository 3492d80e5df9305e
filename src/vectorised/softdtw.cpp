// Soft-DTW forward and backward passes on the CPU, vectorised along the anti-diagonals: every
// cell of a diagonal depends only on the two diagonals before it (after it, going back), and
// a diagonal's cells are contiguous. Each signal keeps its last three diagonals in small
// buffers padded with a neutral value at both ends, so that the cells on the matrix's edges,
// whose missing neighbours fall on the pads, take the same vector path as every other cell.
// The float32 steps are the CUDA kernels', in the same order.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/softdtw.cpp"
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "kernels/free_end_terminals.h"
#include "vectorised/batch.h"
#include "vectorised/simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// Three diagonals' worth of one quantity, each with a pad before position 0 and after its last
// cell, and room for the lanes of a partial last vector.
class RollingDiagonals {
public:
    RollingDiagonals(int longest, float pad)
        : stride_(static_cast<std::size_t>(longest) + 2 + 2 * kMaxLanes),
          values_(3 * stride_, pad),
          pad_(pad) {}

    float* operator[](int d) { return values_.data() + (d % 3) * stride_ + 1; }

    // The pad after diagonal d's last cell, once its cells are written.
    void close(int d, int length) { (*this)[d][length] = pad_; }

private:
    std::size_t stride_;
    std::vector<float> values_;
    float pad_;
};

// softmin_gamma of three scores given scaled, -R / gamma (-inf for an absent one): a
// log-sum-exp shifted by the largest number; +inf when none is a number, NaN when any is NaN.
FloatVec Softmin(FloatTag d, FloatVec a, FloatVec b, FloatVec c, FloatVec gamma) {
    const FloatVec largest = MaxOfNumbers(MaxOfNumbers(a, b), c);
    const auto any_nan = hn::Or(hn::IsNaN(a), hn::Or(hn::IsNaN(b), hn::IsNaN(c)));
    const FloatVec sum =
        hn::Add(hn::Add(ExpOf(d, hn::Sub(a, largest)), ExpOf(d, hn::Sub(b, largest))),
                ExpOf(d, hn::Sub(c, largest)));
    FloatVec result = hn::Mul(hn::Sub(hn::Neg(hn::Log(d, sum)), largest), gamma);
    const FloatVec infinity = hn::Set(d, kInfinity);
    result = hn::IfThenElse(hn::Eq(largest, infinity), hn::Neg(infinity), result);
    result = hn::IfThenElse(hn::Eq(largest, hn::Neg(infinity)), infinity, result);
    return hn::IfThenElse(any_nan, hn::Set(d, std::numeric_limits<float>::quiet_NaN()), result);
}

}  // namespace

// R of one signal, and its scaled scores' diagonals as the recurrence needs them.
void ForwardSignal(const float* distance, float* score, int rows, int cols, float bias,
                   float gamma) {
    const FloatTag d;
    const std::size_t lanes = hn::Lanes(d);
    const float inv_gamma = 1.0f / gamma;
    const FloatVec gamma_v = hn::Set(d, gamma);
    const FloatVec inv_gamma_v = hn::Set(d, inv_gamma);
    const FloatVec bias_v = hn::Set(d, bias);
    RollingDiagonals scaled(std::min(rows, cols), -kInfinity);

    score[0] = distance[0] - bias;
    scaled[0][0] = -(inv_gamma * score[0]);
    scaled.close(0, 1);
    for (int diagonal = 1; diagonal < rows + cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        // Where the up (and left) and the diagonal neighbours of position p sit on the two
        // diagonals before: p + up_shift (p - 1 + up_shift) and p + corner_shift.
        const int up_shift = diagonal >= rows ? 1 : 0;
        const int corner_shift = diagonal <= rows - 1 ? -1 : (diagonal == rows ? 0 : 1);
        const float* previous = scaled[diagonal - 1];
        const float* before_previous = scaled[diagonal + 1];  // diagonal - 2, modulo 3
        float* current = scaled[diagonal];
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            const FloatVec up = hn::LoadU(d, previous + p + up_shift);
            const FloatVec left = hn::LoadU(d, previous + p - 1 + up_shift);
            const FloatVec corner = hn::LoadU(d, before_previous + p + corner_shift);
            const FloatVec cost = hn::Sub(LoadPart(d, distance + span.start + p, count), bias_v);
            const FloatVec value = hn::Add(cost, Softmin(d, up, corner, left, gamma_v));
            StorePart(d, value, score + span.start + p, count);
            hn::StoreU(hn::Neg(hn::Mul(inv_gamma_v, value)), d, current + p);
        }
        scaled.close(diagonal, span.length);
    }
}

// d R(successor) / d R(cell) = exp((R_s - R - c_s) / gamma); no weight flows into or out of an
// infinite score.
FloatVec StepWeight(FloatTag d, FloatVec successor_score, FloatVec score, FloatVec successor_cost,
                    FloatVec inv_gamma) {
    const FloatVec t = hn::Mul(hn::Sub(hn::Sub(successor_score, score), successor_cost), inv_gamma);
    const auto infinite = hn::Or(hn::IsInf(successor_score), hn::IsInf(score));
    return hn::IfThenZeroElse(infinite, ExpOf(d, t));
}

// E of one signal, swept from the last diagonal to the first. With a free end (final_score
// given), every terminal cell starts from its share of the final soft minimum; otherwise the
// last cell starts from 1.
void BackwardSignal(const float* distance, const float* score, float* gradient, int rows, int cols,
                    float bias, float gamma, bool free_end, float final_score, bool last_row_only,
                    float ref_gap_penalty) {
    const FloatTag d;
    const IntTag di;
    const std::size_t lanes = hn::Lanes(d);
    const FloatVec inv_gamma = hn::Set(d, 1.0f / gamma);
    const FloatVec bias_v = hn::Set(d, bias);
    const int longest = std::min(rows, cols);
    // Pads: an absent successor has an infinite score (so no weight) and no gradient.
    RollingDiagonals scores(longest, kInfinity), costs(longest, 0.0f), gradients(longest, 0.0f);
    const int last_diagonal = rows + cols - 2;

    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        const int down_shift = diagonal <= rows - 2 ? 0 : -1;
        const int corner_shift = diagonal <= rows - 3 ? 1 : (diagonal == rows - 2 ? 0 : -1);
        float* here_scores = scores[diagonal];
        float* here_costs = costs[diagonal];
        float* here_gradients = gradients[diagonal];
        const float* next_scores = scores[diagonal + 1];
        const float* next_costs = costs[diagonal + 1];
        const float* next_gradients = gradients[diagonal + 1];
        const float* far_scores = scores[diagonal + 2];
        const float* far_costs = costs[diagonal + 2];
        const float* far_gradients = gradients[diagonal + 2];
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            const FloatVec r = LoadPart(d, score + span.start + p, count);
            hn::StoreU(r, d, here_scores + p);
            hn::StoreU(hn::Sub(LoadPart(d, distance + span.start + p, count), bias_v), d,
                       here_costs + p);

            FloatVec e = hn::Zero(d);
            if (free_end) {
                const auto column = hn::Add(hn::Set(di, span.first_col + p), hn::Iota(di, 0));
                const auto row = hn::Sub(hn::Set(di, diagonal), column);
                auto terminal = hn::Eq(row, hn::Set(di, rows - 1));
                if (!last_row_only) {
                    terminal = hn::Or(terminal, hn::Eq(column, hn::Set(di, cols - 1)));
                }
                const FloatVec penalty =
                    hn::Mul(hn::ConvertTo(d, column), hn::Set(d, ref_gap_penalty));
                const FloatVec share = ExpOf(
                    d, hn::Mul(inv_gamma, hn::Sub(hn::Set(d, final_score), hn::Add(penalty, r))));
                e = hn::IfThenElseZero(hn::RebindMask(d, terminal), share);
            } else if (diagonal == last_diagonal) {
                e = hn::Set(d, 1.0f);
            }
            const int down = p + down_shift;
            const int right = p + 1 + down_shift;
            const int corner = p + corner_shift;
            e = FusedMulAdd(d, hn::LoadU(d, next_gradients + down),
                            StepWeight(d, hn::LoadU(d, next_scores + down), r,
                                       hn::LoadU(d, next_costs + down), inv_gamma),
                            e);
            e = FusedMulAdd(d, hn::LoadU(d, far_gradients + corner),
                            StepWeight(d, hn::LoadU(d, far_scores + corner), r,
                                       hn::LoadU(d, far_costs + corner), inv_gamma),
                            e);
            e = FusedMulAdd(d, hn::LoadU(d, next_gradients + right),
                            StepWeight(d, hn::LoadU(d, next_scores + right), r,
                                       hn::LoadU(d, next_costs + right), inv_gamma),
                            e);
            StorePart(d, e, gradient + span.start + p, count);
            hn::StoreU(e, d, here_gradients + p);
        }
        scores.close(diagonal, span.length);
        costs.close(diagonal, span.length);
        gradients.close(diagonal, span.length);
    }
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(ForwardSignal);
HWY_EXPORT(BackwardSignal);
HWY_EXPORT(TargetName);

namespace {

float bias_of(const float* alpha, int k) { return alpha != nullptr ? alpha[k] : 0.0f; }

// The free-end soft minimum over the terminals: +inf when none is a number, -inf when one is
// -inf, NaN when some (not all) are NaN.
float free_end_score(const FreeEndTerminals& terminals, float gamma) {
    float largest = -std::numeric_limits<float>::infinity();
    for (int t = 0; t < terminals.count; ++t) {
        const float x = terminals.scaled(t);
        if (largest < x) {
            largest = x;
        }
    }
    if (std::isinf(largest)) {
        return -largest;
    }
    float sum = 0.0f;
    for (int t = 0; t < terminals.count; ++t) {
        sum += std::exp(terminals.scaled(t) - largest);
    }
    return -((largest + std::log(sum)) * gamma);
}

}  // namespace

void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                          double requested_gamma, HostAddress alpha, bool local_end,
                          bool last_row_only, double requested_ref_gap_penalty) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    const float gamma = checked_gamma(requested_gamma);
    const float ref_gap_penalty = checked_ref_gap_penalty(requested_ref_gap_penalty, local_end);
    const auto distance = host_pointer<const float>(distance_matrix);
    const auto score = host_pointer<float>(score_matrix);
    const auto biases = host_pointer<const float>(alpha);
    const auto finals = host_pointer<float>(scores);
    for_each_signal(batch, [&](const Signal& signal) {
        float* own_score = score + signal.first_cell;
        HWY_DYNAMIC_DISPATCH(ForwardSignal)
        (distance + signal.first_cell, own_score, signal.rows, signal.cols,
         bias_of(biases, signal.index), gamma);
        const std::int64_t cells = std::int64_t{signal.rows} * signal.cols;
        finals[signal.index] =
            local_end ? free_end_score(
                            FreeEndTerminals{own_score, AntidiagMatrix{0, signal.rows, signal.cols},
                                             1.0f / gamma, ref_gap_penalty,
                                             FreeEndTerminals::count_of(signal.rows, signal.cols,
                                                                        last_row_only)},
                            gamma)
                      : own_score[cells - 1];
    });
}

void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           HostAddress distance_matrix, HostAddress score_matrix,
                           HostAddress gradient_matrix, double requested_gamma, HostAddress alpha,
                           bool local_end, HostAddress scores, bool last_row_only,
                           double requested_ref_gap_penalty) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    if (local_end && scores == 0) {
        throw std::runtime_error(
            "calc_softdtw_backward: scores_ptr is required when local_end is true");
    }
    const float gamma = checked_gamma(requested_gamma);
    const float ref_gap_penalty = checked_ref_gap_penalty(requested_ref_gap_penalty, local_end);
    const auto distance = host_pointer<const float>(distance_matrix);
    const auto score = host_pointer<const float>(score_matrix);
    const auto gradient = host_pointer<float>(gradient_matrix);
    const auto biases = host_pointer<const float>(alpha);
    const auto finals = host_pointer<const float>(scores);
    for_each_signal(batch, [&](const Signal& signal) {
        HWY_DYNAMIC_DISPATCH(BackwardSignal)
        (distance + signal.first_cell, score + signal.first_cell, gradient + signal.first_cell,
         signal.rows, signal.cols, bias_of(biases, signal.index), gamma, local_end,
         local_end ? finals[signal.index] : 0.0f, last_row_only, ref_gap_penalty);
    });
}

std::string last_instruction_set() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

void force_instruction_set(const std::string& name) {
    if (name == "best") {
        hwy::SetSupportedTargetsForTest(0);
    } else if (name == "scalar") {
        hwy::SetSupportedTargetsForTest(HWY_BASELINE_SCALAR);
    } else {
        throw std::invalid_argument("instruction set must be 'best' or 'scalar', got: " + name);
    }
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
