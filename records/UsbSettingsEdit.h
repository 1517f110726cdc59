#pragma once
// The USB settings as the operator edits them (six texts), their checks and the programming
// sequence of Program!. Shared by the USB settings dialog and kestrune-cli.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/D2xx.h"
#include "platform/Types.h"

class CMyCrvUsbDevice;

// An FT_PROGRAM_DATA whose four strings point to its own 64-byte buffers, empty at first.
struct UsbProgramData {
    UsbProgramData();
    UsbProgramData(const UsbProgramData&) = delete;
    UsbProgramData& operator=(const UsbProgramData&) = delete;

    d2xx::FT_PROGRAM_DATA data{};
    std::array<char, 64> manufacturer{};
    std::array<char, 64> manufacturerId{};
    std::array<char, 64> description{};
    std::array<char, 64> serialNumber{};
};

// The six edit fields in the order of the dialog's controls.
enum class UsbField { VendorId, ProductId, Manufacturer, ManufacturerId, SerialNumber, Description };

struct UsbSettingsFields {
    std::string VendorId;
    std::string ProductId;
    std::string Manufacturer;
    std::string ManufacturerId;
    std::string SerialNumber;
    std::string Description;

    std::string& operator[](UsbField field);
    const std::string& operator[](UsbField field) const;
};

// The longest text a 64-byte descriptor buffer holds.
constexpr std::size_t kUsbTextLimit = 63;

// The field's label without its mnemonic ("Vendor ID", "Device Description").
const char* UsbFieldLabel(UsbField field);

// The dialog's FillFields: the IDs as "0x%04x", the texts as they are.
UsbSettingsFields FillUsbSettingsFields(const d2xx::FT_PROGRAM_DATA& data);

// An ID text back to its 16-bit value: empty gives 0; leading tabs, blanks, lower-case x and 0
// are dropped; the hexadecimal digits that follow are read and their low 16 bits taken
// ("0x0403" -> 0x0403, "12345" -> 0x2345, "1fg" -> 0x1f, "0000" -> 0).
std::uint16_t ParseHexWord(std::string_view text);
// Whether ParseHexWord gives the text a defined value: after that trimming nothing is left or a
// hexadecimal digit comes first ("0X1234" and "-5" have none).
bool IsHexWordText(std::string_view text);

// Why the values cannot be programmed, naming the first offending field.
struct UsbSettingsRefusal {
    UsbField field;
    std::string text;
};
// The checks made before the confirmation: an ID without a defined value, a text longer than
// kUsbTextLimit. Nothing refused: nullopt.
std::optional<UsbSettingsRefusal> CheckUsbSettingsFields(const UsbSettingsFields& fields);

// Program! after the confirmation: the settings in memory, with the fields put over them, are
// programmed into the converter (the production log record included); on success the user
// area is read again so that the record in memory matches the converter. The fields must have
// passed CheckUsbSettingsFields. Returns ProgramEeprom's result.
BOOL ProgramUsbSettingsFields(CMyCrvUsbDevice& device, const UsbSettingsFields& fields);
