#pragma once
// The identification record as the operator edits it (the device settings dialog and
// kestrune-cli share these): the fields, their checks and the write after a confirmed
// Program!.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Types.h"
#include "records/DeviceData.h"

class CMyCrvUsbDevice;

// Characters each serial group may hold.
constexpr int kSerial1Chars = 4;
constexpr int kSerial2Chars = 4;
constexpr int kSerial3Chars = 3;
// The record keeps the code in one byte.
constexpr std::uint32_t kDeviceCodeMax = 255;

struct DeviceSettingsFields {
    std::uint32_t DeviceCode = 0;
    std::string Serial1; // "%04d"
    std::string Serial2; // "%04d"
    std::string Serial3; // "%03d"
    std::int64_t Manufacturing = 0; // time values; negative: not representable
    std::int64_t LastUpdate = 0;
};

DeviceSettingsFields DeviceFieldsFromRecord(const DeviceData& data);

// Leading blanks and tabs skipped, digits read up to the first other character; no digits give
// 0, and so does a sign. Saturates at the int32 limit.
int ParseDecimalPrefix(std::string_view text);

// The class library's message for a text longer than limit characters.
std::string MaxCharsMessage(int limit);

enum class DeviceField { None, DeviceCode, Manufacturing, LastUpdate, Serial1, Serial2, Serial3 };

struct DeviceFieldProblem {
    DeviceField field = DeviceField::None; // None: the record can be written
    std::string message;
    std::string caption;                   // the box's caption for message
};

// The checks in the order the operator meets them: a date before 1970 (or otherwise not
// representable) first, then a code above 255, then a group longer than its limit or one that
// is empty or does not begin with a digit.
DeviceFieldProblem CheckDeviceSettingsFields(const DeviceSettingsFields& fields);

// The write after the operator confirmed, for checked fields: the record in memory is taken,
// the edited fields replace its values, it is encoded and written to the user area (which
// logs it). Returns the write's result; FALSE, with nothing written, for a record that does
// not fit. May throw platform::CommandError when the record in memory holds a date the time
// conversion rejects.
BOOL WriteDeviceSettingsFields(CMyCrvUsbDevice& device, const DeviceSettingsFields& fields);
