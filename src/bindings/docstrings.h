// The Python docstrings of the module's functions, laid out as they have always been shown:
// an opening newline, text indented by 14 spaces (entries under "Args:" keep their own
// indentation on top), and a closing newline followed by 10 spaces.
#pragma once

#include <string>
#include <string_view>

namespace orvane::docs {

enum class SummaryGap { empty, indented };
enum class TrailingBlank { no, yes };

inline std::string layout(std::string_view text, SummaryGap summary_gap,
                          TrailingBlank trailing_blank = TrailingBlank::no) {
    constexpr std::string_view kIndent = "              ";
    std::string out = "\n";
    bool first_blank = true;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        if (!line.empty()) {
            out.append(kIndent).append(line);
        } else if (first_blank && summary_gap == SummaryGap::indented) {
            out.append(kIndent);
        }
        if (line.empty()) {
            first_blank = false;
        }
        out.push_back('\n');
        start = end + 1;
    }
    if (trailing_blank == TrailingBlank::yes) {
        out.push_back('\n');
    }
    out.append("          ");
    return out;
}

inline const std::string calc_manhattan_distance = layout(
    "Calculate Manhattan distance between input signals and reference signal.\n"
    "\n"
    "Args:\n"
    "    input_signal_ptrs: uintptr_t from input_signals.data_ptr()\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_ptr: uintptr_t from ref_signal.data_ptr()\n"
    "    ref_signal_length: Length of reference signal\n"
    "    distance_matrix_ptrs: uintptr_t from distance_matrices.data_ptr()",
    SummaryGap::indented);

inline const std::string calc_manhattan_distance_gradient = layout(
    "Calculate gradient of Manhattan distance between input signals and reference signal.\n"
    "\n"
    "Args:\n"
    "    input_signal_ptr: uintptr_t from input_signals.data_ptr()\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_ptr: uintptr_t from ref_signal.data_ptr()\n"
    "    ref_signal_length: Length of reference signal\n"
    "    gradient_matrix_ptr: uintptr_t from distance_matrices.data_ptr()\n"
    "    input_gradients_ptr: uintptr_t from input_signal_gradients.data_ptr()\n"
    "    ref_gradients_ptr: uintptr_t from ref_signal_gradients.data_ptr()",
    SummaryGap::indented, TrailingBlank::yes);

inline const std::string calc_softdtw_forward = layout(
    "Calculate SoftDTW forward pass by outputting score matrix and its final scores.\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    distance_matrix_ptr: uintptr_t from distance_matrices.data_ptr()\n"
    "    score_matrix_ptr: uintptr_t from score_matrices.data_ptr()\n"
    "    scores_ptr: uintptr_t from scores.data_ptr()\n"
    "    gamma: SoftDTW parameter (default is 1.0)\n"
    "    alpha_ptr: uintptr_t from per-signal alpha tensor data_ptr(),\n"
    "        or 0 to skip the per-cell bias shift (default 0).\n"
    "    local_end: if True, the final score is a soft-min over the last\n"
    "        row union last column of the score matrix (one-sided local\n"
    "        alignment with anchored start). Default False.\n"
    "    last_row_only: only meaningful when local_end is True. If True,\n"
    "        the terminal set is the last row only (query fully consumed,\n"
    "        reference end free) instead of last row union last column.\n"
    "        Default False.\n"
    "    ref_gap_penalty: per-reference-column advance penalty g added to\n"
    "        each terminal as g*j, so covering reference column j costs\n"
    "        g*j. Used to control where the alignment ends. Default 0.",
    SummaryGap::empty);

