#include "cli/commands.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "tarvel/chat/conversation.hpp"
#include "tarvel/checkpoint/detail/mapped_file.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/core/detail/quantized.hpp"
#include "tarvel/generate/generate.hpp"
#include "tarvel/gguf/gguf.hpp"
#include "tarvel/model/detail/block.hpp"
#include "tarvel/model/detail/packed_weights.hpp"
#include "tarvel/reference/compare.hpp"
#include "tarvel/reference/npy.hpp"
#include "tarvel/reference/perplexity.hpp"
#include "tarvel/reference/score.hpp"
#include "tarvel/reference/svg_chart.hpp"
#include "tarvel/serve/server.hpp"
#include "tarvel/tarvel.hpp"

namespace Nuvexis::Core::Tarvel::Cli {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

fs::path bundledModel() {
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    std::vector<fs::path> candidates;
    if (!error)
        candidates.push_back(exe.parent_path() / TARVEL_INSTALLED_MODELS_DIR /
                             TARVEL_DEFAULT_MODEL);
    candidates.push_back(fs::path(TARVEL_SOURCE_MODELS_DIR) / TARVEL_DEFAULT_MODEL);
    for (const fs::path& candidate : candidates) {
        if (const auto model = bundledModelPath(candidate)) return *model;
    }
    throw std::invalid_argument("the bundled model " + std::string(TARVEL_DEFAULT_MODEL) +
                                " is not found; give --model PATH");
}

fs::path modelPath(const CommonArgs& common) {
    return common.model.empty() ? bundledModel() : fs::path(common.model);
}

LoadedCheckpoint load(const CommonArgs& common) {
    const fs::path folder = modelPath(common);
    CheckpointOptions options;
    if (common.tokenizer == "tokenizer.json") options.tokenizer = TokenizerFile::tokenizer_json;
    if (common.tokenizer == "tokenizer.model") options.tokenizer = TokenizerFile::sentencepiece;
    // Progress only for a person watching; logs and pipes get nothing.
    if (::isatty(STDERR_FILENO) == 1) {
        options.progress = [folder, shown = -1](std::uint64_t done, std::uint64_t total) mutable {
            const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
            if (percent == shown) return;
            shown = percent;
            std::cerr << "\rloading " << folder.string() << ": " << percent << "%"
                      << (done == total ? "\n" : "") << std::flush;
        };
    }
    return loadCheckpoint(folder, options);
}

const Tokenizer& requireTokenizer(const LoadedCheckpoint& checkpoint, const CommonArgs& common) {
    if (!checkpoint.tokenizer) {
        const std::string folder = common.model.empty() ? "the bundled model" : common.model;
        throw std::invalid_argument(folder + ": no tokenizer.json or tokenizer.model, so text " +
                                    "cannot be converted; use token ids instead");
    }
    return *checkpoint.tokenizer;
}

// Ids as words ("1 2 3"), or the JSON `tokenize` prints ({"ids": [...]}) or a bare JSON list.
std::vector<std::uint32_t> parseIds(const std::string& text, const char* option) {
    std::vector<std::uint32_t> ids;
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && (text[first] == '{' || text[first] == '[')) {
        const Json json = Json::parse(text, nullptr, false);
        const Json* list = &json;
        if (json.is_object()) {
            const auto it = json.find("ids");
            list = it != json.end() ? &*it : nullptr;
        }
        if (json.is_discarded() || list == nullptr || !list->is_array()) {
            throw UsageError(std::string(option) +
                             ": JSON must be a list of token ids or an object with \"ids\"");
        }
        for (const Json& id : *list) {
            if (!id.is_number_unsigned() ||
                id.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
                throw UsageError(std::string(option) + ": " + id.dump() + " is not a token id");
            }
            ids.push_back(static_cast<std::uint32_t>(id.get<std::uint64_t>()));
        }
        if (ids.empty()) throw UsageError(std::string(option) + ": no token ids given");
        return ids;
    }
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        std::uint32_t id = 0;
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), id);
        if (error != std::errc() || end != word.data() + word.size()) {
            throw UsageError(std::string(option) + ": " + word + " is not a token id");
        }
        ids.push_back(id);
    }
    if (ids.empty()) throw UsageError(std::string(option) + ": no token ids given");
    return ids;
}

// Prompts and texts to tokenize are read whole; one far past any model's context is not real.
constexpr std::uint64_t max_text_bytes = 256u * 1024u * 1024u;

// The bytes of a text file exactly, or of standard input for "-".
std::string readText(const std::string& path, const char* option) {
    if (path == "-") {
        std::string text;
        std::vector<char> buffer(1 << 16);
        while (std::cin.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
               std::cin.gcount() > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(std::cin.gcount()));
            if (text.size() > max_text_bytes) {
                throw std::invalid_argument(std::string(option) +
                                            ": standard input is larger than " +
                                            std::to_string(max_text_bytes) + " bytes");
            }
        }
        if (std::cin.bad())
            throw std::invalid_argument(std::string(option) + ": cannot read standard input");
        return text;
    }
    const std::vector<std::uint8_t> bytes = readRegularFile(path, max_text_bytes, "text file");
    return std::string(bytes.begin(), bytes.end());
}

bool doublePrecision(const std::string& precision) {
    return precision == "double";
}

// No larger than the model's snapshot limits admit, refused before a byte is read.
std::vector<std::uint8_t> readFile(const fs::path& path, const TransformerModel& model) {
    return readRegularFile(path, snapshotLimits(model).max_file_bytes, "session file");
}

// Written beside the target and renamed over it, so the target is either the old file or the
// complete new one.
void writeFileAtomically(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    Tarvel::writeFileAtomically(path, bytes, "session file");
}

std::string hex(std::uint64_t value) {
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::uint64_t peakRssBytes() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // Linux counts KiB
}

std::uint32_t argmax(const Tensor& logits, std::uint64_t row, std::uint64_t vocabulary) {
    std::uint64_t best = 0;
    for (std::uint64_t u = 1; u < vocabulary; ++u) {
        if (logits.data[row * vocabulary + u] > logits.data[row * vocabulary + best]) best = u;
    }
    return static_cast<std::uint32_t>(best);
}

double rate(std::uint64_t tokens, double seconds) {
    return seconds > 0 ? static_cast<double>(tokens) / seconds : 0.0;
}

// A mistyped folder is reported before the model is loaded and the text generated, not after.
// The write itself still reports whatever goes wrong later.
void checkDestination(const std::string& path, const std::string& what) {
    const std::string refusal = path + ": cannot write the " + what + "; ";
    std::error_code error;
    if (fs::is_directory(path, error)) throw std::invalid_argument(refusal + "it is a folder");
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    const fs::file_status status = fs::status(folder, error);
    if (status.type() == fs::file_type::not_found) {
        throw std::invalid_argument(refusal + "the folder " + folder.string() + " does not exist");
    }
    if (error) throw std::invalid_argument(refusal + folder.string() + ": " + error.message());
    if (!fs::is_directory(status)) {
        throw std::invalid_argument(refusal + folder.string() + " is not a folder");
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        throw std::invalid_argument(refusal + "the folder " + folder.string() + " is not writable");
    }
}

