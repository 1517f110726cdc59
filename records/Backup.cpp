#include "records/Backup.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "link/ConverterRules.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/System.h"
#include "platform/Ui.h"
#include "records/MyCrvUsbDevice.h"
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
    const int fd = platform::CreateTemporaryFile(folder + "/.backup-", temp);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
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

} // namespace

std::string StoredSerial(std::string serial)
{
    for (char& c : serial)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    return serial;
}

std::uint32_t BackupWordCount(std::uint32_t chipType)
{
    // The X series keeps configuration and user area in its first 128 words; the others in 64.
    return chipType == d2xx::FT_DEVICE_X_SERIES ? 128 : 64;
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
    std::string text = FormatSection(
        "Backup", {{"Converter", StoredSerial(s.converterSerial)},
                   {"ChipType", std::to_string(s.chipType)},
                   {"Time", BackupTimeName(utcTime)}});
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
    return text;
}

bool ParseBackup(std::string_view text, ConverterSnapshot& out, std::string& error)
{
    out = ConverterSnapshot{};
    const platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
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
    return true;
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
    const fs::path folder = fs::path(BackupFolder()) / FolderName(snapshot.converterSerial);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder)) {
        error = "the folder " + folder.string() + " cannot be created";
        return std::nullopt;
    }
    const std::string name = BackupTimeName(utcTime);
    std::string temp;
    if (!WriteFileSynced(folder.string(), FormatBackup(snapshot, utcTime), temp)) {
        if (!temp.empty())
            ::unlink(temp.c_str());
        error = "no file can be written in " + folder.string();
        return std::nullopt;
    }
    // link() never replaces: a backup taken in the same second keeps its own file.
    for (int n = 1; n < 1000; ++n) {
        const std::string path =
            (folder / (name + (n == 1 ? "" : "-" + std::to_string(n)) + ".ini")).string();
        if (::link(temp.c_str(), path.c_str()) == 0) {
            ::unlink(temp.c_str());
            const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
            return path;
        }
        if (errno != EEXIST)
            break;
    }
    ::unlink(temp.c_str());
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
    // Time names sort as text; "-2" after the plain name of the same second.
    std::sort(list.begin(), list.end(), [](const BackupEntry& a, const BackupEntry& b) {
        return std::tie(a.converter, a.name) < std::tie(b.converter, b.name);
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

bool VerifyEepromWrite(CMyCrvUsbDevice& device, const ConverterSnapshot& before)
{
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
        ErrorBox("The EEPROM was programmed but could not be read back to check it (" + error + ").");
        return false;
    }
    ZeroPadding(now.image);
    std::vector<std::string> names = DifferingUsbFields(written, now);
    // Programming the configuration must leave the identification record alone.
    for (const std::string& n : DifferingRecordFields(before.userArea, now.userArea))
        names.push_back("record " + n);
    if (names.empty())
        return true;
    ErrorBox("The converter does not hold what was programmed: " + Joined(names) +
             (names.size() == 1 ? " differs" : " differ") + " when read back.");
    return false;
}

bool VerifyUserAreaWrite(CMyCrvUsbDevice& device, const UserAreaImageBuffer& written)
{
    // What the converter holds is what the program works with from now on.
    if (!device.ReadUserArea()) {
        device.UserAreaImage = written;
        ErrorBox("The device record was written but could not be read back to check it.");
        return false;
    }
    const std::vector<std::string> names = DifferingRecordFields(written, device.UserAreaImage);
    if (names.empty())
        return true;
    ErrorBox("The converter does not hold the device record that was written: " + Joined(names) +
             (names.size() == 1 ? " differs" : " differ") + " when read back.");
    return false;
}

bool RestoreBackup(CMyCrvUsbDevice& device, const ConverterSnapshot& backup, std::string& error)
{
    if (backup.chipType != device.ChipType) {
        error = "the backup is of chip type " + std::to_string(backup.chipType) +
                ", the converter is of chip type " + std::to_string(device.ChipType);
        return false;
    }
    if (!backup.image.empty()) {
        if (device.ChipType == d2xx::FT_DEVICE_X_SERIES)
            std::memcpy(&device.m_eepromX, backup.image.data(), sizeof device.m_eepromX);
        else
            std::memcpy(&device.m_eepromBm, backup.image.data(), sizeof device.m_eepromBm);
        std::array<char, 64>* strings[4] = {&device.Manufacturer, &device.ManufacturerId,
                                            &device.Description, &device.SerialNumber};
        for (int i = 0; i < 4; ++i) {
            strings[i]->fill('\0');
            std::memcpy(strings[i]->data(), backup.strings[i].data(),
                        std::min<std::size_t>(backup.strings[i].size(), 63));
        }
        // The image goes back exactly as saved (ProgramEeprom would set its own CBUS0).
        ConverterSnapshot before;
        if (!PrepareWrite(device, before)) {
            error = "no backup of the present contents could be made";
            return false;
        }
        const d2xx::FT_STATUS status = device.Library().EEPROM_Program(
            device.DeviceHandle(),
            device.ChipType == d2xx::FT_DEVICE_X_SERIES ? static_cast<void*>(&device.m_eepromX)
                                                        : static_cast<void*>(&device.m_eepromBm),
            static_cast<d2xx::DWORD>(backup.image.size()), device.Manufacturer.data(),
            device.ManufacturerId.data(), device.Description.data(), device.SerialNumber.data());
        device.WriteProductionLog(FALSE);
        if (status != d2xx::FT_OK) {
            error = "programming the EEPROM failed";
            return false;
        }
        if (!VerifyEepromWrite(device, before)) {
            error = "the EEPROM does not hold the backup";
            return false;
        }
    }
    device.UserAreaImage = backup.userArea;
    std::fill(device.UserAreaImage.begin() + kUserAreaSize, device.UserAreaImage.end(), 0);
    if (!device.WriteUserArea()) {
        error = "writing the device record failed";
        return false;
    }
    device.ParseUserArea();
    return true;
}

} // namespace records
