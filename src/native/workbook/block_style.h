// Makes the rows that a data-frame block writes look like the row its
// placeholder was typed in, and applies a pandas Styler's CSS to the block.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace tessel::block {

namespace nb = nanobind;

// Imports the openpyxl style helpers.  Called once, at module initialisation.
void init();

// True for a datetime whose time of day is midnight.
bool at_midnight(nb::handle datetime);

// The nine ids of an openpyxl StyleArray; false for a cell without one.
bool read_ids(nb::handle style, std::array<int, 9> &ids);

// Whether a column of a block holds date-times, and whether all of them are at
// midnight: such a column shows as dates.
struct ColumnDates {
    bool dates = false;
    bool midnight = true;
};

// The same, read from lists of converted values.
std::vector<ColumnDates> column_dates(const std::vector<nb::object> &values);

// The styles of one block, read from its template row before anything is written.
// Style ids (openpyxl's StyleArray) are copied as they stand, without building
// style objects, since a block may hold hundreds of thousands of cells.
class BlockStyle {
public:
    // `at[j]` is the sheet column that frame column j lands in.
    BlockStyle(nb::handle sheet, long row, const std::vector<long> &at, const std::vector<ColumnDates> &columns);

    // The style a new cell at column offset j is made with, for the value it gets;
    // an invalid handle for no style at all.
    nb::handle fresh(Py_ssize_t j, nb::handle value) const;

    // Gives an existing cell at column offset j its style before `value` is
    // written: the template row's when it has none of its own.
    void restyle(nb::handle cell, Py_ssize_t j, nb::handle value);

    // Rows after the template row up to `last_row` that have no height of their
    // own take the template row's.
    void heights(long last_row) const;
    // That height, or None.
    const nb::object &height() const { return height_; }

private:
    using Ids = std::array<int, 9>;

    bool is_date_format(int id);
    int date_format_id(bool midnight);
    // True for a style a cell was given, as opposed to the workbook's default one
    // that a cell without a style of its own reads as.
    bool own(const Ids &ids) const;

    nb::object sheet_;
    nb::object workbook_;
    long row_;
    nb::object height_;                 // the template row's height, or None
    std::vector<nb::object> plain_;     // per column: the template row's style
    std::vector<nb::object> dated_;     // per column: the same for a date-time value
    std::vector<char> midnight_;        // per column: every date-time in it is at midnight
    Ids default_{};                     // the workbook's default style
    std::map<int, bool> date_formats_;  // number format id -> shows a date
    int date_id_ = -1, datetime_id_ = -1;
};

// Applies the CSS of a pandas Styler to the block it filled from (row, column), as
// pandas' own Excel export maps it, over the style each cell already has.
// `skipped` holds the (row offset, column offset) pairs that were not written.
void apply_css(nb::handle styler, nb::handle sheet, long row, long column,
               const std::set<std::pair<Py_ssize_t, Py_ssize_t>> &skipped);

// True for a pandas Styler.  Its module is looked up, not imported: a Styler
// cannot exist before pandas has imported it (on first use of DataFrame.style),
// and importing it here would require jinja2 of every user.
bool is_styler(nb::handle value);

}  // namespace tessel::block
