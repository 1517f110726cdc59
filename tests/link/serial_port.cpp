#include <gtest/gtest.h>

#include "serial_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST_F(SerialTest, ComNameMapping)
{
    EXPECT_EQ(platform::MapComName("COM1"), server.SlavePath());
    EXPECT_EQ(platform::MapComName("com1"), server.SlavePath()); // keys ignore case
    EXPECT_EQ(platform::MapComName("COM3"), "/dev/ttyS2");
    EXPECT_EQ(platform::MapComName("COM10"), "/dev/ttyS9");
    EXPECT_EQ(platform::MapComName("/dev/ttyUSB0"), "/dev/ttyUSB0");
    MapPort("COM3", "/dev/ttyUSB0");
    EXPECT_EQ(platform::MapComName("COM3"), "/dev/ttyUSB0");
    for (const char* unmapped : {"", "COM", "COM0", "COM1X", "LPT1", "USB"})
        EXPECT_EQ(platform::MapComName(unmapped), "") << unmapped;
}

TEST_F(SerialTest, OpenRefusesWhatIsNotATerminal)
{
    WriteText(dir.File("plain"), "x");
    MapPort("COM4", dir.File("plain"));
    EXPECT_EQ(platform::OpenSerialPort("COM4"), platform::kInvalidSerialHandle);
    MapPort("COM5", dir.File("missing"));
    EXPECT_EQ(platform::OpenSerialPort("COM5"), platform::kInvalidSerialHandle);
}

TEST_F(SerialTest, WritesAreBoundedByTheWriteTimeouts)
{
    const platform::SerialHandle port = platform::OpenSerialPort("COM1");
    ASSERT_NE(port, platform::kInvalidSerialHandle);
    server.Stop(); // nobody drains the line any more
    ASSERT_TRUE(platform::SetCommTimeouts(port, {0xFFFFFFFF, 0, 0, 0, 200}));
    std::vector<std::uint8_t> data(1 << 20, 0x55);
    std::uint32_t written = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(platform::WriteFile(port, data.data(), static_cast<std::uint32_t>(data.size()), &written));
    const auto waited = MillisecondsSince(start);
    EXPECT_LT(written, data.size());
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 1500);
    EXPECT_TRUE(platform::PurgeComm(port, platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR));
    EXPECT_TRUE(platform::CloseSerialPort(port));
}

TEST_F(SerialTest, WaitReadableSleepsUntilDataOrTimeout)
{
    const platform::SerialHandle port = platform::OpenSerialPort("COM1");
    ASSERT_NE(port, platform::kInvalidSerialHandle);
    auto start = Clock::now();
    EXPECT_FALSE(platform::WaitReadable(port, 150));
    EXPECT_GE(MillisecondsSince(start), 140);

    display.QueueLReply({});
    start = Clock::now();
    EXPECT_TRUE(platform::WaitReadable(port, 2000));
    EXPECT_LT(MillisecondsSince(start), 1000);
    std::uint8_t buffer[16];
    std::uint32_t got = 0;
    EXPECT_TRUE(platform::ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 5u);
    EXPECT_TRUE(platform::CloseSerialPort(port));
}

} // namespace
