#include "document/frame_table.h"

#include "document/tables.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

namespace tessel::wordml {

namespace {

// A page of Letter with inch margins, for a table whose room is not known.
constexpr long long kUnknownWidth = 9360;

nb::object style_name(nb::handle style) {
    nb::object name = style.attr("find")(qn("name"));
    return name.is_none() ? nb::object(nb::none()) : name.attr("get")(qn("val"));
}

nb::object folded(nb::handle text) { return text.attr("casefold")(); }

nb::object element(nb::handle parent, const char *local, std::initializer_list<std::pair<const char *, const char *>> attrs) {
    nb::object el = make(parent, local);
    for (const auto &[name, value] : attrs)
        el.attr("set")(qn(name), value);
    parent.attr("append")(el);
    return el;
}

// Widths in proportion to each column's longest text, within bounds so that a
// column of long notes leaves the others room, and a short one its margins.
std::vector<long long> column_widths(const frames::Frame &frame, long long width) {
    const frames::Block &block = frame.block;
    std::vector<long long> weights;
    long long total = 0;
    for (Py_ssize_t j = 0; j < block.columns; ++j) {
        Py_ssize_t longest = PyUnicode_GET_LENGTH(frame.names[(size_t) j].ptr());
        for (Py_ssize_t i = 0; i < block.rows; ++i)
            longest = std::max(longest, PyUnicode_GET_LENGTH(block.text(i, j).ptr()));
        const long long weight = std::clamp<long long>((long long) longest, 6, 30) + 4;
        weights.push_back(weight);
        total += weight;
    }
    std::vector<long long> widths;
    long long given = 0;
    for (size_t j = 0; j < weights.size(); ++j) {
        const long long w = j + 1 == weights.size() ? width - given : width * weights[j] / total;
        widths.push_back(std::max<long long>(w, 1));
        given += w;
    }
    return widths;
}

}  // namespace

std::vector<TableStyle> table_styles(nb::handle styles) {
    std::vector<TableStyle> out;
    if (styles.is_none())
        return out;
    for (nb::handle style : styles.attr("iterchildren")(qn("style"))) {
        nb::object type = style.attr("get")(qn("type"));
        nb::object id = style.attr("get")(qn("styleId"));
        if (type.is_none() || !type.equal(nb::str("table")) || id.is_none())
            continue;
        nb::object name = style_name(style);
        out.push_back(TableStyle{id, name.is_none() ? id : name});
    }
    return out;
}

const TableStyle *find_table_style(const std::vector<TableStyle> &styles, nb::handle name) {
    nb::object wanted = folded(name);
    for (const TableStyle &style : styles)
        if (folded(style.name).equal(wanted))
            return &style;
    return nullptr;
}

nb::object frame_table(nb::handle factory, const frames::Frame &frame, const TableLook &look, long long width) {
    const frames::Block &block = frame.block;
    const bool known = width > 0;
    const std::vector<long long> widths = column_widths(frame, known ? width : kUnknownWidth);
    const bool styled = look.style_id.is_valid();

    nb::object tbl = make(factory, "tbl");
    nb::object tblPr = element(tbl, "tblPr", {});
    if (styled)
        element(tblPr, "tblStyle", {}).attr("set")(qn("val"), look.style_id);
    if (known)
        set_int_attr(element(tblPr, "tblW", {{"type", "dxa"}}), "w", width);
    else
        element(tblPr, "tblW", {{"w", "5000"}, {"type", "pct"}});
    if (!styled) {
        nb::object borders = element(tblPr, "tblBorders", {});
        for (const char *side : {"top", "left", "bottom", "right", "insideH", "insideV"})
            element(borders, side, {{"val", "single"}, {"sz", "4"}, {"space", "0"}, {"color", "auto"}});
    }
    const int bits = (look.header ? 0x20 : 0) | (look.first_column ? 0x80 : 0) | 0x400;
    char val[8];
    std::snprintf(val, sizeof val, "%04X", bits);
    element(tblPr, "tblLook", {{"val", val}, {"firstRow", look.header ? "1" : "0"}, {"lastRow", "0"},
                               {"firstColumn", look.first_column ? "1" : "0"}, {"lastColumn", "0"},
                               {"noHBand", "0"}, {"noVBand", "1"}});
    nb::object grid = element(tbl, "tblGrid", {});
    for (long long w : widths)
        set_int_attr(element(grid, "gridCol", {}), "w", w);

    // One row to copy: the cells' widths, alignment and an empty text each.
    nb::object prototype = make(factory, "tr");
    for (Py_ssize_t j = 0; j < block.columns; ++j) {
        nb::object tc = element(prototype, "tc", {});
        set_int_attr(element(element(tc, "tcPr", {}), "tcW", {{"type", "dxa"}}), "w", widths[(size_t) j]);
        nb::object p = element(tc, "p", {});
        if (!styled || frame.numeric[(size_t) j]) {
            nb::object pPr = element(p, "pPr", {});
            // Without a style, the text's paragraphs would keep the space of body text.
            if (!styled)
                element(pPr, "spacing", {{"before", "0"}, {"after", "0"}});
            if (frame.numeric[(size_t) j])
                element(pPr, "jc", {{"val", "right"}});
        }
        element(element(p, "r", {}), "t", {});
    }
    auto add_row = [&](auto &&text, auto &&look_of) {
        nb::object tr = deepcopy(prototype);
        tbl.attr("append")(tr);
        Py_ssize_t j = 0;
        for (nb::handle tc : children(tr)) {
            nb::object t = last_child(last_child(last_child(tc)));
            write_copy_text(t, text(j), look_of(j));
            ++j;
        }
        return tr;
    };
    if (look.header) {
        CellLook bold;
        bold.bold = look.bold_header ? 1 : -1;
        nb::object tr = add_row([&](Py_ssize_t j) { return nb::handle(frame.names[(size_t) j]); },
                                [&](Py_ssize_t) -> const CellLook & { return bold; });
        nb::object trPr = make(tr, "trPr");
        tr.attr("insert")(0, trPr);
        element(trPr, "tblHeader", {});
    }
    for (Py_ssize_t i = 0; i < block.rows; ++i) {
        add_row([&](Py_ssize_t j) { return block.text(i, j); },
                [&](Py_ssize_t j) -> const CellLook & { return block.look(i, j); });
        if ((i & 0x3FF) == 0x3FF && PyErr_CheckSignals() < 0)
            throw nb::python_error();
    }
    return tbl;
}

}  // namespace tessel::wordml
