// Turns Python and pandas values into values a worksheet cell can hold, so that a
// fill never hands openpyxl something it refuses halfway or writes as a corrupt part.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace tessel::cells {

namespace nb = nanobind;

enum class Outcome {
    Value,    // `out` holds a value that openpyxl stores as it is
    Empty,    // a missing value (NaN, pd.NA, NaT): the cell is left empty
    Refused,  // Excel cannot hold it; the cell must be left as it was
};

// Imports what the conversion compares against (numpy, pandas, openpyxl types).
// Called once, at module initialisation.
void init();

// Excel holds at most this many characters in a cell; openpyxl would cut longer
// text silently.
inline constexpr Py_ssize_t kMaxTextLength = 32767;

// True for a character a cell's text can hold.
bool storable_char(Py_UCS4 c);

// True when a str can be stored: not too long and without the control characters
// that XML 1.0 forbids.
bool storable_text(nb::handle text);

// Why a str cannot be stored, for a str that storable_text refuses.
nb::str why_not_storable(nb::handle text);

// Why `convert` refused a value.
nb::str why_refused(nb::handle value);

// One value, converted: numpy scalars become Python values (np.bool_ a bool),
// timezone-aware times their wall-clock time, pandas scalars plain datetimes.
// None itself counts as Empty.
Outcome convert(nb::handle value, nb::object &out);

// `convert`, where a value whose conversion raises (Ctrl-C aside) counts as refused.
Outcome convert_or_refuse(nb::handle value, nb::object &out);

// A data frame's cells converted column by column: columns[j][i] is the value for
// row offset i, column offset j; Empty entries are None and Refused entries are
// `refused_marker()`.  Whole numeric and datetime columns are converted in bulk.
std::vector<nb::object> frame_columns(nb::handle frame, Py_ssize_t rows, Py_ssize_t columns);

// The object that marks a refused entry in `frame_columns`.
nb::handle refused_marker();

}  // namespace tessel::cells
