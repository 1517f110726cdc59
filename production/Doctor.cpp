#include "production/Doctor.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "link/ConverterRules.h"
#include "link/D2xxLibrary.h"
#include "link/DeviceSelection.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/SafeFile.h"
#include "platform/System.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace production {

namespace {

namespace fs = std::filesystem;

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::string ChipName(d2xx::DWORD type)
{
    const char* name = d2xx::ChipName(type);
    return std::to_string(type) + " (" + (name ? name : "not one the program knows") +
           (name && !d2xx::EepromWritable(type) ? ", never written" : "") + ")";
}

std::string FirstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
}

// Whether the kernel's serial driver holds the converter, from sysfs: nullopt when the
// converter is not a USB device of this machine (or sysfs cannot be read).
std::optional<bool> HeldByKernelDriver(unsigned productId, const std::string& serial)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", error)) {
        const fs::path& dir = entry.path();
        // The list gives a long serial cut to 15 characters; sysfs has it whole.
        if (FirstLine(dir / "idVendor") != "0403" || FirstLine(dir / "idProduct") != Hex4(productId) ||
            !d2xx::SerialNames(serial, FirstLine(dir / "serial")))
            continue;
        const fs::path driver = dir / (dir.filename().string() + ":1.0") / "driver";
        std::error_code linkError;
        const fs::path target = fs::read_symlink(driver, linkError);
        return !linkError && target.filename() == "ftdi_sio";
    }
    return std::nullopt;
}

// The nearest folder that exists on the way to a file's folder, and whether this user may
// write there: the log's and the profile store's folders are created when first needed.
std::string FolderState(const std::string& local)
{
    fs::path folder = fs::path(local).parent_path();
    if (folder.empty())
        folder = ".";
    std::error_code error;
    if (fs::is_directory(folder, error))
        return "folder " + folder.string() + (platform::FolderWritable(folder.string()) ? " is writable" : " is NOT writable");
    fs::path existing = folder;
    while (!existing.empty() && existing != existing.root_path() && !fs::is_directory(existing, error))
        existing = existing.parent_path();
    if (existing.empty())
        existing = ".";
    return "folder " + folder.string() + " does not exist yet; " + existing.string() +
           (platform::FolderWritable(existing.string()) ? " is writable, so it can be created"
                                                  : " is NOT writable, so it cannot be created");
}

std::string FileState(const std::string& path)
{
    std::error_code error;
    return path + (fs::exists(path, error) ? "" : " (does not exist)");
}

using Line = std::function<void(const std::string&)>;

// One converter of the list.
ConverterFacts ReportConverter(D2xxLibrary& lib, d2xx::DWORD index, const Line& line)
{
    ConverterFacts converter;
    converter.index = index;
    d2xx::DWORD flags = 0, type = 0, id = 0, location = 0;
    char serial[16] = {};
    char description[64] = {};
    d2xx::FT_HANDLE handle = nullptr;
    if (lib.GetDeviceInfoDetail(index, &flags, &type, &id, &location, serial, description, &handle) != d2xx::FT_OK) {
        line("Converter " + std::to_string(index + 1) + ": its details cannot be read");
        return converter;
    }
    const unsigned productId = id & 0xFFFF;
    line("Converter " + std::to_string(index + 1) + ": USB ID " + Hex4(id >> 16) + ":" + Hex4(productId) +
         ", serial number \"" + serial + "\", description \"" + description + "\", chip type " + ChipName(type));
    converter.readable = true;
    converter.vendorId = id >> 16;
    converter.productId = productId;
    converter.serialNumber = serial;
    converter.description = description;
    converter.chipType = type;
    // Asked before the open, which takes the converter from the kernel's driver.
    converter.kernelDriverHolds = HeldByKernelDriver(productId, serial);
    const std::optional<bool>& held = converter.kernelDriverHolds;
    line(std::string("  kernel driver ftdi_sio: ") +
         (!held ? "not known (not found in /sys/bus/usb/devices)" : *held ? "holds it" : "does not hold it"));

    const d2xx::FT_HANDLE h = lib.W32_CreateFile(serial, d2xx::GENERIC_READ | d2xx::GENERIC_WRITE, 0, nullptr,
                                                 d2xx::OPEN_EXISTING, d2xx::FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    if (!d2xx::IsValidHandle(h)) {
        CCrvUsbDevice probe;
        probe.OpenFailureCause = lib.OpenFailure();
        converter.openFailure = probe.OpenFailureSentence();
        line("  this user may open it: no" + (converter.openFailure.empty() ? std::string() : " - " + converter.openFailure));
        return converter;
    }
    d2xx::UCHAR latency = 0;
    line("  this user may open it: yes");
    converter.userMayOpen = true;
    if (lib.GetLatencyTimer(h, &latency) == d2xx::FT_OK) converter.latencyTimerMs = latency;
    line(converter.latencyTimerMs ? "  latency timer: " + std::to_string(latency) + " ms"
                                  : std::string("  latency timer: not known"));
    lib.W32_CloseHandle(h);
    return converter;
}

// How a bench names the converter, and whether it is a display's or a stranger's.
void NameConverter(const converters::ListedConverter& c, ConverterFacts& facts, const Line& line)
{
    const std::string serial = "serial:" + c.serial;
    facts.names = {serial, c.LocationName(), "index:" + std::to_string(c.index)};
    facts.looksLikeDisplay = c.LooksLikeDisplay();
    line("  --device " + serial + " | " + c.LocationName() + " | index:" + std::to_string(c.index) +
         "; looks like a display's converter: " + (c.LooksLikeDisplay() ? "yes" : "no"));
}

// Which converter a command uses, with --device (or KESTRUNE_DEVICE) or without.
std::optional<int> ReportChoice(const std::vector<converters::ListedConverter>& listed, const Line& line)
{
    const converters::DeviceSelection& selection = converters::CurrentDeviceSelection();
    const int chosen = converters::SelectConverter(listed, selection);
    if (listed.empty()) return chosen < 0 ? std::nullopt : std::optional<int>(chosen);
    const std::string how = selection.Named() ? "With --device " + selection.Text() : std::string("Without --device");
    if (chosen < 0) {
        line(how + (chosen == converters::kAmbiguousSelection ? " no converter is used: several match."
                                                               : " no converter is used: none matches."));
        return std::nullopt;
    }
    line(how + " commands use converter " + std::to_string(chosen + 1) + " (serial:" +
         listed[static_cast<std::size_t>(chosen)].serial + ")" +
         (!selection.Named() && listed.size() > 1 ? " to read; writing commands are refused." : "."));
    return chosen;
}

} // namespace

