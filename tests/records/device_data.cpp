// The identification record codec: stored layout, both serial forms, dates, checksum, the
// identity line, and the values the record cannot hold.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "RecordsTest.h"
#include "platform/LastError.h"
#include "records/DeviceData.h"
#include "platform/TextNumber.h"
#include "records/TextScan.h"

namespace {

using records_test::ScopedTimeZone;

// Local midnights in Central European time.
constexpr std::int64_t k2015_03_04 = 1425423600;
constexpr std::int64_t k2016_05_06 = 1462485600; // summer time
constexpr std::int64_t k2037_01_01 = 2114377200;
constexpr std::int64_t k2000_01_01 = 946681200;
constexpr std::int64_t k1999_06_01 = 928188000;

UserAreaImageBuffer Image(std::initializer_list<std::uint8_t> head, const char* digits)
{
    UserAreaImageBuffer image{};
    std::size_t i = 0;
    for (std::uint8_t b : head)
        image[i++] = b;
    for (const char* p = digits; *p; ++p)
        image[i++] = static_cast<std::uint8_t>(*p);
    return image;
}

// Code 0x5F, serial 0012.3456.789, made 4 March 2015, updated 6 May 2016.
const UserAreaImageBuffer kExample =
    Image({0x5F}, "0123456789150304160506\x61\x38");

DeviceData Example()
{
    return {0x5F, 12, 3456, 789, k2015_03_04, k2016_05_06};
}

void ExpectSame(const DeviceData& a, const DeviceData& b)
{
    EXPECT_EQ(a.DeviceCode, b.DeviceCode);
    EXPECT_EQ(a.SerialPart1, b.SerialPart1);
    EXPECT_EQ(a.SerialPart2, b.SerialPart2);
    EXPECT_EQ(a.SerialPart3, b.SerialPart3);
    EXPECT_EQ(a.ManufacturingDate, b.ManufacturingDate);
    EXPECT_EQ(a.LastUpdateDate, b.LastUpdateDate);
}

class DeviceDataCodec : public ::testing::Test {
    ScopedTimeZone tz_;
};

TEST_F(DeviceDataCodec, ExampleRecordEncodesAndDecodesByteForByte)
{
    UserAreaImageBuffer image;
    image.fill(0xAA);
    ASSERT_TRUE(EncodeUserArea(Example(), image));
    EXPECT_EQ(image, kExample);

    DeviceData data;
    EXPECT_TRUE(DecodeUserArea(kExample, data));
    ExpectSame(data, Example());
}

TEST_F(DeviceDataCodec, SerialFormsSwitchAbove999AndRoundTrip)
{
    DeviceData d = Example();
    UserAreaImageBuffer image{};

    d.SerialPart1 = 999;
    ASSERT_TRUE(EncodeUserArea(d, image));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&image[1]), 10), "9993456789");

    d.SerialPart1 = 1000;
    ASSERT_TRUE(EncodeUserArea(d, image));
    EXPECT_EQ(image[1], 0x80);
    EXPECT_EQ(image[2], 0xE8);
    EXPECT_EQ(image[3], 0x03);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&image[4]), 7), "3456789");

    for (auto [p1, p2, p3] : {std::array{0, 0, 0}, std::array{999, 9999, 999},
                              std::array{1000, 0, 1}, std::array{65535, 9999, 999},
                              std::array{4660, 42, 7}}) {
        d = Example();
        d.SerialPart1 = p1;
        d.SerialPart2 = p2;
        d.SerialPart3 = p3;
        ASSERT_TRUE(EncodeUserArea(d, image));
        DeviceData back;
        EXPECT_TRUE(DecodeUserArea(image, back)) << p1;
        ExpectSame(back, d);
        EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 25, image.end()),
                  std::vector<std::uint8_t>(4, 0));
    }
}

TEST_F(DeviceDataCodec, StoredDatesAreClampedOnDecode)
{
    // 991399: year 2099 lowered to 2037, month 13 and day 99 become 1.
    UserAreaImageBuffer image = Image({0x5F}, "0123456789991399991399");
    DeviceData data;
    EXPECT_FALSE(DecodeUserArea(image, data)); // no checksum stored
    EXPECT_EQ(data.ManufacturingDate, k2037_01_01);
    EXPECT_EQ(data.LastUpdateDate, k2037_01_01);

    // Blanks and signs read like atoi: "-1" is the year 1999, " 6" month 6.
    image = Image({0x5F}, "0123456789-1 6 1000000");
    DecodeUserArea(image, data);
    EXPECT_EQ(data.ManufacturingDate, k1999_06_01);
    EXPECT_EQ(data.LastUpdateDate, k2000_01_01);
}

TEST_F(DeviceDataCodec, ErasedAreaDecodesAsLongSerialWithBadChecksum)
{
    UserAreaImageBuffer image{};
    std::fill(image.begin(), image.begin() + kUserAreaSize, 0xFF);
    DeviceData data;
    EXPECT_FALSE(DecodeUserArea(image, data));
    EXPECT_EQ(data.DeviceCode, 255);
    EXPECT_EQ(data.SerialPart1, 65535);
    EXPECT_EQ(data.SerialPart2, 0);
    EXPECT_EQ(data.ManufacturingDate, k2000_01_01);
}

