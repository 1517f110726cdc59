#include "production/Database.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <span>

#include "platform/FileLock.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/Sha256.h"
#include "platform/System.h"
#include "production/DatabaseRecord.h"

namespace production {

namespace {

struct ResultFree {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// A statement parameter: text, raw bytes, or SQL NULL.
struct Param {
    std::optional<std::string> value;
    bool binary = false;
};

Param Text(std::string value) { return {std::move(value), false}; }
Param Bytes(std::string value) { return {std::move(value), true}; }
Param Null() { return {}; }
template <typename T>
Param Number(const std::optional<T>& value)
{
    return value ? Text(std::to_string(*value)) : Null();
}

// libpq's messages span lines and point at the statement with runs of blanks.
std::string OneLine(const std::string& text)
{
    std::string line;
    for (const char ch : text) {
        const bool blank = ch == '\n' || ch == ' ' || ch == '\t' || ch == '^';
        if (!blank)
            line += ch;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

bool Succeeded(const Result& result)
{
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// sql, or with prepared the name of a prepared statement.
Result Exec(PGconn* conn, const char* sql, const std::vector<Param>& params = {}, bool prepared = false)
{
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const Param& p : params) {
        values.push_back(p.value ? p.value->data() : nullptr);
        lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
        formats.push_back(p.binary ? 1 : 0);
    }
    const int count = static_cast<int>(params.size());
    return Result(prepared ? PQexecPrepared(conn, sql, count, values.data(), lengths.data(), formats.data(), 0)
                           : PQexecParams(conn, sql, count, nullptr, values.data(), lengths.data(),
                                          formats.data(), 0));
}

std::string ErrorOf(PGconn* conn, const Result& result)
{
    const char* message = result ? PQresultErrorMessage(result.get()) : nullptr;
    std::string text = message != nullptr && *message != '\0' ? message : PQerrorMessage(conn);
    return OneLine(text.empty() ? "no answer from the database" : text);
}

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            json += '\\';
            json += ch;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += ch;
        }
    }
    return json + "\"";
}

std::string SectionJson(const RecordColumns& columns)
{
    std::string json = "{";
    std::map<std::string, bool> seen;
    for (const auto& [key, value] : columns.section) {
        const std::string k = DatabaseText(key);
        if (seen[k])
            continue; // the first of duplicate keys counts, as in a settings file
        seen[k] = true;
        if (json.size() > 1)
            json += ',';
        json += JsonString(k) + ':' + JsonString(DatabaseText(value));
    }
    return json + "}";
}

std::string Digest(std::string_view record)
{
    platform::Sha256 sha;
    sha.Update(std::span(reinterpret_cast<const std::uint8_t*>(record.data()), record.size()));
    const auto digest = sha.Final();
    return std::string(digest.begin(), digest.end());
}

std::string Hex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char ch : bytes) {
        hex += kDigits[static_cast<unsigned char>(ch) >> 4];
        hex += kDigits[static_cast<unsigned char>(ch) & 15];
    }
    return hex;
}

// The time first, so that spooled records are delivered in the order they were made.
std::string NewRecordId()
{
    char time[24];
    std::snprintf(time, sizeof time, "%016llx-",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                      std::chrono::system_clock::now().time_since_epoch())
                                                      .count()));
    std::array<char, 12> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0)
            return {};
        got += static_cast<std::size_t>(n);
    }
    return time + Hex(std::string_view(bytes.data(), bytes.size()));
}

// $20: at most this many records of the same bytes (an import's n-th copy of a record goes in
// only when fewer than n are there); NULL for a record made here, which its id alone guards.
constexpr const char* kInsertSql =
    "WITH r AS (INSERT INTO production_records (record_id, logged_at, logged_unix, station_user, computer, "
    "kind, result, device_type, serial_number, serial_key, section_name, section, record, digest) "
    "SELECT $1, $2, $3::bigint, $4, $5, $6, $7, $8::integer, $9, $20, $10, $11::jsonb, $12, $13 "
    "WHERE $14::integer IS NULL OR (SELECT count(*) FROM production_records WHERE digest = $13) < $14::integer "
    "ON CONFLICT (record_id) DO NOTHING RETURNING record_id), "
    "f AS (INSERT INTO firmware_records (record_id, file_name, size, sha256, family, result) "
    "SELECT record_id, $15, $16::bigint, $17, $18::integer, $19::integer FROM r WHERE $6 = 'firmware') "
    "SELECT count(*) FROM r";

