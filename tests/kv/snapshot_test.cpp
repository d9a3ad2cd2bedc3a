#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>

#include "support/expect_throw.hpp"
#include "support/models.hpp"
#include "support/snapshot_editor.hpp"

using namespace tarvel_test;

namespace {

const std::string bound_identity = "tok-v1";

std::shared_ptr<const TransformerModel> boundModel() {
    return makeModel(fixtureSpec(false, 2), 1.0, bound_identity);
}

// A session of the bound model at position 3 with tokenizer state "abc" (only a restore can
// set tokenizer state).
TransformerKvSession sessionWithState(const std::shared_ptr<const TransformerModel>& model) {
    TransformerKvSession s(model, 9);
    (void)forwardCached(fixtureBatch({1, 2, 3}), s, TransformerKvOptions{});
    return withStateAndAux(std::move(s), "abc", 0, generous_limits);
}

TEST(Snapshot, FreshSessionHoldsTwoEmptyRecords) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 1);
    const ByteBuffer bytes = saveSnapshot(s);
    const EditableSnapshot e = parseSnapshot(bytes);
    EXPECT_EQ(e.magic, "TARVCTS1");
    ASSERT_EQ(e.manifest.tensors.size(), 2u);
    EXPECT_EQ(e.manifest.tensors[0].name, "input_tokens");
    EXPECT_EQ(e.manifest.tensors[0].dtype, 2);
    EXPECT_EQ(e.manifest.tensors[1].name, "tokenizer_state");
    EXPECT_EQ(e.manifest.tensors[1].dtype, 3);
    for (const auto& record : e.manifest.tensors) {
        EXPECT_EQ(record.shape, (std::vector<std::uint64_t>{0}));
        EXPECT_EQ(record.byte_count, 0u);
        EXPECT_EQ(record.offset, 0u);
    }
    EXPECT_EQ(e.cache_count, 0u);
    EXPECT_EQ(e.model_checksum, model->artifact_checksum());
    EXPECT_EQ(e.numeric_policy, specFingerprint(model->spec()));
    EXPECT_EQ(e.manifest.spec_fingerprint, specFingerprint(model->spec()));
    TransformerKvSession target(model, 4);
    restoreSnapshot(target, bytes, generous_limits);
    EXPECT_EQ(saveSnapshot(target), bytes);
}

TEST(Snapshot, LayoutOfACachedSession) {
    const auto model = fixtureModel(fixtureSpec(true, 2), 3.0);
    TransformerKvSession s(model, 1);
    (void)forwardCached(fixtureBatch({4, 5}), s, TransformerKvOptions{});
    const EditableSnapshot e = parseSnapshot(saveSnapshot(s));
    ASSERT_EQ(e.manifest.tensors.size(), 6u);
    EXPECT_EQ(e.manifest.tensors[0].byte_count, 8u);
    EXPECT_EQ(e.payload[0], 4);
    EXPECT_EQ(e.payload[4], 5);
    for (std::size_t j = 0; j < 4; ++j) {
        const auto& record = e.manifest.tensors[2 + j];
        EXPECT_EQ(record.name, "kv." + std::to_string(j));
        EXPECT_EQ(record.shape, (std::vector<std::uint64_t>{1, 2, 1, 2}));
        EXPECT_EQ(record.byte_count, 32u);
        EXPECT_EQ(record.offset, 8 + 32 * j);
    }
    EXPECT_EQ(e.position, 2u);
    EXPECT_EQ(e.token_count, 2u);
    EXPECT_EQ(e.cache_count, 4u);
}

