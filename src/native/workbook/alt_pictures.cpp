#include "workbook/alt_pictures.h"

#include "core/placeholder.h"
#include "ooxml/numbers.h"
#include "workbook/sheet_pictures.h"
#include "workbook/sheets.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace tessel::pictures {

using namespace tessel::ooxml;

namespace {

constexpr const char *kXdrNs = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing";
constexpr const char *kANs = "http://schemas.openxmlformats.org/drawingml/2006/main";
constexpr const char *kImageType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image";
constexpr long kLastColumn = 16383, kLastRow = 1048575;  // zero-based
constexpr double kDigitWidth = 7;  // pixels of a digit of Calibri 11, the default font

std::string xdr(const char *local) { return clark(kXdrNs, local); }
std::string a(const char *local) { return clark(kANs, local); }

std::string text_of(nb::handle value) { return value.is_none() ? std::string() : nb::cast<std::string>(nb::str(value)); }

// A number attribute of an openpyxl object; nothing when unset, no number or not finite.
std::optional<double> number(nb::handle owner, const char *name) {
    if (owner.is_none())
        return std::nullopt;
    nb::object value = nb::getattr(owner, name, nb::none());
    if (value.is_none() || PyBool_Check(value.ptr()))
        return std::nullopt;
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}

long long column_emu(double width) {
    width = std::clamp(width, 0.0, 255.0);
    return (long long) std::trunc((256 * width + std::trunc(128 / kDigitWidth)) / 256 * kDigitWidth) * kEmuPerPixel;
}

long long row_emu(double points) { return std::llround(std::clamp(points, 0.0, 10000.0) * kEmuPerPoint); }

bool in_fallback(nb::handle el) {
    for (nb::handle up : el.attr("iterancestors")())
        if (nb::isinstance<nb::str>(up.attr("tag")) && nb::cast<std::string>(up.attr("tag")) == clark(kMcNs, "Fallback"))
            return true;
    return false;
}

// The ids of the relationships that attributes under `el` name.
void named_ids(nb::handle el, std::set<std::string> &out) {
    const std::string prefix = std::string("{") + kOfficeRelNs + "}";
    for (nb::handle e : el.attr("iter")())
        for (nb::handle item : e.attr("attrib").attr("items")()) {
            std::string key = nb::cast<std::string>(item[0]);
            if (key.rfind(prefix, 0) == 0)
                out.insert(nb::cast<std::string>(item[1]));
        }
}

struct Marker {
    long col, row;
    long long col_off, row_off;
};

Marker marker_of(nb::handle anchor, const char *which) {
    nb::object el = anchor.attr("find")(xdr(which));
    if (el.is_none())
        tessel::refuse(nb::str("the picture's anchor has no xdr:{}").format(which));
    auto read = [&](const char *name, Bounds bounds, bool whole) {
        nb::object child = el.attr("find")(xdr(name));
        std::string text = child.is_none() ? std::string() : text_of(child.attr("text"));
        auto v = whole ? whole_number(text, bounds) : measure(text, bounds);
        if (!v)
            tessel::refuse(nb::str("the picture's anchor holds xdr:{} \"{}\", which is no position")
                               .format(name, nb::str(text.c_str())));
        return *v;
    };
    return Marker{(long) read("col", Bounds{0, kLastColumn}, true), (long) read("row", Bounds{0, kLastRow}, true),
                  read("colOff", kLength, false), read("rowOff", kLength, false)};
}

void set_text(nb::handle parent, const char *name, long long value) {
    nb::object child = parent.attr("find")(xdr(name));
    if (!child.is_none())
        child.attr("text") = std::to_string(value);
}

// Where a length that starts at cell `first`, `offset` into it, ends: the cell
// and the offset into it.  Zero-width cells are passed over.
template <typename Size>
std::pair<long, long long> end_of(long first, long long offset, long long length, long last, Size &&size) {
    long cell = first;
    long long rest = offset + length;
    while (cell < last && rest > size(cell)) {
        rest -= size(cell);
        ++cell;
    }
    return {cell, rest};
}

long long extent(nb::handle el, const char *name) {
    auto v = whole_number(text_of(el.attr("get")(name)), kSize);
    if (!v)
        tessel::refuse(nb::str("the picture's extent holds {} \"{}\", which is no size")
                           .format(name, el.attr("get")(name)));
    return *v;
}
}  // namespace

