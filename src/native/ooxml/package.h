// An Office Open XML package seen as a set of named parts, backed either by a ZIP
// archive (read lazily, rewritten without recompressing untouched entries) or by a
// folder into which a package was extracted.  It knows no document kind: the
// caller names the package's role ("template workbook") for error messages.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::ooxml {

namespace nb = nanobind;

// Part names are package-relative, "/"-separated and without a leading "/".
std::string part_folder(const std::string &part);
std::string rels_part_of(const std::string &part);
std::string extension_of(const std::string &part);  // lower case, without the dot
// The part whose relationships part `rels` is ("xl/_rels/workbook.xml.rels" is
// "xl/workbook.xml"'s, "_rels/.rels" the package's, ""); nothing for a name that is none.
std::optional<std::string> source_of_rels(const std::string &rels);
// Part names, extensions and attribute keywords compare without regard to ASCII case.
std::string ascii_lower(std::string s);
// The part a relationship target names, or nothing when it leaves the package.
std::optional<std::string> resolve_target(const std::string &source, const std::string &target);
// The target text that names `part` from the relationships of `source`.
std::string relative_target(const std::string &source, const std::string &part);

// True when `s` ends with `tail`: relationship types are told apart by their last
// segment ("/worksheet"), whatever namespace the rest names.
bool ends_with(std::string_view s, std::string_view tail);

// True for a binary stream given where a path may stand (an io.BytesIO).
bool is_stream(nb::handle target);

// Takes the next piece of a streamed part's bytes; pieces may be of any size.
using Emit = std::function<void(std::string_view)>;
// Produces a streamed part by calling emit with its bytes in order.
using Producer = std::function<void(const Emit &)>;

class Package {
public:
    // Opens a ZIP package from a path or a binary stream, which stays open; `role`
    // ("template workbook", "saved workbook") names it in error messages.
    static Package from_zip(nb::handle path, const char *role);
    static Package from_dir(nb::handle dir, const char *role);

    Package(Package &&) = default;
    Package &operator=(Package &&) = default;
    ~Package();

    const std::string &role() const { return role_; }
    bool has(const std::string &part) const;
    // The part's name as the package spells it.
    const std::string &actual(const std::string &part) const;
    // Declared uncompressed size of a part.
    unsigned long long size(const std::string &part) const;
    nb::bytes read(const std::string &part) const;
    void write(const std::string &part, nb::bytes data);
    // A part too large to hold: `producer` runs each time the package is
    // committed, and what it emits is deflated and written as it comes.  A folder
    // package runs it at once, into the part's file.  A streamed part can be
    // neither read nor sized before it is written.
    void write_streamed(const std::string &part, Producer producer);
    void remove(const std::string &part);
    // True when the part was written, streamed, copied in or removed since opening.
    bool changed(const std::string &part) const;
    // The zlib level (0..9, 6 unless set) of the entries the package compresses
    // itself; entries copied raw keep theirs.
    void set_compress_level(int level);
    int compress_level() const { return level_; }
    // Copies a part of another package, raw when both are archives.
    void copy_from(const Package &other, const std::string &from, const std::string &to);
    std::vector<std::string> names() const;

    // Writes the archive beside `path` and renames it into place; a stream is
    // rewritten whole.
    void commit(nb::handle path) const;

private:
    struct Source;
    struct Entry {
        std::shared_ptr<Source> source;  // set: the entry's raw data lies in that archive
        nb::object info;                 // its ZipInfo
        nb::object data;                 // set: new content, to be compressed
        std::string name;                // as the package spells it
        Producer producer;               // set: content streamed at commit
    };

    Package() = default;
    nb::object file_path(const std::string &part) const;
    void write_archive(nb::handle out) const;

    std::string role_;
    nb::object dir_;                      // folder-backed packages
    std::shared_ptr<Source> source_;      // archive-backed packages
    // Part names compare without regard to case; both are keyed by the lower-case name.
    std::vector<std::string> order_;
    std::map<std::string, Entry> entries_;
    std::set<std::string> changed_;  // lower-case names
    int level_ = 6;
};

// Raises unless `data` (bytes) is a package a reader can open: a ZIP archive of
// safe, unencrypted part names with its content types.  `role` names it.
void check_package(nb::handle data, const char *role);

}  // namespace tessel::ooxml
