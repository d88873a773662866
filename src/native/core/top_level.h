// Walks an expression's text as Python's tokenizer sees its nesting: brackets
// and string literals (single, triple, with escapes) hide what is inside them.
#pragma once

#include <cstddef>

namespace tessel {

// Calls `stop(i)` at each character `i` that stands outside brackets and string
// literals, in order, and returns the first `i` where it is true (`n` for none).
// `at(i)` reads character `i` as a code point, and 0 past the end; `stop` may move
// `i` on to skip what it has read.
template <class At, class Stop>
size_t find_top_level(size_t n, At at, Stop stop) {
    size_t depth = 0;
    unsigned quote = 0;
    bool triple = false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = at(i);
        if (quote) {
            if (c == '\\') {
                ++i;  // an escaped character, a quote included
            } else if (c == quote) {
                if (!triple) {
                    quote = 0;
                } else if (at(i + 1) == quote && at(i + 2) == quote) {
                    i += 2;
                    quote = 0;
                }
            }
        } else if (c == '\'' || c == '"') {
            triple = at(i + 1) == c && at(i + 2) == c;
            if (triple)
                i += 2;
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (depth > 0)
                --depth;
        } else if (depth == 0 && stop(i)) {
            return i;
        }
    }
    return n;
}

}  // namespace tessel
