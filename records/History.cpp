#include "records/History.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

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

// The three groups of a serial number: digits only, at most as many as each group has when
// written ("%04d.%04d.%03d", the first group up to 65535).
bool SerialGroups(std::string_view text, std::int64_t (&groups)[3])
{
    static constexpr std::size_t kWidth[3] = {5, 4, 3};
    for (int g = 0; g < 3; ++g) {
        const std::size_t end = g < 2 ? text.find('.') : text.size();
        if (end == std::string_view::npos || end == 0 || end > kWidth[g])
            return false;
        groups[g] = 0;
        for (char c : text.substr(0, end)) {
            if (c < '0' || c > '9')
                return false;
            groups[g] = groups[g] * 10 + (c - '0');
        }
        text.remove_prefix(g < 2 ? end + 1 : end);
    }
    return true;
}

} // namespace

namespace {

// Builds records out of the log's lines, one line at a time, so that a log of any size is read
// in little memory. A lead-in that does not fit is tried again from each of its later lines: a
// record cut inside its lead-in must not take the next record's "***" with it.
class LogScanner {
public:
    explicit LogScanner(const std::function<void(const LogEntry&)>& found) : found_(found) {}

    void Line(std::string_view line)
    {
        if (inSection_ && SectionLine(line))
            return;
        if (leadCount_ == 0 && line != "***")
            return; // between records
        lead_[leadCount_++].assign(line);
        // The lines before fit: only the new one needs a look, unless it does not fit.
        if (!Fits(leadCount_ - 1, line)) {
            do {
                std::rotate(lead_.begin(), lead_.begin() + 1, lead_.begin() + leadCount_);
                --leadCount_;
            } while (leadCount_ > 0 && !LeadFits());
        }
        if (leadCount_ == lead_.size())
            StartSection();
    }

    // The text ended: a record still open has every whole line it will ever get.
    void End()
    {
        if (inSection_)
            Emit(false);
    }

private:
    struct Span {
        std::size_t at = 0, size = 0;
    };

    // Lead-in lines: "***", the station line, the kind line, "***", the section line.
    static bool Fits(std::size_t i, std::string_view line)
    {
        if (i == 1) {
            LogEntry probe;
            return ParseStationLine(line, probe);
        }
        return i == 0 || i == 3 ? line == "***"
             : i == 2           ? StartsWith(line, "*** ") && line.size() > 4
                                : line.size() >= 3 && line.front() == '[' && line.back() == ']';
    }

    bool LeadFits() const
    {
        for (std::size_t i = 0; i < leadCount_; ++i)
            if (!Fits(i, lead_[i]))
                return false;
        return true;
    }

    Span Keep(std::string_view text)
    {
        const Span span{record_.size(), text.size()};
        record_.append(text);
        return span;
    }

    void StartSection()
    {
        LogEntry station;
        ParseStationLine(lead_[1], station);
        record_.clear();
        values_.clear();
        time_ = Keep(station.time);
        user_ = Keep(station.user);
        computer_ = Keep(station.computer);
        kind_ = Keep(std::string_view(lead_[2]).substr(4));
        section_ = Keep(std::string_view(lead_[4]).substr(1, lead_[4].size() - 2));
        leadCount_ = 0;
        inSection_ = true;
        afterEmpty_ = false;
    }

    // False when the line ends the section (and may begin the next record).
    bool SectionLine(std::string_view line)
    {
        if (line.empty()) {
            afterEmpty_ = true;
            return true;
        }
        if (StartsWith(line, "***") || line.front() == '[') {
            // Every record begins with an empty line: one straight after a value means the
            // value's writer stopped in the middle of it.
            Emit(line == "***" && !afterEmpty_);
            return false;
        }
        afterEmpty_ = false;
        const std::size_t eq = line.find('=');
        if (eq != std::string_view::npos && eq > 0) {
            const Span whole = Keep(line);
            values_.push_back({{whole.at, eq}, {whole.at + eq + 1, line.size() - eq - 1}});
        }
        return true;
    }

    void Emit(bool lastValueCut)
    {
        inSection_ = false;
        if (lastValueCut && !values_.empty())
            values_.pop_back();
        if (values_.empty())
            return;
        auto view = [&](Span s) { return std::string_view(record_).substr(s.at, s.size); };
        entry_.time = view(time_);
        entry_.user = view(user_);
        entry_.computer = view(computer_);
        entry_.kind = view(kind_);
        entry_.section = view(section_);
        entry_.values.clear();
        for (const auto& [key, value] : values_)
            entry_.values.emplace_back(view(key), view(value));
        found_(entry_);
    }

    const std::function<void(const LogEntry&)>& found_;
    std::array<std::string, 5> lead_;
    std::size_t leadCount_ = 0;
    bool inSection_ = false;
    bool afterEmpty_ = false;
    std::string record_;
    Span time_, user_, computer_, kind_, section_;
    std::vector<std::pair<Span, Span>> values_;
    LogEntry entry_;
};

// A line longer than this is no line of a record; it is skipped without being held.
constexpr std::size_t kMaxLogLine = 1u << 20;

} // namespace

void ScanLog(std::string_view text, const std::function<void(const LogEntry&)>& found)
{
    LogScanner scanner(found);
    Lines lines(text);
    std::string_view line;
    while (lines.Next(line))
        scanner.Line(line);
    scanner.End();
}

bool ScanLogFile(const std::string& path, const std::function<void(const LogEntry&)>& found)
{
    // The log may be any size and may be cut back or rotated while we read it: it is read as a
    // stream (a mapping would fault past a new end), from a regular file opened without blocking.
    platform::FileStatus status = platform::FileStatus::Ok;
    platform::File file = platform::File::Open(path, platform::FileAccess::Read, status);
    if (!file.IsOpen())
        return false;
    LogScanner scanner(found);
    std::string buffer(1u << 20, '\0');
    std::string carry; // the start of a line that goes on in the next read
    bool skipping = false; // inside an overlong line
    bool ok = true;
    for (;;) {
        std::size_t n = 0;
        if (!file.Read(buffer, n)) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        std::string_view chunk(buffer.data(), n);
        for (;;) {
            const std::size_t nl = chunk.find('\n');
            if (nl == std::string_view::npos) {
                if (!skipping && carry.size() + chunk.size() > kMaxLogLine) {
                    skipping = true;
                    carry.clear();
                }
                if (!skipping)
                    carry.append(chunk);
                break;
            }
            std::string_view line = chunk.substr(0, nl);
            chunk.remove_prefix(nl + 1);
            if (skipping) {
                skipping = false;
                scanner.Line("["); // no record's line: whatever was open ends here
                continue;
            }
            if (!carry.empty()) {
                carry.append(line);
                line = carry;
            }
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            scanner.Line(line);
            carry.clear();
        }
    }
    // A last line without its line end was cut by a writer that stopped: it is not handed in.
    scanner.End();
    return ok;
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
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (v[1] < 1 || v[1] > 12 || v[0] < 1 || v[0] > kDays[v[1] - 1] ||
        (v[1] == 2 && v[0] == 29 && v[2] % 4 != 0))
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
        if (f.serial.find('.') != std::string::npos) {
            // Looks like a serial number: it must be one, or it matches nothing.
            if (!SerialGroups(f.serial, want))
                return false;
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
