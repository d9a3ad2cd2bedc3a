#include "tarvel/tokenizer/detail/text_pipeline.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <utility>

#include "tarvel/tokenizer/detail/unicode.hpp"
#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {
namespace {

// GPT-2's byte-to-character table: printable bytes stand for themselves, the others (controls,
// space, the non-breaking space, the soft hyphen) for code points from U+0100 on, in order.
struct ByteLevelTable {
    std::array<std::string, 256> characters;
    std::unordered_map<char32_t, std::uint8_t> bytes;
    ByteLevelTable() {
        char32_t next = 256;
        for (std::size_t b = 0; b < 256; ++b) {
            const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174;
            const char32_t c = printable ? static_cast<char32_t>(b) : next++;
            appendUtf8(characters[b], c);
            bytes.emplace(c, static_cast<std::uint8_t>(b));
        }
    }
};

const ByteLevelTable& byteLevelTable() {
    static const ByteLevelTable table;
    return table;
}

// GPT-2's own split: contractions, letters, numbers, other symbols, each with one space before.
const Pattern& byteLevelPattern() {
    static const Pattern pattern = Pattern::regex(
        R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)");
    return pattern;
}

// Every character for which `is_match` holds is a match of its own.
template <class Predicate>
std::vector<PatternSpan> characterSpans(std::string_view text, Predicate is_match) {
    std::vector<PatternSpan> spans;
    if (text.empty()) {
        spans.push_back({0, 0, false});
        return spans;
    }
    std::size_t gap = 0;
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = codePointAt(text, at);
        if (is_match(c.value)) {
            if (gap < at) spans.push_back({gap, at, false});
            spans.push_back({at, at + c.length, true});
            gap = at + c.length;
        }
        at += c.length;
    }
    if (gap < text.size()) spans.push_back({gap, text.size(), false});
    return spans;
}

// The pieces that a split of `text` leaves, as byte ranges.
std::vector<std::pair<std::size_t, std::size_t>> splitRanges(std::vector<PatternSpan> spans,
                                                             SplitBehavior behavior, bool invert) {
    if (invert) {
        for (PatternSpan& s : spans) s.is_match = !s.is_match;
    }
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    bool previous = false;
    switch (behavior) {
        case SplitBehavior::isolated:
            for (const PatternSpan& s : spans) ranges.emplace_back(s.begin, s.end);
            break;
        case SplitBehavior::removed:
            for (const PatternSpan& s : spans) {
                if (!s.is_match) ranges.emplace_back(s.begin, s.end);
            }
            break;
        case SplitBehavior::contiguous:
            for (const PatternSpan& s : spans) {
                if (s.is_match == previous && !ranges.empty()) {
                    ranges.back().second = s.end;
                } else {
                    ranges.emplace_back(s.begin, s.end);
                }
                previous = s.is_match;
            }
            break;
        case SplitBehavior::merged_with_previous:
            for (const PatternSpan& s : spans) {
                if (s.is_match && !previous && !ranges.empty()) {
                    ranges.back().second = s.end;
                } else {
                    ranges.emplace_back(s.begin, s.end);
                }
                previous = s.is_match;
            }
            break;
        case SplitBehavior::merged_with_next:
            for (auto s = spans.rbegin(); s != spans.rend(); ++s) {
                if (s->is_match && !previous && !ranges.empty()) {
                    ranges.back().first = s->begin;
                } else {
                    ranges.emplace_back(s->begin, s->end);
                }
                previous = s->is_match;
            }
            std::reverse(ranges.begin(), ranges.end());
            break;
    }
    return ranges;
}

void appendRanges(const Piece& piece,
                  const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
                  std::vector<Piece>& out) {
    for (const auto& [begin, end] : ranges) {
        if (begin < end) {
            out.push_back({piece.text.substr(begin, end - begin), piece.at_start && begin == 0});
        }
    }
}

std::string replaceAll(std::string_view text, const Pattern& pattern, std::string_view content) {
    std::string out;
    out.reserve(text.size());
    for (const PatternSpan& s : pattern.spans(text)) {
        if (s.is_match) {
            out.append(content);
        } else {
            out.append(text.substr(s.begin, s.end - s.begin));
        }
    }
    return out;
}

