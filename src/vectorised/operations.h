// The eleven operations of the vectorised CPU module: the same names, arguments, checks and
// buffer formats as the CUDA module's host drivers, on host addresses. Cells of a diagonal
// are processed as vectors, signals in parallel on all cores; nothing is limited by thread
// blocks, so the reference may be as long as the 32-bit positions allow. An address of 0 is
// refused by name, after the other checks, for every buffer an operation reads or writes;
// only those documented as optional (alpha, weights, a band, ...) take 0 as none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::vectorised {

using HostAddress = std::uint64_t;

void calc_manhattan_distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                             HostAddress ref_signal, int ref_signal_length,
                             HostAddress distance_matrix);

void calc_manhattan_distance_gradient(HostAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      HostAddress ref_signal, int ref_signal_length,
                                      HostAddress gradient_matrix, HostAddress input_gradients,
                                      HostAddress ref_gradients);

void calc_softdtw_forward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                          HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores,
                          double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                          double ref_gap_penalty);

void calc_softdtw_backward(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                           HostAddress distance_matrix, HostAddress score_matrix,
                           HostAddress gradient_matrix, double gamma, HostAddress alpha,
                           bool local_end, HostAddress scores, bool last_row_only,
                           double ref_gap_penalty);

void normalize_matrix(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                      HostAddress gradient_matrix, HostAddress ref_total_grads);

void calc_weighted_means(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                         int ref_signal_length, HostAddress gradient_matrix,
                         HostAddress weighted_means);

void calc_weighted_std(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                       int ref_signal_length, HostAddress gradient_matrix,
                       HostAddress weighted_means, HostAddress weighted_std_log);

void calc_weighted_index_std(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                             HostAddress gradient_matrix, HostAddress weighted_index_std_log);

void convert_antidiag_to_square(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress input_matrix, HostAddress output_matrix);

void convert_square_to_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress input_matrix, HostAddress output_matrix);

void extract_last_row_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               HostAddress input_matrix, HostAddress output_matrix);

// The float64 pipeline: the same operations, arguments and checks on float64 buffers, with
// float64 arithmetic throughout (gamma checked in float64's range).
void calc_manhattan_distance_float64(HostAddress input_signal,
                                     const std::vector<int>& input_signal_lengths,
                                     HostAddress ref_signal, int ref_signal_length,
                                     HostAddress distance_matrix);
void calc_manhattan_distance_gradient_float64(HostAddress input_signal,
                                              const std::vector<int>& input_signal_lengths,
                                              HostAddress ref_signal, int ref_signal_length,
                                              HostAddress gradient_matrix,
                                              HostAddress input_gradients,
                                              HostAddress ref_gradients);
void calc_softdtw_forward_float64(const std::vector<int>& input_signal_lengths,
                                  int ref_signal_length, HostAddress distance_matrix,
                                  HostAddress score_matrix, HostAddress scores, double gamma,
                                  HostAddress alpha, bool local_end, bool last_row_only,
                                  double ref_gap_penalty);
void calc_softdtw_backward_float64(const std::vector<int>& input_signal_lengths,
                                   int ref_signal_length, HostAddress distance_matrix,
                                   HostAddress score_matrix, HostAddress gradient_matrix,
                                   double gamma, HostAddress alpha, bool local_end,
                                   HostAddress scores, bool last_row_only, double ref_gap_penalty);
void normalize_matrix_float64(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                              HostAddress gradient_matrix, HostAddress ref_total_grads);
void calc_weighted_means_float64(HostAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, HostAddress gradient_matrix,
                                 HostAddress weighted_means);
void calc_weighted_std_float64(HostAddress input_signal,
                               const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               HostAddress gradient_matrix, HostAddress weighted_means,
                               HostAddress weighted_std_log);
void calc_weighted_index_std_float64(const std::vector<int>& input_signal_lengths,
                                     int ref_signal_length, HostAddress gradient_matrix,
                                     HostAddress weighted_index_std_log);
void convert_antidiag_to_square_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, HostAddress input_matrix,
                                        HostAddress output_matrix);
void convert_square_to_antidiag_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, HostAddress input_matrix,
                                        HostAddress output_matrix);

