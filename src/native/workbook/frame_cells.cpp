#include "workbook/frame_cells.h"

#include "core/once.h"
#include "core/placeholder.h"
#include "core/scalar_types.h"
#include "workbook/block_style.h"
#include "workbook/cell_values.h"

#include <datetime.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace tessel::cells {

using namespace nb::literals;

namespace {

using scalars::is_instance;
using scalars::keep;

// The microseconds of a NaT, and of a time outside what Python's datetime holds.
constexpr int64_t kEmpty = std::numeric_limits<int64_t>::min();
constexpr int64_t kRefused = kEmpty + 1;
constexpr int64_t kMicrosPerDay = 86400000000LL;
constexpr int64_t kMicrosPerSecond = 1000000;
// datetime.min and datetime.max, in days from 1970-01-01.
constexpr int64_t kFirstDay = -719162;
constexpr int64_t kLastDay = 2932896;
// 1970-01-01 counted from each epoch: 1899-12-30 and 1904-01-01.
constexpr int64_t kWindowsShift = 25569;
constexpr int64_t kMacShift = 24107;
// Up to here an integer divides as a double just as Python divides it.
constexpr int64_t kExact = int64_t(1) << 53;
constexpr Py_ssize_t kSignalEvery = 4096;

struct Known {
    PyObject *rich_text, *array_formula, *data_table_formula, *tostring;
};

const Known &known() {
    return made_once<Known>([] {
        nb::module_ formula = nb::module_::import_("openpyxl.worksheet.formula");
        Known k;
        k.rich_text = keep(nb::module_::import_("openpyxl.cell.rich_text").attr("CellRichText"));
        k.array_formula = keep(formula.attr("ArrayFormula"));
        k.data_table_formula = keep(formula.attr("DataTableFormula"));
        k.tostring = keep(nb::module_::import_("openpyxl.xml.functions").attr("tostring"));
        return k;
    });
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if (a % b != 0 && (a < 0) != (b < 0))
        --q;
    return q;
}

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned) (y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t) doe - 719468;
}

void civil_from_days(int64_t z, int &y, int &m, int &d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned) (z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = (int) (doy - (153 * mp + 2) / 5 + 1);
    m = (int) (mp < 10 ? mp + 3 : mp - 9);
    y = (int) ((int64_t) yoe + era * 400 + (m <= 2));
}

// openpyxl's to_excel step for step, so that the same double comes out.
double day_fraction(int64_t seconds, int64_t micros) {
    return ((double) seconds + (double) micros / 1e6) / 86400.0;
}

double date_serial(int64_t days1970, int64_t seconds, int64_t micros, bool date1904) {
    int64_t days = days1970 + (date1904 ? kMacShift : kWindowsShift);
    // Excel counts a 29 February 1900 that never was.
    if (!date1904 && days > 0 && days <= 60)
        --days;
    return (double) days + day_fraction(seconds, micros);
}

double duration_serial(int64_t micros) {
    double seconds;
    if (micros >= -kExact && micros <= kExact) {
        seconds = (double) micros / 1e6;
    } else {
        nb::object q = nb::steal(PyNumber_TrueDivide(nb::int_(micros).ptr(), nb::int_(kMicrosPerSecond).ptr()));
        if (!q.is_valid())
            throw nb::python_error();
        seconds = PyFloat_AsDouble(q.ptr());
    }
    return seconds / 86400.0;
}

void append_shortest(std::string &out, double d) {
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
}

// "%.16g", the text openpyxl gives a date's serial number.
void append_serial(std::string &out, double d) {
    char buf[40];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 16).ptr);
}

template <typename Int> void append_int(std::string &out, Int v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void append_utf8(std::string &out, Py_UCS4 c) {
    if (c < 0x80) {
        out += (char) c;
    } else if (c < 0x800) {
        out += (char) (0xC0 | (c >> 6));
        out += (char) (0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char) (0xE0 | (c >> 12));
        out += (char) (0x80 | ((c >> 6) & 0x3F));
        out += (char) (0x80 | (c & 0x3F));
    } else {
        out += (char) (0xF0 | (c >> 18));
        out += (char) (0x80 | ((c >> 12) & 0x3F));
        out += (char) (0x80 | ((c >> 6) & 0x3F));
        out += (char) (0x80 | (c & 0x3F));
    }
}

// A carriage return is written as a reference: a parser would read a bare one
// as a line feed.
const char *escape_of(Py_UCS4 c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '\r': return "&#13;";
        default: return nullptr;
    }
}

