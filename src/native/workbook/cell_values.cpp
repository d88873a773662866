#include "workbook/cell_values.h"

#include "core/placeholder.h"
#include "core/scalar_types.h"

#include <datetime.h>
#include <nanobind/stl/string.h>

#include <cmath>

namespace tessel::cells {

using namespace nb::literals;

namespace {

// Strong references kept for the life of the interpreter: released from their
// nb::object so that nothing is decremented after the interpreter has gone.
struct Known {
    PyObject *as_text;  // tuple of the types written as their text (Period, Interval, UUID)
    PyObject *cell_types;  // tuple of openpyxl's own cell value types (rich text, formulas)
    PyObject *refused;
};
Known known;

using scalars::is_instance;
using scalars::keep;

const scalars::Types &types() { return scalars::types(); }

template <typename Char> bool storable_chars(const Char *s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!storable_char(s[i]))
            return false;
    return true;
}

Outcome text_value(nb::object text, nb::object &out) {
    if (!storable_text(text))
        return Outcome::Refused;
    out = std::move(text);
    return Outcome::Value;
}

Outcome double_value(double d, nb::handle original, nb::object &out) {
    if (std::isnan(d))
        return Outcome::Empty;
    if (std::isinf(d))
        return Outcome::Refused;
    out = original.is_valid() && PyFloat_CheckExact(original.ptr()) ? nb::borrow(original) : nb::float_(d);
    return Outcome::Value;
}

// A numpy datetime64 or timedelta64 scalar, through microseconds: .item() then
// gives a datetime or timedelta, None for NaT, and an int outside their range.
Outcome numpy_time_value(nb::handle v, const char *unit, bool is_datetime, nb::object &out) {
    nb::object item = v.attr("astype")(unit).attr("item")();
    if (item.is_none())
        return Outcome::Empty;
    const bool ok = is_datetime ? PyDateTime_Check(item.ptr()) : PyDelta_Check(item.ptr());
    if (!ok)
        return Outcome::Refused;
    out = std::move(item);
    return Outcome::Value;
}

Outcome datetime_value(nb::handle v, nb::object &out) {
    if (is_instance(v.ptr(), types().pd_timestamp)) {
        nb::object ts = nb::borrow(v);
        if (!ts.attr("tz").is_none())
            ts = ts.attr("tz_localize")(nb::none());
        out = ts.attr("to_pydatetime")("warn"_a = false);
        return Outcome::Value;
    }
    // Excel has no time zones: an aware time is written as its wall-clock time.
    if (PyDateTime_DATE_GET_TZINFO(v.ptr()) != Py_None)
        out = v.attr("replace")("tzinfo"_a = nb::none());
    else
        out = nb::borrow(v);
    return Outcome::Value;
}

Outcome numpy_value(nb::handle v, nb::object &out) {
    PyObject *p = v.ptr();
    if (is_instance(p, types().np_bool)) {
        out = nb::bool_(PyObject_IsTrue(p) == 1);
        return Outcome::Value;
    }
    if (is_instance(p, types().np_integer)) {
        PyObject *i = PyNumber_Long(p);
        if (!i)
            throw nb::python_error();
        out = nb::steal(i);
        return Outcome::Value;
    }
    if (is_instance(p, types().np_floating)) {
        const double d = PyFloat_AsDouble(p);
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return double_value(d, nb::handle(), out);
    }
    if (is_instance(p, types().np_datetime64))
        return numpy_time_value(v, "datetime64[us]", true, out);
    if (is_instance(p, types().np_timedelta64))
        return numpy_time_value(v, "timedelta64[us]", false, out);
    if (is_instance(p, types().np_str))
        return text_value(nb::str(v), out);
    if (is_instance(p, types().np_bytes))
        return convert(nb::bytes(v), out);
    return Outcome::Refused;
}

Outcome other_value(nb::handle v, nb::object &out) {
    PyObject *p = v.ptr();
    // Subclasses (IntEnum, str subclasses...) are written as their base value, the
    // form in which openpyxl writes them correctly.
    if (PyLong_Check(p)) {
        PyObject *i = PyNumber_Long(p);
        if (!i)
            throw nb::python_error();
        out = nb::steal(i);
        return Outcome::Value;
    }
    if (PyFloat_Check(p))
        return double_value(PyFloat_AS_DOUBLE(p), nb::handle(), out);
    if (PyUnicode_Check(p)) {
        PyObject *s = PyUnicode_FromObject(p);
        if (!s)
            throw nb::python_error();
        return text_value(nb::steal(s), out);
    }
    if (PyBytes_Check(p)) {
        PyObject *s = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p), nullptr);
        if (!s) {
            PyErr_Clear();
            return Outcome::Refused;
        }
        return text_value(nb::steal(s), out);
    }
    if (is_instance(p, types().decimal)) {
        if (nb::bool_(v.attr("is_nan")()))
            return Outcome::Empty;
        if (nb::bool_(v.attr("is_infinite")()))
            return Outcome::Refused;
        out = nb::borrow(v);
        return Outcome::Value;
    }
    if (is_instance(p, known.cell_types)) {
        out = nb::borrow(v);
        return Outcome::Value;
    }
    // Values Excel has no type for but whose text reads as what they are.
    if (is_instance(p, known.as_text))
        return text_value(nb::str(v), out);
    return Outcome::Refused;
}

