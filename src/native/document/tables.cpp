#include "document/tables.h"

#include "document/page.h"
#include "document/text.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

namespace tessel::wordml {

namespace {

// The schema's order of the children of w:rPr and w:tcPr: Word refuses files
// whose properties come out of order.
const std::vector<std::string_view> kRunOrder = {
    "rStyle", "rFonts", "b", "bCs", "i", "iCs", "caps", "smallCaps", "strike", "dstrike",
    "outline", "shadow", "emboss", "imprint", "noProof", "snapToGrid", "vanish", "webHidden",
    "color", "spacing", "w", "kern", "position", "sz", "szCs", "highlight", "u", "effect",
    "bdr", "shd", "fitText", "vertAlign", "rtl", "cs", "em", "lang", "eastAsianLayout",
    "specVanish", "oMath"};
const std::vector<std::string_view> kCellOrder = {
    "cnfStyle", "tcW", "gridSpan", "hMerge", "vMerge", "tcBorders", "shd", "noWrap", "tcMar",
    "textDirection", "tcFitText", "vAlign", "hideMark", "headers", "cellIns", "cellDel",
    "cellMerge", "tcPrChange"};
void drop_attr(nb::handle el, const char *local) {
    el.attr("attrib").attr("pop")(qn(local), nb::none());
}

// Removes a properties element and leaves its parent without it when it was the
// last property there.
void remove_property(nb::handle el) {
    nb::object parent = el.attr("getparent")();
    remove(el);
    if (!parent.is_none() && PyObject_Length(parent.ptr()) == 0 &&
        PyObject_Length(parent.attr("attrib").ptr()) == 0)
        remove(parent);
}

// Counts as a file may write them: a negative one is taken as none, and Word
// keeps far fewer columns than this allows.
constexpr ooxml::Bounds kSignedCount{-ooxml::kCount.max, ooxml::kCount.max};

nb::object grid_count(nb::handle tr, Tag tag) {
    return first_child(first_child(tr, Tag::TrPr), tag);
}

nb::object grid_span_of(nb::handle tc) { return first_child(first_child(tc, Tag::TcPr), Tag::GridSpan); }

// Puts `el` first among `parent`'s children, after its properties element if it
// has one (the schema wants those first).
void put_after_properties(nb::handle parent, nb::handle el, Tag properties) {
    nb::object pr = first_child(parent, properties);
    if (pr.is_none())
        parent.attr("insert")(0, el);
    else
        pr.attr("addnext")(el);
}

// The table's w:tblGrid, made where missing.
nb::object grid_of(nb::handle tbl) {
    nb::object grid = first_child(tbl, Tag::TblGrid);
    if (grid.is_none()) {
        grid = make(tbl, "tblGrid");
        put_after_properties(tbl, grid, Tag::TblPr);
    }
    return grid;
}

std::vector<nb::object> grid_columns(nb::handle grid) {
    std::vector<nb::object> columns;
    if (grid.is_none())
        return columns;
    for (nb::handle col : children(grid))
        if (tag_of(col) == Tag::GridCol)
            columns.push_back(nb::borrow(col));
    return columns;
}

long long column_width(nb::handle col) { return std::max<long long>(0, twips_attr(col, "w", 0)); }

// Appends `count` grid columns `width` twips wide (of no stated width when 0).
void add_grid_columns(nb::handle grid, size_t count, long long width, std::vector<nb::object> &columns) {
    for (size_t k = 0; k < count; ++k) {
        nb::object col = make(grid, "gridCol");
        if (width > 0)
            set_int_attr(col, "w", width);
        grid.attr("append")(col);
        columns.push_back(col);
    }
}

// The width of a grid; one wider than a length can be is refused.
long long total_width(const std::vector<long long> &widths) {
    long long total = 0;
    for (long long w : widths) {
        const std::optional<long long> sum = ooxml::added(total, w);
        if (!sum || *sum > ooxml::kMaxLength)
            throw std::invalid_argument("w:tblGrid: its columns are together wider than " +
                                        std::to_string(ooxml::kMaxLength) + " twips");
        total = *sum;
    }
    return total;
}

// Writes a count back into its element where the row has one; the element goes
// where the count is the default.
void set_count(nb::handle el, Py_ssize_t value, Py_ssize_t fallback) {
    if (el.is_none())
        return;
    if (value == fallback)
        remove_property(el);
    else
        set_int_attr(el, "val", value);
}

Row read_row(nb::handle tr, Py_ssize_t grid, size_t place) {
    Row row{nb::borrow(tr), {}, place};
    const long long before = int_attr(grid_count(tr, Tag::GridBefore), "val", 0, kSignedCount);
    row.before = (Py_ssize_t) std::clamp<long long>(before, 0, grid);
    row.clamped = row.before != before;
    Py_ssize_t column = row.before;
    walk_through(tr, [&](nb::handle child, Tag tag) {
        switch (tag) {
            case Tag::Tc: {
                const long long span = int_attr(grid_span_of(child), "val", 1, kSignedCount);
                const Py_ssize_t room = std::max<Py_ssize_t>(1, grid - column);
                const Py_ssize_t fitted = (Py_ssize_t) std::clamp<long long>(span, 1, room);
                row.clamped = row.clamped || fitted != span;
                row.cells.push_back(Cell{nb::borrow(child), column, fitted});
                column += fitted;
                break;
            }
            default:
                return wrapped_content(child, tag);
        }
        return nb::object();
    });
    const long long after = int_attr(grid_count(tr, Tag::GridAfter), "val", 0, kSignedCount);
    row.after = (Py_ssize_t) std::clamp<long long>(after, 0, std::max<Py_ssize_t>(0, grid - column));
    row.clamped = row.clamped || row.after != after;
    return row;
}

// The properties element of a cell or run, made first child when missing.
nb::object properties(nb::handle el, Tag tag, const char *local) {
    nb::object pr = first_child(el, tag);
    if (pr.is_none()) {
        pr = make(el, local);
        el.attr("insert")(0, pr);
    }
    return pr;
}

void set_toggle(nb::handle rPr, const char *local, int on) {
    nb::object el = child_in_order(rPr, local, kRunOrder);
    if (on)
        drop_attr(el, "val");
    else
        el.attr("set")(qn("val"), "0");
}

void apply_look(nb::handle r, nb::handle tc, const CellLook &look) {
    if (look.bold >= 0 || look.italic >= 0 || look.color.is_valid()) {
        nb::object rPr = properties(r, Tag::RPr, "rPr");
        if (look.bold >= 0)
            set_toggle(rPr, "b", look.bold);
        if (look.italic >= 0)
            set_toggle(rPr, "i", look.italic);
        if (look.color.is_valid()) {
            nb::object color = child_in_order(rPr, "color", kRunOrder);
            // A theme colour would win over the value.
            for (const char *name : {"themeColor", "themeShade", "themeTint"})
                drop_attr(color, name);
            color.attr("set")(qn("val"), look.color);
        }
    }
    if (look.fill.is_valid()) {
        nb::object shd = child_in_order(properties(tc, Tag::TcPr, "tcPr"), "shd", kCellOrder);
        for (const char *name : {"themeFill", "themeFillShade", "themeFillTint"})
            drop_attr(shd, name);
        shd.attr("set")(qn("val"), "clear");
        shd.attr("set")(qn("color"), "auto");
        shd.attr("set")(qn("fill"), look.fill);
    }
}

// Marks that anchor something elsewhere (bookmarks, comments, permissions): a
// cell written over keeps them.
bool is_anchor(Tag tag) {
    switch (tag) {
        case Tag::BookmarkStart:
        case Tag::BookmarkEnd:
        case Tag::CommentRangeStart:
        case Tag::CommentRangeEnd:
        case Tag::PermStart:
        case Tag::PermEnd:
            return true;
        default:
            return false;
    }
}

// A run that holds a note or comment reference: a cell written over keeps it.
bool holds_reference(nb::handle r) {
    for (nb::handle child : children(r)) {
        const Tag tag = tag_of(child);
        if (tag == Tag::CommentReference || tag == Tag::FootnoteReference || tag == Tag::EndnoteReference)
            return true;
    }
    return false;
}

Py_ssize_t text_length(nb::handle r) { return PyUnicode_GET_LENGTH(run_text(r).ptr()); }

// The run properties of a paragraph mark as properties of a run: without the
// revision marks that only a mark has.
nb::object mark_as_run(nb::handle mark) {
    nb::object rPr = deepcopy(mark);
    for (nb::handle child : children(rPr)) {
        const std::string name = nb::cast<std::string>(nb::str(child.attr("tag")));
        for (const char *local : {"ins", "del", "moveFrom", "moveTo", "rPrChange"})
            if (name == qn(local))
                rPr.attr("remove")(child);
    }
    rPr.attr("tag") = qn("rPr");
    return rPr;
}

// The direct child of `p` that holds `el`.
nb::object top_of(nb::handle p, nb::handle el) {
    nb::object top = nb::borrow(el);
    for (nb::object parent = top.attr("getparent")(); !parent.is(p); parent = parent.attr("getparent")())
        top = parent;
    return top;
}

// An empty cell formatted like `model`: its properties without spans or merges,
// its first paragraph's properties and, in an empty run, the properties of its text.
nb::object cell_like(nb::handle model, nb::handle factory) {
    nb::object tc = make(factory, "tc");
    nb::object p = make(factory, "p");
    if (model.is_valid() && !model.is_none()) {
        nb::object tcPr = first_child(model, Tag::TcPr);
        if (!tcPr.is_none()) {
            nb::object copy = deepcopy(tcPr);
            for (nb::handle child : children(copy)) {
                Tag tag = tag_of(child);
                if (tag == Tag::GridSpan || tag == Tag::VMerge || tag == Tag::HMerge)
                    copy.attr("remove")(child);
            }
            tc.attr("append")(copy);
        }
        CellFormat format = cell_format(model);
        if (format.pPr.is_valid())
            p.attr("append")(deepcopy(format.pPr));
        if (format.rPr.is_valid()) {
            nb::object r = make(factory, "r");
            r.attr("append")(deepcopy(format.rPr));
            p.attr("append")(r);
        }
    }
    tc.attr("append")(p);
    return tc;
}

void set_cell_width(nb::handle tc, long long width, bool fixed_only) {
    nb::object tcW = child_in_order(properties(tc, Tag::TcPr, "tcPr"), "tcW", kCellOrder);
    nb::object type = tcW.attr("get")(qn("type"));
    const bool fixed = type.is_none() || type.equal(nb::str("dxa"));
    if (!fixed && (fixed_only || type.equal(nb::str("pct"))))
        return;
    set_int_attr(tcW, "w", width);
    tcW.attr("set")(qn("type"), "dxa");
}

// Sets a length given in twips (w:w with w:type dxa), leaving other kinds alone.
void set_fixed_length(nb::handle el, long long width) {
    if (el.is_none())
        return;
    nb::object type = el.attr("get")(qn("type"));
    if (!type.is_none() && type.equal(nb::str("dxa")))
        set_int_attr(el, "w", width);
}

}  // namespace

Table read_table(nb::handle tbl) {
    Table table{nb::borrow(tbl), {}};
    const Py_ssize_t grid = (Py_ssize_t) grid_columns(first_child(tbl, Tag::TblGrid)).size();
    walk_through(tbl, [&](nb::handle child, Tag tag) {
        switch (tag) {
            case Tag::Tr:
                table.rows.push_back(read_row(child, grid, table.rows.size() + 1));
                break;
            default:
                return wrapped_content(child, tag);
        }
        return nb::object();
    });
    return table;
}

void settle_grid(Table &table) {
    Py_ssize_t widest = 0;
    for (Row &row : table.rows) {
        if (row.clamped) {
            set_count(grid_count(row.tr, Tag::GridBefore), row.before, 0);
            set_count(grid_count(row.tr, Tag::GridAfter), row.after, 0);
            for (const Cell &cell : row.cells)
                set_count(grid_span_of(cell.tc), cell.span, 1);
            row.clamped = false;
        }
        widest = std::max(widest, row.end() + row.after);
    }
    std::vector<nb::object> columns = grid_columns(first_child(table.tbl, Tag::TblGrid));
    if (widest <= (Py_ssize_t) columns.size())
        return;
    const long long width = columns.empty() ? 0 : column_width(columns.back());
    add_grid_columns(grid_of(table.tbl), (size_t) widest - columns.size(), width, columns);
}

size_t cell_at(const Row &row, Py_ssize_t column) {
    size_t k = 0;
    while (k < row.cells.size() && row.cells[k].column + row.cells[k].span <= column)
        ++k;
    return k;
}

nb::object cell_text(nb::handle tc) {
    std::vector<nb::object> paragraphs, tables;
    collect_blocks(tc, paragraphs, tables);
    nb::list parts;
    for (const nb::object &p : paragraphs)
        parts.append(paragraph_text(p));
    return nb::str("\n").attr("join")(parts);
}

CellFormat cell_format(nb::handle tc) {
    CellFormat format;
    std::vector<nb::object> paragraphs, tables;
    collect_blocks(tc, paragraphs, tables);
    if (paragraphs.empty())
        return format;
    nb::handle p = paragraphs.front();
    nb::object pPr = first_child(p, Tag::PPr);
    if (!pPr.is_none())
        format.pPr = pPr;
    std::vector<nb::object> runs;
    for (const nb::object &r : runs_of(p))
        if (!holds_reference(r))
            runs.push_back(r);
    for (const nb::object &r : runs) {
        if (text_length(r) == 0)
            continue;
        nb::object rPr = first_child(r, Tag::RPr);
        if (!rPr.is_none())
            format.rPr = rPr;
        return format;
    }
    for (const nb::object &r : runs) {
        nb::object rPr = first_child(r, Tag::RPr);
        if (!rPr.is_none()) {
            format.rPr = rPr;
            return format;
        }
    }
    nb::object mark = first_child(pPr, Tag::RPr);
    if (!mark.is_none())
        format.rPr = mark_as_run(mark);
    return format;
}

void write_cell(nb::handle tc, nb::handle text, const CellLook &look) {
    const CellFormat own = cell_format(tc);
    std::vector<nb::object> paragraphs, tables;
    collect_blocks(tc, paragraphs, tables);
    for (size_t k = 1; k < paragraphs.size(); ++k)
        remove(paragraphs[k]);
    for (const nb::object &t : tables)
        remove(t);
    nb::object p;
    if (paragraphs.empty()) {
        p = make(tc, "p");
        tc.attr("append")(p);
    } else {
        p = paragraphs.front();
    }

    // The text goes into the run of the cell's first text.
    nb::object r;
    std::vector<nb::object> runs;
    for (const nb::object &run : runs_of(p))
        if (!holds_reference(run))
            runs.push_back(run);
    for (const nb::object &run : runs)
        if (!r.is_valid() && text_length(run) > 0)
            r = run;
    if (!r.is_valid() && !runs.empty())
        r = runs.front();
    for (const nb::object &run : runs)
        if (!run.is(r))
            remove(run);
    nb::object keep = r.is_valid() ? top_of(p, r) : nb::object();
    for (nb::handle child : children(p)) {
        Tag tag = tag_of(child);
        const bool kept = tag == Tag::PPr || is_anchor(tag) || (tag == Tag::R && holds_reference(child)) ||
                          (keep.is_valid() && child.is(keep));
        if (!kept)
            p.attr("remove")(child);
    }
    if (!r.is_valid()) {
        r = make(p, "r");
        put_after_properties(p, r, Tag::PPr);
    }
    for (nb::handle child : children(r))
        if (tag_of(child) != Tag::RPr)
            r.attr("remove")(child);
    if (first_child(r, Tag::RPr).is_none() && own.rPr.is_valid())
        r.attr("insert")(0, deepcopy(own.rPr));
    nb::object t = make(r, "t");
    set_t_text(t, text);
    r.attr("append")(t);
    expand_controls(t);
    if (look.any())
        apply_look(r, tc, look);
}

void split_vertical_merges(Table &table, size_t first, size_t end, Py_ssize_t low, Py_ssize_t high) {
    auto overlapping = [&](const Cell &cell) {
        return cell.column < high && cell.column + cell.span > low;
    };
    end = std::min(end, table.rows.size());
    for (size_t i = first; i < end; ++i)
        for (const Cell &cell : table.rows[i].cells)
            if (overlapping(cell)) {
                nb::object vMerge = first_child(first_child(cell.tc, Tag::TcPr), Tag::VMerge);
                if (!vMerge.is_none())
                    remove_property(vMerge);
            }
    if (end >= table.rows.size())
        return;
    for (const Cell &cell : table.rows[end].cells) {
        if (!overlapping(cell))
            continue;
        nb::object vMerge = first_child(first_child(cell.tc, Tag::TcPr), Tag::VMerge);
        if (!vMerge.is_none())
            vMerge.attr("set")(qn("val"), "restart");
    }
}

RowCopies::RowCopies(const Row &row, size_t first, size_t count)
    : place_(row.place), before_(row.before), after_(row.after) {
    prototype_ = make(row.tr, "tr");
    for (nb::handle child : children(row.tr)) {
        Tag tag = tag_of(child);
        if (tag == Tag::TblPrEx) {
            prototype_.attr("append")(deepcopy(child));
        } else if (tag == Tag::TrPr) {
            nb::object trPr = deepcopy(child);
            for (nb::handle el : children(trPr))
                if (tag_of(el) == Tag::TblHeader)
                    trPr.attr("remove")(el);
            prototype_.attr("append")(trPr);
        }
    }
    Py_ssize_t position = PyObject_Length(prototype_.ptr());
    if (position < 0)
        throw nb::python_error();
    for (size_t c = 0; c < row.cells.size(); ++c) {
        const Cell &cell = row.cells[c];
        const bool block = c >= first && c < first + count;
        nb::object tc = make(row.tr, "tc");
        nb::object tcPr = first_child(cell.tc, Tag::TcPr);
        if (!tcPr.is_none()) {
            nb::object copy = deepcopy(tcPr);
            tc.attr("append")(copy);
            nb::object vMerge = first_child(copy, Tag::VMerge);
            if (!vMerge.is_none()) {
                if (block)
                    remove_property(vMerge);
                else
                    drop_attr(vMerge, "val");  // goes on from the row above
            }
        }
        const CellFormat format = cell_format(cell.tc);
        nb::object p = make(row.tr, "p");
        if (format.pPr.is_valid())
            p.attr("append")(deepcopy(format.pPr));
        if (block) {
            nb::object r = make(row.tr, "r");
            if (format.rPr.is_valid())
                r.attr("append")(deepcopy(format.rPr));
            nb::object t = make(row.tr, "t");
            set_t_text(t, nb::str(""));
            r.attr("append")(t);
            p.attr("append")(r);
        }
        tc.attr("append")(p);
        prototype_.attr("append")(tc);
        positions_.push_back((size_t) position++);
        Cell copy{tc, cell.column, cell.span};
        copy.written = block;
        cells_.push_back(std::move(copy));
    }
}

void RowCopies::add(const Row &after, size_t count, std::vector<Row> &rows,
                    std::vector<nb::object> &texts) {
    // A merge goes on through the new rows only where the row they follow takes part
    // in it: rows added past the table's end may follow another row than the template.
    for (size_t c = 0; c < cells_.size(); ++c) {
        nb::object vMerge = first_child(first_child(cells_[c].tc, Tag::TcPr), Tag::VMerge);
        if (vMerge.is_none())
            continue;
        const size_t k = cell_at(after, cells_[c].column);
        const bool merged = k < after.cells.size() && after.cells[k].column == cells_[c].column &&
                            !first_child(first_child(after.cells[k].tc, Tag::TcPr), Tag::VMerge).is_none();
        if (!merged)
            remove_property(vMerge);
    }
    nb::object previous = after.tr;
    for (size_t k = 0; k < count; ++k) {
        nb::object tr = deepcopy(prototype_);
        previous.attr("addnext")(tr);
        previous = tr;
        nb::list kids = children(tr);
        Row row{tr, {}, place_, true, before_, after_};
        row.cells.reserve(cells_.size());
        for (size_t c = 0; c < cells_.size(); ++c) {
            Cell cell{kids[positions_[c]], cells_[c].column, cells_[c].span};
            cell.written = cells_[c].written;
            // A block cell is tc/p/r/t as the constructor builds it; the copied
            // properties may hold anything, a stray w:t too.
            if (cell.written)
                texts.push_back(last_child(last_child(last_child(cell.tc))));
            row.cells.push_back(std::move(cell));
        }
        rows.push_back(std::move(row));
        if ((k & 0x3FF) == 0x3FF && PyErr_CheckSignals() < 0)
            throw nb::python_error();
    }
}

void write_copy_text(nb::handle t, nb::handle text, const CellLook &look) {
    static PyObject *const name = PyUnicode_InternFromString("text");
    if (PyObject_SetAttr(t.ptr(), name, text.ptr()) < 0)
        throw nb::python_error();
    if (has_controls(text))
        expand_controls(t);
    if (look.any()) {
        nb::object r = t.attr("getparent")();
        apply_look(r, r.attr("getparent")().attr("getparent")(), look);
    }
}

long long table_room(nb::handle tbl, long long fallback) {
    long long room = fallback;
    for (nb::object el = tbl.attr("getparent")(); !el.is_none(); el = el.attr("getparent")()) {
        Tag tag = tag_of(el);
        if (tag == Tag::Tc) {
            room = cell_inner_width(el);
            break;
        }
        if (tag == Tag::Body) {
            const long long width = text_column_width(tbl);
            if (width > 0)
                room = width;
            break;
        }
    }
    if (room <= 0)
        return -1;
    nb::object tblInd = tbl.attr("find")(qn("tblPr") + "/" + qn("tblInd"));
    if (!tblInd.is_none()) {
        nb::object type = tblInd.attr("get")(qn("type"));
        if (type.is_none() || type.equal(nb::str("dxa")))
            room -= std::max<long long>(0, twips_attr(tblInd, "w", 0));
    }
    return room > 0 ? room : -1;
}

void widen(Table &table, size_t index, size_t extra, long long room) {
    nb::handle tbl = table.tbl;
    nb::object grid = grid_of(tbl);
    std::vector<nb::object> columns = grid_columns(grid);
    std::vector<long long> widths;
    for (const nb::object &col : columns)
        widths.push_back(column_width(col));
    const long long before = total_width(widths);
    const Py_ssize_t count = (Py_ssize_t) columns.size();

    const size_t free = (size_t) std::max<Py_ssize_t>(0, count - table.rows[index].end());
    const size_t used = std::min(free, extra), added = extra - used;
    const long long new_width = widths.empty() ? 0 : widths.back();
    add_grid_columns(grid, added, new_width, columns);
    widths.resize(columns.size(), new_width);

    std::vector<std::pair<size_t, size_t>> fresh;  // (row, first new cell)
    for (size_t i = 0; i < table.rows.size(); ++i) {
        Row &row = table.rows[i];
        size_t cells = added;
        if (i == index) {
            cells = extra;
            // The new cells take the columns of gridAfter first.
            if (row.after > 0 && used > 0) {
                row.after = row.after > (Py_ssize_t) used ? row.after - (Py_ssize_t) used : 0;
                set_count(grid_count(row.tr, Tag::GridAfter), row.after, 0);
            }
        } else if (row.end() + row.after < count) {
            continue;  // stops short of the grid's end, and stays so
        } else if (row.after > 0) {
            if (added > 0) {
                row.after += (Py_ssize_t) added;
                set_count(grid_count(row.tr, Tag::GridAfter), row.after, 0);
            }
            continue;
        }
        if (cells == 0)
            continue;
        fresh.emplace_back(i, row.cells.size());
        nb::object last = row.cells.empty() ? nb::none() : nb::object(row.cells.back().tc);
        Py_ssize_t column = row.end();
        nb::object previous = last;
        for (size_t k = 0; k < cells; ++k) {
            nb::object tc = cell_like(last, tbl);
            if (previous.is_none())
                row.tr.attr("append")(tc);
            else
                previous.attr("addnext")(tc);
            previous = tc;
            row.cells.push_back(Cell{tc, column++, 1});
        }
    }

    long long total = total_width(widths);
    const long long limit = room > 0 ? std::max(room, before) : -1;
    const bool narrowed = limit > 0 && total > limit;
    if (narrowed) {
        for (size_t k = 0; k < widths.size(); ++k) {
            widths[k] = (long long) ((long double) widths[k] * limit / total);
            set_int_attr(columns[k], "w", widths[k]);
        }
        total = total_width(widths);
    }
    if (total <= 0)
        return;
    auto span_width = [&](Py_ssize_t from, Py_ssize_t span) {
        long long w = 0;
        for (Py_ssize_t k = from; k < from + span && k < (Py_ssize_t) widths.size(); ++k)
            w += widths[(size_t) k];
        return w;
    };
    if (narrowed) {
        for (Row &row : table.rows) {
            for (const Cell &cell : row.cells)
                set_cell_width(cell.tc, span_width(cell.column, cell.span), true);
            nb::object trPr = first_child(row.tr, Tag::TrPr);
            if (trPr.is_none())
                continue;
            set_fixed_length(trPr.attr("find")(qn("wBefore")), span_width(0, row.before));
            set_fixed_length(trPr.attr("find")(qn("wAfter")), span_width(row.end(), row.after));
        }
    } else {
        for (const auto &[i, from] : fresh) {
            const Row &row = table.rows[i];
            for (size_t c = from; c < row.cells.size(); ++c)
                set_cell_width(row.cells[c].tc, span_width(row.cells[c].column, row.cells[c].span),
                               false);
        }
    }
    nb::object tblW = tbl.attr("find")(qn("tblPr") + "/" + qn("tblW"));
    set_fixed_length(tblW, total);
}

}  // namespace tessel::wordml
