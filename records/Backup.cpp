#include "records/Backup.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/ConverterRules.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/Sha256.h"
#include "platform/System.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
#include "records/RecordsStore.h"
#include "records/SettingsFile.h"
#include "records/TextScan.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"

namespace records {

namespace {

namespace fs = std::filesystem;

const char* const kStringKeys[4] = {"Manufacturer", "ManufacturerId", "Description", "SerialNumber"};

std::string Hex(const std::uint8_t* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text)
{
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

std::string HexText(const std::string& text)
{
    return Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::size_t ImageSize(std::uint32_t chipType)
{
    if (chipType == d2xx::FT_DEVICE_X_SERIES)
        return sizeof(d2xx::FT_EEPROM_X_SERIES);
    if (chipType == d2xx::FT_DEVICE_BM)
        return sizeof(d2xx::FT_EEPROM_232B);
    return 0;
}

d2xx::FT_EEPROM_HEADER Header(const std::vector<std::uint8_t>& image)
{
    d2xx::FT_EEPROM_HEADER header{};
    if (image.size() >= sizeof header)
        std::memcpy(&header, image.data(), sizeof header);
    return header;
}

// The [USB] section of a snapshot, as a settings file writes it.
KeyValues UsbValues(const ConverterSnapshot& s)
{
    UsbSettingsRecord usb;
    SetUsbLoadDefaults(usb.data);
    const d2xx::FT_EEPROM_HEADER h = Header(s.image);
    usb.data.VendorId = h.VendorId;
    usb.data.ProductId = h.ProductId;
    usb.data.MaxPower = h.MaxPower;
    usb.data.SelfPowered = h.SelfPowered;
    usb.data.RemoteWakeup = h.RemoteWakeup;
    char* buffers[4] = {usb.data.Manufacturer, usb.data.ManufacturerId, usb.data.Description,
                        usb.data.SerialNumber};
    for (int i = 0; i < 4; ++i) {
        const std::size_t n = std::min<std::size_t>(s.strings[i].size(), 63);
        std::memcpy(buffers[i], s.strings[i].data(), n);
        buffers[i][n] = '\0';
    }
    return UsbSectionValues(usb.data);
}

KeyValues DeviceValues(const UserAreaImageBuffer& image)
{
    DeviceData data;
    try {
        DecodeUserArea(image, data);
    } catch (const std::exception&) {
        DecodeSerialNumber(image, data);
    }
    return DeviceSectionValues(data);
}

std::string FolderName(std::string serial)
{
    // A listed serial is the converter's own text: keep it from leaving the folder.
    serial = StoredSerial(serial);
    for (char& c : serial)
        if (c == '/' || c == '\\')
            c = '_';
    if (serial.empty() || serial == "." || serial == "..")
        serial = "unknown";
    return serial;
}

// Written to a temporary file created exclusively under a name nobody can guess: the backup
// folder may be shared, and a planted link must not receive the converter's image.
bool WriteFileSynced(const std::string& folder, const std::string& text, std::string& temp)
{
    platform::File file = platform::File::CreateTemporary(folder + "/.backup-", temp);
    if (!file.IsOpen())
        return false;
    const bool ok = file.WriteAll(text) && file.SetMode(0644) && file.Flush();
    return file.Close() && ok;
}

void ErrorBox(const std::string& text)
{
    platform::Ui().MessageBox(text, LoadStdString(IDS_ERROR_CAPTION), platform::MB_ICONEXCLAMATION,
                              platform::BoxOwner::MainWindow);
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

std::string HexWord(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value & 0xFFFFu);
    return text;
}

std::string HexDword(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

std::string WordAddress(std::size_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%02zx", address);
    return text;
}

// The digest covers every byte of the file before its own section, which ends the file.
constexpr std::string_view kDigestHead = "[Digest]\r\nSHA256=";

std::string DigestOf(std::string_view text)
{
    return platform::Sha256Hex(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::vector<std::uint8_t> WordBytes(const std::vector<std::uint16_t>& words)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (std::uint16_t w : words) {
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return bytes;
}

bool XSeries(std::uint32_t chipType) { return chipType == d2xx::FT_DEVICE_X_SERIES; }

// The X series' words 0x40-0x4f are the factory's: no write reaches them.
bool FactoryWord(std::uint32_t chipType, std::size_t word)
{
    return XSeries(chipType) && word >= 0x40 && word < 0x50;
}

// The chip's own checksum over its words; the X series leaves its user area out.
std::uint16_t ChipChecksum(const std::vector<std::uint16_t>& words, std::uint32_t chipType)
{
    std::uint16_t sum = 0xAAAA;
    for (std::size_t w = 0; w + 1 < words.size(); ++w) {
        if (XSeries(chipType) && w >= 0x12 && w < 0x40)
            continue;
        sum = static_cast<std::uint16_t>(sum ^ words[w]);
        sum = static_cast<std::uint16_t>(sum << 1 | sum >> 15);
    }
    return sum;
}

// The text of the string descriptor whose pointer and length are at byte at; nullopt when
// they lead nowhere sound.
std::optional<std::string> Descriptor(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    const std::size_t size = bytes.size();
    const std::size_t start = bytes[at] & (size - 1), length = bytes[at + 1];
    if (length == 0)
        return std::string();
    if (length < 2 || start + length > size || bytes[start + 1] != 0x03)
        return std::nullopt;
    std::string text;
    for (std::size_t i = start + 2; i + 1 < start + length; i += 2) {
        if (bytes[i + 1] != 0)
            return std::nullopt;
        text += static_cast<char>(bytes[i]);
    }
    return text;
}

// Why the raw words do not give the backup's image, strings and record; empty when they do.
std::string RawDisagreement(const ConverterSnapshot& s)
{
    const std::size_t count = BackupWordCount(s.chipType);
    if (s.words.size() != count)
        return "its [Raw] Words hold " + std::to_string(s.words.size()) + " words, not the " +
               std::to_string(count) + " of its chip type";
    const std::uint16_t sum = ChipChecksum(s.words, s.chipType);
    if (sum != s.words.back())
        return "its [Raw] Words fail the chip's checksum (" + HexWord(s.words.back()) + " stored, " +
               HexWord(sum) + " computed)";
    const std::vector<std::uint8_t> b = WordBytes(s.words);
    std::vector<std::string> names;
    if (!s.image.empty()) {
        const d2xx::FT_EEPROM_HEADER h = Header(s.image);
        if (h.VendorId != s.words[1]) names.push_back("VendorId");
        if (h.ProductId != s.words[2]) names.push_back("ProductId");
        // The chip keeps the power in units of 2 mA.
        if (std::min<unsigned>(h.MaxPower / 2u, 0xFF) != b[9]) names.push_back("MaxPower");
        if ((h.SelfPowered != 0) != ((b[8] & 0x40) != 0)) names.push_back("SelfPowered");
        if ((h.RemoteWakeup != 0) != ((b[8] & 0x20) != 0)) names.push_back("RemoteWakeup");
        const std::pair<std::size_t, int> strings[] = {{0x0E, 0}, {0x10, 2}, {0x12, 3}};
        for (const auto& [pointer, index] : strings) {
            const std::optional<std::string> text = Descriptor(b, pointer);
            if (!text || *text != s.strings[static_cast<std::size_t>(index)])
                names.push_back(kStringKeys[index]);
        }
    }
    // The record is read where the library puts the user area (after the serial-number string
    // outside the X series) or, by the word method, at word 0x30.
    std::vector<std::size_t> starts{0x24};
    if (!XSeries(s.chipType)) {
        const std::size_t serialEnd = (b[0x12] & (b.size() - 1)) + b[0x13];
        starts = {serialEnd, 0x60};
    }
    const bool recordThere = std::any_of(starts.begin(), starts.end(), [&](std::size_t at) {
        return at + kUserAreaSize <= b.size() - 2 &&
               std::equal(s.userArea.begin(), s.userArea.begin() + kUserAreaSize,
                          b.begin() + static_cast<std::ptrdiff_t>(at));
    });
    if (!recordThere)
        names.push_back("UserArea");
    if (names.empty())
        return {};
    return "its [Raw] Words do not agree with its [Raw] " + Joined(names);
}

std::string Trimmed(const std::string& text)
{
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return {};
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// Edits to the readable sections would otherwise be ignored: what is restored is [Raw].
std::string SectionDisagreement(const platform::ProfileDocument& doc, const ConverterSnapshot& s);

// What a normal write refuses is refused here too.
std::string ValueProblem(const ConverterSnapshot& s)
{
    if (s.image.empty())
        return {};
    const d2xx::FT_EEPROM_HEADER h = Header(s.image);
    if (h.VendorId == 0 || h.ProductId == 0)
        return std::string("its ") + (h.VendorId == 0 ? "VendorId" : "ProductId") +
               " is 0x0000, which no driver finds";
    for (int i = 0; i < 4; ++i)
        if (!CheckUsbStringText(kStringKeys[i], s.strings[static_cast<std::size_t>(i)]).empty())
            return std::string("its ") + kStringKeys[i] +
                   " holds a control character or a character other than printable ASCII";
    return {};
}

std::string SectionDisagreement(const platform::ProfileDocument& doc, const ConverterSnapshot& s)
{
    auto differs = [&doc](const char* section, const KeyValues& values) -> std::string {
        for (const auto& [key, value] : values) {
            const std::optional<std::string> given = doc.Get(section, key);
            if (!given || Trimmed(*given) != Trimmed(OneLine(value)))
                return std::string("its [") + section + "] " + key + " does not agree with its [Raw] words";
        }
        return {};
    };
    if (!s.image.empty())
        if (std::string why = differs("USB", UsbValues(s)); !why.empty())
            return why;
    return differs("Device", DeviceValues(s.userArea));
}

} // namespace

std::string StoredSerial(std::string serial)
{
    for (char& c : serial)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    return serial;
}

std::string UntrustedSerial(const ConverterSnapshot& present)
{
    if (present.converterSerial.empty())
        return "no serial number is listed";
    if (!std::all_of(present.converterSerial.begin(), present.converterSerial.end(),
                     [](char c) { return c >= 0x20 && c < 0x7F; }))
        return "the listed serial number holds other than printable ASCII";
    if (ImageCutOff(present))
        return "its EEPROM words fail the chip's checksum";
    return {};
}

bool ImageCutOff(const ConverterSnapshot& present)
{
    return !present.words.empty() && ChipChecksum(present.words, present.chipType) != present.words.back();
}

std::uint32_t BackupWordCount(std::uint32_t chipType)
{
    // The X series keeps configuration and user area in its first 128 words; the others in 64.
    return chipType == d2xx::FT_DEVICE_X_SERIES ? 128 : 64;
}

std::string WholeUsbSerial(CMyCrvUsbDevice& device, const std::string& listed)
{
    if (listed.size() != d2xx::kListedSerialMax || !device.IsOpen())
        return listed;
    std::vector<std::uint16_t> words(BackupWordCount(device.ChipType));
    for (std::uint32_t i = 0; i < words.size(); ++i) {
        d2xx::WORD w = 0;
        if (device.Library().ReadEE(device.DeviceHandle(), i, &w) != d2xx::FT_OK)
            return listed;
        words[i] = w;
    }
    const std::optional<std::string> whole = Descriptor(WordBytes(words), 0x12);
    return whole && d2xx::SerialNames(listed, *whole) ? *whole : listed;
}

bool ReadConverter(CMyCrvUsbDevice& device, ConverterSnapshot& out, bool withWords,
                   std::string& error)
{
    out = ConverterSnapshot{};
    if (!device.IsOpen()) {
        error = "the converter is not open";
        return false;
    }
    D2xxLibrary& lib = device.Library();
    d2xx::FT_DEVICE type = 0;
    d2xx::DWORD id = 0;
    char serial[16] = {};
    char description[64] = {};
    if (lib.GetDeviceInfo(device.DeviceHandle(), &type, &id, serial, description, nullptr) !=
        d2xx::FT_OK) {
        error = "the converter's serial number cannot be read";
        return false;
    }
    out.converterSerial.assign(serial, strnlen(serial, sizeof serial));
    out.chipType = device.ChipType;
    // The location stays when a write cut off garbles the serial number: the list entry that
    // holds our handle gives it.
    d2xx::DWORD listed = 0;
    if (lib.ListDevices(&listed, nullptr, d2xx::FT_LIST_NUMBER_ONLY) == d2xx::FT_OK) {
        for (d2xx::DWORD i = 0; i < listed && i < 128; ++i) {
            d2xx::DWORD flags = 0, locId = 0;
            d2xx::FT_HANDLE handle = nullptr;
            if (lib.GetDeviceInfoDetail(i, &flags, nullptr, nullptr, &locId, nullptr, nullptr, &handle) ==
                    d2xx::FT_OK &&
                handle != nullptr && handle == device.DeviceHandle()) {
                out.location = HexDword(locId);
                break;
            }
        }
    }

    if (const std::size_t size = ImageSize(out.chipType)) {
        out.image.assign(size, 0);
        d2xx::FT_EEPROM_HEADER header{};
        header.deviceType = out.chipType;
        std::memcpy(out.image.data(), &header, sizeof header);
        std::array<std::array<char, 64>, 4> strings{};
        const d2xx::FT_STATUS status =
            lib.EEPROM_Read(device.DeviceHandle(), out.image.data(), static_cast<d2xx::DWORD>(size),
                            strings[0].data(), strings[1].data(), strings[2].data(), strings[3].data());
        // A write cut off halfway leaves a wrong checksum: no fields to keep, but the raw words
        // are the whole of it, and a restore must not be barred by the damage it mends.
        if (status == d2xx::FT_EEPROM_NOT_PROGRAMMED && withWords) {
            out.image.clear();
        } else if (status != d2xx::FT_OK) {
            error = "the EEPROM cannot be read";
            return false;
        }
        for (int i = 0; i < 4 && !out.image.empty(); ++i)
            out.strings[i].assign(strings[i].data(), strnlen(strings[i].data(), 63));
        if (!out.image.empty())
            out.strings[3] = WholeUsbSerial(device, out.strings[3]);
    }
    if (withWords) {
        const std::uint32_t count = BackupWordCount(out.chipType);
        out.words.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            d2xx::WORD w = 0;
            if (lib.ReadEE(device.DeviceHandle(), i, &w) != d2xx::FT_OK) {
                error = "EEPROM word " + std::to_string(i) + " cannot be read";
                return false;
            }
            out.words[i] = w;
        }
    }
    // Read as the device object reads it, then the object's record is given back untouched.
    const UserAreaImageBuffer kept = device.UserAreaImage;
    const BOOL valid = device.UserAreaValid;
    const BOOL read = device.ReadUserArea();
    out.userArea = device.UserAreaImage;
    device.UserAreaImage = kept;
    device.UserAreaValid = valid;
    if (!read) {
        error = "the user area cannot be read";
        return false;
    }
    return true;
}

std::string FormatBackup(const ConverterSnapshot& s, std::int64_t utcTime)
{
    KeyValues backup = {{"Converter", StoredSerial(s.converterSerial)},
                        {"ChipType", std::to_string(s.chipType)},
                        {"Time", BackupTimeName(utcTime)}};
    // Older readers skip the key; a converter whose location was not known has none.
    if (!s.location.empty())
        backup.emplace_back("Location", s.location);
    std::string text = FormatSection("Backup", backup);
    text += FormatSection("Device", DeviceValues(s.userArea));
    if (!s.image.empty())
        text += FormatSection("USB", UsbValues(s));
    KeyValues raw;
    raw.emplace_back("Image", Hex(s.image.data(), s.image.size()));
    for (int i = 0; i < 4; ++i)
        raw.emplace_back(kStringKeys[i], HexText(s.strings[i]));
    raw.emplace_back("UserArea", Hex(s.userArea.data(), kUserAreaSize));
    std::vector<std::uint8_t> words;
    for (std::uint16_t w : s.words) {
        words.push_back(static_cast<std::uint8_t>(w & 0xFF));
        words.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    raw.emplace_back("Words", Hex(words.data(), words.size()));
    text += FormatSection("Raw", raw);
    return text + std::string(kDigestHead) + DigestOf(text) + "\r\n";
}

bool ParseBackup(std::string_view text, ConverterSnapshot& out, std::string& error)
{
    out = ConverterSnapshot{};
    const platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
    // Backups written before the digest have none; the checks below still hold them.
    const std::size_t digestAt = text.rfind(kDigestHead);
    if (digestAt != std::string_view::npos || doc.HasSection("Digest")) {
        const std::string_view rest =
            digestAt == std::string_view::npos ? std::string_view() : text.substr(digestAt + kDigestHead.size());
        const bool wellFormed = digestAt != std::string_view::npos &&
                                (digestAt == 0 || text[digestAt - 1] == '\n') && rest.size() == 66 &&
                                rest.substr(64) == "\r\n";
        if (!wellFormed) {
            error = "its digest is damaged";
            return false;
        }
        if (rest.substr(0, 64) != DigestOf(text.substr(0, digestAt))) {
            error = "its digest does not match its content: the file was changed after it was written";
            return false;
        }
        out.digested = true;
    }
    auto converter = doc.Get("Backup", "Converter");
    auto chip = doc.Get("Backup", "ChipType");
    auto image = FromHex(doc.Get("Raw", "Image").value_or("x"));
    auto userArea = FromHex(doc.Get("Raw", "UserArea").value_or("x"));
    auto words = FromHex(doc.Get("Raw", "Words").value_or("x"));
    if (!converter || !chip || !image || !userArea || !words) {
        error = "it is not a converter backup (a key of [Backup] or [Raw] is missing or damaged)";
        return false;
    }
    std::int64_t chipType = 0;
    if (ScanFormat(*chip, "%d", {&chipType, 1}) != 1 || chipType < 0 || chipType > 0xFFFF) {
        error = "its chip type is damaged";
        return false;
    }
    out.converterSerial = *converter;
    out.chipType = static_cast<std::uint32_t>(chipType);
    if (const auto location = doc.Get("Backup", "Location")) {
        // Compared as text, so only the form it is written in.
        if (location->size() != 10 || location->rfind("0x", 0) != 0 ||
            location->find_first_not_of("0123456789abcdef", 2) != std::string::npos) {
            error = "its location is damaged";
            return false;
        }
        out.location = *location;
    }
    // Taken when the chip's checksum already failed: the configuration read as nothing.
    if (image->empty() && ImageSize(out.chipType) != 0 && words->size() % 2 == 0 && !words->empty()) {
        std::vector<std::uint16_t> held;
        for (std::size_t i = 0; i < words->size(); i += 2)
            held.push_back(static_cast<std::uint16_t>((*words)[i] | (*words)[i + 1] << 8));
        if (ChipChecksum(held, out.chipType) != held.back()) {
            error = "it was taken from an EEPROM whose words fail the chip's checksum (a write cut off), so it "
                    "holds no configuration to write back";
            return false;
        }
    }
    if (image->size() != ImageSize(out.chipType) || userArea->size() != kUserAreaSize ||
        words->size() % 2 != 0) {
        error = "its EEPROM image, record or words have the wrong size";
        return false;
    }
    out.image = *image;
    for (int i = 0; i < 4; ++i) {
        auto bytes = FromHex(doc.Get("Raw", kStringKeys[i]).value_or("x"));
        if (!bytes || bytes->size() > 63 || std::find(bytes->begin(), bytes->end(), 0) != bytes->end()) {
            error = std::string("its ") + kStringKeys[i] + " is damaged";
            return false;
        }
        out.strings[i].assign(bytes->begin(), bytes->end());
    }
    std::copy(userArea->begin(), userArea->end(), out.userArea.begin());
    for (std::size_t i = 0; i < words->size(); i += 2)
        out.words.push_back(static_cast<std::uint16_t>((*words)[i] | (*words)[i + 1] << 8));
    error = RawDisagreement(out);
    if (error.empty())
        error = SectionDisagreement(doc, out);
    if (error.empty())
        error = ValueProblem(out);
    return error.empty();
}

bool ReadBackupFile(const std::string& path, ConverterSnapshot& out, std::string& error)
{
    out = ConverterSnapshot{};
    // A link may be planted in a shared folder; the backup is named by its own path.
    if (platform::IsSymbolicLink(path)) {
        error = "it is a symbolic link; name the backup file itself";
        return false;
    }
    std::string text;
    switch (platform::ReadRegularFile(path, text, kMaxBackupSize)) {
    case platform::FileStatus::Ok: return ParseBackup(text, out, error);
    case platform::FileStatus::Missing: {
        // Taken at another station: the shared store has it.
        const fs::path file(path);
        RecordsStore* store = CurrentRecordsStore();
        if (store != nullptr && file.extension() == ".ini" &&
            file.parent_path().parent_path().lexically_normal() == fs::path(BackupFolder()).lexically_normal()) {
            if (auto stored = store->FetchBackup(file.parent_path().filename().string(), file.stem().string()))
                return ParseBackup(*stored, out, error);
        }
        error = "it does not exist";
        break;
    }
    case platform::FileStatus::NotRegular: error = "it is not a regular file"; break;
    case platform::FileStatus::TooLarge: error = "it is larger than 1 MiB, which no backup is"; break;
    case platform::FileStatus::Unreadable:
    case platform::FileStatus::Busy:
    case platform::FileStatus::Exists: error = "it cannot be read"; break;
    }
    return false;
}

std::string BackupFolder()
{
    return platform::DataHome() + "/backups";
}

std::string BackupTimeName(std::int64_t utcTime)
{
    std::time_t t = static_cast<std::time_t>(utcTime);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr)
        return "00000000T000000Z";
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::optional<std::string> SaveBackup(const ConverterSnapshot& snapshot, std::int64_t utcTime,
                                      std::string& error)
{
    // A write cut off garbles the serial string the bus lists: such a name is no converter's, so
    // the backup is filed by where the converter is plugged in.
    const std::string owner = ImageCutOff(snapshot)
                                  ? "unreadable-" + (snapshot.location.empty() ? "unknown" : snapshot.location)
                                  : FolderName(snapshot.converterSerial);
    const fs::path folder = fs::path(BackupFolder()) / owner;
    std::error_code ec;
    // Backups hold what the converters held: our own data folder, nobody else's to enter.
    if (BackupFolder().rfind(platform::DataHome() + "/", 0) == 0)
        platform::CreatePrivateFolders(folder.string());
    else
        fs::create_directories(folder, ec);
    if (!fs::is_directory(folder)) {
        error = "the folder " + folder.string() + " cannot be created";
        return std::nullopt;
    }
    const std::string name = BackupTimeName(utcTime);
    std::string temp;
    const std::string content = FormatBackup(snapshot, utcTime);
    if (!WriteFileSynced(folder.string(), content, temp)) {
        if (!temp.empty())
            platform::RemoveFile(temp);
        error = "no file can be written in " + folder.string();
        return std::nullopt;
    }
    // link() never replaces: a backup taken in the same second keeps its own file.
    for (int n = 1; n < 1000; ++n) {
        const std::string path =
            (folder / (name + (n == 1 ? "" : "-" + std::to_string(n)) + ".ini")).string();
        const platform::PublishResult published = platform::PublishFile(temp, path);
        if (published == platform::PublishResult::Published) {
            if (RecordsStore* store = CurrentRecordsStore(); store != nullptr)
                store->AddBackup(folder.filename().string(), fs::path(path).stem().string(), content);
            return path;
        }
        if (published == platform::PublishResult::Failed)
            break;
    }
    platform::RemoveFile(temp);
    error = "no file can be named in " + folder.string();
    return std::nullopt;
}

std::vector<BackupEntry> ListBackups()
{
    std::vector<BackupEntry> list;
    std::error_code ec;
    for (const auto& dir : fs::directory_iterator(BackupFolder(), ec)) {
        if (!dir.is_directory(ec))
            continue;
        for (const auto& file : fs::directory_iterator(dir.path(), ec)) {
            const std::string name = file.path().filename().string();
            if (file.is_regular_file(ec) && file.path().extension() == ".ini" && name[0] != '.')
                list.push_back({dir.path().filename().string(), file.path().stem().string(),
                                file.path().string()});
        }
    }
    // Those other stations took, where restore finds them.
    if (RecordsStore* store = CurrentRecordsStore(); store != nullptr) {
        for (const auto& [converter, name] : store->StoredBackups()) {
            const std::string path = (fs::path(BackupFolder()) / converter / (name + ".ini")).string();
            if (std::none_of(list.begin(), list.end(), [&](const BackupEntry& e) { return e.path == path; }))
                list.push_back({converter, name, path});
        }
    }
    // Time names sort as text; within one second the plain name is the first, then "-2" up to
    // "-999" by number.
    auto order = [](const std::string& name) {
        const std::size_t dash = name.rfind('-');
        const bool numbered = dash != std::string::npos && dash + 1 < name.size() && name.size() - dash <= 4 &&
                              name.find_first_not_of("0123456789", dash + 1) == std::string::npos;
        return numbered ? std::pair{name.substr(0, dash), std::stoi(name.substr(dash + 1))} : std::pair{name, 1};
    };
    std::sort(list.begin(), list.end(), [&](const BackupEntry& a, const BackupEntry& b) {
        return std::tie(a.converter) < std::tie(b.converter) ||
               (a.converter == b.converter && order(a.name) < order(b.name));
    });
    return list;
}

std::vector<std::string> DifferingUsbFields(const ConverterSnapshot& written,
                                            const ConverterSnapshot& readBack)
{
    std::vector<std::string> names;
    const d2xx::FT_EEPROM_HEADER a = Header(written.image), b = Header(readBack.image);
    if (a.VendorId != b.VendorId) names.push_back("VendorId");
    if (a.ProductId != b.ProductId) names.push_back("ProductId");
    if (a.MaxPower != b.MaxPower) names.push_back("MaxPower");
    if (a.SelfPowered != b.SelfPowered) names.push_back("SelfPowered");
    if (a.RemoteWakeup != b.RemoteWakeup) names.push_back("RemoteWakeup");
    for (int i = 0; i < 4; ++i)
        if (written.strings[i] != readBack.strings[i]) names.push_back(kStringKeys[i]);
    // The chip sets the device type itself; every other byte of the image must come back.
    const std::size_t from = sizeof(d2xx::FT_EEPROM_HEADER);
    const auto skip = [from](const std::vector<std::uint8_t>& image) {
        return image.begin() + static_cast<std::ptrdiff_t>(std::min(from, image.size()));
    };
    if (written.image.size() != readBack.image.size() ||
        !std::equal(skip(written.image), written.image.end(), skip(readBack.image)))
        names.push_back("other configuration bytes");
    return names;
}

std::vector<std::string> DifferingRecordFields(const UserAreaImageBuffer& written,
                                               const UserAreaImageBuffer& readBack)
{
    struct Field {
        const char* name;
        std::size_t from, to;
    };
    static const Field fields[] = {{"Type", 0, 1},           {"SerialNumber", 1, 11},
                                   {"Manufacturing", 11, 17}, {"LastUpdate", 17, 23},
                                   {"Checksum", 23, 25}};
    std::vector<std::string> names;
    for (const Field& f : fields)
        if (!std::equal(written.begin() + f.from, written.begin() + f.to, readBack.begin() + f.from))
            names.push_back(f.name);
    return names;
}

bool PrepareWrite(CMyCrvUsbDevice& device, ConverterSnapshot& before)
{
    // The one gate of every EEPROM and user-area write: a chip laid out otherwise is damaged.
    if (!d2xx::EepromWritable(device.ChipType)) {
        const char* name = d2xx::ChipName(device.ChipType);
        ErrorBox(std::string("Nothing was written to the converter: its chip (") + (name ? name : "unknown") +
                 ", chip type " + std::to_string(device.ChipType) +
                 ") keeps its EEPROM in a layout this program does not write; only chip types 0, 5 and 9 "
                 "are written.");
        return false;
    }
    std::string error;
    const bool held = !device.HeldBackup.empty();
    if (ReadConverter(device, before, !held, error)) {
        if (held)
            return true;
        if (auto path = SaveBackup(before, static_cast<std::int64_t>(std::time(nullptr)), error)) {
            device.LastBackup = *path;
            return true;
        }
    }
    ErrorBox("Nothing was written to the converter: no backup of what it holds could be made (" +
             error + ").");
    return false;
}

namespace {

// The structures' padding carries no field; no provider promises what it holds.
void ZeroPadding(std::vector<std::uint8_t>& image)
{
    using X = d2xx::FT_EEPROM_X_SERIES;
    if (image.size() != sizeof(X))
        return;
    const std::size_t gaps[][2] = {
        {offsetof(X, I2CSlaveAddress) + sizeof(X::I2CSlaveAddress), offsetof(X, I2CDeviceId)},
        {offsetof(X, DriverType) + sizeof(X::DriverType), sizeof(X)}};
    for (const auto& gap : gaps)
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(gap[0]),
                  image.begin() + static_cast<std::ptrdiff_t>(gap[1]), std::uint8_t{0});
}

} // namespace

namespace {

std::string Differ(const std::vector<std::string>& names)
{
    return Joined(names) + (names.size() == 1 ? " differs" : " differ") + " when read back";
}

// The device object's configuration image and strings become the snapshot's.
void TakeImage(CMyCrvUsbDevice& device, const ConverterSnapshot& s)
{
    if (device.ChipType == d2xx::FT_DEVICE_X_SERIES && s.image.size() == sizeof device.m_eepromX)
        std::memcpy(&device.m_eepromX, s.image.data(), sizeof device.m_eepromX);
    else if (device.ChipType == d2xx::FT_DEVICE_BM && s.image.size() == sizeof device.m_eepromBm)
        std::memcpy(&device.m_eepromBm, s.image.data(), sizeof device.m_eepromBm);
    std::array<char, 64>* strings[4] = {&device.Manufacturer, &device.ManufacturerId,
                                        &device.Description, &device.SerialNumber};
    for (int i = 0; i < 4; ++i) {
        strings[i]->fill('\0');
        std::memcpy(strings[i]->data(), s.strings[i].data(), std::min<std::size_t>(s.strings[i].size(), 63));
    }
}

} // namespace

bool VerifyEepromWrite(CMyCrvUsbDevice& device, const ConverterSnapshot& before, std::string& notVerified,
                       std::vector<std::string>& differing)
{
    differing.clear();
    notVerified.clear();
    ConverterSnapshot written;
    written.chipType = device.ChipType;
    if (device.ChipType == d2xx::FT_DEVICE_X_SERIES)
        written.image.assign(reinterpret_cast<const std::uint8_t*>(&device.m_eepromX),
                             reinterpret_cast<const std::uint8_t*>(&device.m_eepromX + 1));
    else
        written.image.assign(reinterpret_cast<const std::uint8_t*>(&device.m_eepromBm),
                             reinterpret_cast<const std::uint8_t*>(&device.m_eepromBm + 1));
    ZeroPadding(written.image);
    const std::array<char, 64>* strings[4] = {&device.Manufacturer, &device.ManufacturerId,
                                              &device.Description, &device.SerialNumber};
    for (int i = 0; i < 4; ++i)
        written.strings[i].assign(strings[i]->data(), strnlen(strings[i]->data(), 63));

    ConverterSnapshot now;
    std::string error;
    if (!ReadConverter(device, now, false, error)) {
        notVerified = "the converter could not be read back (" + error + ")";
        ErrorBox("The EEPROM was programmed but could not be read back to check it (" + error + ").");
        return false;
    }
    ZeroPadding(now.image);
    // Chips hold no manufacturer ID of their own: it reads back as the serial number's letters.
    // A written serial that came back whole is then the ID that was written.
    const std::string& readSerial = now.strings[3];
    const std::string letters(readSerial.begin(),
                              std::find_if(readSerial.begin(), readSerial.end(),
                                           [](char c) { return std::isalpha(static_cast<unsigned char>(c)) == 0; }));
    if (written.strings[1] != now.strings[1] && written.strings[3] == readSerial && now.strings[1] == letters)
        written.strings[1] = now.strings[1];
    std::vector<std::string> names = DifferingUsbFields(written, now);
    // Programming the configuration must leave the identification record alone.
    for (const std::string& n : DifferingRecordFields(before.userArea, now.userArea))
        names.push_back("record " + n);
    if (names.empty())
        return true;
    differing = names;
    // What the converter holds is what the program works with, and logs, from now on.
    TakeImage(device, now);
    notVerified = Differ(names);
    ErrorBox("The converter does not hold what was programmed: " + notVerified + ".");
    return false;
}

bool VerifyUserAreaWrite(CMyCrvUsbDevice& device, const UserAreaImageBuffer& written,
                         std::string& notVerified, std::vector<std::string>& differing)
{
    notVerified.clear();
    differing.clear();
    // What the converter holds is what the program works with from now on.
    if (!device.ReadUserArea()) {
        device.UserAreaImage = written;
        notVerified = "the converter could not be read back";
        ErrorBox("The device record was written but could not be read back to check it.");
        return false;
    }
    const std::vector<std::string> names = DifferingRecordFields(written, device.UserAreaImage);
    if (names.empty())
        return true;
    differing = names;
    notVerified = Differ(names);
    ErrorBox("The converter does not hold the device record that was written: " + notVerified + ".");
    return false;
}

bool RestoreBackup(CMyCrvUsbDevice& device, const ConverterSnapshot& backup, std::string& error)
{
    const std::uint32_t chip = device.ChipType;
    if (backup.chipType != chip) {
        error = "the backup is of chip type " + std::to_string(backup.chipType) +
                ", the converter is of chip type " + std::to_string(chip);
        return false;
    }
    if (backup.words.size() != BackupWordCount(chip)) {
        error = "the backup does not hold every EEPROM word of this chip";
        return false;
    }
    ConverterSnapshot before;
    if (!PrepareWrite(device, before)) {
        error = "no backup of the present contents could be made";
        return false;
    }
    // The checksum covers the factory words; another chip's would leave this one's EEPROM
    // ignored at the next plug-in.
    for (std::size_t i = 0; i < before.words.size() && i < backup.words.size(); ++i) {
        if (FactoryWord(chip, i) && before.words[i] != backup.words[i]) {
            error = "the backup's factory words (0x40-0x4f) are another chip's: its checksum would not "
                    "hold on this one; nothing was written";
            return false;
        }
    }
    // The restored record's number is taken before it is written, like any other; the notes stand
    // for the log's records until the log has them.
    const UserAreaImageBuffer present = device.UserAreaImage;
    device.UserAreaImage = backup.userArea;
    std::fill(device.UserAreaImage.begin() + kUserAreaSize, device.UserAreaImage.end(), 0);
    if (!device.StoreStatusBeforeWrite()) {
        device.UserAreaImage = present;
        error = "the device status could not be stored";
        return false;
    }
    records::PendingRecord pendingRecord, pendingUsb;
    device.KeepPendingRecord(pendingRecord, TRUE);
    D2xxLibrary& lib = device.Library();
    const bool configuration = !backup.image.empty();
    // Either record in the log tells what became of the whole restore.
    auto log = [&](bool written, const std::string& notVerified) {
        if (configuration)
            device.WriteProductionLog(FALSE, written ? TRUE : FALSE, notVerified);
        device.WriteProductionLog(TRUE, written ? TRUE : FALSE, notVerified);
    };
    if (configuration) {
        // Through the library first: it also keeps the ManufacturerId, which lies beside the
        // words; the words then put back whatever the library lays out its own way.
        TakeImage(device, backup);
        device.KeepPendingRecord(pendingUsb, FALSE);
        const d2xx::FT_STATUS status = lib.EEPROM_Program(
            device.DeviceHandle(),
            XSeries(chip) ? static_cast<void*>(&device.m_eepromX) : static_cast<void*>(&device.m_eepromBm),
            static_cast<d2xx::DWORD>(backup.image.size()), device.Manufacturer.data(),
            device.ManufacturerId.data(), device.Description.data(), device.SerialNumber.data());
        if (status != d2xx::FT_OK) {
            log(false, {});
            error = "programming the EEPROM failed";
            return false;
        }
    }
    device.UserAreaImage = backup.userArea;
    std::fill(device.UserAreaImage.begin() + kUserAreaSize, device.UserAreaImage.end(), 0);
    for (std::size_t i = 0; i < backup.words.size(); ++i) {
        if (FactoryWord(chip, i))
            continue;
        if (lib.WriteEE(device.DeviceHandle(), static_cast<d2xx::DWORD>(i), backup.words[i]) != d2xx::FT_OK) {
            log(false, {});
            error = "writing EEPROM word " + WordAddress(i) + " failed";
            return false;
        }
    }
    // Every word is read back: "byte for byte" is a claim to be checked, not assumed.
    std::vector<std::string> differing;
    bool readBack = true;
    for (std::size_t i = 0; i < backup.words.size() && readBack; ++i) {
        d2xx::WORD w = 0;
        readBack = lib.ReadEE(device.DeviceHandle(), static_cast<d2xx::DWORD>(i), &w) == d2xx::FT_OK;
        if (readBack && w != backup.words[i])
            differing.push_back(WordAddress(i));
    }
    // From now on the object works with, and logs, what the converter holds.
    if (configuration)
        readBack = device.ReadEeprom() && readBack;
    readBack = device.ReadUserArea() && readBack;
    if (configuration &&
        std::string(device.ManufacturerId.data(), strnlen(device.ManufacturerId.data(), 63)) != backup.strings[1])
        differing.push_back("ManufacturerId");
    std::string notVerified;
    if (!readBack)
        notVerified = "the converter could not be read back";
    else if (!differing.empty())
        notVerified = (differing.size() == 1 ? "EEPROM word " : "EEPROM words ") + Joined(differing) +
                      (differing.size() == 1 ? " differs" : " differ") + " from the backup when read back";
    log(true, notVerified);
    device.ParseUserArea();
    if (!notVerified.empty()) {
        error = notVerified;
        return false;
    }
    return true;
}

} // namespace records
