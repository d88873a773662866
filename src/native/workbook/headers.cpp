#include "workbook/headers.h"

#include "core/placeholder.h"
#include "ooxml/package.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace tessel::headers {

using namespace nb::literals;

namespace {

// Kept for the life of the interpreter.
PyObject *item_class;
PyObject *item_base;  // openpyxl's HeaderFooterItem
PyObject *element;    // openpyxl.xml.functions.Element

// The items a headerFooter element holds, in schema order.
const char *const kKinds[] = {"oddHeader", "oddFooter", "evenHeader", "evenFooter", "firstHeader", "firstFooter"};

// A sheet part too large to scan is left to openpyxl.
constexpr long long kMaxPart = 512LL << 20;

std::string local_of(nb::handle el) {
    nb::object tag = el.attr("tag");
    if (!PyUnicode_Check(tag.ptr()))
        return std::string();
    std::string t = nb::cast<std::string>(tag);
    size_t close = t.find('}');
    return close == std::string::npos ? t : t.substr(close + 1);
}

std::string folder_of(const std::string &part) {
    size_t slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash);
}

// The part a relationship target names from a part in `folder`.
std::string resolve(const std::string &folder, const std::string &target) {
    std::string path = target.empty() || target[0] != '/' ? (folder.empty() ? "" : folder + "/") + target
                                                          : target.substr(1);
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string piece = path.substr(start, end - start);
        if (piece == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!piece.empty() && piece != ".") {
            parts.push_back(piece);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string &p : parts)
        out += (out.empty() ? "" : "/") + p;
    return out;
}

class Archive {
public:
    explicit Archive(nb::handle path) {
        zip_ = nb::module_::import_("zipfile").attr("ZipFile")(path);
        for (nb::handle info : zip_.attr("infolist")()) {
            std::string name = nb::cast<std::string>(info.attr("filename"));
            names_[ooxml::ascii_lower(name)] = nb::borrow(info);
        }
        nb::module_ etree = nb::module_::import_("lxml.etree");
        parser_ = etree.attr("XMLParser")("resolve_entities"_a = false, "no_network"_a = true,
                                          "huge_tree"_a = false, "load_dtd"_a = false);
        fromstring_ = etree.attr("fromstring");
    }
    ~Archive() {
        if (zip_.is_valid()) {
            try {
                zip_.attr("close")();
            } catch (nb::python_error &e) {
                e.discard_as_unraisable("closing a template");
            }
        }
    }

    nb::object info(const std::string &part) const {
        auto it = names_.find(ooxml::ascii_lower(part));
        return it == names_.end() ? nb::object() : it->second;
    }
    nb::object read(const std::string &part) const {
        nb::object i = info(part);
        if (!i.is_valid() || nb::cast<long long>(i.attr("file_size")) > kMaxPart)
            return nb::object();
        return zip_.attr("read")(i);
    }
    nb::object parse(nb::handle data) const { return fromstring_(data, parser_); }
    nb::object parse_part(const std::string &part) const {
        nb::object data = read(part);
        return data.is_valid() ? parse(data) : nb::object();
    }

    // Relationship id -> (type, part) of a part's relationships.
    std::map<std::string, std::pair<std::string, std::string>> relationships(const std::string &part) const {
        std::map<std::string, std::pair<std::string, std::string>> out;
        std::string folder = folder_of(part);
        std::string name = part.substr(folder.empty() ? 0 : folder.size() + 1);
        nb::object root = parse_part((folder.empty() ? "" : folder + "/") + "_rels/" + name + ".rels");
        if (!root.is_valid())
            return out;
        for (nb::handle rel : root) {
            nb::object id = rel.attr("get")("Id"), type = rel.attr("get")("Type"),
                       target = rel.attr("get")("Target"), mode = rel.attr("get")("TargetMode");
            if (id.is_none() || type.is_none() || target.is_none() || nb::str("External").equal(mode))
                continue;
            out[nb::cast<std::string>(id)] = {nb::cast<std::string>(type),
                                              resolve(folder, nb::cast<std::string>(target))};
        }
        return out;
    }

private:
    nb::object zip_, parser_, fromstring_;
    std::map<std::string, nb::object> names_;
};

// The headerFooter element of a serialised worksheet, found in its bytes: parsing
// the cell data again would cost more than openpyxl's whole load of a small sheet.
nb::object header_footer(const Archive &archive, nb::handle data) {
    std::string_view text(PyBytes_AS_STRING(data.ptr()), (size_t) PyBytes_GET_SIZE(data.ptr()));
    const std::string_view name = "headerFooter";
    size_t from = text.rfind("sheetData");
    size_t at = text.find(name, from == std::string_view::npos ? 0 : from);
    if (at == std::string_view::npos)
        return nb::object();
    size_t open = text.rfind('<', at);
    if (open == std::string_view::npos)
        return nb::object();
    std::string_view prefix = text.substr(open + 1, at - open - 1);
    if (!prefix.empty() && prefix.back() != ':')
        return nb::object();
    size_t end = text.find('>', at);
    if (end == std::string_view::npos)
        return nb::object();
    if (text[end - 1] != '/') {
        const std::string closing = "</" + std::string(prefix) + std::string(name) + ">";
        size_t close = text.find(closing, end);
        if (close == std::string_view::npos)
            return nb::object();
        end = close + closing.size() - 1;
    }
    std::string slice(text.substr(open, end + 1 - open));
    if (!prefix.empty())
        slice = "<w xmlns:" + std::string(prefix.substr(0, prefix.size() - 1)) + "=\"urn:w\">" + slice + "</w>";
    nb::object root = archive.parse(nb::bytes(slice.data(), slice.size()));
    if (prefix.empty())
        return root;
    nb::object inner = root[0];
    return inner;
}

}  // namespace

