#include "tarvel/tokenizer/detail/added_vocabulary.hpp"

#include <algorithm>

#include "tarvel/tokenizer/detail/unicode.hpp"
#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {
namespace {

char32_t lastCodePoint(std::string_view text) {
    std::size_t at = text.size() - 1;
    while (at > 0 && (static_cast<std::uint8_t>(text[at]) & 0xC0) == 0x80) --at;
    return codePointAt(text, at).value;
}

// Where the white space that ends `text` begins.
std::size_t trailingSpaceStart(std::string_view text) {
    std::size_t at = text.size();
    while (at > 0) {
        std::size_t start = at - 1;
        while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
        if (!isWhiteSpace(codePointAt(text, start).value)) break;
        at = start;
    }
    return at;
}

// The length of the white space that starts `text`.
std::size_t leadingSpaceLength(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const CodePoint c = codePointAt(text, at);
        if (!isWhiteSpace(c.value)) break;
        at += c.length;
    }
    return at;
}

}  // namespace

AddedTokenSet::AddedTokenSet(std::vector<AddedToken> tokens,
                             const std::vector<std::string>& patterns)
    : tokens_(std::move(tokens)), terminal_{-1} {
    for (std::size_t k = 0; k < patterns.size(); ++k) {
        const std::string& pattern = patterns[k];
        std::uint32_t node = 0;
        for (const char c : pattern) {
            const std::uint64_t key = std::uint64_t{node} << 8 | static_cast<std::uint8_t>(c);
            const auto found = edges_.find(key);
            if (found != edges_.end()) {
                node = found->second;
            } else {
                const auto next = static_cast<std::uint32_t>(terminal_.size());
                terminal_.push_back(-1);
                edges_.emplace(key, next);
                node = next;
            }
        }
        // A later token of the same pattern would never be reached; the first stays.
        if (terminal_[node] < 0) terminal_[node] = static_cast<std::int64_t>(k);
        starts_[static_cast<std::uint8_t>(pattern.front())] = true;
    }
}

bool AddedTokenSet::longestAt(std::string_view text, std::size_t at, std::size_t& token,
                              std::size_t& length) const {
    bool found = false;
    std::uint32_t node = 0;
    for (std::size_t i = at; i < text.size(); ++i) {
        const auto edge =
            edges_.find(std::uint64_t{node} << 8 | static_cast<std::uint8_t>(text[i]));
        if (edge == edges_.end()) break;
        node = edge->second;
        if (terminal_[node] >= 0) {
            token = static_cast<std::size_t>(terminal_[node]);
            length = i + 1 - at;
            found = true;
        }
    }
    return found;
}

void AddedTokenSet::split(std::string_view text, bool at_start, std::vector<TextPart>& out) const {
    const auto plain = [&](std::size_t begin, std::size_t end) {
        if (begin < end) {
            out.push_back({std::string(text.substr(begin, end - begin)), std::nullopt,
                           at_start && begin == 0});
        }
    };
    std::size_t done = 0;  // the text before this is in `out`
    std::size_t at = 0;    // where the search for the next match goes on
    while (at < text.size()) {
        std::size_t index = 0, length = 0;
        if (!starts_[static_cast<std::uint8_t>(text[at])] || !longestAt(text, at, index, length)) {
            ++at;
            continue;
        }
        std::size_t begin = at, end = at + length;
        at = end;  // a match that is passed over is not searched again
        if (begin < done) continue;
        const AddedToken& token = tokens_[index];
        if (token.single_word) {
            const bool word_before =
                begin > 0 && isWordCharacter(lastCodePoint(text.substr(0, begin)));
            const bool word_after =
                end < text.size() && isWordCharacter(codePointAt(text, end).value);
            if (word_before || word_after) continue;
        }
        if (token.lstrip) begin = std::max(trailingSpaceStart(text.substr(0, begin)), done);
        if (token.rstrip) end += leadingSpaceLength(text.substr(end));
        plain(done, begin);
        out.push_back(
            {std::string(text.substr(begin, end - begin)), token.id, at_start && begin == 0});
        done = end;
        at = std::max(at, end);
    }
    plain(done, text.size());
}

}  // namespace Nuvexis::Core::Tarvel::detail
