#include "protocol/Frame.h"

#include <algorithm>
#include <charconv>

namespace protocol {

std::array<std::uint8_t, 6> BaudRateDigits(std::int32_t rate)
{
    std::array<std::uint8_t, 6> field;
    field.fill('0');
    char text[16];
    const auto result = std::to_chars(std::begin(text), std::end(text), rate);
    const std::size_t length = std::min<std::size_t>(6, static_cast<std::size_t>(result.ptr - text));
    std::copy_n(text, length, field.begin());
    return field;
}

namespace {

std::size_t PutHeader(std::uint8_t letter, std::uint8_t lengthByte, FrameBuffer& out)
{
    out[0] = kStx;
    out[1] = letter;
    const auto length = EncodeLengthByte(lengthByte);
    out[2] = length[0];
    out[3] = length[1];
    return 4;
}

} // namespace

std::size_t BuildRequest(std::uint8_t letter, std::span<const std::uint8_t> payload,
                         FrameBuffer& out)
{
    if (payload.size() > kMaxPayloadBytes)
        return 0;
    std::size_t pos = PutHeader(letter, static_cast<std::uint8_t>(payload.size()), out);
    for (std::uint8_t value : payload) {
        const auto chars = EncodeDataByte(value);
        out[pos++] = chars[0];
        out[pos++] = chars[1];
    }
    out[pos++] = kEtx;
    return pos;
}

std::vector<std::uint8_t> BuildRequest(std::uint8_t letter, std::span<const std::uint8_t> payload)
{
    FrameBuffer buffer;
    const std::size_t size = BuildRequest(letter, payload, buffer);
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size)};
}

std::size_t BuildRequestFromChars(std::uint8_t letter, std::uint8_t lengthByte,
                                  std::span<const std::uint8_t> chars, FrameBuffer& out)
{
    if (chars.size() != std::size_t{2} * lengthByte)
        return 0;
    std::size_t pos = PutHeader(letter, lengthByte, out);
    pos = static_cast<std::size_t>(std::copy(chars.begin(), chars.end(), out.begin() + pos) - out.begin());
    out[pos++] = kEtx;
    return pos;
}

std::size_t BuildConfigurationFrame(const ConfigurationValues& v, FrameBuffer& out)
{
    std::array<std::uint8_t, 2 * static_cast<std::size_t>(kConfigurationLength)> chars{};
    std::size_t pos = 0;
    auto put = [&](std::int32_t value) {
        const auto pair = EncodeDataByte(static_cast<std::uint8_t>(value));
        chars[pos++] = pair[0];
        chars[pos++] = pair[1];
    };
    put(v.DeviceId);
    for (std::uint8_t digit : BaudRateDigits(v.BaudRate))
        chars[pos++] = digit;
    put(v.LeadingCells);
    put(v.ExtraUnits1);
    put(v.MainCells + v.TrailingCells);
    put(v.ExtraUnits2);
    put(v.Option1);
    put(v.AuxWriteBytes);
    put(v.Option2);
    put(v.Option3);
    put(v.Option4);
    return BuildRequestFromChars('A', kConfigurationLength, chars, out);
}

void DecodeDataBytes(std::span<const std::uint8_t> chars, std::span<std::uint8_t> out)
{
    const std::size_t count = std::min(out.size(), chars.size() / 2);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = DecodePair(chars[2 * i], chars[2 * i + 1], kDataBase);
}

} // namespace protocol
