// The Soft-DTW functions of the vectorised module (operations.h): for each call (against one
// reference, or of pairs), its arguments checked, its signals shared among the worker threads
// (schedule.h), each signal's or group's passes run through its path's table (pass_table.h),
// its final scores formed (final_scores.h) and its reference gradients summed
// (reference_rows.h). A plain unit: the passes, compiled for every instruction
// set, are in passes_float32.cpp, passes_mixed.cpp and passes_float64.cpp, so a change here
// rebuilds none of them. Also the test hooks that force tiles and an instruction set.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/batch_checks.h"
#include "hwy/targets.h"
#include "vectorised/batch.h"
#include "vectorised/call_samples.h"
#include "vectorised/costs.h"
#include "vectorised/operations.h"
#include "vectorised/softdtw/final_scores.h"
#include "vectorised/softdtw/pass_table.h"
#include "vectorised/softdtw/reference_rows.h"
#include "vectorised/softdtw/schedule.h"
#include "vectorised/tiles.h"

namespace orvane::vectorised {
namespace {

// Each path's passes, the checks of its arguments and its thresholds: Data is the type of
// its distances, alpha and gradients, Score that of its scores.
struct Float32Path {
    using Data = float;
    using Score = float;
    static const PassTable<Data, Score>& passes() { return float32_passes(); }
    static float gamma(double value) { return checked_gamma(value); }
    static float penalty(double value, bool local_end) {
        return checked_ref_gap_penalty(value, local_end);
    }
    // The passes that keep only the final scores gather and scatter nothing: side by side
    // they are 2 times as fast at 16 x 16, 1.27 at 64 x 64, 1.05 at 256 x 256 and 1.01 at
    // 512 x 512 (float64: 1.4 at 16 x 16, 1.1 at 64 x 64, 1.0 at 512 x 512).
    static constexpr std::int64_t kMostSideScoreCells = 512 * 512;
};

struct Float64Path {
    using Data = double;
    using Score = double;
    static const PassTable<Data, Score>& passes() { return float64_passes(); }
    static double gamma(double value) { return checked_gamma_float64(value); }
    static double penalty(double value, bool local_end) {
        return checked_ref_gap_penalty_float64(value, local_end);
    }
    static constexpr std::int64_t kMostSideScoreCells = Float32Path::kMostSideScoreCells;
};

struct MixedPath : Float32Path {
    using Score = double;
    static const PassTable<Data, Score>& passes() { return mixed_passes(); }
    // Side by side: 2 times as fast at 16 x 16, 1.2 at 64 x 64, 1.07 at 128 x 128, even at
    // 256 x 256 and slower beyond.
    static constexpr std::int64_t kMostSideScoreCells = 128 * 128;
};

// The forward pass of a batch against one reference (`operation` names the call in its
// messages).
template <typename Path>
void softdtw_forward(const char* operation, const std::vector<int>& input_signal_lengths,
                     int ref_signal_length, HostAddress distance_matrix, HostAddress score_matrix,
                     HostAddress scores, double requested_gamma, HostAddress alpha, bool local_end,
                     bool last_row_only, double requested_ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const PassTable<Data, Score>& passes = Path::passes();
    const Batch batch(input_signal_lengths, ref_signal_length);
    const Data gamma = Path::gamma(requested_gamma);
    const Data ref_gap_penalty = Path::penalty(requested_ref_gap_penalty, local_end);
    require_buffers(operation, {{"distance_matrix_ptr", distance_matrix},
                                {"score_matrix_ptr", score_matrix},
                                {"scores_ptr", scores}});
    const auto distance = host_pointer<const Data>(distance_matrix);
    const auto score = host_pointer<Score>(score_matrix);
    const auto biases = host_pointer<const Data>(alpha);
    const auto finals = host_pointer<Score>(scores);
    const auto finish = [&](const Signal& signal) {
        finals[signal.index] = final_score_of(score + signal.first_cell, signal, gamma,
                                              ref_gap_penalty, local_end, last_row_only);
    };
    for_each_signal_or_group<Data>(
        batch, passes.side_lanes, stored_side_kind,
        [&](const Signal& signal) {
            const auto sweep = [&](const Tile<Score>& tile) {
                passes.forward_stored(distance + signal.first_cell, score + signal.first_cell,
                                      signal.rows, signal.cols, bias_of(biases, signal.index),
                                      gamma, &tile);
            };
            for_each_tile<Score>(batch, signal, Sweep::forward, sweep);
            finish(signal);
        },
        [&](const SideGroup<Data>& group) {
            const auto own_distances = group.matrices(distance);
            const auto own_scores = group.matrices(score);
            passes.forward_stored_side(own_distances.data(), own_scores.data(),
                                       group.biases(biases).data(), group.rows, group.cols, gamma);
            group.for_each(finish);
        });
}

// What a call of the scores or the gradients without matrices asks besides its buffers.
struct LeanOptions {
    double gamma;
    HostAddress alpha;
    bool local_end;
    bool last_row_only;
    double ref_gap_penalty;
    int channels;
    const std::string& cost;
    HostAddress band;
    const std::string& band_kind;
};

// Scores alone of a batch against one reference or of pairs (`operation` names the call in
// its messages): signals alone, or short ones of one shape and band side by side, one a lane,
// each lane with its own reference's samples (the same bits either way).
template <typename Path>
void softdtw_scores(const char* operation, const Batch& batch, HostAddress input_signal,
                    HostAddress ref_signal, HostAddress scores, const LeanOptions& options) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const PassTable<Data, Score>& passes = Path::passes();
    const bool local_end = options.local_end;
    const bool last_row_only = options.last_row_only;
    const Data gamma = Path::gamma(options.gamma);
    const Data ref_gap_penalty = Path::penalty(options.ref_gap_penalty, local_end);
    require_buffers(operation, {{"input_signal_ptr", input_signal},
                                {"ref_signal_ptr", ref_signal},
                                {"scores_ptr", scores}});
    const CallSamples<Data> call(batch, input_signal, ref_signal, options.channels, options.cost,
                                 options.band, options.band_kind);
    const auto biases = host_pointer<const Data>(options.alpha);
    const auto finals = host_pointer<Score>(scores);
    const auto finish = [&](const Signal& signal, const FinalScores<Score>& kept) {
        finals[signal.index] =
            final_score_of(kept, gamma, ref_gap_penalty, local_end, last_row_only);
    };
    for_each_signal_or_group<Data>(
        batch, passes.score_lanes, shape_and_band(call, Path::kMostSideScoreCells),
        [&](const Signal& signal) {
            const typename CallSamples<Data>::Own own(call, signal);
            FinalScores<Score> kept(signal.rows, signal.cols, local_end);
            const auto sweep = [&](const Tile<Score>& tile) {
                passes.scores_only(&own.source, &own.band, &kept, bias_of(biases, signal.index),
                                   gamma, &tile);
            };
            for_each_tile<Score>(batch, signal, Sweep::forward, sweep);
            finish(signal, kept);
        },
        [&](const SideGroup<Data>& group) {
            const std::vector<Data> samples = call.interleaved(group.members);
            const auto references = call.lane_references(group.members);
            std::vector<FinalScores<Score>> kept(
                group.members.size(), FinalScores<Score>(group.rows, group.cols, local_end));
            std::vector<FinalScores<Score>*> own_kept;
            for (auto& one : kept) {
                own_kept.push_back(&one);
            }
            const Band band = call.band_of(group.rows, group.cols, group.members[0]);
            passes.scores_only_side(samples.data(), references->data(), call.channels(),
                                    call.kind(), &band, own_kept.data(),
                                    group.biases(biases).data(), group.rows, group.cols, gamma);
            for (std::size_t i = 0; i < kept.size(); ++i) {
                finish(batch.signal(group.members[i]), kept[i]);
            }
        });
}

// How a call of the lean gradients holds R: the whole batch matrix, or the checkpoints of its
// one signal. score_matrix_cells = 0 stands for the batch matrix's cells.
bool checkpointed(const Batch& batch, std::int64_t score_matrix_cells) {
    if (score_matrix_cells < 0) {
        throw std::invalid_argument("score_matrix_cells must be 0 or more, got: " +
                                    std::to_string(score_matrix_cells));
    }
    const std::int64_t capacity = score_matrix_cells == 0 ? batch.cells() : score_matrix_cells;
    if (batch.cells() <= std::min<std::int64_t>(capacity, std::numeric_limits<int>::max())) {
        return false;
    }
    if (batch.count() > 1) {
        throw std::invalid_argument(
            "score_matrix_ptr holds " + std::to_string(capacity) + " cells, less than the " +
            std::to_string(batch.cells()) +
            " of the batch (or more than 2147483647); only a batch of one signal keeps "
            "checkpoints of R instead");
    }
    const Signal signal = batch.signal(0);
    const std::int64_t needed = CheckpointPlan(signal.rows, signal.cols).cells();
    if (capacity < needed) {
        throw std::invalid_argument(
            "score_matrix_ptr holds " + std::to_string(capacity) +
            " cells, fewer than the signal's checkpoints need: " + std::to_string(needed));
    }
    return true;
}

// The buffers of a call of the lean gradients.
struct GradientBuffers {
    HostAddress input_signal;
    HostAddress ref_signal;
    HostAddress score_matrix;
    HostAddress scores;
    HostAddress input_gradients;
    HostAddress ref_gradients;
    HostAddress weights;
    std::int64_t score_matrix_cells;
};

// Scores and the gradients of sum_k w_k * score_k with respect to the samples and the
// references (w_k = 1 without weights), of a batch against one reference or of pairs
// (`operation` names the call in its messages): the forward pass stores R from the samples
// (or its checkpoints), the backward pass forms each cost again and adds E into the gradients
// as it goes, a signal at a time or short signals of one shape and band side by side, one a
// lane (the same bits either way). Each signal's reference gradient is formed in a row of its
// own and the rows added in signal order into their reference's (reference_rows.h). A signal
// without a path of finite cost (a band that leaves none, or costs that overflow) has a score
// of +inf and no gradient.
template <typename Path>
void softdtw_gradients(const char* operation, const Batch& batch, const GradientBuffers& buffers,
                       const LeanOptions& options) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const PassTable<Data, Score>& passes = Path::passes();
    const bool local_end = options.local_end;
    const bool last_row_only = options.last_row_only;
    const bool with_checkpoints = checkpointed(batch, buffers.score_matrix_cells);
    const Data gamma = Path::gamma(options.gamma);
    const Data ref_gap_penalty = Path::penalty(options.ref_gap_penalty, local_end);
    require_buffers(operation, {{"input_signal_ptr", buffers.input_signal},
                                {"ref_signal_ptr", buffers.ref_signal},
                                {"score_matrix_ptr", buffers.score_matrix},
                                {"scores_ptr", buffers.scores},
                                {"ref_gradients_ptr", buffers.ref_gradients}});
    const CallSamples<Data> call(batch, buffers.input_signal, buffers.ref_signal, options.channels,
                                 options.cost, options.band, options.band_kind);
    const auto score = host_pointer<Score>(buffers.score_matrix);
    const auto finals = host_pointer<Score>(buffers.scores);
    const auto biases = host_pointer<const Data>(options.alpha);
    const auto score_weights = host_pointer<const Data>(buffers.weights);
    const auto sample_gradients = host_pointer<Data>(buffers.input_gradients);
    ReferenceRows<Data> rows(batch, call.channels(), host_pointer<Data>(buffers.ref_gradients));
    const auto weight_of = [&](int k) {
        return score_weights != nullptr ? score_weights[k] : Data{1};
    };
    const auto without_path = [&](Score final_score) {
        return final_score == std::numeric_limits<Score>::infinity();
    };
    const auto one_signal = [&](const Signal& signal) {
        const typename CallSamples<Data>::Own own(call, signal);
        const Data bias = bias_of(biases, signal.index);
        FinalScores<Score> kept(signal.rows, signal.cols, local_end);
        Score* own_score = with_checkpoints ? score : score + signal.first_cell;
        if (with_checkpoints) {
            passes.forward_checkpoints(&own.source, &own.band, own_score, &kept, bias, gamma);
        } else {
            const auto sweep = [&](const Tile<Score>& tile) {
                passes.forward_samples(&own.source, &own.band, own_score, &kept, bias, gamma,
                                       &tile);
            };
            for_each_tile<Score>(batch, signal, Sweep::forward, sweep);
        }
        const Score final_score =
            final_score_of(kept, gamma, ref_gap_penalty, local_end, last_row_only);
        finals[signal.index] = final_score;
        if (without_path(final_score)) {
            return;
        }
        ChannelGradients<Data> own_gradients(sample_gradients, signal, call.channels());
        const SignalGradients<Data, Score> gradients{&own.source,
                                                     &own.band,
                                                     own_gradients.data(),
                                                     rows.row_of(signal.index),
                                                     weight_of(signal.index),
                                                     bias,
                                                     gamma,
                                                     local_end,
                                                     final_score,
                                                     last_row_only,
                                                     ref_gap_penalty};
        if (with_checkpoints) {
            passes.gradients_checkpointed(own_score, &gradients);
        } else {
            const auto sweep = [&](const Tile<Data>& tile) {
                passes.gradients_stored(own_score, &gradients, &tile);
            };
            for_each_tile<Data>(batch, signal, Sweep::backward, sweep);
        }
        own_gradients.finish();
    };
    // Signals side by side: their gradients interleaved a lane a signal, then each lane's
    // added into its signal's sample gradients and copied into its signal's row.
    const auto side_group = [&](const SideGroup<Data>& group) {
        const std::size_t lanes = group.members.size();
        const std::size_t width = static_cast<std::size_t>(group.cols) * call.channels();
        const std::vector<Data> samples = call.interleaved(group.members);
        const auto references = call.lane_references(group.members);
        const Band own_band = call.band_of(group.rows, group.cols, group.members[0]);
        const std::vector<Data> own_biases = group.biases(biases);
        std::vector<FinalScores<Score>> kept(lanes,
                                             FinalScores<Score>(group.rows, group.cols, local_end));
        std::vector<FinalScores<Score>*> kept_of;
        for (auto& one : kept) {
            kept_of.push_back(&one);
        }
        const std::vector<Score*> own_scores = group.matrices(score);
        SideSignals<Data, Score> side{samples.data(), references->data(), call.channels(),
                                      call.kind(),    &own_band,          group.rows,
                                      group.cols,     own_biases.data(),  gamma};
        passes.forward_samples_side(&side, own_scores.data(), kept_of.data());
        std::vector<Score> own_finals(lanes);
        std::vector<Data> own_weights(lanes);
        std::vector<Data> adding(lanes);
        for (std::size_t i = 0; i < lanes; ++i) {
            const int k = group.members[i];
            own_finals[i] =
                final_score_of(kept[i], gamma, ref_gap_penalty, local_end, last_row_only);
            finals[k] = own_finals[i];
            own_weights[i] = weight_of(k);
            adding[i] = without_path(own_finals[i]) ? Data{0} : Data{1};
        }
        std::vector<Data> sample_sums(samples.size(), Data{0});
        std::vector<Data> reference_sums(width * lanes, Data{0});
        side.sample_gradients = sample_sums.data();
        side.reference_gradients = reference_sums.data();
        side.weights = own_weights.data();
        side.adding = adding.data();
        side.free_end = local_end;
        side.final_scores = own_finals.data();
        side.last_row_only = last_row_only;
        side.ref_gap_penalty = ref_gap_penalty;
        const std::vector<const Score*> stored(own_scores.begin(), own_scores.end());
        passes.gradients_stored_side(&side, stored.data());
        for (std::size_t i = 0; i < lanes; ++i) {
            if (adding[i] == Data{0}) {
                continue;
            }
            const Signal signal = batch.signal(group.members[i]);
            if (sample_gradients != nullptr) {
                Data* own = sample_gradients + signal.first_sample * call.channels();
                for (std::size_t v = 0; v < samples.size() / lanes; ++v) {
                    const std::size_t c = v / static_cast<std::size_t>(group.rows);
                    const std::size_t row = v % static_cast<std::size_t>(group.rows);
                    own[row * call.channels() + c] += sample_sums[v * lanes + i];
                }
            }
            Data* row = rows.row_of(signal.index);
            for (std::size_t v = 0; v < width; ++v) {
                row[v] = reference_sums[v * lanes + i];
            }
        }
    };
    rows.for_each_chunk([&](int first, int stop) {
        for_each_signal_or_group<Data>(batch, with_checkpoints ? 0 : passes.side_lanes,
                                       shape_and_band(call, kMostSideBySideCells), one_signal,
                                       side_group, first, stop);
    });
}

