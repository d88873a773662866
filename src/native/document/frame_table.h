// A data frame shown as a table of its own, built where a paragraph stood: a row
// of column names that repeats on each page, a row per record, numbers to the
// right, and the table as wide as the room it stands in.
#pragma once

#include "document/frame_text.h"
#include "document/wordml.h"

#include <string>
#include <vector>

namespace tessel::wordml {

// The table styles of a styles part's root element (None when the document has
// no styles part): each one's id and the name Word shows.
struct TableStyle {
    nb::object id;
    nb::object name;
};
std::vector<TableStyle> table_styles(nb::handle styles);

// The style Word shows under `name`, compared without regard to case; or null.
const TableStyle *find_table_style(const std::vector<TableStyle> &styles, nb::handle name);

struct TableLook {
    nb::object style_id;  // unset: single borders
    bool header = true;
    bool bold_header = false;  // where no style says how the row of names looks
    bool first_column = false;  // the style's first-column look (a Series' index)
};

// The table, made by `factory`'s document; `width` in twips, -1 when not known
// (the table then takes the whole width it is given).
nb::object frame_table(nb::handle factory, const frames::Frame &frame, const TableLook &look, long long width);

}  // namespace tessel::wordml
