#include "workbook/style_sheet.h"

#include "workbook/block_style.h"

#include "ooxml/xml_text.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

namespace tessel::styles {

using namespace nb::literals;
namespace xt = tessel::xml_text;

namespace {

// What a package without a styles part gets once the fill needs one: the default
// named style, and lists that the default cell style and the new ones fill.
constexpr const char *kMinimalPart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<fonts count=\"0\"/><fills count=\"0\"/><borders count=\"0\"/>"
    "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
    "<cellXfs count=\"0\"/>"
    "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
    "</styleSheet>";

constexpr const char *kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

// The stylesheet's children in the order the schema gives them.
int rank_of(std::string_view local) {
    static constexpr std::string_view order[] = {"numFmts",      "fonts",   "fills",      "borders",
                                                 "cellStyleXfs", "cellXfs", "cellStyles", "dxfs",
                                                 "tableStyles",  "colors",  "extLst"};
    for (int i = 0; i < (int) std::size(order); ++i)
        if (order[i] == local)
            return i;
    return -1;
}

// Escaped for a double-quoted attribute; white space as references, since a
// reader normalises literal tabs and line breaks in attributes to spaces.
std::string attribute_text(std::string_view text) {
    std::string out;
    for (char c : xt::escaped(text)) {
        if (c == '\n')
            out += "&#10;";
        else if (c == '\r')
            out += "&#13;";
        else if (c == '\t')
            out += "&#9;";
        else
            out += c;
    }
    return out;
}

// An attribute value as a parser reports it.
std::string attribute_value(std::string_view raw) {
    std::string normalised(raw);
    for (char &c : normalised)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return xt::unescaped(normalised);
}

std::optional<long> number(std::string_view text) {
    std::string digits(text);
    char *end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || end != digits.c_str() + digits.size())
        return std::nullopt;
    return value;
}

// The nine ids of a style array; a cell without one has the default style.
std::array<int, 9> ids_of(nb::handle style) {
    std::array<int, 9> ids{};
    block::read_ids(style, ids);
    return ids;
}

std::string text_of(nb::handle o) { return nb::cast<std::string>(nb::str(o)); }

}  // namespace

nb::object styled_workbook(const std::optional<std::string> &styles_xml) {
    nb::object workbook = nb::module_::import_("openpyxl").attr("Workbook")();
    workbook.attr("_sheets") = nb::list();
    if (!styles_xml)
        return workbook;
    // apply_stylesheet reads the part from an archive; a dict's lookup raises
    // KeyError for any other name, as the archive would.
    nb::dict parts;
    parts["xl/styles.xml"] = nb::bytes(styles_xml->data(), styles_xml->size());
    nb::object archive = nb::module_::import_("types").attr("SimpleNamespace")("read"_a = parts.attr("__getitem__"));
    try {
        nb::module_::import_("openpyxl.styles.stylesheet").attr("apply_stylesheet")(archive, workbook);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        nb::raise_from(e, PyExc_ValueError,
                       "Unable to read workbook: could not read stylesheet from xl/styles.xml.\n"
                       "This is most probably because the workbook source files contain some invalid XML.\n"
                       "Please see the exception for more details.");
    }
    return workbook;
}

StyleSheet::StyleSheet(nb::handle workbook, std::optional<std::string> styles_xml)
    : workbook_(nb::borrow(workbook)) {
    style_array_ = nb::module_::import_("openpyxl.styles.cell_style").attr("StyleArray");
    builtin_max_ = nb::cast<long>(nb::module_::import_("openpyxl.styles.numbers").attr("BUILTIN_FORMATS_MAX_SIZE"));
    part_ = styles_xml ? std::move(*styles_xml) : std::string(kMinimalPart);
    read_layout();
    // openpyxl keeps its own defaults unless the part has cell styles.
    degenerate_ = !styles_xml || xfs_.children == 0;

    for (nb::handle array : workbook_.attr("_cell_styles"))
        arrays_.append(style_array_(array));
    for (Table *table : {&font_table_, &fill_table_, &border_table_}) {
        table->initial = (long) nb::len(nb::object(workbook_.attr(table->attribute)));
        table->base = degenerate_ ? 0 : table->initial;
    }
    if (degenerate_)
        return;
    for (size_t i = 0; i < nb::len(arrays_); ++i)
        template_index_.emplace(ids_of(arrays_[i]), (long) i);
}

