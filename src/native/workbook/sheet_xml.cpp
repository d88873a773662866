#include "workbook/sheet_xml.h"

#include "ooxml/parts.h"
#include "ooxml/xml_text.h"

#include <cctype>
#include <optional>
#include <string_view>

namespace tessel::repair {

using namespace tessel::ooxml;
using namespace tessel::xml_text;

std::optional<Span> find_sheet_data(std::string_view text) {
    std::optional<Span> span;
    long depth = 0;
    for (auto piece = next_markup(text, 0); piece; piece = next_markup(text, piece->end)) {
        switch (piece->kind) {
        case Markup::Start:
            if (!span && depth == 1 && local_part(piece->name) == "sheetData")
                span = Span{piece->begin, piece->end, std::string_view::npos, std::string(piece->name)};
            ++depth;
            break;
        case Markup::Empty:
            if (!span && depth == 1 && local_part(piece->name) == "sheetData")
                return Span{piece->begin, piece->end, std::string_view::npos, std::string(piece->name)};
            break;
        case Markup::End:
            --depth;
            if (span && depth == 1) {
                if (piece->name != span->qname)
                    return std::nullopt;
                span->close = piece->begin;
                return span;
            }
            if (depth < 1)
                return std::nullopt;
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

bool declared_utf8(std::string_view text) {
    if (text.substr(0, 5) != "<?xml")
        return true;
    std::string decl(text.substr(0, text.find("?>")));
    for (char &c : decl)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t enc = decl.find("encoding");
    return enc == std::string::npos || decl.find("utf-8", enc) != std::string::npos;
}


SheetXml parse_sheet(const Package &pkg, const std::string &part) {
    nb::bytes data = read_part(pkg, part);
    std::string_view text(data.c_str(), data.size());
    SheetXml sheet;
    auto span = find_sheet_data(text);
    if (!span || span->close == std::string_view::npos || !declared_utf8(text)) {
        sheet.root = parse_part(pkg, part, data);
        return sheet;
    }
    sheet.rows = std::string(text.substr(span->body, span->close - span->body));
    std::string shell = std::string(text.substr(0, span->body)) + std::string(text.substr(span->close));
    sheet.root = parse_part(pkg, part, nb::bytes(shell.data(), shell.size()));
    sheet.split = true;
    return sheet;
}

void write_sheet(Package &pkg, const std::string &part, const SheetXml &sheet) {
    if (!sheet.split) {
        write_part(pkg, part, sheet.root);
        return;
    }
    nb::bytes shell = serialise(sheet.root);
    std::string_view text(shell.c_str(), shell.size());
    auto span = find_sheet_data(text);
    if (!span)
        throw nb::value_error(("lost the cell data of " + part + " while rewriting it").c_str());
    std::string out;
    out.reserve(shell.size() + sheet.rows.size());
    if (span->close == std::string_view::npos) {
        // "<sheetData/>" becomes "<sheetData>rows</sheetData>".
        size_t slash = text.rfind('/', span->body - 1);
        out.append(text.substr(0, slash)).append(">").append(sheet.rows);
        out.append("</" + span->qname + ">").append(text.substr(span->body));
    } else {
        out.append(text.substr(0, span->close)).append(sheet.rows).append(text.substr(span->close));
    }
    pkg.write(part, nb::bytes(out.data(), out.size()));
}

}  // namespace tessel::repair
