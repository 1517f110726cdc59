// libkestrune-ftdi.so itself, loaded as any program loads it, over the simulated bus that this
// process gets in place of libusb (LD_LIBRARY_PATH): the EEPROM path word by word, packet
// boundaries of both chip speeds, a converter leaving mid-transfer and a close from another
// thread. Runs under the sanitizers like every other test.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/D2xx.h"
#include "support/TempDir.h"

using namespace d2xx;

namespace {

using Clock = std::chrono::steady_clock;

class Provider : public ::testing::Test {
protected:
    Provider() : simFile_("KESTRUNE_SIM", dir_.File("sim.ini").c_str()) {}

    void SetUp() override
    {
        lib_ = dlopen(KESTRUNE_FTDI_PROVIDER, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
        // The provider's libusb is the simulated bus, found through LD_LIBRARY_PATH.
        bus_ = dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(bus_, nullptr) << "not on the simulated bus";
        ASSERT_NE(dlsym(bus_, "KestruneUsbSim_Reset"), nullptr) << "libusb is not the simulated bus";
    }

    void TearDown() override
    {
        if (h_)
            Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h_);
    }

    template <typename F>
    F Fn(const char* name)
    {
        auto f = reinterpret_cast<F>(dlsym(lib_, name));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    template <typename F>
    F Bus(const char* name)
    {
        return reinterpret_cast<F>(dlsym(bus_, name));
    }

    // A converter of the chip type with the extra keys, opened.
    void Start(unsigned chip, const std::string& extra = "")
    {
        if (h_)
            Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h_);
        h_ = nullptr;
        std::filesystem::remove_all(dir_.File("state"));
        std::filesystem::create_directories(dir_.File("state"));
        WriteText(dir_.File("sim.ini"), "[Converter]\nChipType=" + std::to_string(chip) +
                                            "\n[Link]\nLatencyTimerMs=2\n[State]\nFolder=" +
                                            dir_.File("state") + "\n" + extra);
        Bus<void (*)()>("KestruneUsbSim_Reset")();
        ASSERT_EQ(Fn<FT_STATUS (*)(int, FT_HANDLE*)>("FT_Open")(0, &h_), FT_OK);
    }

