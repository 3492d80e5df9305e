// The sweep without matrices that the scores (softdtw_scores.cu) and the gradients
// (softdtw_gradients.cu) share: one block per signal (per pair), thread t of T serving columns
// t, t + T, ... as the column kernels do, a barrier per diagonal, each cell's cost formed from
// the samples (sum over the channels, in order, of |x - y| or (x - y)^2, in the path's data
// type: the float steps of the distances the stored path reads). A thread keeps each of its
// columns' newest score, and the left score it read last (its next cell's corner), in
// registers, and publishes the newest score in shared memory, in one of two slots a column by
// the diagonal's parity, where the next column reads it a diagonal later. Shared memory thus
// bounds M, and so do the registers. A band narrows each diagonal to the columns it keeps, and
// the cells outside are never formed. A free end keeps each signal's N + M - 1 terminal scores
// in a scratch buffer and folds them as the column kernels do, so that the scores are the
// stored path's bit for bit. Also the checked batch, its tables and the limit of M.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/antidiag_index.h"
#include "common/band.h"
#include "common/batch_checks.h"
#include "common/cost_options.h"
#include "common/free_end_terminals.h"
#include "cuda_helpers/cuda_helpers.h"
#include "cuda_helpers/launch.cuh"
#include "kernels/softdtw_paths.cuh"
#include "kernels/softdtw_steps.cuh"

namespace orvane::lean {

// Slots of shared memory a column takes: its scores of even and of odd diagonals.
constexpr int kSlotsPerColumn = 2;

// The most columns a thread serves, each with two scores in registers: as many as a block of
// the path's most threads holds in its registers without spilling (64 a thread at 1024, 128 at
// 512) on every architecture (four on the float32 path spill on sm_100, sm_103 and sm_110),
// the float64 library functions and the mixed path's float64 scores taking more of them. With
// the 48 KiB of shared memory every device gives a block, M is then at most 3072 on the
// float32 path, 2048 on the mixed one and 3072 on the float64 one.
template <class Path>
constexpr int kColumnsPerThread = 3;
template <>
constexpr int kColumnsPerThread<MixedPath> = 2;
template <>
constexpr int kColumnsPerThread<Float64Path> = 6;

// The most columns a thread serves in the sweeps of the gradients, forward (which stores R as
// well) and backward (which keeps each column's newest successor and next corner, and forms
// the weights and the gradients): one, which the backward sweep's registers hold at its
// largest block (kGradientMaxThreads) without spilling, so that M is at most 768 on the float32
// path, 1024 on the mixed one and 512 on the float64 one. (Two on the float64 path fit its 128
// registers, but a compile held to 64, as the simulated GPU's is, spills the forward sweep.)
template <class Path>
constexpr int kGradientColumnsPerThread = 1;

// The largest block of the gradients' sweeps: the path's, but 768 threads (85 registers a
// thread) on the float32 path, whose backward sweep spills at 64 on sm_100, sm_103 and sm_110.
template <class Path>
constexpr int kGradientMaxThreads = Path::kMaxThreads;
template <>
constexpr int kGradientMaxThreads<Float32Path> = 768;

// The tables of a call, one value per signal each, one table after the other.
// kFirstCell: where the signal's R starts in the batch matrix; kFirstRow: where its row of
// reference gradients starts (in reference samples), its own in a batch of one reference.
enum Table {
    kRows,
    kCols,
    kFirstSample,
    kFirstReferenceSample,
    kFirstTerminal,
    kFirstCell,
    kFirstRow,
    kTables
};

template <class Path>
struct ScoresCall {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    const Data* samples;         // (sum N_k, channels), sample-major
    const Data* references;      // (sum M_k, channels), or (M, channels) for all
    const std::int64_t* tables;  // [kTables * B], Table's order
    const int* band;             // [B] half-widths, or null
    const Data* alpha;           // [B], or null
    Score* scores;               // [B]
    Score* terminals;            // [sum terminals], null without a free end
    Score* score_matrix;         // [sum N_k * M_k] R, anti-diagonal, or null for scores alone
    int num_signals;
    int channels;
    CostKind cost;
    BandKind band_kind;
    Data gamma;
    Data ref_gap_penalty;
    bool last_row_only;
};

// The columns of one diagonal that a cell is formed for: those of the matrix within the band;
// empty where lowest > highest (before the first diagonal, after the last, or where a band
// keeps none).
struct ColumnRange {
    int lowest;
    int highest;

