// Python access to the vectorised module's test hooks: which instruction set runs, how a
// long signal's matrix is cut among threads.
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
    m.def("force_tiles", &orvane::vectorised::force_tiles, py::arg("tiles"),
          "Cut every signal that runs alone (not side by side, and not from checkpoints) into "
          "this many tiles (of columns, or of rows where it is wider than long; at most one a "
          "line), or 0 to leave it to the batch and the signal's size.");
}
