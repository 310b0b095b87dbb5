// Everything the service remembers, in one SQLite database in the state directory: pairing keys,
// devices with their public keys, used token ids, authentications, log requests and uploads. A
// restarted service therefore still knows the devices it paired and the archives it received.
#pragma once

#include "Region.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace velquor::service {

struct DeviceRecord {
    std::string id;
    std::string installedApplicationId;
    std::string pairingId;
    std::string region; // "NA", "EU" or "AU"
    std::string publicKey;
    std::string marketingName;
    std::string userId;
    std::string bundleId; // "metadata"."application"."bundleId" of its pairing request
    std::optional<std::string> pushToken;
    bool sandbox = false;
    bool finalized = false;
    int64_t createdAt = 0; // seconds since 1970
    int64_t updatedAt = 0;
};

struct AuthenticationRecord {
    std::string id;
    std::string deviceId;
    std::string status; // PENDING, APPROVED or DENIED as stored; expiry is judged by the reader
    int64_t createdAtMs = 0;
    int64_t expiresAtMs = 0;
    std::optional<std::string> method;
    std::optional<bool> isBanner;
    std::optional<std::string> answer; // the answer token's claims as received (JSON text)
};

struct LogRequestRecord {
    std::string deviceId;
    std::string level;
    std::string supportId;
    int64_t receivedAt = 0;
};

struct UploadRecord {
    std::string supportId;
    std::string deviceId;
    std::string sha256;
    int64_t size = 0;
    int64_t receivedAt = 0;
};

enum class PairingOutcome { paired, unknownKey, wrongRegion, usedKey };
enum class UploadOutcome { stored, supportIdTaken, overLimit };

// Thread-safe: one connection guarded by one mutex, each operation one transaction. Operations
// throw std::runtime_error (with SQLite's message) only when the database itself fails.
//
// Every signed request reads its device and a deviceInfo reply its log request, so both are kept
// in memory once read. This class is the only writer of both tables, and each write first drops
// the copy it changes (the next read takes the row from the database again), so a copy is never
// older than its row, rolled-back writes included.
class ServiceStore {
public:
    // A statement prepared on first use and kept, reset and unbound after each use (internal).
    class Statement;

    // Opens or creates `path` (owner-only, as are its journal files) and its tables; nullptr with
    // `error` on failure.
    static std::unique_ptr<ServiceStore> open(const std::filesystem::path& path, std::string& error);
    ~ServiceStore();
    ServiceStore(const ServiceStore&) = delete;
    ServiceStore& operator=(const ServiceStore&) = delete;

    // False when the key already exists.
    bool insertPairingKey(const std::string& key, Region region, const std::string& userId, int64_t now);
    // The key's region when it exists.
    std::optional<Region> pairingKeyRegion(const std::string& key);

    // Checks the key (exists, issued for `region`, unused), marks it used and inserts `device`
    // (whose userId is taken from the key), all in one transaction.
    PairingOutcome pairDevice(const std::string& key, Region region, DeviceRecord& device);
    std::optional<DeviceRecord> device(const std::string& id);
    std::vector<DeviceRecord> devices();
    void setFinalized(const std::string& deviceId, int64_t now);
    void setPushToken(const std::string& deviceId, const std::string& token, bool sandbox, int64_t now);

    void insertAuthentication(const AuthenticationRecord& record);
    std::optional<AuthenticationRecord> authentication(const std::string& id);
    std::vector<AuthenticationRecord> authentications();
    // Stores the answer only while the authentication is still PENDING; false otherwise.
    bool answerAuthentication(const std::string& id, const std::string& status,
                              const std::optional<std::string>& method, bool isBanner,
                              const std::string& answer);

    void openLogRequest(const LogRequestRecord& record);
    std::optional<LogRequestRecord> logRequest(const std::string& deviceId);

    // Stores the archive and clears the device's log request, unless the support id is taken or
    // the archives stored would then exceed `limitBytes` in total.
    UploadOutcome storeUpload(const UploadRecord& record, const std::string& data, uint64_t limitBytes);
    std::optional<std::string> uploadData(const std::string& supportId);
    std::vector<UploadRecord> uploads();

private:
    explicit ServiceStore(sqlite3* db)
        : db_(db) {}
    void execute(const char* sql);
    void addColumnIfMissing(const char* table, const char* column, const char* definition);
    sqlite3_stmt* prepared(const std::string& sql);

    std::mutex mutex_;
    sqlite3* db_;
    // Drops every kept copy when the tables of kept rows grow past this (many devices pairing).
    static constexpr size_t mostKeptRows = 4096;

    std::unordered_map<std::string, sqlite3_stmt*> statements_; // guarded by mutex_
    // Rows read before, by device id; a log request entry of nullopt: the device has none.
    std::unordered_map<std::string, DeviceRecord> keptDevices_;                        // guarded by mutex_
    std::unordered_map<std::string, std::optional<LogRequestRecord>> keptLogRequests_; // guarded by mutex_
};

} // namespace velquor::service