// The passes of pairs, each signal against a reference of its own (ref_signal_lengths M_k):
// one pass per pair on its own part of the buffers, as the one-reference functions run it.
void calc_softdtw_pair_forward(
    const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths,
    HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores, double gamma, HostAddress alpha, bool local_end,
    bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_forward_mixed(
    const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths,
    HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores, double gamma, HostAddress alpha, bool local_end,
    bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_forward_float64(
    const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths,
    HostAddress distance_matrix, HostAddress score_matrix, HostAddress scores, double gamma, HostAddress alpha, bool local_end,
    bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_backward(
    const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths,
    HostAddress distance_matrix, HostAddress score_matrix, HostAddress gradient_matrix, double gamma, HostAddress alpha,
    bool local_end, HostAddress scores, bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_backward_mixed(
    const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths,
    HostAddress distance_matrix, HostAddress score_matrix, HostAddress gradient_matrix, double gamma, HostAddress alpha,
    bool local_end, HostAddress scores, bool last_row_only, double ref_gap_penalty);
void calc_softdtw_pair_backward_float64(
    const std::vector<int>& input_signal_lengths, const std::vector<int>& ref_signal_lengths,
    HostAddress distance_matrix, HostAddress score_matrix, HostAddress gradient_matrix, double gamma, HostAddress alpha,
    bool local_end, HostAddress scores, bool last_row_only, double ref_gap_penalty);

// The mixed path's passes: float32 distances, alpha and gradients as in the float32 path,
// float64 score matrices and scores; every difference of scores is formed in float64 and
// rounded to float32, everything else is float32.
void calc_softdtw_forward_mixed(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress distance_matrix, HostAddress score_matrix,
                                HostAddress scores, double gamma, HostAddress alpha, bool local_end,
                                bool last_row_only, double ref_gap_penalty);
void calc_softdtw_backward_mixed(const std::vector<int>& input_signal_lengths,
                                 int ref_signal_length, HostAddress distance_matrix,
                                 HostAddress score_matrix, HostAddress gradient_matrix,
                                 double gamma, HostAddress alpha, bool local_end,
                                 HostAddress scores, bool last_row_only, double ref_gap_penalty);

// Scores alone, each cell's cost formed from the samples inside the forward sweep: no
// distance or score matrix, only the rolling diagonals (and, with a free end, the N + M - 1
// terminal scores). The scores equal calc_manhattan_distance + calc_softdtw_forward's of the
// same path bit for bit (float32 buffers; float64 ones; float32 buffers with float64 scores).
// Beyond the kernels' costs, as calc_distance forms them: `channels` values per sample
// (signals (N_k, channels) and the reference (M, channels), row-major), cost "abs" or
// "sqeuclidean", and band: B int32 half-widths of a Sakoe-Chiba band (address 0: none), whose
// cells outside are skipped as if infinite, spread over each matrix as band_kind says
// ("scaled" or "widened", costs.h's BandKind).
void calc_softdtw_scores(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                         HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                         double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                         double ref_gap_penalty, int channels, const std::string& cost,
                         HostAddress band, const std::string& band_kind);
void calc_softdtw_scores_float64(HostAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 HostAddress ref_signal, int ref_signal_length, HostAddress scores,
                                 double gamma, HostAddress alpha, bool local_end,
                                 bool last_row_only, double ref_gap_penalty, int channels,
                                 const std::string& cost, HostAddress band,
                                 const std::string& band_kind);
void calc_softdtw_scores_mixed(HostAddress input_signal,
                               const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
                               int ref_signal_length, HostAddress scores, double gamma,
                               HostAddress alpha, bool local_end, bool last_row_only,
                               double ref_gap_penalty, int channels, const std::string& cost,
                               HostAddress band, const std::string& band_kind);

// Scores and the gradients of sum_k w_k * score_k (weights: B values, or 0 for all ones)
// with respect to the samples and the reference, added into input_gradients (0: the
// reference's alone) and ref_gradients, without distance or gradient matrices: score_matrix
// (float32, or float64 on the float64 and mixed paths) holds R, and each cell's cost is
// formed again from the samples. Short signals that run side by side (float32 and mixed
// paths) keep their R interleaved in their part of score_matrix, which only these passes read.
// score_matrix_cells: the cells score_matrix holds, 0 for the batch's. A batch of one signal
// whose R does not fit keeps checkpoints of R there instead, when it holds at least
// gradient_checkpoint_cells of the signal.
void calc_softdtw_gradients(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                            HostAddress ref_signal, int ref_signal_length, HostAddress score_matrix,
                            HostAddress scores, HostAddress input_gradients,
                            HostAddress ref_gradients, double gamma, HostAddress alpha,
                            HostAddress weights, bool local_end, bool last_row_only,
                            double ref_gap_penalty, std::int64_t score_matrix_cells, int channels,
                            const std::string& cost, HostAddress band,
                            const std::string& band_kind);
void calc_softdtw_gradients_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    int ref_signal_length, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind);
void calc_softdtw_gradients_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    int ref_signal_length, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind);
// The scores and the gradients without matrices of pairs: signal k against a reference of its
// own, of ref_signal_lengths[k] samples (one positive length per signal), the references one
// after the other at ref_signal ((sum M_k, channels) values). The same arguments and checks as
// the functions above otherwise; a band is per pair, on its own N_k x M_k matrix. Each pair's
// reference gradient is added into its own part of ref_gradients, and its score matrix holds
// sum N_k * M_k cells (or, for one pair, its checkpoints). Each pair's results are those of
// the functions above called with that signal alone and its reference, bit for bit.
void calc_softdtw_pair_scores(HostAddress input_signal,
                              const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
                              const std::vector<int>& ref_signal_lengths, HostAddress scores,
                              double gamma, HostAddress alpha, bool local_end, bool last_row_only,
                              double ref_gap_penalty, int channels, const std::string& cost,
                              HostAddress band, const std::string& band_kind);
void calc_softdtw_pair_scores_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress scores, double gamma, HostAddress alpha,
    bool local_end, bool last_row_only, double ref_gap_penalty, int channels,
    const std::string& cost, HostAddress band, const std::string& band_kind);
void calc_softdtw_pair_scores_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress scores, double gamma, HostAddress alpha,
    bool local_end, bool last_row_only, double ref_gap_penalty, int channels,
    const std::string& cost, HostAddress band, const std::string& band_kind);
