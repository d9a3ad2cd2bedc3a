#include "tarvel/checkpoint/detail/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace Nuvexis::Core::Tarvel::detail {

MappedFile::MappedFile(const std::filesystem::path& path) {
    const auto fail = [&](int error) {
        throw std::invalid_argument(path.string() + ": cannot open (" + std::strerror(error) + ")");
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        fail(error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        fail(EINVAL);
    }
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ > 0) {
        void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            const int error = errno;
            ::close(fd);
            fail(error);
        }
        data_ = static_cast<const std::uint8_t*>(mapped);
    }
    // The mapping keeps the file's pages reachable; the descriptor is no longer needed.
    ::close(fd);
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
