// Kernel launch on the CPU stand-in. The arguments are converted to the kernel's parameter
// types once, as the CUDA runtime copies them, and every simulated thread calls the kernel
// with that copy. The kernel is a template argument: a block's threads run in a loop with the
// kernel inlined into it.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cpu_cuda/device_api.h"
#include "cpu_cuda/runtime_api.h"

namespace cpu_cuda {

namespace detail {

// Runs the block's threads that are still to start, one after another, on the calling fiber.
using ThreadLoop = void (*)(const void* bound_call);

// Checks the launch against the device limits and the error state, then runs every block of
// the grid on the worker pool and returns when all have finished. A refused launch runs
// nothing and records its error as the last error.
void run_grid(dim3 grid, dim3 block, std::size_t shared_bytes, ThreadLoop loop,
              const void* bound_call);

template <auto Kernel, typename Arguments>
struct BoundCall {
    Arguments arguments;

    // Flattened: the kernel and everything it calls are inlined into the loop.
    __attribute__((flatten)) static void run_threads(const void* self) {
        // A local copy: nothing a kernel stores to can alias it, so the arguments stay in
        // registers across threads.
        const Arguments arguments = static_cast<const BoundCall*>(self)->arguments;
        ThreadContext& context = running_thread;
        ThreadStarts& starts = *context.starts;
        // A thread that meets a barrier keeps this fiber; when it ends later, starting is over
        // and the loop stops.
        while (starts.starting && starts.next < starts.count) {
            context.enter(starts.order[starts.next++]);
            std::apply([](const auto&... values) { Kernel(values...); }, arguments);
            ++starts.exited;
        }
    }
};

template <typename... Params>
std::tuple<std::decay_t<Params>...> parameter_tuple(void (*)(Params...));

}  // namespace detail

template <auto Kernel, typename... Args>
void launch(dim3 grid, dim3 block, std::size_t shared_bytes, Args&&... args) {
    using Arguments = decltype(detail::parameter_tuple(Kernel));
    static_assert(std::tuple_size_v<Arguments> == sizeof...(Args),
                  "wrong number of kernel arguments");
    const detail::BoundCall<Kernel, Arguments> call{Arguments(std::forward<Args>(args)...)};
    detail::run_grid(grid, block, shared_bytes, &decltype(call)::run_threads, &call);
}

}  // namespace cpu_cuda
