#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define TARVEL_TEST_LEAK_CHECKER 1
#endif
#endif

#include "support/specs.hpp"
#include "tarvel/spec/fingerprint.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

const std::string golden_text =
    "tarvel-transformer-spec-v1;10:vocabulary=2:11;7:context=1:8;6:layers=1:2;"
    "9:model_dim=1:4;7:ffn_dim=1:7;11:query_heads=1:2;8:kv_heads=1:2;8:head_dim=1:2;"
    "13:position_kind=1:0;9:rope_base=5:10000;18:normalization_kind=1:0;"
    "21:normalization_epsilon=22:1.0000000000000001e-05;12:feed_forward=1:1;"
    "13:weights_dtype=1:0;17:activations_dtype=1:0;14:kv_cache_dtype=1:0;"
    "15:tied_embeddings=1:1;10:port_count=1:2;9:port_name=6:tokens;"
    "14:port_direction=1:0;9:port_kind=1:0;10:port_width=1:1;"
    "11:port_schema=8:tokens/1;9:port_name=6:logits;14:port_direction=1:1;"
    "9:port_kind=1:2;10:port_width=2:11;11:port_schema=8:logits/1;";

TransformerSpec goldenSpec() {
    return tarvel_test::exampleSpec();
}

TEST(Fingerprint, GoldenSpecTextAndValue) {
    ASSERT_EQ(golden_text.size(), 606u);
    EXPECT_EQ(canonicalSpecText(goldenSpec()), golden_text);
    EXPECT_EQ(specFingerprint(goldenSpec()), 0x5F755F03BC276727u);
}

TEST(Fingerprint, SpecWithoutPortsEndsWithPortCountZero) {
    TransformerSpec spec = goldenSpec();
    spec.ports.clear();
    const std::string text = canonicalSpecText(spec);
    const std::string expected_end = "15:tied_embeddings=1:1;10:port_count=1:0;";
    ASSERT_GE(text.size(), expected_end.size());
    EXPECT_EQ(text.substr(text.size() - expected_end.size()), expected_end);
}

TEST(Fingerprint, RealNumbersUseSeventeenSignificantDigits) {
    struct Case {
        double value;
        std::string text;
    };
    const Case cases[] = {
        {10000.0, "10000"},
        {1e-5, "1.0000000000000001e-05"},
        {1e-6, "9.9999999999999995e-07"},
        {0.5, "0.5"},
        {500000.0, "500000"},
        {1e22, "1e+22"},
        {1e16, "10000000000000000"},
        {1e17, "1e+17"},
        {1e-4, "0.0001"},
        {0.1, "0.10000000000000001"},
        {-2.5, "-2.5"},
        {std::numeric_limits<double>::denorm_min(), "4.9406564584124654e-324"},
    };
    for (const Case& c : cases) {
        TransformerSpec spec = goldenSpec();
        spec.position.rope_base = c.value;
        const std::string field =
            "9:rope_base=" + std::to_string(c.text.size()) + ":" + c.text + ";";
        EXPECT_NE(canonicalSpecText(spec).find(field), std::string::npos) << c.text;
    }
}

TEST(Fingerprint, EveryFieldChangesTheText) {
    using Change = std::function<void(TransformerSpec&)>;
    const std::vector<Change> changes = {
        [](TransformerSpec& s) { s.vocabulary = 12; },
        [](TransformerSpec& s) { s.context = 9; },
        [](TransformerSpec& s) { s.layers = 3; },
        [](TransformerSpec& s) { s.model_dim = 5; },
        [](TransformerSpec& s) { s.ffn_dim = 8; },
        [](TransformerSpec& s) { s.query_heads = 1; },
        [](TransformerSpec& s) { s.kv_heads = 1; },
        [](TransformerSpec& s) { s.head_dim = 4; },
        [](TransformerSpec& s) { s.position.kind = static_cast<PositionKind>(1); },
        [](TransformerSpec& s) { s.position.rope_base = 10000.000000000002; },
        [](TransformerSpec& s) { s.normalization.kind = static_cast<NormalizationKind>(1); },
        [](TransformerSpec& s) { s.normalization.epsilon = 1e-6; },
        [](TransformerSpec& s) { s.feed_forward = FeedForwardKind::gelu; },
        [](TransformerSpec& s) { s.precision.weights = DType::bf16; },
        [](TransformerSpec& s) { s.precision.activations = DType::f16; },
        [](TransformerSpec& s) { s.precision.kv_cache = static_cast<DType>(7); },
        [](TransformerSpec& s) { s.tied_embeddings = false; },
        [](TransformerSpec& s) { s.ports.pop_back(); },
        [](TransformerSpec& s) { std::swap(s.ports[0], s.ports[1]); },
        [](TransformerSpec& s) { s.ports[1].name = "logitz"; },
        [](TransformerSpec& s) { s.ports[1].direction = PortDirection::input; },
        [](TransformerSpec& s) { s.ports[1].kind = PortKind::embedding; },
        [](TransformerSpec& s) { s.ports[1].width = 12; },
        [](TransformerSpec& s) { s.ports[1].schema = "logits/2"; },
        // Moving bytes between adjacent fields must not collide.
        [](TransformerSpec& s) {
            s.ports[0].name = "tokens/1";
            s.ports[0].schema = "tokens";
        },
    };
    const std::uint64_t base = specFingerprint(goldenSpec());
    for (std::size_t i = 0; i < changes.size(); ++i) {
        TransformerSpec spec = goldenSpec();
        changes[i](spec);
        EXPECT_NE(canonicalSpecText(spec), golden_text) << "change " << i;
        EXPECT_NE(specFingerprint(spec), base) << "change " << i;
    }
}

