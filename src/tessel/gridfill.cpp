// tessel.gridfill: fills .xlsx workbook templates and repairs the saved package.
#include "block_style.h"
#include "cell_values.h"
#include "page_fit.h"
#include "package_file.h"
#include "placeholder.h"
#include "sheet_headers.h"
#include "workbook_repair.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <queue>
#include <set>
#include <string>
#include <utility>
#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using tessel::Pattern;
namespace cells = tessel::cells;

namespace {

constexpr const char *kClassDoc = "Fill placeholders of an xlsx workbook template.";

constexpr const char *kRecurseRestoreDoc =
    "\n:param recurse: recurse replace placeholder in replaced cell."
    "\n:param restore: restore resourse directories, workbook relationships, drawing tags, content "
    "types.";

constexpr const char *kInsertDoc =
    "\n:param insert: make room for a data frame's rows by inserting rows under its cell.";

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
    nb::object bytes_io;    // picture values
    nb::object data_frame;  // block values
    const tessel::headers::TemplateHeaders &headers;
};

// "B4" for row 4, column 2.
std::string coordinate(long row, long column) {
    std::string letters;
    for (long c = column; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), (char) ('A' + (c - 1) % 26));
    return letters + std::to_string(row);
}

// The fill of one worksheet.  It visits the same cells, in the same order and
// within the same bounds as a walk over every position from A1 to the used range
// that reads max_column afresh for each row, but it only looks at positions that
// hold a cell: an empty position has no text, and asking openpyxl for it would
// create a cell.  The used range is tracked here as the fill writes, since
// openpyxl computes it by scanning every cell.
class SheetFill {
public:
    SheetFill(Call &call, nb::handle sheet) : call_(call), sheet_(nb::borrow(sheet)) {
        title_ = sheet.attr("title");
        cells_ = sheet.attr("_cells");
        if (!PyDict_Check(cells_.ptr()))
            throw nb::type_error("a worksheet's cells must be held in a dict");
    }

