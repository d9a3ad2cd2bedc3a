#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/serve/server.hpp"

using namespace Nuvexis::Core::Tarvel;
using Json = nlohmann::json;

namespace {

const ServedModel& bundled() {
    static const ServedModel served = [] {
        LoadedCheckpoint c = loadCheckpoint(TARVEL_BUNDLED_MODEL_DIR);
        ServedModel m;
        m.name = "tiny-kjv";
        m.model = c.model;
        m.tokenizer = std::make_shared<const Tokenizer>(std::move(*c.tokenizer));
        m.chat.template_source =
            "{% for message in messages %}{{ message['role'] }}: {{ message['content'] }}\n"
            "{% endfor %}{% if add_generation_prompt %}assistant:{% endif %}";
        m.chat.template_name = "plain";
        m.eos = m.tokenizer->eos();
        return m;
    }();
    return served;
}

// A server on a free loopback port, serving on a thread of its own until the end of the scope.
class Running {
  public:
    explicit Running(ServerOptions options = {}) {
        options.port = 0;
        server_ = std::make_unique<Server>(bundled(), options);
        port_ = server_->bind();
        thread_ = std::thread([this] { server_->run(); });
    }
    ~Running() {
        server_->stop();
        thread_.join();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    int port() const { return port_; }

  private:
    std::unique_ptr<Server> server_;
    int port_ = 0;
    std::thread thread_;
};

struct Reply {
    int status = 0;
    Json body;
    std::string text;
};

Reply post(int port, const std::string& path, const std::string& body) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120);
    const httplib::Result result = client.Post(path.c_str(), body, "application/json");
    if (!result) return {};
    return {result->status, Json::parse(result->body, nullptr, false), result->body};
}

Reply get(int port, const std::string& path) {
    httplib::Client client("127.0.0.1", port);
    const httplib::Result result = client.Get(path.c_str());
    if (!result) return {};
    return {result->status, Json::parse(result->body, nullptr, false), result->body};
}

struct Asked {
    std::string path;
    Json body;
};

// Eight requests: completions and chats, sampled with seeds of their own, with
// log-probabilities and their alternatives.
std::vector<Asked> seededRequests() {
    std::vector<Asked> asked;
    const char* prompts[] = {"In the beginning", "And God said",        "The LORD is my shepherd",
                             "Blessed are",      "And it came to pass", "Thou shalt",
                             "Behold",           "For God so loved"};
    for (int i = 0; i < 8; ++i) {
        Json body = {{"model", "tiny-kjv"},
                     {"max_tokens", 10 + i},
                     {"temperature", i % 4 == 0 ? 0.0 : 0.8},
                     {"top_p", i % 3 == 0 ? 0.9 : 1.0},
                     {"seed", 100 + i}};
        if (i % 2 == 0) {
            body["prompt"] = prompts[i];
            body["logprobs"] = 3;
            asked.push_back({"/v1/completions", body});
        } else {
            body["messages"] = {{{"role", "user"}, {"content", prompts[i]}}};
            body["logprobs"] = true;
            body["top_logprobs"] = 2;
            asked.push_back({"/v1/chat/completions", body});
        }
    }
    return asked;
}

// What must not depend on the batch: the choices (text, tokens, log-probabilities, finish
// reason) and the counts.
std::string answerOf(const Reply& reply) {
    return reply.body["choices"].dump() + reply.body["usage"].dump();
}

}  // namespace

