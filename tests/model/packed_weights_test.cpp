#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/models.hpp"
#include "support/small_model.hpp"
#include "tarvel/core/detail/packed.hpp"
#include "tarvel/model/detail/packed_weights.hpp"

using namespace tarvel_test;
using Nuvexis::Core::Tarvel::detail::F16;
using Nuvexis::Core::Tarvel::detail::PackedTensor;
using Nuvexis::Core::Tarvel::detail::PackedType;

namespace {

std::uint64_t bitsOf(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

const char* typeName(PackedType type) {
    switch (type) {
        case PackedType::bf16:
            return "bf16";
        case PackedType::f16:
            return "f16";
        case PackedType::f32:
            return "f32";
        case PackedType::f64:
            return "f64";
        case PackedType::quantized:
            return "quantized";
    }
    return "?";
}

struct PackCase {
    const char* name;
    std::vector<double> values;
    PackedType expected;
};

TEST(PackedWeights, PicksTheNarrowestTypeHoldingEveryValueExactly) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<PackCase> cases = {
        {"exactly bf16", {1.0, -0.5, 3.0, 0.15625, -1024.0}, PackedType::bf16},
        {"zeros", {0.0, 0.0, 0.0}, PackedType::bf16},
        {"negative zero", {-0.0, 0.0}, PackedType::bf16},
        {"bf16 beyond the f16 range", {0x1p100, -0x1p-120}, PackedType::bf16},
        {"bf16 subnormal", {0x1p-133, -0x3p-133}, PackedType::bf16},
        {"f16 subnormal that is also bf16", {0x1p-24, -0x3p-24}, PackedType::bf16},
        {"infinities keep their bits", {inf, -inf, 1.0}, PackedType::bf16},
        {"exactly f16, not bf16", {1.0 + 0x1p-10, -2047.0, 65504.0}, PackedType::f16},
        {"f16 subnormal, not bf16", {1023 * 0x1p-24, -0.0}, PackedType::f16},
        {"f16 smallest normal with ten fraction bits",
         {(1.0 + 0x1p-10) * 0x1p-14},
         PackedType::f16},
        {"f16 fraction beyond the f16 range", {1.0 + 0x1p-10, 65536.0 + 64.0}, PackedType::f32},
        {"f16 fraction with a large bf16 value", {1.0 + 0x1p-10, 0x1p100}, PackedType::f32},
        {"f16 fraction below the f16 subnormals", {1.0 + 0x1p-10, 0x1p-25}, PackedType::f32},
        {"f32 only", {1.0 + 0x1p-20, 0.1f}, PackedType::f32},
        {"f32 subnormal", {0x1p-149}, PackedType::f32},
        {"largest float",
         {static_cast<double>(std::numeric_limits<float>::max())},
         PackedType::f32},
        {"double only", {1.0, 1.0 + 0x1p-30}, PackedType::f64},
        {"double beyond the float range", {0x1p200}, PackedType::f64},
        {"double subnormal", {0x1p-1074}, PackedType::f64},
        {"NaN with a payload float cannot hold",
         {std::bit_cast<double>(std::uint64_t{0x7ff8000000000001u})},
         PackedType::f64},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(c.name);
        Tensor tensor({c.values.size()}, 0.0, true);
        tensor.data = c.values;
        const PackedTensor packed = Nuvexis::Core::Tarvel::detail::packTensor(tensor);
        EXPECT_STREQ(typeName(packed.type()), typeName(c.expected));
        ASSERT_EQ(packed.size(), c.values.size());
        EXPECT_EQ(packed.shape, tensor.shape);
        const Tensor back = Nuvexis::Core::Tarvel::detail::unpackTensor(packed);
        for (std::size_t i = 0; i < c.values.size(); ++i) {
            EXPECT_EQ(bitsOf(Nuvexis::Core::Tarvel::detail::packedAt(packed, i)),
                      bitsOf(c.values[i]));
            EXPECT_EQ(bitsOf(back.data[i]), bitsOf(c.values[i]));
        }
    }
}

// Every finite binary16 widens to its value and packs back into two bytes.
TEST(PackedWeights, EveryFiniteHalfWidensExactlyAndPacksNarrow) {
    for (std::uint32_t bits = 0; bits < 0x10000u; ++bits) {
        const std::uint32_t exponent = (bits >> 10) & 0x1fu;
        if (exponent == 0x1f) continue;
        const std::uint32_t fraction = bits & 0x3ffu;
        const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(fraction), -24)
                                               : std::ldexp(static_cast<double>(fraction | 0x400u),
                                                            static_cast<int>(exponent) - 25);
        const double value = (bits & 0x8000u) != 0 ? -magnitude : magnitude;
        const double widened =
            Nuvexis::Core::Tarvel::detail::widen(F16{static_cast<std::uint16_t>(bits)});
        ASSERT_EQ(bitsOf(widened), bitsOf(value)) << "bits " << bits;
        const PackedType type =
            Nuvexis::Core::Tarvel::detail::narrowestExactType(std::span<const double>(&value, 1));
        ASSERT_TRUE(type == PackedType::bf16 || type == PackedType::f16) << "bits " << bits;
    }
}

