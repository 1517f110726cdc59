#include <gtest/gtest.h>

#include "FakeLink.h"
#include "protocol/Frame.h"

namespace {

using namespace protocol;

TEST(FrameCodec, CharacterEncodingsAndPairDecoding)
{
    EXPECT_EQ(EncodeDataByte(0x5F), (std::array<std::uint8_t, 2>{0x35, 0x3F}));
    EXPECT_EQ(EncodeDataByte(0x00), (std::array<std::uint8_t, 2>{0x30, 0x30}));
    EXPECT_EQ(EncodeDataByte(0xFF), (std::array<std::uint8_t, 2>{0x3F, 0x3F}));
    EXPECT_EQ(EncodeLengthByte(13), (std::array<std::uint8_t, 2>{0x50, 0x5D}));
    for (int v = 0; v < 256; ++v) {
        const auto data = EncodeDataByte(static_cast<std::uint8_t>(v));
        const auto length = EncodeLengthByte(static_cast<std::uint8_t>(v));
        ASSERT_EQ(DecodePair(data[0], data[1], kDataBase), v);
        ASSERT_EQ(DecodePair(length[0], length[1], kLengthBase), v);
        // Control bytes can never appear inside a frame.
        for (std::uint8_t c : {data[0], data[1], length[0], length[1]})
            ASSERT_TRUE(c != kStx && c != kEtx);
    }
    // Only the first character's low nibble counts; the second is not range-checked.
    EXPECT_EQ(DecodePair(0x45, 0x3F, kDataBase), 0x5F);
    EXPECT_EQ(DecodePair(0x30, 0x50, kDataBase), 0x20);
    EXPECT_EQ(DecodePair(0x31, 0x03, kDataBase), 0xD3);
}

TEST(FrameCodec, BaudRateDigitsAreLeftAligned)
{
    auto text = [](std::int32_t rate) {
        const auto digits = BaudRateDigits(rate);
        return std::string(digits.begin(), digits.end());
    };
    EXPECT_EQ(text(115200), "115200");
    EXPECT_EQ(text(57600), "576000");
    EXPECT_EQ(text(38400), "384000");
    EXPECT_EQ(text(9600), "960000");
    EXPECT_EQ(text(1234567), "123456");
    EXPECT_EQ(text(0), "000000");
}

TEST(FrameCodec, RequestSizeLimits)
{
    FrameBuffer buffer;
    Bytes payload(255, 0xA5);
    const std::size_t size = BuildRequest('C', payload, buffer);
    ASSERT_EQ(size, kMaxFrameSize);
    EXPECT_EQ(buffer[0], kStx);
    EXPECT_EQ(buffer[2], 0x5F);
    EXPECT_EQ(buffer[3], 0x5F);
    EXPECT_EQ(buffer[4], 0x3A);
    EXPECT_EQ(buffer[513], 0x35);
    EXPECT_EQ(buffer[514], kEtx);

    // 256 bytes would need a length the one-byte field cannot carry.
    payload.push_back(0);
    buffer.fill(0xEE);
    EXPECT_EQ(BuildRequest('C', payload, buffer), 0u);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_TRUE(BuildRequest('C', payload).empty());

    EXPECT_EQ(BuildRequest('B', {}), Hex({0x02, 0x42, 0x50, 0x50, 0x03}));
    const Bytes chars{'1', '2', '3'};
    EXPECT_EQ(BuildRequestFromChars('A', 1, chars, buffer), 0u);
}

TEST(FrameCodec, DecodeDataBytesStopsAtTheShorterSide)
{
    const Bytes chars{0x35, 0x3F, 0x31, 0x32, 0x33};
    Bytes out(4, 0xEE);
    DecodeDataBytes(chars, out);
    EXPECT_EQ(out, Hex({0x5F, 0x12, 0xEE, 0xEE}));
}

} // namespace
