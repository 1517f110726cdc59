#include "platform/Profile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

using platform::GetPrivateProfileString;
using platform::GetProfileString;
using platform::WritePrivateProfileString;

namespace {

TEST(Profile, MissingFileSectionOrKeyGivesTheDefault)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    EXPECT_EQ(GetProfileString("Settings", "LOG", "C:\\LOG\\fertigung.log", file), "C:\\LOG\\fertigung.log");
    WriteText(file, "[Settings]\r\nPort=COM3\r\n");
    EXPECT_EQ(GetProfileString("Settings", "LOG", "dflt", file), "dflt");
    EXPECT_EQ(GetProfileString("Other", "Port", "dflt", file), "dflt");
    // A default's trailing blanks go, as on Windows; a null default reads as empty.
    EXPECT_EQ(GetProfileString("Other", "Port", "  x  ", file), "  x");
    char out[8] = "zzzzzzz";
    EXPECT_EQ(GetPrivateProfileString("Other", "Port", nullptr, out, sizeof out, file), 0u);
    EXPECT_STREQ(out, "");
}

TEST(Profile, NamesAreCaseInsensitiveAndValuesTrimmedAndUnquoted)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    WriteText(file, "; comment\n  [ settings ]  \n  port =  COM3  \nQ=\"  quoted  \"\nS='x'\nH=\"half\n"
                    "E=\nnoequals\n[Next]\nport=other\n");
    EXPECT_EQ(GetProfileString("SETTINGS", "PORT", "", file), "COM3");
    EXPECT_EQ(GetProfileString("Settings", "q", "", file), "  quoted  ");
    EXPECT_EQ(GetProfileString("Settings", "S", "", file), "x");
    EXPECT_EQ(GetProfileString("Settings", "H", "", file), "\"half");
    EXPECT_EQ(GetProfileString("Settings", "E", "dflt", file), "");
    EXPECT_EQ(GetProfileString("Settings", "noequals", "dflt", file), "dflt");
    EXPECT_EQ(GetProfileString("next", "Port", "", file), "other");
}

TEST(Profile, ResultIsCutToTheBufferAndTerminated)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    WriteText(file, "[S]\nK=0123456789\n");
    char out[5];
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", out, sizeof out, file), 4u);
    EXPECT_STREQ(out, "0123");
    char one[1] = {'x'};
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", one, 1, file), 0u);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", nullptr, 0, file), 0u);
}

TEST(Profile, NewFileIsWrittenWithCrLfInCallOrder)
{
    TempDir dir;
    const std::string file = dir.File("devinfo.bin");
    ASSERT_TRUE(WritePrivateProfileString("Device", "Type", "0x5f", file));
    ASSERT_TRUE(WritePrivateProfileString("Device", "SerialNumber", "0012.3456.789", file));
    ASSERT_TRUE(WritePrivateProfileString(nullptr, nullptr, nullptr, file));
    ASSERT_TRUE(WritePrivateProfileString("USB", "VendorId", "0x0403", file));
    ASSERT_TRUE(WritePrivateProfileString("Device", "Manufacturing", "04.03.15", file));
    EXPECT_EQ(ReadText(file), "[Device]\r\nType=0x5f\r\nSerialNumber=0012.3456.789\r\nManufacturing=04.03.15\r\n"
                              "[USB]\r\nVendorId=0x0403\r\n");
}

TEST(Profile, RewritingKeepsOtherLinesInPlace)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    WriteText(file, "; head\n[Device]\nType = 0x01\n; about serials\nSerialNumber=1\n\n; tail of Device\n"
                    "[USB]\nVendorId=0x0403\n");
    ASSERT_TRUE(WritePrivateProfileString(" device ", "TYPE ", "0x5f", file));
    ASSERT_TRUE(WritePrivateProfileString("Device", "LastUpdate", "06.05.16", file));
    EXPECT_EQ(ReadText(file), "; head\r\n[Device]\r\nType=0x5f\r\n; about serials\r\nSerialNumber=1\r\n"
                              "LastUpdate=06.05.16\r\n\r\n; tail of Device\r\n[USB]\r\nVendorId=0x0403\r\n");
}

TEST(Profile, DeletingKeysAndSections)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    WriteText(file, "[A]\r\nx=1\r\ny=2\r\n; note\r\n[B]\r\nz=3\r\n[a]\r\nx=4\r\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "X", nullptr, file));
    EXPECT_EQ(ReadText(file), "[A]\r\ny=2\r\n; note\r\n[B]\r\nz=3\r\n[a]\r\n");
    ASSERT_TRUE(WritePrivateProfileString("a", nullptr, nullptr, file));
    EXPECT_EQ(ReadText(file), "[B]\r\nz=3\r\n");
    // Deleting from a missing file succeeds and creates nothing.
    const std::string none = dir.File("none.ini");
    EXPECT_TRUE(WritePrivateProfileString("B", "z", nullptr, none));
    EXPECT_FALSE(PathExists(none));
}

TEST(Profile, WriteFailsWithoutFolderOrSection)
{
    TempDir dir;
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", dir.File("missing/a.ini")));
    EXPECT_FALSE(PathExists(dir.File("missing")));
    EXPECT_FALSE(WritePrivateProfileString(nullptr, "K", "V", dir.File("a.ini")));
}

TEST(Profile, LineBreaksInValuesCannotForgeLines)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    ASSERT_TRUE(WritePrivateProfileString("USB", "Description", "evil\r\n[Device]\r\nType=0x99", file));
    EXPECT_EQ(GetProfileString("Device", "Type", "none", file), "none");
    EXPECT_EQ(GetProfileString("USB", "Description", "", file), "evil  [Device]  Type=0x99");
}

TEST(Profile, StorePathFollowsTheEnvironment)
{
    {
        ScopedEnv profile("KESTRUNE_PROFILE", "/some/where.ini");
        EXPECT_EQ(platform::ProfileStorePath(), "/some/where.ini");
    }
    ScopedEnv profile("KESTRUNE_PROFILE", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(platform::ProfileStorePath(), "/cfg/kestrune/kestrune.ini");
    ScopedEnv relative("XDG_CONFIG_HOME", "rel");
    ScopedEnv home("HOME", "/home/op");
    EXPECT_EQ(platform::ProfileStorePath(), "/home/op/.config/kestrune/kestrune.ini");
}

} // namespace
