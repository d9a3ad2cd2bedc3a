// Encoding and decoding a megabyte of English with published tokenizer.json files: the ones the
// tokenizer tests fetch with npm (ctest -R tokenizer-reference-fetch puts them in the build tree).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tarvel/tokenizer/tokenizer.hpp"

namespace {

using Nuvexis::Core::Tarvel::Tokenizer;

// A megabyte of plain English prose: sentences of common words with capitals, commas, numbers,
// quotes and paragraphs, the same every run.
const std::string& englishText() {
    static const std::string text = [] {
        static const char* const words[] = {"the",
                                            "of",
                                            "and",
                                            "to",
                                            "a",
                                            "in",
                                            "is",
                                            "it",
                                            "you",
                                            "that",
                                            "he",
                                            "was",
                                            "for",
                                            "on",
                                            "are",
                                            "with",
                                            "as",
                                            "his",
                                            "they",
                                            "be",
                                            "at",
                                            "one",
                                            "have",
                                            "this",
                                            "from",
                                            "or",
                                            "had",
                                            "by",
                                            "word",
                                            "but",
                                            "what",
                                            "some",
                                            "we",
                                            "can",
                                            "out",
                                            "other",
                                            "were",
                                            "all",
                                            "there",
                                            "when",
                                            "up",
                                            "use",
                                            "your",
                                            "how",
                                            "said",
                                            "an",
                                            "each",
                                            "she",
                                            "which",
                                            "do",
                                            "their",
                                            "time",
                                            "if",
                                            "will",
                                            "way",
                                            "about",
                                            "many",
                                            "then",
                                            "them",
                                            "would",
                                            "write",
                                            "like",
                                            "so",
                                            "these",
                                            "her",
                                            "long",
                                            "make",
                                            "thing",
                                            "see",
                                            "him",
                                            "two",
                                            "has",
                                            "look",
                                            "more",
                                            "day",
                                            "could",
                                            "go",
                                            "come",
                                            "did",
                                            "number",
                                            "sound",
                                            "no",
                                            "most",
                                            "people",
                                            "my",
                                            "over",
                                            "know",
                                            "water",
                                            "than",
                                            "call",
                                            "first",
                                            "who",
                                            "may",
                                            "down",
                                            "side",
                                            "been",
                                            "now",
                                            "find",
                                            "government",
                                            "understanding",
                                            "nevertheless",
                                            "extraordinary",
                                            "relationship",
                                            "development",
                                            "information"};
        const std::size_t count = sizeof words / sizeof words[0];
        std::uint64_t state = 42;
        const auto next = [&] {
            state = state * 6364136223846793005u + 1442695040888963407u;
            return static_cast<std::size_t>(state >> 33);
        };
        std::string out;
        while (out.size() < 1024 * 1024) {
            const std::size_t sentence = 6 + next() % 14;
            for (std::size_t w = 0; w < sentence; ++w) {
                std::string word = words[next() % count];
                if (w == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
                if (next() % 29 == 0) word = std::to_string(next() % 2000);
                if (next() % 41 == 0) word = "\"" + word + "\"";
                if (w != 0) out += ' ';
                out += word;
                if (w + 1 < sentence && next() % 9 == 0) out += ',';
            }
            out += next() % 7 == 0 ? "?" : ".";
            out += next() % 8 == 0 ? "\n\n" : " ";
        }
        out.resize(1024 * 1024);
        return out;
    }();
    return text;
}

const Tokenizer* family(const std::string& name) {
    static std::map<std::string, std::unique_ptr<Tokenizer>> loaded;
    auto& slot = loaded[name];
    if (!slot) {
        const std::filesystem::path file = std::filesystem::path(TARVEL_TOKENIZER_PACKAGES) /
                                           "@lenml" / ("tokenizer-" + name) / "models" /
                                           "tokenizer.json";
        if (!std::filesystem::exists(file)) return nullptr;
        slot = std::make_unique<Tokenizer>(Tokenizer::fromJsonFile(file));
    }
    return slot.get();
}

void skipWithoutFiles(benchmark::State& state) {
    state.SkipWithError(
        "the published tokenizer.json files are missing: run `ctest --test-dir build/ci -R "
        "tokenizer-reference-fetch` first");
}

void BM_EncodeEnglishMegabyte(benchmark::State& state, const std::string& name) {
    const Tokenizer* tokenizer = family(name);
    if (tokenizer == nullptr) return skipWithoutFiles(state);
    const std::string& text = englishText();
    std::size_t ids = 0;
    for (auto _ : state) {
        const std::vector<std::uint32_t> encoded = tokenizer->encode(text);
        ids = encoded.size();
        benchmark::DoNotOptimize(encoded.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["ids"] = static_cast<double>(ids);
}

void BM_DecodeEnglishMegabyte(benchmark::State& state, const std::string& name) {
    const Tokenizer* tokenizer = family(name);
    if (tokenizer == nullptr) return skipWithoutFiles(state);
    const std::vector<std::uint32_t> ids = tokenizer->encode(englishText());
    for (auto _ : state) {
        const std::string text = tokenizer->decode(ids);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(englishText().size()));
}

BENCHMARK_CAPTURE(BM_EncodeEnglishMegabyte, llama3, std::string("llama3"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeEnglishMegabyte, qwen3, std::string("qwen3"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeEnglishMegabyte, gemma3, std::string("gemma3"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeEnglishMegabyte, llama2, std::string("llama2"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeEnglishMegabyte, llama3, std::string("llama3"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeEnglishMegabyte, gemma3, std::string("gemma3"))
    ->Unit(benchmark::kMillisecond);

}  // namespace
