// The `tarvel` command run as a process: exit codes, one-line errors, the JSON shapes, greedy
// and seeded determinism, a run saved and resumed equal to one uninterrupted run, and output
// that cannot be written reported as a failure.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "fixture_checkpoints.hpp"
#include "support/fifo.hpp"
#include "support/trained_tokenizer.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/generate/generate.hpp"
#include "tarvel/reference/compare.hpp"
#include "tarvel/reference/npy.hpp"
#include "tarvel/reference/perplexity.hpp"
#include "tarvel/reference/score.hpp"
#include "tarvel/tarvel.hpp"
#include "tarvel/version.hpp"

using namespace Nuvexis::Core::Tarvel;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::uint8_t> slurp_bytes(const std::filesystem::path& path) {
    const std::string text = slurp(path);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string quote(const std::string& arg) {
    std::string quoted(1, '\'');
    for (const char c : arg) {
        if (c == '\'') {
            quoted.append("'\\''");
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

// The redirection of standard output into a file.
std::string into(const std::string& path) {
    return std::string(">").append(quote(path));
}

class CliTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new std::filesystem::path(tarvel_test::freshDirectory("cli"));
        const std::string tokenizer = tarvel_test::trainedTokenizerModel(*dir_);
        tarvel_test::writeCheckpoint(model(), tarvel_test::textFixture(300));
        tarvel_test::writeText(model() / "tokenizer.model", tokenizer);
        tarvel_test::writeText(model() / "tokenizer_config.json", R"({"add_bos_token": true})");
        tarvel_test::writeCheckpoint(bare(), tarvel_test::textFixture(300));
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir_);
        delete dir_;
    }
    static std::filesystem::path model() { return *dir_ / "model"; }
    static std::filesystem::path bare() { return *dir_ / "bare"; }
    static std::filesystem::path file(const std::string& name) { return *dir_ / name; }

    static Outcome run(const std::vector<std::string>& args) {
        return runIn("", args, into(file("stdout").string()));
    }
    // With a shell command before the command (a limit, a trap) and standard output sent where
    // `redirect` says.
    static Outcome runIn(const std::string& before, const std::vector<std::string>& args,
                         const std::string& redirect) {
        tarvel_test::writeText(file("stdout"), "");
        std::string command = before + quote(TARVEL_COMMAND);
        for (const std::string& a : args) {
            command.push_back(' ');
            command.append(quote(a));
        }
        command.append(" ");
        command.append(redirect);
        command.append(" 2>");
        command.append(quote(file("stderr").string()));
        const int raw = std::system(command.c_str());
        Outcome result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = slurp(file("stdout"));
        result.err = slurp(file("stderr"));
        return result;
    }

    static std::filesystem::path* dir_;
};
std::filesystem::path* CliTest::dir_ = nullptr;

void expectOneLineError(const Outcome& r, int status, const std::string& what) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, "tarvel: error: " + what + "\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    const std::string m = model().string();
    const std::vector<std::vector<std::string>> calls = {
        {},
        {"generate", "--model", m, "--bogus"},
        {"generate", "--model", m, "--prompt", "a", "--threads", "257"},
        {"generate", "--model", m, "--prompt", "a", "--precision", "half"},
        {"generate", "--model", m, "--prompt", "a", "--max-tokens", "-3"},
        {"logits", "--model", m},
    };
    for (const auto& args : calls) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind("tarvel: error: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    expectOneLineError(run({"generate", "--model", m}), 2,
                       "--prompt or --prompt-file is required unless --resume is given");
    expectOneLineError(run({"generate", "--model", m, "--prompt", "a", "--top-p", "0"}), 2,
                       "--top-p must be greater than zero");
    expectOneLineError(run({"logits", "--model", m, "--tokens", "1 x"}), 2,
                       "--tokens: x is not a token id");
    expectOneLineError(run({"detokenize", "--model", m, "--ids", " "}), 2,
                       "--ids: no token ids given");
}

