#include "workbook/sheets.h"

#include "ooxml/parts.h"

#include <algorithm>

namespace tessel::repair {

using namespace tessel::ooxml;

std::string workbook_part(const Package &pkg) {
    Relationships root(pkg, "");
    for (const Relationship &rel : root.all())
        if (ends_with(rel.type, "/officeDocument"))
            if (auto part = root.part_of(pkg, rel))
                return *part;
    return pkg.has("xl/workbook.xml") ? "xl/workbook.xml" : std::string();
}

std::vector<Sheet> sheets_of(const Package &pkg) {
    std::vector<Sheet> out;
    std::string workbook = workbook_part(pkg);
    if (workbook.empty())
        return out;
    nb::object root = parse_part(pkg, workbook);
    Relationships rels(pkg, workbook);
    std::string rid = clark(kOfficeRelNs, "id");
    long position = -1;
    for (nb::handle sheet : root.attr("iterfind")("{*}sheets/{*}sheet")) {
        ++position;
        nb::object name = sheet.attr("get")("name"), id = sheet.attr("get")(rid.c_str());
        if (name.is_none() || id.is_none())
            continue;
        const Relationship *rel = rels.find(nb::cast<std::string>(id));
        if (!rel)
            continue;
        if (auto part = rels.part_of(pkg, *rel))
            out.push_back(
                Sheet{nb::cast<std::string>(name), *part, ends_with(rel->type, "/chartsheet"), position});
    }
    return out;
}

// Excel compares sheet names without regard to case, in every alphabet, one
// character with one: "Übersicht" is "übersicht" and "ΣΟΦΙΑ" is "σοφια", but
// "Straße" is not "STRASSE".  Each character folds as Python's str.casefold()
// folds it where that gives one character, and as str.lower() otherwise.  Bytes
// that are no UTF-8 (a crafted part) fold as themselves.
std::string folded_name(std::string_view name) {
    if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string key(name);
        for (char &c : key)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return key;
    }
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(name.data(), (Py_ssize_t) name.size(), "surrogateescape"));
    if (!text.is_valid())
        throw nb::python_error();
    nb::list characters;
    for (nb::handle character : text) {
        nb::object one = character.attr("casefold")();
        if (nb::len(one) != 1)
            one = character.attr("lower")();
        characters.append(nb::len(one) == 1 ? one : nb::borrow(character));
    }
    nb::object key = nb::str("").attr("join")(characters);
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(key.ptr(), "utf-8", "surrogateescape"));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

}  // namespace tessel::repair
