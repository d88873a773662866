#include "workbook/row_insertion.h"

#include "ooxml/parts.h"
#include "ooxml/xml_text.h"
#include "workbook/sheet_xml.h"
#include "workbook/sheets.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <unordered_map>

namespace tessel::repair {

using namespace nb::literals;
using namespace tessel::ooxml;
using namespace tessel::xml_text;
using sheets::Growth;
using sheets::Insertions;
using sheets::SheetLookup;

namespace {

std::string key_of(std::string_view name) {
    std::string key(name);
    for (char &c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

bool ends_with(const std::string &s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
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
        const std::string f_open = "<" + f_;
        size_t at = 0;
        while ((at = t.find(f_open, at)) != std::string_view::npos) {
            size_t after = at + f_open.size();
            if (after >= t.size() || !(is_space(t[after]) || t[after] == '>' || t[after] == '/')) {
                at = after;
                continue;
            }
            at = formula(at);
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

    // The cell whose data holds the formula at `at`: the last <c> tag before it.
    std::optional<sheets::Area> cell_before(size_t at) const {
        const std::string c_open = "<" + c_;
        for (size_t lt = t_.rfind(c_open, at); lt != std::string_view::npos; lt = t_.rfind(c_open, lt - 1)) {
            size_t after = lt + c_open.size();
            if (after >= t_.size())
                return std::nullopt;
            if (t_[after] == '>' || t_[after] == '/')
                return std::nullopt;  // a cell that does not say where it stands
            if (is_space(t_[after])) {
                auto tag = read_tag(t_, lt, true);
                if (!tag)
                    return std::nullopt;
                return sheets::parse_area(value_of(t_, tag->find("r")));
            }
            if (lt == 0)
                break;
        }
        return std::nullopt;
    }

    void replace(size_t begin, size_t end, const std::string &text) {
        out_.append(t_.substr(copied_, begin - copied_));
        out_ += text;
        copied_ = end;
        changed_ = true;
    }

    // Handles the formula element at `lt`; returns where scanning goes on.
    size_t formula(size_t lt) {
        auto tag = read_tag(t_, lt, true);
        if (!tag)
            return lt + 1;
        size_t end = tag->end;
        std::string_view raw;
        if (!tag->empty) {
            const std::string close = "</" + f_ + ">";
            size_t at = t_.find(close, tag->end);
            if (at == std::string_view::npos)
                return tag->end;
            raw = t_.substr(tag->end, at - tag->end);
            end = at + close.size();
        }
        if (raw.find("<![CDATA[") != std::string_view::npos)
            return end;
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
            if (auto cell = cell_before(lt))
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
        auto cell = cell_before(tag.begin);
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

// The parts of a sheet outside its cell data.
bool move_sheet_tree(nb::handle root, const Insertions *own, const SheetLookup &lookup) {
    bool changed = false;
    if (own) {
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
        // A break's id is the zero-based row under it: it moves with that row.
        for (nb::handle brk : found(root, "{*}rowBreaks/{*}brk")) {
            auto id = attribute(brk, "id");
            if (!id)
                continue;
            long row = std::strtol(id->c_str(), nullptr, 10);
            long moved = sheets::moved_row(row + 1, *own) - 1;
            if (moved >= 0 && moved != row) {
                brk.attr("set")("id", std::to_string(moved));
                changed = true;
            }
        }
    }
    for (nb::handle el : found(root, "{*}conditionalFormatting/{*}cfRule/{*}formula"))
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
    bool changed = move_sheet_tree(sheet.root, own, lookup);
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

void move_defined_names(Package &pkg, const std::vector<Sheet> &all, const SheetInsertions &insertions) {
    std::string workbook = workbook_part(pkg);
    if (workbook.empty())
        return;
    nb::object root = parse_part(pkg, workbook);
    bool changed = false;
    for (nb::handle name : found(root, "{*}definedNames/{*}definedName")) {
        // A reference without a sheet in a sheet's own name is to that sheet.
        const Insertions *local = nullptr;
        if (auto id = attribute(name, "localSheetId")) {
            long position = std::strtol(id->c_str(), nullptr, 10);
            for (const Sheet &s : all)
                if (s.position == position)
                    local = insertions.find(s.name);
        }
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

bool truthy_attribute(nb::handle element, const char *name) {
    auto v = attribute(element, name);
    return v && (*v == "1" || *v == "true");
}

sheets::Marker read_marker(nb::handle marker) {
    sheets::Marker m;
    if (marker.is_none())
        return m;
    nb::object row = marker.attr("find")("{*}row"), off = marker.attr("find")("{*}rowOff");
    if (!row.is_none())
        m.row = std::strtol(text_of(row).c_str(), nullptr, 10);
    if (!off.is_none())
        m.offset = std::strtoll(text_of(off).c_str(), nullptr, 10);
    return m;
}

void write_marker(nb::handle marker, const sheets::Marker &before, const sheets::Marker &after) {
    if (marker.is_none() || before.row == after.row)
        return;
    nb::object row = marker.attr("find")("{*}row");
    if (!row.is_none())
        row.attr("text") = std::to_string(after.row);
}

void move_markers(nb::handle anchor, sheets::Follow follow, const Insertions &insertions) {
    nb::object from = anchor.attr("find")("{*}from"), to = anchor.attr("find")("{*}to");
    sheets::Marker top = read_marker(from), bottom = to.is_none() ? top : read_marker(to);
    sheets::Marker new_top = top, new_bottom = bottom;
    sheets::move_anchor(new_top, new_bottom, to.is_none() ? sheets::Follow::Move : follow, insertions);
    write_marker(from, top, new_top);
    write_marker(to, bottom, new_bottom);
}

// -- VML ------------------------------------------------------------------------

// The numbers of an <x:Anchor>: left column, its offset, top row, its offset, then
// the same for the right and bottom.
std::optional<std::string> moved_vml_anchor(std::string_view text, const Insertions &insertions) {
    std::vector<std::pair<size_t, size_t>> numbers;
    for (size_t i = 0; i < text.size();) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '-') {
            size_t j = i + 1;
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
                ++j;
            numbers.emplace_back(i, j);
            i = j;
        } else {
            ++i;
        }
    }
    if (numbers.size() != 8)
        return std::nullopt;
    auto number = [&](int n) {
        return std::strtoll(std::string(text.substr(numbers[n].first, numbers[n].second - numbers[n].first)).c_str(),
                            nullptr, 10);
    };
    sheets::Marker top{(long) number(2), number(3)}, bottom{(long) number(6), number(7)};
    sheets::Marker new_top = top, new_bottom = bottom;
    sheets::move_anchor(new_top, new_bottom, sheets::Follow::Move, insertions);
    if (new_top.row == top.row && new_bottom.row == bottom.row)
        return std::nullopt;
    std::string out(text.substr(0, numbers[2].first));
    out += std::to_string(new_top.row);
    out.append(text.substr(numbers[2].second, numbers[6].first - numbers[2].second));
    out += std::to_string(new_bottom.row);
    out.append(text.substr(numbers[6].second));
    return out;
}

}  // namespace

SheetInsertions SheetInsertions::from_python(nb::handle mapping) {
    SheetInsertions out;
    if (mapping.is_none())
        return out;
    if (!PyDict_Check(mapping.ptr()))
        throw nb::type_error("inserted rows must be a dict of sheet names to (row, count) pairs");
    for (auto [name, rows] : nb::borrow<nb::dict>(mapping)) {
        if (!PyUnicode_Check(name.ptr()))
            throw nb::type_error("inserted rows are given by sheet name");
        std::string sheet = nb::cast<std::string>(name);
        for (nb::handle pair : rows) {
            if (nb::len(pair) != 2 || !PyLong_Check(nb::object(pair[0]).ptr()) ||
                !PyLong_Check(nb::object(pair[1]).ptr()))
                throw nb::type_error("inserted rows are (row, count) pairs of integers");
            int row_overflow = 0, count_overflow = 0;
            long row = PyLong_AsLongAndOverflow(nb::object(pair[0]).ptr(), &row_overflow);
            long count = PyLong_AsLongAndOverflow(nb::object(pair[1]).ptr(), &count_overflow);
            if (row_overflow || count_overflow || row < 1 || row > sheets::kMaxRow || count < 0 ||
                count > sheets::kMaxRow)
                throw nb::value_error("an inserted row must lie on the sheet, with a count of rows that fits it");
            out.add(sheet, sheets::Insertion{row, count});
        }
    }
    return out;
}

const Insertions *SheetInsertions::find(std::string_view name) const {
    auto it = by_key_.find(key_of(name));
    return it == by_key_.end() ? nullptr : &it->second;
}

void SheetInsertions::add(const std::string &name, sheets::Insertion insertion) {
    if (insertion.count > 0)
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

void move_drawing_anchors(nb::handle drawing, const Insertions &insertions) {
    for (nb::handle anchor : nb::list(drawing.attr("iter")("{*}twoCellAnchor"))) {
        auto edit = attribute(anchor, "editAs").value_or("twoCell");
        sheets::Follow follow = edit == "absolute" ? sheets::Follow::Stay
                                : edit == "oneCell" ? sheets::Follow::Move
                                                    : sheets::Follow::MoveAndSize;
        move_markers(anchor, follow, insertions);
    }
    for (nb::handle anchor : nb::list(drawing.attr("iter")("{*}oneCellAnchor")))
        move_markers(anchor, sheets::Follow::Move, insertions);
}

void move_object_anchors(nb::handle element, const Insertions &insertions) {
    for (nb::handle anchor : nb::list(element.attr("iter")("{*}anchor"))) {
        sheets::Follow follow = !truthy_attribute(anchor, "moveWithCells") ? sheets::Follow::Stay
                                : truthy_attribute(anchor, "sizeWithCells") ? sheets::Follow::MoveAndSize
                                                                            : sheets::Follow::Move;
        move_markers(anchor, follow, insertions);
    }
}

std::string moved_vml(std::string_view vml, const Insertions &insertions, const SheetLookup &lookup) {
    std::string out;
    size_t copied = 0;
    for (size_t lt = vml.find('<'); lt != std::string_view::npos; lt = vml.find('<', lt + 1)) {
        auto tag = read_tag(vml, lt, false);
        if (!tag || tag->name.empty() || tag->name[0] == '/' || tag->name[0] == '!' || tag->name[0] == '?')
            continue;
        std::string_view name = tag->name;
        std::string_view local = name.substr(name.find(':') == std::string_view::npos ? 0 : name.find(':') + 1);
        const bool anchor = local == "Anchor", row = local == "Row";
        const bool link = local == "FmlaLink" || local == "FmlaRange" || local == "FmlaTxbx" || local == "FmlaGroup";
        if (!anchor && !row && !link)
            continue;
        size_t open_end = vml.find('>', lt);
        if (open_end == std::string_view::npos || vml[open_end - 1] == '/')
            continue;
        const std::string close = "</" + std::string(name) + ">";
        size_t close_at = vml.find(close, open_end);
        if (close_at == std::string_view::npos)
            continue;
        std::string_view text = vml.substr(open_end + 1, close_at - open_end - 1);
        std::optional<std::string> moved;
        if (anchor) {
            moved = moved_vml_anchor(text, insertions);
        } else if (row) {
            // The zero-based row of the cell a note or control belongs to.
            std::string digits(text);
            char *end = nullptr;
            long r = std::strtol(digits.c_str(), &end, 10);
            if (end && end != digits.c_str()) {
                long m = sheets::moved_row(r + 1, insertions) - 1;
                if (m >= 0 && m != r)
                    moved = std::to_string(m);
            }
        } else if (auto formula = sheets::moved_formula(unescaped(text), lookup)) {
            moved = escaped(*formula);
        }
        if (!moved)
            continue;
        out.append(vml.substr(copied, open_end + 1 - copied));
        out += *moved;
        copied = close_at;
    }
    if (copied == 0)
        return std::string(vml);
    out.append(vml.substr(copied));
    return out;
}

}  // namespace tessel::repair