std::optional<std::int64_t> Integer(const RecordColumns& columns, const char* key)
{
    for (const auto& [k, v] : columns.section) {
        if (k != key)
            continue;
        char* end = nullptr;
        const long long value = std::strtoll(v.c_str(), &end, 10);
        if (end != v.c_str() && *end == '\0')
            return value;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> Value(const RecordColumns& columns, const char* key)
{
    for (const auto& [k, v] : columns.section)
        if (k == key)
            return DatabaseText(v);
    return std::nullopt;
}

std::vector<Param> InsertParams(const std::string& id, std::string_view record, std::optional<int> copies)
{
    RecordColumns c;
    ParseRecord(record, c);
    std::vector<Param> p{Text(id),
                         Text(DatabaseText(c.time)),
                         Number(c.unixTime),
                         Text(DatabaseText(c.user)),
                         Text(DatabaseText(c.computer)),
                         Text(c.kind.empty() ? "other" : c.kind),
                         Text(DatabaseText(c.result)),
                         Number(c.deviceType),
                         c.serialNumber.empty() ? Null() : Text(DatabaseText(c.serialNumber)),
                         c.sectionName.empty() ? Null() : Text(DatabaseText(c.sectionName)),
                         Text(SectionJson(c)),
                         Bytes(std::string(record)),
                         Bytes(Digest(record)),
                         Number(copies)};
    const auto file = Value(c, "File");
    const auto sha = Value(c, "SHA256");
    p.push_back(file ? Text(*file) : Null());
    p.push_back(Number(Integer(c, "Size")));
    p.push_back(sha ? Text(*sha) : Null());
    p.push_back(Number(Integer(c, "Family")));
    p.push_back(Number(Integer(c, "Result")));
    p.push_back(c.serialNumber.empty() ? Null() : Text(DatabaseText(SerialKey(c.serialNumber))));
    return p;
}

constexpr const char* kSchemaV1 = R"SQL(
CREATE TABLE production_records (
    id bigserial PRIMARY KEY,
    record_id text NOT NULL UNIQUE,
    inserted_at timestamptz NOT NULL DEFAULT now(),
    logged_at text NOT NULL,
    logged_unix bigint,
    station_user text NOT NULL,
    computer text NOT NULL,
    kind text NOT NULL,
    result text NOT NULL,
    device_type integer,
    serial_number text,
    serial_key text,
    section_name text,
    section jsonb NOT NULL,
    record bytea NOT NULL,
    digest bytea NOT NULL
);
CREATE INDEX production_records_serial ON production_records (serial_key, id);
CREATE INDEX production_records_type ON production_records (device_type, serial_number);
CREATE INDEX production_records_time ON production_records (logged_unix);
CREATE INDEX production_records_computer ON production_records (computer);
CREATE INDEX production_records_digest ON production_records (digest);
CREATE TABLE firmware_records (
    record_id text PRIMARY KEY REFERENCES production_records (record_id),
    file_name text,
    size bigint,
    sha256 text,
    family integer,
    result integer
);
CREATE INDEX firmware_records_sha256 ON firmware_records (sha256);
CREATE INDEX firmware_records_file ON firmware_records (file_name);
CREATE TABLE serial_counters (
    device_code integer PRIMARY KEY CHECK (device_code BETWEEN 0 AND 255),
    last_number bigint NOT NULL
);
CREATE TABLE backups (
    id bigserial PRIMARY KEY,
    converter_serial text NOT NULL,
    file_name text NOT NULL,
    taken_at timestamptz NOT NULL DEFAULT now(),
    computer text NOT NULL,
    content bytea NOT NULL,
    sha256 text NOT NULL,
    UNIQUE (converter_serial, file_name)
);
)SQL";

// The rights a station's user needs, for doctor.
struct Right {
    const char* object;
    const char* privilege;
    bool sequence;
};
constexpr Right kRights[] = {
    {"kestrune_schema", "SELECT", false},       {"production_records", "SELECT", false},
    {"production_records", "INSERT", false},    {"production_records_id_seq", "USAGE", true},
    {"firmware_records", "SELECT", false},      {"firmware_records", "INSERT", false},
    {"serial_counters", "SELECT", false},       {"serial_counters", "INSERT", false},
    {"serial_counters", "UPDATE", false},       {"backups", "SELECT", false},
    {"backups", "INSERT", false},               {"backups_id_seq", "USAGE", true},
};

bool WriteFileDurably(const std::string& folder, const std::string& name, const std::string& content)
{
    std::string temporary;
    platform::File file = platform::File::CreateTemporary(folder + "/.incoming-", temporary);
    if (!file.IsOpen())
        return false;
    bool ok = file.WriteAll(content) && file.Flush();
    ok = file.Close() && ok;
    if (!ok) {
        platform::RemoveFile(temporary);
        return false;
    }
    return platform::MoveIntoPlace(temporary, folder + "/" + name);
}

constexpr std::string_view kSpoolSuffix = ".rec";

} // namespace

