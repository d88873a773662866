// A workbook filled in its own package.  The fill's walk sees each worksheet as an
// openpyxl model (its cells, merged cells, row heights, page setup and the
// template's styles), built from the package by reading the cell data as text;
// the filled workbook is then written into the template package itself: every
// part the fill did not change is copied as it is, a changed sheet's cells are
// copied as written except those the fill wrote, and a data frame's rows are
// streamed from its columns without a Python object per cell.
#pragma once

#include "ooxml/package.h"
#include "ooxml/parts.h"
#include "workbook/frame_cells.h"
#include "workbook/row_insertion.h"
#include "workbook/sheet_cells.h"
#include "workbook/style_sheet.h"

#include <nanobind/nanobind.h>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tessel::native {

namespace nb = nanobind;

// A formula of a block's template row, written into each of the block's new rows
// with its relative references moved row by row.
struct FilledDown {
    long column;
    std::string formula;  // without "=", in the template's layout
    nb::object style;     // the template cell's StyleArray
};

// A data frame written from its columns when the sheet is, rather than cell by
// cell into the model.
struct FrameBlock {
    std::shared_ptr<cells::FrameColumns> columns;
    long top = 0;           // the row its first values stand in now
    std::vector<long> at;   // the column each frame column lands in, those within the sheet
    std::vector<std::pair<long, long>> merges;  // columns merged in each of its new rows
    std::vector<FilledDown> filled_down;        // formulas filled down its new rows
    // Rows inserted after it was placed, in order; those under one of its rows
    // part it (only a block that a recursive fill wrote into can be parted).
    sheets::Insertions later;
    // Offsets that the model holds a cell for: the template's, or one a nested
    // fill made; the block writes nothing there.
    std::unordered_set<unsigned long long> covered;
    // Per column offset, the style each kind of value takes (openpyxl StyleArrays,
    // or invalid for none), indexed by cells::TimeKind.
    std::vector<std::array<nb::object, 5>> styles;
    nb::object height;  // the template row's height, given to its new rows; None for none

    static unsigned long long key(Py_ssize_t i, Py_ssize_t j) {
        return ((unsigned long long) i << 16) | (unsigned long long) j;
    }
    // The row that offset i stands in now.
    long row_of(Py_ssize_t i) const;
};

class PackageSheet {
public:
    std::string name, part;
    nb::object model;  // openpyxl Worksheet
    std::vector<FrameBlock> blocks;
    std::map<std::string, std::string> headers;  // filled header and footer items by kind
    bool cached_results = false;  // some formula of the template holds its last result
    // Cells that sections copied, with formulas written in the layout left by the
    // first n of the sheet's insertions: only the later ones move them.
    std::unordered_map<PyObject *, size_t> formula_layout;
    std::vector<nb::object> copied_cells;  // keeps those keys alive
    // Merged ranges that sections copied, each in the layout after the first n insertions.
    std::vector<std::pair<std::string, size_t>> added_merges;

private:
    friend class PackageBook;
    struct Origin {
        long row, column;  // in the template
        nb::object value;            // as read
        std::array<int, 9> style;   // its StyleArray's ids as read
    };
    std::unordered_map<PyObject *, Origin> origins_;  // model cells read from the template
    std::vector<nb::object> kept_;                     // keeps those keys alive
};

class PackageBook {
public:
    // Reads the template (a path or a binary stream).  Raises ValueError naming the
    // part for a worksheet it cannot read.
    explicit PackageBook(nb::handle template_path);

    // The worksheets in workbook order, as the walk visits them.
    std::vector<PackageSheet> &sheets() { return sheets_; }
    PackageSheet *sheet_of(nb::handle model);
    bool date1904() const { return date1904_; }
    // The package the workbook is written into, for what edits its parts during the walk.
    ooxml::Package &package() { return pkg_; }

    // Replaces the sheet at `index` with one copy per name, in its place.  Each
    // copy gets its own part and its own copies of the parts the sheet owns
    // (drawings, charts, tables under new names, comments, printer settings),
    // sharing pictures; names local to the sheet are repeated for each copy.
    // Formulas elsewhere that name the sheet name the first copy once saved.
    // Throws std::invalid_argument when no copy is asked for and the sheet is
    // the workbook's only one.
    void repeat_sheet(size_t index, const std::vector<std::string> &names);

    // Writes the filled workbook to `target` (a path or a stream), rows inserted
    // as `inserted` ({sheet name: [(row, count), ...]}) says.
    void save(nb::handle target, nb::handle inserted, int compress_level);

private:
    void read_sheet(PackageSheet &sheet);
    bool changed(const PackageSheet &sheet) const;
    void move_objects(const PackageSheet &sheet, const sheets::Insertions &own,
                      const repair::SheetInsertions &all);
    void write_sheet(PackageSheet &sheet, const repair::SheetInsertions &all,
                     const std::optional<std::string> &drawing_id, bool recalculate);
    void recalculate_on_load();
    std::string copy_part(const std::string &from, ooxml::ContentTypes &types, const std::set<std::string> &leaving,
                          const std::pair<std::string, std::string> &sheet);
    void rename_sheets();

    ooxml::Package pkg_;
    nb::object workbook_;  // openpyxl Workbook holding the template's styles
    std::unique_ptr<styles::StyleSheet> styles_;
    std::vector<std::string> shared_;
    std::vector<PackageSheet> sheets_;
    bool date1904_ = false;
    std::vector<std::pair<std::string, std::string>> renamed_;  // sheets repeated: (template name, first copy's)
};

}  // namespace tessel::native
