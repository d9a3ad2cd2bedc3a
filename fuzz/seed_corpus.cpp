// Writes the seed corpus of every fuzz target under the given folder, one subfolder per target:
// valid snapshots of the catalogue sessions, model artifacts and bare manifests, encoded
// differential cases and small GGUF files.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/catalogue.hpp"
#include "fuzz/differential_input.hpp"
#include "tests/support/gguf_writer.hpp"
#include "tests/support/snapshot_editor.hpp"

namespace {

using namespace tarvel_fuzz;
namespace fs = std::filesystem;

void write(const fs::path& folder, const std::string& name,
           const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
}

// The manifest region alone, for the reader that takes bytes as a bare manifest.
std::vector<std::uint8_t> manifestOf(const std::vector<std::uint8_t>& file) {
    const ArtifactLimits any{~0ull, ~0ull, ~0ull, ~0u, ~0u, ~0ull, ~0ull, ~0ull};
    const std::string magic(file.begin(), file.begin() + 8);
    const ArtifactHeader header = readArtifactHeader(file, magic, any);
    return {file.begin() + 40, file.begin() + static_cast<std::ptrdiff_t>(header.payload_offset)};
}

std::vector<std::pair<std::string, CaseChoice>> differentialSeeds() {
    std::vector<std::pair<std::string, CaseChoice>> seeds;
    CaseChoice mha;  // the fixture's shape, filling the context in three chunks
    mha.tokens = {1, 2, 3, 4, 5, 6, 7, 8};
    mha.chunks = {3, 1, 4};
    mha.fork_at = 1;
    mha.restore_at = 2;
    seeds.emplace_back("mha-swiglu-tied", mha);

    CaseChoice bytes = mha;  // the same with weights from the input
    bytes.weights.resize(400);
    for (std::size_t i = 0; i < bytes.weights.size(); ++i) {
        bytes.weights[i] = static_cast<std::uint8_t>(100 + (i * 37) % 50);
    }
    seeds.emplace_back("mha-weights-from-input", bytes);

    CaseChoice gqa;  // grouped-query GELU, untied, decoded one token at a time
    gqa.vocabulary = 16;
    gqa.context = 12;
    gqa.layers = 1;
    gqa.query_heads = 2;
    gqa.kv_heads = 1;
    gqa.head_dim = 4;
    gqa.ffn_dim = 5;
    gqa.swiglu = false;
    gqa.tied = false;
    gqa.kv_dtype = 1;
    gqa.rope_base = 4;
    gqa.tokens = {15, 0, 7, 7, 3, 9, 12, 1, 1, 4, 2, 8};
    gqa.chunks = std::vector<std::uint32_t>(12, 1);
    gqa.fork_at = 5;
    gqa.restore_at = 9;
    seeds.emplace_back("gqa-gelu-untied-decode", gqa);

    CaseChoice tiny;  // every dimension at its smallest
    tiny.vocabulary = 1;
    tiny.context = 1;
    tiny.layers = 1;
    tiny.query_heads = 1;
    tiny.kv_heads = 1;
    tiny.head_dim = 2;
    tiny.ffn_dim = 1;
    tiny.tokens = {0};
    tiny.chunks = {1};
    tiny.restore_at = 0;
    seeds.emplace_back("tiny", tiny);

    CaseChoice deep;  // every dimension at its largest, one prefill then decodes
    deep.vocabulary = 16;
    deep.context = 12;
    deep.layers = 8;
    deep.query_heads = 4;
    deep.kv_heads = 2;
    deep.head_dim = 2;
    deep.ffn_dim = 8;
    deep.kv_dtype = 2;
    deep.epsilon = 2;
    deep.tokens = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8};
    deep.chunks = {9, 1, 1, 1};
    deep.fork_at = 2;
    deep.restore_at = 3;
    seeds.emplace_back("deep-wide", deep);
    return seeds;
}

// Small valid GGUF files: every value type, nested arrays, both versions, a wider alignment and
// tensors of each block type.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> ggufSeeds() {
    namespace gv = tarvel_test::gguf_value;
    using tarvel_test::GgufBuilder;
    using tarvel_test::GgufTensorEntry;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds;

    GgufBuilder values;
    values.add("general.architecture", gv::str("llama"))
        .add("u8", gv::u8(7))
        .add("i8", gv::i8(-7))
        .add("u16", gv::u16(700))
        .add("i16", gv::i16(-700))
        .add("u32", gv::u32(70000))
        .add("i32", gv::i32(-70000))
        .add("f32", gv::f32(1e-5f))
        .add("b", gv::boolean(1))
        .add("u64", gv::u64(7000000000))
        .add("i64", gv::i64(-7000000000))
        .add("f64", gv::f64(0.25))
        .add("tokens", gv::array(8, {gv::str("<s>"), gv::str("a")}))
        .add("nested", gv::array(9, {gv::array(6, {gv::f32(0.5f)}), gv::array(6, {})}));
    values.tensor(GgufTensorEntry{"token_embd.weight", {4, 2}, 0, {}, {}, {}, true});
    seeds.emplace_back("values-v3", values.build());
    values.version = 2;
    seeds.emplace_back("values-v2", values.build());

    GgufBuilder blocks;
    blocks.alignment = 64;
    blocks.add("general.alignment", gv::u32(64));
    const std::uint32_t types[] = {0, 1, 2, 3, 6, 7, 8, 10, 11, 12, 13, 14, 28, 30};
    for (const std::uint32_t type : types) {
        const std::uint64_t row = type >= 10 && type <= 14 ? 256 : 32;
        std::string name = "t";
        name += std::to_string(type);  // g++ 12 warns wrongly about "t" + std::to_string(type)
        blocks.tensor(GgufTensorEntry{name, {row}, type, {}, {}, {}, true});
    }
    seeds.emplace_back("every-block-type", blocks.build());

    GgufBuilder empty;
    seeds.emplace_back("empty", empty.build());
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path root(argv[1]);
    std::size_t written = 0;
    for (const NamedBytes& snapshot : catalogue().snapshots) {
        for (const char* target : {"snapshot_restore", "snapshot_mutation", "container"}) {
            write(root / target, snapshot.name, snapshot.bytes);
            ++written;
        }
        write(root / "container", snapshot.name + ".manifest", manifestOf(snapshot.bytes));
        ++written;
    }
    for (std::size_t i = 0; i < catalogue().models.size(); ++i) {
        const std::vector<std::uint8_t>& artifact = catalogue().models[i]->artifact_bytes();
        write(root / "container", "model-" + std::to_string(i), artifact);
        write(root / "container", "model-" + std::to_string(i) + ".manifest", manifestOf(artifact));
        written += 2;
    }
    for (const auto& [name, choice] : differentialSeeds()) {
        write(root / "differential", name, encodeCase(choice));
        ++written;
    }
    for (const auto& [name, bytes] : ggufSeeds()) {
        write(root / "gguf", name, bytes);
        ++written;
    }
    std::printf("wrote %zu seeds under %s\n", written, root.string().c_str());
    return 0;
}
