#include "production/Database.h"

#include <libpq-fe.h>

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

#include <sys/stat.h>
#include <unistd.h>

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

// The three arrays libpq takes the parameters in; they point into params, which must outlive them.
struct ParamArrays {
    explicit ParamArrays(const std::vector<Param>& params)
    {
        for (const Param& p : params) {
            values.push_back(p.value ? p.value->data() : nullptr);
            lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
            formats.push_back(p.binary ? 1 : 0);
        }
    }
    int Count() const { return static_cast<int>(values.size()); }
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
};

// resultFormat 1: the answer's values as raw bytes.
Result Exec(PGconn* conn, const char* sql, const std::vector<Param>& params = {}, int resultFormat = 0)
{
    const ParamArrays a(params);
    return Result(PQexecParams(conn, sql, a.Count(), nullptr, a.values.data(), a.lengths.data(), a.formats.data(),
                               resultFormat));
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
    if (!platform::RandomBytes(bytes))
        return {};
    return time + Hex(std::string_view(bytes.data(), bytes.size()));
}

// A record's identity is its bytes and which copy of them it is (a station may log the same
// bytes twice in a second): an import and a live insert of the same record meet on that key, in
// either order and at the same time, and the second adds nothing.
constexpr const char* kRecordColumns =
    "record_id, logged_at, logged_unix, station_user, computer, kind, result, device_type, serial_number, "
    "serial_key, section_name, section, record, digest, occurrence";
constexpr const char* kRecordValues = "$2, $3::bigint, $4, $5, $6, $7, $8::integer, $9, $19, $10, $11::jsonb, $12, $13";
constexpr const char* kFirmwareRow =
    "f AS (INSERT INTO firmware_records (record_id, file_name, size, sha256, family, result) "
    "SELECT record_id, $14, $15::bigint, $16, $17::integer, $18::integer FROM r WHERE $6 = 'firmware') "
    "SELECT count(*) FROM r";

// A record made here: the next copy of its bytes that stations made, under the id it was made
// with. An imported copy of it holds the number already, whether it came first or comes later.
const std::string& InsertSql()
{
    static const std::string sql = std::string("WITH r AS (INSERT INTO production_records (") + kRecordColumns +
                                   ") SELECT $1, " + kRecordValues +
                                   ", (SELECT count(*) FROM production_records WHERE digest = $13 "
                                   "AND record_id NOT LIKE 'log-%') + 1 "
                                   "ON CONFLICT DO NOTHING RETURNING record_id), " +
                                   kFirmwareRow;
    return sql;
}

// A record of an imported log: the n-th copy of its bytes in the log is their n-th copy, under an
// id every import of the log gives it. The copies seen so far are counted on the server, so
// that the import's memory does not grow with the log.
const std::string& ImportSql()
{
    static const std::string sql =
        std::string("WITH n AS (INSERT INTO kestrune_import_copies AS c (digest, copies) VALUES ($13, 1) "
                    "ON CONFLICT (digest) DO UPDATE SET copies = c.copies + 1 RETURNING copies), "
                    "r AS (INSERT INTO production_records (") +
        kRecordColumns + ") SELECT $1 || '-' || n.copies, " + kRecordValues +
        ", n.copies FROM n ON CONFLICT DO NOTHING RETURNING record_id), " + kFirmwareRow;
    return sql;
}

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

std::vector<Param> InsertParams(const std::string& id, std::string_view record, const std::string& digest)
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
                         Bytes(digest)};
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