void StyleSheet::read_layout() {
    const std::string_view t = part_;
    Section *sections[] = {&formats_, &fonts_, &fills_, &borders_, &xfs_};
    Section *open = nullptr;
    int depth = 0;
    long highest_format = builtin_max_ - 1;
    for (size_t at = 0;;) {
        const std::optional<xt::Piece> piece = xt::next_markup(t, at);
        if (!piece)
            break;
        at = piece->end;
        if (piece->kind == xt::Markup::End) {
            --depth;
            if (depth == 0) {
                root_close_ = piece->begin;
                break;
            }
            if (depth == 1 && open) {
                open->close = piece->begin;
                open = nullptr;
            }
            continue;
        }
        if (piece->kind != xt::Markup::Start && piece->kind != xt::Markup::Empty)
            continue;
        const std::optional<xt::Tag> tag = xt::read_tag(t, piece->begin, true);
        if (!tag)
            continue;
        const bool empty = piece->kind == xt::Markup::Empty;
        const std::string_view local = xt::local_part(piece->name);
        // New format ids stay clear of every id the part names, defined or not.
        if (auto id = number(xt::value_of(t, tag->find("numFmtId"))))
            highest_format = std::max(highest_format, *id);

        if (depth == 0) {
            root_qname_ = std::string(piece->name);
            root_end_ = piece->end;
            root_empty_ = empty;
            const size_t colon = piece->name.find(':');
            const std::string prefix = colon == std::string_view::npos ? "" : std::string(piece->name.substr(0, colon));
            prefix_ = prefix.empty() ? "" : prefix + ":";
            namespace_ = xt::unescaped(xt::value_of(t, tag->find(prefix.empty() ? "xmlns" : "xmlns:" + prefix)));
            if (empty) {
                root_close_ = piece->end;
                break;
            }
        } else if (depth == 1) {
            const int rank = rank_of(local);
            if (rank >= 0)
                ranked_children_.emplace_back(rank, piece->begin);
            for (Section *s : sections) {
                if (s->present || local != s->name)
                    continue;
                s->present = true;
                s->qname = std::string(piece->name);
                s->open = piece->begin;
                s->open_end = piece->end;
                s->empty = empty;
                if (const xt::Attribute *count = tag->find("count"))
                    s->count = std::make_pair(count->begin, count->end);
                if (!empty)
                    open = s;
            }
        } else if (depth == 2 && open && local == open->item) {
            ++open->children;
            if (open == &formats_) {
                auto id = number(xt::value_of(t, tag->find("numFmtId")));
                const xt::Attribute *code = tag->find("formatCode");
                if (id && code) {
                    auto [known, fresh] = template_formats_.emplace(attribute_value(xt::value_of(t, code)), *id);
                    if (!fresh)
                        known->second = std::min(known->second, *id);
                }
            }
        }
        if (!empty)
            ++depth;
    }
    next_format_id_ = highest_format + 1;
}

nb::object StyleSheet::array_of(long s) const {
    PyObject *array = PySequence_GetItem(arrays_.ptr(), (Py_ssize_t) s);
    if (!array)
        throw nb::python_error();
    return style_array_(nb::steal(array));
}

std::string StyleSheet::serialised(nb::handle element) const {
    int declared = 0;
    auto qualified = [&](const std::string &name, bool is_element, std::string &declarations) {
        if (name.empty() || name[0] != '{')
            return is_element ? prefix_ + name : name;
        const size_t close = name.find('}');
        const std::string ns = name.substr(1, close - 1), local = name.substr(close + 1);
        if (ns == namespace_ && (is_element || !prefix_.empty()))
            return prefix_ + local;
        if (ns == kXmlNamespace)
            return "xml:" + local;
        const std::string prefix = "t" + std::to_string(declared++);
        declarations += " xmlns:" + prefix + "=\"" + attribute_text(ns) + "\"";
        return prefix + ":" + local;
    };
    std::string out;
    auto write = [&](auto &self, nb::handle node) -> void {
        std::string declarations, attributes;
        const std::string name = qualified(text_of(node.attr("tag")), true, declarations);
        for (nb::handle item : node.attr("items")()) {
            attributes += ' ' + qualified(text_of(item[0]), false, declarations);
            attributes += "=\"" + attribute_text(text_of(item[1])) + '"';
        }
        out += '<' + name + declarations + attributes;
        nb::object text = node.attr("text");
        nb::object children = nb::steal(PySequence_List(node.ptr()));
        if (!children.is_valid())
            throw nb::python_error();
        if (text.is_none() && nb::len(children) == 0) {
            out += "/>";
            return;
        }
        out += '>';
        if (!text.is_none())
            out += xt::escaped(text_of(text));
        for (nb::handle child : children) {
            self(self, child);
            nb::object tail = child.attr("tail");
            if (!tail.is_none())
                out += xt::escaped(text_of(tail));
        }
        out += "</" + name + '>';
    };
    write(write, element);
    return out;
}

long StyleSheet::place(Table &table, long model_id) {
    if (model_id < table.base)
        return model_id;
    if (auto found = table.placed.find(model_id); found != table.placed.end())
        return found->second;
    nb::object element = workbook_.attr(table.attribute)[nb::int_(model_id)];
    Section &section = *table.section;
    section.added += serialised(element.attr("to_tree")());
    const long id = section.children + section.appended++;
    table.placed.emplace(model_id, id);
    return id;
}

