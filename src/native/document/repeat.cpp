#include "document/repeat.h"

#include "core/once.h"
#include "document/tables.h"
#include "document/text.h"

#include <algorithm>
#include <set>

namespace tessel::wordml {

using namespace nb::literals;

namespace {

const nb::dict &namespaces() {
    return made_once<nb::dict>([] {
        nb::dict ns;
        ns["w"] = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
        ns["wp"] = "http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing";
        return ns;
    });
}

// A compiled XPath per expression: lxml compiles the text of each xpath() call
// anew, and sections ask the same questions of every copy.
const nb::object &compiled(const char *expr) {
    // Kept for the interpreter's lifetime, like the module objects.
    static std::unordered_map<std::string, nb::object> *cache = new std::unordered_map<std::string, nb::object>();
    auto it = cache->find(expr);
    if (it == cache->end()) {
        static const nb::object &make_xpath =
            made_once<nb::object>([] { return nb::object(nb::module_::import_("lxml.etree").attr("XPath")); });
        it = cache->emplace(expr, make_xpath(expr, "namespaces"_a = namespaces())).first;
    }
    return it->second;
}

nb::object xpath(nb::handle el, const char *expr) { return compiled(expr)(el); }

nb::object xpath_with(nb::handle el, const char *expr, const std::string &id) {
    return compiled(expr)(el, "id"_a = id);
}

bool is(nb::handle a, nb::handle b) { return a.ptr() == b.ptr(); }

nb::object parent_of(nb::handle el) { return el.attr("getparent")(); }

// All of an element's text, deleted and hidden text too: for a quick first look.
nb::object all_text(nb::handle p) {
    static const nb::object &string_of =
        made_once<nb::object>([] { return nb::object(nb::module_::import_("lxml.etree").attr("XPath")("string()")); });
    return string_of(p);
}

bool has_char(nb::handle text, Py_UCS4 c) {
    return PyUnicode_FindChar(text.ptr(), c, 0, PyUnicode_GET_LENGTH(text.ptr()), 1) >= 0;
}

bool blank(nb::handle text, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t k = from; k < to; ++k)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text.ptr(), k)))
            return false;
    return true;
}

// A paragraph that holds nothing but a page break, or ends a section.
bool is_break(nb::handle p) {
    if (tag_of(p) != Tag::P || tessel::truthy(xpath(p, "string-length(.) > 0")))
        return false;
    if (tessel::truthy(xpath(p, "boolean(w:pPr/w:sectPr)")))
        return true;
    return tessel::truthy(xpath(p, "boolean(.//w:br[@w:type='page'])")) &&
           !tessel::truthy(xpath(p, "boolean(.//w:drawing | .//w:pict | .//w:object)"));
}

bool empty_paragraph(nb::handle el) {
    return tag_of(el) == Tag::P && !tessel::truthy(xpath(el, "string-length(.) > 0")) &&
           !tessel::truthy(xpath(el, "boolean(.//w:drawing | .//w:pict | .//w:object | .//w:br[@w:type='page'])"));
}

}  // namespace

void keep_a_paragraph(nb::handle container) {
    const Tag tag = tag_of(container);
    if (tag != Tag::Tc && !(tag == Tag::Other && tessel::truthy(container.attr("tag").attr("endswith")("}txbxContent"))))
        return;
    if (!tessel::truthy(xpath(container, "boolean(w:p | w:tbl | w:sdt | w:customXml)")))
        container.attr("append")(make(container, "p"));
}

std::vector<TagRun> tag_runs(nb::handle p, Pattern pattern) {
    auto placeholders = [pattern](nb::handle text) {
        std::vector<Range> ranges;
        for (const Match &m : scan(text, pattern))
            ranges.emplace_back(m.begin, m.end);
        return ranges;
    };
    gather_ranges(p, placeholders);
    std::vector<TagRun> out;
    for (const nb::object &r : runs_of(p)) {
        nb::object text = run_text(r);
        if (!has_char(text, '{'))
            continue;
        for (const Match &m : scan(text, pattern)) {
            nb::object placeholder = placeholder_of(text, m, pattern);
            sections::Tag tag = sections::parse(placeholder);
            if (tag.kind != sections::Kind::None)
                out.push_back({r, m.begin, m.end, std::move(tag), std::move(placeholder)});
        }
    }
    return out;
}

