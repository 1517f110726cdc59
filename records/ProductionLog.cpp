#include "records/ProductionLog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/FileLock.h"
#include "platform/LastError.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/System.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
#include "records/RecordsStore.h"
#include "records/SerialStore.h"
#include "records/SettingsFile.h"
#include "platform/TextNumber.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"

namespace records {

namespace {

std::mutex g_sourceMutex;
std::function<StationInfo()> g_source;

std::string Cut127(std::string text)
{
    if (text.size() > 127)
        text.resize(127);
    return text;
}

std::string TrimSeparators(std::string path)
{
    while (!path.empty() && (path.back() == '\\' || path.back() == '/'))
        path.pop_back();
    return path;
}

} // namespace

StationInfo CurrentStationInfo()
{
    {
        std::lock_guard<std::mutex> lock(g_sourceMutex);
        if (g_source)
            return g_source();
    }
    StationInfo station;
    station.time = static_cast<std::int64_t>(std::time(nullptr));
    station.user = Cut127(platform::GetUserName());
    station.computer = Cut127(platform::GetComputerName());
    return station;
}

void SetStationInfoSource(std::function<StationInfo()> source)
{
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    g_source = std::move(source);
}

std::string FormatLogTime(std::int64_t time)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = static_cast<std::time_t>(time);
    std::tm tm{};
    if (static_cast<std::int64_t>(t) != time || localtime_r(&t, &tm) == nullptr)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", kDays[tm.tm_wday % 7],
                  kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900);
    return text;
}

std::string FormatLogHeader(const StationInfo& station, bool deviceData, bool written,
                            const std::string& notVerified)
{
    std::string text = "\r\n***\r\n*** [" + FormatLogTime(station.time) + "] USER \"" +
                       OneLine(Cut127(station.user)) + "\" on COMPUTER \"" +
                       OneLine(Cut127(station.computer)) + "\"\r\n";
    if (written && !notVerified.empty())
        text += std::string(deviceData ? "*** Device data to user area NOT verified: " : "*** USB data NOT verified: ") +
                OneLine(notVerified) + "\r\n";
    else if (written)
        text += deviceData ? "*** Device data to user area flashed\r\n" : "*** USB data flashed\r\n";
    else
        text += deviceData ? "*** Device data to user area NOT flashed: the write failed\r\n"
                           : "*** USB data NOT flashed: the write failed\r\n";
    text += "***\r\n";
    return text;
}

std::string FormatPendingLogHeader(const StationInfo& station, bool deviceData)
{
    std::string text = FormatLogHeader(station, deviceData);
    const std::string kind = deviceData ? "*** Device data to user area flashed\r\n" : "*** USB data flashed\r\n";
    text.replace(text.find(kind), kind.size(),
                 std::string(deviceData ? "*** Device data to user area" : "*** USB data") +
                     " perhaps flashed: the program stopped before logging it\r\n");
    return text;
}

namespace {

std::string PendingFolder()
{
    return platform::DataHome() + "/pending";
}

} // namespace

PendingRecord::~PendingRecord()
{
    if (!file_.IsOpen())
        return;
    platform::RemoveFile(path_);
    file_.Close();
}

bool PendingRecord::Keep(const std::string& record)
{
    if (!platform::CreatePrivateFolders(PendingFolder()))
        return false;
    file_ = platform::File::CreateTemporary(PendingFolder() + "/record-", path_);
    if (file_.IsOpen() && platform::LockFileRange(file_, 0, 0, 0) && file_.WriteAll(record) && file_.Flush())
        return true;
    if (file_.IsOpen()) {
        platform::RemoveFile(path_);
        file_.Close();
    }
    return false;
}

bool KeepUndeliveredRecord(const std::string& record, bool logOnly)
{
    if (!platform::CreatePrivateFolders(PendingFolder()))
        return false;
    std::string path;
    platform::File file = platform::File::CreateTemporary(PendingFolder() + (logOnly ? "/log-" : "/record-"), path);
    if (!file.IsOpen())
        return false;
    const bool kept = file.WriteAll(record) && file.Flush();
    if (!file.Close() || !kept) {
        platform::RemoveFile(path);
        return false;
    }
    return true;
}