// Each feature of the block, and each of its parameters, on its own: every one gets a text and a
// fingerprint of its own, different from the plain spec's and from every other's.
TEST(Fingerprint, EverySingleFeatureChangeHasItsOwnFingerprint) {
    using Change = std::function<void(TransformerSpec&)>;
    const auto llama3 = [](TransformerSpec& s) {
        s.position.scaling = {RopeScalingKind::llama3, 8.0, 1.0, 4.0, 8192};
    };
    const std::vector<Change> changes = {
        [](TransformerSpec& s) {
            s.position.scaling = {RopeScalingKind::linear, 2.0, 1.0, 4.0, 0};
        },
        [](TransformerSpec& s) {
            s.position.scaling = {RopeScalingKind::linear, 4.0, 1.0, 4.0, 0};
        },
        llama3,
        [&](TransformerSpec& s) {
            llama3(s);
            s.position.scaling.factor = 32.0;
        },
        [&](TransformerSpec& s) {
            llama3(s);
            s.position.scaling.low_freq_factor = 2.0;
        },
        [&](TransformerSpec& s) {
            llama3(s);
            s.position.scaling.high_freq_factor = 8.0;
        },
        [&](TransformerSpec& s) {
            llama3(s);
            s.position.scaling.original_context = 4096;
        },
        [](TransformerSpec& s) { s.attention.qkv_bias = true; },
        [](TransformerSpec& s) { s.attention.output_bias = true; },
        [](TransformerSpec& s) { s.attention.qk_norm = true; },
        [](TransformerSpec& s) { s.attention.window = 4; },
        [](TransformerSpec& s) { s.attention.window = 5; },
        [](TransformerSpec& s) {
            s.attention.window = 4;
            s.attention.window_layers = WindowLayers::even;
        },
        [](TransformerSpec& s) { s.attention.score_scalar = 256.0; },
        [](TransformerSpec& s) { s.attention.score_scalar = 144.0; },
        [](TransformerSpec& s) { s.attention.score_softcap = 50.0; },
        [](TransformerSpec& s) { s.attention.score_softcap = 30.0; },
        [](TransformerSpec& s) { s.normalization.unit_offset = true; },
        [](TransformerSpec& s) { s.normalization.post_attention = true; },
        [](TransformerSpec& s) { s.normalization.post_feed_forward = true; },
        [](TransformerSpec& s) { s.feed_forward = FeedForwardKind::geglu_tanh; },
        [](TransformerSpec& s) { s.embedding_scale = 2.0; },
        [](TransformerSpec& s) { s.embedding_scale = 45.25; },
        [](TransformerSpec& s) { s.logit_softcap = 30.0; },
        [](TransformerSpec& s) { s.logit_softcap = 50.0; },
        // Model dimensions apart from the heads' width.
        [](TransformerSpec& s) { s.head_dim = 4; },
    };
    std::vector<std::string> texts = {golden_text};
    std::vector<std::uint64_t> fingerprints = {specFingerprint(goldenSpec())};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        TransformerSpec spec = goldenSpec();
        changes[i](spec);
        const std::string text = canonicalSpecText(spec);
        const std::uint64_t fingerprint = specFingerprint(spec);
        for (std::size_t j = 0; j < texts.size(); ++j) {
            EXPECT_NE(text, texts[j]) << "change " << i << " against " << j;
            EXPECT_NE(fingerprint, fingerprints[j]) << "change " << i << " against " << j;
        }
        texts.push_back(text);
        fingerprints.push_back(fingerprint);
    }
}

