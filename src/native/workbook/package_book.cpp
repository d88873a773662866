#include "workbook/package_book.h"

#include "core/once.h"
#include "core/placeholder.h"
#include "ooxml/parts.h"
#include "ooxml/xml_text.h"
#include "workbook/block_style.h"
#include "workbook/references.h"
#include "workbook/repair.h"
#include "workbook/sheet_pictures.h"
#include "workbook/sheet_xml.h"
#include "workbook/sheets.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <set>
#include <stdexcept>

namespace tessel::native {

using namespace nb::literals;
using namespace tessel::ooxml;
using namespace tessel::xml_text;
using sheets::Insertions;

namespace {

constexpr const char *kStylesType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
constexpr const char *kStylesContent = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml";
const char *const kHeaderKinds[] = {"oddHeader", "oddFooter", "evenHeader", "evenFooter", "firstHeader",
                                    "firstFooter"};

std::string text_of(const nb::bytes &b) { return std::string(b.c_str(), b.size()); }

std::string reference(long row, long column) { return sheets::column_letters(column) + std::to_string(row); }

using Position = unsigned long long;
Position position(long row, long column) { return ((Position) row << 32) | (Position) column; }

// What openpyxl's reader makes of the text of a number.
nb::object number_of(const std::string &text, const std::string &part, long row, long column) {
    const bool real = text.find_first_of(".eE") != std::string::npos;
    PyObject *v = nullptr;
    if (real) {
        nb::str s(text.c_str());
        v = PyFloat_FromString(s.ptr());
    } else {
        v = PyLong_FromString(text.c_str(), nullptr, 10);
    }
    if (!v) {
        PyErr_Clear();
        throw std::invalid_argument("the cell " + reference(row, column) + " of " + part + " holds \"" + text +
                                    "\" where a number belongs");
    }
    return nb::steal(v);
}

// Python's repr of a float, as openpyxl writes a number.
void append_number(std::string &out, nb::handle v) {
    if (PyFloat_Check(v.ptr())) {
        char buffer[32];
        auto done = std::to_chars(buffer, buffer + sizeof buffer, PyFloat_AS_DOUBLE(v.ptr()));
        out.append(buffer, done.ptr);
        return;
    }
    out += nb::cast<std::string>(nb::str(v));
}

void append_text_element(std::string &out, const char *name, std::string_view text) {
    const bool keep = !text.empty() && (is_space(text.front()) || is_space(text.back()));
    out += '<';
    out += name;
    out += keep ? " xml:space=\"preserve\">" : ">";
    out += escaped(text);
    out += "</";
    out += name;
    out += '>';
}

// Python handles kept for the life of the interpreter.
struct Known {
    PyObject *worksheet, *reader, *cell, *merged, *bytes_io, *from_excel, *to_excel, *from_iso, *mac_epoch;
};

const Known &known() {
    return tessel::made_once<Known>([] {
        auto keep = [](nb::object o) { return o.release().ptr(); };
        Known n;
        n.worksheet = keep(nb::module_::import_("openpyxl.worksheet.worksheet").attr("Worksheet"));
        n.reader = keep(nb::module_::import_("openpyxl.worksheet._reader").attr("WorksheetReader"));
        nb::module_ cell = nb::module_::import_("openpyxl.cell.cell");
        n.cell = keep(cell.attr("Cell"));
        n.merged = keep(cell.attr("MergedCell"));
        n.bytes_io = keep(nb::module_::import_("io").attr("BytesIO"));
        nb::module_ dates = nb::module_::import_("openpyxl.utils.datetime");
        n.from_excel = keep(dates.attr("from_excel"));
        n.to_excel = keep(dates.attr("to_excel"));
        n.from_iso = keep(dates.attr("from_ISO8601"));
        n.mac_epoch = keep(dates.attr("CALENDAR_MAC_1904"));
        return n;
    });
}

// A model cell's style ids, read from its StyleArray's buffer.
std::array<int, 9> style_ids(nb::handle cell) {
    std::array<int, 9> ids{};
    block::read_ids(cell.attr("_style"), ids);
    return ids;
}

}  // namespace

long FrameBlock::row_of(Py_ssize_t i) const {
    long r = top + (long) i;
    for (const sheets::Insertion &ins : later)
        if (r > ins.row)
            r += ins.count;
    return r;
}

PackageBook::PackageBook(nb::handle template_path)
    : pkg_(Package::from_zip(template_path, "template workbook")) {
    const Known &k = known();
    const std::string book = repair::workbook_part(pkg_);
    if (book.empty())
        throw nb::value_error("the template workbook has no workbook part");
    nb::object root = parse_part(pkg_, book);
    for (nb::handle pr : root.attr("iterfind")("{*}workbookPr")) {
        nb::object v = pr.attr("get")("date1904");
        date1904_ = !v.is_none() && (nb::str("1").equal(v) || nb::str("true").equal(v));
    }
    Relationships rels(pkg_, book);
    std::optional<std::string> styles_xml;
    std::string styles_part;
    for (const Relationship &rel : rels.all()) {
        auto part = rels.part_of(pkg_, rel);
        if (!part)
            continue;
        if (ends_with(rel.type, "/styles")) {
            styles_xml = text_of(read_part(pkg_, *part));
            styles_part = *part;
        } else if (ends_with(rel.type, "/sharedStrings")) {
            shared_ = sheets::read_shared_strings(text_of(read_part(pkg_, *part)));
        }
    }
    try {
        workbook_ = styles::styled_workbook(styles_xml);
    } catch (nb::python_error &e) {
        if (tessel::is_interrupt(e))
            throw;
        // openpyxl's reader of the styles says what it met, not where.
        throw nb::value_error(("the styles part " + styles_part + " of the template workbook cannot be read: " +
                               nb::cast<std::string>(tessel::reason_of(e)))
                                  .c_str());
    }
    if (date1904_)
        workbook_.attr("epoch") = nb::handle(k.mac_epoch);
    styles_ = std::make_unique<styles::StyleSheet>(workbook_, styles_xml);
    for (const repair::Sheet &s : repair::sheets_of(pkg_)) {
        if (s.chartsheet)
            continue;
        PackageSheet sheet;
        sheet.name = s.name;
        sheet.part = s.part;
        read_sheet(sheet);
        sheets_.push_back(std::move(sheet));
    }
}

PackageSheet *PackageBook::sheet_of(nb::handle model) {
    for (PackageSheet &s : sheets_)
        if (s.model.is(model))
            return &s;
    return nullptr;
}

void PackageBook::read_sheet(PackageSheet &sheet) {
    const Known &k = known();
    std::string text = text_of(read_part(pkg_, sheet.part));
    if (!repair::declared_utf8(text))
        throw nb::value_error(("the sheet part " + sheet.part + " is not written in UTF-8").c_str());
    sheets::SheetCells cells = sheets::read_sheet_cells(std::move(text), sheet.part);
    std::string_view t = cells.view();

    nb::object ws = nb::handle(k.worksheet)(workbook_, "title"_a = sheet.name);
    sheet.model = ws;
    // Everything but the cells, read by openpyxl's own reader.
    std::string shell(t.substr(0, cells.data_open));
    shell += "<" + cells.data_qname + "/>";
    if (cells.data_close != std::string_view::npos)
        shell.append(t.substr(cells.data_close + cells.data_qname.size() + 3));
    else
        shell.append(t.substr(cells.data_body));
    nb::object reader = nb::handle(k.reader)(ws, nb::handle(k.bytes_io)(nb::bytes(shell.data(), shell.size())),
                                             nb::list(), false, false);
    reader.attr("bind_cells")();  // reads the part; there are no cells in it to bind
    reader.attr("bind_merged_cells")();
    reader.attr("bind_col_dimensions")();
    reader.attr("bind_properties")();

    nb::object dims = ws.attr("row_dimensions");
    for (const sheets::TemplateRow &row : cells.rows) {
        if (auto tag = read_tag(t, row.tag_begin, true)) {
            std::string_view ht = value_of(t, tag->find("ht"));
            if (!ht.empty()) {
                nb::str s(std::string(ht).c_str());
                PyObject *v = PyFloat_FromString(s.ptr());
                if (v)
                    dims[nb::int_(row.number)].attr("ht") = nb::steal(v);
                else
                    PyErr_Clear();
            }
        }
    }

    nb::dict store = nb::borrow<nb::dict>(ws.attr("_cells"));
    nb::dict date_styles = nb::dict();
    nb::object date_formats = workbook_.attr("_date_formats");
    nb::object duration_formats = workbook_.attr("_timedelta_formats");
    auto holds = [](nb::handle set, nb::handle item) {
        const int found = PySequence_Contains(set.ptr(), item.ptr());
        if (found < 0)
            throw nb::python_error();
        return found == 1;
    };
    nb::object epoch = workbook_.attr("epoch");
    std::map<long, nb::object> arrays;
    std::map<long, const sheets::TemplateCell *> masters;  // shared formulas by si
    unsigned long count = 0;
    for (const sheets::TemplateCell &c : cells.cells) {
        if ((++count & 0xFFF) == 0)
            tessel::check_signals();
        sheet.cached_results = sheet.cached_results || (c.has_formula && c.has_value);
        long s = 0;
        if (!c.style.empty()) {
            auto v = ooxml::whole_number(c.style, ooxml::Bounds{0, 1 << 24});
            if (!v)
                throw std::invalid_argument("the cell " + reference(c.row, c.column) + " of " + sheet.part +
                                            " names the style \"" + std::string(c.style) + "\"");
            s = (long) *v;
        }
        auto found = arrays.find(s);
        if (found == arrays.end())
            found = arrays.emplace(s, styles_->array_of(s)).first;
        nb::object value = nb::none();
        const char *type = "n";
        if (c.has_formula) {
            type = "f";
            std::string formula = "=" + c.formula;
            if (c.formula_type == "array") {
                value = nb::module_::import_("openpyxl.worksheet.formula")
                            .attr("ArrayFormula")("ref"_a = nb::none(), "text"_a = formula);
            } else if (c.formula_type == "shared" && c.shared_index >= 0) {
                auto master = masters.find(c.shared_index);
                if (master != masters.end()) {
                    formula = "=" + sheets::translated_formula(master->second->formula, c.row - master->second->row,
                                                              c.column - master->second->column);
                } else if (!c.formula.empty()) {
                    masters[c.shared_index] = &c;
                }
                value = nb::str(formula.data(), formula.size());
            } else {
                value = nb::str(formula.data(), formula.size());
            }
        } else if (c.type == "s") {
            if (c.has_value) {
                auto index = ooxml::whole_number(c.value, ooxml::Bounds{0, (long long) shared_.size() - 1});
                if (!index)
                    throw std::invalid_argument("the cell " + reference(c.row, c.column) + " of " + sheet.part +
                                                " names the shared string \"" + c.value + "\", which the workbook "
                                                "does not hold");
                const std::string &text = shared_[(size_t) *index];
                value = nb::str(text.data(), text.size());
                type = "s";
            }
        } else if (c.type == "inlineStr") {
            if (c.has_inline) {
                value = nb::str(c.inline_text.data(), c.inline_text.size());
                type = "s";
            }
        } else if (c.type == "str") {
            value = nb::str(c.value.data(), c.value.size());
            type = "s";
        } else if (c.type == "b") {
            if (c.has_value) {
                value = nb::bool_(number_of(c.value, sheet.part, c.row, c.column).attr("__bool__")());
                type = "b";
            }
        } else if (c.type == "e") {
            value = nb::str(c.value.data(), c.value.size());
            type = "e";
        } else if (c.type == "d") {
            if (c.has_value) {
                value = nb::handle(k.from_iso)(nb::str(c.value.data(), c.value.size()));
                type = "d";
            }
        } else if (c.has_value) {
            value = number_of(c.value, sheet.part, c.row, c.column);
            nb::int_ id(s);
            if (holds(date_formats, id)) {
                try {
                    value = nb::handle(k.from_excel)(value, epoch,
                                                     "timedelta"_a = nb::bool_(holds(duration_formats, id)));
                    type = "d";
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_OverflowError) && !e.matches(PyExc_ValueError))
                        throw;
                    value = nb::str("#VALUE!");
                    type = "e";
                }
            }
        }
        nb::object key = nb::make_tuple(c.row, c.column);
        PyObject *existing = PyDict_GetItemWithError(store.ptr(), key.ptr());
        if (!existing && PyErr_Occurred())
            throw nb::python_error();
        nb::object cell;
        if (existing && Py_TYPE(existing) == (PyTypeObject *) k.merged) {
            cell = nb::borrow(existing);  // under a merge: written back as the template has it
        } else {
            cell = nb::handle(k.cell)(ws, c.row, c.column, nb::none(), found->second);
            cell.attr("_value") = value;
            cell.attr("data_type") = type;
            store[key] = cell;
        }
        sheet.origins_[cell.ptr()] = PackageSheet::Origin{c.row, c.column, cell.attr("_value"), style_ids(cell)};
        sheet.kept_.push_back(cell);
    }
    // Cells past the grid are kept where their reference puts them, so that the
    // walk reports their placeholders as it does openpyxl's; they are never written.
    for (const sheets::TemplateCell &c : cells.outside) {
        size_t letters = c.reference.find_first_of("0123456789");
        long column = 0;
        for (size_t i = 0; i < letters; ++i)
            column = column * 26 + (c.reference[i] - 'A' + 1);
        nb::object row = nb::steal(PyLong_FromString(c.reference.c_str() + letters, nullptr, 10));
        if (!row.is_valid())
            throw nb::python_error();
        std::string text;
        if (c.has_formula)
            text = "=" + c.formula;
        else if (c.type == "inlineStr")
            text = c.inline_text;
        else if (c.type == "str")
            text = c.value;
        else if (c.type == "s" && c.has_value)
            if (auto index = ooxml::whole_number(c.value, ooxml::Bounds{0, (long long) shared_.size() - 1}))
                text = shared_[(size_t) *index];
        nb::object cell = nb::handle(k.cell)(ws, row, column);
        cell.attr("_value") = nb::str(text.data(), text.size());
        cell.attr("data_type") = "s";
        store[nb::make_tuple(row, column)] = cell;
        sheet.origins_[cell.ptr()] = PackageSheet::Origin{0, 0, cell.attr("_value"), style_ids(cell)};
        sheet.kept_.push_back(cell);
    }
    if (!cells.cells.empty())
        ws.attr("_current_row") = cells.cells.back().row;
}

