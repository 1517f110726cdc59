// The device object against the simulated converter: connect and probe, the EEPROM image,
// the user-area record, and the log records every write leaves.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "RecordsDevice.h"
#include "platform/Clock.h"
#include "platform/Ui.h"
#include "records/ProductionLog.h"
#include "sim/d2xx/KestruneSim.h"

#ifdef KESTRUNE_SIM_LIBRARY

namespace {

using namespace records_test;

const char* const kUsbRecordLine = "*** USB data flashed\r\n";
const char* const kUsbFailedLine = "*** USB data NOT flashed: the write failed\r\n";
const char* const kDeviceRecordLine = "*** Device data to user area flashed\r\n";

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

class DeviceOnSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
        setenv("KESTRUNE_SIM", dir.File("sim.ini").c_str(), 1);
        setenv("KESTRUNE_REGISTRY", dir.File("no-registry.reg").c_str(), 1);
        // Every write to the converter leaves a backup there.
        setenv("XDG_DATA_HOME", dir.File("data").c_str(), 1);
        Configure("");
        logPath = dir.File("fertigung.log");
        Prepare(device);
        records::SetStationInfoSource([] { return records::StationInfo{0, "OPERATOR", "STATION1"}; });
    }
    void TearDown() override
    {
        device.Disconnect();
        records::SetStationInfoSource(nullptr);
        platform::SetClock(nullptr);
    }

    // The simulator's file: a converter with the example record unless extra says otherwise.
    void Configure(const std::string& extra, const std::string& chipType = "9")
    {
        WriteText(dir.File("sim.ini"), "[Converter]\nChipType=" + chipType +
                                           "\nSerialNumber=ZK000012\n"
                                           "[Eeprom]\nVendorId=0x0403\nProductId=0xF208\n"
                                           "MaxPower=250\nSelfPowered=0\nRemoteWakeup=1\n"
                                           "Manufacturer=ZKM\nManufacturerId=ZK\n"
                                           "Description=Corvina Heron 40\nSerialNumber=ZK000012\n"
                                           "[UserArea]\nDeviceCode=0x5F\nSerialNumber=0012.3456.789\n"
                                           "Manufacturing=2015-03-04\nLastUpdate=2016-05-06\n" +
                                           extra);
    }
    void Prepare(CMyCrvUsbDevice& d)
    {
        d.ProfilePath = dir.File("kestrune.ini");
        d.WriteProfileSetting("Settings", "LOG", logPath.c_str());
    }

    // Runs body in another process (another station); true when it succeeded there.
    bool InOtherProcess(const std::function<bool()>& body)
    {
        pid_t pid = fork();
        if (pid == 0)
            _exit(body() ? 0 : 1);
        int status = 0;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    ScopedTimeZone tz;
    TempDir dir;
    platform::ScopedRecordingUi ui;
    CMyCrvUsbDevice device;
    std::string logPath;
};

TEST_F(DeviceOnSimulator, NoConverterIsReportedOnlyWhenAsked)
{
    Configure("[Converter]\nPresent=0\n");
    platform::VirtualClock clock; // the rescan waits cost no real time
    platform::SetClock(&clock);

    EXPECT_FALSE(device.ConnectDevice(FALSE));
    EXPECT_FALSE(device.Connected);
    EXPECT_TRUE(ui.Boxes().empty());
    EXPECT_EQ(ui.StatusViewText(), "");
    EXPECT_EQ(ui.StatusViewWrites(), 1);

    EXPECT_FALSE(device.ConnectDevice(TRUE));
    auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "No USB device found.");
    EXPECT_EQ(boxes[0].caption, "Kestrune Error");
    EXPECT_EQ(boxes[0].flags, platform::MB_ICONINFORMATION);
    EXPECT_EQ(boxes[0].owner, platform::BoxOwner::MainWindow);
    EXPECT_EQ(ui.StatusViewText(), "No USB device found.");

    std::string line;
    EXPECT_TRUE(device.FormatIdentityLine(line));
    EXPECT_EQ(line, " No USB device found.");
}