void calc_softdtw_pair_gradients(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind);
void calc_softdtw_pair_gradients_float64(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind);
void calc_softdtw_pair_gradients_mixed(
    HostAddress input_signal, const std::vector<int>& input_signal_lengths, HostAddress ref_signal,
    const std::vector<int>& ref_signal_lengths, HostAddress score_matrix, HostAddress scores,
    HostAddress input_gradients, HostAddress ref_gradients, double gamma, HostAddress alpha,
    HostAddress weights, bool local_end, bool last_row_only, double ref_gap_penalty,
    std::int64_t score_matrix_cells, int channels, const std::string& cost, HostAddress band,
    const std::string& band_kind);
// Distance matrices in the anti-diagonal layout from signals of `channels` values per sample,
// cost "abs" (|x - y| summed over the channels, in order) or "sqeuclidean" ((x - y)^2), +inf
// outside a band (band: B int32 half-widths, address 0: none, of band_kind "scaled" or
// "widened"); and the gradient of sum E * cost
// with respect to the samples and the reference, summed in a fixed order.
void calc_distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                   HostAddress ref_signal, int ref_signal_length, HostAddress distance_matrix,
                   int channels, const std::string& cost, HostAddress band,
                   const std::string& band_kind);
void calc_distance_float64(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                           HostAddress ref_signal, int ref_signal_length,
                           HostAddress distance_matrix, int channels, const std::string& cost,
                           HostAddress band, const std::string& band_kind);
void calc_distance_gradient(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                            HostAddress ref_signal, int ref_signal_length,
                            HostAddress gradient_matrix, HostAddress input_gradients,
                            HostAddress ref_gradients, int channels, const std::string& cost);
void calc_distance_gradient_float64(HostAddress input_signal,
                                    const std::vector<int>& input_signal_lengths,
                                    HostAddress ref_signal, int ref_signal_length,
                                    HostAddress gradient_matrix, HostAddress input_gradients,
                                    HostAddress ref_gradients, int channels,
                                    const std::string& cost);

// Cells of the checkpoints of R that the lean gradients keep of a signal of this length.
std::int64_t gradient_checkpoint_cells(int input_signal_length, int ref_signal_length);

// Worker threads for the operations; 0 means one per core (the default). At most the number
// of threads the machine runs at once.
void set_num_threads(long long threads);

// Test hooks: run every later operation on one instruction set ("scalar", the portable
// fallback, or "best"), and the name of the one operations now use.
void force_instruction_set(const std::string& name);
std::string last_instruction_set();

// Test hook: cut the matrix of every signal that runs alone (not side by side, and not from
// checkpoints) into this many tiles (of columns, or of rows where it is wider than long; at
// most one a line), or 0 to leave it to the batch and the signal's size.
void force_tiles(int tiles);

}  // namespace orvane::vectorised
