// The benchmark model with weights a checkpoint stored in float32 or bfloat16 would hold. The
// floor and the memory budget are those of the weights packed in that type, so these figures
// show how far the runtime is from what such a checkpoint allows.
#include <benchmark/benchmark.h>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"

namespace tarvel_bench {
namespace {

WeightRounding roundingOf(std::int64_t bits) {
    return bits == 16 ? WeightRounding::bf16 : WeightRounding::f32;
}

// 256 one-token steps from a fresh session, on one thread or on all of them, against the floor
// and the memory budget of the packed weight bytes.
void decodeRounded(benchmark::State& state) {
    const auto kv_heads = static_cast<std::uint32_t>(state.range(0));
    const WeightRounding rounding = roundingOf(state.range(1));
    TransformerKvOptions options;
    options.double_precision = state.range(2) != 0;
    options.threads = static_cast<std::uint32_t>(state.range(3));
    auto model = benchModelRounded(kv_heads, rounding);
    const std::uint64_t bytes = packedWeightBytes(model->spec(), rounding);
    benchDecode(state, std::move(model), bytes, options);
}
BENCHMARK(decodeRounded)
    ->ArgNames({"kv", "bits", "dp", "threads"})
    ->ArgsProduct({{6, 2}, {32, 16}, {0}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One 64-token chunk into a fresh session, on one thread or on all of them, returning the
// logits of every position (last:0) or, as a prompt ahead of generation needs, of the last
// (last:1).
void prefillRounded(benchmark::State& state) {
    const auto model =
        benchModelRounded(static_cast<std::uint32_t>(state.range(0)), roundingOf(state.range(1)));
    const TokenBatch chunk = Conformance::fixtureBatch(benchTokens(64, model->spec().vocabulary));
    TransformerKvOptions options;
    options.threads = static_cast<std::uint32_t>(state.range(2));
    options.logits = state.range(3) != 0 ? TransformerKvLogits::last_position
                                         : TransformerKvLogits::every_position;
    for (auto _ : state) {
        TransformerKvSession session(model, 1);
        benchmark::DoNotOptimize(forwardCached(chunk, session, options).logits.data.data());
    }
    state.counters["threads"] = effectiveThreads(options.threads);
    state.counters["tokens/s"] = benchmark::Counter(64.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(prefillRounded)
    ->ArgNames({"kv", "bits", "threads", "last"})
    ->ArgsProduct({{6}, {32, 16}, {1, 0}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
