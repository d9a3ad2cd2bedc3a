#include "tarvel/tokenizer/detail/bpe_model.hpp"

#include <functional>
#include <queue>
#include <tuple>

#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {
namespace {

struct Symbol {
    std::uint32_t id = 0;
    std::int64_t prev = -1;
    std::int64_t next = -1;
    std::size_t length = 0;  // bytes of the word it covers; 0 once merged into its left neighbour
};

// (rank, position, merged id), the lowest rank first and the leftmost among equal ranks.
using Candidate = std::tuple<std::uint32_t, std::size_t, std::uint32_t>;
using CandidateQueue =
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<Candidate>>;

}  // namespace

BpeModel::BpeModel(TextIdMap vocabulary, const std::vector<Merge>& merges, BpeOptions options)
    : vocabulary_(std::move(vocabulary)), options_(options) {
    ascii_ids_.fill(-1);
    byte_ids_.fill(-1);
    for (const auto& [token, id] : vocabulary_) {
        if (!token.empty() && codePointAt(token, 0).length == token.size()) {
            const char32_t value = codePointAt(token, 0).value;
            if (value < 128) {
                ascii_ids_[value] = id;
            } else {
                character_ids_.emplace(value, id);
            }
        }
    }
    static const char* const hex = "0123456789ABCDEF";
    for (std::size_t b = 0; b < 256; ++b) {
        const std::string name = std::string("<0x") + hex[b >> 4] + hex[b & 15] + ">";
        const auto found = vocabulary_.find(name);
        if (found != vocabulary_.end()) byte_ids_[b] = found->second;
    }
    merges_.reserve(merges.size());
    for (std::size_t rank = 0; rank < merges.size(); ++rank) {
        const Merge& m = merges[rank];
        merges_.insert_or_assign(std::uint64_t{m.left} << 32 | m.right,
                                 std::uint64_t{rank} << 32 | m.merged);
    }
}

std::optional<std::uint32_t> BpeModel::characterId(char32_t value) const {
    if (value < 128) {
        const std::int64_t id = ascii_ids_[value];
        if (id < 0) return std::nullopt;
        return static_cast<std::uint32_t>(id);
    }
    const auto found = character_ids_.find(value);
    if (found == character_ids_.end()) return std::nullopt;
    return found->second;
}

void BpeModel::encode(std::string_view word, std::vector<std::uint32_t>& out) const {
    if (options_.ignore_merges) {
        const auto whole = vocabulary_.find(word);
        if (whole != vocabulary_.end()) {
            out.push_back(whole->second);
            return;
        }
    }
    std::vector<Symbol> symbols;
    symbols.reserve(word.size());
    const auto add = [&](std::uint32_t id, std::size_t length) {
        const auto index = static_cast<std::int64_t>(symbols.size());
        if (!symbols.empty()) symbols.back().next = index;
        symbols.push_back({id, index - 1, -1, length});
    };
    // An unknown run waiting to be added: its id and length.
    bool unknown = false;
    std::uint32_t unknown_id = 0;
    std::size_t unknown_length = 0;
    for (std::size_t at = 0; at < word.size();) {
        const CodePoint c = codePointAt(word, at);
        const std::string_view character = word.substr(at, c.length);
        at += c.length;
        if (const auto id = characterId(c.value)) {
            if (unknown) add(unknown_id, unknown_length);
            unknown = false;
            add(*id, c.length);
            continue;
        }
        if (options_.byte_fallback) {
            bool all = true;
            for (const char b : character)
                all = all && byte_ids_[static_cast<std::uint8_t>(b)] >= 0;
            if (all) {
                // A pending unknown run stays pending and lands after these bytes: the reference
                // tokenizer does it this way, and only a vocabulary lacking some byte tokens
                // shows it.
                for (const char b : character) {
                    add(static_cast<std::uint32_t>(byte_ids_[static_cast<std::uint8_t>(b)]), 1);
                }
                continue;
            }
        }
        if (!options_.unk_id) continue;  // no unknown token: the character is dropped
        if (unknown && options_.fuse_unk) {
            unknown_length += c.length;
        } else {
            if (unknown) add(unknown_id, unknown_length);
            unknown = true;
            unknown_id = *options_.unk_id;
            unknown_length = c.length;
        }
    }
    if (unknown) add(unknown_id, unknown_length);

    const auto mergeOf = [&](std::uint32_t left,
                             std::uint32_t right) -> std::optional<std::uint64_t> {
        const auto found = merges_.find(std::uint64_t{left} << 32 | right);
        if (found == merges_.end()) return std::nullopt;
        return found->second;
    };
    CandidateQueue queue;
    const auto consider = [&](std::size_t position) {
        const Symbol& s = symbols[position];
        if (s.next < 0) return;
        if (const auto m = mergeOf(s.id, symbols[static_cast<std::size_t>(s.next)].id)) {
            queue.emplace(static_cast<std::uint32_t>(*m >> 32), position,
                          static_cast<std::uint32_t>(*m));
        }
    };
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) consider(i);
    while (!queue.empty()) {
        const auto [rank, position, merged] = queue.top();
        queue.pop();
        Symbol& left = symbols[position];
        if (left.length == 0 || left.next < 0) continue;
        const auto right_index = static_cast<std::size_t>(left.next);
        Symbol& right = symbols[right_index];
        // A candidate is stale when either side has changed since it was queued.
        const auto m = mergeOf(left.id, right.id);
        if (!m || static_cast<std::uint32_t>(*m) != merged) continue;
        left.id = merged;
        left.length += right.length;
        left.next = right.next;
        right.length = 0;
        if (left.next >= 0)
            symbols[static_cast<std::size_t>(left.next)].prev = static_cast<std::int64_t>(position);
        if (left.prev >= 0) consider(static_cast<std::size_t>(left.prev));
        consider(position);
    }
    for (const Symbol& s : symbols) {
        if (s.length != 0) out.push_back(s.id);
    }
}

}  // namespace Nuvexis::Core::Tarvel::detail
