#pragma once

// Text operations with the exact results of Python's str, on valid UTF-8. Case changes are
// exact for ASCII; text holding a cased letter beyond ASCII is refused rather than guessed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail::chat {

struct CodePointRange {
    char32_t first;
    char32_t last;
};
extern const CodePointRange kNonPrintable[];
extern const std::size_t kNonPrintable_count;
extern const CodePointRange kCased[];
extern const std::size_t kCased_count;

// The offset of the first byte that is not part of valid UTF-8 (surrogates and overlong forms
// included), or nothing when all of it is valid.
std::optional<std::size_t> invalidUtf8At(std::string_view text);

// Code points of valid UTF-8, and back.
std::u32string decodeUtf8(std::string_view text);
void appendUtf8(std::string& out, char32_t c);
std::string encodeUtf8(std::u32string_view text);
// The number of code points: Python's len().
std::uint64_t codePointCount(std::string_view text);
// The length in bytes of the code point starting at text[0] (text is valid UTF-8).
std::size_t utf8Length(unsigned char lead);

// str.isspace() of one code point; also what \s matches in Python's regular expressions.
bool isPythonSpace(char32_t c);
bool isPrintable(char32_t c);

// str.strip/lstrip/rstrip, with chars (code points to strip) or whitespace when absent.
std::string pythonStrip(std::string_view text, const std::optional<std::string>& chars, bool left,
                        bool right);
// str.split(sep, maxsplit): whitespace runs when sep is absent. An empty sep is the caller's
// error to report.
std::vector<std::string> pythonSplit(std::string_view text, const std::optional<std::string>& sep,
                                     std::int64_t maxsplit);
// str.replace(old, new, count); count < 0 replaces all.
std::string pythonReplace(std::string_view text, std::string_view old_text,
                          std::string_view new_text, std::int64_t count);

// Case changes; throw std::domain_error "<operation>: changing the case of non-ASCII letters is
// not supported" for text holding a cased code point beyond ASCII.
std::string pythonUpper(std::string_view text, std::string_view operation);
std::string pythonLower(std::string_view text, std::string_view operation);
std::string pythonCapitalize(std::string_view text, std::string_view operation);
std::string pythonTitle(std::string_view text, std::string_view operation);
// Jinja's title filter: each run after -, whitespace, (, {, [ or < starts upper case.
std::string jinjaTitle(std::string_view text, std::string_view operation);

// repr() of a str, and of a float.
std::string pythonStringRepr(std::string_view text);
std::string pythonFloatRepr(double value);

}  // namespace Nuvexis::Core::Tarvel::detail::chat
