// Serialised XML read and edited as text, for parts too large to parse cheaply
// (a sheet's cell data) or not always well-formed (legacy VML drawings): entity
// escapes, the markup of a text in order (so that a comment or a CDATA section that
// holds tag text is never taken for a tag), and start tags with the positions of
// their attribute values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::xml_text {

// Text with its entity and character references resolved.
std::string unescaped(std::string_view text);
// Text escaped for element content and double-quoted attribute values.
std::string escaped(std::string_view text);

struct Attribute {
    std::string_view name;
    size_t begin, end;  // the value, between its quotes
};

// A start tag read from serialised XML.
struct Tag {
    size_t begin, end;  // "<" and just past ">"
    std::string_view name;
    std::vector<Attribute> attributes;
    bool empty = false;  // "<x/>"

    const Attribute *find(std::string_view attribute) const {
        for (const Attribute &a : attributes)
            if (a.name == attribute)
                return &a;
        return nullptr;
    }
};

bool is_space(char c);

enum class Markup { Start, Empty, End, Comment, CData, Instruction, Declaration };

// One piece of markup: [begin, end) from its "<" to just past its ">"; `name` is
// the element's qualified name for start, empty and end tags.
struct Piece {
    Markup kind;
    size_t begin, end;
    std::string_view name;
};

// The next piece of markup at or after `from`; nothing at the end of the text or
// where a piece opens and never closes.
std::optional<Piece> next_markup(std::string_view t, size_t from);

// A qualified name without its prefix.
std::string_view local_part(std::string_view qname);

// The start tag at `lt`; without `with_attributes` only its name is read.
std::optional<Tag> read_tag(std::string_view t, size_t lt, bool with_attributes);

// An attribute's value as written, or empty when the tag lacks it.
std::string_view value_of(std::string_view t, const Attribute *a);

// A start tag with some attribute values replaced (given unescaped) and some
// attributes left out.
std::string rewritten_tag(std::string_view t, const Tag &tag,
                          const std::vector<std::pair<std::string_view, std::string>> &values,
                          const std::vector<std::string_view> &dropped, bool empty);

}  // namespace tessel::xml_text
