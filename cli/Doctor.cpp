#include "cli/Doctor.h"

#include <cstdio>

#include "cli/Output.h"
#include "platform/Profile.h"
#include "production/Database.h"
#include "production/Doctor.h"
#include "records/RecordsStore.h"

namespace cli {

namespace {

// The profile's records database, when it names one: reachable, at this program's schema, and
// with the rights a station needs. False when it is named but not usable.
bool ReportDatabase()
{
    const std::string conninfo = production::DatabaseSetting(platform::ProfileStorePath());
    if (conninfo.empty())
        return true;
    nlohmann::json& database = Out().Result()["database"] = nlohmann::json::object();
    auto* store = dynamic_cast<production::DatabaseStore*>(records::CurrentRecordsStore());
    if (store == nullptr) {
        Out().Text("Records database: NOT usable - the setting cannot be used");
        database["usable"] = false;
        return false;
    }
    const production::CheckResult check = store->Check();
    std::string missing;
    for (const std::string& right : check.missingRights)
        missing += (missing.empty() ? "" : ", ") + right;
    const bool usable = check.connected && check.schemaVersion == production::kSchemaVersion && missing.empty();
    if (!check.connected)
        Out().Text("Records database: NOT reachable - " + check.error);
    else
        Out().Text("Records database: connected, schema version " + std::to_string(check.schemaVersion) +
             " (this program's: " + std::to_string(production::kSchemaVersion) + "), rights: " +
             (check.schemaVersion == 0 ? std::string("not known without the schema (kestrune-cli db init)")
              : missing.empty()        ? std::string("all the program needs")
                                       : "missing " + missing));
    database["usable"] = usable;
    database["connected"] = check.connected;
    database["schemaVersion"] = check.schemaVersion;
    database["missingRights"] = check.missingRights;
    return usable;
}

} // namespace

int Doctor(CMyCrvUsbDevice& theDevice, const std::function<int()>& identify)
{
    const production::DoctorFacts facts =
        production::Examine(theDevice, [](const std::string& line) { Out().Text(line); });
    nlohmann::json& result = Out().Result();
    result["provider"] = facts.provider;
    result["converters"] = nlohmann::json::array();
    for (const production::ConverterFacts& c : facts.converters) {
        nlohmann::json converter = {{"index", c.index}, {"readable", c.readable}};
        if (c.readable) {
            converter["vendorId"] = c.vendorId;
            converter["productId"] = c.productId;
            converter["serialNumber"] = c.serialNumber;
            converter["description"] = c.description;
            converter["chipType"] = c.chipType;
            converter["kernelDriverHolds"] =
                c.kernelDriverHolds ? nlohmann::json(*c.kernelDriverHolds) : nlohmann::json(nullptr);
            converter["userMayOpen"] = c.userMayOpen;
            if (!c.userMayOpen)
                converter["openFailure"] = c.openFailure;
            else
                converter["latencyTimerMs"] =
                    c.latencyTimerMs ? nlohmann::json(*c.latencyTimerMs) : nlohmann::json(nullptr);
        }
        if (!c.names.empty()) {
            converter["names"] = c.names;
            converter["looksLikeDisplay"] = c.looksLikeDisplay;
        }
        result["converters"].push_back(std::move(converter));
    }
    result["chosen"] = facts.chosen ? nlohmann::json(*facts.chosen) : nlohmann::json(nullptr);
    result["profileStore"] = facts.profileStore;
    result["profileFolder"] = facts.profileFolder;
    result["registryFile"] = facts.registryFile;
    result["productionLog"] = facts.productionLog;
    result["productionLogPath"] = facts.productionLogPath;
    result["logFolder"] = facts.logFolder;
    const bool databaseUsable = ReportDatabase();

    if (facts.converters.empty()) {
        Out().Text("Identify: not tried, no converter was found.");
        result["identify"] = nullptr;
        return 3;
    }
    Out().Text("Identify:");
    std::fflush(stdout);
    // Identify reports into the document's top level; here it goes below "identify".
    nlohmann::json report = std::move(result);
    Out().Result() = nlohmann::json::object();
    const int status = identify();
    report["identify"] = std::move(Out().Result());
    Out().Result() = std::move(report);
    return status == 0 && databaseUsable ? 0 : 1;
}

} // namespace cli