std::string DatabaseSetting(const std::string& profilePath)
{
    // A connection string is longer than the usual 255-character value.
    return platform::GetProfileString("Settings", "Database", "", profilePath, 4096);
}

std::string SpoolFolder()
{
    return platform::DataHome() + "/spool";
}

std::unique_ptr<DatabaseStore> DatabaseStore::Create(const std::string& conninfo, std::string& error)
{
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &message);
    if (options == nullptr) {
        error = "the database setting cannot be read: " + OneLine(message != nullptr ? message : "out of memory");
        PQfreemem(message);
        return nullptr;
    }
    bool password = false;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o)
        password = password || (std::string_view(o->keyword) == "password" && o->val != nullptr && *o->val != '\0');
    PQconninfoFree(options);
    if (password) {
        error = "the database setting holds a password; keep it in ~/.pgpass, PGPASSFILE or a service file instead";
        return nullptr;
    }
    return std::unique_ptr<DatabaseStore>(new DatabaseStore(conninfo));
}

DatabaseStore::DatabaseStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}

DatabaseStore::~DatabaseStore()
{
    if (conn_ != nullptr)
        PQfinish(conn_);
}

bool DatabaseStore::Connect(std::string& error)
{
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK)
        return true;
    if (conn_ != nullptr)
        PQfinish(conn_);
    // Settings of the connection string come after these and win over them.
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "kestrune", conninfo_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keywords, values, 1);
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
        // The server's notices ("already exists, skipping") are no news to the operator.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        return true;
    }
    error = "the database cannot be reached: " + OneLine(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
    return false;
}

records::Reservation DatabaseStore::ReserveSerial(std::int32_t deviceCode, std::int64_t floor, std::int64_t maxNumber)
{
    records::Reservation reservation;
    if (!Connect(reservation.error))
        return reservation;
    // One statement: the counter's row lock orders the stations.
    const std::vector<Param> params{Text(std::to_string(deviceCode)), Text(std::to_string(floor)),
                                    Text(std::to_string(maxNumber))};
    constexpr const char* kSql =
        "INSERT INTO serial_counters AS c (device_code, last_number) "
        "SELECT $1::integer, $2::bigint + 1 WHERE $2::bigint + 1 <= $3::bigint "
        "ON CONFLICT (device_code) DO UPDATE SET last_number = GREATEST(c.last_number, $2::bigint) + 1 "
        "WHERE GREATEST(c.last_number, $2::bigint) + 1 <= $3::bigint RETURNING last_number";
    Result result = Exec(conn_, kSql, params);
    // A connection the server dropped (a restart) gets one more try; at worst a number goes unused.
    if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && Connect(reservation.error))
        result = Exec(conn_, kSql, params);
    if (!Succeeded(result)) {
        reservation.error = "the database gave no serial number: " + ErrorOf(conn_, result);
        return reservation;
    }
    if (PQntuples(result.get()) != 1) {
        reservation.error = "the running numbers of device code " + std::to_string(deviceCode) + " end at " +
                            std::to_string(maxNumber);
        return reservation;
    }
    reservation.number = std::strtoll(PQgetvalue(result.get(), 0, 0), nullptr, 10);
    return reservation;
}

std::string DatabaseStore::Insert(const std::string& id, const std::string& record)
{
    std::string error;
    if (!Connect(error))
        return error;
    const std::vector<Param> params = InsertParams(id, record, std::nullopt);
    Result result = Exec(conn_, kInsertSql, params);
    if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && Connect(error))
        result = Exec(conn_, kInsertSql, params);
    return Succeeded(result) ? std::string() : "the database did not take the record: " + ErrorOf(conn_, result);
}