    std::vector<WORD> Words()
    {
        std::vector<WORD> words(64);
        for (DWORD i = 0; i < words.size(); ++i)
            EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, DWORD, WORD*)>("FT_ReadEE")(h_, i, &words[i]), FT_OK);
        return words;
    }

    FT_STATUS EeRead(FT_PROGRAM_DATA& data, std::vector<char>& strings)
    {
        strings.assign(4 * 64, 0);
        data = FT_PROGRAM_DATA{};
        data.Signature1 = 0;
        data.Signature2 = 0xFFFFFFFFu;
        data.Manufacturer = strings.data();
        data.ManufacturerId = strings.data() + 64;
        data.Description = strings.data() + 128;
        data.SerialNumber = strings.data() + 192;
        return Fn<FT_STATUS (*)(FT_HANDLE, FT_PROGRAM_DATA*)>("FT_EE_Read")(h_, &data);
    }

    FT_STATUS UaWrite(std::vector<UCHAR> bytes)
    {
        return Fn<FT_STATUS (*)(FT_HANDLE, UCHAR*, DWORD)>("FT_EE_UAWrite")(
            h_, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

    void Timeouts(DWORD constantMs)
    {
        FTTIMEOUTS t{0, 0, constantMs, 0, 1000};
        ASSERT_NE(Fn<BOOL (*)(FT_HANDLE, FTTIMEOUTS*)>("FT_W32_SetCommTimeouts")(h_, &t), 0);
    }

    BOOL Read(std::vector<std::uint8_t>& buffer, DWORD& got)
    {
        return Fn<BOOL (*)(FT_HANDLE, void*, DWORD, DWORD*, void*)>("FT_W32_ReadFile")(
            h_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    }

    void Inject(const std::vector<std::uint8_t>& bytes)
    {
        Bus<void (*)(const std::uint8_t*, std::uint32_t)>("KestruneUsbSim_InjectFromDisplay")(
            bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    TempDir dir_;
    ScopedEnv simFile_;
    void* lib_ = nullptr;
    void* bus_ = nullptr;
    FT_HANDLE h_ = nullptr;
};

TEST_F(Provider, EepromWritesOfTheKnownChipsAreCheckedAndKeepTheChecksum)
{
    for (unsigned chip : {0u, 5u, 9u}) {
        SCOPED_TRACE("chip type " + std::to_string(chip));
        Start(chip);
        FT_PROGRAM_DATA data;
        std::vector<char> strings;
        ASSERT_EQ(EeRead(data, strings), FT_OK);

        // The record goes where the user area is, and the checksum follows it on the chips
        // whose area it covers: the image still reads afterwards.
        ASSERT_EQ(UaWrite(std::vector<UCHAR>(25, 0x5A)), FT_OK);
        ASSERT_EQ(EeRead(data, strings), FT_OK);
        data.ProductId = 0x1234;
        std::strcpy(data.Description, "Checked unit");
        ASSERT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, FT_PROGRAM_DATA*)>("FT_EE_Program")(h_, &data), FT_OK);
        ASSERT_EQ(EeRead(data, strings), FT_OK);
        EXPECT_EQ(data.ProductId, 0x1234);
        EXPECT_STREQ(data.Description, "Checked unit");

        // Strings that would not read back as given are refused before a word is written.
        const auto eeProgram = Fn<FT_STATUS (*)(FT_HANDLE, FT_PROGRAM_DATA*)>("FT_EE_Program");
        const std::vector<WORD> kept = Words();
        for (char* field : {data.Description, data.Manufacturer, data.SerialNumber}) {
            const std::string was = field;
            for (const char* text : {"Gr\xc3\xb6\xc3\x9f" "e", "a\nb", "\x7f"}) {
                std::strcpy(field, text);
                EXPECT_EQ(eeProgram(h_, &data), FT_INVALID_PARAMETER) << text;
            }
            std::strcpy(field, was.c_str());
        }
        std::strcpy(data.SerialNumber, "KS00000100000001");
        EXPECT_EQ(eeProgram(h_, &data), FT_INVALID_PARAMETER);
        EXPECT_EQ(Words(), kept);

        // A chip programmed elsewhere with characters beyond ASCII is read as it is.
        Start(chip, "[Eeprom]\nDescription=Gr\xfc\xdf" "e\n");
        ASSERT_EQ(EeRead(data, strings), FT_OK);
        EXPECT_STREQ(data.Description, "Gr\xfc\xdf" "e");

        // A word that does not take its value is a failed write, not a success.
        Start(chip, "[Eeprom]\nWordWriteCorrupts=1\n");
        EXPECT_EQ(UaWrite(std::vector<UCHAR>(25, 0x33)), FT_EEPROM_WRITE_FAILED);

        // An image whose checksum does not match is no image, until it is programmed whole.
        Start(chip);
        std::vector<WORD> words = Words();
        ASSERT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, DWORD, WORD)>("FT_WriteEE")(h_, 2, words[2] ^ 0x0100), FT_OK);
        EXPECT_EQ(EeRead(data, strings), FT_EEPROM_NOT_PROGRAMMED);
        std::vector<std::uint8_t> image(chip == 9 ? sizeof(FT_EEPROM_X_SERIES) : sizeof(FT_EEPROM_232B));
        reinterpret_cast<FT_EEPROM_HEADER*>(image.data())->deviceType = chip;
        char m[64], mi[64], d[64], s[64];
        const auto eepromRead =
            Fn<FT_STATUS (*)(FT_HANDLE, void*, DWORD, char*, char*, char*, char*)>("FT_EEPROM_Read");
        EXPECT_EQ(eepromRead(h_, image.data(), static_cast<DWORD>(image.size()), m, mi, d, s),
                  FT_EEPROM_NOT_PROGRAMMED);
        FT_PROGRAM_DATA whole{};
        std::vector<char> wholeStrings;
        EeRead(whole, wholeStrings);
        whole.VendorId = 0x0403;
        whole.ProductId = 0x6015;
        std::strcpy(whole.Manufacturer, "ZKM");
        std::strcpy(whole.Description, "Mended");
        std::strcpy(whole.SerialNumber, "KS000001");
        ASSERT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, FT_PROGRAM_DATA*)>("FT_EE_Program")(h_, &whole), FT_OK);
        EXPECT_EQ(EeRead(data, strings), FT_OK);
        EXPECT_STREQ(data.Description, "Mended");
    }
}

TEST_F(Provider, ChipsOfAnotherLayoutAreNeverWritten)
{
    for (unsigned chip : {4u, 6u, 7u, 8u}) {
        SCOPED_TRACE("chip type " + std::to_string(chip));
        Start(chip);
        DWORD type = 99;
        ASSERT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, DWORD*, DWORD*, char*, char*, void*)>("FT_GetDeviceInfo")(
                      h_, &type, nullptr, nullptr, nullptr, nullptr),
                  FT_OK);
        EXPECT_EQ(type, chip);
        const std::vector<WORD> before = Words();
        FT_PROGRAM_DATA data;
        std::vector<char> strings;
        EeRead(data, strings);
        std::vector<std::uint8_t> image(sizeof(FT_EEPROM_X_SERIES));
        reinterpret_cast<FT_EEPROM_HEADER*>(image.data())->deviceType = chip;
        char text[64] = "x";
        EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, FT_PROGRAM_DATA*)>("FT_EE_Program")(h_, &data), FT_NOT_SUPPORTED);
        EXPECT_EQ((Fn<FT_STATUS (*)(FT_HANDLE, void*, DWORD, char*, char*, char*, char*)>("FT_EEPROM_Program")(
                      h_, image.data(), static_cast<DWORD>(image.size()), text, text, text, text)),
                  FT_NOT_SUPPORTED);
        EXPECT_EQ(UaWrite(std::vector<UCHAR>(25, 0x11)), FT_NOT_SUPPORTED);
        EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, DWORD, WORD)>("FT_WriteEE")(h_, 2, 0x1111), FT_NOT_SUPPORTED);
        EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE)>("FT_EraseEE")(h_), FT_NOT_SUPPORTED);
        EXPECT_EQ(Words(), before);
    }
}

