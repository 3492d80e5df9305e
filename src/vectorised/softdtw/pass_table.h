// The interface between the Soft-DTW drivers (drivers.cpp) and the passes compiled for every
// instruction set (passes_float32.cpp, passes_mixed.cpp, passes_float64.cpp, built from the
// -inl.h headers beside this one): what a driver hands a pass, and one table of the passes'
// entry points per path, for the instruction set chosen at the call. Nothing here depends on
// the instruction set.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "common/antidiag_index.h"
#include "vectorised/costs.h"
#include "vectorised/tiles.h"

namespace orvane::vectorised {

// x / gamma as each path forms it. The float32 path multiplies by 1/gamma rounded to float32,
// the kernels' step. The float64 and mixed paths divide: a rounded 1/gamma errs the same way
// at every cell, and the forward pass, which takes each score through -R / gamma and back,
// added that error to R at every step, so that it grew with the path (8e-14 of a
// 2048 x 2048 score at gamma = 0.1, where quotients leave 3e-15, tslearn's error).
template <typename T>
struct GammaScale {
    T gamma;
    T inverse;

    explicit GammaScale(T gamma) : gamma(gamma), inverse(T{1} / gamma) {}

    T operator()(T x) const {
        if constexpr (std::is_same_v<T, float>) {
            return inverse * x;
        } else {
            return x / gamma;
        }
    }
};

// The diagonals as the passes walk them, positions in 64 bits: a pass that keeps no matrix,
// or only checkpoints of one, takes a signal of any number of cells.
using Span = DiagonalCells<std::int64_t>;

inline Span span_of(int diagonal, int rows, int cols) {
    return diagonal_span<std::int64_t>(diagonal, rows, cols);
}

// What the lean backward pass of one signal takes besides its score matrix; gradients
// channel-major.
template <typename Data, typename Score>
struct SignalGradients {
    const SampleSource<Data>* source;
    const Band* band;
    Data* sample_gradients;
    Data* reference_gradients;
    Data weight;
    Data bias;
    Data gamma;
    bool free_end;
    Score final_score;
    bool last_row_only;
    Data ref_gap_penalty;
};

// What the lean passes of signals side by side take: their samples and references
// interleaved, a lane a signal (sample i of channel c of lane k at (c * rows + i) * lanes + k,
// reference value j at (c * cols + j) * lanes + k: each lane its own reference, or every lane
// the same), their band and biases; the backward pass also their gradients so interleaved,
// and weights and final scores a lane each, `adding` zero for a lane whose band leaves its
// signal without a path.
template <typename Data, typename Score>
struct SideSignals {
    const Data* samples;
    const Data* references;
    int channels;
    CostKind kind;
    const Band* band;
    int rows;
    int cols;
    const Data* biases;
    Data gamma;
    Data* sample_gradients;
    Data* reference_gradients;
    const Data* weights;
    const Data* adding;
    bool free_end = false;
    const Score* final_scores;
    bool last_row_only = false;
    Data ref_gap_penalty = 0;
};

// R of a signal whose score matrix is not kept whole: the forward pass keeps two consecutive
// diagonals before every `segment`-th one (a checkpoint), and the backward pass computes each
// segment's diagonals again from its checkpoint, one segment at a time, into one buffer. A
// segment of about sqrt(2 D) of the D diagonals makes the checkpoints and the buffer about
// equal and their sum least; every segment is computed once more, whatever its length.
// The workspace holds the checkpoints of segments 1 .. segments - 1, then the buffer of one
// segment's diagonals start - 2 .. stop; each diagonal takes `stride` cells.
struct CheckpointPlan {
    int rows;
    int cols;
    int stride;
    int segment;
    int segments;

    CheckpointPlan(int rows, int cols)
        : rows(rows),
          cols(cols),
          stride(std::min(rows, cols)),
          segment(std::max(2, static_cast<int>(std::ceil(std::sqrt(2.0 * diagonals()))))),
          segments((diagonals() + segment - 1) / segment) {}

    int diagonals() const { return rows + cols - 1; }
    std::int64_t cells() const { return std::int64_t{2 * (segments - 1) + segment + 3} * stride; }

    // Where a checkpoint diagonal is kept, or nullptr for the other diagonals.
    template <typename T>
    T* checkpoint(T* workspace, int diagonal) const {
        for (const int before : {2, 1}) {
            const int start = diagonal + before;
            if (start % segment == 0 && start / segment >= 1 && start / segment < segments) {
                return row(workspace, 2 * (start / segment - 1) + 2 - before);
            }
        }
        return nullptr;
    }