// How a backward pass names itself and its gradient matrix in its messages, as they are bound:
// the one-reference pass's argument is spelled gradient_matrix_prt.
struct BackwardNames {
    const char* operation;
    const char* gradient_matrix;
};
constexpr BackwardNames kBackward{"calc_softdtw_backward", "gradient_matrix_prt"};
constexpr BackwardNames kPairBackward{"calc_softdtw_pair_backward", "gradient_matrix_ptr"};

// The backward pass of a batch against one reference; the scores are read with a free end
// only.
template <typename Path>
void softdtw_backward(const BackwardNames& names, const std::vector<int>& input_signal_lengths,
                      int ref_signal_length, HostAddress distance_matrix, HostAddress score_matrix,
                      HostAddress gradient_matrix, double requested_gamma, HostAddress alpha,
                      bool local_end, HostAddress scores, bool last_row_only,
                      double requested_ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const PassTable<Data, Score>& passes = Path::passes();
    const Batch batch(input_signal_lengths, ref_signal_length);
    if (local_end && scores == 0) {
        throw std::runtime_error(
            "calc_softdtw_backward: scores_ptr is required when local_end is true");
    }
    const Data gamma = Path::gamma(requested_gamma);
    const Data ref_gap_penalty = Path::penalty(requested_ref_gap_penalty, local_end);
    require_buffers(names.operation, {{"distance_matrix_ptr", distance_matrix},
                                      {"score_matrix_ptr", score_matrix},
                                      {names.gradient_matrix, gradient_matrix}});
    const auto distance = host_pointer<const Data>(distance_matrix);
    const auto score = host_pointer<const Score>(score_matrix);
    const auto gradient = host_pointer<Data>(gradient_matrix);
    const auto biases = host_pointer<const Data>(alpha);
    const auto finals = host_pointer<const Score>(scores);
    const auto final_of = [&](int k) { return local_end ? finals[k] : Score{0}; };
    for_each_signal_or_group<Data>(
        batch, passes.side_lanes, stored_side_kind,
        [&](const Signal& signal) {
            const auto sweep = [&](const Tile<Data>& tile) {
                passes.backward_stored(distance + signal.first_cell, score + signal.first_cell,
                                       gradient + signal.first_cell, signal.rows, signal.cols,
                                       bias_of(biases, signal.index), gamma, local_end,
                                       final_of(signal.index), last_row_only, ref_gap_penalty,
                                       &tile);
            };
            for_each_tile<Data>(batch, signal, Sweep::backward, sweep);
        },
        [&](const SideGroup<Data>& group) {
            const auto own_distances = group.matrices(distance);
            const auto own_scores = group.matrices(score);
            const auto own_gradients = group.matrices(gradient);
            std::vector<Score> own_finals;
            group.for_each(
                [&](const Signal& signal) { own_finals.push_back(final_of(signal.index)); });
            passes.backward_stored_side(own_distances.data(), own_scores.data(),
                                        own_gradients.data(), group.biases(biases).data(),
                                        group.rows, group.cols, gamma, local_end, own_finals.data(),
                                        last_row_only, ref_gap_penalty);
        });
}

