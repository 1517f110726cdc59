#pragma once
// Firmware updates in the production log, for stations that ask for them ([Settings]
// LogFirmware=1 in the profile store) and for the bench's one-command job: a record in the
// log's form with the kind line "*** Firmware updated" and a [Firmware] section.
#include <cstdint>
#include <string>

#include "firmware/UpdateWorker.h"
#include "platform/Types.h"
#include "records/ProductionLog.h"
#include "records/SettingsFile.h"

class CMyCrvUsbDevice;
struct DeviceData;

namespace records {

// Type and SerialNumber of the display, then File (name only), Size, SHA256, Family, Result
// (the run's result code, 0 success). Size and SHA256 are those of the bytes the run read
// (checked); without them, the file's as it is now: -1 and empty when it cannot be read.
KeyValues FirmwareSectionValues(const std::string& path, std::int32_t family, std::int32_t result,
                                const DeviceData& display, const CheckedFirmware* checked = nullptr);
std::string FormatFirmwareRecord(const StationInfo& station, const KeyValues& values);

// After a finished run of the device's worker: appends its record when always is set or the
// profile asks for it. FALSE only when a record was due and could not be appended.
BOOL LogFirmwareUpdate(CMyCrvUsbDevice& device, bool always);

} // namespace records
