// Kernel launch on the CPU stand-in. The arguments are converted to the kernel's parameter
// types once, as the CUDA runtime copies them, and every simulated thread calls the kernel
// with that copy.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cpu_cuda/device_api.h"
#include "cpu_cuda/runtime_api.h"

namespace cpu_cuda {

namespace detail {

using KernelInvoker = void (*)(const void* bound_call);

// Checks the launch against the device limits and the error state, then runs every block of
// the grid on the worker pool and returns when all have finished. A refused launch runs
// nothing and records its error as the last error.
void run_grid(dim3 grid, dim3 block, std::size_t shared_bytes, KernelInvoker invoke,
              const void* bound_call);

template <typename Kernel, typename Arguments>
struct BoundCall {
    Kernel kernel;
    Arguments arguments;

    static void invoke(const void* self) {
        const auto& call = *static_cast<const BoundCall*>(self);
        std::apply(call.kernel, call.arguments);
    }
};

}  // namespace detail

template <typename... Params, typename... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t shared_bytes,
            Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of kernel arguments");
    using Arguments = std::tuple<std::decay_t<Params>...>;
    const detail::BoundCall<void (*)(Params...), Arguments> call{
        kernel, Arguments(std::forward<Args>(args)...)};
    detail::run_grid(grid, block, shared_bytes, &decltype(call)::invoke, &call);
}

}  // namespace cpu_cuda