// The running number of a display's serial number ("0042.0001.001": 42); none for a converter's.
std::optional<std::int64_t> RunningNumber(const std::string& serial)
{
    const std::size_t dot = serial.find('.');
    if (dot == 0 || dot > 5 || dot == std::string::npos)
        return std::nullopt;
    std::int64_t number = 0;
    for (std::size_t i = 0; i < dot; ++i) {
        if (serial[i] < '0' || serial[i] > '9')
            return std::nullopt;
        number = number * 10 + (serial[i] - '0');
    }
    return number;
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

// Which copy of its bytes each record is, numbered in the order they arrived.
constexpr const char* kSchemaV2 = R"SQL(
ALTER TABLE production_records ADD COLUMN occurrence integer;
UPDATE production_records p SET occurrence = n.copy
    FROM (SELECT id, row_number() OVER (PARTITION BY digest ORDER BY id) AS copy FROM production_records) n
    WHERE p.id = n.id;
ALTER TABLE production_records ALTER COLUMN occurrence SET NOT NULL;
CREATE UNIQUE INDEX production_records_identity ON production_records (digest, occurrence);
DROP INDEX production_records_digest;
)SQL";

constexpr SchemaStep kSchemaSteps[] = {{1, kSchemaV1}, {2, kSchemaV2}};
static_assert(std::size(kSchemaSteps) == kSchemaVersion);

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
// A converter backup: its converter folder, NUL, its name, NUL, its text (names of files hold no NUL).
constexpr std::string_view kBackupSuffix = ".bak";
static_assert(kBackupSuffix.size() == kSpoolSuffix.size());

// Half written by a station killed at that moment: its record was never given out as kept.
bool IncomingAbandoned(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(path, error)))
        return false;
    const fs::file_time_type written = fs::last_write_time(path, error);
    return !error && written < fs::file_time_type::clock::now() - std::chrono::minutes(10);
}

// Made here and for this user alone: another account's files must not become this station's records
// or backups. Empty when it is, or does not exist yet.
std::string SpoolRefused(const std::string& folder)
{
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0)
        return {};
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "the spool folder " + folder + " is not this user's own or others can write to it; it is not used";
    return {};
}

// A spool file this user wrote: a plain file of its own, not a link or another's.
bool OwnRegularFile(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

// One record from its lead-in to its last line's end, as a station spools it; not a cut one.
bool WholeRecord(std::string_view text)
{
    RecordColumns columns;
    const auto records = SplitLog(text);
    return !text.empty() && text.back() == '\n' && records.size() == 1 && records.front().size() == text.size() &&
           ParseRecord(text, columns);
}

} // namespace

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
        // A row or table another session holds ends in a failure the operator sees, not a wait for ever.
        Result limits(PQexec(conn_, "SET lock_timeout = '5s'; SET statement_timeout = '30s'"));
        Result version(PQexec(conn_, "SELECT coalesce(max(version), 0) FROM kestrune_schema"));
        schemaVersion_ = Succeeded(version) ? static_cast<int>(std::strtol(PQgetvalue(version.get(), 0, 0), nullptr, 10)) : 0;
        return true;
    }
    error = "the database cannot be reached: " + OneLine(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
    return false;
}

bool DatabaseStore::ConnectToWrite(std::string& error)
{
    if (!Connect(error))
        return false;
    if (schemaVersion_ <= kSchemaVersion)
        return true;
    error = "the database's schema is version " + std::to_string(schemaVersion_) + ", newer than this program's (" +
            std::to_string(kSchemaVersion) + ")";
    return false;
}

records::Reservation DatabaseStore::ReserveSerial(std::int32_t deviceCode, std::int64_t floor, std::int64_t maxNumber)
{
    records::Reservation reservation;
    if (!ConnectToWrite(reservation.error))
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
    if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && ConnectToWrite(reservation.error))
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
    if (!ConnectToWrite(error))
        return error;
    const std::vector<Param> params = InsertParams(id, record, Digest(record));
    for (int attempt = 0; attempt < 3; ++attempt) {
        Result result = Exec(conn_, InsertSql().c_str(), params);
        if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && ConnectToWrite(error))
            result = Exec(conn_, InsertSql().c_str(), params);
        if (!Succeeded(result))
            return "the database did not take the record: " + ErrorOf(conn_, result);
        if (std::string_view(PQgetvalue(result.get(), 0, 0)) != "0")
            return {};
        // Not added: there already under its id (delivered before), or an import brought the
        // same bytes from the log. Else another copy of them came first: take the next.
        result = Exec(conn_,
                      "SELECT 1 FROM production_records WHERE record_id = $1 "
                      "OR (digest = $2 AND record_id LIKE 'log-%') LIMIT 1",
                      {params[0], params[12]});
        if (!Succeeded(result))
            return "the database did not take the record: " + ErrorOf(conn_, result);
        if (PQntuples(result.get()) == 1)
            return {};
    }
    return "the database did not take the record: its copies keep changing";
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
    const bool kept = platform::CreatePrivateFolders(SpoolFolder()) && SpoolRefused(SpoolFolder()).empty() &&
                      WriteFileDurably(SpoolFolder(), id + std::string(kSpoolSuffix), record);
    outcome.error = Insert(id, record);
    if (outcome.error.empty()) {
        if (kept)
            platform::RemoveFile(spooled);
        return outcome;
    }
    outcome.stored = false;
    outcome.kept = kept;
    return outcome;
}