void init(nb::handle module) {
    nb::object base = nb::module_::import_("openpyxl.worksheet.header_footer").attr("HeaderFooterItem");
    item_base = base.inc_ref().ptr();
    element = nb::object(nb::module_::import_("openpyxl.xml.functions").attr("Element")).release().ptr();
    nb::dict ns;
    ns["__module__"] = nb::getattr(module, "__name__");
    ns["__qualname__"] = nb::str("HeaderFooterText");
    ns["__doc__"] = nb::str("A header or footer saved exactly as its text stands.");
    // The methods go into the class body: the base's own would stand in the way
    // of defining them on the class afterwards.
    ns["__init__"] = nb::cpp_function(
        [](nb::handle self, nb::handle text) {
            nb::handle(item_base).attr("__init__")(self);
            nb::setattr(self, "_text", text);
        },
        nb::is_method(), nb::name("__init__"));
    ns["__str__"] = nb::cpp_function([](nb::handle self) { return nb::str(nb::getattr(self, "_text")); },
                                     nb::is_method(), nb::name("__str__"));
    ns["__bool__"] = nb::cpp_function([](nb::handle self) { return tessel::truthy(nb::getattr(self, "_text")); },
                                      nb::is_method(), nb::name("__bool__"));
    ns["to_tree"] = nb::cpp_function(
        [](nb::handle self, nb::handle tagname) {
            nb::object el = nb::borrow(element)(tagname);
            nb::object text = nb::getattr(self, "_text");
            el.attr("text") = text;
            // Line breaks and edge spaces are part of the text, as Excel writes them.
            if (!text.equal(text.attr("strip")()) || tessel::truthy(text.attr("__contains__")("\n")))
                el.attr("set")("{http://www.w3.org/XML/1998/namespace}space", "preserve");
            return el;
        },
        nb::is_method(), nb::name("to_tree"));
    nb::handle meta((PyObject *) Py_TYPE(base.ptr()));
    nb::object cls = meta(nb::str("HeaderFooterText"), nb::make_tuple(base), ns);
    item_class = cls.release().ptr();
}

TemplateHeaders::TemplateHeaders(nb::handle template_path) {
    try {
        Archive archive(template_path);
        std::string workbook = "xl/workbook.xml";
        for (const auto &[id, rel] : archive.relationships(""))
            if (ooxml::ends_with(rel.first, "/officeDocument"))
                workbook = rel.second;
        nb::object root = archive.parse_part(workbook);
        if (!root.is_valid())
            return;
        auto rels = archive.relationships(workbook);
        const std::string rid = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id";
        for (nb::handle sheet : root.attr("iterfind")("{*}sheets/{*}sheet")) {
            nb::object name = sheet.attr("get")("name"), id = sheet.attr("get")(rid.c_str());
            if (name.is_none() || id.is_none())
                continue;
            auto rel = rels.find(nb::cast<std::string>(id));
            if (rel == rels.end() || !ooxml::ends_with(rel->second.first, "/worksheet"))
                continue;
            nb::object data = archive.read(rel->second.second);
            nb::object found = data.is_valid() ? header_footer(archive, data) : nb::object();
            if (!found.is_valid())
                continue;
            std::vector<Item> items;
            for (nb::handle child : found) {
                std::string kind = local_of(child);
                if (std::find(std::begin(kKinds), std::end(kKinds), kind) == std::end(kKinds))
                    continue;
                nb::object text = child.attr("text");
                items.push_back({nb::str(kind.c_str()), text.is_none() ? nb::str("") : nb::str(text)});
            }
            items_[nb::cast<std::string>(name)] = std::move(items);
        }
    } catch (nb::python_error &e) {
        if (tessel::is_interrupt(e))
            throw;
        items_.clear();  // openpyxl read the template; its own reading of them stands
    }
}

const std::vector<Item> &TemplateHeaders::of(nb::handle title) const {
    static const std::vector<Item> none;
    auto it = items_.find(nb::cast<std::string>(title));
    return it == items_.end() ? none : it->second;
}

nb::str describe(nb::handle kind) {
    std::string k = nb::cast<std::string>(kind);
    std::string what = ooxml::ends_with(k, "Header") ? "header" : "footer";
    if (k.rfind("first", 0) == 0)
        return nb::str(("first page " + what).c_str());
    if (k.rfind("even", 0) == 0)
        return nb::str(("even page " + what).c_str());
    return nb::str(what.c_str());
}

nb::object escape_codes(nb::handle text) { return text.attr("replace")("&", "&&"); }

void put(nb::handle sheet, nb::handle kind, nb::handle text) {
    nb::setattr(sheet.attr("HeaderFooter"), kind, nb::borrow(item_class)(text));
}

}  // namespace tessel::headers