enum class Rounding { bf16, f16, f32 };

double roundTo(double x, Rounding rounding) {
    switch (rounding) {
        case Rounding::bf16: {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(x));
            return static_cast<double>(std::bit_cast<float>(bits & 0xffff0000u));
        }
        case Rounding::f16:
            // Eleven significant bits at most for |x| < 2: a normal binary16.
            return std::nearbyint(x * 1024.0) / 1024.0;
        case Rounding::f32:
            return static_cast<double>(static_cast<float>(x));
    }
    return x;
}

TransformerWeights rounded(TransformerWeights weights, Rounding rounding) {
    const auto apply = [&](Tensor& t) {
        for (double& x : t.data) x = roundTo(x, rounding);
    };
    apply(weights.token_embedding);
    for (LayerWeights& l : weights.layers) {
        for (Tensor* t : {&l.attention_norm, &l.query, &l.key, &l.value, &l.attention_output,
                          &l.ffn_norm, &l.ffn_gate, &l.ffn_up, &l.ffn_down}) {
            apply(*t);
        }
    }
    apply(weights.final_norm);
    apply(weights.output_embedding);
    return weights;
}

void expectSameBits(const Tensor& a, const Tensor& b) {
    ASSERT_EQ(a.shape, b.shape);
    ASSERT_EQ(a.data.size(), b.data.size());
    for (std::size_t i = 0; i < a.data.size(); ++i) {
        ASSERT_EQ(bitsOf(a.data[i]), bitsOf(b.data[i])) << "element " << i;
    }
}

// Logits from packed storage, by the full pass and by cached steps, equal bit for bit those of
// the same values held as doubles.
TEST(PackedWeights, LogitsOfNarrowWeightsEqualThoseOfDoubleStorage) {
    struct Case {
        const char* name;
        Rounding rounding;
        PackedType expected;
        std::uint64_t bytes_per_value;
    };
    const Case cases[] = {{"bf16", Rounding::bf16, PackedType::bf16, 2},
                          {"f16", Rounding::f16, PackedType::f16, 2},
                          {"f32", Rounding::f32, PackedType::f32, 4}};
    ModelShape shape;
    shape.vocabulary = 17;
    shape.context = 8;
    shape.layers = 2;
    shape.query_heads = 4;
    shape.kv_heads = 2;
    shape.head_dim = 4;
    shape.ffn_dim = 12;
    shape.tied_embeddings = false;
    const TransformerSpec spec = makeSpec(shape);
    const std::vector<std::uint32_t> tokens = {3, 1, 16, 0, 7, 7, 2, 9};
    for (const bool double_precision : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (double_precision ? " double" : " float32"));
            const TransformerWeights weights = rounded(makeWeights(shape, 5), c.rounding);
            auto model = std::make_shared<const TransformerModel>(spec, weights);
            const auto& packed = model->packed_weights();
            EXPECT_EQ(packed.layers[1].ffn_down.type(), c.expected);
            EXPECT_EQ(packed.output_embedding.type(), c.expected);
            std::uint64_t values = 0;
            for (const auto& [name, tensor] : modelArtifactTensors(weights)) {
                values += tensor.get().data.size();
            }
            EXPECT_EQ(model->weight_bytes(), c.bytes_per_value * values);

            ForwardOptions options;
            options.double_precision = double_precision;
            const Tensor plain = transformerForward(spec, weights, singleSequence(tokens), options);
            const Tensor full = Nuvexis::Core::Tarvel::detail::packedForward(
                spec, packed, singleSequence(tokens), options);
            expectSameBits(full, plain);

            TransformerKvSession session(model, 1);
            TransformerKvOptions kv;
            kv.double_precision = double_precision;
            const Tensor prefill =
                forwardCached(singleSequence({tokens.begin(), tokens.begin() + 5}), session, kv)
                    .logits;
            for (std::size_t t = 5; t < tokens.size(); ++t) {
                const Tensor step = forwardCached(singleSequence({tokens[t]}), session, kv).logits;
                for (std::uint64_t v = 0; v < spec.vocabulary; ++v) {
                    ASSERT_EQ(bitsOf(at(step, {0, 0, v})), bitsOf(at(plain, {0, t, v})));
                }
            }
            for (std::uint64_t t = 0; t < 5; ++t) {
                for (std::uint64_t v = 0; v < spec.vocabulary; ++v) {
                    ASSERT_EQ(bitsOf(at(prefill, {0, t, v})), bitsOf(at(plain, {0, t, v})));
                }
            }
        }
    }
}

}  // namespace