// The scores alone of each path, against one reference or of pairs.
}  // namespace

void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                          double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                          double ref_gap_penalty) {
    softdtw_forward<Float32Path>("calc_softdtw_forward", input_signal_lengths, ref_signal_length,
                                 distance_matrix, score_matrix, scores, gamma, alpha, local_end,
                                 last_row_only, ref_gap_penalty);
}

void calc_softdtw_forward_float64(const std::vector<int>& input_signal_lengths,
                                  int ref_signal_length, HostAddress distance_matrix,
                                  HostAddress score_matrix, HostAddress scores, double gamma,
                                  HostAddress alpha, bool local_end, bool last_row_only,
                                  double ref_gap_penalty) {
    softdtw_forward<Float64Path>("calc_softdtw_forward", input_signal_lengths, ref_signal_length,
                                 distance_matrix, score_matrix, scores, gamma, alpha, local_end,
                                 last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           HostAddress distance_matrix, HostAddress score_matrix,
                           HostAddress gradient_matrix, double gamma, HostAddress alpha,
                           bool local_end, HostAddress scores, bool last_row_only,
                           double ref_gap_penalty) {
    softdtw_backward<Float32Path>(kBackward, input_signal_lengths, ref_signal_length,
                                  distance_matrix, score_matrix, gradient_matrix, gamma, alpha,
                                  local_end, scores, last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward_float64(const std::vector<int>& input_signal_lengths,
                                   int ref_signal_length, HostAddress distance_matrix,
                                   HostAddress score_matrix, HostAddress gradient_matrix,
                                   double gamma, HostAddress alpha, bool local_end,
                                   HostAddress scores, bool last_row_only, double ref_gap_penalty) {
    softdtw_backward<Float64Path>(kBackward, input_signal_lengths, ref_signal_length,
                                  distance_matrix, score_matrix, gradient_matrix, gamma, alpha,
                                  local_end, scores, last_row_only, ref_gap_penalty);
}

void calc_softdtw_forward_mixed(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress distance_matrix, HostAddress score_matrix,
                                HostAddress scores, double gamma, HostAddress alpha, bool local_end,
                                bool last_row_only, double ref_gap_penalty) {
    softdtw_forward<MixedPath>("calc_softdtw_forward", input_signal_lengths, ref_signal_length,
                               distance_matrix, score_matrix, scores, gamma, alpha, local_end,
                               last_row_only, ref_gap_penalty);
}

void calc_softdtw_backward_mixed(const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, HostAddress distance_matrix,
                                 HostAddress score_matrix, HostAddress gradient_matrix,
                                 double gamma, HostAddress alpha, bool local_end,
                                 HostAddress scores, bool last_row_only, double ref_gap_penalty) {
    softdtw_backward<MixedPath>(kBackward, input_signal_lengths, ref_signal_length, distance_matrix,
                                score_matrix, gradient_matrix, gamma, alpha, local_end, scores,
                                last_row_only, ref_gap_penalty);
}

// Pairs through the one-reference passes, one pair at a time on its own part of the buffers:
// the pairs are checked first, and each pair's call checks the options and its buffers before
// it writes. The first pair's buffers start at the call's own addresses, so a buffer given as
// 0 is refused before any pair is written.
template <typename Path, typename OnePair>
void for_each_pair(const std::vector<int>& lengths, const std::vector<int>& ref_lengths,
                   HostAddress alpha, const OnePair& one_pair) {
    validate_pair_lengths(lengths, ref_lengths);
    check_pairs_fit_int32(lengths, ref_lengths);
    std::uint64_t cells = 0;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        const HostAddress own_alpha = alpha == 0 ? 0 : alpha + k * sizeof(typename Path::Data);
        one_pair(std::vector<int>{lengths[k]}, ref_lengths[k], cells, k, own_alpha);
        cells += static_cast<std::uint64_t>(lengths[k]) * ref_lengths[k];
    }
}

template <typename Path>
void softdtw_pair_forward(const std::vector<int>& lengths, const std::vector<int>& ref_lengths,
                          HostAddress distance_matrix, HostAddress score_matrix,
                          HostAddress scores, double gamma, HostAddress alpha, bool local_end,
                          bool last_row_only, double ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    for_each_pair<Path>(lengths, ref_lengths, alpha,
                        [&](const std::vector<int>& one, int cols, std::uint64_t cell,
                            std::size_t k, HostAddress own_alpha) {
                            softdtw_forward<Path>("calc_softdtw_pair_forward", one, cols,
                                                  distance_matrix + cell * sizeof(Data),
                                                  score_matrix + cell * sizeof(Score),
                                                  scores + k * sizeof(Score), gamma, own_alpha,
                                                  local_end, last_row_only, ref_gap_penalty);
                        });
}

template <typename Path>
void softdtw_pair_backward(const std::vector<int>& lengths, const std::vector<int>& ref_lengths,
                           HostAddress distance_matrix, HostAddress score_matrix,
                           HostAddress gradient_matrix, double gamma, HostAddress alpha,
                           bool local_end, HostAddress scores, bool last_row_only,
                           double ref_gap_penalty) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    for_each_pair<Path>(lengths, ref_lengths, alpha,
                        [&](const std::vector<int>& one, int cols, std::uint64_t cell,
                            std::size_t k, HostAddress own_alpha) {
                            softdtw_backward<Path>(
                                kPairBackward, one, cols, distance_matrix + cell * sizeof(Data),
                                score_matrix + cell * sizeof(Score),
                                gradient_matrix + cell * sizeof(Data), gamma, own_alpha, local_end,
                                scores == 0 ? 0 : scores + k * sizeof(Score), last_row_only,
                                ref_gap_penalty);
                        });
}

#define ORVANE_PAIR_PASSES(suffix, path)                                                        \
    void calc_softdtw_pair_forward##suffix(                                                     \
        const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths, \
        HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores, double gamma, \
        HostAddress alpha, bool local_end, bool last_row_only, double ref_gap_penalty) {         \
        softdtw_pair_forward<path>(input_signal_lengths, ref_signal_lengths, distance_matrix,   \
                                   score_matrix, scores, gamma, alpha, local_end, last_row_only, \
                                   ref_gap_penalty);                                             \
    }                                                                                            \
    void calc_softdtw_pair_backward##suffix(                                                    \
        const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths, \
        HostAddress distance_matrix, HostAddress score_matrix, HostAddress gradient_matrix,      \
        double gamma, HostAddress alpha, bool local_end, HostAddress scores, bool last_row_only, \
        double ref_gap_penalty) {                                                                \
        softdtw_pair_backward<path>(input_signal_lengths, ref_signal_lengths, distance_matrix,  \
                                    score_matrix, gradient_matrix, gamma, alpha, local_end,      \
                                    scores, last_row_only, ref_gap_penalty);                     \
    }