TEST_F(CliTest, FailuresExitWithOneAndNameTheirCause) {
    const std::string missing = file("nowhere").string();
    expectOneLineError(run({"inspect", "--model", missing}), 1,
                       missing + "/config.json: file is missing");
    expectOneLineError(run({"tokenize", "--model", bare().string(), "--text", "hi"}), 1,
                       bare().string() +
                           ": no tokenizer.json or tokenizer.model, so text cannot be converted; "
                           "use token ids instead");
    expectOneLineError(run({"logits", "--model", model().string(), "--tokens", "1 300"}), 1,
                       "token id exceeds vocabulary");
    // A bad snapshot leaves the target of --save-session as it was.
    tarvel_test::writeText(file("garbage"), "not a snapshot");
    tarvel_test::writeText(file("target"), "old");
    const Outcome r = run({"generate", "--model", model().string(), "--resume",
                           file("garbage").string(), "--save-session", file("target").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(slurp(file("target")), "old");
}

// A mistyped destination costs nothing: it is refused before the model is even loaded.
TEST_F(CliTest, SaveSessionDestinationIsCheckedBeforeLoading) {
    tarvel_test::writeText(file("plain"), "a file");
    const std::string dir = dir_->string();
    const struct {
        std::string target;
        std::string why;
    } cases[] = {
        {dir + "/no/such/dir/s", "the folder " + dir + "/no/such/dir does not exist"},
        {dir + "/plain/s", dir + "/plain is not a folder"},
        {dir, "it is a folder"},
    };
    for (const auto& c : cases) {
        expectOneLineError(run({"generate", "--model", file("nowhere").string(), "--prompt",
                                "The cat", "--save-session", c.target}),
                           1, c.target + ": cannot write the session file; " + c.why);
    }
}

TEST_F(CliTest, LogitsJsonParsesBackToTheLibrarysDoubles) {
    const std::vector<std::uint32_t> ids = {1, 17, 250, 3};
    const LoadedCheckpoint loaded = loadCheckpoint(model());
    for (const std::string precision : {"double", "float32"}) {
        const Outcome r = run({"logits", "--model", model().string(), "--tokens", "1 17 250 3",
                               "--precision", precision});
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json json = nlohmann::json::parse(r.out);
        EXPECT_EQ(json["tokens"].get<std::vector<std::uint32_t>>(), ids);
        const Tensor expected = transformerForward(loaded.model->spec(), loaded.model->weights(),
                                                   TokenBatch{1, 4, ids, {}},
                                                   ForwardOptions{precision == "double", {}, true});
        const auto rows = json["logits"].get<std::vector<std::vector<double>>>();
        ASSERT_EQ(rows.size(), 4u);
        for (std::size_t t = 0; t < 4; ++t) {
            ASSERT_EQ(rows[t].size(), 300u);
            for (std::size_t u = 0; u < 300; ++u) ASSERT_EQ(rows[t][u], expected.data[t * 300 + u]);
        }
    }
}

// score, perplexity and compare print the library's own figures, each double in a form that
// reads back to the same bits; the saved logits are the full pass's.
TEST_F(CliTest, ReferenceCommandsPrintTheLibrarysFigures) {
    const std::vector<std::uint32_t> ids = {1, 17, 250, 3, 99, 42, 7};
    const std::string tokens = "1 17 250 3 99 42 7";
    const std::string m = model().string();
    const LoadedCheckpoint loaded = loadCheckpoint(model());
    ScoreOptions score_options;
    score_options.top = 2;
    const ScoreResult expected = scoreTokens(loaded.model, ids, score_options);

    const std::string npy = file("exact.npy").string();
    const Outcome scored =
        run({"score", "--model", m, "--tokens", tokens, "--top", "2", "--save-logits", npy});
    ASSERT_EQ(scored.status, 0) << scored.err;
    std::istringstream lines(scored.out);
    std::string line;
    std::size_t count = 0;
    while (std::getline(lines, line)) {
        const nlohmann::json json = nlohmann::json::parse(line);
        const TokenLogProbs& want = expected.tokens.at(count++);
        EXPECT_EQ(json["position"], want.position);
        EXPECT_EQ(json["token"], want.token);
        EXPECT_EQ(json["logprob"].get<double>(), want.logprob);
        ASSERT_EQ(json["top"].size(), 2u);
        EXPECT_EQ(json["top"][1]["token"], want.top[1].token);
        EXPECT_EQ(json["top"][1]["logprob"].get<double>(), want.top[1].logprob);
    }
    EXPECT_EQ(count, ids.size() - 1);
    const NpyArray saved = readNpy(slurp_bytes(npy));
    EXPECT_EQ(saved.shape, (std::vector<std::uint64_t>{7, 300}));
    EXPECT_EQ(saved.values, expected.logits.data);

    PerplexityOptions windows;
    windows.context = 4;
    windows.stride = 2;
    const PerplexityResult ppl = perplexity(loaded.model, ids, windows);
    const Outcome p =
        run({"perplexity", "--model", m, "--tokens", tokens, "--context", "4", "--stride", "2"});
    ASSERT_EQ(p.status, 0) << p.err;
    const nlohmann::json pj = nlohmann::json::parse(p.out);
    EXPECT_EQ(pj["perplexity"].get<double>(), ppl.perplexity);
    EXPECT_EQ(pj["negative_log_likelihood"].get<double>(), ppl.negative_log_likelihood);
    EXPECT_EQ(pj["tokens_scored"], ppl.tokens_scored);
    ASSERT_EQ(pj["windows"].size(), ppl.windows.size());
    EXPECT_EQ(pj["windows"][1]["first_scored"], ppl.windows[1].first_scored);
    EXPECT_EQ(pj["windows"][1]["negative_log_likelihood_sum"].get<double>(),
              ppl.windows[1].negative_log_likelihood);
    // A log gets plain lines, ending with every token done.
    EXPECT_NE(p.err.find("perplexity: 6 of 6 tokens"), std::string::npos) << p.err;

    // Against float32 arithmetic saved as .npy, and the same as JSON: one comparison.
    const std::string other = file("float32.npy").string();
    ASSERT_EQ(run({"score", "--model", m, "--tokens", tokens, "--precision", "float32",
                   "--save-logits", other})
                  .status,
              0);
    const NpyArray f32 = readNpy(slurp_bytes(other));
    const Comparison want = compareLogits(LogitsTable{7, 300, expected.logits.data},
                                          LogitsTable{7, 300, f32.values}, ids);
    nlohmann::json as_json = {{"logits", nlohmann::json::array()}};
    for (std::size_t t = 0; t < 7; ++t) {
        as_json["logits"].push_back(
            std::vector<double>(f32.values.begin() + static_cast<long>(t * 300),
                                f32.values.begin() + static_cast<long>(t * 300 + 300)));
    }
    tarvel_test::writeText(file("float32.json"), as_json.dump());
    const std::string chart = file("chart.svg").string();
    for (const std::string& against : {other, file("float32.json").string()}) {
        const Outcome r = run({"compare", "--model", m, "--tokens", tokens, "--against", against,
                               "--json", "--plot", chart});
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json json = nlohmann::json::parse(r.out);
        EXPECT_EQ(json["kl_mean"].get<double>(), want.kl_mean);
        EXPECT_EQ(json["kl_p99"].get<double>(), want.kl_p99);
        EXPECT_EQ(json["top1_agreement"].get<double>(), want.top1_agreement);
        EXPECT_EQ(json["rms_error"].get<double>(), want.rms_error);
        EXPECT_EQ(json["perplexity_other"].get<double>(), *want.perplexity_other);
        EXPECT_EQ(json["kl_per_position"].get<std::vector<double>>(), want.kl_per_position);
        EXPECT_EQ(slurp(chart).rfind("<svg", 0), 0u);
    }
    const Outcome summary = run({"compare", "--model", m, "--tokens", tokens, "--against", other});
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_EQ(summary.out.rfind("positions          7 (vocabulary 300)\n", 0), 0u) << summary.out;
}

TEST_F(CliTest, ReferenceCommandsRefuseWithOneLine) {
    const std::string m = model().string();
    const std::string garbage = file("garbage.json").string();
    tarvel_test::writeText(garbage, R"({"x": 1})");
    const std::string ragged = file("ragged.json").string();
    tarvel_test::writeText(ragged, R"({"logits": [[1, 2], [3]]})");
    const std::string wide = file("wide.npy").string();
    const std::uint64_t shape[] = {2, 5};
    const std::vector<std::uint8_t> wide_bytes = npyBytes(shape, std::vector<double>(10, 0.0));
    tarvel_test::writeText(wide, std::string(wide_bytes.begin(), wide_bytes.end()));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string what;
    } cases[] = {
        {{"score", "--model", m}, 2, "give exactly one of --text-file and --tokens"},
        {{"score", "--model", m, "--tokens", "1", "--text-file", "-"},
         2,
         "give exactly one of --text-file and --tokens"},
        {{"perplexity", "--model", m, "--tokens", "1 2", "--no-bos"},
         2,
         "--bos and --no-bos go with --text-file only"},
        {{"perplexity", "--model", m, "--tokens", "1 2 3", "--context", "2", "--stride", "3"},
         1,
         "perplexity stride must be from 1 to the context"},
        {{"perplexity", "--model", m, "--tokens", "1 2 3", "--context", "301"},
         1,
         "perplexity context exceeds the model's context"},
        {{"score", "--model", m, "--tokens", "1 300"},
         1,
         "token id 300 is outside the vocabulary of 300"},
        {{"score", "--model", m, "--tokens", "1 2", "--save-logits", file("no/x.npy").string()},
         1,
         file("no/x.npy").string() + ": cannot write the logits file; the folder " +
             file("no").string() + " does not exist"},
        {{"compare", "--model", m, "--tokens", "1 2", "--against", garbage},
         1,
         "--against " + garbage + ": neither a .npy file nor JSON with \"logits\""},
        {{"compare", "--model", m, "--tokens", "1 2", "--against", ragged},
         1,
         "--against " + ragged +
             ": \"logits\" must be a list of rows of numbers, all of one length"},
        {{"compare", "--model", m, "--tokens", "1 2", "--against", wide},
         1,
         "other logits have a vocabulary of 5; the exact ones have 300"},
        {{"compare", "--model", m, "--tokens", "1 2 3", "--against", wide},
         1,
         "other logits have 2 positions; the exact ones have 3"},
        {{"generate", "--model", m, "--prompt", "a", "--logprobs", "1001"},
         2,
         "--logprobs: must be an integer from 0 to 1000, not 1001 (see tarvel generate --help)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectOneLineError(run(c.args), c.status, c.what);
    }
}

// --logprobs prints a JSON line per token, then the text the plain command prints.
TEST_F(CliTest, GenerateLogprobsPrintsEachTokenThenTheText) {
    const std::vector<std::string> args = {"generate", "--model",          model().string(),
                                           "--prompt", "Once upon a time", "--max-tokens",
                                           "6"};
    const Outcome plain = run(args);
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::vector<std::string> asked = args;
    asked.insert(asked.end(), {"--logprobs", "3"});
    const Outcome r = run(asked);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<nlohmann::json> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 7u);
    std::string joined;
    for (std::size_t i = 0; i < 6; ++i) {
        // Greedy: the token is the likeliest, with the likeliest's log-probability.
        EXPECT_EQ(lines[i]["token"], lines[i]["top"][0]["token"]);
        EXPECT_EQ(lines[i]["logprob"], lines[i]["top"][0]["logprob"]);
        EXPECT_EQ(lines[i]["top"].size(), 3u);
        joined += lines[i]["text"].get<std::string>();
    }
    EXPECT_EQ(lines[6]["text"].get<std::string>() + "\n", plain.out);
    EXPECT_EQ(plain.out.rfind(joined, 0), 0u);
}

// The benchmark's report: every figure present with its type, the counts as asked, the cache at
// its final length and the weights at their packed size. Timings are only shown to be figures.
void expectBenchReport(const Outcome& r, std::uint64_t prompt, std::uint64_t decode,
                       const TransformerModel& model) {
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json json = nlohmann::json::parse(r.out);
    for (const char* key : {"prefill_tokens_per_s", "decode_tokens_per_s", "prefill_seconds",
                            "decode_seconds", "read_bandwidth_bytes_per_s", "floor_tokens_per_s"}) {
        ASSERT_TRUE(json.contains(key)) << key;
        EXPECT_TRUE(json[key].is_number()) << key;
        EXPECT_GE(json[key].get<double>(), 0.0) << key;
    }
    EXPECT_EQ(json["threads"], 2);
    EXPECT_GT(json["peak_flops"].get<double>(), 0.0);
    EXPECT_GT(json["prefill_flops"].get<double>(), 0.0);
    EXPECT_GE(json["prefill_fraction_of_peak"].get<double>(), 0.0);
    EXPECT_EQ(json["decode_at"], nlohmann::json::array());
    // One run, whose figures are those at the top.
    ASSERT_EQ(json["runs"].size(), 1u);
    for (const auto& [key, value] : json["runs"][0].items()) EXPECT_EQ(json[key], value) << key;
    EXPECT_EQ(json["prompt_tokens"], prompt);
    EXPECT_EQ(json["decode_tokens"], decode);
    EXPECT_EQ(json["cache_positions"], prompt + decode);
    EXPECT_EQ(json["weight_bytes"], model.weight_bytes());
    EXPECT_TRUE(json["peak_rss_bytes"].is_number_unsigned());
    EXPECT_GT(json["peak_rss_bytes"].get<std::uint64_t>(), 0u);
    // Taken before the bandwidth pass's 512 MiB buffer.
    EXPECT_LT(json["peak_rss_bytes"].get<std::uint64_t>(), std::uint64_t{512} << 20);
    // At least the committed cache as doubles, and what it reserved ahead is at most as much.
    const TransformerSpec& s = model.spec();
    const std::uint64_t committed =
        8 * 2 * std::uint64_t{s.layers} * s.kv_heads * s.head_dim * (prompt + decode);
    EXPECT_GE(json["cache_bytes"].get<std::uint64_t>(), committed);
    EXPECT_LE(json["cache_bytes"].get<std::uint64_t>(), 2 * committed);
    // Beside the floor: weights that fit in the last-level cache are read faster than it.
    const nlohmann::json& cache = json.at("last_level_cache_bytes");
    const nlohmann::json& fits = json.at("weights_fit_in_cache");
    if (cache.is_null()) {
        EXPECT_TRUE(fits.is_null());
    } else {
        ASSERT_TRUE(cache.is_number_unsigned());
        EXPECT_GT(cache.get<std::uint64_t>(), 0u);
        EXPECT_EQ(fits, model.weight_bytes() <= cache.get<std::uint64_t>());
    }
}

TEST_F(CliTest, BenchReportsItsFiguresAsJsonWithoutATokenizer) {
    const LoadedCheckpoint loaded = loadCheckpoint(bare());
    for (const std::string precision : {"double", "float32"}) {
        expectBenchReport(run({"bench", "--model", bare().string(), "--prompt-tokens", "5",
                               "--decode-tokens", "3", "--precision", precision, "--threads", "2"}),
                          5, 3, *loaded.model);
    }
    const std::uint32_t context = loaded.model->spec().context;
    expectOneLineError(run({"bench", "--model", bare().string(), "--prompt-tokens", "0"}), 2,
                       "--prompt-tokens must be at least 1");
    expectOneLineError(run({"bench", "--model", bare().string(), "--decode-tokens", "0"}), 2,
                       "--decode-tokens must be at least 1");
    expectOneLineError(run({"bench", "--model", bare().string(), "--prompt-tokens",
                            std::to_string(context), "--decode-tokens", "1"}),
                       2,
                       "--prompt-tokens plus --decode-tokens exceed the model's context of " +
                           std::to_string(context));
}

// --threads-list measures each count in turn, --at single steps at those positions in each run;
// the first run's figures are at the top. What either refuses, before the model is read where
// the text alone shows it.
TEST_F(CliTest, BenchMeasuresThreadCountsInTurnAndStepsAtPositions) {
    const LoadedCheckpoint loaded = loadCheckpoint(bare());
    const std::string m = bare().string();
    const Outcome r = run({"bench", "--model", m, "--prompt-tokens", "3", "--decode-tokens", "2",
                           "--at", "0,1,5", "--threads-list", "1,2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json json = nlohmann::json::parse(r.out);
    const nlohmann::json& runs = json.at("runs");
    ASSERT_EQ(runs.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(runs[i]["threads"], i + 1);
        EXPECT_GT(runs[i]["peak_flops"].get<double>(), 0.0);
        const nlohmann::json& at = runs[i].at("decode_at");
        ASSERT_EQ(at.size(), 3u);
        const std::uint64_t positions[] = {0, 1, 5};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(at[k]["position"], positions[k]);
            EXPECT_GE(at[k]["step_seconds"].get<double>(), 0.0);
            EXPECT_GE(at[k]["tokens_per_s"].get<double>(), 0.0);
        }
    }
    EXPECT_EQ(json["threads"], 1);
    EXPECT_EQ(json["decode_at"], runs[0]["decode_at"]);
    EXPECT_EQ(json["cache_positions"], 5);

    const std::string context = std::to_string(loaded.model->spec().context);
    const std::string at_form = "--at takes positions separated by commas, such as 255,1023,2047";
    const std::string list_form =
        "--threads-list takes thread counts from 1 to 256 separated by commas, such as 1,2";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{"--at", "1,,2"}, at_form},
        {{"--at", "1,"}, at_form},
        {{"--at", "-1"}, at_form},
        {{"--at", "1 2"}, at_form},
        {{"--at", "99999999999999999999"}, at_form},
        {{"--at", "0," + context},
         "--at position " + context + " is not below the model's context of " + context},
        {{"--threads-list", "0,1"}, list_form},
        {{"--threads-list", "257"}, list_form},
        {{"--threads-list", "1;2"}, list_form},
        {{"--threads-list", "1,2", "--threads", "1"},
         "give at most one of --threads and --threads-list"},
    };
    for (const auto& [extra, message] : refusals) {
        std::vector<std::string> args = {"bench", "--model",         m,  "--prompt-tokens",
                                         "1",     "--decode-tokens", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        expectOneLineError(run(args), 2, message);
    }
}

// Output that is lost is a failure, whichever command writes it: a full disk, a file-size limit.
TEST_F(CliTest, OutputThatCannotBeWrittenFails) {
    const std::string m = model().string();
    const std::string full = std::string("cannot write output: ") + std::strerror(ENOSPC);
    const std::vector<std::vector<std::string>> calls = {
        {"generate", "--model", m, "--prompt", "The cat", "--max-tokens", "3"},
        {"logits", "--model", m, "--tokens", "1 17"},
        {"tokenize", "--model", m, "--text", "The cat"},
        {"detokenize", "--model", m, "--ids", "5 6"},
        {"inspect", "--model", m},
        {"bench", "--model", m, "--prompt-tokens", "2", "--decode-tokens", "1", "--threads", "1"},
        {"--help"},
        {"generate", "--help"},
        {"--version"},
    };
    for (const auto& args : calls) {
        const Outcome r = runIn("", args, ">/dev/full");
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "tarvel: error: " + full + "\n") << args[0];
    }
    // Past the limit the write fails instead of a signal ending the process unreported.
    const Outcome limited = runIn("ulimit -f 1; ", {"logits", "--model", m, "--tokens", "1 17 3"},
                                  into(file("stdout").string()));
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(limited.err,
              std::string("tarvel: error: cannot write output: ") + std::strerror(EFBIG) + "\n");
}

