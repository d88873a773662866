#include "workbook/row_insertion.h"

#include "core/placeholder.h"
#include "ooxml/numbers.h"
#include "ooxml/parts.h"
#include "ooxml/xml_text.h"
#include "workbook/sheet_xml.h"
#include "workbook/sheets.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace tessel::repair {

using namespace nb::literals;
using namespace tessel::ooxml;
using namespace tessel::xml_text;
using sheets::Growth;
using sheets::Insertions;
using sheets::SheetLookup;

namespace {


[[noreturn]] void pushed_off(std::string_view part, long row) {
    throw std::invalid_argument(std::string(part) + ": the rows inserted would push the object at row " +
                                std::to_string(row + 1) + " off the sheet");
}

// -- cell formulas ------------------------------------------------------------

// Rewrites the formulas of serialised cell data.  The cells stand where they end
// up; their formulas and formula ranges are in the layout before the insertions.
class FormulaCells {
public:
    FormulaCells(std::string_view prefix, const Insertions *own, const SheetLookup &lookup)
        : c_(std::string(prefix) + "c"), f_(std::string(prefix) + "f"), own_(own), lookup_(lookup) {}

    std::optional<std::string> run(std::string_view t) {
        t_ = t;
        // The markup is read in order, so that tag text in comments and CDATA
        // sections is never taken for a formula, and each formula's cell is the
        // cell element it stands in.
        for (auto piece = next_markup(t, 0); piece;) {
            const bool opens = piece->kind == Markup::Start || piece->kind == Markup::Empty;
            size_t next = piece->end;
            if (opens && piece->name == c_)
                cell_ = cell_at(piece->begin);
            else if (piece->kind == Markup::End && piece->name == c_)
                cell_.reset();
            else if (opens && piece->name == f_)
                next = formula(*piece);
            piece = next_markup(t, next);
        }
        if (!changed_)
            return std::nullopt;
        out_.append(t.substr(copied_));
        return std::move(out_);
    }

private:
    struct Master {
        std::string before, after;  // its text before and after moving
        long row, column;           // where its cell stands
    };

    std::optional<std::string> moved(std::string_view formula) const {
        return sheets::moved_formula(formula, lookup_);
    }

    // Where the cell whose start tag is at `lt` stands; nothing for a cell that
    // does not say.
    std::optional<sheets::Area> cell_at(size_t lt) const {
        auto tag = read_tag(t_, lt, true);
        if (!tag)
            return std::nullopt;
        return sheets::parse_area(value_of(t_, tag->find("r")));
    }

    void replace(size_t begin, size_t end, const std::string &text) {
        out_.append(t_.substr(copied_, begin - copied_));
        out_ += text;
        copied_ = end;
        changed_ = true;
    }

    // Handles the formula element whose start tag is `start`; returns where
    // reading goes on.  A formula whose text holds markup (a CDATA section, a
    // comment) is left as it stands.
    size_t formula(const Piece &start) {
        const size_t lt = start.begin;
        auto tag = read_tag(t_, lt, true);
        if (!tag)
            return start.end;
        size_t end = tag->end;
        std::string_view raw;
        if (!tag->empty) {
            auto close = next_markup(t_, tag->end);
            if (!close || close->kind != Markup::End || close->name != f_)
                return tag->end;
            raw = t_.substr(tag->end, close->begin - tag->end);
            end = close->end;
        }
        const std::string text = unescaped(raw);
        const std::string_view type = value_of(t_, tag->find("t"));
        const Attribute *ref = tag->find("ref");

        std::vector<std::pair<std::string_view, std::string>> values;
        auto move_range = [&](const char *name) {
            const Attribute *a = tag->find(name);
            if (!a || !own_)
                return;
            std::string_view v = value_of(t_, a);
            std::string moved = sheets::moved_area_list(v, *own_, Growth::Cells);
            if (moved != v)
                values.emplace_back(a->name, moved);
        };

        std::optional<std::string> new_text;
        if (type == "shared" && !ref && text.empty()) {
            return dependent(*tag, end);
        } else if (type == "shared") {
            new_text = moved(text);
            move_range("ref");
            if (auto cell = cell_)
                masters_[std::string(value_of(t_, tag->find("si")))] =
                    Master{text, new_text ? *new_text : text, cell->first.row, cell->first.column};
        } else {
            new_text = moved(text);
            move_range("ref");
            move_range("r1");
            move_range("r2");
        }
        if (!new_text && values.empty())
            return end;
        std::string element = rewritten_tag(t_, *tag, values, {}, tag->empty && !new_text);
        if (!tag->empty || new_text)
            element += escaped(new_text ? *new_text : text) + "</" + f_ + ">";
        replace(lt, end, element);
        return end;
    }

