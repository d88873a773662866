#include "document/page.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::wordml {

namespace {

nb::object find(nb::handle el, const std::string &path) { return el.attr("find")(path); }

// Word's default left and right cell margins, 0.075 inch each.
constexpr long long kDefaultCellMargin = 108;

long long margin(nb::handle mar, const char *side, const char *logical) {
    for (const char *name : {side, logical}) {
        nb::object el = find(mar, qn(name));
        if (!el.is_none() && nb::str(el.attr("get")(qn("type"), "dxa")).equal(nb::str("dxa")))
            return twips_attr(el, "w", kDefaultCellMargin);
    }
    return -1;
}

// A cell's left plus right margin: its own, else its table's, else Word's default.
long long cell_margins(nb::handle tc) {
    long long total = 0;
    nb::object tcMar = find(tc, qn("tcPr") + "/" + qn("tcMar"));
    nb::object tbl;
    for (nb::object el = tc.attr("getparent")(); !el.is_none(); el = el.attr("getparent")())
        if (tag_of(el) == Tag::Tbl) {
            tbl = el;
            break;
        }
    nb::object tblMar = tbl.is_valid() ? find(tbl, qn("tblPr") + "/" + qn("tblCellMar")) : nb::none();
    for (auto [side, logical] : {std::pair{"left", "start"}, std::pair{"right", "end"}}) {
        long long m = tcMar.is_none() ? -1 : margin(tcMar, side, logical);
        if (m < 0 && !tblMar.is_none())
            m = margin(tblMar, side, logical);
        total += m < 0 ? kDefaultCellMargin : m;
    }
    return total;
}

// The section properties that close the section of a body-level block: in the
// last paragraph of the section, or at the end of the body for the last section.
nb::object closing_section(nb::handle block) {
    for (nb::object el = nb::borrow(block); !el.is_none(); el = el.attr("getnext")()) {
        Tag tag = tag_of(el);
        if (tag == Tag::SectPr)
            return el;
        if (tag == Tag::P) {
            nb::object own = find(el, qn("pPr") + "/" + qn("sectPr"));
            if (!own.is_none())
                return own;
        }
    }
    return nb::none();
}

}  // namespace

long long section_text_width(nb::handle sectPr) {
    nb::object pgSz = find(sectPr, qn("pgSz"));
    nb::object pgMar = find(sectPr, qn("pgMar"));
    const long long page = twips_attr(pgSz, "w", -1);
    if (page <= 0)
        return -1;
    // Lengths are read within ooxml::kLength, so a few of them add up safely.
    long long width = page - twips_attr(pgMar, "left", 0) - twips_attr(pgMar, "right", 0) -
                      twips_attr(pgMar, "gutter", 0);
    nb::object cols = find(sectPr, qn("cols"));
    const long long num = int_attr(cols, "num", 1, ooxml::kCount);
    if (num > 1) {
        nb::list explicit_cols = nb::list(cols.attr("findall")(qn("col")));
        nb::object equal = cols.attr("get")(qn("equalWidth"));
        const bool unequal = !equal.is_none() &&
                             (equal.equal(nb::str("0")) || equal.equal(nb::str("false")));
        if (unequal && nb::len(explicit_cols) > 0) {
            long long narrowest = width;
            for (nb::handle col : explicit_cols)
                narrowest = std::min(narrowest, twips_attr(col, "w", width));
            width = narrowest;
        } else {
            const long long space = std::max<long long>(0, twips_attr(cols, "space", 720));
            const std::optional<long long> spaces = ooxml::multiplied(space, num - 1);
            width = spaces ? (width - *spaces) / num : -1;
        }
    }
    return width > 0 ? width : -1;
}

long long text_column_width(nb::handle el) {
    // Climb to the body-level block.
    nb::object block = nb::borrow(el);
    for (;;) {
        nb::object parent = block.attr("getparent")();
        if (parent.is_none())
            return -1;
        if (tag_of(parent) == Tag::Body)
            break;
        block = parent;
    }
    nb::object sectPr = closing_section(block);
    return sectPr.is_none() ? -1 : section_text_width(sectPr);
}

