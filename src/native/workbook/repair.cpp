// openpyxl renumbers worksheet, drawing and media parts, re-serialises only the
// pictures and charts it can read, and drops shapes, text boxes, controls and
// embedded objects.  So the repair never matches parts by file name: sheets are
// paired by their names in the workbook, the template's objects are copied under
// fresh part names together with everything they relate to, and what the fill
// added (pictures, comment drawings) is kept beside them.
#include "workbook/repair.h"

#include "ooxml/numbers.h"
#include "ooxml/package.h"
#include "ooxml/parts.h"
#include "workbook/row_insertion.h"
#include "workbook/sheet_xml.h"
#include "workbook/sheets.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string_view>

namespace tessel::repair {

using namespace nb::literals;
using namespace tessel::ooxml;

namespace {

constexpr const char *kDrawingNs = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing";
constexpr const char *kDrawingMainNs = "http://schemas.openxmlformats.org/drawingml/2006/main";

// Child order of the two sheet kinds, as the SpreadsheetML schema fixes it.
const std::vector<std::string> kWorksheetOrder = {
    "sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData", "sheetCalcPr",
    "sheetProtection", "protectedRanges", "scenarios", "autoFilter", "sortState", "dataConsolidate",
    "customSheetViews", "mergeCells", "phoneticPr", "conditionalFormatting", "dataValidations",
    "hyperlinks", "printOptions", "pageMargins", "pageSetup", "headerFooter", "rowBreaks", "colBreaks",
    "customProperties", "cellWatches", "ignoredErrors", "smartTags", "drawing", "legacyDrawing",
    "legacyDrawingHF", "drawingHF", "picture", "oleObjects", "controls", "webPublishItems", "tableParts",
    "extLst"};
const std::vector<std::string> kChartsheetOrder = {
    "sheetPr", "sheetViews", "sheetProtection", "customSheetViews", "pageMargins", "pageSetup",
    "headerFooter", "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture",
    "webPublishItems", "extLst"};

// Sheet children that carry drawn objects openpyxl loses.
const std::set<std::string> kRestorable = {"drawing", "legacyDrawing", "legacyDrawingHF",
                                           "picture", "oleObjects", "controls"};
// Relationship types such children point at; a sheet without any is left alone
// unparsed, which keeps large data sheets cheap.
const char *const kRestorableTypes[] = {"drawing", "vmlDrawing", "ctrlProp", "oleObject",
                                        "package", "control", "image"};

// Resource folders whose parts openpyxl regenerates; those left unreferenced after
// the repair are openpyxl's stale copies.
const char *const kResourceFolders[] = {"xl/drawings/", "xl/media/", "xl/charts/",
                                        "xl/embeddings/", "xl/activeX/", "xl/ctrlProps/"};

struct SheetPair {
    std::string src, des, name;
    bool chartsheet;
};

struct Restorable {
    std::string kind;
    nb::object element;
    std::vector<std::string> ids;
};

bool in_resource_folder(const std::string &part) {
    for (const char *folder : kResourceFolders)
        if (part.rfind(folder, 0) == 0)
            return true;
    return false;
}

// Pairs each saved sheet with the template sheet of the same name.
std::vector<SheetPair> pair_sheets(const Package &src, const Package &des, bool chartsheets) {
    std::vector<SheetPair> pairs;
    std::vector<Sheet> template_sheets = sheets_of(src);
    for (const Sheet &saved : sheets_of(des)) {
        if (saved.chartsheet != chartsheets)
            continue;
        for (const Sheet &t : template_sheets)
            if (t.name == saved.name && t.chartsheet == saved.chartsheet) {
                pairs.push_back(SheetPair{t.part, saved.part, saved.name, chartsheets});
                break;
            }
    }
    return pairs;
}

// The kind of a sheet child; markup-compatibility wrappers take the kind of what
// they wrap.
std::string kind_of(nb::handle child) {
    std::string local = local_name(child);
    if (local != "AlternateContent")
        return local;
    for (nb::handle branch : child)
        for (nb::handle inner : branch) {
            std::string k = local_name(inner);
            if (!k.empty())
                return k;
        }
    return local;
}

// Relationship-namespace attributes (r:id, r:embed, r:link, r:pict...) in an
// element's subtree, found by libxml2 itself: a sheet holds many thousand cells.
nb::list relationship_attributes(nb::handle element) {
    nb::dict ns;
    ns["r"] = kOfficeRelNs;
    return nb::borrow<nb::list>(element.attr("xpath")("descendant-or-self::*/@r:*", "namespaces"_a = ns));
}

std::vector<std::string> relationship_ids(nb::handle element) {
    std::vector<std::string> ids;
    for (nb::handle value : relationship_attributes(element)) {
        std::string v = nb::cast<std::string>(nb::str(value));
        if (std::find(ids.begin(), ids.end(), v) == ids.end())
            ids.push_back(v);
    }
    return ids;
}

void rename_ids(nb::handle element, const std::map<std::string, std::string> &renamed) {
    for (nb::handle value : relationship_attributes(element)) {
        auto it = renamed.find(nb::cast<std::string>(nb::str(value)));
        if (it != renamed.end())
            value.attr("getparent")().attr("set")(value.attr("attrname"), it->second);
    }
}

bool worth_parsing(const Relationships &rels) {
    for (const char *type : kRestorableTypes)
        if (rels.has_type(type))
            return true;
    return false;
}

bool resolves(const Package &pkg, const Relationships &rels, const std::vector<std::string> &ids) {
    for (const std::string &id : ids) {
        const Relationship *rel = rels.find(id);
        if (!rel || (!rel->external && !rels.part_of(pkg, *rel)))
            return false;
    }
    return true;
}

std::vector<Restorable> restorable_elements(const Package &src, nb::handle root,
                                            const Relationships &rels) {
    std::vector<Restorable> out;
    for (nb::handle child : root) {
        std::string kind = kind_of(child);
        if (!kRestorable.count(kind))
            continue;
        Restorable r{kind, nb::borrow(child), relationship_ids(child)};
        // An object whose part the template itself lacks cannot be shown: the
        // saved sheet keeps its own.
        if (!resolves(src, rels, r.ids))
            continue;
        if (kind == "legacyDrawing") {
            const Relationship *rel = r.ids.empty() ? nullptr : rels.find(r.ids[0]);
            auto part = rel ? rels.part_of(src, *rel) : std::nullopt;
            if (!part || !vml_beyond_comments(src, *part))
                continue;
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::string free_name(const Package &des, const std::string &part) {
    if (!des.has(part))
        return part;
    std::string folder = part_folder(part);
    std::string file = part.substr(folder.empty() ? 0 : folder.size() + 1);
    size_t dot = file.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : file.substr(dot);
    std::string stem = file.substr(0, dot == std::string::npos ? file.size() : dot);
    while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back())))
        stem.pop_back();
    for (int n = 1;; ++n) {
        std::string name = (folder.empty() ? "" : folder + "/") + stem + std::to_string(n) + ext;
        if (!des.has(name))
            return name;
    }
}

// Copies template parts into the saved package under names that collide with
// nothing there, with every part they relate to; a part shared by several
// objects is copied once.
class PartCopier {
public:
    PartCopier(const Package &src, Package &des, const ContentTypes &src_ct, ContentTypes &des_ct)
        : src_(src), des_(des), src_ct_(src_ct), des_ct_(des_ct) {}

