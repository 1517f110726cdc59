#pragma once
// The production log: one record per write to a converter, appended whole to a text file that
// several stations share.
#include "platform/File.h"
#include <cstdint>
#include <functional>
#include <string>

namespace records {

// Who wrote a record, where and when.
struct StationInfo {
    std::int64_t time = 0; // seconds since 1970 UTC
    std::string user;      // at most 127 characters
    std::string computer;  // at most 127 characters
};

// The current time and the system's user and computer names.
StationInfo CurrentStationInfo();
// Replaces CurrentStationInfo (tests fix the clock and the names); an empty function restores
// the system.
void SetStationInfoSource(std::function<StationInfo()> source);

// Local time in the C library's ctime form without its newline ("Sun Dec  6 10:14:04 2026");
// empty when the time cannot be converted.
std::string FormatLogTime(std::int64_t time);

// The record's lead-in, up to the section: an empty line, "***", the station line, the kind
// line and "***" again, each ended by CR LF. A write that failed says so on the kind line
// ("*** USB data NOT flashed: the write failed"); the attempt is history all the same. One
// whose read-back differs says why ("*** USB data NOT verified: ProductId differs when read
// back").
std::string FormatLogHeader(const StationInfo& station, bool deviceData, bool written = true,
                            const std::string& notVerified = {});

// The lead-in of a record kept before its write: whether the write happened is not known.
std::string FormatPendingLogHeader(const StationInfo& station, bool deviceData);

// A write's record, kept in the station's own data folder from before the write until the log
// holds the record. A program killed in between leaves the note, and the next append to the log
// adds it ("perhaps flashed"), so a display written in between never goes missing from the
// history. The note is held locked while its program lives.
class PendingRecord {
public:
    PendingRecord() = default;
    ~PendingRecord(); // the log has the record now, or was told it could not take it
    PendingRecord(const PendingRecord&) = delete;
    PendingRecord& operator=(const PendingRecord&) = delete;
    bool Keep(const std::string& record); // false when it cannot be kept

private:
    platform::File file_;
    std::string path_;
};

// The notes of programs that stopped before logging, appended to the log and removed; how many.
int AppendOrphanedRecords(const std::string& logPath);

// A record the log could not take (a full disk), kept in the same place for the next append to
// deliver. logOnly: the shared store has it already. False when it cannot be kept either.
bool KeepUndeliveredRecord(const std::string& record, bool logOnly);

// How long an append waits for the stations ahead of it.
constexpr std::uint32_t kLogLockTimeoutMs = 10000;

// LinkRefused: a symbolic link another user put in a folder others can write to.
enum class AppendResult { Ok, CannotOpen, LockTimeout, WriteFailed, LinkRefused };

// Appends text to the file in one write at its end, under a byte-range lock from the end of
// the file onwards, so that stations sharing the file never interleave. A write that fails
// half-way is cut back off, so the file never holds part of a record.
AppendResult AppendToLogFile(const std::string& path, const std::string& text,
                             std::uint32_t timeoutMs = kLogLockTimeoutMs);

// Empty when an append to the log at path (local form) can be expected to work: no link of
// another user on the way, the file writable, or missing and its nearest folder writable.
// Otherwise why not, naming the file or folder. Nothing is created.
std::string LogWriteProblem(const std::string& path);

// Makes sure the folder of a log file exists, creating missing parents. A file in the root of
// a drive or of the file system, or a bare file name, needs no folder. path is in stored form
// (C:\LOG\fertigung.log); folders are created where MapPath puts them.
bool EnsureLogFolder(const std::string& path);

} // namespace records
