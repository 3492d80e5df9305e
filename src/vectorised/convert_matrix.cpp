// Layout conversions on the CPU: float32 or float64 values move between the anti-diagonal
// layout and row-major order bit for bit, one signal per task.
#include <algorithm>

#include "vectorised/batch.h"

namespace orvane::vectorised {
namespace {

enum class Direction { to_square, to_antidiag };

constexpr const char* conversion_name(Direction direction) {
    return direction == Direction::to_square ? "convert_antidiag_to_square"
                                             : "convert_square_to_antidiag";
}

void require_matrices(const char* operation, HostAddress input, HostAddress output) {
    require_buffers(operation, {{"input_matrix_ptr", input}, {"output_matrix_ptr", output}});
}

template <Direction direction, typename T = float>
void convert(const std::vector<int>& lengths, int ref_signal_length, HostAddress input,
             HostAddress output) {
    const Batch batch(lengths, ref_signal_length);
    require_matrices(conversion_name(direction), input, output);
    const auto source = host_pointer<const T>(input);
    const auto target = host_pointer<T>(output);
    for_each_signal(batch, [&](const Signal& signal) {
        for (int d = 0; d < signal.diagonals(); ++d) {
            const DiagonalSpan span = signal.diagonal(d);
            for (int p = 0; p < span.length; ++p) {
                const int i = d - span.first_col - p;
                const std::int64_t antidiag = signal.first_cell + span.start + p;
                const std::int64_t square =
                    signal.first_cell + std::int64_t{i} * signal.cols + span.first_col + p;
                if constexpr (direction == Direction::to_square) {
                    target[square] = source[antidiag];
                } else {
                    target[antidiag] = source[square];
                }
            }
        }
    });
}

}  // namespace

void convert_antidiag_to_square(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress input_matrix, HostAddress output_matrix) {
    convert<Direction::to_square>(input_signal_lengths, ref_signal_length, input_matrix,
                                  output_matrix);
}

void convert_square_to_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                                HostAddress input_matrix, HostAddress output_matrix) {
    convert<Direction::to_antidiag>(input_signal_lengths, ref_signal_length, input_matrix,
                                    output_matrix);
}

void convert_antidiag_to_square_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, HostAddress input_matrix,
                                        HostAddress output_matrix) {
    convert<Direction::to_square, double>(input_signal_lengths, ref_signal_length, input_matrix,
                                          output_matrix);
}

void convert_square_to_antidiag_float64(const std::vector<int>& input_signal_lengths,
                                        int ref_signal_length, HostAddress input_matrix,
                                        HostAddress output_matrix) {
    convert<Direction::to_antidiag, double>(input_signal_lengths, ref_signal_length, input_matrix,
                                            output_matrix);
}

void extract_last_row_antidiag(const std::vector<int>& input_signal_lengths, int ref_signal_length,
                               HostAddress input_matrix, HostAddress output_matrix) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_matrices("extract_last_row_antidiag", input_matrix, output_matrix);
    const auto source = host_pointer<const float>(input_matrix);
    const auto target = host_pointer<float>(output_matrix);
    for_each_signal(batch, [&](const Signal& signal) {
        const AntidiagMatrix matrix{0, signal.rows, signal.cols};
        float* row = target + std::int64_t{signal.index} * signal.cols;
        for (int j = 0; j < signal.cols; ++j) {
            row[j] = source[signal.first_cell + matrix.cell(signal.rows - 1, j)];
        }
    });
}

}  // namespace orvane::vectorised
