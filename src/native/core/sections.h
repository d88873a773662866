// Sections: placeholders whose text is a tag instead of an expression, which
// repeat ({for NAME in EXPR} ... {end for}) or show ({if EXPR} ... {elif EXPR} ...
// {else} ... {end if}) what stands between them.  The core reads the tags, pairs
// them and gives a loop its items and names; each filler decides what a section
// holds in its own format.
#pragma once

#include "core/placeholder.h"

#include <string>
#include <vector>

namespace tessel::sections {

namespace nb = nanobind;

enum class Kind { None, For, If, Elif, Else, EndFor, EndIf };

// The names a loop binds: one name, or a group unpacked from each item.
struct Target {
    nb::object name;  // a str, for one name
    std::vector<Target> parts;
};

struct Tag {
    Kind kind = Kind::None;
    Target target;    // of a for
    nb::object expr;  // of a for, if or elif: the expression's text
    nb::object words; // a for's own words, for places: "for item in items"
};

// Reads a placeholder's text as a tag.  Kind::None when it is not one; such a
// text is evaluated as an expression (and a tag that is almost one fails there
// with Python's SyntaxError).
Tag parse(nb::handle placeholder);

inline bool opens(Kind k) { return k == Kind::For || k == Kind::If; }

// False for a value that holds no "{" followed by a tag's first word ("for", "if",
// "elif", "else", "end"): most texts hold no section, and need no closer look.
bool may_hold_tags(nb::handle text);

// A section found in a sequence of tags: indexes into that sequence.
struct Section {
    size_t open = 0;
    std::vector<size_t> branches;  // its {elif} and {else} tags, in order
    size_t close = 0;
    long parent = -1;  // the section it stands in, an index into Structure::sections

    // Its tags in order: the opening one, its branches, the closing one.
    std::vector<size_t> tags() const {
        std::vector<size_t> out{open};
        out.insert(out.end(), branches.begin(), branches.end());
        out.push_back(close);
        return out;
    }
};

// A tag that pairs with nothing, and why.
struct Unpaired {
    size_t tag;
    nb::object reason;
};

struct Structure {
    std::vector<Section> sections;  // in the order they open
    std::vector<Unpaired> unpaired; // in the order of their tags
};

// Pairs the tags of one sequence, given in the order they stand.  Tags that pair
// with nothing are listed with a reason in the template's own delimiters ("no
// {end for} after it"); a section is formed only by tags that pair.
Structure pair(const std::vector<Kind> &tags, Pattern pattern);

// The items of a for, read once: a DataFrame gives a record per row (its columns
// as attributes and keys, each value of its column's own type, its index label
// as `Index`); anything else is listed as `list()` lists it.  A failure throws a
// Refusal with its reason.
std::vector<nb::object> items_of(Evaluator &evaluator, const Tag &tag);

// The truth of an if's or elif's expression; a failure throws a Refusal.
bool holds(Evaluator &evaluator, const Tag &tag);

// Binds a for's names to one item, unpacking as Python's for statement does.  A
// failure throws a Refusal; undo with evaluator.unbind.
void bind(Evaluator &evaluator, const Tag &tag, nb::handle item);

// Binds a for's names to each of its items once, and undoes it: a section that
// cannot take one of its items fails before any copy is made.
void check_binding(Evaluator &evaluator, const Tag &tag, const std::vector<nb::object> &items);

// A text in Python's generator form, "EXPR for NAME in ITEMS": a loop (a for
// tag over ITEMS) and the expression each item gives.  `loop.kind` is Kind::None
// when the text is not one.
struct Generator {
    Tag loop;
    nb::object each;  // EXPR's text
};
Generator generator(nb::handle text);

// How places name an item of a for: "for item in items: item 3" (k from 0).
std::string item_place(const Tag &tag, size_t k);

}  // namespace tessel::sections
