#include "wordml.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tessel::wordml {

namespace {

constexpr std::string_view kW = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}";
constexpr const char *kXmlSpace = "{http://www.w3.org/XML/1998/namespace}space";

// Kept for the interpreter's lifetime, like the module objects that hold them.
struct Refs {
    nb::handle deepcopy;
};
Refs refs;

std::string qn(const char *local) { return std::string(kW) + local; }

nb::list children(nb::handle el) {
    PyObject *l = PySequence_List(el.ptr());
    if (!l)
        throw nb::python_error();
    return nb::steal<nb::list>(l);
}

nb::object find(nb::handle el, const std::string &path) { return el.attr("find")(path); }

nb::object empty_str() { return nb::str(""); }

// First child with the tag, or None.  Cheaper than lxml's find, which goes through
// ElementPath.
nb::object first_child(nb::handle el, Tag tag) {
    if (el.is_none())
        return nb::none();
    for (nb::handle child : children(el))
        if (tag_of(child) == tag)
            return nb::borrow(child);
    return nb::none();
}

// A w:t's text; lxml gives None for an empty element.
nb::object t_text(nb::handle t) {
    static PyObject *const name = PyUnicode_InternFromString("text");
    nb::object text = nb::steal(PyObject_GetAttr(t.ptr(), name));
    if (!text.is_valid())
        throw nb::python_error();
    return text.is_none() ? empty_str() : text;
}

void set_t_text(nb::handle t, nb::handle text) {
    nb::setattr(t, "text", text);
    t.attr("set")(kXmlSpace, "preserve");
}

void remove(nb::handle el) {
    nb::object parent = el.attr("getparent")();
    if (!parent.is_none())
        parent.attr("remove")(el);
}

nb::object make(nb::handle parent, const char *local) {
    return parent.attr("makeelement")(qn(local));
}

Py_ssize_t length(nb::handle s) { return PyUnicode_GET_LENGTH(s.ptr()); }

