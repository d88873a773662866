#include "core/sections.h"

#include "core/once.h"
#include "core/top_level.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string_view>

namespace tessel::sections {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view strip(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

bool word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           (unsigned char) c >= 0x80;
}

// The text after a leading keyword, when `s` starts with it as a whole word.
bool after_keyword(std::string_view s, std::string_view keyword, std::string_view &rest) {
    if (s.substr(0, keyword.size()) != keyword || (s.size() > keyword.size() && word_char(s[keyword.size()])))
        return false;
    rest = strip(s.substr(keyword.size()));
    return true;
}

// Texts go to UTF-8 and back with lone surrogates kept, as a str may hold them.
nb::str to_str(std::string_view s) {
    PyObject *r = PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t) s.size(), "surrogatepass");
    if (!r)
        throw nb::python_error();
    return nb::steal<nb::str>(r);
}

// Where the keyword `word` stands at the top level of an expression's text,
// outside brackets and strings; npos when it does not.
size_t find_keyword(std::string_view s, std::string_view word) {
    auto at = [&](size_t k) -> unsigned { return k < s.size() ? (unsigned char) s[k] : 0; };
    const size_t found = find_top_level(s.size(), at, [&](size_t k) {
        return s.substr(k, word.size()) == word && (k == 0 || !word_char(s[k - 1])) &&
               (k + word.size() == s.size() || !word_char(s[k + word.size()]));
    });
    return found == s.size() ? std::string_view::npos : found;
}

bool is_name(std::string_view s) {
    nb::str name = to_str(s);
    if (!PyUnicode_IsIdentifier(name.ptr()))
        return false;
    static const nb::object &iskeyword =
        made_once<nb::object>([] { return nb::object(nb::module_::import_("keyword").attr("iskeyword")); });
    return !truthy(iskeyword(name));
}

// Reads a loop's names: "x", "i, item", "(a, b), c".  False when it is none.
bool read_target(std::string_view s, Target &out) {
    s = strip(s);
    std::vector<std::string_view> parts;
    int depth = 0;
    size_t start = 0;
    for (size_t k = 0; k < s.size(); ++k) {
        const char c = s[k];
        if (c == '(' || c == '[')
            ++depth;
        else if (c == ')' || c == ']')
            --depth;
        else if (c == ',' && depth == 0) {
            parts.push_back(strip(s.substr(start, k - start)));
            start = k + 1;
        }
        if (depth < 0)
            return false;
    }
    if (depth != 0)
        return false;
    const bool group = !parts.empty();
    std::string_view last = strip(s.substr(start));
    if (!last.empty() || !group)
        parts.push_back(last);
    if (!group) {
        std::string_view one = parts[0];
        if (one.size() >= 2 && ((one.front() == '(' && one.back() == ')') || (one.front() == '[' && one.back() == ']'))) {
            std::string_view inner = strip(one.substr(1, one.size() - 2));
            // "(x)" is the name x; "(x,)" and "[x]" are groups of one.
            if (one.front() == '(' && inner.find(',') == std::string_view::npos)
                return read_target(inner, out);
            Target group_of;
            if (inner.find(',') == std::string_view::npos) {
                Target single;
                if (!read_target(inner, single))
                    return false;
                group_of.parts.push_back(std::move(single));
            } else if (!read_target(inner, group_of) || !group_of.parts.size()) {
                return false;
            }
            out = std::move(group_of);
            return true;
        }
        if (!is_name(one))
            return false;
        out.name = to_str(one);
        return true;
    }
    for (std::string_view part : parts) {
        if (part.empty())
            return false;
        Target t;
        if (part.find(',') != std::string_view::npos && !(part.front() == '(' || part.front() == '['))
            return false;
        if (!read_target(part, t))
            return false;
        // A name inside a group is one name, a bracketed group stays a group.
        out.parts.push_back(std::move(t));
    }
    return true;
}

std::string utf8(nb::handle text) {
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

}  // namespace

