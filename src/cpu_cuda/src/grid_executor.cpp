// Runs a kernel launch on the CPU. Blocks are spread over a persistent pool of worker
// threads; the threads of one block run on one worker. They start as a plain loop inside a
// fiber: a thread that meets __syncthreads() keeps that fiber, suspended, and the loop goes
// on in a fresh one, so blocks without barriers cost one fiber switch while blocks with
// barriers get exact barrier semantics. Barrier misuse is a kernel fault.
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <boost/context/fiber.hpp>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpu_cuda/launch.h"
#include "runtime_state.h"

namespace ctx = boost::context;

namespace cpu_cuda::detail {

namespace {
thread_local ThreadContext thread_context;
}  // namespace

ThreadContext& current_thread() { return thread_context; }

namespace {

constexpr std::size_t kFiberStackBytes = 64 * 1024;
constexpr unsigned kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxBlockDimXY = 1024;
constexpr unsigned kMaxBlockDimZ = 64;
constexpr unsigned kMaxGridDimX = 2147483647u;
constexpr unsigned kMaxGridDimYZ = 65535;
constexpr std::size_t kMaxSharedBytes = 48 * 1024;
// Uninitialised shared memory reads back as NaN rather than as a convenient zero.
constexpr unsigned char kSharedMemoryFill = 0xFF;

// Fiber stacks of one worker thread, reused across blocks and launches. Each has an
// inaccessible guard page below it, so a kernel that overflows its stack faults instead of
// silently overwriting another thread's.
class StackPool {
public:
    ~StackPool() {
        for (char* mapping : free_) {
            munmap(mapping, kGuardBytes + kFiberStackBytes);
        }
    }

    ctx::stack_context take() {
        char* mapping = nullptr;
        if (free_.empty()) {
            mapping = map_stack();
        } else {
            mapping = free_.back();
            free_.pop_back();
        }
        ctx::stack_context stack;
        stack.size = kFiberStackBytes;
        stack.sp = mapping + kGuardBytes + kFiberStackBytes;
        return stack;
    }

    void give_back(ctx::stack_context& stack) {
        free_.push_back(static_cast<char*>(stack.sp) - stack.size - kGuardBytes);
    }

private:
    static constexpr std::size_t kGuardBytes = 4096;

    static char* map_stack() {
        void* mapping = mmap(nullptr, kGuardBytes + kFiberStackBytes, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            throw std::bad_alloc();
        }
        mprotect(mapping, kGuardBytes, PROT_NONE);
        return static_cast<char*>(mapping);
    }

    std::vector<char*> free_;
};

thread_local StackPool stack_pool;

struct PooledStack {
    ctx::stack_context allocate() { return stack_pool.take(); }
    void deallocate(ctx::stack_context& stack) noexcept { stack_pool.give_back(stack); }
};

struct GridJob {
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes;
    KernelInvoker invoke;
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

uint3 unflatten(std::uint64_t index, dim3 extent) {
    const auto x = static_cast<unsigned>(index % extent.x);
    index /= extent.x;
    const auto y = static_cast<unsigned>(index % extent.y);
    return uint3{x, y, static_cast<unsigned>(index / extent.y)};
}

}  // namespace

// The threads of one block, run to completion on the calling worker.
class BlockRun {
public:
    BlockRun(const GridJob& job, std::uint64_t block_index)
        : job_(job),
          thread_count_(static_cast<int>(job.block.x * job.block.y * job.block.z)),
          order_(job.order) {
        if (order_ == testing::ThreadOrder::shuffled) {
            random_.seed(job.order_seed * 0x9E3779B97F4A7C15ull + block_index);
        }
        start_order_.resize(thread_count_);
        std::iota(start_order_.begin(), start_order_.end(), 0);
        arrange(start_order_);

        ThreadContext& context = thread_context;
        context.block_idx = unflatten(block_index, job.grid);
        context.block_dim = job.block;
        context.grid_dim = job.grid;
        context.block = this;
        context.shared_memory = prepare_shared_memory(job.shared_bytes);
    }

    // Runs every thread of the block; returns "" or the reason of a kernel fault.
    std::string run() {
        while (next_start_ < thread_count_ && fault_.empty()) {
            step(start_runner());
        }
        while (fault_.empty() && !waiting_.empty()) {
            if (exited_in_phase_ > 0) {
                return "a thread exited while other threads of its block wait at a barrier";
            }
            if (!all_at_same_barrier()) {
                return "threads of one block wait at different barriers";
            }
            std::vector<Waiting> resuming = std::move(waiting_);
            waiting_.clear();
            exited_in_phase_ = 0;
            arrange(resuming);
            for (Waiting& thread : resuming) {
                step(std::move(thread.fiber));
            }
        }
        return fault_;
    }