inline const std::string calc_softdtw_backward = layout(
    "Calculate SoftDTW backward pass by outputting gradients for input signals and reference "
    "signal.\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    distance_matrix_ptr: uintptr_t from distance_matrices.data_ptr()\n"
    "    score_matrix_ptr: uintptr_t from score_matrices.data_ptr()\n"
    "    gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr()\n"
    "    gamma: SoftDTW parameter (default is 1.0)\n"
    "    alpha_ptr: uintptr_t from per-signal alpha tensor data_ptr(),\n"
    "        or 0 to skip the per-cell bias shift (default 0).\n"
    "    local_end: if True, applies one-sided local-alignment boundary.\n"
    "        Default False.\n"
    "    scores_ptr: required when local_end is True; pointer to the\n"
    "        per-signal final scores produced by calc_softdtw_forward.\n"
    "    last_row_only: must match the value used in the forward pass.\n"
    "        Default False.\n"
    "    ref_gap_penalty: must match the value used in the forward pass.\n"
    "        Default 0.",
    SummaryGap::empty);

inline const std::string normalize_matrix = layout(
    "Normalize the gradient matrix by dividing each element by the sum of gradients for each "
    "reference position.\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr()\n"
    "    ref_total_grads_ptr: uintptr_t from ref_total_grads.data_ptr() (temporary storage)",
    SummaryGap::indented);

inline const std::string calc_weighted_means = layout(
    "Calculate weighted means of input signals using the normalized gradient matrix as "
    "weights.\n"
    "\n"
    "Args:\n"
    "    input_signal_ptr: uintptr_t from input_signals.data_ptr()\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr() (normalized)\n"
    "    weighted_means_ptr: uintptr_t from weighted_means.data_ptr()",
    SummaryGap::indented);

inline const std::string calc_weighted_std = layout(
    "Calculate weighted standard deviation (in log scale) of input signals using the "
    "normalized gradient matrix as weights.\n"
    "\n"
    "Args:\n"
    "    input_signal_ptr: uintptr_t from input_signals.data_ptr()\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr() (normalized)\n"
    "    weighted_means_ptr: uintptr_t from weighted_means.data_ptr() (precomputed)\n"
    "    weighted_std_log_ptr: uintptr_t from weighted_std_log.data_ptr()",
    SummaryGap::indented);

inline const std::string calc_weighted_index_std = layout(
    "Calculate weighted standard deviation (in log scale) of index positions using the "
    "normalized gradient matrix as weights.\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    gradient_matrix_ptr: uintptr_t from gradient_matrices.data_ptr() (normalized)\n"
    "    weighted_index_std_log_ptr: uintptr_t from weighted_index_std_log.data_ptr()",
    SummaryGap::indented);

inline const std::string convert_antidiag_to_square = layout(
    "Convert anti-diagonal matrix format to standard row-major format for debugging and "
    "compatibility.\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    input_matrix_ptr: uintptr_t from input_matrix.data_ptr() (anti-diagonal format)\n"
    "    output_matrix_ptr: uintptr_t from output_matrix.data_ptr() (row-major format)",
    SummaryGap::indented);

inline const std::string convert_square_to_antidiag = layout(
    "Convert standard row-major matrix format to anti-diagonal format used by CUDA kernels.\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    input_matrix_ptr: uintptr_t from input_matrix.data_ptr() (row-major format)\n"
    "    output_matrix_ptr: uintptr_t from output_matrix.data_ptr() (anti-diagonal format)",
    SummaryGap::empty);

inline const std::string extract_last_row_antidiag = layout(
    "Extract R[N_k-1, :] per signal directly from the anti-diagonal layout,\n"
    "writing to a packed (num_signals, ref_signal_length) output.\n"
    "\n"
    "Avoids the full antidiag->square conversion and its scratch buffer\n"
    "(which is the size of the entire concatenated matrix).\n"
    "\n"
    "Args:\n"
    "    input_signal_lengths: List of signal lengths\n"
    "    ref_signal_length: Length of reference signal\n"
    "    input_matrix_ptr: uintptr_t from input_matrix.data_ptr() (anti-diagonal format)\n"
    "    output_matrix_ptr: uintptr_t from output.data_ptr() \u2014 must hold\n"
    "        num_signals * ref_signal_length float32 elements (row-major).",
    SummaryGap::empty);

}  // namespace orvane::docs
