// Rows inserted into the sheets of a workbook package: moves what refers to rows
// by number in its XML parts.  The cells themselves, and what hangs on them
// (hyperlinks, comments), are already where they end up: the filler moved them.
// Everything else still speaks of the template's layout and is moved here once.
#pragma once

#include "ooxml/package.h"
#include "workbook/references.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::repair {

namespace nb = nanobind;

// The insertions of each sheet, by name; names compare as Excel compares them,
// without regard to case in any alphabet.
class SheetInsertions {
public:
    SheetInsertions() = default;
    // From {sheet name: [(row, count), ...]} or None; raises TypeError or ValueError
    // for anything else.  `deleting` lets a negative count delete rows.
    static SheetInsertions from_python(nb::handle mapping, bool deleting = false);

    bool empty() const { return by_key_.empty(); }
    const sheets::Insertions *find(std::string_view name) const;
    void add(std::string_view name, sheets::Insertion insertion);

private:
    const std::string &key_of(std::string_view name) const;

    std::map<std::string, sheets::Insertions> by_key_;
    mutable std::map<std::string, std::string, std::less<>> keys_;  // names met, folded
};

// Formulas of every sheet (shared and array formulas too), defined names, print
// areas and titles, merged cells, conditional formats, data validations, sheet
// and table autofilters, page breaks, chart series, form-control links and pivot
// cache sources.  A number it cannot take (a page break's id, a localSheetId)
// throws std::invalid_argument naming the part; the package is then left to be
// dropped, not committed.
void move_references(ooxml::Package &pkg, const SheetInsertions &insertions);

// The anchors of the objects of a drawing part, parsed.  Throws
// std::invalid_argument, moving nothing, for a row or offset it cannot take and
// for an object the rows would push off the sheet; `part` names it there.
void move_drawing_anchors(nb::handle drawing, const sheets::Insertions &insertions, std::string_view part);

// The anchors of a sheet's embedded objects and controls (their <anchor> children),
// as move_drawing_anchors moves them.
void move_object_anchors(nb::handle element, const sheets::Insertions &insertions, std::string_view part);

// A legacy VML drawing's shapes (comment boxes, form controls) and the cells its
// controls link to.  VML is often not well-formed XML, so it is edited as text.
// Throws as move_drawing_anchors does.
std::string moved_vml(std::string_view vml, const sheets::Insertions &insertions,
                      const sheets::SheetLookup &lookup, std::string_view part);

// A legacy drawing that holds anything besides comment boxes (form controls, OLE
// previews) is the template's own and is restored; one of comments only is what
// openpyxl rewrites from the comments it kept.
bool vml_beyond_comments(const ooxml::Package &pkg, const std::string &part);

// What a fill asks before it inserts rows into a sheet: whether the package step
// will be able to move everything the template's parts anchor to that sheet's
// rows.  It reads each sheet's parts once, through the same readers as that step.
class InsertionCheck {
public:
    // `restored`: the template's drawings, legacy drawings and embedded objects
    // are put back into the saved package, and move there.
    InsertionCheck(nb::handle template_path, bool restored);

    // Throws std::invalid_argument, naming the part and what it holds, when the
    // sheet holds a number that step cannot take, or when `insertions` (every
    // insertion of the sheet so far, then the new one) would push an object off
    // the sheet.
    void check(const std::string &sheet, const sheets::Insertions &insertions);

    // check() one insertion at a time, for a fill that makes many: `moved` holds
    // the anchors of the sheet's objects as the insertions so far left them
    // (read on the first call, when `moved` has no value) and takes `next`.
    // Throws as check() does, leaving `moved` as it was.
    struct Placed {
        sheets::Marker top, bottom;
        sheets::Follow follow;
        std::string part;
    };
    void check_next(const std::string &sheet, std::optional<std::vector<Placed>> &moved, sheets::Insertion next);

private:
    struct Object {
        std::string part;
        sheets::Marker top, bottom;
        sheets::Follow follow;
    };
    struct Read {
        std::string error;  // why the step could not move the sheet at all
        std::vector<Object> objects;
    };
    Read read(const std::string &sheet);

    nb::object path_;
    bool restored_;
    std::optional<ooxml::Package> pkg_;  // opened on the first check
    std::map<std::string, Read> sheets_;
};

}  // namespace tessel::repair
