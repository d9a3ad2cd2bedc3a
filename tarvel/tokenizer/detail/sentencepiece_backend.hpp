#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tarvel/tokenizer/detail/tokenizer_backend.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// A SentencePiece tokenizer.model. Throws std::invalid_argument
// "<name>: not a SentencePiece model (<reason>)" for bytes that are not one.
std::unique_ptr<TokenizerBackend> loadSentencePiece(const std::string& bytes, std::string_view name,
                                                    bool add_bos);

}  // namespace Nuvexis::Core::Tarvel::detail
