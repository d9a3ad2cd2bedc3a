#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/chat/conversation.hpp"
#include "tarvel/serve/scheduler.hpp"
#include "tarvel/serve/session_store.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

namespace Nuvexis::Core::Tarvel {

// The model a server serves, with what its folder says about text.
struct ServedModel {
    std::string name;  // the id /v1/models lists and requests name
    std::shared_ptr<const TransformerModel> model;
    std::shared_ptr<const Tokenizer> tokenizer;
    ChatSetup chat;                      // the chat template and the ids that end a turn
    std::optional<std::uint32_t> eos;    // sampling it ends a text
    std::vector<std::uint32_t> end_ids;  // so does sampling any of these
};

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: a free port, which bind() returns
    SchedulerOptions scheduler;
    std::uint64_t max_body_bytes = std::uint64_t{1} << 20;  // larger bodies get 413
    std::uint64_t max_prompt_tokens = 0;                    // 0: the model's context
    double deadline_seconds = 600.0;                        // per request, from its arrival
    std::uint64_t max_sessions = 64;  // sessions held in memory; the rest live in the store
    // Where idle sessions' snapshots go; null keeps them in memory only (and refuses sessions
    // past max_sessions).
    std::shared_ptr<SessionStore> store;
};

// `tarvel serve`: the OpenAI-compatible HTTP API over one model, its requests batched by a
// Scheduler.
class Server {
  public:
    Server(ServedModel model, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the address; returns the port. Throws std::runtime_error "cannot listen on
    // <host>:<port>".
    int bind();
    // Serves until stop() (from another thread or a signal handler's thread) has finished.
    void run();
    // Stops taking requests (503), lets the running ones finish and keeps their sessions, then
    // stops listening. Safe to call from any thread, more than once.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Nuvexis::Core::Tarvel
