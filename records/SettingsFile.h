#pragma once
// The [Device] and [USB] sections of settings files and log records, as key/value lines.
// Formatting and parsing are pure; the device object does the file I/O.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "link/D2xx.h"
#include "records/DeviceData.h"

namespace records {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// The four [Device] keys in file order.
KeyValues DeviceSectionValues(const DeviceData& data);
// The seventeen [USB] keys in file order; the four string pointers must be valid.
KeyValues UsbSectionValues(const d2xx::FT_PROGRAM_DATA& data);
// Control characters become blanks: a stored value is one line, so it cannot forge another.
std::string OneLine(std::string text);
// "[name]\r\n" and "key=value\r\n" lines, as a fresh private-profile file holds them; values
// made OneLine.
std::string FormatSection(const std::string& name, const KeyValues& values);

// The [USB] fields the EEPROM image does not carry, set to the values a load takes as default
// (PnP 1, Rev4 1, IsoIn 0, IsoOut 0, PullDownEnable 1, SerNumEnable 1, USBVersionEnable 0,
// USBVersion 0x0110).
void SetUsbLoadDefaults(d2xx::FT_PROGRAM_DATA& data);

// Looks a key up and returns its value, or def when the key is missing.
using SectionReader = std::function<std::string(const char* key, const char* def)>;

// A value that does not match its read format is refused: platform::CommandError E_FAIL whose
// detail names the key and the value ("Type=0xZZ: not a number 0xNN"); data is then unchanged.
// So is an ID of 0 or above 0xffff and a string with other than printable ASCII: the
// converter cannot take them, and cutting them to fit would program something else.
// Takes the [USB] values into data (strings into its four buffers of 64, cut to 63).
void ApplyUsbSection(const SectionReader& read, d2xx::FT_PROGRAM_DATA& data);
// Takes the [Device] values into data, Manufacturing before LastUpdate is read. Also refused:
// a date out of range (E_FAIL), or one the time conversion rejects (E_INVALIDARG).
void ApplyDeviceSection(const SectionReader& read, DeviceData& data);

} // namespace records
