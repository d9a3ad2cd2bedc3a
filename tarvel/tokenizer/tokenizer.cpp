#include "tarvel/tokenizer/tokenizer.hpp"

#include <sentencepiece_processor.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "tarvel/core/bytes.hpp"
#include "tarvel/format/files.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

// A tokenizer.model is a few megabytes at most; anything far larger is not one.
constexpr std::uint64_t max_tokenizer_bytes = 256u * 1024u * 1024u;

std::optional<std::uint32_t> knownId(int id, int count) {
    if (id < 0 || id >= count) return std::nullopt;
    return static_cast<std::uint32_t>(id);
}

}  // namespace

std::string tokenizerIdentity(std::span<const std::uint8_t> bytes) {
    const std::uint64_t sum = checksum64(bytes.data(), bytes.size());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(sum));
    return std::string("sentencepiece:") + hex;
}

Tokenizer::Tokenizer(std::unique_ptr<sentencepiece::SentencePieceProcessor> processor,
                     std::string identity, bool add_bos)
    : processor_(std::move(processor)), identity_(std::move(identity)), add_bos_(add_bos) {}

Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

Tokenizer Tokenizer::fromFile(const std::filesystem::path& path, bool add_bos) {
    const std::vector<std::uint8_t> bytes =
        readRegularFile(path, max_tokenizer_bytes, "tokenizer file");
    return fromBytes(std::string(bytes.begin(), bytes.end()), path.string(), add_bos);
}

Tokenizer Tokenizer::fromBytes(std::string bytes, std::string_view name, bool add_bos) {
    auto processor = std::make_unique<sentencepiece::SentencePieceProcessor>();
    const auto status = processor->LoadFromSerializedProto(bytes);
    if (!status.ok()) {
        throw std::invalid_argument(std::string(name) + ": not a SentencePiece model (" +
                                    status.ToString() + ")");
    }
    std::string identity = tokenizerIdentity(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return Tokenizer(std::move(processor), std::move(identity), add_bos);
}

std::uint32_t Tokenizer::pieceCount() const {
    return static_cast<std::uint32_t>(processor_->GetPieceSize());
}

std::optional<std::uint32_t> Tokenizer::bos() const {
    return knownId(processor_->bos_id(), processor_->GetPieceSize());
}

std::optional<std::uint32_t> Tokenizer::eos() const {
    return knownId(processor_->eos_id(), processor_->GetPieceSize());
}

std::vector<std::uint32_t> Tokenizer::encode(std::string_view text, bool with_bos) const {
    std::vector<int> pieces;
    const auto status = processor_->Encode(text, &pieces);
    if (!status.ok()) throw std::invalid_argument("tokenizer cannot encode the text");
    std::vector<std::uint32_t> ids;
    ids.reserve(pieces.size() + 1);
    if (with_bos && add_bos_ && bos()) ids.push_back(*bos());
    for (const int id : pieces) ids.push_back(static_cast<std::uint32_t>(id));
    return ids;
}

std::string Tokenizer::decode(std::span<const std::uint32_t> ids) const {
    std::vector<int> pieces;
    pieces.reserve(ids.size());
    for (const std::uint32_t id : ids) {
        if (id >= pieceCount()) throw std::out_of_range("token id exceeds tokenizer vocabulary");
        pieces.push_back(static_cast<int>(id));
    }
    std::string text;
    const auto status = processor_->Decode(pieces, &text);
    if (!status.ok()) throw std::invalid_argument("tokenizer cannot decode the ids");
    return text;
}

TextStream::TextStream(const Tokenizer& tokenizer, std::vector<std::uint32_t> context)
    : tokenizer_(tokenizer), ids_(std::move(context)), shown_(tokenizer.decode(ids_).size()) {}

std::string TextStream::push(std::uint32_t id) {
    ids_.push_back(id);
    const std::string text = tokenizer_.decode(ids_);
    // An incomplete UTF-8 sequence decodes to U+FFFD at the end; wait for its remaining bytes.
    static const std::string replacement = "\xEF\xBF\xBD";
    if (text.size() >= replacement.size() &&
        text.compare(text.size() - replacement.size(), replacement.size(), replacement) == 0) {
        return {};
    }
    if (text.size() <= shown_) return {};
    std::string fresh = text.substr(shown_);
    shown_ = text.size();
    return fresh;
}

std::string TextStream::finish() {
    const std::string text = tokenizer_.decode(ids_);
    if (text.size() <= shown_) return {};
    std::string rest = text.substr(shown_);
    shown_ = text.size();
    return rest;
}

}  // namespace Nuvexis::Core::Tarvel
