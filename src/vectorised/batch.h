// A validated batch on host memory as the vectorised operations see it: per-signal matrices
// and samples by offset, and the work spread over signals on the worker threads.
#pragma once

#include <cstdint>
#include <initializer_list>
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

// Refuses 0 for a buffer an operation reads or writes, before anything runs.
inline void require_buffers(const char* operation,
                            std::initializer_list<std::pair<const char*, HostAddress>> buffers) {
    for (const auto& [name, address] : buffers) {
        if (address == 0) {
            throw std::invalid_argument(std::string(operation) + ": " + name + " must not be 0");
        }
    }
}

// One signal of a batch: its length, where its samples and its matrix start.
struct Signal {
    int index;
    int rows;
    int cols;
    std::int64_t first_sample;
    std::int64_t first_cell;

    DiagonalSpan diagonal(int d) const { return diagonal_span(d, rows, cols); }
    int diagonals() const { return rows + cols - 1; }
};

// Whether an operation stores a batch matrix, whose cell positions must fit in 32 bits, or
// walks the cells without storing them, so that only the samples' positions must.
enum class CellPositions { int32, unlimited };

class Batch {
public:
    // Checks the lengths and the reference length; nothing is limited by thread blocks.
    Batch(const std::vector<int>& lengths, int ref_signal_length,
          CellPositions positions = CellPositions::int32)
        : lengths_(checked(lengths, ref_signal_length, positions)),
          cols_(ref_signal_length),
          samples_(make_signal_offsets(lengths)),
          cells_(make_matrix_offsets<std::int64_t>(lengths, ref_signal_length)) {}

    int count() const { return static_cast<int>(lengths_.size()); }
    int cols() const { return cols_; }
    Signal signal(int k) const { return Signal{k, lengths_[k], cols_, samples_[k], cells_[k]}; }
    // Cells of the whole batch matrix.
    std::int64_t cells() const { return cells_.back() + std::int64_t{lengths_.back()} * cols_; }

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

    const std::vector<int>& lengths_;
    int cols_;
    std::vector<int> samples_;
    std::vector<std::int64_t> cells_;
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
