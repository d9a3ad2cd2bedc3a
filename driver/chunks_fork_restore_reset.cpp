#include "driver/expect.hpp"
#include "driver/fixture.hpp"
#include "driver/scenarios.hpp"

namespace Nuvexis::Core::Tarvel::Conformance {

namespace {
// A service's limits for snapshots it reads back.
const ArtifactLimits restore_limits{1073741824, 16777216, 536870912, 100000,
                                    8,          1048576,  1048576,   536870912};

void expectSameValues(const Tensor& x, const Tensor& y, const char* message) {
    // Never read past the second result; unequal counts are a failure of their own.
    expect(x.data.size() == y.data.size(), message);
    for (std::size_t i = 0; i < x.data.size(); ++i) expectNear(x.data[i], y.data[i], 0.0, message);
}
}  // namespace

void chunksForkRestoreAndReset() {
    const TransformerSpec spec = fixtureSpec(true, 3);
    const auto model = fixtureModel(spec, 5.0);
    TransformerKvSession s1(model, 1);
    std::uint64_t counter = 0;
    TransformerKvOptions options;
    options.double_precision = true;
    options.max_cache_bytes = 536870912;
    options.observer = [&counter](const TransformerKvStats& stats) {
        ++counter;
        expect(stats.utilization == 1.0, "cache observer utilization is wrong");
    };

    const TransformerKvStep prefill = forwardCached(fixtureBatch({1, 2, 3}), s1, options);
    const TransformerKvStep decode = forwardCached(fixtureBatch({4, 5}), s1, options);
    const Tensor full = transformerForward(spec, model->weights(), fixtureBatch({1, 2, 3, 4, 5}),
                                           ForwardOptions{true, {}, true});
    expectChunkMatchesFull(prefill.logits, full, 0);
    expectChunkMatchesFull(decode.logits, full, 3);
    expect(counter == 2, "cache observer was not called once per commit");

    const std::vector<std::uint8_t> snapshot = saveSnapshot(s1);
    TransformerKvSession s2(model, 1);
    restoreSnapshot(s2, snapshot, restore_limits);

    TransformerKvSession f1 = s2;
    TransformerKvSession f2 = s2;
    const TransformerKvStep r1 = forwardCached(fixtureBatch({6}), f1, options);
    const TransformerKvStep r2 = forwardCached(fixtureBatch({6}), f2, options);
    expect(r1.logits.data.size() == r2.logits.data.size(), "fork result shape differs");
    for (std::size_t i = 0; i < r1.logits.data.size(); ++i) {
        expectNear(r1.logits.data[i], r2.logits.data[i], 0.0, "forked caches diverged");
    }
    expect(saveSnapshot(s2) == snapshot, "fork mutated source cache");

    s2.reset(1);
    const TransformerKvStep x = forwardCached(fixtureBatch({7}), s2, options);
    TransformerKvSession s3(model, 1);
    const TransformerKvStep y = forwardCached(fixtureBatch({7}), s3, options);
    expectSameValues(x.logits, y.logits, "reset does not restore fresh-session behavior");
}

}  // namespace Nuvexis::Core::Tarvel::Conformance
