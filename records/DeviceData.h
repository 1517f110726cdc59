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
// Only the device code and the three serial groups; never throws.
void DecodeSerialNumber(const UserAreaImageBuffer& image, DeviceData& data);

// Whether the record can hold the code and the serial groups (code 0..255, groups within
// 0..65535, 0..9999, 0..999). Dates always fit: years outside 2000..2037 are stored as 00.
bool DeviceDataFits(const DeviceData& data);
// Encodes into the image (cleared first) with a fresh checksum. Refuses a record that does
// not fit (false, image untouched): a clipped value would decode to another device.
bool EncodeUserArea(const DeviceData& data, UserAreaImageBuffer& image);

// "%04d.%04d.%03d" of the three groups.
std::string FormatSerialNumber(const DeviceData& data);

// Local midnight of the day (mktime with tm_isdst -1: the C library decides daylight saving
// time; out-of-range days and months roll over as mktime does). False when it cannot.
bool LocalMidnight(int year, int month, int day, std::int64_t& out);
// Day, month and two-digit year (year - 2000, 0 before 2000) of a time value in local time;
// all 0 when it cannot be converted.
struct ShortDate {
    int day = 0;
    int month = 0;
    int year2 = 0;
};
ShortDate ToShortDate(std::int64_t time);
// "%02d.%02d.%02d" of day, month and two-digit year.
std::string FormatShortDate(std::int64_t time);

// The identity line of the main window for a decoded record and what the display reported.
std::string BuildIdentityLine(const DeviceData& data, std::int32_t deviceId,
                              std::int32_t revisionMajor, std::int32_t revisionMinor);
