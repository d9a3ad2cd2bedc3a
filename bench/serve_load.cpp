// A bounded load test of a running `tarvel serve`:
//   tarvel-serve-load PORT [CLIENTS=64] [REQUESTS=20] [MAX_TOKENS=16]
// Each client sends its requests one after another (completions and chats in turn, streamed
// every fourth, seeded), checks that every response is well formed, and at the end the server's
// metrics must show nothing queued, running or held. Prints requests/s, latency percentiles and
// tokens/s as JSON; exits 1 if any response was malformed or anything was left behind.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// Whether a response has the shape its request asks for; the completion tokens it reports.
bool wellFormed(const std::string& body, bool chat, bool stream, std::uint64_t& tokens) {
    if (stream) {
        if (body.find("data: [DONE]\n\n") == std::string::npos) return false;
        std::size_t at = 0;
        while ((at = body.find("data: ", at)) != std::string::npos) {
            const std::size_t end = body.find("\n\n", at);
            if (end == std::string::npos) return false;
            const std::string data = body.substr(at + 6, end - at - 6);
            at = end;
            if (data == "[DONE]") break;
            const Json chunk = Json::parse(data, nullptr, false);
            if (chunk.is_discarded() || !chunk.contains("choices")) return false;
            if (chunk.contains("usage")) tokens = chunk["usage"]["completion_tokens"];
        }
        return true;
    }
    const Json j = Json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.contains("choices") || j["choices"].size() != 1) return false;
    const Json& choice = j["choices"][0];
    if (chat ? !choice["message"]["content"].is_string() : !choice["text"].is_string()) {
        return false;
    }
    tokens = j["usage"]["completion_tokens"];
    return true;
}

double metric(const std::string& text, const std::string& name) {
    const std::size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + name.size() + 2));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: tarvel-serve-load PORT [CLIENTS] [REQUESTS] [MAX_TOKENS]\n";
        return 2;
    }
    const int port = std::stoi(argv[1]);
    const int clients = argc > 2 ? std::stoi(argv[2]) : 64;
    const int requests = argc > 3 ? std::stoi(argv[3]) : 20;
    const int max_tokens = argc > 4 ? std::stoi(argv[4]) : 16;

    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<std::uint64_t> tokens{0};
    std::atomic<int> malformed{0};
    const auto started = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(600);
            for (int r = 0; r < requests; ++r) {
                const bool chat = (c + r) % 2 == 1;
                const bool stream = (c + r) % 4 == 0;
                Json body = {{"max_tokens", max_tokens},
                             {"temperature", 0.8},
                             {"seed", c * 1000 + r},
                             {"stream", stream}};
                if (stream) body["stream_options"] = {{"include_usage", true}};
                if (chat) {
                    body["messages"] = {{{"role", "user"}, {"content", "And God said"}}};
                } else {
                    body["prompt"] = "In the beginning";
                }
                const auto sent = Clock::now();
                const httplib::Result result =
                    client.Post(chat ? "/v1/chat/completions" : "/v1/completions", body.dump(),
                                "application/json");
                const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
                std::uint64_t got = 0;
                if (!result || result->status != 200 ||
                    !wellFormed(result->body, chat, stream, got)) {
                    if (++malformed <= 3) {
                        const std::lock_guard<std::mutex> lock(mutex);
                        std::cerr << "malformed: "
                                  << (result ? std::to_string(result->status) + " " + result->body
                                             : "no response: " + httplib::to_string(result.error()))
                                  << '\n';
                    }
                    continue;
                }
                tokens += got;
                const std::lock_guard<std::mutex> lock(mutex);
                latencies.push_back(seconds);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

    httplib::Client client("127.0.0.1", port);
    const httplib::Result metrics = client.Get("/metrics");
    const std::string text = metrics ? "\n" + metrics->body : std::string();
    const double queued = metric(text, "tarvel_queue_length");
    const double active = metric(text, "tarvel_active_requests");
    const double held = metric(text, "tarvel_sessions_held");

    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        const auto index = static_cast<std::size_t>(p * static_cast<double>(latencies.size() - 1));
        return latencies[index];
    };
    const int total = clients * requests;
    const Json out = {{"clients", clients},
                      {"requests", total},
                      {"malformed", malformed.load()},
                      {"seconds", elapsed},
                      {"requests_per_s", total / elapsed},
                      {"latency_p50_s", percentile(0.50)},
                      {"latency_p99_s", percentile(0.99)},
                      {"completion_tokens", tokens.load()},
                      {"tokens_per_s", static_cast<double>(tokens.load()) / elapsed},
                      {"left_queued", queued},
                      {"left_active", active},
                      {"left_sessions_held", held}};
    std::cout << out.dump(2) << '\n';
    return malformed.load() == 0 && queued == 0.0 && active == 0.0 && held == 0.0 ? 0 : 1;
}
