#include "production/UnitJob.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "firmware/FirmwareCheck.h"
#include "firmware/UpdateWorker.h"
#include "platform/LastError.h"
#include "platform/StopSignals.h"
#include "platform/System.h"
#include "platform/Ui.h"
#include "protocol/DeviceModel.h"
#include "records/Backup.h"
#include "records/FirmwareLog.h"
#include "records/MyCrvUsbDevice.h"
#include "records/ProductionLog.h"
#include "res/Strings.h"

namespace production {

namespace {

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

// Passes the update's progress on, keeping the line of the record the boot loader refused.
class RefusalWatch : public platform::UpdateSink {
public:
    explicit RefusalWatch(platform::UpdateSink& next) : next_(next) {}
    void ShowStatusText(const std::string& text) override { next_.ShowStatusText(text); }
    void CreateProgressBar() override { next_.CreateProgressBar(); }
    void SetProgressPos(int percent) override { next_.SetProgressPos(percent); }
    void DestroyProgressBar() override { next_.DestroyProgressBar(); }
    void PostUpdateFinished() override { next_.PostUpdateFinished(); }
    void RecordSent(std::uint32_t line) override { next_.RecordSent(line); }
    void FirmwareRefused(std::uint32_t line, const std::string& reason) override { next_.FirmwareRefused(line, reason); }
    void RecordRefused(std::uint32_t line) override
    {
        refused_.store(line);
        next_.RecordRefused(line);
    }
    bool StopRequested() override { return next_.StopRequested(); }
    void FlashChangeStarts() override { next_.FlashChangeStarts(); }
    std::uint32_t Refused() const { return refused_.load(); }

private:
    platform::UpdateSink& next_;
    std::atomic<std::uint32_t> refused_{0};
};

} // namespace

std::string UnitSummary(CMyCrvUsbDevice& device, const std::vector<UnitStep>& steps)
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
        const UnitStep& s = steps[i];
        const bool ok = s.state == StepState::Ok;
        char time[32];
        std::snprintf(time, sizeof time, " (%.2f s)", s.seconds);
        line += i == 0 ? " " : ", ";
        if (s.name == "log")
            line += ok ? "logged" : "log FAILED";
        else
            line += s.name + (ok ? " ok" : " FAILED");
        line += time;
    }
    return line;
}

