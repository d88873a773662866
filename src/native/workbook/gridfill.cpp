// tessel.gridfill: fills .xlsx workbook templates and repairs the saved package.
#include "core/confinement.h"
#include "core/once.h"
#include "core/picture_values.h"
#include "core/placeholder.h"
#include "core/sections.h"
#include "ooxml/file_kind.h"
#include "ooxml/numbers.h"
#include "ooxml/package.h"
#include "workbook/alt_pictures.h"
#include "workbook/block_style.h"
#include "workbook/cell_values.h"
#include "workbook/frame_cells.h"
#include "workbook/headers.h"
#include "workbook/package_book.h"
#include "workbook/package_hooks.h"
#include "workbook/page_fit.h"
#include "workbook/references.h"
#include "workbook/repair.h"
#include "workbook/row_insertion.h"
#include "workbook/sheets.h"
#include "workbook/sheet_pictures.h"
#include "workbook/style_sheet.h"
#include "workbook/worksheet_rows.h"

#include <datetime.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <memory>
#include <queue>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using tessel::Pattern;
namespace cells = tessel::cells;
namespace sheets = tessel::sheets;
namespace grid = tessel::grid;

namespace {

constexpr const char *kClassDoc = "Fill placeholders of an xlsx workbook template.";

constexpr const char *kRecurseRestoreDoc =
    "\n:param recurse: recurse replace placeholder in replaced cell."
    "\n:param restore: restore resourse directories, workbook relationships, drawing tags, content "
    "types.";

constexpr const char *kInsertDoc =
    "\n:param insert: make room for a data frame's rows by inserting rows under its cell.";

constexpr const char *kEngineDoc =
    "\n:param engine: \"native\" fills the template package itself and keeps every part it does not"
    "\nchange as it is; \"openpyxl\" loads and saves the workbook through openpyxl, then restores what"
    "\nopenpyxl drops."
    "\n:param compresslevel: zlib level (0-9) of the parts the native engine rewrites.";

constexpr const char *kCheckDoc =
    "Fill an xlsx workbook template as the call does, without saving it, and report\n"
    "every placeholder met.\n"
    ":param template_path: path to xlsx template, must be endwith .xlsx file.\n"
    ":param env: Variables environment; if not specified use local and global variables of\n"
    "the caller.\n"
    ":param evaluate: False lists the placeholders without running any of them.\n"
    ":return: one Finding per placeholder, in order; its reason is None when it would fill.";

constexpr const char *kCallDoc =
    "Fill the placeholders of an xlsx workbook template and save the filled workbook.\n"
    ":param template_path: path to xlsx template, must be endwith .xlsx file.\n"
    ":param save_path: path to save xlsx, must be endwith .xlsx file.\n"
    ":param env: Variables environment - a dict mapping varible names to pandas DataFrame, Series "
    "or BytesIO.\n"
    "If not specified use local and global variables of the caller.\n"
    ":return: except placeholders and save the xlsx to save_path.";

nb::handle module_handle;
nb::handle native_extract;  // the class's own extract_placeholder
nb::handle cell_type;       // openpyxl.cell.cell.Cell
nb::handle merged_type;     // openpyxl.cell.cell.MergedCell
nb::handle overwrite_warning;  // tessel.results.OverwriteWarning
nb::handle is_date_format;     // openpyxl.styles.numbers.is_date_format
nb::handle one_cell_anchor;    // openpyxl's OneCellAnchor and XDRPositiveSize2D
nb::handle positive_size;

// A cell position packed so that the natural order of the numbers is the order of
// the traversal: row by row, and left to right within a row.
using Position = std::uint64_t;

Position position(long row, long column) {
    return ((Position) (std::uint32_t) row << 32) | (std::uint32_t) column;
}
long row_of(Position p) { return (long) (p >> 32); }
long column_of(Position p) { return (long) (p & 0xFFFFFFFFu); }

// What one call shares between its worksheets.
struct Call {
    nb::handle self;
    tessel::Evaluator evaluator;
    tessel::Report &report;
    nb::object data_frame;  // block values
    nb::dict inserted;      // {sheet title: [(row, count), ...]} for the package step
    std::vector<nb::str> warnings;  // emitted once the walk is over
    const tessel::headers::TemplateHeaders &headers;
    tessel::repair::InsertionCheck &insertion_check;
    tessel::native::PackageBook *book;  // the native engine's workbook; null with openpyxl's
    // With openpyxl's engine, the template's pictures with an alternative text, by sheet.
    std::map<std::string, std::vector<tessel::pictures::AltPicture>> template_pictures;
};

// "B4" for row 4, column 2.
std::string coordinate(long row, long column) { return sheets::column_letters(column) + std::to_string(row); }

// Cells named as ranges: "B5:D8, F10", rows of equal runs of columns merged.
std::string ranges_of(std::vector<Position> cells) {
    std::sort(cells.begin(), cells.end());
    struct Box {
        long top, bottom, left, right;
    };
    std::vector<Box> boxes;
    std::map<std::pair<long, long>, size_t> open;  // columns -> box still growing down
    for (size_t i = 0; i < cells.size();) {
        const long row = row_of(cells[i]);
        long left = column_of(cells[i]), right = left;
        size_t j = i + 1;
        while (j < cells.size() && row_of(cells[j]) == row && column_of(cells[j]) == right + 1)
            right = column_of(cells[j++]);
        auto it = open.find({left, right});
        if (it != open.end() && boxes[it->second].bottom == row - 1) {
            boxes[it->second].bottom = row;
        } else {
            open[{left, right}] = boxes.size();
            boxes.push_back(Box{row, row, left, right});
        }
        i = j;
    }
    std::sort(boxes.begin(), boxes.end(),
              [](const Box &a, const Box &b) { return std::tie(a.top, a.left) < std::tie(b.top, b.left); });
    constexpr size_t kShown = 8;
    std::string out;
    for (size_t i = 0; i < boxes.size() && i < kShown; ++i) {
        const Box &b = boxes[i];
        if (!out.empty())
            out += ", ";
        out += coordinate(b.top, b.left);
        if (b.bottom != b.top || b.right != b.left)
            out += ":" + coordinate(b.bottom, b.right);
    }
    if (boxes.size() > kShown)
        out += " and " + std::to_string(boxes.size() - kShown) + " more ranges";
    return out;
}

// Why a section tag fails in the openpyxl engine.
constexpr const char *kSectionsNeedNative = "sections need engine='native'";
constexpr const char *kPicturesNeedNative = "pictures by alternative text need engine='native'";

// What safe mode's budget counts for each cell a section copies: the characters
// of a cell's markup, at the least, so that the budget bounds the memory copies take.
constexpr long long kCellMarkup = 32;
// And for each sheet copied: the parts of an empty sheet.
constexpr long long kSheetMarkup = 1000;

// Runs `step` with Python's garbage collection paused: while a step makes many
// model objects and no garbage, collecting would cost more than the making.
template <typename Step> void without_collection(Step &&step) {
    const int collecting = PyGC_Disable();
    try {
        step();
    } catch (...) {
        if (collecting)
            PyGC_Enable();
        throw;
    }
    if (collecting)
        PyGC_Enable();
}

// The fill of one worksheet.  It visits the same cells, in the same order and
// within the same bounds as a walk over every position from A1 to the used range
// that reads max_column afresh for each row, but it only looks at positions that
// hold a cell: an empty position has no text, and asking openpyxl for it would
// create a cell.  The used range is tracked here as the fill writes, since
// openpyxl computes it by scanning every cell.
//
// With `insert` on, a block makes room for its rows: the rows under it move down
// (worksheet_rows.h) and the walk goes on under the block.  The cells the walk
// started with keep their template positions here and are placed by the rows
// inserted above them so far.
class SheetFill {
public:
    // `source`: the title of the template sheet that a repeated sheet copies.
    SheetFill(Call &call, nb::handle sheet, nb::handle source = nb::handle())
        : call_(call), sheet_(nb::borrow(sheet)), native_(call.book ? call.book->sheet_of(sheet) : nullptr) {
        title_ = sheet.attr("title");
        source_title_ = source.is_valid() ? nb::borrow(source) : title_;
        cells_ = sheet.attr("_cells");
        if (!PyDict_Check(cells_.ptr()))
            throw nb::type_error("a worksheet's cells must be held in a dict");
    }

    void run() {
        // The boxes of the pictures are measured on the template's rows, where
        // their anchors stand until the package is saved.
        std::optional<tessel::pictures::SheetDrawing> drawing;
        std::optional<tessel::pictures::Grid> grid;
        if (native_) {
            nb::object ignored;
            tessel::guarded([&] { drawing.emplace(call_.book->package(), native_->part); }, ignored);
            if (drawing && !drawing->pictures().empty())
                grid.emplace(sheet_);
        }
        collect();
        if (find_tags()) {
            if (native_ && !call_.evaluator.listing())
                expand();
            start_.clear();
            outside_.clear();
            collect();
        }
        size_t next = 0, pending = 0;
        long row = 0, bound = 0;
        for (unsigned long visits = 1;; ++visits) {
            Position p;
            nb::object cell;
            long place_row;
            const bool from_start = next < start_.size();
            const Position start = from_start ? now(start_[next].position) : 0;
            if (from_start && (created_.empty() || start < created_.top())) {
                for (; pending < pending_.size() && pending_[pending].at <= start_[next].position; ++pending)
                    report_pending(pending_[pending]);
                p = start;
                cell = start_[next].cell;
                place_row = row_of(start_[next].position);
                if (place_row != settled_row_) {
                    settled_row_ = place_row;
                    settled_offset_ = inserted_;
                }
                ++next;
            } else if (!created_.empty()) {
                p = created_.top();
                created_.pop();
                cell = cell_at(p);
                place_row = row_of(p);
            } else {
                break;
            }
            const long r = row_of(p), c = column_of(p);
            if (r > max_row_)
                break;
            if (r != row) {
                row = r;
                bound = max_column_;
            }
            if ((visits & 0xFFF) == 0)
                tessel::check_signals();
            if (c > bound)
                continue;
            if (replaced(p) && !tessel::truthy(nb::getattr(call_.self, "recurse")))
                continue;
            if (cell.is_valid())
                visit(cell, r, c, place_row);
        }
        for (; pending < pending_.size(); ++pending)
            report_pending(pending_[pending]);
        bind_chain(0);
        fail_outside();
        fill_headers();
        fill_pictures(drawing ? &*drawing : nullptr, grid ? &*grid : nullptr);
        if (!insertions_.empty()) {
            nb::list rows;
            for (const sheets::Insertion &ins : insertions_)
                rows.append(nb::make_tuple(ins.row, ins.count));
            call_.inserted[title_] = rows;
        }
    }

private:
    struct Entry {
        Position position;  // in the template
        nb::object cell;
    };

    // Where a cell the walk started with stands now: rows inserted while its own
    // row was being visited lie under it.
    Position now(Position in_template) const {
        const long r = row_of(in_template);
        return position(r + (r == settled_row_ ? settled_offset_ : inserted_), column_of(in_template));
    }

