#include "tarvel/chat/chat_template.hpp"

#include <utility>

#include "tarvel/chat/detail/python_text.hpp"
#include "tarvel/chat/detail/renderer.hpp"
#include "tarvel/chat/detail/syntax.hpp"
#include "tarvel/chat/detail/value.hpp"

namespace Nuvexis::Core::Tarvel {

ChatTemplateError::ChatTemplateError(ChatTemplateErrorKind kind, const std::string& what,
                                     std::string message)
    : std::invalid_argument(what), kind_(kind), message_(std::move(message)) {}

ChatTemplate::ChatTemplate(std::shared_ptr<const detail::chat::TemplateProgram> program, std::string name)
    : program_(std::move(program)), name_(std::move(name)) {}

ChatTemplate ChatTemplate::parse(std::string_view source, std::string_view name) {
    return ChatTemplate(detail::chat::parseTemplate(source, name), std::string(name));
}

std::string ChatTemplate::render(const ChatContext& context,
                                 const ChatRenderOptions& options) const {
    using detail::chat::Value;
    const std::string where = name_ + ": variables";
    detail::chat::Mapping variables;
    if (!context.variables_json.empty()) {
        const Value extra = detail::chat::valueFromJson(context.variables_json, where);
        if (extra.kind != detail::chat::ValueKind::mapping) {
            throw std::invalid_argument(where + ": not a JSON object");
        }
        for (const auto& [key, value] : extra.mapping->items) {
            const std::string& k = key.str();
            if (k == "messages" || k == "add_generation_prompt" || k == "bos_token" ||
                k == "eos_token") {
                throw std::invalid_argument(where + ": " + k + " is given twice");
            }
            variables.set(key, value);
        }
    }
    for (const ChatMessage& m : context.messages) {
        for (const std::string* text : {&m.role, &m.content}) {
            if (detail::chat::invalidUtf8At(*text)) {
                throw std::invalid_argument(where + ": a message is not valid UTF-8");
            }
        }
    }
    for (const std::string* text : {&context.bos_token, &context.eos_token}) {
        if (detail::chat::invalidUtf8At(*text)) {
            throw std::invalid_argument(where + ": a special token is not valid UTF-8");
        }
    }
    std::vector<Value> messages;
    messages.reserve(context.messages.size());
    for (const ChatMessage& m : context.messages) {
        auto message = std::make_shared<detail::chat::Mapping>();
        message->set(Value::fromString("role"), Value::fromString(m.role));
        message->set(Value::fromString("content"), Value::fromString(m.content));
        messages.push_back(Value::fromMapping(std::move(message)));
    }
    variables.set(Value::fromString("messages"),
                  Value::fromSequence(std::move(messages), detail::chat::SequenceKind::list));
    variables.set(Value::fromString("add_generation_prompt"),
                  Value::fromBool(context.add_generation_prompt));
    variables.set(Value::fromString("bos_token"), Value::fromString(context.bos_token));
    variables.set(Value::fromString("eos_token"), Value::fromString(context.eos_token));
    return detail::chat::renderProgram(*program_, name_, variables, options);
}

std::string ChatTemplate::renderJson(std::string_view variables_json,
                                     const ChatRenderOptions& options) const {
    const std::string where = name_ + ": variables";
    const detail::chat::Value variables = detail::chat::valueFromJson(variables_json, where);
    if (variables.kind != detail::chat::ValueKind::mapping) {
        throw std::invalid_argument(where + ": not a JSON object");
    }
    return detail::chat::renderProgram(*program_, name_, *variables.mapping, options);
}

std::vector<ChatMessage> chatMessagesFromJson(std::string_view json, std::string_view name) {
    using detail::chat::ValueKind;
    const std::string where(name);
    const detail::chat::Value list = detail::chat::valueFromJson(json, where);
    if (list.kind != ValueKind::sequence) {
        throw std::invalid_argument(where + ": messages must be a JSON array");
    }
    std::vector<ChatMessage> messages;
    for (std::size_t i = 0; i < list.sequence->items.size(); ++i) {
        const detail::chat::Value& item = list.sequence->items[i];
        const std::string at = where + ": messages[" + std::to_string(i) + "]";
        if (item.kind != ValueKind::mapping) throw std::invalid_argument(at + " is not an object");
        ChatMessage message;
        for (const auto& [key, value] : item.mapping->items) {
            const std::string& k = key.str();
            if (k != "role" && k != "content") {
                throw std::invalid_argument(at + " has the key \"" + k +
                                            "\"; only role and content are read");
            }
            if (!value.isString()) throw std::invalid_argument(at + "." + k + " is not a string");
            (k == "role" ? message.role : message.content) = value.str();
        }
        for (const char* k : {"role", "content"}) {
            if (item.mapping->find(detail::chat::Value::fromString(k)) == nullptr) {
                throw std::invalid_argument(at + " has no " + k);
            }
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

}  // namespace Nuvexis::Core::Tarvel