nb::object own_run(const TagRun &tag) {
    if (tag.end < PyUnicode_GET_LENGTH(run_text(tag.run).ptr()))
        split_run(tag.run, tag.end, true);
    return tag.begin > 0 ? split_run(tag.run, tag.begin, false) : tag.run;
}

Pattern Repeater::pattern() {
    if (!pattern_)
        pattern_ = read_pattern(filler_);
    return *pattern_;
}

struct Repeater::At {
    nb::object p;
    size_t ordinal;
    sections::Tag tag;
    nb::object placeholder;
    bool lone;
    nb::object tbl, tr, tc;  // the innermost cell holding it; invalid outside tables
};

std::vector<Repeater::At> Repeater::collect(const std::vector<nb::object> &nodes, nb::handle tbl) {
    std::vector<At> out;
    struct Where {
        nb::object tbl, tr, tc;
    };
    std::vector<Where> where{{tbl.is_valid() ? nb::borrow(tbl) : nb::object(), {}, {}}};
    auto paragraph = [&](nb::handle p) {
        if (!sections::may_hold_tags(all_text(p)))
            return;
        nb::object text = paragraph_text(p);
        std::vector<Match> found = scan(text, pattern());
        bool any = false;
        for (const Match &m : found)
            any = any || sections::parse(placeholder_of(text, m, pattern())).kind != sections::Kind::None;
        if (!any)
            return;
        const bool lone = found.size() == 1 && blank(text, 0, found[0].begin) &&
                          blank(text, found[0].end, PyUnicode_GET_LENGTH(text.ptr()));
        std::vector<TagRun> tags = tag_runs(p, pattern());
        notes_[p.ptr()] = {nb::borrow(p), std::vector<nb::object>(tags.size())};
        for (size_t k = 0; k < tags.size(); ++k)
            out.push_back({nb::borrow(p), k, std::move(tags[k].tag), std::move(tags[k].placeholder), lone,
                           where.back().tbl, where.back().tr, where.back().tc});
    };
    auto visit = [&](nb::handle child, Tag tag) -> nb::object {
        Where w = where.back();
        nb::object inner;
        switch (tag) {
            case Tag::P:
                paragraph(child);
                return nb::object();
            case Tag::Tbl:
                w = {nb::borrow(child), {}, {}};
                inner = nb::borrow(child);
                break;
            case Tag::Tr:
                w.tr = nb::borrow(child);
                w.tc = nb::object();
                inner = nb::borrow(child);
                break;
            case Tag::Tc:
                w.tc = nb::borrow(child);
                inner = nb::borrow(child);
                break;
            case Tag::SdtContent:
                inner = nb::borrow(child);
                break;
            default:
                inner = wrapped_content(child, tag);
        }
        if (inner.is_valid() && !inner.is_none())
            where.push_back(std::move(w));
        return inner;
    };
    auto leave = [&] { where.pop_back(); };
    for (const nb::object &node : nodes) {
        nb::object inner = visit(node, tag_of(node));
        if (inner.is_valid() && !inner.is_none()) {
            walk_through(inner, visit, leave);
            leave();
        }
    }
    return out;
}

void Repeater::expand(nb::handle root, const Chain &chain, const std::string &prefix) {
    if (!sections::may_hold_tags(all_text(root)))
        return;
    root_ = nb::borrow(root);
    prefix_ = prefix;
    std::vector<nb::object> nodes;
    for (nb::handle child : children(root))
        nodes.push_back(nb::borrow(child));
    process(collect(nodes, nb::handle()), chain);
}

void Repeater::fail(const At &at, nb::handle reason) {
    auto it = notes_.find(at.p.ptr());
    if (it != notes_.end() && at.ordinal < it->second.second.size())
        it->second.second[at.ordinal] = nb::borrow(reason);
}

void Repeater::process(std::vector<At> tags, const Chain &chain) {
    if (tags.empty())
        return;
    std::vector<sections::Kind> kinds;
    for (const At &at : tags)
        kinds.push_back(at.tag.kind);
    const sections::Structure s = sections::pair(kinds, pattern());
    for (const sections::Unpaired &u : s.unpaired)
        fail(tags[u.tag], u.reason);
    std::vector<std::vector<size_t>> children(s.sections.size());
    for (size_t k = 0; k < s.sections.size(); ++k)
        if (s.sections[k].parent >= 0)
            children[(size_t) s.sections[k].parent].push_back(k);
    for (size_t k = 0; k < s.sections.size(); ++k)
        if (s.sections[k].parent < 0)
            handle(tags, s, k, children, chain);
}

