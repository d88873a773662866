// tessel.pagefill: fills .docx document templates.
#include "package_file.h"
#include "placeholder.h"
#include "wordml.h"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using tessel::Pattern;

namespace {

constexpr const char *kClassDoc = "Fill placeholders of a docx document template.";

constexpr const char *kRecurseDoc = "\n:param recurse: recurse replace placeholder in replaced cell.";

constexpr const char *kInsertDoc =
    "\n:param insert: make room for a data frame's rows by inserting rows under its cell.";

constexpr const char *kCheckDoc =
    "Fill a docx template as the call does, without saving it, and report every\n"
    "placeholder met.\n"
    ":param template_path: path to docx template, must be endwith .docx file.\n"
    ":param env: Variables environment; if not specified use local and global variables of\n"
    "the caller.\n"
    ":param evaluate: False lists the placeholders without running any of them.\n"
    ":return: one Finding per placeholder, in order; its reason is None when it would fill.";

constexpr const char *kCallDoc =
    "Fill the placeholders of a docx template.\n"
    ":param template_path: path to docx template, must be endwith .docx file.\n"
    ":param save_path: path to save docx, must be endwith .docx file.\n"
    ":param env: Variables environment - a dict mapping varible names to pandas DataFrame, Series "
    "or BytesIO.\n"
    "If not specified use local and global variables of the caller.\n"
    ":return: except placeholders and save the docx to save_path.";

constexpr const char *kConcatDoc =
    "Join the neighbouring runs of a paragraph that share one formatting.\n"
    ":param paragraph: python-docx paragraph, changed in place.\n"
    ":return: the paragraph.";

constexpr const char *kReplaceDoc =
    "Fill the placeholders of a paragraph with text or pictures.\n"
    ":param paragraph: python-docx paragraph.\n"
    ":param env: Variables environment - a dict mapping varible names to values.\n"
    ":return: except placeholders.";

// Module-level objects, held for the interpreter's lifetime.
nb::handle module_handle;
nb::handle native_extract;
nb::handle namespace_cls;  // gives a header's paragraphs their part
nb::handle paragraph_cls, run_cls, table_cls, cell_cls, bytes_io, data_frame;
nb::handle shared_env;  // replace_paragraph's default environment
nb::handle native_replace;  // the class's own replace_paragraph

// The placeholders of a text, through the object's extract_placeholder.
nb::object placeholders_of(nb::handle self, nb::handle text) {
    nb::object extract = nb::getattr(self, "extract_placeholder");
    if (tessel::is_bound_method(extract, native_extract))
        return tessel::extract(text, tessel::read_pattern(self));
    return extract(text);
}

long long as_integer(nb::handle value) {
    long long r = PyLong_AsLongLong(value.ptr());
    if (r == -1 && PyErr_Occurred())
        throw nb::python_error();
    return r;
}

bool is_instance(nb::handle value, nb::handle cls) {
    int r = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// A picture keeps its native size unless it is wider than where it stands.
void fit_picture(nb::handle shape, nb::handle p) {
    const long long limit = tessel::wordml::available_width(p);
    if (limit <= 0)
        return;
    const long long width = as_integer(shape.attr("width"));
    if (width <= limit)
        return;
    const long long height = as_integer(shape.attr("height"));
    nb::setattr(shape, "width", nb::int_(limit));
    nb::setattr(shape, "height", nb::int_((long long) ((double) height * limit / width)));
}

nb::object concat_run(nb::handle, nb::object paragraph) {
    tessel::wordml::merge_runs(paragraph.attr("_p"));
    return paragraph;
}

// What one call carries through its walk.
struct Walk {
    nb::handle self;
    tessel::Evaluator &evaluator;
    tessel::Report &report;
};

// Fills the placeholders of a paragraph's runs; failures, and when checking every
// placeholder, go to the report under `place`.
void replace_runs(nb::handle self, nb::handle paragraph, tessel::Evaluator &evaluator,
                  tessel::Report &report, nb::handle place) {
    namespace wml = tessel::wordml;
    nb::object p = paragraph.attr("_p");
    std::vector<nb::object> runs = wml::runs_of(p);
    if (runs.empty())
        return;
    // An illegal pattern fails here, before any run is changed.
    if (wml::join_split_placeholders(p, tessel::read_pattern(self)))
        runs = wml::runs_of(p);

    nb::object extract = nb::getattr(self, "extract_placeholder");
    const bool native = tessel::is_bound_method(extract, native_extract);
    for (const nb::object &r : runs) {
        nb::object text = wml::run_text(r);
        // Most runs hold no brace at all; the native extraction would find nothing.
        if (native && PyUnicode_FindChar(text.ptr(), '{', 0, PyUnicode_GET_LENGTH(text.ptr()), 1) < 0)
            continue;
        nb::object placeholders =
            native ? tessel::extract(text, tessel::read_pattern(self)) : extract(text);
        for (nb::handle placeholder : placeholders) {
            nb::object delimited = tessel::delimited(placeholder, tessel::read_pattern(self));
            nb::object reason;
            const bool ok = tessel::guarded(
                [&] {
                    nb::object value = evaluator.value(placeholder);
                    if (is_instance(value, bytes_io)) {
                        wml::replace_in_run(r, delimited, nb::str(""));
                        nb::object picture = evaluator.value(placeholder);
                        nb::object run = run_cls(r, paragraph);
                        fit_picture(run.attr("add_picture")(picture), p);
                    } else {
                        nb::object again = evaluator.value(placeholder);
                        wml::replace_in_run(r, delimited, tessel::to_text(again));
                    }
                },
                reason);
            if (ok)
                report.filled(placeholder, [&] { return nb::borrow(place); });
            else
                report.failed(placeholder, place, reason);
        }
    }
}

bool safe_of(nb::handle self) { return tessel::truthy(nb::getattr(self, "safe", nb::bool_(false))); }

nb::object replace_paragraph(nb::handle self, nb::handle paragraph, nb::object env) {
    tessel::Evaluator evaluator(std::move(env), safe_of(self));
    tessel::Report report(false);
    replace_runs(self, paragraph, evaluator, report, nb::str("paragraph"));
    return report.result();
}

void fill_paragraph(const Walk &walk, nb::handle p, nb::handle parent, nb::handle place) {
    nb::object paragraph = paragraph_cls(p, parent);
    paragraph = nb::getattr(walk.self, "concat_run")(paragraph);
    nb::object replace = nb::getattr(walk.self, "replace_paragraph");
    if (tessel::is_bound_method(replace, native_replace)) {
        replace_runs(walk.self, paragraph, walk.evaluator, walk.report, place);
        return;
    }
    // An override reports only what failed, and why where it says so.
    nb::object failed = replace(paragraph, walk.evaluator.env());
    nb::object details = nb::getattr(failed, "details", nb::none());
    size_t k = 0;
    for (nb::handle placeholder : failed) {
        nb::object reason = nb::str("failed in replace_paragraph");
        if (!details.is_none() && k < nb::len(details))
            reason = details[k].attr("reason");
        walk.report.failed(placeholder, place, reason);
        ++k;
    }
}

// One table as it is filled: its rows and, per row, its cell per grid column (a
// cell spanning columns appears once per column), grown as the table grows, so that
// a block of n x m values is written in time proportional to n x m.
struct Grid {
    nb::object table;
    std::vector<nb::object> rows;
    std::vector<std::vector<nb::object>> cells;

    static std::vector<nb::object> row_cells(nb::handle tr) {
        std::vector<nb::object> out;
        PyObject *kids = PySequence_List(tr.ptr());
        if (!kids)
            throw nb::python_error();
        for (nb::handle tc : nb::steal<nb::list>(kids)) {
            if (tessel::wordml::tag_of(tc) != tessel::wordml::Tag::Tc)
                continue;
            for (Py_ssize_t k = tessel::wordml::grid_span(tc); k > 0; --k)
                out.push_back(nb::borrow(tc));
        }
        return out;
    }

    void add_row(nb::object tr) {
        cells.push_back(row_cells(tr));
        rows.push_back(std::move(tr));
    }
};

using Replaced = std::unordered_set<std::uint64_t>;

std::uint64_t position(size_t i, size_t j) { return ((std::uint64_t) i << 32) | (std::uint64_t) j; }

void expand_frame(Grid &grid, size_t i, size_t j, nb::handle frame, Replaced &replaced) {
    namespace wml = tessel::wordml;
    nb::object values = frame.attr("values");
    nb::object shape = values.attr("shape");
    const Py_ssize_t n = (Py_ssize_t) as_integer(shape[0]), m = (Py_ssize_t) as_integer(shape[1]);

    nb::object tbl = grid.table.attr("_tbl");
    const Py_ssize_t more_rows = n - (Py_ssize_t) grid.rows.size() + (Py_ssize_t) i;
    nb::object last = grid.rows.empty() ? nb::none() : grid.rows.back();
    for (nb::object &tr : wml::append_rows(tbl, last, more_rows))
        grid.add_row(std::move(tr));
    nb::object columns = grid.table.attr("columns");
    const Py_ssize_t more_columns = m - (Py_ssize_t) nb::len(columns) + (Py_ssize_t) j;
    for (Py_ssize_t k = 0; k < more_columns; ++k) {
        std::vector<nb::object> added = wml::append_column(tbl, grid.rows);
        for (size_t r = 0; r < added.size(); ++r)
            grid.cells[r].push_back(std::move(added[r]));
    }
    if (n == 0)
        return;

    // Fresh cells take the formatting of their column's first cell in the block.
    std::vector<wml::CellFormat> formats((size_t) m);
    for (Py_ssize_t l = 0; l < m; ++l) {
        const std::vector<nb::object> &row = grid.cells[i];
        if (j + (size_t) l < row.size())
            formats[(size_t) l] = wml::cell_format(row[j + (size_t) l]);
        if (!formats[(size_t) l].pPr.is_valid() && !formats[(size_t) l].rPr.is_valid() && l > 0)
            formats[(size_t) l] = formats[(size_t) l - 1];
    }
    // A value that a cell cannot hold (control characters) leaves its cell empty
    // and fails the placeholder, while the rest of the block is written.
    nb::object first_refused;
    Py_ssize_t k = 0;
    for (nb::handle row_values : values) {
        nb::list row_list = nb::steal<nb::list>(PySequence_List(row_values.ptr()));
        if (!row_list.is_valid())
            throw nb::python_error();
        const std::vector<nb::object> &row = grid.cells[i + (size_t) k];
        for (Py_ssize_t l = 0; l < m && j + (size_t) l < row.size(); ++l) {
            nb::object why;
            const bool written = tessel::guarded(
                [&] { wml::write_cell(row[j + (size_t) l], tessel::to_text(row_list[l]), formats[(size_t) l]); },
                why);
            if (!written && !first_refused.is_valid())
                first_refused = nb::str("the block's value for row {}, column {}: {}")
                                    .format(i + (size_t) k + 1, j + (size_t) l + 1, why);
            replaced.insert(position(i + (size_t) k, j + (size_t) l));
        }
        ++k;
    }
    if (first_refused.is_valid())
        tessel::refuse(first_refused);
}

// The cell holds exactly one placeholder naming a data frame of the environment.
// A test that raises counts as no frame: the placeholder is then filled as text
// and recorded there if it fails.
bool frame_test(nb::handle placeholders, tessel::Evaluator &evaluator, nb::object &frame) {
    if (evaluator.listing() || nb::len(placeholders) != 1)
        return false;
    nb::object placeholder = placeholders[0];
    bool is_frame = false;
    nb::object ignored;
    tessel::guarded(
        [&] {
            int has = PySequence_Contains(evaluator.env().ptr(), placeholder.ptr());
            if (has < 0)
                throw nb::python_error();
            if (has == 0)
                return;
            nb::object value;
            if (evaluator.eval(placeholder, value) && is_instance(value, data_frame)) {
                frame = value;
                is_frame = true;
            }
        },
        ignored);
    return is_frame;
}

void fill_table(const Walk &walk, nb::handle tbl, nb::handle parent, const nb::object &prefix) {
    namespace wml = tessel::wordml;
    Grid grid;
    grid.table = table_cls(tbl, parent);
    PyObject *kids = PySequence_List(tbl.ptr());
    if (!kids)
        throw nb::python_error();
    for (nb::handle child : nb::steal<nb::list>(kids))
        if (wml::tag_of(child) == wml::Tag::Tr)
            grid.add_row(nb::borrow(child));

    // Positions are kept per table: a block written in one table says nothing
    // about the same position in the next.
    Replaced replaced;
    const size_t row_count = grid.rows.size();
    for (size_t i = 0; i < row_count; ++i) {
        const std::vector<nb::object> row = grid.cells[i];
        nb::handle previous;
        for (size_t j = 0; j < row.size(); ++j) {
            const nb::object &tc = row[j];
            // A cell spanning columns is filled once.
            if (tc.is(previous))
                continue;
            previous = tc;
            if (replaced.count(position(i, j)) && !tessel::truthy(nb::getattr(walk.self, "recurse")))
                continue;
            nb::object place = nb::str("{}, row {}, column {}").format(prefix, i + 1, j + 1);
            nb::object placeholders = placeholders_of(walk.self, wml::cell_text(tc));
            nb::object frame;
            if (frame_test(placeholders, walk.evaluator, frame)) {
                nb::object reason;
                if (tessel::guarded([&] { expand_frame(grid, i, j, frame, replaced); }, reason))
                    walk.report.filled(placeholders[0], [&] { return place; });
                else
                    walk.report.failed(placeholders[0], place, reason);
                continue;
            }
            nb::object cell = cell_cls(tc, grid.table);
            std::vector<nb::object> paragraphs, tables;
            wml::collect_blocks(tc, paragraphs, tables);
            for (const nb::object &p : paragraphs)
                fill_paragraph(walk, p, cell, place);
            size_t t = 0;
            for (const nb::object &nested : tables)
                fill_table(walk, nested, cell, nb::str("{}, table {}").format(place, ++t));
        }
    }
}

// One story (the body, a header or a footer): its paragraphs, then the paragraphs
// of its text boxes, then its tables.  `prefix` names the story in places.
void fill_story(const Walk &walk, nb::handle root, nb::handle parent, const char *prefix) {
    namespace wml = tessel::wordml;
    std::vector<nb::object> paragraphs, tables;
    wml::collect_blocks(root, paragraphs, tables);
    size_t n = 0;
    for (const nb::object &p : paragraphs)
        fill_paragraph(walk, p, parent, nb::str("{}paragraph {}").format(prefix, ++n));
    nb::list boxes = nb::list(root.attr("iter")(
        "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}txbxContent"));
    size_t k = 0;
    for (nb::handle box : boxes) {
        std::vector<nb::object> box_paragraphs;
        wml::collect_blocks(box, box_paragraphs, tables);
        ++k;
        n = 0;
        for (const nb::object &p : box_paragraphs)
            fill_paragraph(walk, p, parent,
                           nb::str("{}text box {}, paragraph {}").format(prefix, k, ++n));
    }
    size_t t = 0;
    for (const nb::object &tbl : tables)
        fill_table(walk, tbl, parent, nb::str("{}table {}").format(prefix, ++t));
}

bool is_header_or_footer(nb::handle rel) {
    if (tessel::truthy(rel.attr("is_external")))
        return false;
    nb::object type = rel.attr("reltype");
    return tessel::truthy(type.attr("endswith")("/header")) || tessel::truthy(type.attr("endswith")("/footer"));
}

// Fills the body, then the headers and footers, of a loaded document.
void walk_document(const Walk &walk, nb::handle doc) {
    fill_story(walk, doc.attr("element").attr("body"), doc.attr("_body"), "");
    // Headers and footers come last, so the body's failures lead the list.  A
    // header part is reached through its relationship: asking a section for a
    // header it inherits would add one.
    nb::object rels = doc.attr("part").attr("rels").attr("values")();
    for (nb::handle rel : rels) {
        if (!is_header_or_footer(rel))
            continue;
        nb::object part = rel.attr("target_part");
        nb::object os_path = nb::module_::import_("posixpath");
        nb::object name = os_path.attr("splitext")(os_path.attr("basename")(part.attr("partname")))[0];
        std::string prefix = nb::cast<std::string>(nb::str(name)) + ", ";
        fill_story(walk, part.attr("element"), namespace_cls("part"_a = part), prefix.c_str());
    }
}

nb::object page_fill(nb::handle self, nb::object template_path, nb::object save_path,
                     nb::object env) {
    tessel::assert_extensions(template_path, save_path, ".docx");
    tessel::require_package(template_path, ".docx");
    nb::object doc = nb::getattr(module_handle, "Document")(template_path);
    if (env.is_none())
        env = tessel::caller_variables(module_handle);

    tessel::Evaluator evaluator(env, safe_of(self));
    tessel::Report report(false);
    walk_document(Walk{self, evaluator, report}, doc);
    tessel::FileBeside out(save_path);
    doc.attr("save")(out.target());
    out.commit();
    return report.result();
}

nb::object page_check(nb::handle self, nb::object template_path, nb::object env, bool evaluate) {
    tessel::assert_extension(template_path, "template_path", ".docx");
    tessel::require_package(template_path, ".docx");
    nb::object doc = nb::getattr(module_handle, "Document")(template_path);
    if (env.is_none() && evaluate)
        env = tessel::caller_variables(module_handle);

    tessel::Evaluator evaluator(env, safe_of(self),
                                evaluate ? tessel::Evaluator::Mode::Run
                                         : tessel::Evaluator::Mode::List);
    tessel::Report report(true);
    walk_document(Walk{self, evaluator, report}, doc);
    return report.result();
}

}  // namespace

NB_MODULE(pagefill, m) {
    m.doc() = "Fill placeholders of docx document templates.";
    module_handle = m;
    tessel::wordml::init();

    m.attr("Document") = nb::module_::import_("docx").attr("Document");
    m.attr("re") = nb::module_::import_("re");
    m.attr("BytesIO") = nb::module_::import_("io").attr("BytesIO");
    m.attr("get_outer_frame_variables") =
        tessel::import_sibling(m, "utils").attr("get_outer_frame_variables");
    m.attr("pandas") = nb::module_::import_("pandas");
    m.attr("itertools") = nb::module_::import_("itertools");

    bytes_io = nb::object(m.attr("BytesIO")).release();
    data_frame = nb::object(m.attr("pandas").attr("DataFrame")).release();
    paragraph_cls = nb::object(nb::module_::import_("docx.text.paragraph").attr("Paragraph")).release();
    run_cls = nb::object(nb::module_::import_("docx.text.run").attr("Run")).release();
    nb::module_ table_module = nb::module_::import_("docx.table");
    table_cls = nb::object(table_module.attr("Table")).release();
    cell_cls = nb::object(table_module.attr("_Cell")).release();
    namespace_cls = nb::object(nb::module_::import_("types").attr("SimpleNamespace")).release();
    shared_env = nb::dict().release();
    tessel::init_results(m);

    nb::object cls = tessel::make_plain_class(m, "PageFill", kClassDoc);
    static const std::string init_doc =
        std::string(tessel::kInitDoc) + kRecurseDoc + kInsertDoc + tessel::kSafeDoc;
    tessel::def_method(
        cls, "__init__",
        [](nb::handle self, nb::object pattern, nb::object recurse, nb::object insert,
           nb::object safe) {
            nb::setattr(self, "pattern", pattern);
            nb::setattr(self, "recurse", recurse);
            nb::setattr(self, "insert", insert);
            nb::setattr(self, "safe", safe);
        },
        nb::arg("pattern").none() = "{}", nb::arg("recurse").none() = false,
        nb::arg("insert").none() = false, nb::arg("safe").none() = false,
        nb::sig("def __init__(self, pattern: str = '{}', recurse: bool = False, "
                "insert: bool = False, safe: bool = False) -> None"),
        init_doc.c_str());
    tessel::def_method(
        cls, "__call__", &page_fill, nb::arg("template_path").none(),
        nb::arg("save_path").none(), "env"_a = nb::none(),
        nb::sig("def __call__(self, template_path: str, save_path: str, "
                "env: dict[str, typing.Any] | None = None) -> tessel.results.FailedPlaceholders"),
        kCallDoc);
    tessel::def_method(
        cls, "check", &page_check, nb::arg("template_path").none(), "env"_a = nb::none(),
        nb::kw_only(), "evaluate"_a = true,
        nb::sig("def check(self, template_path: str, env: dict[str, typing.Any] | None = None, *, "
                "evaluate: bool = True) -> list[tessel.results.Finding]"),
        kCheckDoc);
    tessel::def_method(
        cls, "replace_paragraph", &replace_paragraph, "paragraph"_a,
        "env"_a = nb::borrow(shared_env),
        nb::sig("def replace_paragraph(self, paragraph: docx.text.paragraph.Paragraph, "
                "env: dict[str, typing.Any] = {}) -> tessel.results.FailedPlaceholders"),
        kReplaceDoc);
    native_replace = cls.attr("replace_paragraph");
    tessel::def_method(
        cls, "concat_run", &concat_run, "paragraph"_a,
        nb::sig("def concat_run(self, paragraph: docx.text.paragraph.Paragraph) "
                "-> docx.text.paragraph.Paragraph"),
        kConcatDoc);
    native_extract = tessel::def_extract_placeholder(cls);
}
