#include "tarvel/serve/server.hpp"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tarvel/chat/chat_template.hpp"
#include "tarvel/kv/snapshot.hpp"

namespace Nuvexis::Core::Tarvel {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// A request refused with an HTTP status and the OpenAI error shape.
struct HttpError {
    int status;
    std::string message;
    std::string type = "invalid_request_error";
    std::string param;
    std::string code;
};

[[noreturn]] void refuse(int status, std::string message, std::string param = {},
                         std::string code = {}) {
    std::string type = status == 404   ? "not_found_error"
                       : status == 429 ? "rate_limit_error"
                       : status == 503 ? "service_unavailable"
                       : status >= 500 ? "server_error"
                                       : "invalid_request_error";
    throw HttpError{status, std::move(message), std::move(type), std::move(param), std::move(code)};
}

Json errorJson(const HttpError& e) {
    return Json{{"error",
                 {{"message", e.message},
                  {"type", e.type},
                  {"param", e.param.empty() ? Json(nullptr) : Json(e.param)},
                  {"code", e.code.empty() ? Json(nullptr) : Json(e.code)}}}};
}

void sendError(httplib::Response& res, const HttpError& e) {
    res.status = e.status;
    res.set_content(errorJson(e).dump(), "application/json");
}

// The fields a request reads, checked as they are read.
class Fields {
  public:
    explicit Fields(const Json& body) : body_(body) {}

    const Json* find(const char* name) const {
        const auto it = body_.find(name);
        return it == body_.end() || it->is_null() ? nullptr : &*it;
    }

    bool flag(const char* name, bool otherwise) const {
        const Json* v = find(name);
        if (!v) return otherwise;
        if (!v->is_boolean()) refuse(400, std::string("'") + name + "' must be a boolean", name);
        return v->get<bool>();
    }

    double number(const char* name, double otherwise, double least, double most) const {
        const Json* v = find(name);
        if (!v) return otherwise;
        if (!v->is_number() || !(v->get<double>() >= least && v->get<double>() <= most)) {
            std::ostringstream message;
            message << "'" << name << "' must be a number from " << least << " to " << most;
            refuse(400, message.str(), name);
        }
        return v->get<double>();
    }

    std::uint64_t count(const char* name, std::uint64_t otherwise, std::uint64_t most) const {
        const Json* v = find(name);
        if (!v) return otherwise;
        if (!v->is_number_integer() ||
            (v->is_number_unsigned()
                 ? v->get<std::uint64_t>() > most
                 : v->get<std::int64_t>() < 0 ||
                       static_cast<std::uint64_t>(v->get<std::int64_t>()) > most)) {
            refuse(
                400,
                std::string("'") + name + "' must be an integer from 0 to " + std::to_string(most),
                name);
        }
        return v->is_number_unsigned() ? v->get<std::uint64_t>()
                                       : static_cast<std::uint64_t>(v->get<std::int64_t>());
    }

  private:
    const Json& body_;
};

// Names of sessions: what fits in a key and a log line.
bool validSessionName(const std::string& name) {
    if (name.empty() || name.size() > 128) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.' || c == ':';
    });
}

const char* finishName(FinishReason reason) {
    return reason == FinishReason::length ? "length" : "stop";
}

