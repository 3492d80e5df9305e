// Soft-DTW gradients without distance or alignment matrices: the scores' sweep (lean_sweep.cuh)
// stores R, then a backward sweep of the same geometry forms each cell's cost again and its
// expected alignment E from its successors, weighed as the stored backward passes of the path
// weigh them (float32: the kernels' steps from R and the successor's cost; mixed and float64:
// the cell's normalised share of the successor's soft minimum), and adds w_k E d cost / d x
// into the gradients as it goes. A column's successors on the diagonal after (its own, and the
// right one's) hand over E and its weighing: a thread keeps its columns' newest in registers
// and publishes them in shared memory, two slots a column by the diagonal's parity, where the
// column on the left reads them; the corner successor is what it read on the diagonal before.
// On a diagonal every cell has a row of its own, so a sample's gradient is read, added to and
// written back without atomics; a thread sums its columns' reference gradients over the sweep
// (the first channel in registers, the others in its columns of the row) into the signal's own
// row of a scratch, and a second kernel adds the rows in signal order. No sum depends on the
// threads that form it: the results are the same on every run, for any block and batch.
#include <cuda_runtime.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/lean_sweep.cuh"
#include "kernels/softdtw_gradients.h"

namespace orvane {

namespace {

using namespace lean;

// What a cell hands the cells that precede it: its E and what weighs it. float32: the
// successor's R and cost, from which the kernels' steps form the weight; the paths that weigh
// by shares: the shares of the successor's corner and left predecessors (its up share stays
// with its own column). absent() is a successor outside the matrix or the band, which adds
// nothing: E 0, weight 0.
template <class Path, bool kShares = Path::kShares>
struct Successor {
    using Gradient = typename Path::Gradient;
    Gradient e;
    typename Path::Score r;
    typename Path::Data cost;

    __device__ __forceinline__ static Successor absent() {
        return {Gradient(0), typename Path::Score(INFINITY), typename Path::Data(0)};
    }
    __device__ __forceinline__ Gradient corner_weight(typename Path::Score own,
                                                      typename Path::Data inv_gamma) const {
        return get_gradient(r, own, cost, inv_gamma);
    }
    __device__ __forceinline__ Gradient left_weight(typename Path::Score own,
                                                    typename Path::Data inv_gamma) const {
        return get_gradient(r, own, cost, inv_gamma);
    }
};

template <class Path>
struct Successor<Path, true> {
    using Gradient = typename Path::Gradient;
    using Share = typename Path::Share;
    Gradient e;
    Share corner;
    Share left;

    __device__ __forceinline__ static Successor absent() {
        return {Gradient(0), Share(0), Share(0)};
    }
    __device__ __forceinline__ Gradient corner_weight(typename Path::Score,
                                                      typename Path::Data) const {
        return corner;
    }
    __device__ __forceinline__ Gradient left_weight(typename Path::Score,
                                                    typename Path::Data) const {
        return left;
    }
};

// A column's newest successor, with its up share where the path weighs by shares (unused on
// the float32 path, whose weight comes from R and the cost).
template <class Path>
struct ColumnSuccessor {
    Successor<Path> handed;
    typename Path::Gradient up_share;