template <typename Char> void append_chars(std::string &out, const Char *s, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_UCS4 c = s[k];
        if (const char *e = escape_of(c))
            out += e;
        else
            append_utf8(out, c);
    }
}

// A str from code point `from` on, UTF-8 and escaped for element content.
void append_text(std::string &out, PyObject *s, Py_ssize_t from) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        const char *p = (const char *) PyUnicode_DATA(s);
        Py_ssize_t run = from;
        for (Py_ssize_t k = from; k < n; ++k) {
            if (const char *e = escape_of((unsigned char) p[k])) {
                out.append(p + run, (size_t) (k - run));
                out += e;
                run = k + 1;
            }
        }
        out.append(p + run, (size_t) (n - run));
        return;
    }
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return append_chars(out, PyUnicode_1BYTE_DATA(s) + from, n - from);
        case PyUnicode_2BYTE_KIND:
            return append_chars(out, PyUnicode_2BYTE_DATA(s) + from, n - from);
        default:
            return append_chars(out, PyUnicode_4BYTE_DATA(s) + from, n - from);
    }
}

void append_str_of(std::string &out, nb::handle v) {
    nb::object s = nb::steal(PyObject_Str(v.ptr()));
    if (!s.is_valid())
        throw nb::python_error();
    append_text(out, s.ptr(), 0);
}

// The error values a cell holds, which openpyxl takes a text to be when it reads as one.
const char *const kErrorCodes[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A"};

bool is_error_code(PyObject *s) {
    if (PyUnicode_GET_LENGTH(s) > 7 || PyUnicode_READ_CHAR(s, 0) != '#')
        return false;
    for (const char *code : kErrorCodes)
        if (PyUnicode_CompareWithASCIIString(s, code) == 0)
            return true;
    return false;
}

void open_cell(std::string &out, std::string_view ref, long style, const char *type) {
    out += "<c r=\"";
    out += ref;
    out += '"';
    if (style >= 0) {
        out += " s=\"";
        append_int(out, style);
        out += '"';
    }
    if (type) {
        out += " t=\"";
        out += type;
        out += '"';
    }
}

void empty_cell(std::string &out, std::string_view ref, long style) {
    if (style < 0)
        return;
    open_cell(out, ref, style, nullptr);
    out += "/>";
}

// Opens the number value of a cell; close_number ends it.
void open_number(std::string &out, std::string_view ref, long style) {
    open_cell(out, ref, style, nullptr);
    out += "><v>";
}

void close_number(std::string &out) { out += "</v></c>"; }

// A str as openpyxl stores it: a formula after "=", an error code, else text.
void text_cell(std::string &out, PyObject *s, std::string_view ref, long style) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) {
        open_cell(out, ref, style, "inlineStr");
        out += "/>";
        return;
    }
    if (n > 1 && PyUnicode_READ_CHAR(s, 0) == '=') {
        open_cell(out, ref, style, nullptr);
        out += "><f>";
        append_text(out, s, 1);
        out += "</f><v/></c>";
        return;
    }
    if (is_error_code(s)) {
        open_cell(out, ref, style, "e");
        out += "><v>";
        append_text(out, s, 0);
        close_number(out);
        return;
    }
    open_cell(out, ref, style, "inlineStr");
    // What str.strip() would remove must survive the parser.
    if (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(s, 0)) || Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(s, n - 1)))
        out += "><is><t xml:space=\"preserve\">";
    else
        out += "><is><t>";
    append_text(out, s, 0);
    out += "</t></is></c>";
}

// UTF-8 text escaped for element content.
void append_utf8_text(std::string &out, std::string_view text) {
    size_t run = 0;
    for (size_t k = 0; k < text.size(); ++k) {
        if (const char *e = escape_of((unsigned char) text[k])) {
            out.append(text.substr(run, k - run));
            out += e;
            run = k + 1;
        }
    }
    out.append(text.substr(run));
}

