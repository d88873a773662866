// The sheets a workbook package lists, found through its relationships.
#pragma once

#include "ooxml/package.h"

#include <string>
#include <string_view>
#include <vector>

namespace tessel::repair {

struct Sheet {
    std::string name, part;
    bool chartsheet;
    long position;  // among the workbook's <sheet> elements, as localSheetId counts
};

// The workbook part, or the empty text when the package has none.
std::string workbook_part(const ooxml::Package &pkg);

// The sheets whose parts the package holds, in workbook order.
std::vector<Sheet> sheets_of(const ooxml::Package &pkg);

// A sheet or defined name as Excel compares names: without regard to case, in
// every alphabet, one character with one ("Übersicht" is "übersicht", "Straße"
// is not "STRASSE").
std::string folded_name(std::string_view name);

}  // namespace tessel::repair
