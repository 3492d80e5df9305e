// Host runtime functions of the CPU stand-in: errors, device queries, memory and copies.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>

#include "runtime_state.h"

namespace cpu_cuda::detail {
namespace {

constexpr int kMaxThreadsPerBlock = 1024;
constexpr std::size_t kAllocationAlignment = 256;

thread_local cudaError_t last_error = cudaSuccess;
std::atomic<cudaError_t> context_error{cudaSuccess};

struct FailurePlan {
    bool armed = false;
    cudaError_t error = cudaSuccess;
    int skip = 0;
};

struct HookState {
    std::mutex mutex;
    FailurePlan plans[6];
    std::string fault_reason;
    testing::ThreadOrder order = testing::ThreadOrder::forward;
    unsigned long long seed = 0;
    int max_threads_per_block = kMaxThreadsPerBlock;
};

HookState& hooks() {
    static HookState state;
    return state;
}

struct AllocationTable {
    std::mutex mutex;
    std::unordered_set<void*> live;
};

AllocationTable& allocations() {
    static AllocationTable table;
    return table;
}

std::atomic<std::uint64_t> launch_counter{0};

// Errors that leave the context unusable on a GPU stay for every later call.
bool is_sticky(cudaError_t error) {
    switch (error) {
        case cudaErrorIllegalAddress:
        case cudaErrorAssert:
        case cudaErrorIllegalInstruction:
        case cudaErrorLaunchFailure:
            return true;
        default:
            return false;
    }
}

// cudaSuccess if the call may proceed, else the error it fails with (already recorded).
// Device queries do not touch the context, so only the other calls see a sticky fault.
cudaError_t begin_call(testing::Call call) {
    const bool device_query =
        call == testing::Call::get_device || call == testing::Call::device_attribute;
    if (const cudaError_t sticky = sticky_error(); sticky != cudaSuccess && !device_query) {
        return record_error(sticky);
    }
    if (const cudaError_t injected = take_injected_failure(call); injected != cudaSuccess) {
        return record_error(injected);
    }
    return cudaSuccess;
}

cudaError_t check_device(int device) {
    return device == 0 ? cudaSuccess : record_error(cudaErrorInvalidDevice);
}

}  // namespace

cudaError_t record_error(cudaError_t error) {
    if (error == cudaSuccess) {
        return error;
    }
    last_error = error;
    if (is_sticky(error)) {
        cudaError_t expected = cudaSuccess;
        context_error.compare_exchange_strong(expected, error);
    }
    return error;
}

cudaError_t sticky_error() { return context_error.load(); }

void record_kernel_fault(cudaError_t error, const std::string& reason) {
    {
        std::lock_guard lock(hooks().mutex);
        hooks().fault_reason = reason;
    }
    record_error(error);
}

cudaError_t take_injected_failure(testing::Call call) {
    std::lock_guard lock(hooks().mutex);
    FailurePlan& plan = hooks().plans[static_cast<int>(call)];
    if (!plan.armed) {
        return cudaSuccess;
    }
    if (plan.skip > 0) {
        --plan.skip;
        return cudaSuccess;
    }
    plan.armed = false;
    return plan.error;
}

void count_launch() { ++launch_counter; }

testing::ThreadOrder thread_order() {
    std::lock_guard lock(hooks().mutex);
    return hooks().order;
}

unsigned long long thread_order_seed() {
    std::lock_guard lock(hooks().mutex);
    return hooks().seed;
}

unsigned max_threads_per_block() {
    std::lock_guard lock(hooks().mutex);
    return static_cast<unsigned>(hooks().max_threads_per_block);
}

}  // namespace cpu_cuda::detail

using namespace cpu_cuda::detail;
using cpu_cuda::testing::Call;