    void collect() {
        PyObject *key, *value;
        Py_ssize_t at = 0;
        start_.reserve((size_t) PyDict_GET_SIZE(cells_.ptr()));
        while (PyDict_Next(cells_.ptr(), &at, &key, &value)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2)
                throw nb::type_error("a worksheet's cells must be keyed by (row, column)");
            int row_overflow = 0, column_overflow = 0;
            const long r = PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(key, 0), &row_overflow);
            const long c = PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(key, 1), &column_overflow);
            if (PyErr_Occurred())
                throw nb::python_error();
            if (row_overflow || column_overflow || r < sheets::kRowNumber.min || r > sheets::kRowNumber.max ||
                c < sheets::kColumnNumber.min || c > sheets::kColumnNumber.max) {
                outside_.push_back(nb::borrow(value));
                continue;
            }
            start_.push_back({position(r, c), nb::borrow(value)});
            max_column_ = std::max(max_column_, c);
        }
        // openpyxl loads a sheet row by row, so the order is usually there already.
        auto before = [](const Entry &a, const Entry &b) { return a.position < b.position; };
        if (!std::is_sorted(start_.begin(), start_.end(), before))
            std::sort(start_.begin(), start_.end(), before);
        max_row_ = start_.empty() ? 1 : row_of(start_.back().position);
        if (start_.empty())
            max_column_ = 1;
    }

    nb::object cell_at(Position p) {
        nb::object key = nb::make_tuple(row_of(p), column_of(p));
        PyObject *cell = PyDict_GetItemWithError(cells_.ptr(), key.ptr());
        if (!cell && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(cell);
    }

    // The placeholders of a cell's text, as the filler's extract_placeholder finds them.
    nb::object placeholders_in(nb::handle value) {
        nb::object extract = nb::getattr(call_.self, "extract_placeholder");
        if (!tessel::is_bound_method(extract, native_extract))
            return extract(value);
        const Pattern pattern = tessel::read_pattern(call_.self);
        nb::list found;
        for (const tessel::Match &m : tessel::scan(value, pattern))
            found.append(tessel::placeholder_of(value, m, pattern));
        return found;
    }

    void visit(nb::handle cell, long row, long column, long place_row) {
        nb::object value = cell.attr("value");
        if (!PyUnicode_Check(value.ptr()))
            return;
        nb::object placeholders = placeholders_in(value);
        if (!nb::len(placeholders))
            return;

        // The cell's text as the in-text replacements leave it; written back once.
        nb::object text = value;
        bool changed = false;
        size_t chain = 0;
        if (!origins_.empty()) {
            auto origin = origins_.find(cell.ptr());
            if (origin != origins_.end()) {
                chain = origin->second.chain;
                place_row = origin->second.row;
            }
        }
        bind_chain(chain);
        if (!tags_.empty()) {
            // Tags first: the cell's other placeholders fill as if the tags that
            // worked had never stood there ("{for x in xs}{x}{end for}" holds {x} whole).
            nb::list others;
            size_t occurrence = 0;
            bool tagged = false;
            for (nb::handle placeholder : placeholders) {
                if (tessel::sections::parse(placeholder).kind == tessel::sections::Kind::None) {
                    others.append(placeholder);
                    ++occurrence;
                    continue;
                }
                tagged = true;
                visit_tag(placeholder, tessel::delimited(placeholder, tessel::read_pattern(call_.self)), text,
                          place_row, column, chain, occurrence++);
            }
            if (tagged) {
                if (!text.is(value))
                    cell.attr("value") = text;
                if (!PyUnicode_Check(text.ptr()))
                    return;
                value = text;
                placeholders = std::move(others);
            }
        }
        for (nb::handle placeholder : placeholders) {
            nb::str delimited = tessel::delimited(placeholder, tessel::read_pattern(call_.self));
            bool ok;
            nb::object reason;
            if (names_sheet(value, placeholder, delimited))
                continue;
            if (delimited.equal(value)) {
                if (changed) {
                    cell.attr("value") = text;
                    changed = false;
                }
                ok = tessel::guarded([&] { place_whole(placeholder, cell, row, column, place_row); }, reason);
                text = nb::object();  // read again by a later in-text replacement
            } else {
                ok = tessel::guarded(
                    [&] {
                        if (!text.is_valid())
                            text = cell.attr("value");
                        replace_in_text(placeholder, delimited, text);
                        changed = true;
                    },
                    reason);
            }
            if (ok)
                call_.report.filled(placeholder, [&] { return place_in(place_row, column, chain); });
            else
                call_.report.failed(placeholder, place_in(place_row, column, chain), reason);
            // Placeholders a block wrote over were never filled.
            for (const Lost &lost : lost_)
                call_.report.failed(lost.placeholder, lost.place, lost.reason);
            lost_.clear();
        }
        if (changed)
            cell.attr("value") = text;
    }

    // Sections.  A tag found in the template, where it stands there.
    struct TagAt {
        long row, column;
        size_t occurrence;  // among the placeholders of its cell
        nb::object placeholder;
        tessel::sections::Tag tag;
        long section = -1;  // the section it opens, branches or closes
        nb::object reason;  // why it pairs or stands where no section can form; invalid when it can
    };
    // An item of a loop that a copied row stands for.
    struct Link {
        size_t section;
        size_t k;
        nb::object item;
    };
    // Chains of links form a tree: node 0 is no loop, each other node adds one link to its parent.
    struct ChainNode {
        size_t parent;
        Link link;
    };
    struct Origin {
        long row;  // in the template
        size_t chain;
    };
    // A tag in rows a section deleted: reported where the walk passes its place.
    struct Pending {
        Position at;
        nb::object placeholder;
        nb::str place;
        nb::object reason;  // None for a tag that worked
    };
    void report_pending(const Pending &p) {
        if (p.reason.is_none())
            call_.report.filled(p.placeholder, [&] { return p.place; });
        else
            call_.report.failed(p.placeholder, p.place, p.reason);
    }

    // A formula that names a repeated sheet ("='{c.name for c in customers}'!B1")
    // holds its name, not a placeholder.
    static bool names_sheet(nb::handle value, nb::handle placeholder, nb::handle delimited) {
        if (PyUnicode_GET_LENGTH(value.ptr()) == 0 || PyUnicode_READ_CHAR(value.ptr(), 0) != '=')
            return false;
        nb::str quoted = nb::str("'{}'!").format(delimited);
        return PyUnicode_Find(value.ptr(), quoted.ptr(), 0, PyUnicode_GET_LENGTH(value.ptr()), 1) >= 0 &&
               tessel::sections::generator(placeholder).loop.kind != tessel::sections::Kind::None;
    }

    // Reads the section tags of the sheet's cells and pairs them; false when there are none.
    bool find_tags() {
        namespace sec = tessel::sections;
        for (const Entry &e : start_) {
            nb::object value = e.cell.attr("value");
            if (!tessel::sections::may_hold_tags(value))
                continue;
            size_t occurrence = 0;
            for (nb::handle placeholder : placeholders_in(value)) {
                sec::Tag tag = sec::parse(placeholder);
                if (tag.kind != sec::Kind::None) {
                    const long r = row_of(e.position), c = column_of(e.position);
                    tag_at_[{r, c, occurrence}] = tags_.size();
                    tags_.push_back(TagAt{r, c, occurrence, nb::borrow(placeholder), std::move(tag), -1, {}});
                }
                ++occurrence;
            }
        }
        if (tags_.empty())
            return false;
        if (!native_) {
            for (TagAt &t : tags_)
                t.reason = nb::str(kSectionsNeedNative);
            return true;
        }
        std::vector<sec::Kind> kinds;
        for (const TagAt &t : tags_)
            kinds.push_back(t.tag.kind);
        structure_ = sec::pair(kinds, tessel::read_pattern(call_.self));
        for (const sec::Unpaired &u : structure_.unpaired)
            tags_[u.tag].reason = u.reason;
        place_sections();
        return true;
    }

    // The tags of a section, in order.
    std::vector<size_t> tags_of(size_t s) const { return structure_.sections[s].tags(); }

    // The rows of each branch of an if (one band for a for), in the template.
    std::vector<std::pair<long, long>> bands_of(size_t s) const {
        std::vector<size_t> tags = tags_of(s);
        std::vector<std::pair<long, long>> bands;
        for (size_t b = 0; b + 1 < tags.size(); ++b)
            bands.emplace_back(tags_[tags[b]].row, b + 2 < tags.size() ? tags_[tags[b + 1]].row - 1 : tags_[tags.back()].row);
        return bands;
    }

    // Rows are what sections repeat and remove: a section's rows lie within one
    // branch of the section around it and apart from its neighbours'.  A section
    // that breaks this does not form, and its tags say why.
    void place_sections() {
        const size_t count = structure_.sections.size();
        children_.assign(count, {});
        std::vector<long> parent_of(count, -1);
        std::vector<bool> formed(count, false);
        std::map<long, long> last_bottom;  // per parent (-1 for the sheet), the bottom row of its last section
        for (size_t s = 0; s < count; ++s) {
            const tessel::sections::Section &sec = structure_.sections[s];
            long parent = sec.parent;
            while (parent >= 0 && !formed[(size_t) parent])
                parent = parent_of[(size_t) parent];
            parent_of[s] = parent;
            const long top = tags_[sec.open].row, bottom = tags_[sec.close].row;
            const char *why = nullptr;
            std::vector<std::pair<long, long>> bands = bands_of(s);
            for (const auto &[first, last] : bands)
                if (last < first)
                    why = "each branch needs rows of its own";
            if (!why && parent >= 0) {
                bool inside = false;
                for (const auto &[first, last] : bands_of((size_t) parent))
                    inside |= top >= first && bottom <= last;
                if (!inside)
                    why = "its rows cross those of the section around it";
            }
            auto last = last_bottom.find(parent);
            if (!why && last != last_bottom.end() && top <= last->second)
                why = "its rows overlap those of the section before it";
            if (why) {
                nb::str reason(why);
                for (size_t t : tags_of(s))
                    tags_[t].reason = reason;
                continue;
            }
            formed[s] = true;
            last_bottom[parent] = bottom;
            (parent >= 0 ? children_[(size_t) parent] : top_level_).push_back(s);
            for (size_t t : tags_of(s))
                tags_[t].section = (long) s;
        }
    }

    // True when section `inner` stands inside section `outer` (or is it).
    bool within(size_t inner, size_t outer) const {
        for (long s = (long) inner; s >= 0; s = structure_.sections[(size_t) s].parent)
            if ((size_t) s == outer)
                return true;
        return false;
    }

    // The links of a chain, outermost first.
    std::vector<const Link *> links_of(size_t chain) const {
        std::vector<const Link *> links;
        for (; chain; chain = chains_[chain].parent)
            links.push_back(&chains_[chain].link);
        std::reverse(links.begin(), links.end());
        return links;
    }

    // Binds the names of a chain's loops, the previous chain's undone.
    void bind_chain(size_t chain) {
        if (chain == bound_chain_)
            return;
        call_.evaluator.unbind(base_mark_);
        bound_chain_ = chain;
        for (const Link *link : links_of(chain)) {
            nb::object ignored;
            tessel::guarded(
                [&] {
                    tessel::sections::bind(call_.evaluator, tags_[structure_.sections[link->section].open].tag,
                                           link->item);
                },
                ignored);
        }
    }

    // A cell's place, followed by the loops and items its row stands for.
    nb::str place_in(long row, long column, size_t chain) const {
        nb::str where = place(row, column);
        if (!chain)
            return where;
        std::string items;
        for (const Link *link : links_of(chain))
            items += ", " + tessel::sections::item_place(tags_[structure_.sections[link->section].open].tag, link->k);
        return nb::str("{}{}").format(where, nb::str(items.c_str()));
    }

    // A tag met by the walk: a tag that worked is reported once, in the first
    // copy of its section and of those around it that it stands in, and taken
    // out of the cell's text; one that failed stays.
    void visit_tag(nb::handle placeholder, nb::handle delimited, nb::object &text, long row, long column, size_t chain,
                   size_t occurrence) {
        auto found = tag_at_.find({row, column, occurrence});
        if (found == tag_at_.end()) {
            call_.report.failed(placeholder, place_in(row, column, chain),
                                nb::str("a section's tags must stand in the template's own cells"));
            return;
        }
        const TagAt &tag = tags_[found->second];
        if (tag.reason.is_valid()) {
            call_.report.failed(placeholder, place_in(row, column, chain), tag.reason);
            return;
        }
        // The chain the section was expanded in: the links outside it.
        size_t context = chain;
        bool first = true;
        for (size_t node = chain; node; node = chains_[node].parent) {
            if (within(chains_[node].link.section, (size_t) tag.section)) {
                first = first && chains_[node].link.k == 0;
                context = chains_[node].parent;
            }
        }
        if (call_.evaluator.listing()) {
            call_.report.failed(placeholder, place_in(row, column, context), nb::none());
            return;
        }
        if (!first) {
            strip_tag(delimited, text);
            return;
        }
        auto outcome = outcome_.find({found->second, context});
        nb::object reason = outcome == outcome_.end() ? nb::object(nb::str("the section was never reached"))
                                                      : outcome->second;
        if (!reason.is_none()) {
            call_.report.failed(placeholder, place_in(row, column, context), reason);
            return;
        }
        call_.report.filled(placeholder, [&] { return place_in(row, column, context); });
        strip_tag(delimited, text);
    }

    // A cell that held only the tag is left empty.
    static void strip_tag(nb::handle delimited, nb::object &text) {
        if (!PyUnicode_Check(text.ptr()))
            return;
        nb::object rest = text.attr("replace")(delimited, "", 1);
        text = tessel::truthy(rest.attr("strip")()) ? rest : nb::none();
    }

    void set_outcome(size_t s, size_t chain, nb::handle reason) {
        for (size_t t : tags_of(s))
            outcome_[{t, chain}] = nb::borrow(reason);
    }

    // Repeats and removes the rows of the sheet's sections before the walk, which
    // then visits each copy with its loops' names bound.
    void expand() {
        for (const Entry &e : start_) {
            origins_[e.cell.ptr()] = Origin{row_of(e.position), 0};
            origin_cells_.push_back(e.cell);
        }
        base_mark_ = call_.evaluator.mark();
        // Copies are cells of the model, none of them garbage.
        without_collection([&] {
            load_rows();
            expand_all(top_level_, 0, 0);
            store_rows();
        });
    }

    // The sheet's rows while sections repeat and delete them: moving a row is
    // moving a pointer, and the model takes the rows where they end up once.
    struct RowAt {
        std::vector<std::pair<long, nb::object>> cells;  // by column
        nb::object dimension;                            // its row_dimensions entry, if any
    };
    std::list<RowAt> rows_;
    // Where in rows_ the expansion works, which goes down the sheet: finding a row
    // walks from the last one found.
    std::list<RowAt>::iterator finger_;
    long finger_row_ = 0;
    std::optional<std::vector<tessel::repair::InsertionCheck::Placed>> anchors_;  // as the sections moved them

    // Row r, rows past the last made empty as needed.
    std::list<RowAt>::iterator row_at(long r) {
        while ((long) rows_.size() < r)
            rows_.emplace_back();
        if (!finger_row_ || finger_row_ > (long) rows_.size() + 1) {
            finger_ = rows_.begin();
            finger_row_ = 1;
        }
        for (; finger_row_ < r; ++finger_row_)
            ++finger_;
        for (; finger_row_ > r; --finger_row_)
            --finger_;
        return finger_;
    }

    // The row a row_dimensions key names; 0 for a key that names no row of the grid.
    static long grid_row(nb::handle key) {
        int overflow = 0;
        const long r = PyLong_AsLongAndOverflow(key.ptr(), &overflow);
        if (PyErr_Occurred())
            throw nb::python_error();
        return overflow || r < 1 || r > sheets::kMaxRow ? 0 : r;
    }

    void load_rows() {
        std::vector<RowAt> rows;
        for (const Entry &e : start_) {
            const size_t r = (size_t) row_of(e.position);
            if (rows.size() < r)
                rows.resize(r);
            rows[r - 1].cells.emplace_back(column_of(e.position), e.cell);
        }
        for (auto [key, dimension] : nb::borrow<nb::dict>(sheet_.attr("row_dimensions"))) {
            const long r = grid_row(key);
            if (!r)
                continue;
            if (rows.size() < (size_t) r)
                rows.resize((size_t) r);
            rows[(size_t) r - 1].dimension = nb::borrow(dimension);
        }
        rows_.assign(std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
        finger_row_ = 0;
    }

    void store_rows() {
        nb::dict dimensions = nb::borrow<nb::dict>(sheet_.attr("row_dimensions"));
        std::vector<std::pair<nb::object, nb::object>> kept;  // entries of no row of the grid
        for (auto [key, dimension] : dimensions)
            if (!grid_row(key))
                kept.emplace_back(nb::borrow(key), nb::borrow(dimension));
        PyDict_Clear(dimensions.ptr());
        for (const auto &[key, dimension] : kept)
            dimensions[key] = dimension;
        for (const Entry &e : start_)
            if (PyDict_DelItem(cells_.ptr(), nb::make_tuple(row_of(e.position), column_of(e.position)).ptr()) < 0)
                throw nb::python_error();
        long r = 0;
        for (RowAt &at : rows_) {
            nb::int_ row(++r);
            for (const auto &[c, cell] : at.cells) {
                nb::setattr(cell, "row", row);
                nb::object key = nb::make_tuple(r, c);
                if (PyDict_SetItem(cells_.ptr(), key.ptr(), cell.ptr()) < 0)
                    throw nb::python_error();
                nb::object link = nb::getattr(cell, "_hyperlink", nb::none());
                if (!link.is_none())
                    link.attr("ref") = coordinate(r, c);
            }
            if (at.dimension.is_valid()) {
                at.dimension.attr("index") = r;
                dimensions[row] = at.dimension;
            }
        }
        nb::object current = nb::getattr(sheet_, "_current_row", nb::none());
        if (!current.is_none() && nb::cast<long>(current) > 0) {
            const long moved = sheets::moved_row(nb::cast<long>(current), insertions_);
            sheet_.attr("_current_row") = moved ? moved : (long) rows_.size();
        }
        rows_.clear();
    }

    // Expands sibling sections, their template rows `offset` rows away; returns
    // the rows they added (negative when they removed more).
    long expand_all(const std::vector<size_t> &sections, long offset, size_t chain) {
        long added = 0;
        for (size_t s : sections)
            added += expand_one(s, offset + added, chain);
        return added;
    }

    long expand_one(size_t s, long offset, size_t chain) {
        namespace sec = tessel::sections;
        const sec::Section &section = structure_.sections[s];
        const TagAt &open = tags_[section.open];
        const long top = open.row + offset, bottom = tags_[section.close].row + offset, height = bottom - top + 1;
        tessel::Evaluator &evaluator = call_.evaluator;
        nb::object reason;
        if (open.tag.kind == sec::Kind::If) {
            std::vector<size_t> tags = tags_of(s);
            size_t chosen = tags.size();
            const bool decided = tessel::guarded(
                [&] {
                    for (size_t b = 0; b + 1 < tags.size() && chosen == tags.size(); ++b) {
                        const sec::Tag &tag = tags_[tags[b]].tag;
                        if (tag.kind == sec::Kind::Else || sec::holds(evaluator, tag))
                            chosen = b;
                    }
                },
                reason);
            if (!decided) {
                set_outcome(s, chain, reason);
                return expand_all(children_[s], offset, chain);
            }
            std::vector<std::pair<long, long>> bands = bands_of(s);
            long shift = offset;
            for (size_t b = 0; b < bands.size(); ++b) {
                const long first = bands[b].first + shift, last = bands[b].second + shift;
                if (b == chosen) {
                    std::vector<size_t> inside;
                    for (size_t child : children_[s])
                        if (tags_[structure_.sections[child].open].row >= bands[b].first &&
                            tags_[structure_.sections[child].open].row <= bands[b].second)
                            inside.push_back(child);
                    shift += expand_all(inside, shift, chain);
                    continue;
                }
                if (!tessel::guarded([&] { remove_rows(first, last - first + 1); }, reason)) {
                    set_outcome(s, chain, reason);
                    return shift - offset;
                }
                pend_tags(s, bands[b].first, bands[b].second, first, chain);
                shift -= last - first + 1;
            }
            set_outcome(s, chain, nb::none());
            return shift - offset;
        }

        std::vector<nb::object> items;
        if (!tessel::guarded(
                [&] {
                    items = sec::items_of(evaluator, open.tag);
                    sec::check_binding(evaluator, open.tag, items);
                    evaluator.count_copies((long long) height * max_column_ * kCellMarkup * (long long) items.size());
                    if (items.empty())
                        remove_rows(top, height);
                    else
                        copy_rows(s, top, bottom, chain, items);
                },
                reason)) {
            set_outcome(s, chain, reason);
            return expand_all(children_[s], offset, chain);
        }
        set_outcome(s, chain, nb::none());
        if (items.empty()) {
            pend_tags(s, open.row, tags_[section.close].row, top, chain);
            return -height;
        }
        long added = height * (long) (items.size() - 1);
        const size_t first_chain = chains_.size() - items.size();
        for (size_t k = 0; k < items.size(); ++k) {
            const size_t mark = evaluator.mark();
            nb::object ignored;
            if (tessel::guarded([&] { sec::bind(evaluator, open.tag, items[k]); }, ignored))
                added += expand_all(children_[s], offset + height * (long) k + added - height * (long) (items.size() - 1),
                                    first_chain + k);
            evaluator.unbind(mark);
        }
        return added;
    }

    // The tags of template rows first..last that section s deleted, reported
    // where the rows stood (row `at` now): its own, and those that formed no
    // section, failed still.
    void pend_tags(size_t s, long first, long last, long at, size_t chain) {
        for (const TagAt &tag : tags_)
            if (tag.row >= first && tag.row <= last && (tag.section == (long) s || tag.reason.is_valid()))
                pending_.push_back(Pending{position(at, 0), tag.placeholder, place_in(tag.row, tag.column, chain),
                                           tag.reason.is_valid() ? tag.reason : nb::none()});
    }

    // Deletes `count` rows from row `top` down, as Excel deletes rows.
    void remove_rows(long top, long count) {
        const sheets::Insertion removal{top - 1, -count};
        try {
            call_.insertion_check.check_next(nb::cast<std::string>(source_title_), anchors_, removal);
        } catch (const std::invalid_argument &e) {
            tessel::refuse(nb::str("no rows were deleted: {}").format(nb::str(e.what())));
        }
        insertions_.push_back(removal);
        const auto last = row_at(top + count);
        finger_ = rows_.erase(std::prev(last, count), last);
        finger_row_ = top;
    }

    // A model cell made as openpyxl's Cell() makes one, without running its
    // constructor: sections copy many.
    nb::object copied_cell(long r, long c, nb::handle value, nb::handle data_type, nb::handle style) {
        const nb::object &style_array = tessel::made_once<nb::object>(
            [] { return nb::object(nb::module_::import_("openpyxl.styles.cell_style").attr("StyleArray")); });
        const nb::object &make = tessel::made_once<nb::object>([] { return nb::object(cell_type.attr("__new__")); });
        nb::object cell = make(cell_type);
        nb::setattr(cell, "parent", sheet_);
        nb::setattr(cell, "_style", style.is_none() ? nb::none() : style_array(style));
        nb::setattr(cell, "row", nb::int_(r));
        nb::setattr(cell, "column", nb::int_(c));
        nb::setattr(cell, "_value", value);
        nb::setattr(cell, "_hyperlink", nb::none());
        nb::setattr(cell, "data_type", data_type);
        nb::setattr(cell, "_comment", nb::none());
        return cell;
    }

    // Repeats rows top..bottom once per item: copies go under them, as inserted
    // rows, with their cells, formulas, merges and heights.
    void copy_rows(size_t s, long top, long bottom, size_t chain, const std::vector<nb::object> &items) {
        const long height = bottom - top + 1, copies = (long) items.size() - 1;
        if (copies > 0) {
            const sheets::Insertion insertion{bottom, height * copies};
            try {
                if ((long) rows_.size() > bottom && (long) rows_.size() + height * copies > sheets::kMaxRow)
                    throw std::invalid_argument("inserting " + std::to_string(height * copies) + " rows under row " +
                                                std::to_string(bottom) + " would push cells off the sheet");
                call_.insertion_check.check_next(nb::cast<std::string>(source_title_), anchors_, insertion);
            } catch (const std::invalid_argument &e) {
                tessel::refuse(nb::str("no rows were inserted: {}").format(nb::str(e.what())));
            }
            insertions_.push_back(insertion);
        }
        const size_t first_chain = chains_.size();
        for (size_t k = 0; k < items.size(); ++k)
            chains_.push_back(ChainNode{chain, Link{s, k, items[k]}});

        std::vector<RowAt> made((size_t) (height * copies));
        std::vector<std::pair<Position, nb::object>> band;
        std::vector<nb::object> heights;  // of the group's rows, None for none
        auto row = row_at(top);
        for (long r = top; r <= bottom; ++r, ++row) {
            for (const auto &[c, cell] : row->cells)
                band.emplace_back(position(r, c), cell);
            heights.push_back(row->dimension.is_valid() ? nb::object(row->dimension.attr("ht")) : nb::none());
        }
        const size_t layout = insertions_.size();
        auto own = [&](std::string_view name) { return nb::str(name.data(), name.size()).equal(title_); };
        for (const auto &[p, cell] : band) {
            Origin origin{row_of(p), 0};
            if (auto found = origins_.find(cell.ptr()); found != origins_.end())
                origin.row = found->second.row;
            origins_[cell.ptr()] = Origin{origin.row, first_chain};
            // The formula in the layout the rows have now.
            nb::object value = cell.attr("_value");
            std::string formula;
            const bool is_formula = PyUnicode_Check(value.ptr()) && nb::str("f").equal(cell.attr("data_type"));
            if (is_formula && copies > 0) {
                formula = nb::cast<std::string>(value);
                if (!formula.empty() && formula[0] == '=')
                    formula.erase(0, 1);
                size_t since = 0;
                if (native_) {
                    auto written = native_->formula_layout.find(cell.ptr());
                    if (written != native_->formula_layout.end())
                        since = written->second;
                }
                const sheets::Insertions later(insertions_.begin() + (std::ptrdiff_t) std::min(since, insertions_.size()),
                                               insertions_.end());
                sheets::SheetLookup lookup = [&](std::string_view name) -> const sheets::Insertions * {
                    return name.empty() || own(name) ? &later : nullptr;
                };
                if (auto moved = sheets::moved_formula(formula, lookup))
                    formula = *moved;
            }
            const bool merged = Py_TYPE(cell.ptr()) == (PyTypeObject *) merged_type.ptr();
            nb::object style = cell.attr("_style");
            nb::object data_type = merged ? nb::object(nb::str("n")) : cell.attr("data_type");
            if (merged)
                value = nb::none();
            // The section's own tags stand in its first copy only.
            for (size_t t : {structure_.sections[s].open, structure_.sections[s].close})
                if (!is_formula && tags_[t].row == origin.row && tags_[t].column == column_of(p) && copies > 0)
                    strip_tag(tessel::delimited(tags_[t].placeholder, tessel::read_pattern(call_.self)), value);
            for (long k = 1; k <= copies; ++k) {
                const long r = row_of(p) + k * height, c = column_of(p);
                nb::object copy = copied_cell(
                    r, c,
                    is_formula ? nb::str(("=" + sheets::rows_shifted(formula, top, bottom, k * height, own)).c_str())
                               : value,
                    data_type, style);
                made[(size_t) (r - bottom - 1)].cells.emplace_back(c, copy);
                origins_[copy.ptr()] = Origin{origin.row, first_chain + (size_t) k};
                origin_cells_.push_back(copy);
                if (is_formula && native_) {
                    native_->formula_layout[copy.ptr()] = layout;
                    native_->copied_cells.push_back(copy);
                }
            }
        }
        if (copies <= 0)
            return;
        const nb::object &dimension_type = tessel::made_once<nb::object>(
            [] { return nb::object(nb::module_::import_("openpyxl.worksheet.dimensions").attr("RowDimension")); });
        for (long r = top; r <= bottom; ++r) {
            const nb::object &ht = heights[(size_t) (r - top)];
            if (ht.is_none())
                continue;
            for (long k = 1; k <= copies; ++k)
                made[(size_t) (r - top + (k - 1) * height)].dimension =
                    dimension_type(sheet_, "index"_a = r + k * height, "ht"_a = ht);
        }
        // The finger stays on the row under the group, now under the copies too.
        rows_.insert(row_at(bottom + 1), std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
        finger_row_ += (long) made.size();
        // Merges: the template's own, within the section's template rows.
        if (native_) {
            const long template_top = tags_[structure_.sections[s].open].row;
            const long template_bottom = tags_[structure_.sections[s].close].row;
            for (nb::handle range : sheet_.attr("merged_cells").attr("ranges")) {
                const long first = nb::cast<long>(range.attr("min_row")), last = nb::cast<long>(range.attr("max_row"));
                if (first < template_top || last > template_bottom)
                    continue;
                const long left = nb::cast<long>(range.attr("min_col")), right = nb::cast<long>(range.attr("max_col"));
                for (long k = 1; k <= copies; ++k) {
                    const long r = first - template_top + top + k * height;
                    native_->added_merges.emplace_back(coordinate(r, left) + ":" + coordinate(r + last - first, right),
                                                       layout);
                }
            }
        }
    }

    // Places name cells as a reader of the template finds them: a cell that rows
    // inserted above it moved down is named by its row in the template, so that
    // check() and the failures of a fill point at what the template shows.  Cells
    // a block created have no template row and are named where they stand.
    nb::str place(long row, long column) const {
        return nb::str("sheet {}, cell {}").format(title_, coordinate(row, column));
    }

    // "A4294967298", or "R0C1" where the column has no letters.
    static nb::str cell_name(nb::handle cell) {
        nb::object row = cell.attr("row"), column = cell.attr("column");
        int overflow = 0;
        const long c = PyLong_AsLongAndOverflow(column.ptr(), &overflow);
        if (PyErr_Occurred())
            throw nb::python_error();
        if (overflow || c < 1)
            return nb::str("R{}C{}").format(row, column);
        return nb::str("{}{}").format(sheets::column_letters(c), row);
    }

    // A crafted reference ("A4294967298") puts a cell past the sheet's grid, where
    // no block can start: its placeholders fail, and the walk, whose positions
    // hold rows and columns of the grid alone, never meets it.
    void fail_outside() {
        for (const nb::object &cell : outside_) {
            nb::object value = cell.attr("value");
            if (!PyUnicode_Check(value.ptr()))
                continue;
            nb::object placeholders = placeholders_in(value);
            if (!nb::len(placeholders))
                continue;
            nb::str name = cell_name(cell);
            nb::str where = nb::str("sheet {}, cell {}").format(title_, name);
            nb::str reason = nb::str("the cell {} lies outside the sheet, which holds rows 1 to {} and columns A to {}")
                                 .format(name, sheets::kMaxRow, sheets::column_letters(sheets::kMaxColumn));
            for (nb::handle placeholder : placeholders)
                call_.report.failed(placeholder, where, reason);
        }
    }

    // The sheet's headers and footers, as the template wrote them, placeholders
    // replaced by their values' text.
    void fill_headers() {
        for (const tessel::headers::Item &item : call_.headers.of(source_title_)) {
            nb::object text = item.text;
            nb::object placeholders = placeholders_in(text);
            if (nb::len(placeholders)) {
                nb::str where = nb::str("sheet {}, {}").format(title_, tessel::headers::describe(item.kind));
                const Pattern pattern = tessel::read_pattern(call_.self);
                for (nb::handle placeholder : placeholders) {
                    nb::object reason;
                    const bool ok = tessel::guarded(
                        [&] {
                            nb::object inserted = tessel::headers::escape_codes(
                                tessel::to_text(call_.evaluator.value(placeholder)));
                            nb::object filled = text.attr("replace")(tessel::delimited(placeholder, pattern), inserted);
                            if (!cells::storable_text(filled))
                                tessel::refuse(cells::why_not_storable(filled));
                            const Py_ssize_t length = PyUnicode_GET_LENGTH(filled.ptr());
                            if (length > tessel::headers::kMaxLength && length > PyUnicode_GET_LENGTH(text.ptr()))
                                tessel::refuse(nb::str("the filled text has {} characters; a header or footer "
                                                       "holds at most {}")
                                                   .format(length, tessel::headers::kMaxLength));
                            text = filled;
                        },
                        reason);
                    if (ok)
                        call_.report.filled(placeholder, [&] { return where; });
                    else
                        call_.report.failed(placeholder, where, reason);
                }
            }
            if (native_) {
                if (!text.equal(item.text))
                    native_->headers[nb::cast<std::string>(item.kind)] = nb::cast<std::string>(text);
            } else {
                tessel::headers::put(sheet_, item.kind, text);
            }
        }
    }

    void replace_in_text(nb::handle placeholder, nb::handle delimited, nb::object &text) {
        nb::object inserted = tessel::to_text(call_.evaluator.value(placeholder));
        if (!PyUnicode_Check(text.ptr()))
            tessel::refuse("the cell no longer holds text");
        PyObject *r = PyUnicode_Replace(text.ptr(), delimited.ptr(), inserted.ptr(), -1);
        if (!r)
            throw nb::python_error();
        nb::object replaced = nb::steal(r);
        // Text that a cell cannot hold fails this placeholder and keeps the cell's text.
        if (!cells::storable_text(replaced))
            tessel::refuse(cells::why_not_storable(replaced));
        text = std::move(replaced);
    }

    void place_whole(nb::handle placeholder, nb::handle cell, long row, long column, long place_row) {
        nb::object value = call_.evaluator.value(placeholder);
        nb::object given = tessel::picture_value(value);
        if (given.is_valid()) {
            // The picture is read first, so that a value that is no picture leaves
            // the placeholder in its cell.  openpyxl closes the stream it is given
            // when it saves, so it reads its own copy of the bytes.
            nb::object image = picture_of(nb::getattr(module_handle, "BytesIO")(given.attr("data")));
            auto [width, height] = sized(given, image);
            tessel::page::fit_extent(sheet_, width, height);
            image.attr("width") = (double) width / tessel::ooxml::kEmuPerPixel;
            image.attr("height") = (double) height / tessel::ooxml::kEmuPerPixel;
            nb::object anchor = nb::borrow(one_cell_anchor)();
            anchor.attr("_from").attr("row") = nb::cast<long>(cell.attr("row")) - 1;
            anchor.attr("_from").attr("col") = nb::cast<long>(cell.attr("column")) - 1;
            anchor.attr("ext") = nb::borrow(positive_size)(width, height);
            cell.attr("value") = nb::str("");
            sheet_.attr("add_image")(image, anchor);
        } else if (nb::isinstance(value, call_.data_frame)) {
            if (native_)
                place_frame_native(value, placeholder, row, column, place_row);
            else
                place_frame(value, placeholder, row, column, place_row, nb::handle());
        } else if (tessel::block::is_styler(value)) {
            place_frame(value.attr("data"), placeholder, row, column, place_row, value);
        } else if (!value.is_none()) {
            // None stays unwritten, as openpyxl ignores it: the cell keeps its text.
            nb::object stored;
            switch (cells::convert(value, stored)) {
                case cells::Outcome::Value: {
                    // A date-time at midnight in a cell that shows no date of its
                    // own shows as a date, as a block's column of them does.
                    const bool as_date = native_ && PyDateTime_Check(stored.ptr()) && tessel::block::at_midnight(stored) &&
                                         !tessel::truthy(nb::borrow(is_date_format)(cell.attr("number_format")));
                    cell.attr("value") = stored;
                    if (as_date)
                        cell.attr("number_format") = "yyyy-mm-dd";
                    break;
                }
                case cells::Outcome::Empty:
                    cell.attr("value") = nb::none();
                    break;
                case cells::Outcome::Refused:
                    tessel::refuse(cells::why_refused(value));
            }
        }
    }

    // A picture's size in EMUs: the Picture's own, from the size of the image openpyxl read.
    static std::pair<long long, long long> sized(nb::handle given, nb::handle image) {
        using tessel::ooxml::kEmuPerPixel;
        nb::object size = given.attr("size")(nb::cast<long long>(image.attr("width")) * kEmuPerPixel,
                                             nb::cast<long long>(image.attr("height")) * kEmuPerPixel);
        return {nb::cast<long long>(size[0]), nb::cast<long long>(size[1])};
    }

    // Pictures whose alternative text is one placeholder show its value's picture,
    // fitted into the box the template gave them.  `drawing` is the sheet's in the
    // native engine; openpyxl's lists the template's and fails them.
    void fill_pictures(tessel::pictures::SheetDrawing *drawing, const tessel::pictures::Grid *grid) {
        const std::vector<tessel::pictures::AltPicture> *listed = nullptr;
        if (drawing) {
            listed = &drawing->pictures();
        } else if (!native_) {
            auto found = call_.template_pictures.find(nb::cast<std::string>(source_title_));
            if (found != call_.template_pictures.end())
                listed = &found->second;
        }
        if (!listed || listed->empty())
            return;
        const Pattern pattern = tessel::read_pattern(call_.self);
        for (const tessel::pictures::AltPicture &picture : *listed) {
            nb::str descr(picture.descr.data(), picture.descr.size());
            nb::object placeholder = tessel::alt_placeholder(descr, pattern);
            if (!placeholder.is_valid())
                continue;
            nb::str where = nb::str("sheet {}, picture '{}'").format(title_, nb::str(picture.name.data(), picture.name.size()));
            if (!drawing) {
                call_.report.failed(placeholder, where, nb::str(kPicturesNeedNative));
                continue;
            }
            nb::object reason;
            const bool ok = tessel::guarded(
                [&] {
                    nb::object given = tessel::picture_for_template(call_.evaluator.value(placeholder));
                    nb::object image = picture_of(nb::getattr(module_handle, "BytesIO")(given.attr("data")));
                    auto [width, height] = sized(given, image);
                    auto [box_width, box_height] = drawing->box(picture, *grid);
                    auto [fit_width, fit_height] = tessel::fitted(width, height, box_width, box_height);
                    drawing->replace(picture, image, fit_width, fit_height, *grid);
                },
                reason);
            if (ok)
                call_.report.filled(placeholder, [&] { return where; });
            else
                call_.report.failed(placeholder, where, reason);
        }
        if (drawing)
            drawing->save();
    }

    // Pillow names an unreadable stream by its address, which differs from call to
    // call: the reason says what it means instead.
    static nb::object picture_of(nb::handle stream) {
        try {
            return nb::getattr(module_handle, "Image")(stream);
        } catch (nb::python_error &e) {
            if (!e.matches(nb::module_::import_("PIL").attr("UnidentifiedImageError")))
                throw;
            tessel::refuse("UnidentifiedImageError: the stream holds no picture that Pillow can read");
        }
    }

    // Inserts rows under `row` so that a block of `rows` rows written there covers
    // no row of the template.  Blocks in the same row share their rows: the
    // tallest decides.  Rows past the sheet are not inserted: the block's values
    // there fail on their own.  What the rows would move, in the sheet and in the
    // template's parts, is checked before anything moves.
    void make_room(long row, long rows) {
        long needed = std::min(rows, sheets::kMaxRow - row + 1) - 1, at = row;
        if (!insertions_.empty() && insertions_.back().row == row) {
            needed -= insertions_.back().count;
            at += insertions_.back().count;
        }
        if (needed <= 0)
            return;
        sheets::Insertions after = insertions_;
        if (!after.empty() && after.back().row == row)
            after.back().count += needed;
        else
            after.push_back(sheets::Insertion{row, needed});
        try {
            call_.insertion_check.check(nb::cast<std::string>(source_title_), after);
            grid::insert_rows(sheet_, at, needed);
        } catch (const std::invalid_argument &e) {
            tessel::refuse(nb::str("no rows were inserted: {}").format(nb::str(e.what())));
        }
        auto moved = [&](Position p) {
            return row_of(p) > at ? position(row_of(p) + needed, column_of(p)) : p;
        };
        std::unordered_set<Position> replaced;
        replaced.reserve(replaced_.size());
        for (Position p : replaced_)
            replaced.insert(moved(p));
        replaced_.swap(replaced);
        decltype(created_) created;
        for (; !created_.empty(); created_.pop())
            created.push(moved(created_.top()));
        created_.swap(created);
        move_blocks(blocks_, at, needed);
        move_blocks(replaced_rects_, at, needed);
        if (native_)
            for (tessel::native::FrameBlock &b : native_->blocks)
                b.later.push_back(sheets::Insertion{at, needed});
        insertions_.swap(after);
        inserted_ += needed;
        max_row_ += needed;
    }

    // A placeholder a block wrote over, failed once the block's own is reported.
    struct Lost {
        nb::object placeholder;
        nb::str place;
        nb::str reason;
    };
    // What one block wrote over.
    struct Overwritten {
        std::vector<Position> cells;  // values and formulas, at template positions
        std::vector<std::pair<nb::object, nb::str>> placeholders;  // with their cells' places
    };

    // The template row of a cell that stands in `row` now.
    // Rectangles over rows inserted under row `at`: those below move down, those
    // the rows go into are parted around them.
    template <typename Rectangle> static void move_blocks(std::vector<Rectangle> &blocks, long at, long needed) {
        std::vector<Rectangle> moved;
        for (Rectangle b : blocks) {
            if (b.top > at) {
                moved.push_back(Rectangle{b.top + needed, b.bottom + needed, b.left, b.right});
            } else if (b.bottom > at) {
                moved.push_back(Rectangle{b.top, at, b.left, b.right});
                moved.push_back(Rectangle{at + needed + 1, b.bottom + needed, b.left, b.right});
            } else {
                moved.push_back(b);
            }
        }
        blocks.swap(moved);
    }

    bool replaced(Position p) const {
        if (replaced_.count(p))
            return true;
        const long r = row_of(p), c = column_of(p);
        for (const Block &b : replaced_rects_)
            if (r >= b.top && r <= b.bottom && c >= b.left && c <= b.right)
                return true;
        return false;
    }

    long template_row(long row) const {
        long original = sheets::original_row(row, insertions_);
        return original ? original : row;
    }

    // A frame's rows and columns; false for an empty frame, which writes nothing.
    static bool shape_of(nb::handle frame, Py_ssize_t &rows, Py_ssize_t &columns) {
        nb::object shape = frame.attr("shape");
        rows = nb::cast<Py_ssize_t>(shape[0]);
        columns = nb::cast<Py_ssize_t>(shape[1]);
        return rows > 0 && columns > 0;
    }

    // Writes a frame's values as a block from (row, column), each cell styled
    // like the template row's cell of its column, then a Styler's CSS over them.
    // A value that cannot be stored leaves its cell as it was and fails the
    // placeholder, while the rest of the block is written.
    void place_frame(nb::handle frame, nb::handle placeholder, long row, long column, long place_row,
                     nb::handle styler) {
        Py_ssize_t rows, columns;
        if (!shape_of(frame, rows, columns))
            return;
        const bool inserting = tessel::truthy(nb::getattr(call_.self, "insert", nb::bool_(false)));
        std::vector<nb::object> values = cells::frame_columns(frame, rows, columns);
        if (inserting)
            make_room(row, (long) rows);
        // Read after the rows are inserted, so that they take the template row's look too.
        std::vector<long> at((size_t) columns);
        for (Py_ssize_t j = 0; j < columns; ++j)
            at[(size_t) j] = column + (long) j;
        tessel::block::BlockStyle style(sheet_, row, at, tessel::block::column_dates(values));
        std::set<std::pair<Py_ssize_t, Py_ssize_t>> skipped;
        const nb::handle refused = cells::refused_marker();
        nb::object first_refused;  // why the first value that was not stored was not
        long last_new_row = 0;
        Overwritten over;
        for (Py_ssize_t i = 0; i < rows; ++i) {
            const long r = row + (long) i;
            tessel::check_signals();
            for (Py_ssize_t j = 0; j < columns; ++j) {
                const long c = column + (long) j;
                nb::handle v = PyList_GET_ITEM(values[(size_t) j].ptr(), i);
                const char *why = nullptr;
                if (v.is(refused))
                    why = "cannot be stored in a cell";
                else if (r > sheets::kMaxRow || c > sheets::kMaxColumn)
                    why = "falls outside the sheet";
                else if (!store(r, c, v, style, j, last_new_row, i == 0 && j == 0, over))
                    why = "lands on a merged cell";
                // Positions below the rows being visited are never visited.
                if (r <= max_row_)
                    replaced_.insert(position(r, c));
                if (!why)
                    continue;
                skipped.insert({i, j});
                if (!first_refused.is_valid())
                    first_refused = nb::str("the block's value for {} {}")
                                        .format(coordinate(r, c), why);
            }
        }
        style.heights(std::min(row + (long) rows - 1, sheets::kMaxRow));
        if (styler.is_valid())
            tessel::block::apply_css(styler, sheet_, row, column, skipped);
        blocks_.push_back(Block{row, row + (long) rows - 1, column, column + (long) columns - 1});
        if (last_new_row) {
            nb::object current = sheet_.attr("_current_row");
            if (nb::cast<long>(current) < last_new_row)
                sheet_.attr("_current_row") = last_new_row;
        }
        report_overwrites(placeholder, place_row, column, inserting, over);
        // The rest of the block stands, but the placeholder was not filled whole.
        if (first_refused.is_valid())
            tessel::refuse(first_refused);
    }

    // A frame block in the native engine: its values stay in the frame's columns
    // and are written with the sheet.  Only the cells the sheet already holds
    // under it are written now, as the openpyxl engine writes every cell.
    //
    // The frame's columns land left to right from the placeholder's cell on the
    // cells of the template row, a range merged across that row taking one value,
    // as a document's table block follows merged cells.  In insert mode the new
    // rows get the template row's merges, and the formulas of the template row
    // beside the block are filled down into them, as Excel extends a calculated
    // column.
    void place_frame_native(nb::handle frame, nb::handle placeholder, long row, long column, long place_row) {
        Py_ssize_t rows, columns;
        if (!shape_of(frame, rows, columns))
            return;
        const bool inserting = tessel::truthy(nb::getattr(call_.self, "insert", nb::bool_(false)));
        auto values = std::make_shared<cells::FrameColumns>(frame, rows, columns, call_.book->date1904());
        if (inserting)
            make_room(row, (long) rows);

        // The merges of the template row (the model keeps merges where the template has them).
        std::vector<std::pair<long, long>> merges;
        const long in_template = template_row(row);
        for (nb::handle range : sheet_.attr("merged_cells").attr("ranges")) {
            const long top = nb::cast<long>(range.attr("min_row")), bottom = nb::cast<long>(range.attr("max_row"));
            const long left = nb::cast<long>(range.attr("min_col")), right = nb::cast<long>(range.attr("max_col"));
            if (top == in_template && bottom == in_template && right > left && left >= column)
                merges.emplace_back(left, right);
        }
        std::sort(merges.begin(), merges.end());
        std::vector<long> at((size_t) columns);
        std::vector<std::pair<long, long>> spans;  // the merges the block's values take
        for (long j = 0, c = column; j < columns; ++j) {
            at[(size_t) j] = c;
            auto merge = std::lower_bound(merges.begin(), merges.end(), std::make_pair(c, 0L));
            if (merge != merges.end() && merge->first == c) {
                spans.push_back(*merge);
                c = merge->second + 1;
            } else {
                ++c;
            }
        }
        Py_ssize_t in_sheet = 0;  // the columns that land within the sheet
        while (in_sheet < columns && at[(size_t) in_sheet] <= sheets::kMaxColumn)
            ++in_sheet;
        const long last_row = std::min(row + (long) rows - 1, sheets::kMaxRow);
        const long last_column = in_sheet ? at[(size_t) in_sheet - 1] : column - 1;

        std::vector<tessel::block::ColumnDates> dates((size_t) columns);
        for (Py_ssize_t j = 0; j < columns; ++j)
            dates[(size_t) j] = {values->has_datetimes(j), values->all_midnight(j)};
        tessel::block::BlockStyle style(sheet_, row, at, dates);

        tessel::native::FrameBlock block;
        block.columns = values;
        block.top = row;
        block.at.assign(at.begin(), at.begin() + in_sheet);
        block.height = style.height();

        // The first value left unwritten, in the order the block is written.
        std::pair<Py_ssize_t, Py_ssize_t> first{rows, columns};
        const char *first_why = nullptr;
        auto unwritten = [&](Py_ssize_t i, Py_ssize_t j, const char *why) {
            if (std::make_pair(i, j) < first) {
                first = {i, j};
                first_why = why;
            }
        };
        if (!values->refused_cells().empty())
            unwritten(values->refused_cells().front().first, values->refused_cells().front().second,
                      "cannot be stored in a cell");
        if (row + (long) rows - 1 > sheets::kMaxRow)
            unwritten(sheets::kMaxRow - row + 1, 0, "falls outside the sheet");
        if (in_sheet < columns)
            unwritten(0, in_sheet, "falls outside the sheet");

        // The cells the sheet holds under the block, in the order of the walk.
        std::unordered_map<long, Py_ssize_t> offset_of;
        for (Py_ssize_t j = 0; j < in_sheet; ++j)
            offset_of[at[(size_t) j]] = j;
        std::vector<std::pair<Position, nb::object>> under;
        std::vector<std::pair<long, nb::object>> beside;  // formula cells of the template row
        {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(cells_.ptr(), &pos, &key, &value)) {
                int overflow = 0;
                const long r = PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(key, 0), &overflow);
                const long c = PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(key, 1), &overflow);
                if (PyErr_Occurred())
                    throw nb::python_error();
                if (overflow || r < row || r > last_row)
                    continue;
                if (offset_of.count(c))
                    under.emplace_back(position(r, c), nb::borrow(value));
                else if (r == row && (c < column || c > last_column))
                    beside.emplace_back(c, nb::borrow(value));
            }
        }
        std::sort(under.begin(), under.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        Overwritten over;
        for (const auto &[p, cell] : under) {
            const long r = row_of(p), c = column_of(p);
            const Py_ssize_t i = r - row, j = offset_of[c];
            block.covered.insert(tessel::native::FrameBlock::key(i, j));
            if (values->refused(i, j))
                continue;
            if (Py_TYPE(cell.ptr()) == (PyTypeObject *) merged_type.ptr()) {
                unwritten(i, j, "lands on a merged cell");
                continue;
            }
            nb::object v = values->value(i, j);
            style.restyle(cell, j, v);
            if (v.is_none() && cell.attr("value").is_none())
                continue;
            if (i != 0 || j != 0)
                note_overwrite(cell, r, c, v, over);
            nb::object ignored;
            tessel::guarded([&] { cell.attr("value") = v; }, ignored);
        }

        // A recursive fill visits the texts of the block that hold placeholders:
        // those become cells of the model, ahead of the walk.
        if (tessel::truthy(nb::getattr(call_.self, "recurse"))) {
            for (Py_ssize_t i = 0; i < rows && row + (long) i <= last_row; ++i) {
                if ((i & 0xFFF) == 0)
                    tessel::check_signals();
                for (Py_ssize_t j = 0; j < in_sheet; ++j) {
                    if (block.covered.count(tessel::native::FrameBlock::key(i, j)) || values->refused(i, j))
                        continue;
                    nb::object v = values->value(i, j);
                    if (!PyUnicode_Check(v.ptr()) ||
                        PyUnicode_FindChar(v.ptr(), '{', 0, PyUnicode_GET_LENGTH(v.ptr()), 1) < 0)
                        continue;
                    const long r = row + (long) i, c = at[(size_t) j];
                    nb::handle fresh = style.fresh(j, v);
                    nb::object cell = fresh.is_valid() ? cell_type(sheet_, r, c, v, fresh) : cell_type(sheet_, r, c, v);
                    nb::object key = nb::make_tuple(r, c);
                    if (PyDict_SetItem(cells_.ptr(), key.ptr(), cell.ptr()) < 0)
                        throw nb::python_error();
                    block.covered.insert(tessel::native::FrameBlock::key(i, j));
                    max_column_ = std::max(max_column_, c);
                    if (r <= max_row_)
                        created_.push(position(r, c));
                }
            }
        }

        // The style each kind of value takes in each column, as a new cell of the
        // openpyxl engine gets it: the template row's, and a number format that
        // shows a date or a time where that style has none.
        nb::module_ datetime = nb::module_::import_("datetime");
        nb::object samples[5] = {nb::none(), datetime.attr("datetime")(2000, 1, 1, 12),
                                 datetime.attr("date")(2000, 1, 1), datetime.attr("time")(12),
                                 datetime.attr("timedelta")(1)};
        block.styles.resize((size_t) in_sheet);
        for (Py_ssize_t j = 0; j < in_sheet; ++j) {
            samples[1] = values->all_midnight(j) ? datetime.attr("datetime")(2000, 1, 1)
                                                 : datetime.attr("datetime")(2000, 1, 1, 12);
            for (size_t kind = 0; kind < 5; ++kind) {
                nb::handle fresh = style.fresh(j, samples[kind]);
                if (kind == 0) {
                    if (fresh.is_valid())
                        block.styles[(size_t) j][0] = nb::borrow(fresh);
                    continue;
                }
                nb::object scratch = fresh.is_valid() ? cell_type(sheet_, 1, 1, samples[kind], fresh)
                                                      : cell_type(sheet_, 1, 1, samples[kind]);
                block.styles[(size_t) j][kind] = scratch.attr("_style");
            }
        }
        // The used range reaches the last column the block makes a cell in, as a
        // block written cell by cell would leave it.
        for (Py_ssize_t j = in_sheet - 1; j >= 0; --j) {
            bool made = block.styles[(size_t) j][0].is_valid();
            for (Py_ssize_t i = 0; !made && i < rows && row + (long) i <= last_row; ++i)
                made = !values->empty(i, j) && !values->refused(i, j);
            if (made) {
                max_column_ = std::max(max_column_, at[(size_t) j]);
                break;
            }
        }
        if (inserting && rows > 1) {
            for (const auto &[first_column, last] : spans)
                if (first_column <= sheets::kMaxColumn)
                    block.merges.emplace_back(first_column, std::min(last, sheets::kMaxColumn));
            for (const auto &[c, cell] : beside) {
                if (Py_TYPE(cell.ptr()) == (PyTypeObject *) merged_type.ptr() ||
                    !nb::str("f").equal(cell.attr("data_type")))
                    continue;
                nb::object formula = cell.attr("value");
                if (!PyUnicode_Check(formula.ptr()))
                    continue;
                std::string text = nb::cast<std::string>(formula);
                block.filled_down.push_back(
                    tessel::native::FilledDown{c, text.substr(text.empty() || text[0] != '=' ? 0 : 1),
                                               nb::borrow(cell.attr("_style"))});
            }
            std::sort(block.filled_down.begin(), block.filled_down.end(),
                      [](const auto &a, const auto &b) { return a.column < b.column; });
        }
        native_->blocks.push_back(std::move(block));
        replaced_rects_.push_back(Block{row, last_row, column, last_column});
        blocks_.push_back(Block{row, row + (long) rows - 1, column, at.back()});
        report_overwrites(placeholder, place_row, column, inserting, over);
        if (first_why)
            tessel::refuse(nb::str("the block's value for {} {}")
                               .format(coordinate(row + (long) first.first,
                                                  first.second < in_sheet ? at[(size_t) first.second]
                                                                          : sheets::kMaxColumn + 1 +
                                                                                (long) (first.second - in_sheet)),
                                       first_why));
    }

    void report_overwrites(nb::handle placeholder, long place_row, long column, bool inserting,
                           const Overwritten &over) {
        if (over.cells.empty() && over.placeholders.empty())
            return;
        nb::str block = nb::str("the block of {} at {}")
                            .format(tessel::delimited(placeholder, tessel::read_pattern(call_.self)),
                                    coordinate(place_row, column));
        // In insert mode only the block's own row is written over: the rows under
        // it are new.
        const char *advice = inserting ? "the rows under a block are inserted, not its own row"
                                       : "use insert=True to make room";
        for (const auto &[lost, where] : over.placeholders)
            lost_.push_back(Lost{lost, where, nb::str("written over by {}; {}").format(block, advice)});
        if (!over.cells.empty())
            call_.warnings.push_back(
                nb::str("{} on sheet {!r} wrote over {} cell{} holding values or formulas: {}; {}")
                    .format(block, title_, over.cells.size(), over.cells.size() == 1 ? "" : "s",
                            ranges_of(over.cells), advice));
    }

    // Notes what the cell at (r, c) held before a block writes `v` there.  What an
    // earlier block of the fill wrote is the fill's own and is not reported.
    void note_overwrite(nb::handle cell, long r, long c, nb::handle v, Overwritten &over) {
        if (written_by_block(r, c))
            return;
        nb::object old = cell.attr("value");
        if (old.is_none() || (PyUnicode_Check(old.ptr()) && PyUnicode_GET_LENGTH(old.ptr()) == 0))
            return;
        const long row = template_row(r);
        // A template cell the walk has not reached: its placeholders are lost.
        if (PyUnicode_Check(old.ptr())) {
            nb::object found = placeholders_in(old);
            if (nb::len(found)) {
                for (nb::handle placeholder : found)
                    over.placeholders.emplace_back(nb::borrow(placeholder), place(row, c));
                return;
            }
        }
        int same = PyObject_RichCompareBool(old.ptr(), v.ptr(), Py_EQ);
        if (same < 0)
            PyErr_Clear();
        if (same != 1)
            over.cells.push_back(position(row, c));
    }

    bool written_by_block(long r, long c) const {
        for (const Block &b : blocks_)
            if (r >= b.top && r <= b.bottom && c >= b.left && c <= b.right)
                return true;
        return false;
    }

    // Stores one converted value at column offset j of a block; false when the
    // cell refuses it (a merged cell).
    bool store(long r, long c, nb::handle v, tessel::block::BlockStyle &style, Py_ssize_t j,
               long &last_new_row, bool own_cell, Overwritten &over) {
        nb::object key = nb::make_tuple(r, c);
        PyObject *existing = PyDict_GetItemWithError(cells_.ptr(), key.ptr());
        if (!existing && PyErr_Occurred())
            throw nb::python_error();
        if (!existing) {
            nb::handle fresh = style.fresh(j, v);
            // An empty position is already empty, unless the template row styles it.
            if (v.is_none() && !fresh.is_valid())
                return true;
            nb::object cell = fresh.is_valid() ? cell_type(sheet_, r, c, v, fresh) : cell_type(sheet_, r, c, v);
            if (PyDict_SetItem(cells_.ptr(), key.ptr(), cell.ptr()) < 0)
                throw nb::python_error();
            max_column_ = std::max(max_column_, c);
            last_new_row = std::max(last_new_row, r);
            if (r <= max_row_)
                created_.push(position(r, c));
            return true;
        }
        nb::handle cell(existing);
        if (Py_TYPE(existing) == (PyTypeObject *) merged_type.ptr())
            return false;
        style.restyle(cell, j, v);
        if (v.is_none() && cell.attr("value").is_none())
            return true;
        if (!own_cell)
            note_overwrite(cell, r, c, v, over);
        nb::object ignored;
        return tessel::guarded([&] { cell.attr("value") = v; }, ignored);
    }

    Call &call_;
    nb::object sheet_;
    tessel::native::PackageSheet *native_;  // the sheet in the native engine's workbook
    nb::object title_;
    nb::object source_title_;
    nb::object cells_;
    std::vector<Entry> start_;  // the cells the sheet held when its visit began
    std::vector<nb::object> outside_;  // cells whose row or column is past the grid
    // Cells that frames create ahead of the visit, smallest position first.
    std::priority_queue<Position, std::vector<Position>, std::greater<Position>> created_;
    std::unordered_set<Position> replaced_;  // positions written from a data frame
    struct Block;
    std::vector<Block> replaced_rects_;      // the same, for blocks written from their columns
    long max_row_ = 1;
    long max_column_ = 1;
    sheets::Insertions insertions_;  // rows this sheet's blocks inserted, in order
    long inserted_ = 0;               // how many in all
    long settled_row_ = 0;            // the template row being visited
    long settled_offset_ = 0;         // rows inserted above it
    std::vector<Lost> lost_;          // placeholders the last block wrote over
    struct Block {
        long top, bottom, left, right;
    };
    std::vector<Block> blocks_;  // where the fill's blocks wrote, where it stands now

    std::vector<TagAt> tags_;
    std::map<std::tuple<long, long, size_t>, size_t> tag_at_;  // (template row, column, occurrence) -> tag
    tessel::sections::Structure structure_;
    std::vector<std::vector<size_t>> children_;  // per section, the sections it holds that expand
    std::vector<size_t> top_level_;
    std::map<std::pair<size_t, size_t>, nb::object> outcome_;  // (tag, chain) -> reason, None when it worked
    std::vector<ChainNode> chains_{ChainNode{0, Link{0, 0, nb::object()}}};
    std::unordered_map<PyObject *, Origin> origins_;  // the model's cells in sheets with sections
    std::vector<nb::object> origin_cells_;             // keeps those keys alive
    std::vector<Pending> pending_;
    size_t bound_chain_ = 0;
    size_t base_mark_ = 0;
};

