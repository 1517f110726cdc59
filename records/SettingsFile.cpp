#include "records/SettingsFile.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <variant>

#include "platform/LastError.h"
#include "platform/Profile.h"
#include "platform/System.h"
#include "records/MyCrvUsbDevice.h"
#include "records/TextScan.h"
#include "records/UsbSettingsEdit.h"
#include "platform/Ui.h"
#include "res/Strings.h"

namespace records {

namespace {

using d2xx::FT_PROGRAM_DATA;
using Word = d2xx::WORD FT_PROGRAM_DATA::*;
using Byte = d2xx::UCHAR FT_PROGRAM_DATA::*;
using Text = char* FT_PROGRAM_DATA::*;

struct UsbKey {
    const char* key;
    std::variant<Word, Byte, Text> field;
    bool hex;               // written "0x%04x", else "%d"
    const char* readFormat; // unused for strings
    const char* def;
};

// File order.
const std::array<UsbKey, 17> kUsbKeys{{
    {"VendorId", &FT_PROGRAM_DATA::VendorId, true, "0x%x", "0x0403"},
    {"ProductId", &FT_PROGRAM_DATA::ProductId, true, "0x%x", "0xF208"},
    {"Manufacturer", &FT_PROGRAM_DATA::Manufacturer, false, "", "ZKM"},
    {"ManufacturerId", &FT_PROGRAM_DATA::ManufacturerId, false, "", "ZK"},
    {"Description", &FT_PROGRAM_DATA::Description, false, "", "Corvina KV"},
    {"SerialNumber", &FT_PROGRAM_DATA::SerialNumber, false, "", "ZK000001"},
    {"MaxPower", &FT_PROGRAM_DATA::MaxPower, true, "0x%x", "0x01f4"},
    {"PnP", &FT_PROGRAM_DATA::PnP, false, "%d", "1"},
    {"SelfPowered", &FT_PROGRAM_DATA::SelfPowered, true, "0x%4x", "0x0000"},
    {"RemoteWakeup", &FT_PROGRAM_DATA::RemoteWakeup, true, "0x%4x", "0x0001"},
    {"Rev4", &FT_PROGRAM_DATA::Rev4, false, "%d", "1"},
    {"IsoIn", &FT_PROGRAM_DATA::IsoIn, false, "%d", "0"},
    {"IsoOut", &FT_PROGRAM_DATA::IsoOut, false, "%d", "0"},
    {"PullDownEnable", &FT_PROGRAM_DATA::PullDownEnable, false, "%d", "1"},
    {"SerNumEnable", &FT_PROGRAM_DATA::SerNumEnable, false, "%d", "1"},
    {"USBVersionEnable", &FT_PROGRAM_DATA::USBVersionEnable, false, "%d", "0"},
    {"USBVersion", &FT_PROGRAM_DATA::USBVersion, true, "0x%x", "0x0110"},
}};

constexpr std::size_t kStringBuffer = 64;

std::string FormatNumber(unsigned value, bool hex)
{
    char text[16];
    std::snprintf(text, sizeof text, hex ? "0x%04x" : "%d", value);
    return text;
}

// Day, month and two-digit year of a [Device] date; false when the value does not match.
bool ScanDate(const std::string& text, std::int64_t (&dmy)[3])
{
    return ScanFormat(text, "%2d.%2d.%2d", dmy) == 3;
}

std::int64_t CheckedMidnight(const std::int64_t (&dmy)[3])
{
    std::int64_t day = dmy[0], month = dmy[1], year = 2000 + dmy[2];
    if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31)
        throw platform::CommandError(platform::E_FAIL);
    std::int64_t time = 0;
    if (!LocalMidnight(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day), time))
        throw platform::CommandError(platform::E_INVALIDARG);
    return time;
}

} // namespace

