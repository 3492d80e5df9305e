// Tests of the CPU stand-in for the CUDA runtime: barriers, faults, launch limits, atomics,
// float contraction, memory and error bookkeeping.
#include <cuda_runtime.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "cpu_cuda/testing.h"

namespace {

using cpu_cuda::testing::Call;
using cpu_cuda::testing::ThreadOrder;

class Runtime : public ::testing::Test {
protected:
    void SetUp() override {
        cpu_cuda::testing::reset_device();
        cpu_cuda::testing::clear_failures();
        cpu_cuda::testing::set_thread_order(ThreadOrder::forward);
    }
    void TearDown() override { SetUp(); }
};

// Tree sum over the block in shared memory, then every thread reads the total and the value
// of its mirror thread: wrong as soon as any barrier is not honoured.
__global__ void block_sum_kernel(const float* input, float* totals, float* mirrored) {
    float* shared = static_cast<float*>(cpu_cuda::dynamic_shared_memory());
    const unsigned t = threadIdx.x;
    const unsigned n = blockDim.x;
    const unsigned base = blockIdx.x * n;
    shared[t] = input[base + t];
    __syncthreads();
    mirrored[base + t] = shared[n - 1 - t];
    __syncthreads();
    for (unsigned stride = n / 2; stride > 0; stride /= 2) {
        if (t < stride) {
            shared[t] += shared[t + stride];
        }
        __syncthreads();
    }
    totals[base + t] = shared[0];
}

struct BlockSumResult {
    std::vector<float> totals;
    std::vector<float> mirrored;
};

BlockSumResult run_block_sum(const std::vector<float>& input, unsigned blocks, unsigned threads) {
    BlockSumResult result{std::vector<float>(input.size()), std::vector<float>(input.size())};
    cpu_cuda::launch<block_sum_kernel>(dim3(blocks), dim3(threads), threads * sizeof(float),
                                       input.data(), result.totals.data(), result.mirrored.data());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return result;
}

TEST_F(Runtime, BarrierKernelIsIndependentOfThreadOrder) {
    constexpr unsigned kBlocks = 6;
    constexpr unsigned kThreads = 256;
    std::vector<float> input(kBlocks * kThreads);
    std::iota(input.begin(), input.end(), 1.0f);

    const BlockSumResult forward = run_block_sum(input, kBlocks, kThreads);
    for (unsigned b = 0; b < kBlocks; ++b) {
        float expected = 0.0f;
        for (unsigned t = 0; t < kThreads; ++t) {
            EXPECT_EQ(forward.mirrored[b * kThreads + t], input[b * kThreads + kThreads - 1 - t]);
            expected += input[b * kThreads + t];
        }
        for (unsigned t = 0; t < kThreads; ++t) {
            EXPECT_EQ(forward.totals[b * kThreads + t], expected) << "block " << b;
        }
    }

    const std::pair<ThreadOrder, std::uint64_t> orders[] = {
        {ThreadOrder::reverse, 0}, {ThreadOrder::shuffled, 1}, {ThreadOrder::shuffled, 7}};
    for (const auto& [order, seed] : orders) {
        cpu_cuda::testing::set_thread_order(order, seed);
        const BlockSumResult other = run_block_sum(input, kBlocks, kThreads);
        EXPECT_EQ(std::memcmp(other.totals.data(), forward.totals.data(), input.size() * 4), 0);
        EXPECT_EQ(other.mirrored, forward.mirrored);
    }
}

// Records the order in which the threads of a barrier-free block run.
__global__ void record_order_kernel(int* order, int* next) {
    order[atomicAdd(next, 1)] = static_cast<int>(threadIdx.x);
}

TEST_F(Runtime, ThreadOrderHookChangesTheRunningOrder) {
    std::vector<int> order(64);
    int next = 0;
    cpu_cuda::testing::set_thread_order(ThreadOrder::reverse);
    cpu_cuda::launch<record_order_kernel>(dim3(1), dim3(64), 0, order.data(), &next);
    ASSERT_EQ(next, 64);
    for (int t = 0; t < 64; ++t) {
        EXPECT_EQ(order[t], 63 - t);
    }
}

__global__ void early_exit_kernel(float* out) {
    if (threadIdx.x == 3) {
        return;
    }
    __syncthreads();
    out[threadIdx.x] = 1.0f;
}

__global__ void divergent_barrier_kernel(float* out) {
    if (threadIdx.x % 2 == 0) {
        __syncthreads();
    } else {
        __syncthreads();
    }
    out[threadIdx.x] = 1.0f;
}

void expect_sticky_fault(const char* reason_part) {
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_NE(cpu_cuda::testing::last_fault().find(reason_part), std::string::npos)
        << cpu_cuda::testing::last_fault();
    // The context stays faulted, like a GPU context after a kernel fault.
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    void* buffer = nullptr;
    EXPECT_EQ(cudaMalloc(&buffer, 16), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    cpu_cuda::testing::reset_device();
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(Runtime, ThreadExitingWhileOthersWaitIsAFault) {
    for (const ThreadOrder order : {ThreadOrder::forward, ThreadOrder::reverse}) {
        cpu_cuda::testing::set_thread_order(order);
        std::vector<float> out(8, 0.0f);
        cpu_cuda::launch<early_exit_kernel>(dim3(2), dim3(8), 0, out.data());
        expect_sticky_fault("exited while other threads");
    }
}

TEST_F(Runtime, ThreadsAtDifferentBarriersAreAFault) {
    std::vector<float> out(8, 0.0f);
    cpu_cuda::launch<divergent_barrier_kernel>(dim3(1), dim3(8), 0, out.data());
    expect_sticky_fault("different barriers");
}

__global__ void throwing_kernel(float* out) {
    out[threadIdx.x] = 1.0f;
    __syncthreads();
    if (threadIdx.x == 5) {
        throw std::runtime_error("thread 5 gave up");
    }
    __syncthreads();
    out[threadIdx.x] = 2.0f;
}

TEST_F(Runtime, ThreadThrowingWhileOthersWaitIsAFaultThatLeavesNothingBehind) {
    std::vector<float> out(8, 0.0f);
    cpu_cuda::launch<throwing_kernel>(dim3(3), dim3(8), 0, out.data());
    expect_sticky_fault("thread 5 gave up");
    // The threads left waiting are abandoned; their stacks serve the next launch's blocks.
    const BlockSumResult sums = run_block_sum(std::vector<float>(4 * 64, 1.0f), 4, 64);
    EXPECT_EQ(sums.totals, std::vector<float>(4 * 64, 64.0f));
}

__global__ void count_kernel(float* float_count, int* int_count) {
    atomicAdd(float_count, 1.0f);
    atomicAdd(int_count, 1);
}

TEST_F(Runtime, AtomicAdditionsAreExactAcrossManyBlocks) {
    float float_count = 0.0f;
    int int_count = 0;
    cpu_cuda::launch<count_kernel>(dim3(500, 3), dim3(128), 0, &float_count, &int_count);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(int_count, 500 * 3 * 128);
    EXPECT_EQ(float_count, 500.0f * 3 * 128);
}

// One thread adds each pair, so the order of the additions is fixed.
__global__ void add_pairs_kernel(float* targets, const float* addends, float* olds) {
    const unsigned t = threadIdx.x;
    olds[t] = atomicAdd(&targets[t], addends[t]);
}

TEST_F(Runtime, FloatAtomicsFlushSubnormalsToZeroLikeTheGpu) {
    const float tiny = 1e-39f;     // subnormal
    const float small = 1.5e-38f;  // normal, and so is 1.4e-38, but not their difference
    std::vector<float> targets{0.0f, tiny, small, -small, 1.0f, tiny};
    const std::vector<float> addends{tiny, 0.0f, -1.4e-38f, 1.4e-38f, tiny, 1.0f};
    const std::vector<float> stored = targets;
    std::vector<float> olds(targets.size());
    cpu_cuda::launch<add_pairs_kernel>(dim3(1), dim3(6), 0, targets.data(), addends.data(),
                                       olds.data());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    // A subnormal operand counts as zero, a subnormal sum becomes a zero of its sign.
    EXPECT_EQ(targets[0], 0.0f);
    EXPECT_EQ(targets[1], 0.0f);
    EXPECT_EQ(targets[2], 0.0f);
    EXPECT_FALSE(std::signbit(targets[2]));
    EXPECT_EQ(targets[3], 0.0f);
    EXPECT_TRUE(std::signbit(targets[3]));
    EXPECT_EQ(targets[4], 1.0f);
    EXPECT_EQ(targets[5], 1.0f);
    // The old value comes back as it was stored.
    EXPECT_EQ(std::memcmp(olds.data(), stored.data(), olds.size() * sizeof(float)), 0);
}

__global__ void index_kernel(unsigned* out) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    out[block * blockDim.x * blockDim.y * blockDim.z + thread] += 1;
}

TEST_F(Runtime, EveryThreadOfEveryBlockRunsOnce) {
    const dim3 grid(3, 4, 2);
    const dim3 block(8, 2, 4);
    std::vector<unsigned> out(3 * 4 * 2 * 8 * 2 * 4, 0);
    cpu_cuda::launch<index_kernel>(grid, block, 0, out.data());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (const unsigned hits : out) {
        EXPECT_EQ(hits, 1u);
    }
}

__global__ void noop_kernel(int* ran) { atomicAdd(ran, 1); }

TEST_F(Runtime, LaunchLimitsMatchTheGpu) {
    using cpu_cuda::testing::check_launch;
    EXPECT_EQ(check_launch(dim3(1), dim3(1024), 0), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(1), dim3(1025), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1), dim3(32, 32), 0), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(1), dim3(32, 33), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1), dim3(1, 1, 64), 0), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(1), dim3(1, 1, 65), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(2147483647u), dim3(1), 0), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(2147483648u), dim3(1), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1, 65535), dim3(1), 0), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(1, 65536), dim3(1), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1, 1, 65535), dim3(1), 0), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(1, 1, 65536), dim3(1), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(0), dim3(1), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1), dim3(0), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1, 0), dim3(1), 0), cudaErrorInvalidConfiguration);
    EXPECT_EQ(check_launch(dim3(1), dim3(1), 48 * 1024), cudaSuccess);
    EXPECT_EQ(check_launch(dim3(1), dim3(1), 48 * 1024 + 1), cudaErrorInvalidValue);
}