long long body_text_width(nb::handle body) {
    nb::object sectPr = first_child(body, Tag::SectPr);
    return sectPr.is_none() ? -1 : section_text_width(sectPr);
}

long long cell_inner_width(nb::handle tc) {
    nb::object tcW = first_child(first_child(tc, Tag::TcPr), Tag::TcW);
    if (tcW.is_none())
        return -1;
    nb::object type = tcW.attr("get")(qn("type"));
    if (type.is_none() || !type.equal(nb::str("dxa")))
        return -1;
    const long long inner = twips_attr(tcW, "w", 0) - cell_margins(tc);
    return inner > 0 ? inner : -1;
}

namespace {

constexpr std::string_view kWp = "{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}";
constexpr std::string_view kWps = "{http://schemas.microsoft.com/office/word/2010/wordprocessingShape}";
constexpr std::string_view kTextBox = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}txbxContent";
// DrawingML's left and right insets of a text box when its body says none: 0.1 inch.
constexpr long long kDefaultInset = 91440;

std::string tag_text(nb::handle el) {
    nb::object tag = el.attr("tag");
    return PyUnicode_Check(tag.ptr()) ? nb::cast<std::string>(tag) : std::string();
}

// An EMU attribute, or `fallback` when missing or no length.
long long emu_attr(nb::handle el, const char *name, long long fallback) {
    if (el.is_none())
        return fallback;
    nb::object v = el.attr("get")(name);
    if (v.is_none())
        return fallback;
    return ooxml::whole_number(nb::cast<std::string>(v), ooxml::kSize).value_or(fallback);
}

}  // namespace

long long text_box_width(nb::handle content) {
    nb::object shape;
    for (nb::object el = content.attr("getparent")(); !el.is_none(); el = el.attr("getparent")()) {
        const std::string tag = tag_text(el);
        if (tag == std::string(kWps) + "wsp" && !shape.is_valid())
            shape = el;
        if (tag != std::string(kWp) + "inline" && tag != std::string(kWp) + "anchor")
            continue;
        const long long cx = emu_attr(el.attr("find")(std::string(kWp) + "extent"), "cx", -1);
        if (cx <= 0)
            return -1;
        nb::object body = shape.is_valid() ? shape.attr("find")(std::string(kWps) + "bodyPr") : nb::none();
        const long long inner =
            cx - emu_attr(body, "lIns", kDefaultInset) - emu_attr(body, "rIns", kDefaultInset);
        return inner > 0 ? inner / kEmuPerTwip : -1;
    }
    return -1;
}

long long room_at(nb::handle el, long long fallback) {
    long long cell = -1;
    for (nb::object up = el.attr("getparent")(); !up.is_none(); up = up.attr("getparent")()) {
        const Tag tag = tag_of(up);
        if (tag == Tag::Tc) {
            if (cell < 0)
                cell = cell_inner_width(up);
            continue;
        }
        long long width = -2;
        if (tag == Tag::Body)
            width = text_column_width(el);
        else if (tag == Tag::Other && tag_text(up) == kTextBox)
            width = text_box_width(up);
        if (width == -2)
            continue;
        if (width <= 0)
            width = fallback;
        if (cell > 0)
            width = width > 0 ? std::min(width, cell) : cell;
        return width > 0 ? width : -1;
    }
    // A header or footer.
    if (cell > 0)
        return fallback > 0 ? std::min(fallback, cell) : cell;
    return fallback > 0 ? fallback : -1;
}

long long available_width(nb::handle p, long long fallback) {
    const long long width = room_at(p, fallback);
    // A few lengths of ooxml::kLength, which leaves room for EMUs.
    return width > 0 ? width * kEmuPerTwip : -1;
}

}  // namespace tessel::wordml
