// The A1 reference grammar of SpreadsheetML (formulas, range lists, drawing
// anchors) and how references move when rows are inserted into a sheet.  Plain
// C++ over UTF-8 text: it knows no Python, no XML and no filler.
#pragma once

#include "ooxml/numbers.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::sheets {

inline constexpr long kMaxRow = 1048576;
inline constexpr long kMaxColumn = 16384;

// Rows and columns as parts number them: from 1 in cell references, from 0 in
// drawing anchors, page breaks and legacy shapes.
inline constexpr ooxml::Bounds kRowNumber{1, kMaxRow};
inline constexpr ooxml::Bounds kColumnNumber{1, kMaxColumn};
inline constexpr ooxml::Bounds kRowIndex{0, kMaxRow - 1};
inline constexpr ooxml::Bounds kColumnIndex{0, kMaxColumn - 1};

// `count` rows inserted directly under row `row` (1-based), as a user selecting
// the rows below it in Excel and inserting; a negative count deletes the -count
// rows under `row`, as Excel deletes them.  A sheet's insertions apply in order,
// each one's row numbered in the layout that the earlier ones left.
struct Insertion {
    long row;
    long count;
};
using Insertions = std::vector<Insertion>;

// How a range meets an insertion under its last row.
enum class Growth {
    Cells,  // as Excel: a range grows only when rows go inside it (merged cells, array ranges)
    Block,  // a range that includes the row the rows go under also grows over them, so that
            // SUM(B4:B4) over a template row covers the whole block written from it
};

// One end of a reference: row 0 for a whole column, column 0 for a whole row.
struct Point {
    long row = 0, column = 0;
    bool row_fixed = false, column_fixed = false;
};

// A cell ("B4"), a range of cells ("$B$4:C5"), of whole rows ("4:4") or of whole
// columns ("B:D").
struct Area {
    Point first, last;
    bool range = false;
};

std::optional<Area> parse_area(std::string_view text);
std::string format_area(const Area &area);
std::string column_letters(long column);

// The row that a cell at `row` moves to; 0 when it is pushed off the sheet or
// deleted.
long moved_row(long row, const Insertions &insertions);
// The row that a cell now at `row` had before the insertions; 0 for an inserted row.
long original_row(long row, const Insertions &insertions);
// An area after the insertions; nothing when it is pushed off the sheet or lay
// wholly in deleted rows.  A single cell never grows: only ranges do, and a range
// that deleted rows cut into shrinks.
std::optional<Area> moved_area(Area area, const Insertions &insertions, Growth growth);

// A list of areas separated by spaces ("A1 B2:C3", as sqref attributes hold), each
// moved as a range; areas pushed off the sheet are dropped.
std::string moved_area_list(std::string_view list, const Insertions &insertions, Growth growth);

// The insertions that apply to the sheet a reference names, given unquoted; `sheet`
// is empty for a reference without a sheet.  Null: the sheet did not change.
using SheetLookup = std::function<const Insertions *(std::string_view sheet)>;

// A formula (without its leading "=") with every reference moved over the
// insertions of the sheet it names, ranges growing as Growth::Block; nothing when
// no reference changed.  Strings, function names, defined names, structured table
// references, external and 3-D references are left as they stand; a reference
// pushed off the sheet becomes #REF!.  With `cells_are_ranges`, a single cell
// counts as a range of one cell and grows too, as the values of a chart series do.
std::optional<std::string> moved_formula(std::string_view formula, const SheetLookup &lookup,
                                         bool cells_are_ranges = false);

// A formula (without "=") with the rows from `top` to `bottom` of its own sheet
// (references without a sheet, or naming one that `own` accepts) moved `by` rows,
// as a copy of those rows `by` rows lower sees them: row numbers fixed by "$"
// stay, and so do references to other rows.
std::string rows_shifted(std::string_view formula, long top, long bottom, long by,
                         const std::function<bool(std::string_view sheet)> &own);

// A formula (without "=") whose references to the sheet that `is_from` accepts
// (given its name unquoted) name sheet `to` instead; nothing when none does.
std::optional<std::string> renamed_sheet(std::string_view formula,
                                         const std::function<bool(std::string_view sheet)> &is_from,
                                         std::string_view to);

// The formula that a shared formula gives a cell `rows` and `columns` away from
// the cell that holds its text: the parts that are not fixed by "$" move by the offset.
std::string translated_formula(std::string_view formula, long rows, long columns);

// A drawing anchor's row markers: zero-based rows with their offsets into the row.
struct Marker {
    long row = 0;
    long long offset = 0;
};

// How an object drawn over a sheet follows its cells.
enum class Follow {
    MoveAndSize,  // both corners keep to their cells: it stretches over rows inserted inside it
    Move,         // it keeps its size and moves when its top moves
    Stay,         // absolute position
};

// Moves an anchor's top and bottom markers; the bottom is ignored for Follow::Move
// when the anchor has none.  False when a marker would leave the sheet, which
// Excel refuses ("cannot shift objects off sheet"); the markers are then moved
// as far as they went.
bool move_anchor(Marker &from, Marker &to, Follow follow, const Insertions &insertions);

}  // namespace tessel::sheets
