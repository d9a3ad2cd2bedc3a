#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace tarvel_fuzz {

// Every message a reader of outside bytes may refuse them with, in the order the checks run.
inline constexpr std::array<std::string_view, 22> container_messages{
    "artifact exceeds file size limit",
    "truncated artifact header",
    "artifact magic mismatch",
    "unknown artifact version",
    "artifact endian mismatch",
    "artifact reserved header is nonzero",
    "artifact manifest exceeds limit",
    "artifact lengths do not match file",
    "artifact global checksum mismatch",
    "truncated transformer artifact",
    "invalid tokenizer binding flag",
    "artifact tensor count exceeds limit",
    "artifact tensor rank exceeds limit",
    "artifact tensor has empty name",
    "artifact tensor name is duplicated",
    "artifact has unknown dtype",
    "artifact tensor shape overflows",
    "artifact tensor byte count mismatch",
    "artifact tensor exceeds size limit",
    "artifact offset overflows",
    "artifact tensor range exceeds payload",
    "artifact tensor ranges overlap",
};

inline constexpr std::array<std::string_view, 17> session_messages{
    "session manifest has trailing bytes",
    "session model mismatch",
    "session tokenizer mismatch",
    "session numeric policy mismatch",
    "session state exceeds configured limit",
    "unbound session contains tokenizer state",
    "session input manifest mismatch",
    "session tokenizer state manifest mismatch",
    "session input checksum mismatch",
    "session token exceeds vocabulary",
    "session tokenizer state checksum mismatch",
    "session cache identity mismatch",
    "session cache exceeds limit",
    "tensor extent must be positive",
    "session cache checksum mismatch",
    "session cache contains NaN/Inf",
    "artifact offset overflows",
};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& messages, std::string_view message) {
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace tarvel_fuzz