    __device__ __forceinline__ typename Path::Gradient up_weight(
        typename Path::Score own, typename Path::Data inv_gamma) const {
        if constexpr (Path::kShares) {
            return up_share;
        } else {
            return get_gradient(handed.r, own, handed.cost, inv_gamma);
        }
    }
};

template <class Path>
struct GradientsCall {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    ScoresCall<Path> sweep;     // samples, references, tables, band, alpha, scores, options
    const Score* score_matrix;  // [sum N_k * M_k] R, anti-diagonal
    const Data* weights;        // [B], or null for ones
    Data* sample_gradients;     // (sum N_k, channels), added into; or null
    Data* reference_rows;       // (rows, channels): signal k's from table kFirstRow
    bool local_end;
};

// Adds g d cost / d x of cell (i, j) into sample i's gradient and -g d cost / d y into column
// j's reference gradient (the first channel's into the column's sum in registers, the others'
// into the row), channel by channel, in the vectorised module's steps: g sign(x - y) (0 inside
// the dead zone), or (g + g)(x - y). The first channel outside the loop, as sample_cost forms
// it.
template <typename Data>
__device__ __forceinline__ void add_cell_gradients(Data g, const Data* x, const Data* y,
                                                   Data* x_gradient, Data& first_channel_sum,
                                                   Data* y_gradient, int channels, CostKind kind) {
    const auto term_of = [&](int c) {
        const Data difference = x[c] - y[c];
        const Data term =
            kind == CostKind::abs ? g * dead_zone_sign(difference) : (g + g) * difference;
        if (x_gradient != nullptr) {
            x_gradient[c] = x_gradient[c] + term;
        }
        return term;
    };
    first_channel_sum = first_channel_sum - term_of(0);
    for (int c = 1; c < channels; ++c) {
        y_gradient[c] = y_gradient[c] - term_of(c);
    }
}

template <class Path>
__global__ void __launch_bounds__(kGradientMaxThreads<Path>)
    softdtw_gradients_kernel(GradientsCall<Path> call) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    using Gradient = typename Path::Gradient;
    constexpr int kColumns = kGradientColumnsPerThread<Path>;
    const ScoresCall<Path>& sweep = call.sweep;
    const int k = blockIdx.x;
    if (k >= sweep.num_signals) {
        return;
    }
    // A signal without a path of finite cost adds no gradient.
    const Score final_score = sweep.scores[k];
    if (final_score == Score(INFINITY)) {
        return;
    }
    const std::int64_t* table = sweep.tables;
    const int b = sweep.num_signals;
    const int rows = static_cast<int>(table[kRows * b + k]);
    const int cols = static_cast<int>(table[kCols * b + k]);
    const int channels = sweep.channels;
    const Data* signal = sweep.samples + table[kFirstSample * b + k] * channels;
    const Data* reference = sweep.references + table[kFirstReferenceSample * b + k] * channels;
    Data* sample_gradients = call.sample_gradients == nullptr
                                 ? nullptr
                                 : call.sample_gradients + table[kFirstSample * b + k] * channels;
    Data* row = call.reference_rows + table[kFirstRow * b + k] * channels;
    const Score* R = call.score_matrix + table[kFirstCell * b + k];
    const MatrixBand matrix{
        rows, cols,
        BandLine::of(rows, cols, sweep.band == nullptr ? -1 : sweep.band[k], sweep.band_kind)};
    const AntidiagMatrix shape{0, rows, cols};
    const Data gamma = sweep.gamma;
    const Data inv_gamma = Data(1) / gamma;
    const Data bias = sweep.alpha != nullptr ? sweep.alpha[k] : Data(0);
    const Data weight = call.weights != nullptr ? call.weights[k] : Data(1);
    const Score absent_score = Score(INFINITY);

    // Column j's successor of diagonal d at (d & 1) * cols + j.
    Successor<Path>* published = dynamic_shared_memory<Successor<Path>>();
    ColumnSuccessor<Path> newest[kColumns];
    Successor<Path> corner[kColumns];
    Data reference_sum[kColumns];  // each column's first channel, written to the row at the end
    for (int c = 0; c < kColumns; ++c) {
        newest[c] = {Successor<Path>::absent(), Gradient(0)};
        corner[c] = Successor<Path>::absent();
        reference_sum[c] = Data(0);
    }

