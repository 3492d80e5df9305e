// Kernel launch and dynamic shared memory for both builds: the ordinary CUDA launch under
// nvcc, the CPU stand-in's launch otherwise.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <utility>

namespace orvane {

// The kernel is a template argument, so that the CPU stand-in can run a block's threads in a
// loop with the kernel inlined into it.
template <auto Kernel, typename... Args>
void launch_kernel(dim3 grid, dim3 block, std::size_t shared_bytes, Args&&... args) {
#ifdef __CUDACC__
    Kernel<<<grid, block, shared_bytes>>>(std::forward<Args>(args)...);
#else
    cpu_cuda::launch<Kernel>(grid, block, shared_bytes, std::forward<Args>(args)...);
#endif
}

// The dynamic shared memory given to the running block at launch.
template <typename T>
__device__ __forceinline__ T* dynamic_shared_memory() {
#ifdef __CUDACC__
    extern __shared__ float4 shared_memory[];
    return reinterpret_cast<T*>(shared_memory);
#else
    return static_cast<T*>(cpu_cuda::dynamic_shared_memory());
#endif
}

}  // namespace orvane
