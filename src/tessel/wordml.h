// WordprocessingML editing on python-docx's lxml elements: the runs of a paragraph,
// their text, run merging that keeps every other child in place, and the writing
// of table cells.  Everything goes through lxml's Python API.
#pragma once

#include "placeholder.h"

#include <vector>

namespace tessel::wordml {

namespace nb = nanobind;

enum class Tag {
    R, T, RPr, PPr, Tab, Br, Cr, ProofErr, BookmarkStart, BookmarkEnd, LastRenderedPageBreak,
    Hyperlink, Sdt, SdtContent, Ins, MoveTo, SmartTag, CustomXml, Dir, Bdo,
    P, Tbl, Tr, Tc, TcPr, GridSpan, SectPr, Body, Other
};

// Imports what the helpers call (copy.deepcopy); at module init.
void init();

Tag tag_of(nb::handle el);

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

// Moves the characters of each placeholder that spans several neighbouring runs
// into the run where it starts; the other runs keep the rest of their text.
// Returns whether any text moved (runs it emptied are removed).
bool join_split_placeholders(nb::handle p, Pattern pattern);

// Replaces every occurrence of `delimited` in the run's text by `value` (a str),
// touching only w:t, w:tab, w:br and w:cr, so pictures and fields in the run stay.
// Tabs and line breaks in the value become w:tab and w:br, as python-docx does.
void replace_in_run(nb::handle r, nb::handle delimited, nb::handle value);

// Paragraphs and tables of a block container (body, cell, content control), in
// order, looking through block-level content controls and custom XML.
void collect_blocks(nb::handle container, std::vector<nb::object> &paragraphs,
                    std::vector<nb::object> &tables);

// Text of a table cell: its paragraphs' texts joined by "\n".
nb::object cell_text(nb::handle tc);

// The grid columns a cell covers (w:gridSpan, at least 1).
Py_ssize_t grid_span(nb::handle tc);

// Paragraph and run properties of a cell's first paragraph and first formatted run.
struct CellFormat {
    nb::object pPr;
    nb::object rPr;
};
CellFormat cell_format(nb::handle tc);

// Sets a cell's whole content to one paragraph holding `text`.  The cell keeps its
// own paragraph and run properties; a cell without them takes `fallback`'s.
void write_cell(nb::handle tc, nb::handle text, const CellFormat &fallback);

// Appends `count` rows after `last_tr` as python-docx's Table.add_row makes them:
// one empty cell per grid column, as wide as its column.  Returns the new rows.
std::vector<nb::object> append_rows(nb::handle tbl, nb::handle last_tr, Py_ssize_t count);

// Adds a grid column as wide as the last one, as python-docx's Table.add_column
// does, and an empty cell of that width at the end of every row of `rows`.
// Returns the new cells, one per row.
std::vector<nb::object> append_column(nb::handle tbl, const std::vector<nb::object> &rows);

// Width in EMU available to a picture in paragraph `p`: the text column of its
// section, narrowed to the cell's width inside a table.  -1 when unknown.
long long available_width(nb::handle p);

}  // namespace tessel::wordml
