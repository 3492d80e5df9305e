// One signal's matrix cut into tiles of its columns (or of its rows) that several threads
// sweep at once. A pass over a tile depends on one neighbouring tile only, and only on that
// tile's line next to it: the forward pass on the tile before it (a cell reads its own column
// and row and the ones before), the backward pass on the tile after it. Each tile publishes
// that line a diagonal at a time, so a tile waits only where it has caught up with its
// neighbour; no tile ever waits for the tile it feeds. Every cell takes the steps it takes in
// one sweep of the whole matrix.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

namespace orvane::vectorised {

// The values a tile publishes, one a diagonal, and how many diagonals it has swept.
template <typename T>
class TileEdge {
public:
    explicit TileEdge(int diagonals) : values_(static_cast<std::size_t>(diagonals)) {}

    void publish(int diagonal, T value) { values_[static_cast<std::size_t>(diagonal)] = value; }
    // The diagonals before `swept` in the sweep's order are done, their values published.
    void mark(int swept) { swept_.store(swept, std::memory_order_release); }
    // The publishing tile has stopped (it threw): its reader runs to its end on what there
    // is, rather than wait for ever, and the call reports the publisher's error.
    void abandon() { mark(INT_MAX); }

    // Returns once the publishing tile has swept `swept` diagonals. A reader that has caught
    // up waits for a few more, so that it then runs that many without looking again: the
    // count's line then moves between the cores once in so many diagonals, not every one.
    void wait_for(int swept) {
        if (seen_ >= swept) {
            return;
        }
        const int enough = std::min(swept + kSlack, static_cast<int>(values_.size()));
        for (int spins = 0; (seen_ = swept_.load(std::memory_order_acquire)) < enough; ++spins) {
            if (seen_ >= swept && spins >= kSpinsBeforeYield) {
                return;
            }
            // The publisher may have lost its core: after a while, give it back.
            if (spins < kSpinsBeforeYield) {
                pause();
            } else {
                std::this_thread::yield();
            }
        }
    }
    T value(int diagonal) const { return values_[static_cast<std::size_t>(diagonal)]; }

private:
    static constexpr int kSlack = 16;
    static constexpr int kSpinsBeforeYield = 4096;
    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    std::vector<T> values_;
    alignas(64) std::atomic<int> swept_{0};
    // The reader's own copy, on a line of its own: it reads the shared count only while the
    // publisher might not be far enough.
    alignas(64) int seen_ = 0;
};

// The lines [first, last) of a matrix that a pass sweeps, its columns or its rows: every
// column by default. A line crosses a diagonal at one cell, if at all.
struct Strip {
    bool of_rows = false;
    int first = 0;
    int last = INT_MAX;

    // The position on `diagonal` (its first column `first_col`) where line `line` crosses it.
    int position(int line, int diagonal, int first_col) const {
        return (of_rows ? diagonal - line : line) - first_col;
    }
    // Whether line `line` crosses `diagonal` inside a matrix of rows x cols.
    bool crosses(int line, int diagonal, int rows, int cols) const {
        const int other = diagonal - line;
        return other >= 0 && other < (of_rows ? cols : rows);
    }
    // Of the positions [begin, end) a band keeps on `diagonal`, those of the lines
    // [first - before, last + after). Positions run with the column, so against the row.
    std::pair<int, int> clip(std::pair<int, int> kept, int diagonal, int first_col,
                             int before = 0, int after = 0) const {
        const auto [begin, end] = kept;
        const std::int64_t low_line = std::int64_t{first} - before;
        const std::int64_t high_line = std::int64_t{last} + after;
        const std::int64_t low = of_rows ? diagonal - high_line + 1 : low_line;
        const std::int64_t high = of_rows ? diagonal - low_line + 1 : high_line;
        const auto within = [&](std::int64_t position, int from) {
            return static_cast<int>(std::clamp<std::int64_t>(position - first_col, from, end));
        };
        const int own_begin = within(low, begin);
        return {own_begin, within(high, own_begin)};
    }
};

// A tile's lines, the edge it reads its neighbour's line from (none for the tile the sweep
// starts from, which depends on no other) and the edge it publishes its own line on, next to
// the tile it feeds.
template <typename T>
struct Tile : Strip {
    TileEdge<T>* taken = nullptr;
    TileEdge<T>* given = nullptr;
};

}  // namespace orvane::vectorised