// How places name a paragraph of the story, as the walk names it before any
// section is expanded.
std::string Repeater::place_in_story(nb::handle p) {
    std::vector<nb::object> path;
    for (nb::object el = nb::borrow(p); !el.is_none() && !is(el, root_); el = parent_of(el))
        path.push_back(el);
    std::reverse(path.begin(), path.end());
    auto on_path = [&](nb::handle el) {
        for (const nb::object &x : path)
            if (is(x, el))
                return true;
        return false;
    };
    std::string place = prefix_;
    nb::object container = root_;
    while (true) {
        std::vector<nb::object> paragraphs, tables;
        collect_blocks(container, paragraphs, tables);
        for (size_t k = 0; k < paragraphs.size(); ++k)
            if (is(paragraphs[k], p))
                return place + "paragraph " + std::to_string(k + 1);
        bool deeper = false;
        for (size_t t = 0; t < tables.size() && !deeper; ++t) {
            if (!on_path(tables[t]))
                continue;
            const Table table = read_table(tables[t]);
            for (const Row &row : table.rows) {
                if (!on_path(row.tr))
                    continue;
                for (const Cell &cell : row.cells) {
                    if (!on_path(cell.tc))
                        continue;
                    place += "table " + std::to_string(t + 1) + ", row " + std::to_string(row.place) +
                             ", column " + std::to_string(cell.column + 1);
                    std::vector<nb::object> inner_p, inner_t;
                    collect_blocks(cell.tc, inner_p, inner_t);
                    for (const nb::object &q : inner_p)
                        if (is(q, p))
                            return place;
                    place += ", ";
                    container = cell.tc;
                    deeper = true;
                }
            }
        }
        if (!deeper)
            return place;
    }
}

void Repeater::cut_tags(const std::vector<const At *> &tags) {
    // Later tags of a paragraph first, so that the earlier ones keep their order.
    std::vector<const At *> order(tags);
    std::sort(order.begin(), order.end(), [](const At *a, const At *b) {
        return a->p.ptr() != b->p.ptr() ? a->p.ptr() < b->p.ptr() : a->ordinal > b->ordinal;
    });
    for (const At *at : order) {
        std::vector<TagRun> runs = tag_runs(at->p, pattern());
        if (at->ordinal >= runs.size())
            continue;
        remove(own_run(runs[at->ordinal]));
    }
}

void Repeater::note_row_tag(const At &at, const Chain &chain, nb::handle tc, bool closes) {
    size_t row = 1, column = 1;
    if (!tc.is_valid()) {
        for (nb::handle el : at.tr.attr("itersiblings")("preceding"_a = true))
            row += tag_of(el) == Tag::Tr;
        for (nb::handle el : at.tc.attr("itersiblings")("preceding"_a = true))
            column += tag_of(el) == Tag::Tc;
    }
    nb::handle key = tc.is_valid() ? tc : nb::handle(at.tbl);
    auto &entry = row_tags_[key.ptr()];
    if (!entry.first.is_valid())
        entry.first = nb::borrow(key);
    entry.second.push_back({at.placeholder, row, column, place_of(chain), closes});
}

nb::object Repeater::notes_part(const char *type) {
    auto it = note_parts_.find(type);
    if (it == note_parts_.end()) {
        std::tuple<nb::object, nb::object, bool> found{nb::none(), nb::none(), false};
        nb::object part = related_part(main_part_, type);
        // python-docx reads some of these parts as XML, others only as bytes.
        if (!part.is_none()) {
            if (nb::hasattr(part, "element"))
                found = {part, part.attr("element"), false};
            else
                found = {part, nb::module_::import_("docx.oxml.parser").attr("parse_xml")(part.attr("blob")), true};
        }
        it = note_parts_.emplace(type, std::move(found)).first;
    }
    return std::get<1>(it->second);
}

