// One long signal's anti-diagonals swept by two threads. A diagonal's cells depend only on
// the two diagonals before it, so each diagonal is cut at one column: the calling thread
// computes the cells left of it, a helper the cells right of it, each on the same columns
// from one diagonal to the next, so that what a thread reads of the diagonals before is
// mostly what it wrote itself. The two meet once a diagonal: the caller closes a diagonal
// (its pads) once the helper has finished its part, and the helper starts the next one once
// it is closed. The helper is a task that joins when a worker thread is free; until it has
// joined, and if it never does, the caller computes every cell, so it never waits on a
// thread that has not come.
#pragma once

#include <immintrin.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

namespace orvane::vectorised {

// Threads the operations may use now.
inline int worker_threads() {
    return static_cast<int>(std::min<std::size_t>(
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism),
        static_cast<std::size_t>(tbb::info::default_concurrency())));
}

class DiagonalPair {
public:
    explicit DiagonalPair(int steps) : steps_(steps) {}

    // The caller's sweep: part(step, left) for each step (left: whether only the part left
    // of the cut, the helper having joined), then close(step).
    template <class Part, class Close>
    void lead(const Part& part, const Close& close) {
        for (int step = 0; step < steps_; ++step) {
            if (joined_from_.load(std::memory_order_acquire) < 0 &&
                requested_.load(std::memory_order_acquire)) {
                int unset = -1;
                joined_from_.compare_exchange_strong(unset, step + 1, std::memory_order_acq_rel);
            }
            const int from = joined_from_.load(std::memory_order_acquire);
            const bool shared = from >= 0 && step >= from;
            part(step, shared);
            if (shared) {
                wait_until(helper_done_, step + 1);
            }
            close(step);
            lead_done_.store(step + 1, std::memory_order_release);
        }
        int unset = -1;
        joined_from_.compare_exchange_strong(unset, steps_, std::memory_order_acq_rel);
    }

    // The helper's sweep: right(step) for each step from the one it joins at.
    template <class Right>
    void help(const Right& right) {
        requested_.store(true, std::memory_order_release);
        int from;
        while ((from = joined_from_.load(std::memory_order_acquire)) < 0) {
            pause();
        }
        for (int step = from; step < steps_; ++step) {
            wait_until(lead_done_, step);
            right(step);
            helper_done_.store(step + 1, std::memory_order_release);
        }
    }

private:
    static void pause() { _mm_pause(); }

    static void wait_until(const std::atomic<int>& done, int step) {
        for (int spins = 0; done.load(std::memory_order_acquire) < step; ++spins) {
            if (spins > 8192) {
                std::this_thread::yield();
            } else {
                pause();
            }
        }
    }

    int steps_;
    alignas(64) std::atomic<bool> requested_{false};
    alignas(64) std::atomic<int> joined_from_{-1};
    alignas(64) std::atomic<int> lead_done_{0};
    alignas(64) std::atomic<int> helper_done_{0};
};

// Diagonals [first, last) of one signal, in increasing order or, `descending`, from the last
// down, each in `phases` phases one after the other: cells(diagonal, phase, begin, end) for
// positions [begin, end) of each, then close(diagonal, phase, begin, end), with
// positions(diagonal, phase) = {begin, end, first column} the range the phase covers. A
// `shareable` signal whose diagonals are long enough is cut near column `cut` between two
// threads, at a whole number of vectors of `lanes` from `begin`, so that no vector of one
// thread's part (whose full-width stores reach past its last cell) covers the other's; the
// cells are the same bits either way.
template <class Positions, class Cells, class Close>
void SweepDiagonals(int first, int last, bool descending, int phases, int longest, int cut,
                    int lanes, bool shareable, const Positions& positions, const Cells& cells,
                    const Close& close) {
    constexpr int kSharedFrom = 512;  // diagonal cells below which a thread keeps a signal
    const auto diagonal_at = [&](int step) {
        const int index = step / phases;
        return descending ? last - 1 - index : first + index;
    };
    const int steps = (last - first) * phases;
    // Where the cut falls on the positions [begin, end) of a step.
    const auto split = [&](int step) {
        const auto [begin, end, first_col] = positions(diagonal_at(step), step % phases);
        return begin + (std::clamp(cut - first_col, begin, end) - begin) / lanes * lanes;
    };
    const auto part = [&](int step, bool left_only) {
        const auto [begin, end, first_col] = positions(diagonal_at(step), step % phases);
        cells(diagonal_at(step), step % phases, begin, left_only ? split(step) : end);
    };
    const auto closer = [&](int step) {
        const auto [begin, end, first_col] = positions(diagonal_at(step), step % phases);
        close(diagonal_at(step), step % phases, begin, end);
    };
    if (!shareable || longest < kSharedFrom || worker_threads() < 2) {
        for (int step = 0; step < steps; ++step) {
            part(step, false);
            closer(step);
        }
        return;
    }
    DiagonalPair pair(steps);
    tbb::task_group helper;
    helper.run([&] {
        pair.help([&](int step) {
            const auto [begin, end, first_col] = positions(diagonal_at(step), step % phases);
            cells(diagonal_at(step), step % phases, split(step), end);
        });
    });
    pair.lead(part, closer);
    helper.wait();
}

}  // namespace orvane::vectorised
