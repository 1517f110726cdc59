#pragma once
// The display's frame codec: STX, letter, length byte, payload, ETX. Every payload byte travels
// as two printable characters (high nibble first, 0x30 base; the length byte uses 0x50), so the
// control bytes 0x02 and 0x03 never occur inside a frame. Pure functions over bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace protocol {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kDataBase = 0x30;
inline constexpr std::uint8_t kLengthBase = 0x50;

inline constexpr std::size_t kFrameBufferSize = 1024;
// The length field is one byte, so a frame carries at most 255 payload bytes (515 bytes long).
inline constexpr std::size_t kMaxPayloadBytes = 255;
inline constexpr std::size_t kMaxFrameSize = 2 * kMaxPayloadBytes + 5;

using FrameBuffer = std::array<std::uint8_t, kFrameBufferSize>;

constexpr std::size_t FrameSize(std::size_t payloadBytes) { return 2 * payloadBytes + 5; }

constexpr std::array<std::uint8_t, 2> EncodeDataByte(std::uint8_t value)
{
    return {static_cast<std::uint8_t>((value >> 4) + kDataBase),
            static_cast<std::uint8_t>((value & 0x0F) + kDataBase)};
}

constexpr std::array<std::uint8_t, 2> EncodeLengthByte(std::uint8_t value)
{
    return {static_cast<std::uint8_t>((value >> 4) + kLengthBase),
            static_cast<std::uint8_t>((value & 0x0F) + kLengthBase)};
}

// Only the low nibble of the first character counts; the second is not range-checked, and
// its difference from the base is OR-ed in whole (8-bit arithmetic).
constexpr std::uint8_t DecodePair(std::uint8_t first, std::uint8_t second, std::uint8_t base)
{
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(first << 4) |
                                     static_cast<std::uint8_t>(second - base));
}

// Six decimal digit characters: the leading (at most six) digits of rate, left-aligned in a
// field of '0's, so 57600 becomes "576000".
std::array<std::uint8_t, 6> BaudRateDigits(std::int32_t rate);

// Writes a request frame with the given data bytes into out and returns its length; 0 (nothing
// written) when the payload has more than 255 bytes.
std::size_t BuildRequest(std::uint8_t letter, std::span<const std::uint8_t> payload,
                         FrameBuffer& out);
std::vector<std::uint8_t> BuildRequest(std::uint8_t letter, std::span<const std::uint8_t> payload);

// The same with ready-made payload characters (chars.size() must be 2 x lengthByte, else 0):
// the configuration frame sends decimal digits in place of three data bytes.
std::size_t BuildRequestFromChars(std::uint8_t letter, std::uint8_t lengthByte,
                                  std::span<const std::uint8_t> chars, FrameBuffer& out);

// The values of the configuration frame, as the device object holds them.
struct ConfigurationValues {
    std::int32_t DeviceId = 0;
    std::int32_t BaudRate = 0;
    std::int32_t LeadingCells = 0;
    std::int32_t ExtraUnits1 = 0;
    std::int32_t MainCells = 0;
    std::int32_t TrailingCells = 0;
    std::int32_t ExtraUnits2 = 0;
    std::int32_t Option1 = 0;
    std::int32_t AuxWriteBytes = 0;
    std::int32_t Option2 = 0;
    std::int32_t Option3 = 0;
    std::int32_t Option4 = 0;
};

inline constexpr std::uint8_t kConfigurationLength = 13;

// The "A" configuration frame (31 bytes).
std::size_t BuildConfigurationFrame(const ConfigurationValues& values, FrameBuffer& out);

// Decodes 2 x out.size() payload characters (0x30 base) into out; a trailing odd character
// is ignored.
void DecodeDataBytes(std::span<const std::uint8_t> chars, std::span<std::uint8_t> out);

} // namespace protocol
