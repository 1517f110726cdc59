#pragma once
// Intel HEX record lines and whole images for the firmware tests.
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace testhex {

inline std::string Record(std::uint8_t type, std::uint16_t offset, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                    static_cast<std::uint8_t>(offset >> 8),
                                    static_cast<std::uint8_t>(offset & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (const std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    bytes.push_back(static_cast<std::uint8_t>(0x100 - sum));
    std::string line = ":";
    char hex[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line;
}

inline std::string DataRecord(std::uint16_t offset, const std::vector<std::uint8_t>& data) {
    return Record(0x00, offset, data);
}

inline std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// A firmware image: the bytes and its HEX text, recordSize data bytes a line from address 0,
// with an extended linear address record at every 64 KiB boundary, then the end-of-file record.
struct Image {
    std::vector<std::uint8_t> data;
    std::string text;
    int records = 0; // record lines, end of file included
};

inline Image MakeImage(std::size_t size, std::size_t recordSize = 16, const char* lineEnd = "\r\n",
                       std::uint32_t seed = 1) {
    Image image;
    image.data.resize(size);
    for (auto& b : image.data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    for (std::size_t at = 0; at < size; at += recordSize) {
        if (at % 0x10000 == 0 && at != 0) {
            image.text += Record(0x04, 0, {static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16)}) + lineEnd;
            ++image.records;
        }
        const std::size_t n = std::min(recordSize, size - at);
        image.text += DataRecord(static_cast<std::uint16_t>(at & 0xFFFF),
                                 {image.data.begin() + static_cast<std::ptrdiff_t>(at),
                                  image.data.begin() + static_cast<std::ptrdiff_t>(at + n)}) + lineEnd;
        ++image.records;
    }
    image.text += std::string(":00000001FF") + lineEnd;
    ++image.records;
    return image;
}

} // namespace testhex
