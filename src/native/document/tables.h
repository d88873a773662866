// Tables as a reader sees them: rows (also those inside row-level content controls),
// each row's cells left to right with the grid columns they cover (gridBefore and
// gridSpan counted), and the edits that a block of values makes: writing a cell's
// text, copying a row, splitting vertical merges and adding columns within the room
// the page leaves.
#pragma once

#include "document/cell_look.h"
#include "document/wordml.h"

namespace tessel::wordml {

struct Cell {
    nb::object tc;
    Py_ssize_t column;  // first grid column covered, from 0
    Py_ssize_t span;    // grid columns covered, at least 1
    bool written = false;  // by a block of the fill under way
};

struct Row {
    nb::object tr;
    std::vector<Cell> cells;
    // The row's number as a reader of the template counts it, from 1.  Rows that
    // a block adds carry the number of the row they copy.
    size_t place;
    bool added = false;  // by a block of the fill under way
    // Grid columns the row leaves empty before its first cell and after its last
    // one (w:gridBefore, w:gridAfter), within the grid.
    Py_ssize_t before = 0;
    Py_ssize_t after = 0;
    // Some count the row's XML gives (gridBefore, gridAfter, a cell's gridSpan)
    // reaches past the grid, and was cut to it here.
    bool clamped = false;

    // The grid column after the row's last cell.
    Py_ssize_t end() const { return cells.empty() ? before : cells.back().column + cells.back().span; }
};

struct Table {
    nb::object tbl;
    std::vector<Row> rows;
};

// A table's rows, looking through row-level and cell-level content controls and
// custom XML.  Counts are held to the grid as Word holds them: gridBefore to the
// grid's width, a span to the columns left (at least one), gridAfter to the room
// the cells leave.  Cells past the grid's end still take a column each.
Table read_table(nb::handle tbl);

// Makes the table's XML say what read_table read: counts it cut are written cut,
// and grid columns as wide as the last are added until the grid holds the widest
// row.  Tables that were in order are left as they are.
void settle_grid(Table &table);

// Index of the first cell of `row` that covers grid column `column` or lies right
// of it; the row's cell count when there is none.
size_t cell_at(const Row &row, Py_ssize_t column);

// Text of a table cell: its paragraphs' texts joined by "\n".
nb::object cell_text(nb::handle tc);

// How the text of a cell looks: the properties of its first paragraph, and the run
// properties of the first text it holds (of its first formatted run when it holds
// none, else of its paragraph mark, which is what Word types with).  Note and
// comment references are no text of the cell.
struct CellFormat {
    nb::object pPr;
    nb::object rPr;
};
CellFormat cell_format(nb::handle tc);

// Sets a cell's text to `text`, in one run that keeps the cell's formatting: its
// first paragraph and the run of its first text stay, other paragraphs, nested
// tables and runs go.  Marks anchoring bookmarks and comments, note and comment
// references and the content controls and hyperlinks around the kept run stay.
void write_cell(nb::handle tc, nb::handle text, const CellLook &look);

// Ends every vertical merge in rows [first, end) among the cells that overlap grid
// columns [low, high), so that each of those cells stands alone; a merge that went
// on into row `end` starts afresh there.
void split_vertical_merges(Table &table, size_t first, size_t end, Py_ssize_t low, Py_ssize_t high);

// New rows built from a template row: its row properties (but not header repeat),
// every cell's properties and first paragraph's properties, and, in the cells of a
// block, one run with the properties of the text the template cell held.  Cells
// outside the block are empty; a vertical merge they were part of goes on through
// the new rows, while block cells are never merged.
class RowCopies {
public:
    // The block's cells are template.cells[first, first + count).
    RowCopies(const Row &template_row, size_t first, size_t count);

    // Adds `count` rows after the row `after`; appends them to `rows` with their
    // block cells marked written, and the w:t of each block cell, row by row and
    // left to right, to `texts`.
    void add(const Row &after, size_t count, std::vector<Row> &rows, std::vector<nb::object> &texts);

private:
    nb::object prototype_;
    std::vector<Cell> cells_;        // the prototype's cells, block cells marked written
    std::vector<size_t> positions_;  // each cell's index among the prototype's children
    size_t place_;
    Py_ssize_t before_, after_;
};

// Writes a value into the w:t of a copied row (see RowCopies::add).
void write_copy_text(nb::handle t, nb::handle text, const CellLook &look);

// Room for a table in twips: its cell's room when nested, else its section's text
// column (`fallback` when it lies outside the body), less its indent.  -1 unknown.
long long table_room(nb::handle tbl, long long fallback);

// Makes room for `extra` more cells at the end of row `index` of a settled table
// (see settle_grid): first in the grid columns the row leaves empty, then in new
// grid columns as wide as the last one.  Every other row that reaches the grid's
// end gets an empty cell for each new column, or a longer gridAfter when it ends
// with one; rows that stop short stay as they are.  New cells copy their row's last
// cell's formatting.  When the grid would pass `room` (twips, -1 unknown), or the
// table's own width if that is more, every column is narrowed in proportion; cell
// widths then follow their grid columns.  A grid wider than a length can be is
// refused with std::invalid_argument.
void widen(Table &table, size_t index, size_t extra, long long room);

}  // namespace tessel::wordml
