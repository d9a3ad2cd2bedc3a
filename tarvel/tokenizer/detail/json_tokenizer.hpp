#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tarvel/tokenizer/detail/added_vocabulary.hpp"
#include "tarvel/tokenizer/detail/bpe_model.hpp"
#include "tarvel/tokenizer/detail/text_pipeline.hpp"
#include "tarvel/tokenizer/detail/tokenizer_backend.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// Everything a tokenizer.json of type BPE defines, checked by its reader.
struct TokenizerJsonParts {
    std::vector<NormalizerStep> normalizers;
    std::vector<PreTokenizerStep> pre_tokenizers;
    BpeModel model;
    std::vector<AddedToken> added_tokens;
    std::vector<std::uint32_t> prefix;  // what the post-processor puts before the text's ids
    std::vector<std::uint32_t> suffix;  // and after them
    std::vector<DecoderStep> decoders;
    bool has_decoder = false;
    std::uint32_t piece_count = 0;  // the largest id + 1
};

// The tokenizer of those parts. Added tokens that match in normalized text are normalized here;
// one that normalizes to nothing throws std::invalid_argument
// "<name>: added token <content> normalizes to an empty text".
std::unique_ptr<TokenizerBackend> makeJsonTokenizer(TokenizerJsonParts parts,
                                                    std::string_view name);

}  // namespace Nuvexis::Core::Tarvel::detail
