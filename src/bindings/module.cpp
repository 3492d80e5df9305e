// The Python module: argument conversion and registration of every operation. Compiled once
// per build; ORVANE_MODULE_NAME and ORVANE_CPU_BUILD tell the two builds apart.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/docstrings.h"
#include "kernels/convert_matrix.h"

namespace py = pybind11;

// Symbols that only CPython 3.13 exports are referenced weakly, so that another interpreter
// can load the file far enough for the entry point's version check to refuse it with its own
// message instead of failing in the dynamic loader.
#pragma weak PyDict_GetItemStringRef
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked

#ifdef ORVANE_CPU_BUILD
constexpr const char* kModuleDoc = "Orvane CUDA implementation (CPU build)";
#else
constexpr const char* kModuleDoc = "Orvane CUDA implementation";
#endif

PYBIND11_MODULE(ORVANE_MODULE_NAME, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;

    const auto matrix_conversion_args = [] {
        return std::make_tuple(py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
                               py::arg("input_matrix_ptr"), py::arg("output_matrix_ptr"));
    };
    const auto def_conversion = [&](const char* name, auto driver, const char* summary,
                                    const std::string& doc) {
        std::apply([&](auto... args) { m.def(name, driver, summary, args..., doc.c_str()); },
                   matrix_conversion_args());
    };

    def_conversion("convert_antidiag_to_square", &orvane::convert_antidiag_to_square,
                   "Convert anti-diagonal matrix format to standard row-major format",
                   orvane::docs::convert_antidiag_to_square);
    def_conversion("convert_square_to_antidiag", &orvane::convert_square_to_antidiag,
                   "Convert standard row-major matrix format to anti-diagonal format",
                   orvane::docs::convert_square_to_antidiag);
    def_conversion("extract_last_row_antidiag", &orvane::extract_last_row_antidiag,
                   "Extract the last row of each signal's matrix from anti-diagonal layout",
                   orvane::docs::extract_last_row_antidiag);
}
