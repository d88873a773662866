#include "document/wordml.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace tessel::wordml {

namespace {

constexpr const char *kXmlSpace = "{http://www.w3.org/XML/1998/namespace}space";

// Kept for the interpreter's lifetime, like the module objects that hold them.
nb::handle deepcopy_fn;

// Calls `use` with the local name of a w: element, or an empty name for any other
// node.  The name lives only during the call: lxml builds the tag string anew.
template <typename Use> auto with_local_name(nb::handle el, Use &&use) {
    static PyObject *const tag_name = PyUnicode_InternFromString("tag");
    nb::object tag = nb::steal(PyObject_GetAttr(el.ptr(), tag_name));
    if (!tag.is_valid())
        throw nb::python_error();
    if (!PyUnicode_Check(tag.ptr()))
        return use(std::string_view());  // comments and processing instructions
    Py_ssize_t size = 0;
    const char *s = PyUnicode_AsUTF8AndSize(tag.ptr(), &size);
    if (!s)
        throw nb::python_error();
    std::string_view name(s, (size_t) size);
    if (name.substr(0, kW.size()) != kW)
        return use(std::string_view());
    return use(name.substr(kW.size()));
}

}  // namespace

void init() {
    deepcopy_fn = nb::object(nb::module_::import_("copy").attr("deepcopy")).release();
}

Tag tag_of(nb::handle el) {
    // This lookup runs for every element the fill visits.
    return with_local_name(el, [](std::string_view name) {
    if (name.empty())
        return Tag::Other;
    static const std::pair<std::string_view, Tag> table[] = {
        {"r", Tag::R}, {"t", Tag::T}, {"rPr", Tag::RPr}, {"pPr", Tag::PPr}, {"tab", Tag::Tab},
        {"br", Tag::Br}, {"cr", Tag::Cr}, {"proofErr", Tag::ProofErr},
        {"bookmarkStart", Tag::BookmarkStart}, {"bookmarkEnd", Tag::BookmarkEnd},
        {"lastRenderedPageBreak", Tag::LastRenderedPageBreak}, {"hyperlink", Tag::Hyperlink},
        {"sdt", Tag::Sdt}, {"sdtContent", Tag::SdtContent}, {"ins", Tag::Ins},
        {"moveTo", Tag::MoveTo}, {"smartTag", Tag::SmartTag}, {"customXml", Tag::CustomXml},
        {"dir", Tag::Dir}, {"bdo", Tag::Bdo}, {"p", Tag::P}, {"tbl", Tag::Tbl},
        {"tblPr", Tag::TblPr}, {"tblGrid", Tag::TblGrid}, {"gridCol", Tag::GridCol},
        {"tblPrEx", Tag::TblPrEx}, {"tr", Tag::Tr}, {"trPr", Tag::TrPr}, {"tc", Tag::Tc},
        {"tcPr", Tag::TcPr}, {"gridSpan", Tag::GridSpan}, {"vMerge", Tag::VMerge},
        {"hMerge", Tag::HMerge}, {"tcW", Tag::TcW}, {"gridBefore", Tag::GridBefore},
        {"gridAfter", Tag::GridAfter}, {"tblHeader", Tag::TblHeader},
        {"commentRangeStart", Tag::CommentRangeStart}, {"commentRangeEnd", Tag::CommentRangeEnd},
        {"commentReference", Tag::CommentReference},
        {"footnoteReference", Tag::FootnoteReference}, {"endnoteReference", Tag::EndnoteReference}, {"permStart", Tag::PermStart},
        {"permEnd", Tag::PermEnd}, {"sectPr", Tag::SectPr},
        {"body", Tag::Body},
    };
    for (const auto &[local, value] : table)
        if (name == local)
            return value;
    return Tag::Other;
    });
}

std::string qn(const char *local) { return std::string(kW) + local; }

nb::list children(nb::handle el) {
    PyObject *l = PySequence_List(el.ptr());
    if (!l)
        throw nb::python_error();
    return nb::steal<nb::list>(l);
}

nb::object first_child(nb::handle el, Tag tag) {
    // Cheaper than lxml's find, which goes through ElementPath.
    if (el.is_none())
        return nb::none();
    for (nb::handle child : children(el))
        if (tag_of(child) == tag)
            return nb::borrow(child);
    return nb::none();
}

nb::object make(nb::handle parent, const char *local) {
    return parent.attr("makeelement")(qn(local));
}

void remove(nb::handle el) {
    nb::object parent = el.attr("getparent")();
    if (!parent.is_none())
        parent.attr("remove")(el);
}

nb::object deepcopy(nb::handle el) { return deepcopy_fn(el); }