TEST(Snapshot, RoundTripsAreByteIdentical) {
    const auto unbound = fixtureModel(fixtureSpec(true, 3), 5.0);
    const auto bound = boundModel();
    struct Case {
        const char* name;
        std::function<TransformerKvSession()> make;
    };
    const std::vector<Case> cases = {
        {"fresh", [&] { return TransformerKvSession(unbound, 1); }},
        {"reduced precision",
         [&] {
             TransformerKvSession s(unbound, 2);
             (void)forwardCached(fixtureBatch({1, 2, 3}), s, TransformerKvOptions{});
             (void)forwardCached(fixtureBatch({4}), s, TransformerKvOptions{});
             return s;
         }},
        {"double precision",
         [&] {
             TransformerKvSession s(unbound, 3);
             (void)forwardCached(fixtureBatch({1, 2, 3, 4, 5, 6, 7, 8}), s,
                                 TransformerKvOptions{true, 536870912, {}});
             return s;
         }},
        {"bound with tokenizer state", [&] { return sessionWithState(bound); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TransformerKvSession source = c.make();
        const ByteBuffer bytes = saveSnapshot(source);
        TransformerKvSession target(source.model(), 77);
        restoreSnapshot(target, bytes, generous_limits);
        EXPECT_EQ(saveSnapshot(target), bytes);
        EXPECT_EQ(target.tag(), source.tag());
        EXPECT_EQ(target.token_prefix(), source.token_prefix());
        EXPECT_EQ(target.tokenizer_state(), source.tokenizer_state());
        ASSERT_EQ(target.cache().size(), source.cache().size());
        for (std::size_t i = 0; i < target.cache().size(); ++i) {
            EXPECT_EQ(target.cache()[i].data, source.cache()[i].data);
        }
        // A restored session steps exactly like its source.
        if (source.position() < source.model()->spec().context) {
            TransformerKvSession a = source;
            const auto x = forwardCached(fixtureBatch({3}), a, TransformerKvOptions{});
            const auto y = forwardCached(fixtureBatch({3}), target, TransformerKvOptions{});
            EXPECT_EQ(x.logits.data, y.logits.data);
        }
    }
    const TransformerKvSession with_state = sessionWithState(bound);
    EXPECT_EQ(with_state.tokenizer_state(), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

TEST(Snapshot, TagZeroRestoresAsOneAndContextIsABound) {
    const auto model = fixtureModel(fixtureSpec(false, 2), 1.0);
    TransformerKvSession s(model, 5);
    EditableSnapshot e = parseSnapshot(saveSnapshot(s));
    e.tag = 0;
    e.position = 8;  // equal to the context: accepted (the next step judges consistency)
    restoreSnapshot(s, buildSnapshot(e, true), generous_limits);
    EXPECT_EQ(s.tag(), 1u);
    EXPECT_EQ(s.position(), 8u);
}

// The kind of each refusal: binding to another model or tokenizer, the caller's or the model's
// bounds, and everything else that is wrong with the bytes. An empty tensor extent is the
// tensor's own refusal, not the artifact's.
std::optional<ArtifactErrorKind> refusalKind(std::string_view message) {
    const std::string_view mismatches[] = {"session model mismatch", "session tokenizer mismatch",
                                           "session numeric policy mismatch",
                                           "unbound session contains tokenizer state"};
    const std::string_view limits[] = {"session state exceeds configured limit",
                                       "session cache exceeds limit"};
    for (const std::string_view m : mismatches) {
        if (message == m) return ArtifactErrorKind::model_mismatch;
    }
    for (const std::string_view m : limits) {
        if (message == m) return ArtifactErrorKind::limit_exceeded;
    }
    if (message == "tensor extent must be positive") return std::nullopt;
    return ArtifactErrorKind::corrupt_bytes;
}

struct Refusal {
    const char* message;
    std::function<ByteBuffer(const ByteBuffer& valid)> corrupt;
    ArtifactLimits limits = generous_limits;
    bool unbound_target = false;
};

ByteBuffer edited(const ByteBuffer& valid, const std::function<void(EditableSnapshot&)>& edit,
                  bool recompute = true) {
    EditableSnapshot e = parseSnapshot(valid);
    edit(e);
    return buildSnapshot(e, recompute);
}

void storeF64(ByteBuffer& payload, std::uint64_t offset, double value) {
    storeLittleEndian(payload.data() + offset, std::bit_cast<std::uint64_t>(value), 8);
}

// One case per refusal, in the order the restore checks them. After every refusal the target
// session still saves exactly the bytes it saved before.
TEST(Snapshot, RefusalsInCheckOrderLeaveTheSessionUnchanged) {
    const auto bound = boundModel();
    const auto unbound = fixtureModel(fixtureSpec(false, 2), 1.0);
    const TransformerKvSession source = sessionWithState(bound);
    const ByteBuffer valid = saveSnapshot(source);
    TransformerKvSession unbound_source(unbound, 1);
    (void)forwardCached(fixtureBatch({1}), unbound_source, TransformerKvOptions{});
    const ByteBuffer unbound_valid = saveSnapshot(unbound_source);
    const std::uint64_t kv0_bytes = parseSnapshot(valid).manifest.tensors[2].byte_count;
    ArtifactLimits tight_cache = generous_limits;
    tight_cache.max_snapshot_cache_bytes = kv0_bytes + 1;

    const std::vector<Refusal> cases = {
        {"artifact magic mismatch", [&](const ByteBuffer&) { return bound->artifact_bytes(); }},
        {"artifact global checksum mismatch",
         [](const ByteBuffer& v) {
             ByteBuffer b = v;
             b[b.size() - 1] ^= 1;
             return b;
         }},
        {"session manifest has trailing bytes",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.trailing = {0}; }); }},
        {"session model mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.spec_fingerprint ^= 1; });
         }},
        {"session model mismatch",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.model_checksum ^= 1; }); }},
        {"session model mismatch", [&](const ByteBuffer&) { return unbound_valid; }},
        {"session tokenizer mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.tokenizer_identity = "tok-v2"; });
         }},
        {"session tokenizer mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.tokenizer_identity = "tok-v"; });
         }},
        // Binding comes before the state checks.
        {"session tokenizer mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) {
                 e.manifest.tokenizer_identity.reset();
                 e.token_count = 1000;
             });
         }},
        {"session tokenizer mismatch",
         [&](const ByteBuffer&) {
             return edited(unbound_valid, [](auto& e) { e.manifest.tokenizer_identity = ""; });
         },
         generous_limits, true},
        {"session numeric policy mismatch",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.numeric_policy ^= 1; }); }},
        {"session state exceeds configured limit", [](const ByteBuffer& v) { return v; },
         ArtifactLimits{1073741824, 16777216, 536870912, 100000, 8, 2, 1048576, 536870912}},
        {"session state exceeds configured limit",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.token_count = 9; }); }},
        {"session state exceeds configured limit",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.position = 9; }); }},
        {"session state exceeds configured limit", [](const ByteBuffer& v) { return v; },
         ArtifactLimits{1073741824, 16777216, 536870912, 100000, 8, 1048576, 2, 536870912}},
        {"session state exceeds configured limit",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.cache_count = 7; }); },
         ArtifactLimits{1073741824, 16777216, 536870912, 6, 8, 1048576, 1048576, 536870912}},
        {"unbound session contains tokenizer state",
         [&](const ByteBuffer&) {
             return edited(unbound_valid, [](auto& e) { e.state_length = 2; });
         },
         generous_limits, true},
        {"artifact tensor name is duplicated",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.tensors[3].name = "kv.0"; });
         }},
        {"session input manifest mismatch",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.cache_count = 3; }); }},
        {"session input manifest mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.tensors[0].name = "input_token"; });
         }},
        {"session input manifest mismatch",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.token_count = 2; }); }},
        {"session input manifest mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.tensors[0].shape = {1, 3}; });
         }},
        {"session tokenizer state manifest mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) { e.manifest.tensors[1].name = "state"; });
         }},
        {"session tokenizer state manifest mismatch",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.state_length = 2; }); }},
        {"session input checksum mismatch",
         [](const ByteBuffer& v) {
             return edited(
                 v, [](auto& e) { e.payload[0] = 4; }, false);
         }},
        {"session token exceeds vocabulary",
         [](const ByteBuffer& v) { return edited(v, [](auto& e) { e.payload[4] = 11; }); }},
        {"session tokenizer state checksum mismatch",
         [](const ByteBuffer& v) {
             return edited(
                 v, [](auto& e) { e.payload[12] = 'x'; }, false);
         }},
        {"session cache identity mismatch",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) {
                 std::swap(e.manifest.tensors[2].name, e.manifest.tensors[3].name);
             });
         }},
        {"session cache exceeds limit", [](const ByteBuffer& v) { return v; }, tight_cache},
        {"tensor extent must be positive",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) {
                 e.manifest.tensors[3].shape = {1, 0, 2, 2};
                 e.manifest.tensors[3].byte_count = 0;
             });
         }},
        {"session cache checksum mismatch",
         [](const ByteBuffer& v) {
             return edited(
                 v, [](auto& e) { e.payload[e.payload.size() - 3] ^= 1; }, false);
         }},
        {"session cache contains NaN/Inf",
         [](const ByteBuffer& v) {
             return edited(v, [](auto& e) {
                 storeF64(e.payload, e.manifest.tensors[4].offset + 8,
                          std::numeric_limits<double>::quiet_NaN());
             });
         }},
    };

    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.message);
        const ByteBuffer corrupt = c.corrupt(valid);
        TransformerKvSession target =
            c.unbound_target ? TransformerKvSession(unbound_source) : sessionWithState(bound);
        (void)forwardCached(fixtureBatch({5}), target, TransformerKvOptions{});
        const ByteBuffer before = saveSnapshot(target);
        const std::optional<ArtifactErrorKind> kind = refusalKind(c.message);
        if (kind) {
            expectArtifactThrow([&] { restoreSnapshot(target, corrupt, c.limits); }, *kind,
                                c.message);
        } else {
            EXPECT_THROW_MSG(restoreSnapshot(target, corrupt, c.limits), std::invalid_argument,
                             c.message);
        }
        EXPECT_EQ(saveSnapshot(target), before);
    }
}

