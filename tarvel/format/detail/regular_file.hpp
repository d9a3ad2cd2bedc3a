#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "tarvel/export.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {
namespace detail {

// A read-only descriptor of a regular file of at most max_bytes, with its size when opened;
// closed on destruction. Refuses with the messages of readRegularFile (tarvel/format/files.hpp).
class RegularFile {
  public:
    RegularFile(const std::filesystem::path& path, std::uint64_t max_bytes, std::string_view what);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    int descriptor() const noexcept { return descriptor_; }
    std::uint64_t size() const noexcept { return size_; }

  private:
    int descriptor_ = -1;
    std::uint64_t size_ = 0;
};

// "<path>: <verb> the <what> (<reason>)", or "<path>: <verb> (<reason>)" without a what.
[[noreturn]] void failFile(const std::filesystem::path& path, std::string_view verb,
                           std::string_view what, int error);

}  // namespace detail
}  // namespace Tarvel
}  // namespace Nuvexis::Core
