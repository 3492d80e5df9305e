// Argument checks and offset tables that every implementation of the operations shares: the
// CUDA frame, the CPU twin and the vectorised CPU module raise the same messages.
#include "common/batch_checks.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

namespace orvane {
namespace {

constexpr std::int64_t kMaxPositions = std::numeric_limits<int>::max();

// The shortest text that reads back as the same double, as Python shows a float.
std::string format_number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

}  // namespace

void validate_lengths(const std::vector<int>& lengths, int ref_signal_length) {
    if (lengths.empty()) {
        throw std::invalid_argument("input_signal_lengths is empty");
    }
    if (ref_signal_length <= 0) {
        throw std::invalid_argument("ref_signal_length must be positive");
    }
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        if (lengths[k] <= 0) {
            throw std::invalid_argument("input_signal_lengths[" + std::to_string(k) +
                                        "] must be positive, got: " + std::to_string(lengths[k]));
        }
    }
}

void validate_pair_lengths(const std::vector<int>& lengths,
                           const std::vector<int>& ref_signal_lengths) {
    validate_lengths(lengths, 1);
    if (ref_signal_lengths.size() != lengths.size()) {
        throw std::invalid_argument("ref_signal_lengths must hold one length per signal: got " +
                                    std::to_string(ref_signal_lengths.size()) + " for " +
                                    std::to_string(lengths.size()) + " signals");
    }
    for (std::size_t k = 0; k < ref_signal_lengths.size(); ++k) {
        if (ref_signal_lengths[k] <= 0) {
            throw std::invalid_argument("ref_signal_lengths[" + std::to_string(k) +
                                        "] must be positive, got: " +
                                        std::to_string(ref_signal_lengths[k]));
        }
    }
}

void check_pairs_fit_int32(const std::vector<int>& lengths,
                           const std::vector<int>& ref_signal_lengths,
                           std::int64_t per_reference_sample) {
    check_samples_fit_int32(lengths);
    std::int64_t cells = 0;
    std::int64_t reference_values = 0;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        cells += std::int64_t{lengths[k]} * ref_signal_lengths[k];
        reference_values += per_reference_sample * ref_signal_lengths[k];
    }
    if (cells > kMaxPositions) {
        throw std::invalid_argument(
            "the batch matrix would hold " + std::to_string(cells) +
            " cells (the sum of input_signal_lengths times ref_signal_lengths), more than the "
            "2147483647 that 32-bit positions can address");
    }
    if (reference_values > kMaxPositions) {
        throw std::invalid_argument(
            "ref_signal_lengths add up to " + std::to_string(reference_values / per_reference_sample) +
            " samples, whose " + std::to_string(reference_values) +
            " values are more than the 2147483647 that 32-bit positions can address");
    }
}

std::int64_t check_samples_fit_int32(const std::vector<int>& lengths) {
    std::int64_t samples = 0;
    for (const int length : lengths) {
        samples += length;
    }
    if (samples > kMaxPositions) {
        throw std::invalid_argument(
            "input_signal_lengths add up to " + std::to_string(samples) +
            " samples, more than the 2147483647 that 32-bit positions can address");
    }
    return samples;
}

void check_batch_fits_int32(const std::vector<int>& lengths, int ref_signal_length) {
    const std::int64_t samples = check_samples_fit_int32(lengths);
    // Every signal has at least one sample, so a batch of cells that fits also bounds the
    // packed per-signal arrays of B * M values.
    const std::int64_t cells = samples * ref_signal_length;
    if (cells > kMaxPositions) {
        throw std::invalid_argument(
            "the batch matrix would hold " + std::to_string(cells) +
            " cells (the sum of input_signal_lengths times ref_signal_length), more than the "
            "2147483647 that 32-bit positions can address");
    }
}

namespace {

// value rounded to T; throws unless that is a finite, normal number greater than zero.
template <typename T>
T checked_gamma_of(double gamma, const char* type_name) {
    const auto rounded = static_cast<T>(gamma);
    if (!(std::isfinite(rounded) && rounded >= std::numeric_limits<T>::min())) {
        throw std::invalid_argument(std::string("gamma must be a finite, normal ") + type_name +
                                    " number greater than zero, got: " + format_number(gamma));
    }
    return rounded;
}

template <typename T>
T checked_ref_gap_penalty_of(double ref_gap_penalty, bool local_end) {
    const auto rounded = static_cast<T>(ref_gap_penalty);
    if (local_end && !std::isfinite(rounded)) {
        throw std::invalid_argument("ref_gap_penalty must be a finite number, got: " +
                                    format_number(ref_gap_penalty));
    }
    return rounded;
}

}  // namespace

float checked_gamma(double gamma) { return checked_gamma_of<float>(gamma, "float32"); }

double checked_gamma_float64(double gamma) { return checked_gamma_of<double>(gamma, "float64"); }

float checked_ref_gap_penalty(double ref_gap_penalty, bool local_end) {
    return checked_ref_gap_penalty_of<float>(ref_gap_penalty, local_end);
}

double checked_ref_gap_penalty_float64(double ref_gap_penalty, bool local_end) {
    return checked_ref_gap_penalty_of<double>(ref_gap_penalty, local_end);
}

void require_buffers(const char* operation,
                     std::initializer_list<std::pair<const char*, std::uint64_t>> buffers) {
    for (const auto& [name, address] : buffers) {
        if (address == 0) {
            throw std::invalid_argument(std::string(operation) + ": " + name + " must not be 0");
        }
    }
}

std::vector<int> make_signal_offsets(const std::vector<int>& lengths) {
    std::vector<int> offsets(lengths.size());
    std::exclusive_scan(lengths.begin(), lengths.end(), offsets.begin(), 0);
    return offsets;
}

}  // namespace orvane