int AppendOrphanedRecords(const std::string& logPath)
{
    int appended = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(PendingFolder(), error)) {
        const std::string path = entry.path().string();
        platform::FileStatus status = platform::FileStatus::Ok;
        platform::File file = platform::File::Open(path, platform::FileAccess::ReadWrite, status, false);
        if (!file.IsOpen())
            continue;
        // Locked: its program still runs and logs the record itself.
        std::string record;
        if (platform::LockFileRange(file, 0, 0, 0) &&
            platform::ReadRegularFile(path, record) == platform::FileStatus::Ok &&
            (record.empty() || AppendToLogFile(logPath, record) == AppendResult::Ok)) {
            // The shared store takes it too, or keeps it for its next delivery.
            const bool logOnly = entry.path().filename().string().rfind("log-", 0) == 0;
            if (RecordsStore* store = CurrentRecordsStore(); store != nullptr && !record.empty() && !logOnly)
                (void)store->AddRecord(record);
            platform::RemoveFile(path);
            appended += record.empty() ? 0 : 1;
        }
    }
    return appended;
}

AppendResult AppendToLogFile(const std::string& path, const std::string& text,
                             std::uint32_t timeoutMs)
{
    if (!platform::CheckLinkInSharedFolder(path).empty())
        return AppendResult::LinkRefused;
    platform::FileStatus status = platform::FileStatus::Ok;
    bool linkRefused = false;
    // The check above and this open are two steps: a link put in the log's place between them
    // must not be followed.
    platform::File file = platform::OpenSharedForAppend(path, status, linkRefused);
    if (linkRefused)
        return AppendResult::LinkRefused;
    if (!file.IsOpen())
        return AppendResult::CannotOpen;
    // Other processes hold the lock, so the bound is real time, not the program clock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint64_t end = 0;
    for (;;) {
        const bool seeked = file.SeekToEnd(end);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!seeked || left.count() < 0 ||
            !platform::LockFileRange(file, end, 0, static_cast<std::uint32_t>(left.count())))
            return !seeked ? AppendResult::WriteFailed : AppendResult::LockTimeout;
        // Another station may have appended between the seek and the lock: lock its new end.
        if (std::uint64_t now = 0; file.SeekToEnd(now) && now == end)
            break;
        platform::UnlockFileRange(file, end, 0);
    }
    AppendResult result = AppendResult::Ok;
    if (!file.WriteAll(text)) {
        result = AppendResult::WriteFailed;
        // Still under our lock from the old end onwards: nobody else wrote there.
        file.Truncate(end);
    }
    platform::UnlockFileRange(file, end, 0);
    if (!file.Close() && result == AppendResult::Ok)
        result = AppendResult::WriteFailed;
    return result;
}

std::string LogWriteProblem(const std::string& path)
{
    if (std::string refused = platform::CheckLinkInSharedFolder(path); !refused.empty())
        return refused;
    platform::FileStatus status = platform::FileStatus::Ok;
    if (platform::NameExists(path)) {
        // As the append opens it: a link put in the checked name's place is not followed.
        bool linkRefused = false;
        platform::File file = platform::OpenSharedForAppend(path, status, linkRefused);
        if (file.IsOpen())
            return {};
        if (linkRefused)
            return path + ": a symbolic link took its place; not followed";
        return status != platform::FileStatus::Ok ? platform::FileStatusText(path, status)
                                                  : path + ": " + platform::LastFileErrorText();
    }
    // The nearest folder that is there must take the folders and the file still to be made.
    std::string folder = path;
    for (;;) {
        const auto slash = folder.find_last_of("/\\");
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        if (platform::DirectoryExists(folder)) {
            std::string probe;
            platform::File file = platform::File::CreateTemporary(folder + "/.kestrune-probe-", probe);
            if (!file.IsOpen())
                return folder + ": " + platform::LastFileErrorText();
            file.Close();
            platform::RemoveFile(probe);
            return {};
        }
        if (platform::NameExists(folder))
            return folder + ": not a folder";
        if (folder == "/" || folder == ".")
            return {};
    }
}