TEST_F(DeviceOnSimulator, ConnectReadsImageAndRecord)
{
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    EXPECT_TRUE(ui.Boxes().empty());
    EXPECT_TRUE(device.CheckConnection());

    UsbSettingsRecord usb;
    ASSERT_TRUE(device.GetUsbSettings(&usb.data));
    EXPECT_EQ(usb.data.VendorId, 0x0403);
    EXPECT_EQ(usb.data.ProductId, 0xF208);
    EXPECT_EQ(usb.data.MaxPower, 250);
    EXPECT_EQ(usb.data.RemoteWakeup, 1);
    EXPECT_STREQ(usb.data.Description, "Corvina Heron 40");
    EXPECT_STREQ(usb.data.SerialNumber, "ZK000012");

    DeviceData data;
    EXPECT_TRUE(device.GetDeviceData(data));
    EXPECT_EQ(data.DeviceCode, 0x5F);
    EXPECT_EQ(FormatSerialNumber(data), "0012.3456.789");
    EXPECT_EQ(data.ManufacturingDate, k2015_03_04);
    EXPECT_EQ(data.LastUpdateDate, k2016_05_06);

    device.RevisionMajor = 1;
    device.RevisionMinor = 0x23;
    std::string line;
    ASSERT_TRUE(device.FormatIdentityLine(line));
    EXPECT_EQ(line, "DIC:0x5f - SN:0012.3456.789 - Rev:1.23 - P:04.03.15 - U:06.05.16");
}

// Nothing of a device object is global: a second one beside it keeps its own link, record,
// profile store and reply parser, even with a frame half received while the first talks.
TEST_F(DeviceOnSimulator, TwoDeviceObjectsSideBySide)
{
    CMyCrvUsbDevice second;
    second.ProfilePath = dir.File("second.ini");
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    EXPECT_FALSE(second.Connected);
    EXPECT_EQ(second.DeviceId, -1);

    const std::uint8_t reply[] = {0x02, 0x4A, 0x50, 0x55, 0x35, 0x3F, 0x31, 0x32, 0x33, 0x03};
    std::uint8_t letter = 0;
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_FALSE(second.FeedReplyByte(reply[i], &letter, &count, nullptr));
    for (std::size_t i = 0; i < sizeof reply; ++i)
        EXPECT_EQ(device.FeedReplyByte(reply[i], &letter, &count, nullptr), i + 1 == sizeof reply);
    for (std::size_t i = 5; i < sizeof reply; ++i)
        EXPECT_EQ(second.FeedReplyByte(reply[i], &letter, &count, nullptr), i + 1 == sizeof reply);
    EXPECT_EQ(letter, 'J');
    EXPECT_EQ(count, 5u);

    DeviceData other = ExampleRecord();
    other.DeviceCode = 0x62;
    second.SetDeviceData(other);
    DeviceData data;
    EXPECT_TRUE(device.GetDeviceData(data));
    EXPECT_EQ(data.DeviceCode, 0x5F);

    second.WriteProfileSetting("Settings", "Port", "COM7:");
    char port[16] = {};
    device.ReadProfileSetting("Settings", "Port", "COM1:", port, sizeof port);
    EXPECT_STREQ(port, "COM1:");
}

TEST_F(DeviceOnSimulator, UnreadableEepromOrUserAreaGivesOneMessageAndStaysConnected)
{
    for (const char* fault : {"[Eeprom]\nReadFails=1\n", "[UserArea]\nReadFails=1\n",
                              "[Eeprom]\nReadFails=1\n[UserArea]\nReadFails=1\n"}) {
        Configure(fault);
        ui.Clear();
        device.Disconnect();
        EXPECT_TRUE(device.ConnectDevice(TRUE)) << fault;
        EXPECT_TRUE(device.Connected) << fault;
        auto boxes = ui.Boxes();
        ASSERT_EQ(boxes.size(), 1u) << fault;
        EXPECT_EQ(boxes[0].text, "Cannot read from USB EEPROM");
        EXPECT_EQ(boxes[0].caption, "Kestrune Error");
        EXPECT_EQ(boxes[0].flags, platform::MB_ICONEXCLAMATION);
        EXPECT_TRUE(device.CheckConnection()) << fault;
    }
}

