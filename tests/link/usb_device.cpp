// The USB transport against the simulated converter.
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "link/CrvUsbDevice.h"
#include "platform/Ui.h"
#include "UsbSimFixture.h"

using namespace d2xx;

namespace {

class UsbDevice : public UsbSimTest {
protected:
    FTDCB LineSettings()
    {
        FTDCB dcb{};
        EXPECT_TRUE(control_.GetCommState(&dcb));
        return dcb;
    }
    std::vector<std::uint32_t> Escapes()
    {
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = 0; i < control_.EscapeCount(); ++i)
            out.push_back(control_.Escape(i));
        return out;
    }

    platform::ScopedRecordingUi ui_;
};

TEST_F(UsbDevice, OpensTheFirstConverterWithTheRecordedModel)
{
    Configure("[Converter]\nCount=2\n[UserArea]\nDeviceCode=95\n");
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_TRUE(control_.IsOpen());
    EXPECT_EQ(device.ChipType, FT_DEVICE_X_SERIES);
    EXPECT_TRUE(device.UserAreaValid);
    EXPECT_EQ(device.DeviceId, 95);
    const FTDCB dcb = LineSettings();
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_TRUE(Escapes().empty());
    EXPECT_TRUE(ui_.Boxes().empty());
    EXPECT_TRUE(ui_.Beeps().empty());
}

TEST_F(UsbDevice, OpalOpensWithRtsEnabledDtrClearedAndRtsSet)
{
    Configure("[UserArea]\nDeviceCode=89\n");
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_EQ(LineSettings().fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(LineSettings().BaudRate, 115200u);
    EXPECT_EQ(Escapes(), (std::vector<std::uint32_t>{CLRDTR, SETRTS}));
    EXPECT_EQ(control_.ModemLines(), 2u); // RTS on, DTR off
}

struct RateCase {
    const char* name;
    const char* sim;
    const char* registry;
    std::uint32_t baud;
    std::int32_t deviceId;
};

TEST_F(UsbDevice, LineRateFromRecordModelAndRegistry)
{
    const RateCase cases[] = {
        {"registry wins over the model", "[UserArea]\nDeviceCode=98\n", "\"BaudRate\"=\"38400\"\r\n", 38400, 98},
        {"model rate", "[UserArea]\nDeviceCode=66\n", "", 38400, 66},
        {"code without a model row", "[UserArea]\nDeviceCode=5\n", "", 115200, 5},
        {"unreadable record", "[UserArea]\nDeviceCode=66\nReadFails=1\n", "", 115200, -1},
        {"unreadable record, registry rate", "[UserArea]\nReadFails=1\n", "\"BaudRate\"=\"38400\"\r\n", 38400, -1},
        {"erased record", "[UserArea]\nErased=1\n", "", 115200, 0xFF},
    };
    for (const RateCase& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(c.sim);
        Registry(c.registry);
        CCrvUsbDevice device;
        ASSERT_TRUE(device.OpenPort("USB"));
        EXPECT_EQ(LineSettings().BaudRate, c.baud);
        EXPECT_EQ(device.DeviceId, c.deviceId);
        device.ClosePort();
    }
}

TEST_F(UsbDevice, ChecksumMismatchBeepsTwiceHalfASecondApart)
{
    Configure("[UserArea]\nDeviceCode=95\nBadChecksum=1\n");
    CCrvUsbDevice device;
    const std::uint32_t before = platform::GetTickCount();
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_EQ(ui_.Beeps(), (std::vector<unsigned>{platform::MB_ICONEXCLAMATION, platform::MB_ICONEXCLAMATION}));
    EXPECT_GE(platform::GetTickCount() - before, 500u);
    // The record still counts as read: its model sets the rate.
    EXPECT_TRUE(device.UserAreaValid);
    EXPECT_EQ(LineSettings().BaudRate, 57600u);
}

struct DriverCase {
    const char* version;
    const char* caption; // nullptr: accepted
};

TEST_F(UsbDevice, DriverVersionCheck)
{
    const DriverCase cases[] = {
        {"0x00020830", nullptr},
        {"0x00021200", nullptr},
        {"0x00020828", "Old Driver Version"},
        {"0x00020000", "Old Driver Version"},
        {"fail", "Very old Driver Version"},
        // The Linux library reports its own version.
        {"0x00010424", nullptr},
        {"0x00010400", nullptr},
        {"0x000103FF", "Old Driver Version"},
        {"0x00000000", "Old Driver Version"},
    };
    for (const DriverCase& c : cases) {
        SCOPED_TRACE(c.version);
        Configure(std::string("[Converter]\nDriverVersion=") + c.version + "\n");
        ui_.Clear();
        CCrvUsbDevice device;
        EXPECT_EQ(device.OpenPort("USB"), c.caption ? FALSE : TRUE);
        const auto boxes = ui_.Boxes();
        if (!c.caption) {
            EXPECT_TRUE(boxes.empty());
        } else {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, "Please install CORVINA USB driver Version 2.08.30 or above!");
            EXPECT_EQ(boxes[0].caption, c.caption);
            EXPECT_EQ(boxes[0].flags, platform::MB_ICONERROR);
            EXPECT_EQ(boxes[0].owner, platform::BoxOwner::None);
        }
        // A refused driver keeps the handle until the port is closed.
        EXPECT_TRUE(control_.IsOpen());
        device.ClosePort();
        EXPECT_FALSE(control_.IsOpen());
    }
}

