// Builds a tiny model, runs a prefill and a decode step through a KV session and checks the
// logits against a full forward pass over the same tokens. Prints one line and exits 0 when
// everything the installed library offers links and behaves.
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

Tensor filled(std::vector<std::uint64_t> shape, double seed, double shift = 0.0) {
    Tensor t(std::move(shape), 0.0, true);
    for (std::size_t i = 0; i < t.data.size(); ++i) {
        t.data[i] = shift + 0.17 * std::sin(seed + 0.37 * static_cast<double>(i));
    }
    return t;
}

}  // namespace

int main() {
    TransformerSpec spec;
    spec.vocabulary = 11;
    spec.context = 8;
    spec.layers = 1;
    spec.model_dim = 4;
    spec.ffn_dim = 6;
    spec.query_heads = 2;
    spec.kv_heads = 1;
    spec.head_dim = 2;
    spec.ports = {PortSpec{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                  PortSpec{"logits", PortDirection::output, PortKind::logits, 11, "logits/1"}};

    TransformerWeights weights;
    weights.token_embedding = filled({11, 4}, 0.0);
    LayerWeights layer;
    layer.attention_norm = filled({4}, 1.0, 1.0);
    layer.query = filled({4, 4}, 2.0);
    layer.key = filled({2, 4}, 3.0);
    layer.value = filled({2, 4}, 4.0);
    layer.attention_output = filled({4, 4}, 5.0);
    layer.ffn_norm = filled({4}, 6.0, 1.0);
    layer.ffn_gate = filled({6, 4}, 7.0);
    layer.ffn_up = filled({6, 4}, 8.0);
    layer.ffn_down = filled({4, 6}, 9.0);
    weights.layers.push_back(layer);
    weights.final_norm = filled({4}, 20.0, 1.0);

    auto model = std::make_shared<const TransformerModel>(spec, weights);
    TransformerKvSession session(model, 1);
    forwardCached(TokenBatch{1, 3, {1, 2, 3}, {}}, session, TransformerKvOptions{});
    const TransformerKvStep step =
        forwardCached(TokenBatch{1, 1, {4}, {}}, session, TransformerKvOptions{});

    const Tensor full =
        transformerForward(spec, model->weights(), TokenBatch{1, 4, {1, 2, 3, 4}, {}},
                           ForwardOptions{false, {}, true});
    for (std::uint64_t u = 0; u < spec.vocabulary; ++u) {
        if (at(step.logits, {0, 0, u}) != at(full, {0, 3, u})) {
            std::fprintf(stderr, "logit %llu differs from the full pass\n",
                         static_cast<unsigned long long>(u));
            return 1;
        }
    }
    if (kvStats(session).tokens != 4) {
        std::fprintf(stderr, "session does not hold 4 positions\n");
        return 1;
    }
    std::printf("tarvel consumer ok\n");
    return 0;
}
