#include <gtest/gtest.h>

#include "support/expect_throw.hpp"
#include "support/feature_models.hpp"
#include "support/models.hpp"

using namespace tarvel_test;

namespace {

TEST(ModelArtifact, ReadsBackThroughTheContainerReaders) {
    const auto model = makeModel(smallSpec(2, 2, 1, 2, FeedForwardKind::gelu, false), 2.0, "t");
    const ByteBuffer& bytes = model->artifact_bytes();
    const ArtifactHeader header = readArtifactHeader(bytes, "TARVCTM1", generous_limits);
    ArtifactReader reader{bytes, 40, header.payload_offset};
    const ArtifactManifest manifest = readArtifactManifest(reader, generous_limits);
    EXPECT_EQ(reader.next, header.payload_offset);  // the tail is empty
    EXPECT_NO_THROW(validateTensorTable(manifest.tensors, header.payload_bytes, generous_limits));
    EXPECT_EQ(manifest.spec_fingerprint, specFingerprint(model->spec()));
    EXPECT_EQ(manifest.tokenizer_identity, std::optional<std::string>("t"));
    EXPECT_EQ(model->artifact_checksum(), artifactGlobalChecksum(bytes));

    const std::vector<NamedTensor> entries = modelArtifactTensors(model->weights());
    ASSERT_EQ(manifest.tensors.size(), 1 + 18 + 1 + 1u);
    ASSERT_EQ(entries.size(), manifest.tensors.size());
    const char* layer_names[] = {"attention_norm",   "query",    "key",      "value",
                                 "attention_output", "ffn_norm", "ffn_gate", "ffn_up",
                                 "ffn_down"};
    std::vector<std::string> expected_names = {"token_embedding"};
    for (int l = 0; l < 2; ++l) {
        for (const char* name : layer_names) {
            expected_names.push_back("layers." + std::to_string(l) + "." + name);
        }
    }
    expected_names.push_back("final_norm");
    expected_names.push_back("output_embedding");
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ArtifactTensorRecord& record = manifest.tensors[i];
        const Tensor& tensor = entries[i].second.get();
        EXPECT_EQ(record.name, expected_names[i]);
        EXPECT_EQ(entries[i].first, expected_names[i]);
        EXPECT_EQ(record.dtype, 1);
        EXPECT_EQ(record.shape, tensor.shape);
        EXPECT_EQ(record.offset, offset);
        EXPECT_EQ(record.byte_count, 8 * tensor.data.size());
        const std::uint8_t* payload = bytes.data() + header.payload_offset + record.offset;
        EXPECT_EQ(record.checksum, checksum64(payload, record.byte_count));
        ArtifactReader values{bytes, header.payload_offset + record.offset,
                              header.payload_offset + record.offset + record.byte_count};
        for (const double v : tensor.data) EXPECT_EQ(readF64(values), v);
        offset += record.byte_count;
    }
    EXPECT_EQ(offset, header.payload_bytes);
}

TEST(ModelArtifact, TiedModelEndsWithFinalNormAndLayerIndexIsDecimal) {
    TransformerSpec spec = fixtureSpec(false, 11);
    const auto model = fixtureModel(spec, 1.0);
    const std::vector<NamedTensor> entries = modelArtifactTensors(model->weights());
    EXPECT_EQ(entries.back().first, "final_norm");
    EXPECT_EQ(entries[1].first, "layers.0.attention_norm");
    EXPECT_EQ(entries[1 + 9 * 10 + 2].first, "layers.10.key");
    // A non-empty output embedding is written even when it is not used.
    TransformerWeights weights = fixtureWeights(spec, 1.0);
    weights.output_embedding = Tensor({11, 4}, 0.0, true);
    EXPECT_EQ(modelArtifactTensors(weights).back().first, "output_embedding");
}

