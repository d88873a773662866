// Pictures of a worksheet's drawing whose alternative text names a placeholder
// (<xdr:cNvPr descr="{logo}">): the fill shows the value's picture in their
// place, at the size the template gave them.
#pragma once

#include "ooxml/package.h"
#include "ooxml/parts.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tessel::pictures {

namespace nb = nanobind;

// A sheet's columns and rows in EMUs, as Excel lays them out: a column of width
// w (in characters of the default font, padding included) is
// trunc((256 w + trunc(128 / 7)) / 256 * 7) pixels, a row of height h points is
// h * 12700 EMUs; hidden ones take no room.  Read from an openpyxl worksheet
// (its column and row dimensions and its sheetFormatPr).
class Grid {
public:
    explicit Grid(nb::handle sheet);
    long long column(long index) const;  // zero-based
    long long row(long index) const;

private:
    struct Columns {
        long min, max;  // one-based, inclusive
        long long width;
    };
    std::vector<Columns> columns_;
    std::map<long, long long> rows_;  // one-based
    long long default_column_, default_row_;
};

struct AltPicture {
    std::string name;   // the picture's name (cNvPr/@name)
    std::string descr;  // its alternative text
    size_t index;       // among the drawing's pictures
};

// The drawing of one sheet, parsed once for all the pictures a fill replaces.
class SheetDrawing {
public:
    SheetDrawing(ooxml::Package &pkg, const std::string &sheet_part);

    // The pictures with an alternative text, in the drawing's order.
    const std::vector<AltPicture> &pictures() const { return alts_; }

    // The size in EMUs of the box a picture fills: the cells and offsets its
    // two-cell anchor spans, the extent of a one-cell or absolute anchor, or its
    // own frame inside a group.  Refuses the placeholder when the box has no area
    // or holds numbers out of range.
    std::pair<long long, long long> box(const AltPicture &picture, const Grid &grid) const;

    // Shows `image` (an openpyxl Image) in the picture at `width` x `height` EMUs,
    // its top-left corner kept, and takes the alternative text away.  The old
    // picture's media go on save() when nothing refers to them any more.
    void replace(const AltPicture &picture, nb::handle image, long long width, long long height, const Grid &grid);

    // Writes the drawing, its relationships, the new media and their content
    // types, and removes the media that no part refers to now.
    void save();

private:
    ooxml::Package &pkg_;
    std::string part_;  // the drawing part; empty when the sheet has none
    nb::object root_;
    std::vector<nb::object> pics_;
    std::vector<AltPicture> alts_;
    std::optional<ooxml::Relationships> rels_;
    std::set<std::string> dropped_ids_;  // relationships the replaced pictures named
    std::map<std::string, std::string> rel_by_data_;  // the same picture twice is stored once
    std::vector<std::pair<std::string, std::string>> new_media_;  // (extension, content type)
};

// The pictures with an alternative text of each worksheet of a template package,
// by sheet name; none for a package that cannot be read this way.
std::map<std::string, std::vector<AltPicture>> template_pictures(nb::handle template_path);

}  // namespace tessel::pictures
