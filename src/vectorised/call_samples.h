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
          reference_(host_pointer<const Data>(ref_signal), batch.cols(), channels) {}

    int channels() const { return channels_; }

    // One signal's samples, channel-major, its band and its source of costs.
    struct Own {
        Own(const CallSamples& call, const Signal& signal)
            : samples(call.samples_ + signal.first_sample * call.channels_, signal.rows,
                      call.channels_),
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

// One signal's gradients as the passes add them, channel-major: the caller's own values for
// one channel, else a zeroed copy that `finish` adds into the caller's (N, d) values.
template <typename T>
class ChannelGradients {
public:
    ChannelGradients(T* gradients, const Signal& signal, int channels)
        : caller_(gradients + signal.first_sample * channels),
          rows_(signal.rows),
          channels_(channels) {
        if (channels > 1) {
            copy_.assign(static_cast<std::size_t>(rows_) * channels, T{0});
        }
    }

    T* data() { return channels_ > 1 ? copy_.data() : caller_; }

    void finish() {
        if (channels_ > 1) {
            add_sample_major(copy_.data(), caller_, rows_, channels_);
        }
    }

private:
    T* caller_;
    int rows_;
    int channels_;
    std::vector<T> copy_;
};

}  // namespace orvane::vectorised
