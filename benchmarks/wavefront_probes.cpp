// Two reference wavefronts ("probes") of the float32 training step, forward then backward,
// that benchmarks/shapes.py times beside orvane_cpu: the float steps of scalar_wavefront.cpp
// (global end, no per-signal bias), Highway's Exp and Log, and as little else as possible.
//  - Along the diagonal: one signal at a time, a vector holding consecutive cells of one
//    anti-diagonal; the matrices in the library's anti-diagonal layout.
//  - Signals side by side: a group of as many equal-length signals as a vector has lanes,
//    lane k holding signal k's cell; the matrices interleaved, cell c of lane k at
//    c * lanes + k, cells in the anti-diagonal order, so that the cells of one diagonal, which
//    do not depend on one another, keep the pipelines full.
// Both keep the diagonals the recurrence reads in small buffers padded at both ends, so that
// the cells on a matrix's edges take the same vector path as every other cell. Distances are
// finite or +inf (no path runs through a +inf cell); -inf and NaN are not handled.
// Built by wavefront_probes.py for the build machine's instruction set (Highway's static
// target) with the library's float flags.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "hwy/contrib/math/math-inl.h"
#include "hwy/highway.h"
#include "common/antidiag_index.h"
#include "common/neighbour_shifts.h"

HWY_BEFORE_NAMESPACE();
namespace probes::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;
using Tag = hn::ScalableTag<float>;
using Vec = hn::Vec<Tag>;
constexpr int kLanes = static_cast<int>(hn::MaxLanes(Tag()));
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// softmin_gamma of three scores given scaled, -R / gamma (-inf for an absent one): a
// log-sum-exp shifted by the largest. Where no predecessor has a finite score the result is
// set to +inf, not left to what Exp makes of the exponents -inf - -inf.
HWY_INLINE Vec Softmin(Vec a, Vec b, Vec c, Vec gamma) {
    const Tag d;
    const Vec largest = hn::Max(hn::Max(a, b), c);
    const Vec sum =
        hn::Add(hn::Add(hn::Exp(d, hn::Sub(a, largest)), hn::Exp(d, hn::Sub(b, largest))),
                hn::Exp(d, hn::Sub(c, largest)));
    const Vec value = hn::Mul(hn::Sub(hn::Neg(hn::Log(d, sum)), largest), gamma);
    return hn::IfThenElse(hn::Eq(largest, hn::Set(d, -kInfinity)), hn::Set(d, kInfinity), value);
}

// d R(successor) / d R(cell) = exp((R_s - R - D_s) / gamma). A +inf successor gives no weight;
// a +inf cell needs no test, its exponent being -inf.
HWY_INLINE Vec StepWeight(Vec successor_score, Vec score, Vec successor_cost, Vec inv_gamma) {
    const Tag d;
    const Vec t = hn::Mul(hn::Sub(hn::Sub(successor_score, score), successor_cost), inv_gamma);
    return hn::IfThenZeroElse(hn::Eq(successor_score, hn::Set(d, kInfinity)), hn::Exp(d, t));
}

// How a probe's vectors cover a diagonal: kWidth floats a cell (1 when the lanes are
// consecutive cells of one signal, kLanes when they are one cell of kLanes signals), kStep
// cells a vector.
template <int kWidth>
struct Layout {
    static constexpr int kStep = kLanes / kWidth;

    // The last vector of a diagonal may be partial; its loads and stores stop at the
    // diagonal's end, which may be the end of the matrix, and of the memory.
    static Vec Load(const float* p, int count) {
        const Tag d;
        if (kStep == 1 || count == kStep) {
            return hn::LoadU(d, p);
        }
        return hn::MaskedLoad(hn::FirstN(d, count), d, p);
    }

    static void Store(Vec v, float* p, int count) {
        const Tag d;
        if (kStep == 1 || count == kStep) {
            hn::StoreU(v, d, p);
        } else {
            hn::BlendedStore(v, hn::FirstN(d, count), d, p);
        }
    }
};

// Three diagonals of one quantity, kWidth floats a cell, each with a pad cell before position
// 0 and room after its last cell for a pad and a partial vector's overhang.
template <int kWidth>
class Rolling {
public:
    Rolling(int longest, float pad)
        : stride_((static_cast<std::size_t>(longest) + 2 + kLanes) * kWidth),
          values_(3 * stride_, pad),
          pad_(pad) {}

    float* operator[](int diagonal) {
        return values_.data() + ((diagonal % 3 + 3) % 3) * stride_ + kWidth;
    }