bool PackageBook::changed(const PackageSheet &sheet) const {
    if (!sheet.blocks.empty() || !sheet.headers.empty())
        return true;
    nb::dict store = nb::borrow<nb::dict>(sheet.model.attr("_cells"));
    if ((size_t) PyDict_GET_SIZE(store.ptr()) != sheet.origins_.size())
        return true;
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(store.ptr(), &at, &key, &value)) {
        auto origin = sheet.origins_.find(value);
        if (origin == sheet.origins_.end())
            return true;
        nb::handle cell(value);
        if (Py_TYPE(value) == (PyTypeObject *) known().merged)
            continue;
        const PackageSheet::Origin &o = origin->second;
        if (!cell.attr("_value").is(o.value) || style_ids(cell) != o.style ||
            nb::cast<long>(cell.attr("row")) != o.row)
            return true;
    }
    return false;
}

// Rows inserted into a sheet move what its template parts anchor to rows; the
// workbook-wide references have moved with move_references.
void PackageBook::move_objects(const PackageSheet &sheet, const Insertions &own,
                               const repair::SheetInsertions &all) {
    sheets::SheetLookup lookup = [&](std::string_view name) { return name.empty() ? &own : all.find(name); };
    auto move_refs = [&](nb::handle root, const char *path) {
        bool moved = false;
        for (nb::handle el : nb::list(root.attr("iterfind")(path))) {
            nb::object ref = el.attr("get")("ref");
            if (ref.is_none())
                continue;
            std::string text = nb::cast<std::string>(ref);
            std::string now = sheets::moved_area_list(text, own, sheets::Growth::Cells);
            if (now.empty())
                el.attr("getparent")().attr("remove")(el);  // its cells were deleted
            else if (now != text)
                el.attr("set")("ref", now);
            moved = moved || now != text;
        }
        return moved;
    };
    // The sheet's cells are written anew, so its part is rewritten anyway.
    repair::SheetXml xml = repair::parse_sheet(pkg_, sheet.part);
    move_refs(xml.root, "{*}hyperlinks/{*}hyperlink");
    repair::move_object_anchors(xml.root, own, sheet.part);
    repair::write_sheet(pkg_, sheet.part, xml);

    Relationships rels(pkg_, sheet.part);
    for (const Relationship &rel : rels.all()) {
        auto part = rels.part_of(pkg_, rel);
        if (!part)
            continue;
        if (ends_with(rel.type, "/drawing")) {
            nb::object drawing = parse_part(pkg_, *part);
            repair::move_drawing_anchors(drawing, own, *part);
            write_part(pkg_, *part, drawing);
        } else if (ends_with(rel.type, "/vmlDrawing")) {
            nb::bytes vml = read_part(pkg_, *part);
            std::string now = repair::moved_vml(std::string_view(vml.c_str(), vml.size()), own, lookup, *part);
            pkg_.write(*part, nb::bytes(now.data(), now.size()));
        } else if (ends_with(rel.type, "/comments") || ends_with(rel.type, "/threadedComment")) {
            nb::object root = parse_part(pkg_, *part);
            if (move_refs(root, ".//{*}comment") | move_refs(root, ".//{*}threadedComment"))
                write_part(pkg_, *part, root);
        }
    }
}

