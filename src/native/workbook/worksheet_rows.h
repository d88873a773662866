// Makes room in an openpyxl worksheet: rows inserted under a row, as Excel inserts
// them, for what openpyxl keeps in memory.  The references that openpyxl only
// carries through (formulas, ranges, names, charts) are moved in the saved
// package instead (row_insertion.h).
#pragma once

#include <nanobind/nanobind.h>

namespace tessel::grid {

namespace nb = nanobind;

// Inserts `count` empty rows under row `row` of `sheet`: the cells below move down
// with their comments and hyperlinks, row heights, hidden rows and outline levels
// with their rows, and the pictures and charts that openpyxl read from the template
// with their anchors.  Everything is read and checked before anything moves: it
// throws std::invalid_argument, moving nothing, when a cell, a row or a picture
// would be pushed off the sheet, or when an anchor holds a number out of range.
void insert_rows(nb::handle sheet, long row, long count);

}  // namespace tessel::grid