std::string escapeLabel(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// What a request asks for, checked.
struct Asked {
    bool chat = false;
    bool stream = false;
    bool include_usage = false;
    std::vector<std::uint32_t> ids;  // the whole prompt
    GenerateOptions generate;
    std::vector<std::string> stops;
    bool logprobs = false;
    std::uint64_t top_logprobs = 0;
    std::optional<std::string> session;
};

// One emitted token as the responses show it.
struct Piece {
    std::uint32_t id = 0;
    std::string text;  // what it added to the shown text (possibly nothing yet)
    double logprob = 0.0;
    std::vector<std::pair<std::uint32_t, double>> top;
};

// One request's run: written by the scheduler's thread, read by the request's.
struct Run {
    Run(const Tokenizer& tokenizer, std::span<const std::uint32_t> prompt,
        std::vector<std::string> stops)
        : stream(tokenizer, prompt) {
        if (!stops.empty()) stop.emplace(std::move(stops));
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Piece> pieces;
    std::string tail;  // text shown once the run ends
    bool done = false;
    ScheduledOutcome outcome;
    // Used on the scheduler's thread only.
    TextStream stream;
    std::optional<StopText> stop;
};

}  // namespace

struct Server::Impl {
    Impl(ServedModel m, ServerOptions o)
        : served(std::move(m)),
          options(std::move(o)),
          scheduler(served.model, options.scheduler),
          chat_template(
              ChatTemplate::parse(served.chat.template_source, served.chat.template_name)) {}

    ServedModel served;
    ServerOptions options;
    Scheduler scheduler;
    ChatTemplate chat_template;
    httplib::Server http;
    std::atomic<bool> stopping{false};
    std::mutex stop_mutex;
    std::atomic<std::uint64_t> next_id{1};
    std::atomic<std::int64_t> in_flight{0};

    // Sessions: those in memory (without a store) and the names a request is using now.
    std::mutex sessions_mutex;
    std::map<std::string, std::unique_ptr<TransformerKvSession>> held;
    std::set<std::string> busy;

    std::mutex metrics_mutex;
    std::map<std::pair<std::string, int>, std::uint64_t> requests;

    void routes();
    Asked parse(const httplib::Request& req, bool chat) const;
    void complete(const httplib::Request& req, httplib::Response& res, bool chat);
    std::string metricsText();
    std::unique_ptr<TransformerKvSession> takeSession(const std::string& name);
    void keepSession(const std::string& name, std::unique_ptr<TransformerKvSession> session);
    void releaseSession(const std::string& name);
    std::string nextId(const char* prefix) {
        std::ostringstream id;
        id << prefix << std::hex << next_id.fetch_add(1);
        return id.str();
    }
    Json logprobsJson(const std::vector<Piece>& pieces, const Asked& asked) const;
    Json body(const Asked& asked, const std::string& id, std::time_t created,
              const std::vector<Piece>& pieces, const std::string& text, const Run& run) const;
    Json usage(const Asked& asked, const ScheduledOutcome& outcome) const {
        const std::uint64_t prompt = asked.ids.size();
        return Json{{"prompt_tokens", prompt},
                    {"completion_tokens", outcome.completion_tokens},
                    {"total_tokens", prompt + outcome.completion_tokens},
                    {"prompt_tokens_details",
                     {{"cached_tokens", prompt - std::min(prompt, outcome.prompt_tokens)}}}};
    }
    std::string tokenText(std::uint32_t id) const {
        const std::uint32_t one[] = {id};
        return served.tokenizer->decode(one);
    }
};

Asked Server::Impl::parse(const httplib::Request& req, bool chat) const {
    const Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded()) refuse(400, "request body is not valid JSON");
    if (!body.is_object()) refuse(400, "request body must be a JSON object");
    const Fields f(body);
    Asked asked;
    asked.chat = chat;
    if (const Json* model = f.find("model")) {
        if (!model->is_string()) refuse(400, "'model' must be a string", "model");
        if (model->get<std::string>() != served.name) {
            refuse(404, "model '" + model->get<std::string>() + "' does not exist", "model",
                   "model_not_found");
        }
    }
    if (f.count("n", 1, std::numeric_limits<std::uint64_t>::max()) != 1) {
        refuse(400, "'n' must be 1", "n");
    }
    if (!chat && f.flag("echo", false)) refuse(400, "'echo' is not supported", "echo");
    if (f.find("best_of") && f.count("best_of", 1, 1) != 1) refuse(400, "'best_of' must be 1");
    asked.stream = f.flag("stream", false);
    if (const Json* so = f.find("stream_options")) {
        if (!so->is_object()) refuse(400, "'stream_options' must be an object", "stream_options");
        asked.include_usage = Fields(*so).flag("include_usage", false);
    }

    const std::uint64_t context = served.model->spec().context;
    GenerateOptions& g = asked.generate;
    const std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
    g.max_tokens = f.count("max_tokens", chat ? unlimited : 16, unlimited);
    if (chat) g.max_tokens = f.count("max_completion_tokens", g.max_tokens, unlimited);
    g.sampling.temperature = f.number("temperature", 1.0, 0.0, 2.0);
    g.sampling.top_p = f.number("top_p", 1.0, 0.0, 1.0);
    if (!(g.sampling.top_p > 0.0)) refuse(400, "'top_p' must be greater than 0", "top_p");
    g.sampling.top_k = f.count("top_k", 0, unlimited);
    g.sampling.min_p = f.number("min_p", 0.0, 0.0, 1.0);
    g.sampling.repetition_penalty = f.number("repetition_penalty", 1.0, 1e-6, 1e6);
    if (const Json* seed = f.find("seed")) {
        if (!seed->is_number_integer()) refuse(400, "'seed' must be an integer", "seed");
        g.sampling.seed = seed->is_number_unsigned()
                              ? seed->get<std::uint64_t>()
                              : static_cast<std::uint64_t>(seed->get<std::int64_t>());
    } else {
        // Without a seed every request draws differently, as the API does.
        std::random_device device;
        g.sampling.seed = (std::uint64_t{device()} << 32) | device();
    }
    g.eos = served.eos;
    g.end_ids = served.end_ids;
    if (chat)
        g.end_ids.insert(g.end_ids.end(), served.chat.end_ids.begin(), served.chat.end_ids.end());
    g.sampled_vocabulary = served.tokenizer->pieceCount();

    if (const Json* stop = f.find("stop")) {
        std::vector<Json> list;
        if (stop->is_string()) {
            list.push_back(*stop);
        } else if (stop->is_array()) {
            list.assign(stop->begin(), stop->end());
        } else {
            refuse(400, "'stop' must be a string or a list of strings", "stop");
        }
        if (list.size() > 4) refuse(400, "'stop' has more than 4 strings", "stop");
        for (const Json& s : list) {
            if (!s.is_string() || s.get<std::string>().empty()) {
                refuse(400, "'stop' must hold non-empty strings", "stop");
            }
            asked.stops.push_back(s.get<std::string>());
        }
    }
    if (chat) {
        asked.logprobs = f.flag("logprobs", false);
        asked.top_logprobs = f.count("top_logprobs", 0, 20);
        if (asked.top_logprobs > 0 && !asked.logprobs) {
            refuse(400, "'top_logprobs' needs 'logprobs' set to true", "top_logprobs");
        }
    } else if (f.find("logprobs")) {
        asked.logprobs = true;
        asked.top_logprobs = f.count("logprobs", 0, 20);
    }
    if (const Json* session = f.find("session")) {
        if (!session->is_string() || !validSessionName(session->get<std::string>())) {
            refuse(400, "'session' must be 1 to 128 letters, digits or any of - _ . :", "session");
        }
        asked.session = session->get<std::string>();
    }

    if (chat) {
        const Json* messages = f.find("messages");
        if (!messages || !messages->is_array() || messages->empty()) {
            refuse(400, "'messages' must be a non-empty list", "messages");
        }
        ChatContext conversation;
        for (const Json& m : *messages) {
            const auto role = m.find("role");
            const auto content = m.find("content");
            if (!m.is_object() || role == m.end() || !role->is_string()) {
                refuse(400, "each message needs a 'role' string", "messages");
            }
            std::string text;
            if (content == m.end() || content->is_null()) {
                text = "";
            } else if (content->is_string()) {
                text = content->get<std::string>();
            } else if (content->is_array()) {
                for (const Json& part : *content) {
                    const auto type = part.find("type");
                    const auto part_text = part.find("text");
                    if (!part.is_object() || type == part.end() || *type != "text" ||
                        part_text == part.end() || !part_text->is_string()) {
                        refuse(400, "message content parts must be text", "messages");
                    }
                    text += part_text->get<std::string>();
                }
            } else {
                refuse(400, "message 'content' must be a string or a list of text parts",
                       "messages");
            }
            conversation.messages.push_back({role->get<std::string>(), std::move(text)});
        }
        conversation.add_generation_prompt = true;
        conversation.bos_token = served.chat.bos_token;
        conversation.eos_token = served.chat.eos_token;
        std::string rendered;
        try {
            rendered = chat_template.render(conversation);
        } catch (const std::exception& e) {
            refuse(400, std::string("chat template: ") + e.what(), "messages");
        }
        // The template writes BOS and every special token itself.
        asked.ids = served.tokenizer->encode(rendered, false);
    } else {
        const Json* prompt = f.find("prompt");
        if (prompt && prompt->is_array() && prompt->size() == 1) prompt = &(*prompt)[0];
        if (!prompt || !prompt->is_string()) refuse(400, "'prompt' must be a string", "prompt");
        asked.ids = served.tokenizer->encode(prompt->get<std::string>(), true);
    }
    const std::uint64_t limit = options.max_prompt_tokens != 0
                                    ? std::min<std::uint64_t>(options.max_prompt_tokens, context)
                                    : context;
    if (asked.ids.empty()) refuse(400, "prompt has no tokens", chat ? "messages" : "prompt");
    if (asked.ids.size() > limit) {
        refuse(400,
               "prompt has " + std::to_string(asked.ids.size()) + " tokens; the limit is " +
                   std::to_string(limit),
               chat ? "messages" : "prompt", "context_length_exceeded");
    }
    return asked;
}

