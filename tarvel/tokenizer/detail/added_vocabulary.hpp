#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail {

// A token that tokenizer.json adds on top of the model's vocabulary, matched in the text before
// the model sees it.
struct AddedToken {
    std::uint32_t id = 0;
    std::string content;
    bool single_word = false;  // only where no word character touches it on either side
    bool lstrip = false;       // takes the white space before it
    bool rstrip = false;       // takes the white space after it
    bool normalized = false;   // matched in the normalized text, as it normalizes
    bool special = false;      // gives no text when decoding
};

// A part of the text: plain text for the rest of the pipeline, or an added token's id.
// `at_start` says the part begins where the whole text began.
struct TextPart {
    std::string text;
    std::optional<std::uint32_t> id;
    bool at_start = false;
};

// The added tokens of one kind (normalized or not), found leftmost first and longest among those
// that start at the same place, without overlaps.
class AddedTokenSet {
  public:
    // patterns[k] is what token k is matched as; none is empty.
    AddedTokenSet(std::vector<AddedToken> tokens, const std::vector<std::string>& patterns);
    AddedTokenSet() = default;

    bool empty() const noexcept { return tokens_.empty(); }
    // Appends the parts of `text` to `out`: added tokens with their ids (white space they strip
    // included), the text between them as plain parts. Empty parts are left out.
    void split(std::string_view text, bool at_start, std::vector<TextPart>& out) const;

  private:
    // The longest pattern starting at text[at]: its token index and length.
    bool longestAt(std::string_view text, std::size_t at, std::size_t& token,
                   std::size_t& length) const;

    std::vector<AddedToken> tokens_;
    // A trie over the patterns' bytes: node 0 is the root.
    std::vector<std::int64_t> terminal_;                      // token index ending at a node, or -1
    std::unordered_map<std::uint64_t, std::uint32_t> edges_;  // (node << 8 | byte) -> node
    std::array<bool, 256> starts_{};                          // bytes some pattern starts with
};

}  // namespace Nuvexis::Core::Tarvel::detail
