#include <stdexcept>

#include "driver/expect.hpp"
#include "driver/fixture.hpp"
#include "driver/scenarios.hpp"

namespace Nuvexis::Core::Tarvel::Conformance {

void expectKvError(const std::function<void()>& action, TransformerKvErrorKind expected,
                   const char* message) {
    try {
        action();
    } catch (const TransformerKvError& e) {
        if (e.kind() == expected) return;
        throw std::runtime_error(message);
    }
    throw std::runtime_error(message);
}

void boundariesAndTransactionalFailures() {
    TransformerSpec spec = fixtureSpec(false, 2);
    spec.context = 4;
    const auto model = fixtureModel(spec, 7.0);
    const TransformerKvOptions defaults;

    TransformerKvSession s1(model, 1);
    expect(kvStats(s1).tokens == 0, "fresh cache is not at position zero");
    const TransformerKvStep first = forwardCached(fixtureBatch({1}), s1, defaults);
    expect(first.stats.tokens == 1, "position one was not cached");
    (void)forwardCached(fixtureBatch({2, 3}), s1, defaults);
    expect(s1.position() == 3, "context-1 boundary was not reached");
    (void)forwardCached(fixtureBatch({4}), s1, defaults);
    expect(s1.position() == 4, "context boundary was not accepted");

    auto before = saveSnapshot(s1);
    expectKvError([&] { (void)forwardCached(fixtureBatch({5}), s1, defaults); },
                  TransformerKvErrorKind::context_exceeded, "context overflow was accepted");
    expect(saveSnapshot(s1) == before, "overflow mutated session");

    TransformerKvSession s2(model, 1);
    before = saveSnapshot(s2);
    expectKvError([&] { (void)forwardCached(fixtureBatch({99}), s2, defaults); },
                  TransformerKvErrorKind::invalid_input, "bad token was accepted");
    expect(saveSnapshot(s2) == before, "bad token mutated session");

    TransformerKvOptions limited = defaults;
    limited.max_cache_bytes = 1;
    expectKvError([&] { (void)forwardCached(fixtureBatch({1}), s2, limited); },
                  TransformerKvErrorKind::resource_limit, "cache allocation limit was ignored");
    expect(saveSnapshot(s2) == before, "allocation failure mutated session");

    TransformerKvOptions observed = defaults;
    observed.observer = [](const TransformerKvStats&) {
        throw std::runtime_error("observer failure");
    };
    try {
        (void)forwardCached(fixtureBatch({1}), s2, observed);
    } catch (const std::runtime_error&) {
        // Only the session's state matters here.
    }
    expect(saveSnapshot(s2) == before, "observer failure mutated session");

    TransformerKvSession s3(model, 1);
    s3.setTokenPrefix({1});
    s3.advancePosition(1);
    std::vector<Tensor> poisoned;
    poisoned.emplace_back(std::vector<std::uint64_t>{1, 1, 1, 1}, 0.0, true);
    poisoned.emplace_back(std::vector<std::uint64_t>{1, 1, 1, 1}, 0.0, true);
    s3.setCache(std::move(poisoned));
    before = saveSnapshot(s3);
    expectKvError([&] { (void)forwardCached(fixtureBatch({2}), s3, defaults); },
                  TransformerKvErrorKind::invalid_state, "poisoned cache shape was accepted");
    expect(saveSnapshot(s3) == before, "invalid cache mutated session");

    TransformerKvSession s4(model, 1);
    s4.advancePosition(1);
    expectKvError([&] { (void)forwardCached(fixtureBatch({2}), s4, defaults); },
                  TransformerKvErrorKind::invalid_state, "mutated RoPE position was accepted");
}

}  // namespace Nuvexis::Core::Tarvel::Conformance
