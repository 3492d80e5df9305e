// The checks of what a cell costs beyond the kernels' 1-D |x - y| (channels, the cost's kind,
// a band's half-widths), shared by the vectorised module and the kernels that form costs from
// the samples, so that both refuse the same arguments with the same messages.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// |x - y| or (x - y)^2 per channel, summed over the channels in order.
enum class CostKind { abs, sqeuclidean };

inline CostKind parse_cost(const std::string& name) {
    if (name == "abs") {
        return CostKind::abs;
    }
    if (name == "sqeuclidean") {
        return CostKind::sqeuclidean;
    }
    throw std::invalid_argument("cost must be 'abs' or 'sqeuclidean', got: '" + name + "'");
}

inline int checked_channels(int channels) {
    if (channels < 1) {
        throw std::invalid_argument("channels must be 1 or more, got: " + std::to_string(channels));
    }
    return channels;
}

// Half-widths per signal from B int32 values on the host, or -1 (no band) for each without
// them.
inline std::vector<int> band_half_widths(const int* values, int count) {
    std::vector<int> widths(static_cast<std::size_t>(count), -1);
    if (values == nullptr) {
        return widths;
    }
    for (int k = 0; k < count; ++k) {
        if (values[k] < 0) {
            throw std::invalid_argument("band[" + std::to_string(k) +
                                        "] must be 0 or more, got: " + std::to_string(values[k]));
        }
        widths[static_cast<std::size_t>(k)] = values[k];
    }
    return widths;
}

}  // namespace orvane
