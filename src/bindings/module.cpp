// The Python module: argument conversion and registration of every operation. Compiled once
// per build: ORVANE_MODULE_NAME names the module; ORVANE_CPU_BUILD marks the CPU twin and
// ORVANE_VECTORISED_BUILD the vectorised CPU module, whose operations release the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/docstrings.h"
#include "bindings/strict_integers.h"

namespace py = pybind11;
using orvane::bindings::strict;

#ifdef ORVANE_VECTORISED_BUILD
#include "vectorised/operations.h"
namespace ops = orvane::vectorised;
using CallGuard = py::call_guard<py::gil_scoped_release>;
#else
#include "kernels/convert_matrix.h"
#include "kernels/features.h"
#include "kernels/manhattan_distance.h"
#include "kernels/manhattan_distance_gradient.h"
#include "kernels/softdtw_backward.h"
#include "kernels/softdtw_forward.h"
namespace ops = orvane;
// The CUDA module and the twin keep the GIL for the whole call, device wait included.
struct KeepGil {};
using CallGuard = py::call_guard<KeepGil>;
#endif

// Symbols that only CPython 3.13 exports are referenced weakly, so that another interpreter
// can load the file far enough for the entry point's version check to refuse it with its own
// message instead of failing in the dynamic loader.
#pragma weak PyDict_GetItemStringRef
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked

#if defined(ORVANE_VECTORISED_BUILD)
constexpr const char* kModuleDoc = "Orvane vectorised CPU implementation";
#elif defined(ORVANE_CPU_BUILD)
constexpr const char* kModuleDoc = "Orvane CUDA implementation (CPU build)";
#else
constexpr const char* kModuleDoc = "Orvane CUDA implementation";
#endif

PYBIND11_MODULE(ORVANE_MODULE_NAME, m, py::multiple_interpreters::not_supported()) {
    namespace docs = orvane::docs;
    m.doc() = kModuleDoc;

    m.def("calc_manhattan_distance", strict(&ops::calc_manhattan_distance),
          "Calculate Manhattan distance using anti-diagonal matrix layout",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
          py::arg("ref_signal_length"), py::arg("distance_matrix_ptr"), CallGuard(),
          docs::calc_manhattan_distance.c_str());

    m.def("calc_manhattan_distance_gradient", strict(&ops::calc_manhattan_distance_gradient),
          "Calculate Manhattan distance gradient using anti-diagonal matrix layout",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
          py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
          py::arg("input_gradients_ptr"), py::arg("ref_gradients_ptr"), CallGuard(),
          docs::calc_manhattan_distance_gradient.c_str());

    m.def("calc_softdtw_forward", strict(&ops::calc_softdtw_forward),
          "Calculate SoftDTW forward pass", py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("distance_matrix_ptr"), py::arg("score_matrix_ptr"),
          py::arg("scores_ptr"), py::arg("gamma"), py::arg("alpha_ptr") = 0,
          py::arg("local_end") = false, py::arg("last_row_only") = false,
          py::arg("ref_gap_penalty") = 0.0, CallGuard(), docs::calc_softdtw_forward.c_str());

    m.def("calc_softdtw_backward", strict(&ops::calc_softdtw_backward),
          "Calculate SoftDTW backward pass", py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("distance_matrix_ptr"), py::arg("score_matrix_ptr"),
          py::arg("gradient_matrix_prt"), py::arg("gamma"), py::arg("alpha_ptr") = 0,
          py::arg("local_end") = false, py::arg("scores_ptr") = 0, py::arg("last_row_only") = false,
          py::arg("ref_gap_penalty") = 0.0, CallGuard(), docs::calc_softdtw_backward.c_str());

    m.def("normalize_matrix", strict(&ops::normalize_matrix),
          "Normalize gradient matrix by dividing each element by sum of gradients per reference "
          "position",
          py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
          py::arg("gradient_matrix_ptr"), py::arg("ref_total_grads_ptr"), CallGuard(),
          docs::normalize_matrix.c_str());

    m.def("calc_weighted_means", strict(&ops::calc_weighted_means),
          "Calculate weighted means of input signals using normalized gradient matrix as weights",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
          py::arg("weighted_means_ptr"), CallGuard(), docs::calc_weighted_means.c_str());

    m.def("calc_weighted_std", strict(&ops::calc_weighted_std),
          "Calculate weighted standard deviation (log scale) of input signals",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
          py::arg("weighted_means_ptr"), py::arg("weighted_std_log_ptr"), CallGuard(),
          docs::calc_weighted_std.c_str());

    m.def("calc_weighted_index_std", strict(&ops::calc_weighted_index_std),
          "Calculate weighted standard deviation (log scale) of index positions",
          py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
          py::arg("gradient_matrix_ptr"), py::arg("weighted_index_std_log_ptr"), CallGuard(),
          docs::calc_weighted_index_std.c_str());

    const auto def_conversion = [&](const char* name, auto driver, const char* summary,
                                    const std::string& doc) {
        m.def(name, driver, summary, py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
              py::arg("input_matrix_ptr"), py::arg("output_matrix_ptr"), CallGuard(), doc.c_str());
    };
    def_conversion("convert_antidiag_to_square", strict(&ops::convert_antidiag_to_square),
                   "Convert anti-diagonal matrix format to standard row-major format",
                   docs::convert_antidiag_to_square);
    def_conversion("convert_square_to_antidiag", strict(&ops::convert_square_to_antidiag),
                   "Convert standard row-major matrix format to anti-diagonal format",
                   docs::convert_square_to_antidiag);
    def_conversion("extract_last_row_antidiag", strict(&ops::extract_last_row_antidiag),
                   "Extract the last row of each signal's matrix from anti-diagonal layout",
                   docs::extract_last_row_antidiag);

#ifdef ORVANE_VECTORISED_BUILD
    m.def("set_num_threads", strict(&ops::set_num_threads), py::arg("threads"),
          "Number of worker threads the operations use, from 0 (the default: one per core) to the "
          "number of threads the machine runs at once.");
#endif
}
