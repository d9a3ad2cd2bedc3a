// The benchmark model with weights a checkpoint stored in float32 or bfloat16 would hold. The
// floor and the memory budget are those of the weights packed in that type, so these figures
// show how far the runtime is from what such a checkpoint allows.
#include <benchmark/benchmark.h>

#include <thread>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"

namespace tarvel_bench {
namespace {

constexpr std::uint64_t decode_steps = 256;

// The thread count an option of `threads` means here.
double threadsOf(std::uint32_t threads) {
    return threads != 0 ? threads : static_cast<double>(std::thread::hardware_concurrency());
}

WeightRounding roundingOf(std::int64_t bits) {
    return bits == 16 ? WeightRounding::bf16 : WeightRounding::f32;
}

// 256 one-token steps from a fresh session, on one thread or on all of them, with the rates,
// the floor of the packed bytes at that thread count measured right after the steps, and the
// peak resident set of the run (the model included) against its budget. The fixture makes the
// model from a whole set of double weights, which a checkpoint load never holds (it packs row
// by row), so the peak counts from the finished model on.
void decodeRounded(benchmark::State& state) {
    const auto kv_heads = static_cast<std::uint32_t>(state.range(0));
    const WeightRounding rounding = roundingOf(state.range(1));
    TransformerKvOptions options;
    options.double_precision = state.range(2) != 0;
    options.threads = static_cast<std::uint32_t>(state.range(3));

    auto model = benchModelRounded(kv_heads, rounding);
    releaseFreedMemory();
    resetPeakRss();
    const TransformerSpec spec = model->spec();
    const std::vector<std::uint32_t> tokens = benchTokens(decode_steps, spec.vocabulary);
    const double seconds = timeDecode(state, model, tokens, options);
    const std::uint64_t peak = peakRssBytes();
    model.reset();

    const auto packed = static_cast<double>(packedWeightBytes(spec, rounding));
    const double tokens_per_second =
        static_cast<double>(decode_steps) * static_cast<double>(state.iterations()) / seconds;
    const double floor = readBandwidth(options.threads) / packed;
    const double budget = 1.15 * packed +
                          2.0 * static_cast<double>(cacheBytes(spec, decode_steps)) +
                          64.0 * 1024 * 1024;
    state.counters["threads"] = threadsOf(options.threads);
    state.counters["tokens/s"] = tokens_per_second;
    state.counters["floor_tokens/s"] = floor;
    state.counters["vs_floor"] = tokens_per_second / floor;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
    state.counters["rss_budget_MiB"] = budget / (1024.0 * 1024.0);
}
BENCHMARK(decodeRounded)
    ->ArgNames({"kv", "bits", "dp", "threads"})
    ->ArgsProduct({{6, 2}, {32, 16}, {0}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One 64-token chunk into a fresh session, on one thread or on all of them.
void prefillRounded(benchmark::State& state) {
    const auto model =
        benchModelRounded(static_cast<std::uint32_t>(state.range(0)), roundingOf(state.range(1)));
    const TokenBatch chunk = Conformance::fixtureBatch(benchTokens(64, model->spec().vocabulary));
    TransformerKvOptions options;
    options.threads = static_cast<std::uint32_t>(state.range(2));
    for (auto _ : state) {
        TransformerKvSession session(model, 1);
        benchmark::DoNotOptimize(forwardCached(chunk, session, options).logits.data.data());
    }
    state.counters["threads"] = threadsOf(options.threads);
    state.counters["tokens/s"] = benchmark::Counter(64.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(prefillRounded)
    ->ArgNames({"kv", "bits", "threads"})
    ->ArgsProduct({{6}, {32, 16}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
