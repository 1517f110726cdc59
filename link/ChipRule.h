#pragma once
// Which converter chips are ever written, shared by both providers and the program so that
// the rule is one and the same everywhere.
#include <cstddef>

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
    constexpr const char* names[] = {"FT232BM", "FT232AM", "FT100AX", nullptr, "FT2232C",
                                     "FT232R",  "FT2232H", "FT4232H", "FT232H", "FT-X"};
    return chip < sizeof names / sizeof names[0] ? names[chip] : nullptr;
}

// Serial numbers come through the device list and FT_GetDeviceInfo in 16-byte buffers.
constexpr std::size_t kListedSerialMax = 15;

} // namespace d2xx