nb::object slice(nb::handle s, Py_ssize_t begin, Py_ssize_t end) {
    PyObject *r = PyUnicode_Substring(s.ptr(), begin, end);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object concat(nb::handle a, nb::handle b) {
    PyObject *r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object join(const nb::list &parts) { return empty_str().attr("join")(parts); }

// Containers whose runs belong to the paragraph; w:sdt holds them in w:sdtContent.
nb::object run_container(nb::handle el, Tag tag) {
    switch (tag) {
        case Tag::Hyperlink:
        case Tag::Ins:
        case Tag::MoveTo:
        case Tag::SmartTag:
        case Tag::CustomXml:
        case Tag::Dir:
        case Tag::Bdo:
        case Tag::SdtContent:
            return nb::borrow(el);
        case Tag::Sdt:
            return first_child(el, Tag::SdtContent);
        default:
            return nb::none();
    }
}

void collect_runs(nb::handle container, std::vector<nb::object> &out) {
    for (nb::handle child : children(container)) {
        Tag tag = tag_of(child);
        if (tag == Tag::R) {
            out.push_back(nb::borrow(child));
            continue;
        }
        nb::object inner = run_container(child, tag);
        if (!inner.is_none())
            collect_runs(inner, out);
    }
}

// One text-bearing child of a run, at [begin, begin + len) of the run's text.
struct Item {
    nb::object el;
    bool is_t;
    nb::object text;
    Py_ssize_t begin;
    Py_ssize_t len;
};

std::vector<Item> run_items(nb::handle r, nb::object *joined) {
    std::vector<Item> items;
    nb::list parts;
    Py_ssize_t pos = 0;
    for (nb::handle child : children(r)) {
        nb::object text;
        bool is_t = false;
        switch (tag_of(child)) {
            case Tag::T:
                text = t_text(child);
                is_t = true;
                break;
            case Tag::Tab:
                text = nb::str("\t");
                break;
            case Tag::Br: {
                nb::object type = child.attr("get")(qn("type"));
                if (!type.is_none() && !type.equal(nb::str("textWrapping")))
                    continue;
                text = nb::str("\n");
                break;
            }
            case Tag::Cr:
                text = nb::str("\n");
                break;
            default:
                continue;
        }
        Py_ssize_t len = length(text);
        parts.append(text);
        items.push_back({nb::borrow(child), is_t, text, pos, len});
        pos += len;
    }
    if (joined)
        *joined = join(parts);
    return items;
}

bool has_controls(nb::handle text) {
    const Py_ssize_t n = length(text);
    for (Py_UCS4 c : {U'\t', U'\n', U'\r'})
        if (PyUnicode_FindChar(text.ptr(), c, 0, n, 1) >= 0)
            return true;
    return false;
}

// Splits a w:t whose text holds tabs or line breaks into w:t, w:tab and w:br.
void expand_controls(nb::handle t) {
    nb::object text = t_text(t);
    if (!has_controls(text))
        return;
    nb::object parent = t.attr("getparent")();
    const Py_ssize_t n = length(text);
    nb::object last = nb::borrow(t);
    Py_ssize_t start = 0;
    bool first = true;
    auto add_text = [&](Py_ssize_t end) {
        nb::object piece = slice(text, start, end);
        if (first) {
            set_t_text(t, piece);
            first = false;
            return;
        }
        if (end == start)
            return;
        nb::object el = make(parent, "t");
        set_t_text(el, piece);
        last.attr("addnext")(el);
        last = el;
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        if (c != '\t' && c != '\n' && c != '\r')
            continue;
        add_text(i);
        nb::object control = make(parent, c == '\t' ? "tab" : "br");
        last.attr("addnext")(control);
        last = control;
        start = i + 1;
    }
    add_text(n);
}

// A run that holds only formatted text: its properties, w:t and the layout cache
// w:lastRenderedPageBreak.  Anything else (pictures, fields, tabs, notes) keeps the
// run out of merging.
bool plain_run(nb::handle r, nb::object &rPr, std::vector<nb::object> &ts) {
    for (nb::handle child : children(r)) {
        switch (tag_of(child)) {
            case Tag::RPr:
                rPr = nb::borrow(child);
                break;
            case Tag::T:
                ts.push_back(nb::borrow(child));
                break;
            case Tag::LastRenderedPageBreak:
                break;
            default:
                return false;
        }
    }
    return true;
}

bool same_element(nb::handle a, nb::handle b) {
    if (!a.attr("tag").equal(b.attr("tag")) || !a.attr("items")().equal(b.attr("items")()))
        return false;
    nb::list ka = children(a), kb = children(b);
    const size_t n = nb::len(ka);
    if (n != nb::len(kb))
        return false;
    for (size_t k = 0; k < n; ++k)
        if (!same_element(ka[k], kb[k]))
            return false;
    return true;
}

bool has_properties(const nb::object &rPr) {
    return rPr.is_valid() && PyObject_Length(rPr.ptr()) > 0;
}

// Equal formatting is equal run properties, element by element and attribute by
// attribute; a run without properties and one with empty properties are equal.
bool same_formatting(const nb::object &a, const nb::object &b) {
    const bool ha = has_properties(a), hb = has_properties(b);
    if (!ha || !hb)
        return ha == hb;
    return same_element(a, b);
}

struct MergeGroup {
    nb::object first;
    std::vector<nb::object> first_ts;
    nb::object rPr;
    nb::list texts;
    std::vector<nb::object> drop;
    std::vector<nb::object> pending;  // proofing marks since the group's last run

    bool active() const { return first.is_valid(); }

    void start(nb::handle r, nb::object properties, std::vector<nb::object> ts) {
        first = nb::borrow(r);
        rPr = std::move(properties);
        texts = nb::list();
        for (const nb::object &t : ts)
            texts.append(t_text(t));
        first_ts = std::move(ts);
        drop.clear();
        pending.clear();
    }

    void flush() {
        if (active() && !drop.empty()) {
            nb::object text = join(texts);
            nb::object t;
            if (first_ts.empty()) {
                t = make(first, "t");
                first.attr("append")(t);
            } else {
                t = first_ts[0];
                for (size_t k = 1; k < first_ts.size(); ++k)
                    remove(first_ts[k]);
            }
            set_t_text(t, text);
            for (const nb::object &el : drop)
                remove(el);
        }
        first = nb::object();
        first_ts.clear();
        drop.clear();
        pending.clear();
    }
};

void merge_in(nb::handle container) {
    MergeGroup group;
    for (nb::handle child : children(container)) {
        Tag tag = tag_of(child);
        if (tag == Tag::R) {
            nb::object rPr;
            std::vector<nb::object> ts;
            if (!plain_run(child, rPr, ts)) {
                group.flush();
                continue;
            }
            if (group.active() && same_formatting(rPr, group.rPr)) {
                for (const nb::object &t : ts)
                    group.texts.append(t_text(t));
                group.drop.push_back(nb::borrow(child));
                group.drop.insert(group.drop.end(), group.pending.begin(), group.pending.end());
                group.pending.clear();
                continue;
            }
            group.flush();
            group.start(child, std::move(rPr), std::move(ts));
            continue;
        }
        if (tag == Tag::ProofErr) {
            if (group.active())
                group.pending.push_back(nb::borrow(child));
            continue;
        }
        group.flush();
        nb::object inner = run_container(child, tag);
        if (!inner.is_none())
            merge_in(inner);
    }
    group.flush();
}

// Consecutive w:t elements of neighbouring runs, read as one text.
struct Stretch {
    Pattern pattern;
    std::vector<nb::object> ts;
    bool moved = false;

    void close() {
        if (ts.size() >= 2)
            join_placeholders();
        ts.clear();
    }

    void join_placeholders() {
        const size_t n = ts.size();
        std::vector<nb::object> texts(n);
        std::vector<Py_ssize_t> begin(n), end(n);
        nb::list parts;
        Py_ssize_t pos = 0;
        for (size_t k = 0; k < n; ++k) {
            texts[k] = t_text(ts[k]);
            parts.append(texts[k]);
            begin[k] = pos;
            pos += length(texts[k]);
            end[k] = pos;
        }
        std::vector<Match> matches = scan(join(parts), pattern);
        std::vector<char> changed(n, 0);
        auto owner = [&](Py_ssize_t at) {
            size_t k = 0;
            while (!(begin[k] <= at && at < end[k]))
                ++k;
            return k;
        };
        for (const Match &m : matches) {
            const size_t a = owner(m.begin), z = owner(m.end - 1);
            if (a == z)
                continue;
            nb::object text = texts[a];
            for (size_t k = a + 1; k < z; ++k) {
                text = concat(text, texts[k]);
                texts[k] = empty_str();
                begin[k] = end[k] = m.end;
                changed[k] = 1;
            }
            text = concat(text, slice(texts[z], 0, m.end - begin[z]));
            texts[a] = text;
            end[a] = m.end;
            texts[z] = slice(texts[z], m.end - begin[z], length(texts[z]));
            begin[z] = m.end;
            changed[a] = changed[z] = 1;
            moved = true;
        }
        for (size_t k = 0; k < n; ++k) {
            if (!changed[k])
                continue;
            if (length(texts[k]) > 0) {
                set_t_text(ts[k], texts[k]);
                continue;
            }
            // A run emptied by the move goes with its text.
            nb::object r = ts[k].attr("getparent")();
            remove(ts[k]);
            bool empty = true;
            for (nb::handle child : children(r))
                empty = empty && tag_of(child) == Tag::RPr;
            if (empty)
                remove(r);
        }
    }
};

void join_in(nb::handle container, Stretch &stretch) {
    for (nb::handle child : children(container)) {
        Tag tag = tag_of(child);
        switch (tag) {
            case Tag::R:
                for (nb::handle part : children(child)) {
                    switch (tag_of(part)) {
                        case Tag::T:
                            stretch.ts.push_back(nb::borrow(part));
                            break;
                        case Tag::RPr:
                        case Tag::LastRenderedPageBreak:
                            break;
                        default:
                            stretch.close();
                    }
                }
                break;
            // Marks that carry no text: a placeholder may run across them.
            case Tag::ProofErr:
            case Tag::BookmarkStart:
            case Tag::BookmarkEnd:
                break;
            default: {
                stretch.close();
                nb::object inner = run_container(child, tag);
                if (!inner.is_none()) {
                    join_in(inner, stretch);
                    stretch.close();
                }
            }
        }
    }
}

long long int_attr(nb::handle el, const char *local, long long fallback) {
    if (el.is_none())
        return fallback;
    nb::object v = el.attr("get")(qn(local));
    if (v.is_none())
        return fallback;
    // Lengths may carry a unit suffix or a fraction in transitional files.
    PyObject *number = PyNumber_Float(v.ptr());
    if (!number) {
        PyErr_Clear();
        return fallback;
    }
    const double value = PyFloat_AsDouble(number);
    Py_DECREF(number);
    return (long long) value;
}

long long section_text_width(nb::handle sectPr) {
    nb::object pgSz = find(sectPr, qn("pgSz"));
    nb::object pgMar = find(sectPr, qn("pgMar"));
    const long long page = int_attr(pgSz, "w", -1);
    if (page <= 0)
        return -1;
    long long width = page - int_attr(pgMar, "left", 0) - int_attr(pgMar, "right", 0) -
                      int_attr(pgMar, "gutter", 0);
    nb::object cols = find(sectPr, qn("cols"));
    const long long num = int_attr(cols, "num", 1);
    if (num > 1) {
        nb::list explicit_cols = nb::list(cols.attr("findall")(qn("col")));
        nb::object equal = cols.attr("get")(qn("equalWidth"));
        const bool unequal = !equal.is_none() &&
                             (equal.equal(nb::str("0")) || equal.equal(nb::str("false")));
        if (unequal && nb::len(explicit_cols) > 0) {
            long long narrowest = width;
            for (nb::handle col : explicit_cols)
                narrowest = std::min(narrowest, int_attr(col, "w", width));
            width = narrowest;
        } else {
            width = (width - int_attr(cols, "space", 720) * (num - 1)) / num;
        }
    }
    return width;
}

constexpr long long kEmuPerTwip = 635;

}  // namespace

void init() {
    refs.deepcopy = nb::object(nb::module_::import_("copy").attr("deepcopy")).release();
}

Tag tag_of(nb::handle el) {
    // Interned once: this lookup runs for every element the fill visits.
    static PyObject *const tag_name = PyUnicode_InternFromString("tag");
    nb::object tag = nb::steal(PyObject_GetAttr(el.ptr(), tag_name));
    if (!tag.is_valid())
        throw nb::python_error();
    if (!PyUnicode_Check(tag.ptr()))
        return Tag::Other;  // comments and processing instructions
    Py_ssize_t size = 0;
    const char *s = PyUnicode_AsUTF8AndSize(tag.ptr(), &size);
    if (!s)
        throw nb::python_error();
    std::string_view name(s, (size_t) size);
    if (name.substr(0, kW.size()) != kW)
        return Tag::Other;
    name.remove_prefix(kW.size());
    static const std::pair<std::string_view, Tag> table[] = {
        {"r", Tag::R}, {"t", Tag::T}, {"rPr", Tag::RPr}, {"pPr", Tag::PPr}, {"tab", Tag::Tab},
        {"br", Tag::Br}, {"cr", Tag::Cr}, {"proofErr", Tag::ProofErr},
        {"bookmarkStart", Tag::BookmarkStart}, {"bookmarkEnd", Tag::BookmarkEnd},
        {"lastRenderedPageBreak", Tag::LastRenderedPageBreak}, {"hyperlink", Tag::Hyperlink},
        {"sdt", Tag::Sdt}, {"sdtContent", Tag::SdtContent}, {"ins", Tag::Ins},
        {"moveTo", Tag::MoveTo}, {"smartTag", Tag::SmartTag}, {"customXml", Tag::CustomXml},
        {"dir", Tag::Dir}, {"bdo", Tag::Bdo}, {"p", Tag::P}, {"tbl", Tag::Tbl}, {"tr", Tag::Tr},
        {"tc", Tag::Tc}, {"tcPr", Tag::TcPr}, {"sectPr", Tag::SectPr}, {"body", Tag::Body}, {"gridSpan", Tag::GridSpan},
    };
    for (const auto &[local, value] : table)
        if (name == local)
            return value;
    return Tag::Other;
}

std::vector<nb::object> runs_of(nb::handle p) {
    std::vector<nb::object> out;
    collect_runs(p, out);
    return out;
}

nb::object run_text(nb::handle r) {
    nb::object text;
    run_items(r, &text);
    return text;
}

nb::object paragraph_text(nb::handle p) {
    nb::list parts;
    for (const nb::object &r : runs_of(p))
        parts.append(run_text(r));
    return join(parts);
}

void merge_runs(nb::handle p) { merge_in(p); }

bool join_split_placeholders(nb::handle p, Pattern pattern) {
    Stretch stretch{pattern, {}};
    join_in(p, stretch);
    stretch.close();
    return stretch.moved;
}

void replace_in_run(nb::handle r, nb::handle delimited, nb::handle value) {
    nb::object text;
    std::vector<Item> items = run_items(r, &text);
    const Py_ssize_t width = length(delimited), n = length(text);
    if (width == 0)
        return;
    std::vector<Py_ssize_t> found;
    for (Py_ssize_t at = 0;;) {
        Py_ssize_t hit = PyUnicode_Find(text.ptr(), delimited.ptr(), at, n, 1);
        if (hit == -2)
            throw nb::python_error();
        if (hit < 0)
            break;
        found.push_back(hit);
        at = hit + width;
    }
    std::vector<size_t> written;
    // From the last occurrence back, so that earlier positions stay valid.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        const Py_ssize_t b = *it, e = b + width;
        size_t k = 0, z = 0;
        while (k < items.size() &&
               !(items[k].is_t && items[k].begin <= b && b < items[k].begin + items[k].len))
            ++k;
        for (z = k; z < items.size(); ++z)
            if (items[z].begin <= e - 1 && e - 1 < items[z].begin + items[z].len)
                break;
        if (z >= items.size())
            continue;  // not within the run's own text elements
        Item &first = items[k];
        nb::object head = concat(slice(first.text, 0, b - first.begin), value);
        if (k == z) {
            head = concat(head, slice(first.text, e - first.begin, first.len));
        } else {
            for (size_t q = k + 1; q < z; ++q)
                if (items[q].len > 0)
                    remove(items[q].el);
            Item &last = items[z];
            nb::object tail = slice(last.text, e - last.begin, last.len);
            if (last.is_t) {
                set_t_text(last.el, tail);
                last.text = tail;
            } else {
                remove(last.el);
            }
        }
        set_t_text(first.el, head);
        first.text = head;
        written.push_back(k);
    }
    if (has_controls(value))
        for (size_t k : written)
            expand_controls(items[k].el);
}