// The code point of valid UTF-8 at `k`, which moves past it.
Py_UCS4 next_code(std::string_view t, size_t &k) {
    const unsigned char b = (unsigned char) t[k];
    const size_t length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    Py_UCS4 code = length == 1 ? b : length == 4 ? (b & 0x07) : length == 3 ? (b & 0x0F) : (b & 0x1F);
    for (size_t m = 1; m < length && k + m < t.size(); ++m)
        code = (code << 6) | ((unsigned char) t[k + m] & 0x3F);
    k += length;
    return code;
}

// The code point that UTF-8 text starts with, and the one it ends with.
Py_UCS4 first_code(std::string_view t) {
    size_t k = 0;
    return next_code(t, k);
}
Py_UCS4 last_code(std::string_view t) {
    size_t k = t.size() - 1;
    while (k > 0 && ((unsigned char) t[k] & 0xC0) == 0x80)
        --k;
    return first_code(t.substr(k));
}

// A text held as UTF-8, written as text_cell writes a str.
void utf8_cell(std::string &out, std::string_view t, std::string_view ref, long style) {
    if (t.empty()) {
        open_cell(out, ref, style, "inlineStr");
        out += "/>";
        return;
    }
    if (t.size() > 1 && t[0] == '=') {
        open_cell(out, ref, style, nullptr);
        out += "><f>";
        append_utf8_text(out, t.substr(1));
        out += "</f><v/></c>";
        return;
    }
    if (t[0] == '#' && std::find(std::begin(kErrorCodes), std::end(kErrorCodes), t) != std::end(kErrorCodes)) {
        open_cell(out, ref, style, "e");
        out += "><v>";
        append_utf8_text(out, t);
        close_number(out);
        return;
    }
    open_cell(out, ref, style, "inlineStr");
    if (Py_UNICODE_ISSPACE(first_code(t)) || Py_UNICODE_ISSPACE(last_code(t)))
        out += "><is><t xml:space=\"preserve\">";
    else
        out += "><is><t>";
    append_utf8_text(out, t);
    out += "</t></is></c>";
}

void formula_cell(std::string &out, nb::handle v, std::string_view ref, long style) {
    open_cell(out, ref, style, nullptr);
    out += "><f";
    for (nb::handle pair : v) {
        nb::object name = pair[0], value = pair[1];
        out += ' ';
        append_text(out, name.ptr(), 0);
        out += "=\"";
        // Attribute values also need their quotes escaped.
        nb::object text = nb::str(value);
        for (Py_ssize_t k = 0, n = PyUnicode_GET_LENGTH(text.ptr()); k < n; ++k) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), k);
            if (c == '"')
                out += "&quot;";
            else if (const char *e = escape_of(c))
                out += e;
            else
                append_utf8(out, c);
        }
        out += '"';
    }
    nb::object text = is_instance(v.ptr(), known().array_formula) ? nb::object(v.attr("text")) : nb::none();
    if (text.is_none()) {
        out += "/><v/></c>";
        return;
    }
    out += '>';
    nb::object body = nb::steal(PySequence_GetSlice(text.ptr(), 1, PY_SSIZE_T_MAX));
    if (!body.is_valid())
        throw nb::python_error();
    append_text(out, nb::str(body).ptr(), 0);
    out += "</f><v/></c>";
}

void rich_text_cell(std::string &out, nb::handle v, std::string_view ref, long style) {
    open_cell(out, ref, style, "inlineStr");
    out += '>';
    nb::object xml = nb::borrow(known().tostring)(v.attr("to_tree")());
    out.append(PyBytes_AS_STRING(xml.ptr()), (size_t) PyBytes_GET_SIZE(xml.ptr()));
    out += "</c>";
}

TimeKind object_kind(PyObject *v) {
    if (PyDateTime_Check(v))
        return TimeKind::DateTime;
    if (PyDate_Check(v))
        return TimeKind::Date;
    if (PyTime_Check(v))
        return TimeKind::Time;
    if (PyDelta_Check(v))
        return TimeKind::Duration;
    return TimeKind::None;
}

