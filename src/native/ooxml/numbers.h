// Numbers read from a package's parts.  Every count, position, size and id that a
// file gives goes through one of these conversions, so that a crafted value (a
// row of 2^32, a width of 1e300, "nan") is refused at the door and the arithmetic
// done on what passes cannot overflow.  Plain C++: no Python, no XML.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tessel::ooxml {

// The ranges the formats allow.  Lengths (EMUs, twips) are held to DrawingML's
// coordinate range, which leaves room to add hundreds of thousands of them, or to
// turn twips into EMUs, within 64 bits.
inline constexpr long long kMaxLength = 27273042316900;  // ST_Coordinate
inline constexpr long long kMaxId = 4294967295;          // xsd:unsignedInt
// EMUs in a pixel (at 96 to the inch) and in a point.
inline constexpr long long kEmuPerPixel = 9525, kEmuPerPoint = 12700;

struct Bounds {
    long long min, max;
};
inline constexpr Bounds kLength{-kMaxLength, kMaxLength};
inline constexpr Bounds kSize{0, kMaxLength};
inline constexpr Bounds kId{0, kMaxId};
inline constexpr Bounds kCount{0, 1 << 24};

// A whole number written as XML Schema writes integers (an optional sign, decimal
// digits, surrounding white space), when it lies within `bounds`.
std::optional<long long> whole_number(std::string_view text, Bounds bounds);

// A number that may also be written with a fraction or an exponent ("1440.0",
// "1.5e3"), as some writers spell measures, truncated toward zero; never a NaN or
// an infinity, and within `bounds`.
std::optional<long long> measure(std::string_view text, Bounds bounds);

// What a reader says when a part holds a number it cannot take: std::invalid_argument,
// which reaches Python as a ValueError, naming the part, the attribute and the value.
[[noreturn]] void bad_number(std::string_view part, std::string_view attribute, std::string_view text,
                             Bounds bounds);

// whole_number, or bad_number.
long long required_whole_number(std::string_view text, Bounds bounds, std::string_view part,
                                std::string_view attribute);

// Takes one more id among `used` (the ids of a part's shapes) and returns it: the
// next above the largest, or, where that would leave xsd:unsignedInt, the smallest
// free one.
long long take_free_id(std::set<long long> &used);

// a + b and a * b, or nothing where the result does not fit.
std::optional<long long> added(long long a, long long b);
std::optional<long long> multiplied(long long a, long long b);

}  // namespace tessel::ooxml
