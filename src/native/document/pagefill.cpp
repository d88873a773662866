// tessel.pagefill: fills .docx document templates.
#include "core/confinement.h"
#include "core/picture_values.h"
#include "core/placeholder.h"
#include "core/sections.h"
#include "document/drawings.h"
#include "document/frame_table.h"
#include "document/frame_text.h"
#include "document/page.h"
#include "document/repeat.h"
#include "document/tables.h"
#include "document/text.h"
#include "document/wordml.h"
#include "ooxml/file_kind.h"
#include "ooxml/numbers.h"
#include "ooxml/package.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>
#include <tuple>
#include <string>
#include <unordered_map>
#include <vector>

namespace nb = nanobind;
namespace wml = tessel::wordml;
using namespace nb::literals;
using tessel::Pattern;

namespace {

constexpr const char *kClassDoc = "Fill placeholders of a docx document template.";

constexpr const char *kRecurseDoc = "\n:param recurse: recurse replace placeholder in replaced cell.";

constexpr const char *kInsertDoc =
    "\n:param insert: make room for a data frame's rows by inserting rows under its cell.";

constexpr const char *kCheckDoc =
    "Fill a docx template as the call does, without saving it, and report every\n"
    "placeholder met.\n"
    ":param template_path: path to docx template, must be endwith .docx file.\n"
    ":param env: Variables environment; if not specified use local and global variables of\n"
    "the caller.\n"
    ":param evaluate: False lists the placeholders without running any of them.\n"
    ":return: one Finding per placeholder, in order; its reason is None when it would fill.";

constexpr const char *kCallDoc =
    "Fill the placeholders of a docx template.\n"
    ":param template_path: path to docx template, must be endwith .docx file.\n"
    ":param save_path: path to save docx, must be endwith .docx file.\n"
    ":param env: Variables environment - a dict mapping varible names to pandas DataFrame, Series "
    "or BytesIO.\n"
    "If not specified use local and global variables of the caller.\n"
    ":return: except placeholders and save the docx to save_path.";

constexpr const char *kConcatDoc =
    "Join the neighbouring runs of a paragraph that share one formatting.\n"
    ":param paragraph: python-docx paragraph, changed in place.\n"
    ":return: the paragraph.";

constexpr const char *kReplaceDoc =
    "Fill the placeholders of a paragraph with text or pictures.\n"
    ":param paragraph: python-docx paragraph.\n"
    ":param env: Variables environment - a dict mapping varible names to values.\n"
    ":return: except placeholders.";

// Module-level objects, held for the interpreter's lifetime.
nb::handle module_handle;
nb::handle native_extract;
nb::handle namespace_cls;  // gives a header's paragraphs their part
nb::handle paragraph_cls, table_cls, cell_cls, inline_cls, bytes_io;
nb::handle overwrite_warning;  // results.OverwriteWarning
nb::handle frame_text_warning;  // results.FrameAsTextWarning
nb::handle table_value_cls;  // tables.Table
nb::handle count_references;  // XPath: how often a part's XML names a relationship
nb::handle shared_env;  // replace_paragraph's default environment
nb::handle native_replace;  // the class's own replace_paragraph

// The placeholders of a text, through the object's extract_placeholder.
nb::object placeholders_of(nb::handle self, nb::handle text) {
    nb::object extract = nb::getattr(self, "extract_placeholder");
    if (tessel::is_bound_method(extract, native_extract))
        return tessel::extract(text, tessel::read_pattern(self));
    return extract(text);
}

long long as_integer(nb::handle value) {
    long long r = PyLong_AsLongLong(value.ptr());
    if (r == -1 && PyErr_Occurred())
        throw nb::python_error();
    return r;
}

bool is_instance(nb::handle value, nb::handle cls) {
    int r = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// An id for a new drawing in a part: one past the highest id there, as python-docx
// numbers them, or the lowest free one where that would pass the largest id.
long long free_drawing_id(nb::handle root) {
    std::set<long long> used;
    for (nb::handle text : root.attr("xpath")("//@id")) {
        Py_ssize_t size = 0;
        const char *s = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!s)
            throw nb::python_error();
        const std::string_view id(s, (size_t) size);
        if (std::optional<long long> number = tessel::ooxml::whole_number(id, tessel::ooxml::kId))
            used.insert(*number);
    }
    return tessel::ooxml::take_free_id(used);
}

// Adds a picture at the end of run `r` of paragraph `p`, at the size the Picture
// asks (its native one by default), narrowed to the width where it stands.
// python-docx's add_picture numbers a drawing one past the part's highest id,
// which after 4294967295 is no id.
void add_picture(nb::handle r, nb::handle paragraph, nb::handle p, nb::handle picture, long long fallback) {
    nb::object part = paragraph.attr("part");
    nb::object image_of = part.attr("get_or_add_image")(nb::handle(bytes_io)(picture.attr("data")));
    nb::object image = image_of[1];
    nb::object native = image.attr("scaled_dimensions")();
    nb::object size = picture.attr("size")(native[0], native[1]);
    long long cx = as_integer(size[0]), cy = as_integer(size[1]);
    const long long limit = tessel::wordml::available_width(p, fallback);
    if (limit > 0 && cx > limit) {
        // Exact, and below cy since limit < cx.
        cy = std::max<long long>(1, (long long) ((__int128) cy * limit / cx));
        cx = limit;
    }
    const long long id = free_drawing_id(part.attr("element"));
    r.attr("add_drawing")(
        inline_cls.attr("new_pic_inline")(id, image_of[0], image.attr("filename"), cx, cy));
}

nb::object concat_run(nb::handle, nb::object paragraph) {
    tessel::wordml::merge_runs(paragraph.attr("_p"));
    return paragraph;
}

// What a call has to say once the document is saved: the overwrites of blocks,
// and where data frames went into paragraphs as text.
struct Warnings {
    std::vector<std::string> overwrites;
    std::string frame_text;
    size_t frames_as_text = 0;
};

// What one call carries through its walk.
struct Walk {
    nb::handle self;
    tessel::Evaluator &evaluator;
    tessel::Report &report;
    // The text column a table falls back on when its own section is not known
    // (headers and footers): the body's last section.
    long long story_width;
    // Warnings, given once the document is saved: a warning turned into an error
    // must not cost the user the file.
    Warnings &warnings;
    wml::Repeater *sections;
    // The table styles of the document, for Table values.
    const std::vector<wml::TableStyle> &table_styles;
};

// What the fill of one paragraph's runs needs.
struct Runs {
    nb::handle self;
    nb::handle paragraph;
    nb::handle p;
    tessel::Evaluator &evaluator;
    tessel::Report &report;
    Pattern pattern;
    nb::object extract;
    bool native;
    // Tag runs that the story's sections left failed, and why.
    std::unordered_map<PyObject *, std::pair<nb::object, nb::object>> failed{};
    // The walk of a whole document; null for replace_paragraph on its own.
    const Walk *walk = nullptr;
};

// A paragraph of a table cell; that of a text box in a cell stands in the text box.
bool in_table(nb::handle p) {
    const nb::str text_box(wml::qn("txbxContent").c_str());
    for (nb::object el = p.attr("getparent")(); !el.is_none(); el = el.attr("getparent")()) {
        if (wml::tag_of(el) == wml::Tag::Tc)
            return true;
        if (el.attr("tag").equal(text_box))
            return false;
    }
    return false;
}

// A paragraph that holds nothing but text (and marks of no meaning), which a
// table may take the place of.
bool only_text(nb::handle p) {
    for (nb::handle child : wml::children(p)) {
        switch (wml::tag_of(child)) {
            case wml::Tag::PPr:
                if (!wml::first_child(child, wml::Tag::SectPr).is_none())
                    return false;
                break;
            case wml::Tag::ProofErr:
                break;
            case wml::Tag::R:
                for (nb::handle el : wml::children(child)) {
                    const wml::Tag tag = wml::tag_of(el);
                    if (tag != wml::Tag::RPr && tag != wml::Tag::T && tag != wml::Tag::LastRenderedPageBreak)
                        return false;
                }
                break;
            default:
                return false;
        }
    }
    return true;
}

// What a reason for a missing table style adds: the names that come close, else
// the first few the document has.
nb::object other_styles(const std::vector<wml::TableStyle> &styles, nb::handle wanted) {
    if (styles.empty())
        return nb::str("; it has no table styles");
    nb::list names;
    for (const wml::TableStyle &style : styles)
        names.append(style.name);
    nb::object close = nb::module_::import_("difflib").attr("get_close_matches")(wanted, names, 3, 0.6);
    const bool near = nb::len(close) > 0;
    nb::list shown;
    for (nb::handle name : near ? close : names) {
        if (nb::len(shown) == 5)
            break;
        shown.append(nb::repr(name));
    }
    nb::object listed = nb::str(", ").attr("join")(shown);
    if (near)
        return nb::str("; did you mean {}?").format(listed);
    if (nb::len(names) > nb::len(shown))
        listed = listed + nb::str(" and {} more").format(nb::len(names) - nb::len(shown));
    return nb::str("; its table styles are ") + listed;
}

constexpr const char *kWhereTables =
    "a Table stands alone in a paragraph outside tables (in the body, a header, a footer or a text box)";

// Puts the table a Table value gives in the place of paragraph `p`, which holds
// the placeholder and nothing else.
void place_table(const Runs &at, nb::handle r, nb::handle delimited, nb::handle value) {
    if (!at.walk)
        tessel::refuse("a Table is placed by the fill of a document, not by replace_paragraph");
    if (in_table(at.p))
        tessel::refuse((std::string(kWhereTables) + ", not in a table cell").c_str());
    if (!wml::paragraph_text(at.p).attr("strip")().equal(delimited))
        tessel::refuse((std::string(kWhereTables) + "; this paragraph holds other text too").c_str());
    const Walk &walk = *at.walk;
    wml::TableLook look;
    nb::object style = value.attr("style");
    const wml::TableStyle *found = nullptr;
    if (!style.is_none()) {
        found = wml::find_table_style(walk.table_styles, style);
        if (!found)
            tessel::refuse(nb::str("the document has no table style named {}{}")
                               .format(nb::repr(style), other_styles(walk.table_styles, style)));
    } else {
        found = wml::find_table_style(walk.table_styles, nb::str("Table Grid"));
        look.bold_header = true;
    }
    if (found)
        look.style_id = found->id;
    look.header = tessel::truthy(value.attr("header"));
    nb::object frame = value.attr("frame");
    look.first_column = tessel::frames::is_series(frame);
    const tessel::frames::Frame read = tessel::frames::read_frame(frame);
    if (read.block.columns == 0)
        tessel::refuse("the Table's frame has no columns to show");
    nb::object tbl = wml::frame_table(at.p, read, look, wml::room_at(at.p, walk.story_width));
    at.p.attr("addprevious")(tbl);
    // Word wants a paragraph after the last table of a story: the one that stood
    // last stays, empty, as does one that holds more than text.
    nb::object next = at.p.attr("getnext")();
    if (only_text(at.p) && !next.is_none() && wml::tag_of(next) != wml::Tag::SectPr)
        wml::remove(at.p);
    else
        wml::replace_in_run(r, delimited, nb::str(""));
    if (read.block.refused.is_valid())
        tessel::refuse(read.block.refused);
}

// Notes a data frame that went into a paragraph as text, where a Table would make
// it a table.
void note_frame_text(const Runs &at, nb::handle placeholder, nb::handle delimited, nb::handle value,
                     nb::handle place) {
    if (!at.walk || !(tessel::frames::is_block(value) || tessel::frames::is_series(value)) || in_table(at.p))
        return;
    Warnings &said = at.walk->warnings;
    if (said.frames_as_text++ > 0)
        return;
    said.frame_text = nb::cast<std::string>(
        nb::str("{} at {} wrote a {} as text; the value tessel.Table({}), alone in a paragraph, makes it a table")
            .format(delimited, place, value.type().attr("__name__"), placeholder.attr("strip")()));
}

void fill_run(Runs &at, nb::handle r, nb::handle place) {
    nb::object text = wml::run_text(r);
    // Most runs hold no brace at all; the native extraction would find nothing.
    if (at.native && PyUnicode_FindChar(text.ptr(), '{', 0, PyUnicode_GET_LENGTH(text.ptr()), 1) < 0)
        return;
    nb::object placeholders = at.native ? tessel::extract(text, at.pattern) : at.extract(text);
    for (nb::handle placeholder : placeholders) {
        nb::object delimited = tessel::delimited(placeholder, at.pattern);
        nb::object reason;
        const bool ok = tessel::guarded(
            [&] {
                nb::object value = at.evaluator.value(placeholder);
                if (is_instance(value, table_value_cls)) {
                    place_table(at, r, delimited, value);
                } else if (nb::object picture = tessel::picture_value(value); picture.is_valid()) {
                    // The picture is read first: bytes that are no picture leave the run as it was.
                    nb::object holder = wml::make(r, "r");
                    add_picture(holder, at.paragraph, at.p, picture, at.walk ? at.walk->story_width : -1);
                    wml::replace_in_run(r, delimited, nb::str(""));
                    for (nb::handle child : wml::children(holder))
                        if (wml::tag_of(child) != wml::Tag::RPr)
                            r.attr("append")(child);
                } else {
                    wml::replace_in_run(r, delimited, tessel::to_text(value));
                    note_frame_text(at, placeholder, delimited, value, place);
                }
            },
            reason);
        if (ok)
            at.report.filled(placeholder, [&] { return nb::borrow(place); });
        else
            at.report.failed(placeholder, place, reason);
    }
}

// A run that holds one tag and nothing else.
bool is_tag_run(nb::handle r, Pattern pattern, tessel::sections::Tag &tag, nb::object &placeholder) {
    nb::object text = wml::run_text(r);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n < 2 || PyUnicode_READ_CHAR(text.ptr(), 0) != '{')
        return false;
    const std::vector<tessel::Match> found = tessel::scan(text, pattern);
    if (found.size() != 1 || found[0].begin != 0 || found[0].end != n)
        return false;
    placeholder = tessel::placeholder_of(text, found[0], pattern);
    tag = tessel::sections::parse(placeholder);
    return tag.kind != tessel::sections::Kind::None;
}

