// The entry templates of the Soft-DTW passes, compiled once per instruction set: for each
// entry of a path's table (pass_table.h), the sources and sinks of the call
// (sources_sinks-inl.h) put together and handed to the passes along the diagonals
// (along_diagonals-inl.h) or side by side (side_by_side-inl.h), and TableOf, which fills a
// table with them. Each of passes_float32.cpp, passes_mixed.cpp and passes_float64.cpp
// includes this header and exports its path's table.

#if defined(ORVANE_VECTORISED_SOFTDTW_ENTRIES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ORVANE_VECTORISED_SOFTDTW_ENTRIES_INL_H_
#undef ORVANE_VECTORISED_SOFTDTW_ENTRIES_INL_H_
#else
#define ORVANE_VECTORISED_SOFTDTW_ENTRIES_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "hwy/highway.h"
#include "vectorised/costs.h"
#include "vectorised/softdtw/along_diagonals-inl.h"
#include "vectorised/softdtw/interleave-inl.h"
#include "vectorised/softdtw/pass_table.h"
#include "vectorised/softdtw/side_by_side-inl.h"
#include "vectorised/softdtw/sources_sinks-inl.h"
#include "vectorised/tiles.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

// Along the diagonals, over stored matrices: the whole matrix or one tile of it.
template <typename Data, typename Score>
void ForwardStored(const Data* distance, Score* score, int rows, int cols, Data bias, Data gamma,
                   const Tile<Score>* tile) {
    StoredScores<Score> scores{score};
    PassesAlong<Data, Score>::forward(StoredCosts<Data>{distance}, scores, rows, cols, bias, gamma,
                                      DiagonalRange<Score>::whole(rows, cols), Band(rows, cols),
                                      *tile);
}

template <typename Data, typename Score>
void BackwardStored(const Data* distance, const Score* score, Data* gradient, int rows, int cols,
                    Data bias, Data gamma, bool free_end, Score final_score, bool last_row_only,
                    Data ref_gap_penalty, const Tile<Data>* tile) {
    StoredGradient<Data> sink{gradient};
    StoredScoreMatrix<Score> stored{score};
    PassesAlong<Data, Score>::backward(StoredCosts<Data>{distance}, stored, sink, rows, cols, bias,
                                       gamma, free_end, final_score, last_row_only, ref_gap_penalty,
                                       Band(rows, cols), *tile);
}

// Along the diagonals, every cost formed from the samples: the final scores alone; R stored
// with them; or checkpoints of R with them.
// A tile's passes keep the final scores of its own cells: the terminals it holds, and the
// last cell where it holds it.
template <typename Data, typename Score, class Scores>
void ForwardFromSamples(const SampleSource<Data>& source, const Band& band, Scores& scores,
                        Data bias, Data gamma, const Tile<Score>& tile = {}) {
    PassesAlong<Data, Score>::forward(
        SampleCosts<Data>{source}, scores, source.rows, source.cols, bias, gamma,
        DiagonalRange<Score>::whole(source.rows, source.cols), band, tile);
}

template <typename Data, typename Score>
void ScoresOnly(const SampleSource<Data>* source, const Band* band, FinalScores<Score>* kept,
                Data bias, Data gamma, const Tile<Score>* tile) {
    KeptScores<Score> scores{*kept};
    ForwardFromSamples<Data, Score>(*source, *band, scores, bias, gamma, *tile);
}

template <typename Data, typename Score>
void ForwardSamples(const SampleSource<Data>* source, const Band* band, Score* score,
                    FinalScores<Score>* kept, Data bias, Data gamma, const Tile<Score>* tile) {
    BothScores<StoredScores<Score>, KeptScores<Score>> scores{{score}, {*kept}};
    ForwardFromSamples<Data, Score>(*source, *band, scores, bias, gamma, *tile);
}

template <typename Data, typename Score>
void ForwardCheckpoints(const SampleSource<Data>* source, const Band* band, Score* workspace,
                        FinalScores<Score>* kept, Data bias, Data gamma) {
    const CheckpointPlan plan(source->rows, source->cols);
    BothScores<CheckpointScores<Score>, KeptScores<Score>> scores{{plan, workspace}, {*kept}};
    ForwardFromSamples<Data, Score>(*source, *band, scores, bias, gamma);
}