KeyValues DeviceSectionValues(const DeviceData& data)
{
    char type[16];
    std::snprintf(type, sizeof type, "0x%02x", static_cast<unsigned>(data.DeviceCode));
    return {{"Type", type},
            {"SerialNumber", FormatSerialNumber(data)},
            {"Manufacturing", FormatShortDate(data.ManufacturingDate)},
            {"LastUpdate", FormatShortDate(data.LastUpdateDate)}};
}

KeyValues UsbSectionValues(const FT_PROGRAM_DATA& data)
{
    KeyValues values;
    for (const UsbKey& k : kUsbKeys) {
        std::string value;
        if (auto w = std::get_if<Word>(&k.field))
            value = FormatNumber(data.**w, k.hex);
        else if (auto b = std::get_if<Byte>(&k.field))
            value = FormatNumber(data.**b, k.hex);
        else
            value = data.*std::get<Text>(k.field);
        values.emplace_back(k.key, std::move(value));
    }
    return values;
}

std::string OneLine(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return text;
}

std::string FormatSection(const std::string& name, const KeyValues& values)
{
    std::string text = "[" + name + "]\r\n";
    for (const auto& [key, value] : values)
        text += key + "=" + OneLine(value) + "\r\n";
    return text;
}

void SetUsbLoadDefaults(FT_PROGRAM_DATA& data)
{
    data.PnP = 1;
    data.Rev4 = 1;
    data.IsoIn = 0;
    data.IsoOut = 0;
    data.PullDownEnable = 1;
    data.SerNumEnable = 1;
    data.USBVersionEnable = 0;
    data.USBVersion = 0x0110;
}

std::string CheckUsbSectionValues(const SectionReader& read)
{
    // The sentinel tells a missing key (its default is fine) from a present one.
    static const char* const kMissing = "\x01";
    // An ID that does not match its format leaves its field as it was; one that matches but
    // does not fit in 16 bits would be cut.
    for (const char* key : {"VendorId", "ProductId"}) {
        std::int64_t value[1];
        const std::string text = read(key, kMissing);
        if (text != kMissing && ScanFormat(text, "0x%x", value) == 1 && value[0] > 0xFFFF)
            return CheckUsbIdText(key, text);
    }
    for (const char* key : {"Manufacturer", "ManufacturerId", "Description", "SerialNumber"}) {
        const std::string text = read(key, kMissing);
        if (text != kMissing)
            if (std::string problem = CheckUsbStringText(key, text); !problem.empty())
                return problem;
    }
    return {};
}

void ApplyUsbSection(const SectionReader& read, FT_PROGRAM_DATA& data)
{
    for (const UsbKey& k : kUsbKeys) {
        std::string text = read(k.key, k.def);
        if (auto t = std::get_if<Text>(&k.field)) {
            char* out = data.**t;
            std::size_t n = std::min(text.size(), kStringBuffer - 1);
            std::memcpy(out, text.data(), n);
            out[n] = '\0';
            continue;
        }
        std::int64_t value[1];
        if (ScanFormat(text, k.readFormat, value) != 1)
            continue;
        if (auto w = std::get_if<Word>(&k.field))
            data.**w = static_cast<d2xx::WORD>(value[0]);
        else
            data.*std::get<Byte>(k.field) = static_cast<d2xx::UCHAR>(value[0]);
    }
}

void ApplyDeviceSection(const SectionReader& read, DeviceData& data)
{
    DeviceData loaded = data;
    std::int64_t v[3];
    if (ScanFormat(read("Type", "0x00"), "0x%2x", v) == 1)
        loaded.DeviceCode = static_cast<std::int32_t>(v[0]);
    if (ScanFormat(read("SerialNumber", "0000.0000.000"), "%4d.%4d.%3d", v) == 3) {
        loaded.SerialPart1 = static_cast<std::int32_t>(v[0]);
        loaded.SerialPart2 = static_cast<std::int32_t>(v[1]);
        loaded.SerialPart3 = static_cast<std::int32_t>(v[2]);
    }
    std::int64_t dmy[3];
    if (ScanDate(read("Manufacturing", "01.01.00"), dmy))
        loaded.ManufacturingDate = CheckedMidnight(dmy);
    if (ScanDate(read("LastUpdate", "01.01.00"), dmy))
        loaded.LastUpdateDate = CheckedMidnight(dmy);
    data = loaded;
}


} // namespace records

