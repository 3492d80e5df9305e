// The Sakoe-Chiba band's arithmetic, written once for the vectorised module and the kernels:
// which columns of each anti-diagonal a band of either kind keeps.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/antidiag_index.h"

namespace orvane {

// How a Sakoe-Chiba band's half-width r spreads over an N x M matrix.
//  - scaled: (i, j) with |i (M - 1) - j (N - 1)| <= r max(N - 1, M - 1), within r steps of
//    the line from (0, 0) to (N - 1, M - 1) along the longer side.
//  - widened: |i - j| <= r widened by |N - M| on the longer side: for N <= M, row i keeps
//    columns max(0, i - r) .. i + (M - N) + r; for N > M, column j keeps rows
//    max(0, j - r) .. j + (N - M) + r (tslearn's sakoe_chiba_mask).
enum class BandKind { scaled, widened };

inline BandKind parse_band_kind(const std::string& name) {
    if (name == "scaled") {
        return BandKind::scaled;
    }
    if (name == "widened") {
        return BandKind::widened;
    }
    throw std::invalid_argument("band_kind must be 'scaled' or 'widened', got: '" + name + "'");
}

// The cells of an N x M matrix that a band of either kind keeps. On diagonal d (i = d - j)
// both keep the columns j with |slope j - step d - offset| <= reach, one run of consecutive
// cells that moves by at most one column from one diagonal to the next (step <= slope):
//  - scaled: |d (M - 1) - j (N + M - 2)| <= r max(N - 1, M - 1);
//  - widened: -r <= j - i <= (M - N) + r for N <= M, (M - N) - r <= j - i <= r for N > M,
//    both |4 j - 2 d - (M - N)| <= 2 r + |M - N|, with j - i = 2 j - d.
// A reach below 0 (no band, or an N = M = 1 matrix's slope of 0) keeps every cell.
struct BandLine {
    std::int64_t slope = 1;
    std::int64_t step = 0;
    std::int64_t offset = 0;
    std::int64_t reach = -1;

    // The band of half-width r over an N x M matrix; r < 0 stands for none.
    ORVANE_HOST_DEVICE static BandLine of(int rows, int cols, int half_width, BandKind kind) {
        if (half_width < 0) {
            return BandLine{};
        }
        if (kind == BandKind::widened) {
            const std::int64_t excess = std::int64_t{cols} - rows;
            const std::int64_t spread = excess < 0 ? -excess : excess;
            return BandLine{4, 2, excess, 2 * std::int64_t{half_width} + spread};
        }
        const int longer = rows > cols ? rows : cols;
        return BandLine{std::int64_t{rows} + cols - 2, cols - 1, 0,
                        std::int64_t{half_width} * (longer - 1)};
    }

    ORVANE_HOST_DEVICE bool active() const { return reach >= 0 && slope > 0; }

    // The first and last columns of diagonal d the band keeps (beyond the matrix's own,
    // which the caller clamps to), for an active band.
    ORVANE_HOST_DEVICE std::int64_t lowest_column(int diagonal) const {
        return ceiling_quotient(centre(diagonal) - reach, slope);
    }
    ORVANE_HOST_DEVICE std::int64_t highest_column(int diagonal) const {
        return floor_quotient(centre(diagonal) + reach, slope);
    }

private:
    ORVANE_HOST_DEVICE std::int64_t centre(int diagonal) const {
        return std::int64_t{diagonal} * step + offset;
    }
    ORVANE_HOST_DEVICE static std::int64_t floor_quotient(std::int64_t a, std::int64_t b) {
        return a / b - (a % b != 0 && a < 0);
    }
    ORVANE_HOST_DEVICE static std::int64_t ceiling_quotient(std::int64_t a, std::int64_t b) {
        return a / b + (a % b != 0 && a > 0);
    }
};

}  // namespace orvane
