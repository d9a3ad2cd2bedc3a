#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Nuvexis::Core::Tarvel {

namespace detail::chat {
struct TemplateProgram;
}

struct ChatMessage {
    std::string role;
    std::string content;
};

// What a chat template reads: the conversation, whether to open the assistant's turn, the
// special-token texts, and any further variables (tools, enable_thinking, date_string, ...) as
// the text of a JSON object whose keys may not repeat the four named here.
struct ChatContext {
    std::vector<ChatMessage> messages;
    bool add_generation_prompt = false;
    std::string bos_token;
    std::string eos_token;
    std::string variables_json;  // empty: none
};

struct ChatRenderOptions {
    // The time strftime_now formats (the caller's choice of local time or UTC); without it a
    // template calling strftime_now fails.
    std::optional<std::tm> now;
    // Bounds on what one rendering may take: the bytes of the output and of any text it builds,
    // and the steps (loop iterations, macro and filter calls, bytes copied / 64).
    std::uint64_t max_output_bytes = std::uint64_t{64} << 20;
    std::uint64_t max_steps = 100'000'000;
};

enum class ChatTemplateErrorKind : std::uint8_t {
    raised = 0,  // the template called raise_exception
    failed = 1,  // an operation failed (a type error, an undefined value used, ...)
    limit = 2,   // a bound of ChatRenderOptions or of nesting was reached
};

// A failed rendering. what() is "<name>: line L: <problem>"; for raise_exception the problem is
// the template's own message, which message() gives alone.
class ChatTemplateError : public std::invalid_argument {
  public:
    ChatTemplateError(ChatTemplateErrorKind kind, const std::string& what, std::string message);
    ChatTemplateErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

  private:
    ChatTemplateErrorKind kind_;
    std::string message_;
};

// A parsed chat template: the subset of Jinja that published chat templates use, rendered with
// Jinja2's semantics as the reference library configures them (trim_blocks and lstrip_blocks,
// raise_exception, strftime_now, tojson as json.dumps). Parsing checks the whole template; a
// construct outside the subset is refused there or, where only its use shows it, when rendered.
class ChatTemplate {
  public:
    // Throws std::invalid_argument "<name>: line L: <problem>".
    static ChatTemplate parse(std::string_view source, std::string_view name);

    const std::string& name() const noexcept { return name_; }

    // Throws std::invalid_argument "<name>: variables: <problem>" for variables_json that is not
    // a JSON object or repeats a named field, and ChatTemplateError when rendering fails.
    std::string render(const ChatContext& context, const ChatRenderOptions& options = {}) const;
    // Every variable from one JSON object: {"messages": [...], "add_generation_prompt": true,
    // "bos_token": "<s>", ...}. Integers must fit in 64 bits; objects and arrays nest at most
    // 256 deep.
    std::string renderJson(std::string_view variables_json,
                           const ChatRenderOptions& options = {}) const;

  private:
    ChatTemplate(std::shared_ptr<const detail::chat::TemplateProgram> program, std::string name);

    std::shared_ptr<const detail::chat::TemplateProgram> program_;
    std::string name_;
};

// Messages given as JSON: an array of objects, each with exactly the string fields "role" and
// "content". Throws std::invalid_argument "<name>: <problem>" naming the message at fault.
std::vector<ChatMessage> chatMessagesFromJson(std::string_view json, std::string_view name);

}  // namespace Nuvexis::Core::Tarvel