// A feature's tensors follow their layer's nine, in field order, only when they hold values; a
// model without them has exactly the records it always had.
TEST(ModelArtifact, OptionalTensorsFollowTheirLayerWhenPresent) {
    TransformerSpec spec = featureBase();
    spec.attention.qkv_bias = true;
    spec.attention.qk_norm = true;
    spec.normalization.post_feed_forward = true;
    const auto model = featureModel(spec, 4);
    const std::vector<NamedTensor> entries = modelArtifactTensors(model->weights());
    std::vector<std::string> names;
    for (const NamedTensor& entry : entries) names.push_back(entry.first);
    const std::vector<std::string> layer0(names.begin() + 1, names.begin() + 16);
    EXPECT_EQ(layer0, (std::vector<std::string>{
                          "layers.0.attention_norm", "layers.0.query", "layers.0.key",
                          "layers.0.value", "layers.0.attention_output", "layers.0.ffn_norm",
                          "layers.0.ffn_gate", "layers.0.ffn_up", "layers.0.ffn_down",
                          "layers.0.query_bias", "layers.0.key_bias", "layers.0.value_bias",
                          "layers.0.query_norm", "layers.0.key_norm", "layers.0.post_ffn_norm"}));
    EXPECT_EQ(names[16], "layers.1.attention_norm");
    EXPECT_EQ(names.size(), 1 + 2 * 15 + 2u);
    // The packed form writes the same bytes, with the same checksum.
    const ByteBuffer expected = buildModelArtifact(spec, model->weights(), std::nullopt);
    EXPECT_EQ(model->artifact_bytes(), expected);
    EXPECT_EQ(model->artifact_checksum(), artifactGlobalChecksum(expected));
    // Another bias value is another model.
    TransformerWeights other = model->weights();
    other.layers[1].value_bias.data[2] += 0.25;
    EXPECT_NE(TransformerModel(spec, other).artifact_checksum(), model->artifact_checksum());
}

TEST(ModelArtifact, IdentityFollowsContent) {
    const TransformerSpec spec = fixtureSpec(true, 2);
    const auto a = fixtureModel(spec, 3.0);
    const auto b = fixtureModel(spec, 3.0);
    EXPECT_EQ(a->artifact_bytes(), b->artifact_bytes());
    EXPECT_EQ(a->artifact_checksum(), b->artifact_checksum());

    TransformerWeights changed = fixtureWeights(spec, 3.0);
    changed.layers[1].ffn_up.data[3] = std::nextafter(changed.layers[1].ffn_up.data[3], 1.0);
    const auto c = std::make_shared<const TransformerModel>(spec, changed);
    const auto d = std::make_shared<const TransformerModel>(spec, fixtureWeights(spec, 3.0),
                                                            std::string("tok"));
    const auto e =
        std::make_shared<const TransformerModel>(spec, fixtureWeights(spec, 3.0), std::string(""));
    const auto f = std::make_shared<const TransformerModel>(spec, fixtureWeights(spec, 3.0),
                                                            std::string("tol"));
    const std::vector<std::uint64_t> ids = {a->artifact_checksum(), c->artifact_checksum(),
                                            d->artifact_checksum(), e->artifact_checksum(),
                                            f->artifact_checksum()};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (std::size_t j = i + 1; j < ids.size(); ++j) EXPECT_NE(ids[i], ids[j]) << i << j;
    }
}

TEST(TransformerModel, ConstructionFailuresSurfaceUnchanged) {
    const TransformerSpec spec = fixtureSpec(false, 2);
    const auto build = [](const TransformerSpec& s, TransformerWeights w) {
        (void)TransformerModel(s, std::move(w));
    };
    TransformerWeights fewer = fixtureWeights(spec, 1.0);
    fewer.layers.pop_back();
    EXPECT_THROW_MSG(build(spec, fewer), std::invalid_argument, "weight layer count mismatch");

    TransformerSpec untied = spec;
    untied.tied_embeddings = false;
    EXPECT_THROW_MSG(build(untied, fixtureWeights(untied, 1.0)), std::invalid_argument,
                     "output embedding has an invalid shape");
    EXPECT_NO_THROW(build(spec, fixtureWeights(spec, 1.0)));

    TransformerSpec gelu = spec;
    gelu.feed_forward = FeedForwardKind::gelu;
    TransformerWeights bad_gate = fixtureWeights(gelu, 1.0);
    bad_gate.layers[1].ffn_gate = Tensor({4, 7}, 0.0, true);
    EXPECT_THROW_MSG(build(gelu, bad_gate), std::invalid_argument,
                     "feed-forward gate weight has an invalid shape");

    TransformerSpec invalid = spec;
    invalid.ports.clear();
    EXPECT_THROW_MSG(build(invalid, fixtureWeights(spec, 1.0)), std::invalid_argument,
                     "transformer forward received invalid spec");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    TransformerWeights row0 = fixtureWeights(spec, 1.0);
    at(row0.token_embedding, {0, 2}) = nan;
    EXPECT_THROW_MSG(build(spec, row0), std::domain_error, "transformer forward produced NaN/Inf");
    // Row 5 is read only by the tied output projection.
    TransformerWeights row5 = fixtureWeights(spec, 1.0);
    at(row5.token_embedding, {5, 1}) = nan;
    EXPECT_THROW_MSG(build(spec, row5), std::domain_error, "transformer forward produced NaN/Inf");
    row5.output_embedding = fixtureWeights(spec, 2.0).token_embedding;
    EXPECT_NO_THROW(build(untied, row5));
}