void collect_blocks(nb::handle container, std::vector<nb::object> &paragraphs,
                    std::vector<nb::object> &tables) {
    for (nb::handle child : children(container)) {
        switch (tag_of(child)) {
            case Tag::P:
                paragraphs.push_back(nb::borrow(child));
                break;
            case Tag::Tbl:
                tables.push_back(nb::borrow(child));
                break;
            case Tag::Sdt: {
                nb::object content = first_child(child, Tag::SdtContent);
                if (!content.is_none())
                    collect_blocks(content, paragraphs, tables);
                break;
            }
            case Tag::CustomXml:
                collect_blocks(child, paragraphs, tables);
                break;
            default:
                break;
        }
    }
}

nb::object cell_text(nb::handle tc) {
    std::vector<nb::object> paragraphs, tables;
    collect_blocks(tc, paragraphs, tables);
    nb::list parts;
    for (const nb::object &p : paragraphs)
        parts.append(paragraph_text(p));
    return nb::str("\n").attr("join")(parts);
}

Py_ssize_t grid_span(nb::handle tc) {
    nb::object span = first_child(first_child(tc, Tag::TcPr), Tag::GridSpan);
    return (Py_ssize_t) std::max<long long>(1, int_attr(span, "val", 1));
}

CellFormat cell_format(nb::handle tc) {
    CellFormat format;
    nb::object p = first_child(tc, Tag::P);
    if (p.is_none())
        return format;
    nb::object pPr = first_child(p, Tag::PPr);
    if (!pPr.is_none())
        format.pPr = pPr;
    for (const nb::object &r : runs_of(p)) {
        nb::object rPr = first_child(r, Tag::RPr);
        if (!rPr.is_none()) {
            format.rPr = rPr;
            break;
        }
    }
    return format;
}