void checkSessionDestination(const std::string& path) {
    checkDestination(path, "session file");
}

// The size of a sysfs cache entry such as "32768K"; nothing for anything else.
std::optional<std::uint64_t> cacheSize(const std::string& text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop == text.data()) return {};
    const std::string_view unit(stop, static_cast<std::size_t>(end - stop));
    std::uint64_t scale = 1;
    if (unit == "K") {
        scale = std::uint64_t{1} << 10;
    } else if (unit == "M") {
        scale = std::uint64_t{1} << 20;
    } else if (unit == "G") {
        scale = std::uint64_t{1} << 30;
    } else if (!unit.empty()) {
        return {};
    }
    if (value > std::numeric_limits<std::uint64_t>::max() / scale) return {};
    return value * scale;
}

// The size of the highest cache level that holds data, as the kernel describes cpu0's caches;
// sysconf's level-3 figure where that description is missing; nothing when neither is known.
std::optional<std::uint64_t> lastLevelCacheBytes() {
    const fs::path caches = "/sys/devices/system/cpu/cpu0/cache";
    std::uint64_t best_level = 0;
    std::optional<std::uint64_t> best_size;
    std::error_code error;
    for (fs::directory_iterator entry(caches, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().filename().string().rfind("index", 0) != 0) continue;
        std::ifstream level_file(entry->path() / "level");
        std::ifstream type_file(entry->path() / "type");
        std::ifstream size_file(entry->path() / "size");
        std::uint64_t level = 0;
        std::string type;
        std::string size_text;
        if (!(level_file >> level) || !(type_file >> type) || !(size_file >> size_text)) continue;
        if (type != "Data" && type != "Unified") continue;
        const std::optional<std::uint64_t> size = cacheSize(size_text);
        if (size && *size > 0 && level > best_level) {
            best_level = level;
            best_size = size;
        }
    }
    if (best_size) return best_size;
    const long level3 = ::sysconf(_SC_LEVEL3_CACHE_SIZE);
    if (level3 > 0) return static_cast<std::uint64_t>(level3);
    return {};
}

}  // namespace

