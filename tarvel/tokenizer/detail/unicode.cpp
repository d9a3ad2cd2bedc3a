#include "tarvel/tokenizer/detail/unicode.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

#include <stdexcept>

#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {

std::string normalizeText(std::string_view text, NormalForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = form == NormalForm::nfc
                                             ? icu::Normalizer2::getNFCInstance(status)
                                             : icu::Normalizer2::getNFKCInstance(status);
    std::string out;
    out.reserve(text.size());
    icu::StringByteSink<std::string> sink(&out);
    if (U_SUCCESS(status)) {
        normalizer->normalizeUTF8(0,
                                  icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                                  sink, nullptr, status);
    }
    if (U_FAILURE(status)) throw std::invalid_argument("tokenizer cannot normalize the text");
    return out;
}

std::string lowercaseText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = codePointAt(text, at);
        at += c.length;
        // The one lowercase mapping to more than one code point.
        if (c.value == 0x130) {
            out.append("i\xCC\x87");
            continue;
        }
        appendUtf8(out, static_cast<char32_t>(u_tolower(static_cast<UChar32>(c.value))));
    }
    return out;
}

bool isWordCharacter(char32_t c) noexcept {
    const auto cp = static_cast<UChar32>(c);
    if (u_hasBinaryProperty(cp, UCHAR_ALPHABETIC) || u_hasBinaryProperty(cp, UCHAR_JOIN_CONTROL)) {
        return true;
    }
    return (U_GET_GC_MASK(cp) & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0;
}

bool isWhiteSpace(char32_t c) noexcept {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

bool isNumeric(char32_t c) noexcept {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0;
}

}  // namespace Nuvexis::Core::Tarvel::detail
