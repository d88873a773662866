// The cell data of a worksheet part read as text: each row's start tag and each
// cell's markup kept where it stands, so that a rewrite can copy what it does not
// change byte for byte, with what a reader needs to know of each cell's value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::sheets {

struct TemplateCell {
    long row = 0, column = 0;
    // A cell whose reference names no cell of the grid ("A0", "A4294967298"): it
    // has no place, and `reference` is all there is of one.
    bool outside = false;
    std::string reference;
    size_t begin = 0, end = 0;  // the <c> element in the part
    size_t ref_begin = 0, ref_end = 0;  // its r attribute's value; both 0 without one
    std::string_view style;  // s, as written
    std::string_view type;   // t, as written
    bool has_formula = false;
    std::string_view formula_type;  // the f element's t: "shared", "array", "dataTable" or empty
    std::string formula;            // the f element's text, unescaped
    long shared_index = -1;         // its si, for a shared formula
    bool has_value = false;
    std::string value;              // the v element's text, unescaped
    size_t value_begin = 0, value_end = 0;  // the v element in the part
    bool has_inline = false;
    std::string inline_text;        // the text of an is element, phonetic runs left out
};

struct TemplateRow {
    long number = 0;
    size_t begin = 0, end = 0;        // the whole row element
    size_t tag_begin = 0, tag_end = 0;  // its start tag
    bool empty_tag = false;           // "<row .../>"
    size_t first_cell = 0, cell_count = 0;  // into SheetCells::cells
};

// A sheet part split around its cell data.  Throws std::invalid_argument, naming
// `part`, for cell data that cannot be read (a row or column out of the grid, rows
// out of order, markup that never closes).
struct SheetCells {
    std::string text;  // the whole part
    size_t data_open = 0, data_body = 0, data_close = 0;  // as repair::Span; close npos for <sheetData/>
    std::string data_qname;  // "sheetData" or "x:sheetData"
    std::string prefix;      // "x:" or ""
    std::vector<TemplateRow> rows;
    std::vector<TemplateCell> cells;
    std::vector<TemplateCell> outside;  // cells past the grid, in the order written

    std::string_view view() const { return text; }
    std::string_view markup(size_t begin, size_t end) const { return view().substr(begin, end - begin); }
};

SheetCells read_sheet_cells(std::string text, const std::string &part);

// The texts of a shared strings part, each <si> one entry: its runs' texts joined,
// phonetic runs left out, as a reader shows them.
std::vector<std::string> read_shared_strings(std::string_view text);

}  // namespace tessel::sheets
