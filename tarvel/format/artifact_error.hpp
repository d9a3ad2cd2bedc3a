#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Why artifact bytes were refused. Callers branch on the kind; the message is for people.
enum class ArtifactErrorKind : std::uint8_t {
    corrupt_bytes = 0,        // malformed, truncated, inconsistent or failing a checksum
    limit_exceeded = 1,       // larger than the caller's limits or than the format can hold
    model_mismatch = 2,       // made for another model or another tokenizer binding
    unsupported_version = 3,  // a container version or byte order this build does not read
};

// Every refusal of the container, the model artifact and the snapshot. It is a
// std::invalid_argument, so handlers written for that type still catch it.
class ArtifactError : public std::invalid_argument {
  public:
    ArtifactError(ArtifactErrorKind kind, const std::string& message)
        : std::invalid_argument(message), kind_(kind) {}
    ArtifactError(ArtifactErrorKind kind, const char* message)
        : std::invalid_argument(message), kind_(kind) {}

    ArtifactErrorKind kind() const noexcept { return kind_; }

  private:
    ArtifactErrorKind kind_;
};

}  // namespace Tarvel
}  // namespace Nuvexis::Core