TEST_F(DeviceOnSimulator, UnknownChipTypeIsNamedAndStillLogged)
{
    Configure("", "6");
    EXPECT_TRUE(device.ConnectDevice(TRUE));
    auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Ooops Unknown Device found!\nDevice ID: 0x06");
    EXPECT_EQ(boxes[0].caption, "Unknown Device!");
    EXPECT_EQ(boxes[0].flags, platform::MB_ICONWARNING);
    EXPECT_EQ(boxes[0].owner, platform::BoxOwner::None);
    EXPECT_EQ(boxes[1].text, "Cannot read from USB EEPROM");

    ui.Clear();
    UsbSettingsRecord usb;
    EXPECT_TRUE(device.GetUsbSettings(&usb.data));
    EXPECT_TRUE(device.SetUsbSettings(&usb.data));
    EXPECT_FALSE(device.ProgramEeprom());
    EXPECT_EQ(ui.Boxes().size(), 3u);
    EXPECT_EQ(Count(ReadText(logPath), kUsbFailedLine), 1);
    EXPECT_EQ(Count(ReadText(logPath), kUsbRecordLine), 0);
}

TEST_F(DeviceOnSimulator, PulledCableIsNoticedByTheProbe)
{
    Configure("[Link]\nPullCableAfterBytes=1\n");
    ASSERT_TRUE(device.ConnectDevice(FALSE));
    ASSERT_TRUE(device.CheckConnection());
    device.WriteByte('A');
    EXPECT_FALSE(device.CheckConnection());
    EXPECT_FALSE(device.Connected);
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(DeviceOnSimulator, AReconnectAfterALostLinkStartsClean)
{
    Configure("[Link]\nPullCableAfterBytes=3\n");
    sim::SimControl control(KESTRUNE_SIM_LIBRARY);
    ASSERT_TRUE(device.ConnectDevice(FALSE));
    device.SendIdentifyRequest(); // the cable goes in the middle of the frame
    ASSERT_TRUE(device.m_bLinkLost);
    EXPECT_FALSE(device.CheckConnection());

    control.PlugCable();
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    EXPECT_FALSE(device.m_bLinkLost);
    // Reads reach the converter again at once, not only after a write has reopened it: an
    // update's first step waits for the boot loader before it writes anything.
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(device.ReadBuffer(buffer, 0), 0);
    EXPECT_TRUE(device.SendIdentifyRequest());
    EXPECT_EQ(device.ReadIdentityReply(1000), 0x5F);
}

TEST_F(DeviceOnSimulator, ProgrammedSettingsReachTheNextStation)
{
    for (const char* chip : {"9", "0"}) {
        Configure("", chip);
        device.Disconnect();
        ASSERT_TRUE(device.ConnectDevice(TRUE)) << chip;
        UsbSettingsRecord usb;
        ASSERT_TRUE(device.GetUsbSettings(&usb.data));
        usb.data.ProductId = 0xF209;
        usb.data.MaxPower = 100;
        usb.data.SelfPowered = 0x0101; // the image keeps the low byte
        std::strcpy(usb.data.Description, "Corvina Nova");
        ASSERT_TRUE(device.SetUsbSettings(&usb.data));
        device.m_eepromX.Cbus0 = 7;
        ASSERT_TRUE(device.ProgramEeprom()) << chip;
        device.Disconnect();

        bool xSeries = std::string(chip) == "9";
        EXPECT_TRUE(InOtherProcess([&] {
            CMyCrvUsbDevice station;
            Prepare(station);
            UsbSettingsRecord back;
            return station.ConnectDevice(FALSE) && station.GetUsbSettings(&back.data) &&
                   back.data.ProductId == 0xF209 && back.data.MaxPower == 100 &&
                   back.data.SelfPowered == 1 && back.data.VendorId == 0x0403 &&
                   std::string(back.data.Description) == "Corvina Nova" &&
                   (!xSeries || station.m_eepromX.Cbus0 == 4);
        })) << chip;
    }
    std::string log = ReadText(logPath);
    EXPECT_EQ(Count(log, kUsbRecordLine), 2);
    EXPECT_EQ(Count(log, "ProductId=0xf209\r\nManufacturer=ZKM\r\nManufacturerId=ZK\r\n"
                         "Description=Corvina Nova\r\n"),
              2);
}

struct LongStringsCase {
    const char* chip;
    std::size_t descriptionLength; // beside ZKM and ZK000012
    bool programmed;
};

// Longer strings never cost the record: on an FT232BM, where the user area follows the strings,
// it is carried to its new place; strings that leave it no room, or that the chip cannot hold,
// are refused and nothing changes.
TEST_F(DeviceOnSimulator, TheRecordSurvivesLongerStrings)
{
    const LongStringsCase cases[] = {
        {"9", 33, true}, {"9", 34, false}, {"0", 26, true}, {"0", 27, false}};
    for (const LongStringsCase& c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " " + std::to_string(c.descriptionLength));
        std::remove(dir.File("eeprom.bin").c_str()); // a converter as the configuration has it
        Configure("", c.chip);
        device.Disconnect();
        ASSERT_TRUE(device.ConnectDevice(TRUE));
        UsbSettingsRecord usb;
        ASSERT_TRUE(device.GetUsbSettings(&usb.data));
        const std::string description(c.descriptionLength, 'D');
        std::strcpy(usb.data.Description, description.c_str());
        ASSERT_TRUE(device.SetUsbSettings(&usb.data));
        EXPECT_EQ(device.ProgramEeprom(), c.programmed ? TRUE : FALSE);
        device.Disconnect();

        ASSERT_TRUE(device.ConnectDevice(TRUE));
        ASSERT_TRUE(device.UserAreaValid);
        DeviceData record;
        ASSERT_TRUE(device.GetDeviceData(record));
        EXPECT_EQ(record.DeviceCode, 0x5F);
        EXPECT_EQ(record.SerialPart3, 789);
        UsbSettingsRecord back;
        ASSERT_TRUE(device.GetUsbSettings(&back.data));
        EXPECT_EQ(std::string(back.data.Description), c.programmed ? description : "Corvina Heron 40");
    }
}

