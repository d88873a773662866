#include "workbook/block_style.h"

#include "core/once.h"
#include "core/placeholder.h"

#include <datetime.h>

#include <algorithm>
#include <cstring>

namespace tessel::block {

using namespace nb::literals;

namespace {

// Strong references kept for the life of the interpreter.
struct Known {
    PyObject *style_array;      // openpyxl.styles.cell_style.StyleArray
    PyObject *is_date_format;   // openpyxl.styles.numbers.is_date_format
    PyObject *builtin_formats;  // openpyxl.styles.numbers.BUILTIN_FORMATS
    PyObject *copy;             // copy.copy
    long builtin_max;           // ids from here on name the workbook's own formats
};
Known known;

PyObject *keep(nb::object o) { return o.release().ptr(); }

// Pandas' own Excel export: the CSS of a Styler as openpyxl style objects.
struct Css {
    PyObject *formatter;     // pandas.io.formats.excel.ExcelFormatter
    PyObject *to_style;      // OpenpyxlWriter._convert_to_style_kwargs
};

const Css &css_helpers() {
    return tessel::made_once<Css>([] {
        Css c;
        c.formatter = keep(nb::module_::import_("pandas.io.formats.excel").attr("ExcelFormatter"));
        c.to_style = keep(
            nb::module_::import_("pandas.io.excel._openpyxl").attr("OpenpyxlWriter").attr("_convert_to_style_kwargs"));
        return c;
    });
}

constexpr int kNumberFormat = 3;  // index of numFmtId in a StyleArray

bool any_set(const std::array<int, 9> &ids) {
    return std::any_of(ids.begin(), ids.end(), [](int v) { return v != 0; });
}

nb::object make_style(const std::array<int, 9> &ids) {
    nb::list items;
    for (int v : ids)
        items.append(v);
    return nb::borrow(known.style_array)(items);
}

bool is_datetime(nb::handle v) { return PyDateTime_Check(v.ptr()); }

}  // namespace

bool at_midnight(nb::handle v) {
    return PyDateTime_DATE_GET_HOUR(v.ptr()) == 0 && PyDateTime_DATE_GET_MINUTE(v.ptr()) == 0 &&
           PyDateTime_DATE_GET_SECOND(v.ptr()) == 0 && PyDateTime_DATE_GET_MICROSECOND(v.ptr()) == 0;
}

bool read_ids(nb::handle style, std::array<int, 9> &ids) {
    if (style.is_none())
        return false;
    Py_buffer view;
    if (PyObject_GetBuffer(style.ptr(), &view, PyBUF_SIMPLE) < 0)
        throw nb::python_error();
    const bool ok = view.len == (Py_ssize_t) sizeof(ids);
    if (ok)
        std::memcpy(ids.data(), view.buf, sizeof(ids));
    PyBuffer_Release(&view);
    if (!ok)
        throw nb::type_error("a cell's style must hold nine ids");
    return true;
}

void init() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    nb::module_ numbers = nb::module_::import_("openpyxl.styles.numbers");
    known.style_array = keep(nb::module_::import_("openpyxl.styles.cell_style").attr("StyleArray"));
    known.is_date_format = keep(numbers.attr("is_date_format"));
    known.builtin_formats = keep(numbers.attr("BUILTIN_FORMATS"));
    known.builtin_max = nb::cast<long>(numbers.attr("BUILTIN_FORMATS_MAX_SIZE"));
    known.copy = keep(nb::module_::import_("copy").attr("copy"));
}

std::vector<ColumnDates> column_dates(const std::vector<nb::object> &values) {
    std::vector<ColumnDates> out(values.size());
    for (size_t j = 0; j < values.size(); ++j) {
        PyObject *list = values[j].ptr();
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list); i < n; ++i) {
            nb::handle v = PyList_GET_ITEM(list, i);
            if (!is_datetime(v))
                continue;
            out[j].dates = true;
            if (!at_midnight(v)) {
                out[j].midnight = false;
                break;
            }
        }
    }
    return out;
}

