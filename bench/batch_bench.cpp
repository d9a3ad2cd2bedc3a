#include <benchmark/benchmark.h>

#include <deque>
#include <vector>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"

namespace tarvel_bench {
namespace {

// Aggregate decode rate of `sessions` sessions stepped together through forwardCachedBatch, one
// token each per step, every thread: each iteration forks sessions prefilled with 32 tokens
// each (not timed) and takes 32 batched steps. With one session it is the single-session rate
// through the same call; the ratio is what batching gains on the same cores.
void batchedDecode(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto model = benchModelRounded(2, static_cast<WeightRounding>(state.range(1)));
    const std::uint32_t vocabulary = model->spec().vocabulary;
    TransformerKvOptions options;
    options.logits = TransformerKvLogits::last_position;
    std::deque<TransformerKvSession> prefilled;
    for (std::size_t i = 0; i < count; ++i) {
        prefilled.emplace_back(model, 1);
        std::vector<std::uint32_t> prompt = benchTokens(32 + i, vocabulary);
        prompt.erase(prompt.begin(), prompt.begin() + static_cast<std::ptrdiff_t>(i));
        (void)forwardCached(Conformance::fixtureBatch(prompt), prefilled.back(), options);
    }
    constexpr std::uint64_t steps = 32;
    std::uint64_t tokens = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::deque<TransformerKvSession> sessions(prefilled.begin(), prefilled.end());
        state.ResumeTiming();
        for (std::uint64_t s = 0; s < steps; ++s) {
            std::vector<TransformerKvBatchItem> items;
            for (std::size_t i = 0; i < count; ++i) {
                items.push_back({&sessions[i], singleSequence({static_cast<std::uint32_t>(
                                                   (s * 7919 + i * 131) % vocabulary)})});
            }
            benchmark::DoNotOptimize(forwardCachedBatch(items, options).data());
        }
        tokens += steps * count;
    }
    state.counters["tokens/s"] =
        benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
}
BENCHMARK(batchedDecode)
    ->ArgNames({"sessions", "bf16"})
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({1, 1})
    ->Args({8, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