    // A cell that takes a shared formula from its master.  It keeps doing so when
    // the moved master gives it the formula it should have after moving; where the
    // insertions make them differ, it gets a formula of its own.
    size_t dependent(const Tag &tag, size_t end) {
        auto master = masters_.find(std::string(value_of(t_, tag.find("si"))));
        const auto &cell = cell_;
        if (master == masters_.end() || !cell)
            return end;
        const Master &m = master->second;
        long rows = cell->first.row - m.row, columns = cell->first.column - m.column;
        long template_rows = rows;
        if (own_) {
            long from = sheets::original_row(m.row, *own_), to = sheets::original_row(cell->first.row, *own_);
            if (!from || !to)
                return end;
            template_rows = to - from;
        }
        std::string before = sheets::translated_formula(m.before, template_rows, columns);
        std::string should = moved(before).value_or(before);
        if (should == sheets::translated_formula(m.after, rows, columns))
            return end;
        replace(tag.begin, end,
                rewritten_tag(t_, tag, {}, {"t", "si", "ref"}, false) + escaped(should) + "</" + f_ + ">");
        return end;
    }

    std::string c_, f_;
    const Insertions *own_;
    const SheetLookup &lookup_;
    std::string_view t_;
    std::string out_;
    size_t copied_ = 0;
    bool changed_ = false;
    std::unordered_map<std::string, Master> masters_;
    std::optional<sheets::Area> cell_;  // the cell being read
};
// -- parts through lxml -------------------------------------------------------

std::string text_of(nb::handle element) {
    nb::object text = element.attr("text");
    return text.is_none() ? std::string() : nb::cast<std::string>(text);
}

std::optional<std::string> attribute(nb::handle element, const char *name) {
    nb::object v = element.attr("get")(name);
    if (v.is_none())
        return std::nullopt;
    return nb::cast<std::string>(v);
}

// Moves the formula text of an element; true when it changed.
bool move_text(nb::handle element, const SheetLookup &lookup, bool cells_are_ranges = false) {
    std::string text = text_of(element);
    if (text.empty())
        return false;
    auto moved = sheets::moved_formula(text, lookup, cells_are_ranges);
    if (!moved)
        return false;
    element.attr("text") = *moved;
    return true;
}

// Moves a formula held in an attribute ("fmlaLink"); true when it changed.
bool move_formula_attribute(nb::handle element, const char *name, const SheetLookup &lookup) {
    auto value = attribute(element, name);
    if (!value)
        return false;
    auto moved = sheets::moved_formula(*value, lookup);
    if (!moved)
        return false;
    element.attr("set")(name, *moved);
    return true;
}

// Moves a range-list attribute; false when unchanged.  An element whose every
// range left the sheet is removed.
bool move_ranges(nb::handle element, const char *name, const Insertions &own, Growth growth) {
    auto value = attribute(element, name);
    if (!value)
        return false;
    std::string moved = sheets::moved_area_list(*value, own, growth);
    if (moved == *value)
        return false;
    if (moved.empty()) {
        nb::object parent = element.attr("getparent")();
        if (!parent.is_none())
            parent.attr("remove")(element);
        return true;
    }
    element.attr("set")(name, moved);
    return true;
}

nb::list found(nb::handle root, const char *path) { return nb::list(root.attr("iterfind")(path)); }

bool truthy_attribute(nb::handle element, const char *name) {
    auto v = attribute(element, name);
    return v && (*v == "1" || *v == "true");
}


// A break's id is the zero-based row under it: it moves with that row, and goes
// with it when the rows push it off the sheet.  Every id is read before any moves.
bool move_breaks(nb::handle root, const Insertions &own, std::string_view part) {
    bool changed = false;
    for (nb::handle breaks : found(root, "{*}rowBreaks")) {
        std::vector<std::pair<nb::object, long>> ids;
        for (nb::handle brk : found(breaks, "{*}brk"))
            if (auto id = attribute(brk, "id"))
                ids.emplace_back(nb::borrow(brk),
                                 (long) required_whole_number(*id, sheets::kRowIndex, part, "brk id"));
        bool dropped = false;
        for (auto &[brk, row] : ids) {
            long moved = sheets::moved_row(row + 1, own) - 1;
            if (moved == row)
                continue;
            if (moved < 0) {
                breaks.attr("remove")(brk);
                dropped = true;
            } else {
                brk.attr("set")("id", std::to_string(moved));
            }
            changed = true;
        }
        if (!dropped)
            continue;
        long count = 0, manual = 0;
        for (nb::handle brk : found(breaks, "{*}brk")) {
            ++count;
            manual += truthy_attribute(brk, "man");
        }
        if (attribute(breaks, "count"))
            breaks.attr("set")("count", std::to_string(count));
        if (attribute(breaks, "manualBreakCount"))
            breaks.attr("set")("manualBreakCount", std::to_string(manual));
    }
    return changed;
}

// The parts of a sheet outside its cell data.
bool move_sheet_tree(nb::handle root, const Insertions *own, const SheetLookup &lookup, std::string_view part) {
    bool changed = false;
    if (own) {
        changed |= move_breaks(root, *own, part);
        for (nb::handle el : found(root, "{*}mergeCells/{*}mergeCell"))
            changed |= move_ranges(el, "ref", *own, Growth::Cells);
        for (nb::handle merged : found(root, "{*}mergeCells")) {
            long count = (long) nb::len(found(merged, "{*}mergeCell"));
            if (attribute(merged, "count"))
                merged.attr("set")("count", std::to_string(count));
            if (count == 0)
                root.attr("remove")(merged);
        }
        for (nb::handle el : found(root, "{*}conditionalFormatting"))
            changed |= move_ranges(el, "sqref", *own, Growth::Block);
        for (nb::handle el : found(root, "{*}dataValidations/{*}dataValidation"))
            changed |= move_ranges(el, "sqref", *own, Growth::Block);
        for (nb::handle el : found(root, "{*}protectedRanges/{*}protectedRange"))
            changed |= move_ranges(el, "sqref", *own, Growth::Block);
        for (const char *path : {"{*}autoFilter", "{*}autoFilter/{*}sortState", "{*}sortState",
                                 "{*}autoFilter/{*}sortState/{*}sortCondition", "{*}sortState/{*}sortCondition"})
            for (nb::handle el : found(root, path))
                changed |= move_ranges(el, "ref", *own, Growth::Block);
    }
    for (nb::handle el : found(root, "{*}conditionalFormatting/{*}cfRule/{*}formula"))
        changed |= move_text(el, lookup);
    // Newer conditional formats, data validations and sparklines live in the
    // sheet's extensions, their ranges as element text (xm:sqref) and their
    // formulas in xm:f.
    if (own) {
        for (nb::handle el : found(root, "{*}extLst//{*}sqref")) {
            const std::string text = text_of(el);
            const std::string moved = sheets::moved_area_list(text, *own, Growth::Block);
            if (moved == text)
                continue;
            changed = true;
            nb::object owner = el.attr("getparent")();
            if (!moved.empty())
                el.attr("text") = moved;
            else if (!owner.is_none() && !owner.attr("getparent")().is_none())
                owner.attr("getparent")().attr("remove")(owner);
        }
    }
    for (nb::handle el : found(root, "{*}extLst//{*}f"))
        changed |= move_text(el, lookup);
    for (const char *path : {"{*}dataValidations/{*}dataValidation/{*}formula1",
                             "{*}dataValidations/{*}dataValidation/{*}formula2"})
        for (nb::handle el : found(root, path))
            changed |= move_text(el, lookup);
    return changed;
}

// "x:" for a cell data element spelt "x:sheetData", "" for "sheetData".
std::string prefix_of(nb::handle root) {
    nb::object prefix = root.attr("prefix");
    return prefix.is_none() ? std::string() : nb::cast<std::string>(prefix) + ":";
}

void move_sheet(Package &pkg, const std::string &part, const Insertions *own, const SheetLookup &lookup) {
    SheetXml sheet = parse_sheet(pkg, part);
    bool changed = move_sheet_tree(sheet.root, own, lookup, part);
    FormulaCells cells(prefix_of(sheet.root), own, lookup);
    if (sheet.split) {
        if (auto rows = cells.run(sheet.rows)) {
            sheet.rows = std::move(*rows);
            changed = true;
        }
        if (changed)
            write_sheet(pkg, part, sheet);
        return;
    }
    nb::bytes whole = serialise(sheet.root);
    if (auto text = cells.run(std::string_view(whole.c_str(), whole.size())))
        pkg.write(part, nb::bytes(text->data(), text->size()));
    else if (changed)
        pkg.write(part, whole);
}

// Edits each part the sheet relates to by a relationship of type `.../suffix`;
// `edit` says whether it changed the part, which is then written back.
template <typename Edit>
void edit_related(Package &pkg, const std::string &sheet_part, const char *suffix, Edit &&edit) {
    Relationships rels(pkg, sheet_part);
    for (const Relationship &rel : rels.all()) {
        if (!ends_with(rel.type, suffix))
            continue;
        auto part = rels.part_of(pkg, rel);
        if (!part)
            continue;
        nb::object root = parse_part(pkg, *part);
        if (edit(root))
            write_part(pkg, *part, root);
    }
}

void move_tables(Package &pkg, const std::string &sheet_part, const Insertions *own, const SheetLookup &lookup) {
    edit_related(pkg, sheet_part, "/table", [&](nb::handle root) {
        bool changed = false;
        if (own)
            for (const char *path : {".", "{*}autoFilter", "{*}sortState", "{*}autoFilter/{*}sortState",
                                     "{*}sortState/{*}sortCondition", "{*}autoFilter/{*}sortState/{*}sortCondition"})
                for (nb::handle el : found(root, path))
                    changed |= move_ranges(el, "ref", *own, Growth::Block);
        for (const char *path : {"{*}tableColumns/{*}tableColumn/{*}calculatedColumnFormula",
                                 "{*}tableColumns/{*}tableColumn/{*}totalsRowFormula"})
            for (nb::handle el : found(root, path))
                changed |= move_text(el, lookup);
        return changed;
    });
}

// Form controls link cells and list ranges through their properties parts.
void move_control_links(Package &pkg, const std::string &sheet_part, const SheetLookup &lookup) {
    edit_related(pkg, sheet_part, "/ctrlProp", [&](nb::handle root) {
        bool changed = false;
        for (const char *name : {"fmlaLink", "fmlaRange", "fmlaTxbx", "fmlaGroup"})
            changed |= move_formula_attribute(root, name, lookup);
        return changed;
    });
}

// The sheet positions that the workbook's local names give, each read and
// checked before anything moves; -1 for a name of the whole workbook.
std::vector<long> local_sheet_ids(nb::handle root, const std::string &part) {
    std::vector<long> out;
    for (nb::handle name : found(root, "{*}definedNames/{*}definedName")) {
        auto id = attribute(name, "localSheetId");
        out.push_back(id ? (long) required_whole_number(*id, kId, part, "definedName localSheetId") : -1);
    }
    return out;
}

void move_defined_names(Package &pkg, const std::vector<Sheet> &all, const SheetInsertions &insertions) {
    std::string workbook = workbook_part(pkg);
    if (workbook.empty())
        return;
    nb::object root = parse_part(pkg, workbook);
    const std::vector<long> ids = local_sheet_ids(root, workbook);
    bool changed = false;
    size_t at = 0;
    for (nb::handle name : found(root, "{*}definedNames/{*}definedName")) {
        // A reference without a sheet in a sheet's own name is to that sheet.
        const Insertions *local = nullptr;
        for (const Sheet &s : all)
            if (ids[at] >= 0 && s.position == ids[at])
                local = insertions.find(s.name);
        ++at;
        SheetLookup lookup = [&](std::string_view sheet) { return sheet.empty() ? local : insertions.find(sheet); };
        changed |= move_text(name, lookup);
    }
    if (changed)
        write_part(pkg, workbook, root);
}

void move_charts(Package &pkg, const SheetInsertions &insertions) {
    SheetLookup lookup = [&](std::string_view sheet) -> const Insertions * {
        return sheet.empty() ? nullptr : insertions.find(sheet);
    };
    for (const std::string &part : pkg.names()) {
        if (part.rfind("xl/charts/", 0) != 0 || !ends_with(part, ".xml") || part.find("/_rels/") != std::string::npos)
            continue;
        nb::object root = parse_part(pkg, part);
        bool changed = false;
        // Series, categories, titles and labels name their cells in <f> elements.
        // A series' values and categories are ranges even when they hold one cell:
        // one over the template row grows over the block.
        for (nb::handle el : nb::list(root.attr("xpath")("//*[local-name()='f']"))) {
            nb::object parent = el.attr("getparent")();
            nb::object grand = parent.is_none() ? nb::none() : parent.attr("getparent")();
            static const std::set<std::string> kSeriesData = {"cat", "val", "xVal", "yVal", "bubbleSize"};
            const bool series = !grand.is_none() && kSeriesData.count(local_name(grand));
            changed |= move_text(el, lookup, series);
        }
        if (changed)
            write_part(pkg, part, root);
    }
}

void move_pivot_sources(Package &pkg, const SheetInsertions &insertions) {
    for (const std::string &part : pkg.names()) {
        if (part.rfind("xl/pivotCache/pivotCacheDefinition", 0) != 0 || !ends_with(part, ".xml"))
            continue;
        nb::object root = parse_part(pkg, part);
        bool changed = false;
        for (nb::handle source : found(root, "{*}cacheSource/{*}worksheetSource"))
            if (auto sheet = attribute(source, "sheet"))
                if (const Insertions *own = insertions.find(*sheet))
                    changed |= move_ranges(source, "ref", *own, Growth::Block);
        if (changed)
            write_part(pkg, part, root);
    }
}

// -- drawing anchors --------------------------------------------------------------

// An anchored object as read, before anything moves: its markers' <row> elements
// (the bottom one unset without a bottom marker) and where they stand.
struct Anchor {
    nb::object top_row, bottom_row;
    sheets::Marker top, bottom;
    sheets::Follow follow;
};

sheets::Marker read_marker(nb::handle marker, nb::object &row, std::string_view part) {
    row = marker.attr("find")("{*}row");
    if (row.is_none())
        throw std::invalid_argument(std::string(part) + ": an anchor's " + local_name(marker) +
                                    " marker has no row");
    sheets::Marker m;
    m.row = (long) required_whole_number(text_of(row), sheets::kRowIndex, part, "xdr:row");
    nb::object offset = marker.attr("find")("{*}rowOff");
    if (!offset.is_none())
        m.offset = required_whole_number(text_of(offset), kLength, part, "xdr:rowOff");
    return m;
}

Anchor read_anchor(nb::handle anchor, sheets::Follow follow, std::string_view part) {
    nb::object from = anchor.attr("find")("{*}from"), to = anchor.attr("find")("{*}to");
    if (from.is_none())
        throw std::invalid_argument(std::string(part) + ": an anchor has no from marker");
    Anchor a;
    a.top = read_marker(from, a.top_row, part);
    if (to.is_none()) {
        a.bottom = a.top;
        a.follow = sheets::Follow::Move;
    } else {
        a.bottom = read_marker(to, a.bottom_row, part);
        a.follow = follow;
    }
    return a;
}

std::vector<Anchor> drawing_anchors(nb::handle drawing, std::string_view part) {
    std::vector<Anchor> out;
    for (nb::handle anchor : nb::list(drawing.attr("iter")("{*}twoCellAnchor"))) {
        auto edit = attribute(anchor, "editAs").value_or("twoCell");
        sheets::Follow follow = edit == "absolute" ? sheets::Follow::Stay
                                : edit == "oneCell" ? sheets::Follow::Move
                                                    : sheets::Follow::MoveAndSize;
        out.push_back(read_anchor(anchor, follow, part));
    }
    for (nb::handle anchor : nb::list(drawing.attr("iter")("{*}oneCellAnchor")))
        out.push_back(read_anchor(anchor, sheets::Follow::Move, part));
    return out;
}

std::vector<Anchor> object_anchors(nb::handle element, std::string_view part) {
    std::vector<Anchor> out;
    for (nb::handle anchor : nb::list(element.attr("iter")("{*}anchor"))) {
        sheets::Follow follow = !truthy_attribute(anchor, "moveWithCells") ? sheets::Follow::Stay
                                : truthy_attribute(anchor, "sizeWithCells") ? sheets::Follow::MoveAndSize
                                                                            : sheets::Follow::Move;
        out.push_back(read_anchor(anchor, follow, part));
    }
    return out;
}

// Moves read anchors; every one is moved and checked before any is written.
void move_anchors(const std::vector<Anchor> &anchors, const Insertions &insertions, std::string_view part) {
    std::vector<std::pair<sheets::Marker, sheets::Marker>> moved;
    for (const Anchor &a : anchors) {
        sheets::Marker top = a.top, bottom = a.bottom;
        if (!sheets::move_anchor(top, bottom, a.follow, insertions))
            pushed_off(part, a.top.row);
        moved.emplace_back(top, bottom);
    }
    for (size_t i = 0; i < anchors.size(); ++i) {
        if (moved[i].first.row != anchors[i].top.row)
            anchors[i].top_row.attr("text") = std::to_string(moved[i].first.row);
        if (anchors[i].bottom_row.is_valid() && moved[i].second.row != anchors[i].bottom.row)
            anchors[i].bottom_row.attr("text") = std::to_string(moved[i].second.row);
    }
}

// -- VML ------------------------------------------------------------------------

// An element of a legacy drawing that moves with the rows, found in its text.
struct VmlItem {
    enum class Kind { Anchor, Row, Link } kind;
    size_t begin, end;  // its text content
    // Anchor: its top and bottom rows, and where their numbers are written; Row:
    // top.row.
    sheets::Marker top, bottom;
    std::pair<size_t, size_t> top_at{}, bottom_at{};
};

// The numbers of an <x:Anchor>: left column, its offset, top row, its offset, then
// the same for the right and bottom.
void read_vml_anchor(std::string_view vml, VmlItem &item, std::string_view part) {
    std::string_view text = vml.substr(item.begin, item.end - item.begin);
    std::vector<std::pair<size_t, size_t>> numbers;  // spans within `text`, trimmed
    for (size_t at = 0; at <= text.size() && numbers.size() <= 8;) {
        size_t comma = std::min(text.find(',', at), text.size());
        size_t a = at, b = comma;
        while (a < b && is_space(text[a]))
            ++a;
        while (b > a && is_space(text[b - 1]))
            --b;
        numbers.emplace_back(a, b);
        at = comma + 1;
    }
    if (numbers.size() != 8)
        throw std::invalid_argument(std::string(part) + ": an x:Anchor holds " +
                                    (numbers.size() > 8 ? "more than eight" : std::to_string(numbers.size())) +
                                    " numbers, not eight");
    long long values[8];
    for (size_t n = 0; n < 8; ++n) {
        const bool row = n % 4 == 2, column = n % 4 == 0;
        values[n] = required_whole_number(text.substr(numbers[n].first, numbers[n].second - numbers[n].first),
                                          row ? sheets::kRowIndex : column ? sheets::kColumnIndex : kLength, part,
                                          "x:Anchor");
    }
    item.top = sheets::Marker{(long) values[2], values[3]};
    item.bottom = sheets::Marker{(long) values[6], values[7]};
    item.top_at = {item.begin + numbers[2].first, item.begin + numbers[2].second};
    item.bottom_at = {item.begin + numbers[6].first, item.begin + numbers[6].second};
}

// The anchors, rows and cell links of a legacy drawing.  The markup is read as a
// parser would: comments, CDATA sections, processing instructions and
// declarations are skipped, and an element is taken only when its content is
// text alone (an element holding markup is left to its children), so the items
// come in order and never overlap.
std::vector<VmlItem> vml_items(std::string_view vml, std::string_view part) {
    std::vector<VmlItem> items;
    for (auto piece = next_markup(vml, 0); piece; piece = next_markup(vml, piece->end)) {
        if (piece->kind != Markup::Start)
            continue;
        const std::string_view local = local_part(piece->name);
        VmlItem item{};
        if (local == "Anchor")
            item.kind = VmlItem::Kind::Anchor;
        else if (local == "Row")
            item.kind = VmlItem::Kind::Row;
        else if (local == "FmlaLink" || local == "FmlaRange" || local == "FmlaTxbx" || local == "FmlaGroup")
            item.kind = VmlItem::Kind::Link;
        else
            continue;
        // Its content, when its end tag comes before any other markup.
        auto close = next_markup(vml, piece->end);
        if (!close || close->kind != Markup::End || close->name != piece->name)
            continue;
        item.begin = piece->end;
        item.end = close->begin;
        if (item.kind == VmlItem::Kind::Anchor)
            read_vml_anchor(vml, item, part);
        else if (item.kind == VmlItem::Kind::Row)
            // The zero-based row of the cell a note or control belongs to.
            item.top.row = (long) required_whole_number(vml.substr(item.begin, item.end - item.begin),
                                                        sheets::kRowIndex, part, "x:Row");
        items.push_back(item);
        piece = close;
    }
    return items;
}

}  // namespace

