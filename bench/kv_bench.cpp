#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"

namespace tarvel_bench {
namespace {

// 256 one-token steps from a fresh session, default options (every thread), against the floor
// of the weights as held (doubles: the fixture's values need them) and the memory budget.
void decode(benchmark::State& state) {
    const auto kv_heads = static_cast<std::uint32_t>(state.range(0));
    TransformerKvOptions options;
    options.double_precision = state.range(1) != 0;
    auto model = benchModel(kv_heads);
    const std::uint64_t bytes = weightBytes(model->spec());
    benchDecode(state, std::move(model), bytes, options);
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

// One decode step at the last position the context allows (255 of 256, or 2047 of 2048). The
// session is prefilled once to two short of the context; each iteration forks it and steps the
// fork once before the timed step (neither is timed), so that the timed step meets the storage
// a session decoding along would have. At 2047 the step's attention reads eight times the cache
// it reads at 255; whatever else the step does with the cache shows beyond that.
void decodeAtEnd(benchmark::State& state) {
    const auto context = static_cast<std::uint32_t>(state.range(1));
    const auto model = benchModel(static_cast<std::uint32_t>(state.range(0)), context);
    const std::vector<std::uint32_t> tokens = benchTokens(context, model->spec().vocabulary);
    TransformerKvSession prefilled(model, 1);
    // Prefilled in chunks of 256, as a long prompt would be fed.
    for (std::size_t begin = 0; begin + 2 < tokens.size(); begin += 256) {
        const std::size_t end = std::min(begin + 256, tokens.size() - 2);
        (void)forwardCached(Conformance::fixtureBatch(std::vector<std::uint32_t>(
                                tokens.begin() + static_cast<std::ptrdiff_t>(begin),
                                tokens.begin() + static_cast<std::ptrdiff_t>(end))),
                            prefilled, TransformerKvOptions{});
    }
    const TokenBatch before_last = Conformance::fixtureBatch({tokens[tokens.size() - 2]});
    const TokenBatch last = Conformance::fixtureBatch({tokens.back()});
    for (auto _ : state) {
        state.PauseTiming();
        TransformerKvSession session = prefilled;
        (void)forwardCached(before_last, session, TransformerKvOptions{});
        state.ResumeTiming();
        benchmark::DoNotOptimize(
            forwardCached(last, session, TransformerKvOptions{}).logits.data.data());
    }
    state.counters["position"] = static_cast<double>(context - 1);
}
BENCHMARK(decodeAtEnd)
    ->ArgNames({"kv", "context"})
    ->Args({6, 256})
    ->Args({2, 256})
    ->Args({6, 2048})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor's own figure: the read bandwidth of one thread and of all threads over a buffer far
// beyond the caches.
void readFloor(benchmark::State& state) {
    double bandwidth = 0.0;
    for (auto _ : state) bandwidth = readBandwidth(static_cast<std::uint32_t>(state.range(0)));
    const TransformerSpec spec = benchSpec(6);
    state.counters["GB/s"] = bandwidth / 1e9;
    state.counters["floor_tokens/s"] = bandwidth / static_cast<double>(weightBytes(spec));
    state.counters["floor_tokens/s_kv2"] =
        bandwidth / static_cast<double>(weightBytes(benchSpec(2)));
}
BENCHMARK(readFloor)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
