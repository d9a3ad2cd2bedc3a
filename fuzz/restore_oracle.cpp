#include "fuzz/restore_oracle.hpp"

#include <cmath>
#include <string>

#include "fuzz/catalogue.hpp"
#include "fuzz/checks.hpp"
#include "fuzz/messages.hpp"

namespace tarvel_fuzz {

namespace {

struct StepOutcome {
    bool succeeded = false;
    TransformerKvStep step;
    TransformerKvErrorKind kind = TransformerKvErrorKind::invalid_input;
    std::string message;
};

StepOutcome stepOnce(TransformerKvSession& s, std::uint32_t token, bool double_precision) {
    const std::vector<std::uint8_t> before = saveSnapshot(s);
    const std::uint64_t position = s.position();
    TransformerKvOptions options;
    options.double_precision = double_precision;
    StepOutcome outcome;
    try {
        outcome.step = forwardCached(TokenBatch{1, 1, {token}, {}}, s, options);
        outcome.succeeded = true;
    } catch (const TransformerKvError& e) {
        outcome.kind = e.kind();
        outcome.message = e.what();
    } catch (const std::domain_error& e) {
        // A restore admits any finite cache value, and a large enough key or value overflows
        // the step's arithmetic: its value check refuses the step then.
        outcome.message = e.what();
        if (outcome.message != "cached transformer produced NaN/Inf" &&
            outcome.message != "transformer operator produced NaN/Inf") {
            fail("step after a restore threw an undocumented domain error", e.what());
        }
    } catch (const std::exception& e) {
        fail("step after a restore threw something other than TransformerKvError", e.what());
    }
    if (!outcome.succeeded) {
        if (saveSnapshot(s) != before) fail("refused step changed the session", outcome.message);
        return outcome;
    }
    if (s.position() != position + 1 || s.token_prefix().back() != token ||
        outcome.step.stats.tokens != position + 1) {
        fail("step after a restore did not advance by one token");
    }
    return outcome;
}

// Saving a session and restoring the bytes into a fresh session must give the same bytes back.
std::vector<std::uint8_t> checkRoundTrip(const TransformerKvSession& s, const char* when) {
    const std::vector<std::uint8_t> saved = saveSnapshot(s);
    TransformerKvSession fresh(s.model(), 1);
    try {
        restoreSnapshot(fresh, saved, fuzz_limits);
    } catch (const std::exception& e) {
        fail(when, e.what());
    }
    if (saveSnapshot(fresh) != saved) fail(when, "restored copy saves differently");
    return saved;
}

// What a successful restore guarantees by itself; the rest is left to the next step.
void checkRestoredState(const TransformerKvSession& s) {
    const TransformerSpec& spec = s.model()->spec();
    if (s.tag() == 0) fail("restored a zero tag");
    if (s.position() > spec.context || s.token_prefix().size() > spec.context) {
        fail("restored state beyond the context");
    }
    for (const std::uint32_t id : s.token_prefix()) {
        if (id >= spec.vocabulary) fail("restored a token beyond the vocabulary");
    }
    if (!s.model()->tokenizer_identity() && !s.tokenizer_state().empty()) {
        fail("restored tokenizer state into an unbound session");
    }
    for (const Tensor& tensor : s.cache()) {
        for (const double value : tensor.data) {
            if (!std::isfinite(value)) fail("restored a non-finite cache value");
        }
    }
}

void checkSuccessfulRestore(TransformerKvSession& target, const std::vector<std::uint8_t>& input) {
    checkRestoredState(target);
    checkRoundTrip(target, "saved snapshot of a restored session does not restore");

    TransformerKvSession twin(target.model(), 1);
    restoreSnapshot(twin, saveSnapshot(target), fuzz_limits);
    const std::uint32_t token =
        static_cast<std::uint32_t>(input.size() % target.model()->spec().vocabulary);
    const bool double_precision = input.size() > 32 && (input[32] & 1) != 0;
    const StepOutcome a = stepOnce(target, token, double_precision);
    const StepOutcome b = stepOnce(twin, token, double_precision);
    if (a.succeeded != b.succeeded || a.kind != b.kind || a.message != b.message) {
        fail("a restored session and its restored copy step differently");
    }
    if (!a.succeeded) return;
    if (!sameBits(a.step.logits, b.step.logits) || !(a.step.stats == b.step.stats)) {
        fail("a restored session and its restored copy return different logits");
    }
    const std::vector<std::uint8_t> after = checkRoundTrip(target, "snapshot after the step");
    if (saveSnapshot(twin) != after) fail("a restored session and its copy diverged");
}

}  // namespace

void checkRestore(const std::vector<std::uint8_t>& input) {
    for (const TransformerKvSession& held : catalogue().held) {
        TransformerKvSession target = held;
        const std::vector<std::uint8_t> before = saveSnapshot(target);
        try {
            restoreSnapshot(target, input, fuzz_limits);
        } catch (const std::invalid_argument& e) {
            if (!listed(container_messages, e.what()) && !listed(session_messages, e.what())) {
                fail("restore refused with an undocumented message", e.what());
            }
            if (saveSnapshot(target) != before)
                fail("failed restore changed the session", e.what());
            continue;
        } catch (const std::exception& e) {
            fail("restore threw something other than std::invalid_argument", e.what());
        }
        checkSuccessfulRestore(target, input);
    }
}

}  // namespace tarvel_fuzz
