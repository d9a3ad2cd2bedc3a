#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/export.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// An immutable model. Construction proves it with one full forward pass over the token 0 (which
// validates the spec, every weight shape and the finiteness of what token 0 produces), then
// serialises it to the model artifact, whose global checksum is the model's identity. Share it
// as std::shared_ptr<const TransformerModel>.
class TransformerModel {
  public:
    TransformerModel(TransformerSpec spec, TransformerWeights weights,
                     std::optional<std::string> tokenizer_identity = std::nullopt);

    const TransformerSpec& spec() const noexcept { return spec_; }
    const TransformerWeights& weights() const noexcept { return weights_; }
    const std::optional<std::string>& tokenizer_identity() const noexcept {
        return tokenizer_identity_;
    }
    std::uint64_t artifact_checksum() const noexcept { return artifact_checksum_; }
    const std::vector<std::uint8_t>& artifact_bytes() const noexcept { return artifact_bytes_; }

  private:
    TransformerSpec spec_;
    TransformerWeights weights_;
    std::optional<std::string> tokenizer_identity_;
    std::uint64_t artifact_checksum_ = 0;
    std::vector<std::uint8_t> artifact_bytes_;
};

}  // namespace Tarvel
}  // namespace Nuvexis::Core
