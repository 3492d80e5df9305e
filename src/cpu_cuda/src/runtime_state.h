// State shared by the stand-in's runtime functions and its grid executor.
#pragma once

#include <cstddef>
#include <string>

#include "cpu_cuda/device_api.h"
#include "cpu_cuda/runtime_api.h"
#include "cpu_cuda/testing.h"

namespace cpu_cuda::detail {

// Records `error` as the calling thread's last error (and as the sticky context error when
// it is a fault) and returns it.
cudaError_t record_error(cudaError_t error);

// The sticky context error, cudaSuccess while the context is healthy.
cudaError_t sticky_error();

// Marks the context as faulted by a kernel, with a description for the test hooks.
void record_kernel_fault(cudaError_t error, const std::string& reason);

// cudaSuccess, or the injected failure for this call if one is due.
cudaError_t take_injected_failure(testing::Call call);

void count_launch();

// cudaSuccess, or the error a launch of this shape is refused with on a GPU.
cudaError_t check_launch_limits(dim3 grid, dim3 block, std::size_t shared_bytes);

testing::ThreadOrder thread_order();
unsigned long long thread_order_seed();

// The threads a block may have, as the device reports them (set_max_threads_per_block).
unsigned max_threads_per_block();

}  // namespace cpu_cuda::detail
