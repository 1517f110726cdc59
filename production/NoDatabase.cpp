// The records store of a build without libpq (Windows stations, or a machine without it): no
// store can be made, so none of the members past Create is ever reached.
#include "production/Database.h"

namespace production {

namespace {
constexpr const char* kNotBuilt = "the database store is not in this build";
} // namespace

std::unique_ptr<DatabaseStore> DatabaseStore::Create(const std::string&, std::string& error)
{
    error = kNotBuilt;
    return nullptr;
}

DatabaseStore::~DatabaseStore() = default;

records::Reservation DatabaseStore::ReserveSerial(std::int32_t, std::int64_t, std::int64_t)
{
    return {0, kNotBuilt};
}

records::StoreOutcome DatabaseStore::AddRecord(const std::string&)
{
    return {false, false, kNotBuilt};
}

void DatabaseStore::AddBackup(const std::string&, const std::string&, const std::string&) {}

std::vector<std::pair<std::string, std::string>> DatabaseStore::StoredBackups()
{
    return {};
}

std::optional<std::string> DatabaseStore::FetchBackup(const std::string&, const std::string&)
{
    return std::nullopt;
}

std::string DatabaseStore::Init()
{
    return kNotBuilt;
}

ImportResult DatabaseStore::Import(const std::string&)
{
    ImportResult result;
    result.error = kNotBuilt;
    return result;
}

SyncResult DatabaseStore::Sync()
{
    SyncResult result;
    result.error = kNotBuilt;
    return result;
}

CheckResult DatabaseStore::Check()
{
    return {false, 0, {}, kNotBuilt};
}

bool DatabaseStore::ScanRecords(const std::string&, const std::function<void(std::string_view)>&, std::string& error)
{
    error = kNotBuilt;
    return false;
}

std::vector<std::string> DatabaseStore::RecordsOfSerial(const std::string&, std::string& error)
{
    error = kNotBuilt;
    return {};
}

} // namespace production
