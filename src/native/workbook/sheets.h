// The sheets a workbook package lists, found through its relationships.
#pragma once

#include "ooxml/package.h"

#include <string>
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

}  // namespace tessel::repair
