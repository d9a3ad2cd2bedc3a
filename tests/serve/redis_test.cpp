#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvel/serve/session_store.hpp"

using Json = nlohmann::json;

namespace {

// A child process, ended with SIGTERM (or as asked) when the test is done with it.
class Child {
  public:
    // Runs argv; with `port_from_stderr`, waits for the server's "serving on" line and reads
    // its port.
    Child(std::vector<std::string> argv, bool port_from_stderr) {
        int pipe_fds[2] = {-1, -1};
        if (port_from_stderr && ::pipe(pipe_fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (port_from_stderr) {
                ::dup2(pipe_fds[1], STDERR_FILENO);
                ::close(pipe_fds[0]);
            }
            std::vector<char*> args;
            for (std::string& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (!port_from_stderr) return;
        ::close(pipe_fds[1]);
        std::string seen;
        char c = 0;
        while (::read(pipe_fds[0], &c, 1) == 1) {
            seen += c;
            const std::size_t at = seen.find("serving on http://127.0.0.1:");
            if (c == '\n' && at != std::string::npos) {
                port_ = std::stoi(seen.substr(at + 28));
                break;
            }
        }
        // Later lines go nowhere, and the server does not block writing them.
        reader_ = std::thread([fd = pipe_fds[0]] {
            char buffer[256];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
            ::close(fd);
        });
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) (void)stop(SIGTERM);
        if (reader_.joinable()) reader_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int port() const { return port_; }
    // Sends the signal and returns the exit status (-signal when killed by one).
    int stop(int signal_number) {
        ::kill(pid_, signal_number);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    bool reaped_ = false;
    std::thread reader_;
};

Json chat(int port, const Json& body) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120);
    const httplib::Result r = client.Post("/v1/chat/completions", body.dump(), "application/json");
    if (!r || r->status != 200) return Json{{"failed", r ? r->body : "no reply"}};
    return Json::parse(r->body);
}

Json turn(const std::vector<std::string>& said, const std::string& session) {
    Json messages = Json::array();
    for (std::size_t i = 0; i < said.size(); ++i) {
        messages.push_back({{"role", i % 2 == 0 ? "user" : "assistant"}, {"content", said[i]}});
    }
    return Json{{"messages", messages}, {"max_tokens", 6},  {"temperature", 0.8},
                {"seed", 11},           {"logprobs", true}, {"session", session}};
}

}  // namespace

// Two servers on one Redis: a conversation begun on one and continued on the other answers
// exactly as one carried on a single server, and a server killed with SIGKILL between turns
// loses nothing: one started in its place continues the conversation exactly.
TEST(ServeRedis, TwoServersShareSessionsAndAKilledServerLosesNone) {
    const int redis_port = 20000 + static_cast<int>(::getpid() % 20000);
    const std::string address = "redis://127.0.0.1:" + std::to_string(redis_port);
    Child redis({TARVEL_REDIS_SERVER, "--port", std::to_string(redis_port), "--bind", "127.0.0.1",
                 "--save", "", "--appendonly", "no", "--loglevel", "warning"},
                false);
    // Ready once it answers.
    const auto store = Nuvexis::Core::Tarvel::openSessionStore(address);
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
        try {
            (void)store->load("probe");
            ready = true;
        } catch (const Nuvexis::Core::Tarvel::SessionStoreError&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ASSERT_TRUE(ready) << "redis-server did not start on port " << redis_port;

    const std::vector<std::string> serve = {TARVEL_COMMAND, "serve", "--port", "0",
                                            "--store",      address};
    auto a = std::make_unique<Child>(serve, true);
    Child b(serve, true);
    ASSERT_GT(a->port(), 0);
    ASSERT_GT(b.port(), 0);

    // The conversation carried on server B alone, under a session of its own.
    std::vector<std::string> said = {"And God said"};
    std::vector<Json> one_server;
    for (int t = 0; t < 3; ++t) {
        const Json reply = chat(b.port(), turn(said, "whole"));
        ASSERT_FALSE(reply.contains("failed")) << reply.dump();
        one_server.push_back(reply["choices"]);
        said.push_back(reply["choices"][0]["message"]["content"]);
        said.push_back(t == 0 ? "Let there be light" : "And there was light");
    }

    // The same begun on A, continued on B, and after A is killed, finished on its successor.
    said = {"And God said"};
    const auto step = [&](int port, int t) {
        const Json reply = chat(port, turn(said, "moved"));
        EXPECT_EQ(reply["choices"], one_server[static_cast<std::size_t>(t)]) << "turn " << t;
        if (t > 0) {
            EXPECT_GT(reply["usage"]["prompt_tokens_details"]["cached_tokens"].get<int>(), 0);
        }
        said.push_back(reply["choices"][0]["message"]["content"]);
        said.push_back(t == 0 ? "Let there be light" : "And there was light");
    };
    step(a->port(), 0);
    step(b.port(), 1);
    EXPECT_EQ(a->stop(SIGKILL), -SIGKILL);
    a = std::make_unique<Child>(serve, true);
    ASSERT_GT(a->port(), 0);
    step(a->port(), 2);

    EXPECT_EQ(a->stop(SIGTERM), 0);
    EXPECT_EQ(b.stop(SIGTERM), 0);
}
