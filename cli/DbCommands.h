#pragma once
// The shared records database: installed for the run when the profile names one, and the db
// commands that set it up and feed it.
#include <memory>
#include <string>

#include "cli/CommandLine.h"

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

} // namespace cli
