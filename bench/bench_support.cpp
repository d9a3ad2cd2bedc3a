#include "bench/bench_support.hpp"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <string>

#include "driver/fixture.hpp"

namespace tarvel_bench {

TransformerSpec benchSpec(std::uint32_t kv_heads, std::uint32_t context) {
    TransformerSpec spec = Conformance::fixtureSpec(false, 6);
    spec.vocabulary = 32000;
    spec.context = context;
    spec.model_dim = 288;
    spec.ffn_dim = 768;
    spec.query_heads = 6;
    spec.kv_heads = kv_heads;
    spec.head_dim = 48;
    spec.feed_forward = FeedForwardKind::swiglu;
    spec.tied_embeddings = true;
    spec.ports[1].width = spec.vocabulary;
    return spec;
}

std::shared_ptr<const TransformerModel> benchModel(std::uint32_t kv_heads, std::uint32_t context) {
    const TransformerSpec spec = benchSpec(kv_heads, context);
    return std::make_shared<const TransformerModel>(spec, Conformance::fixtureWeights(spec, 1.0),
                                                    std::optional<std::string>{});
}

namespace {

double roundWeight(double value, WeightRounding rounding) {
    const float narrow = static_cast<float>(value);
    if (rounding == WeightRounding::f32) return static_cast<double>(narrow);
    // The upper half of the float32 pattern, rounded to nearest with ties to even; the fixture
    // weights are small and finite, so no carry reaches the exponent's top.
    std::uint32_t bits = std::bit_cast<std::uint32_t>(narrow);
    bits += 0x7FFFu + ((bits >> 16) & 1u);
    return static_cast<double>(std::bit_cast<float>(bits & 0xFFFF0000u));
}

void roundTensor(Tensor& tensor, WeightRounding rounding) {
    for (double& value : tensor.data) value = roundWeight(value, rounding);
}

}  // namespace

std::shared_ptr<const TransformerModel> benchModelRounded(std::uint32_t kv_heads,
                                                          WeightRounding rounding) {
    const TransformerSpec spec = benchSpec(kv_heads);
    TransformerWeights weights = Conformance::fixtureWeights(spec, 1.0);
    roundTensor(weights.token_embedding, rounding);
    for (LayerWeights& l : weights.layers) {
        for (Tensor* t : {&l.attention_norm, &l.query, &l.key, &l.value, &l.attention_output,
                          &l.ffn_norm, &l.ffn_gate, &l.ffn_up, &l.ffn_down}) {
            roundTensor(*t, rounding);
        }
    }
    roundTensor(weights.final_norm, rounding);
    roundTensor(weights.output_embedding, rounding);
    return std::make_shared<const TransformerModel>(spec, std::move(weights),
                                                    std::optional<std::string>{});
}

std::uint64_t packedWeightBytes(const TransformerSpec& spec, WeightRounding rounding) {
    return (rounding == WeightRounding::f32 ? 4 : 2) * parameterCount(spec).value();
}

std::uint64_t weightBytes(const TransformerSpec& spec) {
    return 8 * parameterCount(spec).value();
}

std::uint64_t cacheBytes(const TransformerSpec& spec, std::uint64_t tokens) {
    return 8 * 2 * std::uint64_t{spec.layers} * spec.kv_heads * spec.head_dim * tokens;
}

std::vector<std::uint32_t> benchTokens(std::uint64_t count, std::uint32_t vocabulary) {
    std::vector<std::uint32_t> tokens;
    for (std::uint64_t t = 0; t < count; ++t) {
        tokens.push_back(static_cast<std::uint32_t>((t * 7919 + 13) % vocabulary));
    }
    return tokens;
}

double timeDecode(benchmark::State& state, const std::shared_ptr<const TransformerModel>& model,
                  const std::vector<std::uint32_t>& tokens, const TransformerKvOptions& options) {
    double seconds = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        TransformerKvSession session(model, 1);
        for (const std::uint32_t token : tokens) {
            const TransformerKvStep step =
                forwardCached(Conformance::fixtureBatch({token}), session, options);
            benchmark::DoNotOptimize(step.logits.data.data());
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return seconds;
}

void benchDecode(benchmark::State& state, std::shared_ptr<const TransformerModel> model,
                 std::uint64_t weight_bytes, const TransformerKvOptions& options) {
    constexpr std::uint64_t steps = 256;
    releaseFreedMemory();
    resetPeakRss();
    const TransformerSpec spec = model->spec();
    const double seconds = timeDecode(state, model, benchTokens(steps, spec.vocabulary), options);
    const std::uint64_t peak = peakRssBytes();
    model.reset();

    const auto bytes = static_cast<double>(weight_bytes);
    const double tokens_per_second =
        static_cast<double>(steps) * static_cast<double>(state.iterations()) / seconds;
    const double floor = readBandwidth(options.threads) / bytes;
    const double budget =
        1.15 * bytes + 2.0 * static_cast<double>(cacheBytes(spec, steps)) + 64.0 * 1024 * 1024;
    state.counters["threads"] = effectiveThreads(options.threads);
    state.counters["tokens/s"] = tokens_per_second;
    state.counters["floor_tokens/s"] = floor;
    state.counters["vs_floor"] = tokens_per_second / floor;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
    state.counters["rss_budget_MiB"] = budget / (1024.0 * 1024.0);
}

double readBandwidth(std::uint32_t threads) {
    return measureReadBandwidth(threads);
}

void releaseFreedMemory() {
    malloc_trim(0);
}

void resetPeakRss() {
    // Linux: writing 5 to clear_refs resets the high-water mark to the current resident set.
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::uint64_t peakRssBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

}  // namespace tarvel_bench
