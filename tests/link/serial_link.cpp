#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <unistd.h>
#include <thread>

#include "link/CrvSerialDevice.h"
#include "serial_harness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::string NameOf(const CCrvSerialDevice& device)
{
    return device.m_szPortName.data();
}

const Bytes kIdentify{0x02, 0x42, 0x50, 0x50, 0x03};

TEST_F(SerialTest, ComNamesAreNormalizedAndIdentifyWorks)
{
    for (const char* name : {"COM1:", "com1", "Com1:x"}) {
        SCOPED_TRACE(name);
        CCrvSerialDevice device;
        ASSERT_TRUE(device.OpenPort(name));
        EXPECT_EQ(NameOf(device), "COM1");
        EXPECT_NE(device.m_hPort, platform::kInvalidSerialHandle);
        EXPECT_TRUE(device.SendIdentifyRequest());
        EXPECT_EQ(device.ReadIdentityReply(1000), 95);
        EXPECT_EQ(device.RevisionMajor, 1);
        EXPECT_EQ(device.RevisionMinor, 0x23);
        device.ClosePort();
        EXPECT_EQ(NameOf(device), "");
        EXPECT_EQ(device.m_hPort, platform::kInvalidSerialHandle);
    }
    const auto frames = FramesSeen(3);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& frame : frames)
        EXPECT_EQ(frame.raw, kIdentify);
}

TEST_F(SerialTest, BadAndLongNames)
{
    CCrvSerialDevice device;
    EXPECT_FALSE(device.OpenPort(":COM1"));
    EXPECT_FALSE(device.OpenPort(""));
    EXPECT_FALSE(device.OpenPort("LPT1"));
    EXPECT_EQ(device.m_hPort, platform::kInvalidSerialHandle);
    EXPECT_EQ(NameOf(device), "");

    // Only the first 14 characters count.
    MapPort("COM12345678901", server.SlavePath());
    ASSERT_TRUE(device.OpenPort("com123456789012345"));
    EXPECT_EQ(NameOf(device), "COM12345678901");
    device.ClosePort();

    // A device path is taken whole, colons and case included, up to the path limit.
    const std::string byPath = dir.File("pci-0000:00:14.0-usb-0:1:1.0-port0-Serial-ZK000001-if00");
    ASSERT_EQ(::symlink(server.SlavePath().c_str(), byPath.c_str()), 0);
    ASSERT_TRUE(device.OpenPort(byPath));
    EXPECT_EQ(NameOf(device), byPath);
    device.ClosePort();
    const std::string tooLong = "/" + std::string(PATH_MAX - 1, 'x');
    EXPECT_FALSE(device.OpenPort(tooLong));
    EXPECT_EQ(NameOf(device), "");
}

TEST_F(SerialTest, PortIsExclusive)
{
    CCrvSerialDevice first;
    CCrvSerialDevice second;
    ASSERT_TRUE(first.OpenPort("COM1"));
    EXPECT_FALSE(second.OpenPort("COM1"));
    EXPECT_EQ(second.m_hPort, platform::kInvalidSerialHandle);
    first.ClosePort();
    EXPECT_TRUE(second.OpenPort("COM1"));
}

TEST_F(SerialTest, LineSettingsFollowTheOverride)
{
    struct Case {
        const char* registryText;
        std::uint32_t baud;
    };
    for (const Case& c : {Case{"", 57600}, Case{"\"BaudRate\"=\"115200\"\n", 115200},
                          Case{"\"BaudRate\"=\"0\"\n", 57600}, Case{"\"BaudRate\"=\"38400\"\n", 38400}}) {
        SCOPED_TRACE(c.baud);
        WriteRegistry(c.registryText);
        CCrvSerialDevice device;
        ASSERT_TRUE(device.OpenPort("COM1"));
        // Read back through the simulator's own descriptor of the same terminal.
        platform::Dcb dcb{};
        ASSERT_TRUE(platform::GetCommState(server.SlaveHandle(), dcb));
        EXPECT_EQ(dcb.BaudRate, c.baud);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, platform::NOPARITY);
        EXPECT_EQ(dcb.StopBits, platform::ONESTOPBIT);
        EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
        EXPECT_EQ(dcb.fOutX, 0u);
        EXPECT_EQ(dcb.fInX, 0u);
        // Raw: a configuration frame passes unchanged, and nothing comes back as an echo.
        device.SelectDeviceModel(2, 95);
        display.ClearFrames();
        device.SendConfiguration();
        const auto frames = FramesSeen(1);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].raw.size(), 31u);
        Bytes echo(8);
        EXPECT_EQ(device.ReadBuffer(echo, 50), 0);
    }
}