bool EnsureLogFolder(const std::string& path)
{
    // A bare file name lives in the working folder; "C:" alone is a drive, whose folder
    // CreateDirectory makes on first use like a drive that is always there on Windows.
    std::string folder = TrimSeparators(platform::PathRemoveFileSpec(path));
    if (folder.empty())
        return true;
    for (std::size_t i = 1; i < folder.size(); ++i)
        if (folder[i] == '\\' || folder[i] == '/')
            platform::CreateDirectory(folder.substr(0, i));
    platform::CreateDirectory(folder);
    return platform::DirectoryExists(folder);
}

} // namespace records

namespace {

std::string DescribeFailure(records::AppendResult result)
{
    switch (result) {
    case records::AppendResult::CannotOpen:
        return "The file or its folder cannot be opened or created.";
    case records::AppendResult::LinkRefused:
        return "It is a symbolic link of another user in a folder others can write to; it was not followed.";
    case records::AppendResult::LockTimeout:
        return "Other stations kept the file locked for more than 10 seconds.";
    default:
        return "Writing to the file failed.";
    }
}

void SetStatusEntries(platform::ProfileDocument& doc, const std::string& section, const std::string& serial,
                      const records::StationInfo& station)
{
    doc.Set("Status", "Device", section);
    doc.Set(section, "Date", records::FormatLogTime(station.time));
    doc.Set(section, "User", station.user);
    doc.Set(section, "Computer", station.computer);
    doc.Set(section, "SerialNumber", serial);
}

} // namespace

std::string CMyCrvUsbDevice::LogFileSetting()
{
    char path[260] = {};
    if (!ReadProfileSetting("Settings", "LOG", kDefaultLogPath, path, sizeof path))
        return kDefaultLogPath;
    return path;
}

bool CMyCrvUsbDevice::StoreStatusEntries(const DeviceData& data, const records::StationInfo& station)
{
    PrepareProfileFolder();
    const std::string section = "Device" + std::to_string(data.DeviceCode) + "Status";
    // One replacement under the store's lock: another process may have reserved a newer number
    // since this one was taken, and writing ours back would hand that number out again.
    return platform::UpdateProfileFile(ProfilePath, true, [&](platform::ProfileDocument& doc) {
        if (const auto stored = doc.Get(section, "SerialNumber");
            stored && platform::LeadingDecimal(*stored) > data.SerialPart1)
            return;
        SetStatusEntries(doc, section, FormatSerialNumber(data), station);
    });
}

bool CMyCrvUsbDevice::UpdateStatusEntries(const records::StationInfo& station)
{
    DeviceData data;
    DecodeSerialNumber(UserAreaImage, data);
    const bool stored = StoreStatusEntries(data, station);
    if (!stored)
        platform::Ui().MessageBox("The device status could not be stored in \"" + ProfilePath +
                                      "\".\nThe next serial number for this device code may repeat one "
                                      "already given.",
                                  LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONWARNING,
                                  platform::BoxOwner::MainWindow);
    return stored;
}

bool CMyCrvUsbDevice::StoreStatusBeforeWrite()
{
    DeviceData data;
    DecodeSerialNumber(UserAreaImage, data);
    if (StoreStatusEntries(data, records::CurrentStationInfo()))
        return true;
    platform::Ui().MessageBox("The device status could not be stored in \"" + ProfilePath +
                                  "\".\nNothing was written to the display, so that its serial number "
                                  "cannot be given again.",
                              LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONWARNING,
                              platform::BoxOwner::MainWindow);
    return false;
}

BOOL CMyCrvUsbDevice::WriteProductionLog(BOOL deviceData, BOOL written, const std::string& notVerified)
{
    records::StationInfo station = records::CurrentStationInfo();
    LastLog = {};
    // Stored before the write already (StoreStatusBeforeWrite), so its number stays used whatever
    // came of the write; again with the time of the record when the write came back as written.
    if (written && notVerified.empty())
        LastLog.statusStored = UpdateStatusEntries(station);

    std::string record =
        records::FormatLogHeader(station, deviceData != FALSE, written != FALSE, notVerified) +
        LogSection(deviceData);
    if (AppendLogRecord(record, written ? "The device was written; please note its settings by hand."
                                        : "The device could not be written either."))
        return TRUE;
    LastLog.recordStored = false;
    return FALSE;
}

