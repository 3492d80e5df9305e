// How the Soft-DTW drivers (drivers.cpp) share a batch's signals among the worker threads:
// short signals of one shape in groups that run side by side, one a lane; the others alone,
// and where a batch has fewer signals than threads, in tiles of their matrices that several
// threads sweep at once (vectorised/tiles.h). Holds the thresholds of both and the loops
// that hand out the groups, the signals and the tiles; nothing here depends on the
// instruction set or on a path.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "vectorised/batch.h"
#include "vectorised/call_samples.h"
#include "vectorised/tiles.h"

namespace orvane::vectorised {

// Signal k's bias: alpha[k], or 0 without alpha.
template <typename T>
T bias_of(const T* alpha, int k) {
    return alpha != nullptr ? alpha[k] : T{0};
}

// A group of signals of one shape that run side by side, one a lane.
template <typename Data>
struct SideGroup {
    const Batch& batch;
    std::vector<int> members;
    int rows;
    int cols;

    // Each member's matrix within the batch matrix at `base`.
    template <typename T>
    std::vector<T*> matrices(T* base) const {
        std::vector<T*> own;
        for (const int k : members) {
            own.push_back(base + batch.signal(k).first_cell);
        }
        return own;
    }
    std::vector<Data> biases(const Data* alpha) const {
        std::vector<Data> own;
        for (const int k : members) {
            own.push_back(bias_of(alpha, k));
        }
        return own;
    }
    template <class Body>
    void for_each(const Body& body) const {
        for (const int k : members) {
            body(batch.signal(k));
        }
    }
};

// Up to this many cells a signal's diagonals are short enough that running it side by side
// with others of its length pays for interleaving them (measured on AVX2, stored matrices: 2.0
// times as fast at 16 x 16, 1.04 at 256 x 256, the same at 320 x 320, slower from 384 x 384).
constexpr std::int64_t kMostSideBySideCells = 256 * 256;

// alone(signal) for every signal of the batch (of signals first .. stop - 1) that runs on its
// own, side(group) for every group of `lanes` signals of one kind (their `kind_of`, none for a
// signal that runs alone; signals of one kind have one shape) that runs side by side. Groups
// form only where every worker thread gets one, lest fewer groups idle a core.
template <typename Data, class KindOf, class Alone, class Side>
void for_each_signal_or_group(const Batch& batch, int lanes, const KindOf& kind_of,
                              const Alone& alone, const Side& side, int first = 0, int stop = -1) {
    using Kind = typename std::invoke_result_t<const KindOf&, const Signal&>::value_type;
    stop = stop < 0 ? batch.count() : stop;
    const bool enough = lanes > 1 && stop - first >= lanes * worker_threads();
    std::vector<std::vector<int>> tasks;
    std::map<Kind, std::vector<int>> by_kind;
    for (int k = first; k < stop; ++k) {
        const std::optional<Kind> kind = kind_of(batch.signal(k));
        if (enough && kind) {
            by_kind[*kind].push_back(k);
        } else {
            tasks.push_back({k});
        }
    }
    for (const auto& [kind, members] : by_kind) {
        const std::size_t whole = members.size() - members.size() % lanes;
        for (std::size_t at = 0; at < whole; at += lanes) {
            tasks.emplace_back(members.begin() + at, members.begin() + at + lanes);
        }
        for (std::size_t i = whole; i < members.size(); ++i) {
            tasks.push_back({members[i]});
        }
    }
    std::vector<std::int64_t> work;
    for (const auto& members : tasks) {
        const Signal signal = batch.signal(members[0]);
        work.push_back(std::int64_t{signal.rows} * signal.cols *
                       static_cast<std::int64_t>(members.size()));
    }
    for_each_task(work, [&](int t) {
        const std::vector<int>& members = tasks[static_cast<std::size_t>(t)];
        const Signal signal = batch.signal(members[0]);
        if (members.size() == 1) {
            alone(signal);
        } else {
            side(SideGroup<Data>{batch, members, signal.rows, signal.cols});
        }
    });
}

// The stored-matrix passes' groups: signals of one length, no longer than pays.
inline std::optional<std::pair<int, int>> stored_side_kind(const Signal& signal) {
    if (std::int64_t{signal.rows} * signal.cols > kMostSideBySideCells) {
        return std::nullopt;
    }
    return std::pair{signal.rows, 0};
}

// Where a batch has fewer signals than worker threads, the threads left over sweep tiles of
// its signals that have at least this many cells: tiles of columns where a matrix is no wider
// than long, of rows where it is wider (a tile sweeps the diagonals its lines cross, so tiles
// cut across the long side would mostly wait for each other). A tile is never thinner than
// this many lines. On two threads one signal of 16,384 x 1,024 runs 1.75 times as fast as on
// one, 4,096 x 4,096 1.5 times. A thread that sweeps two tiles of one matrix in turn is 4-8%
// slower than over the whole, so signals that keep every thread busy run whole. The passes
// over stored matrices, the scores alone and the gradients without matrices all share
// signals this way.
constexpr std::int64_t kLeastTiledCells = std::int64_t{1} << 20;
constexpr int kLeastTileLines = 256;
// Set by force_tiles, the test hook; 0 leaves the count to tile_count.
inline std::atomic<int> forced_tiles{0};

// Tiles of rows where a matrix is wider than long; of columns otherwise.
inline bool tiles_of_rows(const Signal& signal) { return signal.cols > signal.rows; }

inline int tile_count(const Batch& batch, const Signal& signal) {
    const int lines = tiles_of_rows(signal) ? signal.rows : signal.cols;
    if (const int forced = forced_tiles.load(); forced > 0) {
        return std::min(forced, lines);
    }
    const int threads_each = worker_threads() / batch.count();
    if (threads_each < 2 || std::int64_t{signal.rows} * signal.cols < kLeastTiledCells) {
        return 1;
    }
    // A nearly square matrix spends much of its sweep in the triangles at its corners, where
    // the first tiles (the last, going back) work alone: twice as many tiles as threads shrink
    // them (4,096 x 4,096 on two threads: 1.53 times one thread's speed against 1.30).
    const int longest = std::max(signal.rows, signal.cols);
    const int per_thread = longest <= 2 * std::min(signal.rows, signal.cols) ? 2 : 1;
    return std::clamp(lines / kLeastTileLines, 1, threads_each * per_thread);
}

enum class Sweep { forward, backward };

// pass(tile) for each tile of a signal's matrix, the tiles on the worker threads, claimed in
// the order the sweep feeds them: from the first line forward, from the last backward.
template <typename T, class Pass>
void for_each_tile(const Batch& batch, const Signal& signal, Sweep sweep, const Pass& pass) {
    const int tiles = tile_count(batch, signal);
    if (tiles == 1) {
        pass(Tile<T>{});
        return;
    }
    const bool forward = sweep == Sweep::forward;
    const bool of_rows = tiles_of_rows(signal);
    const std::int64_t lines = of_rows ? signal.rows : signal.cols;
    std::vector<Tile<T>> own(static_cast<std::size_t>(tiles));
    std::vector<std::unique_ptr<TileEdge<T>>> edges;
    for (int t = 0; t < tiles; ++t) {
        own[t].of_rows = of_rows;
        own[t].first = static_cast<int>(lines * t / tiles);
        own[t].last = static_cast<int>(lines * (t + 1) / tiles);
    }
    for (int t = 0; t + 1 < tiles; ++t) {
        edges.push_back(std::make_unique<TileEdge<T>>(signal.diagonals()));
        own[forward ? t : t + 1].given = edges.back().get();
        own[forward ? t + 1 : t].taken = edges.back().get();
    }
    for_each_claim(tiles, [&](int claim) {
        const Tile<T>& tile = own[forward ? claim : tiles - 1 - claim];
        try {
            pass(tile);
        } catch (...) {
            if (tile.given != nullptr) {
                tile.given->abandon();
            }
            throw;
        }
    });
}

// The kind of side-by-side group a signal of a call on samples joins: its length, its
// reference's and its band width, none beyond `most` cells.
template <typename Data>
auto shape_and_band(const CallSamples<Data>& call, std::int64_t most) {
    return [&call, most](const Signal& signal) -> std::optional<std::tuple<int, int, int>> {
        if (std::int64_t{signal.rows} * signal.cols > most) {
            return std::nullopt;
        }
        return std::tuple{signal.rows, signal.cols, call.band_width(signal.index)};
    };
}

}  // namespace orvane::vectorised
