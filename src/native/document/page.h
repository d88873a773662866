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

// The inner width of the DrawingML text box whose w:txbxContent is `content`:
// its shape's extent less its insets.  -1 when not known (a VML text box).
long long text_box_width(nb::handle content);

// The width that content standing where `el` stands may take: the text column of
// its section (`fallback` outside the body: headers and footers), or the text
// box it stands in, narrowed to the cell it is in inside a table.  -1 unknown.
long long room_at(nb::handle el, long long fallback);

// room_at in EMU, for a picture in paragraph `p`.
long long available_width(nb::handle p, long long fallback = -1);

}  // namespace tessel::wordml
