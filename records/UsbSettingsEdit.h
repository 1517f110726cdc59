#pragma once
// The USB settings as the operator edits them (the settings dialog and kestrune-cli share
// these): the ID conversion, the checks that refuse what the converter cannot take, and the
// write sequence after a confirmed Program!.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/D2xx.h"
#include "platform/Types.h"

class CMyCrvUsbDevice;

// An FT_PROGRAM_DATA whose four text pointers point at its own 64-byte buffers, empty at
// first. Not copyable: the record points into the object.
struct UsbSettingsRecord {
    UsbSettingsRecord();
    UsbSettingsRecord(const UsbSettingsRecord&) = delete;
    UsbSettingsRecord& operator=(const UsbSettingsRecord&) = delete;

    d2xx::FT_PROGRAM_DATA data{};
    std::array<char, 64> manufacturer{};
    std::array<char, 64> manufacturerId{};
    std::array<char, 64> description{};
    std::array<char, 64> serialNumber{};
};

// Longest text a 64-byte buffer holds beside its terminator.
constexpr std::size_t kUsbTextMax = 63;

struct UsbSettingsFields {
    std::string VendorId;  // "0x0403"
    std::string ProductId;
    std::string Manufacturer;
    std::string ManufacturerId;
    std::string SerialNumber;
    std::string Description;
};

// IDs as "0x%04x", texts as they are.
UsbSettingsFields UsbFieldsFromRecord(const d2xx::FT_PROGRAM_DATA& data);

// Leading tabs, blanks, lower-case x and zeros are dropped, then hexadecimal digits are read
// up to the first other character; the low 16 bits count. Empty (or zeros only) gives 0.
// nullopt when something is left that does not start with a hexadecimal digit (0X12, -5, g1):
// such a text has no defined value.
std::optional<std::uint16_t> ParseHexWord(std::string_view text);

// The same reading without cutting: the whole number, or 0x10000 for anything larger, so a
// check can tell an ID that does not fit from one that does.
std::optional<std::uint32_t> ParseHexId(std::string_view text);

// The checks every entry point (dialog, command line, settings file) shares: "" when the value
// can be programmed, else the operator's message naming it. name: "Vendor ID", "Description"...
// An ID must hold a digit and be 0x0001 to 0xffff.
std::string CheckUsbIdText(const char* name, std::string_view text);
// A USB string must be one line of printable ASCII: control characters would be programmed
// raw and break the production log's lines.
std::string CheckUsbStringText(const char* name, std::string_view text);
// A serial number longer than the D2XX device list's buffer would leave a converter that no
// D2XX open by serial number finds again.
std::string CheckUsbSerialLength(const std::string& serial);

// How many characters Manufacturer, Description and SerialNumber may hold together on the chip
// (on an FT232BM with room left for the identification record); 0 for a chip not programmed.
std::size_t UsbStringRoom(std::uint32_t chipType);

enum class UsbField { None, VendorId, ProductId, Manufacturer, ManufacturerId, SerialNumber,
                      Description };

struct UsbFieldProblem {
    UsbField field = UsbField::None; // None: the fields can be programmed
    std::string message;             // why not, for the operator
};

// First field, top to bottom, that cannot be programmed: an ID without a defined value, 0 or
// above 0xffff, a text longer than kUsbTextMax bytes or holding other than printable ASCII.
// With the device: a serial number as long as the chip already holds it is kept, not refused,
// and strings beyond the chip's room are refused.
UsbFieldProblem CheckUsbSettingsFields(const UsbSettingsFields& fields,
                                       const CMyCrvUsbDevice* device = nullptr);
// The same checks of the settings the device object holds now (a loaded file, a new number).
UsbFieldProblem CheckHeldUsbSettings(CMyCrvUsbDevice& device);

// The write after the operator confirmed, for checked fields: the current settings are taken
// from the device so that the fields not edited keep their values, the edited ones replace
// theirs, the image is programmed, and on success the user area is read again so the record
// in memory matches the converter. Returns the programming result; on failure the image in
// memory already holds the new values.
BOOL ProgramUsbSettingsFields(CMyCrvUsbDevice& device, const UsbSettingsFields& fields);