bool safe_of(nb::handle self) { return tessel::truthy(nb::getattr(self, "safe", nb::bool_(false))); }

// The engine a fill uses: the template package itself, or openpyxl's model of it.
bool native_engine(nb::handle self) {
    nb::object engine = nb::getattr(self, "engine", nb::str("native"));
    if (nb::str("native").equal(engine))
        return true;
    if (nb::str("openpyxl").equal(engine))
        return false;
    throw nb::value_error("engine must be 'native' or 'openpyxl'");
}

int compress_level(nb::handle self) {
    nb::object level = nb::getattr(self, "compresslevel", nb::int_(6));
    int overflow = 0;
    const long v = PyLong_Check(level.ptr()) && !PyBool_Check(level.ptr())
                       ? PyLong_AsLongAndOverflow(level.ptr(), &overflow)
                       : -1;
    if (PyErr_Occurred())
        throw nb::python_error();
    if (overflow || v < 0 || v > 9)
        throw nb::value_error("compresslevel must be a whole number from 0 to 9");
    return (int) v;
}

// The placeholder of a sheet name in the generator form ("{c.name for c in
// customers}"); invalid for any other name.
nb::object generator_name(nb::handle self, nb::handle title) {
    // The pattern is read only for a name that may hold a placeholder.
    if (!PyUnicode_Check(title.ptr()) ||
        PyUnicode_FindChar(title.ptr(), '{', 0, PyUnicode_GET_LENGTH(title.ptr()), 1) < 0)
        return nb::object();
    const Pattern pattern = tessel::read_pattern(self);
    std::vector<tessel::Match> found = tessel::scan(title, pattern);
    if (found.size() != 1 || found[0].begin != 0 || found[0].end != PyUnicode_GET_LENGTH(title.ptr()))
        return nb::object();
    nb::str placeholder = tessel::placeholder_of(title, found[0], pattern);
    if (tessel::sections::generator(placeholder).loop.kind == tessel::sections::Kind::None)
        return nb::object();
    return std::move(placeholder);
}