namespace {

constexpr const char *kWorksheetType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";

// A part name the package does not hold yet: "xl/tables/table3.xml" for
// "xl/tables/table1.xml", numbered on from the digits its name ends with.
std::string fresh_part(const Package &pkg, const std::string &like) {
    const size_t slash = like.rfind('/') + 1, dot = like.rfind('.');
    const size_t stem_end = dot == std::string::npos || dot < slash ? like.size() : dot;
    size_t digits = stem_end;
    while (digits > slash && like[digits - 1] >= '0' && like[digits - 1] <= '9')
        --digits;
    const std::string head = like.substr(0, digits), tail = like.substr(stem_end);
    for (long n = 1;; ++n) {
        std::string name = head + std::to_string(n) + tail;
        if (!pkg.has(name))
            return name;
    }
}

// Parts that several sheets may point at: a copy shares them.
bool shared_target(const std::string &type) {
    for (const char *kind : {"/image", "/audio", "/video", "/media", "/oleObject", "/package", "/hyperlink"})
        if (ends_with(type, kind))
            return true;
    return false;
}

// `formula` with the sheet `from` (in any case) named `to`; nothing when it does
// not name that sheet.
std::optional<std::string> with_sheet_renamed(const std::string &formula, const std::string &from,
                                              const std::string &to) {
    const std::string key = repair::folded_name(from);
    return sheets::renamed_sheet(formula, [&](std::string_view n) { return repair::folded_name(n) == key; }, to);
}

// Gives the text of each element that `paths` find under `root` to `change`, and
// sets what it returns; true when some text changed.
template <typename Change>
bool rewrite_texts(nb::handle root, std::initializer_list<const char *> paths, Change &&change) {
    bool changed = false;
    for (const char *path : paths) {
        for (nb::handle el : root.attr("iterfind")(path)) {
            nb::object text = el.attr("text");
            if (text.is_none())
                continue;
            if (std::optional<std::string> now = change(nb::cast<std::string>(text))) {
                el.attr("text") = *now;
                changed = true;
            }
        }
    }
    return changed;
}

// The parts a part owns: those its relationships point at, and theirs, but for
// those that parts share.
void owned_parts(const Package &pkg, const std::string &part, std::set<std::string> &out) {
    Relationships rels(pkg, part);
    for (const Relationship &rel : rels.all()) {
        if (rel.external || shared_target(rel.type))
            continue;
        if (auto target = rels.part_of(pkg, rel))
            if (out.insert(*target).second)
                owned_parts(pkg, *target, out);
    }
}

}  // namespace

