#pragma once
// The db commands that set up and feed the shared records database, and history's reading of it.
#include <functional>
#include <string>

#include "cli/CommandLine.h"
#include "records/History.h"

namespace cli {

int DbCommand(const Invocation& inv);

// The records history lists: the database's when one is installed (narrowed to serial when
// given, through its index), else the log file's. False when they cannot be read; error then
// says why when it is the database.
bool ScanProductionRecords(const std::string& logPath, const std::string& serial, std::string& error,
                           const std::function<void(const records::LogEntry&)>& found);

} // namespace cli
