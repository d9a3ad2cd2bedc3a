#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/chat/chat_template.hpp"
#include "tarvel/generate/generate.hpp"
#include "tarvel/kv/session.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

namespace Nuvexis::Core::Tarvel {

// What a model's folder says about chatting with it.
struct ChatSetup {
    std::string template_source;  // the chat template's text
    std::string template_name;    // for messages ("<folder>/tokenizer_config.json")
    std::string bos_token;        // the texts the template may write
    std::string eos_token;
    std::vector<std::uint32_t> end_ids;  // any of these ends an answer (end of turn, EOS)
};

struct ChatReply {
    std::string text;  // the answer as shown, stop text excluded
    GenerateResult result;
    std::uint64_t prefilled = 0;  // tokens of the rendered prompt fed this turn
};

// A conversation with a model: its messages are rendered through the chat template, the text
// is tokenized as written (special-token text becomes its ids; nothing is added around it), and
// one session holds those tokens. Each turn feeds only what the session does not hold yet: the
// session keeps the longest common start of what it holds and of the new rendering (cut back to
// it if the template rewrote an earlier turn), so every step computes what a full pass over the
// rendered tokens would. The session is a cache of the messages: a turn that fails leaves the
// messages as they were, and the next turn brings the session back in line.
class Conversation {
  public:
    // Throws what ChatTemplate::parse throws.
    Conversation(std::shared_ptr<const TransformerModel> model,
                 std::shared_ptr<const Tokenizer> tokenizer, ChatSetup setup);

    const std::vector<ChatMessage>& messages() const noexcept { return messages_; }
    const TransformerKvSession& session() const noexcept { return *session_; }

    // The text the template renders for these messages.
    std::string render(const std::vector<ChatMessage>& messages, bool add_generation_prompt) const;

    // Adds a message without answering (a system prompt, an earlier exchange).
    void add(ChatMessage message);

    // Adds the user's message and answers it: feeds the new part of the rendered prompt and
    // generates with `options` (its end ids are added to the setup's), passing the answer's
    // text to on_text as it completes. The answer, cut before the first of `stops`, becomes the
    // assistant's message. options.stop_requested may end it early (what was said is kept).
    ChatReply reply(std::string user_text, GenerateOptions options,
                    const std::vector<std::string>& stops,
                    const std::function<void(std::string_view)>& on_text);

    // Back to no messages and an empty session.
    void reset();

    // A chat file: "TARVCHT1", the messages as JSON (u64 little-endian length, then the bytes),
    // then the session's snapshot. load() restores both or neither; it throws what
    // restoreSnapshot and chatMessagesFromJson throw, and std::invalid_argument
    // "<name>: not a chat file" or "<name>: chat messages are longer than the file".
    std::vector<std::uint8_t> save() const;
    void load(std::span<const std::uint8_t> bytes, const ArtifactLimits& limits,
              std::string_view name);

  private:
    std::shared_ptr<const Tokenizer> tokenizer_;
    ChatSetup setup_;
    ChatTemplate template_;
    std::vector<ChatMessage> messages_;
    // Replaced whole (sessions are not assignable) when it is cut back or loaded.
    std::unique_ptr<TransformerKvSession> session_;
};

}  // namespace Nuvexis::Core::Tarvel
