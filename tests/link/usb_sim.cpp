// The simulated converter through the D2XX binding alone: what the transport and the records
// rely on from any provider.
#include <array>
#include <cstring>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "link/D2xxLibrary.h"
#include "link/DeviceSelection.h"
#include "sim/Converter.h"
#include "sim/UsbChip.h"
#include "protocol/Frame.h"
#include "UsbSimFixture.h"

using namespace d2xx;

namespace {

const std::vector<std::uint8_t> kIdentify = {0x02, 'B', 'P', 'P', 0x03};

class SimLink : public UsbSimTest {
protected:
    void TearDown() override
    {
        if (IsValidHandle(h_))
            lib_.W32_CloseHandle(h_);
        lib_.Free();
        UsbSimTest::TearDown();
    }

    void OpenFirstExpectingFailure()
    {
        ASSERT_TRUE(lib_.Bind());
        EXPECT_FALSE(IsValidHandle(lib_.W32_CreateFile("KS000042", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                        OPEN_EXISTING, FT_OPEN_BY_SERIAL_NUMBER, nullptr)));
    }
    FT_HANDLE OpenFirst()
    {
        EXPECT_TRUE(lib_.Bind());
        char serial[64] = {};
        EXPECT_EQ(lib_.ListDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
                  FT_OK);
        h_ = lib_.W32_CreateFile(serial, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FT_OPEN_BY_SERIAL_NUMBER, nullptr);
        EXPECT_TRUE(IsValidHandle(h_));
        return h_;
    }
    DWORD Queued()
    {
        DWORD n = 0;
        EXPECT_EQ(lib_.GetQueueStatus(h_, &n), FT_OK);
        return n;
    }
    std::vector<std::uint8_t> ReadAll()
    {
        std::vector<std::uint8_t> out(Queued());
        DWORD got = 0;
        EXPECT_TRUE(lib_.W32_ReadFile(h_, out.data(), static_cast<DWORD>(out.size()), &got));
        out.resize(got);
        return out;
    }
    bool Write(const std::vector<std::uint8_t>& bytes, DWORD* writtenOut = nullptr)
    {
        DWORD written = 0;
        const bool ok = lib_.W32_WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()),
                                           &written);
        if (writtenOut)
            *writtenOut = written;
        return ok;
    }
    void SetBaud(DWORD baud)
    {
        FTDCB dcb{};
        ASSERT_TRUE(lib_.W32_GetCommState(h_, &dcb));
        dcb.BaudRate = baud;
        ASSERT_TRUE(lib_.W32_SetCommState(h_, &dcb));
    }

    D2xxLibrary lib_;
    FT_HANDLE h_ = InvalidHandle();
};

