// The samples of a call's signals as the passes that form costs from them read them: the
// reference copied channel-major once, each signal when a worker reaches it, with its band.
#pragma once

#include <string>
#include <vector>

#include "vectorised/batch.h"
#include "vectorised/costs.h"

namespace orvane::vectorised {

template <typename Data>
class CallSamples {
public:
    CallSamples(const Batch& batch, HostAddress input_signal, HostAddress ref_signal, int channels,
                const std::string& cost, HostAddress band)
        : samples_(host_pointer<const Data>(input_signal)),
          channels_(checked_channels(channels)),
          kind_(parse_cost(cost)),
          widths_(band_half_widths(host_pointer<const int>(band), batch.count())),
          reference_(host_pointer<const Data>(ref_signal), batch.cols(), channels,
                     SampleOrder::forward) {}

    int channels() const { return channels_; }
    CostKind kind() const { return kind_; }
    int band_width(int k) const { return widths_[static_cast<std::size_t>(k)]; }
    // The reference, channel-major.
    const Data* reference() const { return reference_.data(); }

    // The samples of signals of one length side by side: sample i of channel c of the k-th
    // at (c * rows + i) * count + k.
    std::vector<Data> interleaved(const Batch& batch, const std::vector<int>& members) const {
        const std::size_t count = members.size();
        const int rows = batch.signal(members[0]).rows;
        std::vector<Data> out(static_cast<std::size_t>(rows) * channels_ * count);
        for (std::size_t k = 0; k < count; ++k) {
            const Data* own = samples_ + batch.signal(members[k]).first_sample * channels_;
            for (int i = 0; i < rows; ++i) {
                for (int c = 0; c < channels_; ++c) {
                    out[(static_cast<std::size_t>(c) * rows + i) * count + k] =
                        own[static_cast<std::size_t>(i) * channels_ + c];
                }
            }
        }
        return out;
    }

    // One signal's samples, channel-major, its band and its source of costs.
    struct Own {
        Own(const CallSamples& call, const Signal& signal)
            : samples(call.samples_ + signal.first_sample * call.channels_, signal.rows,
                      call.channels_, SampleOrder::reversed),
              band(signal.rows, signal.cols, call.widths_[signal.index]),
              source{samples.data(), signal.rows,    call.reference_.data(),
                     signal.cols,    call.channels_, call.kind_} {}

        ChannelMajor<Data> samples;
        Band band;
        SampleSource<Data> source;
    };

private:
    const Data* samples_;
    int channels_;
    CostKind kind_;
    std::vector<int> widths_;
    ChannelMajor<Data> reference_;
};

// One signal's gradients as the passes add them: channel-major and in reverse, like its
// samples, in a zeroed copy that `finish` adds into the caller's (N, d) values; none where
// the caller wants none (gradients == nullptr: data() is then nullptr too).
template <typename T>
class ChannelGradients {
public:
    ChannelGradients(T* gradients, const Signal& signal, int channels)
        : caller_(gradients == nullptr ? nullptr : gradients + signal.first_sample * channels),
          rows_(signal.rows),
          channels_(channels),
          copy_(gradients == nullptr ? 0 : static_cast<std::size_t>(signal.rows) * channels, T{0}) {
    }

    T* data() { return caller_ == nullptr ? nullptr : copy_.data(); }

    void finish() {
        if (caller_ != nullptr) {
            add_sample_major(copy_.data(), caller_, rows_, channels_, SampleOrder::reversed);
        }
    }

private:
    T* caller_;
    int rows_;
    int channels_;
    std::vector<T> copy_;
};

}  // namespace orvane::vectorised
