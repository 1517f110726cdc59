#pragma once
// A production log record taken apart into the columns the database indexes. The text itself is
// stored too, byte for byte, so nothing the parse misses is lost.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace production {

struct RecordColumns {
    std::string time;      // the log's time text
    std::optional<std::int64_t> unixTime; // when the time text reads as local time
    std::string user;
    std::string computer;
    std::string kind;      // "device", "usb", "firmware" or "other"
    std::string result;    // the kind line without its "*** "
    std::optional<std::int32_t> deviceType;
    std::string serialNumber; // the section's SerialNumber: the display's, or the converter's in a USB record
    std::vector<std::pair<std::string, std::string>> section; // in the record's order
    std::string sectionName;
};

// The form under which history finds a serial number: a display's "0012.3456.789" as its three
// numbers ("12.3456.789"), anything else (a converter's "ZK000013") in lower case.
std::string SerialKey(std::string_view serial);

// False when text does not start with a record's lead-in.
bool ParseRecord(std::string_view text, RecordColumns& columns);

// The records of a whole log, each from its leading empty line up to the next record. Text before
// the first record is left out; skipped counts its bytes.
std::vector<std::string_view> SplitLog(std::string_view log, std::size_t* skipped = nullptr);

// Text the database takes: valid UTF-8 as it is, else read as Latin-1 (the older stations'
// code page); NUL, which a text column cannot hold, as U+FFFD.
std::string DatabaseText(std::string_view bytes);

} // namespace production
