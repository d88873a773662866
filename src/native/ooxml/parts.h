// XML parts of an Office Open XML package through lxml: guarded parsing, writing
// back with the input's own namespace prefixes, relationships parts and the
// content types.
#pragma once

#include "ooxml/package.h"

#include <optional>
#include <string>
#include <vector>

namespace tessel::ooxml {

inline constexpr const char *kRelsNs = "http://schemas.openxmlformats.org/package/2006/relationships";
inline constexpr const char *kOfficeRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr const char *kMcNs = "http://schemas.openxmlformats.org/markup-compatibility/2006";

// "{ns}local" as lxml spells a qualified name.
std::string clark(const char *ns, const char *local);
std::string local_name(nb::handle element);

// Parses a part; malformed, oversized, too deeply nested or DTD-bearing XML gives a
// ValueError that names the part and the package's role.
nb::object parse_part(const Package &pkg, const std::string &part);
// The same in two steps, for a reader that looks at the bytes before parsing
// them: the part's bytes (refused when oversized), then `data` parsed as that part.
nb::bytes read_part(const Package &pkg, const std::string &part);
nb::object parse_part(const Package &pkg, const std::string &part, nb::handle data);
void write_part(Package &pkg, const std::string &part, nb::handle root);
// A parsed part as written back: UTF-8, with an XML declaration.
nb::bytes serialise(nb::handle root);

struct Relationship {
    std::string id, type, target;
    bool external;
    nb::object element;
};

// The relationships part of one source part; a missing one reads as empty.
class Relationships {
public:
    Relationships(const Package &pkg, std::string source);
    std::vector<Relationship> &all() { return rels_; }
    const Relationship *find(const std::string &id) const;
    // The part an internal relationship names, when the package holds it.
    std::optional<std::string> part_of(const Package &pkg, const Relationship &rel) const;
    bool has_type(const char *suffix) const;
    std::string fresh_id() const;
    // Adds a relationship; `id` empty picks a fresh one.  Returns the id used.
    std::string add(std::string id, const std::string &type, const std::string &target, bool external);
    void rename(const std::string &from, const std::string &to);
    void remove(const std::string &id);
    void save(Package &pkg);

private:
    std::string source_;
    nb::object root_;
    std::vector<Relationship> rels_;
    bool existed_ = false;
    bool changed_ = false;
};

// The package's "[Content_Types].xml".
class ContentTypes {
public:
    explicit ContentTypes(const Package &pkg);
    bool present() const { return root_.is_valid(); }
    std::optional<std::string> override_of(const std::string &part) const;
    std::optional<std::string> default_of(const std::string &extension) const;
    std::optional<std::string> type_of(const std::string &part) const;
    void add_override(const std::string &part, const std::string &type);
    void add_default(const std::string &extension, const std::string &type);
    // Drops declarations of parts the package no longer holds.
    void prune(const Package &pkg);
    void save(Package &pkg);

private:
    nb::object root_;
    bool changed_ = false;
};

}  // namespace tessel::ooxml