BlockStyle::BlockStyle(nb::handle sheet, long row, const std::vector<long> &at,
                       const std::vector<ColumnDates> &columns_dates)
    : sheet_(nb::borrow(sheet)), workbook_(sheet.attr("parent")), row_(row) {
    nb::object dimensions = sheet.attr("row_dimensions");
    nb::object key = nb::int_(row);
    height_ = PyDict_Check(dimensions.ptr()) && PyDict_Contains(dimensions.ptr(), key.ptr()) == 1
                  ? nb::object(dimensions[key].attr("ht"))
                  : nb::none();

    nb::object styles = workbook_.attr("_cell_styles");
    if (nb::len(styles) > 0)
        read_ids(styles[0], default_);

    nb::object cells = sheet.attr("_cells");
    const size_t columns = columns_dates.size();
    plain_.resize(columns);
    dated_.resize(columns);
    midnight_.assign(columns, 1);
    for (size_t j = 0; j < columns; ++j) {
        std::array<int, 9> ids{};
        nb::object key = nb::make_tuple(row, at[j]);
        PyObject *cell = PyDict_GetItemWithError(cells.ptr(), key.ptr());
        if (!cell && PyErr_Occurred())
            throw nb::python_error();
        if (cell)
            read_ids(nb::handle(cell).attr("_style"), ids);
        if (any_set(ids))
            plain_[j] = make_style(ids);

        // A date-time column shows as a date when every value in it is at
        // midnight, unless the template row already shows it as a date.
        if (!columns_dates[j].dates)
            continue;
        midnight_[j] = columns_dates[j].midnight;
        if (is_date_format(ids[kNumberFormat])) {
            dated_[j] = plain_[j];
        } else {
            ids[kNumberFormat] = date_format_id(midnight_[j]);
            dated_[j] = make_style(ids);
        }
    }
}

bool BlockStyle::own(const Ids &ids) const { return any_set(ids) && ids != default_; }

bool BlockStyle::is_date_format(int id) {
    if (id == 0)
        return false;
    auto found = date_formats_.find(id);
    if (found != date_formats_.end())
        return found->second;
    nb::object code;
    if (id < known.builtin_max) {
        PyObject *builtin = PyDict_GetItemWithError(known.builtin_formats, nb::int_(id).ptr());
        if (!builtin && PyErr_Occurred())
            throw nb::python_error();
        code = builtin ? nb::borrow(builtin) : nb::object(nb::str("General"));
    } else {
        code = workbook_.attr("_number_formats")[nb::int_(id - known.builtin_max)];
    }
    const bool date = tessel::truthy(nb::borrow(known.is_date_format)(code));
    date_formats_[id] = date;
    return date;
}

int BlockStyle::date_format_id(bool midnight) {
    int &id = midnight ? date_id_ : datetime_id_;
    if (id < 0) {
        const char *code = midnight ? "yyyy-mm-dd" : "yyyy-mm-dd hh:mm:ss";
        id = nb::cast<int>(workbook_.attr("_number_formats").attr("add")(code)) + (int) known.builtin_max;
        date_formats_[id] = true;
    }
    return id;
}

nb::handle BlockStyle::fresh(Py_ssize_t j, nb::handle value) const {
    const nb::object &style = is_datetime(value) && dated_[(size_t) j].is_valid() ? dated_[(size_t) j]
                                                                                 : plain_[(size_t) j];
    return style;
}

void BlockStyle::restyle(nb::handle cell, Py_ssize_t j, nb::handle value) {
    nb::object style = cell.attr("_style");
    std::array<int, 9> ids{};
    if (!read_ids(style, ids) || !own(ids)) {
        nb::handle wanted = fresh(j, value);
        if (wanted.is_valid())
            cell.attr("_style") = nb::borrow(known.style_array)(wanted);
        return;
    }
    // A cell's own style stays, but a date-time it gets must not show as a number.
    if (is_datetime(value) && !is_date_format(ids[kNumberFormat])) {
        nb::object id = nb::int_(date_format_id(midnight_[(size_t) j]));
        if (PySequence_SetItem(style.ptr(), kNumberFormat, id.ptr()) < 0)
            throw nb::python_error();
    }
}

