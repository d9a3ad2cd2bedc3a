#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Nuvexis::Core::Tarvel::detail {

// U+FFFD, what an ill-formed byte sequence becomes.
inline constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// The code point starting at text[at] of well-formed UTF-8 text, and its length in bytes.
struct CodePoint {
    char32_t value = 0;
    std::size_t length = 0;
};
CodePoint codePointAt(std::string_view text, std::size_t at) noexcept;

// Appends the UTF-8 encoding of a Unicode scalar value.
void appendUtf8(std::string& out, char32_t value);

// The text with every maximal ill-formed subsequence replaced by one U+FFFD, the way a UTF-8
// decoder that substitutes (rather than fails) reads bytes. Well-formed text comes back as is.
std::string toWellFormedUtf8(std::string_view bytes);

// Whether the bytes are well-formed UTF-8.
bool isWellFormedUtf8(std::string_view bytes) noexcept;

// The number of code points of well-formed UTF-8 text.
std::size_t codePointCount(std::string_view text) noexcept;

}  // namespace Nuvexis::Core::Tarvel::detail