std::unique_ptr<TransformerKvSession> Server::Impl::takeSession(const std::string& name) {
    {
        const std::lock_guard<std::mutex> lock(sessions_mutex);
        if (busy.count(name) != 0) refuse(409, "session '" + name + "' is in use", "session");
        busy.insert(name);
    }
    try {
        auto session = std::make_unique<TransformerKvSession>(served.model, 1);
        if (options.store) {
            std::optional<std::vector<std::uint8_t>> bytes;
            try {
                bytes = options.store->load(name);
            } catch (const SessionStoreError& e) {
                refuse(503, e.what());
            }
            if (bytes) {
                try {
                    restoreSnapshot(*session, *bytes, snapshotLimits(*served.model));
                } catch (const std::exception& e) {
                    refuse(400, "session '" + name + "': " + e.what(), "session");
                }
            }
            return session;
        }
        const std::lock_guard<std::mutex> lock(sessions_mutex);
        const auto it = held.find(name);
        if (it != held.end()) {
            std::unique_ptr<TransformerKvSession> taken = std::move(it->second);
            held.erase(it);
            return taken;
        }
        if (held.size() >= options.max_sessions) {
            refuse(429,
                   "too many sessions held: the limit is " + std::to_string(options.max_sessions));
        }
        return session;
    } catch (...) {
        releaseSession(name);
        throw;
    }
}

