// What a cell costs beyond the kernels' 1-D |x - y|: signals of several channels, the squared
// difference, and a Sakoe-Chiba band. Shared by the distance and Soft-DTW passes of the
// vectorised module, whose costs must be the same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/antidiag_index.h"

namespace orvane::vectorised {

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

// How a Sakoe-Chiba band's half-width r spreads over an N x M matrix.
//  - scaled: (i, j) with |i (M - 1) - j (N - 1)| <= r max(N - 1, M - 1), within r steps of
//    the line from (0, 0) to (N - 1, M - 1) along the longer side.
//  - widened: |i - j| <= r widened by |N - M| on the longer side: for N <= M, row i keeps
//    columns max(0, i - r) .. i + (M - N) + r; for N > M, column j keeps rows
//    max(0, j - r) .. j + (N - M) + r (tslearn's sakoe_chiba_mask).
enum class BandKind { scaled, widened };

inline BandKind parse_band_kind(const std::string& name) {
    if (name == "scaled") {
        return BandKind::scaled;
    }
    if (name == "widened") {
        return BandKind::widened;
    }
    throw std::invalid_argument("band_kind must be 'scaled' or 'widened', got: '" + name + "'");
}

// The cells of an N x M matrix that a Sakoe-Chiba band of either kind keeps. On diagonal d
// (i = d - j) both keep the columns j with |slope j - step d - offset| <= reach, one run of
// consecutive cells that moves by at most one column from one diagonal to the next
// (step <= slope):
//  - scaled: |d (M - 1) - j (N + M - 2)| <= r max(N - 1, M - 1);
//  - widened: -r <= j - i <= (M - N) + r for N <= M, (M - N) - r <= j - i <= r for N > M,
//    both |4 j - 2 d - (M - N)| <= 2 r + |M - N|, with j - i = 2 j - d.
class Band {
public:
    // No band: every cell is kept.
    Band(int rows, int cols) : Band(rows, cols, -1, BandKind::scaled) {}
    Band(int rows, int cols, int half_width, BandKind kind)
        : line_(half_width < 0 ? Line{} : line_of(rows, cols, half_width, kind)) {}

    bool active() const { return line_.reach >= 0 && line_.slope > 0; }

    // Positions [begin, end) of the diagonal that the band keeps.
    template <class Span>
    std::pair<int, int> positions(int diagonal, const Span& span) const {
        if (!active()) {
            return {0, span.length};
        }
        const std::int64_t centre = std::int64_t{diagonal} * line_.step + line_.offset;
        const std::int64_t low =
            ceiling_quotient(centre - line_.reach, line_.slope) - span.first_col;
        const std::int64_t high =
            floor_quotient(centre + line_.reach, line_.slope) - span.first_col + 1;
        const int begin = static_cast<int>(std::clamp<std::int64_t>(low, 0, span.length));
        const int end = static_cast<int>(std::clamp<std::int64_t>(high, begin, span.length));
        return {begin, end};
    }

private:
    // |slope j - step d - offset| <= reach; a reach below 0 keeps every cell.
    struct Line {
        std::int64_t slope = 1;
        std::int64_t step = 0;
        std::int64_t offset = 0;
        std::int64_t reach = -1;
    };

    static Line line_of(int rows, int cols, int half_width, BandKind kind) {
        if (kind == BandKind::widened) {
            const std::int64_t excess = std::int64_t{cols} - rows;
            return {4, 2, excess, 2 * std::int64_t{half_width} + std::abs(excess)};
        }
        return {std::int64_t{rows} + cols - 2, cols - 1, 0,
                std::int64_t{half_width} * (std::max(rows, cols) - 1)};
    }
    static std::int64_t floor_quotient(std::int64_t a, std::int64_t b) {
        return a / b - (a % b != 0 && a < 0);
    }
    static std::int64_t ceiling_quotient(std::int64_t a, std::int64_t b) {
        return a / b + (a % b != 0 && a > 0);
    }

    Line line_;
};

// Half-widths per signal from B int32 values, or -1 (no band) for each without them.
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

// Where a pass forms its costs: a signal and the reference, channel-major, the signal's
// samples in reverse (sample i of channel c at samples + c N + N - 1 - i), with the cost's
// kind.
template <typename T>
struct SampleSource {
    const T* samples;
    int rows;
    const T* reference;
    int cols;
    int channels;
    CostKind kind;
};

// Where a signal's samples are kept: as given, or in reverse.
enum class SampleOrder { forward, reversed };

inline std::size_t position_of(int i, int length, SampleOrder order) {
    return static_cast<std::size_t>(order == SampleOrder::reversed ? length - 1 - i : i);
}

// Samples of several channels, sample-major as callers hold them ((N, d) row-major), copied
// channel-major so that a diagonal's lanes of one channel are contiguous: a signal's in
// reverse, since on a diagonal its rows fall as the columns rise, so that its lanes load
// forwards too. A reference of one channel is used in place.
template <typename T>
class ChannelMajor {
public:
    ChannelMajor(const T* samples, int length, int channels, SampleOrder order) {
        if (channels == 1 && order == SampleOrder::forward) {
            data_ = samples;
            return;
        }
        copy_.resize(static_cast<std::size_t>(length) * channels);
        for (int i = 0; i < length; ++i) {
            for (int c = 0; c < channels; ++c) {
                copy_[static_cast<std::size_t>(c) * length + position_of(i, length, order)] =
                    samples[static_cast<std::size_t>(i) * channels + c];
            }
        }
        data_ = copy_.data();
    }

    const T* data() const { return data_; }

private:
    const T* data_ = nullptr;
    std::vector<T> copy_;
};

// Values summed channel-major (in `order`), added sample-major into the caller's (N, d).
template <typename T>
void add_sample_major(const T* channel_major, T* sample_major, int length, int channels,
                      SampleOrder order = SampleOrder::forward) {
    for (int i = 0; i < length; ++i) {
        for (int c = 0; c < channels; ++c) {
            sample_major[static_cast<std::size_t>(i) * channels + c] +=
                channel_major[static_cast<std::size_t>(c) * length + position_of(i, length, order)];
        }
    }
}

}  // namespace orvane::vectorised
