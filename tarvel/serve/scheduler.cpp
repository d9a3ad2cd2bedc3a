#include "tarvel/serve/scheduler.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>
#include <utility>

#include "tarvel/kv/cached_step.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/reference/log_probs.hpp"

namespace Nuvexis::Core::Tarvel {

const std::vector<double>& stepTimeBounds() {
    static const std::vector<double> bounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                               0.1,   0.25,   0.5,   1.0,  2.5};
    return bounds;
}

struct Scheduler::Job {
    ScheduledRequest request;
    std::shared_ptr<std::atomic<bool>> cancelled;
    std::unique_ptr<TransformerKvSession> session;
    std::vector<std::uint32_t> feed;  // what the next steps feed
    std::size_t fed = 0;              // of which this many are fed already
    bool decoding = false;            // feed is one sampled token
    bool finishing = false;           // feed is the last emitted token, fed for the session
    FinishReason finish_reason = FinishReason::stop;
    std::uint64_t prompt_tokens = 0;
    std::uint64_t emitted = 0;
};

Scheduler::Scheduler(std::shared_ptr<const TransformerModel> model, SchedulerOptions options)
    : model_(std::move(model)), options_(std::move(options)) {
    if (!model_) throw std::invalid_argument("scheduler requires a model");
    if (options_.max_active == 0) throw std::invalid_argument("scheduler requires a place");
    if (options_.step_tokens == 0) throw std::invalid_argument("scheduler requires a token budget");
    options_.kv.logits = TransformerKvLogits::last_position;
    stats_.batch_sizes.assign(static_cast<std::size_t>(options_.max_active), 0);
    stats_.step_time_buckets.assign(stepTimeBounds().size() + 1, 0);
    thread_ = std::thread([this] { loop(); });
}

Scheduler::~Scheduler() {
    shutdown();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_thread_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

Scheduler::Ticket Scheduler::submit(ScheduledRequest request) {
    if (request.session && request.session->model() != model_) {
        throw std::invalid_argument("session belongs to another model");
    }
    if (request.input.empty() && (!request.session || request.session->position() == 0)) {
        throw std::invalid_argument("request has no tokens");
    }
    auto job = std::make_unique<Job>();
    Ticket ticket;
    job->cancelled = ticket.cancelled_;
    job->session = request.session ? std::move(request.session)
                                   : std::make_unique<TransformerKvSession>(model_, 1);
    job->prompt_tokens = request.input.size();
    if (request.input.empty()) {
        // The logits of the session's last position come from feeding its last token again to
        // the session without it: the same bits its own step gave.
        const std::uint64_t p = job->session->position();
        const std::uint32_t last = job->session->token_prefix().back();
        job->session = std::make_unique<TransformerKvSession>(sessionPrefix(*job->session, p - 1));
        job->feed = {last};
    } else {
        job->feed = std::move(request.input);
    }
    job->request = std::move(request);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (shutting_down_.load()) throw SchedulerBusy("server is shutting down", true);
        // Queued and running together: a request that would find no place and no room to
        // wait is refused.
        if (running_ >= options_.max_queue + options_.max_active) {
            throw SchedulerBusy("request queue is full", false);
        }
        queue_.push_back(std::move(job));
        ++running_;
        stats_.queued = queue_.size();
    }
    wake_.notify_all();
    return ticket;
}

void Scheduler::shutdown() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        shutting_down_.store(true);
    }
    wake_.notify_all();
}

void Scheduler::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [&] { return running_ == 0; });
}

SchedulerStats Scheduler::stats() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void Scheduler::loop() {
    std::vector<std::unique_ptr<Job>> active;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_thread_ || !queue_.empty() || !active.empty(); });
            if (stop_thread_ && queue_.empty() && active.empty()) return;
            while (active.size() < options_.max_active && !queue_.empty()) {
                active.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            stats_.queued = queue_.size();
            stats_.active = active.size();
        }
        step(active);
    }
}

namespace {

bool endsText(const GenerateOptions& options, std::uint32_t token) {
    return (options.eos && token == *options.eos) ||
           std::find(options.end_ids.begin(), options.end_ids.end(), token) !=
               options.end_ids.end();
}

}  // namespace

