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
#include <optional>
#include <stdexcept>
#include <type_traits>
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
template <typename T>
class RollingDiagonals {
public:
    RollingDiagonals(int longest, T pad)
        : stride_(static_cast<std::size_t>(longest) + 2 + 2 * kMaxLanes<T>),
          values_(3 * stride_, pad),
          pad_(pad) {}

    T* operator[](int d) { return values_.data() + (((d % 3) + 3) % 3) * stride_ + 1; }

    // The pad after diagonal d's last cell, once its cells are written.
    void close(int d, int length) { (*this)[d][length] = pad_; }

    // Diagonal d as one outside the matrix: pads only.
    void clear(int d) { std::fill((*this)[d] - 1, (*this)[d] - 1 + stride_, pad_); }

private:
    std::size_t stride_;
    std::vector<T> values_;
    T pad_;
};

// softmin_gamma of three scores given scaled, -R / gamma (-inf for an absent one): a
// log-sum-exp shifted by the largest number; +inf when none is a number, NaN when any is NaN.
template <class D>
VecOf<D> Softmin(D d, VecOf<D> a, VecOf<D> b, VecOf<D> c, VecOf<D> gamma) {
    using T = Lane<D>;
    const VecOf<D> largest = MaxOfNumbers(MaxOfNumbers(a, b), c);
    const auto any_nan = hn::Or(hn::IsNaN(a), hn::Or(hn::IsNaN(b), hn::IsNaN(c)));
    const VecOf<D> sum =
        hn::Add(hn::Add(ExpOf(d, hn::Sub(a, largest)), ExpOf(d, hn::Sub(b, largest))),
                ExpOf(d, hn::Sub(c, largest)));
    VecOf<D> result = hn::Mul(hn::Sub(hn::Neg(hn::Log(d, sum)), largest), gamma);
    const VecOf<D> infinity = hn::Set(d, kInfinity<T>);
    result = hn::IfThenElse(hn::Eq(largest, infinity), hn::Neg(infinity), result);
    result = hn::IfThenElse(hn::Eq(largest, hn::Neg(infinity)), infinity, result);
    return hn::IfThenElse(any_nan, hn::Set(d, std::numeric_limits<T>::quiet_NaN()), result);
}

// Where the up (and left) and the diagonal neighbours of position p of a diagonal sit on the
// two diagonals before it: p + up (p - 1 + up) and p + corner.
struct PredecessorShifts {
    int up;
    int corner;

    PredecessorShifts(int diagonal, int rows)
        : up(diagonal >= rows ? 1 : 0),
          corner(diagonal <= rows - 1 ? -1 : (diagonal == rows ? 0 : 1)) {}
};

// The soft minimum of the predecessors of the cells p, p + 1, ... of a diagonal, from the
// scaled scores (-R / gamma, padded) of the two diagonals before it.
template <class D>
VecOf<D> PredecessorSoftmin(D d, const Lane<D>* previous, const Lane<D>* before_previous, int p,
                            PredecessorShifts shifts, VecOf<D> gamma) {
    const auto up = hn::LoadU(d, previous + p + shifts.up);
    const auto left = hn::LoadU(d, previous + p - 1 + shifts.up);
    const auto corner = hn::LoadU(d, before_previous + p + shifts.corner);
    return Softmin(d, up, corner, left, gamma);
}

// R of one signal, and its scaled scores' diagonals as the recurrence needs them.
template <typename T>
void ForwardSignal(const T* distance, T* score, int rows, int cols, T bias, T gamma) {
    const TagOf<T> d;
    const std::size_t lanes = hn::Lanes(d);
    const T inv_gamma = T{1} / gamma;
    const auto gamma_v = hn::Set(d, gamma);
    const auto inv_gamma_v = hn::Set(d, inv_gamma);
    const auto bias_v = hn::Set(d, bias);
    RollingDiagonals<T> scaled(std::min(rows, cols), -kInfinity<T>);

    score[0] = distance[0] - bias;
    scaled[0][0] = -(inv_gamma * score[0]);
    scaled.close(0, 1);
    for (int diagonal = 1; diagonal < rows + cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        const PredecessorShifts shifts(diagonal, rows);
        const T* previous = scaled[diagonal - 1];
        const T* before_previous = scaled[diagonal - 2];
        T* current = scaled[diagonal];
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            const auto cost = hn::Sub(LoadPart(d, distance + span.start + p, count), bias_v);
            const auto value =
                hn::Add(cost, PredecessorSoftmin(d, previous, before_previous, p, shifts, gamma_v));
            StorePart(d, value, score + span.start + p, count);
            hn::StoreU(hn::Neg(hn::Mul(inv_gamma_v, value)), d, current + p);
        }
        scaled.close(diagonal, span.length);
    }
}

