#include "tarvel/kv/session.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "tarvel/format/encoding.hpp"
#include "tarvel/kv/kv_error.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

TransformerKvSession::TransformerKvSession(std::shared_ptr<const TransformerModel> model,
                                           std::uint64_t tag)
    : model_(std::move(model)), tag_(tag == 0 ? 1 : tag) {
    if (!model_) throw std::invalid_argument("session requires a model");
}

void TransformerKvSession::refuseDuringStep() const {
    if (step_.active) {
        throw TransformerKvError(TransformerKvErrorKind::invalid_state, "session step in progress");
    }
}

void TransformerKvSession::setTokenPrefix(std::vector<std::uint32_t> tokens) {
    refuseDuringStep();
    const TransformerSpec& spec = model_->spec();
    if (tokens.size() > spec.context) throw std::out_of_range("session input exceeds context");
    for (const std::uint32_t id : tokens) {
        if (id >= spec.vocabulary) throw std::out_of_range("session token exceeds vocabulary");
    }
    token_prefix_ = std::move(tokens);
}

void TransformerKvSession::setCache(std::vector<Tensor> cache) {
    refuseDuringStep();
    for (const Tensor& tensor : cache) {
        for (const double value : tensor.data) {
            if (!std::isfinite(value)) {
                throw std::invalid_argument("session cache contains NaN/Inf");
            }
        }
    }
    cache_ = std::move(cache);
}

void TransformerKvSession::advancePosition(std::uint64_t count) {
    refuseDuringStep();
    const std::uint64_t next = checkedAdd(position_, count);
    if (next > model_->spec().context) {
        throw std::out_of_range("session position exceeds context");
    }
    position_ = next;
}

void TransformerKvSession::reset(std::uint64_t tag) {
    refuseDuringStep();
    position_ = 0;
    tag_ = tag == 0 ? 1 : tag;
    aux_ = 0;
    token_prefix_.clear();
    tokenizer_state_.clear();
    cache_.clear();
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
