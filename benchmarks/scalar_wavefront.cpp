// A plain scalar Soft-DTW wavefront over the anti-diagonal layout, as a yardstick for the CPU
// twin: the same float32 steps as the kernels, one signal at a time, the two diagonals before
// (after, going back) and the position on the diagonal kept in local variables, no layout
// index recomputed per cell. Built by benchmark.py with the library's float flags.
#include <algorithm>
#include <cmath>
#include <cstdint>

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

}  // namespace

extern "C" void scalar_forward(const float* distance, float* score, int n, int m, float gamma) {
    const float inv_gamma = 1.0f / gamma;
    score[0] = distance[0];
    Span before{0, 0, 0};
    Span previous{0, 0, 1};
    for (int d = 1; d < n + m - 1; ++d) {
        const Span here = next_span(previous, d, n, m);
        for (int p = 0; p < here.length; ++p) {
            const int j = here.first_col + p;
            const int i = d - j;
            const float up = i >= 1 ? -(inv_gamma * score[previous.start + j - previous.first_col])
                                    : -INFINITY;
            const float left = j >= 1
                                   ? -(inv_gamma * score[previous.start + j - 1 - previous.first_col])
                                   : -INFINITY;
            const float corner = i >= 1 && j >= 1
                                     ? -(inv_gamma * score[before.start + j - 1 - before.first_col])
                                     : -INFINITY;
            score[here.start + p] = distance[here.start + p] + softmin(up, corner, left, gamma);
        }
        before = previous;
        previous = here;
    }
}

extern "C" void scalar_backward(const float* distance, const float* score, float* gradient, int n,
                                int m, float gamma) {
    const float inv_gamma = 1.0f / gamma;
    const int cells = n * m;
    gradient[cells - 1] = 1.0f;
    // Spans from the end: the last diagonal holds the last cell.
    Span after{cells, m - 1, 0};
    Span next{cells - 1, m - 1, 1};
    for (int d = n + m - 3; d >= 0; --d) {
        const int first_col = d < n ? 0 : d - n + 1;
        const int last_col = d < m ? d : m - 1;
        const Span here{next.start - (last_col - first_col + 1), first_col,
                        last_col - first_col + 1};
        for (int p = 0; p < here.length; ++p) {
            const int j = here.first_col + p;
            const int i = d - j;
            const float r = score[here.start + p];
            float e = 0.0f;
            if (i + 1 < n) {
                const int s = next.start + j - next.first_col;
                e = std::fma(gradient[s], weight(score[s], r, distance[s], inv_gamma), e);
            }
            if (i + 1 < n && j + 1 < m) {
                const int s = after.start + j + 1 - after.first_col;
                e = std::fma(gradient[s], weight(score[s], r, distance[s], inv_gamma), e);
            }
            if (j + 1 < m) {
                const int s = next.start + j + 1 - next.first_col;
                e = std::fma(gradient[s], weight(score[s], r, distance[s], inv_gamma), e);
            }
            gradient[here.start + p] = e;
        }
        after = next;
        next = here;
    }
}