void Server::Impl::keepSession(const std::string& name,
                               std::unique_ptr<TransformerKvSession> session) {
    if (options.store) {
        options.store->save(name, saveSnapshot(*session));
        return;
    }
    const std::lock_guard<std::mutex> lock(sessions_mutex);
    held[name] = std::move(session);
}

void Server::Impl::releaseSession(const std::string& name) {
    const std::lock_guard<std::mutex> lock(sessions_mutex);
    busy.erase(name);
}

Json Server::Impl::logprobsJson(const std::vector<Piece>& pieces, const Asked& asked) const {
    if (!asked.logprobs) return nullptr;
    if (asked.chat) {
        const auto bytes = [](const std::string& text) {
            Json list = Json::array();
            for (const char c : text) list.push_back(static_cast<unsigned char>(c));
            return list;
        };
        Json content = Json::array();
        for (const Piece& p : pieces) {
            const std::string token = p.text.empty() ? tokenText(p.id) : p.text;
            Json top = Json::array();
            for (const auto& [id, lp] : p.top) {
                const std::string alt = tokenText(id);
                top.push_back({{"token", alt}, {"logprob", lp}, {"bytes", bytes(alt)}});
            }
            content.push_back({{"token", token},
                               {"logprob", p.logprob},
                               {"bytes", bytes(token)},
                               {"top_logprobs", top}});
        }
        return Json{{"content", content}, {"refusal", nullptr}};
    }
    Json tokens = Json::array();
    Json token_logprobs = Json::array();
    Json top_logprobs = Json::array();
    Json text_offset = Json::array();
    std::uint64_t offset = 0;
    for (const Piece& p : pieces) {
        tokens.push_back(p.text.empty() ? tokenText(p.id) : p.text);
        token_logprobs.push_back(p.logprob);
        Json top = Json::object();
        for (const auto& [id, lp] : p.top) {
            const std::string alt = tokenText(id);
            if (!top.contains(alt)) top[alt] = lp;
        }
        top_logprobs.push_back(top);
        text_offset.push_back(offset);
        offset += p.text.size();
    }
    return Json{{"tokens", tokens},
                {"token_logprobs", token_logprobs},
                {"top_logprobs", top_logprobs},
                {"text_offset", text_offset}};
}

Json Server::Impl::body(const Asked& asked, const std::string& id, std::time_t created,
                        const std::vector<Piece>& pieces, const std::string& text,
                        const Run& run) const {
    Json choice = {{"index", 0},
                   {"logprobs", logprobsJson(pieces, asked)},
                   {"finish_reason", finishName(run.outcome.reason)}};
    if (asked.chat) {
        choice["message"] = {{"role", "assistant"}, {"content", text}, {"refusal", nullptr}};
    } else {
        choice["text"] = text;
    }
    return Json{{"id", id},
                {"object", asked.chat ? "chat.completion" : "text_completion"},
                {"created", created},
                {"model", served.name},
                {"system_fingerprint", nullptr},
                {"choices", Json::array({choice})},
                {"usage", usage(asked, run.outcome)}};
}

