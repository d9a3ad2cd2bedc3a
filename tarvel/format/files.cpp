#include "tarvel/format/files.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tarvel/format/detail/regular_file.hpp"

namespace Nuvexis::Core {
namespace Tarvel TARVEL_EXPORT {

namespace detail {

void failFile(const std::filesystem::path& path, std::string_view verb, std::string_view what,
              int error) {
    std::string message = path.string() + ": " + std::string(verb);
    if (!what.empty()) message += " the " + std::string(what);
    throw std::invalid_argument(message + " (" + std::strerror(error) + ")");
}

RegularFile::RegularFile(const std::filesystem::path& path, std::uint64_t max_bytes,
                         std::string_view what) {
    // Non-blocking, so that opening a FIFO nobody writes to returns at once; it is refused below.
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) failFile(path, "cannot open", what, errno);
    const auto refuse = [&](const std::string& problem) {
        ::close(descriptor);
        throw std::invalid_argument(path.string() + ": " + problem);
    };
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) {
        const int error = errno;
        ::close(descriptor);
        failFile(path, "cannot open", what, error);
    }
    if (!S_ISREG(info.st_mode)) {
        refuse(what.empty() ? std::string("not a regular file")
                            : std::string(what) + " is not a regular file");
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > max_bytes) {
        refuse((what.empty() ? std::string("file") : std::string(what)) + " is larger than " +
               std::to_string(max_bytes) + " bytes");
    }
    descriptor_ = descriptor;
    size_ = static_cast<std::uint64_t>(info.st_size);
}

RegularFile::~RegularFile() {
    ::close(descriptor_);
}

}  // namespace detail

namespace {

namespace fs = std::filesystem;

// Blocks the signals that would end the process in the calling thread for as long as it lives;
// one that arrives meanwhile stays pending and is delivered when the old mask is restored.
class HeldSignals {
  public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ})
            sigaddset(&set, number);
        held_ = ::pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
    }
    ~HeldSignals() {
        if (held_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    sigset_t previous_{};
    bool held_ = false;
};

// The fresh file beside the target: removed on destruction unless it has been renamed.
struct FreshFile {
    fs::path path;
    int descriptor = -1;
    bool renamed = false;

    FreshFile() = default;
    FreshFile(const FreshFile&) = delete;
    FreshFile& operator=(const FreshFile&) = delete;
    ~FreshFile() {
        if (descriptor >= 0) ::close(descriptor);
        if (!path.empty() && !renamed) ::unlink(path.c_str());
    }
};

std::uint64_t randomBits() {
    std::uint64_t bits = 0;
    ssize_t got;
    do {
        got = ::getrandom(&bits, sizeof bits, GRND_NONBLOCK);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof bits)) {
        // Without the kernel's randomness the name is merely unusual; O_EXCL still keeps it safe.
        bits ^=
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        bits ^= static_cast<std::uint64_t>(::getpid()) << 32;
    }
    return bits;
}

// Creates "<path>.tmp.<16 hex digits>" exclusively: an existing name, a link included, is never
// opened, only passed over for another.
void createFresh(const fs::path& path, std::string_view what, FreshFile& fresh) {
    int error = EEXIST;
    for (int attempt = 0; attempt < 64 && error == EEXIST; ++attempt) {
        char suffix[22];
        std::snprintf(suffix, sizeof suffix, ".tmp.%016llx",
                      static_cast<unsigned long long>(randomBits()));
        fs::path candidate = path;
        candidate += suffix;
        int descriptor;
        do {
            descriptor =
                ::open(candidate.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
        } while (descriptor < 0 && errno == EINTR);
        if (descriptor >= 0) {
            fresh.path = std::move(candidate);
            fresh.descriptor = descriptor;
            return;
        }
        error = errno;
    }
    detail::failFile(path, "cannot write", what, error);
}

}  // namespace

std::vector<std::uint8_t> readRegularFile(const fs::path& path, std::uint64_t max_bytes,
                                          std::string_view what) {
    const detail::RegularFile file(path, max_bytes, what);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.size()));
    const auto read = [&](std::uint8_t* into, std::size_t count) {
        ssize_t got;
        do {
            got = ::read(file.descriptor(), into, count);
        } while (got < 0 && errno == EINTR);
        if (got < 0) detail::failFile(path, "cannot read", what, errno);
        return static_cast<std::size_t>(got);
    };
    const std::string changed = path.string() + ": " +
                                (what.empty() ? std::string("file") : std::string(what)) +
                                " changed size while it was read";
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t got =
            read(bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (got == 0) throw std::invalid_argument(changed);
        done += got;
    }
    // One byte more than the size it had when opened: a file still growing is not read on.
    std::uint8_t probe = 0;
    if (read(&probe, 1) != 0) throw std::invalid_argument(changed);
    return bytes;
}

void writeFileAtomically(const fs::path& path, std::span<const std::uint8_t> bytes,
                         std::string_view what) {
    const auto fail = [&](int error) { detail::failFile(path, "cannot write", what, error); };
    // Declared first, so that the mask is restored only after the fresh file is gone or renamed.
    const HeldSignals held;
    FreshFile fresh;
    createFresh(path, what, fresh);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(fresh.descriptor, bytes.data() + done,
                                      std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) fail(wrote < 0 ? errno : EIO);
        done += static_cast<std::size_t>(wrote);
    }
    int result;
    do {
        result = ::fsync(fresh.descriptor);
    } while (result != 0 && errno == EINTR);
    if (result != 0) fail(errno);
    // Linux frees the descriptor even when close reports an error, so it is never closed twice.
    result = ::close(fresh.descriptor);
    fresh.descriptor = -1;
    if (result != 0 && errno != EINTR) fail(errno);
    if (::rename(fresh.path.c_str(), path.c_str()) != 0) fail(errno);
    fresh.renamed = true;
    // The rename is durable once the folder is flushed. The path already names the complete new
    // file, so a folder that cannot be flushed (some file systems refuse) is not a failure.
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
}

}  // namespace Tarvel
}  // namespace Nuvexis::Core