std::string CMyCrvUsbDevice::LogSection(BOOL deviceData)
{
    std::string record;
    if (deviceData) {
        DeviceData data;
        try {
            GetDeviceData(data);
        } catch (const platform::CommandError&) {
            DecodeSerialNumber(UserAreaImage, data);
        }
        record += records::FormatSection("Device", records::DeviceSectionValues(data));
    } else {
        UsbSettingsRecord usb;
        records::SetUsbLoadDefaults(usb.data);
        FillUsbSettings(usb.data, false);
        record += records::FormatSection("USB", records::UsbSectionValues(usb.data));
    }
    return record;
}

void CMyCrvUsbDevice::KeepPendingRecord(records::PendingRecord& pending, BOOL deviceData)
{
    pending.Keep(records::FormatPendingLogHeader(records::CurrentStationInfo(), deviceData != FALSE) +
                 LogSection(deviceData));
}

BOOL CMyCrvUsbDevice::AppendLogRecord(const std::string& record, const std::string& advice)
{
    std::string stored = LogFileSetting();
    std::string local = platform::MapPath(stored);
    records::AppendResult result = records::AppendResult::CannotOpen;
    if (platform::PathFileExists(local) || records::EnsureLogFolder(stored)) {
        records::AppendOrphanedRecords(local);
        result = records::AppendToLogFile(local, record);
    }
    // The shared store gets every record the log gets; one it cannot take now is kept at the
    // station and delivered later, but this command still did not record it everywhere.
    records::StoreOutcome copied;
    records::RecordsStore* store = records::CurrentRecordsStore();
    if (store != nullptr)
        copied = store->AddRecord(record);
    if (!copied.stored) {
        ++LogFailures;
        platform::Ui().MessageBox("The production record could not be added to the database: " + copied.error +
                                      (copied.kept ? ".\nIt is kept at this station and delivered by the next "
                                                     "command or by 'kestrune-cli db sync'."
                                                   : ".\nIt could not be kept at this station either.\n" + advice),
                                  LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONWARNING,
                                  platform::BoxOwner::MainWindow);
    }
    if (result == records::AppendResult::Ok)
        return copied.stored ? TRUE : FALSE;
    ++LogFailures;

    std::string where = "\"" + stored + "\"";
    if (local != stored)
        where += " (" + local + ")";
    // The pending note goes when this command ends: without a copy the written display would be
    // missing from the history for good.
    const bool kept = records::KeepUndeliveredRecord(record, store != nullptr && (copied.stored || copied.kept));
    platform::Ui().MessageBox("The production record could not be added to the log file " + where +
                                  ".\n" + DescribeFailure(result) + "\n" +
                                  (kept ? "It is kept at this station and added to the log by the next command "
                                          "that logs.\n"
                                        : "") +
                                  advice,
                              LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONWARNING,
                              platform::BoxOwner::MainWindow);
    return FALSE;
}

BOOL CMyCrvUsbDevice::WriteLogHeader(const char* path, BOOL deviceData)
{
    if (path == nullptr)
        return FALSE;
    records::StationInfo station = records::CurrentStationInfo();
    if (records::AppendToLogFile(platform::MapPath(path),
                                 records::FormatLogHeader(station, deviceData != FALSE)) !=
        records::AppendResult::Ok)
        return FALSE;
    return UpdateStatusEntries(station) ? TRUE : FALSE;
}

BOOL CMyCrvUsbDevice::AppendFileToLog(const char* logPath, const char* sourcePath)
{
    if (logPath == nullptr || sourcePath == nullptr)
        return FALSE;
    std::string content;
    if (platform::ReadRegularFile(platform::MapPath(sourcePath), content) != platform::FileStatus::Ok)
        return FALSE;
    return records::AppendToLogFile(platform::MapPath(logPath), content) == records::AppendResult::Ok;
}

namespace {

// "" when the store can be read or is simply not there yet; else why it cannot be read.
std::string ProfileUnreadable(const std::string& path)
{
    platform::FileStatus status = platform::FileStatus::Ok;
    platform::File file = platform::File::Open(path, platform::FileAccess::Read, status);
    // A path through a file (not a folder) is no missing store: it cannot be read.
    if (status == platform::FileStatus::Missing && !platform::NameExists(path))
        return {};
    if (status == platform::FileStatus::NotRegular)
        return "it is not a regular file";
    std::array<char, 1> byte{};
    std::size_t got = 0;
    if (!file.IsOpen() || !file.Read(byte, got))
        return platform::LastFileErrorText();
    return {};
}

} // namespace

