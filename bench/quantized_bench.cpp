// One-row projections, the shape of a decode step, of 2048 inputs to 768 outputs, over weights
// kept in Q8_0, Q4_K and Q6_K blocks beside the same shape in float32 and bfloat16: what reading
// the blocks and widening each value exactly costs against streaming plain narrow values.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "bench/bench_support.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/core/detail/parallel.hpp"
#include "tarvel/ops/detail/packed_ops.hpp"
#include "tests/support/quantized_blocks.hpp"

namespace tarvel_bench {
namespace {

namespace detail = Nuvexis::Core::Tarvel::detail;

constexpr std::uint64_t in_dim = 2048;
constexpr std::uint64_t out_dim = 768;

// type: 0 float32, 1 bfloat16, 2 Q8_0, 3 Q4_K, 4 Q6_K.
detail::PackedTensor weightOf(std::int64_t type) {
    if (type >= 2) {
        tarvel_test::BlockFiller filler(1);
        const detail::BlockFormat format = type == 2   ? detail::BlockFormat::q8_0
                                           : type == 3 ? detail::BlockFormat::q4_k
                                                       : detail::BlockFormat::q6_k;
        return filler.tensor(format, out_dim, in_dim, true);
    }
    Tensor w({out_dim, in_dim}, 0.0, true);
    for (std::size_t e = 0; e < w.data.size(); ++e) {
        const float x = static_cast<float>(std::sin(0.37 * static_cast<double>(e)) * 0.05);
        std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
        if (type == 1) bits &= 0xFFFF0000u;  // a bfloat16 value
        w.data[e] = static_cast<double>(std::bit_cast<float>(bits));
    }
    return detail::packTensor(w);
}

void projectRow(benchmark::State& state) {
    const detail::PackedTensor weight = weightOf(state.range(0));
    const auto threads = static_cast<std::uint32_t>(state.range(1));
    Tensor input({1, in_dim}, 0.0, false);
    for (std::size_t i = 0; i < input.data.size(); ++i) {
        input.data[i] = std::cos(0.11 * static_cast<double>(i));
    }
    for (auto _ : state) {
        Tensor out;
        detail::runWithThreads(
            threads, [&] { out = detail::linear(input, weight, 1, in_dim, out_dim, false); });
        benchmark::DoNotOptimize(out.data.data());
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.SetLabel(
        weight.type() == detail::PackedType::quantized
            ? detail::blockFormatName(std::get<detail::QuantizedBlocks>(weight.values).format)
            : (weight.type() == detail::PackedType::f32 ? "F32" : "BF16"));
    state.counters["threads"] = effectiveThreads(threads);
    state.counters["weight_bytes"] = static_cast<double>(weight.bytes());
    state.counters["weight_GB/s"] = benchmark::Counter(
        static_cast<double>(weight.bytes()) * iterations * 1e-9, benchmark::Counter::kIsRate);
    state.counters["Gvalues/s"] = benchmark::Counter(
        static_cast<double>(in_dim * out_dim) * iterations * 1e-9, benchmark::Counter::kIsRate);
}
BENCHMARK(projectRow)
    ->ArgNames({"type", "threads"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {1, 0}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarvel_bench
