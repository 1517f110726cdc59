// Binding the D2XX provider: a missing provider, providers that lack entries, safe results
// through empty entries.
#include "firmware/HexFile.h"
#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "platform/Ui.h"
#include "UsbSimFixture.h"
#include "platform/SimulationSwitch.h"

#include <filesystem>
#include <fstream>

using namespace d2xx;

namespace {

TEST(D2xxBinding, EmptyEntriesAnswerSafely)
{
    D2xxLibrary lib; // nothing loaded
    DWORD n = 0;
    WORD w = 0;
    UCHAR buffer[25] = {};
    FTDCB dcb{};
    FTTIMEOUTS timeouts{};
    EXPECT_EQ(lib.ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.GetDriverVersion(nullptr, &n), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.EE_UARead(nullptr, buffer, 25, &n), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.ReadEE(nullptr, 0x12, &w), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.Rescan(), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.SetLatencyTimer(nullptr, 2), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.SetChars(nullptr, 'G', 1, 0, 0), FT_NOT_SUPPORTED);
    EXPECT_EQ(lib.W32_CreateFile("x", 0, 0, nullptr, 0, 0, nullptr), InvalidHandle());
    EXPECT_FALSE(lib.W32_GetCommState(nullptr, &dcb));
    EXPECT_FALSE(lib.W32_SetCommTimeouts(nullptr, &timeouts));
    EXPECT_FALSE(lib.W32_WriteFile(nullptr, buffer, 1, &n));
    EXPECT_FALSE(lib.W32_CloseHandle(nullptr));
}

TEST(D2xxBinding, ProviderFilesInTheirOrder)
{
    {
        ScopedEnv none("KESTRUNE_D2XX", nullptr);
        const std::vector<std::string> files = D2xxLibrary::ProviderFiles();
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files[0], "libftd2xx.so");
        EXPECT_EQ(files[1], platform::ExecutableFolder() + "/libkestrune-ftdi.so");
        // Installed: lib/kestrune beside the program's bin folder, under the same prefix.
        const auto prefix = std::filesystem::path(platform::ExecutableFolder()).parent_path();
        EXPECT_EQ(files[2], (prefix / "lib" / "kestrune" / "libkestrune-ftdi.so").string());
    }
    ScopedEnv other("KESTRUNE_D2XX", "/opt/x/libother.so");
    EXPECT_EQ(D2xxLibrary::ProviderFiles(), std::vector<std::string>{"/opt/x/libother.so"});
}

TEST(D2xxBinding, AChosenProviderThatDoesNotLoadIsNamed)
{
    TempDir dir;
    const std::string broken = dir.File("libbroken.so");
    { std::ofstream(broken) << "not a shared object"; }
    // A file that is not there at all is named too: a typo must not read as "no converter".
    for (const std::string& file : {broken, dir.File("libtypo.so")}) {
        ScopedEnv provider("KESTRUNE_D2XX", file.c_str());
        D2xxLibrary lib;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(lib.Bind());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("kestrune: the D2XX provider " + file + " does not load: ", 0), 0u) << err;
        EXPECT_EQ(D2xxLibrary::DescribeProvider(), "none found");
    }
}

TEST(D2xxBinding, WithoutAProviderOpenFailsQuietly)
{
    TempDir dir;
    ScopedEnv provider("KESTRUNE_D2XX", dir.File("libnone.so").c_str());
    platform::ScopedRecordingUi ui;
    CCrvUsbDevice device;
    EXPECT_FALSE(device.OpenPort("USB"));
    EXPECT_FALSE(device.Library().IsLoaded());
    EXPECT_TRUE(ui.Boxes().empty());
    EXPECT_TRUE(ui.Beeps().empty());
    device.ClosePort();
}

class ReducedProvider : public UsbSimTest {
protected:
    explicit ReducedProvider(const char* library) : UsbSimTest(library) {}
    platform::ScopedRecordingUi ui_;
};

class WithoutOptionalEntries : public ReducedProvider {
protected:
    WithoutOptionalEntries() : ReducedProvider(KESTRUNE_SIM_NOOPT) {}
};