SheetInsertions SheetInsertions::from_python(nb::handle mapping, bool deleting) {
    SheetInsertions out;
    if (mapping.is_none())
        return out;
    if (!PyDict_Check(mapping.ptr()))
        throw nb::type_error("inserted rows must be a dict of sheet names to (row, count) pairs");
    for (auto [name, rows] : nb::borrow<nb::dict>(mapping)) {
        if (!PyUnicode_Check(name.ptr()))
            throw nb::type_error("inserted rows are given by sheet name");
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
        if (!utf8)
            throw nb::python_error();
        for (nb::handle pair : rows) {
            if (nb::len(pair) != 2 || !PyLong_Check(nb::object(pair[0]).ptr()) ||
                !PyLong_Check(nb::object(pair[1]).ptr()))
                throw nb::type_error("inserted rows are (row, count) pairs of integers");
            int row_overflow = 0, count_overflow = 0;
            long row = PyLong_AsLongAndOverflow(nb::object(pair[0]).ptr(), &row_overflow);
            long count = PyLong_AsLongAndOverflow(nb::object(pair[1]).ptr(), &count_overflow);
            // Rows deleted from the top are deleted under row 0.
            if (row_overflow || count_overflow || row < (deleting && count < 0 ? 0 : sheets::kRowNumber.min) ||
                row > sheets::kRowNumber.max ||
                count < (deleting ? -sheets::kMaxRow : 0) || count > sheets::kMaxRow)
                throw nb::value_error("an inserted row must lie on the sheet, with a count of rows that fits it");
            out.add(std::string_view(utf8, (size_t) size), sheets::Insertion{row, count});
        }
    }
    return out;
}

