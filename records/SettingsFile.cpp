#include "records/SettingsFile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <variant>

#include "platform/LastError.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/System.h"
#include "platform/Utf16.h"
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

// What a refused value should have looked like, by its read format.
std::string Expected(std::string_view format)
{
    if (format == "%d")
        return "not a number";
    if (format == "0x%2x")
        return "not a number 0xNN";
    if (format == "%4d.%4d.%3d")
        return "not a serial number NNNN.NNNN.NNN";
    if (format == "%2d.%2d.%2d")
        return "not a date DD.MM.YY";
    return "not a number 0xNNNN";
}

[[noreturn]] void Refuse(std::int32_t hresult, const char* key, const std::string& value, std::string_view format)
{
    throw platform::CommandError(hresult, std::string(key) + "=" + value + ": " + Expected(format));
}

// The value read with format, or the refusal naming key and value.
template <std::size_t N>
void ScanOrRefuse(const std::string& text, const char* key, std::string_view format, std::int64_t (&out)[N])
{
    if (ScanFormat(text, format, out) != static_cast<int>(N))
        Refuse(platform::E_FAIL, key, text, format);
}

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

// Local midnight of a [Device] date, or the refusal naming key and value.
std::int64_t CheckedMidnight(const char* key, const std::string& text)
{
    std::int64_t dmy[3];
    ScanOrRefuse(text, key, "%2d.%2d.%2d", dmy);
    std::int64_t day = dmy[0], month = dmy[1], year = 2000 + dmy[2];
    if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31)
        Refuse(platform::E_FAIL, key, text, "%2d.%2d.%2d");
    std::int64_t time = 0;
    if (!LocalMidnight(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day), time))
        Refuse(platform::E_INVALIDARG, key, text, "%2d.%2d.%2d");
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
        text.append(key).append("=").append(OneLine(value)).append("\r\n");
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

void ApplyUsbSection(const SectionReader& read, FT_PROGRAM_DATA& data)
{
    FT_PROGRAM_DATA loaded = data;
    for (const UsbKey& k : kUsbKeys) {
        std::string text = read(k.key, k.def);
        if (auto t = std::get_if<Text>(&k.field)) {
            if (!CheckUsbStringText(k.key, text).empty()) {
                const bool control = std::any_of(text.begin(), text.end(), [](char c) {
                    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                });
                throw platform::CommandError(platform::E_FAIL,
                                             std::string(k.key) + "=" + text +
                                                 (control ? ": holds a control character"
                                                          : ": holds a character other than printable ASCII"));
            }
            char* out = loaded.**t;
            std::size_t n = std::min(text.size(), kStringBuffer - 1);
            std::memcpy(out, text.data(), n);
            out[n] = '\0';
            continue;
        }
        std::int64_t value[1];
        ScanOrRefuse(text, k.key, k.readFormat, value);
        const bool id = &k == &kUsbKeys[0] || &k == &kUsbKeys[1];
        if (id && value[0] > 0xFFFF)
            throw platform::CommandError(platform::E_FAIL, std::string(k.key) + "=" + text +
                                                               ": larger than 0xffff, the largest USB ID");
        if (id && value[0] == 0)
            throw platform::CommandError(platform::E_FAIL, std::string(k.key) + "=" + text +
                                                               ": 0x0000, which no driver finds");
        if (auto w = std::get_if<Word>(&k.field))
            loaded.**w = static_cast<d2xx::WORD>(value[0]);
        else
            loaded.*std::get<Byte>(k.field) = static_cast<d2xx::UCHAR>(value[0]);
    }
    data = loaded;
}

