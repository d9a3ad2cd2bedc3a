#include "fuzz/catalogue.hpp"

#include "tests/support/models.hpp"
#include "tests/support/snapshot_editor.hpp"

namespace tarvel_fuzz {

namespace {

using tarvel_test::EditableSnapshot;
using tarvel_test::withStateAndAux;

TokenBatch batchOf(std::vector<std::uint32_t> tokens) {
    const std::uint64_t width = tokens.size();
    return TokenBatch{1, width, std::move(tokens), {}};
}

// Feeds `chunks` one step each, in the given precision.
TransformerKvSession fed(const std::shared_ptr<const TransformerModel>& model, std::uint64_t tag,
                         const std::vector<std::vector<std::uint32_t>>& chunks,
                         bool double_precision) {
    TransformerKvSession s(model, tag);
    TransformerKvOptions options;
    options.double_precision = double_precision;
    for (const auto& chunk : chunks) (void)forwardCached(batchOf(chunk), s, options);
    return s;
}

Catalogue build() {
    using tarvel_test::fixtureSpec;
    Catalogue c;
    TransformerSpec gqa = fixtureSpec(true, 1);
    gqa.precision.kv_cache = DType::f16;
    c.models = {
        tarvel_test::makeModel(fixtureSpec(false, 2), 1.0),
        tarvel_test::makeModel(gqa, 2.0, "tok-v1"),
        tarvel_test::makeModel(
            tarvel_test::smallSpec(1, 2, 1, 2, FeedForwardKind::gelu, false, 4, 7), 3.0, ""),
    };
    const auto& m = c.models;
    const std::string bytes_state("\0\x01\xff", 3);

    c.held.push_back(fed(m[0], 5, {{1, 2, 3}}, false));
    c.held.push_back(withStateAndAux(fed(m[1], 6, {{2, 4}}, true), "abc", 0, fuzz_limits));
    c.held.push_back(withStateAndAux(fed(m[2], 7, {{6}}, false), "s", 2, fuzz_limits));

    const std::vector<std::pair<std::string, TransformerKvSession>> sessions{
        {"mha-fresh", fed(m[0], 1, {}, false)},
        {"mha-mid-f32", fed(m[0], 5, {{1, 2, 3}}, false)},
        {"mha-mid-f64-aux",
         withStateAndAux(fed(m[0], 42, {{7, 3}, {5}}, true), "", 9, fuzz_limits)},
        {"mha-full-f32", fed(m[0], 1, {{1, 2, 3, 4, 5}, {6, 7}, {8}}, false)},
        {"gqa-fresh", fed(m[1], 1, {}, false)},
        {"gqa-fresh-state", withStateAndAux(fed(m[1], 2, {}, false), "hello", 0, fuzz_limits)},
        {"gqa-mid-f64-state",
         withStateAndAux(fed(m[1], 3, {{2, 4, 6, 8}}, true), "abc", 1, fuzz_limits)},
        {"gqa-full-f32-state", withStateAndAux(fed(m[1], 4, {{10, 0, 9, 1, 8, 2, 7, 3}}, false),
                                               bytes_state, 0, fuzz_limits)},
        {"gelu-fresh", fed(m[2], 1, {}, true)},
        {"gelu-mid-f32", fed(m[2], 8, {{6}}, false)},
        {"gelu-full-f64-state", withStateAndAux(fed(m[2], 9, {{0}, {1}, {2}, {3}}, true), "s",
                                                0xffffffffffffffffu, fuzz_limits)},
    };
    for (const auto& [name, session] : sessions)
        c.snapshots.push_back({name, saveSnapshot(session)});
    return c;
}

}  // namespace

const Catalogue& catalogue() {
    static const Catalogue c = build();
    return c;
}

}  // namespace tarvel_fuzz
