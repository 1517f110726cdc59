#include "cli/BenchCommands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "cli/Commands.h"
#include "cli/DbCommands.h"
#include "cli/Output.h"
#include "cli/Terminal.h"
#include "firmware/FirmwareCheck.h"
#include "platform/LastError.h"
#include "platform/StopSignals.h"
#include "platform/System.h"
#include "platform/Ui.h"
#include "protocol/DeviceModel.h"
#include "records/Backup.h"
#include "records/FirmwareLog.h"
#include "records/History.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace cli {

namespace {

void Complain(const std::string& text)
{
    std::fprintf(stderr, "kestrune-cli: %s\n", text.c_str());
}

bool Confirm()
{
    return platform::Ui().MessageBox(LoadStdString(IDS_CONFIRM_PROGRAM),
                                      LoadStdString(IDS_CONFIRM_PROGRAM_CAPTION),
                                      platform::MB_ICONEXCLAMATION | platform::MB_OKCANCEL,
                                      platform::BoxOwner::Dialog) == platform::IDOK;
}

bool Identified(CMyCrvUsbDevice& device)
{
    return device.SendIdentifyRequest() && device.ReadIdentityReply(2000) != -1;
}

// The writes of one unit share the backup taken for them.
class HeldBackup {
public:
    HeldBackup(CMyCrvUsbDevice& device, const std::string& path) : device_(device)
    {
        device_.HeldBackup = path;
    }
    ~HeldBackup() { device_.HeldBackup.clear(); }
    HeldBackup(const HeldBackup&) = delete;
    HeldBackup& operator=(const HeldBackup&) = delete;

private:
    CMyCrvUsbDevice& device_;
};

struct StepReport {
    std::string name;
    bool ok = false;
    double seconds = 0;
};

std::string Summary(CMyCrvUsbDevice& device, const std::vector<StepReport>& steps)
{
    DeviceData data;
    DecodeSerialNumber(device.UserAreaImage, data);
    char head[64];
    std::snprintf(head, sizeof head, "0x%02x", static_cast<unsigned>(data.DeviceCode & 0xFF));
    std::string line = FormatSerialNumber(data) + " ";
    const std::string model = ShortNameOf(static_cast<std::uint32_t>(data.DeviceCode));
    if (!model.empty()) line += model + " ";
    line += head;
    line += ":";
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const StepReport& s = steps[i];
        char time[32];
        std::snprintf(time, sizeof time, " (%.2f s)", s.seconds);
        line += i == 0 ? " " : ", ";
        if (s.name == "log")
            line += s.ok ? "logged" : "log FAILED";
        else
            line += s.name + (s.ok ? " ok" : " FAILED");
        line += time;
    }
    return line;
}

} // namespace