void write_cell(nb::handle tc, nb::handle text, const CellFormat &fallback) {
    nb::object p;
    for (nb::handle child : children(tc)) {
        Tag tag = tag_of(child);
        if (tag == Tag::TcPr)
            continue;
        if (tag == Tag::P && !p.is_valid())
            p = nb::borrow(child);
        else
            tc.attr("remove")(child);
    }
    if (!p.is_valid()) {
        p = make(tc, "p");
        tc.attr("append")(p);
    }
    CellFormat own = cell_format(tc);
    nb::object rPr = own.rPr.is_valid() ? own.rPr : fallback.rPr;
    if (rPr.is_valid())
        rPr = refs.deepcopy(rPr);
    for (nb::handle child : children(p))
        if (tag_of(child) != Tag::PPr)
            p.attr("remove")(child);
    if (!own.pPr.is_valid() && fallback.pPr.is_valid())
        p.attr("insert")(0, refs.deepcopy(fallback.pPr));
    nb::object r = make(p, "r");
    if (rPr.is_valid())
        r.attr("append")(rPr);
    nb::object t = make(r, "t");
    set_t_text(t, text);
    r.attr("append")(t);
    p.attr("append")(r);
    expand_controls(t);
}

namespace {

// An empty cell, with its width when the grid gives one.
nb::object empty_cell(nb::handle factory, nb::handle width) {
    nb::object tc = make(factory, "tc");
    if (!width.is_none()) {
        nb::object tcPr = make(factory, "tcPr");
        nb::object tcW = make(factory, "tcW");
        tcW.attr("set")(qn("w"), width);
        tcW.attr("set")(qn("type"), "dxa");
        tcPr.attr("append")(tcW);
        tc.attr("append")(tcPr);
    }
    tc.attr("append")(make(factory, "p"));
    return tc;
}

nb::list grid_columns(nb::handle tbl) {
    nb::object grid = find(tbl, qn("tblGrid"));
    return grid.is_none() ? nb::list() : children(grid);
}

}  // namespace