void Scheduler::step(std::vector<std::unique_ptr<Job>>& active) {
    const auto finish = [&](std::size_t index, FinishReason reason, std::string error = {}) {
        Job& job = *active[index];
        ScheduledOutcome outcome;
        outcome.reason = reason;
        outcome.error = std::move(error);
        outcome.prompt_tokens = job.prompt_tokens;
        outcome.completion_tokens = job.emitted;
        outcome.session = std::move(job.session);
        if (job.request.on_done) job.request.on_done(std::move(outcome));
        active[index].reset();
    };
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < active.size(); ++i) {
        if (active[i]->cancelled->load()) {
            finish(i, FinishReason::cancelled);
        } else if (active[i]->request.deadline && now >= *active[i]->request.deadline) {
            finish(i, FinishReason::deadline);
        }
    }

    // Decode tokens first, one each, then prompt chunks within what is left of the budget; at
    // least one item, so that a prompt longer than the budget still moves.
    std::vector<TransformerKvBatchItem> items;
    std::vector<std::size_t> owners;
    std::uint64_t budget = options_.step_tokens;
    for (std::size_t i = 0; i < active.size(); ++i) {
        if (active[i] && (active[i]->decoding || active[i]->finishing)) {
            Job& job = *active[i];
            items.push_back({job.session.get(), singleSequence({job.feed[job.fed]})});
            owners.push_back(i);
            budget = budget > 0 ? budget - 1 : 0;
        }
    }
    for (std::size_t i = 0; i < active.size(); ++i) {
        if (!active[i] || active[i]->decoding || active[i]->finishing) continue;
        Job& job = *active[i];
        const std::uint64_t remaining = job.feed.size() - job.fed;
        std::uint64_t n = std::min(remaining, budget);
        if (n == 0 && items.empty()) n = std::min(remaining, options_.step_tokens);
        if (n == 0) continue;
        const auto begin = job.feed.begin() + static_cast<std::ptrdiff_t>(job.fed);
        items.push_back(
            {job.session.get(), singleSequence({begin, begin + static_cast<std::ptrdiff_t>(n)})});
        owners.push_back(i);
        budget -= std::min(budget, n);
    }

    if (!items.empty()) {
        const auto started = std::chrono::steady_clock::now();
        std::vector<Tensor> logits(items.size());
        std::vector<std::string> failures(items.size());
        try {
            std::vector<TransformerKvStep> steps = forwardCachedBatch(items, options_.kv);
            for (std::size_t k = 0; k < items.size(); ++k) logits[k] = std::move(steps[k].logits);
        } catch (const std::exception&) {
            // The batch changed no session; each item alone shows whose step it was.
            for (std::size_t k = 0; k < items.size(); ++k) {
                try {
                    logits[k] =
                        forwardCached(items[k].chunk, *items[k].session, options_.kv).logits;
                } catch (const std::exception& e) {
                    failures[k] = e.what();
                }
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.steps;
            ++stats_.batch_sizes[std::min(items.size(), stats_.batch_sizes.size()) - 1];
            const std::vector<double>& bounds = stepTimeBounds();
            for (std::size_t b = 0; b <= bounds.size(); ++b) {
                if (b == bounds.size() || seconds <= bounds[b]) ++stats_.step_time_buckets[b];
            }
            stats_.step_seconds += seconds;
        }

        const std::uint64_t context = model_->spec().context;
        const std::uint64_t vocabulary = model_->spec().vocabulary;
        std::uint64_t fed_prompt = 0;
        std::uint64_t emitted = 0;
        for (std::size_t k = 0; k < items.size(); ++k) {
            const std::size_t i = owners[k];
            Job& job = *active[i];
            if (!failures[k].empty()) {
                finish(i, FinishReason::failed, failures[k]);
                continue;
            }
            const std::uint64_t n = items[k].chunk.width;
            if (!job.decoding && !job.finishing) fed_prompt += n;
            job.fed += n;
            if (job.fed < job.feed.size()) continue;
            if (job.finishing) {
                finish(i, job.finish_reason);
                continue;
            }
            const GenerateOptions& options = job.request.generate;
            TransformerKvSession& session = *job.session;
            const std::uint64_t position = session.position();
            if (job.emitted >= options.max_tokens) {
                finish(i, FinishReason::length);
                continue;
            }
            std::uint32_t token = 0;
            try {
                token = sampleNext(logits[k], options, position, session.token_prefix());
            } catch (const std::exception& e) {
                finish(i, FinishReason::failed, e.what());
                continue;
            }
            if (endsText(options, token)) {
                finish(i, FinishReason::stop);
                continue;
            }
            if (options.feed_last && position >= context) {
                finish(i, FinishReason::length);
                continue;
            }
            ScheduledToken emitted_token{token, 0.0, {}};
            if (job.request.logprobs) {
                const std::uint64_t sampled =
                    options.sampled_vocabulary
                        ? std::min<std::uint64_t>(*options.sampled_vocabulary, vocabulary)
                        : vocabulary;
                const TokenLogProbs scored =
                    tokenLogProbs(std::span<const double>(logits[k].data.data(), sampled), position,
                                  token, job.request.top_logprobs);
                emitted_token.logprob = scored.logprob;
                for (const TokenLogProb& alternative : scored.top) {
                    emitted_token.top.emplace_back(alternative.token, alternative.logprob);
                }
            }
            ++job.emitted;
            ++emitted;
            const bool stop = job.request.on_token && job.request.on_token(emitted_token);
            const bool last = stop || job.emitted >= options.max_tokens;
            const FinishReason reason = stop ? FinishReason::stop : FinishReason::length;
            job.feed = {token};
            job.fed = 0;
            if (last) {
                if (options.feed_last && position < context) {
                    job.finishing = true;
                    job.finish_reason = reason;
                } else {
                    finish(i, reason);
                }
                continue;
            }
            if (position >= context) {
                finish(i, FinishReason::length);
                continue;
            }
            job.decoding = true;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        stats_.prompt_tokens += fed_prompt;
        stats_.completion_tokens += emitted;
    }

    std::uint64_t finished = 0;
    for (std::size_t i = active.size(); i-- > 0;) {
        if (!active[i]) {
            active.erase(active.begin() + static_cast<std::ptrdiff_t>(i));
            ++finished;
        }
    }
    if (finished > 0) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running_ -= finished;
            stats_.active = active.size();
        }
        idle_.notify_all();
    }
}

}  // namespace Nuvexis::Core::Tarvel
