// The samples of a call's signals as the passes that form costs from them read them: the
// references copied channel-major once, each signal when a worker reaches it, with its band;
// signals side by side and their references interleaved, a lane a signal.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vectorised/batch.h"
#include "vectorised/costs.h"

namespace orvane::vectorised {

// Series of one length side by side, from their sample-major values ((length, channels)
// row-major each): value i of channel c of the k-th at (c * length + i) * count + k.
template <typename Data>
std::vector<Data> interleaved_series(const std::vector<const Data*>& series, int length,
                                     int channels) {
    const std::size_t count = series.size();
    std::vector<Data> out(static_cast<std::size_t>(length) * channels * count);
    for (std::size_t k = 0; k < count; ++k) {
        for (int i = 0; i < length; ++i) {
            for (int c = 0; c < channels; ++c) {
                out[(static_cast<std::size_t>(c) * length + i) * count + k] =
                    series[k][static_cast<std::size_t>(i) * channels + c];
            }
        }
    }
    return out;
}

template <typename Data>
class CallSamples {
public:
    CallSamples(const Batch& batch, HostAddress input_signal, HostAddress ref_signal, int channels,
                const std::string& cost, HostAddress band, const std::string& band_kind)
        : batch_(batch),
          samples_(host_pointer<const Data>(input_signal)),
          given_references_(host_pointer<const Data>(ref_signal)),
          channels_(checked_channels(channels)),
          kind_(parse_cost(cost)),
          widths_(band_half_widths(host_pointer<const int>(band), batch.count())),
          band_kind_(parse_band_kind(band_kind)) {
        references_.reserve(static_cast<std::size_t>(batch.references()));
        for (int r = 0; r < batch.references(); ++r) {
            references_.emplace_back(reference_values(r), batch.ref_length(r), channels_,
                                     SampleOrder::forward);
        }
    }

    int channels() const { return channels_; }
    CostKind kind() const { return kind_; }
    int band_width(int k) const { return widths_[static_cast<std::size_t>(k)]; }
    // The band of signals of this shape that signal k's half-width gives.
    Band band_of(int rows, int cols, int k) const {
        return Band(rows, cols, band_width(k), band_kind_);
    }
    // Reference r, channel-major.
    const Data* reference(int r) const { return references_[static_cast<std::size_t>(r)].data(); }

    // The samples of signals of one length side by side: sample i of channel c of the k-th at
    // (c * rows + i) * count + k.
    std::vector<Data> interleaved(const std::vector<int>& members) const {
        std::vector<const Data*> series;
        for (const int k : members) {
            series.push_back(samples_ + batch_.signal(k).first_sample * channels_);
        }
        return interleaved_series(series, batch_.signal(members[0]).rows, channels_);
    }

    // The references of signals side by side (of one reference length), interleaved as their
    // samples are: value j of channel c of the k-th at (c * cols + j) * count + k. Where every
    // signal shares one reference, every group of the call (all of one size) reads the copy
    // that the first to need it made.
    std::shared_ptr<const std::vector<Data>> lane_references(
        const std::vector<int>& members) const {
        if (batch_.references() > 1) {
            return std::make_shared<const std::vector<Data>>(interleaved_references(members));
        }
        std::call_once(shared_lanes_made_, [&] {
            shared_lanes_ =
                std::make_shared<const std::vector<Data>>(interleaved_references(members));
        });
        return shared_lanes_;
    }

    // One signal's samples, channel-major, its band and its source of costs.
    struct Own {
        Own(const CallSamples& call, const Signal& signal)
            : samples(call.samples_ + signal.first_sample * call.channels_, signal.rows,
                      call.channels_, SampleOrder::reversed),
              band(call.band_of(signal.rows, signal.cols, signal.index)),
              source{samples.data(), signal.rows,    call.reference(signal.reference),
                     signal.cols,    call.channels_, call.kind_} {}

        ChannelMajor<Data> samples;
        Band band;
        SampleSource<Data> source;
    };

private:
    // Reference r as the caller holds it, sample-major.
    const Data* reference_values(int r) const {
        return given_references_ + batch_.first_reference_sample(r) * channels_;
    }

    std::vector<Data> interleaved_references(const std::vector<int>& members) const {
        std::vector<const Data*> series;
        for (const int k : members) {
            series.push_back(reference_values(batch_.signal(k).reference));
        }
        return interleaved_series(series, batch_.signal(members[0]).cols, channels_);
    }

    const Batch& batch_;
    const Data* samples_;
    const Data* given_references_;
    int channels_;
    CostKind kind_;
    std::vector<int> widths_;
    BandKind band_kind_;
    std::vector<ChannelMajor<Data>> references_;
    mutable std::once_flag shared_lanes_made_;
    mutable std::shared_ptr<const std::vector<Data>> shared_lanes_;
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