void writeOutput(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int reason = written < 0 ? errno : EIO;
            throw OutputError(std::string("cannot write output: ") + std::strerror(reason));
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

namespace {

// Text from a tokenizer may hold bytes that are not UTF-8 (a piece of a character): replaced
// in JSON, not refused.
std::string dumpJson(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// One token's log-probability and its alternatives as one JSON object; `text`, when given, is
// what the token adds to the text.
std::string logProbLine(const TokenLogProbs& entry, const std::optional<std::string>& text,
                        const Tokenizer* tokenizer) {
    Json top = Json::array();
    for (const TokenLogProb& alternative : entry.top) {
        Json item = {{"token", alternative.token}, {"logprob", alternative.logprob}};
        if (tokenizer != nullptr) {
            const std::uint32_t id[] = {alternative.token};
            item["text"] = tokenizer->decode(id);
        }
        top.push_back(std::move(item));
    }
    Json line = {{"position", entry.position},
                 {"token", entry.token},
                 {"logprob", entry.logprob},
                 {"top", std::move(top)}};
    if (text) {
        line["text"] = *text;
    } else if (tokenizer != nullptr) {
        const std::uint32_t id[] = {entry.token};
        line["text"] = tokenizer->decode(id);
    }
    return dumpJson(line);
}

}  // namespace

// How generate and chat draw and compute tokens, and which ids end a text: the tokenizer's EOS,
// tokenizer_config.json's eos_token and generation_config.json's eos_token_id.
GenerateOptions generateOptions(const SamplingArgs& args, const LoadedCheckpoint& checkpoint,
                                const Tokenizer& tokenizer) {
    if (!(args.top_p > 0.0)) throw UsageError("--top-p must be greater than zero");
    GenerateOptions options;
    options.sampling = SamplingOptions{args.temperature, args.top_p, args.seed,
                                       args.top_k,       args.min_p, args.repetition_penalty};
    options.max_tokens = args.max_tokens;
    options.eos = tokenizer.eos();
    options.end_ids = checkpoint.generation.eos_ids;
    if (!checkpoint.eos_token.empty()) {
        if (const auto id = tokenizer.tokenId(checkpoint.eos_token)) options.end_ids.push_back(*id);
    }
    // Ids of a padded vocabulary past the tokenizer's pieces have no text: never sampled.
    options.sampled_vocabulary = tokenizer.pieceCount();
    options.kv.double_precision = doublePrecision(args.precision);
    options.kv.max_cache_bytes = std::numeric_limits<std::uint64_t>::max();
    options.kv.threads = args.threads;
    return options;
}

int runGenerate(const GenerateArgs& args) {
    if (args.prompt && !args.prompt_file.empty())
        throw UsageError("give --prompt or --prompt-file, not both");
    if (!args.prompt && args.prompt_file.empty() && args.resume.empty())
        throw UsageError("--prompt or --prompt-file is required unless --resume is given");
    if (!(args.sampling.top_p > 0.0)) throw UsageError("--top-p must be greater than zero");
    if (!args.save_session.empty()) checkSessionDestination(args.save_session);
    const LoadedCheckpoint checkpoint = load(args.common);
    const Tokenizer& tokenizer = requireTokenizer(checkpoint, args.common);

    TransformerKvSession session(checkpoint.model, 1);
    if (!args.resume.empty()) {
        restoreSnapshot(session, readFile(args.resume, *checkpoint.model),
                        snapshotLimits(*checkpoint.model));
    }
    // A fresh conversation starts with BOS when the tokenizer asks for it; text appended to a
    // resumed one does not.
    std::optional<std::string> prompt = args.prompt;
    if (!args.prompt_file.empty()) prompt = readText(args.prompt_file, "--prompt-file");
    std::vector<std::uint32_t> input;
    if (prompt) input = tokenizer.encode(*prompt, args.resume.empty());
    const std::uint64_t context = checkpoint.model->spec().context;
    const std::uint64_t held = session.position();
    if (held > context || input.size() > context - held) {
        throw std::invalid_argument(
            "prompt has " + std::to_string(input.size()) + " tokens" +
            (held > 0 ? " and the session holds " + std::to_string(held) : std::string()) +
            "; the model's context is " + std::to_string(context));
    }

    GenerateOptions options = generateOptions(args.sampling, checkpoint, tokenizer);
    options.feed_last = !args.save_session.empty();

    std::vector<std::uint32_t> earlier = session.token_prefix();
    earlier.insert(earlier.end(), input.begin(), input.end());
    TextStream stream(tokenizer, std::move(earlier));
    StopText stop(args.sampling.stop);
    options.stop_requested = [&stop] { return stop.stopped(); };
    // With --logprobs each token is a JSON line, its text the piece it adds to what is printed
    // otherwise; the whole text follows on a line of its own.
    const bool json_lines = args.logprobs.has_value();
    std::string text;
    TokenLogProbs scored;
    if (json_lines) {
        options.logprobs = true;
        options.top_logprobs = *args.logprobs;
        options.on_logprobs = [&scored](const TokenLogProbs& entry) { scored = entry; };
    }
    const auto start = std::chrono::steady_clock::now();
    // A failed write throws out of generation, so a closed pipe stops it at once.
    const GenerateResult result = generate(session, input, options, [&](std::uint32_t id) {
        const std::string piece = stop.push(stream.push(id));
        if (!json_lines) {
            writeOutput(piece);
            return;
        }
        text += piece;
        writeOutput(logProbLine(scored, piece, &tokenizer) + '\n');
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string rest = stop.push(stream.finish()) + stop.finish();
    if (json_lines) {
        writeOutput(dumpJson(Json{{"text", text + rest}}) + '\n');
    } else {
        writeOutput(rest + '\n');
    }
    if (result.stop == GenerateStop::context_full &&
        result.tokens.size() < args.sampling.max_tokens) {
        std::cerr << "tarvel: generation stopped at the model's context of " << context
                  << " tokens\n";
    }

    if (!args.save_session.empty()) writeFileAtomically(args.save_session, saveSnapshot(session));
    if (args.stats) {
        const TransformerKvStats stats = kvStats(session);
        std::cerr << "tokens " << result.tokens.size() << ", "
                  << (seconds > 0 ? static_cast<double>(result.tokens.size()) / seconds : 0.0)
                  << " tokens/s, cache " << stats.used_bytes << " bytes (" << stats.tokens
                  << " positions)\n";
    }
    return 0;
}

namespace {

// Ctrl-C during an answer ends the answer, not the program; at the prompt it clears the line.
std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

// The texts chat templates end a turn with, in the families Tarvel runs; where the vocabulary has
// one as a token, sampling it ends the answer like EOS does.
constexpr const char* end_of_turn_texts[] = {"<|eot_id|>", "<|im_end|>",    "<end_of_turn>",
                                             "<|end|>",    "<|endoftext|>", "</s>"};

ChatSetup chatSetup(const LoadedCheckpoint& checkpoint, const ChatArgs& args,
                    const Tokenizer& tokenizer) {
    ChatSetup setup;
    if (!args.chat_template.empty()) {
        setup.template_source = readText(args.chat_template, "--chat-template");
        setup.template_name = args.chat_template;
    } else if (checkpoint.chat_template) {
        setup.template_source = *checkpoint.chat_template;
        setup.template_name = checkpoint.chat_template_file;
    } else {
        const std::string folder =
            args.common.model.empty() ? "the bundled model" : args.common.model;
        throw std::invalid_argument(
            folder + ": no chat template (tokenizer_config.json has none " +
            "and there is no chat_template.jinja); give --chat-template FILE");
    }
    setup.bos_token = checkpoint.bos_token;
    setup.eos_token = checkpoint.eos_token;
    for (const char* text : end_of_turn_texts) {
        if (const auto id = tokenizer.tokenId(text)) setup.end_ids.push_back(*id);
    }
    return setup;
}

// The reply to one user message, streamed to standard output and ended with a newline.
void answer(Conversation& conversation, std::string text, const GenerateOptions& options,
            const SamplingArgs& sampling) {
    interrupted.store(false);
    GenerateOptions asked = options;
    asked.stop_requested = [] { return interrupted.load(); };
    (void)conversation.reply(std::move(text), asked, sampling.stop,
                             [](std::string_view piece) { writeOutput(piece); });
    writeOutput("\n");
}

std::uint64_t chatFileLimit(const TransformerModel& model) {
    // The snapshot within the model's own limit, and the messages beside it.
    return snapshotLimits(model).max_file_bytes + (std::uint64_t{64} << 20);
}

}  // namespace

int runChat(const ChatArgs& args) {
    if (!(args.sampling.top_p > 0.0)) throw UsageError("--top-p must be greater than zero");
    if (!args.save_session.empty()) checkSessionDestination(args.save_session);
    LoadedCheckpoint checkpoint = load(args.common);
    (void)requireTokenizer(checkpoint, args.common);
    auto tokenizer = std::make_shared<const Tokenizer>(std::move(*checkpoint.tokenizer));
    const GenerateOptions options = generateOptions(args.sampling, checkpoint, *tokenizer);
    Conversation conversation(checkpoint.model, tokenizer, chatSetup(checkpoint, args, *tokenizer));
    const ArtifactLimits limits = snapshotLimits(*checkpoint.model);
    if (!args.resume.empty()) {
        conversation.load(
            readRegularFile(args.resume, chatFileLimit(*checkpoint.model), "chat file"), limits,
            args.resume);
    }
    const auto keep = [&] {
        if (!args.save_session.empty())
            Tarvel::writeFileAtomically(args.save_session, conversation.save(), "chat file");
    };
    std::vector<ChatMessage> given;
    if (args.system && conversation.messages().empty()) given.push_back({"system", *args.system});
    if (!args.messages.empty()) {
        const std::vector<ChatMessage> listed =
            chatMessagesFromJson(readText(args.messages, "--messages"), args.messages);
        given.insert(given.end(), listed.begin(), listed.end());
    }
    if (args.print_prompt) {
        std::vector<ChatMessage> all = conversation.messages();
        all.insert(all.end(), given.begin(), given.end());
        writeOutput(conversation.render(all, true));
        return 0;
    }
    if (!args.messages.empty()) {
        if (given.empty() || given.back().role != "user")
            throw UsageError("--messages: the last message must be the user's");
        std::string last = std::move(given.back().content);
        given.pop_back();
        for (ChatMessage& message : given) conversation.add(std::move(message));
        answer(conversation, std::move(last), options, args.sampling);
        keep();
        return 0;
    }
    for (ChatMessage& message : given) conversation.add(std::move(message));

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a read at the prompt returns on Ctrl-C
    ::sigaction(SIGINT, &action, nullptr);
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    const std::vector<ChatMessage> opening = conversation.messages();
    for (;;) {
        if (terminal) writeOutput("> ");
        std::string line;
        if (!std::getline(std::cin, line)) {
            if (interrupted.exchange(false)) {
                std::cin.clear();
                std::clearerr(stdin);
                writeOutput("\n");
                continue;
            }
            if (terminal) writeOutput("\n");
            return 0;
        }
        if (line.empty()) continue;
        try {
            if (line == "/reset") {
                conversation.reset();
                for (const ChatMessage& message : opening) conversation.add(message);
                keep();
            } else if (line.rfind("/save ", 0) == 0) {
                Tarvel::writeFileAtomically(line.substr(6), conversation.save(), "chat file");
            } else if (line.rfind("/load ", 0) == 0) {
                const std::string path = line.substr(6);
                conversation.load(
                    readRegularFile(path, chatFileLimit(*checkpoint.model), "chat file"), limits,
                    path);
            } else {
                answer(conversation, line, options, args.sampling);
                keep();
            }
        } catch (const OutputError&) {
            throw;  // output that cannot be written ends the chat
        } catch (const std::exception& e) {
            // A refused file or a failed turn leaves the conversation as it was; say so and go on.
            std::cerr << "tarvel: error: " << e.what() << '\n';
        }
    }
}

int runLogits(const LogitsArgs& args) {
    const std::vector<std::uint32_t> ids = parseIds(args.tokens, "--tokens");
    const LoadedCheckpoint checkpoint = load(args.common);
    const TransformerModel& model = *checkpoint.model;
    const std::uint64_t context = model.spec().context;
    if (ids.size() > context) {
        throw std::invalid_argument("--tokens gives " + std::to_string(ids.size()) +
                                    " tokens; the model's context is " + std::to_string(context));
    }
    // The model's own pass reads the packed weights: the same bits as the full pass over the
    // weights widened to doubles, without holding them.
    const Tensor logits = model.forward(TokenBatch{1, ids.size(), ids, {}},
                                        ForwardOptions{doublePrecision(args.precision), {}, true});
    // Written row by row in the bytes nlohmann-json gives the whole object (its keys sorted),
    // so that no second copy of every logit is held as JSON. It prints each double in the
    // shortest form that parses back to it.
    const std::uint64_t v = model.spec().vocabulary;
    std::string out = "{\"logits\":[";
    for (std::size_t t = 0; t < ids.size(); ++t) {
        if (t > 0) out += ',';
        Json row = Json::array();
        for (std::uint64_t u = 0; u < v; ++u) row.push_back(logits.data[t * v + u]);
        out += row.dump();
        if (out.size() >= (std::size_t{1} << 16)) {
            writeOutput(out);
            out.clear();
        }
    }
    out += "],\"tokens\":" + Json(ids).dump() + "}\n";
    writeOutput(out);
    return 0;
}

int runTokenize(const TokenizeArgs& args) {
    if (args.text.has_value() == !args.text_file.empty())
        throw UsageError("give exactly one of --text and --text-file");
    const std::string text = args.text ? *args.text : readText(args.text_file, "--text-file");
    const LoadedCheckpoint checkpoint = load(args.common);
    const Tokenizer& tokenizer = requireTokenizer(checkpoint, args.common);
    writeOutput(Json{{"ids", tokenizer.encode(text, !args.no_bos)}}.dump() + '\n');
    return 0;
}

int runDetokenize(const CommonArgs& common, const std::string& ids) {
    const std::vector<std::uint32_t> parsed = parseIds(ids, "--ids");
    const LoadedCheckpoint checkpoint = load(common);
    const Tokenizer& tokenizer = requireTokenizer(checkpoint, common);
    writeOutput(tokenizer.decode(parsed) + '\n');
    return 0;
}

namespace {

// What generation_config.json asks for, as inspect shows it: the end ids, and the sampling
// defaults the folder suggests (the command's own defaults are what it uses).
Json generationJson(const GenerationDefaults& g) {
    const auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    return Json{{"eos_ids", g.eos_ids},
                {"do_sample", optional(g.do_sample)},
                {"temperature", optional(g.temperature)},
                {"top_p", optional(g.top_p)},
                {"top_k", optional(g.top_k)}};
}

}  // namespace

// A metadata value as inspect shows it: long arrays and texts by their size only.
Json metadataJson(const gguf::Value& value) {
    if (const auto* list = std::get_if<std::vector<gguf::Value>>(&value.data)) {
        if (list->size() > 16) {
            return Json{{"array_of", gguf::valueTypeName(value.element_type)},
                        {"length", list->size()}};
        }
        Json out = Json::array();
        for (const gguf::Value& v : *list) out.push_back(metadataJson(v));
        return out;
    }
    if (const auto* text = std::get_if<std::string>(&value.data)) {
        if (text->size() > 256) return Json{{"text_bytes", text->size()}};
        return *text;
    }
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::vector<gguf::Value>>) {
                return nullptr;  // handled above
            } else {
                return v;
            }
        },
        value.data);
}

// What inspect adds for a GGUF file: its header, metadata, tensor types and sizes, and how many
// quantized values the float32 evaluation of their formula would get wrong.
Json ggufJson(const fs::path& path, const TransformerModel& model) {
    const detail::MappedFile mapped(path);
    const gguf::File file = gguf::parse(mapped.bytes());
    Json metadata = Json::object();
    for (const auto& [key, value] : file.metadata()) metadata[key] = metadataJson(value);
    Json types = Json::object();
    Json tensors = Json::array();
    std::uint64_t tensor_bytes = 0;
    for (const gguf::TensorInfo& t : file.tensors()) {
        const std::string type = gguf::typeInfo(t.type).name;
        Json& entry = types[type];
        if (entry.is_null()) entry = {{"tensors", 0}, {"bytes", 0}};
        entry["tensors"] = entry["tensors"].get<std::uint64_t>() + 1;
        entry["bytes"] = entry["bytes"].get<std::uint64_t>() + t.bytes;
        tensors.push_back({{"name", t.name}, {"type", type}, {"dims", t.dims}, {"bytes", t.bytes}});
        tensor_bytes += t.bytes;
    }
    std::uint64_t differences = 0;
    const detail::PackedWeights& w = model.packed_weights();
    const auto count = [&](const detail::PackedTensor& t) {
        differences += detail::float32DequantizationDifferences(t);
    };
    count(w.token_embedding);
    count(w.output_embedding);
    for (const detail::PackedLayerWeights& l : w.layers) {
        for (const detail::PackedTensor* t : {&l.query, &l.key, &l.value, &l.attention_output,
                                              &l.ffn_gate, &l.ffn_up, &l.ffn_down}) {
            count(*t);
        }
    }
    return Json{{"version", file.version()},
                {"alignment", file.alignment()},
                {"tensor_bytes", tensor_bytes},
                {"tensor_types", types},
                {"float32_dequantization_differences", differences},
                {"metadata", metadata},
                {"tensors", tensors}};
}

int runInspect(const CommonArgs& common) {
    const LoadedCheckpoint checkpoint = load(common);
    const TransformerModel& model = *checkpoint.model;
    const TransformerSpec& s = model.spec();
    const std::optional<std::uint64_t> parameters = parameterCount(s);
    Json spec = {{"architecture", checkpoint.config.architecture},
                 {"vocabulary", s.vocabulary},
                 {"context", s.context},
                 {"layers", s.layers},
                 {"model_dim", s.model_dim},
                 {"ffn_dim", s.ffn_dim},
                 {"query_heads", s.query_heads},
                 {"kv_heads", s.kv_heads},
                 {"head_dim", s.head_dim},
                 {"rope_base", s.position.rope_base},
                 {"epsilon", s.normalization.epsilon},
                 {"feed_forward", s.feed_forward == FeedForwardKind::geglu_tanh ? "geglu_tanh"
                                  : s.feed_forward == FeedForwardKind::gelu     ? "gelu"
                                                                                : "swiglu"},
                 {"tied_embeddings", s.tied_embeddings},
                 {"canonical", canonicalSpecText(s)}};
    // Generation draws only from ids the tokenizer can show; a padded vocabulary has more.
    const Json sampled =
        checkpoint.tokenizer
            ? Json(std::min<std::uint64_t>(checkpoint.tokenizer->pieceCount(), s.vocabulary))
            : Json(nullptr);
    Json out = {
        {"spec", spec},
        {"parameters", parameters ? Json(*parameters) : Json(nullptr)},
        {"fingerprint", hex(specFingerprint(s))},
        {"model_identity", hex(model.artifact_checksum())},
        {"tokenizer_identity",
         model.tokenizer_identity() ? Json(*model.tokenizer_identity()) : Json(nullptr)},
        {"kv_bytes_per_token", kvBytesPerToken(s)},
        {"model_bytes", model.weight_bytes()},
        {"sampled_vocabulary", sampled},
        // Which tokenizer file the folder's text goes through, and its chat template.
        {"tokenizer", checkpoint.tokenizer
                          ? Json(checkpoint.tokenizer->kind() == "sentencepiece" ? "tokenizer.model"
                                                                                 : "tokenizer.json")
                          : Json(nullptr)},
        {"chat_template",
         checkpoint.chat_template ? Json(checkpoint.chat_template_file) : Json(nullptr)},
        {"generation", generationJson(checkpoint.generation)}};
    const fs::path path = modelPath(common);
    if (!fs::is_directory(path)) {
        out["tokenizer"] = checkpoint.tokenizer ? Json("tokenizer.ggml") : Json(nullptr);
        out["gguf"] = ggufJson(path, model);
    }
    writeOutput(out.dump(2, ' ', false, Json::error_handler_t::replace) + '\n');
    return 0;
}

namespace {

// A comma-separated list of unsigned integers, each at most `limit`; nothing when the text is
// not one.
std::optional<std::vector<std::uint64_t>> parseCommaList(const std::string& text,
                                                         std::uint64_t limit) {
    std::vector<std::uint64_t> values;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        std::uint64_t value = 0;
        const char* first = text.data() + begin;
        const char* last = text.data() + end;
        const auto [stop, error] = std::from_chars(first, last, value);
        if (first == last || error != std::errc() || stop != last || value > limit) return {};
        values.push_back(value);
        if (end == text.size()) return values;
        begin = end + 1;
    }
}

// The multiply-adds of a prefill of n tokens as two operations each: the projections of every
// layer and the attention of each position over those before it (and itself), within the
// window where a layer has one, then the output projection of the last position alone. Norms,
// rotations and the softmax are left out: they are a small share and not multiply-adds.
double prefillFlops(const TransformerSpec& s, std::uint64_t n) {
    const double d = s.model_dim;
    const double q = static_cast<double>(s.query_heads) * s.head_dim;
    const double kv = static_cast<double>(s.kv_heads) * s.head_dim;
    const double ffn_matrices = s.feed_forward == FeedForwardKind::gelu ? 2.0 : 3.0;
    const double per_token = d * q + 2.0 * d * kv + q * d + ffn_matrices * d * s.ffn_dim;
    double total = 0.0;
    for (std::uint64_t l = 0; l < s.layers; ++l) {
        const std::uint64_t window = detail::layerScoring(s, l).window;
        double seen = 0.0;
        for (std::uint64_t t = 0; t < n; ++t) {
            seen += static_cast<double>(window != 0 ? std::min(t + 1, window) : t + 1);
        }
        total += per_token * static_cast<double>(n) + 2.0 * q * seen;
    }
    total += d * s.vocabulary;
    return 2.0 * total;
}

// One thread count's figures: an untimed warm-up (the prompt and one step), the timed prefill
// and decode, single steps at the asked positions, then the read bandwidth and the multiply-add
// peak with as many threads.
Json benchRun(const BenchArgs& args, const std::shared_ptr<const TransformerModel>& model,
              std::uint32_t requested, const std::vector<std::uint64_t>& positions,
              std::uint64_t* cache_bytes, std::uint64_t* cache_positions, std::uint64_t* peak_rss) {
    const TransformerSpec& spec = model->spec();
    const auto ids = [&](std::uint64_t from, std::uint64_t count) {
        // A fixed spread of ids: no tokenizer is needed, and runs compare.
        std::vector<std::uint32_t> out;
        for (std::uint64_t t = from; t < from + count; ++t) {
            out.push_back(static_cast<std::uint32_t>((t * 7919 + 13) % spec.vocabulary));
        }
        return out;
    };
    const std::vector<std::uint32_t> prompt = ids(0, args.prompt_tokens);
    TransformerKvOptions options;
    options.double_precision = doublePrecision(args.precision);
    options.max_cache_bytes = std::numeric_limits<std::uint64_t>::max();
    options.threads = requested;
    // Generation samples from a chunk's last position only, and so does this measure.
    options.logits = TransformerKvLogits::last_position;
    const auto step = [&](TransformerKvSession& session, std::vector<std::uint32_t> tokens) {
        const std::uint64_t width = tokens.size();
        return forwardCached(TokenBatch{1, width, std::move(tokens), {}}, session, options);
    };

    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    {
        // Threads started, pages touched and code paged in before anything is timed.
        TransformerKvSession warm(model, 1);
        const TransformerKvStep first = step(warm, prompt);
        (void)step(warm, {argmax(first.logits, 0, spec.vocabulary)});
    }
    TransformerKvSession session(model, 1);
    const auto prefill_start = Clock::now();
    TransformerKvStep last = step(session, prompt);
    const double prefill_seconds = since(prefill_start);
    std::uint32_t next = argmax(last.logits, 0, spec.vocabulary);
    const auto decode_start = Clock::now();
    for (std::uint64_t t = 0; t < args.decode_tokens; ++t) {
        last = step(session, {next});
        next = argmax(last.logits, 0, spec.vocabulary);
    }
    const double decode_seconds = since(decode_start);
    if (cache_bytes != nullptr) {
        *cache_bytes = 0;
        for (const Tensor& t : session.cache()) *cache_bytes += t.data.capacity() * sizeof(double);
        *cache_positions = session.position();
    }

    // A step at position p: the session is prefilled to p - 1 in chunks of 256 (untimed), and
    // each of five forks steps once untimed before its timed step, so that the timed one meets
    // the storage a session decoding along would have. The median of the five is reported.
    Json at = Json::array();
    for (const std::uint64_t position : positions) {
        TransformerKvSession base(model, 1);
        const std::uint64_t before = position == 0 ? 0 : position - 1;
        for (std::uint64_t begin = 0; begin < before; begin += 256) {
            (void)step(base, ids(begin, std::min<std::uint64_t>(256, before - begin)));
        }
        std::vector<double> times;
        for (int repeat = 0; repeat < 5; ++repeat) {
            TransformerKvSession fork = base;
            if (position != 0) (void)step(fork, ids(before, 1));
            const auto start = Clock::now();
            (void)step(fork, ids(position, 1));
            times.push_back(since(start));
        }
        std::sort(times.begin(), times.end());
        at.push_back({{"position", position},
                      {"step_seconds", times[2]},
                      {"tokens_per_s", rate(1, times[2])}});
    }

    const std::uint32_t threads = effectiveThreads(requested);
    const std::uint64_t weight_bytes = model->weight_bytes();
    // Read before the bandwidth pass and its 512 MiB buffer.
    if (peak_rss != nullptr) *peak_rss = peakRssBytes();
    const double bandwidth = measureReadBandwidth(threads);
    const double peak = measurePeakFlops(threads);
    const double flops = prefillFlops(spec, args.prompt_tokens);
    const double prefill_rate = flops / std::max(prefill_seconds, 1e-12);
    return Json{{"threads", threads},
                {"prefill_seconds", prefill_seconds},
                {"decode_seconds", decode_seconds},
                {"prefill_tokens_per_s", rate(args.prompt_tokens, prefill_seconds)},
                {"decode_tokens_per_s", rate(args.decode_tokens, decode_seconds)},
                {"read_bandwidth_bytes_per_s", bandwidth},
                {"floor_tokens_per_s",
                 bandwidth / static_cast<double>(std::max<std::uint64_t>(weight_bytes, 1))},
                {"prefill_flops", flops},
                {"peak_flops", peak},
                {"prefill_fraction_of_peak", peak > 0.0 ? prefill_rate / peak : 0.0},
                {"decode_at", at}};
}

}  // namespace

