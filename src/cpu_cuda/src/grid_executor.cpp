// Runs a kernel launch on the CPU. Blocks are spread over a persistent pool of worker
// threads; the threads of one block run on one worker. They start as a plain loop in an
// execution context of its own (a fiber): a thread that meets __syncthreads() keeps that
// fiber, suspended, and the loop goes on in a fresh one, so blocks without barriers cost one
// switch while blocks with barriers get exact barrier semantics. At a barrier a thread
// switches straight to the next thread to run, and the last to arrive starts the next phase:
// no scheduler in between. Barrier misuse is a kernel fault.
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpu_cuda/launch.h"
#include "execution_context.h"
#include "runtime_state.h"

namespace cpu_cuda::detail {

constinit thread_local ThreadContext running_thread __attribute__((tls_model("initial-exec")));

namespace {

constexpr std::size_t kFiberStackBytes = 64 * 1024;
constexpr unsigned kMaxBlockDimXY = 1024;
constexpr unsigned kMaxBlockDimZ = 64;
constexpr unsigned kMaxGridDimX = 2147483647u;
constexpr unsigned kMaxGridDimYZ = 65535;
constexpr std::size_t kMaxSharedBytes = 48 * 1024;
// Uninitialised shared memory reads back as NaN rather than as a convenient zero.
constexpr unsigned char kSharedMemoryFill = 0xFF;

// The fiber stacks of one worker thread, mapped once and reused across blocks and launches:
// a block's n-th fiber runs on stack n. Each has an inaccessible guard page below it, so a
// kernel that overflows its stack faults instead of silently overwriting another thread's.
class StackPool {
public:
    StackPool() = default;
    StackPool(const StackPool&) = delete;
    StackPool& operator=(const StackPool&) = delete;

    ~StackPool() {
        for (char* mapping : mappings_) {
            munmap(mapping, kGuardBytes + kFiberStackBytes);
        }
    }

    // Prepares `context` to run `entry` on stack `n`.
    void prepare(ExecutionContext& context, std::size_t n, void (*entry)()) {
        while (mappings_.size() <= n) {
            mappings_.push_back(map_stack());
        }
        // Stacks are whole pages apart, so their tops would all fall on the same cache sets;
        // ending each a few cache lines lower spreads the threads of a block over the cache.
        const std::size_t colour = (n % kColours) * kColourBytes;
        context.prepare(mappings_[n] + kGuardBytes, kFiberStackBytes - colour, entry);
    }

private:
    static constexpr std::size_t kGuardBytes = 4096;
    static constexpr std::size_t kColours = 64;
    static constexpr std::size_t kColourBytes = 64;

    static char* map_stack() {
        void* mapping = mmap(nullptr, kGuardBytes + kFiberStackBytes, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            throw std::bad_alloc();
        }
        mprotect(mapping, kGuardBytes, PROT_NONE);
        return static_cast<char*>(mapping);
    }

    std::vector<char*> mappings_;
};

struct GridJob {
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes;
    ThreadLoop loop;
    const void* bound_call;
    std::uint64_t block_count;
    testing::ThreadOrder order;
    unsigned long long order_seed;
    std::atomic<std::uint64_t> next_block{0};
    std::atomic<bool> faulted{false};
    std::mutex fault_mutex{};
    std::string fault_reason{};

    void report_fault(const std::string& reason) {
        std::lock_guard lock(fault_mutex);
        if (!faulted.exchange(true)) {
            fault_reason = reason;
        }
    }
};

}  // namespace

// Per-worker storage of the block runner, reused from block to block. A fault abandons the
// waiting threads' contexts as they are: kernels own nothing that needs unwinding, and the
// next block overwrites them.
struct BlockStorage {
    std::vector<ExecutionContext> contexts;  // the suspended context of each waiting thread
    ExecutionContext worker;                 // the worker's own, while it runs a block
    ExecutionContext fresh;                  // a new fiber, until it first runs
    ExecutionContext finished;               // where a fiber that has ended switches from
    StackPool stacks;
    // A block's threads in running order and in arrival order at the barrier; a block starts
    // with `order`, and each phase's arrivals become the next phase's running order.
    std::vector<int> order;
    std::vector<int> arrived;
    std::mt19937_64 random;         // seeded per block, and only for a shuffled thread order
    bool order_is_forward = false;  // order holds 0, 1, 2, ... as a block starts with

