#include "cli/BenchCommands.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "cli/Commands.h"
#include "cli/Terminal.h"
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
    auto stop = [&](int status) {
        std::fputs((Summary(device, steps) + "\n").c_str(), stdout);
        std::fflush(stdout);
        if (!failedBecause.empty()) Complain(failedBecause);
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
    if (!Confirm()) {
        Complain("the unit was not confirmed; nothing was changed");
        return kExitFailed;
    }
    const std::uint32_t logFailures = device.LogFailures;

    if (!inv.file.empty()) {
        if (int s = step("firmware", [&] {
                UpdateWorker& worker = device.Worker();
                TerminalProgress progress(::isatty(STDERR_FILENO) == 1);
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
                return device.GenerateSerialNumber() > 0 ? int{kExitOk} : int{kExitFailed};
            }))
            return stop(s);
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
    std::fputs((Summary(device, steps) + "\n").c_str(), stdout);
    std::fflush(stdout);
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
    std::string out;
    std::size_t matched = 0;
    const bool read = records::ScanLogFile(path, [&](const records::LogEntry& e) {
        if (!records::Matches(e, filter)) return;
        ++matched;
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
        Complain("cannot read the production log " + stored +
                 (path != stored ? " (" + path + ")" : std::string()));
        return kExitFailed;
    }
    if (matched == 0) Complain("no record of the log " + stored + " matches");
    return kExitOk;
}

int EepromBackups()
{
    const auto list = records::ListBackups();
    for (const records::BackupEntry& b : list)
        std::printf("%s\t%s\t%s\n", b.converter.c_str(), b.name.c_str(), b.path.c_str());
    std::fflush(stdout);
    if (list.empty()) Complain("no backups in " + records::BackupFolder());
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
    if (!records::ReadConverter(device, present, false, error)) {
        Complain("cannot restore " + inv.file + ": " + error);
        return kExitFailed;
    }
    if (records::StoredSerial(present.converterSerial) != backup.converterSerial && !inv.otherConverter) {
        Complain("the backup " + inv.file + " was taken from the converter " + backup.converterSerial +
                 ", this one is " + present.converterSerial +
                 "; nothing was written (--other-converter writes it all the same)");
        return kExitFailed;
    }
    if (!Confirm()) return kExitFailed;
    if (!records::RestoreBackup(device, backup, error)) {
        Complain("the backup was not restored: " + error);
        return kExitFailed;
    }
    std::printf("The converter holds the backup %s again.\n", inv.file.c_str());
    std::fflush(stdout);
    return kExitOk;
}

} // namespace cli
