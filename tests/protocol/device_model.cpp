#include <gtest/gtest.h>

#include <set>

#include "FakeLink.h"
#include "support/TempDir.h"
#include "protocol/DeviceModel.h"

namespace {

TEST(DeviceModelTable, LookupAndShortNames)
{
    EXPECT_EQ(FindDeviceModel(89), 11);
    EXPECT_STREQ(DeviceModelTable[11].ShortName, "Opal");
    EXPECT_EQ(FindDeviceModel(100), 0);
    EXPECT_EQ(FindDeviceModel(70), 20);
    for (std::uint32_t missing : {0u, 0xFFFFFFFFu, 71u, 89u + 0x100u})
        EXPECT_EQ(FindDeviceModel(missing), -1) << missing;
    EXPECT_STREQ(ShortNameOf(95), "KV40c");
    EXPECT_STREQ(ShortNameOf(0xFFFFFFFFu), "");
    EXPECT_STREQ(ShortNameOf(71), "");
}

TEST(DeviceModelTable, RowsAreConsistent)
{
    std::set<std::uint32_t> ids;
    for (const DeviceModelInfo& row : DeviceModelTable) {
        ids.insert(row.DeviceId);
        EXPECT_EQ(row.TableSize, 16);
        EXPECT_EQ(row.AuxWriteBytes, 0);
        // The 38400-baud rows take no configuration parameters and no init values.
        const bool plain = row.BaudRate == 38400;
        EXPECT_EQ(row.ExtraUnits1, plain ? 0 : 1) << row.ShortName;
        EXPECT_EQ(row.Option1, plain ? 0 : 2) << row.ShortName;
        EXPECT_EQ(row.Option4, plain ? 0 : 1) << row.ShortName;
        for (std::int32_t v : row.InitValues)
            EXPECT_EQ(v, plain ? 0 : 10) << row.ShortName;
        EXPECT_NE(std::u16string(row.DisplayName).find(u"(with Front Control Rail)"), std::u16string::npos);
    }
    EXPECT_EQ(ids.size(), 21u);
    // Spot checks of the columns that differ between rows.
    const DeviceModelInfo& vr80s = DeviceModelTable[FindDeviceModel(91)];
    EXPECT_EQ(vr80s.LeadingCells, 20);
    EXPECT_EQ(vr80s.Option2, 1);
    const DeviceModelInfo& vr40 = DeviceModelTable[FindDeviceModel(64)];
    EXPECT_EQ(vr40.LeadingCells, 13);
    EXPECT_EQ(vr40.SpareCount, 4);
    EXPECT_EQ(DeviceModelTable[FindDeviceModel(87)].MainCells, 66);
    EXPECT_EQ(DeviceModelTable[FindDeviceModel(100)].BaudRate, 115200);
    EXPECT_EQ(DeviceModelTable[FindDeviceModel(89)].Option2, 0);
    EXPECT_EQ(DeviceModelTable[FindDeviceModel(94)].Option2, 1);
    EXPECT_STREQ(DeviceModelTable[FindDeviceModel(91)].ShortName, "KVVR-80s");
    EXPECT_EQ(std::u16string(DeviceModelTable[FindDeviceModel(89)].DisplayName),
              u"CORVINA OPAL (with Front Control Rail)");
}

class RegistrySettings : public testing::Test {
protected:
    void Use(const std::string& values)
    {
        WriteText(file, "Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\r\n" + values);
    }
    TempDir dir;
    std::string file = dir.File("registry.reg");
    ScopedEnv env{"KESTRUNE_REGISTRY", file.c_str()};
};

TEST_F(RegistrySettings, MissingFileOrKeyLeavesZeros)
{
    FakeLink none;
    EXPECT_EQ(none.LoggingMode, 0);
    EXPECT_EQ(none.BaudRateOverride, 0);
    EXPECT_EQ(none.ReadUserAreaMethod, 0);
    WriteText(file, "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\OTHER]\n\"BaudRate\"=\"9600\"\n");
    FakeLink otherKey;
    EXPECT_EQ(otherKey.BaudRateOverride, 0);
}

TEST_F(RegistrySettings, LoggingModeBytes)
{
    struct Case {
        const char* value;
        std::int32_t expected;
    };
    for (const Case& c : {Case{"hex:03,02", 0x23}, Case{"hex:00,05", 0}, Case{"hex:03,02,01", 0},
                          Case{"hex:07", 7}, Case{"dword:00000001", 0}, Case{"\"1\"", 0x31}}) {
        Use(std::string("\"LoggingMode\"=") + c.value + "\r\n");
        FakeLink device;
        EXPECT_EQ(device.LoggingMode, c.expected) << c.value;
    }
}

TEST_F(RegistrySettings, NumberTexts)
{
    struct Case {
        const char* value;
        std::int32_t expected;
    };
    for (const Case& c : {Case{"\"0\"", 0}, Case{"\"\"", 0}, Case{"\"38400\"", 38400},
                          Case{"\"38400baud\"", 38400}, Case{"\"fast\"", 0}, Case{"\"  -12x\"", -12},
                          Case{"\"+9600\"", 9600}, Case{"\"99999999999\"", 2147483647},
                          Case{"\"00\"", 0}, Case{"dword:0001c200", 0},
                          Case{"\"0123456789012345678901234567890123\"", 0}}) {
        Use(std::string("\"BaudRate\"=") + c.value + "\r\n\"ReadUserAreaMethod\"=" + c.value + "\r\n");
        FakeLink device;
        EXPECT_EQ(device.BaudRateOverride, c.expected) << c.value;
        EXPECT_EQ(device.ReadUserAreaMethod, c.expected) << c.value;
    }
    // A 32-byte binary value has no terminating NUL; it must not be read past.
    std::string hex = "hex:";
    for (int i = 0; i < 32; ++i)
        hex += i ? ",31" : "31";
    Use("\"BaudRate\"=" + hex + "\r\n\"ReadUserAreaMethod\"=\"2\"\r\n\"LoggingMode\"=hex:01,00\r\n");
    FakeLink device;
    EXPECT_EQ(device.BaudRateOverride, 2147483647);
    EXPECT_EQ(device.ReadUserAreaMethod, 2);
    EXPECT_EQ(device.LoggingMode, 1);
}

TEST(SelectDeviceModel, CopiesTheRowOrChangesNothing)
{
    FakeLink device;
    EXPECT_EQ(device.SelectionKind, 0);
    EXPECT_EQ(device.DeviceId, -1);
    EXPECT_EQ(device.SelectDeviceModel(2, 66), 66);
    EXPECT_EQ(device.SelectionKind, 2);
    EXPECT_EQ(device.DeviceId, 66);
    EXPECT_EQ(device.MainCells, 80);
    EXPECT_EQ(device.TrailingCells, 2);
    EXPECT_EQ(device.BaudRate, 38400);
    for (std::int32_t v : device.InitValues)
        EXPECT_EQ(v, 0);

    EXPECT_EQ(device.SelectDeviceModel(1, 64), 64);
    EXPECT_EQ(device.LeadingCells, 13);
    EXPECT_EQ(device.SpareCount, 4);

    EXPECT_EQ(device.SelectDeviceModel(2, 95), 95);
    EXPECT_EQ(device.SelectDeviceModel(3, 5), -1);
    EXPECT_EQ(device.SelectionKind, 2);
    EXPECT_EQ(device.DeviceId, 95);
    EXPECT_EQ(device.MainCells, 40);
    EXPECT_EQ(device.LeadingCells, 0);
    EXPECT_EQ(device.SpareCount, 0);
    EXPECT_EQ(device.ExtraUnits1, 1);
    EXPECT_EQ(device.Option2, 1);
    EXPECT_EQ(device.BaudRate, 57600);
    EXPECT_EQ(device.InitValues[5], 10);
}

} // namespace