// With SIGPIPE ignored, a reader that has gone stops generation at the first write, and nothing
// after it (the snapshot) is done.
TEST_F(CliTest, AClosedPipeStopsGeneration) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    const Outcome r = runIn("trap '' PIPE; ",
                            {"generate", "--model", model().string(), "--prompt", "Once upon",
                             "--max-tokens", "40", "--save-session", file("piped").string()},
                            std::string(">&").append(std::to_string(ends[1])));
    ::close(ends[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              std::string("tarvel: error: cannot write output: ") + std::strerror(EPIPE) + "\n");
    EXPECT_FALSE(std::filesystem::exists(file("piped")));
}

// Numbers are read in decimal within their option's range, never saturated or wrapped.
TEST_F(CliTest, NumbersOutsideTheirRangeAreRefused) {
    const std::string m = model().string();
    const std::string u64 = "must be an integer from 0 to 18446744073709551615, not ";
    const struct {
        std::vector<std::string> args;
        std::string what;
    } cases[] = {
        {{"generate", "--max-tokens", "18446744073709551616"},
         "--max-tokens: " + u64 + "18446744073709551616"},
        {{"generate", "--seed", "100000000000000000000000000000"},
         "--seed: " + u64 + "100000000000000000000000000000"},
        {{"generate", "--seed", "1e29"}, "--seed: " + u64 + "1e29"},
        {{"generate", "--threads", "257"}, "--threads: must be an integer from 0 to 256, not 257"},
        {{"generate", "--temperature", "1e999"},
         "--temperature: must be a finite number of at least 0, not 1e999"},
        {{"generate", "--temperature", "nan"},
         "--temperature: must be a finite number of at least 0, not nan"},
        {{"generate", "--temperature", "-1"},
         "--temperature: must be a finite number of at least 0, not -1"},
        {{"generate", "--top-p", "nan"}, "--top-p: must be a number from 0 to 1, not nan"},
        {{"generate", "--top-p", "1e999"}, "--top-p: must be a number from 0 to 1, not 1e999"},
        {{"bench", "--prompt-tokens", "99999999999999999999"},
         "--prompt-tokens: " + u64 + "99999999999999999999"},
        {{"bench", "--decode-tokens", "-1"}, "--decode-tokens: " + u64 + "-1"},
        {{"bench", "--threads", "4294967297"},
         "--threads: must be an integer from 0 to 256, not 4294967297"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, {"--model", m});
        expectOneLineError(run(args), 2, c.what + " (see tarvel " + args[0] + " --help)");
    }
    // A leading zero is decimal, not octal.
    const Outcome ten =
        run({"generate", "--model", m, "--prompt", "The", "--max-tokens", "010", "--stats"});
    ASSERT_EQ(ten.status, 0) << ten.err;
    EXPECT_EQ(ten.err.rfind("tokens 10, ", 0), 0u) << ten.err;
}

