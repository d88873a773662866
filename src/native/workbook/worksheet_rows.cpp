#include "workbook/worksheet_rows.h"

#include "workbook/references.h"

#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

namespace tessel::grid {

namespace {

using Moves = std::vector<std::pair<long, nb::object>>;  // new row, and what moves there

long row_key(PyObject *key) {
    PyObject *row = PyTuple_Check(key) ? PyTuple_GET_ITEM(key, 0) : key;
    long r = PyLong_AsLong(row);
    if (r == -1 && PyErr_Occurred())
        throw nb::python_error();
    return r;
}

// Takes the entries under `row` out of a dict keyed by row or by (row, column).
// Returns false, taking nothing, when one would leave the sheet.
bool take_below(PyObject *dict, long row, long count, std::vector<std::pair<nb::object, nb::object>> &taken) {
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(dict, &at, &key, &value)) {
        long r = row_key(key);
        if (r <= row)
            continue;
        if (r + count > sheets::kMaxRow) {
            taken.clear();
            return false;
        }
        taken.emplace_back(nb::borrow(key), nb::borrow(value));
    }
    for (auto &[k, v] : taken)
        if (PyDict_DelItem(dict, k.ptr()) < 0)
            throw nb::python_error();
    return true;
}

void set_item(PyObject *dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict, key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

void move_marker(nb::handle anchor, const char *name, const sheets::Marker &before, const sheets::Marker &after) {
    if (before.row != after.row)
        anchor.attr(name).attr("row") = after.row;
}

sheets::Marker marker_of(nb::handle marker) {
    return sheets::Marker{nb::cast<long>(marker.attr("row")), nb::cast<long long>(marker.attr("rowOff"))};
}

// A picture or chart that openpyxl read keeps its anchor object; one the fill
// placed has a cell name, above any row inserted after it.
void move_anchor(nb::handle anchor, const sheets::Insertions &insertions) {
    if (PyUnicode_Check(anchor.ptr()) || !nb::hasattr(anchor, "_from"))
        return;
    const std::string kind = nb::cast<std::string>(nb::type_name(anchor.type()));
    const bool two = kind == "TwoCellAnchor";
    sheets::Follow follow = sheets::Follow::Move;
    if (two) {
        nb::object edit = anchor.attr("editAs");
        std::string as = edit.is_none() ? "twoCell" : nb::cast<std::string>(edit);
        follow = as == "absolute" ? sheets::Follow::Stay
               : as == "oneCell"  ? sheets::Follow::Move
                                  : sheets::Follow::MoveAndSize;
    }
    nb::object from = anchor.attr("_from");
    sheets::Marker top = marker_of(from);
    sheets::Marker bottom = two ? marker_of(anchor.attr("to")) : top;
    sheets::Marker new_top = top, new_bottom = bottom;
    sheets::move_anchor(new_top, new_bottom, follow, insertions);
    move_marker(anchor, "_from", top, new_top);
    if (two)
        move_marker(anchor, "to", bottom, new_bottom);
}

}  // namespace

bool insert_rows(nb::handle sheet, long row, long count) {
    if (count <= 0)
        return true;
    const sheets::Insertions insertion{sheets::Insertion{row, count}};
    nb::object cells = sheet.attr("_cells"), dimensions = sheet.attr("row_dimensions");
    if (!PyDict_Check(cells.ptr()) || !PyDict_Check(dimensions.ptr()))
        throw nb::type_error("a worksheet's cells and rows must be held in dicts");

    std::vector<std::pair<nb::object, nb::object>> moved_cells, moved_rows;
    if (!take_below(cells.ptr(), row, count, moved_cells))
        return false;
    if (!take_below(dimensions.ptr(), row, count, moved_rows)) {
        for (auto &[k, v] : moved_cells)
            set_item(cells.ptr(), k, v);
        return false;
    }

    nb::str row_name("row"), hyperlink_name("_hyperlink");
    for (auto &[key, cell] : moved_cells) {
        long r = row_key(key.ptr()) + count;
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
    for (auto &[key, dimension] : moved_rows) {
        long r = row_key(key.ptr()) + count;
        set_item(dimensions.ptr(), nb::int_(r), dimension);
        dimension.attr("index") = r;
    }

    for (const char *kind : {"_images", "_charts"})
        for (nb::handle item : sheet.attr(kind))
            move_anchor(item.attr("anchor"), insertion);

    nb::object current = nb::getattr(sheet, "_current_row", nb::none());
    if (!current.is_none() && nb::cast<long>(current) > row)
        sheet.attr("_current_row") = nb::cast<long>(current) + count;
    return true;
}

}  // namespace tessel::grid