TEST_F(Provider, EveryPacketLosesItsStatusBytesAtEitherSpeed)
{
    // 64-byte packets on a full-speed chip, 512 on a high-speed one: the data must come out
    // whole and in order, however many packets one transfer carries.
    std::vector<std::uint8_t> sent(3000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    for (unsigned chip : {9u, 8u}) {
        SCOPED_TRACE("chip type " + std::to_string(chip));
        Start(chip);
        Timeouts(3000);
        Inject(sent);
        std::vector<std::uint8_t> got(sent.size());
        DWORD n = 0;
        ASSERT_NE(Read(got, n), 0);
        got.resize(n);
        EXPECT_EQ(got, sent);
    }
}

TEST_F(Provider, AConverterLeavingMidTransferDeliversWhatCameThenFails)
{
    Start(9, "[Link]\nPullCableAfterReadBytes=100\n");
    Timeouts(20000);
    Inject(std::vector<std::uint8_t>(300, 0x42));
    std::vector<std::uint8_t> buffer(300);
    DWORD n = 0;
    const auto start = Clock::now();
    EXPECT_NE(Read(buffer, n), 0);
    EXPECT_EQ(n, 100u);
    // The loss ends the wait: nobody sits out the read time-out for a converter that is gone.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    DWORD queued = 7;
    EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE, DWORD*)>("FT_GetQueueStatus")(h_, &queued), FT_IO_ERROR);
    EXPECT_EQ(Read(buffer, n), 0);
    EXPECT_EQ(n, 0u);
}

TEST_F(Provider, ACloseFromAnotherThreadWakesEveryCallerWithAnError)
{
    for (int round = 0; round < 5; ++round) {
        Start(9);
        Timeouts(0); // reads wait for ever
        const auto setMask = Fn<BOOL (*)(FT_HANDLE, ULONG)>("FT_W32_SetCommMask");
        ASSERT_NE(setMask(h_, 0x1), 0);
        std::atomic<int> done{0};
        BOOL readOk = 1;
        BOOL waitOk = 1;
        FT_HANDLE h = h_;
        std::thread reader([&] {
            std::vector<std::uint8_t> buffer(16);
            DWORD n = 0;
            readOk = Fn<BOOL (*)(FT_HANDLE, void*, DWORD, DWORD*, void*)>("FT_W32_ReadFile")(
                h, buffer.data(), 16, &n, nullptr);
            ++done;
        });
        std::thread waiter([&] {
            ULONG events = 0;
            waitOk = Fn<BOOL (*)(FT_HANDLE, ULONG*, void*)>("FT_W32_WaitCommEvent")(h, &events, nullptr);
            ++done;
        });
        std::thread poller([&] {
            DWORD queued = 0;
            while (Fn<FT_STATUS (*)(FT_HANDLE, DWORD*)>("FT_GetQueueStatus")(h, &queued) == FT_OK) {
                DWORD status = 0;
                Fn<BOOL (*)(FT_HANDLE, DWORD*)>("FT_W32_GetCommModemStatus")(h, &status);
            }
            ++done;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h_), FT_OK);
        h_ = nullptr;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (done < 3 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(done, 3) << "a caller still waits on a closed handle";
        reader.join();
        waiter.join();
        poller.join();
        EXPECT_EQ(readOk, 0);
        EXPECT_EQ(waitOk, 0);
        EXPECT_EQ(Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h), FT_INVALID_HANDLE);
    }
}

TEST_F(Provider, ASerialLongerThanTheListOpensByWhatTheListGave)
{
    Start(9, "[Converter]\nCount=2\n[Eeprom]\nSerialNumber=KS00000100000001\n");
    Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h_);
    h_ = nullptr;
    char listed[64] = {};
    ASSERT_EQ(Fn<FT_STATUS (*)(void*, void*, DWORD)>("FT_ListDevices")(
                  reinterpret_cast<void*>(std::uintptr_t{0}), listed, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    EXPECT_STREQ(listed, "KS0000010000000");
    const auto openEx = Fn<FT_STATUS (*)(void*, DWORD, FT_HANDLE*)>("FT_OpenEx");
    EXPECT_EQ(openEx(listed, FT_OPEN_BY_SERIAL_NUMBER, &h_), FT_OK);
    ASSERT_NE(h_, nullptr);
    Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h_);
    h_ = nullptr;
    // The whole serial names it as well; a shorter piece of it names nothing.
    char whole[] = "KS00000100000001";
    EXPECT_EQ(openEx(whole, FT_OPEN_BY_SERIAL_NUMBER, &h_), FT_OK);
    Fn<FT_STATUS (*)(FT_HANDLE)>("FT_Close")(h_);
    h_ = nullptr;
    char piece[] = "KS000001";
    EXPECT_EQ(openEx(piece, FT_OPEN_BY_SERIAL_NUMBER, &h_), FT_DEVICE_NOT_FOUND);
}

} // namespace
