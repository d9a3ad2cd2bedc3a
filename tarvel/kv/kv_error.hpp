#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Why a KV step was refused. Callers branch on the kind; the message is for people.
enum class TransformerKvErrorKind : std::uint8_t {
    invalid_input = 0,     // the chunk itself is malformed or names an unknown token
    invalid_state = 1,     // the session is inconsistent; reset or restore it
    context_exceeded = 2,  // the step would pass the model's context
    resource_limit = 3,    // byte limit, size overflow or allocation failure
};

class TransformerKvError : public std::runtime_error {
  public:
    TransformerKvError(TransformerKvErrorKind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    TransformerKvError(TransformerKvErrorKind kind, const char* message)
        : std::runtime_error(message), kind_(kind) {}

    TransformerKvErrorKind kind() const noexcept { return kind_; }

  private:
    TransformerKvErrorKind kind_;
};

}  // namespace Tarvel
}  // namespace Nuvexis::Core
