#pragma once
// The identification record in memory and its codec over the stored 25-byte image.
#include <cstdint>
#include <string>

#include "link/UserArea.h"

struct DeviceData {
    std::int32_t DeviceCode = 0;  // 0..255, the model table's DeviceId
    std::int32_t SerialPart1 = 0; // 0..65535, the running number
    std::int32_t SerialPart2 = 0; // 0..9999
    std::int32_t SerialPart3 = 0; // 0..999
    std::int64_t ManufacturingDate = 0; // seconds since 1970 UTC, local midnight
    std::int64_t LastUpdateDate = 0;
};

// Decodes the image; true when the stored checksum matches. Throws platform::CommandError
// (E_INVALIDARG) when a date cannot be converted.
bool DecodeUserArea(const UserAreaImageBuffer& image, DeviceData& data);
// Encodes into the image (cleared first) with a fresh checksum.
void EncodeUserArea(const DeviceData& data, UserAreaImageBuffer& image);

// "%04d.%04d.%03d" of the three groups.
std::string FormatSerialNumber(const DeviceData& data);

// Local midnight of the day (mktime, daylight saving decided by the library); nullopt-like
// failure is reported as false.
bool LocalMidnight(int year, int month, int day, std::int64_t& out);
// Day, month and two-digit year (year - 2000, 0 before 2000) of a time value in local time;
// all 0 when it cannot be converted.
struct ShortDate {
    int day = 0;
    int month = 0;
    int year2 = 0;
};
ShortDate ToShortDate(std::int64_t time);
