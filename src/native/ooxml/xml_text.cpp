#include "ooxml/xml_text.h"

#include <algorithm>
#include <cstdlib>

namespace tessel::xml_text {

namespace {

void append_utf8(std::string &out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        size_t semi = text.find(';', i);
        if (semi == std::string_view::npos) {
            out += text[i];
            continue;
        }
        std::string_view entity = text.substr(i + 1, semi - i - 1);
        if (entity == "amp")
            out += '&';
        else if (entity == "lt")
            out += '<';
        else if (entity == "gt")
            out += '>';
        else if (entity == "quot")
            out += '"';
        else if (entity == "apos")
            out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            bool hex = entity[1] == 'x' || entity[1] == 'X';
            std::string digits(entity.substr(hex ? 2 : 1));
            append_utf8(out, std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10));
        } else {
            out.append(text.substr(i, semi - i + 1));
        }
        i = semi;
    }
    return out;
}

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

namespace {

size_t name_end(std::string_view t, size_t i) {
    while (i < t.size() && !is_space(t[i]) && t[i] != '/' && t[i] != '>' && t[i] != '=')
        ++i;
    return i;
}

// Just past the ">" that closes the markup read from `from`: quoted values may
// hold ">", and so may the bracketed internal subset of a declaration.
size_t tag_end(std::string_view t, size_t from, bool brackets = false) {
    char quote = 0;
    int depth = 0;
    for (size_t i = from; i < t.size(); ++i) {
        const char c = t[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (brackets && (c == '[' || c == ']')) {
            depth += c == '[' ? 1 : -1;
        } else if (c == '>' && depth <= 0) {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

bool starts_name(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

std::optional<Piece> closed_by(std::string_view t, size_t lt, Markup kind, std::string_view opener,
                               std::string_view closer) {
    size_t at = t.find(closer, lt + opener.size());
    if (at == std::string_view::npos)
        return std::nullopt;
    return Piece{kind, lt, at + closer.size(), {}};
}

}  // namespace

std::optional<Piece> next_markup(std::string_view t, size_t from) {
    for (size_t lt = t.find('<', from); lt != std::string_view::npos && lt + 1 < t.size(); lt = t.find('<', lt + 1)) {
        const std::string_view rest = t.substr(lt);
        if (rest.substr(0, 4) == "<!--")
            return closed_by(t, lt, Markup::Comment, "<!--", "-->");
        if (rest.substr(0, 9) == "<![CDATA[")
            return closed_by(t, lt, Markup::CData, "<![CDATA[", "]]>");
        if (rest[1] == '?')
            return closed_by(t, lt, Markup::Instruction, "<?", "?>");
        if (rest[1] == '!') {  // a document type declaration
            const size_t end = tag_end(t, lt + 2, true);
            if (end == std::string_view::npos)
                return std::nullopt;
            return Piece{Markup::Declaration, lt, end, {}};
        }
        // A "<" that starts no tag, or a tag that never ends, is text to a lenient
        // reader (legacy drawings hold such); the markup goes on after it.
        const bool closing = rest[1] == '/';
        const size_t name_begin = lt + (closing ? 2 : 1);
        if (name_begin >= t.size() || !starts_name(t[name_begin]))
            continue;
        const size_t name_stop = name_end(t, name_begin);
        const size_t end = tag_end(t, name_stop);
        if (end == std::string_view::npos)
            continue;
        const std::string_view name = t.substr(name_begin, name_stop - name_begin);
        if (closing)
            return Piece{Markup::End, lt, end, name};
        return Piece{t[end - 2] == '/' ? Markup::Empty : Markup::Start, lt, end, name};
    }
    return std::nullopt;
}

std::string_view local_part(std::string_view qname) {
    const size_t colon = qname.find(':');
    return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

// The start tag at `lt`, with its attributes when `with_attributes`.
std::optional<Tag> read_tag(std::string_view t, size_t lt, bool with_attributes) {
    Tag tag;
    tag.begin = lt;
    size_t i = name_end(t, lt + 1);
    tag.name = t.substr(lt + 1, i - lt - 1);
    if (!with_attributes) {
        tag.end = i;
        return tag;
    }
    while (i < t.size()) {
        while (i < t.size() && is_space(t[i]))
            ++i;
        if (i >= t.size())
            break;
        if (t[i] == '>') {
            tag.end = i + 1;
            return tag;
        }
        if (t[i] == '/') {
            if (i + 1 < t.size() && t[i + 1] == '>') {
                tag.empty = true;
                tag.end = i + 2;
                return tag;
            }
            return std::nullopt;
        }
        size_t n = name_end(t, i);
        std::string_view name = t.substr(i, n - i);
        i = n;
        while (i < t.size() && is_space(t[i]))
            ++i;
        if (i >= t.size() || t[i] != '=')
            return std::nullopt;
        ++i;
        while (i < t.size() && is_space(t[i]))
            ++i;
        if (i >= t.size() || (t[i] != '"' && t[i] != '\''))
            return std::nullopt;
        size_t close = t.find(t[i], i + 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        tag.attributes.push_back(Attribute{name, i + 1, close});
        i = close + 1;
    }
    return std::nullopt;
}

std::string_view value_of(std::string_view t, const Attribute *a) {
    return a ? t.substr(a->begin, a->end - a->begin) : std::string_view();
}

// A start tag with some attribute values replaced (values given unescaped) and
// some attributes left out.
std::string rewritten_tag(std::string_view t, const Tag &tag,
                          const std::vector<std::pair<std::string_view, std::string>> &values,
                          const std::vector<std::string_view> &dropped, bool empty) {
    std::string out = "<" + std::string(tag.name);
    for (const Attribute &a : tag.attributes) {
        if (std::find(dropped.begin(), dropped.end(), a.name) != dropped.end())
            continue;
        out += ' ';
        out.append(a.name);
        out += "=\"";
        auto replaced = std::find_if(values.begin(), values.end(), [&](const auto &v) { return v.first == a.name; });
        if (replaced != values.end())
            out += escaped(replaced->second);
        else if (t[a.begin - 1] == '"')
            out.append(t.substr(a.begin, a.end - a.begin));
        else  // a value in single quotes may hold double ones
            out += escaped(unescaped(t.substr(a.begin, a.end - a.begin)));
        out += '"';
    }
    out += empty ? "/>" : ">";
    return out;
}

}  // namespace tessel::xml_text