ORVANE_PAIR_PASSES(, Float32Path)
ORVANE_PAIR_PASSES(_mixed, MixedPath)
ORVANE_PAIR_PASSES(_float64, Float64Path)
#undef ORVANE_PAIR_PASSES

void calc_softdtw_scores(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                         HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                         double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                         double ref_gap_penalty, int channels, const std::string& cost,
                         HostAddress band, const std::string& band_kind) {
    softdtw_scores<Float32Path>(
        "calc_softdtw_scores",
        Batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited), input_signal,
        ref_signal, scores,
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_scores_float64(HostAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                                 double gamma, HostAddress alpha, bool local_end,
                                 bool last_row_only, double ref_gap_penalty, int channels,
                                 const std::string& cost, HostAddress band,
                                 const std::string& band_kind) {
    softdtw_scores<Float64Path>(
        "calc_softdtw_scores",
        Batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited), input_signal,
        ref_signal, scores,
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_scores_mixed(HostAddress input_signal,
                               const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
                               int ref_signal_length, HostAddress scores, double gamma,
                               HostAddress alpha, bool local_end, bool last_row_only,
                               double ref_gap_penalty, int channels, const std::string& cost,
                               HostAddress band, const std::string& band_kind) {
    softdtw_scores<MixedPath>(
        "calc_softdtw_scores",
        Batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited), input_signal,
        ref_signal, scores,
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_pair_scores(HostAddress input_signal,
                              const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
                              const std::vector<int>& ref_signal_lengths, HostAddress scores,
                              double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                              double ref_gap_penalty, int channels, const std::string& cost,
                              HostAddress band, const std::string& band_kind) {
    softdtw_scores<Float32Path>(
        "calc_softdtw_pair_scores", Batch(input_signal_lengths, ref_signal_lengths), input_signal,
        ref_signal, scores,
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_pair_scores_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress scores, double gamma, HostAddress alpha,
    bool local_end, bool last_row_only, double ref_gap_penalty, int channels,
    const std::string& cost, HostAddress band, const std::string& band_kind) {
    softdtw_scores<Float64Path>(
        "calc_softdtw_pair_scores", Batch(input_signal_lengths, ref_signal_lengths), input_signal,
        ref_signal, scores,
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_pair_scores_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress scores, double gamma, HostAddress alpha,
    bool local_end, bool last_row_only, double ref_gap_penalty, int channels,
    const std::string& cost, HostAddress band, const std::string& band_kind) {
    softdtw_scores<MixedPath>(
        "calc_softdtw_pair_scores", Batch(input_signal_lengths, ref_signal_lengths), input_signal,
        ref_signal, scores,
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_gradients(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                            HostAddress ref_signal, int ref_signal_length, HostAddress score_matrix,
                            HostAddress scores, HostAddress input_gradients,
                            HostAddress ref_gradients, double gamma, HostAddress alpha,
                            HostAddress weights, bool local_end, bool last_row_only,
                            double ref_gap_penalty, std::int64_t score_matrix_cells, int channels,
                            const std::string& cost, HostAddress band,
                            const std::string& band_kind) {
    softdtw_gradients<Float32Path>(
        "calc_softdtw_gradients",
        Batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited),
        {input_signal, ref_signal, score_matrix, scores, input_gradients, ref_gradients, weights,
         score_matrix_cells},
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_gradients_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    int ref_signal_length, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind) {
    softdtw_gradients<Float64Path>(
        "calc_softdtw_gradients",
        Batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited),
        {input_signal, ref_signal, score_matrix, scores, input_gradients, ref_gradients, weights,
         score_matrix_cells},
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_gradients_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    int ref_signal_length, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind) {
    softdtw_gradients<MixedPath>(
        "calc_softdtw_gradients",
        Batch(input_signal_lengths, ref_signal_length, CellPositions::unlimited),
        {input_signal, ref_signal, score_matrix, scores, input_gradients, ref_gradients, weights,
         score_matrix_cells},
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_pair_gradients(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind) {
    softdtw_gradients<Float32Path>(
        "calc_softdtw_pair_gradients", Batch(input_signal_lengths, ref_signal_lengths),
        {input_signal, ref_signal, score_matrix, scores, input_gradients, ref_gradients, weights,
         score_matrix_cells},
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_pair_gradients_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind) {
    softdtw_gradients<Float64Path>(
        "calc_softdtw_pair_gradients", Batch(input_signal_lengths, ref_signal_lengths),
        {input_signal, ref_signal, score_matrix, scores, input_gradients, ref_gradients, weights,
         score_matrix_cells},
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

void calc_softdtw_pair_gradients_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind) {
    softdtw_gradients<MixedPath>(
        "calc_softdtw_pair_gradients", Batch(input_signal_lengths, ref_signal_lengths),
        {input_signal, ref_signal, score_matrix, scores, input_gradients, ref_gradients, weights,
         score_matrix_cells},
        {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band, band_kind});
}

std::int64_t gradient_checkpoint_cells(int input_signal_length, int ref_signal_length) {
    validate_lengths({input_signal_length}, ref_signal_length);
    return CheckpointPlan(input_signal_length, ref_signal_length).cells();
}

std::string last_instruction_set() { return float32_passes().instruction_set; }

void force_tiles(int tiles) {
    if (tiles < 0) {
        throw std::invalid_argument("tiles must be at least 0, got: " + std::to_string(tiles));
    }
    forced_tiles.store(tiles);
}

void force_instruction_set(const std::string& name) {
    if (name == "best") {
        hwy::SetSupportedTargetsForTest(0);
    } else if (name == "scalar") {
        hwy::SetSupportedTargetsForTest(HWY_BASELINE_SCALAR);
    } else if (name == "sse4") {
        hwy::SetSupportedTargetsForTest(HWY_SSE4 | HWY_BASELINE_SCALAR);
    } else {
        throw std::invalid_argument("instruction set must be 'best', 'sse4' or 'scalar', got: " +
                                    name);
    }
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

}  // namespace orvane::vectorised
