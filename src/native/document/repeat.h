// Sections of a document story: where a section's tags stand decides what it
// repeats or shows.  Block and row sections are expanded before the story is
// filled, each copy remembering the items it stands for; inline sections are
// left to the fill of their paragraph (see pagefill.cpp), which knows its runs.
#pragma once

#include "core/placeholder.h"
#include "core/sections.h"
#include "document/wordml.h"

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace tessel::wordml {

// The item a copy stands for, inside the items of the sections around it.
struct Link {
    std::shared_ptr<const Link> outer;
    sections::Tag tag;
    nb::object item;    // invalid when listing: nothing is bound
    std::string place;  // ", for x in xs: item 2", the outer sections' first
};
using Chain = std::shared_ptr<const Link>;

inline const std::string &place_of(const Chain &chain) {
    static const std::string none;
    return chain ? chain->place : none;
}

// A tag placeholder found in a paragraph once Word's pieces of it are gathered.
struct TagRun {
    nb::object run;
    Py_ssize_t begin, end;  // in the run's text, delimiters included
    sections::Tag tag;
    nb::object placeholder;
};

// The tags of a paragraph in reading order, each within one run.
std::vector<TagRun> tag_runs(nb::handle p, Pattern pattern);

// Splits a tag's run around it, so that the tag has a run of its own, which it
// returns.  Later tags of the run keep their run; earlier ones move.
nb::object own_run(const TagRun &tag);

// Gives a cell or text box that lost its last paragraph an empty one: Word wants one.
void keep_a_paragraph(nb::handle container);

// A tag whose text a row section took out of its cell, reported with the cell
// it stood in (of the first copy), or with its table when no such cell is left.
struct RowTag {
    nb::object placeholder;
    size_t row, column;  // from 1, for a table
    std::string chain;
    bool closes;  // reported after the cell's placeholders
};

class Repeater {
public:
    // `filler` gives the pattern, read once a paragraph holds a brace.
    Repeater(Evaluator &evaluator, nb::object filler, nb::object main_part)
        : evaluator_(evaluator), filler_(std::move(filler)), main_part_(std::move(main_part)),
          base_(evaluator.mark()) {}

    // Expands the block and row sections of a story (the body, a header, a
    // footer, a text box's content) whose elements stand for `chain`; `prefix`
    // names the story in places.
    void expand(nb::handle root, const Chain &chain, const std::string &prefix);

    // The items an element stands for: those of the innermost copy holding it.
    Chain chain_of(nb::handle el) const;

    // Binds a chain's items over the variables, in place of those bound before.
    void enter(const Chain &chain);

    // For a paragraph holding tags: per tag, in order, why it fails, or invalid
    // where it belongs to a section of its own paragraph.  Null for others.
    const std::vector<nb::object> *tags_of(nb::handle p) const;

    // True for a paragraph that only held a block section's tag, which it gives.
    bool tag_paragraph(nb::handle p, nb::object &placeholder) const;

    // Takes the row tags of a cell or table, in the order the sections were expanded.
    std::vector<RowTag> take_row_tags(nb::handle el);

    // Writes back the note parts that copies added notes to; before saving.
    void finish();

private:
    struct At;
    void process(std::vector<At> tags, const Chain &chain);
    void handle(std::vector<At> &tags, const sections::Structure &s, size_t index,
                const std::vector<std::vector<size_t>> &children, const Chain &chain);
    std::vector<At> collect(const std::vector<nb::object> &nodes, nb::handle tbl);
    void fail(const At &at, nb::handle reason);
    std::string place_in_story(nb::handle p);
    void cut_tags(const std::vector<const At *> &tags);
    void note_row_tag(const At &at, const Chain &chain, nb::handle tc, bool closes);
    // The XML of the main part's footnotes, endnotes or comments, or None.
    nb::object notes_part(const char *type);
    void copy_notes(const std::vector<nb::object> &copy, const char *type, const char *reference, const char *note);
    // The list a paragraph style numbers with, and at which level; empty for none.
    std::pair<std::string, std::string> style_list(const std::string &style);
    void fix_copy(const std::vector<nb::object> &copy, const std::vector<std::string> &restart, size_t k);

    Pattern pattern();

    Evaluator &evaluator_;
    nb::object filler_;
    std::optional<Pattern> pattern_;
    nb::object main_part_;
    size_t base_;
    Chain entered_;
    nb::object root_;
    std::string prefix_;
    // Keyed by element; the element is held so that lxml keeps giving the same proxy.
    std::unordered_map<PyObject *, std::pair<nb::object, Chain>> chains_;
    std::unordered_map<PyObject *, std::pair<nb::object, std::vector<nb::object>>> notes_;
    std::unordered_map<PyObject *, std::pair<nb::object, nb::object>> tag_paragraphs_;
    std::unordered_map<PyObject *, std::pair<nb::object, std::vector<RowTag>>> row_tags_;
    std::unordered_map<PyObject *, long long> next_drawing_, next_bookmark_;
    long long next_num_ = 0;  // the next w:num id, once one was needed
    std::unordered_map<std::string, long long> next_note_;  // the highest note id, by type
    std::unordered_map<std::string, std::pair<std::string, std::string>> style_lists_;
    // Note parts by type: (part, its XML, whether the XML was read from bytes).
    std::unordered_map<std::string, std::tuple<nb::object, nb::object, bool>> note_parts_;
};

// What copying `nodes` makes, for safe mode's budget: about the length of their
// markup (8 for each element and attribute, and their text), which is what a
// copy holds in memory, give or take a constant.
long long markup_size(const std::vector<nb::object> &nodes);

}  // namespace tessel::wordml
