#include "production/DatabaseSetup.h"

#include "platform/Profile.h"
#include "platform/System.h"

namespace production {

std::string DatabaseSetting(const std::string& profilePath)
{
    // A connection string is longer than the usual 255-character value.
    return platform::GetProfileString("Settings", "Database", "", profilePath, 4096);
}

std::string SpoolFolder()
{
    return platform::DataHome() + "/spool";
}


namespace {

// A database that is set up but cannot be used: the numbers must not come from elsewhere.
class UnusableStore : public records::RecordsStore {
public:
    explicit UnusableStore(std::string why) : why_(std::move(why)) {}
    records::Reservation ReserveSerial(std::int32_t, std::int64_t, std::int64_t) override { return {0, why_}; }
    records::StoreOutcome AddRecord(const std::string&) override { return {false, false, why_}; }

private:
    std::string why_;
};

} // namespace

InstalledDatabase::InstalledDatabase() = default;

InstalledDatabase::~InstalledDatabase()
{
    Uninstall();
}

void InstalledDatabase::Uninstall()
{
    records::RecordsStore* mine = store_ ? static_cast<records::RecordsStore*>(store_.get()) : unusable_.get();
    if (mine != nullptr && records::CurrentRecordsStore() == mine)
        records::SetRecordsStore(nullptr);
    store_.reset();
    unusable_.reset();
}

std::string InstalledDatabase::Install(const std::string& profilePath)
{
    Uninstall();
    const std::string conninfo = DatabaseSetting(profilePath);
    if (conninfo.empty())
        return {};
    std::string error;
    store_ = DatabaseStore::Create(conninfo, error);
    if (!store_) {
        unusable_ = std::make_unique<UnusableStore>("the records database: " + error);
        records::SetRecordsStore(unusable_.get());
        return "the records database: " + error;
    }
    records::SetRecordsStore(store_.get());
    return {};
}

std::string InstalledDatabase::Deliver()
{
    if (!store_)
        return {};
    const SyncResult sync = store_->Sync();
    std::string text;
    if (sync.delivered > 0)
        text = std::to_string(sync.delivered) + " waiting production record(s) delivered to the database";
    if (sync.waiting > 0)
        text += (text.empty() ? "" : "; ") + std::to_string(sync.waiting) +
                " production record(s) still wait for the database" +
                (sync.error.empty() ? std::string() : ": " + sync.error);
    if (sync.backupsDelivered > 0)
        text += (text.empty() ? "" : "; ") + std::to_string(sync.backupsDelivered) +
                " waiting converter backup(s) delivered to the database";
    if (sync.backupsWaiting > 0)
        text += (text.empty() ? "" : "; ") + std::to_string(sync.backupsWaiting) +
                " converter backup(s) still wait for the database";
    return text;
}

} // namespace production
