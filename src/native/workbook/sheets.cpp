#include "workbook/sheets.h"

#include "ooxml/parts.h"

namespace tessel::repair {

using namespace tessel::ooxml;

namespace {

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

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

}  // namespace tessel::repair