    void arrive_at_barrier(const char* file, int line) {
        Frame& frame = *running_;
        suspended_ = Site{frame.thread, file, line};
        frame.to_scheduler = std::move(frame.to_scheduler).resume();
        enter(frame);
    }

private:
    struct Frame {
        ctx::fiber to_scheduler;
        int thread = -1;
    };
    struct Site {
        int thread;
        const char* file;
        int line;
    };
    struct Waiting {
        Site site;
        ctx::fiber fiber;
        int thread() const { return site.thread; }
    };

    static void* prepare_shared_memory(std::size_t bytes) {
        thread_local std::vector<unsigned char> shared;
        if (bytes == 0) {
            return nullptr;
        }
        shared.assign(bytes, kSharedMemoryFill);
        return shared.data();
    }

    int thread_of(int value) const { return value; }
    int thread_of(const Waiting& value) const { return value.thread(); }

    template <typename T>
    void arrange(std::vector<T>& items) {
        const auto by_thread = [this](const T& a, const T& b) {
            return thread_of(a) < thread_of(b);
        };
        // Threads keep their order from one barrier to the next, so the sorts find sorted input
        // after the first phase.
        switch (order_) {
            case testing::ThreadOrder::forward:
                if (!std::is_sorted(items.begin(), items.end(), by_thread)) {
                    std::sort(items.begin(), items.end(), by_thread);
                }
                break;
            case testing::ThreadOrder::reverse:
                if (!std::is_sorted(items.rbegin(), items.rend(), by_thread)) {
                    std::sort(items.rbegin(), items.rend(), by_thread);
                }
                break;
            case testing::ThreadOrder::shuffled:
                std::shuffle(items.begin(), items.end(), random_);
                break;
        }
    }

    void enter(Frame& frame) {
        running_ = &frame;
        thread_context.thread_idx = unflatten(static_cast<std::uint64_t>(frame.thread), job_.block);
    }

    ctx::fiber start_runner() {
        return ctx::fiber(std::allocator_arg, PooledStack{}, [this](ctx::fiber&& scheduler) {
            Frame frame{std::move(scheduler)};
            while (next_start_ < thread_count_) {
                frame.thread = start_order_[next_start_++];
                enter(frame);
                run_thread();
                ++exited_in_phase_;
            }
            return std::move(frame.to_scheduler);
        });
    }

    void run_thread() {
        try {
            job_.invoke(job_.bound_call);
        } catch (const ctx::detail::forced_unwind&) {
            throw;
        } catch (const std::exception& error) {
            fault_ = std::string("a kernel thread threw: ") + error.what();
        } catch (...) {
            fault_ = "a kernel thread threw an exception";
        }
    }

    // Resumes a fiber until its thread meets the next barrier or the fiber ends.
    void step(ctx::fiber fiber) {
        ctx::fiber suspended = std::move(fiber).resume();
        if (suspended) {
            waiting_.push_back(Waiting{suspended_, std::move(suspended)});
        }
    }

    bool all_at_same_barrier() const {
        const Site& first = waiting_.front().site;
        return std::all_of(waiting_.begin(), waiting_.end(), [&](const Waiting& thread) {
            return thread.site.line == first.line &&
                   std::string_view(thread.site.file) == first.file;
        });
    }

    const GridJob& job_;
    const int thread_count_;
    testing::ThreadOrder order_;
    std::mt19937_64 random_;
    std::vector<int> start_order_;
    int next_start_ = 0;
    int exited_in_phase_ = 0;
    Frame* running_ = nullptr;
    Site suspended_{};
    std::vector<Waiting> waiting_;
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
        thread_context = ThreadContext{};
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
                          std::uint64_t{block.x} * block.y * block.z <= kMaxThreadsPerBlock;
    const bool grid_ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= kMaxGridDimX &&
                         grid.y <= kMaxGridDimYZ && grid.z <= kMaxGridDimYZ;
    if (!block_ok || !grid_ok) {
        return cudaErrorInvalidConfiguration;
    }
    return shared_bytes <= kMaxSharedBytes ? cudaSuccess : cudaErrorInvalidValue;
}

void block_barrier(const char* file, int line) {
    thread_context.block->arrive_at_barrier(file, line);
}

void run_grid(dim3 grid, dim3 block, std::size_t shared_bytes, KernelInvoker invoke,
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
                .invoke = invoke,
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
