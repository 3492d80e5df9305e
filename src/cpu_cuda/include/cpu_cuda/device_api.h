// Device side of the CPU stand-in: function qualifiers, the built-in index variables, the
// block barrier, dynamic shared memory and atomics. Kernels see the same names as under nvcc,
// so one kernel source serves both builds.
#pragma once

#include <atomic>
#include <cmath>

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)
// Static shared arrays would silently become per-thread locals here; only the dynamic
// shared memory of a launch is supported, so a static one fails to compile.
#define __shared__ \
    static_assert(false, "static __shared__ arrays are not supported by the CPU stand-in");

// CUDA's device math library declares the classification functions at global scope.
using std::isfinite;
using std::isinf;
using std::isnan;

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
        : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
};

namespace cpu_cuda::detail {

class BlockRun;

// The (x, y, z) of the index-th element of an extent, x running fastest.
inline uint3 unflatten(unsigned long long index, dim3 extent) {
    const auto x = static_cast<unsigned>(index % extent.x);
    index /= extent.x;
    const auto y = static_cast<unsigned>(index % extent.y);
    return uint3{x, y, static_cast<unsigned>(index / extent.y)};
}

// The threads of the running block still to start, shared by the block runner and the
// launch's thread loop.
struct ThreadStarts {
    const int* order = nullptr;  // thread numbers in starting order
    int next = 0;
    int count = 0;
    bool starting = false;  // false once the block's first barrier phase is over
    int exited = 0;         // threads that ended in the running phase
};

// What one simulated GPU thread sees; set by the block runner before it runs or resumes
// a thread.
struct ThreadContext {
    uint3 thread_idx{0, 0, 0};
    uint3 block_idx{0, 0, 0};
    dim3 block_dim;
    dim3 grid_dim;
    void* shared_memory = nullptr;
    BlockRun* block = nullptr;
    ThreadStarts* starts = nullptr;
    int thread = -1;  // the running thread's number within its block

    void enter(int number) {
        thread = number;
        const auto flat = static_cast<unsigned>(number);
        thread_idx =
            block_dim.y == 1 && block_dim.z == 1 ? uint3{flat, 0, 0} : unflatten(flat, block_dim);
    }
};

// The running simulated thread's view, one per worker thread. The initial-exec model lets
// kernels read the built-in variables inline, without a call into the runtime.
extern constinit thread_local ThreadContext running_thread
    __attribute__((tls_model("initial-exec")));

inline ThreadContext& current_thread() { return running_thread; }

// Suspends the calling thread until every thread of its block has reached a barrier.
void block_barrier(const char* file, int line);

}  // namespace cpu_cuda::detail

#define threadIdx (::cpu_cuda::detail::current_thread().thread_idx)
#define blockIdx (::cpu_cuda::detail::current_thread().block_idx)
#define blockDim (::cpu_cuda::detail::current_thread().block_dim)
#define gridDim (::cpu_cuda::detail::current_thread().grid_dim)
#define __syncthreads() ::cpu_cuda::detail::block_barrier(__FILE__, __LINE__)

namespace cpu_cuda {

// The dynamic shared memory of the running block (the third launch parameter).
inline void* dynamic_shared_memory() { return detail::current_thread().shared_memory; }

}  // namespace cpu_cuda

namespace cpu_cuda::detail {

// Subnormals become zero of the same sign, as in the GPU's flush-to-zero float atomics.
inline float flush_subnormal(float value) {
    return std::fpclassify(value) == FP_SUBNORMAL ? std::copysign(0.0f, value) : value;
}

}  // namespace cpu_cuda::detail

// A GPU's float atomic addition to global memory flushes subnormal operands and results to
// zero, whatever the compiler's flags say; so does this one. The old value comes back as
// stored.
inline float atomicAdd(float* address, float value) {
    using cpu_cuda::detail::flush_subnormal;
    std::atomic_ref<float> target(*address);
    const float addend = flush_subnormal(value);
    float old = target.load(std::memory_order_relaxed);
    while (!target.compare_exchange_weak(old, flush_subnormal(flush_subnormal(old) + addend),
                                         std::memory_order_relaxed)) {
    }
    return old;
}

// A GPU's double atomic addition keeps subnormals: only its float atomics flush them.
inline double atomicAdd(double* address, double value) {
    return std::atomic_ref<double>(*address).fetch_add(value, std::memory_order_relaxed);
}

inline int atomicAdd(int* address, int value) {
    return std::atomic_ref<int>(*address).fetch_add(value, std::memory_order_relaxed);
}

inline unsigned int atomicAdd(unsigned int* address, unsigned int value) {
    return std::atomic_ref<unsigned int>(*address).fetch_add(value, std::memory_order_relaxed);
}
