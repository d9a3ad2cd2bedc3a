#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace Nuvexis::Core::Tarvel::Conformance {

// The tiny model every scenario runs against: vocabulary 11, context 8, model_dim 4, ffn_dim 7,
// two query heads of width 2, and 2 KV heads (or 1 for grouped-query attention).
TransformerSpec fixtureSpec(bool groupedQuery, std::uint32_t layers);

// element i = 0.17 * sin(seed + 0.37 * i), in row-major order, double precision.
Tensor fixtureTensor(std::vector<std::uint64_t> shape, double seed);

// Every weight by the fixture rule; field k of layer i draws seed i + (seed + k); the norms
// are shifted by 1.0; embeddings are tied.
TransformerWeights fixtureWeights(const TransformerSpec& spec, double seed);

std::shared_ptr<const TransformerModel> fixtureModel(const TransformerSpec& spec, double seed);

// The one form of batch the driver passes: one sequence, no lengths.
TokenBatch fixtureBatch(std::vector<std::uint32_t> tokens);

}  // namespace Nuvexis::Core::Tarvel::Conformance
