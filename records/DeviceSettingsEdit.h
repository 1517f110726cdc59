#pragma once
// The identification record as the operator edits it, its checks and the writing sequence of
// Program!. Shared by the device settings dialog and kestrune-cli.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Types.h"
#include "records/DeviceData.h"

class CMyCrvUsbDevice;

// The fields in the order the dialog exchanges them.
enum class DeviceField { DeviceCode, Manufacturing, LastUpdate, Serial1, Serial2, Serial3 };

struct DeviceSettingsFields {
    std::uint32_t DeviceCode = 0; // the DIC, as the "%u" edit holds it
    std::string Serial1;          // the three serial groups as typed
    std::string Serial2;
    std::string Serial3;
    std::int64_t Manufacturing = 0; // time values; negative: the date cannot be represented
    std::int64_t LastUpdate = 0;
};

// Character limits of the three serial-group edits.
constexpr std::size_t kSerialGroupLimit[3] = {4, 4, 3};
// The largest code the record's one byte holds.
constexpr std::uint32_t kDeviceCodeLimit = 255;

// The dialog's FillFields: groups as "%04d", "%04d", "%03d".
DeviceSettingsFields FillDeviceSettingsFields(const DeviceData& data);

// A number as the dialog reads a serial group or the module value: leading blanks skipped,
// decimal digits up to the first other character, 0 without digits (saturates at INT32_MAX).
std::int32_t ReadDecimalNumber(std::string_view text);

// Why the values cannot be written: the field to put the focus on, and the box to show.
struct DeviceSettingsRefusal {
    DeviceField field;
    std::string text;
    std::string caption;
};
// Every check before the confirmation, in the dialog's order: a serial group longer than its
// limit ("Please enter no more than %1 characters."), a negative date ("Date is out of
// range."), a serial group that is empty or does not start with a digit, a DIC above 255.
std::optional<DeviceSettingsRefusal> CheckDeviceSettingsFields(const DeviceSettingsFields& fields);

// The record with the fields put over it (Program!'s step 5).
DeviceData ApplyDeviceSettingsFields(DeviceData data, const DeviceSettingsFields& fields);

// Program! after the confirmation: the record in memory with the fields put over it is encoded
// and written into the user area (the production log record included). The fields must have
// passed CheckDeviceSettingsFields. Returns WriteUserArea's result. May throw
// platform::CommandError when the record in memory holds a date that cannot be converted.
BOOL ProgramDeviceSettingsFields(CMyCrvUsbDevice& device, const DeviceSettingsFields& fields);
