#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace detail {
struct PackedWeights;
}

// An immutable model. Construction stores each weight tensor in the narrowest type that holds
// all its values exactly (bfloat16, float16, float32, else double; every one widens to double
// exactly, so no result changes), proves the model with one full forward pass over the token 0
// (which validates the spec, every weight shape and the finiteness of what token 0 produces),
// then serialises it to the model artifact, whose global checksum is the model's identity.
// Share it as std::shared_ptr<const TransformerModel>.
class TransformerModel {
  public:
    TransformerModel(TransformerSpec spec, TransformerWeights weights,
                     std::optional<std::string> tokenizer_identity = std::nullopt);
    // From weights already packed, each tensor in a type that holds its values exactly: what a
    // loader builds straight from a checkpoint's bytes. The same checks in the same order.
    TransformerModel(TransformerSpec spec, detail::PackedWeights weights,
                     std::optional<std::string> tokenizer_identity);

    const TransformerSpec& spec() const noexcept { return spec_; }
    // The weights as double tensors, widened from the packed ones on the first call (once, also
    // when called from several threads) and kept from then on. Throws std::bad_alloc when they
    // do not fit; a later call tries again.
    const TransformerWeights& weights() const;
    const std::optional<std::string>& tokenizer_identity() const noexcept {
        return tokenizer_identity_;
    }
    std::uint64_t artifact_checksum() const noexcept { return artifact_checksum_; }
    // The model artifact, written on the first call (once, as weights()) and kept from then on;
    // its checksum is artifact_checksum(), computed at construction without it.
    const std::vector<std::uint8_t>& artifact_bytes() const;
    // Bytes of the weights as the model holds them, packed.
    std::uint64_t weight_bytes() const noexcept;
    // transformerForward over the model's own weights, read packed: the same checks, messages
    // and bits, without widening the weights to doubles.
    Tensor forward(const TokenBatch& tokens, const ForwardOptions& options = {}) const;
    // The packed weights the kernels read.
    const detail::PackedWeights& packed_weights() const noexcept { return *packed_; }

  private:
    struct Views;
    void prove();

    TransformerSpec spec_;
    std::shared_ptr<const detail::PackedWeights> packed_;
    std::optional<std::string> tokenizer_identity_;
    std::uint64_t artifact_checksum_ = 0;
    std::shared_ptr<Views> views_;  // produced on demand
};

}  // namespace Tarvel
}  // namespace Nuvexis::Core
