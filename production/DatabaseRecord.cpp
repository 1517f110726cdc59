#include "production/DatabaseRecord.h"

#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <istream>
#include <locale>
#include <sstream>

namespace production {

namespace {

// The next line without its end (CR LF, LF or CR); pos moves past the end.
std::string_view NextLine(std::string_view text, std::size_t& pos)
{
    const std::size_t start = pos;
    std::size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n')
        ++end;
    pos = end;
    if (pos < text.size() && text[pos] == '\r')
        ++pos;
    if (pos < text.size() && text[pos] == '\n')
        ++pos;
    return text.substr(start, end - start);
}

bool StartsWith(std::string_view text, std::string_view lead)
{
    return text.substr(0, lead.size()) == lead;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::optional<std::int64_t> LocalTime(const std::string& text)
{
    std::tm tm{};
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> std::get_time(&tm, "%a %b %d %H:%M:%S %Y");
    if (in.fail() || in.peek() != std::char_traits<char>::eof())
        return std::nullopt;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return std::nullopt;
    return static_cast<std::int64_t>(t);
}

bool ParseStationLine(std::string_view line, RecordColumns& columns)
{
    constexpr std::string_view kLead = "*** [";
    constexpr std::string_view kUser = "] USER \"";
    constexpr std::string_view kComputer = "\" on COMPUTER \"";
    if (!StartsWith(line, kLead) || line.size() < kLead.size() + 1 || line.back() != '"')
        return false;
    // The time has no "] USER", the computer name may hold anything: the first and the last
    // separators are the unambiguous ones.
    const std::size_t user = line.find(kUser);
    const std::size_t computer = line.rfind(kComputer);
    if (user == std::string_view::npos || computer == std::string_view::npos || computer < user + kUser.size())
        return false;
    columns.time = std::string(line.substr(kLead.size(), user - kLead.size()));
    columns.user = std::string(line.substr(user + kUser.size(), computer - user - kUser.size()));
    const std::size_t name = computer + kComputer.size();
    columns.computer = std::string(line.substr(name, line.size() - 1 - name));
    columns.unixTime = LocalTime(columns.time);
    return true;
}

} // namespace

std::string SerialKey(std::string_view serial)
{
    // As history compares them: three groups of at most 5, 4 and 3 digits.
    static constexpr std::size_t kWidth[3] = {5, 4, 3};
    std::string key;
    std::string_view rest = serial;
    bool groups = true;
    for (int g = 0; g < 3 && groups; ++g) {
        const std::size_t end = g < 2 ? rest.find('.') : rest.size();
        groups = end != std::string_view::npos && end != 0 && end <= kWidth[g];
        long number = 0;
        for (std::size_t i = 0; groups && i < end; ++i) {
            groups = rest[i] >= '0' && rest[i] <= '9';
            number = number * 10 + (rest[i] - '0');
        }
        if (groups) {
            key += (g > 0 ? "." : "") + std::to_string(number);
            rest.remove_prefix(g < 2 ? end + 1 : end);
        }
    }
    if (groups)
        return key;
    key.assign(serial);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

bool ParseRecord(std::string_view text, RecordColumns& columns)
{
    columns = {};
    std::size_t pos = 0;
    if (!NextLine(text, pos).empty() || NextLine(text, pos) != "***" || !ParseStationLine(NextLine(text, pos), columns))
        return false;
    const std::string_view kindLine = NextLine(text, pos);
    if (!StartsWith(kindLine, "*** "))
        return false;
    columns.result = std::string(kindLine.substr(4));
    if (StartsWith(kindLine, "*** Device data"))
        columns.kind = "device";
    else if (StartsWith(kindLine, "*** USB data"))
        columns.kind = "usb";
    else if (StartsWith(kindLine, "*** Firmware"))
        columns.kind = "firmware";
    else
        columns.kind = "other";
    while (pos < text.size()) {
        const std::string_view line = NextLine(text, pos);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            if (!columns.sectionName.empty())
                break;
            columns.sectionName = std::string(line.substr(1, line.size() - 2));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (columns.sectionName.empty() || equals == std::string_view::npos)
            continue;
        columns.section.emplace_back(std::string(Trimmed(line.substr(0, equals))),
                                     std::string(Trimmed(line.substr(equals + 1))));
    }
    for (const auto& [key, value] : columns.section) {
        if (key == "Type") {
            char* end = nullptr;
            const long type = std::strtol(value.c_str(), &end, 0);
            if (end != value.c_str() && *end == '\0' && type >= 0 && type <= 255)
                columns.deviceType = static_cast<std::int32_t>(type);
        } else if (key == "SerialNumber" && columns.serialNumber.empty()) {
            columns.serialNumber = value;
        }
    }
    return true;
}

std::vector<std::string_view> SplitLog(std::string_view log, std::size_t* skipped)
{
    // A record starts with an empty line, "***" and the station line.
    std::vector<std::size_t> starts;
    std::size_t pos = 0;
    while (pos < log.size()) {
        const std::size_t start = pos;
        const std::string_view line = NextLine(log, pos);
        if (!line.empty())
            continue;
        std::size_t look = pos;
        if (NextLine(log, look) == "***" && StartsWith(NextLine(log, look), "*** ["))
            starts.push_back(start);
    }
    std::vector<std::string_view> records;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : log.size();
        records.push_back(log.substr(starts[i], end - starts[i]));
    }
    if (skipped != nullptr)
        *skipped = starts.empty() ? log.size() : starts.front();
    return records;
}

bool ForEachRecord(std::istream& in, const std::function<bool(std::string_view)>& each, std::string& error,
                   std::size_t chunk, std::size_t maxRecord)
{
    std::string buffer;
    for (bool end = false; !end;) {
        const std::size_t had = buffer.size();
        buffer.resize(had + chunk);
        in.read(buffer.data() + had, static_cast<std::streamsize>(chunk));
        buffer.resize(had + static_cast<std::size_t>(in.gcount()));
        end = in.eof();
        if (in.bad() || (!end && in.fail())) {
            error = "the log cannot be read";
            return false;
        }
        const std::vector<std::string_view> parts = SplitLog(buffer);
        // The last record may go on in the next chunk; the ones before it are whole.
        const std::size_t whole = end ? parts.size() : parts.empty() ? 0 : parts.size() - 1;
        for (std::size_t i = 0; i < whole; ++i)
            if (!each(parts[i]))
                return false;
        if (end)
            break;
        std::size_t keep = 0;
        if (!parts.empty()) {
            keep = static_cast<std::size_t>(parts.back().data() - buffer.data());
        } else {
            // No record yet: only the last three lines can hold the start of one.
            std::size_t lines = 0;
            for (std::size_t at = buffer.size(); at > 0 && lines < 3; --at)
                if (buffer[at - 1] == '\n' && ++lines == 3)
                    keep = at;
        }
        buffer.erase(0, keep);
        if (buffer.size() > maxRecord) {
            error = "the log holds a record longer than " + std::to_string(maxRecord) + " bytes";
            return false;
        }
    }
    return true;
}

std::string DatabaseText(std::string_view bytes)
{
    auto continuation = [&](std::size_t at) {
        return at < bytes.size() && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
    };
    bool valid = true;
    for (std::size_t i = 0; i < bytes.size() && valid;) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3
                                       : c >= 0xF0 && c < 0xF5     ? 4 : 0;
        for (std::size_t k = 1; k < length && valid; ++k)
            valid = continuation(i + k);
        valid = valid && length != 0;
        // Overlong forms and surrogates are no UTF-8 either.
        if (valid && length == 3) {
            const auto d = static_cast<unsigned char>(bytes[i + 1]);
            valid = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);
        } else if (valid && length == 4) {
            const auto d = static_cast<unsigned char>(bytes[i + 1]);
            valid = !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
        }
        i += length;
    }
    std::string text;
    text.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0) {
            text += "\xEF\xBF\xBD";
        } else if (c < 0x80 || valid) {
            text += ch;
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

} // namespace production