    // The buffer's row of diagonal `diagonal`, in the segment that starts at `start`.
    template <typename T>
    T* buffered(T* workspace, int start, int diagonal) const {
        return row(workspace, 2 * (segments - 1) + diagonal - start + 2);
    }

private:
    template <typename T>
    T* row(T* workspace, int index) const {
        return workspace + std::int64_t{index} * stride;
    }
};

// What a forward pass that keeps no score matrix keeps of one signal: the last cell's score,
// and with a free end the terminals' scores in the order the free-end soft minimum folds them
// (the last row, then the last column above it); +inf for a terminal outside a band.
template <typename T>
struct FinalScores {
    int rows;
    int cols;
    bool free_end;
    T last = 0;
    std::vector<T> terminals;

    FinalScores(int rows, int cols, bool free_end)
        : rows(rows),
          cols(cols),
          free_end(free_end),
          terminals(free_end ? static_cast<std::size_t>(rows + cols - 1) : 0,
                    std::numeric_limits<T>::infinity()) {}

    // Cell (i, j)'s score, when it is a terminal or the last cell.
    void take(int i, int j, T value) {
        if (i == rows - 1 && j == cols - 1) {
            last = value;
        }
        if (!free_end) {
            return;
        }
        if (i == rows - 1) {
            terminals[static_cast<std::size_t>(j)] = value;
        } else if (j == cols - 1) {
            terminals[static_cast<std::size_t>(cols + i)] = value;
        }
    }
};

// One path's passes for one instruction set: Data is the type of its distances, biases and
// gradients, Score that of its scores (the mixed path: float data, double scores). Each entry
// is the entry template of the same name in entries-inl.h. The passes along the diagonals
// take one signal, or one tile of it (the whole matrix by default); the `_side` ones take a
// group of signals of one shape side by side, one a lane, where the path has them.
template <typename Data, typename Score>
struct PassTable {
    const char* instruction_set;

    // Along the diagonals, over stored matrices: R from the distances; E from the distances
    // and R (with a free end, each terminal starts from its share of `final_score`).
    void (*forward_stored)(const Data* distance, Score* score, int rows, int cols, Data bias,
                           Data gamma, const Tile<Score>* tile);
    void (*backward_stored)(const Data* distance, const Score* score, Data* gradient, int rows,
                            int cols, Data bias, Data gamma, bool free_end, Score final_score,
                            bool last_row_only, Data ref_gap_penalty, const Tile<Data>* tile);
    // Along the diagonals, every cost formed from the samples: the final scores alone; R
    // stored with them; or checkpoints of R with them (never tiled).
    void (*scores_only)(const SampleSource<Data>* source, const Band* band,
                        FinalScores<Score>* kept, Data bias, Data gamma, const Tile<Score>* tile);
    void (*forward_samples)(const SampleSource<Data>* source, const Band* band, Score* score,
                            FinalScores<Score>* kept, Data bias, Data gamma,
                            const Tile<Score>* tile);
    void (*forward_checkpoints)(const SampleSource<Data>* source, const Band* band,
                                Score* workspace, FinalScores<Score>* kept, Data bias, Data gamma);
    // The gradients of one signal's score added straight into its samples' and the
    // reference's, from R stored or from its checkpoints (never tiled).
    void (*gradients_stored)(const Score* score, const SignalGradients<Data, Score>* signal,
                             const Tile<Data>* tile);
    void (*gradients_checkpointed)(Score* workspace, const SignalGradients<Data, Score>* signal);

    // Signals side by side: how many a group of the final scores alone holds, and how many a
    // group of the other passes holds; 0 where none run so. A path whose side_lanes is 0 on
    // every instruction set (float64) leaves the entries after scores_only_side null.
    int score_lanes;
    int side_lanes;
    // The final scores alone of a group, from its samples and references interleaved
    // (SideSignals' order).
    void (*scores_only_side)(const Data* samples, const Data* references, int channels,
                             CostKind kind, const Band* band, FinalScores<Score>* const* kept,
                             const Data* biases, int rows, int cols, Data gamma);
    // Over the stored matrices of a group, one a lane, the whole matrix (no band); the mixed
    // path's backward pass reads no distance or bias.
    void (*forward_stored_side)(const Data* const* distances, Score* const* scores,
                                const Data* biases, int rows, int cols, Data gamma);
    void (*backward_stored_side)(const Data* const* distances, const Score* const* scores,
                                 Data* const* gradients, const Data* biases, int rows, int cols,
                                 Data gamma, bool free_end, const Score* final_scores,
                                 bool last_row_only, Data ref_gap_penalty);
    // The lean passes of a group: R (and the final scores) from the samples, then the
    // gradients added into the group's interleaved sums.
    void (*forward_samples_side)(const SideSignals<Data, Score>* side, Score* const* score_matrices,
                                 FinalScores<Score>* const* kept);
    void (*gradients_stored_side)(const SideSignals<Data, Score>* side,
                                  const Score* const* score_matrices);
};

// Each path's table for the instruction set chosen now (hwy::GetChosenTarget()).
const PassTable<float, float>& float32_passes();
const PassTable<float, double>& mixed_passes();
const PassTable<double, double>& float64_passes();

}  // namespace orvane::vectorised
