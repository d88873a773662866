// Worksheet headers and footers as the template wrote them.  openpyxl splits them
// into sections when it loads a workbook and rebuilds them when it saves, which
// moves font and size codes, rewrites others and drops a text it cannot split;
// so they are read from the template package itself and written back as they
// stand, placeholders filled.
#pragma once

#include <nanobind/nanobind.h>

#include <map>
#include <string>
#include <vector>

namespace tessel::headers {

namespace nb = nanobind;

// Builds the item class that writes a text as it stands.  At module initialisation.
void init(nb::handle module);

// Excel refuses a header or footer longer than this.
inline constexpr Py_ssize_t kMaxLength = 255;

struct Item {
    nb::object kind;  // "oddHeader", "firstFooter"...
    nb::object text;  // as the template holds it
};

// The header and footer items of every worksheet of a template package, by sheet
// name.  A package that cannot be read this way gives none: the fill then keeps
// what openpyxl made of them.
class TemplateHeaders {
public:
    explicit TemplateHeaders(nb::handle template_path);
    const std::vector<Item> &of(nb::handle title) const;

private:
    std::map<std::string, std::vector<Item>> items_;
};

// The item's name in a report place: "header", "first page footer"...
nb::str describe(nb::handle kind);

// A value's text as it goes into a header: "&" doubled, so that "R&D" does not
// turn into a date code.
nb::object escape_codes(nb::handle text);

// Sets the sheet's item `kind` to `text`, to be saved exactly as it stands.
void put(nb::handle sheet, nb::handle kind, nb::handle text);

}  // namespace tessel::headers