TEST_F(Runtime, RefusedLaunchRunsNothingAndRecordsTheError) {
    int ran = 0;
    const std::uint64_t launches = cpu_cuda::testing::launches_run();
    cpu_cuda::launch<noop_kernel>(dim3(1, 65535), dim3(1), 0, &ran);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(ran, 65535);

    ran = 0;
    cpu_cuda::launch<noop_kernel>(dim3(1, 65536), dim3(1), 0, &ran);
    cpu_cuda::launch<noop_kernel>(dim3(1), dim3(1025), 0, &ran);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(cpu_cuda::testing::launches_run(), launches + 1);
    const cudaError_t error = cudaGetLastError();
    EXPECT_EQ(error, cudaErrorInvalidConfiguration);
    EXPECT_STREQ(cudaGetErrorString(error), "invalid configuration argument");
    // A refused launch is not sticky: the last error is read once and reset.
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

__global__ void multiply_add_kernel(const float* a, const float* b, const float* c, float* separate,
                                    float* fused) {
    *separate = *a * *b + *c;
    *fused = fmaf(*a, *b, *c);
}

TEST_F(Runtime, MultiplyAddIsOnlyFusedWhenAsked) {
    // (1 + 2^-12)^2 - 1: the product rounds away 2^-24 unless it is fused with the sum.
    const float a = 1.0f + 0x1p-12f;
    const float c = -1.0f;
    float separate = 0.0f;
    float fused = 0.0f;
    cpu_cuda::launch<multiply_add_kernel>(dim3(1), dim3(1), 0, &a, &a, &c, &separate, &fused);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(separate, 0x1p-11f);
    EXPECT_EQ(fused, 0x1p-11f + 0x1p-24f);
}

TEST_F(Runtime, MemoryIsTrackedAndCopied) {
    const std::size_t before = cpu_cuda::testing::live_allocations();
    int* buffer = nullptr;
    ASSERT_EQ(cudaMalloc(&buffer, 4 * sizeof(int)), cudaSuccess);
    EXPECT_EQ(cpu_cuda::testing::live_allocations(), before + 1);
    const int values[4] = {1, 2, 3, 4};
    ASSERT_EQ(cudaMemcpy(buffer, values, sizeof(values), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(buffer[2], 3);
    ASSERT_EQ(cudaMemset(buffer, 0, sizeof(values)), cudaSuccess);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(cudaFree(buffer), cudaSuccess);
    EXPECT_EQ(cpu_cuda::testing::live_allocations(), before);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(Runtime, InjectedFailuresHitTheChosenCall) {
    void* first = nullptr;
    void* second = nullptr;
    cpu_cuda::testing::fail_call(Call::malloc, cudaErrorMemoryAllocation, 1);
    EXPECT_EQ(cudaMalloc(&first, 8), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&second, 8), cudaErrorMemoryAllocation);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "out of memory");
    EXPECT_EQ(cudaMalloc(&second, 8), cudaSuccess);
    cudaFree(first);
    cudaFree(second);

    int value = 0;
    cpu_cuda::testing::fail_call(Call::memcpy, cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(&value, &value, 4, cudaMemcpyHostToDevice), cudaErrorInvalidValue);

    int ran = 0;
    cpu_cuda::testing::fail_call(Call::launch, cudaErrorLaunchOutOfResources);
    cpu_cuda::launch<noop_kernel>(dim3(1), dim3(1), 0, &ran);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);

    int limit = 0;
    cpu_cuda::testing::fail_call(Call::device_attribute, cudaErrorNoDevice);
    EXPECT_EQ(cudaDeviceGetAttribute(&limit, cudaDevAttrMaxThreadsPerBlock, 0), cudaErrorNoDevice);
    EXPECT_EQ(cudaDeviceGetAttribute(&limit, cudaDevAttrMaxThreadsPerBlock, 0), cudaSuccess);
    EXPECT_EQ(limit, 1024);
    EXPECT_EQ(cudaDeviceGetAttribute(&limit, cudaDevAttrMaxThreadsPerBlock, 1),
              cudaErrorInvalidDevice);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
}

}  // namespace