    // Ready for a block of `thread_count` threads in forward order. Blocks of one launch
    // mostly find it so already.
    void prepare(int thread_count) {
        const auto count = static_cast<std::size_t>(thread_count);
        if (order.size() != count || !order_is_forward) {
            contexts.resize(count);
            order.resize(count);
            arrived.resize(count);
            std::iota(order.begin(), order.end(), 0);
            order_is_forward = true;
        }
    }
};

// On the heap: the runtime's thread-local block must stay small, since kernels reach it
// through the static TLS space that the dynamic loader keeps for libraries like this one.
BlockStorage& block_storage(int thread_count) {
    thread_local std::unique_ptr<BlockStorage> storage = std::make_unique<BlockStorage>();
    storage->prepare(thread_count);
    return *storage;
}

// The threads of one block, run to completion on the calling worker.
class BlockRun {
public:
    BlockRun(const GridJob& job, std::uint64_t block_index)
        : job_(job),
          thread_count_(static_cast<int>(job.block.x * job.block.y * job.block.z)),
          order_kind_(job.order),
          storage_(block_storage(thread_count_)) {
        if (order_kind_ == testing::ThreadOrder::shuffled) {
            storage_.random.seed(job.order_seed * 0x9E3779B97F4A7C15ull + block_index);
        }
        arrange(running_, running_ + thread_count_);
        starts_ = ThreadStarts{running_, 0, thread_count_, true, 0};

        ThreadContext& context = running_thread;
        context.block_idx = unflatten(block_index, job.grid);
        context.block_dim = job.block;
        context.grid_dim = job.grid;
        context.block = this;
        context.starts = &starts_;
        context.shared_memory = prepare_shared_memory(job.shared_bytes);
    }

    // Runs every thread of the block; returns "" or the reason of a kernel fault.
    std::string run() {
        storage_.worker.switch_to(new_fiber());
        return fault_;
    }

    // The common case inline, and lean: a later phase, a thread that is neither the first
    // nor the last to arrive, at the barrier the first one reached.
    void arrive_at_barrier(const char* file, int line) {
        const int me = running_thread.thread;
        if (!starts_.starting && arrived_count_ != 0 && position_ + 1 < running_count_ &&
            site_.file == file && site_.line == line) [[likely]] {
            arrived_[arrived_count_++] = me;
            contexts_[me].switch_to(contexts_[next_in_phase()]);
            running_thread.enter(me);
            return;
        }
        arrive_at_barrier_in_general(me, file, line);
    }

private:
    static constexpr int kWorker = -1;

    [[gnu::noinline]] void arrive_at_barrier_in_general(int me, const char* file, int line) {
        record_arrival(me, file, line);
        ExecutionContext& mine = contexts_[me];
        if (!starts_.starting) {
            if (const int next = advance(); next != me) {
                mine.switch_to(context_of(next));
            }
        } else if (starts_.next < thread_count_ && fault_.empty()) {
            mine.switch_to(new_fiber());
        } else if (const int next = end_of_phase(); next != me) {
            mine.switch_to(context_of(next));
        }
        running_thread.enter(me);
    }

    struct Site {
        const char* file;
        int line;

        bool same_as(const char* other_file, int other_line) const {
            return line == other_line && (file == other_file || std::strcmp(file, other_file) == 0);
        }
    };

    static void* prepare_shared_memory(std::size_t bytes) {
        thread_local std::vector<unsigned char> shared;
        if (bytes == 0) {
            return nullptr;
        }
        shared.assign(bytes, kSharedMemoryFill);
        return shared.data();
    }

    void arrange(int* first, int* last) {
        // Threads keep their order from one barrier to the next, so the sorts find sorted input
        // after the first phase.
        switch (order_kind_) {
            case testing::ThreadOrder::forward:
                if (!storage_.order_is_forward && !std::is_sorted(first, last)) {
                    std::sort(first, last);
                }
                break;
            case testing::ThreadOrder::reverse:
                storage_.order_is_forward = false;
                if (!std::is_sorted(first, last, std::greater<>())) {
                    std::sort(first, last, std::greater<>());
                }
                break;
            case testing::ThreadOrder::shuffled:
                storage_.order_is_forward = false;
                std::shuffle(first, last, storage_.random);
                break;
        }
    }

