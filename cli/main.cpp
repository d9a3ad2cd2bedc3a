// The `tarvel` command: generate text, print logits, tokenize, inspect a checkpoint folder and
// measure its speed.
#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "tarvel/version.hpp"

using namespace Nuvexis::Core::Tarvel::Cli;

namespace {

constexpr const char* command_list =
    "generate, chat, logits, score, perplexity, compare, tokenize, detokenize, inspect, bench, "
    "serve";

void addModel(CLI::App& command, CommonArgs& common) {
    command.add_option("--model", common.model,
                       "checkpoint folder or GGUF file (default: the bundled model)");
    command
        .add_option("--tokenizer", common.tokenizer,
                    "which tokenizer file: auto (tokenizer.json when there is one), "
                    "tokenizer.json or tokenizer.model")
        ->check(CLI::IsMember({"auto", "tokenizer.json", "tokenizer.model"}))
        ->capture_default_str();
}

void addPrecision(CLI::App& command, std::string& precision) {
    command.add_option("--precision", precision, "arithmetic: double, or float32 rounding")
        ->check(CLI::IsMember({"double", "float32"}))
        ->capture_default_str();
}

// CLI11 reads integers with strtoull in base 0: a value past 2^64 - 1 comes back as 2^64 - 1
// without an error, and a leading 0 turns the rest octal. So counts and seeds are read here,
// as decimal digits only, within the option's range.
std::optional<std::uint64_t> readDecimal(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return {};
    return value;
}

// Decimal or exponent notation, rounded once to the nearest double (CLI11 goes through long
// double, which can round twice); overflow, underflow, infinities and NaN are refused.
std::optional<double> readFinite(const std::string& text) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) return {};
    return value;
}

template <typename T>
CLI::Option* addInteger(CLI::App& command, const std::string& name, T& target, T most,
                        const std::string& description) {
    const std::string refusal = "must be an integer from 0 to " + std::to_string(most) + ", not ";
    return command
        .add_option_function<std::string>(
            name,
            [&target, name, most, refusal](const std::string& text) {
                const std::optional<std::uint64_t> value = readDecimal(text);
                if (!value || *value > most) throw CLI::ValidationError(name, refusal + text);
                target = static_cast<T>(*value);
            },
            description)
        ->type_name("UINT");
}

CLI::Option* addCount(CLI::App& command, const std::string& name, std::uint64_t& target,
                      const std::string& description) {
    return addInteger(command, name, target, std::numeric_limits<std::uint64_t>::max(), description)
        ->default_str(std::to_string(target));
}

CLI::Option* addThreads(CLI::App& command, std::uint32_t& threads) {
    return addInteger(command, "--threads", threads, std::uint32_t{256},
                      "worker threads, 0 to 256; 0 (the default) is one per hardware thread");
}

CLI::Option* addNumber(CLI::App& command, const std::string& name, double& target,
                       const std::function<bool(double)>& accept, const std::string& refusal,
                       const std::string& description) {
    return command
        .add_option_function<std::string>(
            name,
            [&target, name, accept, refusal](const std::string& text) {
                const std::optional<double> value = readFinite(text);
                if (!value || !accept(*value))
                    throw CLI::ValidationError(name, refusal + ", not " + text);
                target = *value;
            },
            description)
        ->type_name("FLOAT")
        ->default_str(CLI::detail::to_string(target));
}