TEST_F(UsbDevice, NoConverterRetriesOnceAfterRescanAndReload)
{
    Configure("[Converter]\nPresent=0\n");
    CCrvUsbDevice device;
    const std::uint32_t before = platform::GetTickCount();
    EXPECT_FALSE(device.OpenPort("USB"));
    EXPECT_EQ(control_.RescanCount(), 1u);
    EXPECT_EQ(control_.ReloadCount(), 1u);
    EXPECT_EQ(platform::GetTickCount() - before, 500u);
    EXPECT_TRUE(ui_.Boxes().empty());
    std::string serial = "old";
    EXPECT_FALSE(device.FindFirstDevice(serial, 128));
    EXPECT_TRUE(serial.empty());
}

TEST_F(UsbDevice, IdentifiesTheDisplayOverUsb)
{
    Configure("[UserArea]\nDeviceCode=95\n[Display]\nDeviceId=0x60\nRevision=2.07\n");
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    ASSERT_TRUE(device.SendIdentifyRequest());
    EXPECT_EQ(device.ReadIdentityReply(1000), 0x60);
    EXPECT_EQ(device.RevisionMajor, 2);
    EXPECT_EQ(device.RevisionMinor, 0x07);
    ASSERT_EQ(control_.FrameCount(), 1u);
    EXPECT_EQ(control_.Frame(0), (std::vector<std::uint8_t>{0x02, 'B', 'P', 'P', 0x03}));

    control_.SetDisplayResponds(false);
    device.SendIdentifyRequest();
    const std::uint32_t before = platform::GetTickCount();
    EXPECT_EQ(device.ReadIdentityReply(5000), -1);
    EXPECT_GE(platform::GetTickCount() - before, 5000u);
}

TEST_F(UsbDevice, ReadBufferTimeOuts)
{
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    std::array<std::uint8_t, 4> buffer{};

    // A time-out of 0 still waits for the tick count to move.
    std::uint32_t before = platform::GetTickCount();
    EXPECT_EQ(device.ReadBuffer(buffer, 0), 0);
    EXPECT_EQ(platform::GetTickCount() - before, 1u);

    // Three of four bytes: they are kept and reported after the time-out.
    const std::uint8_t three[] = {1, 2, 3};
    control_.InjectFromDisplay(three, 3);
    before = platform::GetTickCount();
    EXPECT_EQ(device.ReadBuffer(buffer, 500), 3);
    EXPECT_EQ(platform::GetTickCount() - before, 501u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{1, 2, 3, 0}));

    // Waiting bytes come at once.
    const std::uint8_t four[] = {9, 8, 7, 6};
    control_.InjectFromDisplay(four, 4);
    clock_.Advance(16);
    before = platform::GetTickCount();
    EXPECT_EQ(device.ReadBuffer(buffer, 500), 4);
    EXPECT_EQ(platform::GetTickCount(), before);
    EXPECT_EQ(device.GetBytesAvailable(), 0);
    EXPECT_EQ(device.ReadBuffer({}, 500), 0);
}