// Input beyond the context is refused with its numbers before anything is computed; generation
// that reaches it says so and succeeds.
TEST_F(CliTest, TheContextIsNamedWithNumbers) {
    const std::string m = model().string();
    const LoadedCheckpoint loaded = loadCheckpoint(model());
    std::string text;
    for (int i = 0; i < 40; ++i) text += "the cat ";
    const std::uint64_t prompt = loaded.tokenizer->encode(text, true).size();
    ASSERT_GT(prompt, 64u);
    expectOneLineError(
        run({"generate", "--model", m, "--prompt", text}), 1,
        "prompt has " + std::to_string(prompt) + " tokens; the model's context is 64");

    ASSERT_EQ(run({"generate", "--model", m, "--prompt", "Once upon a time", "--max-tokens", "20",
                   "--save-session", file("held").string()})
                  .status,
              0);
    TransformerKvSession held(loaded.model, 1);
    restoreSnapshot(held, slurp_bytes(file("held")), snapshotLimits(*loaded.model));
    const std::uint64_t added = loaded.tokenizer->encode(text, false).size();
    expectOneLineError(
        run({"generate", "--model", m, "--resume", file("held").string(), "--prompt", text}), 1,
        "prompt has " + std::to_string(added) + " tokens and the session holds " +
            std::to_string(held.position()) + "; the model's context is 64");

    std::string ids;
    for (int i = 0; i < 65; ++i) ids += "5 ";
    expectOneLineError(run({"logits", "--model", m, "--tokens", ids}), 1,
                       "--tokens gives 65 tokens; the model's context is 64");

    const Outcome stopped =
        run({"generate", "--model", m, "--prompt", "Once upon a time", "--max-tokens", "100000"});
    EXPECT_EQ(stopped.status, 0);
    EXPECT_FALSE(stopped.out.empty());
    EXPECT_EQ(stopped.err, "tarvel: generation stopped at the model's context of 64 tokens\n");
}