// Microseconds per step of a numpy time unit with a linear scale; for units
// shorter than a microsecond, `per` says how many steps make one.
struct Unit {
    const char *name;
    int64_t micros;
    int64_t per;
};
constexpr Unit kUnits[] = {
    {"W", 7 * kMicrosPerDay, 1},
    {"D", kMicrosPerDay, 1},
    {"h", 3600 * kMicrosPerSecond, 1},
    {"m", 60 * kMicrosPerSecond, 1},
    {"s", kMicrosPerSecond, 1},
    {"ms", 1000, 1},
    {"us", 1, 1},
    {"ns", 1, 1000},
    {"ps", 1, 1000000},
    {"fs", 1, 1000000000},
    {"as", 1, 1000000000000LL},
};

const Unit *linear_unit(const std::string &name) {
    for (const Unit &u : kUnits)
        if (name == u.name)
            return &u;
    return nullptr;
}

// A 1-d array's buffer: its data and stride, valid while the array lives.
void take_buffer(const nb::object &array, Py_ssize_t rows, const char *&data, Py_ssize_t &stride) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_STRIDES) < 0)
        throw nb::python_error();
    const bool ok = view.ndim == 1 && view.shape[0] == rows;
    data = (const char *) view.buf;
    stride = ok ? view.strides[0] : 0;
    PyBuffer_Release(&view);
    if (!ok)
        throw nb::value_error("a data frame column does not match the frame's shape");
}

nb::object native_order(nb::object array) {
    nb::object dtype = array.attr("dtype");
    if (nb::cast<bool>(dtype.attr("isnative")))
        return array;
    return array.attr("astype")(dtype.attr("newbyteorder")("="));
}

template <typename T> T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int64_t load_signed(const char *p, int width) {
    switch (width) {
        case 1: return load<int8_t>(p);
        case 2: return load<int16_t>(p);
        case 4: return load<int32_t>(p);
        default: return load<int64_t>(p);
    }
}

uint64_t load_unsigned(const char *p, int width) {
    switch (width) {
        case 1: return load<uint8_t>(p);
        case 2: return load<uint16_t>(p);
        case 4: return load<uint32_t>(p);
        default: return load<uint64_t>(p);
    }
}

}  // namespace

FrameColumns::FrameColumns(nb::handle frame, Py_ssize_t rows, Py_ssize_t columns, bool date1904)
    : rows_(rows), date1904_(date1904) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw nb::python_error();
    }
    known();
    nb::object iloc = frame.attr("iloc");
    nb::object all_rows = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    columns_.resize((size_t) columns);
    for (Py_ssize_t j = 0; j < columns; ++j) {
        read_column(iloc[nb::make_tuple(all_rows, j)], columns_[(size_t) j]);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            if ((i % kSignalEvery) == kSignalEvery - 1)
                check_signals();
            if (refused(i, j))
                refused_.emplace_back(i, j);
        }
    }
    std::sort(refused_.begin(), refused_.end());
}

void FrameColumns::read_column(nb::handle series, Column &c) {
    const scalars::Types &t = scalars::types();
    nb::object dtype = series.attr("dtype");
    if (is_instance(dtype.ptr(), t.pd_tz_dtype)) {
        // Excel has no time zones: the wall-clock time is written.
        nb::object naive = series.attr("dt").attr("tz_localize")(nb::none());
        return read_times(naive.attr("to_numpy")(), c, true);
    }
    if (!is_instance(dtype.ptr(), t.np_dtype)) {
        if (!read_texts(series, c))
            read_objects(series, c);
        return;
    }
    const char kind = nb::cast<std::string>(dtype.attr("kind"))[0];
    const int width = nb::cast<int>(dtype.attr("itemsize"));
    nb::object array = series.attr("to_numpy")();
    switch (kind) {
        case 'b':
            c.source = Source::Bool;
            break;
        case 'i':
        case 'u':
            c.source = kind == 'i' ? Source::Signed : Source::Unsigned;
            c.width = width;
            break;
        case 'f':
            if (width == 2) {
                array = array.attr("astype")("float64");
                c.source = Source::Float64;
            } else if (width == 4 || width == 8) {
                c.source = width == 4 ? Source::Float32 : Source::Float64;
            } else {
                return read_objects(series, c);  // long double: no C++ type of the same layout
            }
            break;
        case 'M':
            return read_times(array, c, true);
        case 'm':
            return read_times(array, c, false);
        default:
            return read_objects(series, c);
    }
    c.owner = native_order(array);
    take_buffer(c.owner, rows_, c.data, c.stride);
}

