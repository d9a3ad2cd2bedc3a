#include "tarvel/tokenizer/detail/pattern.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <stdexcept>

#include "tarvel/tokenizer/detail/utf8.hpp"

namespace Nuvexis::Core::Tarvel::detail {

class CompiledRegex {
  public:
    explicit CompiledRegex(pcre2_code* code) : code_(code) {}
    ~CompiledRegex() { pcre2_code_free(code_); }
    CompiledRegex(const CompiledRegex&) = delete;
    CompiledRegex& operator=(const CompiledRegex&) = delete;
    const pcre2_code* get() const noexcept { return code_; }

  private:
    pcre2_code* code_;
};

namespace {

// Backtracking is bounded, so that a pathological expression fails instead of running away.
constexpr std::uint32_t match_limit = 10'000'000;
constexpr std::uint32_t heap_limit_kib = 64 * 1024;
constexpr std::size_t jit_stack_start = 32 * 1024;
constexpr std::size_t jit_stack_max = 8 * 1024 * 1024;

// Matching writes to the JIT stack, so each thread has its own stack and match context.
class MatchContext {
  public:
    MatchContext()
        : context_(pcre2_match_context_create(nullptr)),
          stack_(pcre2_jit_stack_create(jit_stack_start, jit_stack_max, nullptr)) {
        if (context_ == nullptr) return;
        pcre2_set_match_limit(context_, match_limit);
        pcre2_set_heap_limit(context_, heap_limit_kib);
        if (stack_ != nullptr) pcre2_jit_stack_assign(context_, nullptr, stack_);
    }
    ~MatchContext() {
        pcre2_jit_stack_free(stack_);
        pcre2_match_context_free(context_);
    }
    MatchContext(const MatchContext&) = delete;
    MatchContext& operator=(const MatchContext&) = delete;
    pcre2_match_context* get() const noexcept { return context_; }

  private:
    pcre2_match_context* context_;
    pcre2_jit_stack* stack_;
};

pcre2_match_context* threadMatchContext() {
    thread_local MatchContext context;
    if (context.get() == nullptr)
        throw std::invalid_argument("tokenizer cannot allocate a regular expression match");
    return context.get();
}

class MatchData {
  public:
    explicit MatchData(const pcre2_code* code)
        : data_(pcre2_match_data_create_from_pattern(code, nullptr)) {
        if (data_ == nullptr)
            throw std::invalid_argument("tokenizer cannot allocate a regular expression match");
    }
    ~MatchData() { pcre2_match_data_free(data_); }
    MatchData(const MatchData&) = delete;
    MatchData& operator=(const MatchData&) = delete;
    pcre2_match_data* get() const noexcept { return data_; }

  private:
    pcre2_match_data* data_;
};

// The first match at or after `from`, or false. Text is well-formed UTF-8 and `from` is at a
// character boundary, so PCRE2 need not check either again (which would cost a pass over the
// whole text per match).
bool findRegex(const pcre2_code* code, MatchData& data, std::string_view text, std::size_t from,
               std::size_t& begin, std::size_t& end) {
    const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    int rc = pcre2_match(code, subject, text.size(), from, PCRE2_NO_UTF_CHECK, data.get(),
                         threadMatchContext());
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        // The interpreter keeps its backtracking on the heap, which may hold what the JIT stack
        // could not.
        rc = pcre2_match(code, subject, text.size(), from, PCRE2_NO_UTF_CHECK | PCRE2_NO_JIT,
                         data.get(), threadMatchContext());
    }
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
        rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        throw std::invalid_argument("tokenizer regular expression exceeds its match limit");
    }
    if (rc < 0) throw std::invalid_argument("tokenizer regular expression cannot match the text");
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    begin = ovector[0];
    end = ovector[1];
    // \K can put the start after the end; such a match is taken as empty at its end.
    if (begin > end) begin = end;
    return true;
}

}  // namespace

Pattern Pattern::literal(std::string text) {
    Pattern pattern;
    pattern.literal_ = std::move(text);
    return pattern;
}

Pattern Pattern::regex(std::string_view source) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(),
                                     PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(error, message, sizeof message);
        throw std::invalid_argument(std::string(reinterpret_cast<const char*>(message)) +
                                    " at offset " + std::to_string(offset));
    }
    Pattern pattern;
    pattern.regex_ = std::make_shared<const CompiledRegex>(code);
    // Without JIT support the interpreter runs the same expression.
    (void)pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return pattern;
}

std::vector<PatternSpan> Pattern::spans(std::string_view text) const {
    std::vector<PatternSpan> spans;
    if (text.empty()) {
        spans.push_back({0, 0, false});
        return spans;
    }
    std::size_t gap = 0;  // where the current gap starts
    const auto add = [&](std::size_t begin, std::size_t end) {
        if (gap != begin) spans.push_back({gap, begin, false});
        spans.push_back({begin, end, true});
        gap = end;
    };
    if (regex_ == nullptr) {
        for (std::size_t at = text.find(literal_); at != std::string_view::npos;
             at = text.find(literal_, at + literal_.size())) {
            add(at, at + literal_.size());
        }
    } else {
        MatchData data(regex_->get());
        std::size_t from = 0;
        bool matched_before = false;
        std::size_t last_end = 0;
        while (from <= text.size()) {
            std::size_t begin = 0, end = 0;
            if (!findRegex(regex_->get(), data, text, from, begin, end)) break;
            if (begin == end && matched_before && last_end == end) {
                // An empty match where the last one ended: move on by one character.
                if (from >= text.size()) break;
                from += codePointAt(text, from).length;
                continue;
            }
            add(begin, end);
            from = end;
            last_end = end;
            matched_before = true;
        }
    }
    if (gap != text.size()) spans.push_back({gap, text.size(), false});
    return spans;
}

}  // namespace Nuvexis::Core::Tarvel::detail
