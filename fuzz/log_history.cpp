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
    const char* begin = text.data();
    const char* end = begin + text.size();
    records::ScanLog(text, [&](const records::LogEntry& e) {
        // Every view lies inside the text, and the listing line is whole.
        for (std::string_view v : {e.time, e.user, e.computer, e.kind, e.section})
            if (!v.empty() && (v.data() < begin || v.data() + v.size() > end))
                std::abort();
        if (e.values.empty())
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