// Copies a part under a fresh name with its relationships, the parts they point
// at copied too, but for those that parts share; returns the copy's name.  Tables
// of `leaving` give up their names to the copies.
// Formulas inside a part (a chart's series) that name the sheet being copied
// name the copy.
std::string PackageBook::copy_part(const std::string &from, ContentTypes &types, const std::set<std::string> &leaving,
                                   const std::pair<std::string, std::string> &sheet) {
    const std::string to = fresh_part(pkg_, from);
    pkg_.write(to, read_part(pkg_, from));
    if (auto type = types.override_of(from))
        types.add_override(to, *type);
    Relationships source(pkg_, from), copy(pkg_, to);
    for (const Relationship &rel : source.all()) {
        auto part = rel.external ? std::nullopt : source.part_of(pkg_, rel);
        if (!part) {
            copy.add(rel.id, rel.type, rel.target, rel.external);
            continue;
        }
        const std::string target = shared_target(rel.type) ? *part : copy_part(*part, types, leaving, sheet);
        copy.add(rel.id, rel.type, relative_target(to, target), false);
        if (ends_with(rel.type, "/table")) {
            // Table names and ids are the workbook's: the copy takes fresh ones.
            nb::object root = parse_part(pkg_, target);
            long id = 1;
            std::set<std::string> names;
            for (const std::string &name : pkg_.names()) {
                if (name == target || leaving.count(name) || name.find("tables/") == std::string::npos ||
                    !ends_with(name, ".xml"))
                    continue;
                nb::object other = parse_part(pkg_, name);
                nb::object other_id = other.attr("get")("id"), other_name = other.attr("get")("name");
                if (!other_id.is_none())
                    id = std::max(id, std::stol(nb::cast<std::string>(other_id)) + 1);
                if (!other_name.is_none())
                    names.insert(repair::folded_name(nb::cast<std::string>(other_name)));
            }
            nb::object name = root.attr("get")("displayName");
            std::string base = name.is_none() ? "Table" : nb::cast<std::string>(name), fresh = base;
            for (long n = 2; names.count(repair::folded_name(fresh)); ++n)
                fresh = base + "_" + std::to_string(n);
            root.attr("set")("id", std::to_string(id));
            root.attr("set")("name", fresh);
            root.attr("set")("displayName", fresh);
            write_part(pkg_, target, root);
        }
    }
    if (!copy.all().empty())
        copy.save(pkg_);
    if (ends_with(to, ".xml") && to.find("charts/") != std::string::npos) {
        nb::object root = parse_part(pkg_, to);
        if (rewrite_texts(root, {".//{*}f"},
                          [&](const std::string &f) { return with_sheet_renamed(f, sheet.first, sheet.second); }))
            write_part(pkg_, to, root);
    }
    return to;
}

void PackageBook::repeat_sheet(size_t index, const std::vector<std::string> &names) {
    const std::string book = repair::workbook_part(pkg_);
    nb::object root = parse_part(pkg_, book);
    Relationships rels(pkg_, book);
    ContentTypes types(pkg_);
    const std::string rid = clark(kOfficeRelNs, "id");
    const PackageSheet &original = sheets_[index];
    nb::object all = root.attr("find")("{*}sheets");
    nb::object element;
    long position = 0, max_id = 0;
    for (nb::handle sheet : all.attr("iterfind")("{*}sheet")) {
        nb::object id = sheet.attr("get")(rid.c_str());
        nb::object sheet_id = sheet.attr("get")("sheetId");
        if (!sheet_id.is_none())
            max_id = std::max(max_id, std::stol(nb::cast<std::string>(sheet_id)));
        if (!element.is_valid() && !id.is_none()) {
            const Relationship *rel = rels.find(nb::cast<std::string>(id));
            if (rel && rels.part_of(pkg_, *rel) == original.part) {
                element = nb::borrow(sheet);
                continue;
            }
        }
        if (!element.is_valid())
            ++position;
    }
    const long count = (long) names.size();
    if (!element.is_valid())
        throw std::invalid_argument("the workbook lists no sheet " + original.name);
    if (count == 0 && nb::len(all) == 1)
        throw std::invalid_argument("a workbook keeps at least one sheet");

    std::set<std::string> owned;
    owned_parts(pkg_, original.part, owned);
    std::vector<PackageSheet> copies;
    nb::object after = element;
    for (long k = 0; k < count; ++k) {
        const std::string part = copy_part(original.part, types, owned, {original.name, names[(size_t) k]});
        if (k > 0) {
            // One selected sheet: several would open grouped.
            std::string text = text_of(read_part(pkg_, part));
            for (size_t at; (at = text.find(" tabSelected=\"1\"")) != std::string::npos;)
                text.erase(at, 16);
            pkg_.write(part, nb::bytes(text.data(), text.size()));
        }
        nb::object sheet = element.attr("__copy__")();
        sheet.attr("set")("name", names[(size_t) k]);
        sheet.attr("set")("sheetId", std::to_string(++max_id));
        sheet.attr("set")(rid.c_str(), rels.add("", kWorksheetType, relative_target(book, part), false));
        after.attr("addnext")(sheet);
        after = sheet;
        PackageSheet copy;
        copy.name = names[(size_t) k];
        copy.part = part;
        copies.push_back(std::move(copy));
    }
    rels.remove(nb::cast<std::string>(element.attr("get")(rid.c_str())));
    all.attr("remove")(element);
    owned.insert(original.part);
    for (const std::string &part : owned) {
        pkg_.remove(part);
        if (pkg_.has(rels_part_of(part)))
            pkg_.remove(rels_part_of(part));
    }

    // Names local to the sheet, one for each copy; those of later sheets count on.
    nb::object defined = root.attr("find")("{*}definedNames");
    if (!defined.is_none()) {
        for (nb::handle name : nb::list(defined.attr("findall")("{*}definedName"))) {
            nb::object local = name.attr("get")("localSheetId");
            if (local.is_none())
                continue;
            const long id = std::stol(nb::cast<std::string>(local));
            if (id > position) {
                name.attr("set")("localSheetId", std::to_string(id + count - 1));
            } else if (id == position) {
                nb::object last = nb::borrow(name);
                for (long k = 0; k < count; ++k) {
                    nb::object copy = name.attr("__copy__")();
                    copy.attr("set")("localSheetId", std::to_string(position + k));
                    nb::object text = name.attr("text");
                    if (!text.is_none())
                        if (auto renamed = with_sheet_renamed(nb::cast<std::string>(text), original.name, names[(size_t) k]))
                            copy.attr("text") = *renamed;
                    last.attr("addnext")(copy);
                    last = copy;
                }
                defined.attr("remove")(name);
            }
        }
    }
    for (nb::handle view : root.attr("iterfind")("{*}bookViews/{*}workbookView")) {
        nb::object tab = view.attr("get")("activeTab");
        if (!tab.is_none() && std::stol(nb::cast<std::string>(tab)) > position)
            view.attr("set")("activeTab", std::to_string(std::max(position, std::stol(nb::cast<std::string>(tab)) + count - 1)));
    }
    write_part(pkg_, book, root);
    rels.save(pkg_);
    types.prune(pkg_);
    types.save(pkg_);
    if (count > 0)
        renamed_.emplace_back(original.name, names[0]);
    sheets_.erase(sheets_.begin() + (std::ptrdiff_t) index);
    for (long k = 0; k < count; ++k) {
        read_sheet(copies[(size_t) k]);
        sheets_.insert(sheets_.begin() + (std::ptrdiff_t) index + k, std::move(copies[(size_t) k]));
    }
}

