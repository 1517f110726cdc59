#include "cli/DbCommands.h"

#include <cstdio>

#include "cli/Commands.h"
#include "cli/Output.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "production/Database.h"

namespace cli {

namespace {

void Complain(const std::string& text)
{
    std::fprintf(stderr, "kestrune-cli: %s\n", text.c_str());
}

} // namespace

bool ScanProductionRecords(const std::string& logPath, const std::string& serial, std::string& error,
                           const std::function<void(const records::LogEntry&)>& found)
{
    auto* store = dynamic_cast<production::DatabaseStore*>(records::CurrentRecordsStore());
    if (store == nullptr) {
        // Another user's link would decide what this account's history shows.
        if (std::string refused = platform::CheckLinkInSharedFolder(logPath); !refused.empty()) {
            error = std::move(refused);
            return false;
        }
        return records::ScanLogFile(logPath, found);
    }
    return store->ScanRecords(serial, [&found](std::string_view record) { records::ScanLog(record, found); }, error);
}

int DbCommand(const Invocation& inv)
{
    if (!production::kDatabaseInBuild) {
        Complain("the database store is not in this build");
        return kExitUsage;
    }
    auto* store = dynamic_cast<production::DatabaseStore*>(records::CurrentRecordsStore());
    if (store == nullptr) {
        Complain("no records database is set up: [Settings] Database= in " + platform::ProfileStorePath());
        return kExitFailed;
    }
    auto& result = Out().Result();
    switch (inv.command) {
    case Command::DbInit: {
        const std::string error = store->Init();
        if (!error.empty()) {
            Complain(error);
            return kExitFailed;
        }
        Out().Text("The database's schema is at version " + std::to_string(production::kSchemaVersion) + ".");
        result["schemaVersion"] = production::kSchemaVersion;
        return kExitOk;
    }
    case Command::DbImport: {
        const production::ImportResult import = store->Import(inv.file);
        if (!import.error.empty()) {
            Complain(import.error);
            return kExitFailed;
        }
        Out().Text(std::to_string(import.records) + " records in the log, " + std::to_string(import.inserted) +
                   " of them added to the database.");
        result["records"] = import.records;
        result["added"] = import.inserted;
        return kExitOk;
    }
    case Command::DbSync: {
        const production::SyncResult sync = store->Sync();
        Out().Text(std::to_string(sync.delivered) + " records delivered, " + std::to_string(sync.waiting) +
                   " waiting.");
        if (sync.backupsDelivered + sync.backupsWaiting > 0)
            Out().Text(std::to_string(sync.backupsDelivered) + " backups delivered, " +
                       std::to_string(sync.backupsWaiting) + " waiting.");
        result["delivered"] = sync.delivered;
        result["waiting"] = sync.waiting;
        result["backupsDelivered"] = sync.backupsDelivered;
        result["backupsWaiting"] = sync.backupsWaiting;
        if (sync.waiting == 0 && sync.backupsWaiting == 0)
            return kExitOk;
        Complain(sync.error.empty() ? "records are still waiting" : sync.error);
        return kExitFailed;
    }
    case Command::DbCheck: {
        const production::CheckResult check = store->Check();
        result["connected"] = check.connected;
        result["schemaVersion"] = check.schemaVersion;
        result["missingRights"] = check.missingRights;
        if (!check.connected) {
            Complain(check.error);
            return kExitFailed;
        }
        Out().Text("Database: connected");
        Out().Text("Schema version: " + std::to_string(check.schemaVersion) + " (this program's: " +
                   std::to_string(production::kSchemaVersion) + ")");
        if (check.schemaVersion == 0) {
            Complain(check.error);
            return kExitFailed;
        }
        std::string missing;
        for (const std::string& right : check.missingRights)
            missing += (missing.empty() ? "" : ", ") + right;
        Out().Text("Rights: " + (missing.empty() ? std::string("all the program needs") : "missing " + missing));
        if (!check.error.empty())
            Complain(check.error);
        return check.schemaVersion == production::kSchemaVersion && check.missingRights.empty() ? kExitOk
                                                                                               : kExitFailed;
    }
    default:
        return kExitUsage;
    }
}

} // namespace cli
