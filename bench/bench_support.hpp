#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tarvel/tarvel.hpp"

namespace tarvel_bench {

using namespace Nuvexis::Core::Tarvel;

// The benchmark model: 6 layers of width 288, 6 query heads of 48, feed-forward width 768,
// SwiGLU, 32000 tokens, context 256, tied embeddings, weights by the fixture rule.
// A context other than 256 gives the same model with a longer reach.
TransformerSpec benchSpec(std::uint32_t kv_heads, std::uint32_t context = 256);
std::shared_ptr<const TransformerModel> benchModel(std::uint32_t kv_heads,
                                                   std::uint32_t context = 256);

// The benchmark model with every weight rounded to the nearest float32 value, or further to the
// nearest bfloat16 value: the values a checkpoint stored in that type holds, each widened to
// double exactly.
enum class WeightRounding : std::uint8_t { f32, bf16 };
std::shared_ptr<const TransformerModel> benchModelRounded(std::uint32_t kv_heads,
                                                          WeightRounding rounding);
// Bytes of every weight of the spec packed in that type: 4 or 2 per weight.
std::uint64_t packedWeightBytes(const TransformerSpec& spec, WeightRounding rounding);

// Bytes of every weight of the spec as stored (doubles).
std::uint64_t weightBytes(const TransformerSpec& spec);
// Bytes of a cache of `tokens` positions as stored (doubles, keys and values of every layer).
std::uint64_t cacheBytes(const TransformerSpec& spec, std::uint64_t tokens);

// A fixed, spread-out token sequence.
std::vector<std::uint32_t> benchTokens(std::uint64_t count, std::uint32_t vocabulary);

// Steps `tokens` one at a time through a fresh session in every iteration of `state`; the
// wall-clock seconds of all iterations together.
double timeDecode(benchmark::State& state, const std::shared_ptr<const TransformerModel>& model,
                  const std::vector<std::uint32_t>& tokens, const TransformerKvOptions& options);

// 256 one-token steps from a fresh session of `model` in every iteration of `state`, with the
// peak resident set counted from the finished model on (the fixture builds a model from a whole
// set of double weights, which a checkpoint load never holds). Then, with the model released,
// the counters: threads, tokens/s, the floor (the read bandwidth of that many threads over
// `weight_bytes`, measured right after the steps), their ratio, the peak resident set and its
// budget, 1.15 × weight_bytes + 2 × the final cache bytes + 64 MiB.
void benchDecode(benchmark::State& state, std::shared_ptr<const TransformerModel> model,
                 std::uint64_t weight_bytes, const TransformerKvOptions& options);

// The read bandwidth of `threads` threads (0: all) in bytes per second, the best of a few passes
// over a 512 MiB buffer, far larger than the last-level cache; the buffer is released before
// returning. Weight bytes divided into it give the floor of a decode step at that thread count.
double readBandwidth(std::uint32_t threads);

// Returns the heap's freed pages to the system, so that a resident-set peak taken next counts
// what is held, not what was.
void releaseFreedMemory();

// The process' resident-set high-water mark, and a reset of it, so that one benchmark's peak is
// not another's.
void resetPeakRss();
std::uint64_t peakRssBytes();

}  // namespace tarvel_bench