const std::string &SheetInsertions::key_of(std::string_view name) const {
    auto it = keys_.find(name);
    if (it == keys_.end())
        it = keys_.emplace(std::string(name), folded_name(name)).first;
    return it->second;
}

const Insertions *SheetInsertions::find(std::string_view name) const {
    auto it = by_key_.find(key_of(name));
    return it == by_key_.end() ? nullptr : &it->second;
}

void SheetInsertions::add(std::string_view name, sheets::Insertion insertion) {
    if (insertion.count != 0)
        by_key_[key_of(name)].push_back(insertion);
}

void move_references(Package &pkg, const SheetInsertions &insertions) {
    if (insertions.empty())
        return;
    std::vector<Sheet> all = sheets_of(pkg);
    move_defined_names(pkg, all, insertions);
    for (const Sheet &sheet : all) {
        if (sheet.chartsheet)
            continue;
        const Insertions *own = insertions.find(sheet.name);
        SheetLookup lookup = [&](std::string_view name) { return name.empty() ? own : insertions.find(name); };
        move_sheet(pkg, sheet.part, own, lookup);
        move_tables(pkg, sheet.part, own, lookup);
        move_control_links(pkg, sheet.part, lookup);
    }
    move_charts(pkg, insertions);
    move_pivot_sources(pkg, insertions);
}

