#include "tarvel/serve/session_store.hpp"

#include <hiredis/hiredis.h>
#include <sqlite3.h>

#include <charconv>
#include <mutex>
#include <string_view>

#include "tarvel/core/bytes.hpp"

namespace Nuvexis::Core::Tarvel {

namespace {

std::vector<std::uint8_t> recordOf(const std::vector<std::uint8_t>& snapshot) {
    std::vector<std::uint8_t> record(8 + snapshot.size());
    const std::uint64_t sum = checksum64(snapshot.data(), snapshot.size());
    for (std::size_t b = 0; b < 8; ++b) record[b] = static_cast<std::uint8_t>(sum >> (8 * b));
    std::copy(snapshot.begin(), snapshot.end(), record.begin() + 8);
    return record;
}

std::vector<std::uint8_t> snapshotOf(const std::string& name,
                                     const std::vector<std::uint8_t>& record) {
    if (record.size() < 8) throw SessionStoreError("stored session '" + name + "' is corrupt");
    std::uint64_t sum = 0;
    for (std::size_t b = 0; b < 8; ++b) sum |= std::uint64_t{record[b]} << (8 * b);
    if (checksum64(record.data() + 8, record.size() - 8) != sum) {
        throw SessionStoreError("stored session '" + name + "' is corrupt");
    }
    return std::vector<std::uint8_t>(record.begin() + 8, record.end());
}

// One SQLite database file; its one connection is used by one thread at a time.
class SqliteStore final : public SessionStore {
  public:
    explicit SqliteStore(const std::string& path) {
        sqlite3* db = nullptr;
        const int opened = sqlite3_open_v2(
            path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
            nullptr);
        db_ = db;
        if (opened != SQLITE_OK) {
            const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            db_ = nullptr;
            throw SessionStoreError("cannot open session store " + path + ": " + reason);
        }
        // Several processes may share the file: a writer waits for another's transaction.
        sqlite3_busy_timeout(db_, 5000);
        char* error = nullptr;
        if (sqlite3_exec(db_,
                         "CREATE TABLE IF NOT EXISTS sessions (name TEXT PRIMARY KEY, "
                         "record BLOB NOT NULL)",
                         nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string reason = error ? error : "unknown error";
            sqlite3_free(error);
            sqlite3_close(db_);
            db_ = nullptr;
            throw SessionStoreError("cannot open session store " + path + ": " + reason);
        }
    }
    ~SqliteStore() override { sqlite3_close(db_); }
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

  protected:
    std::optional<std::vector<std::uint8_t>> read(const std::string& name) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        Statement s(db_, "SELECT record FROM sessions WHERE name = ?1");
        sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(s.get());
        if (rc == SQLITE_DONE) return std::nullopt;
        if (rc != SQLITE_ROW) fail();
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(s.get(), 0));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(s.get(), 0));
        return std::vector<std::uint8_t>(bytes, bytes + size);
    }

