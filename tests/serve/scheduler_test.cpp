#include <gtest/gtest.h>

#include <bit>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/small_model.hpp"
#include "tarvel/serve/scheduler.hpp"

using namespace tarvel_test;

namespace {

// Large enough that the projections run the vector kernels' panels and their tails.
std::shared_ptr<const TransformerModel> servedModel() {
    ModelShape shape;
    shape.vocabulary = 2101;
    shape.context = 48;
    shape.layers = 3;
    shape.query_heads = 4;
    shape.kv_heads = 2;
    shape.head_dim = 16;
    shape.ffn_dim = 164;
    shape.tied_embeddings = false;
    return std::make_shared<const TransformerModel>(makeSpec(shape), makeWeights(shape, 15));
}

// Everything a request's answer shows, the log-probabilities as bits.
struct Answer {
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> logprobs;
    std::vector<std::uint32_t> top_ids;
    FinishReason reason = FinishReason::stop;
    std::uint64_t completion_tokens = 0;

    friend bool operator==(const Answer&, const Answer&) = default;
};

// Request i: a prompt of its own length, sampled with its own seed; every third greedy, and
// one that runs into the context.
ScheduledRequest requestOf(std::uint64_t i) {
    ScheduledRequest r;
    const std::uint64_t length = i == 5 ? 40 : 1 + (i * 7) % 23;
    for (std::uint64_t t = 0; t < length; ++t) {
        r.input.push_back(static_cast<std::uint32_t>((t * 389 + i * 131 + 3) % 2101));
    }
    r.generate.max_tokens = 12;
    r.generate.sampling.temperature = i % 3 == 0 ? 0.0 : 0.9;
    r.generate.sampling.top_k = i % 2 == 0 ? 0 : 50;
    r.generate.sampling.seed = 1000 + i;
    r.generate.eos = 7;
    r.logprobs = true;
    r.top_logprobs = 3;
    return r;
}

// Submits the requests at once and waits for every answer.
std::vector<Answer> answers(Scheduler& scheduler, const std::vector<std::uint64_t>& which) {
    std::vector<std::shared_ptr<Answer>> kept;
    std::vector<std::future<void>> done;
    for (const std::uint64_t i : which) {
        auto answer = std::make_shared<Answer>();
        auto finished = std::make_shared<std::promise<void>>();
        done.push_back(finished->get_future());
        ScheduledRequest r = requestOf(i);
        r.on_token = [answer](const ScheduledToken& t) {
            answer->tokens.push_back(t.id);
            answer->logprobs.push_back(std::bit_cast<std::uint64_t>(t.logprob));
            for (const auto& [id, lp] : t.top) {
                answer->top_ids.push_back(id);
                answer->logprobs.push_back(std::bit_cast<std::uint64_t>(lp));
            }
            return false;
        };
        r.on_done = [answer, finished](ScheduledOutcome outcome) {
            answer->reason = outcome.reason;
            answer->completion_tokens = outcome.completion_tokens;
            finished->set_value();
        };
        kept.push_back(answer);
        (void)scheduler.submit(std::move(r));
    }
    for (auto& f : done) f.wait();
    std::vector<Answer> result;
    for (const auto& a : kept) result.push_back(*a);
    return result;
}

}  // namespace