void ApplyDeviceSection(const SectionReader& read, DeviceData& data)
{
    DeviceData loaded = data;
    std::int64_t code[1];
    ScanOrRefuse(read("Type", "0x00"), "Type", "0x%2x", code);
    loaded.DeviceCode = static_cast<std::int32_t>(code[0]);
    std::int64_t v[3];
    ScanOrRefuse(read("SerialNumber", "0000.0000.000"), "SerialNumber", "%4d.%4d.%3d", v);
    loaded.SerialPart1 = static_cast<std::int32_t>(v[0]);
    loaded.SerialPart2 = static_cast<std::int32_t>(v[1]);
    loaded.SerialPart3 = static_cast<std::int32_t>(v[2]);
    loaded.ManufacturingDate = CheckedMidnight("Manufacturing", read("Manufacturing", "01.01.00"));
    loaded.LastUpdateDate = CheckedMidnight("LastUpdate", read("LastUpdate", "01.01.00"));
    data = loaded;
}

} // namespace records

namespace {

void SetSection(platform::ProfileDocument& doc, const char* section, const records::KeyValues& values)
{
    for (const auto& [key, value] : values)
        doc.Set(section, key, value);
}

bool StringKey(const std::string& key)
{
    return key == "Manufacturer" || key == "ManufacturerId" || key == "Description" || key == "SerialNumber";
}

// One replacement of the whole file: a station killed mid-save leaves the old file or the new.
// The converter's strings come as one byte a character (the chip's UTF-16 up to U+00FF), which
// an 8-bit file keeps as Windows-1252 does and a Unicode file as the character itself.
BOOL WriteSections(const char* path, const records::KeyValues* device, const records::KeyValues* usb,
                   std::string& problem)
{
    problem.clear();
    return platform::UpdateProfileFile(platform::MapPath(path), true, [&](platform::ProfileDocument& doc) {
        if (device != nullptr)
            SetSection(doc, "Device", *device);
        if (usb != nullptr)
            for (const auto& [key, value] : *usb)
                doc.Set("USB", key, doc.IsUnicode() && StringKey(key) ? platform::Latin1ToUtf8(value) : value);
    }, &problem);
}

// The first string a settings file cannot keep: U+0080 to U+009F are control characters, and
// where Windows-1252 has its own characters.
std::string UnkeptString(const records::KeyValues& usb, const char* path)
{
    for (const auto& [key, value] : usb)
        if (StringKey(key))
            for (const char c : value)
                if (const auto byte = static_cast<unsigned char>(c); byte >= 0x80 && byte < 0xA0) {
                    char code[16];
                    std::snprintf(code, sizeof code, "U+%04X", byte);
                    return "[USB] " + key + " holds " + code + ", which a settings file cannot keep; " + path +
                           " was not written.";
                }
    return {};
}

records::KeyValues UsbValues(CMyCrvUsbDevice& device)
{
    UsbSettingsRecord usb;
    records::SetUsbLoadDefaults(usb.data);
    device.GetUsbSettings(&usb.data);
    return records::UsbSectionValues(usb.data);
}

records::KeyValues DeviceValues(CMyCrvUsbDevice& device)
{
    DeviceData data;
    device.GetDeviceData(data);
    return records::DeviceSectionValues(data);
}

// Looks keys up in one section of a read file; a missing key is noted, as "[USB] VendorId".
records::SectionReader ReaderFor(const platform::ProfileDocument& doc, const char* section,
                                 std::vector<std::string>* missing)
{
    return [&doc, section, missing](const char* key, const char* def) {
        std::optional<std::string> value = doc.Get(section, key);
        if (!value) {
            if (missing != nullptr)
                missing->push_back(std::string("[") + section + "] " + key);
            return std::string(def);
        }
        // Read through a 256-byte buffer.
        value->resize(std::min<std::size_t>(value->size(), 255));
        return *value;
    };
}

std::optional<platform::ProfileDocument> ReadSettingsFile(const char* path, std::string& problem)
{
    std::string text;
    const std::string file = platform::MapPath(path);
    // Another user's link would have us load (and program) a file only we may read.
    if (std::string refused = platform::CheckLinkInSharedFolder(file); !refused.empty()) {
        problem = std::move(refused);
        return std::nullopt;
    }
    const platform::FileStatus status = platform::ReadRegularFile(file, text);
    if (status != platform::FileStatus::Ok) {
        problem = platform::FileStatusText(path, status);
        return std::nullopt;
    }
    return platform::ProfileDocument::Parse(text);
}

} // namespace

