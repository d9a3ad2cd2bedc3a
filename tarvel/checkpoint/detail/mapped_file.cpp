#include "tarvel/checkpoint/detail/mapped_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "tarvel/format/detail/regular_file.hpp"

namespace Nuvexis::Core::Tarvel::detail {

MappedFile::MappedFile(const std::filesystem::path& path) {
    // Opened without blocking and refused unless regular: a FIFO or a device is never waited on.
    const RegularFile file(path, std::numeric_limits<std::size_t>::max(), {});
    size_ = static_cast<std::size_t>(file.size());
    if (size_ > 0) {
        void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file.descriptor(), 0);
        if (mapped == MAP_FAILED) failFile(path, "cannot open", {}, errno);
        data_ = static_cast<const std::uint8_t*>(mapped);
    }
    // The mapping keeps the file's pages reachable; the descriptor is closed on return.
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

void MappedFile::release(std::uint64_t offset, std::uint64_t length) const noexcept {
    if (data_ == nullptr || offset >= size_) return;
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uint64_t>(page_size);
    const std::uint64_t end = length < size_ - offset ? offset + length : size_;
    const std::uint64_t first = (offset + page - 1) / page * page;
    const std::uint64_t last = end == size_ ? (end + page - 1) / page * page : end / page * page;
    if (first >= last) return;
    // The mapping is private and never written, so dropping its pages loses nothing.
    ::madvise(const_cast<std::uint8_t*>(data_) + first, static_cast<std::size_t>(last - first),
              MADV_DONTNEED);
}

MappedFile::MappedFile(MappedFile&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

}  // namespace Nuvexis::Core::Tarvel::detail
