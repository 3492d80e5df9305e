// Python access to the CPU stand-in's test hooks, for the Python test suite.
#include <pybind11/pybind11.h>

#include <string>

#include "cpu_cuda/testing.h"

namespace py = pybind11;
using namespace cpu_cuda::testing;

PYBIND11_MODULE(cpu_cuda_testing, m) {
    m.doc() = "Test hooks of the CPU stand-in for the CUDA runtime";

    py::enum_<Call>(m, "Call")
        .value("malloc", Call::malloc)
        .value("memcpy", Call::memcpy)
        .value("memset", Call::memset)
        .value("launch", Call::launch)
        .value("get_device", Call::get_device)
        .value("device_attribute", Call::device_attribute);

    py::enum_<ThreadOrder>(m, "ThreadOrder")
        .value("forward", ThreadOrder::forward)
        .value("reverse", ThreadOrder::reverse)
        .value("shuffled", ThreadOrder::shuffled);

    m.def(
        "fail_call",
        [](Call call, int error, int skip) {
            fail_call(call, static_cast<cudaError_t>(error), skip);
        },
        py::arg("call"), py::arg("error"), py::arg("skip") = 0,
        "Make the call of this kind after `skip` successful ones fail with CUDA error code "
        "`error`.");
    m.def("clear_failures", &clear_failures, "Drop every pending injected failure.");
    m.def("live_allocations", &live_allocations, "Device buffers allocated and not yet freed.");
    m.def("launches_run", &launches_run, "Kernel launches whose blocks ran.");
    m.def("set_thread_order", &set_thread_order, py::arg("order"), py::arg("seed") = 0,
          "Order in which the threads of every block start and resume.");
    m.def("set_max_threads_per_block", &set_max_threads_per_block, py::arg("threads"),
          "The threads per block the device reports and allows (1 to 1024), until "
          "reset_device.");
    m.def("last_fault", &last_fault, "Why the last kernel fault happened.");
    m.def("reset_device", &reset_device,
          "Clear the sticky and the last CUDA error, and restore the device's limits.");
    m.def(
        "error_string",
        [](int error) { return std::string(cudaGetErrorString(static_cast<cudaError_t>(error))); },
        py::arg("error"), "CUDA's text for an error code.");
}