    std::string copy(const std::string &part) {
        // A list of parts still to relate rather than recursion: a file decides how
        // deep its relationships chain.
        const std::string name = claim(part);
        while (!unrelated_.empty()) {
            auto [from_part, to_part] = unrelated_.back();
            unrelated_.pop_back();
            Relationships from(src_, from_part), to(des_, to_part);
            for (const Relationship &rel : from.all()) {
                if (rel.external) {
                    to.add(rel.id, rel.type, rel.target, true);
                } else if (auto target = from.part_of(src_, rel)) {
                    // Left out when the template itself lacks the part: nothing dangles.
                    to.add(rel.id, rel.type, relative_target(to_part, claim(*target)), false);
                }
            }
            to.save(des_);
        }
        return name;
    }

private:
    const Package &src_;
    Package &des_;
    const ContentTypes &src_ct_;
    ContentTypes &des_ct_;
    std::map<std::string, std::string> copied_;
    std::vector<std::pair<std::string, std::string>> unrelated_;  // copied, relationships not yet

    // The saved package's name for a template part, copying the part on first use.
    std::string claim(const std::string &part) {
        auto done = copied_.find(part);
        if (done != copied_.end())
            return done->second;
        std::string name = free_name(des_, part);
        copied_[part] = name;
        des_.copy_from(src_, part, name);
        if (auto type = src_ct_.override_of(part))
            des_ct_.add_override(name, *type);
        else if (auto type = src_ct_.default_of(extension_of(part)))
            des_ct_.add_default(extension_of(part), *type);
        if (src_.has(rels_part_of(part)))
            unrelated_.emplace_back(part, name);
        return name;
    }
};

// Picture anchors are told apart by where they sit and what they show.
std::optional<std::string> picture_key(const Package &pkg, const Relationships &rels, nb::handle anchor) {
    nb::object pic = anchor.attr("find")(clark(kDrawingNs, "pic"));
    if (pic.is_none())
        return std::nullopt;
    std::string key = local_name(anchor) + "|";
    for (const char *where : {"from", "pos"}) {
        nb::object at = anchor.attr("find")(clark(kDrawingNs, where));
        if (!at.is_none())
            key += nb::cast<std::string>(nb::str("/").attr("join")(at.attr("itertext")())) + "|";
    }
    nb::object blip = pic.attr("find")(".//" + clark(kDrawingMainNs, "blip"));
    if (!blip.is_none()) {
        nb::object embed = blip.attr("get")(clark(kOfficeRelNs, "embed").c_str());
        const Relationship *rel = embed.is_none() ? nullptr : rels.find(nb::cast<std::string>(embed));
        if (auto part = rel ? rels.part_of(pkg, *rel) : std::nullopt) {
            nb::bytes data = pkg.read(*part);
            key.append(data.c_str(), data.size());
        }
    }
    return key;
}

bool is_anchor(const std::string &local) {
    return local == "twoCellAnchor" || local == "oneCellAnchor" || local == "absoluteAnchor";
}

// Adds to the restored template drawing the pictures of the saved drawing that
// the template drawing did not hold: those the fill placed.  The restored copy,
// moved over any inserted rows as openpyxl's own pictures were, tells them apart.
void merge_new_pictures(Package &des, const std::string &saved_drawing, const std::string &restored_drawing) {
    nb::object saved_root = parse_part(des, saved_drawing);
    Relationships saved_rels(des, saved_drawing);
    nb::object root = parse_part(des, restored_drawing);
    Relationships rels(des, restored_drawing);
    std::multiset<std::string> known;
    for (nb::handle anchor : root)
        if (auto key = picture_key(des, rels, anchor))
            known.insert(*key);
    std::vector<nb::object> added;
    for (nb::handle anchor : saved_root) {
        if (!is_anchor(local_name(anchor)))
            continue;
        auto key = picture_key(des, saved_rels, anchor);
        if (!key)
            continue;
        auto seen = known.find(*key);
        if (seen != known.end())
            known.erase(seen);
        else
            added.push_back(nb::borrow(anchor));
    }
    if (added.empty())
        return;
    std::set<long long> used;
    for (nb::handle props : root.attr("iter")(clark(kDrawingNs, "cNvPr"))) {
        nb::object id = props.attr("get")("id");
        if (!id.is_none())
            if (auto value = whole_number(nb::cast<std::string>(id), kId))
                used.insert(*value);
    }
    nb::object deepcopy = nb::module_::import_("copy").attr("deepcopy");
    std::string prefix = std::string("{") + kOfficeRelNs + "}";
    for (const nb::object &anchor : added) {
        nb::object copy = deepcopy(anchor);
        for (nb::handle el : copy.attr("iter")()) {
            if (local_name(el) == "cNvPr")
                el.attr("set")("id", std::to_string(take_free_id(used)));
            for (nb::handle item : nb::list(el.attr("attrib").attr("items")())) {
                std::string key = nb::cast<std::string>(item[0]);
                if (key.rfind(prefix, 0) != 0)
                    continue;
                const Relationship *rel = saved_rels.find(nb::cast<std::string>(item[1]));
                if (!rel)
                    continue;
                std::string id;
                if (rel->external)
                    id = rels.add("", rel->type, rel->target, true);
                else if (auto part = saved_rels.part_of(des, *rel))
                    id = rels.add("", rel->type, relative_target(restored_drawing, *part), false);
                else
                    continue;
                el.attr("set")(item[0], id);
            }
        }
        root.attr("append")(copy);
    }
    write_part(des, restored_drawing, root);
    rels.save(des);
}

// Brings the parts and relationships of one template sheet's drawn objects into
// its saved sheet.  Restored relationships keep the template's ids, so that the
// sheet elements restore_tags copies resolve as they stand; a saved relationship
// in the way is renumbered, in its sheet part too.
void restore_sheet_parts(const Package &src, Package &des, PartCopier &copier, const SheetPair &pair,
                         const SheetInsertions &inserted) {
    Relationships src_rels(src, pair.src);
    if (!worth_parsing(src_rels))
        return;
    SheetXml src_sheet = parse_sheet(src, pair.src);
    std::vector<Restorable> elements = restorable_elements(src, src_sheet.root, src_rels);
    if (elements.empty())
        return;
    Relationships des_rels(des, pair.des);
    SheetXml des_sheet = parse_sheet(des, pair.des);
    nb::handle des_root = des_sheet.root;

    std::set<std::string> kinds, wanted;
    for (const Restorable &r : elements) {
        kinds.insert(r.kind);
        wanted.insert(r.ids.begin(), r.ids.end());
    }
    std::string saved_drawing;
    for (nb::handle child : des_root) {
        std::string kind = kind_of(child);
        if (!kinds.count(kind))
            continue;
        for (const std::string &id : relationship_ids(child)) {
            const Relationship *rel = des_rels.find(id);
            if (rel && kind == "drawing")
                saved_drawing = des_rels.part_of(des, *rel).value_or(std::string());
            des_rels.remove(id);
        }
    }

    std::map<std::string, std::string> renamed;
    std::string restored_drawing, restored_vml;
    std::set<std::string> done;
    for (const Restorable &r : elements)
        for (const std::string &id : r.ids) {
            const Relationship *rel = src_rels.find(id);
            if (!rel || !done.insert(id).second)
                continue;
            std::string target = rel->target;
            if (!rel->external) {
                auto part = src_rels.part_of(src, *rel);
                if (!part)
                    continue;
                std::string copy = copier.copy(*part);
                target = relative_target(pair.des, copy);
                if (r.kind == "drawing")
                    restored_drawing = copy;
                else if (r.kind == "legacyDrawing")
                    restored_vml = copy;
            }
            if (des_rels.find(id)) {
                std::string fresh;
                for (int n = 1; fresh.empty() || des_rels.find(fresh) || wanted.count(fresh); ++n)
                    fresh = "rId" + std::to_string(n);
                des_rels.rename(id, fresh);
                renamed[id] = fresh;
            }
            des_rels.add(id, rel->type, target, rel->external);
        }

    // The template's objects stand in the template's layout: they move over the
    // rows the fill inserted, as the cells under them did.
    if (const sheets::Insertions *own = inserted.find(pair.name)) {
        if (!restored_drawing.empty()) {
            nb::object drawing = parse_part(des, restored_drawing);
            move_drawing_anchors(drawing, *own, restored_drawing);
            write_part(des, restored_drawing, drawing);
        }
        if (!restored_vml.empty()) {
            nb::bytes vml = des.read(restored_vml);
            sheets::SheetLookup lookup = [&](std::string_view name) {
                return name.empty() ? own : inserted.find(name);
            };
            std::string moved = moved_vml(std::string_view(vml.c_str(), vml.size()), *own, lookup, restored_vml);
            des.write(restored_vml, nb::bytes(moved.data(), moved.size()));
        }
    }
    if (!saved_drawing.empty() && !restored_drawing.empty())
        merge_new_pictures(des, saved_drawing, restored_drawing);
    if (!renamed.empty()) {
        rename_ids(des_root, renamed);
        write_sheet(des, pair.des, des_sheet);
    }
    des_rels.save(des);
}

void insert_in_order(nb::handle root, nb::handle element, const std::string &kind,
                     const std::vector<std::string> &order) {
    auto rank = [&](const std::string &k) {
        return std::find(order.begin(), order.end(), k) - order.begin();
    };
    const auto mine = rank(kind);
    for (nb::handle child : root) {
        auto theirs = rank(kind_of(child));
        if (theirs != static_cast<std::ptrdiff_t>(order.size()) && theirs > mine) {
            child.attr("addprevious")(element);
            return;
        }
    }
    root.attr("append")(element);
}

// Prefixes that markup-compatibility attributes name in their values; the parser
// does not see them as used, so they must be declared by hand.
void declare_named_prefixes(nb::handle source, nb::dict &needed) {
    const std::string ignorable = clark(kMcNs, "Ignorable");
    for (nb::handle el : source.attr("iter")())
        for (const char *name : {"Requires", ignorable.c_str()}) {
            nb::object value = el.attr("get")(name);
            if (value.is_none())
                continue;
            // nsmap holds every declaration in scope, inherited ones included.
            nb::dict in_scope = nb::borrow<nb::dict>(el.attr("nsmap"));
            for (nb::handle prefix : value.attr("split")())
                if (in_scope.contains(prefix))
                    needed[prefix] = in_scope[prefix];
        }
}

// Puts the template sheet's drawn-object elements into the saved sheet, each at
// its schema position, in place of the saved sheet's own of the same kind.
void restore_tags(const Package &src, Package &des, const SheetPair &pair, const SheetInsertions &inserted) {
    Relationships src_rels(src, pair.src);
    if (!worth_parsing(src_rels))
        return;
    SheetXml src_sheet = parse_sheet(src, pair.src);
    std::vector<Restorable> elements = restorable_elements(src, src_sheet.root, src_rels);
    Relationships des_rels(des, pair.des);
    std::vector<Restorable> kept;
    for (Restorable &r : elements)
        if (resolves(des, des_rels, r.ids))
            kept.push_back(r);
    if (elements.empty())
        return;
    SheetXml des_sheet = parse_sheet(des, pair.des);
    nb::handle des_root = des_sheet.root;
    std::set<std::string> kinds;
    for (const Restorable &r : kept)
        kinds.insert(r.kind);
    bool changed = false;
    for (nb::handle child : nb::list(des_root.attr("getchildren")())) {
        std::string kind = kind_of(child);
        if (kRestorable.count(kind) &&
            (kinds.count(kind) || !resolves(des, des_rels, relationship_ids(child)))) {
            des_root.attr("remove")(child);
            changed = true;
        }
    }
    nb::object deepcopy = nb::module_::import_("copy").attr("deepcopy");
    nb::dict named, offered;
    const auto &order = pair.chartsheet ? kChartsheetOrder : kWorksheetOrder;
    for (const Restorable &r : kept) {
        declare_named_prefixes(r.element, named);
        offered.update(r.element.attr("nsmap"));
        nb::object copy = deepcopy(r.element);
        if (const sheets::Insertions *own = inserted.find(pair.name))
            move_object_anchors(copy, *own, pair.des);
        insert_in_order(des_root, copy, r.kind, order);
        changed = true;
    }
    if (!changed)
        return;
    // Declarations go on the root, as Excel writes them: the template's prefixes
    // that the restored elements use, and those that their compatibility
    // attributes name, which no parser counts as used.
    nb::dict declared = nb::borrow<nb::dict>(des_root.attr("nsmap"));
    nb::dict top;
    nb::list keep;
    for (auto [prefix, uri] : declared)
        if (!prefix.is_none())
            keep.append(prefix);
    for (auto [prefix, uri] : offered)
        if (!prefix.is_none() && !declared.contains(prefix)) {
            top[prefix] = uri;
            if (named.contains(prefix))
                keep.append(prefix);
        }
    if (nb::len(top))
        nb::module_::import_("lxml.etree")
            .attr("cleanup_namespaces")(des_root, "top_nsmap"_a = top, "keep_ns_prefixes"_a = keep);
    write_sheet(des, pair.des, des_sheet);
}

// Removes the resource parts nothing relates to any more: openpyxl's copies of
// drawings, charts and media that the template's own have replaced.  The walk
// starts from the package and from every part outside the resource folders, so a
// package without its own relationships part loses nothing.
void drop_unreachable(Package &des) {
    std::set<std::string> reachable;
    std::vector<std::string> queue = {""};
    for (const std::string &name : des.names())
        if (!in_resource_folder(name) && name.find("_rels/") == std::string::npos)
            queue.push_back(name);
    while (!queue.empty()) {
        std::string part = queue.back();
        queue.pop_back();
        if (!des.has(rels_part_of(part)))
            continue;
        Relationships rels(des, part);
        for (const Relationship &rel : rels.all())
            if (auto target = rels.part_of(des, rel))
                if (reachable.insert(*target).second)
                    queue.push_back(*target);
    }
    for (const std::string &name : des.names())
        if (in_resource_folder(name) && !reachable.count(name) && name.find("/_rels/") == std::string::npos) {
            des.remove(name);
            des.remove(rels_part_of(name));
        }
}

void repair_chartsheets(const Package &src, Package &des, const SheetInsertions &inserted) {
    ContentTypes src_ct(src), des_ct(des);
    PartCopier copier(src, des, src_ct, des_ct);
    std::vector<SheetPair> pairs = pair_sheets(src, des, true);
    for (const SheetPair &pair : pairs) {
        restore_sheet_parts(src, des, copier, pair, inserted);
        restore_tags(src, des, pair, inserted);
    }
    if (!pairs.empty())
        drop_unreachable(des);
    des_ct.save(des);
}

void repair_worksheet_parts(const Package &src, Package &des, const SheetInsertions &inserted) {
    ContentTypes src_ct(src), des_ct(des);
    PartCopier copier(src, des, src_ct, des_ct);
    std::vector<SheetPair> pairs = pair_sheets(src, des, false);
    for (const SheetPair &pair : pairs)
        restore_sheet_parts(src, des, copier, pair, inserted);
    if (!pairs.empty())
        drop_unreachable(des);
    des_ct.save(des);
}

void repair_worksheet_tags(const Package &src, Package &des, const SheetInsertions &inserted) {
    for (const SheetPair &pair : pair_sheets(src, des, false))
        restore_tags(src, des, pair, inserted);
}

void repair_content_types(const Package &src, Package &des, const SheetInsertions &) {
    ContentTypes src_ct(src), des_ct(des);
    if (!des_ct.present())
        return;
    des_ct.prune(des);
    for (const std::string &name : des.names()) {
        if (name == "[Content_Types].xml" || des_ct.type_of(name))
            continue;
        std::string ext = extension_of(name);
        if (auto type = src_ct.override_of(name))
            des_ct.add_override(name, *type);
        else if (auto type = src_ct.default_of(ext))
            des_ct.add_default(ext, *type);
        else if (auto type = known_default(ext))
            des_ct.add_default(ext, *type);
    }
    des_ct.save(des);
}

// The sheet a defined name's text starts with: 'Sheet 1'!$A$1 or Sheet1!$A$1.
std::string leading_sheet(std::string text) {
    if (!text.empty() && text[0] == '=')
        text.erase(0, 1);
    if (!text.empty() && text[0] == '\'') {
        std::string name;
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] != '\'')
                name += text[i];
            else if (i + 1 < text.size() && text[i + 1] == '\'')
                name += text[++i];
            else
                return i + 1 < text.size() && text[i + 1] == '!' ? name : std::string();
        }
        return std::string();
    }
    size_t bang = text.find('!');
    return bang == std::string::npos ? std::string() : text.substr(0, bang);
}

