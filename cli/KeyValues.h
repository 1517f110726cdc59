#pragma once
// KEY=VALUE arguments of "eeprom program" and "record program", put over the edit fields.
#include <cstdint>
#include <string>
#include <string_view>

#include "records/DeviceSettingsEdit.h"
#include "records/UsbSettingsEdit.h"

namespace cli {

enum class AssignStatus {
    Ok,
    Usage,   // not KEY=VALUE, or a key the command does not know
    Refused, // the value cannot be taken
};

struct AssignResult {
    AssignStatus status = AssignStatus::Ok;
    std::string message;
};

// Keys are matched without regard to case, like a settings file's.
// VendorId, ProductId, Manufacturer, ManufacturerId, SerialNumber, Description: the texts as
// they are; the checks of CheckUsbSettingsFields follow once all are applied.
AssignResult ApplyUsbAssignment(UsbSettingsFields& fields, std::string_view assignment);

// Type: decimal or 0x hexadecimal; SerialNumber: three groups separated by full stops
// (0012.3456.789); Manufacturing, LastUpdate: DD.MM.YY, a real day from 1 January 2000 to
// 31 December 2037 (the years the record holds). CheckDeviceSettingsFields follows.
AssignResult ApplyDeviceAssignment(DeviceSettingsFields& fields, std::string_view assignment);

// DD.MM.YY as local midnight; false for another form or a day the record cannot hold.
bool ParseShortDate(std::string_view text, std::int64_t& time);

} // namespace cli
