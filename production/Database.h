#pragma once
// The production records in a PostgreSQL database that every station shares: serial numbers are
// reserved there, every log record is inserted there as well, and a record the database cannot
// take at once waits in the station's spool folder until the next command delivers it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "records/RecordsStore.h"

typedef struct pg_conn PGconn;

namespace production {

// False in a build without libpq: a profile that names a database then gets a store that refuses
// every number and record, and the db commands say so.
constexpr bool kDatabaseInBuild = KESTRUNE_DATABASE != 0;

// The schema version db init creates; a database at another version is refused until db init ran.
constexpr int kSchemaVersion = 2;

// What takes a database's schema from version - 1 to version.
struct SchemaStep {
    int version;
    const char* sql;
};
// This program's steps, from version 1 on.
std::span<const SchemaStep> SchemaSteps();

// [Settings] Database= of the profile store: a libpq connection string; empty without one.
std::string DatabaseSetting(const std::string& profilePath);

// Records waiting for the database: one file a record, named by its id.
std::string SpoolFolder();

struct ImportResult {
    std::size_t records = 0;  // found in the log
    std::size_t inserted = 0; // not in the database before
    std::string error;        // empty on success
};

struct SyncResult {
    std::size_t delivered = 0;
    std::size_t waiting = 0; // still in the spool
    std::size_t backupsDelivered = 0;
    std::size_t backupsWaiting = 0;
    std::string error;
};

struct CheckResult {
    bool connected = false;
    int schemaVersion = 0; // 0: no schema
    std::vector<std::string> missingRights; // "INSERT on production_records" and the like
    std::string error;
};

class DatabaseStore : public records::RecordsStore {
public:
    // Connects lazily; error is set (and the store is null) when the connection string cannot
    // be used: unparsable, or holding a password, which belongs in ~/.pgpass or a service file.
    static std::unique_ptr<DatabaseStore> Create(const std::string& conninfo, std::string& error);
    ~DatabaseStore() override;
    DatabaseStore(const DatabaseStore&) = delete;
    DatabaseStore& operator=(const DatabaseStore&) = delete;

    records::Reservation ReserveSerial(std::int32_t deviceCode, std::int64_t floor, std::int64_t maxNumber) override;
    records::StoreOutcome AddRecord(const std::string& record) override;
    void AddBackup(const std::string& converter, const std::string& name, const std::string& content) override;
    std::vector<std::pair<std::string, std::string>> StoredBackups() override;
    std::optional<std::string> FetchBackup(const std::string& converter, const std::string& name) override;

    // Creates or upgrades the tables in one transaction; "" when done.
    std::string Init();
    // Init with other steps (the first of them from an empty database); a database newer than
    // the last step is refused.
    std::string Upgrade(std::span<const SchemaStep> steps);
    // Loads a text log; records the database holds already (from an earlier import or inserted
    // live) are not added again.
    ImportResult Import(const std::string& path);
    // Delivers the spooled records and backups, each exactly once.
    SyncResult Sync();
    CheckResult Check();
    bool KeepsHistory() const override { return true; }
    bool ScanRecords(const std::string& serialNumber, const std::function<void(std::string_view)>& found,
                     std::string& error) override;
    // The stored records of a serial number, oldest first, as the log holds them.
    std::vector<std::string> RecordsOfSerial(const std::string& serialNumber, std::string& error);

private:
    explicit DatabaseStore(std::string conninfo);
    bool Connect(std::string& error);
    // Connected, and to a schema this program knows the meaning of.
    bool ConnectToWrite(std::string& error);
    // Inserts one record under its id; "" when the database holds it (now or before).
    std::string Insert(const std::string& id, const std::string& record);
    std::string InsertBackup(const std::string& converter, const std::string& name, const std::string& content);
    std::string InsertSpooledBackup(const std::string& spooled);

    std::string conninfo_;
    PGconn* conn_ = nullptr;
    int schemaVersion_ = 0; // as read at the connection
};

} // namespace production
