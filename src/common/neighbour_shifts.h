// Where a cell's neighbours sit on the diagonals next to its own in the anti-diagonal layout
// (common/antidiag_index.h), by position within a diagonal: a wavefront that keeps its last
// diagonals in buffers indexed by position reads a cell's predecessors (going forward) or
// successors (going back) at these shifts. Shared by the vectorised CPU module's passes and
// the benchmarks' reference wavefronts (benchmarks/wavefront_probes.cpp).
#pragma once

#include "common/antidiag_index.h"

namespace orvane {

// Where the up (and left) and the diagonal neighbours of position p of a diagonal sit on the
// two diagonals before it: p + up (p - 1 + up) and p + corner.
struct PredecessorShifts {
    int up;
    int corner;

    ORVANE_HOST_DEVICE PredecessorShifts(int diagonal, int rows)
        : up(diagonal >= rows ? 1 : 0),
          corner(diagonal <= rows - 1 ? -1 : (diagonal == rows ? 0 : 1)) {}
};

// Where the down (and right) and the diagonal successors of position p of a diagonal sit on
// the two diagonals after it: p + down (p + 1 + down) and p + corner.
struct SuccessorShifts {
    int down;
    int corner;

    ORVANE_HOST_DEVICE SuccessorShifts(int diagonal, int rows)
        : down(diagonal <= rows - 2 ? 0 : -1),
          corner(diagonal <= rows - 3 ? 1 : (diagonal == rows - 2 ? 0 : -1)) {}
};

}  // namespace orvane
