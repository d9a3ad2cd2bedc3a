#include <benchmark/benchmark.h>

#include "bench/bench_support.hpp"
#include "driver/fixture.hpp"

namespace tarvel_bench {
namespace {

// The full forward pass over one 64-token sequence, in both precisions.
void fullForward(benchmark::State& state) {
    const bool dp = state.range(0) != 0;
    const auto model = benchModel(6);
    const TokenBatch batch = Conformance::fixtureBatch(benchTokens(64, model->spec().vocabulary));
    const ForwardOptions options{dp, {}, true};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            transformerForward(model->spec(), model->weights(), batch, options));
    }
    state.counters["tokens/s"] = benchmark::Counter(64.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(fullForward)->ArgName("dp")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
