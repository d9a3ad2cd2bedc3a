#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "tarvel/core/tensor.hpp"
#include "tarvel/export.hpp"
#include "tarvel/model/transformer_model.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

struct ArtifactLimits;
struct TokenBatch;
struct TransformerKvBatchItem;
class TransformerKvSession;
void restoreSnapshot(TransformerKvSession& session, const std::vector<std::uint8_t>& bytes,
                     const ArtifactLimits& limits);

struct TransformerKvStats {
    std::uint64_t tokens = 0;          // positions cached
    std::uint64_t cached_values = 0;   // 2 * layers * kv_heads * head_dim * tokens
    std::uint64_t used_bytes = 0;      // kvBytesPerToken * tokens
    std::uint64_t reserved_bytes = 0;  // always equal to used_bytes
    double utilization = 0.0;          // 1.0 for any non-empty cache, else 0.0

    friend bool operator==(const TransformerKvStats&, const TransformerKvStats&) = default;
};

// Which positions of a chunk a step returns logits for. A prompt fed ahead of generation needs
// only its last position's; the others cost a vocabulary-wide projection each and are skipped.
enum class TransformerKvLogits : std::uint8_t { every_position = 0, last_position = 1 };

struct TransformerKvOptions {
    bool double_precision = false;
    std::uint64_t max_cache_bytes = 536870912;  // bound on the whole cache after the step
    // Called once per successful step, before the session changes; its exception aborts the
    // step and leaves the session as it was. It may read, save or fork the stepped session;
    // changing it from here is refused (TransformerKvError invalid_state).
    std::function<void(const TransformerKvStats&)> observer;
    // Threads the step may use: 0 is one per hardware thread, more than 256 is 256. Results do
    // not depend on it; the observer runs on the calling thread.
    std::uint32_t threads = 0;
    // every_position: {1, chunk width, vocabulary}; last_position: {1, 1, vocabulary}, equal
    // bit for bit to the last row of every_position. The session ends the same either way.
    TransformerKvLogits logits = TransformerKvLogits::every_position;
};

struct TransformerKvStep {
    Tensor logits;  // {1, chunk width, vocabulary}, or {1, 1, vocabulary} for last_position
    TransformerKvStats stats;
};

// One token sequence fed to a shared model in chunks. Copy construction is the fork: the copy
// shares only the immutable model. A failed operation leaves the session exactly as it was.
class TransformerKvSession {
  public:
    // Throws std::invalid_argument "session requires a model" for a null model. A tag of 0
    // is stored as 1.
    TransformerKvSession(std::shared_ptr<const TransformerModel> model, std::uint64_t tag);

    // Copies the prefix, the tokenizer state and every cache tensor deeply; moving copies too,
    // so that no session is ever left without its model.
    TransformerKvSession(const TransformerKvSession&) = default;
    // Assignment would swap a session's model underneath it; sessions are forked by copy
    // construction and returned to fresh by reset.
    TransformerKvSession& operator=(const TransformerKvSession&) = delete;
    TransformerKvSession& operator=(TransformerKvSession&&) = delete;

    const std::shared_ptr<const TransformerModel>& model() const noexcept { return model_; }
    std::uint64_t position() const noexcept { return position_; }
    std::uint64_t tag() const noexcept { return tag_; }
    std::uint64_t aux() const noexcept { return aux_; }
    const std::vector<std::uint32_t>& token_prefix() const noexcept { return token_prefix_; }
    const std::vector<std::uint8_t>& tokenizer_state() const noexcept { return tokenizer_state_; }
    const std::vector<Tensor>& cache() const noexcept { return cache_; }

    // The replacing operations: each fails before changing anything or succeeds completely.
    // Used one at a time they may leave the session inconsistent; the next step refuses it.
    // Like reset and restoreSnapshot, each is refused with TransformerKvError invalid_state
    // "session step in progress" while a step on this session runs (from its observer).
    void setTokenPrefix(std::vector<std::uint32_t> tokens);
    void setCache(std::vector<Tensor> cache);
    void advancePosition(std::uint64_t count);

    // Back to the state of a fresh session on the same model. Allocates nothing, and fails
    // only inside a step on this session.
    void reset(std::uint64_t tag);

  private:
    friend void restoreSnapshot(TransformerKvSession& session,
                                const std::vector<std::uint8_t>& bytes,
                                const ArtifactLimits& limits);
    // Commits what it built itself, without the replacing operations' scans of values it has
    // already checked.
    friend TransformerKvStep forwardCached(const TokenBatch& chunk, TransformerKvSession& session,
                                           const TransformerKvOptions& options);

    friend std::vector<TransformerKvStep> forwardCachedBatch(
        std::span<const TransformerKvBatchItem> items, const TransformerKvOptions& options);

    // Throws TransformerKvError invalid_state "session step in progress" while a step on this
    // session runs: its commit would overwrite whatever changed underneath it.
    void refuseDuringStep() const;

    // Set for the duration of a step on this session. A fork is not in any step, so a copy
    // starts unset.
    struct StepInProgress {
        bool active = false;
        StepInProgress() = default;
        StepInProgress(const StepInProgress&) noexcept {}
        StepInProgress& operator=(const StepInProgress&) = delete;
    };

    std::shared_ptr<const TransformerModel> model_;
    std::uint64_t position_ = 0;
    std::uint64_t tag_ = 1;
    std::uint64_t aux_ = 0;
    std::vector<std::uint32_t> token_prefix_;
    std::vector<std::uint8_t> tokenizer_state_;
    std::vector<Tensor> cache_;
    StepInProgress step_;
};

}  // namespace Tarvel
}  // namespace Nuvexis::Core
