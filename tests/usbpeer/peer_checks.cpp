// Programs nobody here wrote, against the simulated converter on its simulated USB bus:
// Debian's libftdi1 (through a small client), its ftdi_eeprom and python3-usb. What Kestrune
// programs through the D2XX face must be what they read.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "link/D2xxLibrary.h"
#include "sim/EepromImage.h"
#include "support/TempDir.h"

using namespace d2xx;

namespace {

struct Result {
    int status = -1;
    std::string out;
};

class UsbPeers : public ::testing::Test {
protected:
    UsbPeers()
        : d2xx_("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY),
          simFile_("KESTRUNE_SIM", dir_.File("sim.ini").c_str())
    {
    }
    void TearDown() override { lib_.Free(); }

    void Configure(const std::string& ini) { WriteText(dir_.File("sim.ini"), ini); }

    // A program on the simulated bus, its output and exit status; in a sanitizer build with the
    // sanitizer runtime that the simulator's library needs.
    Result Run(const std::string& command)
    {
        std::string preload;
        if (*KESTRUNE_PEER_PRELOAD)
            preload = " LD_PRELOAD=" KESTRUNE_PEER_PRELOAD " ASAN_OPTIONS=detect_leaks=0";
        const std::string line = "env LD_LIBRARY_PATH=" KESTRUNE_USBSIM_DIR + preload +
                                 " KESTRUNE_SIM='" + dir_.File("sim.ini") + "' " + command + " 2>&1";
        Result r;
        FILE* p = popen(line.c_str(), "r");
        if (!p)
            return r;
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
            r.out.append(buffer, n);
        const int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    Result Client(const std::string& mode, const char* pid = "0xf209")
    {
        return Run(std::string(KESTRUNE_FTDI_CLIENT) + " " + mode + " 0x0403 " + pid);
    }
    Result FtdiEeprom(const char* pid = "0xf209")
    {
        WriteText(dir_.File("ee.conf"), std::string("vendor_id=0x0403\nproduct_id=") + pid +
                                            "\nfilename=" + dir_.File("dump.bin") + "\n");
        return Run(std::string(KESTRUNE_FTDI_EEPROM) + " --verbose --read-eeprom " +
                   dir_.File("ee.conf"));
    }
    std::vector<std::uint8_t> StateImage()
    {
        std::ifstream in(dir_.File("eeprom.bin"), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    FT_HANDLE Open()
    {
        EXPECT_TRUE(lib_.Bind());
        FT_HANDLE h = nullptr;
        EXPECT_EQ(lib_.Open(0, &h), FT_OK);
        return h;
    }

    TempDir dir_;
    ScopedEnv d2xx_;
    ScopedEnv simFile_;
    D2xxLibrary lib_;
};

bool Has(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

// The record's bytes among the 128 words the client printed; its byte offset or -1.
long FindRecord(const std::string& out, const std::array<std::uint8_t, 25>& record)
{
    std::istringstream words(out.substr(out.find("words") + 5));
    std::vector<std::uint8_t> bytes;
    unsigned w;
    while (words >> std::hex >> w) {
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    for (std::size_t i = 0; i + record.size() <= bytes.size(); ++i)
        if (std::equal(record.begin(), record.end(), bytes.begin() + static_cast<long>(i)))
            return static_cast<long>(i);
    return -1;
}

struct ChipCase {
    const char* type;
    const char* release;   // as ftdi_eeprom prints it
    int size;              // bytes libftdi takes the EEPROM to have
    int libftdiType;       // libftdi's own chip enumeration
};

const ChipCase kChips[] = {{"9", "0x1000", 256, 7}, {"5", "0x0600", 128, 3}, {"0", "0x0400", 128, 1}};

TEST_F(UsbPeers, FtdiEepromDecodesWhatTheKeysSet)
{
    for (const ChipCase& chip : kChips) {
        SCOPED_TRACE(chip.type);
        for (bool self : {false, true}) {
            Configure(std::string("[Converter]\nChipType=") + chip.type +
                      "\n[Eeprom]\nProductId=0xF208\nMaxPower=250\nSelfPowered=" + (self ? "1" : "0") +
                      "\nManufacturer=Heron Works\nDescription=Corvina 40\nSerialNumber=HW123456\n");
            const Result r = FtdiEeprom("0xf208");
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(Has(r.out, "VID:     0x0403")) << r.out;
            EXPECT_TRUE(Has(r.out, "PID:     0xf208")) << r.out;
            EXPECT_TRUE(Has(r.out, std::string("Release: ") + chip.release)) << r.out;
            EXPECT_TRUE(Has(r.out, self ? "Self-Powered" : "Bus Powered: 250 mA")) << r.out;
            EXPECT_TRUE(Has(r.out, "Manufacturer: Heron Works")) << r.out;
            EXPECT_TRUE(Has(r.out, "Product:      Corvina 40")) << r.out;
            EXPECT_TRUE(Has(r.out, "Serial:       HW123456")) << r.out;
            EXPECT_TRUE(Has(r.out, "EEPROM size: " + std::to_string(chip.size))) << r.out;
            EXPECT_FALSE(Has(r.out, "Checksum Error")) << r.out;
            // The dump is the simulator's own image.
            std::ifstream in(dir_.File("dump.bin"), std::ios::binary);
            const std::vector<std::uint8_t> dump{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(dump.size(), static_cast<std::size_t>(chip.size));

            const Result c = Client("eeprom", "0xf208");
            EXPECT_TRUE(Has(c.out, "decode 0\n")) << c.out;
            EXPECT_TRUE(Has(c.out, "type " + std::to_string(chip.libftdiType) + "\n")) << c.out;
        }
    }
}

// An image as dumped from a chip is taken word for word; a checksum that does not match is
// what libftdi1 sees too.
TEST_F(UsbPeers, ARawImageIsTheChipsMemory)
{
    sim::EepromImage image(d2xx::FT_DEVICE_232R);
    ASSERT_TRUE(image.Encode(image.DecodeFields(), {"Raw", "From Words", "RW000001"}));
    for (bool spoil : {false, true}) {
        SCOPED_TRACE(spoil);
        std::string words;
        for (std::size_t i = 0; i < image.WordCount(); ++i) {
            char w[8];
            std::snprintf(w, sizeof w, "%04x ", image.Word(i) ^ (spoil && i == 3 ? 1 : 0));
            words += w;
        }
        Configure("[Converter]\nChipType=5\n[Eeprom]\nImage=" + words + "\n");
        const Result r = FtdiEeprom("0x6001");
        EXPECT_EQ(Has(r.out, "Product:      From Words"), !spoil) << r.out;
        EXPECT_EQ(Has(r.out, "Checksum Error"), spoil) << r.out;
        const Result c = Client("eeprom", "0x6001");
        EXPECT_TRUE(Has(c.out, spoil ? "decode -1\n" : "decode 0\n")) << c.out;
    }
}

struct ProgramCase {
    const char* type;
    std::uint32_t chip;
    std::size_t stringsAt;  // where the chip keeps its strings
    std::size_t headerEnd;  // the programmed fields lie below
    std::size_t imageBytes;
    DWORD spareWord;        // a word no field uses
};

// A record is written, then the EEPROM programmed through the D2XX face (strings as long as
// before, so that the user area stays where it is on every chip); libftdi1 and ftdi_eeprom
// read the values back through the USB face, and no other byte changed, the record included.
TEST_F(UsbPeers, WhatTheD2xxFaceProgrammedIsWhatLibftdiReads)
{
    const ProgramCase cases[] = {{"9", FT_DEVICE_X_SERIES, 0xA0, 0x21, 256, 0x11},
                                 {"5", FT_DEVICE_232R, 0x18, 0x14, 128, 0x06},
                                 {"0", FT_DEVICE_BM, 0x14, 0x14, 128, 0x06}};
    for (const ProgramCase& c : cases) {
        SCOPED_TRACE(c.type);
        std::remove(dir_.File("eeprom.bin").c_str());
        std::remove(dir_.File("converter.ini").c_str());
        Configure(std::string("[Converter]\nChipType=") + c.type + "\n");
        FT_HANDLE h = Open();
        ASSERT_NE(h, nullptr);
        // Something the simulator put nowhere: a program that keeps bytes keeps it.
        ASSERT_EQ(lib_.WriteEE(h, c.spareWord, 0xBEEF), FT_OK);
        {
            // A word written alone leaves the checksum behind; whoever writes words writes it too,
            // else the image no longer reads.
            sim::EepromImage e(c.chip);
            e.SetBytes(StateImage());
            e.UpdateChecksum();
            const std::size_t last = e.WordCount() - 1;
            ASSERT_EQ(lib_.WriteEE(h, static_cast<DWORD>(last), e.Word(last)), FT_OK);
        }
        std::array<std::uint8_t, 25> record{};
        for (std::size_t i = 0; i < record.size(); ++i)
            record[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 11));
        ASSERT_EQ(lib_.EE_UAWrite(h, record.data(), 25), FT_OK);
        const std::vector<std::uint8_t> before = StateImage();
        ASSERT_EQ(before.size(), c.imageBytes);

        FT_EEPROM_X_SERIES image{};
        image.common.deviceType = c.chip;
        char m[64] = {}, mi[64] = {}, d[64] = {}, s[64] = {};
        const DWORD size = c.chip == FT_DEVICE_X_SERIES ? sizeof(FT_EEPROM_X_SERIES)
                                                        : sizeof(FT_EEPROM_HEADER);
        ASSERT_EQ(lib_.EEPROM_Read(h, &image, size, m, mi, d, s), FT_OK);
        image.common.ProductId = 0xF20A;
        image.common.MaxPower = 300;
        image.common.SelfPowered = 1;
        // 22 characters, as ZKM, CORVINA USB and KS000001.
        char m2[64] = "Kestrune", d2[64] = "Corvina", s2[64] = "KL0777A";
        if (c.chip == FT_DEVICE_BM) {
            // The older exchange record takes the same way into the image.
            FT_PROGRAM_DATA data{};
            data.Signature2 = 0xFFFFFFFFu;
            char rm[64] = {}, rmi[64] = {}, rd[64] = {}, rs[64] = {};
            data.Manufacturer = rm;
            data.ManufacturerId = rmi;
            data.Description = rd;
            data.SerialNumber = rs;
            ASSERT_EQ(lib_.EE_Read(h, &data), FT_OK);
            EXPECT_EQ(data.ProductId, 0xF209);
            EXPECT_STREQ(rd, "CORVINA USB");
            data.ProductId = 0xF20A;
            data.MaxPower = 300;
            data.SelfPowered = 1;
            data.Manufacturer = m2;
            data.ManufacturerId = mi;
            data.Description = d2;
            data.SerialNumber = s2;
            ASSERT_EQ(lib_.EE_Program(h, &data), FT_OK);
        } else {
            ASSERT_EQ(lib_.EEPROM_Program(h, &image, size, m2, mi, d2, s2), FT_OK);
        }
        lib_.W32_CloseHandle(h);
        lib_.Free();

        const std::vector<std::uint8_t> after = StateImage();
        ASSERT_EQ(after.size(), c.imageBytes);
        const std::size_t stringsEnd = c.stringsAt + 6 + 2 * 22;
        const sim::EepromImage decoded = [&] {
            sim::EepromImage e(c.chip);
            e.SetBytes(after);
            return e;
        }();
        const std::size_t ua = decoded.UserAreaStart();
        for (std::size_t i = 0; i < after.size(); ++i) {
            const bool programmed = (i < c.headerEnd && i / 2 != c.spareWord) ||
                                    (i >= c.stringsAt && i < stringsEnd) || i + 2 >= after.size();
            if (!programmed) {
                EXPECT_EQ(after[i], before[i]) << "byte " << i;
            }
        }
        EXPECT_EQ(after[0x0E], before[0x0E]); // the strings start where they did
        EXPECT_EQ(ua, c.chip == FT_DEVICE_X_SERIES ? 0x24u : stringsEnd);
        EXPECT_EQ(after[2 * c.spareWord + 1], 0xBE);

        const Result r = FtdiEeprom("0xf20a");
        EXPECT_TRUE(Has(r.out, "PID:     0xf20a")) << r.out;
        EXPECT_TRUE(Has(r.out, "Self-Powered")) << r.out;
        EXPECT_TRUE(Has(r.out, "Manufacturer: Kestrune\n")) << r.out;
        EXPECT_TRUE(Has(r.out, "Product:      Corvina\n")) << r.out;
        EXPECT_TRUE(Has(r.out, "Serial:       KL0777A\n")) << r.out;
        EXPECT_FALSE(Has(r.out, "Checksum Error")) << r.out;
        const Result e = Client("eeprom", "0xf20a");
        EXPECT_TRUE(Has(e.out, "decode 0\nvid 1027\npid 61962\nmax_power 300\nself_powered 1\n")) << e.out;
        const Result w = Client("words", "0xf20a");
        EXPECT_EQ(FindRecord(w.out, record), static_cast<long>(ua)) << w.out;
    }
}

TEST_F(UsbPeers, LibftdiIdentifiesTheDisplay)
{
    // Blocking transfers, and submitted ones that complete while libftdi1 handles events.
    for (const char* mode : {"identify", "async"}) {
        for (const char* pace : {"0", "1"}) {
            SCOPED_TRACE(std::string(mode) + " pace " + pace);
            Configure(std::string("[Link]\nPace=") + pace +
                      "\n[Display]\nDeviceId=0x62\nRevision=2.07\n");
            const Result r = Client(mode);
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(Has(r.out, "reply 02 4a 50 55 36 32 32 30 37 03")) << r.out;
        }
    }
}

struct OpenCase {
    const char* ini;
    const char* expected; // libftdi1's return code of the open
};

TEST_F(UsbPeers, OpeningFailsAsOnARealBus)
{
    const OpenCase cases[] = {
        {"", "open 0\n"},
        {"[Converter]\nPresent=0\n", "open -3\n"},      // device not found
        {"[Converter]\nBusy=1\n", "open -5\n"},         // unable to claim
        {"[Converter]\nAccessDenied=1\n", "open -4\n"}, // usb_open failed
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.ini);
        Configure(c.ini);
        EXPECT_TRUE(Has(Client("open").out, c.expected)) << Client("open").out;
    }
}

struct EepromFaultCase {
    const char* ini;
    const char* mode;
    bool fails;
};

// The EEPROM's fault keys fail the chip's EEPROM requests, as far as they reach.
TEST_F(UsbPeers, EepromFaultsReachTheBus)
{
    const EepromFaultCase cases[] = {
        {"[Eeprom]\nReadFails=1\n", "eeprom", true},
        {"[Eeprom]\nReadFails=1\n", "identify", false},
        {"[UserArea]\nReadFails=1\n", "words", true}, // word 0x12 is the user area's first
        {"[UserArea]\nReadFails=1\n", "eeprom", true},
        {"[Eeprom]\nProgramFails=1\n", "words", false},
    };
    for (const EepromFaultCase& c : cases) {
        SCOPED_TRACE(std::string(c.ini) + c.mode);
        Configure(c.ini);
        const Result r = Client(c.mode);
        EXPECT_EQ(r.status != 0, c.fails) << r.out;
        EXPECT_EQ(Has(r.out, "error"), c.fails) << r.out;
    }
}

TEST_F(UsbPeers, APulledCableFailsTheTransfers)
{
    Configure("[Link]\nPullCableAfterBytes=3\n");
    const Result r = Client("identify");
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(Has(r.out, "error write")) << r.out;
    EXPECT_TRUE(Has(r.out, "listed 0\n")) << r.out;
}

TEST_F(UsbPeers, ADtrPulseWakesTheBootLoader)
{
    Configure("[Link]\nPace=1\n");
    const Result r = Client("bootloader");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "answer 3e\n")) << r.out;
}

TEST_F(UsbPeers, PythonUsbListsTheConverters)
{
    Configure("[Converter]\nCount=2\nSerialNumber=KS000042\n[Eeprom]\nMaxPower=90\n");
    const Result r = Run(std::string("/usr/bin/python3 ") + KESTRUNE_LIST_SCRIPT);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "device 0403:f209 bcd=1000 manufacturer=ZKM product=CORVINA USB "
                           "serial=KS000042 attributes=80 power=45 class=ff endpoints=81/64,02/64\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "serial=KS000042-2 ")) << r.out;
}

} // namespace