void addSampling(CLI::App& command, SamplingArgs& sampling) {
    addCount(command, "--max-tokens", sampling.max_tokens, "most tokens to generate");
    addNumber(
        command, "--temperature", sampling.temperature, [](double t) { return t >= 0.0; },
        "must be a finite number of at least 0", "0 is greedy");
    addNumber(
        command, "--top-p", sampling.top_p, [](double p) { return p >= 0.0 && p <= 1.0; },
        "must be a number from 0 to 1", "nucleus share kept, in (0, 1]");
    addCount(command, "--seed", sampling.seed, "seed of the sampling draws");
    addCount(command, "--top-k", sampling.top_k, "keep the k likeliest ids; 0 keeps all");
    addNumber(
        command, "--min-p", sampling.min_p, [](double p) { return p >= 0.0 && p <= 1.0; },
        "must be a number from 0 to 1",
        "keep ids at least this share of the likeliest one's weight; 0 keeps all");
    addNumber(
        command, "--repetition-penalty", sampling.repetition_penalty,
        [](double r) { return r > 0.0; }, "must be a finite number greater than 0",
        "divide positive logits (multiply negative ones) of ids already in the text; 1 is none");
    command
        .add_option("--stop", sampling.stop,
                    "end before this text, which is not printed (repeatable)")
        ->allow_extra_args(false);
    addPrecision(command, sampling.precision);
    addThreads(command, sampling.threads);
}

// Tokens from a text file or given as ids, with the text's BOS choice.
void addTokenSource(CLI::App& command, TokenSource& source) {
    command.add_option("--text-file", source.text_file,
                       "tokenize a file's bytes exactly; - is standard input");
    command.add_option("--tokens", source.tokens,
                       "token ids separated by spaces, or the JSON tokenize prints");
    command.add_flag_function(
        "--bos,!--no-bos", [&source](std::int64_t count) { source.bos = count > 0; },
        "start the text with the BOS id, or not (default: as the tokenizer does)");
}