TEST_F(WithoutOptionalEntries, OpensAndAnswersNotSupported)
{
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_TRUE(ui_.Boxes().empty());
    DWORD version = 0;
    EXPECT_EQ(device.Library().GetLibraryVersion(&version), FT_NOT_SUPPORTED);
    EXPECT_EQ(device.Library().SetLatencyTimer(device.DeviceHandle(), 2), FT_NOT_SUPPORTED);
    device.ClosePort();

    // Without rescan and reload the retry still waits its two steps.
    Configure("[Converter]\nPresent=0\n");
    const std::uint32_t before = platform::GetTickCount();
    EXPECT_FALSE(device.OpenPort("USB"));
    EXPECT_EQ(platform::GetTickCount() - before, 500u);
}

// Without FT_SetChars the update sets its verdict character through the DCB, keeps DTR set
// while it does (a drop would restart the display) and gives the DCB back.
TEST_F(WithoutOptionalEntries, TheUpdateSetsTheVerdictCharacterThroughTheDcb)
{
    Configure("[State]\nFolder=" + dir_.Path() + "\n");
    CCrvUsbDevice device;
    ASSERT_TRUE(device.OpenPort("USB"));
    EXPECT_EQ(device.Library().SetChars(device.DeviceHandle(), 'G', 1, 0, 0), FT_NOT_SUPPORTED);
    FTDCB before{};
    ASSERT_TRUE(control_.GetCommState(&before));
    const testhex::Image image = testhex::MakeImage(256, 16);
    WriteText(dir_.File("kv.hex"), image.text);
    class Watching : public platform::RecordingUpdateSink {
    public:
        explicit Watching(sim::SimControl& control) : control_(control) {}
        void RecordSent(std::uint32_t) override
        {
            FTDCB dcb{};
            control_.GetCommState(&dcb);
            seen += dcb.EvtChar;
            seen += (control_.ModemLines() & 1u) ? '1' : '0';
        }
        std::string seen;

    private:
        sim::SimControl& control_;
    } sink(control_);

    EXPECT_EQ(UpdateFirmware(device, dir_.File("kv.hex"), &sink, FamilyKv), 0);
    std::string expected;
    for (int i = 0; i < image.records; ++i)
        expected += "G1";
    EXPECT_EQ(sink.seen, expected);
    FTDCB dcb{};
    ASSERT_TRUE(control_.GetCommState(&dcb));
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.BaudRate, before.BaudRate) << "the rest of the line as it was";
    EXPECT_EQ(dcb.fRtsControl, before.fRtsControl);
    device.ClosePort();
    EXPECT_EQ(ReadText(dir_.File("flash.bin")), std::string(image.data.begin(), image.data.end()));
}

class WithoutARequiredEntry : public ReducedProvider {
protected:
    WithoutARequiredEntry() : ReducedProvider(KESTRUNE_SIM_NOREQ) {}
};

TEST_F(WithoutARequiredEntry, FailsAndKeepsTheModuleForTheNextBinding)
{
    CCrvUsbDevice device;
    EXPECT_FALSE(device.OpenPort("USB"));
    EXPECT_TRUE(device.Library().IsLoaded());
    EXPECT_TRUE(ui_.Boxes().empty());
    EXPECT_FALSE(control_.IsOpen());

    // The kept module counts as bound; the entries after the missing one stay empty, so the
    // driver-version query answers "not supported".
    EXPECT_TRUE(device.BindD2xxLibrary());
    EXPECT_FALSE(device.OpenPort("USB"));
    ASSERT_EQ(ui_.Boxes().size(), 1u);
    EXPECT_EQ(ui_.Boxes()[0].caption, "Very old Driver Version");
    EXPECT_TRUE(control_.IsOpen());
    device.ClosePort();
    EXPECT_FALSE(device.Library().IsLoaded());
    EXPECT_FALSE(control_.IsOpen());
}

class WithoutEraseEntry : public ReducedProvider {
protected:
    WithoutEraseEntry() : ReducedProvider(KESTRUNE_SIM_NOERASE) {}
};

TEST_F(WithoutEraseEntry, TheWordEntriesAreRequiredTogether)
{
    CCrvUsbDevice device;
    EXPECT_FALSE(device.OpenPort("USB"));
    EXPECT_TRUE(device.Library().IsLoaded());
    EXPECT_TRUE(ui_.Boxes().empty());
}

} // namespace
