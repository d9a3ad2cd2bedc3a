#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Nuvexis::Core::Tarvel::detail {

// Unicode operations on well-formed UTF-8 text, through ICU.

enum class NormalForm : std::uint8_t { nfc = 0, nfkc = 1 };
std::string normalizeText(std::string_view text, NormalForm form);

// Each code point replaced by its full lowercase mapping, one code point at a time (no context:
// a final sigma stays σ), as tokenizer.json normalizers lowercase.
std::string lowercaseText(std::string_view text);

// Character classes of the added-token rules: a word character (alphabetic, mark, decimal
// digit, connector punctuation, join control), white space (the White_Space property), and a
// numeric character (general category N).
bool isWordCharacter(char32_t c) noexcept;
bool isWhiteSpace(char32_t c) noexcept;
bool isNumeric(char32_t c) noexcept;

}  // namespace Nuvexis::Core::Tarvel::detail