// What a repeated sheet's name reports, given before the sheet (null: at the end).
struct Announced {
    PyObject *before;
    nb::object placeholder;
    nb::str place;
    nb::object reason;  // None when it worked
};

struct SheetCopy {
    size_t loop;
    nb::object item;
    nb::object source;  // the template sheet's title
};

struct SheetCopies {
    std::vector<tessel::sections::Tag> loops;
    std::unordered_map<PyObject *, SheetCopy> of;  // by model
    std::vector<Announced> announced;
};

// A sheet name Excel takes, from a value's text: without the characters a name
// cannot hold, at most 31 characters, and unlike every name in `taken` (folded),
// to which it is added.
std::string sheet_name(nb::handle value, std::set<std::string> &taken) {
    nb::object text = tessel::to_text(value);
    for (const char *bad : {"[", "]", ":", "*", "?", "/", "\\"})
        text = text.attr("replace")(bad, "");
    text = text.attr("strip")().attr("strip")("'");
    if (!tessel::truthy(text))
        text = nb::str("Sheet");
    constexpr Py_ssize_t kLongest = 31;
    auto cut = [](nb::handle t, Py_ssize_t length) {
        return nb::steal(PySequence_GetSlice(t.ptr(), 0, length));
    };
    std::string name = nb::cast<std::string>(cut(text, kLongest));
    for (long n = 2; taken.count(tessel::repair::folded_name(name)); ++n) {
        const std::string suffix = " (" + std::to_string(n) + ")";
        name = nb::cast<std::string>(cut(text, kLongest - (Py_ssize_t) suffix.size())) + suffix;
    }
    taken.insert(tessel::repair::folded_name(name));
    return name;
}