    __device__ __forceinline__ bool holds(int j) const { return lowest <= j && j <= highest; }
};

struct MatrixBand {
    int rows;
    int cols;
    BandLine line;

    __device__ __forceinline__ ColumnRange on(int d) const {
        ColumnRange range{d - rows + 1 > 0 ? d - rows + 1 : 0, d < cols - 1 ? d : cols - 1};
        if (line.active()) {
            const std::int64_t lowest = line.lowest_column(d);
            const std::int64_t highest = line.highest_column(d);
            range.lowest = lowest > range.lowest ? static_cast<int>(lowest) : range.lowest;
            range.highest = highest < range.highest ? static_cast<int>(highest) : range.highest;
        }
        return range;
    }
};

template <typename Data>
__device__ __forceinline__ Data channel_cost(Data difference, CostKind kind) {
    return kind == CostKind::abs ? magnitude_of(difference) : difference * difference;
}

// The cost of samples x and y of `channels` values each, summed in channel order.
template <typename Data>
__device__ __forceinline__ Data sample_cost(const Data* x, const Data* y, int channels,
                                            CostKind kind) {
    Data cost = channel_cost(x[0] - y[0], kind);
    for (int c = 1; c < channels; ++c) {
        cost = cost + channel_cost(x[c] - y[c], kind);
    }
    return cost;
}

// A constant as a type, for the device code that std::integral_constant's host conversion
// cannot serve.
template <int kValue>
struct Constant {
    static constexpr int value = kValue;
};

// body(Constant<c>) for c = 0 .. sizeof...(c) - 1, so that arrays indexed by c stay in
// registers.
template <typename Body, int... c>
__device__ __forceinline__ void for_each_constant(Body body, std::integer_sequence<int, c...>) {
    (body(Constant<c>{}), ...);
}

// kStoresScores: R is stored in call.score_matrix too, for the gradients' backward sweep.
template <class Path, bool kStoresScores>
__global__ void __launch_bounds__(Path::kMaxThreads) softdtw_scores_kernel(ScoresCall<Path> call) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    constexpr int kColumns =
        kStoresScores ? kGradientColumnsPerThread<Path> : kColumnsPerThread<Path>;
    const int k = blockIdx.x;
    if (k >= call.num_signals) {
        return;
    }
    const std::int64_t* table = call.tables;
    const int b = call.num_signals;
    const int rows = static_cast<int>(table[kRows * b + k]);
    const int cols = static_cast<int>(table[kCols * b + k]);
    const Data* signal = call.samples + table[kFirstSample * b + k] * call.channels;
    const Data* reference = call.references + table[kFirstReferenceSample * b + k] * call.channels;
    Score* terminals =
        call.terminals == nullptr ? nullptr : call.terminals + table[kFirstTerminal * b + k];
    const int terminal_count = FreeEndTerminals<Score>::count_of(rows, cols, call.last_row_only);
    const MatrixBand matrix{
        rows, cols,
        BandLine::of(rows, cols, call.band == nullptr ? -1 : call.band[k], call.band_kind)};
    const Data gamma = call.gamma;
    const Data inv_gamma = Data(1) / gamma;
    const Data bias = call.alpha != nullptr ? call.alpha[k] : Data(0);
    const Score absent = Score(INFINITY);

    // Terminals a band leaves out are never formed: they stay +inf, as the stored path's.
    if (terminals != nullptr) {
        for (int t = threadIdx.x; t < terminal_count; t += blockDim.x) {
            terminals[t] = absent;
        }
    }
    Score* const stored = kStoresScores ? call.score_matrix + table[kFirstCell * b + k] : nullptr;
    Score* published = dynamic_shared_memory<Score>();  // column j's score of diagonal d at
                                                        // (d & 1) * cols + j
    Score newest[kColumns];
    Score corner[kColumns];
    for (int c = 0; c < kColumns; ++c) {
        newest[c] = absent;
        corner[c] = absent;
    }
    __syncthreads();

