// Test hooks of the CPU stand-in: failure injection, allocation and launch counts, and the
// order in which the threads of a block run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cpu_cuda/device_api.h"
#include "cpu_cuda/runtime_api.h"

namespace cpu_cuda::testing {

enum class Call { malloc, memcpy, memset, launch, get_device, device_attribute };

// The call of this kind that comes after `skip` successful ones fails with `error`
// (a launch is refused and runs nothing). One pending failure per kind.
void fail_call(Call call, cudaError_t error, int skip = 0);
void clear_failures();

// Buffers obtained from cudaMalloc and not yet freed.
std::size_t live_allocations();

// The error a launch with this configuration would record, without running anything.
cudaError_t check_launch(dim3 grid, dim3 block, std::size_t shared_bytes);

// Launches whose blocks ran (refused launches are not counted).
std::uint64_t launches_run();

enum class ThreadOrder { forward, reverse, shuffled };

// Order in which the threads of every block start and resume after a barrier; `shuffled`
// draws a fresh permutation for every block and barrier from `seed`.
void set_thread_order(ThreadOrder order, std::uint64_t seed = 0);

// The device reports `threads` (1 to 1024) as its threads per block and refuses larger
// blocks, as a GPU of that limit would; reset_device restores 1024.
void set_max_threads_per_block(int threads);

// Why the last kernel fault happened ("" if none since the last reset).
std::string last_fault();

// Clears the sticky error and the last error, like cudaDeviceReset, and restores the
// device's limits.
void reset_device();

}  // namespace cpu_cuda::testing