TEST_F(DeviceDataCodec, AnyChangedByteBreaksTheChecksum)
{
    for (std::size_t i = 0; i < kUserAreaSize; ++i) {
        UserAreaImageBuffer image = kExample;
        image[i] ^= 0x01;
        DeviceData data;
        EXPECT_FALSE(DecodeUserArea(image, data)) << "byte " << i;
    }
}

TEST_F(DeviceDataCodec, TimesOutsideTheRecordYearsAreStoredAsYear00)
{
    DeviceData d = Example();
    d.ManufacturingDate = k1999_06_01;
    d.LastUpdateDate = std::numeric_limits<std::int64_t>::max(); // cannot be converted
    UserAreaImageBuffer image{};
    ASSERT_TRUE(EncodeUserArea(d, image));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&image[11]), 12), "000601000000");
}

TEST_F(DeviceDataCodec, RefusesValuesTheRecordCannotHold)
{
    struct Case {
        const char* what;
        DeviceData data;
    };
    const Case cases[] = {
        {"code 256", {256, 1, 1, 1, k2015_03_04, k2015_03_04}},
        {"code -1", {-1, 1, 1, 1, k2015_03_04, k2015_03_04}},
        {"part1 65536", {0x5F, 65536, 1, 1, k2015_03_04, k2015_03_04}},
        {"part1 -1", {0x5F, -1, 1, 1, k2015_03_04, k2015_03_04}},
        {"part2 10000", {0x5F, 12, 10000, 1, k2015_03_04, k2015_03_04}},
        {"part2 -5", {0x5F, 12, -5, 1, k2015_03_04, k2015_03_04}},
        {"part3 1000", {0x5F, 12, 1, 1000, k2015_03_04, k2015_03_04}},
        {"part3 -1", {0x5F, 12, 1, -1, k2015_03_04, k2015_03_04}},
    };
    for (const Case& c : cases) {
        UserAreaImageBuffer image = kExample;
        EXPECT_FALSE(DeviceDataFits(c.data)) << c.what;
        EXPECT_FALSE(EncodeUserArea(c.data, image)) << c.what;
        EXPECT_EQ(image, kExample) << c.what;
    }
}

TEST_F(DeviceDataCodec, IdentityLine)
{
    EXPECT_EQ(BuildIdentityLine(Example(), 0x5F, 1, 0x23),
              "DIC:0x5f - SN:0012.3456.789 - Rev:1.23 - P:04.03.15 - U:06.05.16");
    EXPECT_EQ(BuildIdentityLine(Example(), 0x60, 1, 0x23).substr(0, 18), "!DIC:0x5f/0x60! - ");
    DeviceData old = Example();
    old.ManufacturingDate = k1999_06_01;
    old.LastUpdateDate = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(BuildIdentityLine(old, 0x5F, 2, 0x05),
              "DIC:0x5f - SN:0012.3456.789 - Rev:2.05 - P:01.06.00 - U:00.00.00");
}

TEST_F(DeviceDataCodec, LocalMidnightFollowsDaylightSavingAndRollsOver)
{
    std::int64_t t = 0;
    ASSERT_TRUE(LocalMidnight(2016, 5, 6, t));
    EXPECT_EQ(t, k2016_05_06);
    ASSERT_TRUE(LocalMidnight(2015, 2, 31, t)); // 3 March
    EXPECT_EQ(FormatShortDate(t), "03.03.15");
}

TEST(TextScan, ReadsLikeSscanfWithDefinedLimits)
{
    struct Case {
        const char* text;
        const char* format;
        int matched;
        std::int64_t first;
    };
    const Case cases[] = {
        {"0x0403", "0x%x", 1, 0x403},
        {"0xF208", "0x%x", 1, 0xF208},
        {"0403", "0x%x", 0, 0},          // prefix missing
        {"0X0403", "0x%x", 0, 0},        // literal is case-sensitive
        {"0x5fff", "0x%2x", 1, 0x5F},    // width stops the number
        {"0x-1", "0x%4x", 1, 0xFFFFFFFF}, // signed hex wraps as sscanf stores it
        {"0x123456789", "0x%x", 0, 0},   // more than 32 bits
        {" -12", "%d", 1, -12},
        {"+7z", "%d", 1, 7},
        {"", "%d", 0, 0},
        {"12.3456.789", "%4d.%4d.%3d", 3, 12},
        {"12-3456.789", "%4d.%4d.%3d", 1, 12},
        {"12345.6.7", "%4d.%4d.%3d", 1, 1234},
        {"99999999999", "%d", 0, 0},
    };
    for (const Case& c : cases) {
        std::int64_t v[3] = {0, 0, 0};
        EXPECT_EQ(records::ScanFormat(c.text, c.format, v), c.matched) << c.text;
        if (c.matched > 0) {
            EXPECT_EQ(v[0], c.first) << c.text;
        }
    }
    std::int64_t one[1];
    EXPECT_EQ(records::ScanFormat("1.2", "%d.%d", one), 1); // never writes past the values

    EXPECT_EQ(platform::LeadingDecimal(" +12a"), 12);
    EXPECT_EQ(platform::LeadingDecimal("\xff\xff\xff"), 0);
    EXPECT_EQ(platform::LeadingDecimal("99999999999"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(platform::LeadingDecimal("0012.3456.789"), 12);
}

} // namespace