// Applies `convert` to every entry of a list in place.
void convert_entries(PyObject *list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle item = PyList_GET_ITEM(list, i);
        nb::object out;
        const Outcome outcome = convert_or_refuse(item, out);
        if (outcome == Outcome::Value) {
            if (!out.is(item))
                PyList_SetItem(list, i, out.release().ptr());
        } else {
            PyObject *r = outcome == Outcome::Empty ? Py_None : known.refused;
            Py_INCREF(r);
            PyList_SetItem(list, i, r);
        }
        if ((i & 0xFFF) == 0xFFF && PyErr_CheckSignals() < 0)
            throw nb::python_error();
    }
}

// The list of a float column: NaN becomes None, infinities are refused.
void convert_floats(PyObject *list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double d = PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, i));
        if (std::isfinite(d))
            continue;
        PyObject *r = std::isnan(d) ? Py_None : known.refused;
        Py_INCREF(r);
        PyList_SetItem(list, i, r);
    }
}

// The list of a datetime64 or timedelta64 column in microseconds: NaT is already
// None; an int stands for a time outside the Python range.
void check_times(PyObject *list, bool is_datetime) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (item == Py_None || (is_datetime ? PyDateTime_Check(item) : PyDelta_Check(item)))
            continue;
        Py_INCREF(known.refused);
        PyList_SetItem(list, i, known.refused);
    }
}

nb::object time_column(nb::object array, bool is_datetime) {
    nb::object list =
        array.attr("astype")(is_datetime ? "datetime64[us]" : "timedelta64[us]").attr("tolist")();
    check_times(list.ptr(), is_datetime);
    return list;
}

nb::object column_values(nb::handle column) {
    nb::object dtype = column.attr("dtype");
    if (is_instance(dtype.ptr(), types().np_dtype)) {
        nb::object array = column.attr("to_numpy")();
        const char kind = nb::cast<std::string>(dtype.attr("kind"))[0];
        switch (kind) {
            case 'i':
            case 'u':
            case 'b':
                return array.attr("tolist")();
            case 'f': {
                nb::object list = array.attr("tolist")();
                // A long double column lists numpy scalars, not floats: each is
                // converted by its value.
                if (nb::cast<int>(dtype.attr("itemsize")) > 8)
                    convert_entries(list.ptr());
                else
                    convert_floats(list.ptr());
                return list;
            }
            case 'M':
                return time_column(array, true);
            case 'm':
                return time_column(array, false);
            default:
                break;
        }
    } else if (is_instance(dtype.ptr(), types().pd_tz_dtype)) {
        nb::object naive = column.attr("dt").attr("tz_localize")(nb::none());
        return time_column(naive.attr("to_numpy")(), true);
    }
    nb::object list = column.attr("to_numpy")("dtype"_a = nb::handle((PyObject *) &PyBaseObject_Type))
                          .attr("tolist")();
    convert_entries(list.ptr());
    return list;
}

}  // namespace