    // The pad after a diagonal's cells: the passes next to it read one cell beyond its end.
    void Fence(int diagonal, int length) {
        std::fill_n((*this)[diagonal] + static_cast<std::size_t>(length) * kWidth, kWidth, pad_);
    }

private:
    std::size_t stride_;
    std::vector<float> values_;
    float pad_;
};

using orvane::PredecessorShifts;
using orvane::SuccessorShifts;

// R of one matrix (kWidth signals' when interleaved), and its last cell's scores.
template <int kWidth>
void Forward(const float* distance, float* score, float* final_scores, int rows, int cols,
             float gamma) {
    using Cells = Layout<kWidth>;
    const Tag d;
    const Vec gamma_v = hn::Set(d, gamma);
    const Vec inv_gamma = hn::Set(d, 1.0f / gamma);
    const auto scale = [&](Vec r) { return hn::Neg(hn::Mul(inv_gamma, r)); };
    Rolling<kWidth> scaled(std::min(rows, cols), -kInfinity);

    const Vec origin = Cells::Load(distance, 1);
    Cells::Store(origin, score, 1);
    hn::StoreU(scale(origin), d, scaled[0]);
    scaled.Fence(0, 1);
    for (int diagonal = 1; diagonal < rows + cols - 1; ++diagonal) {
        const orvane::DiagonalSpan span = orvane::diagonal_span(diagonal, rows, cols);
        const PredecessorShifts shifts(diagonal, rows);
        const float* previous = scaled[diagonal - 1];
        const float* before_previous = scaled[diagonal - 2];
        float* current = scaled[diagonal];
        for (int p = 0; p < span.length; p += Cells::kStep) {
            const int count = std::min(Cells::kStep, span.length - p);
            const std::int64_t at = (static_cast<std::int64_t>(span.start) + p) * kWidth;
            const Vec up = hn::LoadU(d, previous + (p + shifts.up) * kWidth);
            const Vec left = hn::LoadU(d, previous + (p - 1 + shifts.up) * kWidth);
            const Vec corner = hn::LoadU(d, before_previous + (p + shifts.corner) * kWidth);
            const Vec r =
                hn::Add(Cells::Load(distance + at, count), Softmin(up, corner, left, gamma_v));
            Cells::Store(r, score + at, count);
            hn::StoreU(scale(r), d, current + p * kWidth);
        }
        scaled.Fence(diagonal, span.length);
    }
    std::copy_n(score + (static_cast<std::int64_t>(rows) * cols - 1) * kWidth, kWidth,
                final_scores);
}

// One diagonal's R, D and E as the backward pass keeps them.
template <int kWidth>
struct BackwardDiagonals {
    // Pads: an absent successor has an infinite score (so no weight) and no gradient.
    Rolling<kWidth> score, cost, gradient;

    explicit BackwardDiagonals(int longest)
        : score(longest, kInfinity), cost(longest, 0.0f), gradient(longest, 0.0f) {}

    struct At {
        float* score;
        float* cost;
        float* gradient;
    };
    At operator[](int diagonal) { return At{score[diagonal], cost[diagonal], gradient[diagonal]}; }

    void Fence(int diagonal, int length) {
        score.Fence(diagonal, length);
        cost.Fence(diagonal, length);
        gradient.Fence(diagonal, length);
    }
};

