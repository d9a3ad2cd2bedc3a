#include "tarvel/model/transformer_model.hpp"

#include <utility>

#include "tarvel/format/encoding.hpp"
#include "tarvel/model/detail/packed_weights.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/model/model_artifact.hpp"

namespace Nuvexis::Core::Tarvel {

TransformerModel::TransformerModel(TransformerSpec spec, TransformerWeights weights,
                                   std::optional<std::string> tokenizer_identity)
    : spec_(std::move(spec)),
      weights_(std::move(weights)),
      tokenizer_identity_(std::move(tokenizer_identity)) {
    packed_ = std::make_shared<const detail::PackedWeights>(detail::packWeights(weights_));
    const TokenBatch probe{1, 1, {0}, {}};
    (void)detail::packedForward(spec_, *packed_, probe, ForwardOptions{true, {}, true});
    artifact_bytes_ = buildModelArtifact(spec_, weights_, tokenizer_identity_);
    artifact_checksum_ = artifactGlobalChecksum(artifact_bytes_);
}

std::uint64_t TransformerModel::weight_bytes() const noexcept {
    return detail::packedWeightBytes(*packed_);
}

}  // namespace Nuvexis::Core::Tarvel
