#pragma once
// Firmware files as the update sees them: the family check, the record lines cut from the text
// and the progress measured against the file's size. The records themselves are never decoded
// here: the boot loader parses and checks them.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

enum FirmwareFamily : std::int32_t {
    FamilyKv = 0,
    FamilyOpal = 1,
    FamilyOpalKeyboard = 2,
    FamilyNova = 3,
    FamilyHeron = 4,
};

// The family's file-name prefix test on the file-name part alone (any other family passes).
bool FirmwareNameFits(const std::string& fileName, std::int32_t family);

// Name fits the family, the file exists, is a regular file that can be opened for reading and
// is not locked by another program, and is not empty. Returns its size in bytes (CR LF counted
// as two), or 0 on failure with the reason in platform::GetLastError. The path may be a stored
// Windows path; it is mapped first.
std::uint32_t CheckFirmwareFile(const std::string& path, std::int32_t family);

// The same checks, then the whole content read from that one open, so that what is checked,
// sent, measured and logged is one set of bytes whatever happens to the file meanwhile. False
// with the reason in platform::GetLastError.
bool ReadFirmwareFile(const std::string& path, std::int32_t family, std::string& bytes);

// A firmware file read the way a C runtime reads in text mode on the stations that write these
// files: CR LF arrives as LF and a 0x1A byte ends the file. The content is held in memory.
class FirmwareTextFile {
public:
    FirmwareTextFile() = default;
    // Over bytes the caller keeps alive for the object's lifetime.
    explicit FirmwareTextFile(std::string_view bytes) : bytes_(bytes), open_(true) {}
    FirmwareTextFile(const FirmwareTextFile&) = delete;
    FirmwareTextFile& operator=(const FirmwareTextFile&) = delete;

    bool Open(const std::string& path); // maps the path and reads it; false when it cannot
    void Close();
    bool IsOpen() const { return open_; }
    int Get(); // next character, or EOF

private:
    std::string own_;
    std::string_view bytes_;
    std::size_t at_ = 0;
    bool open_ = false;
};

// The line buffer's size: a piece holds at most kLineBufferSize - 2 characters.
inline constexpr std::size_t kLineBufferSize = 256;

// The next piece: up to and including its LF, or up to the end of the file, or 254 characters.
// False at the end of the file.
bool ReadRecordLine(FirmwareTextFile& file, std::string& piece);

// The text to send for a piece: nothing unless it starts with ':'; family 0 gets one more LF.
std::optional<std::string> PrepareRecordText(const std::string& piece, std::int32_t family);

// Progress of one run against the file's size.
struct UpdateProgress {
    std::uint32_t m_nStep = 0;      // size / 100
    std::uint32_t m_nSent = 0;      // characters of record text sent
    std::uint32_t m_nSinceStep = 0; // characters sent since the last report
    std::uint32_t m_nSize = 0;      // the file's size, for files too short for a step

    static UpdateProgress ForSize(std::uint32_t size) { return {size / 100, 0, 0, size}; }
};

// After a record of length characters was sent: the percentage to report, if any, at most 99
// (the last verdicts are still to come). A file under 100 bytes (no step) reports its share
// sent after every record.
std::optional<std::uint32_t> CountProgress(UpdateProgress& progress, std::uint32_t length);
// When every record has been answered "G": the full bar.
std::uint32_t FinishProgress(const UpdateProgress& progress);
