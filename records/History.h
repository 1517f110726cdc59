#pragma once
// Reading the production log back: the records of every station, whatever their line ends,
// with the lines that belong to no record skipped.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace records {

struct LogEntry {
    std::string_view time;     // as the record holds it ("Sun Dec  6 10:14:04 2026")
    std::string_view user;
    std::string_view computer;
    std::string_view kind;     // the line after "*** " ("USB data flashed")
    std::string_view section;  // "Device", "USB", "Firmware"
    std::vector<std::pair<std::string_view, std::string_view>> values; // key=value lines in order
};

// Calls found for each record of the text, in order. A record is the lead-in (a "***" line, the
// station line, the kind line, "***") and the section with its key lines that follow it. A lead-in
// without its section (a writer that crashed, or a Windows station's record cut in two) gives no
// record; a section cut inside a line keeps its whole lines. The views point into text.
void ScanLog(std::string_view text, const std::function<void(const LogEntry&)>& found);

// ScanLog over a file, mapped rather than copied (a shared log grows to hundreds of MB). False
// when it cannot be read.
bool ScanLogFile(const std::string& path, const std::function<void(const LogEntry&)>& found);

// Year, month and day of a record's time text; nullopt when it is not in that form.
struct LogDate {
    int year = 0, month = 0, day = 0;
    auto operator<=>(const LogDate&) const = default;
};
std::optional<LogDate> ParseLogDate(std::string_view time);

struct HistoryFilter {
    std::string serial;  // "0012.3456.789" (groups compared as numbers) or a converter serial
    std::optional<std::int32_t> type; // device code
    std::optional<LogDate> since;
    std::string station; // the computer's name, any case
};

// nullopt for a text that is no DD.MM.YY date or device code.
std::optional<LogDate> ParseSinceDate(std::string_view text);
std::optional<std::int32_t> ParseDeviceCode(std::string_view text);

bool Matches(const LogEntry& entry, const HistoryFilter& filter);

// One line of the listing: time, user, computer, kind and the values, separated by tabs.
std::string FormatEntry(const LogEntry& entry);

} // namespace records
