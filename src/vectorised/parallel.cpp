// The worker threads of the vectorised module: oneTBB's, with a thread limit the caller may
// set. oneTBB starts its workers afresh in a forked child (the tests fork after using it).
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "vectorised/batch.h"

namespace orvane::vectorised {
namespace {

std::mutex thread_limit_mutex;
std::unique_ptr<tbb::global_control> thread_limit;

constexpr int kMaxSignalGroups = 64;

// Positions 0 .. count - 1 by decreasing work(k), so that the longest run first and the
// worker threads finish on short ones, together.
template <typename Work>
std::vector<int> by_decreasing_work(int count, const Work& work) {
    std::vector<int> order(static_cast<std::size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return work(a) > work(b); });
    return order;
}

// body(order[i]) for every i on the worker threads.
template <typename Body>
void run_in_order(const std::vector<int>& order, const Body& body) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, order.size(), 1),
                      [&](const tbb::blocked_range<std::size_t>& range) {
                          for (std::size_t i = range.begin(); i != range.end(); ++i) {
                              body(order[i]);
                          }
                      });
}

}  // namespace

void set_num_threads(long long threads) {
    // oneTBB reserves memory for every thread it is allowed, so more threads than the machine
    // runs at once only cost memory (gigabytes at ten million).
    const int most = tbb::info::default_concurrency();
    if (threads < 0 || threads > most) {
        throw std::invalid_argument("threads must be between 0 and " + std::to_string(most) +
                                    ", got: " + std::to_string(threads));
    }
    std::lock_guard lock(thread_limit_mutex);
    thread_limit.reset();
    if (threads > 0) {
        thread_limit = std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    }
}

void for_each_signal(const Batch& batch, void (*body)(const Signal&, const void*),
                     const void* context) {
    const auto order =
        by_decreasing_work(batch.count(), [&](int k) { return batch.signal(k).rows; });
    run_in_order(order, [&](int k) { body(batch.signal(k), context); });
}

int worker_threads() {
    // The arena does not see a limit set_num_threads placed; global_control's value does.
    const std::size_t limit =
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    return static_cast<int>(std::min<std::size_t>(
        limit, static_cast<std::size_t>(tbb::this_task_arena::max_concurrency())));
}

void for_each_task(const std::vector<std::int64_t>& work, void (*body)(int, const void*),
                   const void* context) {
    const auto order = by_decreasing_work(static_cast<int>(work.size()),
                                          [&](int t) { return work[static_cast<std::size_t>(t)]; });
    run_in_order(order, [&](int t) { body(t, context); });
}

void for_each_claim(int count, void (*body)(int, const void*), const void* context) {
    std::atomic<int> next{0};
    // One task for each claimant, so that every idle worker may join.
    tbb::parallel_for(
        tbb::blocked_range<int>(0, count, 1),
        [&](const tbb::blocked_range<int>& /*claimants*/) {
            for (int claim = next++; claim < count; claim = next++) {
                body(claim, context);
            }
        },
        tbb::simple_partitioner());
}

int signal_groups(const Batch& batch) { return std::min(batch.count(), kMaxSignalGroups); }

void for_each_signal_group(const Batch& batch, void (*body)(int, int, int, const void*),
                           const void* context) {
    const int groups = signal_groups(batch);
    const auto first_of = [&](int group) {
        return static_cast<int>(std::int64_t{batch.count()} * group / groups);
    };
    const auto order = by_decreasing_work(groups, [&](int group) {
        std::int64_t samples = 0;
        for (int k = first_of(group); k < first_of(group + 1); ++k) {
            samples += batch.signal(k).rows;
        }
        return samples;
    });
    run_in_order(order,
                 [&](int group) { body(group, first_of(group), first_of(group + 1), context); });
}

}  // namespace orvane::vectorised
