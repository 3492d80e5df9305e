// Switching between the simulated threads of a block on one worker: a suspended thread is an
// execution context with a stack of its own. On x86-64 a switch saves the callee-saved
// registers on the running stack, swaps the stack pointer and restores the other context's:
// nothing else. In particular the floating-point control state (MXCSR, the x87 control word)
// is not switched: kernels never change it, so all contexts of a worker share the worker's.
// Elsewhere, or with CPU_CUDA_PORTABLE_CONTEXT defined, Boost.Context's switch does it, which
// also carries the floating-point control state across and costs about twice as much.
#pragma once

#include <cstddef>

#if defined(__x86_64__) && !defined(CPU_CUDA_PORTABLE_CONTEXT)
#define CPU_CUDA_REGISTER_CONTEXT 1
extern "C" void cpu_cuda_switch_stack(void** save_stack_pointer, void* resume_stack_pointer);
#else
#define CPU_CUDA_REGISTER_CONTEXT 0
#include <boost/context/detail/fcontext.hpp>
#endif

namespace cpu_cuda::detail {

class ExecutionContext {
public:
    // Makes this a context that, once switched to, runs `entry` on the given stack. `entry`
    // must never return: it ends by switching away for good.
    void prepare(char* stack_base, std::size_t stack_bytes, void (*entry)());

    // Suspends the running code into this context and resumes `target`. Returns when some
    // context switches back to this one.
    void switch_to(ExecutionContext& target) {
#if CPU_CUDA_REGISTER_CONTEXT
        cpu_cuda_switch_stack(&stack_pointer_, target.stack_pointer_);
#else
        Handover handover{this, target.entry_};
        const auto from = boost::context::detail::jump_fcontext(target.context_, &handover);
        static_cast<Handover*>(from.data)->from->context_ = from.fctx;
#endif
    }

    // Starts loading what resuming this context will read first.
    void prefetch() const {
#if CPU_CUDA_REGISTER_CONTEXT
        const char* top = static_cast<const char*>(stack_pointer_);
        for (int line = 0; line < 4; ++line) {
            __builtin_prefetch(top + 64 * line);
        }
#endif
    }

private:
#if CPU_CUDA_REGISTER_CONTEXT
    void* stack_pointer_ = nullptr;
#else
    // Boost.Context hands the suspended context to the one it resumes: the switching side
    // says where to keep it, and a new context what to run.
    struct Handover {
        ExecutionContext* from;
        void (*entry)();
    };

    static void start(boost::context::detail::transfer_t from);

    boost::context::detail::fcontext_t context_ = nullptr;
    void (*entry_)() = nullptr;
#endif
};

}  // namespace cpu_cuda::detail