int runBench(const BenchArgs& args) {
    if (args.prompt_tokens == 0) throw UsageError("--prompt-tokens must be at least 1");
    if (args.decode_tokens == 0) throw UsageError("--decode-tokens must be at least 1");
    std::vector<std::uint64_t> thread_counts{args.threads};
    if (!args.threads_list.empty()) {
        if (args.threads != 0) throw UsageError("give at most one of --threads and --threads-list");
        const auto counts = parseCommaList(args.threads_list, max_threads);
        if (!counts || std::find(counts->begin(), counts->end(), 0) != counts->end()) {
            throw UsageError("--threads-list takes thread counts from 1 to " +
                             std::to_string(max_threads) + " separated by commas, such as 1,2");
        }
        thread_counts = *counts;
    }
    std::vector<std::uint64_t> positions;
    if (!args.at.empty()) {
        const auto parsed = parseCommaList(args.at, std::numeric_limits<std::uint64_t>::max());
        if (!parsed) {
            throw UsageError("--at takes positions separated by commas, such as 255,1023,2047");
        }
        positions = *parsed;
    }
    const LoadedCheckpoint checkpoint = load(args.common);
    const std::shared_ptr<const TransformerModel>& model = checkpoint.model;
    const TransformerSpec& spec = model->spec();
    if (args.prompt_tokens > spec.context ||
        args.decode_tokens > spec.context - args.prompt_tokens) {
        throw UsageError("--prompt-tokens plus --decode-tokens exceed the model's context of " +
                         std::to_string(spec.context));
    }
    for (const std::uint64_t position : positions) {
        if (position >= spec.context) {
            throw UsageError("--at position " + std::to_string(position) +
                             " is not below the model's context of " +
                             std::to_string(spec.context));
        }
    }

    std::uint64_t cache_bytes = 0;
    std::uint64_t cache_positions = 0;
    Json runs = Json::array();
    std::uint64_t peak_rss = 0;
    for (std::size_t i = 0; i < thread_counts.size(); ++i) {
        runs.push_back(benchRun(args, model, static_cast<std::uint32_t>(thread_counts[i]),
                                positions, i == 0 ? &cache_bytes : nullptr, &cache_positions,
                                i == 0 ? &peak_rss : nullptr));
    }
    const std::uint64_t weight_bytes = model->weight_bytes();
    const std::optional<std::uint64_t> llc = lastLevelCacheBytes();
    // The first run's figures at the top, as a run of one thread count has always printed them;
    // every run's in `runs`. Weights that fit in the last-level cache are read faster than
    // memory allows: the floor is then no bound on decode.
    Json out = {{"model",
                 args.common.model.empty() ? std::string(TARVEL_DEFAULT_MODEL) : args.common.model},
                {"precision", args.precision},
                {"prompt_tokens", args.prompt_tokens},
                {"decode_tokens", args.decode_tokens},
                {"weight_bytes", weight_bytes},
                {"last_level_cache_bytes", llc ? Json(*llc) : Json(nullptr)},
                {"weights_fit_in_cache", llc ? Json(weight_bytes <= *llc) : Json(nullptr)},
                {"peak_rss_bytes", peak_rss},
                {"cache_bytes", cache_bytes},
                {"cache_positions", cache_positions}};
    for (const auto& [key, value] : runs[0].items()) out[key] = value;
    out["runs"] = runs;
    writeOutput(out.dump(2) + '\n');
    return 0;
}