std::string replaceCharacter(std::string_view text, char32_t from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = codePointAt(text, at);
        if (c.value == from) {
            out.append(to);
        } else {
            out.append(text.substr(at, c.length));
        }
        at += c.length;
    }
    return out;
}

void preTokenizeOne(const PreTokenizerStep& step, const Piece& piece, std::vector<Piece>& out) {
    switch (step.kind) {
        case PreTokenizerStep::Kind::split:
            appendRanges(piece,
                         splitRanges(step.pattern->spans(piece.text), step.behavior, step.invert),
                         out);
            return;
        case PreTokenizerStep::Kind::digits:
            appendRanges(piece,
                         splitRanges(characterSpans(piece.text, isNumeric),
                                     step.individual_digits ? SplitBehavior::isolated
                                                            : SplitBehavior::contiguous,
                                     false),
                         out);
            return;
        case PreTokenizerStep::Kind::byte_level: {
            Piece spaced = piece;
            if (step.add_prefix_space && (spaced.text.empty() || spaced.text.front() != ' ')) {
                spaced.text.insert(0, 1, ' ');
            }
            std::vector<Piece> words;
            if (step.use_regex) {
                appendRanges(spaced,
                             splitRanges(byteLevelPattern().spans(spaced.text),
                                         SplitBehavior::isolated, false),
                             words);
            } else if (!spaced.text.empty()) {
                words.push_back(std::move(spaced));
            }
            for (Piece& word : words) {
                std::string mapped;
                mapped.reserve(word.text.size() * 2);
                for (const char b : word.text)
                    mapped.append(byteLevelCharacter(static_cast<std::uint8_t>(b)));
                out.push_back({std::move(mapped), word.at_start});
            }
            return;
        }
        case PreTokenizerStep::Kind::metaspace: {
            const char32_t replacement = codePointAt(step.replacement, 0).value;
            Piece replaced{replaceCharacter(piece.text, U' ', step.replacement), piece.at_start};
            const bool starts = replaced.text.starts_with(step.replacement);
            if (!starts && (step.prepend_scheme == PrependScheme::always ||
                            (step.prepend_scheme == PrependScheme::first && piece.at_start))) {
                replaced.text.insert(0, step.replacement);
            }
            if (!step.split) {
                if (!replaced.text.empty()) out.push_back(std::move(replaced));
                return;
            }
            appendRanges(replaced,
                         splitRanges(characterSpans(replaced.text,
                                                    [&](char32_t c) { return c == replacement; }),
                                     SplitBehavior::merged_with_next, false),
                         out);
            return;
        }
    }
}

std::optional<std::uint8_t> byteToken(std::string_view token) {
    if (token.size() != 6 || !token.starts_with("<0x") || token.back() != '>') return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    const int high = digit(token[3]), low = digit(token[4]);
    if (high < 0 || low < 0) return std::nullopt;
    return static_cast<std::uint8_t>(high * 16 + low);
}