    const int last_diagonal = rows + cols - 2;
    ColumnRange later = matrix.on(last_diagonal + 1);
    ColumnRange here = matrix.on(last_diagonal);
    ColumnRange before = matrix.on(last_diagonal - 1);
    int start_here = diagonal_start(last_diagonal, rows, cols);
    int start_before = diagonal_start(last_diagonal - 1, rows, cols);
    for (int d = last_diagonal; d >= 0; --d) {
        const ColumnRange far_before = matrix.on(d - 2);
        const int start_far_before = d >= 2 ? diagonal_start(d - 2, rows, cols) : 0;
        const auto score_at = [&](const ColumnRange& range, int start, int diagonal, int i, int j) {
            return range.holds(j) ? R[start + position_in_diagonal(diagonal, i, rows)]
                                  : absent_score;
        };
        for_each_constant(
            [&](auto column) {
                constexpr int c = decltype(column)::value;
                const int j = static_cast<int>(threadIdx.x + c * blockDim.x);
                const bool formed = here.holds(j);
                // A column whose cell comes next still reads its right successor now, as the
                // corner of that cell: the slot is overwritten on the next diagonal.
                if (!formed && !before.holds(j)) {
                    return;
                }
                const Successor<Path> right = later.holds(j + 1)
                                                  ? published[((d + 1) & 1) * cols + j + 1]
                                                  : Successor<Path>::absent();
                if (formed) {
                    const int i = d - j;
                    const Score r = R[start_here + position_in_diagonal(d, i, rows)];
                    const Data* x = signal + static_cast<std::int64_t>(i) * channels;
                    const Data* y = reference + static_cast<std::int64_t>(j) * channels;
                    const Data cost = sample_cost(x, y, channels, sweep.cost) - bias;
                    const ColumnSuccessor<Path> down =
                        later.holds(j)
                            ? newest[c]
                            : ColumnSuccessor<Path>{Successor<Path>::absent(), Gradient(0)};
                    Gradient e = backward_start<Path>(shape, i, j, r, inv_gamma, call.local_end,
                                                      sweep.last_row_only, sweep.scores + k,
                                                      sweep.ref_gap_penalty);
                    e = fused_multiply_add(down.handed.e, down.up_weight(r, inv_gamma), e);
                    e = fused_multiply_add(corner[c].e, corner[c].corner_weight(r, inv_gamma), e);
                    e = fused_multiply_add(right.e, right.left_weight(r, inv_gamma), e);
                    add_cell_gradients(
                        static_cast<Data>(e) * weight, x, y,
                        sample_gradients == nullptr
                            ? nullptr
                            : sample_gradients + static_cast<std::int64_t>(i) * channels,
                        reference_sum[c], row + static_cast<std::int64_t>(j) * channels, channels,
                        sweep.cost);
                    ColumnSuccessor<Path> own{};
                    if constexpr (Path::kShares) {
                        PredecessorShares<typename Path::Share> shares{0, 0, 0};
                        if (d > 0) {
                            shares = predecessor_shares(
                                score_at(before, start_before, d - 1, i - 1, j),
                                score_at(far_before, start_far_before, d - 2, i - 1, j - 1),
                                score_at(before, start_before, d - 1, i, j - 1),
                                static_cast<typename Path::Share>(inv_gamma));
                        }
                        own = {{e, shares.corner, shares.left}, shares.up};
                    } else {
                        own = {{e, r, cost}, Gradient(0)};
                    }
                    newest[c] = own;
                    published[(d & 1) * cols + j] = own.handed;
                }
                corner[c] = right;
            },
            std::make_integer_sequence<int, kColumns>{});
        __syncthreads();
        later = here;
        here = before;
        before = far_before;
        start_here = start_before;
        start_before = start_far_before;
    }
    for (int c = 0; c < kColumns; ++c) {
        const int j = static_cast<int>(threadIdx.x + c * blockDim.x);
        if (j < cols) {
            row[static_cast<std::int64_t>(j) * channels] = reference_sum[c];
        }
    }
}

// Adds the rows of reference gradients into ref_gradients: value v of the output takes
// rows[v], rows[v + stride], ... for `count` rows, in row order (one reference: a row a
// signal; pairs: one row of every pair's own values).
template <typename Data>
__global__ void __launch_bounds__(1024)
    add_reference_rows_kernel(const Data* __restrict__ rows, Data* __restrict__ ref_gradients,
                              std::int64_t values, int count) {
    const std::int64_t stride = std::int64_t{gridDim.x} * blockDim.x;
    for (std::int64_t v = std::int64_t{blockIdx.x} * blockDim.x + threadIdx.x; v < values;
         v += stride) {
        Data sum = ref_gradients[v];
        for (int r = 0; r < count; ++r) {
            sum = sum + rows[r * values + v];
        }
        ref_gradients[v] = sum;
    }
}

// The gradients' limit, that of both their sweeps: two successors a column in shared memory
// (more than the forward sweep's two scores), and at most kGradientColumnsPerThread columns a
// thread in either.
template <class Path>
ReferenceLimit gradients_limit() {
    const int bytes = static_cast<int>(sizeof(Successor<Path>));
    return {"gradients",
            "two successors' values of " + std::to_string(bytes) + " bytes",
            kSlotsPerColumn * bytes,
            kGradientColumnsPerThread<Path>,
            max_shared_memory_per_block(),
            std::min(kGradientMaxThreads<Path>, max_threads_per_block())};
}

// The batch's cells of R that score_matrix must hold (score_matrix_cells = 0: the batch's),
// within 32-bit positions; the GPU keeps no checkpoints of R instead.
void check_score_matrix_cells(const ScoresBatch& batch, std::int64_t score_matrix_cells) {
    if (score_matrix_cells < 0) {
        throw std::invalid_argument("score_matrix_cells must be 0 or more, got: " +
                                    std::to_string(score_matrix_cells));
    }
    std::int64_t cells = 0;
    for (int k = 0; k < batch.count(); ++k) {
        cells += std::int64_t{batch.lengths[static_cast<std::size_t>(k)]} * batch.ref_length(k);
    }
    const std::int64_t capacity = score_matrix_cells == 0 ? cells : score_matrix_cells;
    if (cells > std::min<std::int64_t>(capacity, std::numeric_limits<int>::max())) {
        throw std::invalid_argument(
            "score_matrix_ptr holds " + std::to_string(capacity) + " cells, less than the " +
            std::to_string(cells) +
            " of the batch (or more than 2147483647); the GPU keeps no checkpoints of R");
    }
}

// The buffers of a call besides the samples.
struct GradientBuffers {
    DeviceAddress score_matrix;
    DeviceAddress scores;
    DeviceAddress input_gradients;
    DeviceAddress ref_gradients;
    DeviceAddress weights;
    std::int64_t score_matrix_cells;
};

// The whole call: the vectorised module's checks in its order, then the limit of M; then the
// tables and scratch, the forward sweep storing R and the scores, the backward sweep and the
// sum of the reference rows, each waited for.
template <class Path>
void softdtw_gradients(const char* operation, const ScoresBatch& batch, bool one_reference,
                       DeviceAddress input_signal, DeviceAddress ref_signal,
                       const GradientBuffers& buffers, const ScoresOptions& options) {
    using Data = typename Path::Data;
    using Score = typename Path::Score;
    check_score_matrix_cells(batch, buffers.score_matrix_cells);
    const Data gamma = path_gamma<Path>(options.gamma);
    const Data ref_gap_penalty =
        path_ref_gap_penalty<Path>(options.ref_gap_penalty, options.local_end);
    require_buffers(operation, {{"input_signal_ptr", input_signal},
                                {"ref_signal_ptr", ref_signal},
                                {"score_matrix_ptr", buffers.score_matrix},
                                {"scores_ptr", buffers.scores},
                                {"ref_gradients_ptr", buffers.ref_gradients}});
    const int channels = checked_channels(options.channels);
    const CostKind cost = parse_cost(options.cost);
    check_band(options.band, batch.count());
    const BandKind band_kind = parse_band_kind(options.band_kind);
    const ReferenceLimit limit = gradients_limit<Path>();
    batch.check_references(operation, limit, one_reference);

    const SweepTables sweep_buffers =
        sweep_tables<Score>(batch, one_reference, options.local_end, options.last_row_only);
    const std::vector<std::int64_t>& tables = sweep_buffers.host;
    const std::int64_t row_samples =
        tables[kFirstRow * batch.count() + batch.count() - 1] + batch.ref_length(batch.count() - 1);
    const std::int64_t row_values = row_samples * channels;
    const DeviceBuffer reference_rows =
        make_zeroed_device_buffer(static_cast<std::size_t>(row_values) * sizeof(Data));
    const int longest = batch.longest_reference();
    const ScoresCall<Path> sweep{device_pointer<const Data>(input_signal),
                                 device_pointer<const Data>(ref_signal),
                                 sweep_buffers.device.get<const std::int64_t>(),
                                 device_pointer<const int>(options.band),
                                 device_pointer<const Data>(options.alpha),
                                 device_pointer<Score>(buffers.scores),
                                 sweep_buffers.terminals.get<Score>(),
                                 device_pointer<Score>(buffers.score_matrix),
                                 batch.count(),
                                 channels,
                                 cost,
                                 band_kind,
                                 gamma,
                                 ref_gap_penalty,
                                 options.last_row_only};
    const dim3 grid(static_cast<unsigned>(batch.count()), 1, 1);
    launch_kernel<softdtw_scores_kernel<Path, true>>(
        grid, dim3(static_cast<unsigned>(std::min(longest, limit.threads)), 1, 1),
        static_cast<std::size_t>(longest) * scores_limit<Path>().column_bytes, sweep);
    wait_for_device();
    const GradientsCall<Path> call{sweep,
                                   device_pointer<const Score>(buffers.score_matrix),
                                   device_pointer<const Data>(buffers.weights),
                                   device_pointer<Data>(buffers.input_gradients),
                                   reference_rows.get<Data>(),
                                   options.local_end};
    launch_kernel<softdtw_gradients_kernel<Path>>(
        grid, dim3(static_cast<unsigned>(std::min(longest, limit.threads)), 1, 1),
        static_cast<std::size_t>(longest) * limit.column_bytes, call);
    wait_for_device();
    // One reference: a row a signal, added in signal order; pairs: each pair's own values.
    const std::int64_t output_values =
        one_reference ? std::int64_t{longest} * channels : row_values;
    const int row_count = one_reference ? batch.count() : 1;
    const int sum_threads = std::min(256, max_threads_per_block());
    const std::int64_t blocks =
        std::min<std::int64_t>((output_values + sum_threads - 1) / sum_threads, 65535);
    launch_kernel<add_reference_rows_kernel<Data>>(
        dim3(static_cast<unsigned>(blocks), 1, 1), dim3(static_cast<unsigned>(sum_threads), 1, 1),
        0, reference_rows.get<const Data>(), device_pointer<Data>(buffers.ref_gradients),
        output_values, row_count);
    wait_for_device();
    check_kernel_execution();
}

}  // namespace