TEST_F(CliTest, CommandsAndTheVersionAreNamed) {
    const Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("tarvel ") + TARVEL_VERSION_STRING + "\n");
    EXPECT_EQ(version.err, "");
    const std::string commands =
        "; commands: generate, chat, logits, score, perplexity, compare, tokenize, detokenize, "
        "inspect, bench, serve";
    expectOneLineError(run({"foo"}), 2, "unknown command 'foo'" + commands);
    expectOneLineError(run({}), 2, "no command given" + commands);
    expectOneLineError(run({"inspect", "--bogus"}), 2,
                       "the following argument was not expected: --bogus (see tarvel inspect "
                       "--help)");
}

// 0 is every hardware thread, as in the library; the text does not depend on the count.
TEST_F(CliTest, ThreadsZeroIsEveryHardwareThread) {
    const std::vector<std::string> args = {"generate", "--model",  model().string(),
                                           "--prompt", "The cat",  "--max-tokens",
                                           "8",        "--threads"};
    std::vector<std::string> all = args;
    all.push_back("0");
    std::vector<std::string> one = args;
    one.push_back("1");
    const Outcome a = run(all);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, run(one).out);
    const Outcome bench = run({"bench", "--model", bare().string(), "--prompt-tokens", "2",
                               "--decode-tokens", "1", "--threads", "0"});
    ASSERT_EQ(bench.status, 0) << bench.err;
    EXPECT_EQ(nlohmann::json::parse(bench.out)["threads"], effectiveThreads(0));
}