// Formulas that name a repeated sheet name its first copy.
void PackageBook::rename_sheets() {
    if (renamed_.empty())
        return;
    auto rename = [&](const std::string &formula) -> std::optional<std::string> {
        std::optional<std::string> out;
        for (const auto &[from, to] : renamed_)
            if (auto now = with_sheet_renamed(out ? *out : formula, from, to))
                out = std::move(now);
        return out;
    };
    const std::string book = repair::workbook_part(pkg_);
    nb::object root = parse_part(pkg_, book);
    if (rewrite_texts(root, {"{*}definedNames/{*}definedName"}, rename))
        write_part(pkg_, book, root);
    // Cell formulas, conditional formats and validations of the sheets, and the series of charts.
    std::vector<std::string> parts;
    for (const PackageSheet &sheet : sheets_)
        parts.push_back(sheet.part);
    for (const std::string &name : pkg_.names())
        if (name.find("charts/chart") != std::string::npos && ends_with(name, ".xml"))
            parts.push_back(name);
    for (const std::string &part : parts) {
        nb::object xml = parse_part(pkg_, part);
        if (rewrite_texts(xml, {".//{*}f", ".//{*}formula", ".//{*}formula1", ".//{*}formula2"}, rename))
            write_part(pkg_, part, xml);
    }
}

void PackageBook::save(nb::handle target, nb::handle inserted, int compress_level) {
    repair::SheetInsertions all = repair::SheetInsertions::from_python(inserted, true);
    pkg_.set_compress_level(compress_level);
    rename_sheets();
    if (!all.empty()) {
        repair::move_references(pkg_, all);
        for (const PackageSheet &sheet : sheets_)
            if (const Insertions *own = all.find(sheet.name))
                move_objects(sheet, *own, all);
    }
    std::vector<std::optional<std::string>> drawing_ids;
    std::vector<char> rewritten;
    bool wrote = !all.empty();
    for (PackageSheet &sheet : sheets_) {
        nb::object images = sheet.model.attr("_images");
        drawing_ids.push_back(nb::len(images) ? pictures::add_pictures(pkg_, sheet.part, images) : std::nullopt);
        rewritten.push_back(drawing_ids.back() || all.find(sheet.name) || changed(sheet));
        wrote = wrote || rewritten.back();
    }
    // A formula's last result, kept in the file, may no longer hold once cells it
    // reads have changed: readers that show it without calculating (LibreOffice,
    // viewers) would show a wrong figure.  So results go where anything was
    // written, and Excel is told to calculate everything on opening.
    for (size_t k = 0; k < sheets_.size(); ++k) {
        PackageSheet &sheet = sheets_[k];
        if (rewritten[k] || (wrote && sheet.cached_results))
            write_sheet(sheet, all, drawing_ids[k], wrote);
    }
    if (wrote)
        recalculate_on_load();
    if (std::optional<std::string> styles = styles_->finished()) {
        const std::string book = repair::workbook_part(pkg_);
        Relationships rels(pkg_, book);
        std::optional<std::string> part;
        for (const Relationship &rel : rels.all())
            if (ends_with(rel.type, "/styles"))
                part = rels.part_of(pkg_, rel);
        if (!part) {
            part = part_folder(book).empty() ? "styles.xml" : part_folder(book) + "/styles.xml";
            rels.add("", kStylesType, relative_target(book, *part), false);
            rels.save(pkg_);
            ContentTypes types(pkg_);
            types.add_override(*part, kStylesContent);
            types.save(pkg_);
        }
        pkg_.write(*part, nb::bytes(styles->data(), styles->size()));
    }
    // A part the package gives no content type is one a reader may refuse.
    ContentTypes types(pkg_);
    bool typed = false;
    for (const std::string &name : pkg_.names()) {
        if (name == "[Content_Types].xml" || !types.present() || types.type_of(name))
            continue;
        if (auto type = repair::known_default(extension_of(name))) {
            types.add_default(extension_of(name), *type);
            typed = true;
        }
    }
    if (typed)
        types.save(pkg_);
    pkg_.commit(target);
}

namespace {

// One row of a sheet as written, but for the cells of frame blocks.
struct OutRow {
    long number = 0;
    std::string open;   // the start tag, without its ">" (so a height can be added)
    bool has_height = false;
    bool from_template = false;
    std::vector<std::pair<long, std::string>> cells;  // by column
};

// The filled texts of a sheet's headers and footers, put into the tail of its part.
std::string with_headers(std::string_view tail, const std::map<std::string, std::string> &filled) {
    if (filled.empty())
        return std::string(tail);
    std::string out;
    size_t copied = 0;
    for (auto piece = next_markup(tail, 0); piece; piece = next_markup(tail, piece->end)) {
        if (piece->kind != Markup::Start && piece->kind != Markup::Empty)
            continue;
        auto it = filled.find(std::string(local_part(piece->name)));
        if (it == filled.end())
            continue;
        auto tag = read_tag(tail, piece->begin, true);
        if (!tag)
            continue;
        std::string open = rewritten_tag(tail, *tag, {}, {"xml:space"}, false);
        const std::string &text = it->second;
        const bool keep = !text.empty() && (is_space(text.front()) || is_space(text.back()) ||
                                            text.find('\n') != std::string::npos);
        if (keep)
            open.insert(open.size() - 1, " xml:space=\"preserve\"");
        size_t end = piece->end;
        if (piece->kind == Markup::Start) {
            auto close = next_markup(tail, piece->end);
            while (close && close->kind != Markup::End)
                close = next_markup(tail, close->end);
            if (!close)
                break;
            end = close->end;
        }
        out.append(tail.substr(copied, piece->begin - copied));
        out += open + escaped(text) + "</" + std::string(piece->name) + ">";
        copied = end;
    }
    out.append(tail.substr(copied));
    return out;
}

// The tail of a sheet part with more merged ranges: added to its mergeCells, or
// in a mergeCells of its own where the schema puts it.
std::string with_merges(std::string_view tail, const std::vector<std::string> &refs, const std::string &prefix) {
    std::string added;
    for (const std::string &ref : refs)
        added += "<" + prefix + "mergeCell ref=\"" + ref + "\"/>";
    static const char *const kAfter[] = {"phoneticPr", "conditionalFormatting", "dataValidations", "hyperlinks",
                                         "printOptions", "pageMargins", "pageSetup", "headerFooter", "rowBreaks",
                                         "colBreaks", "customProperties", "cellWatches", "ignoredErrors",
                                         "smartTags", "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF",
                                         "picture", "oleObjects", "controls", "webPublishItems", "tableParts",
                                         "extLst"};
    long depth = 0;
    std::optional<size_t> before;
    for (auto piece = next_markup(tail, 0); piece; piece = next_markup(tail, piece->end)) {
        const bool open = piece->kind == Markup::Start, empty = piece->kind == Markup::Empty;
        if ((open || empty) && depth == 0 && local_part(piece->name) == "mergeCells") {
            auto tag = read_tag(tail, piece->begin, true);
            if (!tag)
                break;
            long count = 0;
            std::string_view written = value_of(tail, tag->find("count"));
            if (auto n = ooxml::whole_number(written, ooxml::kCount))
                count = (long) *n;
            std::vector<std::pair<std::string_view, std::string>> values;
            if (tag->find("count"))
                values.push_back({"count", std::to_string(count + (long) refs.size())});
            std::string start = rewritten_tag(tail, *tag, values, {}, false);
            std::string out(tail.substr(0, piece->begin));
            if (empty)
                return out + start + added + "</" + std::string(piece->name) + ">" + std::string(tail.substr(piece->end));
            // The new ranges go last, before the element's end tag.
            long inner = 1;
            auto next = next_markup(tail, piece->end);
            for (; next; next = next_markup(tail, next->end)) {
                if (next->kind == Markup::Start)
                    ++inner;
                else if (next->kind == Markup::End && --inner == 0)
                    break;
            }
            if (!next)
                break;
            return out + start + std::string(tail.substr(piece->end, next->begin - piece->end)) + added +
                   std::string(tail.substr(next->begin));
        }
        if ((open || empty) && depth == 0 && !before &&
            std::find(std::begin(kAfter), std::end(kAfter), local_part(piece->name)) != std::end(kAfter))
            before = piece->begin;
        if (open)
            ++depth;
        else if (piece->kind == Markup::End && --depth < 0)
            break;  // the worksheet's own end tag
    }
    if (!before) {
        // Before the worksheet's end tag.
        const size_t end = tail.rfind("</");
        before = end == std::string_view::npos ? tail.size() : end;
    }
    std::string element = "<" + prefix + "mergeCells count=\"" + std::to_string(refs.size()) + "\">" + added + "</" +
                          prefix + "mergeCells>";
    return std::string(tail.substr(0, *before)) + element + std::string(tail.substr(*before));
}

}  // namespace