// Each note a copy refers to gets a copy of its own, as Word wants.
void Repeater::copy_notes(const std::vector<nb::object> &copy, const char *type, const char *reference,
                          const char *note) {
    std::vector<nb::object> refs;
    const std::string find = std::string("descendant-or-self::w:") + reference;
    for (const nb::object &el : copy)
        for (nb::handle r : xpath(el, find.c_str()))
            refs.push_back(nb::borrow(r));
    if (refs.empty())
        return;
    nb::object root = notes_part(type);
    if (root.is_none())
        return;
    const std::string wid = qn("id");
    long long &top = next_note_[type];
    if (top == 0)
        for (nb::handle v : xpath(root, (std::string("w:") + note + "/@w:id[number(.) = number(.)]").c_str()))
            top = std::max(top, nb::cast<long long>(nb::module_::import_("builtins").attr("int")(v)));
    // The marks of each note, by the id they share.
    std::vector<std::pair<std::string, std::vector<nb::object>>> groups;
    for (const nb::object &r : refs) {
        const std::string old = nb::cast<std::string>(nb::str(r.attr("get")(wid)));
        auto it = std::find_if(groups.begin(), groups.end(), [&](const auto &g) { return g.first == old; });
        if (it == groups.end())
            it = groups.insert(groups.end(), {old, {}});
        it->second.push_back(r);
    }
    for (auto &[old, marks] : groups) {
        // A comment whose reference lies outside the copy stays the first copy's:
        // its range marks leave this one.
        if (std::string(type) == "comments" &&
            std::none_of(marks.begin(), marks.end(), [](const nb::object &m) { return tag_of(m) == Tag::CommentReference; })) {
            for (const nb::object &m : marks)
                remove(m);
            continue;
        }
        nb::object found = xpath_with(root, (std::string("w:") + note + "[@w:id=$id]").c_str(), old);
        if (nb::len(found) == 0)
            continue;
        nb::object made = deepcopy(found[0]);
        const std::string fresh = std::to_string(++top);
        made.attr("set")(wid, fresh);
        root.attr("append")(made);
        for (const nb::object &m : marks)
            m.attr("set")(wid, fresh);
    }
}

void Repeater::finish() {
    for (auto &[type, entry] : note_parts_) {
        auto &[part, root, from_bytes] = entry;
        if (from_bytes)
            nb::setattr(part, "_blob", nb::module_::import_("docx.opc.oxml").attr("serialize_part_xml")(root));
    }
}

std::pair<std::string, std::string> Repeater::style_list(const std::string &style) {
    auto it = style_lists_.find(style);
    if (it != style_lists_.end())
        return it->second;
    std::pair<std::string, std::string> found;
    nb::object styles = main_part_.attr("_styles_part").attr("element");
    std::string id = style;
    // A style numbers as the style it is based on, unless it says otherwise; a
    // few steps, since a file may base styles on each other in a circle.
    for (int step = 0; step < 8 && found.first.empty() && !id.empty(); ++step) {
        nb::object el = xpath_with(styles, "w:style[@w:styleId=$id]", id);
        if (nb::len(el) == 0)
            break;
        nb::object num = xpath(el[0], "w:pPr/w:numPr/w:numId/@w:val");
        if (nb::len(num) > 0) {
            nb::object level = xpath(el[0], "w:pPr/w:numPr/w:ilvl/@w:val");
            found = {nb::cast<std::string>(nb::str(num[0])),
                     nb::len(level) > 0 ? nb::cast<std::string>(nb::str(level[0])) : "0"};
        }
        nb::object based = xpath(el[0], "w:basedOn/@w:val");
        id = nb::len(based) > 0 ? nb::cast<std::string>(nb::str(based[0])) : "";
    }
    style_lists_[style] = found;
    return found;
}

