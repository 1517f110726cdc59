#include "cli/KeyValues.h"

#include <strings.h>

#include <charconv>
#include <vector>

#include "records/DeviceData.h"
#include "res/Strings.h"

namespace cli {

namespace {

struct Split {
    bool ok = false;
    std::string key;
    std::string value;
};

Split SplitAssignment(std::string_view text)
{
    Split split;
    std::size_t equals = text.find('=');
    if (equals == 0 || equals == std::string_view::npos) return split;
    split.ok = true;
    split.key = std::string(text.substr(0, equals));
    split.value = std::string(text.substr(equals + 1));
    return split;
}

bool SameKey(const std::string& key, const char* name) { return ::strcasecmp(key.c_str(), name) == 0; }

AssignResult Usage(std::string message) { return {AssignStatus::Usage, std::move(message)}; }
AssignResult Refused(std::string message) { return {AssignStatus::Refused, std::move(message)}; }

std::vector<std::string_view> SplitAt(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

bool ParseNumber(std::string_view text, int base, std::uint32_t& value)
{
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

bool ParseDeviceCode(std::string_view text, std::uint32_t& value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseNumber(text.substr(2), 16, value);
    return ParseNumber(text, 10, value);
}

} // namespace

bool ParseShortDate(std::string_view text, std::int64_t& time)
{
    std::vector<std::string_view> parts = SplitAt(text, '.');
    if (parts.size() != 3) return false;
    std::uint32_t numbers[3];
    for (int i = 0; i < 3; ++i) {
        if (parts[i].size() > 2 || !ParseNumber(parts[i], 10, numbers[i])) return false;
    }
    const int day = static_cast<int>(numbers[0]);
    const int month = static_cast<int>(numbers[1]);
    const int year2 = static_cast<int>(numbers[2]);
    // The record stores two-digit years from 2000 to 2037; later years would come back as 2000.
    if (day < 1 || day > 31 || month < 1 || month > 12 || year2 > 37) return false;
    std::int64_t midnight = 0;
    if (!LocalMidnight(2000 + year2, month, day, midnight)) return false;
    // 31.02.15 would roll over into March: not the day that was meant.
    ShortDate back = ToShortDate(midnight);
    if (back.day != day || back.month != month || back.year2 != year2) return false;
    time = midnight;
    return true;
}

AssignResult ApplyUsbAssignment(UsbSettingsFields& fields, std::string_view assignment)
{
    Split split = SplitAssignment(assignment);
    if (!split.ok) return Usage("'" + std::string(assignment) + "' is not KEY=VALUE");
    static const struct {
        const char* key;
        std::string UsbSettingsFields::*field;
    } keys[] = {{"VendorId", &UsbSettingsFields::VendorId},
                {"ProductId", &UsbSettingsFields::ProductId},
                {"Manufacturer", &UsbSettingsFields::Manufacturer},
                {"ManufacturerId", &UsbSettingsFields::ManufacturerId},
                {"SerialNumber", &UsbSettingsFields::SerialNumber},
                {"Description", &UsbSettingsFields::Description}};
    for (const auto& entry : keys) {
        if (SameKey(split.key, entry.key)) {
            // The dialog reads an empty ID as 0; on a command line it is a forgotten value.
            const bool id = entry.field == &UsbSettingsFields::VendorId || entry.field == &UsbSettingsFields::ProductId;
            if (id && split.value.empty())
                return Refused(split.key + "= needs a hexadecimal ID such as 0x0403; nothing was programmed.");
            fields.*entry.field = split.value;
            return {};
        }
    }
    return Usage("unknown key '" + split.key +
                 "' (VendorId, ProductId, Manufacturer, ManufacturerId, SerialNumber, Description)");
}

AssignResult ApplyDeviceAssignment(DeviceSettingsFields& fields, std::string_view assignment)
{
    Split split = SplitAssignment(assignment);
    if (!split.ok) return Usage("'" + std::string(assignment) + "' is not KEY=VALUE");
    if (SameKey(split.key, "Type")) {
        std::uint32_t code = 0;
        if (!ParseDeviceCode(split.value, code))
            return Refused("Type must be a decimal or 0x hexadecimal number such as 98 or 0x62.");
        fields.DeviceCode = code;
        return {};
    }
    if (SameKey(split.key, "SerialNumber")) {
        std::vector<std::string_view> groups = SplitAt(split.value, '.');
        if (groups.size() != 3) return Refused("SerialNumber must be given as 0012.3456.789.");
        fields.Serial1 = std::string(groups[0]);
        fields.Serial2 = std::string(groups[1]);
        fields.Serial3 = std::string(groups[2]);
        return {};
    }
    const bool manufacturing = SameKey(split.key, "Manufacturing");
    if (manufacturing || SameKey(split.key, "LastUpdate")) {
        std::int64_t time = 0;
        if (!ParseShortDate(split.value, time)) {
            return Refused(split.key + "=" + split.value + ": " +
                           LoadStdString(IDS_DATE_OUT_OF_RANGE) +
                           " (DD.MM.YY, from 01.01.00 to 31.12.37)");
        }
        (manufacturing ? fields.Manufacturing : fields.LastUpdate) = time;
        return {};
    }
    return Usage("unknown key '" + split.key + "' (Type, SerialNumber, Manufacturing, LastUpdate)");
}

} // namespace cli