// The runs of some children of a paragraph, in reading order.
std::vector<nb::object> runs_in(const std::vector<nb::object> &nodes) {
    std::vector<nb::object> out;
    for (const nb::object &node : nodes) {
        if (wml::tag_of(node) == wml::Tag::R) {
            out.push_back(node);
            continue;
        }
        for (nb::object &r : wml::runs_of(node))
            out.push_back(std::move(r));
    }
    return out;
}

// Fills runs in which sections stand inline, each tag alone in its run: a loop's
// runs are copied per item before any is filled, so a value's text is never read
// for placeholders again.
void fill_inline(Runs &at, const std::vector<nb::object> &runs, const nb::object &place) {
    namespace sec = tessel::sections;
    struct Found {
        size_t run;
        sec::Tag tag;
        nb::object placeholder;
        nb::object reason;
    };
    std::vector<Found> tags;
    for (size_t i = 0; i < runs.size(); ++i) {
        Found f{i, {}, {}, {}};
        if (!is_tag_run(runs[i], at.pattern, f.tag, f.placeholder))
            continue;
        auto it = at.failed.find(runs[i].ptr());
        if (it != at.failed.end())
            f.reason = it->second.second;
        tags.push_back(std::move(f));
    }
    std::vector<size_t> live;
    std::vector<sec::Kind> kinds;
    for (size_t t = 0; t < tags.size(); ++t)
        if (!tags[t].reason.is_valid()) {
            live.push_back(t);
            kinds.push_back(tags[t].tag.kind);
        }
    const sec::Structure s = sec::pair(kinds, at.pattern);
    for (const sec::Unpaired &u : s.unpaired)
        tags[live[u.tag]].reason = u.reason;
    std::unordered_map<size_t, size_t> opening;  // tag index -> section
    for (size_t k = 0; k < s.sections.size(); ++k)
        opening[live[s.sections[k].open]] = k;

    size_t t = 0;
    for (size_t i = 0; i < runs.size();) {
        while (t < tags.size() && tags[t].run < i)
            ++t;
        if (t == tags.size() || tags[t].run != i) {
            fill_run(at, runs[i++], place);
            continue;
        }
        Found &open = tags[t];
        auto section = opening.find(t);
        if (open.reason.is_valid() || section == opening.end()) {
            at.report.failed(open.placeholder, place,
                             open.reason.is_valid() ? open.reason : nb::object(nb::none()));
            ++i;
            continue;
        }
        const sec::Section &sn = s.sections[section->second];
        std::vector<size_t> marks;
        for (size_t m : sn.tags())
            marks.push_back(live[m]);
        const nb::object &open_run = runs[open.run];
        const nb::object &close_run = runs[tags[marks.back()].run];
        nb::object parent = open_run.attr("getparent")();
        nb::object reason;
        for (size_t m : marks)
            if (!reason.is_valid() && runs[tags[m].run].attr("getparent")().ptr() != parent.ptr())
                reason = tessel::delimited(tags[m].placeholder, at.pattern) +
                         nb::str(" stands in a hyperlink, field or content control that the section's "
                                 "other tags are outside of");
        std::vector<std::vector<nb::object>> parts;
        for (size_t q = 0; q + 1 < marks.size(); ++q)
            parts.push_back(wml::between(runs[tags[marks[q]].run], runs[tags[marks[q + 1]].run]));
        const bool is_for = open.tag.kind == sec::Kind::For, listing = at.evaluator.listing();
        std::vector<nb::object> items;
        long pick = -1;
        if (!reason.is_valid() && !listing)
            tessel::guarded(
                [&] {
                    if (!is_for) {
                        for (size_t q = 0; q + 1 < marks.size() && pick < 0; ++q)
                            if (tags[marks[q]].tag.kind == sec::Kind::Else || sec::holds(at.evaluator, tags[marks[q]].tag))
                                pick = (long) q;
                        return;
                    }
                    items = sec::items_of(at.evaluator, open.tag);
                    sec::check_binding(at.evaluator, open.tag, items);
                    at.evaluator.count_copies(wml::markup_size(parts[0]) * (long long) items.size());
                },
                reason);
        if (reason.is_valid()) {
            // The section stays as written; its content is filled where it stands.
            for (size_t m : marks)
                tags[m].reason = reason;
            at.report.failed(open.placeholder, place, reason);
            ++i;
            continue;
        }
        auto filled = [&](size_t m) { at.report.filled(tags[m].placeholder, [&] { return place; }); };
        filled(marks[0]);
        if (is_for && !listing) {
            for (size_t k = 0; k < items.size(); ++k) {
                const size_t mark = at.evaluator.mark();
                sec::bind(at.evaluator, open.tag, items[k]);
                std::vector<nb::object> copy;
                for (const nb::object &node : parts[0]) {
                    nb::object c = wml::deepcopy(node);
                    close_run.attr("addprevious")(c);
                    copy.push_back(std::move(c));
                }
                fill_inline(at, runs_in(copy), place + nb::str((", " + sec::item_place(open.tag, k)).c_str()));
                at.evaluator.unbind(mark);
            }
            for (const nb::object &node : parts[0])
                wml::remove(node);
        } else {
            for (size_t q = 0; q < parts.size(); ++q) {
                if (q > 0)
                    filled(marks[q]);
                if (listing || (long) q == pick)
                    fill_inline(at, runs_in(parts[q]), place);
                else
                    for (const nb::object &node : parts[q])
                        wml::remove(node);
            }
        }
        filled(marks.back());
        for (size_t m : marks)
            wml::remove(runs[tags[m].run]);
        i = tags[marks.back()].run + 1;
    }
}

