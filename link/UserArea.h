#pragma once
// The identification record as stored in the converter's EEPROM user area: 25 bytes, kept in a
// 29-byte buffer whose bytes 25..28 are always 0.
//   0      device code
//   1..10  serial number (ten digits "%03d%04d%03d", or 0x80, 16-bit LE part 1, "%04d%03d")
//   11..16 manufacturing date YYMMDD, 17..22 last-update date YYMMDD (ASCII digits)
//   23..24 checksum, high byte first
#include <array>
#include <cstdint>
#include <span>

constexpr std::size_t kUserAreaSize = 25;
using UserAreaImageBuffer = std::array<std::uint8_t, 29>;

// XOR of the twelve big-endian words over bytes 0..22 and a 0 byte after them.
std::uint16_t UserAreaChecksum(std::span<const std::uint8_t, 29> image);
bool UserAreaChecksumMatches(std::span<const std::uint8_t, 29> image);
