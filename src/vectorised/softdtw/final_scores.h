// The final score of each signal of a Soft-DTW call, from what its forward pass kept: the
// last cell's score, or with a free end the soft minimum over the terminals (the last row,
// and unless last_row_only the last column), formed as the CUDA reducer forms it
// (common/free_end_terminals.h). Used by the drivers (drivers.cpp); the passes keep a stored
// score matrix, or FinalScores (pass_table.h).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "common/antidiag_index.h"
#include "common/free_end_terminals.h"
#include "vectorised/batch.h"
#include "vectorised/softdtw/pass_table.h"

namespace orvane::vectorised {

// The free-end soft minimum over the terminals: +inf when none is a number, -inf when one is
// -inf, NaN when some (not all) are NaN.
template <typename T, class Terminals>
T free_end_score(const Terminals& terminals, T gamma) {
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

// The free-end terminals scaled as the passes scale a score, -(R + g * column) / gamma;
// sums.of(t) gives terminal t's R + g * column, formed in one fused step.
template <typename T, class Sums>
struct ScaledTerminals {
    Sums sums;
    GammaScale<T> over_gamma;
    int count;

    T scaled(int t) const { return -over_gamma(sums.of(t)); }
};

// The terminals' sums of a stored score matrix, as the kernels form them: their
// FreeEndTerminals with 1/gamma taken as 1 scale a sum to exactly its negation.
template <typename T>
struct StoredTerminalSums {
    FreeEndTerminals<T> unscaled;

    T of(int t) const { return -unscaled.scaled(t); }
};

// The final score of a signal whose score matrix is stored: its last cell, or the soft
// minimum over the free-end terminals.
template <typename Score, typename Data>
Score final_score_of(const Score* own_score, const Signal& signal, Data gamma, Data ref_gap_penalty,
                     bool local_end, bool last_row_only) {
    if (!local_end) {
        return own_score[std::int64_t{signal.rows} * signal.cols - 1];
    }
    const int count = FreeEndTerminals<Score>::count_of(signal.rows, signal.cols, last_row_only);
    const ScaledTerminals<Score, StoredTerminalSums<Score>> terminals{
        {{own_score, AntidiagMatrix{0, signal.rows, signal.cols}, Score{1},
          static_cast<Score>(ref_gap_penalty), count}},
        GammaScale<Score>(static_cast<Score>(gamma)),
        count};
    return free_end_score(terminals, static_cast<Score>(gamma));
}

// The sums of the free-end terminals kept by a forward pass without a score matrix, formed as
// StoredTerminalSums forms those of a stored one.
template <typename T>
struct KeptTerminalSums {
    const FinalScores<T>& kept;
    T ref_gap_penalty;

    T of(int t) const {
        const int j = t < kept.cols ? t : kept.cols - 1;
        return fused_multiply_add(static_cast<T>(j), ref_gap_penalty,
                                  kept.terminals[static_cast<std::size_t>(t)]);
    }
};

// The final score of a forward pass that kept no score matrix.
template <typename Score, typename Data>
Score final_score_of(const FinalScores<Score>& kept, Data gamma, Data ref_gap_penalty,
                     bool local_end, bool last_row_only) {
    if (!local_end) {
        return kept.last;
    }
    const ScaledTerminals<Score, KeptTerminalSums<Score>> terminals{
        {kept, static_cast<Score>(ref_gap_penalty)},
        GammaScale<Score>(static_cast<Score>(gamma)),
        FreeEndTerminals<Score>::count_of(kept.rows, kept.cols, last_row_only)};
    return free_end_score(terminals, static_cast<Score>(gamma));
}

}  // namespace orvane::vectorised