void BlockStyle::heights(long last_row) const {
    if (height_.is_none() || last_row <= row_)
        return;
    nb::object dimensions = sheet_.attr("row_dimensions");
    for (long r = row_ + 1; r <= last_row; ++r) {
        nb::object key = nb::int_(r);
        PyObject *existing = PyDict_Check(dimensions.ptr()) ? PyDict_GetItemWithError(dimensions.ptr(), key.ptr())
                                                           : nullptr;
        if (!existing && PyErr_Occurred())
            throw nb::python_error();
        if (existing && !nb::handle(existing).attr("ht").is_none())
            continue;
        dimensions[key].attr("ht") = height_;
        if ((r & 0xFFF) == 0)
            tessel::check_signals();
    }
}

bool is_styler(nb::handle value) {
    PyObject *module = PyImport_GetModule(nb::str("pandas.io.formats.style").ptr());
    if (!module) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return false;
    }
    nb::object styler = nb::getattr(nb::steal(module), "Styler", nb::none());
    return !styler.is_none() && nb::isinstance(value, styler);
}

void apply_css(nb::handle styler, nb::handle sheet, long row, long column,
               const std::set<std::pair<Py_ssize_t, Py_ssize_t>> &skipped) {
    const Css &css = css_helpers();
    nb::object formatter = nb::borrow(css.formatter)(styler, "header"_a = false, "index"_a = false);
    nb::object cells = sheet.attr("_cells");
    nb::handle copy(known.copy);
    // Kinds whose CSS names only some of their attributes: those it does not
    // name keep the template's (a bold Styler keeps the template's font).
    static const char *const kMerged[] = {"font", "border", "alignment", "protection"};
    nb::dict done;  // (CSS, style ids before) -> style ids after
    unsigned long count = 0;
    for (nb::handle item : formatter.attr("get_formatted_cells")()) {
        if ((++count & 0xFFF) == 0)
            tessel::check_signals();
        nb::object wanted = item.attr("style");
        if (!tessel::truthy(wanted))
            continue;
        const Py_ssize_t i = nb::cast<Py_ssize_t>(item.attr("row")), j = nb::cast<Py_ssize_t>(item.attr("col"));
        if (skipped.count({i, j}))
            continue;
        nb::object at = nb::make_tuple(row + (long) i, column + (long) j);
        PyObject *found = PyDict_GetItemWithError(cells.ptr(), at.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
        if (!found)
            continue;
        nb::handle cell(found);
        nb::object before = cell.attr("_style");
        nb::object ids = before.is_none() ? nb::object(nb::none()) : nb::object(nb::tuple(before));
        nb::object key = nb::make_tuple(nb::str(wanted), ids);
        if (done.contains(key)) {
            cell.attr("_style") = nb::borrow(known.style_array)(done[key]);
            continue;
        }
        nb::dict converted = nb::borrow<nb::dict>(nb::borrow(css.to_style)(wanted));
        for (auto [kind, value] : converted) {
            nb::object named = wanted.attr("get")(kind);
            if (named.is_none() && nb::str("border").equal(kind))
                named = wanted.attr("get")("borders");
            bool merge = false;
            for (const char *k : kMerged)
                merge = merge || nb::str(k).equal(kind);
            if (merge && PyDict_Check(named.ptr())) {
                nb::object merged = copy(nb::getattr(cell, kind));
                for (nb::handle attribute : named)
                    if (nb::hasattr(value, attribute))
                        nb::setattr(merged, attribute, nb::getattr(value, attribute));
                nb::setattr(cell, kind, merged);
            } else {
                nb::setattr(cell, kind, value);
            }
        }
        done[key] = nb::borrow(known.style_array)(cell.attr("_style"));
    }
}

}  // namespace tessel::block