Grid::Grid(nb::handle sheet) {
    nb::object format = nb::getattr(sheet, "sheet_format", nb::none());
    if (auto width = number(format, "defaultColWidth")) {
        default_column_ = column_emu(*width);
    } else {
        // Excel widens the default column to a whole number of 8 pixels.
        const double base = std::clamp(number(format, "baseColWidth").value_or(8), 0.0, 255.0);
        default_column_ = (long long) std::ceil((base * kDigitWidth + 5) / 8) * 8 * kEmuPerPixel;
    }
    default_row_ = row_emu(number(format, "defaultRowHeight").value_or(15));
    for (nb::handle dim : sheet.attr("column_dimensions").attr("values")()) {
        auto min = number(dim, "min"), max = number(dim, "max");
        if (!min || !max)
            continue;
        const bool hidden = tessel::truthy(nb::getattr(dim, "hidden", nb::none()));
        auto width = number(dim, "width");
        columns_.push_back(Columns{(long) std::clamp(*min, 1.0, 16384.0), (long) std::clamp(*max, 1.0, 16384.0),
                                   hidden ? 0 : width ? column_emu(*width) : default_column_});
    }
    for (nb::handle item : sheet.attr("row_dimensions").attr("items")()) {
        nb::object key = item[0], dim = item[1];
        int overflow = 0;
        const long index = PyLong_Check(key.ptr()) ? PyLong_AsLongAndOverflow(key.ptr(), &overflow) : 0;
        if (PyErr_Occurred())
            throw nb::python_error();
        if (overflow || index < 1)
            continue;
        auto height = number(dim, "ht");
        if (tessel::truthy(nb::getattr(dim, "hidden", nb::none())))
            rows_[index] = 0;
        else if (height)
            rows_[index] = row_emu(*height);
    }
}

long long Grid::column(long index) const {
    for (const Columns &c : columns_)
        if (index + 1 >= c.min && index + 1 <= c.max)
            return c.width;
    return default_column_;
}

long long Grid::row(long index) const {
    auto found = rows_.find(index + 1);
    return found == rows_.end() ? default_row_ : found->second;
}

SheetDrawing::SheetDrawing(Package &pkg, const std::string &sheet_part) : pkg_(pkg) {
    Relationships sheet_rels(pkg, sheet_part);
    if (std::optional<std::string> part = drawing_of(pkg, sheet_rels))
        part_ = *part;
    else
        return;
    root_ = parse_part(pkg, part_);
    for (nb::handle pic : root_.attr("iter")(xdr("pic"))) {
        if (in_fallback(pic))
            continue;
        pics_.push_back(nb::borrow(pic));
        nb::object props = pic.attr("find")(xdr("nvPicPr") + "/" + xdr("cNvPr"));
        if (props.is_none())
            continue;
        std::string descr = text_of(props.attr("get")("descr"));
        if (!descr.empty())
            alts_.push_back(AltPicture{text_of(props.attr("get")("name")), std::move(descr), pics_.size() - 1});
    }
}

std::pair<long long, long long> SheetDrawing::box(const AltPicture &picture, const Grid &grid) const {
    nb::handle pic = pics_.at(picture.index);
    nb::object anchor = pic.attr("getparent")();
    const std::string kind = local_name(anchor);
    long long width = 0, height = 0;
    if (kind == "twoCellAnchor") {
        const Marker from = marker_of(anchor, "from"), to = marker_of(anchor, "to");
        width = to.col_off - from.col_off;
        for (long c = from.col; c < to.col; ++c)
            width += grid.column(c);
        height = to.row_off - from.row_off;
        for (long r = from.row; r < to.row; ++r)
            height += grid.row(r);
    } else if (kind == "oneCellAnchor" || kind == "absoluteAnchor") {
        nb::object ext = anchor.attr("find")(xdr("ext"));
        if (ext.is_none())
            tessel::refuse("the picture's anchor gives no extent");
        width = extent(ext, "cx");
        height = extent(ext, "cy");
    } else {
        // A picture in a group is sized in the group's own coordinates.
        nb::object ext = pic.attr("find")(xdr("spPr") + "/" + a("xfrm") + "/" + a("ext"));
        if (ext.is_none())
            tessel::refuse("the picture in a group gives no extent of its own");
        width = extent(ext, "cx");
        height = extent(ext, "cy");
    }
    if (width <= 0 || height <= 0)
        tessel::refuse("the picture's box in the template has no area");
    return {width, height};
}

