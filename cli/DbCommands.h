#pragma once
// The shared records database: installed for the run when the profile names one, and the db
// commands that set it up and feed it.
#include <functional>
#include <memory>
#include <string>

#include "cli/CommandLine.h"
#include "records/History.h"

namespace production {
class DatabaseStore;
}

namespace cli {

class RecordsDatabase {
public:
    RecordsDatabase();
    ~RecordsDatabase();
    RecordsDatabase(const RecordsDatabase&) = delete;
    RecordsDatabase& operator=(const RecordsDatabase&) = delete;
    // Installs the profile's database as the records store; "" when there is none or it is
    // installed, else why it cannot be used.
    std::string Install();
    // Records an earlier command could not deliver go now; says so when some still wait.
    void Deliver();

private:
    std::unique_ptr<production::DatabaseStore> store_;
};

int DbCommand(const Invocation& inv);

// The records history lists: the database's when one is installed (narrowed to serial when
// given, through its index), else the log file's. False when they cannot be read; error then
// says why when it is the database.
bool ScanProductionRecords(const std::string& logPath, const std::string& serial, std::string& error,
                           const std::function<void(const records::LogEntry&)>& found);

} // namespace cli