// Fills the placeholders of a paragraph's runs; failures, and when checking every
// placeholder, go to the report under `place`.  With `sections`, tags that stand
// in the paragraph are read as such.
void replace_runs(nb::handle self, nb::handle paragraph, tessel::Evaluator &evaluator,
                  tessel::Report &report, nb::handle place, const Walk *walk = nullptr) {
    wml::Repeater *sections = walk ? walk->sections : nullptr;
    nb::object p = paragraph.attr("_p");
    std::vector<nb::object> runs = wml::runs_of(p);
    if (runs.empty())
        return;
    // An illegal pattern fails here, before any run is changed.
    const Pattern pattern = tessel::read_pattern(self);
    // A placeholder that Word stored in pieces is moved into the run where it starts.
    auto placeholders = [pattern](nb::handle text) {
        std::vector<wml::Range> ranges;
        for (const tessel::Match &m : tessel::scan(text, pattern))
            ranges.emplace_back(m.begin, m.end);
        return ranges;
    };
    if (wml::gather_ranges(p, placeholders))
        runs = wml::runs_of(p);

    nb::object extract = nb::getattr(self, "extract_placeholder");
    Runs at{self, paragraph, p, evaluator, report, pattern, extract, tessel::is_bound_method(extract, native_extract)};
    at.walk = walk;
    const std::vector<nb::object> *notes = sections ? sections->tags_of(p) : nullptr;
    if (!notes) {
        for (const nb::object &r : runs)
            fill_run(at, r, place);
        return;
    }
    // Each tag gets a run of its own, from the last back so that the earlier
    // ones keep their places.
    std::vector<wml::TagRun> found = wml::tag_runs(p, pattern);
    for (size_t k = found.size(); k-- > 0;) {
        nb::object run = wml::own_run(found[k]);
        if (k < notes->size() && (*notes)[k].is_valid())
            at.failed[run.ptr()] = {run, (*notes)[k]};
    }
    fill_inline(at, wml::runs_of(p), nb::borrow(place));
}