// Repeats each sheet whose name is in the generator form once per item, before
// any sheet is filled.  A sheet whose items cannot be listed or named stays as
// it is, its name failed.
SheetCopies repeat_sheets(Call &call) {
    namespace sec = tessel::sections;
    SheetCopies out;
    std::vector<tessel::native::PackageSheet> &sheets = call.book->sheets();
    for (size_t i = 0; i < sheets.size(); ++i) {
        nb::str title(sheets[i].name.c_str());
        nb::object placeholder = generator_name(call.self, title);
        if (!placeholder.is_valid())
            continue;
        nb::str where = nb::str("sheet {}").format(title);
        if (call.evaluator.listing()) {
            out.announced.push_back(Announced{sheets[i].model.ptr(), placeholder, where, nb::none()});
            continue;
        }
        sec::Generator generator = sec::generator(placeholder);
        std::vector<nb::object> items;
        std::vector<std::string> names;
        nb::object reason;
        const bool ok = tessel::guarded(
            [&] {
                tessel::Evaluator &evaluator = call.evaluator;
                items = sec::items_of(evaluator, generator.loop);
                evaluator.count_copies(
                    ((long long) PyDict_GET_SIZE(sheets[i].model.attr("_cells").ptr()) * kCellMarkup + kSheetMarkup) *
                    (long long) items.size());
                std::set<std::string> taken;
                for (size_t k = 0; k < sheets.size(); ++k)
                    if (k != i)
                        taken.insert(tessel::repair::folded_name(sheets[k].name));
                for (const nb::object &item : items) {
                    const size_t mark = evaluator.mark();
                    sec::bind(evaluator, generator.loop, item);
                    nb::object value = evaluator.value(generator.each);
                    evaluator.unbind(mark);
                    names.push_back(sheet_name(value, taken));
                }
                try {
                    call.book->repeat_sheet(i, names);
                } catch (const std::invalid_argument &e) {
                    tessel::refuse(nb::str("the sheet was not repeated: {}").format(nb::str(e.what())));
                }
            },
            reason);
        if (!ok) {
            out.announced.push_back(Announced{sheets[i].model.ptr(), placeholder, where, reason});
            continue;
        }
        const size_t next = i + names.size();
        out.announced.push_back(
            Announced{next < sheets.size() || !names.empty() ? sheets[names.empty() ? next : i].model.ptr() : nullptr,
                      placeholder, where, nb::none()});
        out.loops.push_back(generator.loop);
        for (size_t k = 0; k < names.size(); ++k)
            out.of[sheets[i + k].model.ptr()] = SheetCopy{out.loops.size() - 1, items[k], title};
        i = next - 1;
    }
    return out;
}

