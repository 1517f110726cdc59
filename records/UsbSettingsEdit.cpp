#include "records/UsbSettingsEdit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/ConverterRules.h"
#include "link/UserArea.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

UsbSettingsRecord::UsbSettingsRecord()
{
    data.Manufacturer = manufacturer.data();
    data.ManufacturerId = manufacturerId.data();
    data.Description = description.data();
    data.SerialNumber = serialNumber.data();
}

namespace {

std::string HexWord(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value & 0xFFFFu);
    return text;
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The buffers end with a NUL whatever the caller checked.
void CopyText(char* buffer, const std::string& text)
{
    const std::size_t n = std::min(text.size(), kUsbTextMax);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

std::string Formatted(unsigned id, const char* argument)
{
    const char* format = LoadString(id);
    const int n = std::snprintf(nullptr, 0, format, argument);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::snprintf(text.data(), text.size() + 1, format, argument);
    return text;
}

// The value as the operator can read it back on one line: control characters as \n, \t, \xNN.
std::string Escaped(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else
            out += c;
    }
    return out + "\"";
}

} // namespace

UsbSettingsFields UsbFieldsFromRecord(const d2xx::FT_PROGRAM_DATA& data)
{
    UsbSettingsFields f;
    f.VendorId = HexWord(data.VendorId);
    f.ProductId = HexWord(data.ProductId);
    f.Manufacturer = Text(data.Manufacturer);
    f.ManufacturerId = Text(data.ManufacturerId);
    f.SerialNumber = Text(data.SerialNumber);
    f.Description = Text(data.Description);
    return f;
}

std::optional<std::uint16_t> ParseHexWord(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(std::string_view("\t x0", 4));
    if (start == std::string_view::npos)
        return 0;
    text.remove_prefix(start);
    if (HexDigit(text.front()) < 0)
        return std::nullopt;
    // Accumulating modulo 2^16 keeps the low 16 bits of numbers of any length.
    unsigned value = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0)
            break;
        value = ((value << 4) | static_cast<unsigned>(d)) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint32_t> ParseHexId(std::string_view text)
{
    if (!ParseHexWord(text))
        return std::nullopt;
    const std::size_t start = text.find_first_not_of(std::string_view("\t x0", 4));
    std::uint32_t value = 0;
    for (std::size_t i = start; i != std::string_view::npos && i < text.size(); ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0)
            break;
        value = std::min<std::uint32_t>((value << 4) | static_cast<std::uint32_t>(d), 0x10000u);
    }
    return value;
}

std::string CheckUsbIdText(const char* name, std::string_view text)
{
    const std::optional<std::uint32_t> value = ParseHexId(text);
    // "x" or blanks alone read as 0 but hold no number at all.
    const bool digits = text.find_first_of("0123456789abcdefABCDEF") != std::string_view::npos;
    // The reading stops at the first other character: "0x6O15" (a letter O) would program 0x0006.
    const std::size_t from = text.find_first_not_of(std::string_view("\t x0", 4));
    const std::size_t last = text.find_last_not_of(std::string_view("\t ", 2));
    bool junk = false;
    for (std::size_t i = from; i != std::string_view::npos && last != std::string_view::npos && i <= last; ++i)
        junk = junk || HexDigit(text[i]) < 0;
    if (!value || !digits || junk)
        return Formatted(IDS_USB_ID_NOT_HEX, name);
    if (*value > 0xFFFFu)
        return "The " + std::string(name) + " " + Escaped(text) +
               " is larger than 0xffff, the largest USB ID; nothing was programmed.";
    // No driver binds to ID 0: the converter would vanish from the bus.
    if (*value == 0)
        return "The " + std::string(name) + " " + Escaped(text) +
               " is 0x0000, which no driver finds; nothing was programmed.";
    return {};
}

std::string CheckUsbStringText(const char* name, std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return "The " + std::string(name) + " " + Escaped(text) +
                   " holds a control character (a line break, a tab); nothing was programmed.";
    }
    // The chip holds UTF-16; the displays' own strings are plain ASCII, and other bytes would
    // reach the bus one unit per byte.
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > 0x7E)
            return "The " + std::string(name) + " " + Escaped(text) +
                   " holds a character other than printable ASCII; nothing was programmed.";
    }
    return {};
}