void Repeater::fix_copy(const std::vector<nb::object> &copy, const std::vector<std::string> &restart, size_t k) {
    if (k == 0)
        return;
    nb::object root = copy.front().attr("getroottree")().attr("getroot")();
    auto next_id = [&](std::unordered_map<PyObject *, long long> &next, const char *expr) -> long long & {
        auto it = next.find(root.ptr());
        if (it == next.end()) {
            long long top = 0;
            for (nb::handle v : xpath(root, expr)) {
                nb::object n = nb::module_::import_("builtins").attr("int")(v);
                top = std::max(top, nb::cast<long long>(n));
            }
            it = next.emplace(root.ptr(), top + 1).first;
        }
        return it->second;
    };
    for (const nb::object &el : copy) {
        nb::object pictures = xpath(el, "descendant-or-self::wp:docPr");
        if (nb::len(pictures) > 0) {
            long long &id = next_id(next_drawing_, "//wp:docPr/@id[number(.) = number(.)]");
            for (nb::handle d : pictures)
                d.attr("set")("id", nb::str(std::to_string(id++).c_str()));
        }
        nb::object starts = xpath(el, "descendant-or-self::w:bookmarkStart");
        nb::object ends = xpath(el, "descendant-or-self::w:bookmarkEnd");
        if (nb::len(starts) == 0 && nb::len(ends) == 0)
            continue;
        long long &id = next_id(next_bookmark_, "//w:bookmarkStart/@w:id[number(.) = number(.)]");
        const std::string wid = qn("id"), wname = qn("name");
        std::vector<nb::object> all_ends;
        for (const nb::object &other : copy)
            for (nb::handle e : xpath(other, "descendant-or-self::w:bookmarkEnd"))
                all_ends.push_back(nb::borrow(e));
        for (nb::handle b : starts) {
            nb::object old = b.attr("get")(wid);
            const std::string fresh = std::to_string(id++);
            bool ended = false;
            for (const nb::object &e : all_ends)
                if (e.attr("get")(wid).equal(old)) {
                    e.attr("set")(wid, fresh);
                    ended = true;
                }
            // A bookmark that ends outside the copy marks the first copy only.
            if (!ended) {
                remove(b);
                continue;
            }
            b.attr("set")(wid, fresh);
            nb::object name = b.attr("get")(wname);
            if (!name.is_none())
                b.attr("set")(wname, name + nb::str(("_" + std::to_string(k + 1)).c_str()));
        }
    }
    // Ends whose start lies outside the copy.
    {
        std::set<std::string> started;
        for (const nb::object &el : copy)
            for (nb::handle b : xpath(el, "descendant-or-self::w:bookmarkStart/@w:id"))
                started.insert(nb::cast<std::string>(nb::str(b)));
        for (const nb::object &el : copy)
            for (nb::handle e : xpath(el, "descendant-or-self::w:bookmarkEnd"))
                if (!started.count(nb::cast<std::string>(nb::str(e.attr("get")(qn("id"))))))
                    remove(e);
    }
    copy_notes(copy, "footnotes", "footnoteReference", "footnote");
    copy_notes(copy, "endnotes", "endnoteReference", "endnote");
    // A comment's range and reference name it by one id.
    copy_notes(copy, "comments", "*[self::w:commentRangeStart or self::w:commentRangeEnd or self::w:commentReference]",
               "comment");
    if (restart.empty())
        return;
    nb::object numbering = main_part_.attr("numbering_part").attr("element");
    if (next_num_ == 0) {
        for (nb::handle v : xpath(numbering, "w:num/@w:numId[number(.) = number(.)]"))
            next_num_ = std::max(next_num_, nb::cast<long long>(nb::module_::import_("builtins").attr("int")(v)));
        ++next_num_;
    }
    const std::string wval = qn("val");
    for (const std::string &num_id : restart) {
        nb::object found = xpath_with(numbering, "w:num[@w:numId=$id]", num_id);
        if (nb::len(found) == 0)
            continue;
        nb::object abstract = xpath(found[0], "w:abstractNumId");
        if (nb::len(abstract) == 0)
            continue;
        const std::string fresh = std::to_string(next_num_++);
        nb::object num = make(numbering, "num");
        num.attr("set")(qn("numId"), fresh);
        nb::object abstract_id = make(numbering, "abstractNumId");
        abstract_id.attr("set")(wval, abstract[0].attr("get")(wval));
        num.attr("append")(abstract_id);
        nb::object levels = xpath_with(numbering, "w:abstractNum[@w:abstractNumId=$id]/w:lvl",
                                   nb::cast<std::string>(abstract[0].attr("get")(wval)));
        for (nb::handle lvl : levels) {
            nb::object override_ = make(numbering, "lvlOverride");
            override_.attr("set")(qn("ilvl"), lvl.attr("get")(qn("ilvl")));
            nb::object start = make(numbering, "startOverride");
            nb::object starts = xpath(lvl, "w:start/@w:val");
            start.attr("set")(wval, nb::len(starts) > 0 ? nb::object(starts[0]) : nb::object(nb::str("1")));
            override_.attr("append")(start);
            num.attr("append")(override_);
        }
        numbering.attr("append")(num);
        // Paragraphs numbered by their style get the new list directly.
        for (const nb::object &el : copy)
            for (nb::handle p : xpath(el, "descendant-or-self::w:p[not(w:pPr/w:numPr)][w:pPr/w:pStyle]")) {
                const auto [list, level] =
                    style_list(nb::cast<std::string>(nb::str(xpath(p, "w:pPr/w:pStyle/@w:val")[0])));
                if (list != num_id)
                    continue;
                nb::object num_pr = p.attr("get_or_add_pPr")().attr("get_or_add_numPr")();
                num_pr.attr("get_or_add_ilvl")().attr("set")(wval, level);
                num_pr.attr("get_or_add_numId")().attr("set")(wval, fresh);
            }
        for (const nb::object &el : copy)
            for (nb::handle n : xpath_with(el, "descendant-or-self::w:numId[@w:val=$id]", num_id))
                n.attr("set")(wval, fresh);
    }
}