// Every weight whose storage holds fewer or more values than its shape counts is refused with
// that weight's own shape message, before anything reads it (an embedding row past the stored
// values would otherwise be read at the first step that names its token).
TEST(TransformerModel, WeightStorageMustHoldExactlyItsShape) {
    TransformerSpec untied = fixtureSpec(false, 2);
    untied.tied_embeddings = false;
    TransformerWeights good = fixtureWeights(untied, 1.0);
    good.output_embedding = fixtureWeights(untied, 2.0).token_embedding;
    ASSERT_NO_THROW((void)TransformerModel(untied, good));

    struct Case {
        const char* message;
        Tensor& (*field)(TransformerWeights&);
    };
    const Case cases[] = {
        {"token embedding has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.token_embedding; }},
        {"final norm has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.final_norm; }},
        {"output embedding has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.output_embedding; }},
        {"attention norm has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[0].attention_norm; }},
        {"query weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[1].query; }},
        {"key weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[0].key; }},
        {"value weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[1].value; }},
        {"attention output weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[0].attention_output; }},
        {"feed-forward norm has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[1].ffn_norm; }},
        {"feed-forward gate weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[0].ffn_gate; }},
        {"feed-forward up weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[1].ffn_up; }},
        {"feed-forward down weight has an invalid shape",
         [](TransformerWeights& w) -> Tensor& { return w.layers[0].ffn_down; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::size_t count = c.field(good).data.size();
        for (const std::size_t stored : {std::size_t{0}, std::size_t{1}, count - 1, count + 1}) {
            SCOPED_TRACE(stored);
            TransformerWeights weights = good;
            c.field(weights).data.resize(stored, 0.5);
            EXPECT_THROW_MSG((void)TransformerModel(untied, weights), std::invalid_argument,
                             c.message);
        }
    }
}

// A large spec whose weights carry the right shapes but no values is refused at the first
// weight, without reading or allocating for what the shapes claim.
TEST(TransformerModel, ShapedButEmptyWeightsOfAHugeSpecAreRefused) {
    TransformerSpec spec = fixtureSpec(false, 64);
    spec.vocabulary = 1u << 20;
    spec.context = 1u << 16;
    spec.query_heads = 64;
    spec.kv_heads = 64;
    spec.head_dim = 256;
    spec.model_dim = spec.query_heads * spec.head_dim;
    spec.ffn_dim = 4 * spec.model_dim;
    spec.ports[1].width = spec.vocabulary;
    ASSERT_TRUE(validateSpec(spec).empty());
    const auto shaped = [](std::vector<std::uint64_t> shape) {
        Tensor t;
        t.shape = std::move(shape);
        return t;
    };
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    TransformerWeights weights;
    weights.token_embedding = shaped({spec.vocabulary, d});
    weights.final_norm = shaped({d});
    for (std::uint32_t l = 0; l < spec.layers; ++l) {
        weights.layers.push_back({shaped({d}), shaped({d, d}), shaped({d, d}), shaped({d, d}),
                                  shaped({d, d}), shaped({d}), shaped({f, d}), shaped({f, d}),
                                  shaped({d, f})});
    }
    EXPECT_THROW_MSG((void)TransformerModel(spec, weights), std::invalid_argument,
                     "token embedding has an invalid shape");
}

}  // namespace
