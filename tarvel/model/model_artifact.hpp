#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/format/encoding.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/spec/transformer_spec.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

inline constexpr const char* model_artifact_magic = "TARVCTM1";

using NamedTensor = std::pair<std::string, std::reference_wrapper<const Tensor>>;

// Every weight tensor under its artifact name, in artifact order. Refers to the weights; copies
// no values. "output_embedding" is listed only when that tensor holds values.
std::vector<NamedTensor> modelArtifactTensors(const TransformerWeights& weights);

// The model's canonical bytes: fingerprint, tokenizer binding and every weight as float64.
ByteBuffer buildModelArtifact(const TransformerSpec& spec, const TransformerWeights& weights,
                              const std::optional<std::string>& tokenizer_identity);

}  // namespace Tarvel
}  // namespace Nuvexis::Core
