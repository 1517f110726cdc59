#include "records/DeviceData.h"

#include <cstdio>
#include <ctime>
#include <string_view>

#include "platform/LastError.h"
#include "platform/TextNumber.h"

namespace {

constexpr std::size_t kSerialOffset = 1;
constexpr std::size_t kManufacturingOffset = 11;
constexpr std::size_t kLastUpdateOffset = 17;
constexpr std::uint8_t kLongSerialFlag = 0x80;

std::string_view Field(const UserAreaImageBuffer& image, std::size_t offset, std::size_t size)
{
    return {reinterpret_cast<const char*>(image.data()) + offset, size};
}

// Writes text (exactly its length, no NUL) at offset.
void Put(UserAreaImageBuffer& image, std::size_t offset, std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        image[offset + i] = static_cast<std::uint8_t>(text[i]);
}

std::int64_t DecodeDate(const UserAreaImageBuffer& image, std::size_t offset)
{
    int year = 2000 + platform::LeadingDecimal(Field(image, offset, 2));
    int month = platform::LeadingDecimal(Field(image, offset + 2, 2));
    int day = platform::LeadingDecimal(Field(image, offset + 4, 2));
    if (year > 2037)
        year = 2037;
    if (month < 1 || month > 12)
        month = 1;
    if (day < 1 || day > 31)
        day = 1;
    std::int64_t time = 0;
    if (!LocalMidnight(year, month, day, time))
        throw platform::CommandError(platform::E_INVALIDARG);
    return time;
}

bool LocalTime(std::int64_t time, std::tm& out)
{
    std::time_t t = static_cast<std::time_t>(time);
    if (static_cast<std::int64_t>(t) != time)
        return false;
    return localtime_r(&t, &out) != nullptr;
}

void EncodeDate(std::int64_t time, UserAreaImageBuffer& image, std::size_t offset)
{
    int yy = 0, mm = 0, dd = 0;
    std::tm tm{};
    if (LocalTime(time, tm)) {
        int year = tm.tm_year + 1900;
        yy = (year >= 2000 && year <= 2037) ? year - 2000 : 0;
        mm = tm.tm_mon + 1;
        dd = tm.tm_mday;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%02d%02d%02d", yy, mm, dd);
    Put(image, offset, std::string_view(text, 6));
}

} // namespace

void DecodeSerialNumber(const UserAreaImageBuffer& image, DeviceData& data)
{
    data.DeviceCode = image[0];
    data.SerialPart1 = platform::LeadingDecimal(Field(image, kSerialOffset, 3));
    data.SerialPart2 = platform::LeadingDecimal(Field(image, kSerialOffset + 3, 4));
    data.SerialPart3 = platform::LeadingDecimal(Field(image, kSerialOffset + 7, 3));
    if (image[kSerialOffset] & kLongSerialFlag)
        data.SerialPart1 = image[kSerialOffset + 1] | (image[kSerialOffset + 2] << 8);
}

bool DecodeUserArea(const UserAreaImageBuffer& image, DeviceData& data)
{
    DeviceData decoded;
    DecodeSerialNumber(image, decoded);
    decoded.ManufacturingDate = DecodeDate(image, kManufacturingOffset);
    decoded.LastUpdateDate = DecodeDate(image, kLastUpdateOffset);
    data = decoded;
    return UserAreaChecksumMatches(image);
}

bool DeviceDataFits(const DeviceData& data)
{
    return data.DeviceCode >= 0 && data.DeviceCode <= 255 && data.SerialPart1 >= 0 &&
           data.SerialPart1 <= 65535 && data.SerialPart2 >= 0 && data.SerialPart2 <= 9999 &&
           data.SerialPart3 >= 0 && data.SerialPart3 <= 999;
}

bool EncodeUserArea(const DeviceData& data, UserAreaImageBuffer& image)
{
    if (!DeviceDataFits(data))
        return false;
    image.fill(0);
    image[0] = static_cast<std::uint8_t>(data.DeviceCode);
    char text[40]; // room for any int, though DeviceDataFits keeps the groups short
    if (data.SerialPart1 <= 999) {
        std::snprintf(text, sizeof text, "%03d%04d%03d", data.SerialPart1, data.SerialPart2,
                      data.SerialPart3);
        Put(image, kSerialOffset, std::string_view(text, 10));
    } else {
        image[kSerialOffset] = kLongSerialFlag;
        image[kSerialOffset + 1] = static_cast<std::uint8_t>(data.SerialPart1 & 0xFF);
        image[kSerialOffset + 2] = static_cast<std::uint8_t>(data.SerialPart1 >> 8);
        std::snprintf(text, sizeof text, "%04d%03d", data.SerialPart2, data.SerialPart3);
        Put(image, kSerialOffset + 3, std::string_view(text, 7));
    }
    EncodeDate(data.ManufacturingDate, image, kManufacturingOffset);
    EncodeDate(data.LastUpdateDate, image, kLastUpdateOffset);
    std::uint16_t sum = UserAreaChecksum(image);
    image[23] = static_cast<std::uint8_t>(sum >> 8);
    image[24] = static_cast<std::uint8_t>(sum & 0xFF);
    return true;
}

std::string FormatSerialNumber(const DeviceData& data)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d.%04d.%03d", data.SerialPart1, data.SerialPart2,
                  data.SerialPart3);
    return text;
}

bool LocalMidnight(int year, int month, int day, std::int64_t& out)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = -1;
    std::tm probe = tm;
    std::time_t t = std::mktime(&probe);
    // -1 is also 1969-12-31 23:59:59 UTC, never a local midnight a record can name.
    if (t == static_cast<std::time_t>(-1))
        return false;
    out = static_cast<std::int64_t>(t);
    return true;
}

ShortDate ToShortDate(std::int64_t time)
{
    ShortDate date;
    std::tm tm{};
    if (!LocalTime(time, tm))
        return date;
    int year = tm.tm_year + 1900;
    date.day = tm.tm_mday;
    date.month = tm.tm_mon + 1;
    date.year2 = year < 2000 ? 0 : year - 2000;
    return date;
}

std::string FormatShortDate(std::int64_t time)
{
    ShortDate date = ToShortDate(time);
    char text[48];
    std::snprintf(text, sizeof text, "%02d.%02d.%02d", date.day, date.month, date.year2);
    return text;
}

std::string BuildIdentityLine(const DeviceData& data, std::int32_t deviceId,
                              std::int32_t revisionMajor, std::int32_t revisionMinor)
{
    char piece[64];
    std::string line;
    if (data.DeviceCode == deviceId)
        std::snprintf(piece, sizeof piece, "DIC:0x%02x - ",
                      static_cast<unsigned>(data.DeviceCode));
    else
        std::snprintf(piece, sizeof piece, "!DIC:0x%02x/0x%02x! - ",
                      static_cast<unsigned>(data.DeviceCode), static_cast<unsigned>(deviceId));
    line += piece;
    line += "SN:" + FormatSerialNumber(data) + " - ";
    std::snprintf(piece, sizeof piece, "Rev:%01d.%02x - ", revisionMajor,
                  static_cast<unsigned>(revisionMinor));
    line += piece;
    line += "P:" + FormatShortDate(data.ManufacturingDate) + " - ";
    line += "U:" + FormatShortDate(data.LastUpdateDate);
    return line;
}
