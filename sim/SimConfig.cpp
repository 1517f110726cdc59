#include "sim/SimConfig.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "link/UserArea.h"
#include "sim/EepromImage.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/System.h"

namespace sim {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The file is read once, through a 4096-byte buffer a value. A section repeated further down
// overrides, so a test can append what differs from a base configuration.
class Reader {
public:
    // suffix: ".N" for converter N, which reads [Section.N] ([Link] as a fallback).
    Reader(const platform::ProfileDocument& doc, std::string suffix)
        : doc_(doc), suffix_(std::move(suffix))
    {
    }

    // The key from this converter's own section only.
    std::optional<std::string> Own(const char* section, const char* key) const
    {
        return suffix_.empty() ? doc_.GetLatest(section, key)
                               : doc_.GetLatest(std::string(section) + suffix_, key);
    }
    std::optional<std::string> Text(const char* section, const char* key) const
    {
        std::optional<std::string> v = Own(section, key);
        // A converter's identity is its own; the bench's line timing is shared.
        if (!v && !suffix_.empty() && std::string_view(section) == "Link")
            v = doc_.GetLatest(section, key);
        if (v && v->size() > 4095)
            v->resize(4095);
        return v;
    }
    void Number(const char* section, const char* key, std::uint32_t& out) const
    {
        if (auto t = Text(section, key))
            if (auto n = ParseNumber(*t))
                out = *n;
    }
    template <typename Int>
    void Integer(const char* section, const char* key, Int& out) const
    {
        std::uint32_t v = static_cast<std::uint32_t>(out);
        Number(section, key, v);
        out = static_cast<Int>(v);
    }
    void Flag(const char* section, const char* key, bool& out) const
    {
        if (auto t = Text(section, key)) {
            const std::string v = Lower(*t);
            if (v == "1" || v == "yes" || v == "true" || v == "on")
                out = true;
            else if (v == "0" || v == "no" || v == "false" || v == "off")
                out = false;
        }
    }
    void String(const char* section, const char* key, std::string& out) const
    {
        if (auto t = Text(section, key))
            out = *t;
    }

private:
    const platform::ProfileDocument& doc_;
    std::string suffix_;
};

// Three decimal numbers with a separator between them and nothing after; a number too large
// for an int fails instead of being undefined, as it is with sscanf.
bool ParseThree(const std::string& text, char separator, int& a, int& b, int& c)
{
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    int* const parts[] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (at == end || *at != separator)
                return false;
            ++at;
        }
        const auto [next, error] = std::from_chars(at, end, *parts[i]);
        if (error != std::errc())
            return false;
        at = next;
    }
    return at == end;
}

bool ParseDate(const std::string& text, int& yy, int& mm, int& dd)
{
    int year = 0, month = 0, day = 0;
    if (!ParseThree(text, '-', year, month, day))
        return false;
    if (year < 2000 || year > 2099 || month < 0 || month > 99 || day < 0 || day > 99)
        return false;
    yy = year - 2000;
    mm = month;
    dd = day;
    return true;
}

