#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Nuvexis::Core::Tarvel {

// A store that failed or cannot be reached. What it held before is untouched.
class SessionStoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Named session snapshots that outlive the process. Each record is the snapshot's bytes after
// their checksum64 (u64 little-endian); a record whose checksum does not match is refused with
// SessionStoreError "stored session '<name>' is corrupt". A save replaces the record whole or
// not at all. Safe to use from several threads.
class SessionStore {
  public:
    virtual ~SessionStore() = default;
    // The snapshot stored under `name`, or nothing when there is none.
    std::optional<std::vector<std::uint8_t>> load(const std::string& name);
    void save(const std::string& name, const std::vector<std::uint8_t>& snapshot);
    // Operations done and failed, for the metrics.
    std::uint64_t loads() const noexcept { return loads_; }
    std::uint64_t saves() const noexcept { return saves_; }
    std::uint64_t failures() const noexcept { return failures_; }

  protected:
    virtual std::optional<std::vector<std::uint8_t>> read(const std::string& name) = 0;
    virtual void write(const std::string& name, const std::vector<std::uint8_t>& record) = 0;

  private:
    std::atomic<std::uint64_t> loads_{0};
    std::atomic<std::uint64_t> saves_{0};
    std::atomic<std::uint64_t> failures_{0};
};

// "redis://HOST:PORT": a Redis server, keys "tarvel:session:<name>"; anything else is the path
// of an SQLite database file, created when missing. Throws SessionStoreError "cannot open
// session store <address>: <reason>" for a database that cannot be opened, and
// std::invalid_argument "redis address must be redis://HOST:PORT" for a malformed address. A
// Redis server is reached when first used, so one that is down gives failed operations, not a
// failed start.
std::shared_ptr<SessionStore> openSessionStore(const std::string& address);

}  // namespace Nuvexis::Core::Tarvel