void Repeater::handle(std::vector<At> &tags, const sections::Structure &s, size_t index,
                      const std::vector<std::vector<size_t>> &children, const Chain &chain) {
    const sections::Section &section = s.sections[index];
    const std::vector<size_t> marks = section.tags();
    const At &open = tags[section.open], &close = tags[section.close];
    auto in_place = [&] {
        for (size_t child : children[index])
            handle(tags, s, child, children, chain);
    };

    enum class Shape { Inline, Block, Rows, Apart } shape = Shape::Apart;
    size_t stray = section.close;  // the tag that keeps the section apart
    bool all_same_p = true, all_block = true, all_rows = open.tbl.is_valid();
    for (size_t m : marks) {
        const At &at = tags[m];
        all_same_p = all_same_p && is(at.p, open.p);
        all_block = all_block && at.lone && is(parent_of(at.p), parent_of(open.p));
        all_rows = all_rows && at.tbl.is_valid() && is(at.tbl, open.tbl) && is(parent_of(at.tr), parent_of(open.tr));
        if (!(all_same_p || all_block || all_rows) && stray == section.close)
            stray = m;
    }
    // The rows a section of rows spans, and where each of its parts starts.
    std::vector<nb::object> rows;
    std::vector<size_t> starts;
    if (all_same_p) {
        shape = Shape::Inline;
    } else if (all_block) {
        shape = Shape::Block;
    } else if (all_rows) {
        rows.push_back(open.tr);
        for (nb::handle el : open.tr.attr("itersiblings")()) {
            if (is(rows.back(), close.tr))
                break;
            if (tag_of(el) == Tag::Tr)
                rows.push_back(nb::borrow(el));
        }
        shape = Shape::Rows;
        size_t at = 0;
        for (size_t q = 0; q + 1 < marks.size(); ++q) {
            while (at < rows.size() && !is(rows[at], tags[marks[q]].tr))
                ++at;
            if (at == rows.size() || (!starts.empty() && at == starts.back())) {
                shape = Shape::Apart;
                stray = marks[q];
                break;
            }
            starts.push_back(at);
        }
        if (!is(rows.back(), close.tr))
            shape = Shape::Apart;
    }
    if (shape == Shape::Inline)
        return;
    auto delimited_of = [&](const At &at) { return nb::cast<std::string>(tessel::delimited(at.placeholder, pattern())); };
    if (shape == Shape::Apart) {
        const At &other = tags[stray == section.open ? section.close : stray];
        const std::string other_place = place_in_story(other.p), open_place = place_in_story(open.p);
        for (size_t m : marks) {
            const At &at = tags[m];
            const bool is_other = &at == &other;
            const std::string text = is_other ? "its " + delimited_of(open) + " is at " + open_place
                                              : "its " + delimited_of(other) + " is at " + other_place;
            fail(at, nb::str((text + ", in another paragraph, cell or table: a section's tags stand in one "
                                     "paragraph, each alone in a paragraph of one container, or in the rows "
                                     "of one table").c_str()));
        }
        in_place();
        return;
    }

    // The parts of the section: the content after each of its tags but the last.
    std::vector<std::vector<nb::object>> parts;
    if (shape == Shape::Block) {
        for (size_t q = 0; q + 1 < marks.size(); ++q)
            parts.push_back(between(tags[marks[q]].p, tags[marks[q + 1]].p));
    } else {
        for (size_t q = 0; q < starts.size(); ++q) {
            const size_t end = q + 1 < starts.size() ? starts[q + 1] : rows.size();
            parts.emplace_back(rows.begin() + (std::ptrdiff_t) starts[q], rows.begin() + (std::ptrdiff_t) end);
        }
    }

    const bool is_for = open.tag.kind == sections::Kind::For;
    const bool listing = evaluator_.listing();
    std::vector<nb::object> items;
    long pick = -1;
    nb::object reason;
    const bool ok = listing || tessel::guarded(
                                   [&] {
                                       enter(chain);
                                       if (!is_for) {
                                           for (size_t q = 0; q + 1 < marks.size() && pick < 0; ++q) {
                                               const At &at = tags[marks[q]];
                                               if (at.tag.kind == sections::Kind::Else ||
                                                   sections::holds(evaluator_, at.tag))
                                                   pick = (long) q;
                                           }
                                           return;
                                       }
                                       items = sections::items_of(evaluator_, open.tag);
                                       sections::check_binding(evaluator_, open.tag, items);
                                       evaluator_.count_copies(markup_size(parts[0]) * (long long) items.size());
                                   },
                                   reason);
    if (!ok) {
        for (size_t m : marks)
            fail(tags[m], reason);
        in_place();
        return;
    }

    // The tags leave: a block's tag paragraphs once the walk has reported them,
    // a row section's tag texts now.
    if (shape == Shape::Block) {
        for (size_t m : marks)
            tag_paragraphs_[tags[m].p.ptr()] = {tags[m].p, tags[m].placeholder};
    } else {
        std::vector<const At *> cut;
        for (size_t m : marks)
            cut.push_back(&tags[m]);
        cut_tags(cut);
    }
    // Where each row tag stood: its row among the section's, its cell in the row.
    auto note_row_tags = [&](const std::vector<nb::object> &shown) {
        for (size_t m : marks) {
            const At &at = tags[m];
            nb::object tc;
            if (is(parent_of(at.tc), at.tr)) {
                const size_t row = (size_t) (std::find_if(rows.begin(), rows.end(),
                                                          [&](const nb::object &r) { return is(r, at.tr); }) -
                                             rows.begin());
                const size_t cell = nb::len(xpath(at.tc, "preceding-sibling::w:tc"));
                if (row < shown.size() && shown[row].is_valid()) {
                    nb::object cells = xpath(shown[row], "w:tc");
                    if (cell < nb::len(cells))
                        tc = cells[cell];
                }
            }
            note_row_tag(at, chain, tc.is_valid() ? nb::handle(tc) : nb::handle(), m == marks.back());
        }
    };

    // A table whose rows all went goes too: Word wants a row in a table.
    auto drop_empty_table = [&] {
        if (shape != Shape::Rows || tessel::truthy(xpath(open.tbl, "boolean(w:tr | w:sdt/w:sdtContent/w:tr)")))
            return;
        nb::object holder = parent_of(open.tbl);
        remove(open.tbl);
        if (!holder.is_none())
            keep_a_paragraph(holder);
    };
    if (listing || !is_for) {
        std::vector<nb::object> kept;
        for (size_t q = 0; q < parts.size(); ++q) {
            if (listing || (long) q == pick) {
                kept.insert(kept.end(), parts[q].begin(), parts[q].end());
            } else {
                for (const nb::object &el : parts[q]) {
                    nb::object parent = parent_of(el);
                    remove(el);
                    keep_a_paragraph(parent);
                }
            }
        }
        if (shape == Shape::Rows) {
            // The rows as they stand now, with those that went left out.
            std::vector<nb::object> shown;
            for (const nb::object &row : rows)
                shown.push_back(parent_of(row).is_none() ? nb::object() : row);
            note_row_tags(shown);
        }
        drop_empty_table();
        process(collect(kept, shape == Shape::Rows ? nb::handle(open.tbl) : nb::handle()), chain);
        return;
    }

    const std::vector<nb::object> &content = parts[0];
    // Whether the content holds tags of its own, to look for in each copy.
    const bool inner = section.close > section.open + marks.size() - 1;
    std::vector<std::string> restart;
    if (!content.empty()) {
        std::set<std::string> used, before;
        for (const nb::object &el : content) {
            for (nb::handle v : xpath(el, "descendant-or-self::w:numId/@w:val"))
                used.insert(nb::cast<std::string>(nb::str(v)));
            for (nb::handle v : xpath(el, "descendant-or-self::w:p[not(w:pPr/w:numPr)]/w:pPr/w:pStyle/@w:val")) {
                const std::string list = style_list(nb::cast<std::string>(nb::str(v))).first;
                if (!list.empty())
                    used.insert(list);
            }
        }
        if (!used.empty()) {
            for (nb::handle v : xpath(content.front(), "preceding::w:numId/@w:val"))
                before.insert(nb::cast<std::string>(nb::str(v)));
            for (nb::handle v : xpath(content.front(), "preceding::w:p[not(w:pPr/w:numPr)]/w:pPr/w:pStyle/@w:val"))
                before.insert(style_list(nb::cast<std::string>(nb::str(v))).first);
        }
        for (const std::string &id : used)
            if (!before.count(id) && id != "0")
                restart.push_back(id);
    }
    // Ids and notes to make unique in copies; most content has none.
    bool marked = false;
    for (const nb::object &el : content)
        marked = marked || tessel::truthy(xpath(el, "boolean(descendant-or-self::wp:docPr | "
                                                    "descendant-or-self::w:bookmarkStart | "
                                                    "descendant-or-self::w:footnoteReference | "
                                                    "descendant-or-self::w:endnoteReference | "
                                                    "descendant-or-self::w:commentRangeStart | "
                                                    "descendant-or-self::w:commentReference)"));
    // Records on pages or sections of their own leave no break after the last.
    bool drop_break = false;
    if (shape == Shape::Block && !content.empty() && is_break(content.back())) {
        drop_break = true;
        for (nb::handle el : close.p.attr("itersiblings")())
            drop_break = drop_break && (tag_of(el) == Tag::SectPr || empty_paragraph(el));
    }
    nb::handle anchor = shape == Shape::Block ? close.p : content.empty() ? close.tr : content.front();
    for (size_t k = 0; k < items.size(); ++k) {
        auto link = std::make_shared<Link>(
            Link{chain, open.tag, items[k], place_of(chain) + ", " + sections::item_place(open.tag, k)});
        std::vector<nb::object> copy;
        for (const nb::object &el : content) {
            nb::object c = deepcopy(el);
            anchor.attr("addprevious")(c);
            chains_[c.ptr()] = {c, link};
            copy.push_back(std::move(c));
        }
        if (copy.empty())
            continue;
        if (marked || !restart.empty())
            fix_copy(copy, restart, k);
        if (drop_break && k + 1 == items.size()) {
            nb::object last = copy.back();
            nb::object properties = xpath(last, "w:pPr/w:sectPr");
            if (nb::len(properties) > 0)
                for (nb::handle final_ : xpath(close.p, "following-sibling::w:sectPr"))
                    final_.attr("getparent")().attr("replace")(final_, properties[0]);
            remove(last);
            copy.pop_back();
        }
        if (k == 0 && shape == Shape::Rows)
            note_row_tags(copy);
        if (inner)
            process(collect(copy, shape == Shape::Rows ? nb::handle(open.tbl) : nb::handle()), link);
    }
    if (items.empty() && shape == Shape::Rows)
        note_row_tags({});
    for (const nb::object &el : content)
        remove(el);
    drop_empty_table();
}

