// How a value written into a table cell looks beyond the cell's own formatting:
// what a pandas Styler asks of it.  Plain data, shared by the code that reads a
// Styler and the code that writes cells.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel {

struct CellLook {
    // -1: as the cell has it; 0: off; 1: on.
    int bold = -1;
    int italic = -1;
    // "RRGGBB" strs, or unset to leave the cell's own.
    nanobind::object color;
    nanobind::object fill;

    bool any() const { return bold >= 0 || italic >= 0 || color.is_valid() || fill.is_valid(); }
};

}  // namespace tessel
