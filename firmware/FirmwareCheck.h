#pragma once
// The whole firmware file checked before the display is touched: every record line as the run
// will send it, so that a file that cannot be flashed completely never gets as far as the
// erase. Which record types and addresses a display takes stays its boot loader's decision.
#include <cstdint>
#include <string>
#include <string_view>

#include "firmware/Firmware.h"

// The error numbers a refused file leaves in platform::GetLastError (shown after
// "Error loading firmware file."), chosen from the system's numbers of the same meaning.
inline constexpr std::uint32_t kFirmwareBadRecord = 11;      // a record line is not Intel HEX
inline constexpr std::uint32_t kFirmwareNoData = 13;         // no data record
inline constexpr std::uint32_t kFirmwareTooLarge = 223;      // larger than kFirmwareMaxSize
inline constexpr std::uint32_t kFirmwareNoEnd = 1392;        // no end-of-file record, or one
                                                             // followed by more records

// No display holds an image this large; a bigger file is not firmware.
inline constexpr std::uint64_t kFirmwareMaxSize = std::uint64_t{16} * 1024 * 1024;

struct FirmwareContentProblem {
    std::uint32_t error = 0; // 0: the file can be sent
    std::uint32_t line = 0;  // line of the file, from 1; 0 for the file as a whole
    std::string reason;      // for the operator: "checksum 0x3c, the record needs 0x3d"
};

// Reads the whole file with the sending rules (text mode, 254-character pieces, non-record
// pieces skipped). A record line must be a colon and pairs of hexadecimal digits with a
// matching byte count, a correct checksum and a type the boot loader takes (00, 01, and 02 or
// 04 with 2 data bytes), carried by one piece with its line end (the last line of the file may
// lack it). There must be a data record and an end-of-file record, and no record after it.
FirmwareContentProblem CheckFirmwareContent(FirmwareTextFile& file);

// The file opened as the run opens it; an open failure is reported with its error number.
FirmwareContentProblem CheckFirmwareContent(const std::string& path);
// The bytes a run has read.
FirmwareContentProblem CheckFirmwareContent(std::string_view bytes);

// One record line without its line end: the reason it is not Intel HEX or not a record the
// boot loader takes, or "" when it is fine.
// type receives the record type of a well-formed line.
std::string CheckRecordText(const std::string& line, std::uint8_t& type);