namespace {

// "w:gridCol", for messages.
std::string element_name(nb::handle el) {
    return with_local_name(el, [&](std::string_view name) {
        return name.empty() ? nb::cast<std::string>(nb::str(el.attr("tag"))) : "w:" + std::string(name);
    });
}

// Reads a w: attribute with `read`, which gives nothing for a text it cannot take.
template <typename Read>
long long read_attr(nb::handle el, const char *local, long long fallback, ooxml::Bounds bounds,
                    Read &&read) {
    if (el.is_none())
        return fallback;
    nb::object v = el.attr("get")(qn(local));
    if (v.is_none())
        return fallback;
    Py_ssize_t size = 0;
    const char *s = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
    if (!s)
        throw nb::python_error();
    const std::string_view text(s, (size_t) size);
    if (std::optional<long long> value = read(text))
        return *value;
    ooxml::bad_number(element_name(el), "w:" + std::string(local), text, bounds);
}

// A measure with a unit, as the schema's universal measure writes it: an optional
// minus, digits, an optional fraction, then mm, cm, in, pt, pc or pi.
std::optional<long long> measure_with_unit(std::string_view text) {
    static const std::pair<std::string_view, double> units[] = {
        {"mm", 1440 / 25.4}, {"cm", 1440 / 2.54}, {"in", 1440}, {"pt", 20}, {"pc", 240}, {"pi", 240}};
    if (text.size() < 3 || text.size() > 64)
        return std::nullopt;
    const std::string_view unit = text.substr(text.size() - 2);
    std::string_view number = text.substr(0, text.size() - 2);
    const auto found = std::find_if(std::begin(units), std::end(units),
                                    [&](const auto &u) { return u.first == unit; });
    if (found == std::end(units))
        return std::nullopt;
    std::string_view digits = number.substr(!number.empty() && number.front() == '-' ? 1 : 0);
    const size_t point = digits.find('.');
    const std::string_view whole = digits.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "0" : digits.substr(point + 1);
    auto all_digits = [](std::string_view d) {
        return !d.empty() && std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!all_digits(whole) || !all_digits(fraction))
        return std::nullopt;
    const double twips = std::round(std::strtod(std::string(number).c_str(), nullptr) * found->second);
    if (!(std::fabs(twips) <= (double) ooxml::kMaxLength))
        return std::nullopt;
    return (long long) twips;
}

}  // namespace

long long int_attr(nb::handle el, const char *local, long long fallback, ooxml::Bounds bounds) {
    return read_attr(el, local, fallback, bounds,
                     [&](std::string_view text) { return ooxml::measure(text, bounds); });
}

long long twips_attr(nb::handle el, const char *local, long long fallback) {
    return read_attr(el, local, fallback, ooxml::kLength, [](std::string_view text) {
        if (std::optional<long long> twips = ooxml::measure(text, ooxml::kLength))
            return twips;
        return measure_with_unit(text);
    });
}

nb::object last_child(nb::handle el) {
    PyObject *child = PySequence_GetItem(el.ptr(), -1);
    if (!child)
        throw nb::python_error();
    return nb::steal(child);
}

std::vector<nb::object> between(nb::handle from, nb::handle to) {
    std::vector<nb::object> out;
    for (nb::handle el : from.attr("itersiblings")()) {
        if (el.ptr() == to.ptr())
            break;
        out.push_back(nb::borrow(el));
    }
    return out;
}

void set_int_attr(nb::handle el, const char *local, long long value) {
    el.attr("set")(qn(local), nb::str(nb::int_(value)));
}

nb::object child_in_order(nb::handle parent, const char *local,
                          const std::vector<std::string_view> &order) {
    const std::string_view wanted(local);
    auto rank = [&](std::string_view name) -> long {
        long k = 0;
        for (std::string_view o : order) {
            if (o == name)
                return k;
            ++k;
        }
        return -1;
    };
    const long mine = rank(wanted);
    for (nb::handle child : children(parent)) {
        const long theirs = with_local_name(
            child, [&](std::string_view name) { return name == wanted ? -2 : rank(name); });
        if (theirs == -2)
            return nb::borrow(child);
        if (theirs > mine) {
            nb::object el = make(parent, local);
            child.attr("addprevious")(el);
            return el;
        }
    }
    nb::object el = make(parent, local);
    parent.attr("append")(el);
    return el;
}

nb::object t_text(nb::handle t) {
    static PyObject *const name = PyUnicode_InternFromString("text");
    nb::object text = nb::steal(PyObject_GetAttr(t.ptr(), name));
    if (!text.is_valid())
        throw nb::python_error();
    return text.is_none() ? nb::str("") : text;
}

void set_t_text(nb::handle t, nb::handle text) {
    nb::setattr(t, "text", text);
    t.attr("set")(kXmlSpace, "preserve");
}

nb::object wrapped_content(nb::handle child, Tag tag) {
    if (tag == Tag::Sdt)
        return first_child(child, Tag::SdtContent);
    if (tag == Tag::CustomXml)
        return nb::borrow(child);
    return nb::object();
}

void collect_blocks(nb::handle container, std::vector<nb::object> &paragraphs,
                    std::vector<nb::object> &tables) {
    walk_through(container, [&](nb::handle child, Tag tag) {
        switch (tag) {
            case Tag::P:
                paragraphs.push_back(nb::borrow(child));
                break;
            case Tag::Tbl:
                tables.push_back(nb::borrow(child));
                break;
            default:
                return wrapped_content(child, tag);
        }
        return nb::object();
    });
}

nb::object related_part(nb::handle part, const std::string &type) {
    const nb::str tail(("/" + type).c_str());
    for (nb::handle rel : part.attr("rels").attr("values")())
        if (!nb::cast<bool>(rel.attr("is_external")) && nb::cast<bool>(rel.attr("reltype").attr("endswith")(tail)))
            return rel.attr("target_part");
    return nb::none();
}

}  // namespace tessel::wordml