void SheetDrawing::replace(const AltPicture &picture, nb::handle image, long long width, long long height,
                           const Grid &grid) {
    nb::handle pic = pics_.at(picture.index);
    nb::object fill = pic.attr("find")(xdr("blipFill"));
    if (fill.is_none())
        tessel::refuse("the picture holds no image to replace (it has no xdr:blipFill)");
    nb::object anchor = pic.attr("getparent")();
    const std::string kind = local_name(anchor);
    std::optional<Marker> from;
    if (kind == "twoCellAnchor") {
        from = marker_of(anchor, "from");
        marker_of(anchor, "to");
    }
    // Everything that may fail comes before the drawing changes.
    MediaKind media_type = media_kind(image);
    nb::bytes data = nb::borrow<nb::bytes>(image.attr("_data")());

    if (from) {
        auto [col, col_off] = end_of(from->col, from->col_off, width, kLastColumn, [&](long c) { return grid.column(c); });
        auto [row, row_off] = end_of(from->row, from->row_off, height, kLastRow, [&](long r) { return grid.row(r); });
        nb::object to = anchor.attr("find")(xdr("to"));
        set_text(to, "col", col);
        set_text(to, "colOff", col_off);
        set_text(to, "row", row);
        set_text(to, "rowOff", row_off);
    } else if (kind == "oneCellAnchor" || kind == "absoluteAnchor") {
        nb::object ext = anchor.attr("find")(xdr("ext"));
        ext.attr("set")("cx", std::to_string(width));
        ext.attr("set")("cy", std::to_string(height));
    }
    nb::object ext = pic.attr("find")(xdr("spPr") + "/" + a("xfrm") + "/" + a("ext"));
    if (!ext.is_none()) {
        ext.attr("set")("cx", std::to_string(width));
        ext.attr("set")("cy", std::to_string(height));
    }

    if (!rels_)
        rels_.emplace(pkg_, part_);
    std::string key = media_type.extension + ":" + std::string(data.c_str(), data.size());
    auto known = rel_by_data_.find(key);
    std::string id;
    if (known != rel_by_data_.end()) {
        id = known->second;
    } else {
        ContentTypes types(pkg_);
        std::string media = PartNamer(pkg_, types, "xl/media/image").next(media_type.extension);
        pkg_.write(media, data);
        new_media_.emplace_back(media_type.extension, media_type.content_type);
        id = rels_->add("", kImageType, relative_target(part_, media), false);
        rel_by_data_.emplace(std::move(key), id);
    }

    nb::object blip = fill.attr("find")(a("blip"));
    if (blip.is_none()) {
        blip = nb::module_::import_("lxml.etree").attr("Element")(a("blip"));
        fill.attr("insert")(0, blip);
    }
    named_ids(blip, dropped_ids_);
    // Extensions that name parts (an SVG beside the bitmap) would show the old picture.
    for (nb::handle list : nb::list(blip.attr("findall")(a("extLst")))) {
        for (nb::handle extension : nb::list(list.attr("findall")(a("ext")))) {
            std::set<std::string> ids;
            named_ids(extension, ids);
            if (!ids.empty())
                list.attr("remove")(extension);
        }
        if (nb::len(list) == 0)
            blip.attr("remove")(list);
    }
    blip.attr("attrib").attr("pop")(clark(kOfficeRelNs, "link"), nb::none());
    blip.attr("set")(clark(kOfficeRelNs, "embed"), id);
    // The template's cropping was made for its own picture.
    for (nb::handle crop : nb::list(fill.attr("findall")(a("srcRect"))))
        fill.attr("remove")(crop);
    nb::object props = pic.attr("find")(xdr("nvPicPr") + "/" + xdr("cNvPr"));
    if (!props.is_none())
        props.attr("attrib").attr("pop")("descr", nb::none());
}

void SheetDrawing::save() {
    if (!rels_)
        return;
    std::set<std::string> named;
    named_ids(root_, named);
    std::vector<std::string> gone;
    for (const std::string &id : dropped_ids_) {
        if (named.count(id))
            continue;
        if (const Relationship *rel = rels_->find(id))
            if (auto part = rels_->part_of(pkg_, *rel))
                gone.push_back(*part);
        rels_->remove(id);
    }
    write_part(pkg_, part_, root_);
    rels_->save(pkg_);
    if (!gone.empty()) {
        std::set<std::string> referred;
        for (const std::string &name : pkg_.names()) {
            auto source = source_of_rels(name);
            if (!source)
                continue;
            Relationships rels(pkg_, *source);
            for (const Relationship &rel : rels.all())
                if (auto part = rels.part_of(pkg_, rel))
                    referred.insert(ooxml::ascii_lower(*part));
        }
        for (const std::string &part : gone)
            if (!referred.count(ooxml::ascii_lower(part)))
                pkg_.remove(part);
    }
    ContentTypes types(pkg_);
    for (const auto &[extension, type] : new_media_)
        if (!types.default_of(extension))
            types.add_default(extension, type);
    types.prune(pkg_);
    types.save(pkg_);
    rels_.reset();
    dropped_ids_.clear();
    rel_by_data_.clear();
    new_media_.clear();
}

std::map<std::string, std::vector<AltPicture>> template_pictures(nb::handle template_path) {
    std::map<std::string, std::vector<AltPicture>> out;
    try {
        Package pkg = Package::from_zip(template_path, "template workbook");
        for (const repair::Sheet &sheet : repair::sheets_of(pkg)) {
            if (sheet.chartsheet)
                continue;
            SheetDrawing drawing(pkg, sheet.part);
            if (!drawing.pictures().empty())
                out[sheet.name] = drawing.pictures();
        }
    } catch (nb::python_error &e) {
        if (tessel::is_interrupt(e))
            throw;
        out.clear();  // openpyxl read the template; what it could not read holds no picture to list
    } catch (const std::exception &) {
        out.clear();
    }
    return out;
}

}  // namespace tessel::pictures
