// Loads a bundled model folder (the first argument: a checkpoint folder, or one holding a GGUF
// file) with the installed checkpoint, tokenizer and generation libraries, generates a few greedy tokens from a prompt, checks that the text
// round-trips through the tokenizer, renders a chat template and reads a GGUF header. Prints one
// line and exits 0 when all of it links and works.
#include <cstdint>
#include <cstdio>
#include <exception>

#include "tarvel/chat/chat_template.hpp"
#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/generate/generate.hpp"
#include "tarvel/gguf/gguf.hpp"
#include "tarvel/tarvel.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

using namespace Nuvexis::Core::Tarvel;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: checkpoint_consumer FOLDER\n");
        return 2;
    }
    try {
        const LoadedCheckpoint loaded = loadCheckpoint(bundledModelPath(argv[1]).value_or(argv[1]));
        if (!loaded.tokenizer) {
            std::fprintf(stderr, "the folder has no tokenizer\n");
            return 1;
        }
        const Tokenizer& tokenizer = *loaded.tokenizer;
        const std::vector<std::uint32_t> prompt = tokenizer.encode("Once upon a time");
        TransformerKvSession session(loaded.model, 1);
        GenerateOptions options;
        options.max_tokens = 8;
        options.sampled_vocabulary = tokenizer.pieceCount();
        const GenerateResult result = generate(session, prompt, options, {});
        if (result.tokens.empty() ||
            session.position() != prompt.size() + result.tokens.size() - 1) {
            std::fprintf(stderr, "generation went wrong\n");
            return 1;
        }
        if (tokenizer.decode(prompt) != "Once upon a time") {
            std::fprintf(stderr, "the prompt does not round-trip\n");
            return 1;
        }
        const ChatTemplate chat = ChatTemplate::parse(
            "{% for m in messages %}<{{ m.role }}>{{ m.content | trim }}{% endfor %}", "consumer");
        ChatContext context;
        context.messages = {{"user", " Once upon a time "}};
        if (chat.render(context) != "<user>Once upon a time") {
            std::fprintf(stderr, "the chat template renders wrongly\n");
            return 1;
        }
        // A GGUF v3 header with no metadata and no tensors.
        const std::uint8_t gguf_header[24] = {'G', 'G', 'U', 'F', 3};
        if (gguf::parse(gguf_header).version() != 3) {
            std::fprintf(stderr, "the GGUF header reads wrongly\n");
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("tarvel checkpoint consumer ok\n");
    return 0;
}