    ExecutionContext& context_of(int thread) {
        return thread == kWorker ? storage_.worker : contexts_[thread];
    }

    // A fiber on a stack of its own that runs the block's loop of thread starts.
    ExecutionContext& new_fiber() {
        storage_.stacks.prepare(storage_.fresh, fibers_started_++, &fiber_main);
        return storage_.fresh;
    }

    // The launch's loop that starts threads in order, until one meets a barrier and keeps
    // this fiber. A thread resumed later ends here too, when its kernel returns; then the
    // fiber hands on and is never resumed.
    [[noreturn]] static void fiber_main() {
        BlockRun& block = *running_thread.block;
        block.run_threads();
        const int next = block.starts_.starting ? block.end_of_phase() : block.advance();
        block.storage_.finished.switch_to(block.context_of(next));
        std::abort();
    }

    void run_threads() {
        try {
            job_.loop(job_.bound_call);
        } catch (const std::exception& error) {
            fault_ = std::string("a kernel thread threw: ") + error.what();
        } catch (...) {
            fault_ = "a kernel thread threw an exception";
        }
    }

    void record_arrival(int thread, const char* file, int line) {
        if (arrived_count_ == 0) {
            site_ = Site{file, line};
        } else if (!site_.same_as(file, line)) {
            mismatched_ = true;
        }
        arrived_[arrived_count_++] = thread;
    }

    // The next thread of the running phase, or the next phase once all have run.
    int advance() {
        if (!fault_.empty()) {
            return kWorker;
        }
        if (position_ + 1 < running_count_) {
            return next_in_phase();
        }
        return end_of_phase();
    }

    int next_in_phase() {
        ++position_;
        // A waiting thread's stack has gone cold in the cache while the others ran: start
        // loading the one after next while this next one runs.
        if (position_ + 1 < running_count_) {
            contexts_[running_[position_ + 1]].prefetch();
        }
        return running_[position_];
    }

    // Every thread has run up to the barrier or to its end: the thread to run first in the
    // next phase (possibly the caller itself), or the worker once the block is over.
    int end_of_phase() {
        if (!fault_.empty() || arrived_count_ == 0) {
            return kWorker;
        }
        if (starts_.exited > 0) {
            fault_ = "a thread exited while other threads of its block wait at a barrier";
            return kWorker;
        }
        if (mismatched_) {
            fault_ = "threads of one block wait at different barriers";
            return kWorker;
        }
        std::swap(running_, arrived_);
        running_count_ = arrived_count_;
        arrived_count_ = 0;
        storage_.order_is_forward = false;
        arrange(running_, running_ + running_count_);
        starts_.starting = false;
        position_ = 0;
        starts_.exited = 0;
        return running_[0];
    }

    const GridJob& job_;
    const int thread_count_;
    testing::ThreadOrder order_kind_;
    BlockStorage& storage_;
    ExecutionContext* const contexts_ = storage_.contexts.data();
    int* running_ = storage_.order.data();  // the running phase's threads, in running order
    int running_count_ = thread_count_;
    int* arrived_ = storage_.arrived.data();
    int arrived_count_ = 0;
    ThreadStarts starts_;
    std::size_t fibers_started_ = 0;
    int position_ = 0;
    Site site_{};
    bool mismatched_ = false;
    std::string fault_;
};

namespace {

void run_blocks(GridJob& job) {
    for (;;) {
        if (job.faulted.load()) {
            return;
        }
        const std::uint64_t block = job.next_block++;
        if (block >= job.block_count) {
            return;
        }
        std::string fault = BlockRun(job, block).run();
        running_thread = ThreadContext{};
        if (!fault.empty()) {
            job.report_fault(fault);
        }
    }
}

// Persistent helper threads; the launching thread works alongside them.
class WorkerPool {
public:
    explicit WorkerPool(unsigned helpers) {
        for (unsigned i = 0; i < helpers; ++i) {
            threads_.emplace_back([this] { serve(); });
        }
    }

