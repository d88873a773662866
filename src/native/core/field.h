// A placeholder read as an f-string's replacement field: an expression, then
// maybe a conversion (!r, !s, !a) and a format spec (:,.2f).
#pragma once

#include <nanobind/nanobind.h>

namespace tessel {

namespace nb = nanobind;

struct Field {
    // Where the expression ends, in code points: the first "!" or ":" outside
    // brackets and string literals ("!=" is an operator), or the text's length.
    Py_ssize_t expression_end = 0;
    Py_UCS4 conversion = 0;      // 'r', 's' or 'a'; 0 for none
    Py_ssize_t spec_begin = -1;  // after the ":"; -1 for no spec
    // Why the text is no field, in the words of Python's f-string parser.
    const char *error = nullptr;

    // True when the value is turned into text: a conversion, a spec, or an error.
    bool formatted() const { return conversion != 0 || spec_begin >= 0 || error != nullptr; }
};

// Splits a placeholder's text as Python splits an f-string's replacement field,
// except that a backslash may stand in a string literal of the expression.
Field split_field(nb::handle text);

// The expression's text, and the spec's ("" without one).
nb::str field_expression(nb::handle text, const Field &field);
nb::str field_spec(nb::handle text, const Field &field);

// The value converted and formatted as an f-string does; null with a Python error
// set when either fails.
PyObject *format_field(PyObject *value, const Field &field, PyObject *spec);

}  // namespace tessel
