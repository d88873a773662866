// A SpreadsheetML sheet part parsed without its cell data: the rows are held back
// as bytes and put back verbatim on writing, since the tree-level edits never
// touch them and a large sheet would dominate the cost of parsing.
#pragma once

#include "ooxml/package.h"

#include <string>

namespace tessel::repair {

namespace nb = nanobind;

struct SheetXml {
    nb::object root;
    std::string rows;  // the bytes between <sheetData> and </sheetData>
    bool split = false;
};

SheetXml parse_sheet(const ooxml::Package &pkg, const std::string &part);
void write_sheet(ooxml::Package &pkg, const std::string &part, const SheetXml &sheet);

}  // namespace tessel::repair
