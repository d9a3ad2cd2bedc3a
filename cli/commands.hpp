#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel::Cli {

// A mistake in how the command was called (exit status 2), as opposed to a failure while
// doing what was asked (exit status 1).
class UsageError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

struct CommonArgs {
    std::string model;               // empty: the bundled model
    std::string tokenizer = "auto";  // "auto", "tokenizer.json" or "tokenizer.model"
};

// What generate and chat share: how tokens are drawn and computed.
struct SamplingArgs {
    std::uint64_t max_tokens = 64;
    double temperature = 0.0;
    double top_p = 1.0;
    std::uint64_t seed = 0;
    std::uint64_t top_k = 0;
    double min_p = 0.0;
    double repetition_penalty = 1.0;
    std::vector<std::string> stop;
    std::string precision = "double";
    std::uint32_t threads = 0;  // 0: one per hardware thread
};

struct GenerateArgs {
    CommonArgs common;
    SamplingArgs sampling;
    std::optional<std::string> prompt;
    std::string prompt_file;  // "-": standard input
    std::string save_session;
    std::string resume;
    bool stats = false;
    std::optional<std::uint64_t> logprobs;  // JSON lines with each token's log-probability
};

struct ChatArgs {
    CommonArgs common;
    SamplingArgs sampling;
    std::optional<std::string> system;
    std::string messages;       // a JSON file of messages, "-": standard input; empty: interactive
    std::string chat_template;  // a template file in place of the folder's
    bool print_prompt = false;
    std::string save_session;
    std::string resume;
};

struct LogitsArgs {
    CommonArgs common;
    std::string tokens;
    std::string precision = "double";
};

struct BenchArgs {
    CommonArgs common;
    std::uint64_t prompt_tokens = 64;
    std::uint64_t decode_tokens = 64;
    std::uint32_t threads = 0;  // 0: one per hardware thread
    std::string precision = "double";
    std::string at;            // positions of single timed decode steps, "255,1023,2047"
    std::string threads_list;  // thread counts measured one after another, "1,2"
};

// Where perplexity, score and compare take their tokens: a text (with or without the BOS id) or
// token ids as given.
struct TokenSource {
    std::string text_file;  // "-": standard input
    std::string tokens;
    std::optional<bool> bos;  // absent: as the tokenizer does
};

struct PerplexityArgs {
    CommonArgs common;
    TokenSource source;
    std::uint64_t context = 0;  // 0: the model's
    std::uint64_t stride = 0;   // 0: the window length
    std::string precision = "double";
    std::uint32_t threads = 0;
};

struct ScoreArgs {
    CommonArgs common;
    TokenSource source;
    std::uint64_t top = 0;
    std::string save_logits;
    std::string precision = "double";
    std::uint32_t threads = 0;
};

struct CompareArgs {
    CommonArgs common;
    TokenSource source;
    std::string against;
    bool json = false;
    std::string plot;
    std::uint32_t threads = 0;
};

struct ServeArgs {
    CommonArgs common;
    std::string host = "127.0.0.1";
    std::uint32_t port = 8080;
    std::string store = "tarvel-sessions.db";  // an SQLite file, redis://HOST:PORT, or "memory"
    std::string chat_template;                 // a template file in place of the folder's
    std::string precision = "double";
    std::uint32_t threads = 0;  // 0: one per hardware thread
    std::uint64_t max_batch = 8;
    std::uint64_t max_queue = 64;
    std::uint64_t step_tokens = 64;
    std::uint64_t max_body_bytes = 1048576;
    std::uint64_t max_prompt_tokens = 0;  // 0: the model's context
    std::uint64_t deadline = 600;         // seconds
    std::uint64_t max_sessions = 64;
};

// Output that could not be written: a full disk, a closed pipe, a file-size limit.
class OutputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Writes all of `text` to standard output at once, unbuffered. Throws OutputError "cannot write
// output: <reason>" when the system refuses it, so that no command reports success over lost
// output.
void writeOutput(std::string_view text);

int runGenerate(const GenerateArgs& args);
// A conversation through the model's chat template: interactive on standard input, or one
// answer to the messages of a JSON file.
int runChat(const ChatArgs& args);
int runLogits(const LogitsArgs& args);
struct TokenizeArgs {
    CommonArgs common;
    std::optional<std::string> text;
    std::string text_file;  // "-": standard input
    bool no_bos = false;
};

int runTokenize(const TokenizeArgs& args);
int runDetokenize(const CommonArgs& common, const std::string& ids);
int runInspect(const CommonArgs& common);
// Prefills, decodes greedily and prints the rates beside what reading the weights alone allows,
// and the last-level cache size, since weights that fit in it are read faster than memory.
int runBench(const BenchArgs& args);
// Exact perplexity of a text over sliding windows, progress on stderr, JSON on stdout.
int runPerplexity(const PerplexityArgs& args);
// Each token's log-probability given the tokens before it, as JSON lines.
int runScore(const ScoreArgs& args);
// The exact logits against another runtime's, as a summary, JSON or an SVG chart.
int runCompare(const CompareArgs& args);

// The OpenAI-compatible HTTP server; returns 0 once SIGTERM or SIGINT has stopped it.
int runServe(const ServeArgs& args);

}  // namespace Nuvexis::Core::Tarvel::Cli