bool safe_of(nb::handle self) { return tessel::truthy(nb::getattr(self, "safe", nb::bool_(false))); }

nb::object replace_paragraph(nb::handle self, nb::handle paragraph, nb::object env) {
    tessel::Evaluator evaluator(std::move(env), safe_of(self));
    tessel::Report report(false);
    replace_runs(self, paragraph, evaluator, report, nb::str("paragraph"));
    return report.result();
}

// Binds the items that an element's copy stands for, and names them after `place`.
nb::object enter(const Walk &walk, nb::handle el, nb::handle place) {
    const wml::Chain chain = walk.sections->chain_of(el);
    walk.sections->enter(chain);
    if (!chain)
        return nb::borrow(place);
    return nb::str(place) + nb::str(chain->place.c_str());
}

// A paragraph that held only a block section's tag: the tag is reported where it
// stood, and the paragraph leaves so that no blank line is left (true).
bool took_tag_paragraph(const Walk &walk, nb::handle p, nb::handle place) {
    nb::object placeholder;
    if (!walk.sections->tag_paragraph(p, placeholder))
        return false;
    const wml::Chain chain = walk.sections->chain_of(p);
    walk.report.filled(placeholder, [&] { return nb::str(place) + nb::str(wml::place_of(chain).c_str()); });
    // A paragraph that ends a section stays, empty, to keep the section.
    nb::object properties = wml::first_child(p, wml::Tag::PPr);
    if (!wml::first_child(properties, wml::Tag::SectPr).is_none()) {
        for (nb::handle child : wml::children(p))
            if (child.ptr() != properties.ptr())
                wml::remove(child);
        return false;
    }
    nb::object holder = p.attr("getparent")();
    wml::remove(p);
    if (!holder.is_none())
        wml::keep_a_paragraph(holder);
    return true;
}

// The placeholders of a paragraph that a replace_paragraph of the user's fills.
void fill_overridden(const Walk &walk, nb::handle paragraph, const nb::object &place) {
    nb::object replace = nb::getattr(walk.self, "replace_paragraph");
    // An override reports only what failed, and why where it says so.
    nb::object failed = replace(paragraph, walk.evaluator.env());
    nb::object details = nb::getattr(failed, "details", nb::none());
    size_t k = 0;
    for (nb::handle placeholder : failed) {
        nb::object reason = nb::str("failed in replace_paragraph");
        if (!details.is_none() && k < nb::len(details))
            reason = details[k].attr("reason");
        walk.report.failed(placeholder, place, reason);
        ++k;
    }
}

// Drops a relationship of `part` that its XML no longer names; python-docx then
// leaves out of the package a part that nothing relates to.
void drop_unused(nb::handle part, nb::handle rId) {
    nb::object rels = part.attr("rels");
    int has = PySequence_Contains(rels.ptr(), rId.ptr());
    if (has < 0)
        throw nb::python_error();
    if (has == 0)
        return;
    nb::object count = count_references(part.attr("element"),
                                        "ns"_a = "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
                                        "id"_a = rId);
    if (PyFloat_AsDouble(count.ptr()) == 0.0)
        rels.attr("pop")(rId);
}

// Shows the picture a placeholder gives in the place and box of a template's
// picture.
void swap_picture(const Walk &walk, const wml::Drawing &drawing, nb::handle placeholder, nb::handle parent) {
    nb::object picture = tessel::picture_for_template(walk.evaluator.value(placeholder));
    if (drawing.pic.is_none())
        tessel::refuse("the drawing whose alternative text holds it is no picture: a shape, chart or group "
                       "keeps what it shows");
    nb::object part = parent.attr("part");
    nb::object image_of = part.attr("get_or_add_image")(nb::handle(bytes_io)(picture.attr("data")));
    nb::object native = image_of[1].attr("scaled_dimensions")();
    nb::object size = picture.attr("size")(native[0], native[1]);
    auto [box_cx, box_cy] = wml::extent_of(drawing);
    long long cx = as_integer(size[0]), cy = as_integer(size[1]);
    if (box_cx > 0 && box_cy > 0)
        std::tie(cx, cy) = tessel::fitted(cx, cy, box_cx, box_cy);
    const std::vector<nb::object> old = wml::swap_picture(drawing, image_of[0], cx, cy);
    wml::set_alt_text(drawing, nb::str(""));
    for (const nb::object &rId : old)
        if (!rId.equal(image_of[0]))
            drop_unused(part, rId);
}

