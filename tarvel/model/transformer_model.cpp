#include "tarvel/model/transformer_model.hpp"

#include <mutex>
#include <utility>

#include "tarvel/format/encoding.hpp"
#include "tarvel/model/detail/packed_weights.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/model/model_artifact.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// What a caller may ask for besides the packed weights; made once, on the first request. A
// producer that throws leaves its flag unset, so the next request tries again.
struct TransformerModel::Views {
    std::once_flag weights_once;
    TransformerWeights weights;
    std::once_flag bytes_once;
    std::vector<std::uint8_t> bytes;
};

TransformerModel::TransformerModel(TransformerSpec spec, TransformerWeights weights,
                                   std::optional<std::string> tokenizer_identity)
    : spec_(std::move(spec)), tokenizer_identity_(std::move(tokenizer_identity)) {
    {
        // The double tensors go as soon as they are packed.
        const TransformerWeights plain = std::move(weights);
        packed_ = std::make_shared<const detail::PackedWeights>(detail::packWeights(plain));
    }
    prove();
}

TransformerModel::TransformerModel(TransformerSpec spec, detail::PackedWeights weights,
                                   std::optional<std::string> tokenizer_identity)
    : spec_(std::move(spec)),
      packed_(std::make_shared<const detail::PackedWeights>(std::move(weights))),
      tokenizer_identity_(std::move(tokenizer_identity)) {
    prove();
}

void TransformerModel::prove() {
    const TokenBatch probe{1, 1, {0}, {}};
    (void)detail::packedForward(spec_, *packed_, probe, ForwardOptions{true, {}, true});
    artifact_checksum_ = detail::packedArtifactChecksum(spec_, *packed_, tokenizer_identity_);
    views_ = std::make_shared<Views>();
}

Tensor TransformerModel::forward(const TokenBatch& tokens, const ForwardOptions& options) const {
    return detail::packedForward(spec_, *packed_, tokens, options);
}

const TransformerWeights& TransformerModel::weights() const {
    std::call_once(views_->weights_once,
                   [&] { views_->weights = detail::unpackWeights(*packed_); });
    return views_->weights;
}

const std::vector<std::uint8_t>& TransformerModel::artifact_bytes() const {
    std::call_once(views_->bytes_once, [&] {
        views_->bytes = detail::buildPackedArtifact(spec_, *packed_, tokenizer_identity_);
    });
    return views_->bytes;
}

std::uint64_t TransformerModel::weight_bytes() const noexcept {
    return detail::packedWeightBytes(*packed_);
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