void Server::Impl::complete(const httplib::Request& req, httplib::Response& res, bool chat) {
    if (stopping.load() || scheduler.shutting_down()) refuse(503, "server is shutting down");
    Asked asked = parse(req, chat);
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(options.deadline_seconds));

    ScheduledRequest request;
    request.generate = asked.generate;
    request.logprobs = asked.logprobs;
    request.top_logprobs = asked.top_logprobs;
    request.deadline = deadline;
    request.input = asked.ids;
    std::vector<std::uint32_t> shown_before = asked.ids;
    if (asked.session) {
        std::unique_ptr<TransformerKvSession> session = takeSession(*asked.session);
        // The session keeps what it shares with this prompt; at least one token is fed, so
        // that the first draw comes from this request's step.
        const std::vector<std::uint32_t>& prefix = session->token_prefix();
        std::size_t common = 0;
        while (common < prefix.size() && common < asked.ids.size() &&
               prefix[common] == asked.ids[common]) {
            ++common;
        }
        const std::size_t keep = std::min(common, asked.ids.size() - 1);
        if (keep < session->position()) {
            session = std::make_unique<TransformerKvSession>(sessionPrefix(*session, keep));
        }
        request.input.assign(asked.ids.begin() + static_cast<std::ptrdiff_t>(keep),
                             asked.ids.end());
        request.session = std::move(session);
        request.generate.feed_last = true;
    }

    auto run = std::make_shared<Run>(*served.tokenizer, shown_before, asked.stops);
    request.on_token = [run](const ScheduledToken& token) {
        std::string piece = run->stream.push(token.id);
        if (run->stop) piece = run->stop->push(piece);
        const bool stopped = run->stop && run->stop->stopped();
        {
            const std::lock_guard<std::mutex> lock(run->mutex);
            run->pieces.push_back(Piece{token.id, std::move(piece), token.logprob, token.top});
        }
        run->changed.notify_all();
        return stopped;
    };
    request.on_done = [run](ScheduledOutcome outcome) {
        std::string tail;
        if (outcome.reason == FinishReason::stop || outcome.reason == FinishReason::length) {
            tail = run->stream.finish();
            if (run->stop) tail = run->stop->push(tail) + run->stop->finish();
        }
        {
            const std::lock_guard<std::mutex> lock(run->mutex);
            run->tail = std::move(tail);
            run->outcome = std::move(outcome);
            run->done = true;
        }
        run->changed.notify_all();
    };

    // Ends the request's hold on its session: kept when the run ended well, else left as the
    // store (or memory) had it.
    const auto settle = [this, run, name = asked.session]() {
        if (!name) return std::optional<HttpError>{};
        std::optional<HttpError> failure;
        const FinishReason reason = run->outcome.reason;
        if ((reason == FinishReason::stop || reason == FinishReason::length) &&
            run->outcome.session) {
            try {
                keepSession(*name, std::move(run->outcome.session));
            } catch (const SessionStoreError& e) {
                failure = HttpError{503, e.what(), "service_unavailable", {}, {}};
            }
        }
        releaseSession(*name);
        return failure;
    };

    Scheduler::Ticket ticket;
    try {
        ticket = scheduler.submit(std::move(request));
    } catch (const SchedulerBusy& e) {
        if (asked.session) releaseSession(*asked.session);
        refuse(e.shutting_down() ? 503 : 429, e.what());
    } catch (...) {
        if (asked.session) releaseSession(*asked.session);
        throw;
    }

    const std::string id = nextId(chat ? "chatcmpl-" : "cmpl-");
    const std::time_t created = std::time(nullptr);
    const auto failureOf = [&](const ScheduledOutcome& outcome) -> std::optional<HttpError> {
        switch (outcome.reason) {
            case FinishReason::deadline:
                return HttpError{
                    504,
                    "request deadline of " +
                        std::to_string(static_cast<std::uint64_t>(options.deadline_seconds)) +
                        " seconds passed",
                    "timeout",
                    {},
                    {}};
            case FinishReason::failed:
                return HttpError{500, outcome.error, "server_error", {}, {}};
            case FinishReason::shutdown:
                return HttpError{503, "server is shutting down", "service_unavailable", {}, {}};
            case FinishReason::cancelled:
                return HttpError{499, "request cancelled", "cancelled", {}, {}};
            default:
                return std::nullopt;
        }
    };

    if (!asked.stream) {
        {
            std::unique_lock<std::mutex> lock(run->mutex);
            run->changed.wait(lock, [&] { return run->done; });
        }
        std::optional<HttpError> failure = failureOf(run->outcome);
        std::optional<HttpError> kept = settle();
        if (!failure) failure = kept;
        if (failure) {
            sendError(res, *failure);
            return;
        }
        std::string text;
        for (const Piece& p : run->pieces) text += p.text;
        text += run->tail;
        res.set_content(body(asked, id, created, run->pieces, text, *run).dump(),
                        "application/json");
        return;
    }

    ++in_flight;
    struct StreamState {
        std::size_t sent = 0;
        bool opened = false;
        bool finished = false;
    };
    auto state = std::make_shared<StreamState>();
    const auto chunk = [this, asked, id, created](const Json& choice, const Json& usage_value) {
        Json out = {{"id", id},
                    {"object", asked.chat ? "chat.completion.chunk" : "text_completion"},
                    {"created", created},
                    {"model", served.name},
                    {"system_fingerprint", nullptr},
                    {"choices", choice.is_null() ? Json::array() : Json::array({choice})}};
        if (!usage_value.is_null()) out["usage"] = usage_value;
        return "data: " + out.dump() + "\n\n";
    };
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, run, state, asked, chunk, settle, failureOf](std::size_t,
                                                            httplib::DataSink& sink) mutable {
            std::vector<Piece> fresh;
            bool done = false;
            {
                std::unique_lock<std::mutex> lock(run->mutex);
                run->changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                    return run->done || run->pieces.size() > state->sent;
                });
                fresh.assign(run->pieces.begin() + static_cast<std::ptrdiff_t>(state->sent),
                             run->pieces.end());
                state->sent = run->pieces.size();
                done = run->done;
            }
            std::string out;
            if (asked.chat && !state->opened) {
                out += chunk({{"index", 0},
                              {"delta", {{"role", "assistant"}, {"content", ""}}},
                              {"logprobs", nullptr},
                              {"finish_reason", nullptr}},
                             nullptr);
                state->opened = true;
            }
            for (const Piece& p : fresh) {
                if (p.text.empty() && !asked.logprobs) continue;
                const std::vector<Piece> one = {p};
                Json choice = {{"index", 0},
                               {"logprobs", logprobsJson(one, asked)},
                               {"finish_reason", nullptr}};
                if (asked.chat) {
                    choice["delta"] = {{"content", p.text}};
                } else {
                    choice["text"] = p.text;
                }
                out += chunk(choice, nullptr);
            }
            if (done) {
                std::optional<HttpError> failure = failureOf(run->outcome);
                std::optional<HttpError> kept = settle();
                if (!failure) failure = kept;
                if (failure) {
                    out += "data: " + errorJson(*failure).dump() + "\n\n";
                } else {
                    Json choice = {{"index", 0},
                                   {"logprobs", nullptr},
                                   {"finish_reason", finishName(run->outcome.reason)}};
                    if (asked.chat) {
                        choice["delta"] =
                            run->tail.empty() ? Json::object() : Json{{"content", run->tail}};
                    } else {
                        choice["text"] = run->tail;
                    }
                    out += chunk(choice, nullptr);
                    if (asked.include_usage) out += chunk(nullptr, usage(asked, run->outcome));
                }
                out += "data: [DONE]\n\n";
                state->finished = true;
            }
            if (!out.empty() && !sink.write(out.data(), out.size())) return false;
            if (done) sink.done();
            return true;
        },
        [this, run, state, ticket, settle](bool) mutable {
            if (!state->finished) {
                // The client went away: its place is freed at the next step, and its session
                // stays as it was stored.
                ticket.cancel();
                {
                    std::unique_lock<std::mutex> lock(run->mutex);
                    run->changed.wait(lock, [&] { return run->done; });
                }
                run->outcome.reason = FinishReason::cancelled;
                (void)settle();
            }
            --in_flight;
        });
}