// The pictures of a paragraph whose alternative text is a placeholder, each
// named in places by its name ("picture 'Logo'") or its number in the paragraph.
void fill_pictures(const Walk &walk, nb::handle p, nb::handle parent, const nb::object &place) {
    const std::vector<wml::Drawing> drawings = wml::drawings_of(p);
    if (drawings.empty())
        return;
    const Pattern pattern = tessel::read_pattern(walk.self);
    size_t k = 0;
    for (const wml::Drawing &drawing : drawings) {
        ++k;
        nb::object placeholder = tessel::alt_placeholder(wml::alt_text(drawing), pattern);
        if (!placeholder.is_valid())
            continue;
        nb::object name = wml::drawing_name(drawing);
        nb::object where = place + nb::str(", picture ") +
                           (PyUnicode_GET_LENGTH(name.ptr()) ? nb::repr(name) : nb::str(nb::int_(k)));
        nb::object reason;
        if (tessel::guarded([&] { swap_picture(walk, drawing, placeholder, parent); }, reason))
            walk.report.filled(placeholder, [&] { return where; });
        else
            walk.report.failed(placeholder, where, reason);
    }
}

void fill_paragraph(const Walk &walk, nb::handle p, nb::handle parent, nb::handle base) {
    const nb::object place = enter(walk, p, base);
    nb::object paragraph = paragraph_cls(p, parent);
    paragraph = nb::getattr(walk.self, "concat_run")(paragraph);
    nb::object replace = nb::getattr(walk.self, "replace_paragraph");
    if (tessel::is_bound_method(replace, native_replace))
        replace_runs(walk.self, paragraph, walk.evaluator, walk.report, place, &walk);
    else
        fill_overridden(walk, paragraph, place);
    fill_pictures(walk, p, parent, place);
}

nb::object place_of(const nb::object &prefix, size_t row, Py_ssize_t column) {
    return nb::str("{}, row {}, column {}").format(prefix, row, column + 1);
}

// "1-3" or "2".
std::string span_text(long long from, long long to) {
    return to > from ? std::to_string(from) + "-" + std::to_string(to) : std::to_string(from);
}

// Names table cells in ranges: "rows 3-4, columns 1-2; row 6, column 1".  Takes
// (row number, column number) pairs, both from 1.
std::string cell_ranges(std::vector<std::pair<long long, long long>> cells) {
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    // Per row, its columns as ranges; then neighbouring rows with the same ranges.
    std::vector<std::pair<long long, std::string>> rows;
    for (size_t k = 0; k < cells.size();) {
        const long long row = cells[k].first;
        std::string columns;
        bool several = false;
        while (k < cells.size() && cells[k].first == row) {
            long long from = cells[k].second, to = from;
            while (k + 1 < cells.size() && cells[k + 1].first == row && cells[k + 1].second == to + 1)
                to = cells[++k].second;
            ++k;
            several = several || !columns.empty() || to > from;
            columns += (columns.empty() ? "" : ", ") + span_text(from, to);
        }
        rows.emplace_back(row, (several ? "columns " : "column ") + columns);
    }
    std::string out;
    for (size_t k = 0; k < rows.size();) {
        size_t z = k;
        while (z + 1 < rows.size() && rows[z + 1].first == rows[z].first + 1 &&
               rows[z + 1].second == rows[k].second)
            ++z;
        out += (out.empty() ? "" : "; ") + std::string(z > k ? "rows " : "row ") +
               span_text(rows[k].first, rows[z].first) + ", " + rows[k].second;
        k = z + 1;
    }
    return out;
}

// What a block found in the cells it wrote over.
struct Overwrites {
    std::vector<std::pair<long long, long long>> text;  // cells that held other text
    std::vector<long long> short_rows;                 // rows without a cell for some value
    size_t lost = 0;                                    // values that found no cell
    bool below = false;                                 // in rows under the block's own
};

// "2-3, 5" from row numbers.
std::string row_ranges(std::vector<long long> rows) {
    std::sort(rows.begin(), rows.end());
    std::string out;
    for (size_t k = 0; k < rows.size();) {
        size_t z = k;
        while (z + 1 < rows.size() && rows[z + 1] == rows[z] + 1)
            ++z;
        out += (out.empty() ? "" : ", ") + span_text(rows[k], rows[z]);
        k = z + 1;
    }
    return out;
}

// The one warning of a block that wrote over text or left values out.
std::string overwrite_message(const Overwrites &over, nb::handle delimited, nb::handle place,
                              nb::handle prefix, bool insert) {
    const std::string table = nb::cast<std::string>(nb::str(prefix));
    std::string message =
        nb::cast<std::string>(nb::str(delimited)) + " at " + nb::cast<std::string>(nb::str(place));
    if (!over.text.empty())
        message += " wrote its block over text in " + table + ", " + cell_ranges(over.text);
    if (over.lost > 0)
        message += std::string(over.text.empty() ? " left " : " and left ") + std::to_string(over.lost) +
                   (over.lost == 1 ? " value" : " values") + " out: " + table +
                   (over.short_rows.size() > 1 ? ", rows " : ", row ") + row_ranges(over.short_rows) +
                   (over.short_rows.size() > 1 ? " have" : " has") + " too few cells";
    // Rows of their own help only where the block wrote into the rows below.
    if ((over.below || over.lost > 0) && !insert)
        message += "; insert=True inserts rows for the block instead";
    return message;
}

