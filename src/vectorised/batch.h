// A validated batch on host memory as the vectorised operations see it: per-signal matrices
// and samples by offset, each signal's reference (one shared by all, or one per signal), and
// the work spread over signals on the worker threads.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/batch_checks.h"
#include "common/antidiag_index.h"
#include "vectorised/costs.h"
#include "vectorised/operations.h"

namespace orvane::vectorised {

template <typename T>
T* host_pointer(HostAddress address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

// One signal of a batch: its length and its reference's, where its samples and its matrix
// start, and which of the batch's references it aligns against.
struct Signal {
    int index;
    int rows;
    int cols;
    std::int64_t first_sample;
    std::int64_t first_cell;
    int reference = 0;

    DiagonalSpan diagonal(int d) const { return diagonal_span(d, rows, cols); }
    int diagonals() const { return rows + cols - 1; }
};

// Whether an operation stores a batch matrix, whose cell positions must fit in 32 bits, or
// walks the cells without storing them, so that only the samples' positions must.
enum class CellPositions { int32, unlimited };

class Batch {
public:
    // Signals against one reference: checks the lengths and the reference length; nothing is
    // limited by thread blocks.
    Batch(const std::vector<int>& lengths, int ref_signal_length,
          CellPositions positions = CellPositions::int32)
        : lengths_(checked(lengths, ref_signal_length, positions)),
          ref_lengths_{ref_signal_length},
          samples_(make_signal_offsets(lengths)),
          cells_(matrix_offsets(lengths, ref_lengths_)),
          ref_samples_(reference_offsets(ref_lengths_)) {}

    // Pairs: signal k against a reference of its own, of ref_signal_lengths[k] samples, the
    // references one after the other. Only the samples' positions must fit in 32 bits: the
    // operations on pairs walk the cells, or store them at 64-bit positions.
    Batch(const std::vector<int>& lengths, const std::vector<int>& ref_signal_lengths)
        : lengths_(checked_pairs(lengths, ref_signal_lengths)),
          ref_lengths_(ref_signal_lengths),
          samples_(make_signal_offsets(lengths)),
          cells_(matrix_offsets(lengths, ref_lengths_)),
          ref_samples_(reference_offsets(ref_lengths_)) {}

    int count() const { return static_cast<int>(lengths_.size()); }
    // The reference's length, in a batch of one reference.
    int cols() const { return ref_lengths_[0]; }
    // References: 1, shared by every signal, or one per signal.
    int references() const { return static_cast<int>(ref_lengths_.size()); }
    int ref_length(int r) const { return ref_lengths_[static_cast<std::size_t>(r)]; }
    // Where reference r's samples start among the references'.
    std::int64_t first_reference_sample(int r) const {
        return ref_samples_[static_cast<std::size_t>(r)];
    }
    Signal signal(int k) const {
        const int r = references() == 1 ? 0 : k;
        return Signal{k, lengths_[k], ref_length(r), samples_[k], cells_[k], r};
    }
    // Cells of the whole batch matrix.
    std::int64_t cells() const {
        const Signal last = signal(count() - 1);
        return last.first_cell + std::int64_t{last.rows} * last.cols;
    }

private:
    static const std::vector<int>& checked(const std::vector<int>& lengths, int ref_signal_length,
                                           CellPositions positions) {
        validate_lengths(lengths, ref_signal_length);
        if (positions == CellPositions::int32) {
            check_batch_fits_int32(lengths, ref_signal_length);
        } else {
            check_samples_fit_int32(lengths);
        }
        return lengths;
    }

    static const std::vector<int>& checked_pairs(const std::vector<int>& lengths,
                                                 const std::vector<int>& ref_signal_lengths) {
        validate_pair_lengths(lengths, ref_signal_lengths);
        check_samples_fit_int32(lengths);
        return lengths;
    }

    // Where each signal's matrix starts: exclusive prefix sums of N_k * M_k.
    static std::vector<std::int64_t> matrix_offsets(const std::vector<int>& lengths,
                                                    const std::vector<int>& ref_lengths) {
        std::vector<std::int64_t> offsets(lengths.size());
        std::int64_t next = 0;
        for (std::size_t k = 0; k < lengths.size(); ++k) {
            offsets[k] = next;
            next += std::int64_t{lengths[k]} * ref_lengths[ref_lengths.size() == 1 ? 0 : k];
        }
        return offsets;
    }

    static std::vector<std::int64_t> reference_offsets(const std::vector<int>& ref_lengths) {
        std::vector<std::int64_t> offsets(ref_lengths.size());
        std::int64_t next = 0;
        for (std::size_t r = 0; r < ref_lengths.size(); ++r) {
            offsets[r] = next;
            next += ref_lengths[r];
        }
        return offsets;
    }

    const std::vector<int>& lengths_;
    std::vector<int> ref_lengths_;
    std::vector<int> samples_;
    std::vector<std::int64_t> cells_;
    std::vector<std::int64_t> ref_samples_;
};

// Runs body(signal) for every signal of the batch on the worker threads, the calling thread
// among them; returns when all have finished.
void for_each_signal(const Batch& batch, void (*body)(const Signal&, const void*),
                     const void* context);

template <typename Body>
void for_each_signal(const Batch& batch, const Body& body) {
    for_each_signal(
        batch,
        [](const Signal& signal, const void* context) {
            (*static_cast<const Body*>(context))(signal);
        },
        &body);
}

// How many threads the operations run on: the worker threads and the calling thread.
int worker_threads();

// Runs body(t) for tasks t = 0 .. work.size() - 1 on the worker threads, the calling thread
// among them, the most work first; returns when all have finished.
void for_each_task(const std::vector<std::int64_t>& work, void (*body)(int, const void*),
                   const void* context);

template <typename Body>
void for_each_task(const std::vector<std::int64_t>& work, const Body& body) {
    for_each_task(
        work, [](int task, const void* context) { (*static_cast<const Body*>(context))(task); },
        &body);
}

// Runs body(c) for c = 0 .. count - 1, each on a thread of its own where threads are free:
// the calling thread claims c = 0 and each worker that joins the next, and a thread that
// finishes one claims another; so body(c) may wait for body(c - 1), which has begun.
void for_each_claim(int count, void (*body)(int, const void*), const void* context);

template <typename Body>
void for_each_claim(int count, const Body& body) {
    for_each_claim(
        count, [](int claim, const void* context) { (*static_cast<const Body*>(context))(claim); },
        &body);
}

// Runs body(first, last) over fixed groups of consecutive signals, the groups decided by the
// batch size alone, so that sums formed per group and then added in group order come out the
// same whatever the number of threads. Returns the number of groups.
int signal_groups(const Batch& batch);
void for_each_signal_group(const Batch& batch, void (*body)(int, int, int, const void*),
                           const void* context);

template <typename Body>
void for_each_signal_group(const Batch& batch, const Body& body) {
    for_each_signal_group(
        batch,
        [](int group, int first, int last, const void* context) {
            (*static_cast<const Body*>(context))(group, first, last);
        },
        &body);
}

// Column sums over the batch that each group of signals forms in its own row of M values
// (body(first, last, row)), added into `out` in group order: the same sums whatever the
// number of threads. With several channels a row holds M values per channel, channel-major,
// and `out` M x channels values, sample-major.
template <typename T, typename Body>
void add_group_column_sums(const Batch& batch, T* out, const Body& body, int channels = 1) {
    const std::size_t width = static_cast<std::size_t>(batch.cols()) * channels;
    std::vector<T> group_sums(static_cast<std::size_t>(signal_groups(batch)) * width, T{0});
    for_each_signal_group(batch, [&](int group, int first, int last) {
        body(first, last, group_sums.data() + static_cast<std::size_t>(group) * width);
    });
    std::vector<T> channel_major;
    T* total = out;
    if (channels > 1) {
        channel_major.assign(width, T{0});
        total = channel_major.data();
    }
    for (std::size_t offset = 0; offset < group_sums.size(); offset += width) {
        for (std::size_t j = 0; j < width; ++j) {
            total[j] += group_sums[offset + j];
        }
    }
    if (channels > 1) {
        add_sample_major(total, out, batch.cols(), channels);
    }
}

}  // namespace orvane::vectorised
