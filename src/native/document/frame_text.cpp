#include "document/frame_text.h"

#include "core/scalar_types.h"

#include <datetime.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <string>

namespace tessel::frames {

using namespace nb::literals;

namespace {

// Strong references kept for the life of the interpreter.
struct Known {
    PyObject *modules;
    PyObject *object_type;
    PyObject *empty;
    PyObject *css_converter;  // made on the first Styler
    PyObject *series;
    PyObject *is_numeric_dtype;
    PyObject *is_bool_dtype;
};
Known known;

using scalars::is_instance;
using scalars::keep;

const scalars::Types &types() { return scalars::types(); }

nb::object str_of(PyObject *v) {
    PyObject *s = PyObject_Str(v);
    if (!s)
        throw nb::python_error();
    return nb::steal(s);
}

nb::object empty() { return nb::borrow(known.empty); }

// At most 15 significant digits: the digits a double always keeps, so the noise of
// binary fractions (0.1 + 0.2) never shows.  Whole numbers lose their ".0".
nb::object float_text(double d) {
    if (std::isnan(d))
        return empty();
    char *s = PyOS_double_to_string(d, 'g', 15, 0, nullptr);
    if (!s)
        throw nb::python_error();
    std::string text(s);
    PyMem_Free(s);
    if (text == "-0")
        text = "0";
    return nb::str(text.c_str());
}

// A date at midnight is a date; other times keep only the fractions they have.
nb::object datetime_text(nb::handle v) {
    PyObject *p = v.ptr();
    const bool midnight = PyDateTime_DATE_GET_HOUR(p) == 0 && PyDateTime_DATE_GET_MINUTE(p) == 0 &&
                          PyDateTime_DATE_GET_SECOND(p) == 0 &&
                          PyDateTime_DATE_GET_MICROSECOND(p) == 0 &&
                          (!is_instance(p, types().pd_timestamp) ||
                           nb::cast<long>(v.attr("nanosecond")) == 0);
    if (midnight) {
        PyObject *date = PyDate_FromDate(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p),
                                         PyDateTime_GET_DAY(p));
        if (!date)
            throw nb::python_error();
        return str_of(nb::steal(date).ptr());
    }
    return str_of(p);
}

nb::object numpy_text(nb::handle v) {
    PyObject *p = v.ptr();
    if (is_instance(p, types().np_bool))
        return nb::str(PyObject_IsTrue(p) == 1 ? "True" : "False");
    if (is_instance(p, types().np_integer)) {
        PyObject *i = PyNumber_Long(p);
        if (!i)
            throw nb::python_error();
        return str_of(nb::steal(i).ptr());
    }
    if (is_instance(p, types().np_floating)) {
        // A narrower float reads as its own shortest digits.
        nb::object wide = nb::cast<long>(v.attr("itemsize")) < 8
                              ? nb::steal(PyFloat_FromString(str_of(p).ptr()))
                              : nb::borrow(v);
        if (!wide.is_valid())
            throw nb::python_error();
        const double d = PyFloat_AsDouble(wide.ptr());
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return float_text(d);
    }
    // Through microseconds: .item() then gives a datetime or timedelta, None for
    // NaT, and an int outside their range.
    if (is_instance(p, types().np_datetime64))
        return value_text(v.attr("astype")("datetime64[us]").attr("item")());
    if (is_instance(p, types().np_timedelta64))
        return value_text(v.attr("astype")("timedelta64[us]").attr("item")());
    return value_text(v.attr("item")());
}

// Applies `value_text` to every entry of a list in place.
void texts_in_place(PyObject *list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object text = value_text(PyList_GET_ITEM(list, i));
        PyList_SetItem(list, i, text.release().ptr());
        if ((i & 0xFFF) == 0xFFF && PyErr_CheckSignals() < 0)
            throw nb::python_error();
    }
}

void floats_in_place(PyObject *list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object text = float_text(PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, i)));
        PyList_SetItem(list, i, text.release().ptr());
    }
}

void narrow_floats_in_place(PyObject *list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *d = PyFloat_FromString(PyList_GET_ITEM(list, i));
        if (!d)
            throw nb::python_error();
        nb::object text = float_text(PyFloat_AS_DOUBLE(d));
        Py_DECREF(d);
        PyList_SetItem(list, i, text.release().ptr());
    }
}

void str_in_place(PyObject *list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SetItem(list, i, str_of(PyList_GET_ITEM(list, i)).release().ptr());
}

nb::object as_list(nb::object values) {
    nb::object list = values.attr("tolist")();
    if (!PyList_Check(list.ptr()))
        throw nb::type_error("a data frame column did not give a list");
    return list;
}