void PackageBook::recalculate_on_load() {
    const std::string book = repair::workbook_part(pkg_);
    nb::object root = parse_part(pkg_, book);
    nb::object calc = root.attr("find")("{*}calcPr");
    if (calc.is_none()) {
        // In its schema place: after the last of the elements that come before it.
        static const char *const kBefore[] = {"fileVersion", "fileSharing", "workbookPr", "workbookProtection",
                                              "bookViews", "sheets", "functionGroups", "externalReferences",
                                              "definedNames"};
        nb::handle after;
        for (nb::handle child : root) {
            nb::object tag = child.attr("tag");
            if (!PyUnicode_Check(tag.ptr()))
                continue;
            std::string local = nb::cast<std::string>(tag);
            local = local.substr(local.find('}') + 1);
            if (std::find(std::begin(kBefore), std::end(kBefore), local) != std::end(kBefore))
                after = child;
        }
        std::string ns = nb::cast<std::string>(root.attr("tag"));
        ns = ns.substr(0, ns.find('}') + 1);
        calc = nb::module_::import_("lxml.etree").attr("Element")(nb::str((ns + "calcPr").c_str()));
        if (after.is_valid())
            after.attr("addnext")(calc);
        else
            root.attr("insert")(0, calc);
    }
    calc.attr("set")("fullCalcOnLoad", "1");
    write_part(pkg_, book, root);
    // The calculation chain lists formula cells by place, which moved or went.
    Relationships rels(pkg_, book);
    for (const Relationship &rel : std::vector<Relationship>(rels.all())) {
        if (!ends_with(rel.type, "/calcChain"))
            continue;
        if (auto part = rels.part_of(pkg_, rel))
            pkg_.remove(*part);
        rels.remove(rel.id);
    }
    rels.save(pkg_);
    ContentTypes types(pkg_);
    types.prune(pkg_);
    types.save(pkg_);
}