DoctorFacts Examine(CMyCrvUsbDevice& device, const Line& line)
{
    DoctorFacts facts;
    facts.provider = D2xxLibrary::DescribeProvider();
    line("D2XX provider: " + facts.provider);
    d2xx::DWORD count = 0;
    {
        D2xxLibrary lib;
        if (!lib.Bind()) {
            line(lib.IsLoaded() ? "The D2XX provider lacks functions the program needs."
                                : "No D2XX provider could be loaded.");
        } else if (lib.ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) != d2xx::FT_OK) {
            count = 0;
        }
        line("Converters found: " + std::to_string(count));
        const std::vector<converters::ListedConverter> listed = converters::ListConverters(lib);
        for (d2xx::DWORD i = 0; i < count; ++i) {
            facts.converters.push_back(ReportConverter(lib, i, line));
            for (const converters::ListedConverter& c : listed)
                if (c.index == static_cast<int>(i)) NameConverter(c, facts.converters.back(), line);
        }
        facts.chosen = ReportChoice(listed, line);
        lib.Free();
    }

    facts.profileStore = platform::ProfileStorePath();
    facts.profileFolder = FolderState(facts.profileStore);
    facts.registryFile = platform::RegistryFilePath();
    facts.productionLog = device.LogFileSetting();
    facts.productionLogPath = platform::MapPath(facts.productionLog);
    facts.logFolder = FolderState(facts.productionLogPath);
    // Every unit would stop at it: say so before the first one does.
    if (const std::string refused = platform::CheckLinkInSharedFolder(facts.productionLogPath); !refused.empty())
        facts.logFolder += "; the log is NOT usable (" + refused + ")";
    line("Profile store: " + FileState(facts.profileStore));
    line("  " + facts.profileFolder);
    line("Registry file: " + FileState(facts.registryFile));
    line("Production log: " + facts.productionLog +
         (facts.productionLogPath != facts.productionLog ? " (" + facts.productionLogPath + ")" : std::string()));
    line("  " + facts.logFolder);
    return facts;
}

std::string DiagnosticsReport(CMyCrvUsbDevice& device)
{
    std::string report;
    device.Disconnect();
    const DoctorFacts facts = Examine(device, [&](const std::string& line) { report += line + "\n"; });
    if (facts.converters.empty()) return report + "Identify: not tried, no converter was found.\n";
    report += "Identify:\n";
    std::string line = LoadStdString(IDS_IDLE_MESSAGE);
    if (device.ConnectDevice(FALSE) && device.SendIdentifyRequest() && device.ReadIdentityReply(2000) != -1) {
        std::string identity;
        if (device.FormatIdentityLine(identity)) line += " - " + identity;
    } else {
        line += " - " + LoadStdString(IDS_ERROR_WAITING_ID);
    }
    return report + line + "\n";
}

} // namespace production
