#include "tarvel/tokenizer/tokenizer.hpp"

#include <cstdio>
#include <limits>
#include <stdexcept>

#include "tarvel/core/bytes.hpp"
#include "tarvel/format/files.hpp"
#include "tarvel/tokenizer/detail/sentencepiece_backend.hpp"
#include "tarvel/tokenizer/detail/tokenizer_backend.hpp"
#include "tarvel/tokenizer/detail/tokenizer_json_reader.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

// A tokenizer.model is a few megabytes at most; anything far larger is not one.
constexpr std::uint64_t max_tokenizer_bytes = 256u * 1024u * 1024u;

std::span<const std::uint8_t> asBytes(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

}  // namespace

std::string tokenizerIdentity(std::span<const std::uint8_t> bytes, std::string_view kind) {
    const std::uint64_t sum = checksum64(bytes.data(), bytes.size());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(sum));
    return std::string(kind) + ":" + hex;
}

Tokenizer::Tokenizer(std::unique_ptr<detail::TokenizerBackend> backend, std::string identity)
    : backend_(std::move(backend)), identity_(std::move(identity)) {}

Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

Tokenizer Tokenizer::fromFile(const std::filesystem::path& path, bool add_bos) {
    const std::vector<std::uint8_t> bytes =
        readRegularFile(path, max_tokenizer_bytes, "tokenizer file");
    return fromBytes(std::string(bytes.begin(), bytes.end()), path.string(), add_bos);
}

Tokenizer Tokenizer::fromBytes(std::string bytes, std::string_view name, bool add_bos) {
    auto backend = detail::loadSentencePiece(bytes, name, add_bos);
    std::string identity = tokenizerIdentity(asBytes(bytes), "sentencepiece");
    return Tokenizer(std::move(backend), std::move(identity));
}

Tokenizer Tokenizer::fromJson(std::string bytes, std::string_view name) {
    auto backend = detail::readTokenizerJson(bytes, name);
    std::string identity = tokenizerIdentity(asBytes(bytes), "tokenizer.json");
    return Tokenizer(std::move(backend), std::move(identity));
}

Tokenizer Tokenizer::fromJsonFile(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes =
        readRegularFile(path, max_tokenizer_bytes, "tokenizer file");
    return fromJson(std::string(bytes.begin(), bytes.end()), path.string());
}

std::string_view Tokenizer::kind() const noexcept {
    return backend_->kind();
}

bool Tokenizer::add_bos() const noexcept {
    return backend_->addsBos();
}

std::uint32_t Tokenizer::pieceCount() const {
    return backend_->pieceCount();
}

std::optional<std::uint32_t> Tokenizer::bos() const {
    return backend_->bos();
}

std::optional<std::uint32_t> Tokenizer::eos() const {
    return backend_->eos();
}

std::optional<std::uint32_t> Tokenizer::tokenId(std::string_view text) const {
    return backend_->tokenId(text);
}

std::vector<std::uint32_t> Tokenizer::encode(std::string_view text, bool with_special) const {
    return backend_->encode(text, with_special);
}

std::string Tokenizer::decode(std::span<const std::uint32_t> ids) const {
    return backend_->decode(ids);
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