int Unit(CMyCrvUsbDevice& device, const Invocation& inv)
{
    std::vector<StepReport> steps;
    std::string failedBecause;
    // Runs one step and keeps its time; a status other than 0 stops the unit there.
    auto step = [&](const std::string& name, const auto& body) -> int {
        const auto start = std::chrono::steady_clock::now();
        int status = kExitFailed;
        try {
            status = body();
        } catch (const platform::CommandError& error) {
            failedBecause = error.what();
            status = kExitFailed;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        steps.push_back({name, status == kExitOk, took.count()});
        return status;
    };
    auto report = [&] {
        Out().Text(Summary(device, steps));
        DeviceData data;
        DecodeSerialNumber(device.UserAreaImage, data);
        nlohmann::json& r = Out().Result();
        r["serialNumber"] = FormatSerialNumber(data);
        r["model"] = ShortNameOf(static_cast<std::uint32_t>(data.DeviceCode));
        r["deviceCode"] = data.DeviceCode & 0xFF;
        r["steps"] = nlohmann::json::array();
        for (const StepReport& s : steps)
            r["steps"].push_back({{"name", s.name}, {"ok", s.ok}, {"seconds", s.seconds}});
    };
    auto stop = [&](int status) {
        report();
        Out().Result()["stoppedAt"] = steps.back().name;
        if (!failedBecause.empty()) {
            Complain(failedBecause);
            Out().Result()["reason"] = failedBecause;
        }
        Complain("unit stopped at the step '" + steps.back().name + "'");
        return status;
    };

    if (int s = step("identify", [&] {
            if (!device.EnsureConnected()) return int{kExitNoDisplay};
            if (Identified(device)) return int{kExitOk};
            failedBecause = LoadStdString(IDS_ERROR_WAITING_ID);
            return int{kExitFailed};
        }))
        return stop(s);
    if (!inv.dryRun && !Confirm()) {
        Complain("the unit was not confirmed; nothing was changed");
        return kExitFailed;
    }
    const Fields before = inv.dryRun ? SectionFields(device) : Fields{};
    const std::uint32_t logFailures = device.LogFailures;

    if (!inv.file.empty()) {
        if (int s = step("firmware", [&] {
                if (inv.dryRun) {
                    // Checked whole, as the update checks it; the display is not touched.
                    const std::uint32_t size = CheckFirmwareFile(inv.file, inv.family);
                    if (size == 0) {
                        failedBecause = inv.file + ": " +
                                        DescribeFirmwareFileError(platform::GetLastError(), inv.family);
                        return int{kExitFailed};
                    }
                    const FirmwareContentProblem problem = CheckFirmwareContent(inv.file);
                    if (problem.error != 0) {
                        failedBecause = inv.file + ":" + std::to_string(problem.line) + ": " + problem.reason;
                        return int{kExitFailed};
                    }
                    return int{kExitOk};
                }
                UpdateWorker& worker = device.Worker();
                TerminalProgress progress(::isatty(STDERR_FILENO) == 1);
                if (Out().Mode().quiet) progress.Silence();
                {
                    const platform::StopSignalRun signals(true);
                    if (!worker.StartUpdate(inv.file, inv.family, &progress)) {
                        failedBecause = "the firmware update could not be started";
                        return int{kExitFailed};
                    }
                    worker.Wait();
                }
                progress.Finish();
                if (!device.CheckConnection()) device.ConnectDevice(TRUE);
                records::LogFirmwareUpdate(device, true);
                const std::int32_t result = worker.m_nResult.load();
                if (result != 0) {
                    failedBecause = DescribeUpdateResult(result, inv.family, worker.m_nRunError.load()).text;
                    if (result > 0 && progress.RefusedLine() > 0)
                        failedBecause += " (the boot loader refused the record on line " +
                                         std::to_string(progress.RefusedLine()) + ")";
                    return int{result == kUpdateStopped ? kExitStopped : kExitFailed};
                }
                if (!device.Connected) return int{kExitNoDisplay};
                if (!Identified(device)) {
                    failedBecause = "the display did not answer after the update";
                    return int{kExitFailed};
                }
                return int{kExitOk};
            }))
            return stop(s);
    }
    if (!inv.templateFile.empty()) {
        if (int s = step("template", [&] {
                std::ifstream probe(platform::MapPath(inv.templateFile));
                if (!probe || !device.LoadSettingsFile(inv.templateFile.c_str())) {
                    failedBecause = LoadStdString(IDS_CANNOT_LOAD_FILE);
                    return int{kExitFailed};
                }
                return int{kExitOk};
            }))
            return stop(s);
    }
    if (inv.serialNext) {
        if (int s = step("serial", [&] {
                const bool generated = inv.dryRun ? PeekSerialNumber(device) : device.GenerateSerialNumber() > 0;
                return generated ? int{kExitOk} : int{kExitFailed};
            }))
            return stop(s);
    }
    if (inv.dryRun) {
        report();
        return ReportChanges(before, SectionFields(device));
    }
    std::string backupPath;
    if (int s = step("backup", [&] {
            records::ConverterSnapshot snapshot;
            std::string error;
            if (!records::ReadConverter(device, snapshot, true, error)) {
                failedBecause = "no backup could be made: " + error;
                return int{kExitFailed};
            }
            auto path = records::SaveBackup(snapshot, static_cast<std::int64_t>(std::time(nullptr)), error);
            if (!path) {
                failedBecause = "no backup could be made: " + error;
                return int{kExitFailed};
            }
            backupPath = *path;
            device.LastBackup = *path;
            return int{kExitOk};
        }))
        return stop(s);
    {
        HeldBackup held(device, backupPath);
        DeviceData data;
        DecodeSerialNumber(device.UserAreaImage, data);
        if (int s = step("eeprom", [&] { return device.ProgramEeprom() ? int{kExitOk} : int{kExitFailed}; }))
            return stop(s);
        if (int s = step("record", [&] { return device.WriteUserArea() ? int{kExitOk} : int{kExitFailed}; }))
            return stop(s);
        device.SwitchModelIfChanged(static_cast<std::uint32_t>(data.DeviceCode));
    }
    if (int s = step("log", [&] {
            if (device.LogFailures == logFailures) return int{kExitOk};
            failedBecause = "the production log did not take every record of this unit";
            return int{kExitNotLogged};
        }))
        return stop(s);
    report();
    return kExitOk;
}

int History(CMyCrvUsbDevice& device, const Invocation& inv)
{
    records::HistoryFilter filter;
    filter.serial = inv.serial;
    filter.station = inv.station;
    if (!inv.type.empty()) {
        filter.type = records::ParseDeviceCode(inv.type);
        if (!filter.type) {
            Complain("--type needs a device code from 0 to 255 (98 or 0x62), not '" + inv.type + "'");
            return kExitUsage;
        }
    }
    if (!inv.since.empty()) {
        filter.since = records::ParseSinceDate(inv.since);
        if (!filter.since) {
            Complain("--since needs a date as DD.MM.YY, not '" + inv.since + "'");
            return kExitUsage;
        }
    }
    const std::string stored = device.LogFileSetting();
    const std::string path = platform::MapPath(stored);
    // Writes whose program stopped before logging them belong in the listing too.
    if (platform::PathFileExists(path)) records::AppendOrphanedRecords(path);
    std::string out;
    std::size_t matched = 0;
    const OutputMode& mode = Out().Mode();
    nlohmann::json& found = Out().Result()["records"] = nlohmann::json::array();
    std::string unread;
    const bool read = ScanProductionRecords(path, filter.serial, unread, [&](const records::LogEntry& e) {
        if (!records::Matches(e, filter)) return;
        ++matched;
        if (mode.json || mode.jsonLines) {
            nlohmann::json values = nlohmann::json::object();
            for (const auto& [key, value] : e.values) values[std::string(key)] = std::string(value);
            nlohmann::json record = {{"time", std::string(e.time)},       {"user", std::string(e.user)},
                                     {"computer", std::string(e.computer)}, {"kind", std::string(e.kind)},
                                     {"section", std::string(e.section)}, {"values", values}};
            // Lines go out as they are found, so a large log never sits in memory whole.
            if (mode.jsonLines)
                Out().Line(record);
            else
                found.push_back(std::move(record));
            return;
        }
        out += records::FormatEntry(e);
        out += '\n';
        if (out.size() > (1u << 20)) {
            // A short write leaves the error flag set; the end of the run reports it.
            (void)std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    });
    (void)std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (!read) {
        Complain(!unread.empty() ? unread : "cannot read the production log " + stored +
                 (path != stored ? " (" + path + ")" : std::string()));
        return kExitFailed;
    }
    if (matched == 0) Out().Info("no record of the log " + stored + " matches");
    return kExitOk;
}

int EepromBackups()
{
    const auto list = records::ListBackups();
    nlohmann::json& backups = Out().Result()["backups"] = nlohmann::json::array();
    for (const records::BackupEntry& b : list) {
        Out().Text(b.converter + "\t" + b.name + "\t" + b.path);
        backups.push_back({{"converter", b.converter}, {"time", b.name}, {"file", b.path}});
    }
    if (list.empty()) Out().Info("no backups in " + records::BackupFolder());
    return kExitOk;
}

int EepromRestore(CMyCrvUsbDevice& device, const Invocation& inv)
{
    records::ConverterSnapshot backup;
    std::string error;
    if (!records::ReadBackupFile(platform::MapPath(inv.file), backup, error)) {
        Complain("cannot restore " + inv.file + ": " + error + "; nothing was written");
        return kExitFailed;
    }
    if (!backup.digested)
        Complain(inv.file + " has no digest (an older backup); its [Raw] words pass the chip's checksum and "
                            "agree with its [USB] and [Device] sections");
    if (!device.EnsureConnected()) return kExitNoDisplay;
    records::ConverterSnapshot present;
    // With the raw words, so that a converter left half-written can still be compared.
    if (!records::ReadConverter(device, present, true, error)) {
        Complain("cannot restore " + inv.file + ": " + error);
        return kExitFailed;
    }
    const std::string untrusted = records::UntrustedSerial(present);
    const bool sameSerial = records::StoredSerial(present.converterSerial) == backup.converterSerial;
    // A write cut off may leave the serial number garbled; the converter is still where it was.
    // Not a blank part (a new converter in that socket), nor a location an edit may have put
    // into a backup without a digest.
    const bool blank = std::all_of(present.words.begin(), present.words.end(),
                                   [](std::uint16_t w) { return w == 0xFFFF; });
    const bool samePlace = !sameSerial && !untrusted.empty() && !blank && backup.digested &&
                           !backup.location.empty() && backup.location == present.location;
    if (samePlace && !inv.otherConverter)
        Complain("the converter's serial number no longer reads (" + untrusted + "): " + inv.file +
                 " was taken from the converter " + backup.converterSerial + " at the same USB location, " +
                 present.location + ", so it is this converter's own backup");
    if (!sameSerial && !samePlace && !inv.otherConverter) {
        Complain("the backup " + inv.file + " was taken from the converter " + backup.converterSerial +
                 ", this one is " + present.converterSerial +
                 "; nothing was written (--other-converter writes it all the same)");
        return kExitFailed;
    }
    if (inv.dryRun) {
        const char* const names[] = {"USB.Manufacturer", "USB.ManufacturerId", "USB.Description", "USB.SerialNumber"};
        Fields was, will;
        for (std::size_t i = 0; i < backup.strings.size(); ++i) {
            was[names[i]] = present.strings[i];
            will[names[i]] = backup.strings[i];
        }
        std::size_t words = 0;
        for (std::size_t i = 0; i < std::max(present.words.size(), backup.words.size()); ++i) {
            if (i >= present.words.size() || i >= backup.words.size() || present.words[i] != backup.words[i]) ++words;
        }
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < backup.userArea.size(); ++i) bytes += present.userArea[i] != backup.userArea[i];
        was["EEPROM words"] = was["Record bytes"] = "as read";
        will["EEPROM words"] = words == 0 ? "as read" : std::to_string(words) + " differ";
        will["Record bytes"] = bytes == 0 ? "as read" : std::to_string(bytes) + " differ";
        return ReportChanges(was, will);
    }
    if (!Confirm()) return kExitFailed;
    if (!records::RestoreBackup(device, backup, error)) {
        Complain("the backup was not restored: " + error);
        return kExitFailed;
    }
    Out().Text("The converter holds the backup " + inv.file + " again.");
    Out().Result()["restored"] = inv.file;
    return kExitOk;
}

} // namespace cli