BOOL CMyCrvUsbDevice::SaveSettingsFile(const char* path)
{
    SettingsFileProblem.clear();
    if (path == nullptr)
        return FALSE;
    // Zeros in place of a part that was not read would be loaded onto the next display as its
    // settings (a Vendor ID of 0 takes the converter off the bus).
    std::string unread;
    if (!EepromWasRead)
        unread = "the USB EEPROM" + (UnheldConfiguration().empty() ? "" : " (" + UnheldConfiguration() + ")");
    if (!UserAreaWasRead)
        unread += std::string(unread.empty() ? "" : " and ") + "the identification record";
    if (!unread.empty()) {
        SettingsFileProblem = unread + " could not be read from the converter; " + path + " was not written.";
        return FALSE;
    }
    const records::KeyValues device = DeviceValues(*this);
    const records::KeyValues usb = UsbValues(*this);
    SettingsFileProblem = UnkeptString(usb, path);
    if (!SettingsFileProblem.empty())
        return FALSE;
    return WriteSections(path, &device, &usb, SettingsFileProblem);
}

BOOL CMyCrvUsbDevice::LoadSettingsFile(const char* path)
{
    SettingsFileProblem.clear();
    SettingsFileMissingKeys.clear();
    if (path == nullptr)
        return FALSE;
    const auto doc = ReadSettingsFile(path, SettingsFileProblem);
    if (!doc)
        return FALSE;
    // Random bytes or another program's file would otherwise load as every default.
    if (!doc->HasSection("Device") && !doc->HasSection("USB")) {
        SettingsFileProblem = std::string(path) + ": no [Device] and no [USB] section; not a settings file";
        return FALSE;
    }
    std::vector<std::string> missing;
    DeviceData data;
    GetDeviceData(data);
    records::ApplyDeviceSection(ReaderFor(*doc, "Device", &missing), data);
    UsbSettingsRecord usb;
    records::SetUsbLoadDefaults(usb.data);
    GetUsbSettings(&usb.data);
    records::ApplyUsbSection(ReaderFor(*doc, "USB", &missing), usb.data);
    if (!SetDeviceData(data))
        return FALSE;
    SettingsFileMissingKeys = std::move(missing);
    return SetUsbSettings(&usb.data);
}

BOOL CMyCrvUsbDevice::SaveDeviceDataSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    const records::KeyValues device = DeviceValues(*this);
    return WriteSections(path, &device, nullptr, SettingsFileProblem);
}

BOOL CMyCrvUsbDevice::SaveUsbSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    const records::KeyValues usb = UsbValues(*this);
    return WriteSections(path, nullptr, &usb, SettingsFileProblem);
}

// The single sections read a missing or refused file as one without keys: the defaults.
BOOL CMyCrvUsbDevice::LoadDeviceDataSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    std::string problem;
    const platform::ProfileDocument doc = ReadSettingsFile(path, problem).value_or(platform::ProfileDocument{});
    DeviceData data;
    GetDeviceData(data);
    records::ApplyDeviceSection(ReaderFor(doc, "Device", nullptr), data);
    return SetDeviceData(data);
}

BOOL CMyCrvUsbDevice::LoadUsbSection(const char* path)
{
    if (path == nullptr)
        return FALSE;
    std::string problem;
    const platform::ProfileDocument doc = ReadSettingsFile(path, problem).value_or(platform::ProfileDocument{});
    UsbSettingsRecord usb;
    records::SetUsbLoadDefaults(usb.data);
    GetUsbSettings(&usb.data);
    records::ApplyUsbSection(ReaderFor(doc, "USB", nullptr), usb.data);
    return SetUsbSettings(&usb.data);
}

void CMyCrvUsbDevice::PrepareProfileFolder()
{
    const std::string own = platform::ConfigHome();
    if (ProfilePath.rfind(own + "/", 0) == 0 && ProfilePath.find('/', own.size() + 1) == std::string::npos)
        platform::CreatePrivateFolders(own);
}

BOOL CMyCrvUsbDevice::WriteProfileSetting(const char* section, const char* key, const char* value)
{
    PrepareProfileFolder();
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
