#pragma once

#include <memory>
#include <vector>

#include "driver/fixture.hpp"
#include "tarvel/tarvel.hpp"

namespace tarvel_test {

using namespace Nuvexis::Core::Tarvel;
using Nuvexis::Core::Tarvel::Conformance::fixtureBatch;
using Nuvexis::Core::Tarvel::Conformance::fixtureModel;
using Nuvexis::Core::Tarvel::Conformance::fixtureSpec;
using Nuvexis::Core::Tarvel::Conformance::fixtureWeights;

inline const ArtifactLimits generous_limits{1073741824, 16777216, 536870912, 100000,
                                            8,          1048576,  1048576,   536870912};

// A small model of any shape, weights by the fixture rule.
inline TransformerSpec smallSpec(std::uint32_t layers, std::uint32_t query_heads,
                                 std::uint32_t kv_heads, std::uint32_t head_dim,
                                 FeedForwardKind kind, bool tied, std::uint32_t context = 8,
                                 std::uint32_t vocabulary = 11) {
    TransformerSpec spec = fixtureSpec(false, layers);
    spec.vocabulary = vocabulary;
    spec.context = context;
    spec.query_heads = query_heads;
    spec.kv_heads = kv_heads;
    spec.head_dim = head_dim;
    spec.model_dim = query_heads * head_dim;
    spec.ffn_dim = 5;
    spec.feed_forward = kind;
    spec.tied_embeddings = tied;
    spec.ports[1].width = vocabulary;
    return spec;
}

inline std::shared_ptr<const TransformerModel> makeModel(
    const TransformerSpec& spec, double seed,
    std::optional<std::string> tokenizer = std::nullopt) {
    TransformerWeights weights = fixtureWeights(spec, seed);
    if (!spec.tied_embeddings) {
        weights.output_embedding =
            Nuvexis::Core::Tarvel::Conformance::fixtureTensor({spec.vocabulary, spec.model_dim},
                                                              seed + 40.0);
    }
    return std::make_shared<const TransformerModel>(spec, std::move(weights),
                                                    std::move(tokenizer));
}

}  // namespace tarvel_test