namespace {

// The tokens of a TokenSource: ids as given, or the text through the model's tokenizer. Usage
// faults are found before the model is loaded.
class SourcedTokens {
  public:
    explicit SourcedTokens(const TokenSource& source) : source_(source) {
        if (source.tokens.empty() == source.text_file.empty())
            throw UsageError("give exactly one of --text-file and --tokens");
        if (!source.tokens.empty()) {
            if (source.bos) throw UsageError("--bos and --no-bos go with --text-file only");
            ids_ = parseIds(source.tokens, "--tokens");
        } else {
            text_ = readText(source.text_file, "--text-file");
        }
    }

    std::vector<std::uint32_t> ids(const LoadedCheckpoint& checkpoint, const CommonArgs& common) {
        if (!source_.tokens.empty()) return ids_;
        const Tokenizer& tokenizer = requireTokenizer(checkpoint, common);
        if (!source_.bos) return tokenizer.encode(text_, true);
        std::vector<std::uint32_t> ids = tokenizer.encode(text_, false);
        if (*source_.bos) {
            const std::optional<std::uint32_t> bos = tokenizer.bos();
            if (!bos) throw std::invalid_argument("the tokenizer has no BOS id; give --no-bos");
            ids.insert(ids.begin(), *bos);
        }
        return ids;
    }

