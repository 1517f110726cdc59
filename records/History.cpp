#include "records/History.h"

#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/SafeFile.h"
#include "records/TextScan.h"

namespace records {

namespace {

// The lines of a text, each without its line end. A last line without one was cut by a writer
// that stopped: it is not handed out.
class Lines {
public:
    explicit Lines(std::string_view text) : text_(text) {}

    bool Next(std::string_view& line)
    {
        if (pos_ >= text_.size())
            return false;
        const char* start = text_.data() + pos_;
        const void* nl = std::memchr(start, '\n', text_.size() - pos_);
        if (nl == nullptr) {
            pos_ = text_.size();
            return false;
        }
        std::size_t len = static_cast<const char*>(nl) - start;
        pos_ += len + 1;
        if (len > 0 && start[len - 1] == '\r')
            --len;
        line = std::string_view(start, len);
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// "*** [time] USER "user" on COMPUTER "computer""
bool ParseStationLine(std::string_view line, LogEntry& e)
{
    if (!StartsWith(line, "*** ["))
        return false;
    const std::string_view userTag = "] USER \"";
    const std::size_t t = line.find(userTag, 5);
    if (t == std::string_view::npos)
        return false;
    e.time = line.substr(5, t - 5);
    const std::string_view computerTag = "\" on COMPUTER \"";
    const std::size_t u = line.rfind(computerTag);
    const std::size_t userStart = t + userTag.size();
    if (u == std::string_view::npos || u < userStart || line.back() != '"' ||
        line.size() < u + computerTag.size() + 1)
        return false;
    e.user = line.substr(userStart, u - userStart);
    e.computer = line.substr(u + computerTag.size(), line.size() - 1 - u - computerTag.size());
    return true;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string_view Value(const LogEntry& e, std::string_view key)
{
    for (const auto& [k, v] : e.values)
        if (EqualNoCase(k, key))
            return v;
    return {};
}

bool SerialGroups(std::string_view text, std::int64_t (&groups)[3])
{
    if (text.find('.') == std::string_view::npos)
        return false;
    return ScanFormat(text, "%d.%d.%d", groups) == 3;
}

} // namespace

void ScanLog(std::string_view text, const std::function<void(const LogEntry&)>& found)
{
    Lines lines(text);
    LogEntry e;
    std::string_view line;
    bool have = lines.Next(line);
    while (have) {
        if (line != "***") {
            have = lines.Next(line);
            continue;
        }
        // Each step that does not fit looks at the same line again as a possible start.
        e.values.clear();
        if (!(have = lines.Next(line)) || !ParseStationLine(line, e))
            continue;
        if (!(have = lines.Next(line)) || !StartsWith(line, "*** ") || line.size() == 4)
            continue;
        e.kind = line.substr(4);
        if (!(have = lines.Next(line)) || line != "***")
            continue;
        if (!(have = lines.Next(line)) || line.size() < 3 || line.front() != '[' || line.back() != ']')
            continue;
        e.section = line.substr(1, line.size() - 2);
        bool afterEmpty = false;
        while ((have = lines.Next(line))) {
            if (line.empty()) {
                afterEmpty = true;
                continue;
            }
            if (StartsWith(line, "***") || line.front() == '[')
                break;
            afterEmpty = false;
            const std::size_t eq = line.find('=');
            if (eq != std::string_view::npos && eq > 0)
                e.values.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
        // Every record begins with an empty line: one straight after a value means the value's
        // writer stopped in the middle of it.
        if (have && line == "***" && !afterEmpty && !e.values.empty())
            e.values.pop_back();
        if (!e.values.empty())
            found(e);
    }
}

bool ScanLogFile(const std::string& path, const std::function<void(const LogEntry&)>& found)
{
    // The log may be any size; it only has to be a regular file, opened without blocking.
    platform::FileStatus status = platform::FileStatus::Ok;
    const int fd = platform::OpenRegularFile(path, O_RDONLY, status);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    void* map = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    ::close(fd);
    if (map == MAP_FAILED)
        return false;
    ::madvise(map, size, MADV_SEQUENTIAL);
    ScanLog({static_cast<const char*>(map), size}, found);
    if (map != nullptr)
        ::munmap(map, size);
    return true;
}

std::optional<LogDate> ParseLogDate(std::string_view time)
{
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // "Www Mmm dd hh:mm:ss yyyy", the day right-aligned in two characters.
    if (time.size() != 24 || time[3] != ' ' || time[7] != ' ' || time[10] != ' ' || time[19] != ' ')
        return std::nullopt;
    LogDate d;
    for (int m = 0; m < 12; ++m)
        if (time.substr(4, 3) == kMonths[m])
            d.month = m + 1;
    std::int64_t day = 0, year = 0;
    const std::string_view dayText = time[8] == ' ' ? time.substr(9, 1) : time.substr(8, 2);
    if (d.month == 0 || ScanFormat(dayText, "%d", {&day, 1}) != 1 ||
        ScanFormat(time.substr(20), "%d", {&year, 1}) != 1 || day < 1 || day > 31)
        return std::nullopt;
    d.day = static_cast<int>(day);
    d.year = static_cast<int>(year);
    return d;
}

std::optional<LogDate> ParseSinceDate(std::string_view text)
{
    std::int64_t v[3] = {};
    if (text.size() != 8 || text[2] != '.' || text[5] != '.' || ScanFormat(text, "%2d.%2d.%2d", v) != 3)
        return std::nullopt;
    for (char c : text)
        if (c != '.' && (c < '0' || c > '9'))
            return std::nullopt;
    if (v[0] < 1 || v[0] > 31 || v[1] < 1 || v[1] > 12)
        return std::nullopt;
    return LogDate{2000 + static_cast<int>(v[2]), static_cast<int>(v[1]), static_cast<int>(v[0])};
}

std::optional<std::int32_t> ParseDeviceCode(std::string_view text)
{
    std::int64_t value = -1;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string_view digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 3)
        return std::nullopt;
    for (char c : digits) {
        const bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!ok)
            return std::nullopt;
    }
    if (ScanFormat(digits, hex ? "%x" : "%d", {&value, 1}) != 1 || value < 0 || value > 255)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool Matches(const LogEntry& e, const HistoryFilter& f)
{
    if (!f.station.empty() && !EqualNoCase(e.computer, f.station))
        return false;
    if (f.type) {
        std::int64_t code = -1;
        const std::string_view type = Value(e, "Type");
        if (ScanFormat(type, "0x%x", {&code, 1}) != 1 || code != *f.type)
            return false;
    }
    if (f.since) {
        const auto date = ParseLogDate(e.time);
        if (!date || *date < *f.since)
            return false;
    }
    if (!f.serial.empty()) {
        const std::string_view serial = Value(e, "SerialNumber");
        std::int64_t want[3] = {}, have[3] = {};
        if (SerialGroups(f.serial, want)) {
            if (!SerialGroups(serial, have) || want[0] != have[0] || want[1] != have[1] ||
                want[2] != have[2])
                return false;
        } else if (!EqualNoCase(serial, f.serial)) {
            return false;
        }
    }
    return true;
}

std::string FormatEntry(const LogEntry& e)
{
    std::string text;
    text.reserve(160);
    text.append(e.time).append("\t").append(e.user).append("\t").append(e.computer);
    text.append("\t").append(e.kind);
    for (const auto& [k, v] : e.values)
        text.append("\t").append(k).append("=").append(v);
    return text;
}

} // namespace records