void move_drawing_anchors(nb::handle drawing, const Insertions &insertions, std::string_view part) {
    move_anchors(drawing_anchors(drawing, part), insertions, part);
}

void move_object_anchors(nb::handle element, const Insertions &insertions, std::string_view part) {
    move_anchors(object_anchors(element, part), insertions, part);
}

std::string moved_vml(std::string_view vml, const Insertions &insertions, const SheetLookup &lookup,
                      std::string_view part) {
    // Every item is read and moved before the text is put together.
    std::vector<std::pair<std::pair<size_t, size_t>, std::string>> edits;
    for (const VmlItem &item : vml_items(vml, part)) {
        switch (item.kind) {
            case VmlItem::Kind::Anchor: {
                sheets::Marker top = item.top, bottom = item.bottom;
                if (!sheets::move_anchor(top, bottom, sheets::Follow::Move, insertions))
                    pushed_off(part, item.top.row);
                if (top.row != item.top.row)
                    edits.push_back({item.top_at, std::to_string(top.row)});
                if (bottom.row != item.bottom.row)
                    edits.push_back({item.bottom_at, std::to_string(bottom.row)});
                break;
            }
            case VmlItem::Kind::Row: {
                // A shape whose row was deleted comes to the row that follows.
                sheets::Marker top{item.top.row, 0}, bottom = top;
                long moved = sheets::move_anchor(top, bottom, sheets::Follow::Move, insertions) ? top.row : -1;
                if (moved < 0)
                    pushed_off(part, item.top.row);
                if (moved != item.top.row)
                    edits.push_back({{item.begin, item.end}, std::to_string(moved)});
                break;
            }
            case VmlItem::Kind::Link:
                if (auto formula = sheets::moved_formula(unescaped(vml.substr(item.begin, item.end - item.begin)),
                                                         lookup))
                    edits.push_back({{item.begin, item.end}, escaped(*formula)});
                break;
        }
    }
    std::string out;
    size_t copied = 0;
    for (const auto &[span, text] : edits) {
        out.append(vml.substr(copied, span.first - copied));
        out += text;
        copied = span.second;
    }
    out.append(vml.substr(copied));
    return out;
}

