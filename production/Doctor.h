#pragma once
// The doctor's look at what the program would use: the D2XX provider, each converter and
// whether this user may open it, the profile store, the registry file, the production log.
// Read-only; the identify that follows is the front end's.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class CMyCrvUsbDevice;

namespace production {

struct ConverterFacts {
    std::uint32_t index = 0;
    bool readable = false; // its details could be read from the list
    std::uint32_t vendorId = 0, productId = 0, chipType = 0;
    std::string serialNumber, description;
    std::optional<bool> kernelDriverHolds; // nullopt: not a USB device sysfs shows
    bool userMayOpen = false;
    std::string openFailure;                  // why not, when known
    std::optional<unsigned> latencyTimerMs;   // when it opened and told
    std::vector<std::string> names;           // how --device names it: serial:, location:, index:
    bool looksLikeDisplay = false;
};

struct DoctorFacts {
    std::string provider;
    std::vector<ConverterFacts> converters;
    std::string profileStore, profileFolder, registryFile;
    std::string productionLog, productionLogPath, logFolder;
    std::optional<int> chosen; // the converter a command would use (--device or index 0)
};

// Gathers the facts, calling line with each line of the report as it is found (the text the
// report reads, without line ends), up to the production log's folder.
DoctorFacts Examine(CMyCrvUsbDevice& device, const std::function<void(const std::string&)>& line);

// The whole report as the desktop shows it, lines ending in LF: the facts, then (when a
// converter was found) the ready line of an identify. The device's link is closed for the look,
// since a converter this process holds is busy for every other open, and opened again after.
std::string DiagnosticsReport(CMyCrvUsbDevice& device);

} // namespace production
