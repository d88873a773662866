// Rows inserted into the sheets of a workbook package: moves what refers to rows
// by number in its XML parts.  The cells themselves, and what hangs on them
// (hyperlinks, comments), are already where they end up: the filler moved them.
// Everything else still speaks of the template's layout and is moved here once.
#pragma once

#include "ooxml/package.h"
#include "workbook/references.h"

#include <map>
#include <string>
#include <string_view>

namespace tessel::repair {

namespace nb = nanobind;

// The insertions of each sheet, by name; names compare as Excel compares them,
// without regard to the case of ASCII letters.
class SheetInsertions {
public:
    SheetInsertions() = default;
    // From {sheet name: [(row, count), ...]} or None; raises TypeError or ValueError
    // for anything else.
    static SheetInsertions from_python(nb::handle mapping);

    bool empty() const { return by_key_.empty(); }
    const sheets::Insertions *find(std::string_view name) const;
    void add(const std::string &name, sheets::Insertion insertion);

private:
    std::map<std::string, sheets::Insertions> by_key_;
};

// Formulas of every sheet (shared and array formulas too), defined names, print
// areas and titles, merged cells, conditional formats, data validations, sheet
// and table autofilters, page breaks, chart series, form-control links and pivot
// cache sources.
void move_references(ooxml::Package &pkg, const SheetInsertions &insertions);

// The anchors of the objects of a drawing part, parsed.
void move_drawing_anchors(nb::handle drawing, const sheets::Insertions &insertions);

// The anchors of a sheet's embedded objects and controls (their <anchor> children).
void move_object_anchors(nb::handle element, const sheets::Insertions &insertions);

// A legacy VML drawing's shapes (comment boxes, form controls) and the cells its
// controls link to.  VML is often not well-formed XML, so it is edited as text.
std::string moved_vml(std::string_view vml, const sheets::Insertions &insertions,
                      const sheets::SheetLookup &lookup);

}  // namespace tessel::repair
