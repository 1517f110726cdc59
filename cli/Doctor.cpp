#include "cli/Doctor.h"

#include <cstdio>

#include "cli/Output.h"
#include "production/Doctor.h"

namespace cli {

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
        result["converters"].push_back(std::move(converter));
    }
    result["profileStore"] = facts.profileStore;
    result["profileFolder"] = facts.profileFolder;
    result["registryFile"] = facts.registryFile;
    result["productionLog"] = facts.productionLog;
    result["productionLogPath"] = facts.productionLogPath;
    result["logFolder"] = facts.logFolder;

    if (facts.converters.empty()) {
        result["identify"] = nullptr;
        return 3;
    }
    std::fflush(stdout);
    // Identify reports into the document's top level; here it goes below "identify".
    nlohmann::json report = std::move(result);
    Out().Result() = nlohmann::json::object();
    const int status = identify();
    report["identify"] = std::move(Out().Result());
    Out().Result() = std::move(report);
    return status == 0 ? 0 : 1;
}

} // namespace cli
