#include "tarvel/tokenizer/detail/bpe_model.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {
namespace {

// A symbol of a word being merged; symbols are linked in word order, and one that was merged
// into its left neighbour is dead. Words are at most max_word_bytes long, so indexes fit.
struct Symbol {
    std::uint32_t id = 0;
    std::int32_t prev = -1;
    std::int32_t next = -1;
    std::uint32_t alive = 1;
};

// The merges waiting to be made: rank << 32 | position, so that the lowest rank comes first and
// the leftmost among equal ranks. A rank names one pair, so a candidate whose pair has changed
// since it was queued is recognised by its rank. A four-way heap: a whole text can be one word,
// and a shallow heap touches fewer cache lines.
class CandidateQueue {
  public:
    bool empty() const noexcept { return heap_.empty(); }
    void push(std::uint64_t value) {
        std::size_t at = heap_.size();
        heap_.push_back(value);
        while (at > 0) {
            const std::size_t parent = (at - 1) / 4;
            if (heap_[parent] <= value) break;
            heap_[at] = heap_[parent];
            at = parent;
        }
        heap_[at] = value;
    }
    std::uint64_t pop() {
        const std::uint64_t top = heap_.front();
        const std::uint64_t last = heap_.back();
        heap_.pop_back();
        const std::size_t size = heap_.size();
        if (size == 0) return top;
        std::size_t at = 0;
        while (true) {
            const std::size_t first = 4 * at + 1;
            if (first >= size) break;
            std::size_t least = first;
            const std::size_t end = std::min(first + 4, size);
            for (std::size_t c = first + 1; c < end; ++c) {
                if (heap_[c] < heap_[least]) least = c;
            }
            if (last <= heap_[least]) break;
            heap_[at] = heap_[least];
            at = least;
        }
        heap_[at] = last;
        return top;
    }

  private:
    std::vector<std::uint64_t> heap_;
};

// The key of an empty slot: no pair of ids (below 2^22) or of code points is all ones.
constexpr std::uint64_t empty_key = ~std::uint64_t{0};

std::uint64_t mixKey(std::uint64_t key) {
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdu;
    key ^= key >> 33;
    return key;
}

// Words at least this many symbols long are cut where no merge can join their parts; shorter
// ones are not worth the lookups.
constexpr std::size_t cut_symbols = 64;

std::optional<std::uint64_t> findPair(const PairTable& table, std::uint32_t left,
                                      std::uint32_t right) {
    return table.find(std::uint64_t{left} << 32 | right);
}

// Queues the merge of the symbol at `position` with its right neighbour, if they have one.
void consider(const PairTable& merges, const std::vector<Symbol>& symbols, CandidateQueue& queue,
              std::int32_t position) {
    const Symbol& s = symbols[static_cast<std::size_t>(position)];
    if (s.next < 0) return;
    if (const auto m = findPair(merges, s.id, symbols[static_cast<std::size_t>(s.next)].id)) {
        queue.push((*m >> 32) << 32 | static_cast<std::uint32_t>(position));
    }
}

// Makes the queued merges, lowest rank first, and the merges they make possible, until none is
// left.
void mergeQueued(const PairTable& merges, std::vector<Symbol>& symbols, CandidateQueue& queue) {
    while (!queue.empty()) {
        const std::uint64_t top = queue.pop();
        const auto position = static_cast<std::int32_t>(top & 0xFFFFFFFFu);
        Symbol& left = symbols[static_cast<std::size_t>(position)];
        if (!left.alive || left.next < 0) continue;
        Symbol& right = symbols[static_cast<std::size_t>(left.next)];
        const auto m = findPair(merges, left.id, right.id);
        if (!m || (*m >> 32) != (top >> 32)) continue;  // stale
        left.id = static_cast<std::uint32_t>(*m);
        left.next = right.next;
        right.alive = 0;
        if (left.next >= 0) symbols[static_cast<std::size_t>(left.next)].prev = position;
        if (left.prev >= 0) consider(merges, symbols, queue, left.prev);
        consider(merges, symbols, queue, position);
    }
}

}  // namespace

PairTable::PairTable(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    keys_.assign(capacity, empty_key);
    values_.assign(capacity, 0);
    mask_ = capacity - 1;
}

