#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tarvel/generate/generate.hpp"
#include "tarvel/kv/session.hpp"

namespace Nuvexis::Core::Tarvel {

struct SchedulerOptions {
    std::uint64_t max_active = 8;    // sessions stepped together
    std::uint64_t max_queue = 64;    // requests waiting for a place among them
    std::uint64_t step_tokens = 64;  // tokens one step feeds: decode tokens, then prefill chunks
    // Precision, threads and cache limit of every step; the step's logits are always those of
    // each chunk's last position.
    TransformerKvOptions kv;
};

// One sampled token with its log-probability under the model's distribution over the ids it
// may sample (tokenLogProbs: log-softmax in double, the largest subtracted, as generate's), and
// the likeliest alternatives when asked.
struct ScheduledToken {
    std::uint32_t id = 0;
    double logprob = 0.0;
    std::vector<std::pair<std::uint32_t, double>> top;  // likeliest first, lower id among equals
};

enum class FinishReason : std::uint8_t {
    stop = 0,       // an end id was sampled, or the token callback asked to stop
    length = 1,     // max_tokens, or the model's context
    cancelled = 2,  // the request was cancelled (its client went away)
    deadline = 3,   // the request's deadline passed
    failed = 4,     // a step failed for this request alone; `error` says why
    shutdown = 5,   // the scheduler stopped before the request began
};

struct ScheduledOutcome {
    FinishReason reason = FinishReason::stop;
    std::string error;
    std::uint64_t prompt_tokens = 0;      // tokens fed from the request's input
    std::uint64_t completion_tokens = 0;  // tokens emitted
    // The request's session at the end; it holds every emitted token when feed_last was set.
    std::unique_ptr<TransformerKvSession> session;
};

// What one request asks of the scheduler.
struct ScheduledRequest {
    // The session to continue (null: a fresh one on the scheduler's model) and the tokens to
    // feed it before sampling; at least one, unless the session holds some already.
    std::unique_ptr<TransformerKvSession> session;
    std::vector<std::uint32_t> input;
    // Sampling, max_tokens, end ids, sampled vocabulary and feed_last as generate reads them;
    // its kv and callbacks are not used.
    GenerateOptions generate;
    bool logprobs = false;           // compute each token's log-probability
    std::uint64_t top_logprobs = 0;  // and this many likeliest alternatives
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // Called on the scheduler's thread for each emitted token; true ends the request with
    // FinishReason::stop (a stop text was reached). It must not throw.
    std::function<bool(const ScheduledToken&)> on_token;
    // Called on the scheduler's thread once, at the end. It must not throw.
    std::function<void(ScheduledOutcome)> on_done;
};

// The scheduler refused a request: its queue is full, or it is shutting down.
class SchedulerBusy : public std::runtime_error {
  public:
    explicit SchedulerBusy(const std::string& what, bool shutting_down)
        : std::runtime_error(what), shutting_down_(shutting_down) {}
    bool shutting_down() const noexcept { return shutting_down_; }

  private:
    bool shutting_down_;
};

struct SchedulerStats {
    std::uint64_t queued = 0;
    std::uint64_t active = 0;
    std::uint64_t steps = 0;
    std::uint64_t prompt_tokens = 0;
    std::uint64_t completion_tokens = 0;
    std::vector<std::uint64_t> batch_sizes;        // steps of 1 .. max_active sessions
    std::vector<std::uint64_t> step_time_buckets;  // cumulative counts per step_time_bounds
    double step_seconds = 0.0;                     // sum of every step's time
};

// Upper bounds, in seconds, of the step time histogram's buckets (the last is +Inf).
const std::vector<double>& stepTimeBounds();

// Continuous batching: one thread steps every active request together, each step feeding each
// request either its next decode token or a chunk of its prompt, through forwardCachedBatch; a
// request's tokens and log-probabilities are those it gets alone, whatever else runs beside it.
// Requests wait in a queue for one of max_active places; a finished, cancelled or expired one
// frees its place at once.
class Scheduler {
  public:
    Scheduler(std::shared_ptr<const TransformerModel> model, SchedulerOptions options);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // A handle through which the caller cancels the request.
    class Ticket {
      public:
        void cancel() noexcept { cancelled_->store(true); }

      private:
        friend class Scheduler;
        std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
    };

    // Throws SchedulerBusy "request queue is full" or "server is shutting down", and
    // std::invalid_argument "request has no tokens" for an empty input on an empty session.
    Ticket submit(ScheduledRequest request);

    // Stops taking requests; those queued or running are finished. Returns at once.
    void shutdown();
    // Waits until nothing is queued or running (after shutdown, until the thread has ended).
    void drain();
    bool shutting_down() const noexcept { return shutting_down_.load(); }

    SchedulerStats stats() const;
    const std::shared_ptr<const TransformerModel>& model() const noexcept { return model_; }

  private:
    struct Job;
    void loop();
    void step(std::vector<std::unique_ptr<Job>>& active);

    std::shared_ptr<const TransformerModel> model_;
    SchedulerOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::unique_ptr<Job>> queue_;
    std::uint64_t running_ = 0;
    bool stop_thread_ = false;
    std::atomic<bool> shutting_down_{false};
    SchedulerStats stats_;
    std::thread thread_;
};

}  // namespace Nuvexis::Core::Tarvel
