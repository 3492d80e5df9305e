// One signal's matrix cut into column tiles that several threads sweep at once. A pass over
// a tile depends on one neighbouring tile only, and only on that tile's column next to it:
// the forward pass on the tile to its left (a cell reads its own column and the one before),
// the backward pass on the tile to its right. Each tile publishes that column a diagonal at
// a time, so a tile waits only where it has caught up with its neighbour; no tile ever waits
// for the tile it feeds. Every cell takes the steps it takes in one sweep of the whole matrix.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
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

// The columns [first, last) of a matrix a pass sweeps: all of them by default.
struct Columns {
    int first = 0;
    int last = INT_MAX;

    // Of the positions [begin, end) a band keeps on a diagonal whose first column is
    // `first_col`, those in the columns [first - before, last + after).
    std::pair<int, int> clip(std::pair<int, int> kept, int first_col, int before = 0,
                             int after = 0) const {
        const auto [begin, end] = kept;
        const int low = first - before - first_col;
        const int high = last >= INT_MAX - after ? end : last + after - first_col;
        const int own_begin = std::clamp(low, begin, end);
        return {own_begin, std::clamp(high, own_begin, end)};
    }
};

// A tile's columns, the edge it reads its neighbour's column from (none for the tile the
// sweep starts from, which depends on no other) and the edge it publishes its own column on,
// next to the tile it feeds.
template <typename T>
struct ColumnTile : Columns {
    TileEdge<T>* taken = nullptr;
    TileEdge<T>* given = nullptr;
};

}  // namespace orvane::vectorised