#define ORVANE_GRADIENTS(suffix, path)                                                             \
    void calc_softdtw_gradients##suffix(                                                           \
        DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,                  \
        DeviceAddress ref_signal, int ref_signal_length, DeviceAddress score_matrix,               \
        DeviceAddress scores, DeviceAddress input_gradients, DeviceAddress ref_gradients,          \
        double gamma, DeviceAddress alpha, DeviceAddress weights, bool local_end,                  \
        bool last_row_only, double ref_gap_penalty, std::int64_t score_matrix_cells, int channels, \
        const std::string& cost, DeviceAddress band, const std::string& band_kind) {               \
        softdtw_gradients<path>(                                                                   \
            "calc_softdtw_gradients",                                                              \
            one_reference_batch(input_signal_lengths, ref_signal_length), true, input_signal,      \
            ref_signal,                                                                            \
            {score_matrix, scores, input_gradients, ref_gradients, weights, score_matrix_cells},   \
            {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band,        \
             band_kind});                                                                          \
    }                                                                                              \
    void calc_softdtw_pair_gradients##suffix(                                                      \
        DeviceAddress input_signal, const std::vector<int>& input_signal_lengths,                  \
        DeviceAddress ref_signal, const std::vector<int>& ref_signal_lengths,                      \
        DeviceAddress score_matrix, DeviceAddress scores, DeviceAddress input_gradients,           \
        DeviceAddress ref_gradients, double gamma, DeviceAddress alpha, DeviceAddress weights,     \
        bool local_end, bool last_row_only, double ref_gap_penalty,                                \
        std::int64_t score_matrix_cells, int channels, const std::string& cost,                    \
        DeviceAddress band, const std::string& band_kind) {                                        \
        softdtw_gradients<path>(                                                                   \
            "calc_softdtw_pair_gradients", pair_batch(input_signal_lengths, ref_signal_lengths),   \
            false, input_signal, ref_signal,                                                       \
            {score_matrix, scores, input_gradients, ref_gradients, weights, score_matrix_cells},   \
            {gamma, alpha, local_end, last_row_only, ref_gap_penalty, channels, cost, band,        \
             band_kind});                                                                          \
    }

ORVANE_GRADIENTS(, Float32Path)
ORVANE_GRADIENTS(_mixed, MixedPath)
ORVANE_GRADIENTS(_float64, Float64Path)
#undef ORVANE_GRADIENTS

int gradients_max_ref_length(const std::string& path) {
    return columns_on_path(path,
                           [](auto path_type) { return gradients_limit<decltype(path_type)>(); });
}

}  // namespace orvane
