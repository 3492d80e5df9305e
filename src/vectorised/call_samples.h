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
