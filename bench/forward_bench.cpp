#include <benchmark/benchmark.h>

#include <cstdint>

#include "tarvel/tarvel.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

// Deterministic weights in [-scale, scale): the values only need to keep activations finite.
struct Filler {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;

    Tensor make(std::vector<std::uint64_t> shape, double scale) {
        Tensor t(std::move(shape), 0.0, true);
        for (double& x : t.data) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const double unit = static_cast<double>(state >> 11) * 0x1.0p-53;
            x = (2.0 * unit - 1.0) * scale;
        }
        return t;
    }
};

// A small llama-shaped model: 6 layers of width 288, 6 heads of 48, 32000 tokens.
struct SmallModel {
    TransformerSpec spec;
    TransformerWeights weights;

    SmallModel() {
        spec.vocabulary = 32000;
        spec.context = 256;
        spec.layers = 6;
        spec.model_dim = 288;
        spec.ffn_dim = 768;
        spec.query_heads = 6;
        spec.kv_heads = 6;
        spec.head_dim = 48;
        spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, ""},
                      {"logits", PortDirection::output, PortKind::logits, 32000, ""}};
        const std::uint64_t d = 288, f = 768, v = 32000;
        Filler fill;
        weights.token_embedding = fill.make({v, d}, 0.1);
        for (int l = 0; l < 6; ++l) {
            LayerWeights w;
            w.attention_norm = fill.make({d}, 1.0);
            w.query = fill.make({d, d}, 0.05);
            w.key = fill.make({d, d}, 0.05);
            w.value = fill.make({d, d}, 0.05);
            w.attention_output = fill.make({d, d}, 0.05);
            w.ffn_norm = fill.make({d}, 1.0);
            w.ffn_gate = fill.make({f, d}, 0.05);
            w.ffn_up = fill.make({f, d}, 0.05);
            w.ffn_down = fill.make({d, f}, 0.05);
            weights.layers.push_back(std::move(w));
        }
        weights.final_norm = fill.make({d}, 1.0);
    }
};

void fullForward64Tokens(benchmark::State& state) {
    static const SmallModel model;
    TokenBatch batch{1, 64, {}, {}};
    for (std::uint32_t t = 0; t < 64; ++t) batch.tokens.push_back((t * 7919u) % 32000u);
    const ForwardOptions options{state.range(0) != 0, {}, true};
    for (auto _ : state) {
        benchmark::DoNotOptimize(transformerForward(model.spec, model.weights, batch, options));
    }
}
BENCHMARK(fullForward64Tokens)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
