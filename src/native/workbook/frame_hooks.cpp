// Private hooks into the frame writer, for tests: each cell's XML and what the
// writer knows of it, for a frame written from A1.
#include "workbook/frame_cells.h"

#include "workbook/cell_values.h"
#include "workbook/references.h"

#include <nanobind/stl/string.h>

namespace tessel::cells {

using namespace nb::literals;

namespace {

struct Shape {
    Py_ssize_t rows, columns;
};

Shape shape_of(nb::handle frame) {
    nb::tuple shape = nb::cast<nb::tuple>(frame.attr("shape"));
    return {nb::cast<Py_ssize_t>(shape[0]), nb::cast<Py_ssize_t>(shape[1])};
}

std::string reference(Py_ssize_t i, Py_ssize_t j) {
    return sheets::column_letters((long) j + 1) + std::to_string(i + 1);
}

// `styles`, indexed by TimeKind, gives each cell the style for its kind of time.
nb::list frame_cells(nb::handle frame, bool date1904, nb::handle styles) {
    const Shape s = shape_of(frame);
    FrameColumns cells(frame, s.rows, s.columns, date1904);
    nb::list rows;
    std::string out;
    for (Py_ssize_t i = 0; i < s.rows; ++i) {
        nb::list row;
        for (Py_ssize_t j = 0; j < s.columns; ++j) {
            long style = -1;
            if (!styles.is_none())
                style = nb::cast<long>(styles[(size_t) cells.time_kind(i, j)]);
            out.clear();
            cells.write_cell(out, i, j, reference(i, j), style);
            row.append(nb::str(out.data(), out.size()));
        }
        rows.append(row);
    }
    return rows;
}

// The rows of a whole block as one sheetData text, for timing the writer.
nb::bytes frame_rows(nb::handle frame, bool date1904) {
    const Shape s = shape_of(frame);
    FrameColumns cells(frame, s.rows, s.columns, date1904);
    std::vector<std::string> letters;
    for (Py_ssize_t j = 0; j < s.columns; ++j)
        letters.push_back(sheets::column_letters((long) j + 1));
    std::string out, ref;
    for (Py_ssize_t i = 0; i < s.rows; ++i) {
        const std::string row = std::to_string(i + 1);
        out += "<row r=\"" + row + "\">";
        for (Py_ssize_t j = 0; j < s.columns; ++j) {
            ref = letters[(size_t) j];
            ref += row;
            cells.write_cell(out, i, j, ref, -1);
        }
        out += "</row>";
    }
    return nb::bytes(out.data(), out.size());
}

nb::dict frame_facts(nb::handle frame, bool date1904) {
    const Shape s = shape_of(frame);
    FrameColumns cells(frame, s.rows, s.columns, date1904);
    // What the converter the writer stands in for gives, to hold value() to.
    const std::vector<nb::object> converted = frame_columns(frame, s.rows, s.columns);
    nb::object marker = nb::str("<refused>");
    auto shown = [&](nb::handle v) { return v.is(refused_marker()) ? marker : nb::borrow(v); };
    nb::list kinds, empty, values, expected, refused, datetimes, midnight;
    for (Py_ssize_t i = 0; i < s.rows; ++i) {
        nb::list k, e, v, x;
        for (Py_ssize_t j = 0; j < s.columns; ++j) {
            k.append((int) cells.time_kind(i, j));
            e.append(cells.empty(i, j));
            v.append(shown(cells.value(i, j)));
            x.append(shown(PyList_GET_ITEM(converted[(size_t) j].ptr(), i)));
        }
        kinds.append(k);
        empty.append(e);
        values.append(v);
        expected.append(x);
    }
    for (const auto &[i, j] : cells.refused_cells())
        refused.append(nb::make_tuple(i, j));
    for (Py_ssize_t j = 0; j < s.columns; ++j) {
        datetimes.append(cells.has_datetimes(j));
        midnight.append(cells.all_midnight(j));
    }
    nb::dict d;
    d["kinds"] = kinds;
    d["empty"] = empty;
    d["values"] = values;
    d["converted"] = expected;
    d["refused"] = refused;
    d["datetimes"] = datetimes;
    d["midnight"] = midnight;
    return d;
}

}  // namespace

void def_frame_hooks(nb::module_ &m) {
    m.def("_frame_cells", &frame_cells, "frame"_a, "date1904"_a = false, "styles"_a.none() = nb::none(),
          nb::sig("def _frame_cells(frame: typing.Any, date1904: bool = False, "
                  "styles: list[int] | None = None) -> list[list[str]]"));
    m.def("_frame_rows", &frame_rows, "frame"_a, "date1904"_a = false,
          nb::sig("def _frame_rows(frame: typing.Any, date1904: bool = False) -> bytes"));
    m.def("_frame_facts", &frame_facts, "frame"_a, "date1904"_a = false,
          nb::sig("def _frame_facts(frame: typing.Any, date1904: bool = False) -> dict[str, list]"));
}

}  // namespace tessel::cells
