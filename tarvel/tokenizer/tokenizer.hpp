#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel {

namespace detail {
class TokenizerBackend;
}

// A loaded tokenizer: a SentencePiece tokenizer.model, or a Hugging Face tokenizer.json whose
// model is BPE (byte-level as in Llama 3 and Qwen, or SentencePiece-style with byte fallback as
// in Gemma). Its identity is derived from the file's bytes, so a model bound to it (and every
// snapshot of that model's sessions) is bound to this exact file. Encoding and decoding change
// nothing, so one tokenizer may serve several threads at once.
class Tokenizer {
  public:
    // Loads tokenizer.model; add_bos says whether encode() starts with the BOS id. Throws
    // std::invalid_argument "<path>: <problem>" when the file cannot be read (readRegularFile's
    // problems, the file's role being "tokenizer file"; a folder, FIFO or device is refused
    // without waiting) or is not a SentencePiece model.
    static Tokenizer fromFile(const std::filesystem::path& path, bool add_bos);
    // The same from the file's bytes; name is used in messages only.
    static Tokenizer fromBytes(std::string bytes, std::string_view name, bool add_bos);
    // A tokenizer.json from its bytes. Special tokens are added as its post-processor adds
    // them, nothing else is read from other files. Throws std::invalid_argument
    // "<name>: <problem>" naming what in the file is malformed, too large or not supported
    // (e.g. "<name>: pre_tokenizer type Whitespace is not supported").
    static Tokenizer fromJson(std::string bytes, std::string_view name);
    // The same from a file: a regular file of at most 256 MiB. Throws std::invalid_argument
    // "<path>: <problem>".
    static Tokenizer fromJsonFile(const std::filesystem::path& path);

    Tokenizer(Tokenizer&&) noexcept;
    Tokenizer& operator=(Tokenizer&&) noexcept;
    ~Tokenizer();

    // "sentencepiece:" or "tokenizer.json:" followed by the 16 hex digits of checksum64 over
    // the file's bytes.
    const std::string& identity() const noexcept { return identity_; }
    // "sentencepiece" or "tokenizer.json".
    std::string_view kind() const noexcept;
    // Whether encode() with its special tokens starts with the BOS id.
    bool add_bos() const noexcept;
    // One more than the largest id that has a token.
    std::uint32_t pieceCount() const;
    // For a tokenizer.json, what its post-processor puts first (BOS) and last (EOS), if
    // anything: the file names no other.
    std::optional<std::uint32_t> bos() const;
    std::optional<std::uint32_t> eos() const;
    // The id of a token by its text (an added token's content, or a vocabulary piece as the
    // file spells it), if there is one.
    std::optional<std::uint32_t> tokenId(std::string_view text) const;

    // Text to ids. with_special adds what the tokenizer adds around a text: the BOS id when
    // add_bos is set (SentencePiece), what the post-processor adds (tokenizer.json); without
    // it, only the text's own ids (for text that holds them already, such as a rendered chat).
    // Added tokens written in the text (for example "<|im_start|>") become their ids. Bytes that
    // are not UTF-8 are read as U+FFFD.
    std::vector<std::uint32_t> encode(std::string_view text, bool with_special = true) const;
    // Ids to text; byte pieces are joined into UTF-8 (a sequence that is not UTF-8 gives U+FFFD),
    // control ids (BOS, EOS) and special added tokens give no text. Throws std::out_of_range
    // "token id exceeds tokenizer vocabulary" for an id from pieceCount() on.
    std::string decode(std::span<const std::uint32_t> ids) const;

  private:
    Tokenizer(std::unique_ptr<detail::TokenizerBackend> backend, std::string identity);

    std::unique_ptr<detail::TokenizerBackend> backend_;
    std::string identity_;
};

// The identity a tokenizer file of these bytes gets; kind is "sentencepiece" or
// "tokenizer.json".
std::string tokenizerIdentity(std::span<const std::uint8_t> bytes,
                              std::string_view kind = "sentencepiece");

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