// openpyxl numbers a local defined name by its sheet's place among the work
// sheets alone, so where chart sheets come first the name lands on another
// sheet, or on a chart sheet, and no reader accepts the workbook.  Each local
// name is put back on its template sheet, found by name: the local names of one
// name pair up in the order of their sheets, which every numbering keeps.  A
// name the template lacks (openpyxl writes some of its own) goes to the sheet its
// text refers to when it is a built-in one.
void repair_local_names(const Package &src, Package &des) {
    std::string src_book = workbook_part(src), des_book = workbook_part(des);
    if (src_book.empty() || des_book.empty())
        return;
    nb::object src_root = parse_part(src, src_book), des_root = parse_part(des, des_book);
    auto sheet_names = [](nb::handle root) {
        std::vector<std::string> names;
        for (nb::handle sheet : root.attr("iterfind")("{*}sheets/{*}sheet")) {
            nb::object name = sheet.attr("get")("name");
            names.push_back(name.is_none() ? std::string() : nb::cast<std::string>(name));
        }
        return names;
    };
    auto local_id = [](nb::handle name, long count) -> long {
        nb::object id = name.attr("get")("localSheetId");
        if (id.is_none())
            return -1;
        auto v = whole_number(nb::cast<std::string>(id), Bounds{0, count - 1});
        return v ? static_cast<long>(*v) : count;
    };
    const std::vector<std::string> src_sheets = sheet_names(src_root), des_sheets = sheet_names(des_root);
    std::vector<std::string> des_keys;
    for (const std::string &sheet : des_sheets)
        des_keys.push_back(folded_name(sheet));
    auto position = [&](const std::string &sheet) -> long {
        auto it = std::find(des_keys.begin(), des_keys.end(), folded_name(sheet));
        return it == des_keys.end() ? -1 : static_cast<long>(it - des_keys.begin());
    };
    const char *query = "{*}definedNames/{*}definedName";
    std::map<std::string, std::vector<long>> wanted;  // name -> saved sheet positions
    for (nb::handle name : src_root.attr("iterfind")(query)) {
        long id = local_id(name, static_cast<long>(src_sheets.size()));
        nb::object text = name.attr("get")("name");
        if (id < 0 || id >= static_cast<long>(src_sheets.size()) || text.is_none())
            continue;
        long at = position(src_sheets[static_cast<size_t>(id)]);
        if (at >= 0)
            wanted[folded_name(nb::cast<std::string>(text))].push_back(at);
    }
    std::map<std::string, std::vector<std::pair<long, nb::object>>> found;
    for (nb::handle name : des_root.attr("iterfind")(query)) {
        long id = local_id(name, static_cast<long>(des_sheets.size()));
        nb::object text = name.attr("get")("name");
        if (id >= 0 && !text.is_none())
            found[folded_name(nb::cast<std::string>(text))].push_back({id, nb::borrow(name)});
    }
    bool changed = false;
    auto assign = [&](nb::handle name, long at) {
        nb::str value(std::to_string(at).c_str());
        if (!value.equal(name.attr("get")("localSheetId"))) {
            name.attr("set")("localSheetId", value);
            changed = true;
        }
    };
    for (auto &[key, names] : found) {
        std::stable_sort(names.begin(), names.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        std::vector<long> targets = wanted[key];
        std::sort(targets.begin(), targets.end());
        if (targets.size() == names.size()) {
            for (size_t k = 0; k < names.size(); ++k)
                assign(names[k].second, targets[k]);
            continue;
        }
        if (key.rfind("_xlnm.", 0) != 0)
            continue;
        for (auto &[id, name] : names) {
            nb::object text = name.attr("text");
            long at = text.is_none() ? -1 : position(leading_sheet(nb::cast<std::string>(text)));
            if (at >= 0)
                assign(name, at);
        }
    }
    if (changed)
        write_part(des, des_book, des_root);
}

}  // namespace

