// Pictures a fill placed on a worksheet, written into the template package itself:
// the fill places them on openpyxl's model of the sheet, and the package keeps
// what openpyxl would lose (charts, shapes, controls), so the anchors openpyxl
// would write are merged into the sheet's own drawing instead of replacing it.
#pragma once

#include "ooxml/package.h"
#include "ooxml/parts.h"

#include <optional>
#include <string>
#include <string_view>

namespace tessel::pictures {

namespace nb = nanobind;

struct MediaKind {
    std::string extension, content_type;
};

// Image._data() passes PNG, JPEG and GIF through and turns every other format into
// PNG, so the media part of an openpyxl Image is named and typed after the bytes
// it will hold.
MediaKind media_kind(nb::handle image);

// Names parts "<stem>N.<ext>" that neither the package nor its content types
// know yet; the count goes on from the last name given, so that many pictures
// cost one pass over the taken names.
class PartNamer {
public:
    PartNamer(const ooxml::Package &pkg, const ooxml::ContentTypes &types, std::string stem)
        : pkg_(pkg), types_(types), stem_(std::move(stem)) {}
    std::string next(const std::string &extension);

private:
    const ooxml::Package &pkg_;
    const ooxml::ContentTypes &types_;
    std::string stem_;
    long long n_ = 1;
};

// The drawing part the sheet's relationships name, when the package holds it.
std::optional<std::string> drawing_of(const ooxml::Package &pkg, ooxml::Relationships &sheet_rels);

// Adds `images` (openpyxl Image objects, each with its .anchor: a cell name such
// as "B3" or an anchor object) to the sheet part `sheet_part`: their media parts
// under names the package does not hold yet, their anchors (as openpyxl writes
// them) in the sheet's drawing part, or in a new one when the sheet has none,
// the relationships and the content types.  Returns the relationship id a
// <drawing> element of the sheet must name when a new drawing part was made;
// nothing when the sheet already had its drawing (or no image was given).
std::optional<std::string> add_pictures(ooxml::Package &pkg, const std::string &sheet_part, nb::handle images);

// A worksheet's text after its </sheetData> with <drawing r:id="rid"/> put where
// the schema orders it (an mc:AlternateContent counting as what it wraps); an
// existing top-level drawing element is replaced.  `prefix` is the worksheet's
// element prefix ("x:" or "").  The r prefix is declared on the new element
// unless the worksheet's start tag binds it, which `head` (the text before the
// tail) shows; without it, unless the tail uses r: undeclared.  All other text
// is kept byte for byte.
std::string with_drawing_element(std::string_view tail, const std::string &rid, std::string_view prefix,
                                 std::string_view head = {});

// Private functions for the tests: _add_pictures and _with_drawing_element.
void def_picture_hooks(nb::module_ &m);

}  // namespace tessel::pictures
