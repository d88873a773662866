// A SpreadsheetML sheet part parsed without its cell data: the rows are held back
// as bytes and put back verbatim on writing, since the tree-level edits never
// touch them and a large sheet would dominate the cost of parsing.
#pragma once

#include "ooxml/package.h"

#include <optional>
#include <string>
#include <string_view>

namespace tessel::repair {

namespace nb = nanobind;

struct SheetXml {
    nb::object root;
    std::string rows;  // the bytes between <sheetData> and </sheetData>
    bool split = false;
};

// Where the sheetData element lies in a serialised sheet: its start tag's "<", the
// end of the start tag (just past ">"), and the start of its end tag ("</"), or
// npos there when the element is empty ("<sheetData/>").  The element is found by
// reading the markup in order, so tag text in comments, CDATA sections and
// processing instructions is never taken for it.
struct Span {
    size_t open, body, close;
    std::string qname;
};
std::optional<Span> find_sheet_data(std::string_view text);

// False for a part that declares an encoding other than UTF-8, which text edits
// cannot read.
bool declared_utf8(std::string_view text);

SheetXml parse_sheet(const ooxml::Package &pkg, const std::string &part);
void write_sheet(ooxml::Package &pkg, const std::string &part, const SheetXml &sheet);

}  // namespace tessel::repair
