// Suspend and resume: save a session's state to a file, read it back later (in a service this
// could be another process or another machine with the same model) and carry on decoding.
// The runtime itself only turns sessions into bytes and back; the file is ours to handle.
//
//   build/<preset>/examples/suspend_resume [snapshot file]
//
// Without an argument the file goes to the system's temporary directory.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarvel/tarvel.hpp"
#include "tiny_model.hpp"

using namespace Nuvexis::Core::Tarvel;
using namespace tarvel_examples;

namespace {

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// Refuses files above the limit before reading them: the restore would refuse them anyway, but
// only after they had been read into memory.
std::vector<std::uint8_t> readFile(const std::string& path, std::uint64_t max_bytes) {
    if (std::filesystem::file_size(path) > max_bytes) {
        throw std::runtime_error(path + " is larger than any snapshot we accept");
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}
}  // namespace

int main(int argc, char** argv) try {
    const std::string path =
        argc > 1 ? argv[1]
                 : (std::filesystem::temp_directory_path() / "tarvel-session.tarvs").string();
    const TransformerKvOptions options;

    // A session that has done some work: a prompt and two decode steps.
    const auto model = tinyModel();
    TransformerKvSession session(model, 42);
    std::uint32_t next =
        argmax(forwardCached(chunk({3, 14, 15, 9, 2}), session, options).logits, 4);
    for (int i = 0; i < 2; ++i)
        next = argmax(forwardCached(chunk({next}), session, options).logits, 0);

    // Suspend: the snapshot holds the tokens, the cache and the session's tag, bound to this
    // model's identity.
    writeFile(path, saveSnapshot(session));
    std::cout << "saved a session of " << session.position() << " positions to " << path << " ("
              << std::filesystem::file_size(path) << " bytes)\n";

    // Resume, as a freshly started service would: build the model again from the same spec and
    // weights (same bytes, same identity), open a session on it and restore into it.
    const auto reloaded = tinyModel();
    // What a service restoring snapshots of this model accepts: nothing larger than a full
    // session of this model could produce, so that a damaged or hostile file is refused before
    // anything big is allocated.
    const ArtifactLimits limits = snapshotLimits(*reloaded, 64 * 1024);
    TransformerKvSession resumed(reloaded, 1);
    restoreSnapshot(resumed, readFile(path, limits.max_file_bytes), limits);
    std::cout << "restored " << resumed.position() << " positions, tag " << resumed.tag()
              << ", model identity " << std::hex << reloaded->artifact_checksum() << std::dec
              << '\n';

    // The resumed session continues exactly where the original left off.
    const Tensor original = forwardCached(chunk({next}), session, options).logits;
    const Tensor continued = forwardCached(chunk({next}), resumed, options).logits;
    if (original.data != continued.data) {
        std::cerr << "the resumed session differs from the original\n";
        return 1;
    }
    std::cout << "next step after resuming matches the uninterrupted session\n";

    // A damaged file is refused with std::invalid_argument, and the session it was meant for
    // is left exactly as it was.
    std::vector<std::uint8_t> damaged = saveSnapshot(resumed);
    damaged[damaged.size() - 3] ^= 0x10;  // one bit of the last cached value
    const std::string damaged_path = path + ".damaged";
    writeFile(damaged_path, damaged);
    const std::vector<std::uint8_t> before = saveSnapshot(resumed);
    try {
        restoreSnapshot(resumed, readFile(damaged_path, limits.max_file_bytes), limits);
        std::cerr << "a damaged snapshot was accepted\n";
        return 1;
    } catch (const std::invalid_argument& e) {
        std::cout << "restoring " << damaged_path << ": refused (" << e.what() << ")\n";
    }
    if (saveSnapshot(resumed) != before) {
        std::cerr << "a refused restore changed the session\n";
        return 1;
    }
    std::cout << "the session still holds its " << resumed.position() << " positions\n";
    return 0;
} catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
}
