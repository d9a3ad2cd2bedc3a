#include "tarvel/chat/detail/python_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace Nuvexis::Core::Tarvel::detail::chat {
namespace {

bool inRanges(char32_t c, const CodePointRange* table, std::size_t count) {
    const CodePointRange* end = table + count;
    const CodePointRange* it = std::upper_bound(
        table, end, c, [](char32_t value, const CodePointRange& r) { return value < r.first; });
    return it != table && c <= (it - 1)->last;
}

bool isCasedBeyondAscii(char32_t c) {
    return c >= 0x80 && inRanges(c, kCased, kCased_count);
}

void requireAsciiCase(std::u32string_view text, std::string_view operation) {
    for (char32_t c : text) {
        if (isCasedBeyondAscii(c)) {
            throw std::domain_error(std::string(operation) +
                                    ": changing the case of non-ASCII letters is not supported");
        }
    }
}

char32_t upperAscii(char32_t c) {
    return c >= U'a' && c <= U'z' ? c - 32 : c;
}
char32_t lowerAscii(char32_t c) {
    return c >= U'A' && c <= U'Z' ? c + 32 : c;
}
bool isAsciiLetter(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
}

std::u32string toSet(const std::optional<std::string>& chars) {
    return chars ? decodeUtf8(*chars) : std::u32string();
}

}  // namespace

std::optional<std::size_t> invalidUtf8At(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, c = lead & 0x1Fu, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, c = lead & 0x0Fu, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, c = lead & 0x07u, minimum = 0x10000;
        } else {
            return i;
        }
        if (text.size() - i < length) return i;
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0u) != 0x80u) return i;
            c = (c << 6) | (b & 0x3Fu);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return i;
        i += length;
    }
    return std::nullopt;
}

std::size_t utf8Length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

std::u32string decodeUtf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = std::min(utf8Length(lead), text.size() - i);
        char32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        out.push_back(c);
        i += length;
    }
    return out;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string encodeUtf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) appendUtf8(out, c);
    return out;
}

std::uint64_t codePointCount(std::string_view text) {
    std::uint64_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0u) != 0x80u) ++count;
    }
    return count;
}