// What the shares of a diagonal's predecessors are formed from, diagonal by diagonal, from
// the stored scores: for each cell s the least score m_s among its predecessors and
// Z_s = sum over them of exp((m_s - R) / gamma). A predecessor's share exp((m_s - R) /
// gamma) / Z_s is its weight in s's soft minimum; the shares of s add up to one to a few
// roundings however large the scores, since m_s - R is a difference of neighbouring scores,
// exact, where R_s - c_s - R carries the rounding of R_s (about 1e-12 at R = 1e4).
template <typename T>
class PredecessorShares {
public:
    PredecessorShares(const T* score, int rows, int cols, T gamma)
        : score_(score),
          rows_(rows),
          cols_(cols),
          inv_gamma_(T{1} / gamma),
          scores_(std::min(rows, cols), kInfinity<T>),
          least_(std::min(rows, cols), T{0}),
          totals_(std::min(rows, cols), T{1}) {}

    // Makes diagonal + 1's available, as a sweep from the last diagonal down reaches
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

    const T* least(int diagonal) { return least_[diagonal]; }
    const T* totals(int diagonal) { return totals_[diagonal]; }

private:
    void load_scores(int diagonal) {
        if (diagonal < 0) {
            scores_.clear(diagonal);
            return;
        }
        const TagOf<T> d;
        const std::size_t lanes = hn::Lanes(d);
        const DiagonalSpan span = diagonal_span(diagonal, rows_, cols_);
        T* own = scores_[diagonal];
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            hn::StoreU(LoadPart(d, score_ + span.start + p, count), d, own + p);
        }
        scores_.close(diagonal, span.length);
    }

    void compute(int diagonal) {
        const TagOf<T> d;
        const std::size_t lanes = hn::Lanes(d);
        const auto inv_gamma = hn::Set(d, inv_gamma_);
        const DiagonalSpan span = diagonal_span(diagonal, rows_, cols_);
        const PredecessorShifts shifts(diagonal, rows_);
        const T* previous = scores_[diagonal - 1];
        const T* before_previous = scores_[diagonal - 2];
        T* least = least_[diagonal];
        T* totals = totals_[diagonal];
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const auto up = hn::LoadU(d, previous + p + shifts.up);
            const auto left = hn::LoadU(d, previous + p - 1 + shifts.up);
            const auto corner = hn::LoadU(d, before_previous + p + shifts.corner);
            const auto m = hn::Min(hn::Min(up, corner), left);
            const auto share = [&](auto r) { return ExpOf(d, hn::Mul(hn::Sub(m, r), inv_gamma)); };
            hn::StoreU(m, d, least + p);
            hn::StoreU(hn::Add(hn::Add(share(up), share(corner)), share(left)), d, totals + p);
        }
        least_.close(diagonal, span.length);
        totals_.close(diagonal, span.length);
    }

    const T* score_;
    int rows_;
    int cols_;
    T inv_gamma_;
    RollingDiagonals<T> scores_;
    RollingDiagonals<T> least_;
    RollingDiagonals<T> totals_;
};

// d R(successor) / d R(cell) = exp((R_s - R - c_s) / gamma); no weight flows into or out of an
// infinite score.
template <class D>
VecOf<D> StepWeight(D d, VecOf<D> successor_score, VecOf<D> score, VecOf<D> successor_cost,
                    VecOf<D> inv_gamma) {
    const auto t = hn::Mul(hn::Sub(hn::Sub(successor_score, score), successor_cost), inv_gamma);
    const auto infinite = hn::Or(hn::IsInf(successor_score), hn::IsInf(score));
    return hn::IfThenZeroElse(infinite, ExpOf(d, t));
}

