// The execution context switch (see execution_context.h).
#include "execution_context.h"

#include <cstdint>

#if CPU_CUDA_REGISTER_CONTEXT

// The System V x86-64 convention: rbx, rbp and r12-r15 are the registers a callee must keep;
// the compiler treats the call as any other, so the caller-saved ones need no saving here.
asm(R"(
    .text
    .globl  cpu_cuda_switch_stack
    .hidden cpu_cuda_switch_stack
    .type   cpu_cuda_switch_stack, @function
    .p2align 4
cpu_cuda_switch_stack:
    pushq   %rbp
    pushq   %rbx
    pushq   %r12
    pushq   %r13
    pushq   %r14
    pushq   %r15
    movq    %rsp, (%rdi)
    movq    %rsi, %rsp
    popq    %r15
    popq    %r14
    popq    %r13
    popq    %r12
    popq    %rbx
    popq    %rbp
    ret
    .size   cpu_cuda_switch_stack, .-cpu_cuda_switch_stack
)");

namespace cpu_cuda::detail {

void ExecutionContext::prepare(char* stack_base, std::size_t stack_bytes, void (*entry)()) {
    // A new context's stack holds what a switch pops: six zeroed registers and, as the
    // return address, `entry`, which then starts as if called, with a null return address
    // above it that ends every backtrace.
    const auto top = reinterpret_cast<std::uintptr_t>(stack_base + stack_bytes) & ~std::uintptr_t{15};
    auto* frame = reinterpret_cast<void**>(top) - 8;
    for (int saved = 0; saved < 6; ++saved) {
        frame[saved] = nullptr;
    }
    frame[6] = reinterpret_cast<void*>(entry);
    frame[7] = nullptr;
    stack_pointer_ = frame;
}

}  // namespace cpu_cuda::detail

#else

namespace cpu_cuda::detail {

void ExecutionContext::prepare(char* stack_base, std::size_t stack_bytes, void (*entry)()) {
    context_ = boost::context::detail::make_fcontext(stack_base + stack_bytes, stack_bytes, &start);
    entry_ = entry;
}

void ExecutionContext::start(boost::context::detail::transfer_t from) {
    const auto* handover = static_cast<Handover*>(from.data);
    handover->from->context_ = from.fctx;
    handover->entry();
}

}  // namespace cpu_cuda::detail

#endif
