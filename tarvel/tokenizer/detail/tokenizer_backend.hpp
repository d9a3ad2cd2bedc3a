#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail {

// What a Tokenizer does, whichever kind of file it was loaded from.
class TokenizerBackend {
  public:
    virtual ~TokenizerBackend() = default;

    virtual std::string_view kind() const noexcept = 0;
    virtual std::uint32_t pieceCount() const = 0;
    virtual std::optional<std::uint32_t> bos() const = 0;
    virtual std::optional<std::uint32_t> eos() const = 0;
    // Whether encode() with its special tokens puts one in front of the text.
    virtual bool addsBos() const = 0;
    virtual std::vector<std::uint32_t> encode(std::string_view text, bool with_special) const = 0;
    virtual std::string decode(std::span<const std::uint32_t> ids) const = 0;
    virtual std::optional<std::uint32_t> tokenId(std::string_view text) const = 0;
};

}  // namespace Nuvexis::Core::Tarvel::detail