std::vector<std::string> decodeStep(const DecoderStep& step, std::vector<std::string> tokens) {
    switch (step.kind) {
        case DecoderStep::Kind::byte_level: {
            // Tokens of table characters become their bytes; any other token (an added token
            // such as "<｜User｜>") stays as it is written. The bytes are read as UTF-8 together.
            const ByteLevelTable& table = byteLevelTable();
            std::string bytes;
            for (const std::string& token : tokens) {
                std::string own;
                bool mapped = true;
                for (std::size_t at = 0; at < token.size() && mapped;) {
                    const CodePoint c = codePointAt(token, at);
                    const auto found = table.bytes.find(c.value);
                    if (found == table.bytes.end()) {
                        mapped = false;
                    } else {
                        own.push_back(static_cast<char>(found->second));
                    }
                    at += c.length;
                }
                bytes.append(mapped ? own : token);
            }
            return {toWellFormedUtf8(bytes)};
        }
        case DecoderStep::Kind::replace:
            for (std::string& token : tokens)
                token = replaceAll(token, *step.pattern, step.content);
            return tokens;
        case DecoderStep::Kind::byte_fallback: {
            std::vector<std::string> out;
            std::string bytes;
            const auto flush = [&] {
                if (!bytes.empty()) out.push_back(toWellFormedUtf8(bytes));
                bytes.clear();
            };
            for (std::string& token : tokens) {
                if (const auto byte = byteToken(token)) {
                    bytes.push_back(static_cast<char>(*byte));
                } else {
                    flush();
                    out.push_back(std::move(token));
                }
            }
            flush();
            return out;
        }
        case DecoderStep::Kind::fuse: {
            std::string all;
            for (const std::string& token : tokens) all += token;
            return {std::move(all)};
        }
        case DecoderStep::Kind::strip: {
            const char32_t content = codePointAt(step.content, 0).value;
            for (std::string& token : tokens) {
                std::vector<std::size_t> starts;  // byte offset of each character
                for (std::size_t at = 0; at < token.size(); at += codePointAt(token, at).length) {
                    starts.push_back(at);
                }
                const std::size_t count = starts.size();
                std::size_t first = 0, last = count;
                for (std::size_t i = 0; i < step.start && i < count; ++i) {
                    if (codePointAt(token, starts[i]).value != content) break;
                    first = i + 1;
                }
                for (std::size_t i = 0; i < step.stop && i < count; ++i) {
                    const std::size_t index = count - i - 1;
                    if (codePointAt(token, starts[index]).value != content) break;
                    last = index;
                }
                if (first >= last) {
                    token.clear();
                } else {
                    const std::size_t begin = starts[first];
                    const std::size_t end = last == count ? token.size() : starts[last];
                    token = token.substr(begin, end - begin);
                }
            }
            return tokens;
        }
        case DecoderStep::Kind::metaspace: {
            const char32_t replacement = codePointAt(step.content, 0).value;
            for (std::size_t i = 0; i < tokens.size(); ++i) {
                // In the first token the replacement character gives no space where a space was
                // put in front when encoding.
                const bool drop = i == 0 && step.prepend_scheme != PrependScheme::never;
                tokens[i] = replaceCharacter(tokens[i], replacement, drop ? "" : " ");
            }
            return tokens;
        }
    }
    return tokens;
}

}  // namespace

const std::string& byteLevelCharacter(std::uint8_t byte) {
    return byteLevelTable().characters[byte];
}

std::string normalize(const std::vector<NormalizerStep>& steps, std::string text) {
    for (const NormalizerStep& step : steps) {
        switch (step.kind) {
            case NormalizerStep::Kind::nfc:
                text = normalizeText(text, NormalForm::nfc);
                break;
            case NormalizerStep::Kind::nfkc:
                text = normalizeText(text, NormalForm::nfkc);
                break;
            case NormalizerStep::Kind::lowercase:
                text = lowercaseText(text);
                break;
            case NormalizerStep::Kind::prepend:
                if (!text.empty()) text.insert(0, step.text);
                break;
            case NormalizerStep::Kind::replace:
                text = replaceAll(text, *step.pattern, step.text);
                break;
        }
    }
    return text;
}

void preTokenize(const std::vector<PreTokenizerStep>& steps, std::vector<Piece>& pieces) {
    for (const PreTokenizerStep& step : steps) {
        std::vector<Piece> next;
        next.reserve(pieces.size());
        for (const Piece& piece : pieces) preTokenizeOne(step, piece, next);
        pieces = std::move(next);
    }
}

std::string decodeTokens(const std::vector<DecoderStep>& steps, bool has_decoder,
                         std::vector<std::string> tokens) {
    std::string text;
    if (!has_decoder) {
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (i != 0) text += ' ';
            text += tokens[i];
        }
        return text;
    }
    for (const DecoderStep& step : steps) tokens = decodeStep(step, std::move(tokens));
    for (const std::string& token : tokens) text += token;
    return text;
}

}  // namespace Nuvexis::Core::Tarvel::detail