// One column's texts; whole numeric and datetime columns are converted in bulk.
nb::object column_texts(nb::handle column) {
    nb::object dtype = column.attr("dtype");
    if (is_instance(dtype.ptr(), types().np_dtype)) {
        nb::object array = column.attr("to_numpy")();
        const char kind = nb::cast<std::string>(dtype.attr("kind"))[0];
        nb::object list;
        switch (kind) {
            case 'i':
            case 'u':
            case 'b':
                list = as_list(array);
                str_in_place(list.ptr());
                return list;
            case 'f':
                if (nb::cast<long>(dtype.attr("itemsize")) < 8) {
                    // Narrower floats go through their own shortest digits: float32's
                    // 0.1 is 0.100000001490116 as a double.
                    list = as_list(array.attr("astype")("U"));
                    narrow_floats_in_place(list.ptr());
                } else {
                    list = as_list(array.attr("astype")("float64"));
                    floats_in_place(list.ptr());
                }
                return list;
            case 'M':
                list = as_list(array.attr("astype")("datetime64[us]"));
                texts_in_place(list.ptr());
                return list;
            case 'm':
                list = as_list(array.attr("astype")("timedelta64[us]"));
                texts_in_place(list.ptr());
                return list;
            default:
                break;
        }
    }
    nb::object list = as_list(column.attr("to_numpy")("dtype"_a = nb::handle(known.object_type)));
    texts_in_place(list.ptr());
    return list;
}

nb::handle styler_type() {
    // A Styler exists only once its module is loaded, which needs Jinja2: look for
    // the module instead of importing it.
    PyObject *module = PyDict_GetItemString(known.modules, "pandas.io.formats.style");
    if (!module)
        return nb::handle();
    PyObject *cls = PyObject_GetAttrString(module, "Styler");
    if (!cls) {
        PyErr_Clear();
        return nb::handle();
    }
    Py_DECREF(cls);  // the module keeps it
    return cls;
}

bool is_styler(nb::handle value) {
    nb::handle cls = styler_type();
    return cls.is_valid() && is_instance(value.ptr(), cls.ptr());
}

nb::object call_converter(const std::string &css) {
    if (!known.css_converter)
        known.css_converter =
            keep(nb::module_::import_("pandas.io.formats.excel").attr("CSSToExcelConverter")());
    return nb::handle(known.css_converter)(css);
}

// What the pandas converter of Excel exports makes of the declarations; a
// declaration it cannot read (an unknown colour form) is left out.
nb::object excel_style(const nb::handle declarations) {
    std::vector<std::string> parts;
    for (nb::handle pair : declarations)
        parts.push_back(nb::cast<std::string>(nb::str(pair[0])) + ":" +
                        nb::cast<std::string>(nb::str(pair[1])));
    std::string all;
    for (const std::string &p : parts)
        all += p + ";";
    try {
        return call_converter(all);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt))
            throw;
    }
    std::string readable;
    for (const std::string &p : parts) {
        try {
            call_converter(p);
            readable += p + ";";
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyboardInterrupt))
                throw;
        }
    }
    return call_converter(readable);
}

int toggle(nb::handle font, const char *key) {
    nb::object v = font.attr("get")(key);
    return v.is_none() ? -1 : (PyObject_IsTrue(v.ptr()) == 1 ? 1 : 0);
}

nb::object colour(nb::handle v) {
    if (v.is_none() || !PyUnicode_Check(v.ptr()) || PyUnicode_GET_LENGTH(v.ptr()) != 6)
        return nb::object();
    return nb::borrow(v);
}

CellLook look_of(nb::handle declarations) {
    CellLook look;
    if (!declarations.is_valid() || PyObject_Length(declarations.ptr()) <= 0) {
        PyErr_Clear();
        return look;
    }
    nb::object style = excel_style(declarations);
    nb::object font = style.attr("get")("font");
    if (!font.is_none()) {
        look.bold = toggle(font, "bold");
        look.italic = toggle(font, "italic");
        look.color = colour(font.attr("get")("color"));
    }
    nb::object fill = style.attr("get")("fill");
    if (!fill.is_none())
        look.fill = colour(fill.attr("get")("fgColor"));
    return look;
}

bool shows_missing(nb::handle text) {
    for (const char *word : {"nan", "NaN", "<NA>", "NaT", "None"})
        if (text.equal(nb::str(word)))
            return true;
    return false;
}

