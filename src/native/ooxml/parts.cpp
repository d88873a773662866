#include "ooxml/parts.h"

#include <cctype>

namespace tessel::ooxml {

using namespace nb::literals;

namespace {

// Beyond this a part is refused before it is decompressed: no real worksheet comes
// near it, and a ZIP bomb declares sizes far past it.
constexpr unsigned long long kMaxXmlPart = 512ULL << 20;

constexpr const char *kContentTypesNs = "http://schemas.openxmlformats.org/package/2006/content-types";

nb::module_ etree() { return nb::module_::import_("lxml.etree"); }

std::string attr(nb::handle element, const char *name) {
    nb::object v = element.attr("get")(name);
    return v.is_none() ? std::string() : nb::cast<std::string>(v);
}

}  // namespace

std::string clark(const char *ns, const char *local) { return std::string("{") + ns + "}" + local; }

std::string local_name(nb::handle element) {
    nb::object tag = element.attr("tag");
    if (!nb::isinstance<nb::str>(tag))
        return std::string();  // comments and processing instructions
    std::string t = nb::cast<std::string>(tag);
    size_t close = t.find('}');
    return close == std::string::npos ? t : t.substr(close + 1);
}

nb::bytes read_part(const Package &pkg, const std::string &part) {
    if (pkg.size(part) > kMaxXmlPart)
        throw nb::value_error((part + " of the " + pkg.role() + " is too large to be read").c_str());
    return pkg.read(part);
}

nb::object parse_part(const Package &pkg, const std::string &part, nb::handle data) {
    std::string where = part + " of the " + pkg.role();
    nb::object parser = etree().attr("XMLParser")("resolve_entities"_a = false, "no_network"_a = true,
                                                  "huge_tree"_a = false, "load_dtd"_a = false);
    nb::object root;
    try {
        root = etree().attr("fromstring")(data, parser);
    } catch (nb::python_error &e) {
        if (!e.matches(etree().attr("XMLSyntaxError")))
            throw;
        nb::raise_from(e, PyExc_ValueError, "%s is not well-formed XML within safe limits: %s",
                       where.c_str(), nb::str(e.value()).c_str());
    }
    if (!nb::cast<std::string>(root.attr("getroottree")().attr("docinfo").attr("doctype")).empty())
        throw nb::value_error((where + " declares a DTD, which no Office Open XML part carries").c_str());
    return root;
}

nb::object parse_part(const Package &pkg, const std::string &part) {
    return parse_part(pkg, part, read_part(pkg, part));
}

nb::bytes serialise(nb::handle root) {
    nb::object tree = root.attr("getroottree")();
    // Keeps standalone="yes" where the input declared it; lxml reports a part
    // without a declaration as not standalone, which it was not declared to be.
    nb::object standalone = tree.attr("docinfo").attr("standalone");
    nb::object data = standalone.is(nb::handle(Py_True))
                          ? etree().attr("tostring")(tree, "xml_declaration"_a = true, "encoding"_a = "UTF-8",
                                                     "standalone"_a = true)
                          : etree().attr("tostring")(tree, "xml_declaration"_a = true, "encoding"_a = "UTF-8");
    return nb::borrow<nb::bytes>(data);
}

void write_part(Package &pkg, const std::string &part, nb::handle root) { pkg.write(part, serialise(root)); }

Relationships::Relationships(const Package &pkg, std::string source) : source_(std::move(source)) {
    std::string part = rels_part_of(source_);
    existed_ = pkg.has(part);
    if (existed_) {
        root_ = parse_part(pkg, part);
    } else {
        nb::dict nsmap;
        nsmap[nb::none()] = kRelsNs;
        root_ = etree().attr("Element")(clark(kRelsNs, "Relationships"), "nsmap"_a = nsmap);
    }
    for (nb::handle el : root_.attr("findall")(clark(kRelsNs, "Relationship")))
        rels_.push_back(Relationship{attr(el, "Id"), attr(el, "Type"), attr(el, "Target"),
                                     ascii_lower(attr(el, "TargetMode")) == "external", nb::borrow(el)});
}

const Relationship *Relationships::find(const std::string &id) const {
    for (const Relationship &r : rels_)
        if (r.id == id)
            return &r;
    return nullptr;
}

std::optional<std::string> Relationships::part_of(const Package &pkg, const Relationship &rel) const {
    if (rel.external)
        return std::nullopt;
    std::optional<std::string> part = resolve_target(source_, rel.target);
    if (part && pkg.has(*part))
        return pkg.actual(*part);
    return std::nullopt;
}

bool Relationships::has_type(const char *suffix) const {
    std::string tail = std::string("/") + suffix;
    for (const Relationship &r : rels_)
        if (ends_with(r.type, tail))
            return true;
    return false;
}

std::string Relationships::fresh_id() const {
    for (size_t n = rels_.size() + 1;; ++n) {
        std::string id = "rId" + std::to_string(n);
        if (!find(id))
            return id;
    }
}

std::string Relationships::add(std::string id, const std::string &type, const std::string &target,
                               bool external) {
    if (id.empty() || find(id))
        id = fresh_id();
    nb::object el = etree().attr("SubElement")(root_, clark(kRelsNs, "Relationship"));
    el.attr("set")("Id", id);
    el.attr("set")("Type", type);
    el.attr("set")("Target", target);
    if (external)
        el.attr("set")("TargetMode", "External");
    rels_.push_back(Relationship{id, type, target, external, el});
    changed_ = true;
    return id;
}

void Relationships::rename(const std::string &from, const std::string &to) {
    for (Relationship &r : rels_)
        if (r.id == from) {
            r.id = to;
            r.element.attr("set")("Id", to);
            changed_ = true;
        }
}

void Relationships::remove(const std::string &id) {
    for (auto it = rels_.begin(); it != rels_.end();) {
        if (it->id == id) {
            root_.attr("remove")(it->element);
            it = rels_.erase(it);
            changed_ = true;
        } else {
            ++it;
        }
    }
}

void Relationships::save(Package &pkg) {
    if (!changed_)
        return;
    std::string part = rels_part_of(source_);
    if (rels_.empty() && !existed_)
        return;
    write_part(pkg, part, root_);
    existed_ = true;
    changed_ = false;
}

ContentTypes::ContentTypes(const Package &pkg) {
    if (pkg.has("[Content_Types].xml"))
        root_ = parse_part(pkg, "[Content_Types].xml");
}

std::optional<std::string> ContentTypes::override_of(const std::string &part) const {
    if (!present())
        return std::nullopt;
    std::string name = ascii_lower("/" + part);
    for (nb::handle el : root_.attr("findall")(clark(kContentTypesNs, "Override")))
        if (ascii_lower(attr(el, "PartName")) == name)
            return attr(el, "ContentType");
    return std::nullopt;
}

std::optional<std::string> ContentTypes::default_of(const std::string &extension) const {
    if (!present() || extension.empty())
        return std::nullopt;
    for (nb::handle el : root_.attr("findall")(clark(kContentTypesNs, "Default")))
        if (ascii_lower(attr(el, "Extension")) == extension)
            return attr(el, "ContentType");
    return std::nullopt;
}

std::optional<std::string> ContentTypes::type_of(const std::string &part) const {
    if (auto t = override_of(part))
        return t;
    return default_of(extension_of(part));
}

void ContentTypes::add_override(const std::string &part, const std::string &type) {
    if (!present() || override_of(part))
        return;
    nb::object el = etree().attr("SubElement")(root_, clark(kContentTypesNs, "Override"));
    el.attr("set")("PartName", "/" + part);
    el.attr("set")("ContentType", type);
    changed_ = true;
}

void ContentTypes::add_default(const std::string &extension, const std::string &type) {
    if (!present() || default_of(extension))
        return;
    // Defaults lead the part, as every writer puts them.
    nb::object el = etree().attr("Element")(clark(kContentTypesNs, "Default"));
    el.attr("set")("Extension", extension);
    el.attr("set")("ContentType", type);
    nb::list defaults = nb::list(root_.attr("findall")(clark(kContentTypesNs, "Default")));
    if (nb::len(defaults))
        defaults[nb::len(defaults) - 1].attr("addnext")(el);
    else
        root_.attr("insert")(0, el);
    changed_ = true;
}

void ContentTypes::prune(const Package &pkg) {
    if (!present())
        return;
    for (nb::handle el : root_.attr("findall")(clark(kContentTypesNs, "Override"))) {
        std::string name = attr(el, "PartName");
        if (!name.empty() && name.front() == '/')
            name.erase(0, 1);
        if (!pkg.has(name)) {
            root_.attr("remove")(el);
            changed_ = true;
        }
    }
}

void ContentTypes::save(Package &pkg) {
    if (changed_)
        write_part(pkg, "[Content_Types].xml", root_);
    changed_ = false;
}

}  // namespace tessel::ooxml