records::StoreOutcome DatabaseStore::AddRecord(const std::string& record)
{
    records::StoreOutcome outcome;
    const std::string id = NewRecordId();
    if (id.empty()) {
        outcome.stored = false;
        outcome.error = "no record id could be made";
        return outcome;
    }
    // Kept before the insert, under its id: a station killed in between leaves it for the next
    // delivery, and a delivery of what the database has already adds nothing.
    const std::string spooled = SpoolFolder() + "/" + id + std::string(kSpoolSuffix);
    const bool kept =
        platform::CreatePrivateFolders(SpoolFolder()) && WriteFileDurably(SpoolFolder(), id + std::string(kSpoolSuffix), record);
    outcome.error = Insert(id, record);
    if (outcome.error.empty()) {
        if (kept)
            ::unlink(spooled.c_str());
        return outcome;
    }
    outcome.stored = false;
    outcome.kept = kept;
    return outcome;
}

SyncResult DatabaseStore::Sync()
{
    SyncResult sync;
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(SpoolFolder(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > kSpoolSuffix.size() && name.ends_with(kSpoolSuffix) && name.front() != '.')
            files.push_back(entry.path());
        // Half written by a station killed at that moment: its record was never given out as kept.
        struct stat info {};
        if (name.starts_with(".incoming-") && ::lstat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_mtime < ::time(nullptr) - 600)
            ::unlink(entry.path().c_str());
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        platform::FileStatus status = platform::FileStatus::Ok;
        platform::File file = platform::File::Open(path.string(), platform::FileAccess::ReadWrite, status, false);
        if (!file.IsOpen())
            continue;
        // Another delivery has it.
        if (!platform::LockFileRange(file, 0, 0, 0)) {
            ++sync.waiting;
            continue;
        }
        std::string record;
        const bool read = platform::ReadRegularFile(path.string(), record) == platform::FileStatus::Ok;
        std::string name = path.filename().string();
        name.resize(name.size() - kSpoolSuffix.size());
        std::string why = sync.error.empty() && read ? Insert(name, record) : std::string("not delivered");
        // Still there after the lock: another delivery may have removed it in between.
        if (why.empty() && ::access(path.c_str(), F_OK) == 0) {
            ::unlink(path.c_str());
            ++sync.delivered;
        } else if (!why.empty()) {
            if (sync.error.empty() && read)
                sync.error = why;
            ++sync.waiting;
        }
    }
    return sync;
}

std::string DatabaseStore::Init()
{
    std::string error;
    if (!Connect(error))
        return error;
    // Fixed text only, several statements at a time.
    auto run = [this](const char* sql) {
        Result result(PQexec(conn_, sql));
        return Succeeded(result) ? std::string() : ErrorOf(conn_, result);
    };
    error = run("BEGIN");
    if (error.empty())
        error = run("CREATE TABLE IF NOT EXISTS kestrune_schema (version integer NOT NULL)");
    if (error.empty())
        error = run("LOCK TABLE kestrune_schema IN EXCLUSIVE MODE");
    int version = 0;
    if (error.empty()) {
        Result result = Exec(conn_, "SELECT coalesce(max(version), 0) FROM kestrune_schema");
        if (Succeeded(result))
            version = static_cast<int>(std::strtol(PQgetvalue(result.get(), 0, 0), nullptr, 10));
        else
            error = ErrorOf(conn_, result);
    }
    if (error.empty() && version > kSchemaVersion)
        error = "the database's schema is version " + std::to_string(version) + ", newer than this program's (" +
                std::to_string(kSchemaVersion) + ")";
    if (error.empty() && version < 1)
        error = run(kSchemaV1);
    if (error.empty() && version < kSchemaVersion) {
        error = run("DELETE FROM kestrune_schema");
        if (error.empty()) {
            Result result = Exec(conn_, "INSERT INTO kestrune_schema (version) VALUES ($1::integer)",
                                 {Text(std::to_string(kSchemaVersion))});
            error = Succeeded(result) ? std::string() : ErrorOf(conn_, result);
        }
    }
    if (error.empty())
        error = run("COMMIT");
    if (!error.empty()) {
        (void)run("ROLLBACK");
        return "the schema was not created: " + error;
    }
    return {};
}

