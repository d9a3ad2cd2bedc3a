#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sentencepiece {
class SentencePieceProcessor;
}

namespace Nuvexis::Core::Tarvel {

// A loaded SentencePiece tokenizer.model. Its identity is derived from the file's bytes, so a
// model bound to it (and every snapshot of that model's sessions) is bound to this exact file.
class Tokenizer {
  public:
    // Loads tokenizer.model; add_bos says whether encode() starts with the BOS id. Throws
    // std::invalid_argument "<path>: <problem>" when the file cannot be read (readRegularFile's
    // problems, the file's role being "tokenizer file"; a folder, FIFO or device is refused
    // without waiting) or is not a SentencePiece model.
    static Tokenizer fromFile(const std::filesystem::path& path, bool add_bos);
    // The same from the file's bytes; name is used in messages only.
    static Tokenizer fromBytes(std::string bytes, std::string_view name, bool add_bos);

    Tokenizer(Tokenizer&&) noexcept;
    Tokenizer& operator=(Tokenizer&&) noexcept;
    ~Tokenizer();

    // "sentencepiece:" followed by the 16 hex digits of checksum64 over the file's bytes.
    const std::string& identity() const noexcept { return identity_; }
    bool add_bos() const noexcept { return add_bos_; }
    std::uint32_t pieceCount() const;
    std::optional<std::uint32_t> bos() const;
    std::optional<std::uint32_t> eos() const;

    // Text to ids, with the BOS id first when add_bos is set and with_bos is true.
    std::vector<std::uint32_t> encode(std::string_view text, bool with_bos = true) const;
    // Ids to text; byte pieces are joined into UTF-8, control ids (BOS, EOS) give no text.
    // Throws std::out_of_range "token id exceeds tokenizer vocabulary" for an unknown id.
    std::string decode(std::span<const std::uint32_t> ids) const;

  private:
    Tokenizer(std::unique_ptr<sentencepiece::SentencePieceProcessor> processor,
              std::string identity, bool add_bos);

    std::unique_ptr<sentencepiece::SentencePieceProcessor> processor_;
    std::string identity_;
    bool add_bos_ = true;
};

// The identity a tokenizer file of these bytes gets.
std::string tokenizerIdentity(std::span<const std::uint8_t> bytes);

// Turns ids produced one at a time into text as it becomes complete: a character split over
// several byte pieces is held back until its last byte arrives. Each push decodes only a short
// window (the ids since the text last became complete, and the ones just before them for
// spacing), so a stream costs time linear in its length. A copy is an independent stream; push
// either completes or leaves the stream as it was.
class TextStream {
  public:
    // context: ids already shown (the prompt), so that spacing at the join is right.
    TextStream(const Tokenizer& tokenizer, std::span<const std::uint32_t> context);
    // The text that this id completes (possibly empty).
    std::string push(std::uint32_t id);
    // Whatever is still held back, at the end of the stream.
    std::string finish();

  private:
    const Tokenizer* tokenizer_;
    // Ids from the start of the window; those before read_ were shown in full already.
    std::vector<std::uint32_t> window_;
    std::size_t read_ = 0;
};

}  // namespace Nuvexis::Core::Tarvel
