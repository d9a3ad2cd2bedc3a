#include "tarvel/tokenizer/detail/utf8.hpp"

#include <cstdint>

namespace Nuvexis::Core::Tarvel::detail {
namespace {

// The length of the well-formed sequence at bytes[at], or 0 when it is ill-formed; `subpart` is
// then the length of its maximal ill-formed prefix (at least 1), which becomes one U+FFFD.
std::size_t sequenceAt(std::string_view bytes, std::size_t at, std::size_t& subpart) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(at);
    subpart = 1;
    if (lead < 0x80) return 1;
    std::size_t need = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (at + k >= bytes.size()) return 0;
        const std::uint8_t b = byte(at + k);
        const std::uint8_t lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
        if (b < lo || b > hi) return 0;
        subpart = k + 1;
    }
    return need + 1;
}

}  // namespace

CodePoint codePointAt(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) {
        return static_cast<char32_t>(static_cast<std::uint8_t>(text[i]));
    };
    const char32_t lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    if (lead < 0xE0) return {((lead & 0x1F) << 6) | (byte(at + 1) & 0x3F), 2};
    if (lead < 0xF0) {
        return {((lead & 0x0F) << 12) | ((byte(at + 1) & 0x3F) << 6) | (byte(at + 2) & 0x3F), 3};
    }
    return {((lead & 0x07) << 18) | ((byte(at + 1) & 0x3F) << 12) | ((byte(at + 2) & 0x3F) << 6) |
                (byte(at + 3) & 0x3F),
            4};
}

void appendUtf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

std::string toWellFormedUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t subpart = 0;
        const std::size_t length = sequenceAt(bytes, at, subpart);
        if (length == 0) {
            out.append(replacement_character);
            at += subpart;
        } else {
            out.append(bytes.substr(at, length));
            at += length;
        }
    }
    return out;
}

bool isWellFormedUtf8(std::string_view bytes) noexcept {
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t subpart = 0;
        const std::size_t length = sequenceAt(bytes, at, subpart);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::size_t codePointCount(std::string_view text) noexcept {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<std::uint8_t>(c) & 0xC0) != 0x80;
    return count;
}

}  // namespace Nuvexis::Core::Tarvel::detail