TEST(Snapshot, EveryTruncationIsRefusedCleanly) {
    const TransformerKvSession source = sessionWithState(boundModel());
    const ByteBuffer valid = saveSnapshot(source);
    TransformerKvSession target(source.model(), 3);
    const ByteBuffer before = saveSnapshot(target);
    for (std::size_t length = 0; length < valid.size(); ++length) {
        const ByteBuffer prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_THROW(restoreSnapshot(target, prefix, generous_limits), std::invalid_argument);
    }
    EXPECT_EQ(saveSnapshot(target), before);
}

}  // namespace

namespace {

// snapshotLimits admits the largest snapshot a model's session can produce, and each of its
// bounds is tight: one less refuses that snapshot. Six layers make cache names of two digits;
// only a model bound to a tokenizer may carry tokenizer state.
TEST(SnapshotLimits, AdmitTheLargestSnapshotAndNothingLarger) {
    for (const bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "bound" : "unbound");
        const auto model = makeModel(fixtureSpec(true, 6), 2.0,
                                     bound ? std::optional<std::string>("tok-v1") : std::nullopt);
        const std::string state = bound ? "state" : "";
        const ArtifactLimits limits = snapshotLimits(*model, state.size());
        TransformerKvSession session(model, 3);
        (void)forwardCached(fixtureBatch({1, 2, 3, 4, 5, 6, 7, 8}), session,
                            TransformerKvOptions{});
        const TransformerKvSession full = withStateAndAux(std::move(session), state, 2, limits);
        const ByteBuffer bytes = saveSnapshot(full);

        TransformerKvSession target(model, 1);
        restoreSnapshot(target, bytes, limits);
        EXPECT_EQ(saveSnapshot(target), bytes);

        const struct {
            const char* field;
            std::function<void(ArtifactLimits&)> shrink;
        } fields[] = {
            {"file", [](ArtifactLimits& l) { --l.max_file_bytes; }},
            {"manifest", [](ArtifactLimits& l) { --l.max_manifest_bytes; }},
            {"tensor bytes", [](ArtifactLimits& l) { --l.max_tensor_bytes; }},
            {"tensor count", [](ArtifactLimits& l) { --l.max_tensor_count; }},
            {"rank", [](ArtifactLimits& l) { --l.max_tensor_rank; }},
            {"input tokens", [](ArtifactLimits& l) { --l.max_input_tokens; }},
            {"tokenizer state", [](ArtifactLimits& l) { --l.max_tokenizer_state_bytes; }},
            {"cache bytes", [](ArtifactLimits& l) { --l.max_snapshot_cache_bytes; }},
        };
        for (const auto& f : fields) {
            if (!bound && std::string_view(f.field) == "tokenizer state") continue;
            SCOPED_TRACE(f.field);
            ArtifactLimits tighter = limits;
            f.shrink(tighter);
            TransformerKvSession other(model, 1);
            EXPECT_THROW(restoreSnapshot(other, bytes, tighter), ArtifactError);
        }
    }
}

}  // namespace