std::vector<Py_ssize_t> visible(Py_ssize_t count, nb::handle hidden) {
    std::vector<char> off((size_t) count, 0);
    for (nb::handle h : hidden) {
        const Py_ssize_t k = nb::cast<Py_ssize_t>(h);
        if (k >= 0 && k < count)
            off[(size_t) k] = 1;
    }
    std::vector<Py_ssize_t> out;
    for (Py_ssize_t k = 0; k < count; ++k)
        if (!off[(size_t) k])
            out.push_back(k);
    return out;
}

Block read_styler(nb::handle styler) {
    nb::object data = styler.attr("data");
    nb::object shape = data.attr("shape");
    const Py_ssize_t n = nb::cast<Py_ssize_t>(shape[0]), m = nb::cast<Py_ssize_t>(shape[1]);
    const std::vector<Py_ssize_t> rows = visible(n, styler.attr("hidden_rows"));
    const std::vector<Py_ssize_t> columns = visible(m, styler.attr("hidden_columns"));
    styler.attr("_compute")();
    nb::object ctx = styler.attr("ctx");
    nb::object display = styler.attr("_display_funcs");
    nb::object iloc = data.attr("iloc");
    nb::object all_rows = nb::steal(PySlice_New(nullptr, nullptr, nullptr));

    Block block;
    block.rows = (Py_ssize_t) rows.size();
    block.columns = (Py_ssize_t) columns.size();
    block.looks.resize(rows.size() * columns.size());
    bool styled = false;
    for (size_t l = 0; l < columns.size(); ++l) {
        // Iterating a column gives the values that the Styler's formatters get.
        nb::object values = nb::steal(PySequence_List(iloc[nb::make_tuple(all_rows, columns[l])].ptr()));
        if (!values.is_valid())
            throw nb::python_error();
        nb::list texts;
        for (size_t k = 0; k < rows.size(); ++k) {
            nb::handle value = PyList_GET_ITEM(values.ptr(), rows[k]);
            nb::object key = nb::make_tuple(rows[k], columns[l]);
            nb::object text = display[key](value);
            if (!PyUnicode_Check(text.ptr()))
                text = str_of(text.ptr());
            // A missing value shows empty unless the Styler gives it a text of its own.
            if (shows_missing(text) && PyUnicode_GET_LENGTH(value_text(value).ptr()) == 0 &&
                !PyUnicode_Check(value.ptr()))
                text = empty();
            texts.append(text);
            int has = PySequence_Contains(ctx.ptr(), key.ptr());
            if (has < 0)
                throw nb::python_error();
            if (has) {
                CellLook &look = block.looks[k * columns.size() + l];
                nb::object declarations = ctx[key];
                look = look_of(declarations);
                styled = styled || look.any();
            }
        }
        block.texts.push_back(std::move(texts));
    }
    if (!styled)
        block.looks.clear();
    return block;
}

const CellLook no_look;

}  // namespace

void init() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    scalars::types();
    known.modules = keep(nb::module_::import_("sys").attr("modules"));
    known.object_type = keep(nb::borrow((PyObject *) &PyBaseObject_Type));
    known.empty = keep(nb::str(""));
    nb::module_ pandas = nb::module_::import_("pandas");
    known.series = keep(pandas.attr("Series"));
    nb::object api = nb::module_::import_("pandas.api.types");
    known.is_numeric_dtype = keep(api.attr("is_numeric_dtype"));
    known.is_bool_dtype = keep(api.attr("is_bool_dtype"));
}

bool is_series(nb::handle value) { return is_instance(value.ptr(), known.series); }

bool is_block(nb::handle value) {
    return is_instance(value.ptr(), types().data_frame) || is_styler(value);
}

const CellLook &Block::look(Py_ssize_t row, Py_ssize_t column) const {
    if (looks.empty())
        return no_look;
    return looks[(size_t) (row * columns + column)];
}

namespace {

Block read_values(nb::handle value);

// The first character of a text that an XML part cannot carry, or 0.
template <typename Char> Py_UCS4 first_illegal(const Char *s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = s[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || (c >= 0xD800 && c <= 0xDFFF) ||
            c == 0xFFFE || c == 0xFFFF)
            return c == 0 ? 0x110000 : c;  // NUL itself is reported too
    }
    return 0;
}

Py_UCS4 first_illegal(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return first_illegal(PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND:
            return first_illegal(PyUnicode_2BYTE_DATA(text), n);
        default:
            return first_illegal(PyUnicode_4BYTE_DATA(text), n);
    }
}