std::string Server::Impl::metricsText() {
    const SchedulerStats s = scheduler.stats();
    std::ostringstream out;
    out << "# HELP tarvel_requests_total HTTP requests answered, by path and status.\n"
           "# TYPE tarvel_requests_total counter\n";
    {
        const std::lock_guard<std::mutex> lock(metrics_mutex);
        for (const auto& [key, count] : requests) {
            out << "tarvel_requests_total{path=\"" << escapeLabel(key.first) << "\",status=\""
                << key.second << "\"} " << count << '\n';
        }
    }
    out << "# HELP tarvel_prompt_tokens_total Prompt tokens fed.\n"
           "# TYPE tarvel_prompt_tokens_total counter\n"
        << "tarvel_prompt_tokens_total " << s.prompt_tokens << '\n'
        << "# HELP tarvel_completion_tokens_total Tokens generated.\n"
           "# TYPE tarvel_completion_tokens_total counter\n"
        << "tarvel_completion_tokens_total " << s.completion_tokens << '\n'
        << "# HELP tarvel_queue_length Requests waiting for a place.\n"
           "# TYPE tarvel_queue_length gauge\n"
        << "tarvel_queue_length " << s.queued << '\n'
        << "# HELP tarvel_active_requests Requests being stepped.\n"
           "# TYPE tarvel_active_requests gauge\n"
        << "tarvel_active_requests " << s.active << '\n'
        << "# HELP tarvel_batch_size_total Steps by the number of sessions they advanced.\n"
           "# TYPE tarvel_batch_size_total counter\n";
    for (std::size_t b = 0; b < s.batch_sizes.size(); ++b) {
        out << "tarvel_batch_size_total{sessions=\"" << b + 1 << "\"} " << s.batch_sizes[b] << '\n';
    }
    out << "# HELP tarvel_step_seconds Time of one batched step.\n"
           "# TYPE tarvel_step_seconds histogram\n";
    std::uint64_t cumulative = 0;
    const std::vector<double>& bounds = stepTimeBounds();
    for (std::size_t b = 0; b <= bounds.size(); ++b) {
        cumulative += s.step_time_buckets[b];
        out << "tarvel_step_seconds_bucket{le=\"";
        if (b == bounds.size()) {
            out << "+Inf";
        } else {
            out << bounds[b];
        }
        out << "\"} " << cumulative << '\n';
    }
    out << "tarvel_step_seconds_sum " << s.step_seconds << '\n'
        << "tarvel_step_seconds_count " << s.steps << '\n';
    std::size_t held_count = 0;
    std::size_t busy_count = 0;
    {
        const std::lock_guard<std::mutex> lock(sessions_mutex);
        held_count = held.size();
        busy_count = busy.size();
    }
    out << "# HELP tarvel_sessions_held Named sessions in memory: idle ones kept without a "
           "store, and those in use.\n"
           "# TYPE tarvel_sessions_held gauge\n"
        << "tarvel_sessions_held " << held_count + busy_count << '\n'
        << "# HELP tarvel_store_operations_total Session store operations, by kind.\n"
           "# TYPE tarvel_store_operations_total counter\n";
    if (options.store) {
        out << "tarvel_store_operations_total{operation=\"load\"} " << options.store->loads()
            << '\n'
            << "tarvel_store_operations_total{operation=\"save\"} " << options.store->saves()
            << '\n'
            << "tarvel_store_operations_total{operation=\"failure\"} " << options.store->failures()
            << '\n';
    }
    return out.str();
}