void init() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    scalars::types();
    nb::module_ pd = nb::module_::import_("pandas");
    known.as_text = keep(nb::make_tuple(pd.attr("Period"), pd.attr("Interval"),
                                        nb::module_::import_("uuid").attr("UUID")));
    nb::module_ formula = nb::module_::import_("openpyxl.worksheet.formula");
    known.cell_types =
        keep(nb::make_tuple(nb::module_::import_("openpyxl.cell.rich_text").attr("CellRichText"),
                            formula.attr("ArrayFormula"), formula.attr("DataTableFormula")));
    known.refused = keep(nb::handle((PyObject *) &PyBaseObject_Type)());
}

nb::handle refused_marker() { return known.refused; }

bool storable_char(Py_UCS4 c) {
    // Control characters but tab and line breaks, lone surrogates and
    // non-characters cannot be written to an XML part.
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r';
    return !((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF);
}

bool storable_text(nb::handle text) {
    PyObject *s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n > kMaxTextLength)
        return false;
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return storable_chars(PyUnicode_1BYTE_DATA(s), n);
        case PyUnicode_2BYTE_KIND:
            return storable_chars(PyUnicode_2BYTE_DATA(s), n);
        default:
            return storable_chars(PyUnicode_4BYTE_DATA(s), n);
    }
}

nb::str why_not_storable(nb::handle text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n > kMaxTextLength)
        return nb::str("a text of {:,} characters is longer than a cell holds ({:,})")
            .format(n, kMaxTextLength);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        if (!storable_char(c))
            return nb::str("the text holds the character U+{:04X}, which a cell cannot hold")
                .format((unsigned long) c);
    }
    return nb::str("the text cannot be stored in a cell");
}

nb::str why_refused(nb::handle value) {
    if (PyUnicode_Check(value.ptr()))
        return why_not_storable(value);
    if (PyFloat_Check(value.ptr()) || is_instance(value.ptr(), types().np_floating) ||
        is_instance(value.ptr(), types().decimal))
        return nb::str("{!r} cannot be stored in a cell").format(value);
    nb::handle type = (PyObject *) Py_TYPE(value.ptr());
    return nb::str("a value of type {} cannot be stored in a cell").format(type.attr("__qualname__"));
}

Outcome convert(nb::handle value, nb::object &out) {
    PyObject *v = value.ptr();
    if (v == Py_None)
        return Outcome::Empty;
    if (PyBool_Check(v) || PyLong_CheckExact(v)) {
        out = nb::borrow(value);
        return Outcome::Value;
    }
    if (PyFloat_CheckExact(v))
        return double_value(PyFloat_AS_DOUBLE(v), value, out);
    if (PyUnicode_CheckExact(v))
        return text_value(nb::borrow(value), out);
    if (v == types().na || v == types().nat)
        return Outcome::Empty;
    if (PyDateTime_Check(v))
        return datetime_value(value, out);
    if (PyDate_Check(v)) {
        out = nb::borrow(value);
        return Outcome::Value;
    }
    if (PyTime_Check(v)) {
        if (PyDateTime_TIME_GET_TZINFO(v) != Py_None)
            out = value.attr("replace")("tzinfo"_a = nb::none());
        else
            out = nb::borrow(value);
        return Outcome::Value;
    }
    if (PyDelta_Check(v)) {
        out = is_instance(v, types().pd_timedelta) ? value.attr("to_pytimedelta")() : nb::borrow(value);
        return Outcome::Value;
    }
    if (is_instance(v, types().np_generic))
        return numpy_value(value, out);
    return other_value(value, out);
}

Outcome convert_or_refuse(nb::handle value, nb::object &out) {
    try {
        return convert(value, out);
    } catch (nb::python_error &e) {
        if (is_interrupt(e))
            throw;
        return Outcome::Refused;
    }
}

std::vector<nb::object> frame_columns(nb::handle frame, Py_ssize_t rows, Py_ssize_t columns) {
    nb::object iloc = frame.attr("iloc");
    nb::object all_rows = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    std::vector<nb::object> out;
    out.reserve((size_t) columns);
    for (Py_ssize_t j = 0; j < columns; ++j) {
        nb::object list = column_values(iloc[nb::make_tuple(all_rows, j)]);
        if (!PyList_Check(list.ptr()) || PyList_GET_SIZE(list.ptr()) != rows)
            throw nb::value_error("a data frame column does not match the frame's shape");
        out.push_back(std::move(list));
    }
    return out;
}

}  // namespace tessel::cells