// Revision as 1.23: the major number, and the two digits after the dot as the minor byte's
// hexadecimal digits (the identity line prints the minor with %02x).
bool ParseRevision(const std::string& text, int& major, std::uint8_t& minor)
{
    const auto dot = text.find('.');
    if (dot == std::string::npos || dot == 0)
        return false;
    // end points into the number's text, which must outlive the test of *end.
    const std::string number = text.substr(0, dot);
    char* end = nullptr;
    const long m = std::strtol(number.c_str(), &end, 10);
    if (*end != '\0' || m < 0 || m > 255)
        return false;
    const std::string rest = text.substr(dot + 1);
    if (rest.empty() || rest.size() > 2 ||
        !std::all_of(rest.begin(), rest.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return false;
    major = static_cast<int>(m);
    minor = static_cast<std::uint8_t>(std::strtoul(rest.c_str(), nullptr, 16));
    return true;
}

} // namespace

std::optional<std::uint32_t> ParseNumber(const std::string& text)
{
    std::string t = text;
    t.erase(0, t.find_first_not_of(" \t"));
    t.erase(t.find_last_not_of(" \t") + 1);
    if (t.empty())
        return std::nullopt;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t = t.substr(2);
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull || t[0] == '-' || t[0] == '+')
        return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

std::string Decimal(long value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%ld", value);
    return text;
}

std::string ToHex(const std::uint8_t* data, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text)
{
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',' || c == ':' || c == '-') {
            if (high >= 0)
                return std::nullopt;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        const int v = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

bool EncodeUserAreaFields(int deviceCode, const std::string& serial,
                          const std::string& manufacturing, const std::string& lastUpdate,
                          bool badChecksum, std::array<std::uint8_t, 25>& out)
{
    int p1 = 0, p2 = 0, p3 = 0;
    if (!ParseThree(serial, '.', p1, p2, p3) || p1 < 0 || p1 > 65535 || p2 < 0 || p2 > 9999 || p3 < 0 || p3 > 999)
        return false;
    int y1, m1, d1, y2, m2, d2;
    if (!ParseDate(manufacturing, y1, m1, d1) || !ParseDate(lastUpdate, y2, m2, d2))
        return false;
    if (deviceCode < 0 || deviceCode > 255)
        return false;

    UserAreaImageBuffer image{};
    image[0] = static_cast<std::uint8_t>(deviceCode);
    char text[32];
    if (p1 <= 999) {
        std::snprintf(text, sizeof text, "%03d%04d%03d", p1, p2, p3);
        std::memcpy(&image[1], text, 10);
    } else {
        image[1] = 0x80;
        image[2] = static_cast<std::uint8_t>(p1 & 0xFF);
        image[3] = static_cast<std::uint8_t>(p1 >> 8);
        std::snprintf(text, sizeof text, "%04d%03d", p2, p3);
        std::memcpy(&image[4], text, 7);
    }
    std::snprintf(text, sizeof text, "%02d%02d%02d", y1, m1, d1);
    std::memcpy(&image[11], text, 6);
    std::snprintf(text, sizeof text, "%02d%02d%02d", y2, m2, d2);
    std::memcpy(&image[17], text, 6);
    std::uint16_t sum = UserAreaChecksum(image);
    if (badChecksum)
        sum ^= 0x5A5A;
    image[23] = static_cast<std::uint8_t>(sum >> 8);
    image[24] = static_cast<std::uint8_t>(sum & 0xFF);
    std::copy_n(image.begin(), out.size(), out.begin());
    return true;
}

std::string SimConfigFileFromEnvironment()
{
    const char* file = std::getenv("KESTRUNE_SIM");
    return file ? file : "";
}

namespace {

// Converter `number` (1 the first) from the parsed file. The first keeps the file's plain
// sections as they always were; a further one reads [Section.N] first.
SimConfig LoadConverter(const platform::ProfileDocument& doc, const std::string& file, int number,
                        const std::string& firstSerial)
{
    SimConfig c;
    c.file = file;
    c.number = number;
    const std::string suffix = number > 1 ? "." + Decimal(number) : std::string();
    const Reader r(doc, suffix);

    r.Flag("Converter", "Present", c.present);
    if (number == 1) {
        r.Integer("Converter", "Count", c.count);
        c.count = std::clamp(c.count, 1, 16);
        r.String("Converter", "SerialNumber", c.serialNumber);
    } else {
        // Two converters never share a serial number unless the file says so.
        c.serialNumber = firstSerial.substr(0, 12) + "." + Decimal(number);
        r.String("Converter", "SerialNumber", c.serialNumber);
    }
    // Longer than the D2XX list's 15 characters is allowed: such converters exist.
    if (c.serialNumber.size() > 63)
        c.serialNumber.resize(63);
    r.Number("Converter", "ChipType", c.chipType);
    if (auto v = r.Text("Converter", "DriverVersion")) {
        if (Lower(*v) == "fail")
            c.driverVersion = std::nullopt;
        else if (auto n = ParseNumber(*v))
            c.driverVersion = *n;
    }
    r.Number("Converter", "LibraryVersion", c.libraryVersion);
    r.Flag("Converter", "Busy", c.busy);
    r.Flag("Converter", "AccessDenied", c.accessDenied);

    auto& h = c.eeprom.image.common;
    h.deviceType = c.chipType;
    h.VendorId = 0x0403;
    h.ProductId = 0xF209;
    h.MaxPower = 100;
    h.SerNumEnable = 1;
    c.eeprom.image.Cbus0 = 4;
    c.eeprom.manufacturer = "ZKM";
    c.eeprom.manufacturerId = "ZK";
    c.eeprom.description = "CORVINA USB";
    c.eeprom.serialNumber = c.serialNumber;
    r.Integer("Eeprom", "VendorId", h.VendorId);
    r.Integer("Eeprom", "ProductId", h.ProductId);
    r.Integer("Eeprom", "MaxPower", h.MaxPower);
    r.Integer("Eeprom", "SelfPowered", h.SelfPowered);
    r.Integer("Eeprom", "RemoteWakeup", h.RemoteWakeup);
    r.String("Eeprom", "Manufacturer", c.eeprom.manufacturer);
    r.String("Eeprom", "ManufacturerId", c.eeprom.manufacturerId);
    r.String("Eeprom", "Description", c.eeprom.description);
    r.String("Eeprom", "SerialNumber", c.eeprom.serialNumber);
    for (std::string* s : {&c.eeprom.manufacturer, &c.eeprom.manufacturerId,
                           &c.eeprom.description, &c.eeprom.serialNumber})
        if (s->size() > 63)
            s->resize(63);
    if (auto text = r.Text("Eeprom", "Image")) {
        const std::size_t expected = c.chipType == d2xx::FT_DEVICE_X_SERIES ? 128 : 64;
        auto words = ParseHexWords(*text);
        if (words && words->size() == expected)
            c.eepromWords = *words;
        else
            std::fprintf(stderr,
                         "kestrune-sim: [Eeprom] Image= must be %zu hexadecimal words for chip "
                         "type %u; it is ignored\n",
                         expected, static_cast<unsigned>(c.chipType));
    }
    r.Flag("Eeprom", "ReadFails", c.eepromReadFails);
    r.Flag("Eeprom", "ProgramFails", c.eepromProgramFails);
    r.Flag("Eeprom", "ProgramCorrupts", c.eepromProgramCorrupts);
    r.Number("Eeprom", "PullCableAtWord", c.eepromPullAtWord);
    r.Number("Eeprom", "WordWriteCorrupts", c.wordWriteCorrupts);
    r.Number("UserArea", "PullCableAtWord", c.userAreaPullAtWord);
    r.Integer("Eeprom", "WriteDelayMs", c.eepromWriteDelayMs);
    c.eepromWriteDelayMs = std::clamp(c.eepromWriteDelayMs, 0, 60000);

    int code = 0x62;
    std::string serial = "0012.3456.789", made = "2015-03-04", updated = "2016-05-06";
    bool badChecksum = false;
    r.Integer("UserArea", "DeviceCode", code);
    r.String("UserArea", "SerialNumber", serial);
    r.String("UserArea", "Manufacturing", made);
    r.String("UserArea", "LastUpdate", updated);
    r.Flag("UserArea", "BadChecksum", badChecksum);
    std::array<std::uint8_t, 25> fallback{};
    EncodeUserAreaFields(0x62, "0012.3456.789", "2015-03-04", "2016-05-06", false, fallback);
    if (!EncodeUserAreaFields(code, serial, made, updated, badChecksum, c.userArea))
        c.userArea = fallback;
    if (auto bytes = r.Text("UserArea", "Bytes")) {
        auto data = FromHex(*bytes);
        if (data && data->size() == c.userArea.size())
            std::copy(data->begin(), data->end(), c.userArea.begin());
    }
    r.Flag("UserArea", "Erased", c.userAreaErased);
    r.Flag("UserArea", "ReadFails", c.userAreaReadFails);
    r.Flag("UserArea", "WriteFails", c.userAreaWriteFails);
    r.Flag("UserArea", "WriteCorrupts", c.userAreaWriteCorrupts);

    c.display.deviceId = c.userAreaErased ? 0xFF : c.userArea[0];
    r.Integer("Display", "DeviceId", c.display.deviceId);
    if (auto rev = r.Text("Display", "Revision"))
        ParseRevision(*rev, c.display.revisionMajor, c.display.revisionMinor);
    r.Flag("Display", "Responds", c.display.responds);

    r.Flag("Link", "Pace", c.pace);
    r.Integer("Link", "LatencyTimerMs", c.latencyTimerMs);
    if (c.latencyTimerMs != 0)
        c.latencyTimerMs = std::clamp(c.latencyTimerMs, 2, 255);
    if (auto v = r.Text("Link", "PullCableAfterBytes"))
        if (auto n = ParseNumber(*v))
            c.pullCableAfterBytes = *n;
    if (auto v = r.Text("Link", "PullCableAfterReadBytes"))
        if (auto n = ParseNumber(*v))
            c.pullCableAfterReadBytes = *n;

    if (!file.empty())
        c.bootLoader = LoadBootLoaderConfig(file, number > 1 ? "BootLoader" + suffix : std::string());

    if (!file.empty()) {
        c.stateFolder = platform::PathRemoveFileSpec(file);
        if (c.stateFolder.empty())
            c.stateFolder = ".";
        Reader(doc, {}).String("State", "Folder", c.stateFolder);
        if (number > 1 && !c.stateFolder.empty())
            c.stateFolder = platform::PathAppend(c.stateFolder, "converter" + suffix);
    }
    return c;
}

// The file's text, or the problem that keeps every converter away.
bool ReadConfigText(const std::string& file, std::string& text, std::string& problem)
{
    if (file.empty())
        return true;
    const platform::FileStatus status = platform::ReadRegularFile(file, text);
    // A folder, FIFO or device named by mistake must not hang or exhaust the program that
    // loads us; the simulated display is then simply absent.
    if (status != platform::FileStatus::Ok && status != platform::FileStatus::Missing) {
        problem = platform::FileStatusText(file, status);
        return false;
    }
    return true;
}

} // namespace

SimConfig LoadSimConfig(const std::string& file)
{
    return LoadSimConfigs(file).front();
}

std::vector<SimConfig> LoadSimConfigs(const std::string& file)
{
    std::string text, problem;
    if (!ReadConfigText(file, text, problem)) {
        SimConfig c;
        c.file = file;
        c.problem = problem;
        c.present = false;
        return {c};
    }
    const platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
    std::vector<SimConfig> out{LoadConverter(doc, file, 1, {})};
    for (int n = 2; n <= kMaxConverters; ++n)
        if (doc.HasSection("Converter." + Decimal(n)))
            out.push_back(LoadConverter(doc, file, n, out.front().serialNumber));
    return out;
}

} // namespace sim
