#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace Nuvexis::Core::Tarvel::detail {

// A read-only memory map of a whole file, so that multi-gigabyte checkpoints are paged in as
// they are read instead of copied into a buffer first. Throws std::invalid_argument
// "<path>: cannot open (<reason>)" when the file cannot be opened or mapped, and
// "<path>: not a regular file" for a folder, FIFO or device, which is refused without waiting.
class MappedFile {
  public:
    explicit MappedFile(const std::filesystem::path& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&&) = delete;

    std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

    // Lets the pages wholly inside bytes [offset, offset + length) leave this process's resident
    // set; they are read from the file again if touched. A hint: it changes no byte.
    void release(std::uint64_t offset, std::uint64_t length) const noexcept;

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace Nuvexis::Core::Tarvel::detail
