// Python access to the vectorised module's test hooks: which instruction set runs.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "vectorised/operations.h"

namespace py = pybind11;

PYBIND11_MODULE(vectorised_testing, m) {
    m.doc() = "Test hooks of the vectorised CPU module";
    m.def("force_instruction_set", &orvane::vectorised::force_instruction_set, py::arg("name"),
          "Run later operations on 'scalar' (the portable fallback), on 'sse4' (four float32 "
          "lanes) or on the 'best' instruction set of this processor.");
    m.def("last_instruction_set", &orvane::vectorised::last_instruction_set,
          "The instruction set that operations now run on.");
}
