#include "document/text.h"

namespace tessel::wordml {

namespace {

nb::object empty_str() { return nb::str(""); }

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
    walk_through(container, [&](nb::handle child, Tag tag) {
        if (tag != Tag::R)
            return run_container(child, tag);
        out.push_back(nb::borrow(child));
        return nb::object();
    });
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

}  // namespace

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

namespace {

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

// A stack of pairs still to compare: the file decides how deep properties nest.
bool same_element(nb::handle a, nb::handle b) {
    std::vector<std::pair<nb::object, nb::object>> pending{{nb::borrow(a), nb::borrow(b)}};
    while (!pending.empty()) {
        const auto [x, y] = std::move(pending.back());
        pending.pop_back();
        if (!x.attr("tag").equal(y.attr("tag")) || !x.attr("items")().equal(y.attr("items")()))
            return false;
        nb::list kx = children(x), ky = children(y);
        const size_t n = nb::len(kx);
        if (n != nb::len(ky))
            return false;
        for (size_t k = 0; k < n; ++k)
            pending.emplace_back(kx[k], ky[k]);
    }
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
    // Runs merge only with runs of their own container.
    walk_through(
        container,
        [&](nb::handle child, Tag tag) {
            if (tag == Tag::R) {
                nb::object rPr;
                std::vector<nb::object> ts;
                if (!plain_run(child, rPr, ts)) {
                    group.flush();
                } else if (group.active() && same_formatting(rPr, group.rPr)) {
                    for (const nb::object &t : ts)
                        group.texts.append(t_text(t));
                    group.drop.push_back(nb::borrow(child));
                    group.drop.insert(group.drop.end(), group.pending.begin(), group.pending.end());
                    group.pending.clear();
                } else {
                    group.flush();
                    group.start(child, std::move(rPr), std::move(ts));
                }
                return nb::object();
            }
            if (tag == Tag::ProofErr) {
                if (group.active())
                    group.pending.push_back(nb::borrow(child));
                return nb::object();
            }
            group.flush();
            return run_container(child, tag);
        },
        [&] { group.flush(); });
    group.flush();
}

// Consecutive w:t elements of neighbouring runs, read as one text.
struct Stretch {
    const std::function<std::vector<Range>(nb::handle)> &find;
    std::vector<nb::object> ts;
    bool moved = false;

    void close() {
        if (ts.size() >= 2)
            gather();
        ts.clear();
    }

    void gather() {
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
        const std::vector<Range> ranges = find(join(parts));
        std::vector<char> changed(n, 0);
        auto owner = [&](Py_ssize_t at) {
            size_t k = 0;
            while (!(begin[k] <= at && at < end[k]))
                ++k;
            return k;
        };
        for (const auto &[from, to] : ranges) {
            // Ranges come in order and apart; anything else is no range of this text.
            if (from < 0 || to <= from || to > pos)
                continue;
            const size_t a = owner(from), z = owner(to - 1);
            if (a == z)
                continue;
            nb::object text = texts[a];
            for (size_t k = a + 1; k < z; ++k) {
                text = concat(text, texts[k]);
                texts[k] = empty_str();
                begin[k] = end[k] = to;
                changed[k] = 1;
            }
            text = concat(text, slice(texts[z], 0, to - begin[z]));
            texts[a] = text;
            end[a] = to;
            texts[z] = slice(texts[z], to - begin[z], length(texts[z]));
            begin[z] = to;
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
    walk_through(
        container,
        [&](nb::handle child, Tag tag) {
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
                    return nb::object();
                // Marks that carry no text: a placeholder may run across them.
                case Tag::ProofErr:
                case Tag::BookmarkStart:
                case Tag::BookmarkEnd:
                    return nb::object();
                default:
                    stretch.close();
                    return run_container(child, tag);
            }
        },
        [&] { stretch.close(); });
}

}  // namespace

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

bool gather_ranges(nb::handle p, const std::function<std::vector<Range>(nb::handle)> &find) {
    Stretch stretch{find, {}};
    join_in(p, stretch);
    stretch.close();
    return stretch.moved;
}

nb::object split_run(nb::handle r, Py_ssize_t at, bool marks_follow) {
    nb::object tail = make(r, "r");
    for (nb::handle attribute : r.attr("attrib").attr("items")())
        tail.attr("set")(attribute[0], attribute[1]);
    Py_ssize_t pos = 0;
    for (nb::handle child : children(r)) {
        const Tag tag = tag_of(child);
        if (tag == Tag::RPr) {
            tail.attr("append")(deepcopy(child));
            continue;
        }
        Py_ssize_t len = 0;
        nb::object text;
        if (tag == Tag::T) {
            text = t_text(child);
            len = length(text);
        } else if (tag == Tag::Tab || tag == Tag::Cr ||
                   (tag == Tag::Br && (child.attr("get")(qn("type")).is_none() ||
                                       child.attr("get")(qn("type")).equal(nb::str("textWrapping"))))) {
            len = 1;
        }
        const bool follows = len > 0 ? pos >= at : (pos > at || (pos == at && marks_follow));
        if (follows) {
            tail.attr("append")(child);
        } else if (tag == Tag::T && pos + len > at) {
            nb::object t = make(r, "t");
            set_t_text(t, slice(text, at - pos, len));
            set_t_text(child, slice(text, 0, at - pos));
            tail.attr("append")(t);
        }
        pos += len;
    }
    r.attr("addnext")(tail);
    return tail;
}

void replace_in_run(nb::handle r, nb::handle target, nb::handle value) {
    nb::object text;
    std::vector<Item> items = run_items(r, &text);
    const Py_ssize_t width = length(target), n = length(text);
    if (width == 0)
        return;
    std::vector<Py_ssize_t> found;
    for (Py_ssize_t at = 0;;) {
        Py_ssize_t hit = PyUnicode_Find(text.ptr(), target.ptr(), at, n, 1);
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

}  // namespace tessel::wordml