void PairTable::insert(std::uint64_t key, std::uint64_t value) {
    std::uint64_t slot = mixKey(key) & mask_;
    while (keys_[slot] != empty_key && keys_[slot] != key) slot = (slot + 1) & mask_;
    keys_[slot] = key;
    values_[slot] = value;
}

std::optional<std::uint64_t> PairTable::find(std::uint64_t key) const {
    for (std::uint64_t slot = mixKey(key) & mask_;; slot = (slot + 1) & mask_) {
        if (keys_[slot] == key) return values_[slot];
        if (keys_[slot] == empty_key) return std::nullopt;
    }
}

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
    merges_ = PairTable(merges.size());
    for (std::size_t rank = 0; rank < merges.size(); ++rank) {
        const Merge& m = merges[rank];
        merges_.insert(std::uint64_t{m.left} << 32 | m.right, std::uint64_t{rank} << 32 | m.merged);
    }
    std::size_t pairs = 0;
    for (const auto& [token, id] : vocabulary_) pairs += token.size();
    neighbours_ = PairTable(pairs);
    for (const auto& [token, id] : vocabulary_) {
        char32_t before = 0;
        for (std::size_t at = 0; at < token.size();) {
            const CodePoint c = codePointAt(token, at);
            if (at != 0) neighbours_.insert(std::uint64_t{before} << 32 | c.value, 1);
            before = c.value;
            at += c.length;
        }
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
    if (word.size() > max_word_bytes) {
        throw std::invalid_argument("tokenizer word is longer than " +
                                    std::to_string(max_word_bytes) + " bytes");
    }
    std::vector<Symbol> symbols;
    symbols.reserve(word.size());
    // The character each symbol stands for, or none for bytes and unknown runs.
    constexpr char32_t not_a_character = ~char32_t{0};
    std::vector<char32_t> characters;
    characters.reserve(word.size());
    const auto add = [&](std::uint32_t id, char32_t character) {
        const auto index = static_cast<std::int32_t>(symbols.size());
        if (!symbols.empty()) symbols.back().next = index;
        symbols.push_back({id, index - 1, -1, 1});
        characters.push_back(character);
    };
    // An unknown run waiting to be added.
    bool unknown = false;
    std::uint32_t unknown_id = 0;
    for (std::size_t at = 0; at < word.size();) {
        const CodePoint c = codePointAt(word, at);
        const std::string_view character = word.substr(at, c.length);
        at += c.length;
        if (const auto id = characterId(c.value)) {
            if (unknown) add(unknown_id, not_a_character);
            unknown = false;
            add(*id, c.value);
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
                    add(static_cast<std::uint32_t>(byte_ids_[static_cast<std::uint8_t>(b)]),
                        not_a_character);
                }
                continue;
            }
        }
        if (!options_.unk_id) continue;              // no unknown token: the character is dropped
        if (unknown && options_.fuse_unk) continue;  // one id for the whole run
        if (unknown) add(unknown_id, not_a_character);
        unknown = true;
        unknown_id = *options_.unk_id;
    }
    if (unknown) add(unknown_id, not_a_character);

    CandidateQueue queue;
    // Each part of the word between cuts merges on its own, exactly as it would within the word:
    // no merge reaches across a cut, and the order of merges within a part is the same.
    std::size_t begin = 0;
    while (begin < symbols.size()) {
        std::size_t end = begin + 1;
        if (symbols.size() >= cut_symbols) {
            while (end < symbols.size() &&
                   (characters[end - 1] == not_a_character || characters[end] == not_a_character ||
                    neighbours_.find(std::uint64_t{characters[end - 1]} << 32 | characters[end]))) {
                ++end;
            }
            if (end < symbols.size()) {
                symbols[end - 1].next = -1;
                symbols[end].prev = -1;
            }
        } else {
            end = symbols.size();
        }
        for (std::size_t i = begin; i + 1 < end; ++i) {
            consider(merges_, symbols, queue, static_cast<std::int32_t>(i));
        }
        mergeQueued(merges_, symbols, queue);
        begin = end;
    }
    for (const Symbol& s : symbols) {
        if (s.alive) out.push_back(s.id);
    }
}

}  // namespace Nuvexis::Core::Tarvel::detail