// Each of 8 seeded requests, sent alone and then beside 1, 3 and 7 others at once, gets the same
// answer: every token and every log-probability, as printed (each double's shortest round trip).
TEST(ServeHttp, ConcurrentSeededRequestsAnswerAsEachAlone) {
    const std::vector<Asked> asked = seededRequests();
    std::vector<std::string> alone;
    {
        ServerOptions options;
        options.scheduler.max_active = 1;
        Running server(options);
        for (const Asked& a : asked) {
            const Reply reply = post(server.port(), a.path, a.body.dump());
            ASSERT_EQ(reply.status, 200) << reply.text;
            alone.push_back(answerOf(reply));
        }
    }
    Running server;
    for (const std::size_t count : {2u, 4u, 8u}) {
        SCOPED_TRACE(std::to_string(count) + " at once");
        std::vector<Reply> replies(count);
        std::vector<std::thread> clients;
        for (std::size_t i = 0; i < count; ++i) {
            clients.emplace_back(
                [&, i] { replies[i] = post(server.port(), asked[i].path, asked[i].body.dump()); });
        }
        for (std::thread& t : clients) t.join();
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(replies[i].status, 200) << replies[i].text;
            EXPECT_EQ(answerOf(replies[i]), alone[i]) << "request " << i;
        }
    }
    const Reply metrics = get(server.port(), "/metrics");
    EXPECT_NE(metrics.text.find("tarvel_step_seconds_count"), std::string::npos);
}

// A stream's pieces, joined, are the text of the same request answered whole.
TEST(ServeHttp, AStreamShowsWhatOneAnswerShows) {
    Running server;
    for (const Asked& a : seededRequests()) {
        SCOPED_TRACE(a.path);
        const Reply whole = post(server.port(), a.path, a.body.dump());
        ASSERT_EQ(whole.status, 200);
        Json streamed = a.body;
        streamed["stream"] = true;
        streamed["stream_options"] = {{"include_usage", true}};
        const Reply reply = post(server.port(), a.path, streamed.dump());
        ASSERT_EQ(reply.status, 200);
        std::string text;
        std::string finish;
        Json usage;
        std::size_t at = 0;
        bool ended = false;
        while ((at = reply.text.find("data: ", at)) != std::string::npos) {
            const std::size_t end = reply.text.find("\n\n", at);
            const std::string data = reply.text.substr(at + 6, end - at - 6);
            at = end;
            if (data == "[DONE]") {
                ended = true;
                break;
            }
            const Json chunk = Json::parse(data);
            if (chunk.contains("usage")) usage = chunk["usage"];
            if (chunk["choices"].empty()) continue;
            const Json& choice = chunk["choices"][0];
            if (choice.contains("text")) text += choice["text"].get<std::string>();
            if (choice.contains("delta") && choice["delta"].contains("content")) {
                text += choice["delta"]["content"].get<std::string>();
            }
            if (!choice["finish_reason"].is_null()) finish = choice["finish_reason"];
        }
        EXPECT_TRUE(ended);
        const Json& choice = whole.body["choices"][0];
        EXPECT_EQ(text, choice.contains("text") ? choice["text"] : choice["message"]["content"]);
        EXPECT_EQ(finish, choice["finish_reason"]);
        EXPECT_EQ(usage, whole.body["usage"]);
    }
}