    void run() {
        collect();
        size_t next = 0;
        long row = 0, bound = 0;
        for (unsigned long visits = 1;; ++visits) {
            Position p;
            nb::object cell;
            const bool from_start = next < start_.size();
            if (from_start && (created_.empty() || start_[next].position < created_.top())) {
                p = start_[next].position;
                cell = start_[next].cell;
                ++next;
            } else if (!created_.empty()) {
                p = created_.top();
                created_.pop();
                cell = cell_at(p);
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
            if (replaced_.count(p) && !tessel::truthy(nb::getattr(call_.self, "recurse")))
                continue;
            if (cell.is_valid())
                visit(cell, r, c);
        }
        fill_headers();
    }

private:
    struct Entry {
        Position position;
        nb::object cell;
    };

    void collect() {
        PyObject *key, *value;
        Py_ssize_t at = 0;
        start_.reserve((size_t) PyDict_GET_SIZE(cells_.ptr()));
        while (PyDict_Next(cells_.ptr(), &at, &key, &value)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2)
                throw nb::type_error("a worksheet's cells must be keyed by (row, column)");
            const long r = PyLong_AsLong(PyTuple_GET_ITEM(key, 0));
            const long c = PyLong_AsLong(PyTuple_GET_ITEM(key, 1));
            if (PyErr_Occurred())
                throw nb::python_error();
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

    // The placeholders of a text, through the filler's extract_placeholder; an
    // invalid object when the native scanner finds none.
    nb::object placeholders_of(nb::handle text) {
        nb::object extract = nb::getattr(call_.self, "extract_placeholder");
        if (!tessel::is_bound_method(extract, native_extract))
            return extract(text);
        const Pattern pattern = tessel::read_pattern(call_.self);
        std::vector<tessel::Match> matches = tessel::scan(text, pattern);
        if (matches.empty())
            return nb::object();
        nb::list found;
        for (const tessel::Match &m : matches)
            found.append(tessel::placeholder_of(text, m, pattern));
        return found;
    }

    void visit(nb::handle cell, long row, long column) {
        nb::object value = cell.attr("value");
        if (!PyUnicode_Check(value.ptr()))
            return;
        nb::object placeholders = placeholders_of(value);
        if (!placeholders.is_valid())
            return;

        // The cell's text as the in-text replacements leave it; written back once.
        nb::object text = value;
        bool changed = false;
        for (nb::handle placeholder : placeholders) {
            nb::str delimited = tessel::delimited(placeholder, tessel::read_pattern(call_.self));
            bool ok;
            nb::object reason;
            if (delimited.equal(value)) {
                if (changed) {
                    cell.attr("value") = text;
                    changed = false;
                }
                ok = tessel::guarded([&] { place_whole(placeholder, cell, row, column); }, reason);
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
                call_.report.filled(placeholder, [&] { return place(row, column); });
            else
                call_.report.failed(placeholder, place(row, column), reason);
        }
        if (changed)
            cell.attr("value") = text;
    }

    nb::str place(long row, long column) const {
        return nb::str("sheet {}, cell {}").format(title_, coordinate(row, column));
    }

    // The sheet's headers and footers, as the template wrote them, placeholders
    // replaced by their values' text.
    void fill_headers() {
        for (const tessel::headers::Item &item : call_.headers.of(title_)) {
            nb::object text = item.text;
            nb::object placeholders = placeholders_of(text);
            if (placeholders.is_valid()) {
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
            tessel::headers::put(sheet_, item.kind, text);
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

    void place_whole(nb::handle placeholder, nb::handle cell, long row, long column) {
        nb::object value = call_.evaluator.value(placeholder);
        if (nb::isinstance(value, call_.bytes_io)) {
            // The picture is built first, so that a stream that is no picture leaves
            // the placeholder in its cell.  It reads a copy of the bytes: openpyxl
            // closes the stream it was given when it saves, which would break the
            // caller's stream and every other cell showing the same picture.
            nb::object copy = nb::getattr(module_handle, "BytesIO")(value.attr("getvalue")());
            nb::object image = picture_of(copy);
            tessel::page::fit_picture(image, sheet_);
            cell.attr("value") = nb::str("");
            sheet_.attr("add_image")(image, cell.attr("coordinate"));
        } else if (nb::isinstance(value, call_.data_frame)) {
            place_frame(value, row, column, nb::handle());
        } else if (tessel::block::is_styler(value)) {
            place_frame(value.attr("data"), row, column, value);
        } else if (!value.is_none()) {
            // None stays unwritten, as openpyxl ignores it: the cell keeps its text.
            nb::object stored;
            switch (cells::convert(value, stored)) {
                case cells::Outcome::Value:
                    cell.attr("value") = stored;
                    break;
                case cells::Outcome::Empty:
                    cell.attr("value") = nb::none();
                    break;
                case cells::Outcome::Refused:
                    tessel::refuse(cells::why_refused(value));
            }
        }
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

    // Writes a frame's values as a block from (row, column), each cell styled
    // like the template row's cell of its column, then a Styler's CSS over them.
    // A value that cannot be stored leaves its cell as it was and fails the
    // placeholder, while the rest of the block is written.
    void place_frame(nb::handle frame, long row, long column, nb::handle styler) {
        nb::object shape = frame.attr("shape");
        const Py_ssize_t rows = nb::cast<Py_ssize_t>(shape[0]);
        const Py_ssize_t columns = nb::cast<Py_ssize_t>(shape[1]);
        if (rows <= 0 || columns <= 0)
            return;
        std::vector<nb::object> values = cells::frame_columns(frame, rows, columns);
        tessel::block::BlockStyle style(sheet_, row, column, values);
        std::set<std::pair<Py_ssize_t, Py_ssize_t>> skipped;
        const nb::handle refused = cells::refused_marker();
        nb::object first_refused;  // why the first value that was not stored was not
        long last_new_row = 0;
        for (Py_ssize_t i = 0; i < rows; ++i) {
            const long r = row + (long) i;
            tessel::check_signals();
            for (Py_ssize_t j = 0; j < columns; ++j) {
                const long c = column + (long) j;
                // Positions below the rows being visited are never visited.
                if (r <= max_row_)
                    replaced_.insert(position(r, c));
                nb::handle v = PyList_GET_ITEM(values[(size_t) j].ptr(), i);
                const char *why = nullptr;
                if (v.is(refused))
                    why = "cannot be stored in a cell";
                else if (r > cells::kMaxRow || c > cells::kMaxColumn)
                    why = "falls outside the sheet";
                else if (!store(r, c, v, style, j, last_new_row))
                    why = "lands on a merged cell";
                if (!why)
                    continue;
                skipped.insert({i, j});
                if (!first_refused.is_valid())
                    first_refused = nb::str("the block's value for {} {}")
                                        .format(coordinate(r, c), why);
            }
        }
        style.heights(std::min(row + (long) rows - 1, cells::kMaxRow));
        if (styler.is_valid())
            tessel::block::apply_css(styler, sheet_, row, column, skipped);
        if (last_new_row) {
            nb::object current = sheet_.attr("_current_row");
            if (nb::cast<long>(current) < last_new_row)
                sheet_.attr("_current_row") = last_new_row;
        }
        // The rest of the block stands, but the placeholder was not filled whole.
        if (first_refused.is_valid())
            tessel::refuse(first_refused);
    }

    // Stores one converted value at column offset j of a block; false when the
    // cell refuses it (a merged cell).
    bool store(long r, long c, nb::handle v, tessel::block::BlockStyle &style, Py_ssize_t j,
               long &last_new_row) {
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
        nb::object ignored;
        return tessel::guarded([&] { cell.attr("value") = v; }, ignored);
    }

    Call &call_;
    nb::object sheet_;
    nb::object title_;
    nb::object cells_;
    std::vector<Entry> start_;  // the cells the sheet held when its visit began
    // Cells that frames create ahead of the visit, smallest position first.
    std::priority_queue<Position, std::vector<Position>, std::greater<Position>> created_;
    std::unordered_set<Position> replaced_;  // positions written from a data frame
    long max_row_ = 1;
    long max_column_ = 1;
};

bool safe_of(nb::handle self) { return tessel::truthy(nb::getattr(self, "safe", nb::bool_(false))); }

// Fills every worksheet of a loaded workbook.
void walk(nb::handle self, nb::handle template_path, nb::handle workbook, tessel::Evaluator evaluator,
          tessel::Report &report) {
    tessel::headers::TemplateHeaders headers(template_path);
    Call call{self,
              std::move(evaluator),
              report,
              nb::getattr(module_handle, "BytesIO"),
              nb::getattr(module_handle, "pandas").attr("DataFrame"),
              headers};
    for (nb::handle sheet : workbook.attr("worksheets")) {
        SheetFill fill(call, sheet);
        fill.run();
    }
}

// Loads a template.  openpyxl warns that it ignores a header or footer it cannot
// split into sections; the fill keeps those as they are, so the warning would mislead.
nb::object load_template(nb::handle template_path) {
    nb::module_ warnings = nb::module_::import_("warnings");
    nb::object scope = warnings.attr("catch_warnings")();
    scope.attr("__enter__")();
    nb::object workbook;
    try {
        warnings.attr("filterwarnings")("ignore", "message"_a = "Cannot parse header or footer",
                                        "category"_a = nb::handle(PyExc_UserWarning));
        workbook = nb::getattr(module_handle, "load_workbook")(template_path);
    } catch (...) {
        scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    scope.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return workbook;
}

nb::object grid_fill(nb::handle self, nb::object template_path, nb::object save_path, nb::object env) {
    tessel::assert_extensions(template_path, save_path, ".xlsx");
    tessel::require_package(template_path, ".xlsx");
    nb::object workbook = load_template(template_path);
    if (env.is_none())
        env = tessel::caller_variables(module_handle);

    tessel::Report report(false);
    walk(self, template_path, workbook, tessel::Evaluator(env, safe_of(self)), report);

    tessel::FileBeside out(save_path);
    workbook.attr("save")(out.target());
    workbook.attr("close")();
    if (tessel::truthy(nb::getattr(self, "restore")))
        nb::getattr(module_handle, "restore_save")(template_path, out.target());
    out.commit();
    return report.result();
}

nb::object grid_check(nb::handle self, nb::object template_path, nb::object env, bool evaluate) {
    tessel::assert_extension(template_path, "template_path", ".xlsx");
    tessel::require_package(template_path, ".xlsx");
    nb::object workbook = load_template(template_path);
    if (env.is_none() && evaluate)
        env = tessel::caller_variables(module_handle);

    tessel::Report report(true);
    walk(self, template_path, workbook,
         tessel::Evaluator(env, safe_of(self),
                           evaluate ? tessel::Evaluator::Mode::Run : tessel::Evaluator::Mode::List),
         report);
    workbook.attr("close")();
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
    cells::init();
    tessel::block::init();
    tessel::headers::init(m);
    tessel::init_results(m);

    nb::object cls = tessel::make_plain_class(m, "GridFill", kClassDoc);
    static const std::string init_doc =
        std::string(tessel::kInitDoc) + kRecurseRestoreDoc + kInsertDoc + tessel::kSafeDoc;
    tessel::def_method(
        cls, "__init__",
        [](nb::handle self, nb::object pattern, nb::object recurse, nb::object restore,
           nb::object insert, nb::object safe) {
            nb::setattr(self, "pattern", pattern);
            nb::setattr(self, "recurse", recurse);
            nb::setattr(self, "restore", restore);
            nb::setattr(self, "insert", insert);
            nb::setattr(self, "safe", safe);
        },
        nb::arg("pattern").none() = "{}", nb::arg("recurse").none() = false,
        nb::arg("restore").none() = true, nb::arg("insert").none() = false,
        nb::arg("safe").none() = false,
        nb::sig("def __init__(self, pattern: str = '{}', recurse: bool = False, "
                "restore: bool = True, insert: bool = False, safe: bool = False) -> None"),
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

    m.def("restore_save", &tessel::repair::restore_save, "template_path"_a, "save_path"_a,
          nb::sig("def restore_save(template_path: str, save_path: str) -> None"),
          "恢复所有形状相关资源并保存");
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
}
