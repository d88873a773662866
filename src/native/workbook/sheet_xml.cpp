#include "workbook/sheet_xml.h"

#include "ooxml/parts.h"

#include <cctype>
#include <optional>
#include <string_view>

namespace tessel::repair {

using namespace tessel::ooxml;

namespace {

bool name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// Where the sheetData element lies in a serialised sheet: its start tag's "<", the
// end of the start tag (just past ">"), and the start of its end tag ("</"), or
// npos there when the element is empty ("<sheetData/>").
struct Span {
    size_t open, body, close;
    std::string qname;
};

std::optional<Span> find_sheet_data(std::string_view text) {
    for (size_t at = text.find("sheetData"); at != std::string_view::npos; at = text.find("sheetData", at + 1)) {
        size_t lt = at;
        while (lt > 0 && name_char(text[lt - 1]))
            --lt;
        if (lt > 0 && text[lt - 1] == ':')
            for (--lt; lt > 0 && name_char(text[lt - 1]);)
                --lt;
        if (lt == 0 || text[lt - 1] != '<')
            continue;
        size_t after = at + 9;
        if (after >= text.size() || !(text[after] == '>' || text[after] == '/' || std::isspace(static_cast<unsigned char>(text[after]))))
            continue;
        // A start tag ends at the first ">" outside quoted attribute values.
        char quote = 0;
        size_t gt = after;
        for (; gt < text.size(); ++gt) {
            char c = text[gt];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (gt >= text.size())
            return std::nullopt;
        Span span{lt - 1, gt + 1, std::string_view::npos, std::string(text.substr(lt, after - lt))};
        if (text[gt - 1] == '/')
            return span;
        std::string end = "</" + span.qname + ">";
        size_t close = text.rfind(end);
        if (close == std::string_view::npos || close < span.body)
            return std::nullopt;
        span.close = close;
        return span;
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

}  // namespace

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
