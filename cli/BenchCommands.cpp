#include "cli/BenchCommands.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/Commands.h"
#include "cli/DbCommands.h"
#include "cli/Output.h"
#include "cli/Terminal.h"
#include "link/UserArea.h"
#include "platform/System.h"
#include "platform/Ui.h"
#include "production/Backups.h"
#include "production/HistoryQuery.h"
#include "production/UnitJob.h"
#include "protocol/DeviceModel.h"
#include "records/MyCrvUsbDevice.h"
#include "records/ProductionLog.h"
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

// The unit job as the terminal shows it: the flash's progress on standard error, the
// confirmation through the terminal's box, a dry run's next number from the profile store.
class TerminalUnit : public production::UnitObserver {
public:
    TerminalUnit(CMyCrvUsbDevice& device, bool dryRun) : device_(device), dryRun_(dryRun) {}
    bool ConfirmWrites() override { return Confirm(); }
    platform::UpdateSink& FlashProgress() override
    {
        progress_ = std::make_unique<TerminalProgress>(platform::IsTerminal(stderr));
        if (Out().Mode().quiet) progress_->Silence();
        return *progress_;
    }
    void FlashEnded() override { progress_->Finish(); }
    void BeforeChanges() override
    {
        if (dryRun_) before = SectionFields(device_);
    }
    bool PreviewSerialNumber() override { return PeekSerialNumber(device_); }

    Fields before;

private:
    CMyCrvUsbDevice& device_;
    bool dryRun_;
    std::unique_ptr<TerminalProgress> progress_;
};

} // namespace

int Unit(CMyCrvUsbDevice& device, const Invocation& inv)
{
    production::UnitOptions options;
    options.firmware = inv.file;
    options.family = inv.family;
    options.templateFile = inv.templateFile;
    options.serialNext = inv.serialNext;
    options.dryRun = inv.dryRun;
    TerminalUnit terminal(device, inv.dryRun);
    const production::UnitResult unit = production::RunUnit(device, options, terminal);
    if (!unit.confirmed) {
        Complain("the unit was not confirmed; nothing was changed");
        return kExitFailed;
    }
    Out().Text(production::UnitSummary(device, unit.steps));
    DeviceData data;
    DecodeSerialNumber(device.UserAreaImage, data);
    nlohmann::json& r = Out().Result();
    // Without a passed identify step the record in memory is nobody's: nothing is invented.
    const bool identified = !unit.steps.empty() && unit.steps.front().state == production::StepState::Ok;
    r["serialNumber"] = identified ? nlohmann::json(FormatSerialNumber(data)) : nlohmann::json(nullptr);
    r["model"] = identified ? nlohmann::json(ShortNameOf(static_cast<std::uint32_t>(data.DeviceCode))) : nlohmann::json(nullptr);
    r["deviceCode"] = identified ? nlohmann::json(data.DeviceCode & 0xFF) : nlohmann::json(nullptr);
    r["steps"] = nlohmann::json::array();
    for (const production::UnitStep& s : unit.steps)
        r["steps"].push_back({{"name", s.name}, {"ok", s.state == production::StepState::Ok}, {"seconds", s.seconds}});
    if (unit.status != production::kUnitOk) {
        r["stoppedAt"] = unit.steps.back().name;
        r["reason"] = unit.reason.empty() ? "the step '" + unit.steps.back().name + "' failed" : unit.reason;
        if (!unit.reason.empty()) Complain(unit.reason);
        Complain("unit stopped at the step '" + unit.steps.back().name + "'");
        return unit.status;
    }
    if (inv.dryRun) return ReportChanges(terminal.before, SectionFields(device));
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
    const production::HistorySource log = production::LogOf(device);
    const std::string& stored = log.stored;
    const std::string& path = log.path;
    std::string out;
    std::size_t matched = 0;
    const OutputMode& mode = Out().Mode();
    nlohmann::json& found = Out().Result()["records"] = nlohmann::json::array();
    // Writes whose program stopped before logging them belong in the listing too.
    if (platform::PathFileExists(path)) records::AppendOrphanedRecords(path);
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
    const auto list = production::BackupsFor({});
    nlohmann::json& backups = Out().Result()["backups"] = nlohmann::json::array();
    for (const records::BackupEntry& b : list) {
        // A record damaged before the backup was taken comes back damaged: say so here.
        records::ConverterSnapshot held;
        std::string error;
        const bool damaged = records::ReadBackupFile(b.path, held, error) && !UserAreaChecksumMatches(held.userArea);
        Out().Text(b.converter + "\t" + b.name + "\t" + b.path + (damaged ? "\trecord checksum error" : ""));
        backups.push_back({{"converter", b.converter}, {"time", b.name}, {"file", b.path}});
        // Only on the damaged ones, so the report of sound backups stays as it was.
        if (damaged) backups.back()["recordChecksum"] = "error";
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
    if (!UserAreaChecksumMatches(backup.userArea))
        Complain(inv.file + ": its identification record fails its own checksum; it is restored as the backup "
                            "holds it, damaged (record program writes a sound one)");
    records::ConverterSnapshot present;
    const production::RestoreCheck check = production::CheckRestore(device, backup, inv.otherConverter, present, error);
    if (check == production::RestoreCheck::NoDisplay) return kExitNoDisplay;
    if (check == production::RestoreCheck::Unreadable) {
        Complain("cannot restore " + inv.file + ": " + error);
        return kExitFailed;
    }
    const std::string untrusted = records::UntrustedSerial(present);
    const bool sameSerial = records::StoredSerial(present.converterSerial) == backup.converterSerial;
    // A write cut off may leave the serial number garbled; the converter is still where it was.
    // Not a blank part nor a whole image without a serial number (another converter in that
    // socket), nor a location an edit may have put into a backup without a digest.
    const bool blank = std::all_of(present.words.begin(), present.words.end(),
                                   [](std::uint16_t w) { return w == 0xFFFF; });
    const bool samePlace = !sameSerial && !untrusted.empty() && records::ImageCutOff(present) && !blank &&
                           backup.digested && !backup.location.empty() && backup.location == present.location;
    if (samePlace && !inv.otherConverter)
        Complain("the converter's serial number no longer reads (" + untrusted + "): " + inv.file +
                 " was taken from the converter " + backup.converterSerial + " at the same USB location, " +
                 present.location + ", so it is this converter's own backup");
    if (check == production::RestoreCheck::OtherConverter && !samePlace) {
        Complain("the backup " + inv.file + " was taken from the converter " + backup.converterSerial +
                 ", this one is " + present.converterSerial +
                 "; nothing was written (--other-converter writes it all the same)");
        return kExitFailed;
    }
    if (inv.dryRun) {
        const production::RestoreChanges changes = production::ChangesOfRestore(present, backup);
        return ReportChanges(changes.was, changes.will);
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