    ~WorkerPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    void run(GridJob& job) {
        std::lock_guard launch_lock(launch_mutex_);
        const unsigned helpers =
            static_cast<unsigned>(std::min<std::uint64_t>(threads_.size(), job.block_count - 1));
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            wanted_ = helpers;
            busy_ = helpers;
            ++generation_;
        }
        work_ready_.notify_all();
        run_blocks(job);
        std::unique_lock lock(mutex_);
        work_done_.wait(lock, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

private:
    void serve() {
        std::uint64_t seen = 0;
        for (;;) {
            GridJob* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock,
                                 [&] { return stopping_ || (generation_ != seen && wanted_ > 0); });
                if (stopping_) {
                    return;
                }
                seen = generation_;
                --wanted_;
                job = job_;
            }
            run_blocks(*job);
            std::lock_guard lock(mutex_);
            if (--busy_ == 0) {
                work_done_.notify_all();
            }
        }
    }

    std::mutex launch_mutex_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::vector<std::thread> threads_;
    GridJob* job_ = nullptr;
    std::uint64_t generation_ = 0;
    unsigned wanted_ = 0;
    unsigned busy_ = 0;
    bool stopping_ = false;
};

std::atomic<WorkerPool*> current_pool{nullptr};

// A forked child has none of its parent's threads: it starts a pool of its own, leaving the
// parent's (whose locks may have been held at the fork) untouched.
void forget_pool_in_child() { current_pool.store(nullptr); }

// Never destroyed: its threads wait for work until the process exits.
WorkerPool& worker_pool() {
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    static_cast<void>(fork_handler);
    WorkerPool* pool = current_pool.load();
    if (pool == nullptr) {
        auto* created = new WorkerPool(std::max(2u, std::thread::hardware_concurrency()) - 1);
        if (current_pool.compare_exchange_strong(pool, created)) {
            pool = created;
        } else {
            delete created;
        }
    }
    return *pool;
}

}  // namespace

cudaError_t check_launch_limits(dim3 grid, dim3 block, std::size_t shared_bytes) {
    const bool block_ok = block.x >= 1 && block.y >= 1 && block.z >= 1 &&
                          block.x <= kMaxBlockDimXY && block.y <= kMaxBlockDimXY &&
                          block.z <= kMaxBlockDimZ &&
                          std::uint64_t{block.x} * block.y * block.z <= max_threads_per_block();
    const bool grid_ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= kMaxGridDimX &&
                         grid.y <= kMaxGridDimYZ && grid.z <= kMaxGridDimYZ;
    if (!block_ok || !grid_ok) {
        return cudaErrorInvalidConfiguration;
    }
    return shared_bytes <= kMaxSharedBytes ? cudaSuccess : cudaErrorInvalidValue;
}

void block_barrier(const char* file, int line) {
    running_thread.block->arrive_at_barrier(file, line);
}

void run_grid(dim3 grid, dim3 block, std::size_t shared_bytes, ThreadLoop loop,
              const void* bound_call) {
    if (const cudaError_t sticky = sticky_error(); sticky != cudaSuccess) {
        record_error(sticky);
        return;
    }
    if (const cudaError_t refused = take_injected_failure(testing::Call::launch);
        refused != cudaSuccess) {
        record_error(refused);
        return;
    }
    if (const cudaError_t refused = check_launch_limits(grid, block, shared_bytes);
        refused != cudaSuccess) {
        record_error(refused);
        return;
    }
    count_launch();
    GridJob job{.grid = grid,
                .block = block,
                .shared_bytes = shared_bytes,
                .loop = loop,
                .bound_call = bound_call,
                .block_count = std::uint64_t{grid.x} * grid.y * grid.z,
                .order = thread_order(),
                .order_seed = thread_order_seed()};
    worker_pool().run(job);
    if (job.faulted.load()) {
        record_kernel_fault(cudaErrorLaunchFailure, job.fault_reason);
    }
}

}  // namespace cpu_cuda::detail

namespace cpu_cuda::testing {

cudaError_t check_launch(dim3 grid, dim3 block, std::size_t shared_bytes) {
    return detail::check_launch_limits(grid, block, shared_bytes);
}

}  // namespace cpu_cuda::testing
