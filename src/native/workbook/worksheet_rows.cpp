#include "workbook/worksheet_rows.h"

#include "ooxml/numbers.h"
#include "workbook/references.h"

#include <nanobind/stl/string.h>

#include <climits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tessel::grid {

namespace {

using Entries = std::vector<std::pair<nb::object, nb::object>>;

// The row of a key by row or by (row, column); one past what a long holds reads
// as past the sheet.
long row_key(PyObject *key) {
    PyObject *row = key;
    if (PyTuple_Check(key)) {
        if (PyTuple_GET_SIZE(key) != 2)
            throw nb::type_error("a worksheet's cells must be keyed by (row, column)");
        row = PyTuple_GET_ITEM(key, 0);
    }
    int overflow = 0;
    long r = PyLong_AsLongAndOverflow(row, &overflow);
    if (r == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow > 0 ? LONG_MAX : overflow < 0 ? LONG_MIN : r;
}

std::string off_sheet(long row, long count, const char *what) {
    return "inserting " + std::to_string(count) + " rows under row " + std::to_string(row) + " would push " + what +
           " off the sheet";
}

// The entries under `row` of a dict keyed by row or by (row, column), with the
// rows they move to; throws when one would leave the sheet.
std::vector<std::pair<long, Entries::value_type>> below(PyObject *dict, long row, long count, const char *what) {
    std::vector<std::pair<long, Entries::value_type>> out;
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(dict, &at, &key, &value)) {
        long r = row_key(key);
        if (r <= row)
            continue;
        if (r > sheets::kMaxRow - count)
            throw std::invalid_argument(off_sheet(row, count, what));
        out.push_back({r + count, {nb::borrow(key), nb::borrow(value)}});
    }
    return out;
}

void set_item(PyObject *dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict, key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// A number openpyxl read from a drawing: an int, checked as the package step
// checks the text it reads.
long long number_of(nb::handle marker, const char *name, ooxml::Bounds bounds, const std::string &part) {
    nb::object value = marker.attr(name);
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (!overflow && v >= bounds.min && v <= bounds.max)
            return v;
    }
    ooxml::bad_number(part, std::string("xdr:") + name, nb::cast<std::string>(nb::str(value)), bounds);
}

sheets::Marker marker_of(nb::handle marker, const std::string &part) {
    return sheets::Marker{(long) number_of(marker, "row", sheets::kRowIndex, part),
                          number_of(marker, "rowOff", ooxml::kLength, part)};
}

// A picture or chart that openpyxl read keeps its anchor object, with its
// markers before and after the insertion; one the fill placed has a cell name,
// above any row inserted after it.
struct Moving {
    nb::object anchor;
    bool two;
    sheets::Marker top, bottom, new_top, new_bottom;
};

std::optional<Moving> moving(nb::handle anchor, const sheets::Insertions &insertions, const std::string &part) {
    if (PyUnicode_Check(anchor.ptr()) || !nb::hasattr(anchor, "_from"))
        return std::nullopt;
    const std::string kind = nb::cast<std::string>(nb::type_name(anchor.type()));
    Moving m{nb::borrow(anchor), kind == "TwoCellAnchor", {}, {}, {}, {}};
    sheets::Follow follow = sheets::Follow::Move;
    if (m.two) {
        nb::object edit = anchor.attr("editAs");
        std::string as = edit.is_none() ? "twoCell" : nb::cast<std::string>(edit);
        follow = as == "absolute" ? sheets::Follow::Stay
               : as == "oneCell"  ? sheets::Follow::Move
                                  : sheets::Follow::MoveAndSize;
    }
    m.top = marker_of(anchor.attr("_from"), part);
    m.bottom = m.two ? marker_of(anchor.attr("to"), part) : m.top;
    m.new_top = m.top;
    m.new_bottom = m.bottom;
    if (!sheets::move_anchor(m.new_top, m.new_bottom, follow, insertions))
        throw std::invalid_argument(off_sheet(insertions[0].row, insertions[0].count, "a picture or chart"));
    return m;
}

}  // namespace

void insert_rows(nb::handle sheet, long row, long count) {
    if (count <= 0)
        return;
    const sheets::Insertions insertion{sheets::Insertion{row, count}};
    nb::object cells = sheet.attr("_cells"), dimensions = sheet.attr("row_dimensions");
    if (!PyDict_Check(cells.ptr()) || !PyDict_Check(dimensions.ptr()))
        throw nb::type_error("a worksheet's cells and rows must be held in dicts");

    auto moved_cells = below(cells.ptr(), row, count, "cells");
    auto moved_rows = below(dimensions.ptr(), row, count, "formatted rows");
    const std::string drawing = "the drawing of sheet " + nb::cast<std::string>(nb::repr(sheet.attr("title")));
    std::vector<Moving> anchors;
    for (const char *kind : {"_images", "_charts"})
        for (nb::handle item : sheet.attr(kind))
            if (auto m = moving(item.attr("anchor"), insertion, drawing))
                anchors.push_back(std::move(*m));
    nb::object current = nb::getattr(sheet, "_current_row", nb::none());

    // Nothing is left to fail: the rows move.
    for (auto &[r, entry] : moved_cells)
        if (PyDict_DelItem(cells.ptr(), entry.first.ptr()) < 0)
            throw nb::python_error();
    for (auto &[r, entry] : moved_rows)
        if (PyDict_DelItem(dimensions.ptr(), entry.first.ptr()) < 0)
            throw nb::python_error();
    nb::str row_name("row"), hyperlink_name("_hyperlink");
    for (auto &[r, entry] : moved_cells) {
        auto &[key, cell] = entry;
        nb::object column = nb::borrow(PyTuple_GET_ITEM(key.ptr(), 1));
        set_item(cells.ptr(), nb::make_tuple(r, column), cell);
        nb::setattr(cell, row_name, nb::int_(r));
        // openpyxl writes a hyperlink at the cell it names, not at its cell.
        nb::object link = nb::getattr(cell, hyperlink_name, nb::none());
        if (!link.is_none()) {
            nb::object ref = link.attr("ref");
            if (PyUnicode_Check(ref.ptr()))
                link.attr("ref") =
                    sheets::moved_area_list(nb::cast<std::string>(ref), insertion, sheets::Growth::Cells);
        }
    }
    for (auto &[r, entry] : moved_rows) {
        set_item(dimensions.ptr(), nb::int_(r), entry.second);
        entry.second.attr("index") = r;
    }
    for (const Moving &m : anchors) {
        if (m.new_top.row != m.top.row)
            m.anchor.attr("_from").attr("row") = m.new_top.row;
        if (m.two && m.new_bottom.row != m.bottom.row)
            m.anchor.attr("to").attr("row") = m.new_bottom.row;
    }
    if (!current.is_none() && nb::cast<long>(current) > row)
        sheet.attr("_current_row") = nb::cast<long>(current) + count;
}

}  // namespace tessel::grid