    ColumnRange last = matrix.on(-1);
    ColumnRange here = matrix.on(0);
    for (int d = 0; d < rows + cols - 1; ++d) {
        const ColumnRange next = matrix.on(d + 1);
        int stored_start = 0;
        if constexpr (kStoresScores) {
            stored_start = diagonal_start(d, rows, cols);
        }
        for_each_constant(
            [&](auto column) {
                constexpr int c = decltype(column)::value;
                const int j = static_cast<int>(threadIdx.x + c * blockDim.x);
                const bool formed = here.holds(j);
                // A column whose cell comes next still reads its left score now, as the corner of
                // that cell: the slot is overwritten on the next diagonal.
                if (!formed && !next.holds(j)) {
                    return;
                }
                const Score left =
                    last.holds(j - 1) ? published[((d - 1) & 1) * cols + j - 1] : absent;
                if (formed) {
                    const int i = d - j;
                    const Data cost =
                        sample_cost(signal + static_cast<std::int64_t>(i) * call.channels,
                                    reference + static_cast<std::int64_t>(j) * call.channels,
                                    call.channels, call.cost) -
                        bias;
                    Score value = cost;
                    if (d > 0) {
                        value = path_cell<Path>(cost, last.holds(j) ? newest[c] : absent, corner[c],
                                                left, gamma, inv_gamma);
                    }
                    newest[c] = value;
                    published[(d & 1) * cols + j] = value;
                    if constexpr (kStoresScores) {
                        stored[stored_start + position_in_diagonal(d, i, rows)] = value;
                    }
                    if (terminals == nullptr) {
                        if (i == rows - 1 && j == cols - 1) {
                            call.scores[k] = value;
                        }
                    } else if (i == rows - 1) {
                        terminals[j] = value;
                    } else if (j == cols - 1 && !call.last_row_only) {
                        terminals[cols + i] = value;
                    }
                }
                corner[c] = left;
            },
            std::make_integer_sequence<int, kColumns>{});
        __syncthreads();
        last = here;
        here = next;
    }

    if (terminals != nullptr) {
        const Score score_gamma = gamma;
        const PackedTerminals<Score> packed{terminals, cols, Score(1) / score_gamma,
                                            static_cast<Score>(call.ref_gap_penalty),
                                            terminal_count};
        reduce_free_end(packed, published, cols < kFoldWidth ? cols : kFoldWidth, score_gamma,
                        call.scores[k]);
    }
}

// The longest reference a sweep without matrices takes here: what each column keeps in a
// block's shared memory, and at most columns_per_thread columns a thread.
struct ReferenceLimit {
    const char* sweep;       // "scores" or "gradients"
    std::string column_use;  // what a column keeps, for the message
    int column_bytes;
    int columns_per_thread;
    int shared_bytes;
    int threads;

    int columns() const {
        return std::min(shared_bytes / column_bytes, columns_per_thread * threads);
    }

    void check(const char* operation, const std::string& name, int length) const {
        if (length <= columns()) {
            return;
        }
        throw std::invalid_argument(
            std::string(operation) + ": " + name + " (" + std::to_string(length) +
            ") exceeds the " + std::to_string(columns()) + " columns the " + sweep +
            " without matrices take on this device (" + column_use + " a column in the " +
            std::to_string(shared_bytes) + " bytes of shared memory a block has, and at most " +
            std::to_string(columns_per_thread) + " columns a thread of " + std::to_string(threads) +
            ")");
    }
};

// The scores' limit: two scores a column.
template <class Path>
ReferenceLimit scores_limit() {
    using Score = typename Path::Score;
    return {"scores",
            "two scores of " + std::to_string(sizeof(Score)) + " bytes",
            kSlotsPerColumn * static_cast<int>(sizeof(Score)),
            kColumnsPerThread<Path>,
            max_shared_memory_per_block(),
            std::min(Path::kMaxThreads, max_threads_per_block())};
}

// A checked batch: signals against one reference (ref_lengths of one value) or pairs.
struct ScoresBatch {
    const std::vector<int>& lengths;
    std::vector<int> ref_lengths;

    int count() const { return static_cast<int>(lengths.size()); }
    int ref_length(int k) const { return ref_lengths[ref_lengths.size() == 1 ? 0 : k]; }
    int longest_reference() const {
        return *std::max_element(ref_lengths.begin(), ref_lengths.end());
    }