// The same weight as the cell's share among its successor's predecessors.
template <class D>
VecOf<D> ShareWeight(D d, VecOf<D> successor_score, VecOf<D> score, VecOf<D> least, VecOf<D> total,
                     VecOf<D> inv_gamma) {
    const auto share = hn::Div(ExpOf(d, hn::Mul(hn::Sub(least, score), inv_gamma)), total);
    const auto infinite = hn::Or(hn::IsInf(successor_score), hn::IsInf(score));
    return hn::IfThenZeroElse(infinite, share);
}

// E of one signal, swept from the last diagonal to the first. With a free end (final_score
// given), every terminal cell starts from its share of the final soft minimum; otherwise the
// last cell starts from 1. float32 takes the kernels' steps; float64 weighs by shares among
// predecessors (PredecessorLevels), which keeps E to about 1e-11 where the scores reach 1e4.
template <typename T>
void BackwardSignal(const T* distance, const T* score, T* gradient, int rows, int cols, T bias,
                    T gamma, bool free_end, T final_score, bool last_row_only, T ref_gap_penalty) {
    const TagOf<T> d;
    const hn::RebindToSigned<TagOf<T>> di;
    using Int = Lane<decltype(di)>;
    const std::size_t lanes = hn::Lanes(d);
    const auto inv_gamma = hn::Set(d, T{1} / gamma);
    const auto bias_v = hn::Set(d, bias);
    const int longest = std::min(rows, cols);
    // Pads: an absent successor has an infinite score (so no weight) and no gradient.
    RollingDiagonals<T> scores(longest, kInfinity<T>), costs(longest, T{0}),
        gradients(longest, T{0});
    const int last_diagonal = rows + cols - 2;
    constexpr bool kShares = std::is_same_v<T, double>;
    std::optional<PredecessorShares<T>> shares;
    if constexpr (kShares) {
        shares.emplace(score, rows, cols, gamma);
    }
    const T* next_least = nullptr;
    const T* next_totals = nullptr;
    const T* far_least = nullptr;
    const T* far_totals = nullptr;
    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, rows, cols);
        if constexpr (kShares) {
            shares->reach(diagonal);
            next_least = shares->least(diagonal + 1);
            next_totals = shares->totals(diagonal + 1);
            far_least = shares->least(diagonal + 2);
            far_totals = shares->totals(diagonal + 2);
        }
        const int down_shift = diagonal <= rows - 2 ? 0 : -1;
        const int corner_shift = diagonal <= rows - 3 ? 1 : (diagonal == rows - 2 ? 0 : -1);
        T* here_scores = scores[diagonal];
        T* here_costs = costs[diagonal];
        T* here_gradients = gradients[diagonal];
        const T* next_scores = scores[diagonal + 1];
        const T* next_costs = costs[diagonal + 1];
        const T* next_gradients = gradients[diagonal + 1];
        const T* far_scores = scores[diagonal + 2];
        const T* far_costs = costs[diagonal + 2];
        const T* far_gradients = gradients[diagonal + 2];
        // The weight of the successor at `at` of the next (or far) diagonal: by element type, from
        // its cost or from its predecessors' shares.
        const auto weight = [&](bool far, int at, auto r) {
            const T* successor_scores = far ? far_scores : next_scores;
            if constexpr (kShares) {
                return ShareWeight(d, hn::LoadU(d, successor_scores + at), r,
                                   hn::LoadU(d, (far ? far_least : next_least) + at),
                                   hn::LoadU(d, (far ? far_totals : next_totals) + at), inv_gamma);
            } else {
                return StepWeight(d, hn::LoadU(d, successor_scores + at), r,
                                  hn::LoadU(d, (far ? far_costs : next_costs) + at), inv_gamma);
            }
        };
        for (int p = 0; p < span.length; p += static_cast<int>(lanes)) {
            const std::size_t count = std::min<std::size_t>(lanes, span.length - p);
            const auto r = LoadPart(d, score + span.start + p, count);
            hn::StoreU(r, d, here_scores + p);
            hn::StoreU(hn::Sub(LoadPart(d, distance + span.start + p, count), bias_v), d,
                       here_costs + p);

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
                const auto share = ExpOf(
                    d, hn::Mul(inv_gamma, hn::Sub(hn::Set(d, final_score), hn::Add(penalty, r))));
                e = hn::IfThenElseZero(hn::RebindMask(d, terminal), share);
            } else if (diagonal == last_diagonal) {
                e = hn::Set(d, T{1});
            }
            const int down = p + down_shift;
            const int right = p + 1 + down_shift;
            const int corner = p + corner_shift;
            e = FusedMulAdd(d, hn::LoadU(d, next_gradients + down), weight(false, down, r), e);
            e = FusedMulAdd(d, hn::LoadU(d, far_gradients + corner), weight(true, corner, r), e);
            e = FusedMulAdd(d, hn::LoadU(d, next_gradients + right), weight(false, right, r), e);
            StorePart(d, e, gradient + span.start + p, count);
            hn::StoreU(e, d, here_gradients + p);
        }
        scores.close(diagonal, span.length);
        costs.close(diagonal, span.length);
        gradients.close(diagonal, span.length);
    }
}

}  // namespace