SyncResult DatabaseStore::Sync()
{
    SyncResult sync;
    sync.error = SpoolRefused(SpoolFolder());
    if (!sync.error.empty())
        return sync;
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(SpoolFolder(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > kSpoolSuffix.size() && (name.ends_with(kSpoolSuffix) || name.ends_with(kBackupSuffix)) &&
            name.front() != '.')
            files.push_back(entry.path());
        if (name.starts_with(".incoming-") && IncomingAbandoned(entry.path().string()))
            platform::RemoveFile(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        if (!OwnRegularFile(path.string())) {
            ++(path.string().ends_with(kBackupSuffix) ? sync.backupsWaiting : sync.waiting);
            continue;
        }
        platform::FileStatus status = platform::FileStatus::Ok;
        platform::File file = platform::File::Open(path.string(), platform::FileAccess::ReadWrite, status, false);
        if (!file.IsOpen())
            continue;
        // Another delivery has it.
        if (!platform::LockFileRange(file, 0, 0, 0)) {
            ++(path.string().ends_with(kBackupSuffix) ? sync.backupsWaiting : sync.waiting);
            continue;
        }
        std::string record;
        const bool read = platform::ReadRegularFile(path.string(), record) == platform::FileStatus::Ok;
        std::string name = path.filename().string();
        const bool backup = name.ends_with(kBackupSuffix);
        name.resize(name.size() - kSpoolSuffix.size());
        std::string why = "not delivered";
        const bool damaged = backup ? std::count(record.begin(), record.end(), '\0') < 2 : !WholeRecord(record);
        if (sync.error.empty() && read && !damaged)
            why = backup ? InsertSpooledBackup(record) : Insert(name, record);
        // Still there after the lock: another delivery may have removed it in between.
        if (why.empty() && platform::RemoveFile(path.string())) {
            ++(backup ? sync.backupsDelivered : sync.delivered);
        } else if (!why.empty()) {
            // One the database refused; not one this station cannot read, which must not hold up the others.
            if (sync.error.empty() && read && !damaged)
                sync.error = why;
            ++(backup ? sync.backupsWaiting : sync.waiting);
        }
    }
    return sync;
}

std::span<const SchemaStep> SchemaSteps()
{
    return kSchemaSteps;
}

std::string DatabaseStore::Init()
{
    return Upgrade(SchemaSteps());
}

std::string DatabaseStore::Upgrade(std::span<const SchemaStep> steps)
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
    // An upgrade of millions of rows, or a wait for another's db init, is no stuck station.
    if (error.empty())
        error = run("SET LOCAL lock_timeout = 0; SET LOCAL statement_timeout = 0");
    // Before the version table exists too: two stations' db init at once take turns.
    if (error.empty())
        error = run("SELECT pg_advisory_xact_lock(hashtext('kestrune schema'))");
    if (error.empty())
        error = run("CREATE TABLE IF NOT EXISTS kestrune_schema (version integer NOT NULL)");
    int version = 0;
    if (error.empty()) {
        Result result = Exec(conn_, "SELECT coalesce(max(version), 0) FROM kestrune_schema");
        if (Succeeded(result))
            version = static_cast<int>(std::strtol(PQgetvalue(result.get(), 0, 0), nullptr, 10));
        else
            error = ErrorOf(conn_, result);
    }
    const int target = steps.empty() ? 0 : steps.back().version;
    if (error.empty() && version > target)
        error = "the database's schema is version " + std::to_string(version) + ", newer than this program's (" +
                std::to_string(target) + ")";
    for (const SchemaStep& step : steps) {
        if (!error.empty() || step.version <= version)
            continue;
        if (step.version != version + 1)
            error = "no way from schema version " + std::to_string(version) + " to " + std::to_string(step.version);
        else
            error = run(step.sql);
        version = step.version;
    }
    if (error.empty()) {
        error = run("DELETE FROM kestrune_schema");
        if (error.empty()) {
            Result result = Exec(conn_, "INSERT INTO kestrune_schema (version) VALUES ($1::integer)",
                                 {Text(std::to_string(version))});
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
    std::error_code error;
    const std::filesystem::file_status info = std::filesystem::status(path, error);
    const bool exists = std::filesystem::exists(info);
    if (!exists || !std::filesystem::is_regular_file(info) || error) {
        import.error = path + (exists ? ": not a regular file" : ": cannot be read");
        return import;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        import.error = path + ": cannot be read";
        return import;
    }
    if (!ConnectToWrite(import.error))
        return import;
    auto fail = [&](const std::string& why) {
        import.error = "the log was not imported: " + why;
        import.inserted = 0;
        // Answers still pending keep the connection in the pipeline: the server rolls back when it ends.
        if (PQexitPipelineMode(conn_) != 1) {
            PQfinish(conn_);
            conn_ = nullptr;
            return import;
        }
        Exec(conn_, "ROLLBACK");
        Exec(conn_, "DEALLOCATE kestrune_import");
        return import;
    };
    for (const char* sql : {"BEGIN", "SET LOCAL lock_timeout = 0",
                            // Two imports at once would count each other's copies.
                            "SELECT pg_advisory_xact_lock(hashtext('kestrune import'))",
                            "CREATE TEMPORARY TABLE kestrune_import_copies (digest bytea PRIMARY KEY, "
                            "copies integer NOT NULL) ON COMMIT DROP"}) {
        Result result = Exec(conn_, sql);
        if (!Succeeded(result))
            return fail(ErrorOf(conn_, result));
    }
    Result prepared(PQprepare(conn_, "kestrune_import", ImportSql().c_str(), 0, nullptr));
    if (!Succeeded(prepared))
        return fail(ErrorOf(conn_, prepared));
    // Batches in a pipeline: a log of hundreds of MB is not a round trip per record.
    if (PQenterPipelineMode(conn_) != 1)
        return fail(OneLine(PQerrorMessage(conn_)));
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
    std::size_t sent = 0;
    // The highest running number the log gave per device code: the counters go on from there.
    std::map<std::int64_t, std::int64_t> highest;
    auto send = [&](std::string_view record) {
        const std::string digest = Digest(record);
        ++import.records;
        // The same bytes at the same place among their copies: the same id every import.
        const std::vector<Param> params = InsertParams("log-" + Hex(digest), record, digest);
        if (params[7].value && params[8].value) {
            const std::int64_t code = std::strtoll(params[7].value->c_str(), nullptr, 10);
            const auto number = RunningNumber(*params[8].value);
            if (number && code >= 0 && code <= 255)
                highest[code] = std::max(highest[code], *number);
        }
        const ParamArrays a(params);
        if (PQsendQueryPrepared(conn_, "kestrune_import", a.Count(), a.values.data(), a.lengths.data(),
                                a.formats.data(), 0) != 1) {
            failure = OneLine(PQerrorMessage(conn_));
            return false;
        }
        if (++sent % kBatch == 0) {
            if (PQpipelineSync(conn_) != 1)
                failure = OneLine(PQerrorMessage(conn_));
            else
                collect();
        }
        return failure.empty();
    };
    std::string unread;
    if (!ForEachRecord(in, send, unread) && failure.empty())
        failure = path + ": " + unread;
    if (failure.empty() && sent % kBatch != 0) {
        if (PQpipelineSync(conn_) != 1)
            failure = OneLine(PQerrorMessage(conn_));
        else
            collect();
    }
    if (!failure.empty())
        return fail(failure);
    (void)PQexitPipelineMode(conn_);
    for (const auto& [code, number] : highest) {
        Result raised = Exec(conn_,
                             "INSERT INTO serial_counters AS c (device_code, last_number) VALUES ($1::integer, $2::bigint) "
                             "ON CONFLICT (device_code) DO UPDATE SET last_number = GREATEST(c.last_number, $2::bigint)",
                             {Text(std::to_string(code)), Text(std::to_string(number))});
        if (!Succeeded(raised))
            return fail(ErrorOf(conn_, raised));
    }
    Result result = Exec(conn_, "COMMIT");
    if (!Succeeded(result))
        return fail(ErrorOf(conn_, result));
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
    const ParamArrays a(params);
    bool ok = false;
    std::size_t rows = 0;
    // A connection the server dropped since the last command gets one more try.
    for (int attempt = 0; attempt < 2 && !ok && rows == 0; ++attempt) {
        if (attempt > 0 && (PQstatus(conn_) == CONNECTION_OK || !Connect(error)))
            break;
        if (PQsendQueryParams(conn_, sql.c_str(), a.Count(), nullptr, a.values.data(), a.lengths.data(),
                              a.formats.data(), 1) != 1) {
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

std::string DatabaseStore::InsertBackup(const std::string& converter, const std::string& name,
                                        const std::string& content)
{
    std::string error;
    if (!ConnectToWrite(error))
        return error;
    // The same converter and name is the same backup: a second delivery adds nothing.
    constexpr const char* kSql = "INSERT INTO backups (converter_serial, file_name, computer, content, sha256) "
                                 "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (converter_serial, file_name) DO NOTHING";
    const std::vector<Param> params{
        Text(DatabaseText(converter)), Text(DatabaseText(name)), Text(DatabaseText(platform::GetComputerName())),
        Bytes(content),
        Text(platform::Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size())))};
    Result result = Exec(conn_, kSql, params);
    if (!Succeeded(result) && PQstatus(conn_) != CONNECTION_OK && ConnectToWrite(error))
        result = Exec(conn_, kSql, params);
    return Succeeded(result) ? std::string() : "the database did not take the backup: " + ErrorOf(conn_, result);
}

std::string DatabaseStore::InsertSpooledBackup(const std::string& spooled)
{
    // Holds two NULs: Sync checked.
    const std::size_t first = spooled.find('\0');
    const std::size_t second = spooled.find('\0', first + 1);
    return InsertBackup(spooled.substr(0, first), spooled.substr(first + 1, second - first - 1),
                        spooled.substr(second + 1));
}

void DatabaseStore::AddBackup(const std::string& converter, const std::string& name, const std::string& content)
{
    // Kept first, as records are: a copy the database refuses or cannot take now arrives later.
    const std::string id = NewRecordId();
    const std::string file = id + std::string(kBackupSuffix);
    const bool kept = !id.empty() && converter.find('\0') == std::string::npos &&
                      name.find('\0') == std::string::npos && platform::CreatePrivateFolders(SpoolFolder()) &&
                      SpoolRefused(SpoolFolder()).empty() &&
                      WriteFileDurably(SpoolFolder(), file, converter + '\0' + name + '\0' + content);
    if (InsertBackup(converter, name, content).empty() && kept)
        platform::RemoveFile(SpoolFolder() + "/" + file);
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
    Result result = Exec(conn_, "SELECT content FROM backups WHERE converter_serial = $1 AND file_name = $2",
                         {Text(DatabaseText(converter)), Text(DatabaseText(name))}, 1);
    if (!Succeeded(result) || PQntuples(result.get()) != 1)
        return std::nullopt;
    return std::string(PQgetvalue(result.get(), 0, 0), static_cast<std::size_t>(PQgetlength(result.get(), 0, 0)));
}

} // namespace production
