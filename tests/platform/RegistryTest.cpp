#include "platform/Registry.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

const char* const kKey = "SOFTWARE\\ZKM\\CORVINA";

std::vector<std::uint8_t> Bytes(const std::string& s)
{
    return {s.begin(), s.end()};
}

RegistryValue Query(const RegistryKey& key, const std::string& name)
{
    RegistryValue value;
    std::uint32_t size = 0;
    EXPECT_EQ(key.QueryValue(name, &value.type, nullptr, &size), ERROR_SUCCESS) << name;
    value.data.resize(size);
    EXPECT_EQ(key.QueryValue(name, nullptr, value.data.data(), &size), ERROR_SUCCESS) << name;
    return value;
}

std::string Utf16Le(const std::string& ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

const std::string kExport = "Windows Registry Editor Version 5.00\r\n"
                            "\r\n"
                            "[HKEY_CURRENT_USER\\SOFTWARE\\ZKM]\r\n"
                            "\"BaudRate\"=\"1200\"\r\n"
                            "\r\n"
                            "[HKEY_CURRENT_USER\\Software\\zkm\\Corvina]\r\n"
                            "\"LoggingMode\"=hex:03,02\r\n"
                            "\"BaudRate\"=\"38400\"\r\n"
                            "\"ReadUserAreaMethod\"=dword:0000002a\r\n"
                            "\"Path\"=\"C:\\\\LOG\\\\\\\"x\\\"\"\r\n"
                            "@=\"default\"\r\n"
                            "\"Long\"=hex:01,02,03,\\\r\n"
                            "  04,05\r\n"
                            "\"Wide\"=hex(2):41,00,42,00,00,00\r\n"
                            "\"Gone\"=\"x\"\r\n"
                            "\"Gone\"=-\r\n"
                            "\r\n"
                            "[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA\\Sub]\r\n"
                            "\"Inner\"=\"no\"\r\n";

TEST(Registry, ValuesOfAnExportAreReadWithTheirTypes)
{
    const auto key = RegistryKey::FromText(kExport, kKey);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(Query(*key, "LoggingMode").data, (std::vector<std::uint8_t>{3, 2}));
    EXPECT_EQ(Query(*key, "LoggingMode").type, REG_BINARY);
    EXPECT_EQ(Query(*key, "baudrate").data, Bytes(std::string("38400", 6)));
    EXPECT_EQ(Query(*key, "BaudRate").type, REG_SZ);
    EXPECT_EQ(Query(*key, "ReadUserAreaMethod").data, (std::vector<std::uint8_t>{0x2a, 0, 0, 0}));
    EXPECT_EQ(Query(*key, "ReadUserAreaMethod").type, REG_DWORD);
    EXPECT_EQ(Query(*key, "Path").data, Bytes(std::string("C:\\LOG\\\"x\"", 11)));
    EXPECT_EQ(Query(*key, "").data, Bytes(std::string("default", 8)));
    EXPECT_EQ(Query(*key, "Long").data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(Query(*key, "Wide").type, REG_EXPAND_SZ);
    EXPECT_EQ(Query(*key, "Wide").data, Bytes(std::string("AB", 3)));
    std::uint32_t size = 0;
    EXPECT_EQ(key->QueryValue("Gone", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key->QueryValue("Inner", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, QueryFollowsTheAnsiCallsBufferRules)
{
    const auto key = RegistryKey::FromText("REGEDIT4\n[HKCU\\SOFTWARE\\ZKM\\CORVINA]\n"
                                           "\"LoggingMode\"=hex:03,02,01\n\"BaudRate\"=\"38400\"\n",
                                           kKey);
    ASSERT_TRUE(key.has_value());
    // Three bytes into a two-byte buffer: nothing copied, the needed size reported.
    std::uint8_t two[2] = {0, 0};
    std::uint32_t size = sizeof two;
    std::uint32_t type = REG_BINARY;
    EXPECT_EQ(key->QueryValue("LoggingMode", &type, two, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(two[0], 0);
    // The text's NUL counts: six bytes do not fit in five.
    char text[6];
    size = 5;
    EXPECT_EQ(key->QueryValue("BaudRate", nullptr, reinterpret_cast<std::uint8_t*>(text), &size), ERROR_MORE_DATA);
    size = 6;
    EXPECT_EQ(key->QueryValue("BaudRate", &type, reinterpret_cast<std::uint8_t*>(text), &size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "38400");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(key->QueryValue("BaudRate", nullptr, reinterpret_cast<std::uint8_t*>(text), nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(Registry, Utf16ExportIsDecoded)
{
    std::string text = kExport;
    text.insert(text.find("@="), "\"Umlaut\"=\"\xC3\xA4\"\r\n");
    // Build the UTF-16 form by hand, with the a-umlaut as one code unit.
    std::string wide = "\xFF\xFE";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) == 0xC3) {
            wide += '\xE4';
            wide += '\0';
            ++i;
            continue;
        }
        wide += text[i];
        wide += '\0';
    }
    const auto key = RegistryKey::FromText(wide, kKey);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(Query(*key, "BaudRate").data, Bytes(std::string("38400", 6)));
    EXPECT_EQ(Query(*key, "Wide").data, Bytes(std::string("AB", 3)));
    EXPECT_EQ(Query(*key, "Umlaut").data, Bytes(std::string("\xC3\xA4", 3)));
}

TEST(Registry, MissingKeyHeaderOrDeletedKeyMeansAbsent)
{
    EXPECT_FALSE(RegistryKey::FromText("", kKey));
    EXPECT_FALSE(RegistryKey::FromText("REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM]\n\"A\"=\"1\"\n", kKey));
    EXPECT_FALSE(RegistryKey::FromText("[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\n\"A\"=\"1\"\n", kKey));
    EXPECT_FALSE(RegistryKey::FromText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZKM\\CORVINA]\n", kKey));
    EXPECT_FALSE(RegistryKey::FromText(Utf16Le("REGEDIT4\r\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\r\n"
                                               "[-HKEY_CURRENT_USER\\SOFTWARE\\ZKM]\r\n"),
                                       kKey));
    // An empty key exists; a key deleted and written again holds only the later values.
    EXPECT_TRUE(RegistryKey::FromText("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\n", kKey));
    const auto again = RegistryKey::FromText("REGEDIT4\n[HKCU\\SOFTWARE\\ZKM\\CORVINA]\n\"A\"=\"1\"\n"
                                             "[-HKCU\\SOFTWARE\\ZKM\\CORVINA]\n[HKCU\\SOFTWARE\\ZKM\\CORVINA]\n"
                                             "\"B\"=\"2\"\n",
                                             kKey);
    ASSERT_TRUE(again.has_value());
    std::uint32_t size = 0;
    EXPECT_EQ(again->QueryValue("A", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(again->QueryValue("B", nullptr, nullptr, &size), ERROR_SUCCESS);
}

TEST(Registry, MalformedLinesAreSkipped)
{
    const auto key = RegistryKey::FromText("REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\n"
                                           "\"A\"=hex:0g,01\n"
                                           "\"B\"=hex:123\n"
                                           "\"C\"=dword:123456789\n"
                                           "\"D\"=\"unterminated\n"
                                           "\"E\"=hex(zz):00\n"
                                           "\"F\"\n"
                                           "\"G\"=something\n"
                                           "garbage ] [ \\\n"
                                           "\"H\"=\"ok\"\n"
                                           "[broken\n"
                                           "\"I\"=\"after a broken key line\"\n",
                                           kKey);
    ASSERT_TRUE(key.has_value());
    std::uint32_t size = 0;
    for (const char* name : {"A", "B", "C", "D", "E", "F", "G", "I"})
        EXPECT_EQ(key->QueryValue(name, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << name;
    EXPECT_EQ(Query(*key, "H").data, Bytes(std::string("ok", 3)));
}

TEST(Registry, FileComesFromTheEnvironment)
{
    TempDir dir;
    const std::string file = dir.File("registry.reg");
    WriteText(file, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\ZKM\\CORVINA]\r\n\"BaudRate\"=\"0\"\r\n");
    ScopedEnv reg("KESTRUNE_REGISTRY", file.c_str());
    EXPECT_EQ(RegistryFilePath(), file);
    EXPECT_TRUE(RegistryKey::OpenCurrentUser(kKey).has_value());
    EXPECT_FALSE(RegistryKey::OpenCurrentUser("SOFTWARE\\Other").has_value());
    ScopedEnv missing("KESTRUNE_REGISTRY", dir.File("none.reg").c_str());
    EXPECT_FALSE(RegistryKey::OpenCurrentUser(kKey).has_value());
    ScopedEnv unset("KESTRUNE_REGISTRY", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", dir.Path().c_str());
    EXPECT_EQ(RegistryFilePath(), dir.Path() + "/kestrune/registry.reg");
}

} // namespace
