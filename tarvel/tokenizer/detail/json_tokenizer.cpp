#include "tarvel/tokenizer/detail/json_tokenizer.hpp"

#include <stdexcept>
#include <unordered_map>

#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {
namespace {

// Words at most this long are remembered for the rest of one encode call; text repeats them.
constexpr std::size_t cached_word_bytes = 256;

class JsonTokenizer final : public TokenizerBackend {
  public:
    JsonTokenizer(TokenizerJsonParts parts, std::string_view name) : parts_(std::move(parts)) {
        std::vector<AddedToken> raw, normalized;
        std::vector<std::string> raw_patterns, normalized_patterns;
        for (const AddedToken& token : parts_.added_tokens) {
            if (token.normalized) {
                std::string pattern = normalize(parts_.normalizers, token.content);
                if (pattern.empty()) {
                    throw std::invalid_argument(std::string(name) + ": added token " +
                                                std::to_string(token.id) +
                                                " normalizes to an empty text");
                }
                normalized.push_back(token);
                normalized_patterns.push_back(std::move(pattern));
            } else {
                raw.push_back(token);
                raw_patterns.push_back(token.content);
            }
        }
        raw_tokens_ = AddedTokenSet(std::move(raw), raw_patterns);
        normalized_tokens_ = AddedTokenSet(std::move(normalized), normalized_patterns);

        // The text of each id, for decoding: an added token's content where there is one.
        std::vector<std::string_view> by_id(parts_.piece_count);
        kinds_.assign(parts_.piece_count, Kind::none);
        for (const auto& [text, id] : parts_.model.vocabulary()) {
            by_id[id] = text;
            kinds_[id] = Kind::vocabulary;
        }
        for (const AddedToken& token : parts_.added_tokens) {
            by_id[token.id] = token.content;
            kinds_[token.id] = token.special ? Kind::special : Kind::vocabulary;
            added_ids_.emplace(token.content, token.id);
        }
        text_starts_.reserve(std::size_t{parts_.piece_count} + 1);
        for (const std::string_view text : by_id) {
            text_starts_.push_back(texts_.size());
            texts_.append(text);
        }
        text_starts_.push_back(texts_.size());
    }

    std::string_view kind() const noexcept override { return "tokenizer.json"; }
    std::uint32_t pieceCount() const override { return parts_.piece_count; }

    std::optional<std::uint32_t> bos() const override {
        if (parts_.prefix.empty()) return std::nullopt;
        return parts_.prefix.front();
    }

    std::optional<std::uint32_t> eos() const override {
        if (parts_.suffix.empty()) return std::nullopt;
        return parts_.suffix.back();
    }

    bool addsBos() const override { return !parts_.prefix.empty(); }

    std::vector<std::uint32_t> encode(std::string_view text, bool with_special) const override {
        std::vector<std::uint32_t> ids;
        if (with_special) ids = parts_.prefix;
        std::unordered_map<std::string, std::vector<std::uint32_t>> words;
        const std::string clean = toWellFormedUtf8(text);
        std::vector<TextPart> parts;
        splitOrKeep(raw_tokens_, clean, true, parts);
        for (TextPart& part : parts) {
            if (part.id) {
                ids.push_back(*part.id);
                continue;
            }
            const std::string normalized = normalize(parts_.normalizers, std::move(part.text));
            std::vector<TextPart> inner;
            splitOrKeep(normalized_tokens_, normalized, part.at_start, inner);
            for (TextPart& piece_part : inner) {
                if (piece_part.id) {
                    ids.push_back(*piece_part.id);
                    continue;
                }
                std::vector<Piece> pieces;
                pieces.push_back({std::move(piece_part.text), piece_part.at_start});
                preTokenize(parts_.pre_tokenizers, pieces);
                for (const Piece& piece : pieces) encodeWord(piece.text, words, ids);
            }
        }
        if (with_special) ids.insert(ids.end(), parts_.suffix.begin(), parts_.suffix.end());
        return ids;
    }

    std::string decode(std::span<const std::uint32_t> ids) const override {
        std::vector<std::string> tokens;
        tokens.reserve(ids.size());
        for (const std::uint32_t id : ids) {
            if (id >= parts_.piece_count) {
                throw std::out_of_range("token id exceeds tokenizer vocabulary");
            }
            // Special tokens and ids without a token give no text.
            if (kinds_[id] == Kind::vocabulary) {
                tokens.emplace_back(texts_, text_starts_[id],
                                    text_starts_[id + 1] - text_starts_[id]);
            }
        }
        return decodeTokens(parts_.decoders, parts_.has_decoder, std::move(tokens));
    }

    std::optional<std::uint32_t> tokenId(std::string_view text) const override {
        if (const auto added = added_ids_.find(text); added != added_ids_.end())
            return added->second;
        const TextIdMap& vocabulary = parts_.model.vocabulary();
        if (const auto found = vocabulary.find(text); found != vocabulary.end())
            return found->second;
        return std::nullopt;
    }

  private:
    enum class Kind : std::uint8_t { none = 0, vocabulary = 1, special = 2 };

    static void splitOrKeep(const AddedTokenSet& set, std::string_view text, bool at_start,
                            std::vector<TextPart>& out) {
        if (set.empty()) {
            if (!text.empty()) out.push_back({std::string(text), std::nullopt, at_start});
            return;
        }
        set.split(text, at_start, out);
    }

    void encodeWord(const std::string& word,
                    std::unordered_map<std::string, std::vector<std::uint32_t>>& words,
                    std::vector<std::uint32_t>& ids) const {
        if (word.size() > cached_word_bytes) {
            parts_.model.encode(word, ids);
            return;
        }
        const auto found = words.find(word);
        if (found != words.end()) {
            ids.insert(ids.end(), found->second.begin(), found->second.end());
            return;
        }
        std::vector<std::uint32_t> own;
        parts_.model.encode(word, own);
        ids.insert(ids.end(), own.begin(), own.end());
        words.emplace(word, std::move(own));
    }

    TokenizerJsonParts parts_;
    AddedTokenSet raw_tokens_;
    AddedTokenSet normalized_tokens_;
    // The token texts back to back; id k's is [text_starts_[k], text_starts_[k + 1]).
    std::string texts_;
    std::vector<std::size_t> text_starts_;
    std::vector<Kind> kinds_;  // by id
    TextIdMap added_ids_;
};

}  // namespace

std::unique_ptr<TokenizerBackend> makeJsonTokenizer(TokenizerJsonParts parts,
                                                    std::string_view name) {
    return std::make_unique<JsonTokenizer>(std::move(parts), name);
}

}  // namespace Nuvexis::Core::Tarvel::detail