// Writes a data frame or Styler into the table as a block of cells that starts at
// cell `c` of row `i`.  Frame columns go to the row's cells, not to grid columns.
// With `insert` the block's rows after the first are new rows inserted under row
// `i`; otherwise it writes into the rows below and adds rows only past the table's
// end.  Either way every new row is a copy of row `i`.
void expand_block(const Walk &walk, wml::Table &table, size_t i, size_t c, nb::handle value,
                  nb::handle placeholder, const nb::object &prefix, const nb::object &place) {
    const tessel::frames::Block block = tessel::frames::read_block(value);
    const size_t n = (size_t) block.rows, m = (size_t) block.columns;
    // Counts that reached past the grid were read cut; the block's new cells and
    // rows must stand where Word will then put them.
    wml::settle_grid(table);
    if (m > table.rows[i].cells.size() - c)
        wml::widen(table, i, m - (table.rows[i].cells.size() - c),
                   wml::table_room(table.tbl, walk.story_width));
    if (n == 0 || m == 0)
        return;
    const bool insert = tessel::truthy(nb::getattr(walk.self, "insert", nb::bool_(false)));

    // New rows copy the template row as it is before any value is written.
    const wml::Row model = table.rows[i];
    wml::RowCopies copies(model, c, m);
    const Py_ssize_t low = model.cells[c].column;
    const Py_ssize_t high = model.cells[c + m - 1].column + model.cells[c + m - 1].span;

    const size_t end = insert ? i + 1 : std::min(i + n, table.rows.size());
    wml::split_vertical_merges(table, i, end, low, high);

    const nb::object delimited = tessel::delimited(placeholder, tessel::read_pattern(walk.self));
    Overwrites over;
    for (size_t r = i; r < end; ++r) {
        wml::Row &row = table.rows[r];
        const size_t k = r - i, first = r == i ? c : wml::cell_at(row, low);
        for (size_t l = 0; l < m; ++l) {
            if (first + l >= row.cells.size()) {
                over.lost += m - l;
                over.short_rows.push_back((long long) row.place);
                break;
            }
            wml::Cell &cell = row.cells[first + l];
            if (r != i || l != 0) {
                nb::object text = wml::cell_text(cell.tc);
                nb::object found = placeholders_of(walk.self, text);
                if (nb::len(found) > 0) {
                    nb::object reason =
                        nb::str("the block of {} at {} wrote over it").format(delimited, place);
                    if (r != i && !insert)
                        reason = reason + nb::str("; insert=True inserts rows for the block instead");
                    for (nb::handle ph : found)
                        walk.report.failed(ph, place_of(prefix, row.place, cell.column), reason);
                } else if (tessel::truthy(text.attr("strip")())) {
                    over.text.emplace_back((long long) row.place, (long long) cell.column + 1);
                    over.below = over.below || r != i;
                }
            }
            wml::write_cell(cell.tc, block.text((Py_ssize_t) k, (Py_ssize_t) l),
                            block.look((Py_ssize_t) k, (Py_ssize_t) l));
            cell.written = true;
        }
    }

    if (n > end - i) {
        std::vector<wml::Row> rows;
        std::vector<nb::object> texts;
        copies.add(table.rows[end - 1], n - (end - i), rows, texts);
        table.rows.insert(table.rows.begin() + (std::ptrdiff_t) end,
                          std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
        size_t q = 0;
        for (size_t k = end - i; k < n; ++k)
            for (size_t l = 0; l < m; ++l)
                wml::write_copy_text(texts[q++], block.text((Py_ssize_t) k, (Py_ssize_t) l),
                                     block.look((Py_ssize_t) k, (Py_ssize_t) l));
    }

    if (!over.text.empty() || over.lost > 0)
        walk.warnings.overwrites.push_back(overwrite_message(over, delimited, place, prefix, insert));
    // The rest of the block stands, but the placeholder was not filled whole.
    if (block.refused.is_valid())
        tessel::refuse(block.refused);
}

// The cell holds exactly one placeholder naming a data frame (or a Styler) of the
// environment.  A test that raises counts as no frame: the placeholder is then
// filled as text and recorded there if it fails.
bool frame_test(nb::handle placeholders, tessel::Evaluator &evaluator, nb::object &frame) {
    if (evaluator.listing() || nb::len(placeholders) != 1)
        return false;
    nb::object placeholder = placeholders[0];
    bool is_frame = false;
    nb::object ignored;
    tessel::guarded(
        [&] {
            int has = PySequence_Contains(evaluator.env().ptr(), placeholder.ptr());
            if (has < 0)
                throw nb::python_error();
            if (has == 0)
                return;
            nb::object value;
            if (evaluator.eval(placeholder, value) && tessel::frames::is_block(value)) {
                frame = value;
                is_frame = true;
            } else {
                // Filled as text next, from this same evaluation.
                evaluator.keep(placeholder, std::move(value));
            }
        },
        ignored);
    return is_frame;
}

// A table under way: its rows as read, the next cell to fill and the tables nested
// in the cell just filled that are still to visit.
struct TableVisit {
    wml::Table table;
    nb::object object;  // python-docx's table, parent of its cells
    nb::object prefix;  // names the table in places
    size_t i = 0, c = 0;
    nb::object cell_object{}, cell_place{};
    std::vector<nb::object> nested{};
    size_t next_nested = 0;
};

// Moves to the next cell to fill, if there is one.  The template's rows are visited
// where they stand now, so rows that a block pushed down are filled at their new
// places; places keep the template's row numbers (each row carries its own), as a
// reader of the template counts them.  Rows a block added are not visited, even
// with recurse: a frame whose values name the frame would otherwise grow the table
// without end.
bool next_cell(TableVisit &visit) {
    const std::vector<wml::Row> &rows = visit.table.rows;
    for (; visit.i < rows.size(); ++visit.i, visit.c = 0)
        if (!rows[visit.i].added && visit.c < rows[visit.i].cells.size())
            return true;
    return false;
}

// Fills the cell the visit stands at and moves past it; the tables nested in it
// are left in the visit.
void fill_cell(const Walk &walk, TableVisit &visit) {
    const nb::object &prefix = visit.prefix;
    const size_t i = visit.i, c = visit.c++;
    visit.nested.clear();
    visit.next_nested = 0;
    const wml::Cell &cell = visit.table.rows[i].cells[c];
    if (cell.written && !tessel::truthy(nb::getattr(walk.self, "recurse")))
        return;
    const nb::object tc = cell.tc;
    const nb::object cell_place = place_of(prefix, visit.table.rows[i].place, cell.column);
    const nb::object place = enter(walk, tc, cell_place);
    // Tags a row section took out of this cell: an opening one before the cell's
    // placeholders, a closing one after them.
    const std::vector<wml::RowTag> row_tags = walk.sections->take_row_tags(tc);
    auto report_row_tags = [&](bool closing) {
        for (const wml::RowTag &tag : row_tags)
            if (tag.closes == closing)
                walk.report.filled(tag.placeholder, [&] { return nb::str(cell_place) + nb::str(tag.chain.c_str()); });
    };
    report_row_tags(false);
    nb::object placeholders = placeholders_of(walk.self, wml::cell_text(tc));
    nb::object frame;
    if (frame_test(placeholders, walk.evaluator, frame)) {
        // The block may move or add rows: `cell` is not used past this point.
        nb::object reason;
        if (tessel::guarded(
                [&] { expand_block(walk, visit.table, i, c, frame, placeholders[0], prefix, place); },
                reason))
            walk.report.filled(placeholders[0], [&] { return place; });
        else
            walk.report.failed(placeholders[0], place, reason);
        report_row_tags(true);
        return;
    }
    visit.cell_object = cell_cls(tc, visit.object);
    visit.cell_place = cell_place;
    std::vector<nb::object> paragraphs;
    wml::collect_blocks(tc, paragraphs, visit.nested);
    for (const nb::object &p : paragraphs)
        if (!took_tag_paragraph(walk, p, cell_place))
            fill_paragraph(walk, p, visit.cell_object, cell_place);
    report_row_tags(true);
}

// Fills a table and, as each cell is met, the tables nested in it.  A stack of
// visits instead of recursion: the file decides how deep tables nest.
void fill_table(const Walk &walk, nb::handle tbl, nb::handle parent, const nb::object &prefix) {
    std::vector<TableVisit> visits;
    auto start = [&](nb::handle table, nb::handle owner, nb::object name) {
        // The tags of its row sections, taken out of their cells, lead its report.
        for (const wml::RowTag &tag : walk.sections->take_row_tags(table))
            walk.report.filled(tag.placeholder, [&] {
                return nb::str("{}, row {}, column {}{}").format(name, tag.row, tag.column, tag.chain.c_str());
            });
        visits.push_back(TableVisit{wml::read_table(table), table_cls(table, owner), std::move(name)});
    };
    start(tbl, parent, prefix);
    while (!visits.empty()) {
        TableVisit &top = visits.back();
        if (top.next_nested < top.nested.size()) {
            const size_t t = top.next_nested++;
            start(top.nested[t], top.cell_object, nb::str("{}, table {}").format(top.cell_place, t + 1));
        } else if (next_cell(top)) {
            fill_cell(walk, top);
        } else {
            visits.pop_back();
        }
    }
}

// One story (the body, a header or a footer): its paragraphs, then the paragraphs
// of its text boxes, then its tables.  `prefix` names the story in places.
void fill_story(const Walk &walk, nb::handle root, nb::handle parent, const char *prefix) {
    std::vector<nb::object> tables;
    // A container's sections are expanded, then its paragraphs filled, numbered
    // as they are left: a paragraph that only held a tag is gone.
    auto fill_container = [&](nb::handle container, const std::string &where) {
        walk.sections->expand(container, walk.sections->chain_of(container), where);
        std::vector<nb::object> paragraphs;
        wml::collect_blocks(container, paragraphs, tables);
        size_t n = 0;
        for (const nb::object &p : paragraphs)
            if (!took_tag_paragraph(walk, p, nb::str("{}paragraph {}").format(where.c_str(), n + 1)))
                fill_paragraph(walk, p, parent, nb::str("{}paragraph {}").format(where.c_str(), ++n));
    };
    fill_container(root, prefix);
    nb::list boxes = nb::list(root.attr("iter")(
        "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}txbxContent"));
    size_t k = 0;
    for (nb::handle box : boxes)
        fill_container(box, std::string(prefix) + "text box " + std::to_string(++k) + ", ");
    size_t t = 0;
    for (const nb::object &tbl : tables)
        fill_table(walk, tbl, parent, nb::str("{}table {}").format(prefix, ++t));
}

bool is_header_or_footer(nb::handle rel) {
    if (tessel::truthy(rel.attr("is_external")))
        return false;
    nb::object type = rel.attr("reltype");
    return tessel::truthy(type.attr("endswith")("/header")) || tessel::truthy(type.attr("endswith")("/footer"));
}

// Runs `step` on a part's XML; a number there that the filler cannot take is
// reported with the part's name: "word/header1.xml: w:gridCol: w:w ...".
template <typename Step> void in_part(nb::handle part, Step &&step) {
    try {
        step();
    } catch (const std::invalid_argument &e) {
        std::string name = nb::cast<std::string>(nb::str(part.attr("partname")));
        if (!name.empty() && name.front() == '/')
            name.erase(0, 1);
        throw std::invalid_argument(name + ": " + e.what());
    }
}

// Fills the body, then the headers and footers, of a loaded document.
void walk_document(nb::handle self, tessel::Evaluator &evaluator, tessel::Report &report,
                   Warnings &warnings, nb::handle doc) {
    nb::object body = doc.attr("element").attr("body");
    nb::object main = doc.attr("part");
    long long story_width = -1;
    in_part(main, [&] { story_width = wml::body_text_width(body); });
    wml::Repeater sections(evaluator, nb::borrow(self), main);
    nb::object styles = wml::related_part(main, "styles");
    const std::vector<wml::TableStyle> table_styles =
        wml::table_styles(styles.is_none() ? styles : nb::object(styles.attr("element")));
    const Walk walk{self, evaluator, report, story_width, warnings, &sections, table_styles};
    in_part(main, [&] { fill_story(walk, body, doc.attr("_body"), ""); });
    // Headers and footers come last, so the body's failures lead the list.  A
    // header part is reached through its relationship: asking a section for a
    // header it inherits would add one.
    nb::object rels = main.attr("rels").attr("values")();
    for (nb::handle rel : rels) {
        if (!is_header_or_footer(rel))
            continue;
        nb::object part = rel.attr("target_part");
        nb::object os_path = nb::module_::import_("posixpath");
        nb::object name = os_path.attr("splitext")(os_path.attr("basename")(part.attr("partname")))[0];
        std::string prefix = nb::cast<std::string>(nb::str(name)) + ", ";
        in_part(part, [&] {
            fill_story(walk, part.attr("element"), namespace_cls("part"_a = part), prefix.c_str());
        });
    }
    sections.finish();
}

void warn(const Warnings &warnings) {
    for (const std::string &message : warnings.overwrites)
        if (PyErr_WarnEx(overwrite_warning.ptr(), message.c_str(), 1) < 0)
            throw nb::python_error();
    if (warnings.frames_as_text == 0)
        return;
    std::string message = warnings.frame_text;
    if (warnings.frames_as_text > 1)
        message += " (as " + std::to_string(warnings.frames_as_text - 1) + " more placeholders did)";
    if (PyErr_WarnEx(frame_text_warning.ptr(), message.c_str(), 1) < 0)
        throw nb::python_error();
}

// Imports, before a confined process starts, what a fill may import on first use.
void prepare_confined() {
    static bool prepared = false;
    if (prepared)
        return;
    nb::module_::import_("PIL.Image").attr("init")();
    for (const char *name : {"docx.image.image", "docx.image.png", "docx.image.jpeg", "docx.image.gif",
                             "docx.image.bmp", "docx.image.tiff"})
        nb::module_::import_(name);
    prepared = true;
}

// The walk of a loaded document; the warnings it owes come after the save.
void fill_document(nb::handle self, nb::handle doc, tessel::Evaluator &evaluator, tessel::Report &report,
                   Warnings &warnings) {
    walk_document(self, evaluator, report, warnings, doc);
    tessel::confinement::evaluations_done();
}

// A safe fill in a confined process: the template's bytes go in, the filled
// document's come out, and only this process writes the file.
tessel::confinement::Made fill_confined(nb::handle self, nb::handle template_path, nb::handle env,
                                        tessel::Report &report) {
    prepare_confined();
    nb::bytes template_bytes = tessel::read_file(template_path);
    return tessel::confinement::run_reporting(self, report, [&](tessel::Report &inner) -> nb::object {
        nb::object doc = nb::getattr(module_handle, "Document")(nb::handle(bytes_io)(template_bytes));
        tessel::Evaluator evaluator(nb::borrow(env), true);
        Warnings warnings;
        fill_document(self, doc, evaluator, inner, warnings);
        nb::object output = nb::none();
        if (!inner.checking()) {
            nb::object out = nb::handle(bytes_io)();
            doc.attr("save")(out);
            output = out.attr("getvalue")();
        }
        warn(warnings);
        return output;
    });
}

nb::object page_fill(nb::handle self, nb::object template_path, nb::object save_path,
                     nb::object env) {
    tessel::assert_extensions(template_path, save_path, ".docx");
    tessel::require_package(template_path, ".docx");
    tessel::Report report(false);
    if (tessel::confinement::wanted(self)) {
        if (env.is_none())
            env = tessel::caller_variables(module_handle);
        tessel::confinement::Made made = fill_confined(self, template_path, env, report);
        tessel::ooxml::check_package(made.output, "filled document");
        tessel::write_beside(save_path, made.output);
        tessel::confinement::warn_again(made.warnings, {overwrite_warning, frame_text_warning});
        return report.result();
    }
    nb::object doc = nb::getattr(module_handle, "Document")(template_path);
    if (env.is_none())
        env = tessel::caller_variables(module_handle);
    tessel::Evaluator evaluator(env, safe_of(self));
    Warnings warnings;
    fill_document(self, doc, evaluator, report, warnings);
    tessel::FileBeside out(save_path);
    doc.attr("save")(out.target());
    out.commit();
    warn(warnings);
    return report.result();
}

nb::object page_check(nb::handle self, nb::object template_path, nb::object env, bool evaluate) {
    tessel::assert_extension(template_path, "template_path", ".docx");
    tessel::require_package(template_path, ".docx");
    tessel::Report report(true);
    if (evaluate && tessel::confinement::wanted(self)) {
        if (env.is_none())
            env = tessel::caller_variables(module_handle);
        tessel::confinement::Made made = fill_confined(self, template_path, env, report);
        tessel::confinement::warn_again(made.warnings, {overwrite_warning, frame_text_warning});
        return report.result();
    }
    nb::object doc = nb::getattr(module_handle, "Document")(template_path);
    if (env.is_none() && evaluate)
        env = tessel::caller_variables(module_handle);
    tessel::Evaluator evaluator(env, safe_of(self),
                                evaluate ? tessel::Evaluator::Mode::Run
                                         : tessel::Evaluator::Mode::List);
    Warnings warnings;
    fill_document(self, doc, evaluator, report, warnings);
    warn(warnings);
    return report.result();
}

}  // namespace

