// Page geometry: how wide the text column of a section is, and how much of it is
// left to content standing in a table cell.  Lengths are in twips (1/20 point), as
// the document stores them, unless a name says otherwise.
#pragma once

#include "document/wordml.h"

namespace tessel::wordml {

inline constexpr long long kEmuPerTwip = 635;

// The text column of a section: page width less margins and gutter, and, in a
// section of several columns, one column (the narrowest of unequal ones).  -1 when
// the section gives no page width.
long long section_text_width(nb::handle sectPr);

// The text column width of the section that holds a body element (at any depth),
// or -1 when the element lies outside the body or no section says.
long long text_column_width(nb::handle el);

// The text column width of the body's last section, which headers, footers and
// elements outside any section fall back on; -1 when it gives none.
long long body_text_width(nb::handle body);

// The room for content inside a table cell: its fixed width (w:tcW in twips) less
// its left and right margins; -1 when the cell's width is not fixed.
long long cell_inner_width(nb::handle tc);

// Width in EMU available to a picture in paragraph `p`: the text column of its
// section, narrowed to the cell's width inside a table.  -1 when unknown.
long long available_width(nb::handle p);

}  // namespace tessel::wordml
