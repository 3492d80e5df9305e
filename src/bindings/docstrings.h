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