// The entry points of each element type, which Highway dispatches by name.
void ForwardSignal32(const float* distance, float* score, int rows, int cols, float bias,
                     float gamma) {
    ForwardSignal(distance, score, rows, cols, bias, gamma);
}
void ForwardSignal64(const double* distance, double* score, int rows, int cols, double bias,
                     double gamma) {
    ForwardSignal(distance, score, rows, cols, bias, gamma);
}
void BackwardSignal32(const float* distance, const float* score, float* gradient, int rows,
                      int cols, float bias, float gamma, bool free_end, float final_score,
                      bool last_row_only, float ref_gap_penalty) {
    BackwardSignal(distance, score, gradient, rows, cols, bias, gamma, free_end, final_score,
                   last_row_only, ref_gap_penalty);
}
void BackwardSignal64(const double* distance, const double* score, double* gradient, int rows,
                      int cols, double bias, double gamma, bool free_end, double final_score,
                      bool last_row_only, double ref_gap_penalty) {
    BackwardSignal(distance, score, gradient, rows, cols, bias, gamma, free_end, final_score,
                   last_row_only, ref_gap_penalty);
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(ForwardSignal32);
HWY_EXPORT(ForwardSignal64);
HWY_EXPORT(BackwardSignal32);
HWY_EXPORT(BackwardSignal64);
HWY_EXPORT(TargetName);

namespace {

// The passes and the argument checks of each element type.
template <typename T>
struct Passes;

template <>
struct Passes<float> {
    template <typename... Args>
    static void forward(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSignal32)(args...);
    }
    template <typename... Args>
    static void backward(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSignal32)(args...);
    }
    static float gamma(double value) { return checked_gamma(value); }
    static float penalty(double value, bool local_end) {
        return checked_ref_gap_penalty(value, local_end);
    }
};

template <>
struct Passes<double> {
    template <typename... Args>
    static void forward(Args... args) {
        HWY_DYNAMIC_DISPATCH(ForwardSignal64)(args...);
    }
    template <typename... Args>
    static void backward(Args... args) {
        HWY_DYNAMIC_DISPATCH(BackwardSignal64)(args...);
    }
    static double gamma(double value) { return checked_gamma_float64(value); }
    static double penalty(double value, bool local_end) {
        return checked_ref_gap_penalty_float64(value, local_end);
    }
};

template <typename T>
T bias_of(const T* alpha, int k) {
    return alpha != nullptr ? alpha[k] : T{0};
}

