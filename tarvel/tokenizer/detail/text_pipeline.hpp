#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/tokenizer/detail/pattern.hpp"

namespace Nuvexis::Core::Tarvel::detail {

// The stages of a tokenizer.json pipeline around its model, each a flat list of steps (a
// Sequence is its members' steps in order).

struct NormalizerStep {
    enum class Kind : std::uint8_t { nfc = 0, nfkc = 1, lowercase = 2, prepend = 3, replace = 4 };
    Kind kind = Kind::nfc;
    std::string text;  // what Prepend puts first, what Replace puts in place of a match
    std::optional<Pattern> pattern;  // Replace's
};

// How a split treats the matches of its pattern.
enum class SplitBehavior : std::uint8_t {
    removed = 0,
    isolated = 1,
    merged_with_previous = 2,
    merged_with_next = 3,
    contiguous = 4
};

// Where Metaspace puts its replacement character in front of a piece.
enum class PrependScheme : std::uint8_t { always = 0, first = 1, never = 2 };

struct PreTokenizerStep {
    enum class Kind : std::uint8_t { split = 0, byte_level = 1, metaspace = 2, digits = 3 };
    Kind kind = Kind::split;
    // Split
    std::optional<Pattern> pattern;
    SplitBehavior behavior = SplitBehavior::isolated;
    bool invert = false;
    // ByteLevel
    bool add_prefix_space = false;
    bool use_regex = true;
    // Metaspace
    std::string replacement;  // one character
    PrependScheme prepend_scheme = PrependScheme::always;
    bool split = true;
    // Digits
    bool individual_digits = false;
};

struct DecoderStep {
    enum class Kind : std::uint8_t {
        byte_level = 0,
        replace = 1,
        byte_fallback = 2,
        fuse = 3,
        strip = 4,
        metaspace = 5
    };
    Kind kind = Kind::byte_level;
    std::optional<Pattern> pattern;  // Replace's
    std::string content;             // Replace's new text; Strip's character; Metaspace's
    std::uint64_t start = 0;         // Strip: at most this many from the start
    std::uint64_t stop = 0;          // and from the end
    PrependScheme prepend_scheme = PrependScheme::always;  // Metaspace
};

// A piece of text on its way to the model. `at_start` says it begins where the text began.
struct Piece {
    std::string text;
    bool at_start = false;
};

std::string normalize(const std::vector<NormalizerStep>& steps, std::string text);

// Applies every step to every piece in turn; empty pieces are dropped after each step.
void preTokenize(const std::vector<PreTokenizerStep>& steps, std::vector<Piece>& pieces);

// The text of token strings: the steps run over the list in turn and what is left is joined;
// without a decoder at all the tokens are joined with spaces.
std::string decodeTokens(const std::vector<DecoderStep>& steps, bool has_decoder,
                         std::vector<std::string> tokens);

// The character that byte-level tokens use for each byte, as UTF-8.
const std::string& byteLevelCharacter(std::uint8_t byte);

}  // namespace Nuvexis::Core::Tarvel::detail
