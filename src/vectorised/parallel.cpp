// The worker threads of the vectorised module: oneTBB, with a thread limit the caller may set,
// and the scheduler shut down around fork() so that a child process starts with a scheduler
// of its own instead of waiting for threads it does not have.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <pthread.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "vectorised/batch.h"

namespace orvane::vectorised {
namespace {

struct Scheduler {
    std::mutex mutex;
    std::unique_ptr<tbb::global_control> thread_limit;
    tbb::task_scheduler_handle handle;
};

Scheduler& scheduler() {
    static Scheduler* state = new Scheduler;  // never destroyed: used until the process exits
    return *state;
}

// Before fork: wait for the workers to leave, so that no TBB lock or thread is half-way
// through anything the child would inherit. After it, both sides attach again.
void finish_workers_before_fork() {
    Scheduler& state = scheduler();
    state.mutex.lock();
    if (state.handle) {
        tbb::finalize(state.handle, std::nothrow);
    }
}

void attach_after_fork() {
    Scheduler& state = scheduler();
    state.handle = tbb::task_scheduler_handle{tbb::attach{}};
    state.mutex.unlock();
}

void ensure_attached() {
    static const bool registered = [] {
        Scheduler& state = scheduler();
        state.handle = tbb::task_scheduler_handle{tbb::attach{}};
        return pthread_atfork(finish_workers_before_fork, attach_after_fork, attach_after_fork) ==
               0;
    }();
    static_cast<void>(registered);
}

constexpr int kMaxSignalGroups = 64;

}  // namespace

void set_num_threads(int threads) {
    if (threads < 0) {
        throw std::invalid_argument("threads must be 0 (one per core) or positive, got: " +
                                    std::to_string(threads));
    }
    ensure_attached();
    std::lock_guard lock(scheduler().mutex);
    scheduler().thread_limit.reset();
    if (threads > 0) {
        scheduler().thread_limit = std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    }
}

void for_each_signal(const Batch& batch, void (*body)(const Signal&, const void*),
                     const void* context) {
    ensure_attached();
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
    ensure_attached();
    const int groups = signal_groups(batch);
    tbb::parallel_for(0, groups, [&](int group) {
        const int first = static_cast<int>(std::int64_t{batch.count()} * group / groups);
        const int last = static_cast<int>(std::int64_t{batch.count()} * (group + 1) / groups);
        body(group, first, last, context);
    });
}

}  // namespace orvane::vectorised
