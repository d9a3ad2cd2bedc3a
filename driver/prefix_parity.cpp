#include <utility>

#include "driver/expect.hpp"
#include "driver/fixture.hpp"
#include "driver/scenarios.hpp"

namespace Nuvexis::Core::Tarvel::Conformance {

namespace {
constexpr double parity_tolerance = 2e-6;
}

void expectChunkMatchesFull(const Tensor& chunk, const Tensor& full, std::uint64_t offset) {
    // Both are rank-3 logits; anything else is refused before its extents are read.
    expect(chunk.shape.size() == 3 && full.shape.size() == 3, "logit chunk extent mismatch");
    expect(chunk.shape[1] + offset <= full.shape[1], "logit chunk extent mismatch");
    for (std::uint64_t p = 0; p < chunk.shape[1]; ++p) {
        for (std::uint64_t v = 0; v < chunk.shape[2]; ++v) {
            expectNear(at(chunk, {0, p, v}), at(full, {0, offset + p, v}), parity_tolerance,
                       "cached logits differ from full recompute");
        }
    }
}

void prefixParity(bool groupedQuery) {
    const TransformerSpec spec = fixtureSpec(groupedQuery, 2);
    const auto model = fixtureModel(spec, groupedQuery ? 3.0 : 1.0);
    TransformerKvSession session(model, 1);
    const TransformerKvOptions options{false, 536870912, {}};
    const std::vector<std::uint32_t> sequence = {2, 7, 1, 9, 3, 4};

    for (std::uint64_t p = 1; p <= sequence.size(); ++p) {
        const TransformerKvStep step =
            forwardCached(fixtureBatch({sequence[p - 1]}), session, options);
        const std::vector<std::uint32_t> prefix(sequence.begin(),
                                                sequence.begin() + static_cast<std::ptrdiff_t>(p));
        const Tensor full = transformerForward(spec, model->weights(), fixtureBatch(prefix),
                                               ForwardOptions{false, {}, true});
        expectChunkMatchesFull(step.logits, full, p - 1);
        expect(session.position() == p, "session position did not advance");
    }

    const std::uint64_t per_token =
        std::uint64_t{spec.layers} * 2 * spec.kv_heads * spec.head_dim * 4;
    expect(kvBytesPerToken(spec) == per_token, "bytes/token formula is wrong");
    const TransformerKvStats stats = kvStats(session);
    expect(stats.used_bytes ==
               std::uint64_t{spec.layers} * 2 * spec.kv_heads * spec.head_dim * 6 * 4,
           "cache byte accounting is wrong");
}

}  // namespace Nuvexis::Core::Tarvel::Conformance