TEST_F(CliTest, TokenizeDetokenizeAndInspect) {
    const Outcome tokens =
        run({"tokenize", "--model", model().string(), "--text", "The little cat"});
    ASSERT_EQ(tokens.status, 0) << tokens.err;
    const nlohmann::json ids = nlohmann::json::parse(tokens.out);
    ASSERT_TRUE(ids.contains("ids"));
    EXPECT_EQ(ids["ids"][0], 1);  // BOS, as tokenizer_config.json asks
    std::string joined;
    for (const auto& id : ids["ids"]) joined += std::to_string(id.get<int>()) + " ";
    const Outcome text = run({"detokenize", "--model", model().string(), "--ids", joined});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, "The little cat\n");

    const Outcome inspect = run({"inspect", "--model", model().string()});
    ASSERT_EQ(inspect.status, 0) << inspect.err;
    const nlohmann::json info = nlohmann::json::parse(inspect.out);
    const LoadedCheckpoint loaded = loadCheckpoint(model());
    EXPECT_EQ(info["spec"]["vocabulary"], 300);
    EXPECT_EQ(info["spec"]["kv_heads"], 2);
    EXPECT_EQ(info["parameters"], *parameterCount(loaded.model->spec()));
    EXPECT_EQ(info["tokenizer_identity"], loaded.tokenizer->identity());
    EXPECT_EQ(info["kv_bytes_per_token"], kvBytesPerToken(loaded.model->spec()));
    EXPECT_EQ(info["tokenizer"], "tokenizer.model");
    EXPECT_TRUE(info["chat_template"].is_null());
    EXPECT_TRUE(info["fingerprint"].is_string());
    EXPECT_TRUE(info["model_identity"].is_string());
    // The model holds its packed weights and nothing else of their size.
    EXPECT_EQ(info["model_bytes"].get<std::uint64_t>(), loaded.model->weight_bytes());
}

TEST_F(CliTest, GenerationIsDeterministicAndResumesExactly) {
    const std::string m = model().string();
    for (const std::vector<std::string>& sampling :
         {std::vector<std::string>{},
          std::vector<std::string>{"--temperature", "0.8", "--top-p", "0.9", "--seed", "7"}}) {
        std::vector<std::string> whole = {"generate", "--model",          m,
                                          "--prompt", "Once upon a time", "--max-tokens",
                                          "10",       "--save-session",   file("whole").string()};
        whole.insert(whole.end(), sampling.begin(), sampling.end());
        const Outcome a = run(whole);
        ASSERT_EQ(a.status, 0) << a.err;
        const Outcome again = run(whole);
        EXPECT_EQ(again.out, a.out);
        EXPECT_FALSE(a.out.empty());

        std::vector<std::string> first = {"generate", "--model",          m,
                                          "--prompt", "Once upon a time", "--max-tokens",
                                          "4",        "--save-session",   file("part").string(),
                                          "--stats"};
        first.insert(first.end(), sampling.begin(), sampling.end());
        const Outcome b = run(first);
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(b.err.rfind("tokens 4, ", 0), 0u) << b.err;
        std::vector<std::string> rest = {"generate",
                                         "--model",
                                         m,
                                         "--resume",
                                         file("part").string(),
                                         "--max-tokens",
                                         "6",
                                         "--save-session",
                                         file("resumed").string()};
        rest.insert(rest.end(), sampling.begin(), sampling.end());
        const Outcome c = run(rest);
        ASSERT_EQ(c.status, 0) << c.err;
        // The resumed session holds exactly what the uninterrupted one holds.
        EXPECT_EQ(slurp(file("resumed")), slurp(file("whole")));
        EXPECT_FALSE(std::filesystem::exists(file("resumed.tmp." + std::to_string(0))));
    }
}

// What --resume names is opened without waiting and refused, naming it, unless it is a regular
// file within the model's snapshot size limit; the size is checked before a byte is read. (A
// device such as /dev/zero is refused by the same check; it is left out here because a command
// that regressed would read it without end.)
TEST_F(CliTest, ResumeRefusesAnythingButASessionFileWithinTheLimit) {
    const std::string m = model().string();
    const std::uint64_t limit = snapshotLimits(*loadCheckpoint(model()).model).max_file_bytes;
    const std::filesystem::path sparse = file("sparse-session");
    tarvel_test::writeText(sparse, "");
    std::filesystem::resize_file(sparse, limit + 1);
    const std::filesystem::path fifo = file("fifo-session");
    tarvel_test::makeFifo(fifo);
    std::filesystem::create_directories(file("folder-session"));
    const std::vector<std::pair<std::filesystem::path, std::string>> cases = {
        {file("folder-session"), "session file is not a regular file"},
        {fifo, "session file is not a regular file"},
        {sparse, "session file is larger than " + std::to_string(limit) + " bytes"},
    };
    for (const auto& c : cases) {
        // Named apart: a lambda cannot capture a structured binding under clang 14.
        const std::filesystem::path& path = c.first;
        const std::string& problem = c.second;
        SCOPED_TRACE(path.string());
        tarvel_test::runBesideFifo(fifo, [&] {
            expectOneLineError(run({"generate", "--model", m, "--resume", path.string()}), 1,
                               path.string() + ": " + problem);
        });
    }
}

// A saved session leaves nothing beside it, and one that cannot be saved leaves the folder as
// it was.
TEST_F(CliTest, SaveSessionLeavesOnlyTheSessionFile) {
    const std::filesystem::path folder = file("saved");
    std::filesystem::create_directories(folder / "occupied");
    const std::vector<std::string> args = {"generate", "--model",       model().string(),
                                           "--prompt", "The cat",       "--max-tokens",
                                           "2",        "--save-session"};
    std::vector<std::string> good = args;
    good.push_back((folder / "s").string());
    ASSERT_EQ(run(good).status, 0);
    // Past the file size limit the write fails; the fresh file beside the target goes with it.
    std::vector<std::string> bad = args;
    bad.push_back((folder / "big").string());
    const Outcome refused = runIn("ulimit -f 1; ", bad, into(file("stdout").string()));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "tarvel: error: " + (folder / "big").string() +
                               ": cannot write the session file (File too large)\n");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"occupied", "s"}));
}

