#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

// Files named from outside: artifacts, snapshots, checkpoints and tokenizers are handed over as
// paths that may name anything. Every refusal is std::invalid_argument "<path>: <problem>".
// `what` names the file's role ("session file") in the problem; empty when the path says enough:
//   "cannot open the <what> (<reason>)"       or "cannot open (<reason>)"
//   "<what> is not a regular file"            or "not a regular file"
//   "<what> is larger than <max_bytes> bytes" or "file is larger than <max_bytes> bytes"
//   "cannot read the <what> (<reason>)"       or "cannot read (<reason>)"
//   "<what> changed size while it was read"   or "file changed size while it was read"

// The whole file, at most max_bytes. It is opened without blocking (a FIFO or a device in its
// place is refused, not waited on) and its size is checked before a byte is read, so a file
// larger than the limit costs nothing to refuse. A file that grows or shrinks while it is
// read is refused rather than returned torn.
std::vector<std::uint8_t> readRegularFile(const std::filesystem::path& path,
                                          std::uint64_t max_bytes, std::string_view what = {});

// Replaces path with bytes, so that the path always names either the old file or the complete
// new one. The bytes go to a fresh file beside it, created exclusively under an unpredictable
// name (a link planted there is never followed), flushed to disk and renamed over the path;
// the folder is flushed after the rename. On any failure the fresh file is removed and path is
// left as it was; the problem reads "cannot write the <what> (<reason>)" (or "cannot write
// (<reason>)"). While the fresh file exists the calling thread holds back SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGXFSZ, so that such a signal takes effect only once the fresh file is
// renamed or removed: a write past the file size limit fails with EFBIG and is cleaned up
// before the signal's own action, if any, runs. Other threads are not covered; a program that
// wants that blocks the signals in them.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::string_view what = {});

}  // namespace Tarvel
}  // namespace Nuvexis::Core
