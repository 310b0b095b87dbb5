#include "ServiceStore.hpp"

#include <sqlite3.h>

#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velquor::service {
namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS pairing_keys(
    key TEXT PRIMARY KEY, region TEXT NOT NULL, user_id TEXT NOT NULL,
    created_at INTEGER NOT NULL, used_by TEXT);
CREATE TABLE IF NOT EXISTS devices(
    seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT UNIQUE NOT NULL,
    installed_application_id TEXT UNIQUE NOT NULL, pairing_id TEXT UNIQUE NOT NULL,
    region TEXT NOT NULL, public_key TEXT NOT NULL, marketing_name TEXT NOT NULL,
    user_id TEXT NOT NULL, push_token TEXT, sandbox INTEGER NOT NULL, finalized INTEGER NOT NULL,
    created_at INTEGER NOT NULL, updated_at INTEGER NOT NULL);
-- Token ids moved to their own append-only file (TokenIdLog); an older database's table goes.
DROP TABLE IF EXISTS token_ids;
CREATE TABLE IF NOT EXISTS authentications(
    seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT UNIQUE NOT NULL, device_id TEXT NOT NULL,
    status TEXT NOT NULL, created_at_ms INTEGER NOT NULL, expires_at_ms INTEGER NOT NULL,
    method TEXT, is_banner INTEGER);
CREATE TABLE IF NOT EXISTS log_requests(
    device_id TEXT PRIMARY KEY, level TEXT NOT NULL, support_id TEXT NOT NULL, received_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS uploads(
    seq INTEGER PRIMARY KEY AUTOINCREMENT, support_id TEXT UNIQUE NOT NULL, device_id TEXT NOT NULL,
    sha256 TEXT NOT NULL, size INTEGER NOT NULL, received_at INTEGER NOT NULL, data BLOB NOT NULL);
)sql";

constexpr const char* deviceColumns =
    "id, installed_application_id, pairing_id, region, public_key, marketing_name, user_id, push_token, "
    "sandbox, finalized, created_at, updated_at, bundle_id";
constexpr const char* authenticationColumns =
    "id, device_id, status, created_at_ms, expires_at_ms, method, is_banner, answer";

} // namespace

class ServiceStore::Statement {
public:
    Statement(ServiceStore& store, const std::string& sql)
        : db_(store.db_)
        , statement_(store.prepared(sql)) {}
    ~Statement() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, const std::optional<std::string>& text) {
        return text ? bind(index, *text) : bindNull(index);
    }
    Statement& bind(int index, int64_t value) {
        check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& bindBlob(int index, const std::string& bytes) {
        check(sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bindNull(int index) {
        check(sqlite3_bind_null(statement_, index));
        return *this;
    }
    // True while a row is available.
    bool step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW)
            return true;
        if (result != SQLITE_DONE)
            fail();
        return false;
    }
    // Steps a statement that may violate a uniqueness constraint; false when it did.
    bool stepUnlessDuplicate() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_DONE || result == SQLITE_ROW)
            return true;
        if ((sqlite3_extended_errcode(db_) & 0xFF) == SQLITE_CONSTRAINT)
            return false;
        fail();
        return false;
    }
    std::string text(int column) const {
        const auto* data = sqlite3_column_text(statement_, column);
        return data ? std::string(reinterpret_cast<const char*>(data),
                                  static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                    : std::string();
    }
    std::optional<std::string> optionalText(int column) const {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL)
            return std::nullopt;
        return text(column);
    }
    std::string blob(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        return data ? std::string(data, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                    : std::string();
    }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

private:
    void check(int result) {
        if (result != SQLITE_OK)
            fail();
    }
    [[noreturn]] void fail() { throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_)); }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

