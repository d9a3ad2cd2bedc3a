// Differential runtime fuzzer: a small model and a token sequence decoded from the input; the
// sequence is fed in input-chosen chunks, in both precisions, and every step's logits must match
// a full forward pass over the prefix so far. Forks and restored snapshots taken along the way
// must step bit for bit like the session they came from.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/checks.hpp"
#include "fuzz/differential_input.hpp"

namespace {

using namespace tarvel_fuzz;

constexpr ArtifactLimits generous{1u << 30, 1u << 24, 1u << 29, 100000,
                                  8,        1u << 20, 1u << 20, 1u << 29};

// The documented tolerance is a hard requirement. Bit-identity is what the runtime delivers;
// losing it is reported, and fatal when TARVEL_FUZZ_REQUIRE_EXACT is set.
void compareLogit(double step, double full) {
    if (!(std::fabs(step - full) <= 2e-6)) fail("step logits differ from the full pass by > 2e-6");
    if (sameBits(step, full)) return;
    static const bool required = std::getenv("TARVEL_FUZZ_REQUIRE_EXACT") != nullptr;
    if (required) fail("step logits are within 2e-6 of the full pass but not bit-identical");
    static bool reported = false;
    if (!reported) {
        std::fprintf(stderr, "tarvel-fuzz: inexact logits: step %.17g, full pass %.17g\n", step,
                     full);
        reported = true;
    }
}

bool isValueCheckMessage(const std::string& message) {
    return message == "transformer forward produced NaN/Inf" ||
           message == "transformer operator produced NaN/Inf" ||
           message == "cached transformer produced NaN/Inf";
}

std::optional<std::shared_ptr<const TransformerModel>> construct(const DifferentialCase& c) {
    const bool valid = validateSpec(c.spec).empty() &&
                       (c.misshape == Misshape::none || c.misshape == Misshape::tied_with_output);
    try {
        return std::make_shared<const TransformerModel>(c.spec, c.weights,
                                                        std::optional<std::string>{});
    } catch (const std::domain_error& e) {
        if (!isValueCheckMessage(e.what())) fail("construction: unexpected domain error", e.what());
    } catch (const std::invalid_argument& e) {
        if (valid) fail("a valid model was refused", e.what());
    } catch (const std::out_of_range& e) {
        if (valid) fail("a valid model was refused", e.what());
    } catch (const std::overflow_error& e) {
        if (valid) fail("a valid model was refused", e.what());
    } catch (const std::exception& e) {
        fail("construction threw an undocumented exception", e.what());
    }
    return std::nullopt;
}

// What a constructed model promises about itself: its parameter count is the weights it reads
// (a GELU block holds a gate it never reads), and its artifact reads back cleanly with nothing
// after the last record.
void checkModel(const TransformerModel& model) {
    const TransformerWeights& w = model.weights();
    const bool gated = model.spec().feed_forward == FeedForwardKind::swiglu ||
                       model.spec().feed_forward == FeedForwardKind::geglu_tanh;
    std::uint64_t values = w.token_embedding.data.size() + w.final_norm.data.size();
    for (const LayerWeights& l : w.layers) {
        for (const Tensor* t : {&l.attention_norm, &l.query, &l.key, &l.value, &l.attention_output,
                                &l.ffn_norm, &l.ffn_up, &l.ffn_down}) {
            values += t->data.size();
        }
        if (gated) values += l.ffn_gate.data.size();
    }
    if (!model.spec().tied_embeddings) values += w.output_embedding.data.size();
    if (parameterCount(model.spec()) != values) fail("parameter count differs from the weights");

    const std::vector<std::uint8_t>& bytes = model.artifact_bytes();
    const ArtifactHeader header = readArtifactHeader(bytes, "TARVCTM1", generous);
    ArtifactReader reader{bytes, 40, header.payload_offset};
    const ArtifactManifest manifest = readArtifactManifest(reader, generous);
    validateTensorTable(manifest.tensors, header.payload_bytes, generous);
    if (reader.next != reader.limit || manifest.spec_fingerprint != specFingerprint(model.spec()) ||
        header.payload_offset + header.payload_bytes != bytes.size()) {
        fail("model artifact does not read back");
    }
}

struct Outcome {
    std::optional<TransformerKvStep> step;
    std::string error;
};

Outcome stepOf(const TokenBatch& chunk, TransformerKvSession& s,
               const TransformerKvOptions& options) {
    Outcome outcome;
    try {
        outcome.step = forwardCached(chunk, s, options);
    } catch (const std::domain_error& e) {
        outcome.error = e.what();
        if (!isValueCheckMessage(outcome.error)) fail("step: unexpected domain error", e.what());
    } catch (const std::exception& e) {
        fail("step threw something other than a value check", e.what());
    }
    return outcome;
}

void sameStep(const Outcome& a, const Outcome& b, const char* what) {
    if (a.step.has_value() != b.step.has_value() || a.error != b.error) fail(what, "outcomes");
    if (a.step &&
        (!sameBits(a.step->logits, b.step->logits) || !(a.step->stats == b.step->stats))) {
        fail(what, "logits or statistics");
    }
}

void run(const DifferentialCase& c, const std::shared_ptr<const TransformerModel>& model,
         bool double_precision) {
    const TransformerSpec& spec = model->spec();
    TransformerKvSession s(model, c.tag);
    TransformerKvOptions options;
    options.double_precision = double_precision;
    std::vector<std::uint32_t> prefix;
    std::optional<Tensor> first_logits;

    for (std::size_t i = 0; i < c.chunks.size(); ++i) {
        const std::uint64_t n = c.chunks[i];
        const std::uint64_t before_position = s.position();
        const auto first = c.tokens.begin() + static_cast<std::ptrdiff_t>(prefix.size());
        const TokenBatch chunk{1, n, {first, first + static_cast<std::ptrdiff_t>(n)}, {}};
        const std::vector<std::uint8_t> before = saveSnapshot(s);

        for (const std::uint32_t id : chunk.tokens) {
            if (id < spec.vocabulary) continue;
            try {
                (void)forwardCached(chunk, s, options);
            } catch (const TransformerKvError& e) {
                if (e.kind() != TransformerKvErrorKind::invalid_input) fail("wrong kind", e.what());
                if (saveSnapshot(s) != before) fail("refused step changed the session");
                return;
            }
            fail("step accepted a token beyond the vocabulary");
        }

        std::vector<std::uint32_t> sequence = prefix;
        sequence.insert(sequence.end(), chunk.tokens.begin(), chunk.tokens.end());
        const std::uint64_t width = sequence.size();
        std::optional<Tensor> full;
        std::string full_error;
        try {
            full = transformerForward(spec, model->weights(), TokenBatch{1, width, sequence, {}},
                                      ForwardOptions{double_precision, {}, true});
        } catch (const std::domain_error& e) {
            full_error = e.what();
            if (!isValueCheckMessage(full_error)) fail("forward: unexpected domain error");
        } catch (const std::exception& e) {
            fail("full pass threw something other than a value check", e.what());
        }

        std::optional<TransformerKvSession> fork;
        if (i == c.fork_at) fork.emplace(s);
        std::optional<TransformerKvSession> restored;
        if (i == c.restore_at) {
            restored.emplace(model, 1);
            restoreSnapshot(*restored, before, generous);
            if (saveSnapshot(*restored) != before) fail("restored session saves differently");
        }

        const Outcome outcome = stepOf(chunk, s, options);
        if (fork) sameStep(outcome, stepOf(chunk, *fork, options), "fork stepped differently");
        if (restored) {
            sameStep(outcome, stepOf(chunk, *restored, options), "restore stepped differently");
        }
        if (outcome.step.has_value() != full.has_value()) {
            fail("step and full pass disagree on failing", outcome.error + full_error);
        }
        if (!outcome.step) {
            if (saveSnapshot(s) != before) fail("failed step changed the session");
            return;  // a value beyond range ends the sequence alike for both
        }

        const TransformerKvStep& step = *outcome.step;
        const std::uint64_t v = spec.vocabulary;
        if (step.logits.shape != std::vector<std::uint64_t>{1, n, v}) fail("step logits shape");
        for (std::uint64_t t = 0; t < n; ++t) {
            for (std::uint64_t u = 0; u < v; ++u) {
                compareLogit(step.logits.data[t * v + u],
                             full->data[(before_position + t) * v + u]);
            }
        }
        const std::uint64_t tokens = before_position + n;
        const TransformerKvStats& stats = step.stats;
        if (stats.tokens != tokens || stats.used_bytes != kvBytesPerToken(spec) * tokens ||
            stats.reserved_bytes != stats.used_bytes || stats.utilization != 1.0 ||
            stats.cached_values != 2ull * spec.layers * spec.kv_heads * spec.head_dim * tokens ||
            !(kvStats(s) == stats) || s.position() != tokens) {
            fail("step statistics");
        }
        if (fork && saveSnapshot(*fork) != saveSnapshot(s)) fail("fork diverged");
        if (restored && saveSnapshot(*restored) != saveSnapshot(s)) fail("restore diverged");
        if (!first_logits) first_logits = step.logits;
        prefix = std::move(sequence);
    }

    if (s.position() == spec.context) {
        const std::vector<std::uint8_t> full_session = saveSnapshot(s);
        try {
            (void)forwardCached(TokenBatch{1, 1, {0}, {}}, s, options);
            fail("step past the context was accepted");
        } catch (const TransformerKvError& e) {
            if (e.kind() != TransformerKvErrorKind::context_exceeded) fail("wrong kind", e.what());
        }
        if (saveSnapshot(s) != full_session) fail("refused step changed the session");
    }

    // A reset session is a fresh one: the first chunk again gives the first logits, bit for bit.
    s.reset(c.tag);
    const TokenBatch again{
        1,
        c.chunks[0],
        {c.tokens.begin(), c.tokens.begin() + static_cast<std::ptrdiff_t>(c.chunks[0])},
        {}};
    const Outcome replay = stepOf(again, s, options);
    if (!replay.step || !sameBits(replay.step->logits, *first_logits)) {
        fail("a reset session steps differently from a fresh one");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DifferentialCase c = decodeCase(data, size);
    const auto model = construct(c);
    if (!model) return 0;
    checkModel(**model);
    run(c, *model, false);
    run(c, *model, true);
    return 0;
}
