#include "platform/Profile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

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
    // A new key goes after the section's last entry, and a comment is one to Win32.
    EXPECT_EQ(ReadText(file), "; head\r\n[Device]\r\nType=0x5f\r\n; about serials\r\nSerialNumber=1\r\n"
                              "\r\n; tail of Device\r\nLastUpdate=06.05.16\r\n[USB]\r\nVendorId=0x0403\r\n");
}

TEST(Profile, DeletingKeysAndSections)
{
    TempDir dir;
    const std::string file = dir.File("a.ini");
    WriteText(file, "[A]\r\nx=1\r\ny=2\r\n; note\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "X", nullptr, file));
    EXPECT_EQ(ReadText(file), "[A]\r\ny=2\r\n; note\r\n[B]\r\nz=3\r\n");
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
    EXPECT_FALSE(WritePrivateProfileString("USB", "Description", "evil\r\n[Device]\r\nType=0x99", file));
    EXPECT_FALSE(PathExists(file));
    ASSERT_TRUE(WritePrivateProfileString("USB", "Description", "plain", file));
    EXPECT_FALSE(WritePrivateProfileString("USB", "Description", "evil\n[Device]", file));
    EXPECT_EQ(ReadText(file), "[USB]\r\nDescription=plain\r\n");
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

// What Windows stations produce and what the Win32 profile functions make of it. The same table
// runs against Wine's implementation when KESTRUNE_WINE_PROBE names our probe program.
namespace parity {

struct Step {
    char op;             // 'G' reads, 'W' writes, 'R' a write we refuse (Win32 would break the file)
    const char* section; // W: nullptr only flushes
    const char* key;     // W: nullptr deletes the section
    const char* value;   // G: the default; W: nullptr deletes the key
    const char* expect;  // G: what is read
};

struct Case {
    const char* name;
    std::string before; // empty: no file
    std::vector<Step> steps;
    std::string after;  // the file afterwards
};

using namespace std::string_literals;

// ASCII text as a UTF-16LE file with its byte-order mark.
std::string Utf16(std::string_view text)
{
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

std::vector<Case> Cases()
{
    const std::string usb = "[USB]\r\nVendorId=0x0403\r\nProductId=0xf208\r\n";
    return {
        {"crlf",
         "[Device]\r\nType=0x5f\r\n",
         {{'G', "Device", "Type", "0x00", "0x5f"}, {'W', "USB", "VendorId", "0x0403", nullptr}},
         "[Device]\r\nType=0x5f\r\n[USB]\r\nVendorId=0x0403\r\n"},
        {"lf-only",
         "[Device]\nType=0x5f\nSerialNumber=0012.3456.789\n",
         {{'G', "Device", "SerialNumber", "", "0012.3456.789"}, {'W', "Device", "Type", "0x60", nullptr}},
         "[Device]\r\nType=0x60\r\nSerialNumber=0012.3456.789\r\n"},
        {"cr-only",
         "[Device]\rType=0x5f\rManufacturing=04.03.15\r[USB]\rVendorId=0x0403\r",
         {{'G', "Device", "Manufacturing", "01.01.00", "04.03.15"},
          {'G', "USB", "VendorId", "", "0x0403"},
          {'W', "Device", "LastUpdate", "06.05.16", nullptr}},
         "[Device]\r\nType=0x5f\r\nManufacturing=04.03.15\r\nLastUpdate=06.05.16\r\n[USB]\r\nVendorId=0x0403\r\n"},
        {"mixed-ends",
         "[Device]\r\nType=0x5f\nSerialNumber=0012.3456.789\rLastUpdate=06.05.16\r\n",
         {{'G', "Device", "Type", "", "0x5f"},
          {'G', "Device", "SerialNumber", "", "0012.3456.789"},
          {'G', "Device", "LastUpdate", "", "06.05.16"}},
         "[Device]\r\nType=0x5f\nSerialNumber=0012.3456.789\rLastUpdate=06.05.16\r\n"},
        {"duplicate-sections",
         "[Device]\r\nType=0x5f\r\n[USB]\r\nVendorId=0x0403\r\n[device]\r\nType=0x01\r\nLastUpdate=06.05.16\r\n",
         {{'G', "Device", "Type", "", "0x5f"},
          {'G', "Device", "LastUpdate", "01.01.00", "01.01.00"},
          {'W', "Device", "Type", "0x60", nullptr},
          {'W', "Device", "LastUpdate", "07.05.16", nullptr}},
         "[Device]\r\nType=0x60\r\nLastUpdate=07.05.16\r\n[USB]\r\nVendorId=0x0403\r\n[device]\r\nType=0x01\r\n"
         "LastUpdate=06.05.16\r\n"},
        {"duplicate-deletes",
         "[A]\r\nx=1\r\n[B]\r\nz=3\r\n[a]\r\nx=4\r\ny=5\r\n",
         {{'W', "A", "x", nullptr, nullptr}, {'W', "A", "y", nullptr, nullptr}, {'W', "a", nullptr, nullptr, nullptr}},
         "[B]\r\nz=3\r\n[a]\r\nx=4\r\n"},
        {"bytes-above-0x7f",
         "[USB]\r\nDescription=Zeile \xE4\xF6\xFC \x80\xFF\r\n",
         {{'G', "USB", "Description", "", "Zeile \xE4\xF6\xFC \x80\xFF"},
          {'W', "USB", "Manufacturer", "Z\xC4M", nullptr},
          {'G', "USB", "Manufacturer", "", "Z\xC4M"}},
         "[USB]\r\nDescription=Zeile \xE4\xF6\xFC \x80\xFF\r\nManufacturer=Z\xC4M\r\n"},
        {"utf16",
         Utf16("[Device]\r\nType=0x5f\r\n" + usb),
         {{'G', "Device", "Type", "0x00", "0x5f"},
          {'G', "USB", "ProductId", "", "0xf208"},
          {'W', "Device", "Type", "0x60", nullptr},
          {'W', "Status", "Device", "Device96Status", nullptr}},
         Utf16("[Device]\r\nType=0x60\r\n" + usb + "[Status]\r\nDevice=Device96Status\r\n")},
        {"utf16-lf-only",
         Utf16("[Device]\nType=0x5f\n"),
         {{'G', "Device", "Type", "0x00", "0x5f"}, {'W', "Device", "Type", "0x61", nullptr}},
         Utf16("[Device]\r\nType=0x61\r\n")},
        {"names-and-values",
         "; by hand\r\n[device]\r\n  type =  0x5f  \r\nQ=\"  quoted  \"\r\nE=\r\nnoequals\r\n",
         {{'G', "DEVICE", "TYPE", "", "0x5f"},
          {'G', "Device", "q", "", "  quoted  "},
          {'G', "Device", "E", "dflt", ""},
          {'G', "Device", "noequals", "dflt", "dflt"},
          {'W', "Device", "TYPE", "0x60", nullptr}},
         "; by hand\r\n[device]\r\ntype=0x60\r\nQ=\"  quoted  \"\r\nE=\r\nnoequals\r\n"},
        {"new-file",
         "",
         {{'G', "Device", "Type", "0x00", "0x00"},
          {'W', "Device", "Type", "0x5f", nullptr},
          {'W', "USB", "VendorId", "0x0403", nullptr}},
         "[Device]\r\nType=0x5f\r\n[USB]\r\nVendorId=0x0403\r\n"},
        // A header needs its closing bracket: without one the line is an entry of the section
        // before it, and its keys stay there.
        {"open-bracket",
         "[A\r\nK=1\r\n[X]\r\nJ=0\r\n[B\r\nL=2\r\n[C=3\r\n",
         {{'G', "A", "K", "d", "d"},
          {'G', "", "K", "d", "1"},
          {'G', "X", "L", "d", "2"},
          {'G', "X", "[C", "d", "3"},
          {'W', "A", "K", "4", nullptr}},
         "[A\r\nK=1\r\n[X]\r\nJ=0\r\n[B\r\nL=2\r\n[C=3\r\n[A]\r\nK=4\r\n"},
        {"last-bracket",
         "[Dev]ice]\r\nK=1\r\n[Usb]\r\nV=2\r\n",
         {{'G', "Dev", "K", "d", "d"},
          {'G', "Dev]ice", "K", "d", "1"},
          {'W', "Dev]ice", "L", "2", nullptr},
          {'W', "[X", "K", "3", nullptr},
          {'G', "[X", "K", "d", "3"}},
         "[Dev]ice]\r\nK=1\r\nL=2\r\n[Usb]\r\nV=2\r\n[[X]\r\nK=3\r\n"},
        {"comment-keys",
         "[A]\r\n;K=1\r\n#L=2\r\n; note\r\n[B]\r\n",
         {{'G', "A", ";K", "d", "1"},
          {'G', "A", "#L", "d", "2"},
          {'G', "A", "K", "d", "d"},
          {'G', "A", "; note", "d", "d"},
          {'W', "A", "M", "3", nullptr}},
         "[A]\r\n;K=1\r\n#L=2\r\n; note\r\nM=3\r\n[B]\r\n"},
        {"keys-before-any-section",
         "; head\r\nK=1\r\nJ=2\r\n[A]\r\nL=2\r\n",
         {{'G', "", "K", "d", "1"},
          {'G', " ", "J", "d", "2"},
          {'G', "A", "K", "d", "d"},
          {'W', "", "K", "5", nullptr},
          {'W', "", "H", "6", nullptr},
          {'W', "", "J", nullptr, nullptr},
          {'W', "A", "L", "7", nullptr}},
         "; head\r\nK=5\r\nH=6\r\n[A]\r\nL=7\r\n"},
        {"head-section-deleted",
         "K=1\r\n[A]\r\nL=2\r\n",
         {{'W', "", nullptr, nullptr, nullptr}, {'G', "A", "L", "d", "2"}},
         "[A]\r\nL=2\r\n"},
        {"head-of-a-new-file",
         "",
         {{'W', "", "K", "1", nullptr}, {'W', "A", "K", "2", nullptr}, {'G', "", "K", "d", "1"}},
         "K=1\r\n[A]\r\nK=2\r\n"},
        // "[]" is a later section without a name: a nameless read finds the first one.
        {"empty-brackets",
         "[]\r\nK=1\r\n[ ]\r\nJ=2\r\n[A] ; by hand\r\n=v\r\n",
         {{'G', "", "K", "d", "d"}, {'G', " ", "J", "d", "d"}, {'G', "A", "", "d", "v"}},
         "[]\r\nK=1\r\n[ ]\r\nJ=2\r\n[A] ; by hand\r\n=v\r\n"},
        {"nul-inside",
         "[A]\r\nK=ab\0cd\r\nQ=\"ab\0cd\"\r\nN\0x=3\r\nL=2\r\n"s,
         {{'G', "A", "K", "d", "ab"}, {'G', "A", "Q", "d", "\"ab"}, {'G', "A", "N", "d", "3"},
          {'G', "A", "L", "d", "2"}},
         "[A]\r\nK=ab\0cd\r\nQ=\"ab\0cd\"\r\nN\0x=3\r\nL=2\r\n"s},
        // An 8-bit file's text as it stands; names match without regard to ASCII case only.
        {"non-ascii",
         "[GR\xDCN]\r\n\xC4K=1\r\nU=Gr\xC3\xBC\xC3\x9F" "e\r\n",
         {{'G', "gr\xFCn", "\xE4k", "d", "d"},
          {'G', "gr\xDCn", "\xC4k", "d", "1"},
          {'G', "GR\xDCN", "u", "d", "Gr\xC3\xBC\xC3\x9F" "e"}},
         "[GR\xDCN]\r\n\xC4K=1\r\nU=Gr\xC3\xBC\xC3\x9F" "e\r\n"},
        {"line-breaks-written",
         "[A]\r\nK=1\r\n",
         {{'R', "A", "K", "x\r\ny=2", nullptr},
          {'R', "A", "N", "a\nb", nullptr},
          {'R', "A", "C", "a\rb", nullptr},
          {'R', "B\r\nC", "K", "1", nullptr},
          {'R', "A", "K\r\nL", "1", nullptr},
          {'W', "A", "K\r\nL", nullptr, nullptr},
          {'G', "A", "K", "d", "1"},
          {'G', "A", "y", "d", "d"}},
         "[A]\r\nK=1\r\n"},
        {"keys-that-read-back-otherwise",
         "[A]\r\n",
         {{'R', "A", "[X]", "1", nullptr}, {'R', "A", "[X", "a]b", nullptr}, {'R', "A", "a=b", "1", nullptr},
          {'W', "A", "[X", "1", nullptr}, {'G', "A", "[X", "d", "1"}},
         "[A]\r\n[X=1\r\n"},
        {"utf16-odd-length",
         Utf16("[A]\r\nK=1\r\n") + "Z",
         {{'G', "A", "K", "d", "1"}, {'W', "A", "K", "2", nullptr}},
         Utf16("[A]\r\nK=2\r\nZ\r\n")},
    };
}

} // namespace parity

TEST(ProfileParity, OurFunctionsFollowTheTable)
{
    for (const parity::Case& c : parity::Cases()) {
        TempDir dir;
        const std::string file = dir.File("devinfo.bin");
        if (!c.before.empty())
            WriteText(file, c.before);
        for (const parity::Step& step : c.steps) {
            if (step.op == 'G')
                EXPECT_EQ(GetProfileString(step.section, step.key, step.value, file), step.expect)
                    << c.name << ": " << step.section << "/" << step.key;
            else
                EXPECT_EQ(WritePrivateProfileString(step.section, step.key, step.value, file), step.op == 'W')
                    << c.name << ": " << (step.section ? step.section : "-") << "/" << (step.key ? step.key : "-");
        }
        EXPECT_EQ(ReadText(file), c.after) << c.name;
    }
}

std::string Hex(std::string_view text)
{
    std::string out;
    char digits[3];
    for (char c : text) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        out += digits;
    }
    return out;
}

// A field of the probe's script: "-" for a null pointer, "." for an empty text.
std::string Field(const char* text)
{
    if (text == nullptr)
        return "-";
    return *text == '\0' ? "." : Hex(text);
}

std::string WindowsPath(const std::string& path)
{
    std::string out = "Z:" + path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// One Wine start for the whole table: every step of every case goes into one script.
TEST(ProfileParity, WineFollowsTheSameTable)
{
    const char* probe = std::getenv("KESTRUNE_WINE_PROBE");
    const char* wine = std::getenv("KESTRUNE_WINE");
    if (probe == nullptr || wine == nullptr)
        GTEST_SKIP() << "KESTRUNE_WINE and KESTRUNE_WINE_PROBE name no Wine and probe program";
    TempDir dir;
    const auto cases = parity::Cases();
    std::string script;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string file = dir.File("case" + std::to_string(i) + ".bin");
        if (!cases[i].before.empty())
            WriteText(file, cases[i].before);
        for (const parity::Step& step : cases[i].steps)
            if (step.op != 'R') // Win32 writes it and breaks the file
                script += std::string(1, step.op) + "\t" + Hex(WindowsPath(file)) + "\t" + Field(step.section) +
                      "\t" + Field(step.key) + "\t" + Field(step.value) + "\n";
    }
    WriteText(dir.File("script.txt"), script);
    const std::string command = std::string(wine) + " " + probe + " '" + WindowsPath(dir.File("script.txt")) +
                                "' > " + dir.File("out.txt") + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::istringstream out(ReadText(dir.File("out.txt")));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        for (const parity::Step& step : cases[i].steps) {
            if (step.op == 'R')
                continue;
            std::string line;
            ASSERT_TRUE(std::getline(out, line)) << cases[i].name << ": no answer";
            if (!line.empty() && line.back() == '\r')
                line.pop_back(); // the probe's standard output is a Windows text stream
            if (step.op == 'G') {
                const auto blank = line.find(' ');
                const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
                EXPECT_EQ(value, Hex(step.expect))
                    << cases[i].name << ": " << step.section << "/" << step.key;
            } else {
                EXPECT_EQ(line, "1") << cases[i].name;
            }
        }
        EXPECT_EQ(ReadText(dir.File("case" + std::to_string(i) + ".bin")), cases[i].after) << cases[i].name;
    }
}

} // namespace