// Refusals come in the API's error shape, with the status and a message naming the fault.
TEST(ServeHttp, RefusalsHaveTheirStatusAndTheErrorShape) {
    ServerOptions options;
    options.max_body_bytes = 4096;
    options.max_prompt_tokens = 20;
    Running server(options);
    struct Case {
        const char* path;
        std::string body;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"/v1/completions", "{bad", 400, "request body is not valid JSON"},
        {"/v1/completions", "[1]", 400, "request body must be a JSON object"},
        {"/v1/completions", R"({"model":"gpt-4","prompt":"x"})", 404,
         "model 'gpt-4' does not exist"},
        {"/v1/completions", R"({"max_tokens":3})", 400, "'prompt' must be a string"},
        {"/v1/completions", R"({"prompt":"x","temperature":3})", 400,
         "'temperature' must be a number from 0 to 2"},
        {"/v1/completions", R"({"prompt":"x","n":2})", 400, "'n' must be 1"},
        {"/v1/completions", R"({"prompt":"x","max_tokens":-1})", 400,
         "'max_tokens' must be an integer from 0 to 18446744073709551615"},
        {"/v1/completions", R"({"prompt":"x","stop":["a","b","c","d","e"]})", 400,
         "'stop' has more than 4 strings"},
        {"/v1/completions", R"({"prompt":"x","session":"a b"})", 400,
         "'session' must be 1 to 128 letters, digits or any of - _ . :"},
        {"/v1/completions",
         R"({"prompt":"one two three four five six seven eight nine ten eleven twelve"})", 400,
         "prompt has 23 tokens; the limit is 20"},
        {"/v1/chat/completions", R"({"messages":[]})", 400, "'messages' must be a non-empty list"},
        {"/v1/chat/completions", R"({"messages":[{"role":"user","content":"x"}],"top_logprobs":2})",
         400, "'top_logprobs' needs 'logprobs' set to true"},
        {"/v1/completions", std::string(5000, ' '), 413, "request body is too large"},
        {"/v1/nothing", "{}", 404, "unknown path /v1/nothing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 80));
        const Reply reply = post(server.port(), c.path, c.body);
        EXPECT_EQ(reply.status, c.status);
        ASSERT_TRUE(reply.body.is_object()) << reply.text;
        EXPECT_EQ(reply.body["error"]["message"], c.message);
        EXPECT_TRUE(reply.body["error"].contains("type"));
    }
    EXPECT_EQ(get(server.port(), "/v1/sessions/nobody").status, 404);
    EXPECT_EQ(get(server.port(), "/v1/models/other").status, 404);
    const Reply models = get(server.port(), "/v1/models");
    EXPECT_EQ(models.body["data"][0]["id"], "tiny-kjv");
    EXPECT_EQ(get(server.port(), "/health").body["status"], "ok");
}

// A conversation kept in an SQLite store continues on another server on the same file with
// only its new tokens fed, and answers exactly as the whole conversation sent without a session.
TEST(ServeHttp, ASessionContinuesExactlyOnAnotherServerThroughTheStore) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("tarvel-serve-test-" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(file);
    Json first = {{"messages", {{{"role", "user"}, {"content", "And God said"}}}},
                  {"max_tokens", 8},
                  {"seed", 5},
                  {"temperature", 0.7},
                  {"session", "talk-1"}};
    std::string answer;
    {
        ServerOptions options;
        options.store = openSessionStore(file.string());
        Running server(options);
        const Reply reply = post(server.port(), "/v1/chat/completions", first.dump());
        ASSERT_EQ(reply.status, 200) << reply.text;
        answer = reply.body["choices"][0]["message"]["content"];
    }
    Json second = first;
    second["messages"].push_back({{"role", "assistant"}, {"content", answer}});
    second["messages"].push_back({{"role", "user"}, {"content", "Let there be light"}});
    Json whole = second;
    whole.erase("session");
    ServerOptions options;
    options.store = openSessionStore(file.string());
    Running server(options);
    EXPECT_EQ(get(server.port(), "/v1/sessions/talk-1").status, 200);
    const Reply continued = post(server.port(), "/v1/chat/completions", second.dump());
    const Reply fresh = post(server.port(), "/v1/chat/completions", whole.dump());
    ASSERT_EQ(continued.status, 200) << continued.text;
    ASSERT_EQ(fresh.status, 200) << fresh.text;
    EXPECT_EQ(continued.body["choices"], fresh.body["choices"]);
    EXPECT_GT(continued.body["usage"]["prompt_tokens_details"]["cached_tokens"].get<int>(), 10);
    EXPECT_EQ(fresh.body["usage"]["prompt_tokens_details"]["cached_tokens"], 0);
    std::filesystem::remove(file);
}

// A store that cannot be reached refuses the requests that need it, and only those.
TEST(ServeHttp, AnUnreachableStoreGives503ToRequestsWithASession) {
    ServerOptions options;
    options.store = openSessionStore("redis://127.0.0.1:1");
    Running server(options);
    const Reply refused =
        post(server.port(), "/v1/completions", R"({"prompt":"Behold","session":"s"})");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body["error"]["message"],
              "session store is unreachable: redis://127.0.0.1:1");
    EXPECT_EQ(post(server.port(), "/v1/completions", R"({"prompt":"Behold"})").status, 200);
}