long StyleSheet::number_format(long model_id) {
    if (model_id < builtin_max_)
        return model_id;
    nb::object formats = workbook_.attr("_number_formats");
    // An id the part names without defining it reads as itself.
    if (model_id - builtin_max_ >= (long) nb::len(formats))
        return model_id;
    const std::string code = text_of(formats[nb::int_(model_id - builtin_max_)]);
    if (auto own = template_formats_.find(code); own != template_formats_.end())
        return own->second;
    if (auto made = new_formats_.find(code); made != new_formats_.end())
        return made->second;
    const long id = next_format_id_++;
    new_formats_.emplace(code, id);
    formats_.added += "<" + prefix_ + "numFmt numFmtId=\"" + std::to_string(id) + "\" formatCode=\"" +
                      attribute_text(code) + "\"/>";
    ++formats_.appended;
    return id;
}

// A part whose cell styles openpyxl ignored gets the model's default tables and
// style first, so that cells without a style index read as they do in the model.
void StyleSheet::seed_defaults() {
    seeded_ = true;
    for (Table *table : {&font_table_, &fill_table_, &border_table_})
        for (long id = 0; id < table->initial; ++id)
            place(*table, id);
    if (nb::len(arrays_) > 0)
        append_xf(ids_of(arrays_[0]));
}

long StyleSheet::index_of(nb::handle style_array) {
    const Ids ids = ids_of(style_array);
    if (auto cached = cache_.find(ids); cached != cache_.end())
        return cached->second;
    if (auto own = template_index_.find(ids); own != template_index_.end()) {
        cache_.emplace(ids, own->second);
        return own->second;
    }
    if (degenerate_ && !seeded_) {
        // The default style needs no part of its own until another style does.
        if (nb::len(arrays_) > 0 && ids == ids_of(arrays_[0]))
            return 0;
        seed_defaults();
        if (auto cached = cache_.find(ids); cached != cache_.end())
            return cached->second;
    }
    return append_xf(ids);
}

long StyleSheet::append_xf(const Ids &ids) {
    const long font = place(font_table_, ids[0]);
    const long fill = place(fill_table_, ids[1]);
    const long border = place(border_table_, ids[2]);
    const long format = number_format(ids[3]);
    auto attribute = [](const char *name, long value) {
        return std::string(" ") + name + "=\"" + std::to_string(value) + "\"";
    };
    std::string xf = "<" + prefix_ + "xf" + attribute("numFmtId", format) + attribute("fontId", font) +
                     attribute("fillId", fill) + attribute("borderId", border) + attribute("xfId", ids[8]);
    if (ids[7])
        xf += attribute("quotePrefix", 1);
    if (ids[6])
        xf += attribute("pivotButton", 1);
    if (format)
        xf += attribute("applyNumberFormat", 1);
    if (font)
        xf += attribute("applyFont", 1);
    if (fill)
        xf += attribute("applyFill", 1);
    if (border)
        xf += attribute("applyBorder", 1);
    std::string children;
    if (ids[5]) {
        xf += attribute("applyAlignment", 1);
        children += serialised(workbook_.attr("_alignments")[nb::int_(ids[5])].attr("to_tree")());
    }
    if (ids[4]) {
        xf += attribute("applyProtection", 1);
        children += serialised(workbook_.attr("_protections")[nb::int_(ids[4])].attr("to_tree")());
    }
    xf += children.empty() ? "/>" : ">" + children + "</" + prefix_ + "xf>";
    xfs_.added += xf;
    const long index = xfs_.children + xfs_.appended++;
    cache_.emplace(ids, index);
    return index;
}

std::optional<std::string> StyleSheet::finished() const {
    struct Edit {
        size_t begin, end;
        int order;  // among edits at one place
        std::string text;
    };
    std::vector<Edit> edits;
    for (const Section *s : {&formats_, &fonts_, &fills_, &borders_, &xfs_}) {
        if (!s->appended)
            continue;
        const std::string total = std::to_string(s->children + s->appended);
        if (!s->present) {
            size_t at = root_close_;
            for (const auto &[rank, start] : ranked_children_)
                if (rank > s->rank) {
                    at = start;
                    break;
                }
            const std::string name = prefix_ + s->name;
            edits.push_back({at, at, s->rank + 1, "<" + name + " count=\"" + total + "\">" + s->added + "</" + name + ">"});
            continue;
        }
        if (s->count)
            edits.push_back({s->count->first, s->count->second, 0, total});
        if (s->empty)
            edits.push_back({s->open_end - 2, s->open_end, 0, ">" + s->added + "</" + s->qname + ">"});
        else
            edits.push_back({s->close, s->close, 0, s->added});
    }
    if (edits.empty())
        return std::nullopt;
    if (root_empty_) {
        edits.push_back({root_end_ - 2, root_end_, 0, ">"});
        edits.push_back({root_end_, root_end_, 100, "</" + root_qname_ + ">"});
    }
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit &a, const Edit &b) { return a.begin != b.begin ? a.begin < b.begin : a.order < b.order; });
    std::string out;
    out.reserve(part_.size() + 256);
    size_t cursor = 0;
    for (const Edit &e : edits) {
        out.append(part_, cursor, e.begin - cursor);
        out += e.text;
        cursor = e.end;
    }
    out.append(part_, cursor, std::string::npos);
    return out;
}

}  // namespace tessel::styles