// The free-end soft minimum over the terminals: +inf when none is a number, -inf when one is
// -inf, NaN when some (not all) are NaN.
template <typename T>
T free_end_score(const FreeEndTerminals<T>& terminals, T gamma) {
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

template <typename T>
void softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                     HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                     double requested_gamma, HostAddress alpha, bool local_end, bool last_row_only,
                     double requested_ref_gap_penalty) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    const T gamma = Passes<T>::gamma(requested_gamma);
    const T ref_gap_penalty = Passes<T>::penalty(requested_ref_gap_penalty, local_end);
    const auto distance = host_pointer<const T>(distance_matrix);
    const auto score = host_pointer<T>(score_matrix);
    const auto biases = host_pointer<const T>(alpha);
    const auto finals = host_pointer<T>(scores);
    for_each_signal(batch, [&](const Signal& signal) {
        T* own_score = score + signal.first_cell;
        Passes<T>::forward(distance + signal.first_cell, own_score, signal.rows, signal.cols,
                           bias_of(biases, signal.index), gamma);
        const std::int64_t cells = std::int64_t{signal.rows} * signal.cols;
        finals[signal.index] =
            local_end
                ? free_end_score(
                      FreeEndTerminals<T>{
                          own_score, AntidiagMatrix{0, signal.rows, signal.cols}, T{1} / gamma,
                          ref_gap_penalty,
                          FreeEndTerminals<T>::count_of(signal.rows, signal.cols, last_row_only)},
                      gamma)
                : own_score[cells - 1];
    });
}

template <typename T>
void softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      HostAddress distance_matrix, HostAddress score_matrix,
                      HostAddress gradient_matrix, double requested_gamma, HostAddress alpha,
                      bool local_end, HostAddress scores, bool last_row_only,
                      double requested_ref_gap_penalty) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    if (local_end && scores == 0) {
        throw std::runtime_error(
            "calc_softdtw_backward: scores_ptr is required when local_end is true");
    }
    const T gamma = Passes<T>::gamma(requested_gamma);
    const T ref_gap_penalty = Passes<T>::penalty(requested_ref_gap_penalty, local_end);
    const auto distance = host_pointer<const T>(distance_matrix);
    const auto score = host_pointer<const T>(score_matrix);
    const auto gradient = host_pointer<T>(gradient_matrix);
    const auto biases = host_pointer<const T>(alpha);
    const auto finals = host_pointer<const T>(scores);
    for_each_signal(batch, [&](const Signal& signal) {
        Passes<T>::backward(
            distance + signal.first_cell, score + signal.first_cell, gradient + signal.first_cell,
            signal.rows, signal.cols, bias_of(biases, signal.index), gamma, local_end,
            local_end ? finals[signal.index] : T{0}, last_row_only, ref_gap_penalty);
    });
}

}  // namespace

void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                          double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                          double ref_gap_penalty) {
    softdtw_forward<float>(input_signal_lengths, ref_signal_length, distance_matrix, score_matrix,
                           scores, gamma, alpha, local_end, last_row_only, ref_gap_penalty);
}

void calc_softdtw_forward_float64(const std::vector<int>& input_signal_lengths,
                                  int ref_signal_length, HostAddress distance_matrix,
                                  HostAddress score_matrix, HostAddress scores, double gamma,
                                  HostAddress alpha, bool local_end, bool last_row_only,
                                  double ref_gap_penalty) {
    softdtw_forward<double>(input_signal_lengths, ref_signal_length, distance_matrix, score_matrix,
                            scores, gamma, alpha, local_end, last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           HostAddress distance_matrix, HostAddress score_matrix,
                           HostAddress gradient_matrix, double gamma, HostAddress alpha,
                           bool local_end, HostAddress scores, bool last_row_only,
                           double ref_gap_penalty) {
    softdtw_backward<float>(input_signal_lengths, ref_signal_length, distance_matrix, score_matrix,
                            gradient_matrix, gamma, alpha, local_end, scores, last_row_only,
                            ref_gap_penalty);
}

void calc_softdtw_backward_float64(const std::vector<int>& input_signal_lengths,
                                   int ref_signal_length, HostAddress distance_matrix,
                                   HostAddress score_matrix, HostAddress gradient_matrix,
                                   double gamma, HostAddress alpha, bool local_end,
                                   HostAddress scores, bool last_row_only, double ref_gap_penalty) {
    softdtw_backward<double>(input_signal_lengths, ref_signal_length, distance_matrix, score_matrix,
                             gradient_matrix, gamma, alpha, local_end, scores, last_row_only,
                             ref_gap_penalty);
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
