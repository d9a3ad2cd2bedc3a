#include "tarvel/tokenizer/detail/sentencepiece_backend.hpp"

#include <sentencepiece_processor.h>

#include <stdexcept>

namespace Nuvexis::Core::Tarvel::detail {
namespace {

std::optional<std::uint32_t> knownId(int id, int count) {
    if (id < 0 || id >= count) return std::nullopt;
    return static_cast<std::uint32_t>(id);
}

class SentencePieceBackend final : public TokenizerBackend {
  public:
    SentencePieceBackend(std::unique_ptr<sentencepiece::SentencePieceProcessor> processor,
                         bool add_bos)
        : processor_(std::move(processor)), add_bos_(add_bos) {}

    std::string_view kind() const noexcept override { return "sentencepiece"; }

    std::uint32_t pieceCount() const override {
        return static_cast<std::uint32_t>(processor_->GetPieceSize());
    }

    std::optional<std::uint32_t> bos() const override {
        return knownId(processor_->bos_id(), processor_->GetPieceSize());
    }

    std::optional<std::uint32_t> eos() const override {
        return knownId(processor_->eos_id(), processor_->GetPieceSize());
    }

    bool addsBos() const override { return add_bos_; }

    std::vector<std::uint32_t> encode(std::string_view text, bool with_special) const override {
        std::vector<int> pieces;
        const auto status = processor_->Encode(text, &pieces);
        if (!status.ok()) throw std::invalid_argument("tokenizer cannot encode the text");
        std::vector<std::uint32_t> ids;
        ids.reserve(pieces.size() + 1);
        if (with_special && add_bos_ && bos()) ids.push_back(*bos());
        for (const int id : pieces) ids.push_back(static_cast<std::uint32_t>(id));
        return ids;
    }

    std::string decode(std::span<const std::uint32_t> ids) const override {
        std::vector<int> pieces;
        pieces.reserve(ids.size());
        for (const std::uint32_t id : ids) {
            if (id >= pieceCount())
                throw std::out_of_range("token id exceeds tokenizer vocabulary");
            pieces.push_back(static_cast<int>(id));
        }
        std::string text;
        const auto status = processor_->Decode(pieces, &text);
        if (!status.ok()) throw std::invalid_argument("tokenizer cannot decode the ids");
        return text;
    }

    std::optional<std::uint32_t> tokenId(std::string_view text) const override {
        const int id = processor_->PieceToId(text);
        // An unknown piece comes back as the unknown id, whose own piece is another text.
        if (id < 0 || id >= processor_->GetPieceSize() || processor_->IdToPiece(id) != text) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(id);
    }

  private:
    std::unique_ptr<sentencepiece::SentencePieceProcessor> processor_;
    bool add_bos_;
};

}  // namespace

std::unique_ptr<TokenizerBackend> loadSentencePiece(const std::string& bytes, std::string_view name,
                                                    bool add_bos) {
    auto processor = std::make_unique<sentencepiece::SentencePieceProcessor>();
    const auto status = processor->LoadFromSerializedProto(bytes);
    if (!status.ok()) {
        throw std::invalid_argument(std::string(name) + ": not a SentencePiece model (" +
                                    status.ToString() + ")");
    }
    return std::make_unique<SentencePieceBackend>(std::move(processor), add_bos);
}

}  // namespace Nuvexis::Core::Tarvel::detail
