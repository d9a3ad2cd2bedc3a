#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"

namespace tarvel_bench {
namespace {

constexpr std::uint64_t decode_steps = 256;

// 256 one-token steps from a fresh session. Beside tokens per second it reports the floor, the
// rate at which one thread could merely read every weight once per token, measured on this
// machine right after the steps, and the peak resident set of the run including the model.
void decode(benchmark::State& state) {
    const auto kv_heads = static_cast<std::uint32_t>(state.range(0));
    TransformerKvOptions options;
    options.double_precision = state.range(1) != 0;

    resetPeakRss();
    auto model = benchModel(kv_heads);
    const TransformerSpec spec = model->spec();
    const std::vector<std::uint32_t> tokens = benchTokens(decode_steps, spec.vocabulary);
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
    const std::uint64_t peak = peakRssBytes();
    model.reset();

    const double tokens_per_second =
        static_cast<double>(decode_steps) * static_cast<double>(state.iterations()) / seconds;
    const double floor = readBandwidth() / static_cast<double>(weightBytes(spec));
    const double budget = 2.2 * static_cast<double>(weightBytes(spec)) +
                          2.0 * static_cast<double>(cacheBytes(spec, decode_steps)) +
                          64.0 * 1024 * 1024;
    state.counters["tokens/s"] = tokens_per_second;
    state.counters["floor_tokens/s"] = floor;
    state.counters["vs_floor"] = tokens_per_second / floor;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
    state.counters["rss_budget_MiB"] = budget / (1024.0 * 1024.0);
}
BENCHMARK(decode)
    ->ArgNames({"kv", "dp"})
    ->Args({6, 0})
    ->Args({6, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One 64-token chunk into a fresh session.
void prefill(benchmark::State& state) {
    const auto model = benchModel(static_cast<std::uint32_t>(state.range(0)));
    const TokenBatch chunk = Conformance::fixtureBatch(benchTokens(64, model->spec().vocabulary));
    const TransformerKvOptions options;
    for (auto _ : state) {
        TransformerKvSession session(model, 1);
        benchmark::DoNotOptimize(forwardCached(chunk, session, options).logits.data.data());
    }
    state.counters["tokens/s"] = benchmark::Counter(64.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(prefill)->ArgName("kv")->Arg(6)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// One decode step at position 255, the last one the context allows: the session is prefilled
// with 255 tokens once, and each iteration steps a fresh fork of it (the fork is not timed).
void decodeAt255(benchmark::State& state) {
    const auto model = benchModel(static_cast<std::uint32_t>(state.range(0)));
    const std::vector<std::uint32_t> tokens = benchTokens(256, model->spec().vocabulary);
    TransformerKvSession prefilled(model, 1);
    (void)forwardCached(
        Conformance::fixtureBatch(std::vector<std::uint32_t>(tokens.begin(), tokens.end() - 1)),
        prefilled, TransformerKvOptions{});
    const TokenBatch last = Conformance::fixtureBatch({tokens.back()});
    for (auto _ : state) {
        state.PauseTiming();
        TransformerKvSession session = prefilled;
        state.ResumeTiming();
        benchmark::DoNotOptimize(
            forwardCached(last, session, TransformerKvOptions{}).logits.data.data());
    }
}
BENCHMARK(decodeAt255)->ArgName("kv")->Arg(6)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor's own figure: single-thread read bandwidth over a buffer far beyond the caches.
void readFloor(benchmark::State& state) {
    double bandwidth = 0.0;
    for (auto _ : state) bandwidth = readBandwidth();
    const TransformerSpec spec = benchSpec(6);
    state.counters["GB/s"] = bandwidth / 1e9;
    state.counters["floor_tokens/s"] = bandwidth / static_cast<double>(weightBytes(spec));
    state.counters["floor_tokens/s_kv2"] =
        bandwidth / static_cast<double>(weightBytes(benchSpec(2)));
}
BENCHMARK(readFloor)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
