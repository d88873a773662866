// The styles part of a workbook edited in place: the fill styles cells through
// openpyxl's in-memory model, built here from the template's own part, and only
// the styles it made are appended to the part at the end, so that everything the
// model leaves out (extensions, slicer styles, unknown attributes) stays as written.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessel::styles {

namespace nb = nanobind;

// An openpyxl Workbook, without sheets, whose style tables are those of the
// template's styles part; without a part (nullopt) openpyxl's defaults stand, as
// load_workbook leaves them.  A broken part raises what load_workbook raises.
nb::object styled_workbook(const std::optional<std::string> &styles_xml);

class StyleSheet {
public:
    // `workbook` as styled_workbook made it from the same part, before any fill.
    StyleSheet(nb::handle workbook, std::optional<std::string> styles_xml);
    StyleSheet(const StyleSheet &) = delete;  // its tables point into its sections
    StyleSheet &operator=(const StyleSheet &) = delete;

    // A fresh copy of the style array that openpyxl's reader gives a template cell
    // with style index `s` (negative indices count from the end; out of range raises
    // IndexError, as loading such a cell does).
    nb::object array_of(long s) const;

    // The cellXfs index to write for a cell with this style array: the template's
    // lowest index that reads as it, else an xf appended along with whatever number
    // format, font, fill and border it needs that the part lacks.
    long index_of(nb::handle style_array);

    // The styles part with the additions, or nothing when none was needed.  Without
    // a template part the result is a complete part that the caller adds to the
    // package with its relationship and content type.
    std::optional<std::string> finished() const;

private:
    using Ids = std::array<int, 9>;

    // One list of the part that new elements are appended to.
    struct Section {
        Section(const char *name, const char *item, int rank) : name(name), item(item), rank(rank) {}
        const char *name;  // local name of the list: "fonts"
        const char *item;  // of its elements: "font"
        int rank;          // place among the stylesheet's children
        bool present = false;
        std::string qname;  // as written, prefix included
        size_t open = 0, open_end = 0, close = 0;
        bool empty = false;  // <fonts count="0"/>
        std::optional<std::pair<size_t, size_t>> count;  // the count value's span
        long children = 0;
        long appended = 0;
        std::string added;
    };

    // A table of the model whose ids the xfs hold.
    struct Table {
        Table(const char *attribute, Section *section) : attribute(attribute), section(section) {}
        const char *attribute;  // of the workbook: "_fonts"
        Section *section;
        long initial = 0;  // the model's length before the fill
        long base = 0;     // model ids below it are the template's, the same in the part
        std::map<long, long> placed;  // later model ids -> id in the part
    };

    void read_layout();
    void seed_defaults();
    long append_xf(const Ids &ids);
    long place(Table &table, long model_id);
    long number_format(long model_id);
    std::string serialised(nb::handle element) const;

    nb::object workbook_;
    nb::object style_array_;  // openpyxl's StyleArray
    std::string part_;
    bool degenerate_ = false;  // the model's tables are openpyxl's defaults, not the part's
    bool seeded_ = false;
    std::string prefix_;     // of the part's own elements, colon included
    std::string namespace_;  // the part's main namespace
    std::string root_qname_;
    size_t root_end_ = 0, root_close_ = 0;
    bool root_empty_ = false;
    std::vector<std::pair<int, size_t>> ranked_children_;  // (rank, start) of the root's children

    nb::list arrays_;  // the model's arrays as read, by template index
    std::map<Ids, long> template_index_;
    std::map<Ids, long> cache_;

    Section formats_{"numFmts", "numFmt", 0};
    Section fonts_{"fonts", "font", 1};
    Section fills_{"fills", "fill", 2};
    Section borders_{"borders", "border", 3};
    Section xfs_{"cellXfs", "xf", 5};
    Table font_table_{"_fonts", &fonts_};
    Table fill_table_{"_fills", &fills_};
    Table border_table_{"_borders", &borders_};

    std::map<std::string, long> template_formats_;  // code -> the part's lowest id for it
    std::map<std::string, long> new_formats_;
    long next_format_id_ = 164;
    long builtin_max_ = 164;
};

// Private test hooks of module gridfill.
void def_style_hooks(nb::module_ &m);

}  // namespace tessel::styles
