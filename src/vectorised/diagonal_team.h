// One long signal's anti-diagonals swept by every worker thread that is free. A diagonal's
// cells depend only on the two diagonals before it, so its chunks (runs of whole vectors) may
// be computed by any thread, in any order; the diagonals follow one another. A thread claims
// chunks of the current diagonal; one that finds none left waits until the diagonal is
// finished, and the thread that finishes its last chunk closes it (its pads) and opens the
// next. A thread that comes late joins at the current diagonal, and a signal left to one
// thread has it claim every chunk, so no thread ever waits on one that has not come.
#pragma once

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

namespace orvane::vectorised {

class DiagonalTeam {
public:
    DiagonalTeam(int first, int last) : claims_(pack(first, 0)), last_(last) {}

    // One thread's part: body(diagonal, chunk) for the chunks it claims, close(diagonal)
    // when it finishes a diagonal's last chunk; chunks(diagonal) >= 1.
    template <class Chunks, class Body, class Close>
    void sweep(const Chunks& chunks, const Body& body, const Close& close) {
        for (;;) {
            const std::uint64_t claim = claims_.fetch_add(1, std::memory_order_acq_rel);
            const int diagonal = static_cast<int>(claim >> 32);
            const int chunk = static_cast<int>(claim & 0xffffffffu);
            if (diagonal >= last_) {
                return;
            }
            const int count = chunks(diagonal);
            if (chunk >= count) {
                wait_past(diagonal);
                continue;
            }
            body(diagonal, chunk);
            std::atomic<int>& done = done_[diagonal & 3];
            if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
                close(diagonal);
                done_[(diagonal + 1) & 3].store(0, std::memory_order_relaxed);
                claims_.store(pack(diagonal + 1, 0), std::memory_order_release);
            }
        }
    }

private:
    static std::uint64_t pack(int diagonal, int chunk) {
        return (static_cast<std::uint64_t>(diagonal) << 32) | static_cast<std::uint32_t>(chunk);
    }

    void wait_past(int diagonal) const {
        for (int spins = 0;
             static_cast<int>(claims_.load(std::memory_order_acquire) >> 32) <= diagonal; ++spins) {
            if (spins > 4096) {
                std::this_thread::yield();
            }
        }
    }

    std::atomic<std::uint64_t> claims_;
    std::atomic<int> done_[4] = {};
    int last_;
};

// Threads the operations may use now.
inline int worker_threads() {
    return static_cast<int>(std::min<std::size_t>(
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism),
        static_cast<std::size_t>(tbb::info::default_concurrency())));
}

// Diagonals [first, last) of one signal, in increasing order or, `descending`, from the last
// down, each in `phases` phases one after the other: cells(diagonal, phase, begin, end) for
// positions [begin, end) of each, then close(diagonal, phase, begin, end), with
// positions(diagonal, phase) the range the phase covers. A `shareable` signal whose diagonals
// are long enough is shared among the worker threads in chunks of whole vectors of `lanes`
// (so that every vector covers the cells it covers alone); the cells are the same bits
// either way.
template <class Positions, class Cells, class Close>
void SweepDiagonals(int first, int last, bool descending, int phases, int longest, int lanes,
                    bool shareable, const Positions& positions, const Cells& cells,
                    const Close& close) {
    constexpr int kSharedFrom = 512;  // diagonal cells below which a thread keeps a signal
    const int threads = shareable && longest >= kSharedFrom ? worker_threads() : 1;
    const auto diagonal_at = [&](int step) {
        const int index = step / phases;
        return descending ? last - 1 - index : first + index;
    };
    const int steps = (last - first) * phases;
    if (threads < 2) {
        for (int step = 0; step < steps; ++step) {
            const int diagonal = diagonal_at(step);
            const auto [begin, end] = positions(diagonal, step % phases);
            cells(diagonal, step % phases, begin, end);
            close(diagonal, step % phases, begin, end);
        }
        return;
    }
    const int chunk = (std::max(256, longest / (2 * threads)) + lanes - 1) / lanes * lanes;
    DiagonalTeam team(0, steps);
    const auto chunks = [&](int step) {
        const auto [begin, end] = positions(diagonal_at(step), step % phases);
        return std::max(1, (end - begin + chunk - 1) / chunk);
    };
    const auto body = [&](int step, int index) {
        const int diagonal = diagonal_at(step);
        const auto [begin, end] = positions(diagonal, step % phases);
        const int from = begin + index * chunk;
        cells(diagonal, step % phases, from, std::min(end, from + chunk));
    };
    const auto closer = [&](int step) {
        const int diagonal = diagonal_at(step);
        const auto [begin, end] = positions(diagonal, step % phases);
        close(diagonal, step % phases, begin, end);
    };
    tbb::task_group helpers;
    for (int t = 1; t < threads; ++t) {
        helpers.run([&] { team.sweep(chunks, body, closer); });
    }
    team.sweep(chunks, body, closer);
    helpers.wait();
}

}  // namespace orvane::vectorised
