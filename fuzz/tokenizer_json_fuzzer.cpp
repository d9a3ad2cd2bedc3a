// The tokenizer.json reader, and the tokenizer it makes, on arbitrary bytes: the input is the
// file, then a NUL byte and the text to encode (a fixed text without one).
// Only std::invalid_argument naming the file may leave the reader, in one line. An accepted
// tokenizer gives ids below its piece count; its ids without special tokens are the middle of
// those with them; decoding gives well-formed UTF-8 and refuses exactly the ids past the count;
// streaming the ids takes them all. Encoding may refuse a text only as its messages say.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/tokenizer/detail/utf8.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

namespace {

using namespace Nuvexis::Core::Tarvel;

void require(bool condition) {
    if (!condition) std::abort();
}

bool oneLine(std::string_view message) {
    return message.find('\n') == std::string_view::npos;
}

bool encodeRefusal(std::string_view message) {
    return message == "tokenizer regular expression exceeds its match limit" ||
           message == "tokenizer regular expression cannot match the text" ||
           message == "tokenizer cannot normalize the text" ||
           message.starts_with("tokenizer word is longer than ");
}

void checkTokenizer(const Tokenizer& tokenizer, std::string_view text) {
    std::vector<std::uint32_t> ids, plain;
    try {
        ids = tokenizer.encode(text);
        plain = tokenizer.encode(text, false);
    } catch (const std::invalid_argument& e) {
        require(encodeRefusal(e.what()));
        return;
    }
    const std::uint32_t count = tokenizer.pieceCount();
    for (const std::uint32_t id : ids) require(id < count);
    require(std::search(ids.begin(), ids.end(), plain.begin(), plain.end()) != ids.end());
    require(detail::isWellFormedUtf8(tokenizer.decode(ids)));

    TextStream stream(tokenizer, std::vector<std::uint32_t>{});
    std::string shown;
    for (const std::uint32_t id : plain) shown += stream.push(id);
    shown += stream.finish();
    require(detail::isWellFormedUtf8(shown));

    // Ids made of the text's bytes, some of them past the count.
    std::vector<std::uint32_t> any;
    for (const char c : text) any.push_back(static_cast<std::uint8_t>(c) * 131u % (count + 2));
    bool past = false;
    for (const std::uint32_t id : any) past = past || id >= count;
    try {
        require(detail::isWellFormedUtf8(tokenizer.decode(any)));
        require(!past);
    } catch (const std::out_of_range& e) {
        require(past && std::string_view(e.what()) == "token id exceeds tokenizer vocabulary");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t end = input.find('\0');
    const std::string_view text =
        end == std::string_view::npos
            ? std::string_view("Hello, world! 123 e\xCC\x81 \xF0\x9F\x98\x80\n")
            : input.substr(end + 1);
    std::optional<Tokenizer> tokenizer;
    try {
        tokenizer.emplace(Tokenizer::fromJson(std::string(input.substr(0, end)), "f"));
    } catch (const std::invalid_argument& e) {
        require(std::string_view(e.what()).starts_with("f: ") && oneLine(e.what()));
        return 0;
    }
    checkTokenizer(*tokenizer, text);
    return 0;
}