bool vml_beyond_comments(const Package &pkg, const std::string &part) {
    nb::bytes data = pkg.read(part);
    std::string_view text(data.c_str(), data.size());
    for (auto piece = next_markup(text, 0); piece; piece = next_markup(text, piece->end)) {
        if ((piece->kind != Markup::Start && piece->kind != Markup::Empty) ||
            local_part(piece->name) != "ClientData")
            continue;
        auto tag = read_tag(text, piece->begin, true);
        if (!tag || value_of(text, tag->find("ObjectType")) != "Note")
            return true;
    }
    return false;
}

InsertionCheck::InsertionCheck(nb::handle template_path, bool restored)
    : path_(nb::borrow(template_path)), restored_(restored) {}

InsertionCheck::Read InsertionCheck::read(const std::string &name) {
    Read out;
    const Package &pkg = *pkg_;
    std::string workbook = workbook_part(pkg);
    if (!workbook.empty())
        local_sheet_ids(parse_part(pkg, workbook), workbook);
    std::vector<Sheet> all = sheets_of(pkg);
    auto sheet = std::find_if(all.begin(), all.end(), [&](const Sheet &s) { return s.name == name; });
    if (sheet == all.end() || sheet->chartsheet)
        return out;
    SheetXml xml = parse_sheet(pkg, sheet->part);
    for (nb::handle breaks : found(xml.root, "{*}rowBreaks/{*}brk"))
        if (auto id = attribute(breaks, "id"))
            required_whole_number(*id, sheets::kRowIndex, sheet->part, "brk id");
    if (!restored_)
        return out;
    auto keep = [&](const std::string &part, const std::vector<Anchor> &anchors) {
        for (const Anchor &a : anchors)
            out.objects.push_back(Object{part, a.top, a.bottom, a.follow});
    };
    keep(sheet->part, object_anchors(xml.root, sheet->part));
    Relationships rels(pkg, sheet->part);
    for (const Relationship &rel : rels.all()) {
        auto part = rels.part_of(pkg, rel);
        if (!part)
            continue;
        if (ends_with(rel.type, "/drawing")) {
            keep(*part, drawing_anchors(parse_part(pkg, *part), *part));
            // Its charts come back with it, and their series move.
            Relationships drawn(pkg, *part);
            for (const Relationship &chart : drawn.all())
                if (auto chart_part = drawn.part_of(pkg, chart); chart_part && ends_with(chart.type, "/chart"))
                    parse_part(pkg, *chart_part);
        } else if (ends_with(rel.type, "/ctrlProp")) {
            parse_part(pkg, *part);
        } else if (ends_with(rel.type, "/vmlDrawing") && vml_beyond_comments(pkg, *part)) {
            nb::bytes vml = read_part(pkg, *part);
            for (const VmlItem &item : vml_items(std::string_view(vml.c_str(), vml.size()), *part))
                if (item.kind != VmlItem::Kind::Link)
                    out.objects.push_back(Object{*part, item.top,
                                                 item.kind == VmlItem::Kind::Anchor ? item.bottom : item.top,
                                                 sheets::Follow::Move});
        }
    }
    return out;
}

