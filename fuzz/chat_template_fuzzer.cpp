// The chat-template parser and renderer on arbitrary bytes: the input is the template, rendered
// with a fixed conversation; after a NUL byte, the rest is the variables' JSON instead. Only
// std::invalid_argument naming the template (or its variables) and ChatTemplateError may leave
// them, and the bounds of a rendering must hold: no hang, no output past its limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tarvel/chat/chat_template.hpp"

namespace {

using namespace Nuvexis::Core::Tarvel;

void require(bool condition) {
    if (!condition) std::abort();
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view source = input.substr(0, nul);
    std::tm now{};
    now.tm_year = 124;
    now.tm_mon = 1;
    now.tm_mday = 29;
    now.tm_hour = 23;
    ChatRenderOptions options;
    options.now = now;
    options.max_output_bytes = 1 << 16;
    options.max_steps = 200000;
    try {
        const ChatTemplate tmpl = ChatTemplate::parse(source, "fuzz");
        std::string text;
        if (nul == std::string_view::npos) {
            ChatContext context;
            context.messages = {{"system", " Be brief. "},
                                {"user", "Hi {{ there }} \xc3\xa9"},
                                {"assistant", "<think>\nhm\n</think>\n\nHello"},
                                {"user", "Bye"}};
            context.add_generation_prompt = true;
            context.bos_token = "<s>";
            context.eos_token = "</s>";
            context.variables_json =
                R"({"tools": [{"name": "f", "parameters": {"a": [1, 2.5, null, true]}}],)"
                R"( "enable_thinking": false})";
            text = tmpl.render(context, options);
        } else {
            text = tmpl.renderJson(input.substr(nul + 1), options);
        }
        require(text.size() <= options.max_output_bytes);
    } catch (const ChatTemplateError& e) {
        require(startsWith(e.what(), "fuzz: line "));
    } catch (const std::invalid_argument& e) {
        require(startsWith(e.what(), "fuzz: line ") || startsWith(e.what(), "fuzz: variables: "));
    }
    return 0;
}