UnitResult RunUnit(CMyCrvUsbDevice& device, const UnitOptions& options, UnitObserver& observer)
{
    UnitResult result;
    // Runs one step and keeps its time; a status other than ok stops the unit there.
    auto step = [&](const std::string& name, const auto& body) -> bool {
        observer.StepChanged(result.steps.emplace_back(UnitStep{name, StepState::Running, 0}));
        const auto start = std::chrono::steady_clock::now();
        UnitStatus status = kUnitFailed;
        try {
            status = body();
        } catch (const platform::CommandError& error) {
            result.reason = error.what();
            status = kUnitFailed;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        UnitStep& done = result.steps.back();
        done.state = status == kUnitOk ? StepState::Ok : StepState::Failed;
        done.seconds = took.count();
        observer.StepChanged(done);
        result.status = status;
        return status == kUnitOk;
    };

    if (!step("identify", [&] {
            if (!device.EnsureConnected()) return kUnitNoDisplay;
            if (Identified(device)) return kUnitOk;
            result.reason = LoadStdString(IDS_ERROR_WAITING_ID);
            return kUnitFailed;
        }))
        return result;
    // Known before anything is written: a display written but not logged has lost its record.
    // Named in the summary only when it fails.
    if (const std::string stored = device.LogFileSetting(),
        problem = records::LogWriteProblem(platform::MapPath(stored));
        !problem.empty()) {
        result.reason = "the production log " + stored + " cannot be written (" + problem + ")";
        observer.StepChanged(result.steps.emplace_back(UnitStep{"log", StepState::Failed, 0}));
        result.status = kUnitFailed;
        return result;
    }
    if (!options.dryRun && !observer.ConfirmWrites()) {
        result.confirmed = false;
        result.status = kUnitFailed;
        return result;
    }
    observer.BeforeChanges();
    const std::uint32_t logFailures = device.LogFailures;

    if (!options.firmware.empty() && !step("firmware", [&] {
            const std::string& file = options.firmware;
            if (options.dryRun) {
                // Checked whole, as the update checks it; the display is not touched.
                const std::uint32_t size = CheckFirmwareFile(file, options.family);
                if (size == 0) {
                    result.reason = file + ": " + DescribeFirmwareFileError(platform::GetLastError(), options.family);
                    return kUnitFailed;
                }
                const FirmwareContentProblem problem = CheckFirmwareContent(file);
                if (problem.error != 0) {
                    result.reason = file + ":" + std::to_string(problem.line) + ": " + problem.reason;
                    return kUnitFailed;
                }
                return kUnitOk;
            }
            UpdateWorker& worker = device.Worker();
            RefusalWatch progress(observer.FlashProgress());
            {
                const platform::StopSignalRun signals(options.signalsWarnFirst);
                if (!worker.StartUpdate(file, options.family, &progress)) {
                    observer.FlashEnded();
                    result.reason = "the firmware update could not be started";
                    return kUnitFailed;
                }
                worker.Wait();
            }
            observer.FlashEnded();
            if (!device.CheckConnection()) device.ConnectDevice(TRUE);
            records::LogFirmwareUpdate(device, true);
            const std::int32_t updated = worker.m_nResult.load();
            if (updated != 0) {
                result.reason = DescribeUpdateResult(updated, options.family, worker.m_nRunError.load()).text;
                if (updated > 0 && progress.Refused() > 0)
                    result.reason += " (the boot loader refused the record on line " +
                                     std::to_string(progress.Refused()) + ")";
                return updated == kUpdateStopped ? kUnitStopped : kUnitFailed;
            }
            if (!device.Connected) return kUnitNoDisplay;
            if (!Identified(device)) {
                result.reason = "the display did not answer after the update";
                return kUnitFailed;
            }
            return kUnitOk;
        }))
        return result;
    if (!options.templateFile.empty() && !step("template", [&] {
            std::ifstream probe(platform::MapPath(options.templateFile));
            if (!probe || !device.LoadSettingsFile(options.templateFile.c_str())) {
                result.reason = LoadStdString(IDS_CANNOT_LOAD_FILE);
                return kUnitFailed;
            }
            return kUnitOk;
        }))
        return result;
    if (options.serialNext && !step("serial", [&] {
            const bool given = options.dryRun ? observer.PreviewSerialNumber() : device.GenerateSerialNumber() > 0;
            return given ? kUnitOk : kUnitFailed;
        }))
        return result;
    if (options.dryRun) {
        result.status = kUnitOk;
        return result;
    }
    if (!step("backup", [&] {
            records::ConverterSnapshot snapshot;
            std::string error;
            if (!records::ReadConverter(device, snapshot, true, error)) {
                result.reason = "no backup could be made: " + error;
                return kUnitFailed;
            }
            auto path = records::SaveBackup(snapshot, static_cast<std::int64_t>(std::time(nullptr)), error);
            if (!path) {
                result.reason = "no backup could be made: " + error;
                return kUnitFailed;
            }
            result.backup = *path;
            device.LastBackup = *path;
            return kUnitOk;
        }))
        return result;
    {
        HeldBackup held(device, result.backup);
        DeviceData data;
        DecodeSerialNumber(device.UserAreaImage, data);
        if (!step("eeprom", [&] { return device.ProgramEeprom() ? kUnitOk : kUnitFailed; })) return result;
        if (!step("record", [&] { return device.WriteUserArea() ? kUnitOk : kUnitFailed; })) return result;
        device.SwitchModelIfChanged(static_cast<std::uint32_t>(data.DeviceCode));
    }
    if (!step("log", [&] {
            if (device.LogFailures == logFailures) return kUnitOk;
            result.reason = "the production log did not take every record of this unit";
            return kUnitNotLogged;
        }))
        return result;
    result.status = kUnitOk;
    return result;
}

} // namespace production
