#include "driver/fixture.hpp"

#include <cmath>
#include <utility>

namespace Nuvexis::Core::Tarvel::Conformance {

TransformerSpec fixtureSpec(bool groupedQuery, std::uint32_t layers) {
    TransformerSpec spec;
    spec.vocabulary = 11;
    spec.context = 8;
    spec.layers = layers;
    spec.model_dim = 4;
    spec.ffn_dim = 7;
    spec.query_heads = 2;
    spec.kv_heads = groupedQuery ? 1 : 2;
    spec.head_dim = 2;
    spec.position.rope_base = 10000.0;
    spec.precision.kv_cache = DType::f32;
    spec.tied_embeddings = true;
    spec.ports = {
        PortSpec{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
        PortSpec{"logits", PortDirection::output, PortKind::logits, 11, "logits/1"},
    };
    return spec;
}

Tensor fixtureTensor(std::vector<std::uint64_t> shape, double seed) {
    Tensor tensor(std::move(shape), 0.0, true);
    for (std::size_t i = 0; i < tensor.data.size(); ++i) {
        tensor.data[i] = 0.17 * std::sin(seed + 0.37 * static_cast<double>(i));
    }
    return tensor;
}

namespace {
Tensor fixtureNorm(std::uint64_t dim, double seed) {
    Tensor tensor = fixtureTensor({dim}, seed);
    for (double& value : tensor.data) value += 1.0;
    return tensor;
}
}  // namespace

TransformerWeights fixtureWeights(const TransformerSpec& spec, double seed) {
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    const std::uint64_t q = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t kv = std::uint64_t{spec.kv_heads} * spec.head_dim;
    TransformerWeights weights;
    weights.token_embedding = fixtureTensor({spec.vocabulary, d}, seed);
    for (std::uint32_t i = 0; i < spec.layers; ++i) {
        const double layer = static_cast<double>(i);
        LayerWeights w;
        w.attention_norm = fixtureNorm(d, layer + (seed + 1.0));
        w.query = fixtureTensor({q, d}, layer + (seed + 2.0));
        w.key = fixtureTensor({kv, d}, layer + (seed + 3.0));
        w.value = fixtureTensor({kv, d}, layer + (seed + 4.0));
        w.attention_output = fixtureTensor({d, q}, layer + (seed + 5.0));
        w.ffn_norm = fixtureNorm(d, layer + (seed + 6.0));
        w.ffn_gate = fixtureTensor({f, d}, layer + (seed + 7.0));
        w.ffn_up = fixtureTensor({f, d}, layer + (seed + 8.0));
        w.ffn_down = fixtureTensor({d, f}, layer + (seed + 9.0));
        weights.layers.push_back(std::move(w));
    }
    weights.final_norm = fixtureNorm(d, seed + 20.0);
    return weights;
}

std::shared_ptr<const TransformerModel> fixtureModel(const TransformerSpec& spec, double seed) {
    return std::make_shared<const TransformerModel>(spec, fixtureWeights(spec, seed),
                                                    std::optional<std::string>{});
}

TokenBatch fixtureBatch(std::vector<std::uint32_t> tokens) {
    const std::uint64_t width = tokens.size();
    return TokenBatch{1, width, std::move(tokens), {}};
}

}  // namespace Nuvexis::Core::Tarvel::Conformance