// Fills every worksheet of a workbook (an openpyxl one, or the native engine's
// models when `book` is given); returns the rows its blocks inserted.
nb::dict walk(nb::handle self, nb::handle template_path, nb::handle workbook, tessel::native::PackageBook *book,
             tessel::Evaluator evaluator, tessel::Report &report) {
    tessel::headers::TemplateHeaders headers(template_path);
    // The native engine moves the template's drawings and objects with the rows;
    // the openpyxl engine only where restoration brings them back.
    tessel::repair::InsertionCheck insertion_check(
        template_path, book || tessel::truthy(nb::getattr(self, "restore")));
    Call call{self,
              std::move(evaluator),
              report,
              nb::getattr(module_handle, "pandas").attr("DataFrame"),
              nb::dict(),
              {},
              headers,
              insertion_check,
              book,
              book ? std::map<std::string, std::vector<tessel::pictures::AltPicture>>()
                   : tessel::pictures::template_pictures(template_path)};
    SheetCopies copies;
    if (book)
        copies = repeat_sheets(call);
    size_t announced = 0;
    auto announce = [&](PyObject *before) {
        for (; announced < copies.announced.size() && copies.announced[announced].before == before; ++announced) {
            const Announced &a = copies.announced[announced];
            if (a.reason.is_none())
                call.report.filled(a.placeholder, [&] { return a.place; });
            else
                call.report.failed(a.placeholder, a.place, a.reason);
        }
    };
    auto fill = [&](nb::handle sheet) {
        announce(sheet.ptr());
        auto copy = copies.of.find(sheet.ptr());
        if (copy == copies.of.end()) {
            SheetFill one(call, sheet);
            one.run();
            return;
        }
        const size_t mark = call.evaluator.mark();
        tessel::sections::bind(call.evaluator, copies.loops[copy->second.loop], copy->second.item);
        SheetFill one(call, sheet, copy->second.source);
        one.run();
        call.evaluator.unbind(mark);
    };
    if (book) {
        for (tessel::native::PackageSheet &sheet : book->sheets())
            fill(sheet.model);
    } else {
        for (nb::handle sheet : workbook.attr("worksheets")) {
            nb::object placeholder = generator_name(self, sheet.attr("title"));
            if (placeholder.is_valid())
                report.failed(placeholder, nb::str("sheet {}").format(sheet.attr("title")),
                              nb::str(kSectionsNeedNative));
            fill(sheet);
        }
    }
    announce(nullptr);
    // Warned once the walk is over: a warning turned into an error stops the call
    // before anything is saved, instead of failing the block it is about.
    for (const nb::str &message : call.warnings)
        if (PyErr_WarnEx(overwrite_warning.ptr(), message.c_str(), 1) < 0)
            throw nb::python_error();
    return call.inserted;
}

