#include "tools/SampleFirmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tools {

std::vector<std::uint8_t> SampleFirmwareData(std::size_t size)
{
    static const char kHeader[] = "Kestrune sample firmware for heron and pika displays, v1.00";
    std::vector<std::uint8_t> data(size);
    std::uint32_t state = 0x4B455354u; // any fixed seed keeps the file the same everywhere
    for (std::size_t i = 0; i < size; ++i) {
        if (i < sizeof kHeader - 1) {
            data[i] = static_cast<std::uint8_t>(kHeader[i]);
            continue;
        }
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data[i] = static_cast<std::uint8_t>(state >> 24);
    }
    return data;
}

namespace {

std::string Record(std::uint8_t type, std::uint16_t address, const std::uint8_t* bytes,
                   std::size_t count)
{
    std::uint8_t sum = static_cast<std::uint8_t>(count + (address >> 8) + (address & 0xFF) + type);
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
    std::string line = text;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        line += text;
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    }
    std::snprintf(text, sizeof text, "%02X\r\n", static_cast<std::uint8_t>(-sum) & 0xFF);
    return line + text;
}

} // namespace

std::string IntelHexText(const std::vector<std::uint8_t>& data, std::size_t recordBytes)
{
    const std::size_t step = recordBytes < 1 ? 1 : recordBytes > 255 ? 255 : recordBytes;
    std::string hex;
    std::uint32_t upper = 0xFFFFFFFFu;
    for (std::size_t at = 0, count = 0; at < data.size(); at += count) {
        const auto address = static_cast<std::uint32_t>(at);
        if (address >> 16 != upper) {
            upper = address >> 16;
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(upper >> 8),
                                           static_cast<std::uint8_t>(upper)};
            hex += Record(0x04, 0, bytes, 2);
        }
        // A record never crosses a 64 KiB boundary: its offset would wrap.
        count = std::min({step, data.size() - at, std::size_t{0x10000} - (address & 0xFFFF)});
        hex += Record(0x00, static_cast<std::uint16_t>(address & 0xFFFF), data.data() + at, count);
    }
    hex += Record(0x01, 0, nullptr, 0);
    return hex;
}

} // namespace tools