cudaError_t cudaGetDeviceCount(int* count) {
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (const cudaError_t error = begin_call(Call::get_device); error != cudaSuccess) {
        return error;
    }
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) { return check_device(device); }

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attribute, int device) {
    if (const cudaError_t error = begin_call(Call::device_attribute); error != cudaSuccess) {
        return error;
    }
    if (const cudaError_t error = check_device(device); error != cudaSuccess) {
        return error;
    }
    switch (attribute) {
        case cudaDevAttrMaxThreadsPerBlock:
            *value = static_cast<int>(max_threads_per_block());
            break;
        case cudaDevAttrMaxBlockDimX:
            *value = 1024;
            break;
        case cudaDevAttrMaxBlockDimY:
            *value = 1024;
            break;
        case cudaDevAttrMaxBlockDimZ:
            *value = 64;
            break;
        case cudaDevAttrMaxGridDimX:
            *value = 2147483647;
            break;
        case cudaDevAttrMaxGridDimY:
            *value = 65535;
            break;
        case cudaDevAttrMaxGridDimZ:
            *value = 65535;
            break;
        case cudaDevAttrMaxSharedMemoryPerBlock:
            *value = 48 * 1024;
            break;
        case cudaDevAttrWarpSize:
            *value = 32;
            break;
        case cudaDevAttrMultiProcessorCount:
            *value = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
            break;
        default:
            return record_error(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** pointer, std::size_t bytes) {
    if (const cudaError_t error = begin_call(Call::malloc); error != cudaSuccess) {
        return error;
    }
    if (bytes == 0) {
        *pointer = nullptr;
        return cudaSuccess;
    }
    const std::size_t rounded =
        (bytes + kAllocationAlignment - 1) / kAllocationAlignment * kAllocationAlignment;
    void* memory = std::aligned_alloc(kAllocationAlignment, rounded);
    if (memory == nullptr) {
        return record_error(cudaErrorMemoryAllocation);
    }
    {
        std::lock_guard lock(allocations().mutex);
        allocations().live.insert(memory);
    }
    *pointer = memory;
    return cudaSuccess;
}

cudaError_t cudaFree(void* pointer) {
    if (pointer == nullptr) {
        return cudaSuccess;
    }
    {
        std::lock_guard lock(allocations().mutex);
        if (allocations().live.erase(pointer) == 0) {
            return record_error(cudaErrorInvalidValue);
        }
    }
    std::free(pointer);
    // The memory is released even in a faulted context, but the call still reports the fault.
    return sticky_error() == cudaSuccess ? cudaSuccess : record_error(sticky_error());
}

cudaError_t cudaMemcpy(void* destination, const void* source, std::size_t bytes,
                       cudaMemcpyKind kind) {
    if (const cudaError_t error = begin_call(Call::memcpy); error != cudaSuccess) {
        return error;
    }
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) {
        return record_error(cudaErrorInvalidMemcpyDirection);
    }
    if (bytes != 0) {
        std::memcpy(destination, source, bytes);
    }
    return cudaSuccess;
}

cudaError_t cudaMemset(void* pointer, int value, std::size_t bytes) {
    if (const cudaError_t error = begin_call(Call::memset); error != cudaSuccess) {
        return error;
    }
    if (bytes != 0) {
        std::memset(pointer, value, bytes);
    }
    return cudaSuccess;
}

// Kernels run to completion inside their launch, so there is never anything to wait for.
cudaError_t cudaDeviceSynchronize() {
    const cudaError_t sticky = sticky_error();
    return sticky == cudaSuccess ? cudaSuccess : record_error(sticky);
}

cudaError_t cudaDeviceReset() {
    cpu_cuda::testing::reset_device();
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    const cudaError_t error = last_error;
    last_error = sticky_error();
    return error;
}

cudaError_t cudaPeekAtLastError() { return last_error; }

namespace {

struct ErrorText {
    cudaError_t code;
    const char* name;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
     "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorAssert, "cudaErrorAssert", "device-side assert triggered"},
    {cudaErrorIllegalInstruction, "cudaErrorIllegalInstruction",
     "an illegal instruction was encountered"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};

const ErrorText* find_error(cudaError_t error) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == error) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

const char* cudaGetErrorString(cudaError_t error) {
    const ErrorText* entry = find_error(error);
    return entry != nullptr ? entry->text : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
    const ErrorText* entry = find_error(error);
    return entry != nullptr ? entry->name : "cudaErrorUnknown";
}

namespace cpu_cuda::testing {

void fail_call(Call call, cudaError_t error, int skip) {
    std::lock_guard lock(hooks().mutex);
    hooks().plans[static_cast<int>(call)] = FailurePlan{true, error, skip};
}

void clear_failures() {
    std::lock_guard lock(hooks().mutex);
    for (FailurePlan& plan : hooks().plans) {
        plan = FailurePlan{};
    }
}

std::size_t live_allocations() {
    std::lock_guard lock(allocations().mutex);
    return allocations().live.size();
}

std::uint64_t launches_run() { return launch_counter.load(); }

void set_thread_order(ThreadOrder order, std::uint64_t seed) {
    std::lock_guard lock(hooks().mutex);
    hooks().order = order;
    hooks().seed = seed;
}

void set_max_threads_per_block(int threads) {
    if (threads < 1 || threads > kMaxThreadsPerBlock) {
        throw std::invalid_argument("threads per block must be between 1 and " +
                                    std::to_string(kMaxThreadsPerBlock));
    }
    std::lock_guard lock(hooks().mutex);
    hooks().max_threads_per_block = threads;
}

std::string last_fault() {
    std::lock_guard lock(hooks().mutex);
    return hooks().fault_reason;
}

void reset_device() {
    {
        std::lock_guard lock(hooks().mutex);
        hooks().fault_reason.clear();
        hooks().max_threads_per_block = kMaxThreadsPerBlock;
    }
    context_error = cudaSuccess;
    last_error = cudaSuccess;
}

}  // namespace cpu_cuda::testing
