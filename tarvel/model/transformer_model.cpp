#include "tarvel/model/transformer_model.hpp"

#include <utility>

#include "tarvel/format/encoding.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/model/model_artifact.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

TransformerModel::TransformerModel(TransformerSpec spec, TransformerWeights weights,
                                   std::optional<std::string> tokenizer_identity)
    : spec_(std::move(spec)),
      weights_(std::move(weights)),
      tokenizer_identity_(std::move(tokenizer_identity)) {
    const TokenBatch probe{1, 1, {0}, {}};
    (void)transformerForward(spec_, weights_, probe, ForwardOptions{true, {}, true});
    artifact_bytes_ = buildModelArtifact(spec_, weights_, tokenizer_identity_);
    artifact_checksum_ = artifactGlobalChecksum(artifact_bytes_);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