std::string CheckUsbSerialLength(const std::string& serial)
{
    if (serial.size() <= d2xx::kListedSerialMax)
        return {};
    return "SerialNumber=" + serial + " is " + std::to_string(serial.size()) +
           " characters long: a USB serial number may have at most " +
           std::to_string(d2xx::kListedSerialMax) +
           ", the longest the D2XX device list can name a converter by; nothing was programmed.";
}

std::size_t UsbStringRoom(std::uint32_t chipType)
{
    // Each string also takes a two-byte header; the checksum word ends the space.
    if (chipType == d2xx::FT_DEVICE_X_SERIES)
        return (0xFE - 0xA0 - 3 * 2) / 2;
    // The library puts the user area right after the serial-number string.
    if (chipType == d2xx::FT_DEVICE_BM)
        return (0x7E - 0x14 - 3 * 2 - kUserAreaSize) / 2;
    return 0;
}

UsbFieldProblem CheckUsbSettingsFields(const UsbSettingsFields& fields, const CMyCrvUsbDevice* device)
{
    struct Id {
        UsbField field;
        const std::string* text;
        const char* name;
    };
    for (const Id& id : {Id{UsbField::VendorId, &fields.VendorId, "Vendor ID"},
                         Id{UsbField::ProductId, &fields.ProductId, "Product ID"}}) {
        if (std::string problem = CheckUsbIdText(id.name, *id.text); !problem.empty())
            return {id.field, std::move(problem)};
    }
    for (const Id& t : {Id{UsbField::Manufacturer, &fields.Manufacturer, "Manufacturer"},
                        Id{UsbField::ManufacturerId, &fields.ManufacturerId, "Manufacturer ID"},
                        Id{UsbField::SerialNumber, &fields.SerialNumber, "Serial Number"},
                        Id{UsbField::Description, &fields.Description, "Device Description"}}) {
        if (t.text->size() > kUsbTextMax)
            return {t.field, Formatted(IDS_USB_TEXT_TOO_LONG, t.name)};
        if (std::string problem = CheckUsbStringText(t.name, *t.text); !problem.empty())
            return {t.field, std::move(problem)};
    }
    // Keeping what the chip holds is no new serial number: the converter is found as before.
    const bool keptSerial = device && device->EepromWasRead && fields.SerialNumber == device->EepromSerial;
    if (std::string problem = CheckUsbSerialLength(fields.SerialNumber); !problem.empty() && !keptSerial)
        return {UsbField::SerialNumber, std::move(problem)};
    const std::size_t room = device ? UsbStringRoom(device->ChipType) : 0;
    const std::size_t total = fields.Manufacturer.size() + fields.Description.size() + fields.SerialNumber.size();
    if (room != 0 && total > room) {
        const char* chip = d2xx::ChipName(device->ChipType);
        return {UsbField::Description,
                "Manufacturer, Description and SerialNumber hold " + std::to_string(total) +
                    " characters together: the " + (chip ? chip : "converter's") + " chip holds at most " +
                    std::to_string(room) + "; nothing was programmed."};
    }
    return {};
}

UsbFieldProblem CheckHeldUsbSettings(CMyCrvUsbDevice& device)
{
    UsbSettingsRecord record;
    device.GetUsbSettings(&record.data);
    return CheckUsbSettingsFields(UsbFieldsFromRecord(record.data), &device);
}

BOOL ProgramUsbSettingsFields(CMyCrvUsbDevice& device, const UsbSettingsFields& fields)
{
    UsbSettingsRecord record;
    device.GetUsbSettings(&record.data);
    record.data.VendorId = ParseHexWord(fields.VendorId).value_or(0);
    record.data.ProductId = ParseHexWord(fields.ProductId).value_or(0);
    CopyText(record.data.Description, fields.Description);
    CopyText(record.data.Manufacturer, fields.Manufacturer);
    CopyText(record.data.ManufacturerId, fields.ManufacturerId);
    CopyText(record.data.SerialNumber, fields.SerialNumber);
    device.SetUsbSettings(&record.data);
    if (!device.ProgramEeprom())
        return FALSE;
    device.ReadUserArea();
    return TRUE;
}