ImportResult DatabaseStore::Import(const std::string& path)
{
    ImportResult import;
    // Checked before the open: a FIFO in its place would hang the open.
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists || !S_ISREG(info.st_mode)) {
        import.error = path + (exists ? ": not a regular file" : ": cannot be read");
        return import;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        import.error = path + ": cannot be read";
        return import;
    }
    std::string log(static_cast<std::size_t>(info.st_size), '\0');
    in.read(log.data(), static_cast<std::streamsize>(log.size()));
    log.resize(static_cast<std::size_t>(in.gcount()));
    if (!Connect(import.error))
        return import;
    const std::vector<std::string_view> parts = SplitLog(log);
    import.records = parts.size();
    auto fail = [&](const Result& result) {
        import.error = "the log was not imported: " + ErrorOf(conn_, result);
        Exec(conn_, "ROLLBACK");
        import.inserted = 0;
        return import;
    };
    Result result = Exec(conn_, "BEGIN");
    if (!Succeeded(result))
        return fail(result);
    // Two imports at once would each count the other's copies as missing.
    result = Exec(conn_, "SELECT pg_advisory_xact_lock(hashtext('kestrune import'))");
    if (!Succeeded(result))
        return fail(result);
    result = Result(PQprepare(conn_, "kestrune_import", kInsertSql, 0, nullptr));
    if (!Succeeded(result))
        return fail(result);
    // Batches in a pipeline: a log of hundreds of MB is not a round trip per record.
    if (PQenterPipelineMode(conn_) != 1)
        return fail(nullptr);
    std::string failure;
    // The answers of the batch up to its sync point; the first failure is kept.
    auto collect = [&] {
        // One empty answer ends each statement's; two in a row: nothing more will come.
        for (bool empty = false;;) {
            Result answer(PQgetResult(conn_));
            if (!answer) {
                if (empty || PQstatus(conn_) != CONNECTION_OK) {
                    if (failure.empty())
                        failure = OneLine(PQerrorMessage(conn_));
                    if (failure.empty())
                        failure = "the database stopped answering";
                    return;
                }
                empty = true;
                continue;
            }
            empty = false;
            const ExecStatusType status = PQresultStatus(answer.get());
            if (status == PGRES_PIPELINE_SYNC)
                return;
            if (status == PGRES_TUPLES_OK && PQntuples(answer.get()) == 1)
                import.inserted += std::strtoull(PQgetvalue(answer.get(), 0, 0), nullptr, 10);
            else if (failure.empty())
                failure = ErrorOf(conn_, answer);
            if (status == PGRES_FATAL_ERROR && PQstatus(conn_) != CONNECTION_OK)
                return;
        }
    };
    constexpr std::size_t kBatch = 256;
    std::map<std::string, int> copies;
    for (std::size_t i = 0; i < parts.size() && failure.empty(); ++i) {
        const std::string_view record = parts[i];
        const std::string digest = Digest(record);
        const int copy = ++copies[digest];
        // The same bytes at the same place in the log: the same id every import.
        const std::string id = "log-" + Hex(digest) + "-" + std::to_string(copy);
        const std::vector<Param> params = InsertParams(id, record, copy);
        std::vector<const char*> values;
        std::vector<int> lengths;
        std::vector<int> formats;
        for (const Param& p : params) {
            values.push_back(p.value ? p.value->data() : nullptr);
            lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
            formats.push_back(p.binary ? 1 : 0);
        }
        if (PQsendQueryPrepared(conn_, "kestrune_import", static_cast<int>(params.size()), values.data(),
                                lengths.data(), formats.data(), 0) != 1) {
            failure = OneLine(PQerrorMessage(conn_));
            break;
        }
        if ((i + 1) % kBatch == 0 || i + 1 == parts.size()) {
            if (PQpipelineSync(conn_) != 1) {
                failure = OneLine(PQerrorMessage(conn_));
                break;
            }
            collect();
        }
    }
    (void)PQexitPipelineMode(conn_);
    if (!failure.empty()) {
        import.error = "the log was not imported: " + failure;
        Exec(conn_, "ROLLBACK");
        import.inserted = 0;
        return import;
    }
    result = Exec(conn_, "COMMIT");
    if (!Succeeded(result))
        return fail(result);
    Exec(conn_, "DEALLOCATE kestrune_import");
    return import;
}

CheckResult DatabaseStore::Check()
{
    CheckResult check;
    if (!Connect(check.error))
        return check;
    constexpr const char* kSql = "SELECT coalesce(max(version), 0) FROM kestrune_schema";
    Result result = Exec(conn_, kSql);
    if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && Connect(check.error))
        result = Exec(conn_, kSql);
    check.connected = PQstatus(conn_) == CONNECTION_OK;
    if (!Succeeded(result)) {
        check.error = "no schema: " + ErrorOf(conn_, result);
        return check;
    }
    check.schemaVersion = static_cast<int>(std::strtol(PQgetvalue(result.get(), 0, 0), nullptr, 10));
    for (const Right& right : kRights) {
        result = Exec(conn_,
                      right.sequence ? "SELECT has_sequence_privilege($1, $2)" : "SELECT has_table_privilege($1, $2)",
                      {Text(right.object), Text(right.privilege)});
        if (!Succeeded(result) || std::string_view(PQgetvalue(result.get(), 0, 0)) != "t")
            check.missingRights.push_back(std::string(right.privilege) + " on " + right.object);
    }
    return check;
}

