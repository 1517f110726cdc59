#pragma once
// The bench's whole job for one display: identify, flash, template, serial number, backup,
// EEPROM, record (each write read back) and the log. Both front ends run it; they learn of each
// step through a UnitObserver and show the result as they like. Runs on whichever thread calls
// it; the observer is called on that thread.
#include <cstdint>
#include <string>
#include <vector>

class CMyCrvUsbDevice;

namespace platform {
class UpdateSink;
}

namespace production {

// The job's end, with the values kestrune-cli exits with.
enum UnitStatus : int {
    kUnitOk = 0,
    kUnitFailed = 1,
    kUnitNoDisplay = 3,
    kUnitNotLogged = 4, // the display was written, the log did not take every record
    kUnitStopped = 130, // the firmware update stopped on the operator's request
};

struct UnitOptions {
    std::string firmware; // empty: no flash
    std::int32_t family = 4;
    std::string templateFile; // empty: no template
    bool serialNext = false;
    // Everything up to the first write, which is left out: the firmware file is checked whole,
    // the template and the next serial number change the device object only.
    bool dryRun = false;
    // During the flash the operator's signals ask to stop: a terminal warns at the first.
    bool signalsWarnFirst = true;
};

enum class StepState { Running, Ok, Failed };

struct UnitStep {
    std::string name; // identify, firmware, template, serial, backup, eeprom, record, log
    StepState state = StepState::Running;
    double seconds = 0;
};

class UnitObserver {
public:
    virtual ~UnitObserver() = default;
    // Once the display answered, before anything is written (never in a dry run): true goes on.
    virtual bool ConfirmWrites() = 0;
    virtual void StepChanged(const UnitStep& step) { (void)step; }
    // Where the firmware update's progress goes (kept until FlashEnded).
    virtual platform::UpdateSink& FlashProgress() = 0;
    virtual void FlashEnded() {}
    // After the identify, before the job changes anything (the device object included).
    virtual void BeforeChanges() {}
    // A dry run's serial step: the next number set in the device object only, nothing reserved.
    // False when it cannot be given (the observer has said why).
    virtual bool PreviewSerialNumber() { return false; }
};

struct UnitResult {
    UnitStatus status = kUnitFailed;
    std::vector<UnitStep> steps;  // those that ran, the last one the failed one when it failed
    std::string reason;           // why the failed step failed, when it is known
    bool confirmed = true;        // false: refused at the confirmation, nothing was changed
    std::string backup;           // the backup taken for the writes
};

UnitResult RunUnit(CMyCrvUsbDevice& device, const UnitOptions& options, UnitObserver& observer);

// "0042.0777.042 Nova 0x62: identify ok (0.01 s), ..., logged (0.00 s)": the device object's
// record and the steps as they ran.
std::string UnitSummary(CMyCrvUsbDevice& device, const std::vector<UnitStep>& steps);

} // namespace production
