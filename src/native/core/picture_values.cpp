#include "core/picture_values.h"

#include "core/once.h"
#include "core/sections.h"

namespace tessel {

namespace {

const nb::module_ &pictures_module() {
    return made_once<nb::module_>([] { return import_package_module("pictures"); });
}

long long as_emu(nb::handle v) { return nb::cast<long long>(v); }

}  // namespace

nb::object picture_value(nb::handle value) {
    PyObject *v = value.ptr();
    // Plain values are told apart without a call.
    if (v == Py_None || PyUnicode_Check(v) || PyLong_Check(v) || PyFloat_Check(v))
        return nb::object();
    nb::object picture = pictures_module().attr("picture_of")(value);
    return picture.is_none() ? nb::object() : picture;
}

nb::object picture_for_template(nb::handle value) {
    nb::object picture = picture_value(value);
    if (picture.is_valid())
        return picture;
    // A value that safe mode holds back says why once it is used.
    to_text(value);
    refuse(nb::str("a picture's alternative text takes a picture (an io.BytesIO, a tessel.Picture or a matplotlib "
                   "Figure), not {}")
               .format(value.type().attr("__name__")));
}

nb::object alt_placeholder(nb::handle alt, Pattern pattern) {
    nb::object text = alt.attr("strip")();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n < 2 || PyUnicode_READ_CHAR(text.ptr(), 0) != '{')
        return nb::object();
    const std::vector<Match> found = scan(text, pattern);
    if (found.size() != 1 || found[0].begin != 0 || found[0].end != n)
        return nb::object();
    nb::object placeholder = placeholder_of(text, found[0], pattern);
    if (sections::parse(placeholder).kind != sections::Kind::None)
        return nb::object();
    return placeholder;
}

std::pair<long long, long long> fitted(long long width, long long height, long long box_width, long long box_height) {
    nb::object size = pictures_module().attr("fitted")(width, height, box_width, box_height);
    return {as_emu(size[0]), as_emu(size[1])};
}

}  // namespace tessel
