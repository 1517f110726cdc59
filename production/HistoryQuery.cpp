#include "production/HistoryQuery.h"

#include "platform/SafeFile.h"
#include "platform/System.h"
#include "records/ProductionLog.h"
#include "records/MyCrvUsbDevice.h"
#include "records/RecordsStore.h"

namespace production {

HistorySource LogOf(CMyCrvUsbDevice& device)
{
    HistorySource log;
    log.stored = device.LogFileSetting();
    log.path = platform::MapPath(log.stored);
    return log;
}

bool ReadHistory(const HistorySource& log, const records::HistoryFilter& filter,
                 const std::function<void(const records::LogEntry&)>& found, std::string* error)
{
    if (platform::PathFileExists(log.path)) records::AppendOrphanedRecords(log.path);
    auto matching = [&](const records::LogEntry& e) {
        if (records::Matches(e, filter)) found(e);
    };
    records::RecordsStore* store = records::CurrentRecordsStore();
    if (store == nullptr || !store->KeepsHistory()) {
        // Another user's link would decide what this account's history shows.
        if (std::string refused = platform::CheckLinkInSharedFolder(log.path); !refused.empty()) {
            if (error != nullptr) *error = std::move(refused);
            return false;
        }
        if (records::ScanLogFile(log.path, matching)) return true;
        if (error != nullptr) *error = log.stored + ": cannot be read";
        return false;
    }
    std::string unread;
    const bool read = store->ScanRecords(
        filter.serial, [&](std::string_view record) { records::ScanLog(record, matching); }, unread);
    if (!read && error != nullptr) *error = unread;
    return read;
}

} // namespace production
