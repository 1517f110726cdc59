#pragma once
// A display's history from the shared production log: the records of every station that match
// a filter, as the log holds them.
#include <functional>
#include <string>

#include "records/History.h"

class CMyCrvUsbDevice;

namespace production {

struct HistorySource {
    std::string stored; // the log as the settings name it ("C:\LOG\fertigung.log")
    std::string path;   // where it is on this machine
};

// The log the device object's settings name.
HistorySource LogOf(CMyCrvUsbDevice& device);

// Calls found for each matching record, in the log's order (the entry's views live for the
// call only). Writes whose program stopped before logging them are added to the log first, so
// that they belong to the listing too. False when the log cannot be read.
bool ReadHistory(const HistorySource& log, const records::HistoryFilter& filter,
                 const std::function<void(const records::LogEntry&)>& found);

} // namespace production
