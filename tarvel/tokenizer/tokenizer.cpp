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

namespace {

// How many ids of the context open the first window: enough for the spacing at the join.
constexpr std::size_t context_window = 8;

bool endsIncomplete(const std::string& text) {
    // An incomplete UTF-8 sequence decodes to U+FFFD at the end; its remaining bytes may follow.
    static const std::string replacement = "\xEF\xBF\xBD";
    return text.size() >= replacement.size() &&
           text.compare(text.size() - replacement.size(), replacement.size(), replacement) == 0;
}

// The part of `text` past what `shown` already gave. `shown` is normally a prefix of it; where
// later bytes completed a character that `shown` ended with, the text resumes at that character.
std::string unseen(const std::string& shown, const std::string& text) {
    std::size_t common = 0;
    while (common < shown.size() && common < text.size() && shown[common] == text[common]) ++common;
    return text.substr(common);
}

}  // namespace

TextStream::TextStream(const Tokenizer& tokenizer, std::span<const std::uint32_t> context)
    : tokenizer_(&tokenizer),
      window_(context.size() > context_window ? context.end() - context_window : context.begin(),
              context.end()),
      read_(window_.size()) {
    // An unknown id in the window is refused now rather than at the first push.
    (void)tokenizer.decode(window_);
}

std::string TextStream::push(std::uint32_t id) {
    std::vector<std::uint32_t> window;
    window.reserve(window_.size() + 1);
    window.assign(window_.begin(), window_.end());
    window.push_back(id);
    const std::string before =
        tokenizer_->decode(std::span<const std::uint32_t>(window).first(read_));
    const std::string text = tokenizer_->decode(window);
    if (text.size() <= before.size() || endsIncomplete(text)) {
        window_ = std::move(window);
        return {};
    }
    std::string fresh = unseen(before, text);
    // What was shown up to here opens the next window, for the spacing of what follows.
    window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(read_));
    read_ = window.size();
    window_ = std::move(window);
    return fresh;
}

std::string TextStream::finish() {
    const std::string before =
        tokenizer_->decode(std::span<const std::uint32_t>(window_).first(read_));
    const std::string text = tokenizer_->decode(window_);
    if (text.size() <= before.size()) return {};
    std::string rest = unseen(before, text);
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(read_));
    read_ = window_.size();
    return rest;
}

}  // namespace Nuvexis::Core::Tarvel
