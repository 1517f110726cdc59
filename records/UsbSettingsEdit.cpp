#include "records/UsbSettingsEdit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "records/MyCrvUsbDevice.h"

UsbProgramData::UsbProgramData()
{
    data.Manufacturer = manufacturer.data();
    data.ManufacturerId = manufacturerId.data();
    data.Description = description.data();
    data.SerialNumber = serialNumber.data();
}

std::string& UsbSettingsFields::operator[](UsbField field)
{
    switch (field) {
    case UsbField::VendorId: return VendorId;
    case UsbField::ProductId: return ProductId;
    case UsbField::Manufacturer: return Manufacturer;
    case UsbField::ManufacturerId: return ManufacturerId;
    case UsbField::SerialNumber: return SerialNumber;
    case UsbField::Description: break;
    }
    return Description;
}

const std::string& UsbSettingsFields::operator[](UsbField field) const
{
    return (*const_cast<UsbSettingsFields*>(this))[field];
}

const char* UsbFieldLabel(UsbField field)
{
    switch (field) {
    case UsbField::VendorId: return "Vendor ID";
    case UsbField::ProductId: return "Product ID";
    case UsbField::Manufacturer: return "Manufacturer";
    case UsbField::ManufacturerId: return "Manufacturer ID";
    case UsbField::SerialNumber: return "Serial Number";
    case UsbField::Description: break;
    }
    return "Device Description";
}

namespace {

std::string HexWordText(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// A descriptor buffer need not hold its terminator when something else filled it.
std::string BufferText(const char* buffer)
{
    return buffer ? std::string(buffer, strnlen(buffer, kUsbTextLimit + 1)) : std::string();
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view TrimHexWord(std::string_view text)
{
    std::size_t start = text.find_first_not_of("\t x0");
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

void CopyText(std::array<char, 64>& buffer, const std::string& text)
{
    buffer.fill('\0');
    std::memcpy(buffer.data(), text.data(), std::min(text.size(), kUsbTextLimit));
}

const UsbField kAllFields[] = {UsbField::VendorId,       UsbField::ProductId,
                               UsbField::Manufacturer,   UsbField::ManufacturerId,
                               UsbField::SerialNumber,   UsbField::Description};

} // namespace

UsbSettingsFields FillUsbSettingsFields(const d2xx::FT_PROGRAM_DATA& data)
{
    UsbSettingsFields fields;
    fields.VendorId = HexWordText(data.VendorId);
    fields.ProductId = HexWordText(data.ProductId);
    fields.Manufacturer = BufferText(data.Manufacturer);
    fields.ManufacturerId = BufferText(data.ManufacturerId);
    fields.SerialNumber = BufferText(data.SerialNumber);
    fields.Description = BufferText(data.Description);
    return fields;
}

std::uint16_t ParseHexWord(std::string_view text)
{
    std::uint16_t value = 0;
    for (char c : TrimHexWord(text)) {
        int digit = HexDigitValue(c);
        if (digit < 0) break;
        value = static_cast<std::uint16_t>((value << 4) | digit);
    }
    return value;
}

bool IsHexWordText(std::string_view text)
{
    std::string_view rest = TrimHexWord(text);
    return rest.empty() || HexDigitValue(rest.front()) >= 0;
}

std::optional<UsbSettingsRefusal> CheckUsbSettingsFields(const UsbSettingsFields& fields)
{
    for (UsbField field : kAllFields) {
        const std::string& value = fields[field];
        const bool isId = field == UsbField::VendorId || field == UsbField::ProductId;
        if (isId && !IsHexWordText(value)) {
            return UsbSettingsRefusal{field, std::string("The ") + UsbFieldLabel(field) +
                                                 " must be a hexadecimal number such as 0x0403."};
        }
        if (value.size() > kUsbTextLimit) {
            return UsbSettingsRefusal{field, std::string("The ") + UsbFieldLabel(field) +
                                                 " must not be longer than 63 characters."};
        }
    }
    return std::nullopt;
}

BOOL ProgramUsbSettingsFields(CMyCrvUsbDevice& device, const UsbSettingsFields& fields)
{
    // Start from the settings in memory so that the fields not shown keep their values.
    UsbProgramData record;
    device.GetUsbSettings(&record.data);
    record.data.VendorId = ParseHexWord(fields.VendorId);
    record.data.ProductId = ParseHexWord(fields.ProductId);
    CopyText(record.description, fields.Description);
    CopyText(record.manufacturer, fields.Manufacturer);
    CopyText(record.manufacturerId, fields.ManufacturerId);
    CopyText(record.serialNumber, fields.SerialNumber);
    device.SetUsbSettings(&record.data);
    if (!device.ProgramEeprom()) return FALSE;
    device.ReadUserArea();
    return TRUE;
}