std::vector<std::string> DatabaseStore::RecordsOfSerial(const std::string& serialNumber, std::string& error)
{
    std::vector<std::string> found;
    if (!serialNumber.empty())
        ScanRecords(serialNumber, [&found](std::string_view record) { found.emplace_back(record); }, error);
    return found;
}

bool DatabaseStore::ScanRecords(const std::string& serialNumber, const std::function<void(std::string_view)>& found,
                                std::string& error)
{
    if (!Connect(error))
        return false;
    // Row by row: the whole table may hold millions.
    const std::string sql = std::string("SELECT record FROM production_records") +
                            (serialNumber.empty() ? "" : " WHERE serial_key = $1") + " ORDER BY id";
    std::vector<Param> params;
    if (!serialNumber.empty())
        params.push_back(Text(DatabaseText(SerialKey(serialNumber))));
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const Param& p : params)
        values.push_back(p.value->c_str());
    bool ok = false;
    std::size_t rows = 0;
    // A connection the server dropped since the last command gets one more try.
    for (int attempt = 0; attempt < 2 && !ok && rows == 0; ++attempt) {
        if (attempt > 0 && (PQstatus(conn_) == CONNECTION_OK || !Connect(error)))
            break;
        if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 1) != 1) {
            error = "the database cannot be read: " + OneLine(PQerrorMessage(conn_));
            continue;
        }
        PQsetSingleRowMode(conn_);
        ok = true;
        while (PGresult* raw = PQgetResult(conn_)) {
            Result result(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE) {
                ++rows;
                found(std::string_view(PQgetvalue(raw, 0, 0), static_cast<std::size_t>(PQgetlength(raw, 0, 0))));
            } else if (status != PGRES_TUPLES_OK && ok) {
                ok = false;
                error = "the database cannot be read: " + ErrorOf(conn_, result);
            }
        }
    }
    if (ok)
        error.clear();
    return ok;
}

void DatabaseStore::AddBackup(const std::string& converter, const std::string& name, const std::string& content)
{
    std::string error;
    if (!Connect(error))
        return;
    (void)Exec(conn_,
               "INSERT INTO backups (converter_serial, file_name, computer, content, sha256) "
               "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (converter_serial, file_name) DO NOTHING",
               {Text(DatabaseText(converter)), Text(DatabaseText(name)), Text(DatabaseText(platform::GetComputerName())),
                Bytes(content),
                Text(platform::Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size())))});
}

std::vector<std::pair<std::string, std::string>> DatabaseStore::StoredBackups()
{
    std::vector<std::pair<std::string, std::string>> stored;
    std::string error;
    if (!Connect(error))
        return stored;
    constexpr const char* kSql = "SELECT converter_serial, file_name FROM backups ORDER BY converter_serial, id";
    Result result = Exec(conn_, kSql);
    if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && Connect(error))
        result = Exec(conn_, kSql);
    for (int row = 0; Succeeded(result) && row < PQntuples(result.get()); ++row) {
        std::string converter = PQgetvalue(result.get(), row, 0);
        std::string name = PQgetvalue(result.get(), row, 1);
        // Names become paths: nothing that leaves the backup folder.
        auto safe = [](const std::string& part) {
            return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos;
        };
        if (safe(converter) && safe(name))
            stored.emplace_back(std::move(converter), std::move(name));
    }
    return stored;
}

std::optional<std::string> DatabaseStore::FetchBackup(const std::string& converter, const std::string& name)
{
    std::string error;
    if (!Connect(error))
        return std::nullopt;
    Result result(PQexecParams(conn_, "SELECT content FROM backups WHERE converter_serial = $1 AND file_name = $2",
                               2, nullptr,
                               std::array<const char*, 2>{DatabaseText(converter).c_str(), DatabaseText(name).c_str()}.data(), nullptr,
                               nullptr, 1));
    if (!Succeeded(result) || PQntuples(result.get()) != 1)
        return std::nullopt;
    return std::string(PQgetvalue(result.get(), 0, 0), static_cast<std::size_t>(PQgetlength(result.get(), 0, 0)));
}

} // namespace production
