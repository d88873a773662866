#include "workbook/sheet_pictures.h"

#include "ooxml/numbers.h"
#include "ooxml/parts.h"
#include "ooxml/xml_text.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <vector>

namespace tessel::pictures {

using namespace tessel::ooxml;
using namespace tessel::xml_text;

namespace {

constexpr const char *kDrawingType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/drawing";
constexpr const char *kImageType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image";
constexpr const char *kDrawingContentType = "application/vnd.openxmlformats-officedocument.drawing+xml";

// Sheet children the schema puts after <drawing>; everything else in a sheet's
// tail comes before it.
const std::set<std::string_view> kAfterDrawing = {"legacyDrawing", "legacyDrawingHF", "drawingHF",
                                                  "picture",       "oleObjects",      "controls",
                                                  "webPublishItems", "tableParts",    "extLst"};

// The wsDr tree openpyxl writes for these images alone: its anchors are the ones
// the openpyxl engine would save, sizes and all.  Its blips name "rId<n>" for the
// n-th image.
nb::object openpyxl_drawing(const Package &pkg, const std::string &part, nb::handle images) {
    nb::object model = nb::module_::import_("openpyxl.drawing.spreadsheet_drawing").attr("SpreadsheetDrawing")();
    model.attr("charts") = nb::list();
    model.attr("images") = nb::list(images);
    nb::object tostring = nb::module_::import_("openpyxl.xml.functions").attr("tostring");
    nb::object data = tostring(model.attr("_write")());
    return parse_part(pkg, part, data);
}

std::set<long long> shape_ids(nb::handle root) {
    std::set<long long> used;
    for (nb::handle value : root.attr("xpath")("//*[local-name()='cNvPr']/@id"))
        if (auto id = whole_number(nb::cast<std::string>(nb::str(value)), kId))
            used.insert(*id);
    return used;
}

// Whether the worksheet's start tag binds r to the relationships namespace.
// Without the head, a tail that uses r: without declaring it tells: it has r
// bound further up.
bool r_bound(std::string_view head, bool tail_says) {
    if (head.empty())
        return tail_says;
    for (auto piece = next_markup(head, 0); piece; piece = next_markup(head, piece->end)) {
        if (piece->kind != Markup::Start && piece->kind != Markup::Empty)
            continue;
        auto tag = read_tag(head, piece->begin, true);
        return tag && tag->find("xmlns:r") && unescaped(value_of(head, tag->find("xmlns:r"))) == kOfficeRelNs;
    }
    return false;
}

}  // namespace

std::optional<std::string> drawing_of(const Package &pkg, Relationships &sheet_rels) {
    for (const Relationship &rel : sheet_rels.all())
        if (!rel.external && ends_with(rel.type, "/drawing"))
            if (auto part = sheet_rels.part_of(pkg, rel))
                return part;
    return std::nullopt;
}

MediaKind media_kind(nb::handle image) {
    nb::object format = nb::getattr(image, "format", nb::none());
    std::string f = format.is_none() ? std::string() : ooxml::ascii_lower(nb::cast<std::string>(nb::str(format)));
    if (f == "jpeg")
        return {"jpeg", "image/jpeg"};
    if (f == "gif")
        return {"gif", "image/gif"};
    return {"png", "image/png"};
}

std::string PartNamer::next(const std::string &extension) {
    for (;; ++n_) {
        std::string name = stem_ + std::to_string(n_) + "." + extension;
        if (!pkg_.has(name) && !types_.override_of(name)) {
            ++n_;
            return name;
        }
    }
}

std::optional<std::string> add_pictures(Package &pkg, const std::string &sheet_part, nb::handle images) {
    nb::list pictures(images);
    if (nb::len(pictures) == 0)
        return std::nullopt;
    ContentTypes types(pkg);
    Relationships sheet_rels(pkg, sheet_part);
    std::optional<std::string> existing = drawing_of(pkg, sheet_rels);
    std::string drawing = existing ? *existing : PartNamer(pkg, types, "xl/drawings/drawing").next("xml");

    nb::object made = openpyxl_drawing(pkg, drawing, pictures);
    nb::object root = existing ? parse_part(pkg, drawing) : made;
    Relationships drawing_rels(pkg, drawing);
    std::set<long long> used = existing ? shape_ids(root) : std::set<long long>();

    // The same picture placed many times is stored, and related, once.
    PartNamer media_names(pkg, types, "xl/media/image");
    std::map<std::string, std::string> media_by_data, rel_by_media;
    auto rel_for = [&](size_t index) {
        nb::object image = pictures[index];
        MediaKind kind = media_kind(image);
        nb::bytes data = nb::borrow<nb::bytes>(image.attr("_data")());
        std::string key = kind.extension + ":" + std::string(data.c_str(), data.size());
        auto known = media_by_data.find(key);
        std::string media;
        if (known != media_by_data.end()) {
            media = known->second;
        } else {
            media = media_names.next(kind.extension);
            pkg.write(media, data);
            types.add_default(kind.extension, kind.content_type);
            media_by_data.emplace(std::move(key), media);
        }
        auto rel = rel_by_media.find(media);
        if (rel != rel_by_media.end())
            return rel->second;
        std::string id = drawing_rels.add("", kImageType, relative_target(drawing, media), false);
        rel_by_media.emplace(media, id);
        return id;
    };

    const std::string embed = clark(kOfficeRelNs, "embed");
    std::vector<nb::object> anchors;
    for (nb::handle child : made)
        if (nb::isinstance<nb::str>(child.attr("tag")))
            anchors.push_back(nb::borrow(child));
    for (const nb::object &anchor : anchors) {
        for (nb::handle el : anchor.attr("iter")()) {
            if (local_name(el) == "cNvPr")
                el.attr("set")("id", std::to_string(take_free_id(used)));
            nb::object named = el.attr("get")(embed);
            if (named.is_none())
                continue;
            std::string openpyxl_id = nb::cast<std::string>(named);
            auto n = openpyxl_id.rfind("rId", 0) == 0 ? whole_number(openpyxl_id.substr(3), kCount) : std::nullopt;
            if (!n || *n < 1 || static_cast<size_t>(*n) > pictures.size())
                throw nb::value_error(("openpyxl wrote a picture that names no image: " + openpyxl_id).c_str());
            el.attr("set")(embed, rel_for(static_cast<size_t>(*n - 1)));
        }
        if (existing)
            root.attr("append")(anchor);
    }

    write_part(pkg, drawing, root);
    drawing_rels.save(pkg);
    std::optional<std::string> rid;
    if (!existing) {
        types.add_override(drawing, kDrawingContentType);
        rid = sheet_rels.add("", kDrawingType, relative_target(sheet_part, drawing), false);
        sheet_rels.save(pkg);
    }
    types.save(pkg);
    return rid;
}

std::string with_drawing_element(std::string_view tail, const std::string &rid, std::string_view prefix,
                                std::string_view head) {
    struct Child {
        size_t begin, end;
        std::string_view kind;
        bool wrapped;
    };
    std::vector<Child> children;
    std::optional<size_t> close;
    long depth = 0;
    bool r_used = false, r_declared = false;
    for (auto piece = next_markup(tail, 0); piece && !close; piece = next_markup(tail, piece->end)) {
        switch (piece->kind) {
        case Markup::Start:
        case Markup::Empty: {
            if (auto tag = read_tag(tail, piece->begin, true))
                for (const Attribute &a : tag->attributes) {
                    r_declared = r_declared || a.name == "xmlns:r";
                    r_used = r_used || a.name.substr(0, 2) == "r:";
                }
            std::string_view local = local_part(piece->name);
            if (depth == 0)
                children.push_back(Child{piece->begin, piece->end, local, local == "AlternateContent"});
            else if (depth == 2 && children.back().wrapped && children.back().kind == "AlternateContent")
                children.back().kind = local;  // the first choice's element
            if (piece->kind == Markup::Start)
                ++depth;
            break;
        }
        case Markup::End:
            if (depth == 0) {
                close = piece->begin;
                break;
            }
            if (--depth == 0)
                children.back().end = piece->end;
            break;
        default:
            break;
        }
    }
    if (!close)
        throw nb::value_error("the worksheet does not close after its cell data");

    std::string element = "<" + std::string(prefix);
    if (!prefix.empty() && prefix.back() != ':')
        element += ":";
    element += "drawing";
    if (!r_bound(head, r_used && !r_declared))
        element += std::string(" xmlns:r=\"") + kOfficeRelNs + "\"";
    element += " r:id=\"" + escaped(rid) + "\"/>";

    // A drawing element already there names no drawing part the package holds:
    // the new one takes its place, since a sheet may have only one.
    size_t from = *close, to = *close;
    auto old = std::find_if(children.begin(), children.end(),
                            [](const Child &c) { return c.kind == "drawing" && !c.wrapped; });
    auto after = std::find_if(children.begin(), children.end(),
                              [](const Child &c) { return kAfterDrawing.count(c.kind) > 0; });
    if (old != children.end()) {
        from = old->begin;
        to = old->end;
    } else if (after != children.end()) {
        from = to = after->begin;
    }
    std::string out;
    out.reserve(tail.size() + element.size());
    out.append(tail.substr(0, from)).append(element).append(tail.substr(to));
    return out;
}

}  // namespace tessel::pictures
