// The text a data frame's cells show in a document table, as a person would write
// them: missing values empty, floats without binary noise, dates without a midnight
// time, numpy and pandas scalars like the Python values they stand for.  A pandas
// Styler gives its own display text and the look its CSS asks for.
#pragma once

#include "document/cell_look.h"

#include <vector>

namespace tessel::frames {

namespace nb = nanobind;

// Imports what the conversion compares against (numpy, pandas); at module init.
void init();

// True for a pandas DataFrame or Styler: a value that fills a block of cells.
bool is_block(nb::handle value);

// The texts of a block's cells and, for a Styler, their looks.
struct Block {
    Py_ssize_t rows = 0;
    Py_ssize_t columns = 0;
    std::vector<nb::object> texts;  // per column, a list of one str per row
    std::vector<CellLook> looks;    // row by row; empty when nothing is styled
    // Why the first value a document cannot hold (control characters, lone
    // surrogates) was left out; its cell is written empty.
    nb::object refused;

    nb::handle text(Py_ssize_t row, Py_ssize_t column) const {
        return PyList_GET_ITEM(texts[(size_t) column].ptr(), row);
    }
    const CellLook &look(Py_ssize_t row, Py_ssize_t column) const;
};

// Reads a DataFrame, or a Styler without its hidden rows and columns.  Texts
// that XML cannot carry are emptied and noted in `refused`.
Block read_block(nb::handle value);

// The text of one value of a frame cell.
nb::object value_text(nb::handle value);

// True for a pandas Series.
bool is_series(nb::handle value);

// A frame shown as a table of its own: its cells as a block gives them, the
// heading of each column, and whether the column holds numbers.  A Series gives
// two columns, its index and its values.
struct Frame {
    Block block;
    std::vector<nb::object> names;  // one str per column
    std::vector<char> numeric;
};

// Reads a DataFrame, a Styler (its visible columns) or a Series.
Frame read_frame(nb::handle value);

}  // namespace tessel::frames
