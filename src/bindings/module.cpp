// The Python module: argument conversion and registration of every operation. Compiled once
// per build; ORVANE_MODULE_NAME and ORVANE_CPU_BUILD tell the two builds apart.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/docstrings.h"
#include "kernels/convert_matrix.h"
#include "kernels/features.h"
#include "kernels/manhattan_distance.h"
#include "kernels/manhattan_distance_gradient.h"
#include "kernels/softdtw_backward.h"
#include "kernels/softdtw_forward.h"

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
    namespace docs = orvane::docs;
    m.doc() = kModuleDoc;

    m.def("calc_manhattan_distance", &orvane::calc_manhattan_distance,
          "Calculate Manhattan distance using anti-diagonal matrix layout",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
          py::arg("ref_signal_length"), py::arg("distance_matrix_ptr"),
          docs::calc_manhattan_distance.c_str());

    m.def("calc_manhattan_distance_gradient", &orvane::calc_manhattan_distance_gradient,
          "Calculate Manhattan distance gradient using anti-diagonal matrix layout",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
          py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
          py::arg("input_gradients_ptr"), py::arg("ref_gradients_ptr"),
          docs::calc_manhattan_distance_gradient.c_str());

    m.def("calc_softdtw_forward", &orvane::calc_softdtw_forward, "Calculate SoftDTW forward pass",
          py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
          py::arg("distance_matrix_ptr"), py::arg("score_matrix_ptr"), py::arg("scores_ptr"),
          py::arg("gamma"), py::arg("alpha_ptr") = 0, py::arg("local_end") = false,
          py::arg("last_row_only") = false, py::arg("ref_gap_penalty") = 0.0,
          docs::calc_softdtw_forward.c_str());

    m.def("calc_softdtw_backward", &orvane::calc_softdtw_backward,
          "Calculate SoftDTW backward pass", py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("distance_matrix_ptr"), py::arg("score_matrix_ptr"),
          py::arg("gradient_matrix_prt"), py::arg("gamma"), py::arg("alpha_ptr") = 0,
          py::arg("local_end") = false, py::arg("scores_ptr") = 0, py::arg("last_row_only") = false,
          py::arg("ref_gap_penalty") = 0.0, docs::calc_softdtw_backward.c_str());

    m.def("normalize_matrix", &orvane::normalize_matrix,
          "Normalize gradient matrix by dividing each element by sum of gradients per reference "
          "position",
          py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
          py::arg("gradient_matrix_ptr"), py::arg("ref_total_grads_ptr"),
          docs::normalize_matrix.c_str());

    m.def("calc_weighted_means", &orvane::calc_weighted_means,
          "Calculate weighted means of input signals using normalized gradient matrix as weights",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
          py::arg("weighted_means_ptr"), docs::calc_weighted_means.c_str());

    m.def("calc_weighted_std", &orvane::calc_weighted_std,
          "Calculate weighted standard deviation (log scale) of input signals",
          py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
          py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
          py::arg("weighted_means_ptr"), py::arg("weighted_std_log_ptr"),
          docs::calc_weighted_std.c_str());

    m.def("calc_weighted_index_std", &orvane::calc_weighted_index_std,
          "Calculate weighted standard deviation (log scale) of index positions",
          py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
          py::arg("gradient_matrix_ptr"), py::arg("weighted_index_std_log_ptr"),
          docs::calc_weighted_index_std.c_str());

    const auto def_conversion = [&](const char* name, auto driver, const char* summary,
                                    const std::string& doc) {
        m.def(name, driver, summary, py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
              py::arg("input_matrix_ptr"), py::arg("output_matrix_ptr"), doc.c_str());
    };
    def_conversion("convert_antidiag_to_square", &orvane::convert_antidiag_to_square,
                   "Convert anti-diagonal matrix format to standard row-major format",
                   docs::convert_antidiag_to_square);
    def_conversion("convert_square_to_antidiag", &orvane::convert_square_to_antidiag,
                   "Convert standard row-major matrix format to anti-diagonal format",
                   docs::convert_square_to_antidiag);
    def_conversion("extract_last_row_antidiag", &orvane::extract_last_row_antidiag,
                   "Extract the last row of each signal's matrix from anti-diagonal layout",
                   docs::extract_last_row_antidiag);
}
