// What a cell costs beyond the kernels' 1-D |x - y|: signals of several channels, the squared
// difference, and a Sakoe-Chiba band. Shared by the distance and Soft-DTW passes of the
// vectorised module, whose costs must be the same bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/antidiag_index.h"
#include "common/band.h"
#include "common/cost_options.h"

namespace orvane::vectorised {

using orvane::band_half_widths;
using orvane::BandKind;
using orvane::checked_channels;
using orvane::CostKind;
using orvane::parse_band_kind;
using orvane::parse_cost;

// The cells of an N x M matrix that a band of either kind keeps (common/band.h), as
// positions of each diagonal.
class Band {
public:
    // No band: every cell is kept.
    Band(int rows, int cols) : Band(rows, cols, -1, BandKind::scaled) {}
    Band(int rows, int cols, int half_width, BandKind kind)
        : line_(BandLine::of(rows, cols, half_width, kind)) {}

    bool active() const { return line_.active(); }

    // Positions [begin, end) of the diagonal that the band keeps.
    template <class Span>
    std::pair<int, int> positions(int diagonal, const Span& span) const {
        if (!active()) {
            return {0, span.length};
        }
        const std::int64_t low = line_.lowest_column(diagonal) - span.first_col;
        const std::int64_t high = line_.highest_column(diagonal) - span.first_col + 1;
        const int begin = static_cast<int>(std::clamp<std::int64_t>(low, 0, span.length));
        const int end = static_cast<int>(std::clamp<std::int64_t>(high, begin, span.length));
        return {begin, end};
    }

private:
    BandLine line_;
};

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
