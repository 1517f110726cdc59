#include "production/HistoryQuery.h"

#include "platform/System.h"
#include "records/ProductionLog.h"
#include "records/MyCrvUsbDevice.h"

namespace production {

HistorySource LogOf(CMyCrvUsbDevice& device)
{
    HistorySource log;
    log.stored = device.LogFileSetting();
    log.path = platform::MapPath(log.stored);
    return log;
}

bool ReadHistory(const HistorySource& log, const records::HistoryFilter& filter,
                 const std::function<void(const records::LogEntry&)>& found)
{
    if (platform::PathFileExists(log.path)) records::AppendOrphanedRecords(log.path);
    return records::ScanLogFile(log.path, [&](const records::LogEntry& e) {
        if (records::Matches(e, filter)) found(e);
    });
}

} // namespace production