void Server::Impl::routes() {
    const auto guarded = [](auto handler) {
        return [handler](const httplib::Request& req, httplib::Response& res) {
            try {
                handler(req, res);
            } catch (const HttpError& e) {
                sendError(res, e);
            } catch (const std::bad_alloc&) {
                sendError(res, HttpError{500, "out of memory", "server_error", {}, {}});
            } catch (const std::exception& e) {
                sendError(res, HttpError{500, e.what(), "server_error", {}, {}});
            }
        };
    };
    http.Post("/v1/completions",
              guarded([this](const httplib::Request& req, httplib::Response& res) {
                  complete(req, res, false);
              }));
    http.Post("/v1/chat/completions",
              guarded([this](const httplib::Request& req, httplib::Response& res) {
                  complete(req, res, true);
              }));
    http.Get(
        "/v1/models", guarded([this](const httplib::Request&, httplib::Response& res) {
            const Json model = {
                {"id", served.name}, {"object", "model"}, {"created", 0}, {"owned_by", "tarvel"}};
            res.set_content(Json{{"object", "list"}, {"data", {model}}}.dump(), "application/json");
        }));
    http.Get(R"(/v1/models/(.+))",
             guarded([this](const httplib::Request& req, httplib::Response& res) {
                 const std::string name = req.matches[1];
                 if (name != served.name) {
                     refuse(404, "model '" + name + "' does not exist", "model", "model_not_found");
                 }
                 res.set_content(Json{{"id", served.name},
                                      {"object", "model"},
                                      {"created", 0},
                                      {"owned_by", "tarvel"}}
                                     .dump(),
                                 "application/json");
             }));
    http.Get(R"(/v1/sessions/(.+))",
             guarded([this](const httplib::Request& req, httplib::Response& res) {
                 const std::string name = req.matches[1];
                 if (!validSessionName(name)) refuse(404, "session '" + name + "' does not exist");
                 std::optional<std::uint64_t> tokens;
                 if (options.store) {
                     std::optional<std::vector<std::uint8_t>> bytes;
                     try {
                         bytes = options.store->load(name);
                     } catch (const SessionStoreError& e) {
                         refuse(503, e.what());
                     }
                     if (bytes) {
                         TransformerKvSession session(served.model, 1);
                         restoreSnapshot(session, *bytes, snapshotLimits(*served.model));
                         tokens = session.position();
                     }
                 } else {
                     const std::lock_guard<std::mutex> lock(sessions_mutex);
                     const auto it = held.find(name);
                     if (it != held.end()) tokens = it->second->position();
                 }
                 if (!tokens) refuse(404, "session '" + name + "' does not exist", "session");
                 res.set_content(
                     Json{{"id", name}, {"object", "session"}, {"tokens", *tokens}}.dump(),
                     "application/json");
             }));
    http.Get("/health", [this](const httplib::Request&, httplib::Response& res) {
        const bool down = stopping.load() || scheduler.shutting_down();
        res.status = down ? 503 : 200;
        res.set_content(Json{{"status", down ? "shutting down" : "ok"}}.dump(), "application/json");
    });
    http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metricsText(), "text/plain; version=0.0.4");
    });
    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty() || res.is_chunked_content_provider_) return;
        const int status = res.status;
        std::string message = status == 413   ? "request body is too large"
                              : status == 404 ? "unknown path " + req.path
                              : status == 405 ? "method not allowed on " + req.path
                                              : "request refused";
        sendError(res, HttpError{status,
                                 message,
                                 status == 404 ? "not_found_error" : "invalid_request_error",
                                 {},
                                 {}});
    });
    http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        const std::lock_guard<std::mutex> lock(metrics_mutex);
        // Only the paths the server knows, so that a scan cannot grow the label set.
        const bool known = req.path == "/v1/completions" || req.path == "/v1/chat/completions" ||
                           req.path == "/v1/models" || req.path == "/health" ||
                           req.path == "/metrics";
        ++requests[{known ? req.path : "other", res.status}];
    });
    http.set_payload_max_length(static_cast<std::size_t>(options.max_body_bytes));
    // Debian's library listens with a backlog of 5: a client that keeps its connection saves
    // reconnecting through it.
    http.set_keep_alive_max_count(1000);
    const std::size_t workers =
        static_cast<std::size_t>(options.scheduler.max_queue + options.scheduler.max_active + 8);
    http.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
}

Server::Server(ServedModel model, ServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(model), std::move(options))) {
    impl_->routes();
}

Server::~Server() {
    stop();
}

int Server::bind() {
    const ServerOptions& o = impl_->options;
    int port = o.port;
    bool bound = false;
    if (port == 0) {
        port = impl_->http.bind_to_any_port(o.host);
        bound = port > 0;
    } else {
        bound = impl_->http.bind_to_port(o.host, port);
    }
    if (!bound) {
        throw std::runtime_error("cannot listen on " + o.host + ":" + std::to_string(o.port));
    }
    return port;
}

void Server::run() {
    impl_->http.listen_after_bind();
}

void Server::stop() {
    const std::lock_guard<std::mutex> lock(impl_->stop_mutex);
    if (impl_->stopping.exchange(true)) return;
    impl_->scheduler.shutdown();
    impl_->scheduler.drain();
    // Streams still writing their last chunks end before the sockets close.
    for (int i = 0; i < 200 && impl_->in_flight.load() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    impl_->http.stop();
}

}  // namespace Nuvexis::Core::Tarvel
