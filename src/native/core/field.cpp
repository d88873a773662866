#include "core/field.h"

#include "core/top_level.h"

namespace tessel {

namespace {

bool is_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

}  // namespace

Field split_field(nb::handle text) {
    PyObject *s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Field field;
    field.expression_end = n;
    // Most placeholders hold neither character: nothing to split.
    if (PyUnicode_FindChar(s, ':', 0, n, 1) < 0 && PyUnicode_FindChar(s, '!', 0, n, 1) < 0)
        return field;
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    auto at = [&](size_t i) -> Py_UCS4 { return i < (size_t) n ? PyUnicode_READ(kind, data, i) : 0; };

    Py_ssize_t i = (Py_ssize_t) find_top_level((size_t) n, at, [&](size_t &k) {
        if (at(k) == '!' && at(k + 1) == '=') {  // an operator, not a conversion
            ++k;
            return false;
        }
        return at(k) == '!' || at(k) == ':';
    });
    field.expression_end = i;
    if (i == n)
        return field;

    Py_ssize_t first = 0;
    while (first < i && is_space(at(first)))
        ++first;
    if (first == i) {
        field.error = at(i) == '!' ? "f-string: expression required before '!'"
                                   : "f-string: expression required before ':'";
        return field;
    }
    if (at(i) == '!') {
        const Py_UCS4 c = at(i + 1);
        if (i + 1 >= n || (c != 'r' && c != 's' && c != 'a')) {
            field.error = "f-string: invalid conversion character: expected 's', 'r', or 'a'";
            return field;
        }
        field.conversion = c;
        i += 2;
        if (i == n)
            return field;
        if (at(i) != ':') {
            field.error = "f-string: expecting '}'";
            return field;
        }
    }
    field.spec_begin = i + 1;
    return field;
}

nb::str field_expression(nb::handle text, const Field &field) {
    return nb::steal<nb::str>(PyUnicode_Substring(text.ptr(), 0, field.expression_end));
}

nb::str field_spec(nb::handle text, const Field &field) {
    if (field.spec_begin < 0)
        return nb::str("");
    return nb::steal<nb::str>(PyUnicode_Substring(text.ptr(), field.spec_begin, PyUnicode_GET_LENGTH(text.ptr())));
}

PyObject *format_field(PyObject *value, const Field &field, PyObject *spec) {
    PyObject *converted = nullptr;
    switch (field.conversion) {
    case 'r': converted = PyObject_Repr(value); break;
    case 's': converted = PyObject_Str(value); break;
    case 'a': converted = PyObject_ASCII(value); break;
    default: Py_INCREF(value); converted = value;
    }
    if (!converted)
        return nullptr;
    PyObject *out = PyObject_Format(converted, spec);
    Py_DECREF(converted);
    return out;
}

}  // namespace tessel