TEST_F(CliTest, APaddedVocabularyIsNeverSampled) {
    // 400 ids, 300 of them with tokenizer pieces: a quarter of what a draw could pick has no
    // text, and used to stop generation with "token id exceeds tokenizer vocabulary".
    const std::filesystem::path padded = file("padded");
    tarvel_test::writeCheckpoint(padded, tarvel_test::textFixture(400));
    std::filesystem::copy_file(model() / "tokenizer.model", padded / "tokenizer.model");
    for (const std::vector<std::string>& sampling :
         {std::vector<std::string>{},
          std::vector<std::string>{"--temperature", "2", "--seed", "3"}}) {
        std::vector<std::string> args = {"generate", "--model", padded.string(),
                                         "--prompt", "The cat", "--max-tokens",
                                         "50",       "--stats"};
        args.insert(args.end(), sampling.begin(), sampling.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("tokens 50, "), std::string::npos) << r.err;
    }
    const Outcome inspect = run({"inspect", "--model", padded.string()});
    ASSERT_EQ(inspect.status, 0) << inspect.err;
    EXPECT_EQ(nlohmann::json::parse(inspect.out)["sampled_vocabulary"], 300);
    EXPECT_EQ(nlohmann::json::parse(inspect.out)["spec"]["vocabulary"], 400);
}

TEST_F(CliTest, PromptsAndIdsComeFromFilesStandardInputAndJson) {
    const std::string m = model().string();
    tarvel_test::writeText(file("prompt.txt"), "The little cat\n");
    const Outcome direct = run({"generate", "--model", m, "--prompt", "The little cat\n"});
    ASSERT_EQ(direct.status, 0) << direct.err;
    EXPECT_EQ(run({"generate", "--model", m, "--prompt-file", file("prompt.txt").string()}).out,
              direct.out);
    EXPECT_EQ(runIn("printf 'The little cat\\n' | ",
                    {"generate", "--model", m, "--prompt-file", "-"}, into(file("stdout").string()))
                  .out,
              direct.out);

    const Outcome ids = run({"tokenize", "--model", m, "--text", "The little cat\n"});
    ASSERT_EQ(ids.status, 0) << ids.err;
    EXPECT_EQ(run({"tokenize", "--model", m, "--text-file", file("prompt.txt").string()}).out,
              ids.out);
    const nlohmann::json parsed = nlohmann::json::parse(ids.out);
    nlohmann::json without = parsed;
    without["ids"].erase(without["ids"].begin());
    EXPECT_EQ(
        run({"tokenize", "--model", m, "--text-file", file("prompt.txt").string(), "--no-bos"}).out,
        without.dump() + "\n");
    // What tokenize prints is what detokenize and logits take.
    std::string words;
    for (const auto& id : parsed["ids"]) words += std::to_string(id.get<int>()) + " ";
    EXPECT_EQ(run({"detokenize", "--model", m, "--ids", ids.out}).out,
              run({"detokenize", "--model", m, "--ids", words}).out);
    EXPECT_EQ(run({"logits", "--model", m, "--tokens", ids.out}).out,
              run({"logits", "--model", m, "--tokens", words}).out);
    EXPECT_EQ(run({"logits", "--model", m, "--tokens", parsed["ids"].dump()}).out,
              run({"logits", "--model", m, "--tokens", words}).out);
    expectOneLineError(run({"detokenize", "--model", m, "--ids", "{\"ids\": [1, -2]}"}), 2,
                       "--ids: -2 is not a token id");
    expectOneLineError(run({"tokenize", "--model", m}), 2,
                       "give exactly one of --text and --text-file");
    expectOneLineError(run({"generate", "--model", m, "--prompt", "a", "--prompt-file", "-"}), 2,
                       "give --prompt or --prompt-file, not both");
}

TEST_F(CliTest, SamplingOptionsAndStopStrings) {
    const std::string m = model().string();
    const std::vector<std::string> base = {"generate", "--model",      m,   "--prompt",
                                           "The cat",  "--max-tokens", "24"};
    const auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    };
    const Outcome greedy = with({});
    ASSERT_EQ(greedy.status, 0) << greedy.err;
    EXPECT_EQ(with({"--temperature", "1.5", "--seed", "9", "--top-k", "1"}).out, greedy.out);
    EXPECT_NE(with({"--repetition-penalty", "4"}).out, greedy.out);
    const std::vector<std::string> seeded = {"--temperature", "0.9",  "--seed",  "4",
                                             "--min-p",       "0.05", "--top-k", "50"};
    EXPECT_EQ(with(seeded).out, with(seeded).out);
    // The text ends before the stop string.
    const std::string text = greedy.out.substr(0, greedy.out.size() - 1);
    ASSERT_GT(text.size(), 12u);
    const std::string stop = text.substr(8, 4);
    const Outcome stopped = with({"--stop", "never", "--stop", stop});
    ASSERT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, text.substr(0, text.find(stop)) + "\n");
    expectOneLineError(
        with({"--min-p", "1.5"}), 2,
        "--min-p: must be a number from 0 to 1, not 1.5 (see tarvel generate --help)");
}