void InsertionCheck::check(const std::string &sheet, const Insertions &insertions) {
    if (!pkg_)
        pkg_.emplace(Package::from_zip(path_, "template workbook"));
    auto it = sheets_.find(sheet);
    if (it == sheets_.end()) {
        Read read_now;
        try {
            read_now = read(sheet);
        } catch (const std::invalid_argument &e) {
            read_now.error = e.what();
        } catch (nb::python_error &e) {
            if (is_interrupt(e))
                throw;
            read_now.error = nb::cast<std::string>(reason_of(e));
        } catch (const nb::builtin_exception &e) {
            read_now.error = e.what();
        }
        it = sheets_.emplace(sheet, std::move(read_now)).first;
    }
    const Read &found_now = it->second;
    if (!found_now.error.empty())
        throw std::invalid_argument(found_now.error);
    for (const Object &o : found_now.objects) {
        sheets::Marker top = o.top, bottom = o.bottom;
        if (!sheets::move_anchor(top, bottom, o.follow, insertions))
            pushed_off(o.part, o.top.row);
    }
}

void InsertionCheck::check_next(const std::string &sheet, std::optional<std::vector<Placed>> &moved,
                                sheets::Insertion next) {
    if (!moved) {
        check(sheet, {});
        std::vector<Placed> anchors;
        for (const Object &o : sheets_.at(sheet).objects)
            anchors.push_back(Placed{o.top, o.bottom, o.follow, o.part});
        moved = std::move(anchors);
    }
    std::vector<Placed> now = *moved;
    const Insertions one{next};
    for (Placed &a : now)
        if (!sheets::move_anchor(a.top, a.bottom, a.follow, one))
            pushed_off(a.part, a.top.row);
    moved = std::move(now);
}

}  // namespace tessel::repair