bool may_hold_tags(nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    const int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    auto at = [&](Py_ssize_t k) { return PyUnicode_READ(kind, data, k); };
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (at(k) != '{')
            continue;
        Py_ssize_t j = k + 1;
        while (j < n && (at(j) == '{' || Py_UNICODE_ISSPACE(at(j))))
            ++j;
        for (const char *word : {"for", "if", "elif", "else", "end"}) {
            Py_ssize_t q = 0;
            while (word[q] && j + q < n && at(j + q) == (Py_UCS4) word[q])
                ++q;
            if (!word[q] && (j + q == n || !(Py_UNICODE_ISALNUM(at(j + q)) || at(j + q) == '_')))
                return true;
        }
    }
    return false;
}

Tag parse(nb::handle placeholder) {
    Tag tag;
    if (!PyUnicode_Check(placeholder.ptr()))
        return tag;
    const std::string text = utf8(placeholder);
    const std::string_view s = strip(text);
    std::string_view rest;
    if (after_keyword(s, "for", rest)) {
        const size_t at = find_keyword(rest, "in");
        if (at == std::string_view::npos)
            return tag;
        const std::string_view target = strip(rest.substr(0, at)), expr = strip(rest.substr(at + 2));
        if (target.empty() || expr.empty() || !read_target(target, tag.target))
            return Tag{};
        tag.kind = Kind::For;
        tag.expr = to_str(expr);
        tag.words = to_str("for " + std::string(target) + " in " + std::string(expr));
    } else if (after_keyword(s, "if", rest) || after_keyword(s, "elif", rest)) {
        if (rest.empty())
            return tag;
        tag.kind = s[0] == 'i' ? Kind::If : Kind::Elif;
        tag.expr = to_str(rest);
    } else if (s == "else") {
        tag.kind = Kind::Else;
    } else if (after_keyword(s, "end", rest)) {
        if (rest == "for")
            tag.kind = Kind::EndFor;
        else if (rest == "if")
            tag.kind = Kind::EndIf;
    }
    return tag;
}

Structure pair(const std::vector<Kind> &tags, Pattern pattern) {
    // A tag's words in the template's own delimiters: "{end for}" or "{{end for}}".
    auto tag = [&](const char *words) { return nb::cast<std::string>(delimited(nb::str(words), pattern)); };
    auto says = [&](std::string a, const char *name, std::string b = "") {
        return nb::str((a + tag(name) + b).c_str());
    };
    struct Open {
        size_t section;  // tentative index
        bool has_else = false;
    };
    std::vector<Section> found;
    std::vector<bool> paired;
    std::vector<Open> stack;
    Structure out;
    auto fail_open = [&](const Open &open) {
        const Section &s = found[open.section];
        const bool is_for = tags[s.open] == Kind::For;
        nb::str reason = says("no ", is_for ? "end for" : "end if", " after it");
        out.unpaired.push_back({s.open, reason});
        for (size_t b : s.branches)
            out.unpaired.push_back({b, reason});
    };
    for (size_t k = 0; k < tags.size(); ++k) {
        const Kind kind = tags[k];
        if (opens(kind)) {
            Section s;
            s.open = k;
            s.parent = stack.empty() ? -1 : (long) stack.back().section;
            found.push_back(std::move(s));
            paired.push_back(false);
            stack.push_back({found.size() - 1});
        } else if (kind == Kind::Elif || kind == Kind::Else) {
            const char *name = kind == Kind::Elif ? "elif" : "else";
            if (stack.empty() || tags[found[stack.back().section].open] != Kind::If) {
                out.unpaired.push_back({k, says("", name, " outside an " + tag("if"))});
            } else if (stack.back().has_else) {
                out.unpaired.push_back({k, says("", name, " after " + tag("else"))});
            } else {
                found[stack.back().section].branches.push_back(k);
                stack.back().has_else = kind == Kind::Else;
            }
        } else if (kind == Kind::EndFor || kind == Kind::EndIf) {
            const Kind want = kind == Kind::EndFor ? Kind::For : Kind::If;
            size_t depth = stack.size();
            while (depth > 0 && tags[found[stack[depth - 1].section].open] != want)
                --depth;
            if (depth == 0) {
                out.unpaired.push_back({k, says("no ", want == Kind::For ? "for" : "if", " before it")});
                continue;
            }
            // Sections opened inside and never closed end here, unpaired.
            while (stack.size() > depth) {
                fail_open(stack.back());
                stack.pop_back();
            }
            found[stack.back().section].close = k;
            paired[stack.back().section] = true;
            stack.pop_back();
        }
    }
    while (!stack.empty()) {
        fail_open(stack.back());
        stack.pop_back();
    }
    std::vector<long> index(found.size(), -1);
    for (size_t k = 0; k < found.size(); ++k) {
        if (!paired[k])
            continue;
        long parent = found[k].parent;
        while (parent >= 0 && !paired[(size_t) parent])
            parent = found[(size_t) parent].parent;
        Section s = std::move(found[k]);
        s.parent = parent < 0 ? -1 : index[(size_t) parent];
        index[k] = (long) out.sections.size();
        out.sections.push_back(std::move(s));
    }
    std::sort(out.unpaired.begin(), out.unpaired.end(),
              [](const Unpaired &a, const Unpaired &b) { return a.tag < b.tag; });
    return out;
}