NB_MODULE(pagefill, m) {
    m.doc() = "Fill placeholders of docx document templates.";
    module_handle = m;
    tessel::wordml::init();
    tessel::frames::init();

    m.attr("Document") = nb::module_::import_("docx").attr("Document");
    m.attr("re") = nb::module_::import_("re");
    m.attr("BytesIO") = nb::module_::import_("io").attr("BytesIO");
    m.attr("get_outer_frame_variables") =
        tessel::import_sibling(m, "utils").attr("get_outer_frame_variables");
    m.attr("pandas") = nb::module_::import_("pandas");
    m.attr("itertools") = nb::module_::import_("itertools");

    bytes_io = nb::object(m.attr("BytesIO")).release();
    nb::module_ results = tessel::import_sibling(m, "results");
    overwrite_warning = nb::object(results.attr("OverwriteWarning")).release();
    frame_text_warning = nb::object(results.attr("FrameAsTextWarning")).release();
    table_value_cls = nb::object(tessel::import_sibling(m, "tables").attr("Table")).release();
    count_references = nb::object(nb::module_::import_("lxml.etree").attr("XPath")(
        "count(//@*[namespace-uri() = $ns and . = $id])")).release();
    paragraph_cls = nb::object(nb::module_::import_("docx.text.paragraph").attr("Paragraph")).release();
    inline_cls = nb::object(nb::module_::import_("docx.oxml.shape").attr("CT_Inline")).release();
    nb::module_ table_module = nb::module_::import_("docx.table");
    table_cls = nb::object(table_module.attr("Table")).release();
    cell_cls = nb::object(table_module.attr("_Cell")).release();
    namespace_cls = nb::object(nb::module_::import_("types").attr("SimpleNamespace")).release();
    shared_env = nb::dict().release();
    tessel::init_results(m);
    tessel::confinement::expose(m);

    nb::object cls = tessel::make_plain_class(m, "PageFill", kClassDoc);
    static const std::string init_doc =
        std::string(tessel::kInitDoc) + kRecurseDoc + kInsertDoc + tessel::kSafeDoc + tessel::kSafeLimitsDoc;
    tessel::def_method(
        cls, "__init__",
        [](nb::handle self, nb::object pattern, nb::object recurse, nb::object insert,
           nb::object safe, nb::object safe_limits) {
            nb::setattr(self, "pattern", pattern);
            nb::setattr(self, "recurse", recurse);
            nb::setattr(self, "insert", insert);
            nb::setattr(self, "safe", safe);
            nb::setattr(self, "safe_limits", safe_limits);
        },
        nb::arg("pattern").none() = "{}", nb::arg("recurse").none() = false,
        nb::arg("insert").none() = false, nb::arg("safe").none() = false,
        nb::arg("safe_limits").none() = nb::none(),
        nb::sig("def __init__(self, pattern: str = '{}', recurse: bool = False, "
                "insert: bool = False, safe: bool = False, "
                "safe_limits: tuple[int, float] | None = None) -> None"),
        init_doc.c_str());
    tessel::def_method(
        cls, "__call__", &page_fill, nb::arg("template_path").none(),
        nb::arg("save_path").none(), "env"_a = nb::none(),
        nb::sig("def __call__(self, template_path: str, save_path: str, "
                "env: dict[str, typing.Any] | None = None) -> tessel.results.FailedPlaceholders"),
        kCallDoc);
    tessel::def_method(
        cls, "check", &page_check, nb::arg("template_path").none(), "env"_a = nb::none(),
        nb::kw_only(), "evaluate"_a = true,
        nb::sig("def check(self, template_path: str, env: dict[str, typing.Any] | None = None, *, "
                "evaluate: bool = True) -> list[tessel.results.Finding]"),
        kCheckDoc);
    tessel::def_method(
        cls, "replace_paragraph", &replace_paragraph, "paragraph"_a,
        "env"_a = nb::borrow(shared_env),
        nb::sig("def replace_paragraph(self, paragraph: docx.text.paragraph.Paragraph, "
                "env: dict[str, typing.Any] = {}) -> tessel.results.FailedPlaceholders"),
        kReplaceDoc);
    native_replace = cls.attr("replace_paragraph");
    tessel::def_method(
        cls, "concat_run", &concat_run, "paragraph"_a,
        nb::sig("def concat_run(self, paragraph: docx.text.paragraph.Paragraph) "
                "-> docx.text.paragraph.Paragraph"),
        kConcatDoc);
    native_extract = tessel::def_extract_placeholder(cls);
}