std::vector<nb::object> append_rows(nb::handle tbl, nb::handle last_tr, Py_ssize_t count) {
    std::vector<nb::object> out;
    if (count <= 0)
        return out;
    // Every new row is a copy of one prototype: one lxml call per row.
    nb::object prototype = make(tbl, "tr");
    for (nb::handle col : grid_columns(tbl))
        prototype.attr("append")(empty_cell(tbl, col.attr("get")(qn("w"))));
    nb::object previous = nb::borrow(last_tr);
    for (Py_ssize_t k = 0; k < count; ++k) {
        nb::object tr = k + 1 == count ? prototype : refs.deepcopy(prototype);
        if (previous.is_valid() && !previous.is_none())
            previous.attr("addnext")(tr);
        else
            tbl.attr("append")(tr);
        out.push_back(tr);
        previous = tr;
    }
    return out;
}

std::vector<nb::object> append_column(nb::handle tbl, const std::vector<nb::object> &rows) {
    nb::object grid = find(tbl, qn("tblGrid"));
    if (grid.is_none()) {
        grid = make(tbl, "tblGrid");
        nb::object tblPr = find(tbl, qn("tblPr"));
        if (tblPr.is_none())
            tbl.attr("insert")(0, grid);
        else
            tblPr.attr("addnext")(grid);
    }
    nb::list cols = children(grid);
    const size_t count = nb::len(cols);
    nb::object width = count ? cols[count - 1].attr("get")(qn("w")) : nb::none();
    nb::object col = make(tbl, "gridCol");
    if (!width.is_none())
        col.attr("set")(qn("w"), width);
    grid.attr("append")(col);
    std::vector<nb::object> out;
    nb::object prototype = empty_cell(tbl, width);
    for (size_t k = 0; k < rows.size(); ++k) {
        nb::object tc = k + 1 == rows.size() ? prototype : refs.deepcopy(prototype);
        rows[k].attr("append")(tc);
        out.push_back(tc);
    }
    return out;
}