Chain Repeater::chain_of(nb::handle el) const {
    if (chains_.empty())
        return nullptr;
    for (nb::object x = nb::borrow(el); !x.is_none(); x = parent_of(x)) {
        auto it = chains_.find(x.ptr());
        if (it != chains_.end())
            return it->second.second;
    }
    return nullptr;
}

void Repeater::enter(const Chain &chain) {
    if (chain == entered_)
        return;
    evaluator_.unbind(base_);
    entered_ = nullptr;
    std::vector<const Link *> links;
    for (const Link *l = chain.get(); l; l = l->outer.get())
        links.push_back(l);
    for (auto it = links.rbegin(); it != links.rend(); ++it)
        if ((*it)->item.is_valid())
            sections::bind(evaluator_, (*it)->tag, (*it)->item);
    entered_ = chain;
}

const std::vector<nb::object> *Repeater::tags_of(nb::handle p) const {
    auto it = notes_.find(p.ptr());
    return it == notes_.end() ? nullptr : &it->second.second;
}

bool Repeater::tag_paragraph(nb::handle p, nb::object &placeholder) const {
    auto it = tag_paragraphs_.find(p.ptr());
    if (it == tag_paragraphs_.end())
        return false;
    placeholder = it->second.second;
    return true;
}

std::vector<RowTag> Repeater::take_row_tags(nb::handle tbl) {
    auto it = row_tags_.find(tbl.ptr());
    if (it == row_tags_.end())
        return {};
    std::vector<RowTag> out = std::move(it->second.second);
    row_tags_.erase(it);
    return out;
}

long long markup_size(const std::vector<nb::object> &nodes) {
    const nb::object &measure = made_once<nb::object>([] {
        return nb::object(nb::module_::import_("lxml.etree")
                              .attr("XPath")("8 * (count(descendant-or-self::*) + count(descendant-or-self::*/@*)) "
                                             "+ string-length(.)"));
    });
    long long size = 0;
    for (const nb::object &node : nodes)
        size += (long long) nb::cast<double>(measure(node));
    return size;
}

}  // namespace tessel::wordml