// A conversation through a chat template: the prompt exactly as rendered, one answer to JSON
// messages, the same conversation typed line by line, and one resumed from its chat file, which
// ends in the same bytes as the uninterrupted one.
TEST_F(CliTest, ChatRendersAnswersAndResumesBitForBit) {
    const std::string m = model().string();
    const std::string chatml = file("chatml.jinja").string();
    // Short, so that two turns fit in the fixture's context of 64.
    tarvel_test::writeText(file("chatml.jinja"),
                           "{% for message in messages %}{{ message['role'][0] + ': ' + "
                           "message['content'] + '\\n' }}{% endfor %}"
                           "{% if add_generation_prompt %}{{ 'a:' }}{% endif %}");
    const std::vector<std::string> base = {"chat", "--model",      m,  "--chat-template",
                                           chatml, "--max-tokens", "6"};
    const auto chat = [&](std::vector<std::string> extra, const std::string& input = "") {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        tarvel_test::writeText(file("stdin"), input);
        std::string redirect = into(file("stdout").string());
        redirect.append(" <").append(quote(file("stdin").string()));
        return runIn("", args, redirect);
    };
    const Outcome prompt = chat({"--system", "Be kind.", "--print-prompt"});
    ASSERT_EQ(prompt.status, 0) << prompt.err;
    EXPECT_EQ(prompt.out, "s: Be kind.\na:");

    const Outcome typed =
        chat({"--save-session", file("typed.chat").string()},
             "The cat sat.\n/save " + file("first.chat").string() + "\nThe dog ran.\n");
    ASSERT_EQ(typed.status, 0) << typed.err;
    EXPECT_EQ(std::count(typed.out.begin(), typed.out.end(), '\n'), 2) << typed.out;

    tarvel_test::writeText(file("second.json"), R"([{"role": "user", "content": "The dog ran."}])");
    const Outcome resumed =
        chat({"--resume", file("first.chat").string(), "--messages", file("second.json").string(),
              "--save-session", file("resumed.chat").string()});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(resumed.out, typed.out.substr(typed.out.find('\n') + 1));
    EXPECT_EQ(slurp(file("resumed.chat")), slurp(file("typed.chat")));

    // The first answer alone, from JSON on standard input.
    const Outcome one =
        chat({"--messages", "-"}, R"([{"role": "user", "content": "The cat sat."}])");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, typed.out.substr(0, typed.out.find('\n') + 1));

    expectOneLineError(chat({"--messages", "-"}, R"([{"role": "user"}])"), 1,
                       "-: messages[0] has no content");
    expectOneLineError(run({"chat", "--model", m}), 1,
                       m + ": no chat template (tokenizer_config.json has none and there is no "
                           "chat_template.jinja); give --chat-template FILE");
    expectOneLineError(chat({"--resume", file("second.json").string()}), 1,
                       file("second.json").string() + ": not a chat file");
}

}  // namespace

#ifdef TARVEL_BUNDLED_MODEL_PRESENT
namespace {

TEST_F(CliTest, TheBundledModelIsTheDefaultAndWritesWords) {
    const Outcome a = run({"generate", "--prompt", "Once upon a time", "--max-tokens", "24"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << a.out;
    EXPECT_EQ(run({"generate", "--prompt", "Once upon a time", "--max-tokens", "24"}).out, a.out);
    const Outcome info = run({"inspect"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(nlohmann::json::parse(info.out)["tokenizer_identity"].is_string());
}

// The packed weights give the bytes the full pass over the widened weights gave, to the last
// digit, over the whole context.
TEST_F(CliTest, LogitsOfTheBundledModelAreTheFullPassBitForBit) {
    const LoadedCheckpoint bundled = loadCheckpoint(TARVEL_BUNDLED_MODEL_DIR);
    const TransformerSpec& spec = bundled.model->spec();
    std::vector<std::uint32_t> ids;
    std::string text;
    // The whole context, or its first 512 positions: megabytes of digits either way.
    for (std::uint64_t t = 0; t < std::min<std::uint64_t>(spec.context, 512); ++t) {
        ids.push_back(static_cast<std::uint32_t>((t * 7919 + 13) % spec.vocabulary));
        text += std::to_string(ids.back()) + " ";
    }
    for (const std::string precision : {"double", "float32"}) {
        const Tensor full =
            transformerForward(spec, bundled.model->weights(), TokenBatch{1, ids.size(), ids, {}},
                               ForwardOptions{precision == "double", {}, true});
        nlohmann::json rows = nlohmann::json::array();
        for (std::size_t t = 0; t < ids.size(); ++t) {
            const auto row = full.data.begin() + static_cast<std::ptrdiff_t>(t * spec.vocabulary);
            rows.push_back(std::vector<double>(row, row + spec.vocabulary));
        }
        const std::string expected =
            nlohmann::json{{"tokens", ids}, {"logits", rows}}.dump() + "\n";
        const Outcome r = run({"logits", "--tokens", text, "--precision", precision});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == expected) << precision;  // megabytes: no diff printed
    }
}

// The bundled model is a real one: greedy decoding from BOS alone writes, token for token, the
// text its author published, and the logits of that text have their largest value at the next
// token at every position.
TEST_F(CliTest, TheBundledModelWritesItsAuthorsGreedyText) {
    std::ifstream file(std::string(TARVEL_BUNDLED_MODEL_FOLDER) + "/greedy_from_bos.txt",
                       std::ios::binary);
    if (!file) GTEST_SKIP() << "the bundled model has no published greedy text";
    const std::string published((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
    const Outcome text =
        run({"generate", "--prompt", "", "--temperature", "0", "--max-tokens", "256"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, published);

    const LoadedCheckpoint bundled = loadCheckpoint(TARVEL_BUNDLED_MODEL_DIR);
    std::vector<std::uint32_t> ids = bundled.tokenizer->encode("", true);
    TransformerKvSession session(bundled.model, 0);
    GenerateOptions options;
    options.max_tokens = 256;
    options.sampling.temperature = 0.0;
    const GenerateResult greedy = generate(session, ids, options, [](std::uint32_t) {});
    ids.insert(ids.end(), greedy.tokens.begin(), greedy.tokens.end());
    ASSERT_EQ(ids.size(), 257u);
    std::string token_text;
    for (const std::uint32_t id : ids) token_text += std::to_string(id) + " ";
    const Outcome logits = run({"logits", "--tokens", token_text});
    ASSERT_EQ(logits.status, 0) << logits.err;
    const nlohmann::json rows = nlohmann::json::parse(logits.out)["logits"];
    for (std::size_t t = 0; t + 1 < ids.size(); ++t) {
        const std::vector<double> row = rows[t];
        const auto best = std::max_element(row.begin(), row.end()) - row.begin();
        EXPECT_EQ(static_cast<std::uint32_t>(best), ids[t + 1]) << "position " << t;
    }
}

TEST_F(CliTest, BenchRunsOnTheBundledModel) {
    const LoadedCheckpoint bundled = loadCheckpoint(TARVEL_BUNDLED_MODEL_DIR);
    expectBenchReport(run({"bench", "--prompt-tokens", "8", "--decode-tokens", "4"}), 8, 4,
                      *bundled.model);
}

}  // namespace
#endif