void FrameColumns::read_times(nb::object array, Column &c, bool is_datetime) {
    c.source = is_datetime ? Source::Times : Source::Durations;
    nb::module_ np = nb::module_::import_("numpy");
    nb::tuple data = nb::cast<nb::tuple>(np.attr("datetime_data")(array.attr("dtype")));
    std::string unit_name = nb::cast<std::string>(data[0]);
    int64_t count = nb::cast<int64_t>(data[1]);
    const Unit *unit = linear_unit(unit_name);
    if (!unit) {
        // Years and months (and unit-less NaT) through numpy's own cast, as the
        // converted values are.
        array = array.attr("astype")(is_datetime ? "datetime64[us]" : "timedelta64[us]");
        unit = linear_unit("us");
        count = 1;
    }
    c.owner = native_order(array.attr("view")("i8"));
    take_buffer(c.owner, rows_, c.data, c.stride);
    c.micros.resize((size_t) rows_);
    for (Py_ssize_t i = 0; i < rows_; ++i) {
        if ((i % kSignalEvery) == kSignalEvery - 1)
            check_signals();
        const int64_t v = load<int64_t>(c.data + i * c.stride);
        int64_t us;
        if (v == kEmpty) {
            us = kEmpty;
        } else if (__builtin_mul_overflow(v, count, &us) || __builtin_mul_overflow(us, unit->micros, &us)) {
            us = kRefused;
        } else {
            us = floor_div(us, unit->per);
            if (is_datetime) {
                const int64_t day = floor_div(us, kMicrosPerDay);
                if (day < kFirstDay || day > kLastDay)
                    us = kRefused;
                else if (us != day * kMicrosPerDay)
                    c.midnight = false;
            }
        }
        if (is_datetime && us != kEmpty && us != kRefused)
            c.datetimes = true;
        c.micros[(size_t) i] = us;
    }
    // The values are all in `micros`: the array is no longer needed.
    c.owner = nb::object();
    c.data = nullptr;
}

void FrameColumns::read_objects(nb::handle series, Column &c) {
    c.source = Source::Objects;
    nb::object list = series.attr("to_numpy")("dtype"_a = nb::handle((PyObject *) &PyBaseObject_Type))
                          .attr("tolist")();
    if (!PyList_Check(list.ptr()) || PyList_GET_SIZE(list.ptr()) != rows_)
        throw nb::value_error("a data frame column does not match the frame's shape");
    PyObject *items = list.ptr();
    for (Py_ssize_t i = 0; i < rows_; ++i) {
        if ((i % kSignalEvery) == kSignalEvery - 1)
            check_signals();
        nb::handle item = PyList_GET_ITEM(items, i);
        nb::object out;
        const Outcome outcome = convert_or_refuse(item, out);
        if (outcome == Outcome::Value) {
            if (PyDateTime_Check(out.ptr())) {
                c.datetimes = true;
                if (!block::at_midnight(out))
                    c.midnight = false;
            }
            if (!out.is(item))
                PyList_SetItem(items, i, out.release().ptr());
        } else {
            PyObject *r = outcome == Outcome::Empty ? Py_None : refused_marker().ptr();
            Py_INCREF(r);
            PyList_SetItem(items, i, r);
        }
    }
    c.owner = std::move(list);
}