// The backward pass from the samples, E added straight into the gradients. Two tiles add into
// the gradients of the lines they share (a sample's across tiles of columns, a reference
// value's across tiles of rows) in the order one sweep does: a tile reaches a diagonal only
// once the tile after it has swept the diagonals after it, so that tile has added all of its
// cells of a shared line before this one adds any, and the lines the two touch at any moment
// are apart.
template <typename Data, typename Score, class ScoreMatrix>
void AddGradients(ScoreMatrix& score, const SignalGradients<Data, Score>& signal,
                  const Tile<Data>& tile = {}) {
    const SampleSource<Data>& source = *signal.source;
    AddedGradient<Data> sink{source, signal.sample_gradients, signal.reference_gradients,
                             signal.weight};
    PassesAlong<Data, Score>::backward(SampleCosts<Data>{source}, score, sink, source.rows,
                                       source.cols, signal.bias, signal.gamma, signal.free_end,
                                       signal.final_score, signal.last_row_only,
                                       signal.ref_gap_penalty, *signal.band, tile);
}

template <typename Data, typename Score>
void GradientsStored(const Score* score, const SignalGradients<Data, Score>* signal,
                     const Tile<Data>* tile) {
    StoredScoreMatrix<Score> stored{score};
    AddGradients(stored, *signal, *tile);
}

// Each segment's R computed again from its checkpoint as the backward pass reaches it.
template <typename Data, typename Score>
void GradientsCheckpointed(Score* workspace, const SignalGradients<Data, Score>* signal) {
    const SampleSource<Data>& source = *signal->source;
    const CheckpointPlan plan(source.rows, source.cols);
    const auto recompute = [&](const DiagonalRange<Score>& range, SegmentScores<Score>& sink) {
        PassesAlong<Data, Score>::forward(SampleCosts<Data>{source}, sink, source.rows, source.cols,
                                          signal->bias, signal->gamma, range, *signal->band);
    };
    CheckpointedScoreMatrix<Score, decltype(recompute)> score(plan, workspace, recompute);
    AddGradients(score, *signal);
}

// A group side by side holds as many signals as a vector of Data has lanes: over stored
// matrices, and in the lean gradients, where a square of them transposes (MoveCells); for
// the final scores alone, which move nothing, on any target but the portable fallback.
template <typename Data>
int SideLanes() {
    return kTransposes<Data> ? static_cast<int>(hn::Lanes(TagOf<Data>())) : 0;
}

template <typename Data>
int ScoreLanes() {
    return HWY_TARGET == HWY_SCALAR ? 0 : static_cast<int>(hn::Lanes(TagOf<Data>()));
}

// Side by side over the stored matrices of a group, one a lane, through windows of whole
// diagonals.
template <typename Data, typename Score>
void ForwardStoredSide(const Data* const* distances, Score* const* scores, const Data* biases,
                       int rows, int cols, Data gamma) {
    const std::size_t lanes = static_cast<std::size_t>(SideLanes<Data>());
    const DiagonalRuns runs(rows, cols);
    GatheredCosts<Data> costs{LaneWindow<const Data>(distances, lanes, runs)};
    LaneMatrices<Score> sink{LaneWindow<Score>(scores, lanes, runs)};
    PassesSideBySide<Data, Score>::forward(costs, sink, biases, rows, cols, gamma,
                                           Band(rows, cols));
}

template <typename Data, typename Score>
void BackwardStoredSide(const Data* const* distances, const Score* const* scores,
                        Data* const* gradients, const Data* biases, int rows, int cols, Data gamma,
                        bool free_end, const Score* final_scores, bool last_row_only,
                        Data ref_gap_penalty) {
    const std::size_t lanes = static_cast<std::size_t>(SideLanes<Data>());
    const DiagonalRuns runs(rows, cols);
    GatheredCosts<Data> costs{LaneWindow<const Data>(distances, lanes, runs)};
    GatheredScoreMatrix<Score> matrix{LaneWindow<const Score>(scores, lanes, runs)};
    LaneMatrices<Data> sink{LaneWindow<Data>(gradients, lanes, runs)};
    PassesSideBySide<Data, Score>::backward(costs, matrix, sink, biases, rows, cols, gamma,
                                            free_end, final_scores, last_row_only, ref_gap_penalty,
                                            Band(rows, cols));
}