namespace {

// As FormatSerialNumber writes it: three groups of digits.
bool IsStatusSerialNumber(std::string_view text)
{
    int groups = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && digits > 0 && groups < 2) {
            ++groups;
            digits = 0;
        } else {
            return false;
        }
    }
    return groups == 2 && digits > 0;
}

} // namespace

std::int32_t CMyCrvUsbDevice::GenerateSerialNumber()
{
    DeviceData data;
    GetDeviceData(data);
    // Read as missing, an unreadable store would start the numbering again at 1.
    if (const std::string why = ProfileUnreadable(ProfilePath); !why.empty()) {
        platform::Ui().MessageBox("No serial number was generated: the device status in \"" + ProfilePath +
                                      "\" cannot be read (" + why + ").",
                                  LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONWARNING,
                                  platform::BoxOwner::MainWindow);
        return -1;
    }
    const std::string section = "Device" + std::to_string(data.DeviceCode) + "Status";
    char store[260] = {};
    const bool shared = ReadProfileSetting("Settings", "SerialStore", "", store, sizeof store);
    records::RecordsStore* database = records::CurrentRecordsStore();
    const records::StationInfo station = records::CurrentStationInfo();
    DeviceData generated = data;
    std::string refused;
    bool reserved = false;
    PrepareProfileFolder();
    // Read, counted on and stored under the profile store's lock, so that two processes of this
    // station (two benches, or the desktop and the command line) never take the same number.
    // It is taken before anything uses it: a number a later step leaves unused stays a gap.
    std::string problem;
    const bool updated = platform::UpdateProfileFile(ProfilePath, true, [&](platform::ProfileDocument& doc) {
        // Only a missing status starts at 1: a damaged one read as 0 would repeat numbers given.
        const std::optional<std::string> status = doc.Get(section, "SerialNumber");
        if (status && !IsStatusSerialNumber(*status)) {
            refused = "No serial number was generated: the device status in \"" + ProfilePath + "\" holds no serial "
                      "number at [" + section + "] SerialNumber on line " +
                      std::to_string(doc.LineOf(section, "SerialNumber").value_or(0)) + " (\"" + *status + "\").";
            return;
        }
        std::int64_t next = std::int64_t{platform::LeadingDecimal(status.value_or("00000000000"))} + 1;
        if (next <= 65535 && (database != nullptr || shared)) {
            const records::Reservation taken =
                database != nullptr ? database->ReserveSerial(data.DeviceCode, next - 1, 65535)
                                    : records::ReserveSerialNumber(platform::MapPath(store), data.DeviceCode, next - 1);
            if (taken.number <= 0) {
                refused = "No serial number was generated: " + taken.error + ".";
                return;
            }
            next = taken.number;
        }
        generated.SerialPart1 = static_cast<std::int32_t>(std::min<std::int64_t>(next, INT32_MAX));
        if (next > 65535 || !DeviceDataFits(generated)) {
            char text[256];
            std::snprintf(text, sizeof text,
                          "No serial number was generated: the device record of type 0x%02x cannot "
                          "hold %s (running numbers end at 65535).",
                          static_cast<unsigned>(data.DeviceCode), FormatSerialNumber(generated).c_str());
            refused = text;
            return;
        }
        SetStatusEntries(doc, section, FormatSerialNumber(generated), station);
        reserved = true;
    }, &problem);
    if (refused.empty() && !(updated && reserved))
        refused = "No serial number was generated: the device status cannot be stored in \"" + ProfilePath + "\"" +
                  (problem.empty() ? std::string(".") : " (" + problem + ").");
    if (!refused.empty()) {
        platform::Ui().MessageBox(refused, LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONWARNING,
                                  platform::BoxOwner::MainWindow);
        return -1;
    }
    data = generated;
    SerialNumber.fill('\0');
    std::snprintf(SerialNumber.data(), SerialNumber.size(), "ZK%06d", data.SerialPart1);
    // The chip reads its manufacturer ID back from the serial number's letters.
    ManufacturerId.fill('\0');
    std::snprintf(ManufacturerId.data(), ManufacturerId.size(), "ZK");
    SetDeviceData(data);
    return data.SerialPart1;
}