long long available_width(nb::handle p) {
    // Climb to the body-level block, noting the innermost cell on the way.
    nb::object block = nb::borrow(p), cell;
    for (;;) {
        nb::object parent = block.attr("getparent")();
        if (parent.is_none())
            return -1;
        if (!cell.is_valid() && tag_of(block) == Tag::Tc)
            cell = block;
        if (tag_of(parent) == Tag::Body)
            break;
        block = parent;
    }
    // A section's properties close it: in the last paragraph of the section, or
    // at the end of the body for the last section.
    nb::object sectPr;
    for (nb::object el = block; !el.is_none(); el = el.attr("getnext")()) {
        Tag tag = tag_of(el);
        if (tag == Tag::SectPr) {
            sectPr = el;
            break;
        }
        if (tag == Tag::P) {
            nb::object own = find(el, qn("pPr") + "/" + qn("sectPr"));
            if (!own.is_none()) {
                sectPr = own;
                break;
            }
        }
    }
    if (!sectPr.is_valid())
        return -1;
    long long width = section_text_width(sectPr);
    if (width <= 0)
        return -1;
    if (cell.is_valid()) {
        nb::object tcW = find(cell, qn("tcPr") + "/" + qn("tcW"));
        nb::object type = tcW.is_none() ? nb::none() : tcW.attr("get")(qn("type"));
        if (!type.is_none() && type.equal(nb::str("dxa"))) {
            // Less Word's default cell margins of 108 twips on either side.
            const long long inner = int_attr(tcW, "w", 0) - 216;
            if (inner > 0)
                width = std::min(width, inner);
        }
    }
    return width * kEmuPerTwip;
}

}  // namespace tessel::wordml