// Side by side, every cost formed from the samples and references, interleaved: the final
// scores alone; R (interleaved) and the final scores; the gradients of the scores added as E
// goes.
template <typename Data, typename Score>
void ScoresOnlySide(const Data* samples, const Data* references, int channels, CostKind kind,
                    const Band* band, FinalScores<Score>* const* kept, const Data* biases, int rows,
                    int cols, Data gamma) {
    InterleavedSampleCosts<Data> costs{samples, rows, references, cols, channels, kind};
    KeptLaneScores<Score> sink{kept};
    PassesSideBySide<Data, Score>::forward(costs, sink, biases, rows, cols, gamma, *band);
}

template <typename Data, typename Score>
InterleavedSampleCosts<Data> SampleCostsOf(const SideSignals<Data, Score>& side) {
    return {side.samples, side.rows, side.references, side.cols, side.channels, side.kind};
}

template <typename Data, typename Score>
void ForwardSamplesSide(const SideSignals<Data, Score>* side, Score* const* score_matrices,
                        FinalScores<Score>* const* kept) {
    InterleavedSampleCosts<Data> costs = SampleCostsOf(*side);
    const std::size_t lanes = hn::Lanes(TagOf<Data>());
    const std::size_t longest = static_cast<std::size_t>(std::min(side->rows, side->cols));
    BothScores<InterleavedScores<Score>, KeptLaneScores<Score>> sink{
        {{score_matrices, lanes, std::int64_t{side->rows} * side->cols}, longest}, {kept}};
    PassesSideBySide<Data, Score>::forward(costs, sink, side->biases, side->rows, side->cols,
                                           side->gamma, *side->band);
}

template <typename Data, typename Score>
void GradientsStoredSide(const SideSignals<Data, Score>* side, const Score* const* score_matrices) {
    InterleavedSampleCosts<Data> costs = SampleCostsOf(*side);
    AddedLaneGradients<Data> sink{costs, side->sample_gradients, side->reference_gradients,
                                  side->weights, side->adding};
    InterleavedScoreMatrices<const Score> matrix{score_matrices, hn::Lanes(TagOf<Data>()),
                                                 std::int64_t{side->rows} * side->cols};
    PassesSideBySide<Data, Score>::backward(
        costs, matrix, sink, side->biases, side->rows, side->cols, side->gamma, side->free_end,
        side->final_scores, side->last_row_only, side->ref_gap_penalty, *side->band);
}

// Which passes of a path run signals side by side: the final scores alone only, or every one.
enum class SideBySide { scores_only, every_pass };

// One path's table for this instruction set.
template <typename Data, typename Score, SideBySide kSideBySide>
PassTable<Data, Score> TableOf() {
    PassTable<Data, Score> table{};
    table.instruction_set = hwy::TargetName(HWY_TARGET);
    table.forward_stored = &ForwardStored<Data, Score>;
    table.backward_stored = &BackwardStored<Data, Score>;
    table.scores_only = &ScoresOnly<Data, Score>;
    table.forward_samples = &ForwardSamples<Data, Score>;
    table.forward_checkpoints = &ForwardCheckpoints<Data, Score>;
    table.gradients_stored = &GradientsStored<Data, Score>;
    table.gradients_checkpointed = &GradientsCheckpointed<Data, Score>;
    table.score_lanes = ScoreLanes<Data>();
    table.scores_only_side = &ScoresOnlySide<Data, Score>;
    if constexpr (kSideBySide == SideBySide::every_pass) {
        table.side_lanes = SideLanes<Data>();
        table.forward_stored_side = &ForwardStoredSide<Data, Score>;
        table.backward_stored_side = &BackwardStoredSide<Data, Score>;
        table.forward_samples_side = &ForwardSamplesSide<Data, Score>;
        table.gradients_stored_side = &GradientsStoredSide<Data, Score>;
    }
    return table;
}

}  // namespace
}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // ORVANE_VECTORISED_SOFTDTW_ENTRIES_INL_H_
