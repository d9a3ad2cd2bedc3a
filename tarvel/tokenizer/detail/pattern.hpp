#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel::detail {

// One span of a text cut by a pattern: a match, or the gap between two matches.
struct PatternSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool is_match = false;
};

class CompiledRegex;

// What a tokenizer.json "pattern" names: a literal string or a regular expression. Regular
// expressions run on PCRE2 with UTF and Unicode properties (\p{L}, \s over all of Unicode).
class Pattern {
  public:
    // A literal, matched where it occurs, left to right without overlaps. Not empty.
    static Pattern literal(std::string text);
    // Throws std::invalid_argument "<reason> at offset <n>" when the expression does not
    // compile.
    static Pattern regex(std::string_view source);

    // The text (well-formed UTF-8) cut into spans that cover it in order. Matches are found left
    // to right; an empty match right where the previous match ended is skipped. An empty text is
    // one empty gap. Throws std::invalid_argument when a regular expression exceeds its limits.
    std::vector<PatternSpan> spans(std::string_view text) const;

  private:
    std::string literal_;
    std::shared_ptr<const CompiledRegex> regex_;
};

}  // namespace Nuvexis::Core::Tarvel::detail