bool isPythonSpace(char32_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x1C:
        case 0x1D:
        case 0x1E:
        case 0x1F:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool isPrintable(char32_t c) {
    if (c < 0x80) return c >= 0x20 && c < 0x7F;
    return !inRanges(c, kNonPrintable, kNonPrintable_count);
}

std::string pythonStrip(std::string_view text, const std::optional<std::string>& chars, bool left,
                        bool right) {
    const std::u32string s = decodeUtf8(text);
    const std::u32string set = toSet(chars);
    const auto strip = [&](char32_t c) {
        return chars ? set.find(c) != std::u32string::npos : isPythonSpace(c);
    };
    std::size_t begin = 0;
    std::size_t end = s.size();
    if (left) {
        while (begin < end && strip(s[begin])) ++begin;
    }
    if (right) {
        while (end > begin && strip(s[end - 1])) --end;
    }
    return encodeUtf8(std::u32string_view(s).substr(begin, end - begin));
}

std::vector<std::string> pythonSplit(std::string_view text, const std::optional<std::string>& sep,
                                     std::int64_t maxsplit) {
    std::vector<std::string> out;
    std::int64_t remaining = maxsplit < 0 ? INT64_MAX : maxsplit;
    if (sep) {
        std::size_t start = 0;
        while (remaining-- > 0) {
            const std::size_t found = text.find(*sep, start);
            if (found == std::string_view::npos) break;
            out.emplace_back(text.substr(start, found - start));
            start = found + sep->size();
        }
        out.emplace_back(text.substr(start));
        return out;
    }
    const std::u32string s = decodeUtf8(text);
    std::size_t i = 0;
    while (remaining-- > 0) {
        while (i < s.size() && isPythonSpace(s[i])) ++i;
        if (i == s.size()) break;
        const std::size_t j = i++;
        while (i < s.size() && !isPythonSpace(s[i])) ++i;
        out.push_back(encodeUtf8(std::u32string_view(s).substr(j, i - j)));
    }
    if (i < s.size()) {
        while (i < s.size() && isPythonSpace(s[i])) ++i;
        if (i != s.size()) out.push_back(encodeUtf8(std::u32string_view(s).substr(i)));
    }
    return out;
}

std::string pythonReplace(std::string_view text, std::string_view old_text,
                          std::string_view new_text, std::int64_t count) {
    std::int64_t remaining = count < 0 ? INT64_MAX : count;
    std::string out;
    if (old_text.empty()) {
        // Python inserts the new text before every code point and at the end.
        std::size_t i = 0;
        while (true) {
            if (remaining > 0) {
                out.append(new_text);
                --remaining;
            }
            if (i >= text.size()) break;
            const std::size_t length = utf8Length(static_cast<unsigned char>(text[i]));
            out.append(text.substr(i, length));
            i += length;
        }
        return out;
    }
    std::size_t start = 0;
    while (remaining > 0) {
        const std::size_t found = text.find(old_text, start);
        if (found == std::string_view::npos) break;
        out.append(text.substr(start, found - start));
        out.append(new_text);
        start = found + old_text.size();
        --remaining;
    }
    out.append(text.substr(start));
    return out;
}

std::string pythonUpper(std::string_view text, std::string_view operation) {
    std::u32string s = decodeUtf8(text);
    requireAsciiCase(s, operation);
    for (char32_t& c : s) c = upperAscii(c);
    return encodeUtf8(s);
}

std::string pythonLower(std::string_view text, std::string_view operation) {
    std::u32string s = decodeUtf8(text);
    requireAsciiCase(s, operation);
    for (char32_t& c : s) c = lowerAscii(c);
    return encodeUtf8(s);
}

std::string pythonCapitalize(std::string_view text, std::string_view operation) {
    std::u32string s = decodeUtf8(text);
    requireAsciiCase(s, operation);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = i == 0 ? upperAscii(s[i]) : lowerAscii(s[i]);
    return encodeUtf8(s);
}

std::string pythonTitle(std::string_view text, std::string_view operation) {
    std::u32string s = decodeUtf8(text);
    requireAsciiCase(s, operation);
    bool previous_cased = false;
    for (char32_t& c : s) {
        const bool cased = isAsciiLetter(c);
        c = previous_cased ? lowerAscii(c) : upperAscii(c);
        previous_cased = cased;
    }
    return encodeUtf8(s);
}

std::string jinjaTitle(std::string_view text, std::string_view operation) {
    std::u32string s = decodeUtf8(text);
    requireAsciiCase(s, operation);
    const auto separator = [](char32_t c) {
        return c == U'-' || c == U'(' || c == U'{' || c == U'[' || c == U'<' || isPythonSpace(c);
    };
    bool word_start = true;
    for (char32_t& c : s) {
        if (separator(c)) {
            word_start = true;
            continue;
        }
        c = word_start ? upperAscii(c) : lowerAscii(c);
        word_start = false;
    }
    return encodeUtf8(s);
}

std::string pythonStringRepr(std::string_view text) {
    const std::u32string s = decodeUtf8(text);
    const bool has_single = s.find(U'\'') != std::u32string::npos;
    const bool has_double = s.find(U'"') != std::u32string::npos;
    const char32_t quote = has_single && !has_double ? U'"' : U'\'';
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back(static_cast<char>(quote));
    char buffer[16];
    for (char32_t c : s) {
        if (c == quote || c == U'\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == U'\t') {
            out += "\\t";
        } else if (c == U'\n') {
            out += "\\n";
        } else if (c == U'\r') {
            out += "\\r";
        } else if (isPrintable(c)) {
            appendUtf8(out, c);
        } else {
            const auto v = static_cast<unsigned long>(c);
            if (c < 0x100) {
                std::snprintf(buffer, sizeof buffer, "\\x%02lx", v);
            } else if (c < 0x10000) {
                std::snprintf(buffer, sizeof buffer, "\\u%04lx", v);
            } else {
                std::snprintf(buffer, sizeof buffer, "\\U%08lx", v);
            }
            out += buffer;
        }
    }
    out.push_back(static_cast<char>(quote));
    return out;
}

std::string pythonFloatRepr(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest digits that read back as the same double, as Python's repr chooses them.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    std::string out;
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    int exponent = 0;
    std::string_view exp_text = sci.substr(e + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        std::snprintf(buffer, sizeof buffer, "e%c%02d", exponent < 0 ? '-' : '+',
                      exponent < 0 ? -exponent : exponent);
        out += buffer;
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace Nuvexis::Core::Tarvel::detail::chat