// A column of pandas' string type held by Arrow: read from its buffers, each text
// checked as cells::convert checks a str; false for any other column.
bool FrameColumns::read_texts(nb::handle series, Column &c) {
    nb::object dtype = series.attr("dtype");
    if (!nb::str("StringDtype").equal(dtype.type().attr("__name__")) ||
        !nb::str("pyarrow").equal(nb::getattr(dtype, "storage", nb::none())))
        return false;
    nb::object chunked = series.attr("array").attr("__arrow_array__")();
    // One chunk is read where it is; several are joined first.
    nb::object array = chunked;
    if (nb::hasattr(chunked, "num_chunks")) {
        nb::object count = chunked.attr("num_chunks");
        array = count.equal(nb::int_(1)) ? chunked.attr("chunk")(0) : chunked.attr("combine_chunks")();
    }
    // Bytes that are no UTF-8 would make a broken part: such a column goes the
    // way of Python objects.
    try {
        array.attr("validate")("full"_a = true);
    } catch (nb::python_error &e) {
        if (is_interrupt(e))
            throw;
        return false;
    }
    nb::object type_name = nb::steal(PyObject_Str(nb::object(array.attr("type")).ptr()));
    if (!type_name.is_valid())
        throw nb::python_error();
    const std::string type = nb::cast<std::string>(type_name);
    const bool large = type == "large_string" || type == "large_utf8";
    if (!large && type != "string" && type != "utf8")
        return false;
    if ((Py_ssize_t) nb::len(array) != rows_)
        throw nb::value_error("a data frame column does not match the frame's shape");
    nb::list buffers = nb::list(array.attr("buffers")());
    const int64_t first = nb::cast<int64_t>(array.attr("offset"));
    auto view = [&](nb::handle buffer, const char *&data, Py_ssize_t &size) {
        data = nullptr;
        size = 0;
        if (buffer.is_none())
            return;
        Py_buffer b;
        if (PyObject_GetBuffer(buffer.ptr(), &b, PyBUF_SIMPLE) < 0)
            throw nb::python_error();
        data = (const char *) b.buf;
        size = b.len;
        PyBuffer_Release(&b);  // the Arrow buffer, kept alive by `owner`, holds the memory
    };
    const char *validity, *offsets;
    Py_ssize_t validity_size, offsets_size, data_size;
    view(buffers[0], validity, validity_size);
    view(buffers[1], offsets, offsets_size);
    view(buffers[2], c.data, data_size);
    static const char nothing = 0;
    if (!c.data)
        c.data = &nothing;
    const size_t width = large ? 8 : 4;
    if ((size_t) offsets_size < (size_t) (first + rows_ + 1) * width ||
        (validity && validity_size * 8 < first + rows_))
        throw nb::value_error("a text column's buffers do not match its length");
    c.source = Source::Texts;
    c.owner = nb::make_tuple(array, buffers);
    c.offsets = offsets + (size_t) first * width;
    c.large = large;
    c.state.assign((size_t) rows_, 0);
    for (Py_ssize_t i = 0; i < rows_; ++i) {
        if ((i % kSignalEvery) == kSignalEvery - 1)
            check_signals();
        const int64_t bit = first + i;
        if (validity && !((validity[bit >> 3] >> (bit & 7)) & 1)) {
            c.state[(size_t) i] = 1;
            continue;
        }
        auto offset = [&](Py_ssize_t k) {
            const char *at = c.offsets + (size_t) k * width;
            return large ? load<int64_t>(at) : (int64_t) load<int32_t>(at);
        };
        const int64_t begin = offset(i), end = offset(i + 1);
        if (begin < 0 || end < begin || end > data_size)
            throw nb::value_error("a text column's offsets leave its data");
        // As storable_text: at most kMaxTextLength characters, none that XML 1.0 forbids.
        const std::string_view t(c.data + begin, (size_t) (end - begin));
        Py_ssize_t characters = 0;
        bool storable = true;
        for (size_t k = 0; k < t.size() && storable;) {
            const Py_UCS4 code = next_code(t, k);
            ++characters;
            storable = storable_char(code) && characters <= kMaxTextLength;
        }
        if (!storable)
            c.state[(size_t) i] = 2;
    }
    return true;
}

std::string_view FrameColumns::text(const Column &c, Py_ssize_t i) const {
    const size_t width = c.large ? 8 : 4;
    auto offset = [&](Py_ssize_t k) {
        const char *at = c.offsets + (size_t) k * width;
        return c.large ? load<int64_t>(at) : (int64_t) load<int32_t>(at);
    };
    const int64_t begin = offset(i);
    return std::string_view(c.data + begin, (size_t) (offset(i + 1) - begin));
}

double FrameColumns::number(const Column &c, Py_ssize_t i) const {
    const char *p = c.data + i * c.stride;
    return c.source == Source::Float32 ? (double) load<float>(p) : load<double>(p);
}

TimeKind FrameColumns::time_kind(Py_ssize_t i, Py_ssize_t j) const {
    const Column &c = columns_[(size_t) j];
    switch (c.source) {
        case Source::Times:
        case Source::Durations: {
            const int64_t us = c.micros[(size_t) i];
            if (us == kEmpty || us == kRefused)
                return TimeKind::None;
            return c.source == Source::Times ? TimeKind::DateTime : TimeKind::Duration;
        }
        case Source::Objects:
            return object_kind(PyList_GET_ITEM(c.owner.ptr(), i));
        default:
            return TimeKind::None;
    }
}

