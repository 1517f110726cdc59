// The production log reader behind `kestrune-cli history`: any bytes, every filter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "records/History.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    records::HistoryFilter filter;
    filter.serial = "0012.3456.789";
    filter.type = 0x62;
    filter.since = records::LogDate{2026, 12, 1};
    filter.station = "STATION1";
    records::ScanLog(text, [&](const records::LogEntry& e) {
        // Every field is text the log holds (the reader keeps copies of a record's lines), and
        // the listing line is whole.
        for (std::string_view v : {e.time, e.user, e.computer, e.kind, e.section})
            if (text.find(v) == std::string_view::npos)
                std::abort();
        if (e.values.empty())
            std::abort();
        for (const auto& [key, value] : e.values)
            if (text.find(key) == std::string_view::npos || text.find(value) == std::string_view::npos)
                std::abort();
        records::Matches(e, filter);
        records::ParseLogDate(e.time);
        if (records::FormatEntry(e).find('\n') != std::string::npos)
            std::abort();
    });
    // The filters' own parsers take the same bytes.
    records::ParseSinceDate(text);
    records::ParseDeviceCode(text);
    return 0;
}