// The features follow the ports, each named with its parameters; off, they are not there.
TEST(Fingerprint, FeaturesFollowThePortsByName) {
    TransformerSpec spec = goldenSpec();
    spec.position.scaling = {RopeScalingKind::llama3, 8.0, 1.0, 4.0, 8192};
    spec.attention = {true, true, true, 4096, WindowLayers::even, 256.0, 50.0};
    spec.normalization.unit_offset = true;
    spec.normalization.post_attention = true;
    spec.normalization.post_feed_forward = true;
    spec.embedding_scale = 45.25;
    spec.logit_softcap = 30.0;
    EXPECT_EQ(canonicalSpecText(spec),
              golden_text +
                  "17:rope_scaling_kind=1:2;19:rope_scaling_factor=1:8;"
                  "28:rope_scaling_low_freq_factor=1:1;29:rope_scaling_high_freq_factor=1:4;"
                  "29:rope_scaling_original_context=4:8192;18:attention_qkv_bias=1:1;"
                  "21:attention_output_bias=1:1;17:attention_qk_norm=1:1;"
                  "16:attention_window=4:4096;23:attention_window_layers=1:1;"
                  "22:attention_score_scalar=3:256;23:attention_score_softcap=2:50;"
                  "25:normalization_unit_offset=1:1;28:normalization_post_attention=1:1;"
                  "31:normalization_post_feed_forward=1:1;15:embedding_scale=5:45.25;"
                  "13:logit_softcap=2:30;");
    // Parameters of a feature that is off do not count: they change nothing computed.
    TransformerSpec off = goldenSpec();
    off.position.scaling.factor = 8.0;
    off.attention.window_layers = WindowLayers::even;
    EXPECT_EQ(canonicalSpecText(off), golden_text);
}

TEST(Fingerprint, SeparatorsInANameOnlyChangeThatField) {
    TransformerSpec spec = goldenSpec();
    spec.ports[0].name = "tok;e=ns";
    std::string expected = golden_text;
    const std::string field = "9:port_name=6:tokens;";
    expected.replace(expected.find(field), field.size(), "9:port_name=8:tok;e=ns;");
    EXPECT_EQ(canonicalSpecText(spec), expected);
}

// Restores the global C++ and C locales however the test ends.
class GlobalLocaleGuard {
  public:
    GlobalLocaleGuard() : saved_(std::locale()) {}
    ~GlobalLocaleGuard() {
        std::locale::global(saved_);
        std::setlocale(LC_ALL, "C");
    }
    GlobalLocaleGuard(const GlobalLocaleGuard&) = delete;
    GlobalLocaleGuard& operator=(const GlobalLocaleGuard&) = delete;

  private:
    std::locale saved_;
};

// Switches the global C and C++ locales to one whose decimal separator is a comma.
bool switchToCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                             "fr_FR", "ru_RU.UTF-8", "nl_NL.UTF-8", "it_IT.UTF-8"}) {
        try {
            std::locale::global(std::locale(name));
        } catch (const std::runtime_error&) {
            continue;
        }
        std::setlocale(LC_ALL, name);
        if (std::localeconv()->decimal_point[0] == ',') return true;
    }
    return false;
}

// A fresh machine usually has no such locale installed, and installing one needs root. glibc
// builds one from its locale sources into any directory (here the test's working directory, in
// the build tree), and LOCPATH points setlocale there.
bool buildCommaLocale() {
    const std::filesystem::path dir = std::filesystem::current_path() / "comma-locale";
    if (!std::filesystem::exists(dir / "de_DE.UTF-8" / "LC_NUMERIC")) {
        std::filesystem::create_directories(dir);
        const std::string command = "localedef -c -i de_DE -f UTF-8 '" +
                                    (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
        // localedef exits non-zero for mere warnings, so success is judged by what it wrote.
        (void)std::system(command.c_str());
        if (!std::filesystem::exists(dir / "de_DE.UTF-8" / "LC_NUMERIC")) return false;
    }
    ::setenv("LOCPATH", dir.c_str(), 1);
    return true;
}

// glibc keeps the LOCPATH search list it builds in setlocale for the rest of the process, out
// of the leak checker's sight; what this test allocates otherwise is freed before it ends.
struct LocaleAllocationsIgnored {
#ifdef TARVEL_TEST_LEAK_CHECKER
    LocaleAllocationsIgnored() {
        __lsan_disable();
    }
    ~LocaleAllocationsIgnored() {
        __lsan_enable();
    }
#endif
};

TEST(Fingerprint, TextIgnoresACommaDecimalLocale) {
    const std::string before = canonicalSpecText(goldenSpec());
    [[maybe_unused]] const LocaleAllocationsIgnored ignored;
    GlobalLocaleGuard guard;
    const bool switched = switchToCommaLocale() || (buildCommaLocale() && switchToCommaLocale());
    if (!switched) GTEST_SKIP() << "no locale with a comma decimal separator is installed";
    std::ostringstream probe;
    probe << 0.5;
    ASSERT_EQ(probe.str(), "0,5") << "the global locale did not take effect";
    EXPECT_EQ(canonicalSpecText(goldenSpec()), before);
}

}  // namespace