    void write(const std::string& name, const std::vector<std::uint8_t>& record) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        // One statement: the record is replaced whole, or the old one stays.
        Statement s(db_,
                    "INSERT INTO sessions (name, record) VALUES (?1, ?2) "
                    "ON CONFLICT(name) DO UPDATE SET record = excluded.record");
        sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob64(s.get(), 2, record.data(), record.size(), SQLITE_TRANSIENT);
        if (sqlite3_step(s.get()) != SQLITE_DONE) fail();
    }

  private:
    class Statement {
      public:
        Statement(sqlite3* db, const char* sql) {
            if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
                throw SessionStoreError(std::string("session store failed: ") + sqlite3_errmsg(db));
            }
        }
        ~Statement() { sqlite3_finalize(statement_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        sqlite3_stmt* get() const noexcept { return statement_; }

      private:
        sqlite3_stmt* statement_ = nullptr;
    };

    [[noreturn]] void fail() {
        throw SessionStoreError(std::string("session store failed: ") + sqlite3_errmsg(db_));
    }

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// A Redis server over one connection, opened again after any failure.
class RedisStore final : public SessionStore {
  public:
    RedisStore(std::string host, int port) : host_(std::move(host)), port_(port) {}
    ~RedisStore() override {
        if (context_) redisFree(context_);
    }
    RedisStore(const RedisStore&) = delete;
    RedisStore& operator=(const RedisStore&) = delete;

  protected:
    std::optional<std::vector<std::uint8_t>> read(const std::string& name) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        const std::string key = "tarvel:session:" + name;
        redisReply* reply = command("GET %b", key.data(), key.size());
        std::optional<std::vector<std::uint8_t>> result;
        if (reply->type == REDIS_REPLY_STRING) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply->str);
            result.emplace(bytes, bytes + reply->len);
        }
        const bool nil = reply->type == REDIS_REPLY_NIL;
        const bool ok = result.has_value() || nil;
        freeReplyObject(reply);
        if (!ok) throw SessionStoreError("session store failed: unexpected reply");
        return result;
    }

    void write(const std::string& name, const std::vector<std::uint8_t>& record) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        const std::string key = "tarvel:session:" + name;
        redisReply* reply = command("SET %b %b", key.data(), key.size(),
                                    reinterpret_cast<const char*>(record.data()), record.size());
        const bool ok = reply->type == REDIS_REPLY_STATUS;
        freeReplyObject(reply);
        if (!ok) throw SessionStoreError("session store failed: unexpected reply");
    }

  private:
    template <typename... Args>
    redisReply* command(const char* format, Args... args) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!context_) connect();
            auto* reply = static_cast<redisReply*>(redisCommand(context_, format, args...));
            if (reply != nullptr) {
                if (reply->type == REDIS_REPLY_ERROR) {
                    const std::string what = std::string(reply->str, reply->len);
                    freeReplyObject(reply);
                    throw SessionStoreError("session store failed: " + what);
                }
                return reply;
            }
            // The connection broke: once more on a new one.
            redisFree(context_);
            context_ = nullptr;
        }
        throw SessionStoreError("session store is unreachable: redis://" + host_ + ":" +
                                std::to_string(port_));
    }

    void connect() {
        const timeval timeout{2, 0};
        redisContext* c = redisConnectWithTimeout(host_.c_str(), port_, timeout);
        if (c == nullptr || c->err != 0) {
            if (c) redisFree(c);
            throw SessionStoreError("session store is unreachable: redis://" + host_ + ":" +
                                    std::to_string(port_));
        }
        redisSetTimeout(c, timeout);
        context_ = c;
    }

    std::mutex mutex_;
    std::string host_;
    int port_;
    redisContext* context_ = nullptr;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> SessionStore::load(const std::string& name) {
    try {
        std::optional<std::vector<std::uint8_t>> record = read(name);
        ++loads_;
        if (!record) return std::nullopt;
        return snapshotOf(name, *record);
    } catch (const SessionStoreError&) {
        ++failures_;
        throw;
    }
}

void SessionStore::save(const std::string& name, const std::vector<std::uint8_t>& snapshot) {
    try {
        write(name, recordOf(snapshot));
        ++saves_;
    } catch (const SessionStoreError&) {
        ++failures_;
        throw;
    }
}

std::shared_ptr<SessionStore> openSessionStore(const std::string& address) {
    constexpr std::string_view scheme = "redis://";
    if (address.rfind(scheme, 0) == 0) {
        const std::string rest = address.substr(scheme.size());
        const std::size_t colon = rest.rfind(':');
        int port = 0;
        const char* first = rest.data() + (colon == std::string::npos ? 0 : colon + 1);
        const char* last = rest.data() + rest.size();
        const auto [stop, error] = std::from_chars(first, last, port);
        if (colon == std::string::npos || colon == 0 || error != std::errc() || stop != last ||
            port <= 0 || port > 65535) {
            throw std::invalid_argument("redis address must be redis://HOST:PORT");
        }
        return std::make_shared<RedisStore>(rest.substr(0, colon), port);
    }
    return std::make_shared<SqliteStore>(address);
}

}  // namespace Nuvexis::Core::Tarvel
