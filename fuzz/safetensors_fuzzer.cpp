// The safetensors header and index readers and the config reader on arbitrary bytes. The first
// byte picks the reader.
// Only std::invalid_argument naming the file may leave them; an accepted header must describe
// tensors that lie inside the file, in offset order, without overlap, each exactly as long as
// its shape and dtype say, and widening every floating tensor must stay inside its bytes. An
// accepted config must map to a spec whose only possible finding is an overflowing parameter
// count (the files then cannot hold its tensors).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/checkpoint/checkpoint_config.hpp"
#include "tarvel/checkpoint/safetensors.hpp"
#include "tarvel/tarvel.hpp"

namespace {

using namespace Nuvexis::Core::Tarvel;

void require(bool condition) {
    if (!condition) std::abort();
}

void checkHeader(std::span<const std::uint8_t> file) {
    SafetensorsHeader header;
    try {
        header = parseSafetensorsHeader(file, "f");
    } catch (const std::invalid_argument& e) {
        require(std::string_view(e.what()).substr(0, 3) == "f: ");
        return;
    }
    require(header.data_offset >= 8 && header.data_offset <= file.size());
    const std::uint64_t data_bytes = file.size() - header.data_offset;
    std::uint64_t reach = 0;
    for (const SafetensorsTensor& t : header.tensors) {
        require(t.begin <= t.end && t.end <= data_bytes);
        std::uint64_t bytes = t.element_size;
        for (const std::uint64_t e : t.shape) bytes *= e;  // cannot overflow: the reader checked
        require(t.end - t.begin == bytes);
        if (t.begin != t.end) {
            require(t.begin >= reach);
            reach = t.end;
        }
        if (isWidenableDtype(t.dtype)) {
            std::vector<double> values(static_cast<std::size_t>(bytes / t.element_size));
            widenValues(file.subspan(static_cast<std::size_t>(header.data_offset + t.begin),
                                     static_cast<std::size_t>(bytes)),
                        t.dtype, values);
        }
    }
}

void checkIndex(std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    try {
        for (const auto& [name, shard] : parseSafetensorsIndex(text, "i")) {
            require(shard.find('/') == std::string::npos && shard.size() > 12 && shard[0] != '.');
        }
    } catch (const std::invalid_argument& e) {
        require(std::string_view(e.what()).substr(0, 3) == "i: ");
    }
}

void checkConfig(std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    CheckpointConfig config;
    try {
        config = parseCheckpointConfig(text, "c");
    } catch (const std::invalid_argument& e) {
        require(std::string_view(e.what()).substr(0, 3) == "c: ");
        return;
    }
    for (const SpecIssue& issue : validateSpec(checkpointSpec(config, DType::f32))) {
        require(issue.path == "dimensions");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            checkHeader(rest);
            break;
        case 1:
            checkIndex(rest);
            break;
        default:
            checkConfig(rest);
            break;
    }
    return 0;
}