std::vector<nb::object> items_of(Evaluator &evaluator, const Tag &tag) {
    nb::object value = evaluator.value(tag.expr);
    static const nb::object &listed = made_once<nb::object>(
        [] { return nb::object(import_package_module("records").attr("items")); });
    nb::object items = listed(value);
    std::vector<nb::object> out;
    out.reserve((size_t) PyList_GET_SIZE(items.ptr()));
    for (nb::handle item : nb::borrow<nb::list>(items))
        out.push_back(nb::borrow(item));
    return out;
}

bool holds(Evaluator &evaluator, const Tag &tag) { return truthy(evaluator.value(tag.expr)); }

namespace {

void bind_target(Evaluator &evaluator, const Target &target, nb::handle item) {
    if (target.name.is_valid()) {
        if (evaluator.safe() && PyUnicode_READ_CHAR(target.name.ptr(), 0) == '_') {
            nb::object prefix = import_package_module("sandbox.refusals").attr("PREFIX");
            refuse(nb::str("{}name {}").format(prefix, nb::repr(target.name)));
        }
        evaluator.bind(target.name, item);
        return;
    }
    PyObject *iterator = PyObject_GetIter(item.ptr());
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        refuse(nb::str("TypeError: cannot unpack non-iterable {} object")
                   .format(nb::handle((PyObject *) Py_TYPE(item.ptr())).attr("__name__")));
    }
    nb::object values = nb::steal(PySequence_List(iterator));
    Py_DECREF(iterator);
    if (!values.is_valid())
        throw nb::python_error();
    const size_t got = (size_t) PyList_GET_SIZE(values.ptr()), want = target.parts.size();
    if (got < want)
        refuse(nb::str("ValueError: not enough values to unpack (expected {}, got {})").format(want, got));
    if (got > want)
        refuse(nb::str("ValueError: too many values to unpack (expected {})").format(want));
    for (size_t k = 0; k < want; ++k)
        bind_target(evaluator, target.parts[k], PyList_GET_ITEM(values.ptr(), (Py_ssize_t) k));
}

}  // namespace

void bind(Evaluator &evaluator, const Tag &tag, nb::handle item) {
    const size_t mark = evaluator.mark();
    try {
        bind_target(evaluator, tag.target, item);
    } catch (...) {
        evaluator.unbind(mark);
        throw;
    }
}

void check_binding(Evaluator &evaluator, const Tag &tag, const std::vector<nb::object> &items) {
    for (const nb::object &item : items) {
        const size_t mark = evaluator.mark();
        bind(evaluator, tag, item);
        evaluator.unbind(mark);
    }
}

Generator generator(nb::handle text) {
    Generator out;
    if (!PyUnicode_Check(text.ptr()))
        return out;
    const std::string whole = utf8(text);
    const std::string_view s = strip(whole);
    const size_t at = find_keyword(s, "for");
    if (at == std::string_view::npos || at == 0)
        return out;
    const std::string_view each = strip(s.substr(0, at));
    Tag loop = parse(to_str(s.substr(at)));
    if (each.empty() || loop.kind != Kind::For)
        return out;
    out.loop = std::move(loop);
    out.each = to_str(each);
    return out;
}

std::string item_place(const Tag &tag, size_t k) {
    return nb::cast<std::string>(tag.words) + ": item " + std::to_string(k + 1);
}

}  // namespace tessel::sections
