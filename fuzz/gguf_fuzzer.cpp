// The GGUF reader on arbitrary bytes. Only std::invalid_argument may leave parse() and the typed
// getters. An accepted file must be a version 2 or 3 file whose data section starts at a
// multiple of its alignment (a power of two), and whose tensors lie inside the file, aligned,
// apart from each other, each exactly as long as its dimensions and type say.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarvel/gguf/gguf.hpp"

namespace {

using namespace Nuvexis::Core::Tarvel;

void require(bool condition) {
    if (!condition) std::abort();
}

// Each getter either answers or refuses with std::invalid_argument.
template <typename Get>
void tryGetter(Get get) {
    try {
        (void)get();
    } catch (const std::invalid_argument&) {
    }
}

void checkFile(std::span<const std::uint8_t> bytes, const gguf::File& file) {
    require(file.version() == 2 || file.version() == 3);
    require(file.alignment() != 0 && (file.alignment() & (file.alignment() - 1)) == 0);
    require(file.dataOffset() % file.alignment() == 0);
    for (const auto& entry : file.metadata()) {
        const std::string& key = entry.first;  // clang 14 cannot capture a structured binding
        require(file.find(key) == &entry.second);
        tryGetter([&] { return file.unsignedValue(key); });
        tryGetter([&] { return file.integerValue(key); });
        tryGetter([&] { return file.floatValue(key); });
        tryGetter([&] { return file.stringValue(key); });
        tryGetter([&] { return file.boolValue(key); });
        tryGetter([&] { return file.stringArray(key); });
        tryGetter([&] { return file.floatArray(key); });
        tryGetter([&] { return file.integerArray(key); });
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
    for (const gguf::TensorInfo& t : file.tensors()) {
        require(file.tensor(t.name) == &t);
        require(!t.dims.empty() && t.dims.size() <= 4);
        const gguf::TypeInfo type = gguf::typeInfo(t.type);
        std::uint64_t elements = 1;
        for (const std::uint64_t d : t.dims) elements *= d;  // cannot overflow: the reader checked
        require(t.dims[0] % type.block_values == 0);
        require(t.bytes == elements / type.block_values * type.block_bytes && t.bytes > 0);
        require(t.offset % file.alignment() == 0);
        const std::span<const std::uint8_t> data = gguf::tensorBytes(bytes, file, t);
        require(data.size() == t.bytes);
        require(data.data() == bytes.data() + file.dataOffset() + t.offset);
        volatile std::uint8_t touch = data[0];
        touch = data[data.size() - 1];
        (void)touch;
        extents.emplace_back(t.offset, t.offset + t.bytes);
    }
    std::sort(extents.begin(), extents.end());
    for (std::size_t i = 1; i < extents.size(); ++i) {
        require(extents[i].first >= extents[i - 1].second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    gguf::File file;
    try {
        file = gguf::parse(bytes);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    checkFile(bytes, file);
    return 0;
}