TEST_F(DeviceOnSimulator, FailedProgrammingIsStillLogged)
{
    Configure("[Eeprom]\nProgramFails=1\n");
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    EXPECT_FALSE(device.ProgramEeprom());
    EXPECT_EQ(Count(ReadText(logPath), kUsbFailedLine), 1);
    EXPECT_EQ(Count(ReadText(logPath), kUsbRecordLine), 0);
    // The status was stored before the attempt: its number stays used, a gap and never a repeat.
    char section[64] = {};
    EXPECT_TRUE(device.ReadProfileSetting("Status", "Device", "", section, sizeof section));
}

TEST_F(DeviceOnSimulator, WrittenRecordIsLoggedAndReadBack)
{
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    DeviceData data = ExampleRecord();
    data.SerialPart1 = 4660;
    data.SerialPart3 = 7;
    ASSERT_TRUE(device.SetDeviceData(data));
    ASSERT_TRUE(device.WriteUserArea());
    std::string log = ReadText(logPath);
    EXPECT_EQ(Count(log, kDeviceRecordLine), 1);
    EXPECT_NE(log.find("SerialNumber=4660.3456.007\r\n"), std::string::npos);
    device.Disconnect();

    EXPECT_TRUE(InOtherProcess([&] {
        CMyCrvUsbDevice station;
        Prepare(station);
        DeviceData back;
        return station.ConnectDevice(FALSE) && station.GetDeviceData(back) &&
               FormatSerialNumber(back) == "4660.3456.007" && back.LastUpdateDate == k2016_05_06;
    }));
}

TEST_F(DeviceOnSimulator, AFailedRecordWriteIsLoggedAsFailed)
{
    Configure("[UserArea]\nWriteFails=1\n");
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    EXPECT_FALSE(device.WriteUserArea());
    EXPECT_EQ(Count(ReadText(logPath), "*** Device data to user area NOT flashed: the write failed\r\n***\r\n[Device]\r\n"), 1);
    char section[64] = {};
    EXPECT_TRUE(device.ReadProfileSetting("Status", "Device", "", section, sizeof section));
}

TEST_F(DeviceOnSimulator, AnUnwritableLogDoesNotChangeTheWriteResult)
{
    WriteText(dir.File("plain-file"), "x");
    device.WriteProfileSetting("Settings", "LOG", dir.File("plain-file/fertigung.log").c_str());
    ASSERT_TRUE(device.ConnectDevice(TRUE));
    EXPECT_TRUE(device.WriteUserArea());
    EXPECT_TRUE(device.ProgramEeprom());
    auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[0].text.find("plain-file/fertigung.log"), std::string::npos);
}

} // namespace

#endif // KESTRUNE_SIM_LIBRARY