TEST_F(SerialTest, ReadTimeoutKeepsPartialData)
{
    ScriptPeer peer;
    sim::PtyServer scripted(peer);
    ASSERT_TRUE(scripted.Start());
    MapPort("COM2", scripted.SlavePath());
    CCrvSerialDevice device;
    ASSERT_TRUE(device.OpenPort("COM2"));

    peer.Send({1, 2, 3});
    Bytes buffer(10, 0xEE);
    auto start = Clock::now();
    EXPECT_EQ(device.ReadBuffer(buffer, 500), 3);
    const auto waited = MillisecondsSince(start);
    EXPECT_GE(waited, 500);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    // Everything there: no waiting at all.
    peer.Send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    start = Clock::now();
    EXPECT_EQ(device.ReadBuffer(buffer, 5000), 10);
    EXPECT_LT(MillisecondsSince(start), 100);
    EXPECT_EQ(buffer[9], 9);
    EXPECT_EQ(device.ReadBuffer(std::span(buffer).first(1), 0), 1);
    EXPECT_EQ(buffer[0], 10);

    // A time-out of 0 still makes an attempt; nothing there gives 0.
    start = Clock::now();
    EXPECT_EQ(device.ReadBuffer(buffer, 0), 0);
    EXPECT_LT(MillisecondsSince(start), 100);
    EXPECT_EQ(device.ReadBuffer({}, 100), 0);

    // The longest time-out waits like any other: its remaining time must not wrap to nothing.
    std::thread later([&peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer.Send({7, 7});
    });
    start = Clock::now();
    EXPECT_EQ(device.ReadBuffer(std::span(buffer).first(2), 0xFFFFFFFFu), 2);
    EXPECT_GE(MillisecondsSince(start), 150);
    later.join();
}

TEST_F(SerialTest, LostLinkAndReopen)
{
    CCrvSerialDevice device;
    ASSERT_TRUE(device.OpenPort("com1:"));
    server.HangUp(); // the far end goes away

    // A read on the dead line fails at once instead of spinning for its time-out.
    Bytes buffer(10);
    auto start = Clock::now();
    EXPECT_EQ(device.ReadBuffer(buffer, 2000), 0);
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_EQ(device.m_bLinkLost, FALSE); // a failed read never leaves Open

    EXPECT_EQ(device.WriteBuffer(kIdentify), FALSE);
    EXPECT_EQ(device.m_bLinkLost, TRUE);
    EXPECT_EQ(device.m_hPort, platform::kInvalidSerialHandle);
    EXPECT_EQ(NameOf(device), "COM1");

    buffer.assign(10, 0xEE);
    EXPECT_EQ(device.ReadBuffer(buffer, 1000), 1);
    EXPECT_EQ(buffer, Bytes(10, 0xEE));
    EXPECT_EQ(device.WriteByte(0x42), TRUE);
    device.PurgePort();

    // The port is not back: the data are dropped and reported written.
    EXPECT_EQ(device.WriteBuffer(kIdentify), TRUE);
    EXPECT_EQ(device.m_bLinkLost, TRUE);

    // The port is back (a new terminal under the same name): reopened and written.
    ASSERT_TRUE(server.Start());
    MapPort("COM1", server.SlavePath());
    EXPECT_EQ(device.WriteBuffer(kIdentify), TRUE);
    EXPECT_EQ(device.m_bLinkLost, FALSE);
    EXPECT_NE(device.m_hPort, platform::kInvalidSerialHandle);
    EXPECT_EQ(device.ReadIdentityReply(1000), 95);

    device.ClosePort();
    EXPECT_EQ(device.m_bLinkLost, FALSE);
    EXPECT_EQ(NameOf(device), "");
}

TEST_F(SerialTest, ClosedObjectAndClosePortInLost)
{
    CCrvSerialDevice device;
    Bytes buffer(4);
    EXPECT_EQ(device.WriteByte(1), FALSE);
    EXPECT_EQ(device.WriteBuffer(kIdentify), FALSE);
    EXPECT_EQ(device.ReadBuffer(buffer, 10), 0);
    device.ClosePort();
    EXPECT_EQ(device.m_hPort, platform::kInvalidSerialHandle);

    ASSERT_TRUE(device.OpenPort("COM1"));
    EXPECT_EQ(device.WriteByte(0x102), TRUE);
    server.HangUp();
    EXPECT_EQ(device.WriteByte(0x42), FALSE); // fails, but the port stays open
    EXPECT_NE(device.m_hPort, platform::kInvalidSerialHandle);
    EXPECT_EQ(device.WriteBuffer(kIdentify), FALSE);
    device.ClosePort();
    EXPECT_EQ(device.m_bLinkLost, FALSE);
    EXPECT_EQ(NameOf(device), "");
    EXPECT_EQ(device.WriteBuffer(kIdentify), FALSE); // closed, not lost: no reopen
}

TEST_F(SerialTest, ProbeDeviceOverTheLine)
{
    CCrvSerialDevice device;
    EXPECT_TRUE(device.ProbeDevice("COM1:", 1000, FALSE));
    EXPECT_EQ(device.DeviceId, 95);
    EXPECT_EQ(device.m_hPort, platform::kInvalidSerialHandle); // closed again

    display.SetConfig({.deviceId = 95, .responds = false});
    const auto start = Clock::now();
    EXPECT_FALSE(device.ProbeDevice("COM1:", 200, TRUE));
    EXPECT_GE(MillisecondsSince(start), 600);
    EXPECT_EQ(FramesSeen(4).size(), 4u); // one probe, then three attempts
}

} // namespace
