// WordprocessingML vocabulary on python-docx's lxml elements: the tags the document
// filler tells apart and the small element operations that every part of the Word
// XML layer uses.  Everything goes through lxml's Python API.  What each part knows
// lives beside this: runs and text (text.h), tables (tables.h), page geometry
// (page.h).  None of it knows about placeholders.
#pragma once

#include "ooxml/numbers.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::wordml {

namespace nb = nanobind;

enum class Tag {
    R, T, RPr, PPr, Tab, Br, Cr, ProofErr, BookmarkStart, BookmarkEnd, LastRenderedPageBreak,
    Hyperlink, Sdt, SdtContent, Ins, MoveTo, SmartTag, CustomXml, Dir, Bdo,
    P, Tbl, TblPr, TblGrid, GridCol, TblPrEx, Tr, TrPr, Tc, TcPr, GridSpan, VMerge, HMerge, TcW,
    GridBefore, GridAfter, TblHeader, CommentRangeStart, CommentRangeEnd, CommentReference,
    FootnoteReference, EndnoteReference,
    PermStart, PermEnd, SectPr, Body, Other
};

inline constexpr std::string_view kW = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}";

// Imports what the helpers call (copy.deepcopy); at module init.
void init();

Tag tag_of(nb::handle el);

// "{w namespace}local".
std::string qn(const char *local);

// The children of an element, as a list taken now.
nb::list children(nb::handle el);

// First child with the tag, or None (also for a None element).
nb::object first_child(nb::handle el, Tag tag);

// A new element of the w namespace, made by `parent`'s document so that it gets
// python-docx's element class.
nb::object make(nb::handle parent, const char *local);

// Takes an element out of its parent, if it has one.
void remove(nb::handle el);

nb::object deepcopy(nb::handle el);

// A numeric w: attribute (a count, a position), or `fallback` when the element is
// None or lacks it.  Transitional files may write fractions; they are cut.  A value
// that is no number or lies outside `bounds` throws std::invalid_argument naming the
// element and the attribute; the walk of a part puts the part's name in front.
long long int_attr(nb::handle el, const char *local, long long fallback, ooxml::Bounds bounds);

// A w: attribute holding a length in twips, as int_attr within ooxml::kLength; a
// length may also be written with a unit ("2.5cm", "1in", "72pt").
long long twips_attr(nb::handle el, const char *local, long long fallback);

// Sets a w: attribute to a whole number.
void set_int_attr(nb::handle el, const char *local, long long value);

// The child `local` of `parent`, added where the schema's sequence `order` puts it
// when missing (Word refuses properties out of order).
nb::object child_in_order(nb::handle parent, const char *local,
                          const std::vector<std::string_view> &order);

// A w:t's text; lxml gives None for an empty element.
nb::object t_text(nb::handle t);

// Sets a w:t's text, keeping its spaces.
void set_t_text(nb::handle t, nb::handle text);

// The last child of an element.
nb::object last_child(nb::handle el);

// The siblings strictly between two elements of one parent.
std::vector<nb::object> between(nb::handle from, nb::handle to);

// Visits the children of `container` in document order.  Where `visit(child, tag)`
// gives a container (a valid object other than None), that container's children
// are visited next, in place of the child, and `leave()` runs after the last of
// them.  A stack instead of recursion: the file decides how deep containers nest.
template <typename Visit, typename Leave>
void walk_through(nb::handle container, Visit &&visit, Leave &&leave) {
    std::vector<std::pair<nb::list, size_t>> stack;
    stack.emplace_back(children(container), 0);
    while (!stack.empty()) {
        auto &[kids, next] = stack.back();
        if (next == nb::len(kids)) {
            stack.pop_back();
            if (!stack.empty())
                leave();
            continue;
        }
        nb::object child = kids[next++];
        nb::object inner = visit(nb::handle(child), tag_of(child));
        if (inner.is_valid() && !inner.is_none())
            stack.emplace_back(children(inner), 0);
    }
}

template <typename Visit> void walk_through(nb::handle container, Visit &&visit) {
    walk_through(container, std::forward<Visit>(visit), [] {});
}

// What a walk visits in place of a block-level content control (its content) or
// custom XML element (its children); null for any other element.
nb::object wrapped_content(nb::handle child, Tag tag);

// Paragraphs and tables of a block container (body, cell, content control), in
// order, looking through block-level content controls and custom XML.
void collect_blocks(nb::handle container, std::vector<nb::object> &paragraphs,
                    std::vector<nb::object> &tables);

// The python-docx part that `part` relates to by its first internal relationship
// of type ".../`type`" ("styles", "footnotes"); None when it has none.  Asking
// python-docx for such a part by name would add an empty one.
nb::object related_part(nb::handle part, const std::string &type);

}  // namespace tessel::wordml