TEST_F(UsbDevice, CablePulledLeavesTheLinkLostUntilItIsBack)
{
    Configure("[Link]\nPullCableAfterBytes=3\n");
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    const std::vector<std::uint8_t> request = {0x02, 'B', 'P', 'P', 0x03};
    EXPECT_FALSE(device.WriteBuffer(request));
    EXPECT_TRUE(device.m_bLinkLost);
    EXPECT_FALSE(device.IsOpen());

    std::array<std::uint8_t, 3> buffer = {7, 7, 7};
    EXPECT_EQ(device.ReadBuffer(buffer, 100), 1);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 3>{7, 7, 7}));
    EXPECT_TRUE(device.WriteByte('x'));
    // No converter to reopen: the data are dropped and the write reports success.
    EXPECT_TRUE(device.WriteBuffer(request));
    EXPECT_TRUE(device.m_bLinkLost);
    EXPECT_TRUE(ui_.Boxes().empty());

    control_.PlugCable();
    EXPECT_TRUE(device.WriteBuffer(request));
    EXPECT_FALSE(device.m_bLinkLost);
    EXPECT_TRUE(device.IsOpen());
    ASSERT_EQ(control_.FrameCount(), 1u);
    EXPECT_EQ(control_.Frame(0), request);

    device.ClosePort();
    EXPECT_FALSE(device.m_bLinkLost);
    EXPECT_FALSE(device.Library().IsLoaded());
}

// An open that failed after its handle was created (a refused driver) keeps the handle; the
// next open, such as the reopen of a lost link, must not find the converter busy with it.
TEST_F(UsbDevice, AnOpenOverAHeldHandleReleasesItFirst)
{
    Configure("[Converter]\nDriverVersion=0x00020828\n");
    CCrvUsbDevice device;
    EXPECT_FALSE(device.OpenPort("USB"));
    ASSERT_TRUE(control_.IsOpen());
    EXPECT_FALSE(device.OpenPort("USB"));
    EXPECT_EQ(ui_.Boxes().size(), 2u); // refused for its driver both times, not for a busy converter
}

TEST_F(UsbDevice, WriteByteSendsTheLowByte)
{
    Configure("[Link]\nPullCableAfterBytes=1\n");
    CCrvUsbDevice device;
    EXPECT_FALSE(device.WriteByte('x')); // not open
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_TRUE(device.WriteByte(0x1241));
    EXPECT_EQ(control_.BytesWritten(), 1u);
    // The converter is gone now: a failed byte write does not lose the link.
    EXPECT_FALSE(device.WriteByte(0x42));
    EXPECT_FALSE(device.m_bLinkLost);
}

TEST_F(UsbDevice, ClosePortUnloadsAndTheNextOpenBindsAgain)
{
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_TRUE(device.Library().IsLoaded());
    device.ClosePort();
    EXPECT_FALSE(device.Library().IsLoaded());
    EXPECT_FALSE(device.IsOpen());
    EXPECT_FALSE(control_.IsOpen());
    EXPECT_EQ(device.GetBytesAvailable(), -1);
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_EQ(device.GetBytesAvailable(), 0);
    device.ClosePort();
    device.ClosePort(); // on a closed object only the fields are reset
    EXPECT_FALSE(device.IsOpen());
}

struct MethodCase {
    const char* method; // the registry value, or "" for none
    const char* chip;
    bool byWords;
    bool found; // the record is where the chosen method reads
};

