// Soft-DTW scores without matrices: the sweep of lean_sweep.cuh, once a call, its scores
// alone.
#include <cuda_runtime.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/lean_sweep.cuh"
#include "kernels/softdtw_scores.h"
namespace orvane {

namespace {

using namespace lean;

// The whole call: every check of the vectorised module's scores, in its order, then the limit
// of M; then the tables and the terminals' scratch, one launch, waited for.
template <class Path>
void softdtw_scores(const char* operation, const ScoresBatch& batch, bool one_reference,
                    DeviceAddress input_signal, DeviceAddress ref_signal, DeviceAddress scores,
                    const ScoresOptions& options) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Data gamma = path_gamma<Path>(options.gamma);
    const Data ref_gap_penalty =
        path_ref_gap_penalty<Path>(options.ref_gap_penalty, options.local_end);
    require_buffers(operation, {{"input_signal_ptr", input_signal},
                                {"ref_signal_ptr", ref_signal},
                                {"scores_ptr", scores}});
    const int channels = checked_channels(options.channels);
    const CostKind cost = parse_cost(options.cost);
    check_band(options.band, batch.count());
    const BandKind band_kind = parse_band_kind(options.band_kind);
    const ReferenceLimit limit = scores_limit<Path>();
    batch.check_references(operation, limit, one_reference);

    const SweepTables sweep_buffers =
        sweep_tables<Score>(batch, one_reference, options.local_end, options.last_row_only);
    const int longest = batch.longest_reference();
    const int threads = std::min(longest, limit.threads);
    const ScoresCall<Path> call{device_pointer<const Data>(input_signal),
                                device_pointer<const Data>(ref_signal),
                                sweep_buffers.device.get<const std::int64_t>(),
                                device_pointer<const int>(options.band),
                                device_pointer<const Data>(options.alpha),
                                device_pointer<Score>(scores),
                                sweep_buffers.terminals.get<Score>(),
                                nullptr,
                                batch.count(),
                                channels,
                                cost,
                                band_kind,
                                gamma,
                                ref_gap_penalty,
                                options.last_row_only};
    launch_kernel<softdtw_scores_kernel<Path, false>>(
        dim3(static_cast<unsigned>(batch.count()), 1, 1),
        dim3(static_cast<unsigned>(threads), 1, 1),
        static_cast<std::size_t>(longest) * limit.column_bytes, call);
    wait_for_device();
    check_kernel_execution();
}

}  // namespace

#define ORVANE_SCORES(suffix, path)                                                                \
    void calc_softdtw_scores##suffix(                                                              \
        DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,                  \
        DeviceAddress ref_signal, int ref_signal_length, DeviceAddress scores, double gamma,       \
        DeviceAddress alpha, bool local_end, bool last_row_only, double ref_gap_penalty,           \
        int channels, const std::string& cost, DeviceAddress band, const std::string& band_kind) { \
        softdtw_scores<path>("calc_softdtw_scores",                                                \
                             one_reference_batch(input_signal_lengths, ref_signal_length), true,   \
                             input_signal, ref_signal, scores,                                     \
                             {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels,   \
                              cost, band, band_kind});                                             \
    }                                                                                              \
    void calc_softdtw_pair_scores##suffix(                                                         \
        DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,                  \
        DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,                      \
        DeviceAddress scores, double gamma, DeviceAddress alpha, bool local_end,                   \
        bool last_row_only, double ref_gap_penalty, int channels, const std::string& cost,         \
        DeviceAddress band, const std::string& band_kind) {                                        \
        softdtw_scores<path>("calc_softdtw_pair_scores",                                           \
                             pair_batch(input_signal_lengths, ref_signal_lengths), false,          \
                             input_signal, ref_signal, scores,                                     \
                             {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels,   \
                              cost, band, band_kind});                                             \
    }

ORVANE_SCORES(, Float32Path)
ORVANE_SCORES(_mixed, MixedPath)
ORVANE_SCORES(_float64, Float64Path)
#undef ORVANE_SCORES

int scores_max_ref_length(const std::string& path) {
    return columns_on_path(path,
                           [](auto path_type) { return scores_limit<decltype(path_type)>(); });
}

}  // namespace orvane