void PackageBook::write_sheet(PackageSheet &sheet, const repair::SheetInsertions &all,
                              const std::optional<std::string> &drawing_id, bool recalculate) {
    const Known &k = known();
    auto cells = std::make_shared<sheets::SheetCells>(
        sheets::read_sheet_cells(text_of(read_part(pkg_, sheet.part)), sheet.part));
    std::string_view t = cells->view();
    const Insertions *own = all.find(sheet.name);
    static const Insertions none;
    const Insertions &moves = own ? *own : none;
    sheets::SheetLookup lookup = [&](std::string_view name) { return name.empty() ? own : all.find(name); };

    std::map<Position, size_t> template_cells;  // template position -> index
    for (size_t i = 0; i < cells->cells.size(); ++i)
        template_cells[position(cells->cells[i].row, cells->cells[i].column)] = i;

    // The rows as written, template rows first.
    std::map<long, OutRow> rows;
    long min_row = sheets::kMaxRow + 1, max_row = 0, min_column = sheets::kMaxColumn + 1, max_column = 0;
    auto extend = [&](long r, long c) {
        min_row = std::min(min_row, r);
        max_row = std::max(max_row, r);
        min_column = std::min(min_column, c);
        max_column = std::max(max_column, c);
    };
    nb::object dims = sheet.model.attr("row_dimensions");
    for (const sheets::TemplateRow &row : cells->rows) {
        const long number = sheets::moved_row(row.number, moves);
        if (!number)
            continue;
        auto tag = read_tag(t, row.tag_begin, true);
        if (!tag)
            continue;
        OutRow &out = rows[number];
        out.number = number;
        out.from_template = true;
        out.has_height = tag->find("ht") != nullptr;
        out.open = rewritten_tag(t, *tag, {{"r", std::to_string(number)}}, {"spans"}, false);
        out.open.pop_back();
        if (!tag->find("r"))
            out.open += " r=\"" + std::to_string(number) + "\"";
    }

    // The model's cells: as the template wrote them where the fill left them alone.
    nb::dict store = nb::borrow<nb::dict>(sheet.model.attr("_cells"));
    nb::object epoch = workbook_.attr("epoch");
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(store.ptr(), &at, &key, &value)) {
        nb::handle cell(value);
        const long r = nb::cast<long>(nb::handle(PyTuple_GET_ITEM(key, 0)));
        const long c = nb::cast<long>(nb::handle(PyTuple_GET_ITEM(key, 1)));
        if (r < 1 || r > sheets::kMaxRow || c < 1 || c > sheets::kMaxColumn)
            continue;
        auto origin = sheet.origins_.find(value);
        const bool merged = Py_TYPE(value) == (PyTypeObject *) k.merged;
        std::string xml;
        if (origin != sheet.origins_.end()) {
            const PackageSheet::Origin &o = origin->second;
            const bool same = merged || (cell.attr("_value").is(o.value) && style_ids(cell) == o.style);
            if (same) {
                auto raw = template_cells.find(position(o.row, o.column));
                if (raw == template_cells.end())
                    continue;
                const sheets::TemplateCell &tc = cells->cells[raw->second];
                std::string_view markup = cells->markup(tc.begin, tc.end);
                const std::string ref = reference(r, c);
                if (recalculate && tc.has_formula && tc.has_value) {
                    // Without its last result, and without the type of that result.
                    auto tag = read_tag(t, tc.begin, true);
                    if (!tag)
                        continue;
                    xml = rewritten_tag(t, *tag, {{"r", ref}}, {"t"}, false);
                    if (!tag->find("r"))
                        xml.insert(xml.size() - 1, " r=\"" + ref + "\"");
                    xml.append(t.substr(tag->end, tc.value_begin - tag->end));
                    xml.append(t.substr(tc.value_end, tc.end - tc.value_end));
                } else if (tc.ref_end) {
                    xml.append(markup.substr(0, tc.ref_begin - tc.begin)).append(ref);
                    xml.append(markup.substr(tc.ref_end - tc.begin));
                } else {
                    size_t name_end = markup.find_first_of(" \t\r\n/>");
                    xml.append(markup.substr(0, name_end)).append(" r=\"" + ref + "\"");
                    xml.append(markup.substr(name_end));
                }
                rows[r].cells.emplace_back(c, std::move(xml));
                rows[r].number = r;
                extend(r, c);
                continue;
            }
        } else if (merged) {
            continue;
        }
        // A cell the fill wrote, or one it made.
        nb::object v = cell.attr("_value");
        // An empty text is no value, as openpyxl writes it.
        if (PyUnicode_Check(v.ptr()) && PyUnicode_GET_LENGTH(v.ptr()) == 0)
            v = nb::none();
        const bool styled = tessel::truthy(cell.attr("has_style"));
        if (v.is_none() && !styled)
            continue;
        const std::string ref = reference(r, c);
        const std::string qname = cells->prefix + "c";
        xml = "<" + qname + " r=\"" + ref + "\"";
        if (styled)
            xml += " s=\"" + std::to_string(styles_->index_of(cell.attr("_style"))) + "\"";
        const std::string type = nb::cast<std::string>(cell.attr("data_type"));
        std::string body;
        if (v.is_none()) {
        } else if (type == "f") {
            std::string formula = nb::cast<std::string>(nb::str(v));
            if (!formula.empty() && formula[0] == '=')
                formula.erase(0, 1);
            auto layout = sheet.formula_layout.find(value);
            if (layout == sheet.formula_layout.end()) {
                if (auto moved = sheets::moved_formula(formula, lookup))
                    formula = *moved;
            } else {
                const Insertions later(moves.begin() + (std::ptrdiff_t) std::min(layout->second, moves.size()),
                                       moves.end());
                sheets::SheetLookup after = [&](std::string_view name) {
                    return name.empty() || all.find(name) == own ? &later : all.find(name);
                };
                if (auto moved = sheets::moved_formula(formula, after))
                    formula = *moved;
            }
            body = "<" + cells->prefix + "f>" + escaped(formula) + "</" + cells->prefix + "f>";
        } else if (type == "s") {
            xml += " t=\"inlineStr\"";
            std::string text = nb::cast<std::string>(nb::str(v));
            body = "<" + cells->prefix + "is>";
            append_text_element(body, (cells->prefix + "t").c_str(), text);
            body += "</" + cells->prefix + "is>";
        } else if (type == "b") {
            xml += " t=\"b\"";
            body = "<" + cells->prefix + "v>" + std::string(tessel::truthy(v) ? "1" : "0") + "</" + cells->prefix + "v>";
        } else if (type == "e") {
            xml += " t=\"e\"";
            body = "<" + cells->prefix + "v>" + escaped(nb::cast<std::string>(nb::str(v))) + "</" + cells->prefix + "v>";
        } else {
            nb::object number = type == "d" ? nb::handle(k.to_excel)(v, epoch) : v;
            body = "<" + cells->prefix + "v>";
            append_number(body, number);
            body += "</" + cells->prefix + "v>";
        }
        xml += body.empty() ? "/>" : ">" + body + "</" + qname + ">";
        rows[r].cells.emplace_back(c, std::move(xml));
        rows[r].number = r;
        extend(r, c);
    }

    // Rows that the model gave a height the template row lacks: new rows under a
    // block's template row.
    for (auto [row_key, dim] : nb::borrow<nb::dict>(dims)) {
        nb::object ht = dim.attr("ht");
        if (ht.is_none())
            continue;
        const long r = nb::cast<long>(row_key);
        auto it = rows.find(r);
        if (it != rows.end() && it->second.has_height)
            continue;
        OutRow &out = rows[r];
        if (out.open.empty())
            out.open = "<" + cells->prefix + "row r=\"" + std::to_string(r) + "\"";
        out.number = r;
        out.open += " ht=\"" + nb::cast<std::string>(nb::str(ht)) + "\" customHeight=\"1\"";
        out.has_height = true;
    }

    // Blocks: their styles as indices now, so that the styles part is complete
    // before any sheet is streamed.
    struct BlockOut {
        const FrameBlock *block;
        std::vector<std::array<long, 5>> styles;
        std::string height;
        long columns;  // within the sheet
        std::vector<std::pair<long, std::string>> filled;  // column, formula in the layout of the filled sheet
        std::vector<long> filled_styles;
    };
    auto outs = std::make_shared<std::vector<BlockOut>>();
    std::vector<std::string> new_merges;
    for (const FrameBlock &b : sheet.blocks) {
        BlockOut o{&b, {}, {}, (long) b.at.size(), {}, {}};
        for (const FilledDown &f : b.filled_down) {
            std::optional<std::string> moved = sheets::moved_formula(f.formula, lookup);
            o.filled.emplace_back(f.column, moved ? *moved : f.formula);
            o.filled_styles.push_back(styles_->index_of(f.style));
            extend(b.top, f.column);
        }
        for (Py_ssize_t i = 1; !b.merges.empty() && i < b.columns->rows(); ++i) {
            const long r = b.row_of(i);
            if (r > sheets::kMaxRow)
                break;
            for (const auto &[first, last] : b.merges)
                new_merges.push_back(reference(r, first) + ":" + reference(r, last));
        }
        for (long j = 0; j < o.columns; ++j) {
            std::array<long, 5> ids;
            for (size_t kind = 0; kind < 5; ++kind)
                ids[kind] = b.styles[(size_t) j][kind].is_valid() ? styles_->index_of(b.styles[(size_t) j][kind]) : -1;
            o.styles.push_back(ids);
        }
        if (!b.height.is_none())
            o.height = nb::cast<std::string>(nb::str(b.height));
        if (b.columns->rows() > 0 && o.columns > 0) {
            extend(b.top, b.at.front());
            extend(std::min(b.row_of(b.columns->rows() - 1), sheets::kMaxRow), b.at.back());
        }
        outs->push_back(std::move(o));
    }
    for (const auto &[ref, layout] : sheet.added_merges) {
        const Insertions later(moves.begin() + (std::ptrdiff_t) std::min(layout, moves.size()), moves.end());
        std::string now = sheets::moved_area_list(ref, later, sheets::Growth::Cells);
        if (!now.empty())
            new_merges.push_back(std::move(now));
    }
    for (auto &[number, row] : rows)
        std::sort(row.cells.begin(), row.cells.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });

    // The part around the cell data.
    std::string head(t.substr(0, cells->data_open));
    if (max_row > 0) {
        for (auto piece = next_markup(head, 0); piece; piece = next_markup(head, piece->end)) {
            if ((piece->kind == Markup::Empty || piece->kind == Markup::Start) &&
                local_part(piece->name) == "dimension") {
                if (auto tag = read_tag(head, piece->begin, true)) {
                    std::string ref = reference(min_row, min_column);
                    if (max_row != min_row || max_column != min_column)
                        ref += ":" + reference(max_row, max_column);
                    std::string now = rewritten_tag(head, *tag, {{"ref", ref}}, {}, piece->kind == Markup::Empty);
                    head.replace(piece->begin, tag->end - piece->begin, now);
                }
                break;
            }
        }
    }
    std::string open, close = "</" + cells->data_qname + ">";
    std::string tail;
    if (cells->data_close == std::string_view::npos) {
        open = "<" + cells->data_qname + ">";
        tail = std::string(t.substr(cells->data_body));
    } else {
        open = std::string(t.substr(cells->data_open, cells->data_body - cells->data_open));
        tail = std::string(t.substr(cells->data_close + close.size()));
    }
    // Block rows are written without a prefix: where the part spells its own
    // elements with one, the cell data gets the part's namespace as its default.
    if (!cells->prefix.empty() && open.find(" xmlns=") == std::string::npos) {
        const std::string declared = "xmlns:" + cells->prefix.substr(0, cells->prefix.size() - 1) + "=";
        size_t at = head.find(declared);
        if (at != std::string::npos && at + declared.size() < head.size()) {
            const char quote = head[at + declared.size()];
            const size_t start = at + declared.size() + 1, end = head.find(quote, start);
            if (end != std::string::npos)
                open.insert(open.size() - 1, " xmlns=\"" + std::string(head.substr(start, end - start)) + "\"");
        }
    }
    tail = with_headers(tail, sheet.headers);
    if (!new_merges.empty())
        tail = with_merges(tail, new_merges, cells->prefix);
    if (drawing_id)
        tail = pictures::with_drawing_element(tail, *drawing_id, cells->prefix);
    head += open;

    auto held = std::make_shared<std::map<long, OutRow>>(std::move(rows));
    const std::string row_close = "</" + cells->prefix + "row>";
    const std::string row_qname = cells->prefix + "row";
    const std::string cell_qname = cells->prefix + "c", formula_qname = cells->prefix + "f";
    pkg_.write_streamed(sheet.part, [head = std::move(head), tail = std::move(tail), close, held, outs, row_close,
                                     row_qname, cell_qname, formula_qname, cells](const ooxml::Emit &emit) {
        emit(head);
        std::string buffer;
        buffer.reserve(1 << 20);
        auto flush = [&] {
            emit(buffer);
            buffer.clear();
        };
        // A cursor per block over its rows, in the order they stand.
        std::vector<Py_ssize_t> next(outs->size(), 0);
        auto it = held->begin();
        std::string ref;
        unsigned long rows_done = 0;
        while (true) {
            long r = it == held->end() ? sheets::kMaxRow + 1 : it->first;
            for (size_t b = 0; b < outs->size(); ++b) {
                const BlockOut &o = (*outs)[b];
                if (next[b] < o.block->columns->rows() && o.columns > 0)
                    r = std::min(r, o.block->row_of(next[b]));
            }
            if (r > sheets::kMaxRow)
                break;
            if ((++rows_done & 0xFFF) == 0)
                tessel::check_signals();
            const OutRow *row = it != held->end() && it->first == r ? &it->second : nullptr;
            // The blocks' offsets in this row.
            std::vector<std::pair<size_t, Py_ssize_t>> here;
            const std::string *height = nullptr;
            for (size_t b = 0; b < outs->size(); ++b) {
                const BlockOut &o = (*outs)[b];
                if (next[b] < o.block->columns->rows() && o.block->row_of(next[b]) == r) {
                    here.emplace_back(b, next[b]++);
                    if (!o.height.empty() && r != o.block->top)
                        height = &o.height;
                }
            }
            if (row && !row->open.empty())
                buffer += row->open;
            else
                buffer += "<" + row_qname + " r=\"" + std::to_string(r) + "\"";
            if (height && !(row && row->has_height))
                buffer += " ht=\"" + *height + "\" customHeight=\"1\"";
            buffer += '>';
            size_t next_cell = 0;
            auto emit_cells_before = [&](long column) {
                while (row && next_cell < row->cells.size() && row->cells[next_cell].first < column)
                    buffer += row->cells[next_cell++].second;
            };
            // A cell the model holds wins over a block's value there, and a later
            // block over an earlier one (a recursive fill writes blocks into blocks).
            auto write_value = [&](const BlockOut &o, Py_ssize_t i, long j) {
                const long c = o.block->at[(size_t) j];
                emit_cells_before(c);
                if (row && next_cell < row->cells.size() && row->cells[next_cell].first == c)
                    return;
                const cells::FrameColumns &columns = *o.block->columns;
                if (o.block->covered.count(FrameBlock::key(i, j)) || columns.refused(i, j))
                    return;
                ref = sheets::column_letters(c);
                ref += std::to_string(r);
                columns.write_cell(buffer, i, j, ref, o.styles[(size_t) j][(size_t) columns.time_kind(i, j)]);
            };
            // A formula of the template row, in a new row of its block.
            auto write_filled = [&](const BlockOut &o, Py_ssize_t i, size_t k) {
                const long c = o.filled[k].first;
                emit_cells_before(c);
                if (row && next_cell < row->cells.size() && row->cells[next_cell].first == c)
                    return;
                buffer += "<" + cell_qname + " r=\"" + sheets::column_letters(c) + std::to_string(r) + "\"";
                if (o.filled_styles[k] > 0)
                    buffer += " s=\"" + std::to_string(o.filled_styles[k]) + "\"";
                buffer += "><" + formula_qname + ">" +
                          escaped(sheets::translated_formula(o.filled[k].second, (long) i, 0)) + "</" +
                          formula_qname + "></" + cell_qname + ">";
            };
            const bool simple = here.size() == 1 && ((*outs)[here[0].first].filled.empty() || here[0].second == 0);
            if (simple) {
                const BlockOut &o = (*outs)[here[0].first];
                for (long j = 0; j < o.columns; ++j)
                    write_value(o, here[0].second, j);
            } else if (!here.empty()) {
                struct Entry {
                    long column;
                    size_t block;
                    Py_ssize_t i;
                    long j;  // the frame column, or -1 - k for the k-th formula filled down
                };
                std::vector<Entry> entries;
                for (const auto &[b, i] : here) {
                    const BlockOut &o = (*outs)[b];
                    for (long j = 0; j < o.columns; ++j)
                        entries.push_back(Entry{o.block->at[(size_t) j], b, i, j});
                    if (i > 0)
                        for (size_t k = 0; k < o.filled.size(); ++k)
                            entries.push_back(Entry{o.filled[k].first, b, i, -1 - (long) k});
                }
                std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
                    return a.column != b.column ? a.column < b.column : a.block > b.block;
                });
                for (size_t e = 0; e < entries.size(); ++e) {
                    if (e > 0 && entries[e].column == entries[e - 1].column)
                        continue;
                    const BlockOut &o = (*outs)[entries[e].block];
                    if (entries[e].j >= 0)
                        write_value(o, entries[e].i, entries[e].j);
                    else
                        write_filled(o, entries[e].i, (size_t) (-1 - entries[e].j));
                }
            }
            emit_cells_before(sheets::kMaxColumn + 1);
            buffer += row_close;
            if (row)
                ++it;
            if (buffer.size() >= (1 << 20))
                flush();
        }
        buffer += close;
        buffer += tail;
        flush();
    });
}

}  // namespace tessel::native