namespace {

bool WriteSection(const std::string& file, const char* section, const records::KeyValues& values)
{
    bool ok = true;
    for (const auto& [key, value] : values)
        ok = platform::WritePrivateProfileString(section, key.c_str(), value.c_str(), file) && ok;
    return platform::WritePrivateProfileString(nullptr, nullptr, nullptr, file) && ok;
}

records::SectionReader ReaderFor(const std::string& file, const char* section)
{
    return [file, section](const char* key, const char* def) {
        return platform::GetProfileString(section, key, def, file, 256);
    };
}

} // namespace

// A value the converter cannot take is refused with its reason rather than cut to fit.
bool CMyCrvUsbDevice::UsbSectionFits(const std::string& file)
{
    const std::string problem = records::CheckUsbSectionValues(ReaderFor(file, "USB"));
    if (problem.empty())
        return true;
    platform::Ui().MessageBox(problem, LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONEXCLAMATION,
                              platform::BoxOwner::MainWindow);
    return false;
}

BOOL CMyCrvUsbDevice::SaveSettingsFile(const char* path)
{
    if (path == nullptr || !SaveDeviceDataSection(path))
        return FALSE;
    return SaveUsbSection(path);
}

BOOL CMyCrvUsbDevice::LoadSettingsFile(const char* path)
{
    if (path == nullptr)
        return FALSE;
    // A file that is there but cannot be read would load the defaults over the record in
    // memory and count as loaded. A missing file still gives the defaults.
    const std::string file = platform::MapPath(path);
    if (platform::DirectoryExists(file) || (platform::PathFileExists(file) && !std::ifstream(file)))
        return FALSE;
    // Checked before anything is taken, so a refused file leaves the record as it was.
    if (!UsbSectionFits(file))
        return FALSE;
    if (!LoadDeviceDataSection(path))
        return FALSE;
    return LoadUsbSection(path);
}

// A write that did not reach the file is reported: the caller would otherwise announce a
// saved file that holds nothing.
BOOL CMyCrvUsbDevice::SaveDeviceDataSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    DeviceData data;
    GetDeviceData(data);
    return WriteSection(platform::MapPath(path), "Device", records::DeviceSectionValues(data));
}

BOOL CMyCrvUsbDevice::SaveUsbSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    UsbSettingsRecord usb;
    records::SetUsbLoadDefaults(usb.data);
    GetUsbSettings(&usb.data);
    return WriteSection(platform::MapPath(path), "USB", records::UsbSectionValues(usb.data));
}

BOOL CMyCrvUsbDevice::LoadDeviceDataSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    DeviceData data;
    GetDeviceData(data);
    records::ApplyDeviceSection(ReaderFor(platform::MapPath(path), "Device"), data);
    return SetDeviceData(data);
}

BOOL CMyCrvUsbDevice::LoadUsbSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    if (!UsbSectionFits(platform::MapPath(path)))
        return FALSE;
    UsbSettingsRecord usb;
    records::SetUsbLoadDefaults(usb.data);
    GetUsbSettings(&usb.data);
    records::ApplyUsbSection(ReaderFor(platform::MapPath(path), "USB"), usb.data);
    return SetUsbSettings(&usb.data);
}

BOOL CMyCrvUsbDevice::WriteProfileSetting(const char* section, const char* key, const char* value)
{
    BOOL written = platform::WritePrivateProfileString(section, key, value, ProfilePath);
    platform::WritePrivateProfileString(nullptr, nullptr, nullptr, ProfilePath);
    return written;
}

BOOL CMyCrvUsbDevice::ReadProfileSetting(const char* section, const char* key, const char* def,
                                         char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return FALSE;
    return platform::GetPrivateProfileString(section, key, def, buffer,
                                             static_cast<std::uint32_t>(size), ProfilePath) > 0;
}