TEST_F(SimLink, ListsItsConvertersAndOpensOnlyTheFirst)
{
    Configure("[Converter]\nCount=2\nSerialNumber=KS4711\n");
    ASSERT_TRUE(lib_.Bind());
    DWORD count = 0;
    ASSERT_EQ(lib_.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);
    char first[64] = {}, second[64] = {};
    ASSERT_EQ(lib_.ListDevices(nullptr, first, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    ASSERT_EQ(lib_.ListDevices(reinterpret_cast<void*>(std::uintptr_t{1}), second,
                               FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    EXPECT_STREQ(first, "KS4711");
    EXPECT_STRNE(second, "KS4711");
    EXPECT_EQ(lib_.ListDevices(reinterpret_cast<void*>(std::uintptr_t{2}), second,
                               FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);

    // The other converter is someone else's; its failure is the Linux value, not all ones.
    FT_HANDLE other = lib_.W32_CreateFile(second, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(other), 0xFFFFFFFFu);
    EXPECT_FALSE(IsValidHandle(other));
    OpenFirst();
    EXPECT_TRUE(control_.IsOpen());
    // Exclusive: a second open of the same converter fails.
    FT_HANDLE again = lib_.W32_CreateFile(first, 0, 0, nullptr, OPEN_EXISTING,
                                          FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    EXPECT_FALSE(IsValidHandle(again));
}

// A bench: a debug cable listed first, then two displays, each converter with its own
// EEPROM, record and state; the program names the one it wants.
TEST_F(SimLink, SeveralConvertersEachWithItsOwnStateAndName)
{
    Configure("[Converter]\nSerialNumber=FT9XQ1\n[Eeprom]\nProductId=0x6001\nDescription=USB Serial\n"
              "[Display]\nResponds=0\n"
              "[Converter.2]\nSerialNumber=KS000042\n[UserArea.2]\nDeviceCode=0x59\n"
              "[Converter.3]\nSerialNumber=KS000043\nChipType=5\n[Eeprom.3]\nProductId=0xF208\n");
    ASSERT_TRUE(lib_.Bind());
    const auto list = converters::ListConverters(lib_);
    ASSERT_EQ(list.size(), 3u);
    const struct {
        const char* serial;
        DWORD usbId;
        DWORD chip;
        const char* path;
        bool display;
    } expected[] = {{"FT9XQ1", 0x04036001, 9, "1-1", false},
                    {"KS000042", 0x0403F209, 9, "1-2", true},
                    {"KS000043", 0x0403F208, 5, "1-3", true}};
    for (std::size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list[i].serial, expected[i].serial);
        EXPECT_EQ(list[i].usbId, expected[i].usbId);
        EXPECT_EQ(list[i].chipType, expected[i].chip);
        EXPECT_EQ(list[i].portPath, expected[i].path);
        EXPECT_EQ(list[i].LooksLikeDisplay(), expected[i].display);
    }
    EXPECT_NE(list[1].locationId, list[2].locationId);

    using converters::ParseDeviceSelection;
    using converters::SelectConverter;
    EXPECT_EQ(SelectConverter(list, {}), 0);
    EXPECT_EQ(SelectConverter(list, *ParseDeviceSelection("serial:KS000043")), 2);
    EXPECT_EQ(SelectConverter(list, *ParseDeviceSelection("location:1-2")), 1);
    EXPECT_EQ(SelectConverter(list, *ParseDeviceSelection("location:" + std::to_string(list[2].locationId))), 2);
    EXPECT_EQ(SelectConverter(list, *ParseDeviceSelection("index:1")), 1);
    for (const char* none : {"serial:KS000044", "serial:KS00004", "location:1-4", "location:2-2", "index:3"})
        EXPECT_EQ(SelectConverter(list, *ParseDeviceSelection(none)), -1) << none;
    for (const char* bad : {"", "KS000042", "serial:", "index:-1", "index:x", "location:1-", "location:-2", "port:1"})
        EXPECT_FALSE(ParseDeviceSelection(bad)) << bad;

    // All three open at once, each on its own chip: the record tells them apart.
    FT_HANDLE h[3];
    for (int i = 0; i < 3; ++i) {
        h[i] = lib_.W32_CreateFile(expected[i].serial, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FT_OPEN_BY_SERIAL_NUMBER, nullptr);
        ASSERT_TRUE(IsValidHandle(h[i])) << i;
    }
    UCHAR record[25] = {};
    DWORD got = 0;
    ASSERT_EQ(lib_.EE_UARead(h[1], record, 25, &got), FT_OK);
    EXPECT_EQ(record[0], 0x59);
    ASSERT_EQ(lib_.EE_UARead(h[2], record, 25, &got), FT_OK);
    EXPECT_EQ(record[0], 0x62);
    for (FT_HANDLE each : h)
        EXPECT_TRUE(lib_.W32_CloseHandle(each));
}

// One open at a time across the machine, as on hardware: a second process is refused until
// the first closes or dies.
TEST_F(SimLink, AConverterOpenInOneProcessIsBusyForEveryOther)
{
    Configure("[Converter]\nSerialNumber=KS000042\n");
    sim::Converter mine(sim::LoadSimConfig(dir_.File("sim.ini")));
    const std::uint64_t session = mine.Open(0);
    ASSERT_NE(session, 0u);
    OpenFirstExpectingFailure();
    EXPECT_EQ(lib_.OpenFailure(), kOpenFailureBusy);
    mine.Close(session, 0);
    OpenFirst();
    lib_.W32_CloseHandle(h_);
    h_ = InvalidHandle();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sim::Converter theirs(sim::LoadSimConfig(dir_.File("sim.ini")));
        ::_exit(theirs.Open(0) ? 0 : 1); // dies holding it
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    OpenFirst();
}

TEST_F(SimLink, NoConverterListsNothing)
{
    Configure("[Converter]\nPresent=0\n");
    ASSERT_TRUE(lib_.Bind());
    DWORD count = 7;
    ASSERT_EQ(lib_.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    char serial[64];
    EXPECT_NE(lib_.ListDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
}

// Held by another program, or not ours to open: listed, but opening fails.
TEST_F(SimLink, ABusyOrForbiddenConverterIsListedButDoesNotOpen)
{
    for (const char* key : {"Busy", "AccessDenied"}) {
        SCOPED_TRACE(key);
        Configure(std::string("[Converter]\n") + key + "=1\n");
        ASSERT_TRUE(lib_.Bind());
        DWORD count = 0;
        ASSERT_EQ(lib_.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
        EXPECT_EQ(count, 1u);
        FT_HANDLE h = nullptr;
        EXPECT_EQ(lib_.Open(0, &h), FT_DEVICE_NOT_OPENED);
        EXPECT_FALSE(IsValidHandle(lib_.W32_CreateFile("KS000001", GENERIC_READ | GENERIC_WRITE, 0,
                                                        nullptr, OPEN_EXISTING,
                                                        FT_OPEN_BY_SERIAL_NUMBER, nullptr)));
    }
}

TEST_F(SimLink, DriverVersionAndChipType)
{
    Configure("[Converter]\nDriverVersion=0x00020828\nChipType=0\n");
    OpenFirst();
    DWORD version = 0;
    EXPECT_EQ(lib_.GetDriverVersion(h_, &version), FT_OK);
    EXPECT_EQ(version, 0x20828u);
    FT_DEVICE chip = 99;
    DWORD id = 0;
    EXPECT_EQ(lib_.GetDeviceInfo(h_, &chip, &id, nullptr, nullptr, nullptr), FT_OK);
    EXPECT_EQ(chip, FT_DEVICE_BM);
    EXPECT_EQ(id, 0x0403F209u);

    lib_.W32_CloseHandle(h_);
    h_ = InvalidHandle();
    Configure("[Converter]\nDriverVersion=fail\n");
    OpenFirst();
    EXPECT_NE(lib_.GetDriverVersion(h_, &version), FT_OK);
}

TEST_F(SimLink, IdentityReplyWaitsForTheLatencyTick)
{
    Configure("[Display]\nDeviceId=0x5F\nRevision=1.23\n");
    OpenFirst(); // t = 1000: the latency ticks fall at 1016, 1032, ...
    clock_.Advance(5);
    ASSERT_TRUE(Write(kIdentify));
    clock_.Advance(10); // 1015
    EXPECT_EQ(Queued(), 0u);
    clock_.Advance(1); // 1016
    const auto reply = ReadAll();
    const std::vector<std::uint8_t> expected = {0x02, 'J', 'P', 'U', '5', '?', '1', '2', '3', 0x03};
    EXPECT_EQ(reply, expected);
    ASSERT_EQ(control_.FrameCount(), 1u);
    EXPECT_EQ(control_.Frame(0), kIdentify);
}

TEST_F(SimLink, AFullPacketDoesNotWaitForTheTick)
{
    Configure("[Link]\nLatencyTimerMs=100\n");
    OpenFirst();
    clock_.Advance(1);
    std::vector<std::uint8_t> bytes(61, 'x');
    control_.InjectFromDisplay(bytes.data(), 61);
    EXPECT_EQ(Queued(), 0u);
    control_.InjectFromDisplay(bytes.data(), 1);
    EXPECT_EQ(Queued(), 62u);
    control_.InjectFromDisplay(bytes.data(), 5);
    clock_.Advance(98); // 99 ms after the open
    EXPECT_EQ(Queued(), 62u);
    clock_.Advance(1);
    EXPECT_EQ(Queued(), 67u);

    UCHAR latency = 0;
    EXPECT_EQ(lib_.GetLatencyTimer(h_, &latency), FT_OK);
    EXPECT_EQ(latency, 100);
    EXPECT_EQ(lib_.SetLatencyTimer(h_, 1), FT_INVALID_PARAMETER);
    EXPECT_EQ(lib_.SetLatencyTimer(h_, 2), FT_OK);
}

// The event character ends the wait for the tick; other bytes still wait, and a disabled one
// is an ordinary byte. FT_SetChars and the DCB's EvtChar set the same chip state.
TEST_F(SimLink, TheEventCharacterSendsThePacketAtOnce)
{
    Configure("[Link]\nLatencyTimerMs=100\n");
    OpenFirst();
    clock_.Advance(1);
    auto inject = [this](const char* text) {
        control_.InjectFromDisplay(reinterpret_cast<const std::uint8_t*>(text),
                                   static_cast<std::uint32_t>(std::strlen(text)));
    };
    FTDCB dcb{};
    ASSERT_TRUE(lib_.W32_GetCommState(h_, &dcb));
    EXPECT_EQ(dcb.EvtChar, 0) << "off after the open";
    inject("G");
    EXPECT_EQ(Queued(), 0u);

    ASSERT_EQ(lib_.SetChars(h_, 'G', 1, 0, 0), FT_OK);
    inject("xG"); // sends the G waiting from before with it
    EXPECT_EQ(ReadAll(), (std::vector<std::uint8_t>{'G', 'x', 'G'}));
    inject("OK\r\n");
    EXPECT_EQ(Queued(), 0u);
    ASSERT_TRUE(lib_.W32_GetCommState(h_, &dcb));
    EXPECT_EQ(dcb.EvtChar, 'G');

    ASSERT_EQ(lib_.SetChars(h_, 'G', 0, 0, 0), FT_OK);
    inject("G");
    EXPECT_EQ(Queued(), 0u);
    clock_.Advance(99); // the tick at 100 ms after the open
    EXPECT_EQ(ReadAll().size(), 5u);

    // Through the DCB: a non-zero EvtChar enables it, 0 disables it.
    dcb.EvtChar = '>';
    ASSERT_TRUE(lib_.W32_SetCommState(h_, &dcb));
    inject(">");
    EXPECT_EQ(Queued(), 1u);
    // A NUL event character survives a DCB read and written back.
    ASSERT_EQ(lib_.SetChars(h_, 0, 1, 0, 0), FT_OK);
    ASSERT_TRUE(lib_.W32_GetCommState(h_, &dcb));
    ASSERT_TRUE(lib_.W32_SetCommState(h_, &dcb));
    const std::uint8_t nul = 0;
    control_.InjectFromDisplay(&nul, 1);
    EXPECT_EQ(Queued(), 2u);
    dcb.EvtChar = '>';
    ASSERT_TRUE(lib_.W32_SetCommState(h_, &dcb));
    dcb.EvtChar = 0;
    ASSERT_TRUE(lib_.W32_SetCommState(h_, &dcb));
    inject(">");
    EXPECT_EQ(Queued(), 2u);
}

TEST_F(SimLink, PacedBytesTakeTheirTimeOnBothWires)
{
    // 1200 baud, 10 bits a byte: 8.33 ms a byte. The 5-byte request is in at 41.7 ms, the
    // 10-byte reply at 125 ms.
    Configure("[Link]\nPace=1\nLatencyTimerMs=0\n");
    OpenFirst();
    SetBaud(1200);
    ASSERT_TRUE(Write(kIdentify));
    clock_.Advance(41);
    EXPECT_EQ(control_.FrameCount(), 0u);
    clock_.Advance(1);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(control_.FrameCount(), 1u);
    clock_.Advance(25); // 67 ms: three reply bytes are through
    EXPECT_EQ(Queued(), 3u);
    clock_.Advance(57); // 124 ms
    EXPECT_EQ(Queued(), 9u);
    clock_.Advance(1);
    EXPECT_EQ(Queued(), 10u);
}

TEST_F(SimLink, PurgeDropsWhatWaits)
{
    OpenFirst();
    std::vector<std::uint8_t> bytes(10, 'y');
    control_.InjectFromDisplay(bytes.data(), 10);
    clock_.Advance(20);
    EXPECT_EQ(Queued(), 10u);
    EXPECT_TRUE(lib_.W32_PurgeComm(h_, PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(SimLink, UserAreaAsBlockAndAsWords)
{
    for (const char* chip : {"9", "0", "5"}) {
        SCOPED_TRACE(chip);
        Configure(std::string("[Converter]\nChipType=") + chip +
                  "\n[UserArea]\nDeviceCode=0x59\nSerialNumber=1000.0042.007\n");
        OpenFirst();
        std::array<UCHAR, 25> block{};
        DWORD got = 0;
        ASSERT_EQ(lib_.EE_UARead(h_, block.data(), 25, &got), FT_OK);
        EXPECT_EQ(got, 25u);
        EXPECT_EQ(block[0], 0x59);
        EXPECT_EQ(block[1], 0x80);
        EXPECT_EQ(block[2], 0xE8);
        EXPECT_EQ(block[3], 0x03);
        // FT-X: a fixed place. The others: right after the serial-number string (ZKM,
        // CORVINA USB, KS000001 from byte 0x14 on an FT232BM, 0x18 on an FT232R).
        const DWORD first = std::strcmp(chip, "9") == 0 ? 0x12 : std::strcmp(chip, "0") == 0 ? 0x23 : 0x25;
        for (DWORD i = 0; i < 12; ++i) {
            WORD w = 0;
            ASSERT_EQ(lib_.ReadEE(h_, first + i, &w), FT_OK);
            EXPECT_EQ(w, block[2 * i] | block[2 * i + 1] << 8) << i;
        }
        DWORD size = 0;
        ASSERT_EQ(lib_.EE_UASize(h_, &size), FT_OK);
        EXPECT_GE(size, 26u);
        lib_.W32_CloseHandle(h_);
        h_ = InvalidHandle();
    }
}

TEST_F(SimLink, UserAreaFaults)
{
    Configure("[UserArea]\nErased=1\n");
    OpenFirst();
    std::array<UCHAR, 25> block{};
    DWORD got = 0;
    ASSERT_EQ(lib_.EE_UARead(h_, block.data(), 25, &got), FT_OK);
    for (UCHAR b : block)
        EXPECT_EQ(b, 0xFF);
    lib_.W32_CloseHandle(h_);

    Configure("[UserArea]\nReadFails=1\nWriteFails=1\n");
    OpenFirst();
    EXPECT_EQ(lib_.EE_UARead(h_, block.data(), 25, &got), FT_EEPROM_READ_FAILED);
    WORD w = 0;
    EXPECT_EQ(lib_.ReadEE(h_, 0x12, &w), FT_EEPROM_READ_FAILED);
    EXPECT_EQ(lib_.EE_UAWrite(h_, block.data(), 25), FT_EEPROM_WRITE_FAILED);
    // Words outside the user area still read.
    EXPECT_EQ(lib_.ReadEE(h_, 0x02, &w), FT_OK);
}

TEST_F(SimLink, ProgrammedStateOutlivesTheConverterObject)
{
    Configure("[UserArea]\nBytes=62 30 30 31 32 33 34 35 36 37 38 39 31 35 30 33 30 34 31 36 30 35 30 36 00\n");
    OpenFirst();
    std::array<UCHAR, 25> record{};
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<UCHAR>(i * 7);
    ASSERT_EQ(lib_.EE_UAWrite(h_, record.data(), 25), FT_OK);

    FT_EEPROM_X_SERIES image{};
    image.common.deviceType = FT_DEVICE_X_SERIES;
    char m[64] = "Maker", mi[64] = "MK", d[64] = "Display", s[64] = "SN123";
    image.common.VendorId = 0x1234;
    image.Cbus0 = 4;
    ASSERT_EQ(lib_.EEPROM_Program(h_, &image, sizeof image, m, mi, d, s), FT_OK);
    lib_.W32_CloseHandle(h_);
    h_ = InvalidHandle();

    control_.Reset(); // a fresh converter, as after unloading the library or in another process
    OpenFirst();
    std::array<UCHAR, 25> back{};
    DWORD got = 0;
    ASSERT_EQ(lib_.EE_UARead(h_, back.data(), 25, &got), FT_OK);
    EXPECT_EQ(back, record);
    FT_EEPROM_X_SERIES read{};
    read.common.deviceType = FT_DEVICE_X_SERIES;
    char m2[64] = {}, mi2[64] = {}, d2[64] = {}, s2[64] = {};
    ASSERT_EQ(lib_.EEPROM_Read(h_, &read, sizeof read, m2, mi2, d2, s2), FT_OK);
    EXPECT_EQ(read.common.VendorId, 0x1234);
    EXPECT_EQ(read.Cbus0, 4);
    EXPECT_STREQ(m2, "Maker");
    EXPECT_STREQ(s2, "SN123");
    // An image of the wrong size or kind is refused.
    EXPECT_EQ(lib_.EEPROM_Read(h_, &read, 16, m2, mi2, d2, s2), FT_INVALID_PARAMETER);
    FT_EEPROM_232B bm{};
    bm.common.deviceType = FT_DEVICE_BM;
    EXPECT_EQ(lib_.EEPROM_Read(h_, &bm, sizeof bm, m2, mi2, d2, s2), FT_INVALID_PARAMETER);
}

// Another process programs the converter while this one has the library loaded: the next open
// here sees it.
TEST_F(SimLink, AnOpenSeesWhatAnotherConverterObjectProgrammed)
{
    OpenFirst();
    lib_.W32_CloseHandle(h_);
    h_ = InvalidHandle();
    {
        sim::Converter other(sim::LoadSimConfig(dir_.File("sim.ini")));
        const std::uint64_t session = other.Open(0);
        ASSERT_NE(session, 0u);
        const std::uint8_t record[25] = {0x59, 0x80, 0x10, 0x27};
        ASSERT_EQ(other.WriteUserArea(record, 25), FT_OK);
        other.Close(session, 0);
    }
    OpenFirst();
    std::array<UCHAR, 25> block{};
    DWORD got = 0;
    ASSERT_EQ(lib_.EE_UARead(h_, block.data(), 25, &got), FT_OK);
    EXPECT_EQ(block[0], 0x59);
    EXPECT_EQ(block[3], 0x27);
    EXPECT_EQ(block[24], 0x00);
}

TEST_F(SimLink, EepromFaults)
{
    Configure("[Eeprom]\nReadFails=1\nProgramFails=1\n");
    OpenFirst();
    FT_EEPROM_X_SERIES image{};
    image.common.deviceType = FT_DEVICE_X_SERIES;
    char m[64] = {}, mi[64] = {}, d[64] = {}, s[64] = {};
    EXPECT_EQ(lib_.EEPROM_Read(h_, &image, sizeof image, m, mi, d, s), FT_EEPROM_READ_FAILED);
    EXPECT_EQ(lib_.EEPROM_Program(h_, &image, sizeof image, m, mi, d, s), FT_EEPROM_WRITE_FAILED);
}

TEST_F(SimLink, CablePulledAfterSoManyBytes)
{
    Configure("[Link]\nPullCableAfterBytes=7\n");
    OpenFirst();
    DWORD written = 0;
    EXPECT_TRUE(Write(kIdentify, &written));
    EXPECT_EQ(written, 5u);
    EXPECT_FALSE(Write(kIdentify, &written));
    EXPECT_EQ(written, 2u);
    EXPECT_FALSE(Write(kIdentify, &written));
    FTDCB dcb{};
    EXPECT_FALSE(lib_.W32_GetCommState(h_, &dcb));
    DWORD count = 9;
    ASSERT_EQ(lib_.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(lib_.W32_CloseHandle(h_));
    h_ = InvalidHandle();

    control_.PlugCable();
    ASSERT_EQ(lib_.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 1u);
}

TEST_F(SimLink, HandlesNeverGivenOutAreRefused)
{
    ASSERT_TRUE(lib_.Bind());
    int notAHandle = 0;
    DWORD n = 0;
    EXPECT_EQ(lib_.GetQueueStatus(&notAHandle, &n), FT_INVALID_HANDLE);
    EXPECT_FALSE(lib_.W32_CloseHandle(&notAHandle));
    EXPECT_FALSE(lib_.W32_WriteFile(InvalidHandle(), "x", 1, &n));
}

std::vector<std::uint8_t> Bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST_F(SimLink, DtrPulseStartsTheBootLoaderQuietly)
{
    Configure("[Link]\nLatencyTimerMs=0\n");
    OpenFirst();
    ASSERT_TRUE(lib_.W32_EscapeCommFunction(h_, CLRDTR));
    clock_.Advance(100);
    ASSERT_TRUE(lib_.W32_EscapeCommFunction(h_, SETDTR));
    EXPECT_TRUE(control_.InBootLoader());
    clock_.Advance(5000);
    EXPECT_EQ(Queued(), 0u); // no banner
    ASSERT_TRUE(Write(Bytes("\r\n")));
    EXPECT_EQ(ReadAll(), Bytes(">"));
    EXPECT_EQ(control_.ModemLines() & 1u, 1u);
}

TEST_F(SimLink, DtrSetAloneStandsForTheOperatorsReset)
{
    Configure("[Link]\nLatencyTimerMs=0\n[BootLoader]\nResetAfterMs=1000\n");
    OpenFirst();
    ASSERT_TRUE(lib_.W32_EscapeCommFunction(h_, SETDTR));
    clock_.Advance(999);
    EXPECT_FALSE(control_.InBootLoader());
    EXPECT_EQ(Queued(), 0u);
    clock_.Advance(1);
    EXPECT_TRUE(control_.InBootLoader());
    EXPECT_EQ(ReadAll(), Bytes("C8051F120 Firmware Updater\r\n"));

    // A drop of DTR before the reset is due calls it off; a pulse long apart is no pulse.
    lib_.W32_CloseHandle(h_);
    OpenFirst();
    lib_.W32_EscapeCommFunction(h_, CLRDTR);
    clock_.Advance(400);
    lib_.W32_EscapeCommFunction(h_, SETDTR);
    EXPECT_FALSE(control_.InBootLoader());
    clock_.Advance(500);
    lib_.W32_EscapeCommFunction(h_, CLRDTR);
    clock_.Advance(2000);
    EXPECT_FALSE(control_.InBootLoader());

    // Nor is a rise at once after a drop (an Opal's open clears DTR, its update sets it): the
    // operator's reset follows, with the banner.
    lib_.W32_CloseHandle(h_);
    OpenFirst();
    lib_.W32_EscapeCommFunction(h_, CLRDTR);
    clock_.Advance(10);
    lib_.W32_EscapeCommFunction(h_, SETDTR);
    EXPECT_FALSE(control_.InBootLoader());
    clock_.Advance(1000);
    EXPECT_TRUE(control_.InBootLoader());
    EXPECT_EQ(ReadAll(), Bytes("C8051F120 Firmware Updater\r\n"));
}

TEST_F(SimLink, AFinishedRunSavesTheFlashAndTheFirmwareReturns)
{
    Configure("[Link]\nLatencyTimerMs=0\n");
    OpenFirst();
    lib_.W32_EscapeCommFunction(h_, CLRDTR);
    clock_.Advance(100);
    lib_.W32_EscapeCommFunction(h_, SETDTR);
    ASSERT_TRUE(Write(Bytes("\r\nK\r\nL\r\n")));
    EXPECT_EQ(ReadAll(), Bytes(">OK\r\nOK\r\n"));
    ASSERT_TRUE(Write(Bytes(":0400000001020304F2\n")));
    EXPECT_EQ(ReadAll(), Bytes("G"));
    EXPECT_FALSE(PathExists(dir_.File("flash.bin")));
    ASSERT_TRUE(Write(Bytes(":00000001FF\n")));
    EXPECT_EQ(ReadAll(), Bytes("GOK\r\n"));
    EXPECT_EQ(ReadText(dir_.File("flash.bin")), std::string("\x01\x02\x03\x04"));

    lib_.W32_EscapeCommFunction(h_, CLRDTR);
    EXPECT_FALSE(control_.InBootLoader());
    ASSERT_TRUE(Write(kIdentify));
    EXPECT_EQ(ReadAll().size(), 10u);
    EXPECT_EQ(ReadText(dir_.File("frames.log")), "0242505003\n");
}

TEST_F(SimLink, TheBootLoaderCanPullTheCable)
{
    Configure("[Link]\nLatencyTimerMs=0\n[BootLoader]\nPullCableAtRecord=2\n");
    OpenFirst();
    lib_.W32_EscapeCommFunction(h_, CLRDTR);
    clock_.Advance(100);
    lib_.W32_EscapeCommFunction(h_, SETDTR);
    ASSERT_TRUE(Write(Bytes("\r\nK\r\nL\r\n:0400000001020304F2\n")));
    EXPECT_FALSE(Write(Bytes(":0400040001020304EE\n")));
    DWORD count = 5;
    ASSERT_EQ(lib_.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    // What was programmed before the cable went is kept.
    EXPECT_EQ(ReadText(dir_.File("flash.bin")), std::string("\x01\x02\x03\x04"));
}

} // namespace

// The chip's side of the USB face, without a bus: divisors as libftdi1 computes them, and the
// status bytes at every 64-byte boundary that libftdi1 strips.
namespace usbchip {

struct DivisorCase {
    std::uint16_t value, index;
    std::uint32_t baud;
};

TEST(UsbChip, DivisorsDecodeToTheRatesLibftdiAchieves)
{
    const DivisorCase cases[] = {
        {0x2710, 0, 300},     {0x09C4, 0, 1200},    {0x4138, 0, 9600},    {0x809C, 0, 19200},
        {0xC04E, 0, 38400},   {0xC034, 0, 57554},   {0x001A, 0, 115385},  {0x000D, 0, 230769},
        {0x4006, 0, 461538},  {0x8003, 0, 923077},  {0x0003, 0, 1000000}, {0x0000, 0, 3000000},
        {0x0001, 0, 2000000}, {0x001A, 1, 113744}, // fraction code 4 (3/8) needs the index bit
    };
    for (const DivisorCase& c : cases)
        EXPECT_EQ(sim::BaudFromDivisor(c.value, c.index), c.baud) << std::hex << c.value;
}

TEST(UsbChip, BulkInPacketsCarryStatusBytes)
{
    sim::SimConfig config;
    config.latencyTimerMs = 0; // bytes reach the USB side at once
    sim::Converter c(config);
    ASSERT_NE(c.Open(0), 0u);
    std::vector<std::uint8_t> sent(130);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i + 1);
    c.InjectFromDisplay(sent, 0);

    std::vector<std::uint8_t> in(4096);
    // A 64-byte request takes one full packet.
    ASSERT_EQ(sim::BulkIn(c, in.data(), 64, 0), 64u);
    EXPECT_EQ(in[0], 0x31);
    EXPECT_EQ(in[1], 0x60);
    EXPECT_EQ(in[2], 1);
    EXPECT_EQ(in[63], 62);
    // The rest: a full packet, then a short one.
    ASSERT_EQ(sim::BulkIn(c, in.data(), in.size(), 0), 64u + 8u);
    EXPECT_EQ(in[2], 63);
    EXPECT_EQ(in[64], 0x31);
    EXPECT_EQ(in[66], 125);
    EXPECT_EQ(in[71], 130);
    // Nothing waits: the status bytes alone.
    EXPECT_EQ(sim::BulkIn(c, in.data(), in.size(), 0), 2u);
}

// Request 6 on the bus: the character in the low byte, bit 8 enables it; the chip's reset
// request turns it off.
TEST(UsbChip, TheEventCharacterRequestEndsTheWaitForTheTick)
{
    sim::SimConfig config;
    config.latencyTimerMs = 16;
    sim::Converter c(config);
    ASSERT_NE(c.Open(0), 0u);
    const sim::UsbIdentity id;
    std::vector<std::uint8_t> in(64);
    struct Step {
        std::uint16_t value; // request 6's, or 0xFFFF for the reset request
        std::uint8_t byte;   // then from the display, 1 ms later
        std::size_t atOnce;  // data bytes in the next packet, before the tick
    } steps[] = {
        {0x0100 | 'G', 'x', 0}, {0x0100 | 'G', 'G', 2}, {0x0000 | 'G', 'G', 0},
        {0x0100 | '>', '>', 2}, {0xFFFF, '>', 0},       {0x0100 | 0, 0, 2},
    };
    std::uint32_t now = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.value);
        // Start from an empty chip, a fresh tick ahead.
        now += 16;
        sim::BulkIn(c, in.data(), in.size(), now);
        if (s.value == 0xFFFF)
            EXPECT_EQ(sim::ControlTransfer(c, id, 0x40, 0x00, 0, 1, nullptr, 0, now), 0);
        else
            EXPECT_EQ(sim::ControlTransfer(c, id, 0x40, 0x06, s.value, 1, nullptr, 0, now), 0);
        c.InjectFromDisplay(std::vector<std::uint8_t>{'x'}, now);
        c.InjectFromDisplay(std::vector<std::uint8_t>{s.byte}, now + 1);
        EXPECT_EQ(sim::BulkIn(c, in.data(), in.size(), now + 1), 2 + s.atOnce);
        EXPECT_EQ(sim::BulkIn(c, in.data(), in.size(), now + 16), s.atOnce ? 2u : 4u)
            << "the tick brings the rest";
    }
}

} // namespace usbchip
