// The `tarvel` command: generate text, print logits, tokenize, inspect a checkpoint folder and
// measure its speed.
#include <CLI/CLI.hpp>

#include <iostream>
#include <new>

#include "cli/commands.hpp"

using namespace Nuvexis::Core::Tarvel::Cli;

namespace {

void addModel(CLI::App& command, CommonArgs& common) {
    command.add_option("--model", common.model, "checkpoint folder (default: the bundled model)");
}

void addPrecision(CLI::App& command, std::string& precision) {
    command.add_option("--precision", precision, "arithmetic: double, or float32 rounding")
        ->check(CLI::IsMember({"double", "float32"}))
        ->capture_default_str();
}

// CLI11 converts "-3" into a huge unsigned value; counts and seeds take digits only.
const CLI::Validator digits(
    [](const std::string& text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos
                   ? std::string()
                   : "must be a non-negative integer, not " + text;
    },
    "UINT");

const CLI::Validator temperature_range(
    [](const std::string& text) {
        double value = -1.0;
        const bool number = CLI::detail::lexical_cast(text, value);
        return number && value >= 0.0 && value <= 1e300
                   ? std::string()
                   : "must be a number of at least 0, not " + text;
    },
    "NONNEGATIVE");

int fail(const std::string& what, int status) {
    std::cerr << "tarvel: error: " << what << '\n';
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Exact inference for Llama-family checkpoints", "tarvel"};
    app.require_subcommand(1);

    GenerateArgs gen;
    CLI::App* generate =
        app.add_subcommand("generate", "generate text from a prompt, streaming it");
    addModel(*generate, gen.common);
    generate->add_option("--prompt", gen.prompt, "text to continue (optional with --resume)");
    generate->add_option("--max-tokens", gen.max_tokens, "most tokens to generate")
        ->check(digits)
        ->capture_default_str();
    generate->add_option("--temperature", gen.temperature, "0 is greedy")
        ->check(temperature_range)
        ->capture_default_str();
    generate->add_option("--top-p", gen.top_p, "nucleus share kept, in (0, 1]")
        ->check(CLI::Range(0.0, 1.0))
        ->capture_default_str();
    generate->add_option("--seed", gen.seed, "seed of the sampling draws")
        ->check(digits)
        ->capture_default_str();
    addPrecision(*generate, gen.precision);
    generate
        ->add_option("--threads", gen.threads,
                     "worker threads, 1 to 256 (default: one per hardware thread)")
        ->check(CLI::Range(1u, 256u));
    generate->add_option("--save-session", gen.save_session,
                         "write the session snapshot at the end");
    generate->add_option("--resume", gen.resume, "continue a saved session");
    generate->add_flag("--stats", gen.stats, "print tokens, tokens/s and cache bytes to stderr");

    LogitsArgs logits;
    CLI::App* logits_cmd =
        app.add_subcommand("logits", "print the logits of a token sequence as JSON");
    addModel(*logits_cmd, logits.common);
    logits_cmd->add_option("--tokens", logits.tokens, "token ids separated by spaces")->required();
    addPrecision(*logits_cmd, logits.precision);

    CommonArgs tok_common;
    std::string text;
    CLI::App* tokenize = app.add_subcommand("tokenize", "print the token ids of a text as JSON");
    addModel(*tokenize, tok_common);
    tokenize->add_option("--text", text, "text to tokenize")->required();

    CommonArgs detok_common;
    std::string ids;
    CLI::App* detokenize = app.add_subcommand("detokenize", "print the text of token ids");
    addModel(*detokenize, detok_common);
    detokenize->add_option("--ids", ids, "token ids separated by spaces")->required();

    CommonArgs inspect_common;
    CLI::App* inspect = app.add_subcommand("inspect", "describe a checkpoint as JSON");
    addModel(*inspect, inspect_common);

    BenchArgs bench;
    CLI::App* bench_cmd = app.add_subcommand(
        "bench", "measure prefill and decode speed on token ids and print them as JSON");
    addModel(*bench_cmd, bench.common);
    bench_cmd
        ->add_option("--prompt-tokens", bench.prompt_tokens,
                     "tokens prefilled in one step (logits of the last only, as generate does)")
        ->check(digits)
        ->capture_default_str();
    bench_cmd->add_option("--decode-tokens", bench.decode_tokens, "tokens decoded one by one")
        ->check(digits)
        ->capture_default_str();
    bench_cmd
        ->add_option("--threads", bench.threads,
                     "worker threads, 1 to 256 (default: one per hardware thread)")
        ->check(CLI::Range(1u, 256u));
    addPrecision(*bench_cmd, bench.precision);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // CLI11 keeps the subcommand's help in its own exception; a one-line error is enough.
        std::string what = e.what();
        if (const auto newline = what.find('\n'); newline != std::string::npos)
            what.resize(newline);
        if (what.empty()) what = "invalid arguments";
        return fail(what + " (see tarvel --help)", 2);
    }

    try {
        if (*generate) return runGenerate(gen);
        if (*logits_cmd) return runLogits(logits);
        if (*tokenize) return runTokenize(tok_common, text);
        if (*detokenize) return runDetokenize(detok_common, ids);
        if (*inspect) return runInspect(inspect_common);
        if (*bench_cmd) return runBench(bench);
    } catch (const UsageError& e) {
        return fail(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return fail("out of memory", 1);
    } catch (const std::exception& e) {
        return fail(e.what(), 1);
    }
    return fail("no command given", 2);
}
