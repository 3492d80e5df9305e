// A plain scalar Soft-DTW wavefront over the anti-diagonal layout, as a yardstick for the CPU
// twin and as the tests' bit-exact reference for it: the same float32 steps as the kernels,
// one signal at a time, the two diagonals before (after, going back) and the position on the
// diagonal kept in local variables, no layout index recomputed per cell. The free-end score
// folds the terminals in the order of the kernels' block reduction over `threads` threads.
// Built by scalar_wavefront.py with the library's float flags.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

struct Span {
    int start;
    int first_col;
    int length;
};

// Diagonal d's cells of an n x m matrix, from the start of the previous diagonal's span.
Span next_span(const Span& previous, int d, int n, int m) {
    const int first_col = d < n ? 0 : d - n + 1;
    const int last_col = d < m ? d : m - 1;
    return Span{previous.start + previous.length, first_col, last_col - first_col + 1};
}

// Diagonal d's cells, from the start of the next diagonal's span.
Span span_before(const Span& next, int d, int n, int m) {
    const int first_col = d < n ? 0 : d - n + 1;
    const int last_col = d < m ? d : m - 1;
    const int length = last_col - first_col + 1;
    return Span{next.start - length, first_col, length};
}

int cell_of(const Span& span, int j) { return span.start + j - span.first_col; }

float softmin(float a, float b, float c, float gamma) {
    const float largest = std::fmax(std::fmax(a, b), c);
    if (largest == INFINITY) {
        return -INFINITY;
    }
    if (largest == -INFINITY) {
        return std::isnan(a) || std::isnan(b) || std::isnan(c) ? NAN : INFINITY;
    }
    const float sum = (std::exp(a - largest) + std::exp(b - largest)) + std::exp(c - largest);
    return (-std::log(sum) - largest) * gamma;
}

float weight(float successor_score, float score, float successor_cost, float inv_gamma) {
    if (std::fabs(successor_score) == INFINITY || std::fabs(score) == INFINITY) {
        return 0.0f;
    }
    return std::exp(((successor_score - score) - successor_cost) * inv_gamma);
}

// The terminals of a free end, in the kernels' order: the last row, then the last column
// above it.
struct Terminals {
    const float* score;
    int n;
    int m;
    float inv_gamma;
    float ref_gap_penalty;
    int count;

    float scaled(int t) const {
        const int i = t < m ? n - 1 : t - m;
        const int j = t < m ? t : m - 1;
        Span span{0, 0, 1};
        for (int d = 1; d <= i + j; ++d) {
            span = next_span(span, d, n, m);
        }
        return -(inv_gamma *
                 std::fma(static_cast<float>(j), ref_gap_penalty, score[cell_of(span, j)]));
    }
};

// One value per thread folded as the kernels' block reduction does: the slots above the
// largest power of two first, then halving strides; combine(theirs, mine).
template <typename Combine>
float reduce_slots(std::vector<float> slots, Combine combine) {
    const int size = static_cast<int>(slots.size());
    int power = 1;
    while (power * 2 <= size) {
        power *= 2;
    }
    for (int tid = 0; tid + power < size; ++tid) {
        slots[tid] = combine(slots[tid + power], slots[tid]);
    }
    for (int stride = power / 2; stride > 0; stride /= 2) {
        for (int tid = 0; tid < stride; ++tid) {
            slots[tid] = combine(slots[tid + stride], slots[tid]);
        }
    }
    return slots[0];
}

}  // namespace

extern "C" void scalar_forward(const float* distance, float* score, int n, int m, float gamma,
                               float bias) {
    const float inv_gamma = 1.0f / gamma;
    score[0] = distance[0] - bias;
    Span before{0, 0, 0};
    Span previous{0, 0, 1};
    for (int d = 1; d < n + m - 1; ++d) {
        const Span here = next_span(previous, d, n, m);
        for (int p = 0; p < here.length; ++p) {
            const int j = here.first_col + p;
            const int i = d - j;
            const float up = i >= 1 ? -(inv_gamma * score[cell_of(previous, j)]) : -INFINITY;
            const float left = j >= 1 ? -(inv_gamma * score[cell_of(previous, j - 1)]) : -INFINITY;
            const float corner =
                i >= 1 && j >= 1 ? -(inv_gamma * score[cell_of(before, j - 1)]) : -INFINITY;
            score[here.start + p] =
                (distance[here.start + p] - bias) + softmin(up, corner, left, gamma);
        }
        before = previous;
        previous = here;
    }
}

extern "C" float scalar_free_end_score(const float* score, int n, int m, float gamma,
                                       bool last_row_only, float ref_gap_penalty, int threads) {
    const Terminals terminals{
        score, n, m, 1.0f / gamma, ref_gap_penalty, last_row_only ? m : n + m - 1};
    std::vector<float> slots(threads, -INFINITY);
    for (int tid = 0; tid < threads; ++tid) {
        for (int t = tid; t < terminals.count; t += threads) {
            const float x = terminals.scaled(t);
            if (slots[tid] < x) {
                slots[tid] = x;
            }
        }
    }
    const float largest =
        reduce_slots(slots, [](float theirs, float mine) { return theirs > mine ? theirs : mine; });
    if (largest == -INFINITY || largest == INFINITY) {
        return -largest;
    }
    for (int tid = 0; tid < threads; ++tid) {
        float sum = 0.0f;
        for (int t = tid; t < terminals.count; t += threads) {
            sum += std::exp(terminals.scaled(t) - largest);
        }
        slots[tid] = sum;
    }
    const float sum = reduce_slots(slots, [](float theirs, float mine) { return theirs + mine; });
    return -((largest + std::log(sum)) * gamma);
}

// With a free end, final_score is the soft minimum over the terminals and every terminal
// starts with its share of it; without one, the last cell's gradient is 1.
extern "C" void scalar_backward(const float* distance, const float* score, float* gradient, int n,
                                int m, float gamma, float bias, bool local_end, float final_score,
                                bool last_row_only, float ref_gap_penalty) {
    const float inv_gamma = 1.0f / gamma;
    const int cells = n * m;
    // Spans from the end: the last diagonal holds the last cell.
    Span after{cells, m - 1, 0};
    Span next{cells, m - 1, 0};
    for (int d = n + m - 2; d >= 0; --d) {
        const Span here = span_before(next, d, n, m);
        for (int p = 0; p < here.length; ++p) {
            const int j = here.first_col + p;
            const int i = d - j;
            const float r = score[here.start + p];
            float e = 0.0f;
            if (local_end && (i == n - 1 || (j == m - 1 && !last_row_only))) {
                e = std::exp(inv_gamma *
                             (final_score - (static_cast<float>(j) * ref_gap_penalty + r)));
            } else if (!local_end && d == n + m - 2) {
                e = 1.0f;
            }
            if (i + 1 < n) {
                const int s = cell_of(next, j);
                e = std::fma(gradient[s], weight(score[s], r, distance[s] - bias, inv_gamma), e);
            }
            if (i + 1 < n && j + 1 < m) {
                const int s = cell_of(after, j + 1);
                e = std::fma(gradient[s], weight(score[s], r, distance[s] - bias, inv_gamma), e);
            }
            if (j + 1 < m) {
                const int s = cell_of(next, j + 1);
                e = std::fma(gradient[s], weight(score[s], r, distance[s] - bias, inv_gamma), e);
            }
            gradient[here.start + p] = e;
        }
        after = next;
        next = here;
    }
}