// A loaded template: openpyxl's workbook, or the native engine's.
struct Loaded {
    nb::object workbook;
    std::unique_ptr<tessel::native::PackageBook> book;
};

// Loads a template for the fill's engine.  openpyxl warns that it ignores a
// header or footer it cannot split into sections; the fill keeps those as they
// are, so the warning would mislead.
Loaded load_template(nb::handle self, nb::handle template_path) {
    const bool native = native_engine(self);
    nb::module_ warnings = nb::module_::import_("warnings");
    nb::object scope = warnings.attr("catch_warnings")();
    scope.attr("__enter__")();
    Loaded loaded;
    try {
        warnings.attr("filterwarnings")("ignore", "message"_a = "Cannot parse header or footer",
                                        "category"_a = nb::handle(PyExc_UserWarning));
        if (native) {
            // openpyxl's reader reads only the sheets' settings here, and warns of
            // what it would drop from a model; the native engine drops nothing.
            warnings.attr("filterwarnings")("ignore", "category"_a = nb::handle(PyExc_UserWarning),
                                            "module"_a = "openpyxl");
            // A model cell per template cell, none of them garbage.
            without_collection([&] { loaded.book = std::make_unique<tessel::native::PackageBook>(template_path); });
        } else {
            loaded.workbook = nb::getattr(module_handle, "load_workbook")(template_path);
        }
    } catch (...) {
        scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return loaded;
}

// Fills a loaded template into `save_path`; both may be paths or streams.
void fill_into(nb::handle self, nb::handle template_path, Loaded &loaded, nb::handle save_path, nb::handle env,
               tessel::Report &report) {
    tessel::Evaluator evaluator(nb::borrow(env), safe_of(self));
    if (loaded.book) {
        const int level = compress_level(self);
        nb::dict inserted = walk(self, template_path, nb::none(), loaded.book.get(), std::move(evaluator), report);
        tessel::confinement::evaluations_done();
        loaded.book->save(save_path, inserted, level);
        return;
    }
    nb::object workbook = loaded.workbook;
    nb::dict inserted = walk(self, template_path, workbook, nullptr, std::move(evaluator), report);
    tessel::confinement::evaluations_done();

    tessel::FileBeside out(save_path);
    workbook.attr("save")(out.target());
    workbook.attr("close")();
    // openpyxl wrote the cells where they now stand, and every reference to them
    // as the template had it: those move once, with the template's objects that
    // restoration brings back.
    if (tessel::truthy(nb::getattr(self, "restore"))) {
        nb::object restore = nb::getattr(module_handle, "restore_save");
        if (nb::len(inserted))
            restore(template_path, out.target(), "inserted"_a = inserted);
        else
            restore(template_path, out.target());
    } else {
        tessel::repair::move_inserted_rows(out.target(), inserted);
    }
    out.commit();
}

// Lists or evaluates a template's placeholders as a fill would meet them.
void check_into(nb::handle self, nb::handle template_path, Loaded &loaded, tessel::Evaluator evaluator,
                tessel::Report &report) {
    walk(self, template_path, loaded.workbook, loaded.book.get(), std::move(evaluator), report);
    if (loaded.workbook.is_valid())
        loaded.workbook.attr("close")();
}

// Imports, before a confined process starts, what a fill may import on first use:
// the child can load nothing new where the system cannot confine its reads.
void prepare_confined() {
    static bool prepared = false;
    if (prepared)
        return;
    nb::module_::import_("PIL.Image").attr("init")();
    for (const char *name : {"openpyxl.reader.excel", "openpyxl.writer.excel", "openpyxl.drawing.image",
                             "openpyxl.drawing.spreadsheet_drawing", "openpyxl.worksheet._writer",
                             "openpyxl.packaging.extended", "openpyxl.worksheet._reader",
                             "openpyxl.styles.stylesheet", "openpyxl.utils.datetime", "openpyxl.worksheet.formula"})
        nb::module_::import_(name);
    prepared = true;
}

// openpyxl writes each worksheet to a temporary file before packing it; a
// confined process may write no file, so there the sheets are written in memory.
// The process ends with the fill, so changing the library's class touches no one else.
void write_sheets_in_memory() {
    nb::object excel_writer = nb::module_::import_("openpyxl.writer.excel").attr("ExcelWriter");
    nb::object original = excel_writer.attr("write_worksheet");
    nb::object drawing_cls = nb::module_::import_("openpyxl.drawing.spreadsheet_drawing").attr("SpreadsheetDrawing");
    nb::object sheet_writer_cls = nb::module_::import_("openpyxl.worksheet._writer").attr("WorksheetWriter");
    nb::object in_memory = nb::cpp_function([original, drawing_cls, sheet_writer_cls](nb::handle writer,
                                                                                     nb::handle ws) {
        if (tessel::truthy(writer.attr("workbook").attr("write_only"))) {
            original(writer, ws);
            return;
        }
        // openpyxl's own steps, with a stream where it names a file
        nb::object drawing = drawing_cls();
        drawing.attr("charts") = ws.attr("_charts");
        drawing.attr("images") = ws.attr("_images");
        ws.attr("_drawing") = drawing;
        nb::object sheet = sheet_writer_cls(ws, "out"_a = nb::getattr(module_handle, "BytesIO")());
        sheet.attr("write")();
        ws.attr("_rels") = sheet.attr("_rels");
        writer.attr("_archive").attr("writestr")(ws.attr("path").attr("lstrip")("/"), sheet.attr("read")());
        writer.attr("manifest").attr("append")(ws);
    });
    excel_writer.attr("write_worksheet") = nb::module_::import_("functools").attr("partialmethod")(in_memory);
}

// A safe fill in a confined process: the template's bytes go in, the filled
// workbook's come out, and only this process writes the file.
tessel::confinement::Made fill_confined(nb::handle self, nb::handle template_path, nb::handle env,
                                        tessel::Report &report) {
    prepare_confined();
    nb::bytes template_bytes = tessel::read_file(template_path);
    return tessel::confinement::run_reporting(self, report, [&](tessel::Report &inner) -> nb::object {
        write_sheets_in_memory();
        nb::object in = nb::getattr(module_handle, "BytesIO")(template_bytes);
        Loaded loaded = load_template(self, in);
        if (inner.checking()) {
            check_into(self, in, loaded, tessel::Evaluator(nb::borrow(env), true), inner);
            return nb::none();
        }
        nb::object out = nb::getattr(module_handle, "BytesIO")();
        fill_into(self, in, loaded, out, env, inner);
        return out.attr("getvalue")();
    });
}

nb::object grid_fill(nb::handle self, nb::object template_path, nb::object save_path, nb::object env) {
    tessel::assert_extensions(template_path, save_path, ".xlsx");
    tessel::require_package(template_path, ".xlsx");
    native_engine(self);
    compress_level(self);
    tessel::Report report(false);
    if (tessel::confinement::wanted(self)) {
        if (env.is_none())
            env = tessel::caller_variables(module_handle);
        tessel::confinement::Made made = fill_confined(self, template_path, env, report);
        // As in a fill here: a warning turned into an error stops the call before
        // anything is saved.
        tessel::confinement::warn_again(made.warnings, overwrite_warning);
        tessel::ooxml::check_package(made.output, "filled workbook");
        tessel::write_beside(save_path, made.output);
    } else {
        Loaded loaded = load_template(self, template_path);
        if (env.is_none())
            env = tessel::caller_variables(module_handle);
        fill_into(self, template_path, loaded, save_path, env, report);
    }
    return report.result();
}

nb::object grid_check(nb::handle self, nb::object template_path, nb::object env, bool evaluate) {
    tessel::assert_extension(template_path, "template_path", ".xlsx");
    tessel::require_package(template_path, ".xlsx");
    native_engine(self);
    tessel::Report report(true);
    if (evaluate && tessel::confinement::wanted(self)) {
        if (env.is_none())
            env = tessel::caller_variables(module_handle);
        tessel::confinement::Made made = fill_confined(self, template_path, env, report);
        tessel::confinement::warn_again(made.warnings, overwrite_warning);
        return report.result();
    }
    Loaded loaded = load_template(self, template_path);
    if (env.is_none() && evaluate)
        env = tessel::caller_variables(module_handle);
    check_into(self, template_path, loaded,
               tessel::Evaluator(env, safe_of(self),
                                 evaluate ? tessel::Evaluator::Mode::Run : tessel::Evaluator::Mode::List),
               report);
    return report.result();
}

nb::object import_name(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

}  // namespace

NB_MODULE(gridfill, m) {
    m.doc() = "Fill placeholders of xlsx workbook templates.";
    module_handle = m;

    m.attr("load_workbook") = import_name("openpyxl", "load_workbook");
    m.attr("Image") = import_name("openpyxl.drawing.image", "Image");
    m.attr("re") = nb::module_::import_("re");
    m.attr("BytesIO") = import_name("io", "BytesIO");
    m.attr("get_outer_frame_variables") =
        tessel::import_sibling(m, "utils").attr("get_outer_frame_variables");
    m.attr("os") = nb::module_::import_("os");
    m.attr("shutil") = nb::module_::import_("shutil");
    m.attr("zipfile") = nb::module_::import_("zipfile");
    m.attr("TemporaryDirectory") = import_name("tempfile", "TemporaryDirectory");
    m.attr("etree") = import_name("lxml", "etree");
    m.attr("ET") = nb::module_::import_("xml.etree.ElementTree");
    m.attr("pandas") = nb::module_::import_("pandas");

    cell_type = import_name("openpyxl.cell.cell", "Cell").release();
    merged_type = import_name("openpyxl.cell.cell", "MergedCell").release();
    overwrite_warning = nb::object(tessel::import_sibling(m, "results").attr("OverwriteWarning")).release();
    is_date_format = import_name("openpyxl.styles.numbers", "is_date_format").release();
    one_cell_anchor = import_name("openpyxl.drawing.spreadsheet_drawing", "OneCellAnchor").release();
    positive_size = import_name("openpyxl.drawing.xdr", "XDRPositiveSize2D").release();
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    cells::init();
    tessel::block::init();
    tessel::headers::init(m);
    tessel::init_results(m);
    tessel::confinement::expose(m);

    nb::object cls = tessel::make_plain_class(m, "GridFill", kClassDoc);
    static const std::string init_doc =
        std::string(tessel::kInitDoc) + kRecurseRestoreDoc + kInsertDoc + tessel::kSafeDoc + tessel::kSafeLimitsDoc +
        kEngineDoc;
    tessel::def_method(
        cls, "__init__",
        [](nb::handle self, nb::object pattern, nb::object recurse, nb::object restore,
           nb::object insert, nb::object safe, nb::object safe_limits, nb::object engine, nb::object compresslevel) {
            nb::setattr(self, "pattern", pattern);
            nb::setattr(self, "recurse", recurse);
            nb::setattr(self, "restore", restore);
            nb::setattr(self, "insert", insert);
            nb::setattr(self, "safe", safe);
            nb::setattr(self, "safe_limits", safe_limits);
            nb::setattr(self, "engine", engine);
            nb::setattr(self, "compresslevel", compresslevel);
        },
        nb::arg("pattern").none() = "{}", nb::arg("recurse").none() = false,
        nb::arg("restore").none() = true, nb::arg("insert").none() = false,
        nb::arg("safe").none() = false, nb::arg("safe_limits").none() = nb::none(),
        nb::arg("engine").none() = "native", nb::arg("compresslevel").none() = 6,
        nb::sig("def __init__(self, pattern: str = '{}', recurse: bool = False, "
                "restore: bool = True, insert: bool = False, safe: bool = False, "
                "safe_limits: tuple[int, float] | None = None, engine: str = 'native', "
                "compresslevel: int = 6) -> None"),
        init_doc.c_str());
    tessel::def_method(
        cls, "__call__", &grid_fill, nb::arg("template_path").none(), nb::arg("save_path").none(),
        nb::arg("env").none() = nb::none(),
        nb::sig("def __call__(self, template_path: str, save_path: str, "
                "env: dict[str, typing.Any] | None = None) -> tessel.results.FailedPlaceholders"),
        kCallDoc);
    tessel::def_method(
        cls, "check", &grid_check, nb::arg("template_path").none(),
        nb::arg("env").none() = nb::none(), nb::kw_only(), "evaluate"_a = true,
        nb::sig("def check(self, template_path: str, env: dict[str, typing.Any] | None = None, *, "
                "evaluate: bool = True) -> list[tessel.results.Finding]"),
        kCheckDoc);
    native_extract = tessel::def_extract_placeholder(cls);

    m.def("restore_save", &tessel::repair::restore_save, "template_path"_a, "save_path"_a, nb::kw_only(),
          "inserted"_a.none() = nb::none(),
          nb::sig("def restore_save(template_path: str, save_path: str, *, "
                  "inserted: dict[str, list[tuple[int, int]]] | None = None) -> None"),
          "恢复所有形状相关资源并保存");
    // The package step of insert mode, on its own: for tests of its XML rules.
    m.def("_move_inserted_rows", &tessel::repair::move_inserted_rows, "save_path"_a, "inserted"_a.none(),
          nb::sig("def _move_inserted_rows(save_path: str, inserted: dict[str, list[tuple[int, int]]] | None) "
                  "-> None"));
    // Bytes reach the scanner as a sheet part's raw text does, valid UTF-8 or not.
    m.def(
        "_moved_formula",
        [](nb::handle formula, const std::string &sheet, nb::handle inserted) -> nb::object {
            const bool raw = PyBytes_Check(formula.ptr());
            std::string text = raw ? std::string(PyBytes_AS_STRING(formula.ptr()), (size_t) PyBytes_GET_SIZE(formula.ptr()))
                                   : nb::cast<std::string>(formula);
            tessel::repair::SheetInsertions rows = tessel::repair::SheetInsertions::from_python(inserted);
            sheets::SheetLookup lookup = [&](std::string_view name) {
                return rows.find(name.empty() ? std::string_view(sheet) : name);
            };
            auto moved = sheets::moved_formula(text, lookup);
            if (!moved)
                return nb::borrow(formula);
            if (raw)
                return nb::bytes(moved->data(), moved->size());
            return nb::str(moved->data(), moved->size());
        },
        "formula"_a, "sheet"_a, "inserted"_a,
        nb::sig("def _moved_formula(formula: str | bytes, sheet: str, "
                "inserted: dict[str, list[tuple[int, int]]]) -> str | bytes"));
    m.def("fix_workbook_relationships", &tessel::repair::fix_workbook_relationships, "src_dir"_a,
          "des_dir"_a, nb::sig("def fix_workbook_relationships(src_dir: str, des_dir: str) -> None"),
          "修复工作簿级关系");
    m.def("fix_worksheet_relationships", &tessel::repair::fix_worksheet_relationships, "src_dir"_a,
          "des_dir"_a, nb::sig("def fix_worksheet_relationships(src_dir: str, des_dir: str) -> None"),
          "修复工作表级关系");
    m.def("fix_content_types", &tessel::repair::fix_content_types, "src_dir"_a, "des_dir"_a,
          nb::sig("def fix_content_types(src_dir: str, des_dir: str) -> None"), "修复内容类型声明");
    m.def("restore_drawing_tags", &tessel::repair::restore_drawing_tags, "src_dir"_a, "des_dir"_a,
          nb::sig("def restore_drawing_tags(src_dir: str, des_dir: str) -> None"),
          "恢复工作表级别的<drawing>标签");
    tessel::hooks::def_package_hooks(m);
    tessel::pictures::def_picture_hooks(m);
    cells::def_frame_hooks(m);
    tessel::styles::def_style_hooks(m);
}