namespace {

// BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception or without commit().
class Transaction {
public:
    explicit Transaction(sqlite3* db)
        : db_(db) {
        run("BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        run("COMMIT");
        done_ = true;
    }

private:
    void run(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    bool done_ = false;
};

using Statement = ServiceStore::Statement;

DeviceRecord readDevice(const Statement& row) {
    DeviceRecord device;
    device.id = row.text(0);
    device.installedApplicationId = row.text(1);
    device.pairingId = row.text(2);
    device.region = row.text(3);
    device.publicKey = row.text(4);
    device.marketingName = row.text(5);
    device.userId = row.text(6);
    device.pushToken = row.optionalText(7);
    device.sandbox = row.integer(8) != 0;
    device.finalized = row.integer(9) != 0;
    device.createdAt = row.integer(10);
    device.updatedAt = row.integer(11);
    device.bundleId = row.text(12);
    return device;
}

AuthenticationRecord readAuthentication(const Statement& row) {
    AuthenticationRecord record;
    record.id = row.text(0);
    record.deviceId = row.text(1);
    record.status = row.text(2);
    record.createdAtMs = row.integer(3);
    record.expiresAtMs = row.integer(4);
    record.method = row.optionalText(5);
    if (!row.isNull(6))
        record.isBanner = row.integer(6) != 0;
    record.answer = row.optionalText(7);
    return record;
}

} // namespace

std::unique_ptr<ServiceStore> ServiceStore::open(const std::filesystem::path& path, std::string& error) {
    // SQLite gives its journal files the mode of the database file, so an owner-only database keeps
    // its journals owner-only too.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
        error = "cannot create the database " + path.string() + " owner-only";
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    ::close(fd);
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result != SQLITE_OK) {
        error =
            "cannot open the database " + path.string() + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<ServiceStore> store(new ServiceStore(db));
    try {
        sqlite3_busy_timeout(db, 5000);
        // The service is the database's only user: holding the lock for good spares the file locks
        // every statement would take (about ten system calls per request), and a second service
        // on the same directory fails to start instead of sharing it. Set before WAL, it also
        // keeps the WAL index in memory, so there is no -shm file.
        store->execute("PRAGMA locking_mode=EXCLUSIVE");
        // WAL appends each commit; NORMAL syncs at checkpoints, which a clean stop reaches and a
        // crash cannot corrupt.
        store->execute("PRAGMA journal_mode=WAL");
        store->execute("PRAGMA synchronous=NORMAL");
        store->execute(schema);
        store->addColumnIfMissing("devices", "bundle_id", "TEXT NOT NULL DEFAULT ''");
        store->addColumnIfMissing("authentications", "answer", "TEXT");
    } catch (const std::exception& e) {
        error = "cannot prepare the database " + path.string() + ": " + e.what();
        return nullptr;
    }
    return store;
}

ServiceStore::~ServiceStore() {
    for (const auto& [sql, statement] : statements_)
        sqlite3_finalize(statement);
    sqlite3_close(db_);
}

sqlite3_stmt* ServiceStore::prepared(const std::string& sql) {
    if (const auto it = statements_.find(sql); it != statements_.end())
        return it->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(statement);
        throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }
    statements_.emplace(sql, statement);
    return statement;
}

void ServiceStore::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

void ServiceStore::addColumnIfMissing(const char* table, const char* column, const char* definition) {
    Statement columns(
        *this, (std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?").c_str());
    columns.bind(1, std::string(column));
    if (!columns.step())
        execute((std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + definition).c_str());
}

bool ServiceStore::insertPairingKey(const std::string& key, Region region, const std::string& userId,
                                    int64_t now) {
    std::lock_guard lock(mutex_);
    Statement insert(*this, "INSERT INTO pairing_keys(key, region, user_id, created_at) VALUES(?, ?, ?, ?)");
    insert.bind(1, key).bind(2, regionCode(region)).bind(3, userId).bind(4, now);
    return insert.stepUnlessDuplicate();
}

std::optional<Region> ServiceStore::pairingKeyRegion(const std::string& key) {
    std::lock_guard lock(mutex_);
    Statement select(*this, "SELECT region FROM pairing_keys WHERE key = ?");
    select.bind(1, key);
    if (!select.step())
        return std::nullopt;
    return regionFromCode(select.text(0));
}

PairingOutcome ServiceStore::pairDevice(const std::string& key, Region region, DeviceRecord& device) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    Statement select(*this, "SELECT region, user_id, used_by FROM pairing_keys WHERE key = ?");
    select.bind(1, key);
    if (!select.step())
        return PairingOutcome::unknownKey;
    if (select.text(0) != regionCode(region))
        return PairingOutcome::wrongRegion;
    if (!select.isNull(2))
        return PairingOutcome::usedKey;
    device.userId = select.text(1);
    device.region = regionCode(region);
    keptDevices_.erase(device.id);
    Statement use(*this, "UPDATE pairing_keys SET used_by = ? WHERE key = ?");
    use.bind(1, device.id).bind(2, key).step();
    Statement insert(*this,
                     "INSERT INTO devices(id, installed_application_id, pairing_id, region, public_key, "
                     "marketing_name, user_id, push_token, sandbox, finalized, created_at, updated_at, "
                     "bundle_id) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, device.id)
        .bind(2, device.installedApplicationId)
        .bind(3, device.pairingId)
        .bind(4, device.region)
        .bind(5, device.publicKey)
        .bind(6, device.marketingName)
        .bind(7, device.userId)
        .bind(8, device.pushToken)
        .bind(9, int64_t{device.sandbox})
        .bind(10, int64_t{device.finalized})
        .bind(11, device.createdAt)
        .bind(12, device.updatedAt)
        .bind(13, device.bundleId)
        .step();
    transaction.commit();
    return PairingOutcome::paired;
}

std::optional<DeviceRecord> ServiceStore::device(const std::string& id) {
    std::lock_guard lock(mutex_);
    if (const auto kept = keptDevices_.find(id); kept != keptDevices_.end())
        return kept->second;
    Statement select(*this, std::string("SELECT ") + deviceColumns + " FROM devices WHERE id = ?");
    select.bind(1, id);
    if (!select.step())
        return std::nullopt;
    auto device = readDevice(select);
    if (keptDevices_.size() >= mostKeptRows)
        keptDevices_.clear();
    keptDevices_.emplace(id, device);
    return device;
}

std::vector<DeviceRecord> ServiceStore::devices() {
    std::lock_guard lock(mutex_);
    Statement select(*this, std::string("SELECT ") + deviceColumns + " FROM devices ORDER BY seq");
    std::vector<DeviceRecord> all;
    while (select.step())
        all.push_back(readDevice(select));
    return all;
}

void ServiceStore::setFinalized(const std::string& deviceId, int64_t now) {
    std::lock_guard lock(mutex_);
    keptDevices_.erase(deviceId);
    Statement update(*this, "UPDATE devices SET finalized = 1, updated_at = ? WHERE id = ?");
    update.bind(1, now).bind(2, deviceId).step();
}

void ServiceStore::setPushToken(const std::string& deviceId, const std::string& token, bool sandbox,
                                int64_t now) {
    std::lock_guard lock(mutex_);
    keptDevices_.erase(deviceId);
    Statement update(*this, "UPDATE devices SET push_token = ?, sandbox = ?, updated_at = ? WHERE id = ?");
    update.bind(1, token).bind(2, int64_t{sandbox}).bind(3, now).bind(4, deviceId).step();
}

void ServiceStore::insertAuthentication(const AuthenticationRecord& record) {
    std::lock_guard lock(mutex_);
    Statement insert(*this,
                     "INSERT INTO authentications(id, device_id, status, created_at_ms, expires_at_ms) "
                     "VALUES(?, ?, ?, ?, ?)");
    insert.bind(1, record.id)
        .bind(2, record.deviceId)
        .bind(3, record.status)
        .bind(4, record.createdAtMs)
        .bind(5, record.expiresAtMs)
        .step();
}

std::optional<AuthenticationRecord> ServiceStore::authentication(const std::string& id) {
    std::lock_guard lock(mutex_);
    Statement select(
        *this,
        (std::string("SELECT ") + authenticationColumns + " FROM authentications WHERE id = ?").c_str());
    select.bind(1, id);
    if (!select.step())
        return std::nullopt;
    return readAuthentication(select);
}

std::vector<AuthenticationRecord> ServiceStore::authentications() {
    std::lock_guard lock(mutex_);
    Statement select(
        *this,
        (std::string("SELECT ") + authenticationColumns + " FROM authentications ORDER BY seq").c_str());
    std::vector<AuthenticationRecord> all;
    while (select.step())
        all.push_back(readAuthentication(select));
    return all;
}

bool ServiceStore::answerAuthentication(const std::string& id, const std::string& status,
                                        const std::optional<std::string>& method, bool isBanner,
                                        const std::string& answer) {
    std::lock_guard lock(mutex_);
    Statement update(*this, "UPDATE authentications SET status = ?, method = ?, is_banner = ?, answer = ? "
                            "WHERE id = ? AND status = 'PENDING'");
    update.bind(1, status).bind(2, method).bind(3, int64_t{isBanner}).bind(4, answer).bind(5, id).step();
    return sqlite3_changes(db_) == 1;
}

void ServiceStore::openLogRequest(const LogRequestRecord& record) {
    std::lock_guard lock(mutex_);
    keptLogRequests_.erase(record.deviceId);
    Statement upsert(*this, "INSERT OR REPLACE INTO log_requests(device_id, level, support_id, received_at) "
                            "VALUES(?, ?, ?, ?)");
    upsert.bind(1, record.deviceId)
        .bind(2, record.level)
        .bind(3, record.supportId)
        .bind(4, record.receivedAt)
        .step();
}

std::optional<LogRequestRecord> ServiceStore::logRequest(const std::string& deviceId) {
    std::lock_guard lock(mutex_);
    if (const auto kept = keptLogRequests_.find(deviceId); kept != keptLogRequests_.end())
        return kept->second;
    Statement select(
        *this, "SELECT device_id, level, support_id, received_at FROM log_requests WHERE device_id = ?");
    select.bind(1, deviceId);
    std::optional<LogRequestRecord> record;
    if (select.step())
        record = LogRequestRecord{select.text(0), select.text(1), select.text(2), select.integer(3)};
    if (keptLogRequests_.size() >= mostKeptRows)
        keptLogRequests_.clear();
    keptLogRequests_.emplace(deviceId, record);
    return record;
}

UploadOutcome ServiceStore::storeUpload(const UploadRecord& record, const std::string& data,
                                        uint64_t limitBytes) {
    std::lock_guard lock(mutex_);
    keptLogRequests_.erase(record.deviceId);
    Transaction transaction(db_);
    Statement total(*this, "SELECT COALESCE(SUM(size), 0) FROM uploads");
    total.step();
    const auto stored = static_cast<uint64_t>(total.integer(0));
    if (stored > limitBytes || data.size() > limitBytes - stored)
        return UploadOutcome::overLimit;
    Statement insert(*this, "INSERT INTO uploads(support_id, device_id, sha256, size, received_at, data) "
                            "VALUES(?, ?, ?, ?, ?, ?)");
    insert.bind(1, record.supportId)
        .bind(2, record.deviceId)
        .bind(3, record.sha256)
        .bind(4, record.size)
        .bind(5, record.receivedAt)
        .bindBlob(6, data);
    if (!insert.stepUnlessDuplicate())
        return UploadOutcome::supportIdTaken;
    Statement clear(*this, "DELETE FROM log_requests WHERE device_id = ?");
    clear.bind(1, record.deviceId).step();
    transaction.commit();
    return UploadOutcome::stored;
}

std::optional<std::string> ServiceStore::uploadData(const std::string& supportId) {
    std::lock_guard lock(mutex_);
    Statement select(*this, "SELECT data FROM uploads WHERE support_id = ?");
    select.bind(1, supportId);
    if (!select.step())
        return std::nullopt;
    return select.blob(0);
}

std::vector<UploadRecord> ServiceStore::uploads() {
    std::lock_guard lock(mutex_);
    Statement select(*this,
                     "SELECT support_id, device_id, sha256, size, received_at FROM uploads ORDER BY seq");
    std::vector<UploadRecord> all;
    while (select.step())
        all.push_back({select.text(0), select.text(1), select.text(2), select.integer(3), select.integer(4)});
    return all;
}

} // namespace velquor::service
