// A data frame's cells written straight into a worksheet's XML: numeric, boolean
// and time columns are read from their numpy buffers, other columns converted item
// by item once, so that a block of a million cells costs no Python object per
// numeric cell.  Each <c> element holds the value openpyxl would write for the
// value cells::convert gives, numbers exactly.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::cells {

namespace nb = nanobind;

// What kind of time a value is, for the number format a cell needs to show it.
enum class TimeKind : unsigned char { None, DateTime, Date, Time, Duration };

class FrameColumns {
public:
    // `date1904`: the workbook counts dates from 1904 (workbookPr date1904).
    FrameColumns(nb::handle frame, Py_ssize_t rows, Py_ssize_t columns, bool date1904);

    Py_ssize_t rows() const { return rows_; }
    Py_ssize_t columns() const { return (Py_ssize_t) columns_.size(); }

    // Column j holds a datetime (DateTime kind).
    bool has_datetimes(Py_ssize_t j) const { return columns_[(size_t) j].datetimes; }
    // ... and every datetime in it is at midnight.
    bool all_midnight(Py_ssize_t j) const {
        const Column &c = columns_[(size_t) j];
        return c.datetimes && c.midnight;
    }
    TimeKind time_kind(Py_ssize_t i, Py_ssize_t j) const;
    // NaN, None, NaT, pd.NA...
    bool empty(Py_ssize_t i, Py_ssize_t j) const;
    // Cannot be stored.
    bool refused(Py_ssize_t i, Py_ssize_t j) const;
    // The refused cells, row-major: (i, j) pairs.
    const std::vector<std::pair<Py_ssize_t, Py_ssize_t>> &refused_cells() const { return refused_; }

    // The converted value as cells::convert gives it (None for empty,
    // cells::refused_marker() for refused), for the few cells that land on cells
    // the template already has.
    nb::object value(Py_ssize_t i, Py_ssize_t j) const;

    // Appends the <c> element of value (i, j) at reference `ref` ("B7") with style
    // index `style` (style < 0: no s attribute).  An empty value gives
    // `<c r=".." s=".."/>` when style >= 0, else nothing; so does a refused one.
    void write_cell(std::string &out, Py_ssize_t i, Py_ssize_t j, std::string_view ref, long style) const;

private:
    // Where a column's values come from.
    enum class Source : unsigned char { Bool, Signed, Unsigned, Float32, Float64, Times, Durations, Objects, Texts };

    struct Column {
        Source source = Source::Objects;
        nb::object owner;  // the array the buffer belongs to, or the list of converted objects
        const char *data = nullptr;
        Py_ssize_t stride = 0;
        int width = 0;                // bytes per integer
        std::vector<int64_t> micros;  // times and durations, in microseconds
        // Texts held by Arrow (pandas' own string type): UTF-8 bytes between
        // offsets, never turned into Python strings.
        const char *offsets = nullptr;  // row i spans [offset i, offset i + 1) of `data`
        bool large = false;             // 64-bit offsets
        std::vector<unsigned char> state;  // per row: 0 a text, 1 missing, 2 refused
        bool datetimes = false;
        bool midnight = true;
    };

    void read_column(nb::handle series, Column &c);
    void read_objects(nb::handle series, Column &c);
    bool read_texts(nb::handle series, Column &c);
    void read_times(nb::object array, Column &c, bool is_datetime);
    double number(const Column &c, Py_ssize_t i) const;
    std::string_view text(const Column &c, Py_ssize_t i) const;
    void write_object(std::string &out, nb::handle v, std::string_view ref, long style) const;

    Py_ssize_t rows_;
    bool date1904_;
    std::vector<Column> columns_;
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> refused_;
};

// Defines the module's private hooks that tests reach the writer through.
void def_frame_hooks(nb::module_ &m);

}  // namespace tessel::cells
