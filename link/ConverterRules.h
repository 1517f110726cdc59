#pragma once
// Rules about converters that both providers and the program must apply alike: which chips
// are ever written, and how a serial number cut by the device list still names its converter.
#include <cstddef>
#include <string_view>

#include "link/D2xx.h"

namespace d2xx {

// The chips whose EEPROM layout we know: the BM, the R and the X series. Every EEPROM and
// user-area write asks this first: other chips keep their words elsewhere, and a write laid
// out for these would damage them.
constexpr bool EepromWritable(FT_DEVICE chip)
{
    return chip == FT_DEVICE_BM || chip == FT_DEVICE_232R || chip == FT_DEVICE_X_SERIES;
}

// The chip's name for messages; nullptr for a number D2XX gives no chip.
constexpr const char* ChipName(FT_DEVICE chip)
{
    constexpr const char* names[] = {"FT232BM", "FT8U232AM", "FT100AX", nullptr,  "FT2232C",
                                     "FT232R",  "FT2232H",   "FT4232H", "FT232H", "X series"};
    return chip < sizeof names / sizeof names[0] ? names[chip] : nullptr;
}

// Serial numbers come through the device list and FT_GetDeviceInfo in 16-byte buffers.
constexpr std::size_t kListedSerialMax = 15;

// Whether `given`, a serial number as the device list handed it out, names the converter whose
// serial is `full`: the same text, or the list's cut of a longer one. Callers see to it that
// only one listed converter matches a cut.
constexpr bool SerialNames(std::string_view given, std::string_view full)
{
    return given == full || (given.size() == kListedSerialMax && full.size() > kListedSerialMax &&
                             full.substr(0, kListedSerialMax) == given);
}

} // namespace d2xx
