// Runs and their text: the runs of a paragraph in reading order, the text a reader
// sees in them, run merging that keeps every other child in place, and writing text
// into runs.
#pragma once

#include "document/wordml.h"

#include <functional>
#include <utility>

namespace tessel::wordml {

// The runs of a paragraph in reading order, also those inside hyperlinks, content
// controls, insertions, smart tags and custom XML; not those of deleted text nor of
// paragraphs nested in text boxes.
std::vector<nb::object> runs_of(nb::handle p);

// The run's text as python-docx reads it: w:t, w:tab as "\t", w:br and w:cr as "\n".
nb::object run_text(nb::handle r);

// The text of a paragraph: its runs' texts joined.
nb::object paragraph_text(nb::handle p);

// Joins neighbouring runs that hold only formatted text and have equal run
// properties.  Proofing marks between joined runs are dropped; every other child of
// the paragraph stays where it is.  The joined run keeps the first run's
// properties and attributes.
void merge_runs(nb::handle p);

// A range [begin, end) of characters in a text.
using Range = std::pair<Py_ssize_t, Py_ssize_t>;

// Reads each stretch of text that neighbouring runs hold (w:t after w:t, across
// run boundaries, proofing marks and bookmarks) as one text, asks `find` which
// ranges of it must stay together, and moves the characters of each such range
// that spans several runs into the run where it starts; the other runs keep the
// rest of their text and runs emptied by the move are removed.  Returns whether
// any text moved.
bool gather_ranges(nb::handle p, const std::function<std::vector<Range>(nb::handle)> &find);

// Replaces every occurrence of `target` in the run's text by `value` (a str),
// touching only w:t, w:tab, w:br and w:cr, so pictures and fields in the run stay.
// Tabs and line breaks in the value become w:tab and w:br, as python-docx does.
void replace_in_run(nb::handle r, nb::handle target, nb::handle value);

// Cuts run `r` before character `at` of its text: the characters from `at` on, and
// the pictures, fields and marks among them, move to a new run with the same
// properties, put right after `r`, which it returns.  Such a child standing exactly
// at `at` moves only when `marks_follow`.
nb::object split_run(nb::handle r, Py_ssize_t at, bool marks_follow);

// True when a str holds a tab or a line break.
bool has_controls(nb::handle text);

// Splits a w:t whose text holds tabs or line breaks into w:t, w:tab and w:br.
void expand_controls(nb::handle t);

}  // namespace tessel::wordml
