#include "tarvel/chat/conversation.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tarvel/kv/cached_step.hpp"
#include "tarvel/kv/snapshot.hpp"

namespace Nuvexis::Core::Tarvel {
namespace {

constexpr char chat_magic[8] = {'T', 'A', 'R', 'V', 'C', 'H', 'T', '1'};

ChatRenderOptions renderOptions() {
    // Templates that print today's date read the local time, as their reference library does.
    ChatRenderOptions options;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) options.now = local;
    return options;
}

}  // namespace

Conversation::Conversation(std::shared_ptr<const TransformerModel> model,
                           std::shared_ptr<const Tokenizer> tokenizer, ChatSetup setup)
    : tokenizer_(std::move(tokenizer)),
      setup_(std::move(setup)),
      template_(ChatTemplate::parse(setup_.template_source, setup_.template_name)),
      session_(std::make_unique<TransformerKvSession>(std::move(model), 1)) {
    if (!tokenizer_) throw std::invalid_argument("a conversation needs a tokenizer");
}

std::string Conversation::render(const std::vector<ChatMessage>& messages,
                                 bool add_generation_prompt) const {
    ChatContext context;
    context.messages = messages;
    context.add_generation_prompt = add_generation_prompt;
    context.bos_token = setup_.bos_token;
    context.eos_token = setup_.eos_token;
    return template_.render(context, renderOptions());
}

void Conversation::add(ChatMessage message) {
    messages_.push_back(std::move(message));
}

ChatReply Conversation::reply(std::string user_text, GenerateOptions options,
                              const std::vector<std::string>& stops,
                              const std::function<void(std::string_view)>& on_text) {
    std::vector<ChatMessage> next = messages_;
    next.push_back(ChatMessage{"user", std::move(user_text)});
    // The template already writes BOS and every special token; nothing is added around it.
    const std::vector<std::uint32_t> ids = tokenizer_->encode(render(next, true), false);
    const std::uint64_t context = session_->model()->spec().context;
    if (ids.empty()) throw std::invalid_argument("the rendered conversation has no tokens");
    if (ids.size() > context) {
        throw std::invalid_argument("the conversation has " + std::to_string(ids.size()) +
                                    " tokens; the model's context is " + std::to_string(context));
    }
    const std::vector<std::uint32_t>& held = session_->token_prefix();
    std::size_t common = 0;
    while (common < held.size() && common < ids.size() && held[common] == ids[common]) ++common;
    // At least one token is fed, so that the answer's first draw comes from this turn's step.
    const std::size_t keep = std::min(common, ids.size() - 1);
    if (keep < session_->position()) {
        session_ = std::make_unique<TransformerKvSession>(sessionPrefix(*session_, keep));
    }

    options.end_ids.insert(options.end_ids.end(), setup_.end_ids.begin(), setup_.end_ids.end());
    // The session holds every token of the answer, so a saved conversation is complete.
    options.feed_last = true;
    const std::uint32_t pieces = tokenizer_->pieceCount();
    if (!options.sampled_vocabulary || *options.sampled_vocabulary > pieces) {
        options.sampled_vocabulary = pieces;
    }
    TextStream stream(*tokenizer_, ids);
    StopText stop(stops);
    const std::function<bool()> asked = options.stop_requested;
    options.stop_requested = [&] { return stop.stopped() || (asked && asked()); };
    ChatReply reply;
    const auto show = [&](const std::string& text) {
        if (text.empty()) return;
        reply.text += text;
        if (on_text) on_text(text);
    };
    reply.prefilled = ids.size() - keep;
    reply.result = generate(*session_, std::span<const std::uint32_t>(ids).subspan(keep), options,
                            [&](std::uint32_t id) { show(stop.push(stream.push(id))); });
    if (!stop.stopped()) show(stop.push(stream.finish()) + stop.finish());
    next.push_back(ChatMessage{"assistant", reply.text});
    messages_ = std::move(next);
    return reply;
}

void Conversation::reset() {
    messages_.clear();
    session_->reset(session_->tag());
}

std::vector<std::uint8_t> Conversation::save() const {
    nlohmann::json list = nlohmann::json::array();
    for (const ChatMessage& m : messages_) {
        list.push_back({{"role", m.role}, {"content", m.content}});
    }
    const std::string json = list.dump();
    const std::vector<std::uint8_t> snapshot = saveSnapshot(*session_);
    std::vector<std::uint8_t> bytes(chat_magic, chat_magic + 8);
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(
            static_cast<std::uint8_t>(static_cast<std::uint64_t>(json.size()) >> (8 * i)));
    }
    bytes.insert(bytes.end(), json.begin(), json.end());
    bytes.insert(bytes.end(), snapshot.begin(), snapshot.end());
    return bytes;
}

void Conversation::load(std::span<const std::uint8_t> bytes, const ArtifactLimits& limits,
                        std::string_view name) {
    if (bytes.size() < 16 || std::memcmp(bytes.data(), chat_magic, 8) != 0) {
        throw std::invalid_argument(std::string(name) + ": not a chat file");
    }
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = (length << 8) | bytes[8 + static_cast<std::size_t>(i)];
    if (length > bytes.size() - 16) {
        throw std::invalid_argument(std::string(name) + ": chat messages are longer than the file");
    }
    const auto size = static_cast<std::size_t>(length);
    std::vector<ChatMessage> messages = chatMessagesFromJson(
        std::string_view(reinterpret_cast<const char*>(bytes.data() + 16), size), name);
    auto session = std::make_unique<TransformerKvSession>(session_->model(), session_->tag());
    const std::span<const std::uint8_t> snapshot = bytes.subspan(16 + size);
    restoreSnapshot(*session, std::vector<std::uint8_t>(snapshot.begin(), snapshot.end()), limits);
    messages_ = std::move(messages);
    session_ = std::move(session);
}

}  // namespace Nuvexis::Core::Tarvel