bool FrameColumns::empty(Py_ssize_t i, Py_ssize_t j) const {
    const Column &c = columns_[(size_t) j];
    switch (c.source) {
        case Source::Float32:
        case Source::Float64:
            return std::isnan(number(c, i));
        case Source::Times:
        case Source::Durations:
            return c.micros[(size_t) i] == kEmpty;
        case Source::Objects:
            return PyList_GET_ITEM(c.owner.ptr(), i) == Py_None;
        case Source::Texts:
            return c.state[(size_t) i] == 1;
        default:
            return false;
    }
}

bool FrameColumns::refused(Py_ssize_t i, Py_ssize_t j) const {
    const Column &c = columns_[(size_t) j];
    switch (c.source) {
        case Source::Float32:
        case Source::Float64:
            return std::isinf(number(c, i));
        case Source::Times:
        case Source::Durations:
            return c.micros[(size_t) i] == kRefused;
        case Source::Objects:
            return PyList_GET_ITEM(c.owner.ptr(), i) == refused_marker().ptr();
        case Source::Texts:
            return c.state[(size_t) i] == 2;
        default:
            return false;
    }
}

nb::object FrameColumns::value(Py_ssize_t i, Py_ssize_t j) const {
    const Column &c = columns_[(size_t) j];
    if (empty(i, j))
        return nb::none();
    if (refused(i, j))
        return nb::borrow(refused_marker());
    switch (c.source) {
        case Source::Texts: {
            const std::string_view t = text(c, i);
            PyObject *made = PyUnicode_DecodeUTF8(t.data(), (Py_ssize_t) t.size(), "surrogatepass");
            if (!made)
                throw nb::python_error();
            return nb::steal(made);
        }
        case Source::Bool:
            return nb::bool_(c.data[i * c.stride] != 0);
        case Source::Signed:
            return nb::int_(load_signed(c.data + i * c.stride, c.width));
        case Source::Unsigned:
            return nb::int_(load_unsigned(c.data + i * c.stride, c.width));
        case Source::Float32:
        case Source::Float64:
            return nb::float_(number(c, i));
        case Source::Times: {
            const int64_t us = c.micros[(size_t) i];
            const int64_t day = floor_div(us, kMicrosPerDay);
            const int64_t rest = us - day * kMicrosPerDay;
            const int64_t seconds = rest / kMicrosPerSecond;
            int y, m, d;
            civil_from_days(day, y, m, d);
            PyObject *dt = PyDateTime_FromDateAndTime(y, m, d, (int) (seconds / 3600), (int) (seconds / 60 % 60),
                                                      (int) (seconds % 60), (int) (rest % kMicrosPerSecond));
            if (!dt)
                throw nb::python_error();
            return nb::steal(dt);
        }
        case Source::Durations: {
            const int64_t us = c.micros[(size_t) i];
            const int64_t day = floor_div(us, kMicrosPerDay);
            const int64_t rest = us - day * kMicrosPerDay;
            PyObject *td = PyDelta_FromDSU((int) day, (int) (rest / kMicrosPerSecond), (int) (rest % kMicrosPerSecond));
            if (!td)
                throw nb::python_error();
            return nb::steal(td);
        }
        default:
            return nb::borrow(PyList_GET_ITEM(c.owner.ptr(), i));
    }
}

