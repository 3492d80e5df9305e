// The worker threads of the vectorised module: oneTBB's, with a thread limit the caller may
// set. oneTBB starts its workers afresh in a forked child (the tests fork after using it).
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "vectorised/batch.h"

namespace orvane::vectorised {
namespace {

std::mutex thread_limit_mutex;
std::unique_ptr<tbb::global_control> thread_limit;

constexpr int kMaxSignalGroups = 64;

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
    tbb::parallel_for(tbb::blocked_range<int>(0, batch.count(), 1),
                      [&](const tbb::blocked_range<int>& range) {
                          for (int k = range.begin(); k != range.end(); ++k) {
                              body(batch.signal(k), context);
                          }
                      });
}

int signal_groups(const Batch& batch) { return std::min(batch.count(), kMaxSignalGroups); }

void for_each_signal_group(const Batch& batch, void (*body)(int, int, int, const void*),
                           const void* context) {
    const int groups = signal_groups(batch);
    tbb::parallel_for(0, groups, [&](int group) {
        const int first = static_cast<int>(std::int64_t{batch.count()} * group / groups);
        const int last = static_cast<int>(std::int64_t{batch.count()} * (group + 1) / groups);
        body(group, first, last, context);
    });
}

}  // namespace orvane::vectorised