  private:
    const TokenSource& source_;
    std::vector<std::uint32_t> ids_;
    std::string text_;
};

// Shortest text that reads back as the same double.
std::string shortest(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("?");
}

std::string clock(double seconds) {
    const auto s = static_cast<std::uint64_t>(std::max(0.0, seconds) + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
    return text;
}

// Progress of a long run on stderr: a bar redrawn in place for a person at a terminal, a plain
// line at every tenth for a log.
class ProgressReport {
  public:
    explicit ProgressReport(std::string what)
        : what_(std::move(what)),
          terminal_(::isatty(STDERR_FILENO) == 1),
          start_(std::chrono::steady_clock::now()) {}

    void operator()(std::uint64_t done, std::uint64_t total) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double speed = rate(done, seconds);
        const double left = speed > 0 ? static_cast<double>(total - done) / speed : 0.0;
        const std::uint64_t tenth = total == 0 ? 10 : done * 10 / total;
        std::ostringstream line;
        if (terminal_) {
            constexpr std::uint64_t width = 30;
            const std::uint64_t filled = total == 0 ? width : done * width / total;
            line << '\r' << what_ << " [" << std::string(filled, '#')
                 << std::string(width - filled, '.') << "] " << done << "/" << total << " tokens, "
                 << static_cast<std::uint64_t>(speed) << " tokens/s, " << clock(left) << " left  "
                 << (done == total ? "\n" : "");
        } else {
            if (tenth == shown_) return;
            line << what_ << ": " << done << " of " << total << " tokens, "
                 << static_cast<std::uint64_t>(speed) << " tokens/s, " << clock(left) << " left\n";
        }
        shown_ = tenth;
        std::cerr << line.str() << std::flush;
    }

  private:
    std::string what_;
    bool terminal_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t shown_ = std::numeric_limits<std::uint64_t>::max();
};

// Another runtime's logits: a .npy array {positions, vocabulary} of float16, float32 or float64,
// or JSON {"logits": [[...], ...]}.
NpyArray readOtherLogits(const std::string& path) {
    const std::vector<std::uint8_t> bytes =
        readRegularFile(path, std::uint64_t{1} << 34, "logits file");
    const std::string refusal = "--against " + path + ": ";
    if (bytes.size() >= 6 && std::memcmp(bytes.data(), "\x93NUMPY", 6) == 0) {
        NpyArray array;
        try {
            array = readNpy(bytes);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(refusal + e.what());
        }
        if (array.shape.size() != 2) {
            throw std::invalid_argument(refusal + "the array has " +
                                        std::to_string(array.shape.size()) +
                                        " dimensions; logits are [positions, vocabulary]");
        }
        return array;
    }
    const Json json = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("logits"))
        throw std::invalid_argument(refusal + "neither a .npy file nor JSON with \"logits\"");
    const Json& rows = json["logits"];
    const std::string shape_refusal =
        refusal + "\"logits\" must be a list of rows of numbers, all of one length";
    if (!rows.is_array() || rows.empty() || !rows[0].is_array())
        throw std::invalid_argument(shape_refusal);
    NpyArray array;
    array.shape = {rows.size(), rows[0].size()};
    array.values.reserve(rows.size() * rows[0].size());
    for (const Json& row : rows) {
        if (!row.is_array() || row.size() != array.shape[1])
            throw std::invalid_argument(shape_refusal);
        for (const Json& value : row) {
            if (!value.is_number()) throw std::invalid_argument(shape_refusal);
            array.values.push_back(value.get<double>());
        }
    }
    return array;
}

}  // namespace