// The library's user area follows the strings on an FT232BM or FT232R, so word 0x30 of method 2
// holds something else there: the program reads where it is told and finds no record.
TEST_F(UsbDevice, UserAreaReadMethods)
{
    const MethodCase cases[] = {
        {"", "9", true, true},   {"", "0", false, true},  {"", "6", false, true},
        {"", "5", false, true},  {"1", "9", false, true}, {"1", "0", false, true},
        {"1", "5", false, true}, {"2", "9", true, true},  {"2", "0", true, false},
        {"2", "5", true, false}, {"3", "9", true, true},
    };
    for (const MethodCase& c : cases) {
        SCOPED_TRACE(std::string("method ") + c.method + ", chip " + c.chip);
        Configure(std::string("[Converter]\nChipType=") + c.chip +
                  "\n[UserArea]\nDeviceCode=0x5F\nSerialNumber=0012.3456.789\n"
                  "Manufacturing=2015-03-04\nLastUpdate=2016-05-06\n");
        Registry(*c.method ? std::string("\"ReadUserAreaMethod\"=\"") + c.method + "\"\r\n" : "");
        ui_.Clear();
        CCrvUsbDevice device;
        ASSERT_TRUE(device.OpenPort("USB"));
        EXPECT_EQ(control_.WordReads() > 0, c.byWords);
        EXPECT_EQ(control_.BlockReads() > 0, !c.byWords);
        for (std::size_t i = 25; i < device.UserAreaImage.size(); ++i)
            EXPECT_EQ(device.UserAreaImage[i], 0) << i;
        if (!c.found) {
            EXPECT_NE(device.UserAreaImage[0], 0x5F);
            EXPECT_FALSE(UserAreaChecksumMatches(device.UserAreaImage));
            EXPECT_FALSE(ui_.Beeps().empty());
            device.ClosePort();
            continue;
        }
        const std::string stored(device.UserAreaImage.begin() + 1, device.UserAreaImage.begin() + 23);
        EXPECT_EQ(stored, "0123456789150304160506");
        EXPECT_EQ(device.UserAreaImage[0], 0x5F);
        EXPECT_TRUE(UserAreaChecksumMatches(device.UserAreaImage));
        EXPECT_TRUE(ui_.Beeps().empty());
        device.ClosePort();
    }
}

TEST_F(UsbDevice, UserAreaReadFailures)
{
    for (const char* chip : {"9", "0"}) {
        SCOPED_TRACE(chip);
        Configure(std::string("[Converter]\nChipType=") + chip + "\n[UserArea]\nReadFails=1\n");
        CCrvUsbDevice device;
        ASSERT_TRUE(device.OpenPort("USB"));
        EXPECT_FALSE(device.UserAreaValid);
        EXPECT_FALSE(device.ReadUserArea());
        device.ClosePort();
        EXPECT_FALSE(device.ReadUserArea()); // no handle
    }
}

// Real time: the wait must cost little processor time and still see a byte promptly.
TEST_F(UsbDevice, WaitingSleepsBetweenPollsYetAnswersPromptly)
{
    control_.SetTimeSource(nullptr);
    platform::SetClock(nullptr);
    Configure("[Link]\nLatencyTimerMs=0\n");
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    std::array<std::uint8_t, 1> buffer{};

    auto cpu = [] {
        rusage u{};
        getrusage(RUSAGE_THREAD, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000.0 + u.ru_utime.tv_usec +
               u.ru_stime.tv_usec;
    };
    const double cpuBefore = cpu();
    const auto wallBefore = std::chrono::steady_clock::now();
    EXPECT_EQ(device.ReadBuffer(buffer, 300), 0);
    const double wallUs = std::chrono::duration<double, std::micro>(
                              std::chrono::steady_clock::now() - wallBefore)
                              .count();
    EXPECT_GE(wallUs, 300000.0);
    // A loop that polls without sleeping takes a whole core; the sanitizers' own cost stays well under a tenth.
    EXPECT_LT((cpu() - cpuBefore) / wallUs, 0.10);

    std::thread display([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::uint8_t byte = 0x42;
        control_.InjectFromDisplay(&byte, 1);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device.ReadBuffer(buffer, 2000), 1);
    const auto waited = std::chrono::steady_clock::now() - start;
    display.join();
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_LT(waited, std::chrono::milliseconds(150));
}

} // namespace
