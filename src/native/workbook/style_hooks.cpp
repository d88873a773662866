// Test hooks of the styles part, private to module gridfill.
#include "workbook/style_sheet.h"

#include <nanobind/stl/string.h>

#include <new>

namespace tessel::styles {

using namespace nb::literals;

namespace {

// A part given as bytes, as the package holds it, or as text; None for no part.
std::optional<std::string> part_of(nb::handle xml) {
    if (xml.is_none())
        return std::nullopt;
    if (PyBytes_Check(xml.ptr()))
        return std::string(PyBytes_AS_STRING(xml.ptr()), (size_t) PyBytes_GET_SIZE(xml.ptr()));
    return nb::cast<std::string>(nb::str(xml));
}

}  // namespace

void def_style_hooks(nb::module_ &m) {
    m.def(
        "_styled_workbook", [](nb::handle xml) { return styled_workbook(part_of(xml)); }, "styles_xml"_a.none(),
        nb::sig("def _styled_workbook(styles_xml: bytes | str | None) -> openpyxl.Workbook"));
    nb::class_<StyleSheet>(m, "_StyleSheet")
        .def(
            "__init__",
            [](StyleSheet *self, nb::handle workbook, nb::handle xml) { new (self) StyleSheet(workbook, part_of(xml)); },
            "workbook"_a, "styles_xml"_a.none())
        .def("array_of", &StyleSheet::array_of, "s"_a)
        .def("index_of", &StyleSheet::index_of, "style_array"_a)
        .def("finished", [](const StyleSheet &sheet) -> nb::object {
            std::optional<std::string> part = sheet.finished();
            if (!part)
                return nb::none();
            return nb::bytes(part->data(), part->size());
        });
}

}  // namespace tessel::styles
