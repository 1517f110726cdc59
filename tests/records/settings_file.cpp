// Settings files: the byte-exact sections, the loading defaults and rules, the profile store.
#include <gtest/gtest.h>

#include <filesystem>

#include "records/ProductionLog.h"

#include "RecordsDevice.h"
#include "platform/LastError.h"
#include "platform/Ui.h"
#include "records/SettingsFile.h"

namespace {

using namespace records_test;

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { SetUpExample(device, dir); }

    DeviceData Record()
    {
        DeviceData data;
        device.GetDeviceData(data);
        return data;
    }
    std::uint16_t VendorId() const { return device.m_eepromX.common.VendorId; }
    std::string Load(const std::string& text)
    {
        std::string path = dir.File("devinfo.bin");
        WriteText(path, text);
        return path;
    }

    ScopedTimeZone tz;
    TempDir dir;
    platform::ScopedRecordingUi ui;
    CMyCrvUsbDevice device;
};

TEST_F(SettingsFile, SavedFileIsByteExactAndLoadsBack)
{
    std::string path = dir.File("devinfo.bin");
    ASSERT_TRUE(device.SaveSettingsFile(path.c_str()));
    EXPECT_EQ(ReadText(path), kExampleDeviceSection + kExampleUsbSection);

    CMyCrvUsbDevice other;
    other.ChipType = d2xx::FT_DEVICE_X_SERIES;
    ASSERT_TRUE(other.LoadSettingsFile(path.c_str()));
    EXPECT_EQ(other.UserAreaImage, device.UserAreaImage);
    EXPECT_EQ(other.m_eepromX.common.ProductId, 0xF208);
    EXPECT_EQ(other.m_eepromX.common.MaxPower, 250);
    EXPECT_EQ(other.m_eepromX.common.RemoteWakeup, 1);
    EXPECT_STREQ(other.Description.data(), "Corvina Heron 40");
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(SettingsFile, SavingOverAFileKeepsItsOtherLines)
{
    std::string path = Load("; written by hand\r\n[Device]\r\nType=0x01\r\nNote=keep me\r\n"
                            "[Other]\r\nA=1\r\n");
    ASSERT_TRUE(device.SaveSettingsFile(path.c_str()));
    std::string text = ReadText(path);
    EXPECT_NE(text.find("; written by hand\r\n"), std::string::npos);
    EXPECT_NE(text.find("Note=keep me\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Other]\r\nA=1\r\n"), std::string::npos);
    EXPECT_NE(text.find("Type=0x5f\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Type=0x01"), std::string::npos);
}

TEST_F(SettingsFile, MissingKeysGiveTheDefaultsAndAreNamed)
{
    std::string path = Load("[USB]\r\nVendorId=0x1234\r\n");
    ASSERT_TRUE(device.LoadSettingsFile(path.c_str()));
    DeviceData data = Record();
    EXPECT_EQ(data.DeviceCode, 0);
    EXPECT_EQ(FormatSerialNumber(data), "0000.0000.000");
    EXPECT_EQ(data.ManufacturingDate, k2000_01_01);
    EXPECT_EQ(data.LastUpdateDate, k2000_01_01);
    EXPECT_EQ(VendorId(), 0x1234);
    EXPECT_EQ(device.m_eepromX.common.ProductId, 0xF208);
    EXPECT_EQ(device.m_eepromX.common.MaxPower, 0x01F4);
    EXPECT_EQ(device.m_eepromX.common.SelfPowered, 0);
    EXPECT_EQ(device.m_eepromX.common.RemoteWakeup, 1);
    EXPECT_STREQ(device.Manufacturer.data(), "ZKM");
    EXPECT_STREQ(device.ManufacturerId.data(), "ZK");
    EXPECT_STREQ(device.Description.data(), "Corvina KV");
    EXPECT_STREQ(device.SerialNumber.data(), "ZK000001");
    ASSERT_EQ(device.SettingsFileMissingKeys.size(), 4u + 16u);
    EXPECT_EQ(device.SettingsFileMissingKeys.front(), "[Device] Type");
    EXPECT_EQ(device.SettingsFileMissingKeys[4], "[USB] ProductId");
    EXPECT_EQ(device.SettingsFileMissingKeys.back(), "[USB] USBVersion");

    ASSERT_TRUE(device.SaveSettingsFile(path.c_str()));
    ASSERT_TRUE(device.LoadSettingsFile(path.c_str()));
    EXPECT_TRUE(device.SettingsFileMissingKeys.empty());
}

// Nothing is loaded from what is no settings file: the defaults would reach the display.
TEST_F(SettingsFile, WhatIsNoSettingsFileIsRefusedWithItsReason)
{
    const UserAreaImageBuffer before = device.UserAreaImage;
    std::string random(4096, '\0');
    for (std::size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<char>((i * 7919 + 13) % 251);
    const std::string noSections = Load(random);
    ASSERT_TRUE(std::filesystem::create_directory(dir.File("folder.bin")));
    const std::string huge = dir.File("huge.bin");
    WriteText(huge, "[Device]\r\nType=0x01\r\n");
    std::filesystem::resize_file(huge, (16u << 20) + 1); // sparse: costs no disk
    const std::string cases[][2] = {
        {dir.File("no-such-file.bin"), ": no such file"},
        {noSections, ": no [Device] and no [USB] section; not a settings file"},
        {dir.File("folder.bin"), ": not a regular file"},
        {"/dev/zero", ": not a regular file"},
        {huge, ": larger than 16 MiB"},
    };
    for (const auto& [path, reason] : cases) {
        EXPECT_FALSE(device.LoadSettingsFile(path.c_str())) << path;
        EXPECT_EQ(device.SettingsFileProblem, path + reason);
        EXPECT_EQ(device.UserAreaImage, before) << path;
        EXPECT_EQ(VendorId(), 0x0403) << path;
    }
}

TEST_F(SettingsFile, DatesRollOverOrLeaveTheRecordYears)
{
    std::string path = Load("[Device]\r\nManufacturing=31.02.15\r\nLastUpdate=01.01.40\r\n");
    ASSERT_TRUE(device.LoadSettingsFile(path.c_str()));
    DeviceData data = Record();
    EXPECT_EQ(FormatShortDate(data.ManufacturingDate), "03.03.15");
    // 2040 is accepted on loading but the record holds only 2000 to 2037.
    EXPECT_EQ(FormatShortDate(data.LastUpdateDate), "01.01.00");
}

TEST_F(SettingsFile, OnlyOverlongStringsAreCut)
{
    std::string longText(100, 'x');
    std::string path = Load("[Device]\r\nType=0x5f\r\n[USB]\r\nDescription=" + longText + "\r\n");
    ASSERT_TRUE(device.LoadSettingsFile(path.c_str()));
    EXPECT_EQ(std::string(device.Description.data()), longText.substr(0, 63));
}

// A value that cannot be read stops the load, names key and value, and changes nothing.
TEST_F(SettingsFile, RefusedValuesStopTheLoadWithNothingChanged)
{
    struct Case {
        const char* lines; // [USB] lines after a [USB] line, else [Device] lines
        std::int32_t hresult;
        const char* detail;
    };
    const Case cases[] = {
        {"Manufacturing=32.01.15\r\n", platform::E_FAIL, "Manufacturing=32.01.15: not a date DD.MM.YY"},
        {"Manufacturing=00.01.15\r\n", platform::E_FAIL, "Manufacturing=00.01.15: not a date DD.MM.YY"},
        {"Manufacturing=99.99.99\r\n", platform::E_FAIL, "Manufacturing=99.99.99: not a date DD.MM.YY"},
        {"Manufacturing=4.3\r\n", platform::E_FAIL, "Manufacturing=4.3: not a date DD.MM.YY"},
        {"Manufacturing=01.01.15\r\nLastUpdate=01.00.16\r\n", platform::E_FAIL,
         "LastUpdate=01.00.16: not a date DD.MM.YY"},
        {"Type=0xZZ\r\n", platform::E_FAIL, "Type=0xZZ: not a number 0xNN"},
        {"Type=5f\r\n", platform::E_FAIL, "Type=5f: not a number 0xNN"},
        {"SerialNumber=12-3456-789\r\n", platform::E_FAIL,
         "SerialNumber=12-3456-789: not a serial number NNNN.NNNN.NNN"},
        {"[USB]ProductId=0403\r\n", platform::E_FAIL, "ProductId=0403: not a number 0xNNNN"},
        {"[USB]SelfPowered=yes\r\n", platform::E_FAIL, "SelfPowered=yes: not a number 0xNNNN"},
        {"[USB]PnP=on\r\n", platform::E_FAIL, "PnP=on: not a number"},
        // Values that read but that the converter cannot take are not cut to fit.
        {"[USB]ProductId=0x10000\r\n", platform::E_FAIL, "ProductId=0x10000: larger than 0xffff, the largest USB ID"},
        {"[USB]Description=a\tb\r\n", platform::E_FAIL, "Description=a\tb: holds a control character"},
    };
    for (const Case& c : cases) {
        UserAreaImageBuffer before = device.UserAreaImage;
        const std::string lines = c.lines;
        const bool usb = lines.rfind("[USB]", 0) == 0;
        std::string path = Load("[Device]\r\n" + (usb ? "" : lines) + "[USB]\r\nVendorId=0x1234\r\n" +
                                (usb ? lines.substr(5) : ""));
        try {
            device.LoadSettingsFile(path.c_str());
            ADD_FAILURE() << c.lines << " was loaded";
        } catch (const platform::CommandError& e) {
            EXPECT_EQ(e.HResult(), c.hresult) << c.lines;
            EXPECT_EQ(e.what(), platform::ErrorText(c.hresult) + "\n" + c.detail);
        }
        EXPECT_EQ(device.UserAreaImage, before) << c.lines;
        EXPECT_EQ(VendorId(), 0x0403) << c.lines;
    }
}

TEST_F(SettingsFile, ValuesTheRecordCannotHoldFailTheLoad)
{
    UserAreaImageBuffer before = device.UserAreaImage;
    std::string path = Load("[Device]\r\nSerialNumber=-001.0001.001\r\n[USB]\r\nVendorId=0x1234\r\n");
    EXPECT_FALSE(device.LoadSettingsFile(path.c_str()));
    EXPECT_EQ(device.UserAreaImage, before);
    EXPECT_EQ(VendorId(), 0x0403);
}

TEST_F(SettingsFile, NullPathsAndUnwritableFiles)
{
    EXPECT_FALSE(device.SaveSettingsFile(nullptr));
    EXPECT_FALSE(device.LoadSettingsFile(nullptr));
    EXPECT_FALSE(device.SaveDeviceDataSection(nullptr));
    EXPECT_FALSE(device.SaveUsbSection(nullptr));
    EXPECT_FALSE(device.LoadDeviceDataSection(nullptr));
    EXPECT_FALSE(device.LoadUsbSection(nullptr));
    std::string inMissingFolder = dir.File("missing/devinfo.bin");
    EXPECT_FALSE(device.SaveSettingsFile(inMissingFolder.c_str()));
}

TEST_F(SettingsFile, ProfileStoreReadsWhatItWrote)
{
    char value[16] = {};
    EXPECT_TRUE(device.ReadProfileSetting("Settings", "Port", "COM1:", value, sizeof value));
    EXPECT_STREQ(value, "COM1:");
    EXPECT_FALSE(device.ReadProfileSetting("Settings", "Port", "", value, sizeof value));
    ASSERT_TRUE(device.WriteProfileSetting("Settings", "Port", "COM7:"));
    EXPECT_TRUE(device.ReadProfileSetting("settings", "PORT", "COM1:", value, sizeof value));
    EXPECT_STREQ(value, "COM7:");
    EXPECT_EQ(ReadText(device.ProfilePath), "[Settings]\r\nPort=COM7:\r\n");
    char small[4] = {};
    device.ReadProfileSetting("Settings", "Port", "", small, sizeof small);
    EXPECT_STREQ(small, "COM");
}

TEST(SettingsSections, UnreadFieldsAreWrittenWithTheLoadDefaults)
{
    UsbSettingsRecord usb;
    usb.data.PnP = 7;
    usb.data.USBVersion = 0x200;
    records::SetUsbLoadDefaults(usb.data);
    const records::KeyValues values = records::UsbSectionValues(usb.data);
    ASSERT_EQ(values.size(), 17u);
    std::string text = records::FormatSection("USB", values);
    EXPECT_NE(text.find("\r\nPnP=1\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nRev4=1\r\nIsoIn=0\r\nIsoOut=0\r\nPullDownEnable=1\r\nSerNumEnable=1\r\n"
                        "USBVersionEnable=0\r\nUSBVersion=0x0110\r\n"),
              std::string::npos);
}

TEST(SettingsSections, StoredValuesAreSingleLinesThatCannotForgeALogRecord)
{
    EXPECT_EQ(records::FormatSection("USB", {{"Description", "a\r\n*** USB data flashed"}, {"Manufacturer", "Z\tK"}}),
              "[USB]\r\nDescription=a  *** USB data flashed\r\nManufacturer=Z K\r\n");
    const std::string header = records::FormatLogHeader({0, "OP\r\n***", "PC\n"}, false, false);
    EXPECT_EQ(header.substr(header.find("] USER")), "] USER \"OP  ***\" on COMPUTER \"PC \"\r\n"
                                                   "*** USB data NOT flashed: the write failed\r\n***\r\n");
}

} // namespace
