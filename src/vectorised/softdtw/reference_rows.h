// How a call of the lean gradients (drivers.cpp) adds up its reference gradients: each
// signal's formed in a row of its own, a chunk of consecutive signals at a time, and the
// rows added in signal order into the gradient of the signal's reference (the one reference
// of the batch, or the signal's own), so that the sums are the same however the signals are
// grouped and on any number of threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "vectorised/batch.h"
#include "vectorised/costs.h"

namespace orvane::vectorised {

template <typename Data>
class ReferenceRows {
public:
    // A chunk's rows hold at most this many values (or one signal's row, if longer).
    static constexpr std::int64_t kMostChunkValues = std::int64_t{1} << 21;

    // The rows of `batch`'s signals, of `channels` values a reference sample, summed into
    // `gradients`: the references' (sum M_r, channels) values, sample-major.
    ReferenceRows(const Batch& batch, int channels, Data* gradients)
        : batch_(batch), channels_(channels), gradients_(gradients) {
        std::int64_t first_value = 0;
        std::int64_t chunk_values = 0;
        for (int k = 0; k < batch.count(); ++k) {
            const std::int64_t own = std::int64_t{batch.signal(k).cols} * channels;
            if (k == 0 || chunk_values + own > kMostChunkValues) {
                chunks_.emplace_back(k, k + 1);
                chunk_values = 0;
            } else {
                chunks_.back().second = k + 1;
            }
            row_starts_.push_back(first_value);
            first_value += own;
            chunk_values += own;
            longest_chunk_ = std::max(longest_chunk_, chunk_values);
        }
        // Several channels are summed channel-major, as the rows hold them.
        if (channels > 1) {
            const int last = batch.references() - 1;
            channel_major_.assign(static_cast<std::size_t>(batch.first_reference_sample(last) +
                                                           batch.ref_length(last)) *
                                      channels,
                                  Data{0});
        }
    }

    // body(first, stop) for each chunk of signals [first, stop) in turn, row_of(k) giving
    // each of its signals a zeroed row, whose values the chunk's rows are then added from;
    // then the sums go into the caller's gradients.
    template <class Body>
    void for_each_chunk(const Body& body) {
        rows_.resize(static_cast<std::size_t>(longest_chunk_));
        for (const auto& [first, stop] : chunks_) {
            std::fill(rows_.begin(), rows_.end(), Data{0});
            chunk_start_ = row_starts_[static_cast<std::size_t>(first)];
            body(first, stop);
            for (int k = first; k < stop; ++k) {
                add_row(k);
            }
        }
        if (channels_ > 1) {
            for (int r = 0; r < batch_.references(); ++r) {
                const std::int64_t first_value = batch_.first_reference_sample(r) * channels_;
                add_sample_major(channel_major_.data() + first_value, gradients_ + first_value,
                                 batch_.ref_length(r), channels_);
            }
        }
    }

    // Signal k's row, channel-major, in the chunk that runs.
    Data* row_of(int k) {
        return rows_.data() + (row_starts_[static_cast<std::size_t>(k)] - chunk_start_);
    }

private:
    void add_row(int k) {
        const Signal signal = batch_.signal(k);
        const std::int64_t first_value =
            batch_.first_reference_sample(signal.reference) * channels_;
        Data* sums = (channels_ > 1 ? channel_major_.data() : gradients_) + first_value;
        const Data* row = row_of(k);
        const std::int64_t values = std::int64_t{signal.cols} * channels_;
        for (std::int64_t v = 0; v < values; ++v) {
            sums[v] += row[v];
        }
    }

    const Batch& batch_;
    int channels_;
    Data* gradients_;
    std::vector<std::pair<int, int>> chunks_;
    std::vector<std::int64_t> row_starts_;  // where each signal's row starts, counted over all
    std::int64_t longest_chunk_ = 0;
    std::vector<Data> channel_major_;
    std::vector<Data> rows_;
    std::int64_t chunk_start_ = 0;  // where the running chunk's first row starts, over all
};

}  // namespace orvane::vectorised