void empty_illegal_texts(Block &block) {
    for (Py_ssize_t j = 0; j < block.columns; ++j) {
        PyObject *list = block.texts[(size_t) j].ptr();
        for (Py_ssize_t i = 0; i < block.rows; ++i) {
            const Py_UCS4 c = first_illegal(PyList_GET_ITEM(list, i));
            if (!c)
                continue;
            if (!block.refused.is_valid())
                block.refused = nb::str("the frame's value in row {}, column {} holds the character "
                                        "U+{:04X}, which a document cannot hold")
                                    .format(i + 1, j + 1, (unsigned long) (c == 0x110000 ? 0 : c));
            PyObject *blank = PyUnicode_New(0, 0);
            if (!blank)
                throw nb::python_error();
            PyList_SetItem(list, i, blank);
        }
    }
}

}  // namespace

Block read_block(nb::handle value) {
    Block block = read_values(value);
    empty_illegal_texts(block);
    return block;
}

namespace {

Block read_values(nb::handle value) {
    if (!is_instance(value.ptr(), types().data_frame))
        return read_styler(value);
    nb::object shape = value.attr("shape");
    Block block;
    block.rows = nb::cast<Py_ssize_t>(shape[0]);
    block.columns = nb::cast<Py_ssize_t>(shape[1]);
    nb::object iloc = value.attr("iloc");
    nb::object all_rows = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    for (Py_ssize_t j = 0; j < block.columns; ++j) {
        nb::object texts = column_texts(iloc[nb::make_tuple(all_rows, j)]);
        if (PyList_GET_SIZE(texts.ptr()) != block.rows)
            throw nb::value_error("a data frame column does not match the frame's shape");
        block.texts.push_back(std::move(texts));
    }
    return block;
}

}  // namespace

nb::object value_text(nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None || v == types().na || v == types().nat)
        return empty();
    if (PyUnicode_CheckExact(v))
        return nb::borrow(value);
    if (PyBool_Check(v))
        return nb::str(v == Py_True ? "True" : "False");
    if (PyLong_Check(v)) {
        PyObject *i = PyNumber_Long(v);  // an IntEnum reads as its number
        if (!i)
            throw nb::python_error();
        return str_of(nb::steal(i).ptr());
    }
    if (PyFloat_Check(v))
        return float_text(PyFloat_AS_DOUBLE(v));
    if (PyDateTime_Check(v))
        return datetime_text(value);
    if (PyDelta_Check(v)) {
        if (is_instance(v, types().pd_timedelta))
            return str_of(value.attr("to_pytimedelta")().ptr());
        return str_of(v);
    }
    if (is_instance(v, types().np_generic))
        return numpy_text(value);
    if (is_instance(v, types().decimal) && PyObject_IsTrue(value.attr("is_nan")().ptr()) == 1)
        return empty();
    return str_of(v);
}

namespace {

// True and False are no quantities: they stay on the left like words.
bool holds_numbers(nb::handle dtype) {
    auto asks = [&](PyObject *test) {
        const int r = PyObject_IsTrue(nb::handle(test)(dtype).ptr());
        if (r < 0)
            throw nb::python_error();
        return r == 1;
    };
    return asks(known.is_numeric_dtype) && !asks(known.is_bool_dtype);
}

void add_column(Frame &frame, nb::handle name, nb::handle dtype) {
    frame.names.push_back(value_text(name));
    frame.numeric.push_back(holds_numbers(dtype));
}

}  // namespace

Frame read_frame(nb::handle value) {
    Frame frame;
    if (is_series(value)) {
        nb::object index = value.attr("index");
        Block &block = frame.block;
        block.rows = (Py_ssize_t) nb::len(value);
        block.columns = 2;
        block.texts.push_back(column_texts(index));
        block.texts.push_back(column_texts(value));
        for (const nb::object &texts : block.texts)
            if (PyList_GET_SIZE(texts.ptr()) != block.rows)
                throw nb::value_error("a Series does not match its index");
        empty_illegal_texts(block);
        add_column(frame, index.attr("name"), index.attr("dtype"));
        add_column(frame, value.attr("name"), value.attr("dtype"));
        return frame;
    }
    frame.block = read_block(value);
    const bool styler = !is_instance(value.ptr(), types().data_frame);
    nb::object data = styler ? value.attr("data") : nb::borrow(value);
    nb::object columns = data.attr("columns"), dtypes = data.attr("dtypes");
    const Py_ssize_t m = (Py_ssize_t) nb::len(columns);
    const std::vector<Py_ssize_t> shown =
        styler ? visible(m, value.attr("hidden_columns")) : visible(m, nb::list());
    for (Py_ssize_t j : shown)
        add_column(frame, columns[nb::int_(j)], dtypes.attr("iloc")[nb::int_(j)]);
    return frame;
}

}  // namespace tessel::frames