int fail(const std::string& what, int status) {
    std::cerr << "tarvel: error: " << what << '\n';
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Past a file-size limit the signal would end the process without a word; ignored, the
    // write fails with EFBIG and is reported like any other failed write.
    std::signal(SIGXFSZ, SIG_IGN);

    CLI::App app{"Exact inference for Llama-family checkpoints", "tarvel"};
    app.require_subcommand(1);
    app.set_version_flag("--version",
                         std::string("tarvel ") + Nuvexis::Core::Tarvel::version_string,
                         "print the version and exit");

    GenerateArgs gen;
    CLI::App* generate =
        app.add_subcommand("generate", "generate text from a prompt, streaming it");
    addModel(*generate, gen.common);
    generate->add_option("--prompt", gen.prompt, "text to continue (optional with --resume)");
    generate->add_option("--prompt-file", gen.prompt_file,
                         "read the prompt from a file, exactly its bytes; - is standard input");
    addSampling(*generate, gen.sampling);
    generate->add_option("--save-session", gen.save_session,
                         "write the session snapshot at the end");
    generate->add_option("--resume", gen.resume, "continue a saved session");
    generate->add_flag("--stats", gen.stats, "print tokens, tokens/s and cache bytes to stderr");
    generate
        ->add_option_function<std::string>(
            "--logprobs",
            [&gen](const std::string& text) {
                const std::optional<std::uint64_t> value = readDecimal(text);
                if (!value || *value > 1000)
                    throw CLI::ValidationError("--logprobs",
                                               "must be an integer from 0 to 1000, not " + text);
                gen.logprobs = *value;
            },
            "print each token as a JSON line with its log-probability and this many likeliest "
            "alternatives, then the text")
        ->type_name("UINT");

    ChatArgs chat;
    chat.sampling.max_tokens = 512;
    CLI::App* chat_cmd = app.add_subcommand(
        "chat",
        "talk with a model through its chat template; /reset, /save FILE, /load FILE, "
        "Ctrl-C stops an answer, Ctrl-D ends");
    addModel(*chat_cmd, chat.common);
    chat_cmd->add_option("--system", chat.system, "a system message to open the conversation");
    chat_cmd->add_option("--messages", chat.messages,
                         "answer the last of these messages (a JSON list of {\"role\", "
                         "\"content\"}; - is standard input) and exit");
    chat_cmd->add_option("--chat-template", chat.chat_template,
                         "a chat template file in place of the model's");
    chat_cmd->add_flag("--print-prompt", chat.print_prompt,
                       "print the rendered prompt exactly, and compute nothing");
    addSampling(*chat_cmd, chat.sampling);
    chat_cmd->add_option("--save-session", chat.save_session,
                         "keep the conversation in this chat file after every answer");
    chat_cmd->add_option("--resume", chat.resume, "continue the conversation of a chat file");

    LogitsArgs logits;
    CLI::App* logits_cmd =
        app.add_subcommand("logits", "print the logits of a token sequence as JSON");
    addModel(*logits_cmd, logits.common);
    logits_cmd
        ->add_option("--tokens", logits.tokens,
                     "token ids separated by spaces, or the JSON tokenize prints")
        ->required();
    addPrecision(*logits_cmd, logits.precision);

    ScoreArgs score;
    CLI::App* score_cmd = app.add_subcommand(
        "score", "print each token's log-probability given the tokens before it, as JSON lines");
    addModel(*score_cmd, score.common);
    addTokenSource(*score_cmd, score.source);
    addInteger(*score_cmd, "--top", score.top, std::uint64_t{1000},
               "likeliest alternatives listed at each position, 0 to 1000")
        ->default_str("0");
    score_cmd->add_option("--save-logits", score.save_logits,
                          "write every position's logits to this .npy file (float64)");
    addPrecision(*score_cmd, score.precision);
    addThreads(*score_cmd, score.threads);

    PerplexityArgs ppl;
    CLI::App* perplexity_cmd = app.add_subcommand(
        "perplexity", "exact perplexity of a text over sliding windows, as JSON");
    addModel(*perplexity_cmd, ppl.common);
    addTokenSource(*perplexity_cmd, ppl.source);
    addCount(*perplexity_cmd, "--context", ppl.context,
             "window length in tokens; 0 (the default) is the model's context");
    addCount(*perplexity_cmd, "--stride", ppl.stride,
             "tokens between window starts; 0 (the default) is the window length");
    addPrecision(*perplexity_cmd, ppl.precision);
    addThreads(*perplexity_cmd, ppl.threads);

    CompareArgs cmp;
    CLI::App* compare_cmd = app.add_subcommand(
        "compare", "compare another runtime's logits for the same tokens with the exact ones");
    addModel(*compare_cmd, cmp.common);
    addTokenSource(*compare_cmd, cmp.source);
    compare_cmd
        ->add_option("--against", cmp.against,
                     "the other logits: .npy [positions, vocabulary] of float16/32/64, or JSON "
                     "{\"logits\": [[...]]}")
        ->required();
    compare_cmd->add_flag("--json", cmp.json, "print one JSON object with per-position arrays");
    compare_cmd->add_option("--plot", cmp.plot,
                            "draw logit error and KL divergence per position to this SVG file");
    addThreads(*compare_cmd, cmp.threads);

    TokenizeArgs tok;
    CLI::App* tokenize = app.add_subcommand("tokenize", "print the token ids of a text as JSON");
    addModel(*tokenize, tok.common);
    tokenize->add_option("--text", tok.text, "text to tokenize");
    tokenize->add_option("--text-file", tok.text_file,
                         "tokenize a file's bytes exactly; - is standard input");
    tokenize->add_flag("--no-bos", tok.no_bos, "do not start with the BOS id");

    CommonArgs detok_common;
    std::string ids;
    CLI::App* detokenize = app.add_subcommand("detokenize", "print the text of token ids");
    addModel(*detokenize, detok_common);
    detokenize
        ->add_option("--ids", ids, "token ids separated by spaces, or the JSON tokenize prints")
        ->required();

    CommonArgs inspect_common;
    CLI::App* inspect = app.add_subcommand("inspect", "describe a checkpoint as JSON");
    addModel(*inspect, inspect_common);

    BenchArgs bench;
    CLI::App* bench_cmd = app.add_subcommand(
        "bench", "measure prefill and decode speed on token ids and print them as JSON");
    addModel(*bench_cmd, bench.common);
    addCount(*bench_cmd, "--prompt-tokens", bench.prompt_tokens,
             "tokens prefilled in one step (logits of the last only, as generate does)");
    addCount(*bench_cmd, "--decode-tokens", bench.decode_tokens, "tokens decoded one by one");
    addThreads(*bench_cmd, bench.threads);
    addPrecision(*bench_cmd, bench.precision);
    bench_cmd->add_option("--at", bench.at,
                          "positions of single timed decode steps, separated by commas, such as "
                          "255,1023,2047");
    bench_cmd->add_option("--threads-list", bench.threads_list,
                          "thread counts to measure one after another, separated by commas, such "
                          "as 1,2 (instead of --threads)");

    ServeArgs serve;
    CLI::App* serve_cmd = app.add_subcommand(
        "serve", "serve the model over HTTP with the OpenAI API, many requests batched at once");
    addModel(*serve_cmd, serve.common);
    serve_cmd->add_option("--host", serve.host, "address to listen on")->capture_default_str();
    addInteger(*serve_cmd, "--port", serve.port, std::uint32_t{65535}, "port to listen on")
        ->default_str(std::to_string(serve.port));
    serve_cmd
        ->add_option("--store", serve.store,
                     "where sessions live between requests: an SQLite file, redis://HOST:PORT, "
                     "or memory")
        ->capture_default_str();
    serve_cmd->add_option("--chat-template", serve.chat_template,
                          "a chat template file in place of the model's");
    addPrecision(*serve_cmd, serve.precision);
    addThreads(*serve_cmd, serve.threads);
    addCount(*serve_cmd, "--max-batch", serve.max_batch, "requests stepped together");
    addCount(*serve_cmd, "--max-queue", serve.max_queue,
             "requests waiting for a place; more get 429");
    addCount(*serve_cmd, "--step-tokens", serve.step_tokens,
             "tokens one step feeds: decode tokens, then prompt chunks");
    addCount(*serve_cmd, "--max-body-bytes", serve.max_body_bytes,
             "largest request body; larger get 413");
    addCount(*serve_cmd, "--max-prompt-tokens", serve.max_prompt_tokens,
             "longest prompt; 0 is the model's context");
    addCount(*serve_cmd, "--deadline", serve.deadline, "seconds a request may take");
    addCount(*serve_cmd, "--max-sessions", serve.max_sessions,
             "named sessions held in memory with --store memory");

    // CLI11 would say only that a subcommand is required, whatever the word was.
    if (argc < 2) return fail(std::string("no command given; commands: ") + command_list, 2);
    const std::string first = argv[1];
    const auto named = [&](const CLI::App* command) { return command->get_name() == first; };
    if (first.rfind('-', 0) != 0 && app.get_subcommands(named).empty())
        return fail("unknown command '" + first + "'; commands: " + command_list, 2);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // Help and the version are output like any other, so a failed write is reported.
        std::ostringstream out;
        std::ostringstream err;
        const int status = app.exit(e, out, err);
        try {
            writeOutput(out.str());
        } catch (const std::exception& failure) {
            return fail(failure.what(), 1);
        }
        return status;
    } catch (const CLI::ParseError& e) {
        // CLI11 keeps the subcommand's help in its own exception; a one-line error is enough.
        std::string what = e.what();
        if (const auto newline = what.find('\n'); newline != std::string::npos)
            what.resize(newline);
        if (what.empty()) what = "invalid arguments";
        // Its messages start with a capital; ours do not.
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
        std::string help = "tarvel --help";
        for (const CLI::App* command : app.get_subcommands())
            help = "tarvel " + command->get_name() + " --help";
        return fail(what + " (see " + help + ")", 2);
    }

    try {
        if (*generate) return runGenerate(gen);
        if (*chat_cmd) return runChat(chat);
        if (*logits_cmd) return runLogits(logits);
        if (*score_cmd) return runScore(score);
        if (*perplexity_cmd) return runPerplexity(ppl);
        if (*compare_cmd) return runCompare(cmp);
        if (*tokenize) return runTokenize(tok);
        if (*detokenize) return runDetokenize(detok_common, ids);
        if (*inspect) return runInspect(inspect_common);
        if (*bench_cmd) return runBench(bench);
        if (*serve_cmd) return runServe(serve);
    } catch (const UsageError& e) {
        return fail(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return fail("out of memory", 1);
    } catch (const std::exception& e) {
        return fail(e.what(), 1);
    }
    return fail("no command given", 2);
}