// E of one matrix (kWidth signals' when interleaved), swept from the last diagonal to the
// first; the last cell starts from 1, and every cell adds its successors' E times their
// weights: down, corner, then right, in fused multiply-adds.
template <int kWidth>
void Backward(const float* distance, const float* score, float* gradient, int rows, int cols,
              float gamma) {
    using Cells = Layout<kWidth>;
    const Tag d;
    const Vec inv_gamma = hn::Set(d, 1.0f / gamma);
    BackwardDiagonals<kWidth> kept(std::min(rows, cols));
    const int last_diagonal = rows + cols - 2;
    for (int diagonal = last_diagonal; diagonal >= 0; --diagonal) {
        const orvane::DiagonalSpan span = orvane::diagonal_span(diagonal, rows, cols);
        const SuccessorShifts shifts(diagonal, rows);
        const auto here = kept[diagonal];
        const auto next = kept[diagonal + 1];
        const auto far = kept[diagonal + 2];
        const Vec seed = hn::Set(d, diagonal == last_diagonal ? 1.0f : 0.0f);
        for (int p = 0; p < span.length; p += Cells::kStep) {
            const int count = std::min(Cells::kStep, span.length - p);
            const std::int64_t at = (static_cast<std::int64_t>(span.start) + p) * kWidth;
            const Vec r = Cells::Load(score + at, count);
            hn::StoreU(r, d, here.score + p * kWidth);
            hn::StoreU(Cells::Load(distance + at, count), d, here.cost + p * kWidth);
            const auto add = [&](const auto& successors, int position, Vec e) {
                const int offset = position * kWidth;
                const Vec weight = StepWeight(hn::LoadU(d, successors.score + offset), r,
                                              hn::LoadU(d, successors.cost + offset), inv_gamma);
                return hn::MulAdd(hn::LoadU(d, successors.gradient + offset), weight, e);
            };
            Vec e = add(next, p + shifts.down, seed);
            e = add(far, p + shifts.corner, e);
            e = add(next, p + 1 + shifts.down, e);
            Cells::Store(e, gradient + at, count);
            hn::StoreU(e, d, here.gradient + p * kWidth);
        }
        kept.Fence(diagonal, span.length);
    }
}

// One matrix of a batch: kWidth signals' when interleaved.
struct Unit {
    int index;
    int rows;
    std::int64_t offset;  // in floats
};

// Calls work(unit) for every matrix of a batch on `threads` threads, the largest matrices
// first, each thread taking the next as it finishes one, so that a batch of mixed lengths
// keeps every thread busy to the end.
template <int kWidth, class Work>
void ForEachMatrix(const int* rows, int count, int cols, int threads, const Work& work) {
    std::vector<Unit> units;
    std::int64_t offset = 0;
    for (int k = 0; k < count; ++k) {
        units.push_back(Unit{k, rows[k], offset});
        offset += static_cast<std::int64_t>(rows[k]) * cols * kWidth;
    }
    std::stable_sort(units.begin(), units.end(),
                     [](const Unit& a, const Unit& b) { return a.rows > b.rows; });
    std::atomic<int> next{0};
    const auto worker = [&] {
        for (int k = next++; k < count; k = next++) {
            work(units[k]);
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < std::min(threads, count); ++t) {
        helpers.emplace_back(worker);
    }
    worker();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

template <int kWidth>
void ForwardBatch(const float* distance, float* score, float* final_scores, const int* rows,
                  int count, int cols, float gamma, int threads) {
    ForEachMatrix<kWidth>(rows, count, cols, threads, [&](const Unit& unit) {
        Forward<kWidth>(distance + unit.offset, score + unit.offset,
                        final_scores + unit.index * kWidth, unit.rows, cols, gamma);
    });
}

template <int kWidth>
void BackwardBatch(const float* distance, const float* score, float* gradient, const int* rows,
                   int count, int cols, float gamma, int threads) {
    ForEachMatrix<kWidth>(rows, count, cols, threads, [&](const Unit& unit) {
        Backward<kWidth>(distance + unit.offset, score + unit.offset, gradient + unit.offset,
                         unit.rows, cols, gamma);
    });
}

}  // namespace
}  // namespace probes::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

namespace target = probes::HWY_NAMESPACE;

extern "C" {

int probe_lanes() { return target::kLanes; }

// Along the diagonal: `count` signals of rows[k] x cols cells in the anti-diagonal layout.
void along_forward(const float* distance, float* score, float* scores, const int* rows, int count,
                   int cols, float gamma, int threads) {
    target::ForwardBatch<1>(distance, score, scores, rows, count, cols, gamma, threads);
}

void along_backward(const float* distance, const float* score, float* gradient, const int* rows,
                    int count, int cols, float gamma, int threads) {
    target::BackwardBatch<1>(distance, score, gradient, rows, count, cols, gamma, threads);
}

// Side by side: `count` groups of probe_lanes() signals of rows[g] x cols cells, interleaved;
// scores come lane by lane, probe_lanes() a group.
void side_by_side_forward(const float* distance, float* score, float* scores, const int* rows,
                          int count, int cols, float gamma, int threads) {
    target::ForwardBatch<target::kLanes>(distance, score, scores, rows, count, cols, gamma,
                                         threads);
}

void side_by_side_backward(const float* distance, const float* score, float* gradient,
                           const int* rows, int count, int cols, float gamma, int threads) {
    target::BackwardBatch<target::kLanes>(distance, score, gradient, rows, count, cols, gamma,
                                          threads);
}

}  // extern "C"
