#include "firmware/FirmwareCheck.h"

#include <cstdio>

#include "platform/LastError.h"

namespace {

constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndRecord = 0x01;
constexpr std::uint8_t kLastType = 0x05;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value & 0xFFu);
    return text;
}

FirmwareContentProblem Problem(std::uint32_t error, std::uint32_t line, std::string reason) {
    return {error, line, std::move(reason)};
}

} // namespace

std::string CheckRecordText(const std::string& line, std::uint8_t& type) {
    if (line.empty() || line.front() != ':') {
        return "a record must begin with ':'";
    }
    const std::size_t digits = line.size() - 1;
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (HexValue(line[i]) < 0) {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            char text[96];
            if (c >= 0x20 && c < 0x7F) {
                std::snprintf(text, sizeof text, "'%c' in column %zu is not a hexadecimal digit", c, i + 1);
            } else {
                std::snprintf(text, sizeof text, "byte 0x%02x in column %zu is not a hexadecimal digit", c, i + 1);
            }
            return text;
        }
    }
    if (digits % 2 != 0) {
        return "an odd number of hexadecimal digits";
    }
    // Byte count, address (2), type and checksum.
    if (digits < 10) {
        return "too short for a record";
    }
    const auto byteAt = [&line](std::size_t i) {
        return static_cast<unsigned>(HexValue(line[1 + 2 * i]) * 16 + HexValue(line[2 + 2 * i]));
    };
    const std::size_t bytes = digits / 2;
    const unsigned count = byteAt(0);
    if (bytes != count + 5) {
        return "byte count " + Hex2(count) + " does not match the " + std::to_string(bytes - 5) +
               " data bytes";
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes; ++i) {
        sum += byteAt(i);
    }
    const unsigned needed = (0x100u - (sum & 0xFFu)) & 0xFFu;
    const unsigned stored = byteAt(bytes - 1);
    if (stored != needed) {
        return "checksum " + Hex2(stored) + ", the record needs " + Hex2(needed);
    }
    const unsigned recordType = byteAt(3);
    if (recordType > kLastType) {
        return "record type " + Hex2(recordType) + " is not one of 0x00 to 0x05";
    }
    // The boot loader takes addresses but no start records, and refuses them only after the
    // erase: refused here, while the display still holds its firmware.
    if (recordType == 0x03 || recordType == 0x05) {
        return "record type " + Hex2(recordType) + " (start address) is not taken by the boot loader";
    }
    if ((recordType == 0x02 || recordType == 0x04) && count != 2) {
        return "an address record (type " + Hex2(recordType) + ") needs 2 data bytes, not " +
               std::to_string(count);
    }
    type = static_cast<std::uint8_t>(recordType);
    return {};
}

FirmwareContentProblem CheckFirmwareContent(FirmwareTextFile& file) {
    std::string piece;
    piece.reserve(kLineBufferSize);
    std::string record;
    record.reserve(kLineBufferSize);
    std::uint32_t nextLine = 1;
    bool data = false;
    std::uint32_t endLine = 0;
    while (ReadRecordLine(file, piece)) {
        const std::uint32_t line = nextLine;
        const bool lineEnd = piece.back() == '\n';
        if (lineEnd) {
            ++nextLine;
        }
        if (piece.front() != ':') {
            continue;
        }
        // A piece cut at the buffer's length would reach the boot loader without its line end,
        // glued to the rest of the line; only the file's last line may lack one.
        if (!lineEnd && piece.size() >= kLineBufferSize - 2) {
            return Problem(kFirmwareBadRecord, line,
                           "longer than " + std::to_string(kLineBufferSize - 2) + " characters");
        }
        record.assign(piece, 0, lineEnd ? piece.size() - 1 : piece.size());
        std::uint8_t type = 0;
        if (std::string reason = CheckRecordText(record, type); !reason.empty()) {
            return Problem(kFirmwareBadRecord, line, std::move(reason));
        }
        if (endLine != 0) {
            return Problem(kFirmwareNoEnd, line,
                           "a record after the end-of-file record of line " + std::to_string(endLine));
        }
        if (type == kDataRecord) {
            data = true;
        } else if (type == kEndRecord) {
            endLine = line;
        }
    }
    if (!data) {
        return Problem(kFirmwareNoData, 0, "no data record");
    }
    if (endLine == 0) {
        return Problem(kFirmwareNoEnd, 0, "no end-of-file record");
    }
    return {};
}

FirmwareContentProblem CheckFirmwareContent(const std::string& path) {
    FirmwareTextFile file;
    if (!file.Open(path)) {
        return Problem(platform::GetLastError(), 0, "cannot be opened");
    }
    return CheckFirmwareContent(file);
}

FirmwareContentProblem CheckFirmwareContent(std::string_view bytes) {
    FirmwareTextFile file(bytes);
    return CheckFirmwareContent(file);
}