    // Refuses the first reference longer than the limit, named as the caller names it.
    void check_references(const char* operation, const ReferenceLimit& limit,
                          bool one_reference) const {
        for (std::size_t k = 0; k < ref_lengths.size(); ++k) {
            const std::string name = one_reference
                                         ? std::string("ref_signal_length")
                                         : "ref_signal_lengths[" + std::to_string(k) + "]";
            limit.check(operation, name, ref_lengths[k]);
        }
    }

    // The tables in Table's order; the terminals a free end keeps counted per signal.
    std::vector<std::int64_t> tables(bool one_reference, bool local_end, bool last_row_only) const {
        const std::size_t b = lengths.size();
        std::vector<std::int64_t> values(kTables * b);
        std::int64_t sample = 0;
        std::int64_t reference_sample = 0;
        std::int64_t terminal = 0;
        std::int64_t cell = 0;
        for (std::size_t k = 0; k < b; ++k) {
            const int cols = ref_length(static_cast<int>(k));
            values[kRows * b + k] = lengths[k];
            values[kCols * b + k] = cols;
            values[kFirstSample * b + k] = sample;
            values[kFirstReferenceSample * b + k] = one_reference ? 0 : reference_sample;
            values[kFirstTerminal * b + k] = terminal;
            values[kFirstCell * b + k] = cell;
            values[kFirstRow * b + k] = reference_sample;
            sample += lengths[k];
            reference_sample += cols;
            cell += std::int64_t{lengths[k]} * cols;
            if (local_end) {
                terminal += FreeEndTerminals<double>::count_of(lengths[k], cols, last_row_only);
            }
        }
        values.push_back(terminal);  // the terminals of the whole call
        return values;
    }
};

inline ScoresBatch one_reference_batch(const std::vector<int>& lengths, int ref_signal_length) {
    validate_lengths(lengths, ref_signal_length);
    check_samples_fit_int32(lengths);
    return ScoresBatch{lengths, {ref_signal_length}};
}

inline ScoresBatch pair_batch(const std::vector<int>& lengths,
                              const std::vector<int>& ref_lengths) {
    validate_pair_lengths(lengths, ref_lengths);
    check_samples_fit_int32(lengths);
    return ScoresBatch{lengths, ref_lengths};
}

// What a call asks besides its lengths and buffers.
struct ScoresOptions {
    double gamma;
    DeviceAddress alpha;
    bool local_end;
    bool last_row_only;
    double ref_gap_penalty;
    int channels;
    const std::string& cost;
    DeviceAddress band;
    const std::string& band_kind;
};

// The band's half-widths, read from the device and checked as the vectorised module checks
// them (it reads them from the host).
inline void check_band(DeviceAddress band, int count) {
    if (band == 0) {
        return;
    }
    std::vector<int> widths(static_cast<std::size_t>(count));
    copy_to_host(widths.data(), band, widths.size() * sizeof(int));
    band_half_widths(widths.data(), count);
}

// A call's tables, on the host and on the device, and with a free end the zeroed scratch of
// its terminal scores.
struct SweepTables {
    std::vector<std::int64_t> host;
    DeviceBuffer device;
    DeviceBuffer terminals;
};

template <typename Score>
SweepTables sweep_tables(const ScoresBatch& batch, bool one_reference, bool local_end,
                         bool last_row_only) {
    SweepTables tables;
    tables.host = batch.tables(one_reference, local_end, last_row_only);
    tables.device =
        copy_bytes_to_device(tables.host.data(), tables.host.size() * sizeof(std::int64_t));
    if (local_end) {
        tables.terminals =
            make_zeroed_device_buffer(static_cast<std::size_t>(tables.host.back()) * sizeof(Score));
    }
    return tables;
}

// The columns the limit of the path named allows: limit_of(path) for a value of the path's
// type gives its ReferenceLimit.
template <typename LimitOf>
int columns_on_path(const std::string& path, LimitOf limit_of) {
    if (path == "float32") {
        return limit_of(Float32Path{}).columns();
    }
    if (path == "mixed") {
        return limit_of(MixedPath{}).columns();
    }
    if (path == "float64") {
        return limit_of(Float64Path{}).columns();
    }
    throw std::invalid_argument("path must be 'float32', 'mixed' or 'float64', got: '" + path +
                                "'");
}

}  // namespace orvane::lean