namespace {

TEST_F(Runtime, ForkedChildRunsKernelsOnItsOwnPool) {
    float parent_count = 0.0f;
    int parent_ints = 0;
    cpu_cuda::launch<count_kernel>(dim3(8), dim3(32), 0, &parent_count, &parent_ints);
    ASSERT_EQ(parent_ints, 256);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);  // a child waiting for its parent's threads would otherwise hang forever
        float count = 0.0f;
        int ints = 0;
        cpu_cuda::launch<count_kernel>(dim3(64), dim3(32), 0, &count, &ints);
        _exit(ints == 64 * 32 && cudaGetLastError() == cudaSuccess ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

namespace {

__global__ void deep_recursion_kernel(int depth, int* sink) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth > 0) {
        deep_recursion_kernel(depth - 1, sink);
    }
    *sink += frame[0];
}

TEST(RuntimeDeathTest, StackOverflowFaultsInsteadOfCorruptingMemory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int sink = 0;
    cpu_cuda::launch<deep_recursion_kernel>(dim3(1), dim3(2), 0, 20, &sink);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(sink, 2 * (20 * 21 / 2));
    EXPECT_DEATH(cpu_cuda::launch<deep_recursion_kernel>(dim3(1), dim3(2), 0, 1000, &sink), "");
}

}  // namespace
