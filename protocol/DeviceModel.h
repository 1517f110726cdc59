#pragma once
// The display models the program knows, keyed by the device identification code (DIC).
#include <array>
#include <cstdint>

struct DeviceModelInfo {
    std::uint32_t DeviceId;
    const char* ShortName;
    const char16_t* DisplayName;
    std::int32_t MainCells;
    std::int32_t LeadingCells;
    std::int32_t TrailingCells;
    std::int32_t SpareCount;
    std::int32_t TableSize;
    std::int32_t ExtraUnits1;
    std::int32_t ExtraUnits2;
    std::int32_t Option1;
    std::int32_t AuxWriteBytes;
    std::int32_t Option2;
    std::int32_t Option3;
    std::int32_t Option4;
    std::int32_t BaudRate;
    std::int32_t InitValues[6];
};

extern const std::array<DeviceModelInfo, 21> DeviceModelTable;

// Row index 0..20 of the first row whose DeviceId equals id (full 32-bit compare), or -1.
int FindDeviceModel(std::uint32_t id);

// The short name for id, or "" when the table has no row for it.
const char* ShortNameOf(std::uint32_t id);
