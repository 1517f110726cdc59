#include "cli/Doctor.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include "cli/Output.h"
#include "link/ConverterRules.h"
#include "link/D2xxLibrary.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "production/Database.h"
#include "records/MyCrvUsbDevice.h"
#include "records/RecordsStore.h"
#include "res/Strings.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

void Line(const std::string& text)
{
    Out().Text(text);
}

nlohmann::json& Result() { return Out().Result(); }

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
        return "folder " + folder.string() + (::access(folder.string().c_str(), W_OK) == 0 ? " is writable" : " is NOT writable");
    fs::path existing = folder;
    while (!existing.empty() && existing != existing.root_path() && !fs::is_directory(existing, error))
        existing = existing.parent_path();
    if (existing.empty())
        existing = ".";
    return "folder " + folder.string() + " does not exist yet; " + existing.string() +
           (::access(existing.string().c_str(), W_OK) == 0 ? " is writable, so it can be created"
                                                  : " is NOT writable, so it cannot be created");
}

std::string FileState(const std::string& path)
{
    std::error_code error;
    return path + (fs::exists(path, error) ? "" : " (does not exist)");
}

// One converter of the list; true when this user may open it.
bool ReportConverter(D2xxLibrary& lib, d2xx::DWORD index)
{
    nlohmann::json& converter = Result()["converters"].emplace_back(nlohmann::json::object());
    converter["index"] = index;
    d2xx::DWORD flags = 0, type = 0, id = 0, location = 0;
    char serial[16] = {};
    char description[64] = {};
    d2xx::FT_HANDLE handle = nullptr;
    if (lib.GetDeviceInfoDetail(index, &flags, &type, &id, &location, serial, description, &handle) != d2xx::FT_OK) {
        Line("Converter " + std::to_string(index + 1) + ": its details cannot be read");
        converter["readable"] = false;
        return false;
    }
    const unsigned productId = id & 0xFFFF;
    Line("Converter " + std::to_string(index + 1) + ": USB ID " + Hex4(id >> 16) + ":" + Hex4(productId) +
         ", serial number \"" + serial + "\", description \"" + description + "\", chip type " + ChipName(type));
    // Asked before the open, which takes the converter from the kernel's driver.
    converter["readable"] = true;
    converter["vendorId"] = id >> 16;
    converter["productId"] = productId;
    converter["serialNumber"] = serial;
    converter["description"] = description;
    converter["chipType"] = type;
    const std::optional<bool> held = HeldByKernelDriver(productId, serial);
    converter["kernelDriverHolds"] = held ? nlohmann::json(*held) : nlohmann::json(nullptr);
    Line(std::string("  kernel driver ftdi_sio: ") +
         (!held ? "not known (not found in /sys/bus/usb/devices)" : *held ? "holds it" : "does not hold it"));

    const d2xx::FT_HANDLE h = lib.W32_CreateFile(serial, d2xx::GENERIC_READ | d2xx::GENERIC_WRITE, 0, nullptr,
                                                 d2xx::OPEN_EXISTING, d2xx::FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    if (!d2xx::IsValidHandle(h)) {
        CCrvUsbDevice probe;
        probe.OpenFailureCause = lib.OpenFailure();
        const std::string cause = probe.OpenFailureSentence();
        Line("  this user may open it: no" + (cause.empty() ? std::string() : " - " + cause));
        converter["userMayOpen"] = false;
        converter["openFailure"] = cause;
        return false;
    }
    d2xx::UCHAR latency = 0;
    Line("  this user may open it: yes");
    converter["userMayOpen"] = true;
    const bool latencyKnown = lib.GetLatencyTimer(h, &latency) == d2xx::FT_OK;
    Line(latencyKnown ? "  latency timer: " + std::to_string(latency) + " ms" : std::string("  latency timer: not known"));
    converter["latencyTimerMs"] = latencyKnown ? nlohmann::json(latency) : nlohmann::json(nullptr);
    lib.W32_CloseHandle(h);
    return true;
}

// The profile's records database, when it names one: reachable, at this program's schema, and
// with the rights a station needs. False when it is named but not usable.
bool ReportDatabase()
{
    const std::string conninfo = production::DatabaseSetting(platform::ProfileStorePath());
    if (conninfo.empty())
        return true;
    nlohmann::json& database = Result()["database"] = nlohmann::json::object();
    auto* store = dynamic_cast<production::DatabaseStore*>(records::CurrentRecordsStore());
    if (store == nullptr) {
        Line("Records database: NOT usable - the setting cannot be used");
        database["usable"] = false;
        return false;
    }
    const production::CheckResult check = store->Check();
    std::string missing;
    for (const std::string& right : check.missingRights)
        missing += (missing.empty() ? "" : ", ") + right;
    const bool usable = check.connected && check.schemaVersion == production::kSchemaVersion && missing.empty();
    if (!check.connected)
        Line("Records database: NOT reachable - " + check.error);
    else
        Line("Records database: connected, schema version " + std::to_string(check.schemaVersion) +
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
    Line("D2XX provider: " + D2xxLibrary::DescribeProvider());
    Result()["provider"] = D2xxLibrary::DescribeProvider();
    Result()["converters"] = nlohmann::json::array();
    d2xx::DWORD count = 0;
    {
        D2xxLibrary lib;
        if (!lib.Bind()) {
            Line(lib.IsLoaded() ? "The D2XX provider lacks functions the program needs."
                                : "No D2XX provider could be loaded.");
        } else if (lib.ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) != d2xx::FT_OK) {
            count = 0;
        }
        Line("Converters found: " + std::to_string(count));
        for (d2xx::DWORD i = 0; i < count; ++i)
            ReportConverter(lib, i);
        lib.Free();
    }

    Line("Profile store: " + FileState(platform::ProfileStorePath()));
    Line("  " + FolderState(platform::ProfileStorePath()));
    Line("Registry file: " + FileState(platform::RegistryFilePath()));
    const std::string stored = theDevice.LogFileSetting();
    const std::string local = platform::MapPath(stored);
    Line("Production log: " + stored + (local != stored ? " (" + local + ")" : std::string()));
    Line("  " + FolderState(local));
    Result()["profileStore"] = platform::ProfileStorePath();
    Result()["profileFolder"] = FolderState(platform::ProfileStorePath());
    Result()["registryFile"] = platform::RegistryFilePath();
    Result()["productionLog"] = stored;
    Result()["productionLogPath"] = local;
    Result()["logFolder"] = FolderState(local);
    const bool databaseUsable = ReportDatabase();

    if (count == 0) {
        Line("Identify: not tried, no converter was found.");
        Result()["identify"] = nullptr;
        return 3;
    }
    Line("Identify:");
    std::fflush(stdout);
    // Identify reports into the document's top level; here it goes below "identify".
    nlohmann::json report = std::move(Result());
    Result() = nlohmann::json::object();
    const int status = identify();
    report["identify"] = std::move(Result());
    Result() = std::move(report);
    return status == 0 && databaseUsable ? 0 : 1;
}

} // namespace cli