// Types of the media and object parts a template may type by extension only.
std::optional<std::string> known_default(const std::string &ext) {
    static const std::map<std::string, std::string> types = {
        {"png", "image/png"},
        {"jpeg", "image/jpeg"},
        {"jpg", "image/jpeg"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"emf", "image/x-emf"},
        {"wmf", "image/x-wmf"},
        {"svg", "image/svg+xml"},
        {"wdp", "image/vnd.ms-photo"},
        {"bin", "application/vnd.openxmlformats-officedocument.oleObject"},
        {"vml", "application/vnd.openxmlformats-officedocument.vmlDrawing"},
        {"rels", "application/vnd.openxmlformats-package.relationships+xml"},
        {"xml", "application/xml"},
    };
    auto it = types.find(ext);
    return it == types.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void restore_save(nb::handle template_path, nb::handle save_path, nb::handle inserted) {
    SheetInsertions rows = SheetInsertions::from_python(inserted);
    Package src = Package::from_zip(template_path, "template workbook");
    Package des = Package::from_zip(save_path, "saved workbook");
    repair_chartsheets(src, des, rows);
    repair_local_names(src, des);
    repair_worksheet_parts(src, des, rows);
    repair_worksheet_tags(src, des, rows);
    repair_content_types(src, des, rows);
    // One rewrite of the package for both steps: a large sheet costs most in
    // compressing it again.
    move_references(des, rows);
    des.commit(save_path);
}

void move_inserted_rows(nb::handle save_path, nb::handle inserted) {
    SheetInsertions rows = SheetInsertions::from_python(inserted);
    if (rows.empty())
        return;
    Package des = Package::from_zip(save_path, "saved workbook");
    move_references(des, rows);
    des.commit(save_path);
}

namespace {

// One repair on extracted trees: the template tree is only read, the saved tree is
// rewritten in place.
void repair_trees(nb::handle src_dir, nb::handle des_dir,
                  void (*repair)(const Package &, Package &, const SheetInsertions &)) {
    Package src = Package::from_dir(src_dir, "template workbook");
    Package des = Package::from_dir(des_dir, "saved workbook");
    repair(src, des, SheetInsertions());
}

}  // namespace

void fix_workbook_relationships(nb::handle src_dir, nb::handle des_dir) {
    repair_trees(src_dir, des_dir, [](const Package &src, Package &des, const SheetInsertions &rows) {
        repair_chartsheets(src, des, rows);
        repair_local_names(src, des);
    });
}

void fix_worksheet_relationships(nb::handle src_dir, nb::handle des_dir) {
    repair_trees(src_dir, des_dir, repair_worksheet_parts);
}

void fix_content_types(nb::handle src_dir, nb::handle des_dir) {
    repair_trees(src_dir, des_dir, repair_content_types);
}

void restore_drawing_tags(nb::handle src_dir, nb::handle des_dir) {
    repair_trees(src_dir, des_dir, repair_worksheet_tags);
}

}  // namespace tessel::repair
