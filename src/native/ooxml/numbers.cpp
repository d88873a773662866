#include "ooxml/numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace tessel::ooxml {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<long long> whole_number(std::string_view text, Bounds bounds) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    // Digits past the bound stop the reading before the value can overflow.
    const unsigned long long limit =
        negative ? (bounds.min < 0 ? 0ULL - static_cast<unsigned long long>(bounds.min) : 0ULL)
                 : (bounds.max > 0 ? static_cast<unsigned long long>(bounds.max) : 0ULL);
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
        if (value > limit)
            return std::nullopt;
    }
    const long long signed_value = negative ? static_cast<long long>(0ULL - value) : static_cast<long long>(value);
    if (signed_value < bounds.min || signed_value > bounds.max)
        return std::nullopt;
    return signed_value;
}

std::optional<long long> measure(std::string_view text, Bounds bounds) {
    if (auto whole = whole_number(text, bounds))
        return whole;
    const std::string copy(trimmed(text));
    if (copy.empty() || copy.size() > 64)
        return std::nullopt;
    for (char c : copy)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
            return std::nullopt;  // no "nan", "inf" or hexadecimal
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(value))
        return std::nullopt;
    const double truncated = std::trunc(value);
    // Both bounds are far inside the range a double holds exactly enough to compare.
    if (truncated < static_cast<double>(bounds.min) || truncated > static_cast<double>(bounds.max))
        return std::nullopt;
    return static_cast<long long>(truncated);
}

void bad_number(std::string_view part, std::string_view attribute, std::string_view text, Bounds bounds) {
    std::string shown(text.substr(0, 40));
    if (text.size() > 40)
        shown += "...";
    throw std::invalid_argument(std::string(part) + ": " + std::string(attribute) + " \"" + shown +
                                "\" is not a whole number from " + std::to_string(bounds.min) + " to " +
                                std::to_string(bounds.max));
}

long long required_whole_number(std::string_view text, Bounds bounds, std::string_view part,
                                std::string_view attribute) {
    if (auto value = whole_number(text, bounds))
        return *value;
    bad_number(part, attribute, text, bounds);
}

long long take_free_id(std::set<long long> &used) {
    long long id = used.empty() ? 1 : *used.rbegin() + 1;
    if (id > kMaxId)
        for (id = 1; used.count(id); ++id) {
        }
    used.insert(id);
    return id;
}

std::optional<long long> added(long long a, long long b) {
    long long sum;
    if (__builtin_add_overflow(a, b, &sum))
        return std::nullopt;
    return sum;
}

std::optional<long long> multiplied(long long a, long long b) {
    long long product;
    if (__builtin_mul_overflow(a, b, &product))
        return std::nullopt;
    return product;
}

}  // namespace tessel::ooxml