int runPerplexity(const PerplexityArgs& args) {
    SourcedTokens source(args.source);
    const LoadedCheckpoint checkpoint = load(args.common);
    const std::vector<std::uint32_t> ids = source.ids(checkpoint, args.common);
    PerplexityOptions options;
    options.context = args.context;
    options.stride = args.stride;
    options.double_precision = doublePrecision(args.precision);
    options.threads = args.threads;
    options.progress = ProgressReport("perplexity");
    const auto start = std::chrono::steady_clock::now();
    const PerplexityResult result = perplexity(checkpoint.model, ids, options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Json windows = Json::array();
    for (const PerplexityWindow& w : result.windows) {
        const std::uint64_t scored = w.end - w.first_scored;
        windows.push_back(
            {{"begin", w.begin},
             {"end", w.end},
             {"first_scored", w.first_scored},
             {"tokens_scored", scored},
             {"negative_log_likelihood_sum", w.negative_log_likelihood},
             {"perplexity", std::exp(w.negative_log_likelihood / static_cast<double>(scored))}});
    }
    const std::uint64_t context =
        args.context == 0 ? checkpoint.model->spec().context : args.context;
    const Json out = {{"perplexity", result.perplexity},
                      {"negative_log_likelihood", result.negative_log_likelihood},
                      {"tokens_scored", result.tokens_scored},
                      {"tokens", ids.size()},
                      {"context", context},
                      {"stride", args.stride == 0 ? context : args.stride},
                      {"precision", args.precision},
                      {"seconds", seconds},
                      {"tokens_per_s", rate(result.tokens_scored, seconds)},
                      {"windows", std::move(windows)}};
    writeOutput(out.dump() + '\n');
    return 0;
}

int runScore(const ScoreArgs& args) {
    SourcedTokens source(args.source);
    if (!args.save_logits.empty()) checkDestination(args.save_logits, "logits file");
    const LoadedCheckpoint checkpoint = load(args.common);
    const std::vector<std::uint32_t> ids = source.ids(checkpoint, args.common);
    ScoreOptions options;
    options.double_precision = doublePrecision(args.precision);
    options.threads = args.threads;
    options.top = args.top;
    const ScoreResult result = scoreTokens(checkpoint.model, ids, options);
    const Tokenizer* tokenizer = checkpoint.tokenizer ? &*checkpoint.tokenizer : nullptr;
    // The file first: lines already printed would otherwise claim a success the file lacks.
    if (!args.save_logits.empty()) {
        Tarvel::writeFileAtomically(
            args.save_logits, npyBytes(result.logits.shape, result.logits.data), "logits file");
    }
    std::string out;
    for (const TokenLogProbs& entry : result.tokens) {
        out += logProbLine(entry, std::nullopt, tokenizer) + '\n';
        if (out.size() >= (std::size_t{1} << 16)) {
            writeOutput(out);
            out.clear();
        }
    }
    writeOutput(out);
    return 0;
}

int runCompare(const CompareArgs& args) {
    SourcedTokens source(args.source);
    if (!args.plot.empty()) checkDestination(args.plot, "chart file");
    const NpyArray other = readOtherLogits(args.against);
    const LoadedCheckpoint checkpoint = load(args.common);
    const std::vector<std::uint32_t> ids = source.ids(checkpoint, args.common);
    ScoreOptions options;
    options.threads = args.threads;
    const ScoreResult exact = scoreTokens(checkpoint.model, ids, options);
    const Comparison c =
        compareLogits(LogitsTable{exact.logits.shape[0], exact.logits.shape[1], exact.logits.data},
                      LogitsTable{other.shape[0], other.shape[1], other.values}, ids);
    if (!args.plot.empty()) {
        const std::string name = fs::path(args.against).filename().string();
        const std::string chart = svgLineChart(
            "Tarvel (exact) against " + name, "position",
            {ChartPanel{
                 "Logit error per position",
                 "logit error",
                 {ChartSeries{"largest |logit error|", "#d62728", c.max_abs_error_per_position},
                  ChartSeries{"RMS logit error", "#1f77b4", c.rms_error_per_position}}},
             ChartPanel{"KL divergence per position",
                        "KL (nats)",
                        {ChartSeries{"KL(exact \u2016 other)", "#2ca02c", c.kl_per_position}}}});
        Tarvel::writeFileAtomically(
            args.plot, std::span(reinterpret_cast<const std::uint8_t*>(chart.data()), chart.size()),
            "chart file");
    }
    const auto optional = [](const std::optional<double>& v) {
        return v ? Json(*v) : Json(nullptr);
    };
    if (args.json) {
        const Json out = {{"positions", exact.logits.shape[0]},
                          {"vocabulary", exact.logits.shape[1]},
                          {"tokens", ids},
                          {"kl_mean", c.kl_mean},
                          {"kl_median", c.kl_median},
                          {"kl_p99", c.kl_p99},
                          {"kl_max", c.kl_max},
                          {"top1_agreement", c.top1_agreement},
                          {"top5_overlap", c.top5_overlap},
                          {"max_abs_error", c.max_abs_error},
                          {"rms_error", c.rms_error},
                          {"perplexity_exact", optional(c.perplexity_exact)},
                          {"perplexity_other", optional(c.perplexity_other)},
                          {"kl_per_position", c.kl_per_position},
                          {"top1_per_position", c.top1_per_position},
                          {"top5_overlap_per_position", c.top5_overlap_per_position},
                          {"max_abs_error_per_position", c.max_abs_error_per_position},
                          {"rms_error_per_position", c.rms_error_per_position}};
        writeOutput(out.dump() + '\n');
        return 0;
    }
    std::size_t agree = 0;
    for (const std::uint8_t a : c.top1_per_position) agree += a;
    const auto perplexityText = [](const std::optional<double>& v) {
        return v ? shortest(*v) : std::string("(needs two tokens)");
    };
    std::ostringstream out;
    out << "positions          " << exact.logits.shape[0] << " (vocabulary "
        << exact.logits.shape[1] << ")\n"
        << "KL(exact || other) mean " << shortest(c.kl_mean) << ", median " << shortest(c.kl_median)
        << ", p99 " << shortest(c.kl_p99) << ", max " << shortest(c.kl_max) << "\n"
        << "top-1 agreement    " << shortest(c.top1_agreement) << " (" << agree << " of "
        << c.top1_per_position.size() << ")\n"
        << "top-5 overlap      " << shortest(c.top5_overlap) << "\n"
        << "largest |error|    " << shortest(c.max_abs_error) << "\n"
        << "RMS error          " << shortest(c.rms_error) << "\n"
        << "perplexity         exact " << perplexityText(c.perplexity_exact) << ", other "
        << perplexityText(c.perplexity_other) << "\n";
    writeOutput(out.str());
    return 0;
}

namespace {

// A model folder without a chat template is served through this plain one: each message on a
// line of its own after its role, then the assistant's turn.
constexpr const char* plain_chat_template =
    "{% for message in messages %}{{ message['role'] }}: {{ message['content'] }}\n"
    "{% endfor %}{% if add_generation_prompt %}assistant:{% endif %}";

}  // namespace

int runServe(const ServeArgs& args) {
    if (args.max_batch == 0) throw UsageError("--max-batch must be at least 1");
    if (args.step_tokens == 0) throw UsageError("--step-tokens must be at least 1");
    if (args.deadline == 0) throw UsageError("--deadline must be at least 1");
    // SIGTERM and SIGINT are taken by one thread of their own, which stops the server: every
    // thread started from here on (the loader's and the steps' workers among them) inherits the
    // blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::shared_ptr<SessionStore> store;
    if (args.store != "memory") store = openSessionStore(args.store);
    LoadedCheckpoint checkpoint = load(args.common);
    (void)requireTokenizer(checkpoint, args.common);
    auto tokenizer = std::make_shared<const Tokenizer>(std::move(*checkpoint.tokenizer));

    ServedModel served;
    served.name = args.common.model.empty()
                      ? std::string(TARVEL_DEFAULT_MODEL)
                      : fs::path(args.common.model).lexically_normal().filename().string();
    if (served.name.empty() || served.name == ".")
        served.name = fs::absolute(args.common.model).filename().string();
    served.model = checkpoint.model;
    served.tokenizer = tokenizer;
    if (!args.chat_template.empty()) {
        served.chat.template_source = readText(args.chat_template, "--chat-template");
        served.chat.template_name = args.chat_template;
    } else if (checkpoint.chat_template) {
        served.chat.template_source = *checkpoint.chat_template;
        served.chat.template_name = checkpoint.chat_template_file;
    } else {
        served.chat.template_source = plain_chat_template;
        served.chat.template_name = "the plain chat template";
    }
    served.chat.bos_token = checkpoint.bos_token;
    served.chat.eos_token = checkpoint.eos_token;
    for (const char* text : end_of_turn_texts) {
        if (const auto id = tokenizer->tokenId(text)) served.chat.end_ids.push_back(*id);
    }
    served.eos = tokenizer->eos();
    served.end_ids = checkpoint.generation.eos_ids;
    if (!checkpoint.eos_token.empty()) {
        if (const auto id = tokenizer->tokenId(checkpoint.eos_token)) served.end_ids.push_back(*id);
    }

    ServerOptions options;
    options.host = args.host;
    options.port = static_cast<int>(args.port);
    options.scheduler.max_active = args.max_batch;
    options.scheduler.max_queue = args.max_queue;
    options.scheduler.step_tokens = args.step_tokens;
    options.scheduler.kv.double_precision = doublePrecision(args.precision);
    options.scheduler.kv.max_cache_bytes = std::numeric_limits<std::uint64_t>::max();
    options.scheduler.kv.threads = args.threads;
    options.max_body_bytes = args.max_body_bytes;
    options.max_prompt_tokens = args.max_prompt_tokens;
    options.deadline_seconds = static_cast<double>(args.deadline);
    options.max_sessions = args.max_sessions;
    options.store = store;

    // A client that goes away mid-stream must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    Server server(std::move(served), options);
    const int port = server.bind();
    std::atomic<bool> stopped_by_signal{false};
    std::thread watcher([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        stopped_by_signal.store(true);
        server.stop();
    });
    std::cerr << "tarvel: serving on http://" << args.host << ":" << port << "\n" << std::flush;
    server.run();
    if (!stopped_by_signal.load()) pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    std::cerr << "tarvel: stopped\n";
    return 0;
}

}  // namespace Nuvexis::Core::Tarvel::Cli
