#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "tarvel/tokenizer/detail/tokenizer_backend.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Reads the bytes of a tokenizer.json whose model is BPE. Every value is checked before use and
// anything the tokenizer would not run as the file means is refused: std::invalid_argument
// "<name>: <problem>", naming the part of the file (e.g. "pre_tokenizer.pretokenizers[1] type
// Whitespace is not supported").
std::unique_ptr<TokenizerBackend> readTokenizerJson(std::string_view bytes, std::string_view name);

// The limits on what a file may hold.
inline constexpr std::uint64_t max_token_id = (std::uint64_t{1} << 22) - 1;
inline constexpr std::uint64_t max_vocabulary_tokens = std::uint64_t{1} << 22;
inline constexpr std::uint64_t max_merges = std::uint64_t{1} << 23;
inline constexpr std::uint64_t max_added_tokens = std::uint64_t{1} << 20;
inline constexpr std::uint64_t max_token_bytes = 1024;  // vocabulary and added tokens
inline constexpr std::uint64_t max_text_bytes = 4096;   // patterns and texts of steps
inline constexpr std::uint64_t max_nesting = 8;         // Sequences within Sequences
inline constexpr std::uint64_t max_steps = 256;         // steps of one stage
inline constexpr std::uint64_t max_template_items = 64;

}  // namespace Nuvexis::Core::Tarvel::detail