void FrameColumns::write_cell(std::string &out, Py_ssize_t i, Py_ssize_t j, std::string_view ref,
                              long style) const {
    const Column &c = columns_[(size_t) j];
    const char *p = c.data ? c.data + i * c.stride : nullptr;
    switch (c.source) {
        case Source::Bool:
            open_cell(out, ref, style, "b");
            out += *p ? "><v>1</v></c>" : "><v>0</v></c>";
            return;
        case Source::Signed:
            open_number(out, ref, style);
            append_int(out, load_signed(p, c.width));
            return close_number(out);
        case Source::Unsigned:
            open_number(out, ref, style);
            append_int(out, load_unsigned(p, c.width));
            return close_number(out);
        case Source::Float32:
        case Source::Float64: {
            const double d = number(c, i);
            if (!std::isfinite(d))
                return empty_cell(out, ref, style);
            open_number(out, ref, style);
            append_shortest(out, d);
            return close_number(out);
        }
        case Source::Times:
        case Source::Durations: {
            const int64_t us = c.micros[(size_t) i];
            if (us == kEmpty || us == kRefused)
                return empty_cell(out, ref, style);
            double serial;
            if (c.source == Source::Times) {
                const int64_t day = floor_div(us, kMicrosPerDay);
                const int64_t rest = us - day * kMicrosPerDay;
                serial = date_serial(day, rest / kMicrosPerSecond, rest % kMicrosPerSecond, date1904_);
            } else {
                serial = duration_serial(us);
            }
            open_number(out, ref, style);
            append_serial(out, serial);
            return close_number(out);
        }
        case Source::Objects:
            return write_object(out, PyList_GET_ITEM(c.owner.ptr(), i), ref, style);
        case Source::Texts:
            if (c.state[(size_t) i] != 0)
                return empty_cell(out, ref, style);
            return utf8_cell(out, text(c, i), ref, style);
    }
}

void FrameColumns::write_object(std::string &out, nb::handle v, std::string_view ref, long style) const {
    PyObject *p = v.ptr();
    if (p == Py_None || p == refused_marker().ptr())
        return empty_cell(out, ref, style);
    if (PyBool_Check(p)) {
        open_cell(out, ref, style, "b");
        out += p == Py_True ? "><v>1</v></c>" : "><v>0</v></c>";
        return;
    }
    if (PyUnicode_Check(p))
        return text_cell(out, p, ref, style);
    if (PyLong_Check(p)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (x == -1 && PyErr_Occurred())
            throw nb::python_error();
        open_number(out, ref, style);
        if (overflow)
            append_str_of(out, v);
        else
            append_int(out, x);
        return close_number(out);
    }
    if (PyFloat_Check(p)) {
        const double d = PyFloat_AS_DOUBLE(p);
        if (!std::isfinite(d))
            return empty_cell(out, ref, style);
        open_number(out, ref, style);
        append_shortest(out, d);
        return close_number(out);
    }
    double serial = 0;
    switch (object_kind(p)) {
        case TimeKind::DateTime:
            serial = date_serial(days_from_civil(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p)),
                                 PyDateTime_DATE_GET_HOUR(p) * 3600 + PyDateTime_DATE_GET_MINUTE(p) * 60 +
                                     PyDateTime_DATE_GET_SECOND(p),
                                 PyDateTime_DATE_GET_MICROSECOND(p), date1904_);
            break;
        case TimeKind::Date:
            serial = date_serial(days_from_civil(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p)),
                                 0, 0, date1904_);
            break;
        case TimeKind::Time:
            serial = day_fraction(PyDateTime_TIME_GET_HOUR(p) * 3600 + PyDateTime_TIME_GET_MINUTE(p) * 60 +
                                      PyDateTime_TIME_GET_SECOND(p),
                                  PyDateTime_TIME_GET_MICROSECOND(p));
            break;
        case TimeKind::Duration: {
            const int64_t days = PyDateTime_DELTA_GET_DAYS(p);
            // |days| < 10^9, so the total fits 64 bits only near the small end;
            // beyond 2^53 microseconds Python's own division decides.
            if (days > -100000 && days < 100000) {
                serial = duration_serial(days * kMicrosPerDay + PyDateTime_DELTA_GET_SECONDS(p) * kMicrosPerSecond +
                                         PyDateTime_DELTA_GET_MICROSECONDS(p));
            } else {
                serial = PyFloat_AsDouble(v.attr("total_seconds")().ptr()) / 86400.0;
                if (PyErr_Occurred())
                    throw nb::python_error();
            }
            break;
        }
        case TimeKind::None:
            if (is_instance(p, known().rich_text))
                return rich_text_cell(out, v, ref, style);
            if (is_instance(p, known().array_formula) || is_instance(p, known().data_table_formula))
                return formula_cell(out, v, ref, style);
            // Decimal, as its own exact text.
            open_number(out, ref, style);
            append_str_of(out, v);
            return close_number(out);
    }
    open_number(out, ref, style);
    append_serial(out, serial);
    close_number(out);
}

}  // namespace tessel::cells