// A request's tokens and log-probabilities are those it gets alone, bit for bit, beside 1, 3 or
// 7 others on one or three threads; and alone they are what generate samples from a session.
TEST(Scheduler, EveryRequestAnswersAsItDoesAloneBesideAnyOthersOnAnyThreads) {
    const auto model = servedModel();
    std::vector<Answer> alone;
    {
        SchedulerOptions options;
        options.max_active = 1;
        Scheduler scheduler(model, options);
        for (std::uint64_t i = 0; i < 8; ++i) alone.push_back(answers(scheduler, {i})[0]);
    }
    for (std::uint64_t i = 0; i < 8; ++i) {
        const ScheduledRequest r = requestOf(i);
        TransformerKvSession session(model, 1);
        GenerateOptions options = r.generate;
        options.kv.threads = 1;
        EXPECT_EQ(generate(session, r.input, options, {}).tokens, alone[i].tokens) << i;
        EXPECT_EQ(alone[i].completion_tokens, alone[i].tokens.size());
    }
    EXPECT_EQ(alone[5].reason, FinishReason::length);

    for (const std::uint32_t threads : {1u, 3u}) {
        for (const std::vector<std::uint64_t>& group :
             {std::vector<std::uint64_t>{3, 0}, std::vector<std::uint64_t>{6, 1, 2, 5},
              std::vector<std::uint64_t>{7, 6, 5, 4, 3, 2, 1, 0}}) {
            SCOPED_TRACE(std::to_string(group.size()) + " requests, " + std::to_string(threads) +
                         " threads");
            SchedulerOptions options;
            options.kv.threads = threads;
            options.max_active = 9;
            // Prompts go in chunks beside others' decode tokens; all eight at once go in whole,
            // so that the first step holds every one of them.
            options.step_tokens = group.size() == 8 ? 256 : 9;
            Scheduler scheduler(model, options);
            // One more request holds the scheduler's thread while the group is submitted.
            std::promise<void> release;
            ScheduledRequest blocker = requestOf(0);
            blocker.generate.max_tokens = 1;
            blocker.generate.eos.reset();
            std::promise<void> entered;
            blocker.on_token = [&entered,
                                held = release.get_future().share()](const ScheduledToken&) {
                entered.set_value();
                held.wait();
                return false;
            };
            (void)scheduler.submit(std::move(blocker));
            entered.get_future().wait();
            std::vector<Answer> together;
            std::thread submitter([&] { together = answers(scheduler, group); });
            while (scheduler.stats().queued < group.size()) std::this_thread::yield();
            release.set_value();
            submitter.join();
            for (std::size_t k = 0; k < group.size(); ++k) {
                EXPECT_TRUE(together[k] == alone[group[k]]) << "request " << group[k];
            }
            if (group.size() == 8) {
                EXPECT_GT(scheduler.stats().batch_sizes[7], 0u);
            }
        }
    }
}

// Past its places and its queue the scheduler refuses a request, and after shutdown every one.
TEST(Scheduler, RefusesWhatItCannotHold) {
    const auto model = servedModel();
    SchedulerOptions options;
    options.max_active = 1;
    options.max_queue = 1;
    Scheduler scheduler(model, options);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::future<void>> done;
    for (int i = 0; i < 2; ++i) {
        ScheduledRequest r = requestOf(1);
        r.generate.max_tokens = 3;
        // The first request holds the scheduler's thread until the test lets it go.
        r.on_token = [released](const ScheduledToken&) {
            released.wait();
            return false;
        };
        auto finished = std::make_shared<std::promise<void>>();
        done.push_back(finished->get_future());
        r.on_done = [finished](ScheduledOutcome) { finished->set_value(); };
        (void)scheduler.submit(std::move(r));
    }
    EXPECT_THROW_MSG((void)scheduler.submit(requestOf(2)), SchedulerBusy, "request queue is full");
    EXPECT_THROW_MSG((void)scheduler.submit(ScheduledRequest{}), std::invalid_argument,
                     "request has no tokens");
    release.set_value();
    for (auto& f : done) f.wait();
    scheduler.shutdown();
    EXPECT_THROW_MSG((void)scheduler.submit(requestOf(2)), SchedulerBusy,
                     "server is shutting down");
}

// A cancelled request ends at the next step with its place freed; one past its deadline too.
TEST(Scheduler, CancelledAndExpiredRequestsEndAtTheNextStep) {
    const auto model = servedModel();
    Scheduler scheduler(model, SchedulerOptions{});
    std::promise<ScheduledOutcome> cancelled;
    std::promise<ScheduledOutcome> expired;
    ScheduledRequest a = requestOf(1);
    a.generate.max_tokens = 1000000;
    a.generate.eos.reset();
    // The first token waits until the test has cancelled the request.
    auto first_token = std::make_shared<std::promise<void>>();
    auto go = std::make_shared<std::promise<void>>();
    a.on_token = [first_token, gone = go->get_future().share(),
                  seen = false](const ScheduledToken&) mutable {
        if (!seen) {
            first_token->set_value();
            gone.wait();
        }
        seen = true;
        return false;
    };
    a.on_done = [&](ScheduledOutcome o) { cancelled.set_value(std::move(o)); };
    ScheduledRequest b = requestOf(2);
    b.deadline = std::chrono::steady_clock::now();
    b.on_done = [&](ScheduledOutcome o) { expired.set_value(std::move(o)); };
    Scheduler::Ticket ticket = scheduler.submit(std::move(a));
    (void)scheduler.submit(std::move(b));
    first_token->get_future().wait();
    ticket.cancel();
    go->set_value();
    const ScheduledOutcome first = cancelled.get_future().get();
    EXPECT_EQ(first.reason, FinishReason::cancelled);
    EXPECT_EQ(first.completion_tokens, 1u);
    EXPECT_EQ(expired.get_future().get().reason, FinishReason::deadline);
    scheduler.drain();
    EXPECT_EQ(scheduler.stats().active, 0u);
}
