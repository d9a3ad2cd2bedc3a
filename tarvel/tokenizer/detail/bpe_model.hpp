#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail {

// Lookups by std::string_view in maps keyed by std::string, without building a key.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};
using TextIdMap = std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>>;

// A byte-pair encoding model: a word starts as its characters' ids and the pair of neighbours
// with the lowest merge rank (the leftmost among equals) is merged until no pair has a merge.
struct BpeOptions {
    std::optional<std::uint32_t> unk_id;  // for characters the vocabulary lacks
    bool fuse_unk = false;                // one unknown id for a run of unknown characters
    bool byte_fallback = false;           // unknown characters as their <0xXX> byte tokens
    bool ignore_merges = false;           // a word that is a token is that token, unmerged
};

inline constexpr std::size_t max_word_bytes = 2147483647;

// A table from pairs of 32-bit values (a << 32 | b) to 64-bit values, open addressing with
// linear probing: words are long (a whole text when nothing splits it) and every step of one
// looks pairs up, so the table is flat. A key inserted again keeps its latest value. No key is
// all ones.
class PairTable {
  public:
    PairTable() = default;
    explicit PairTable(std::size_t count);
    void insert(std::uint64_t key, std::uint64_t value);
    std::optional<std::uint64_t> find(std::uint64_t key) const;

  private:
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> values_;
    std::uint64_t mask_ = 0;
};

class BpeModel {
  public:
    BpeModel() = default;
    // Merges are pairs of ids with the id they merge into; a pair listed again takes the later
    // rank. Every id is a vocabulary id.
    struct Merge {
        std::uint32_t left = 0;
        std::uint32_t right = 0;
        std::uint32_t merged = 0;
    };
    BpeModel(TextIdMap vocabulary, const std::vector<Merge>& merges, BpeOptions options);

    const TextIdMap& vocabulary() const noexcept { return vocabulary_; }

    // Appends the ids of one word (well-formed UTF-8, not empty). Throws std::invalid_argument
    // "tokenizer word is longer than 2147483647 bytes" past that length.
    void encode(std::string_view word, std::vector<std::uint32_t>& out) const;

  private:
    std::optional<std::uint32_t> characterId(char32_t value) const;

    TextIdMap vocabulary_;
    // (left << 32 | right) -> (rank << 32 | merged)
    PairTable merges_;
    // Pairs of code points that stand next to each other in some token. Where two characters of
    // a word are not such a pair, no merge can ever join them, and the word is merged as two.
    PairTable neighbours_;
    BpeOptions options_;
    // Ids of the one-character tokens: ASCII in a table, the rest by code point.
    std::array<std::int64_t, 128> ascii_ids_{};
    std::unordered_map<char32_t, std::uint32_t> character_ids_;
    std::array<std::int64_t, 256> byte_ids_{};  // the <0xXX> tokens, or -1
};

}  // namespace Nuvexis::Core::Tarvel::detail
