// The simulated boot loader: verdicts, flash contents and addresses, request replies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HexFile.h"
#include "support/TempDir.h"
#include "sim/BootLoader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

// Feeds text to the loader and returns what it answered.
std::string Send(sim::BootLoader& loader, const std::string& text, std::uint32_t now = 0) {
    Bytes out;
    loader.Receive({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, now, out);
    return Text(out);
}

// A loader past its wake-up, erase and load requests.
void StartLoading(sim::BootLoader& loader) {
    Bytes out;
    loader.Enter(false, 0, out);
    ASSERT_EQ(Send(loader, "\r\n"), sim::kWakeUpReply);
    ASSERT_EQ(Send(loader, "K\r\n"), sim::kEraseReply);
    ASSERT_EQ(Send(loader, "L\r\n"), sim::kLoadReply);
}

TEST(BootLoaderVerdicts, EachRecordFaultHasItsLetter) {
    sim::BootLoaderConfig config;
    config.flashSize = 0x1000;
    sim::BootLoader loader(config);
    const std::string good = testhex::DataRecord(0x0100, {0x01, 0x02, 0x03});
    std::string nonHex = good;
    nonHex[9] = 'X';
    struct Case {
        const char* what;
        std::string line;
        char verdict;
    } cases[] = {
        {"accepted", good, 'G'},
        {"lower-case digits", testhex::Lower(good), 'G'},
        {"end of file", ":00000001FF", 'G'},
        {"non-hex digit", nonHex, 'H'},
        {"space inside", ":03 0100000102035F", 'H'},
        {"count larger than data", ":0401000001020375", 'L'},
        {"odd digit count", good + "0", 'L'},
        {"too short", ":000000", 'L'},
        {"wrong checksum", good.substr(0, good.size() - 2) + "00", 'S'},
        {"start segment address type", testhex::Record(0x03, 0, {0, 0, 0, 0}), 'R'},
        {"start linear address type", testhex::Record(0x05, 0, {0, 0, 0, 0}), 'R'},
        {"extended address of three bytes", testhex::Record(0x04, 0, {0, 1, 2}), 'L'},
        {"last byte inside the flash", testhex::DataRecord(0x0FFE, {1, 2}), 'G'},
        {"last byte past the flash", testhex::DataRecord(0x0FFF, {1, 2}), 'A'},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(loader.CheckRecord(c.line), c.verdict) << c.what << ": " << c.line;
    }
}

TEST(BootLoaderVerdicts, RecordsAreAnsweredOneLetterEachAndBadOnesAreNotProgrammed) {
    sim::BootLoader loader;
    StartLoading(loader);
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0000, {0xAA, 0xBB}) + "\n"), "G");
    EXPECT_EQ(Send(loader, ":02000200AACC55\n"), "S");
    EXPECT_EQ(Send(loader, ":02001000AAGG00\n"), "H");
    // Family 0 sends every record with an extra LF; blank lines earn no verdict.
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0004, {0x11}) + "\n\n"), "G");
    // The host sends text-mode lines: a CR before the LF is a character of the record.
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0005, {0x22}) + "\r\n"), "H");
    EXPECT_EQ(loader.RecordsSeen(), 5);
    EXPECT_EQ(loader.FlashImage(), (Bytes{0xAA, 0xBB, 0xFF, 0xFF, 0x11}));
    EXPECT_FALSE(loader.Finished());
    EXPECT_EQ(Send(loader, ":00000001FF\n"), std::string("G") + sim::kFinalReply);
    EXPECT_TRUE(loader.Finished());
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0000, {0x00}) + "\n"), "");
}

TEST(BootLoaderFlash, SegmentAndLinearAddressesAreHonoured) {
    sim::BootLoaderConfig config;
    config.flashSize = 0x30000;
    sim::BootLoader loader(config);
    StartLoading(loader);
    // Segment 0x1000 puts offset 0x0002 at 0x10002.
    EXPECT_EQ(Send(loader, testhex::Record(0x02, 0, {0x10, 0x00}) + "\n"), "G");
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0002, {0x5A}) + "\n"), "G");
    // Segment offsets wrap within 64 KiB: 0xFFFF then 0x0000 of the same segment.
    EXPECT_EQ(Send(loader, testhex::DataRecord(0xFFFF, {0x01, 0x02}) + "\n"), "G");
    // Linear 0x0002 puts offset 0x0000 at 0x20000.
    EXPECT_EQ(Send(loader, testhex::Record(0x04, 0, {0x00, 0x02}) + "\n"), "G");
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0000, {0xC3}) + "\n"), "G");
    // Linear 0x0003 is beyond a 192 KiB flash.
    EXPECT_EQ(Send(loader, testhex::Record(0x04, 0, {0x00, 0x03}) + "\n"), "G");
    EXPECT_EQ(Send(loader, testhex::DataRecord(0x0000, {0xC3}) + "\n"), "A");

    const Bytes image = loader.FlashImage();
    ASSERT_EQ(image.size(), 0x20001u);
    EXPECT_EQ(image[0x10002], 0x5A);
    EXPECT_EQ(image[0x1FFFF], 0x01);
    EXPECT_EQ(image[0x10000], 0x02);
    EXPECT_EQ(image[0x20000], 0xC3);
    EXPECT_EQ(image[0x00000], 0xFF);
    EXPECT_EQ(image[0x10001], 0xFF);
}

TEST(BootLoaderFlash, EraseClearsAndANewSessionKeepsTheFlash) {
    sim::BootLoader loader;
    StartLoading(loader);
    Send(loader, testhex::DataRecord(0x0010, {1, 2, 3}) + "\n");
    Bytes out;
    loader.Enter(true, 0, out);
    EXPECT_EQ(loader.FlashImage().size(), 0x13u);
    EXPECT_EQ(Send(loader, "K\r\n"), sim::kEraseReply);
    EXPECT_TRUE(loader.FlashImage().empty());
}

TEST(BootLoaderFlash, SavedImageLoadsBackAndIsReplacedWhole) {
    TempDir dir;
    const std::string file = dir.File("flash.bin");
    sim::BootLoader loader;
    StartLoading(loader);
    Send(loader, testhex::DataRecord(0x0002, {0x10, 0x20}) + "\n");
    ASSERT_TRUE(loader.SaveFlash(file));
    EXPECT_EQ(ReadText(file), std::string("\xFF\xFF\x10\x20", 4));

    sim::BootLoader other;
    ASSERT_TRUE(other.LoadFlash(file));
    EXPECT_EQ(other.FlashImage(), (Bytes{0xFF, 0xFF, 0x10, 0x20}));

    // A shorter image replaces the longer one entirely; no temporary file stays behind.
    Bytes out;
    loader.Enter(true, 0, out);
    Send(loader, "K\r\nL\r\n" + testhex::DataRecord(0x0000, {0x7E}) + "\n");
    ASSERT_TRUE(loader.SaveFlash(file));
    EXPECT_EQ(ReadText(file), "\x7E");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

    EXPECT_FALSE(other.LoadFlash(dir.File("missing.bin")));
    sim::BootLoaderConfig tiny;
    tiny.flashSize = 2;
    sim::BootLoader small(tiny);
    WriteText(dir.File("big.bin"), "123");
    EXPECT_FALSE(small.LoadFlash(dir.File("big.bin")));
}

TEST(BootLoaderRequests, StartsAndRepliesFollowTheConfiguration) {
    {
        sim::BootLoader loader;
        Bytes out;
        EXPECT_EQ(Send(loader, "\r\nK\r\n"), "") << "not entered: the display's firmware runs";
        loader.Enter(true, 0, out);
        EXPECT_EQ(Text(out), "C8051F120 Firmware Updater\r\n");
        EXPECT_EQ(Send(loader, "L\r\n"), "") << "no load before an erase";
        EXPECT_EQ(loader.CurrentMode(), sim::BootLoader::Mode::Commands);
        EXPECT_EQ(Send(loader, "K\r\nL\r\n"), std::string(sim::kEraseReply) + sim::kLoadReply);
        EXPECT_EQ(loader.CurrentMode(), sim::BootLoader::Mode::Records);
    }
    {
        sim::BootLoaderConfig config;
        config.wakeUp = false;
        sim::BootLoader loader(config);
        Bytes out;
        loader.Enter(false, 0, out);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(Send(loader, "\r\nK\r\nL\r\n"), "");
    }
    {
        sim::BootLoaderConfig config;
        config.eraseReply = false;
        config.loadReply = false;
        sim::BootLoader loader(config);
        Bytes out;
        loader.Enter(false, 0, out);
        EXPECT_EQ(Send(loader, "\r\nK\r\nL\r\n"), sim::kWakeUpReply);
        EXPECT_EQ(Send(loader, ":00000001FF\n"), std::string("G") + sim::kFinalReply);
    }
}

TEST(BootLoaderRequests, SlowEraseRepliesLateAndHoldsWhatCameMeanwhile) {
    sim::BootLoaderConfig config;
    config.eraseMs = 3000;
    sim::BootLoader loader(config);
    Bytes out;
    loader.Enter(true, 1000, out);
    EXPECT_EQ(Send(loader, "K\r\nL\r\n", 1000), "");
    loader.Poll(3999, out = {});
    EXPECT_TRUE(out.empty());
    loader.Poll(4000, out);
    EXPECT_EQ(Text(out), std::string(sim::kEraseReply) + sim::kLoadReply);
}

TEST(BootLoaderFaults, RefusalAndPulledCableHitTheNamedRecord) {
    sim::BootLoaderConfig config;
    config.refuseRecord = 2;
    config.refuseReply = "V";
    sim::BootLoader refusing(config);
    StartLoading(refusing);
    EXPECT_EQ(Send(refusing, testhex::DataRecord(0, {1}) + "\n"), "G");
    EXPECT_EQ(Send(refusing, testhex::DataRecord(1, {2}) + "\n"), "V");
    EXPECT_EQ(refusing.FlashImage(), Bytes{1});

    config = {};
    config.pullCableAtRecord = 2;
    sim::BootLoader pulled(config);
    StartLoading(pulled);
    EXPECT_EQ(Send(pulled, testhex::DataRecord(0, {1}) + "\n"), "G");
    EXPECT_FALSE(pulled.CablePulled());
    EXPECT_EQ(Send(pulled, testhex::DataRecord(1, {2}) + "\n" + testhex::DataRecord(2, {3}) + "\n"), "");
    EXPECT_TRUE(pulled.CablePulled());
    EXPECT_EQ(pulled.FlashImage(), Bytes{1});
}

TEST(BootLoaderConfigFile, KeysOverrideDefaults) {
    TempDir dir;
    const std::string ini = dir.File("sim.ini");
    EXPECT_EQ(sim::LoadBootLoaderConfig(ini).banner, "C8051F120 Firmware Updater");
    WriteText(ini, "[BootLoader]\r\nBanner=Other Loader\r\nResetAfterMs=-1\r\nWakeUp=0\r\n"
                             "EraseReply=0\r\nLoadReply=0\r\nEraseMs=2500\r\nRefuseRecord=7:S\r\n"
                             "PullCableAtRecord=9\r\nFlashSize=0x10000\r\nSilentFromRecord=4\r\n"
                             "VerdictDelayMs=150\r\nSplitBannerAt=12\r\n");
    const sim::BootLoaderConfig config = sim::LoadBootLoaderConfig(ini);
    EXPECT_EQ(config.banner, "Other Loader");
    EXPECT_EQ(config.resetAfterMs, -1);
    EXPECT_FALSE(config.wakeUp);
    EXPECT_FALSE(config.eraseReply);
    EXPECT_FALSE(config.loadReply);
    EXPECT_EQ(config.eraseMs, 2500);
    EXPECT_EQ(config.refuseRecord, 7);
    EXPECT_EQ(config.refuseReply, "S");
    EXPECT_EQ(config.pullCableAtRecord, 9);
    EXPECT_EQ(config.flashSize, 0x10000u);
    EXPECT_EQ(config.silentFromRecord, 4);
    EXPECT_EQ(config.verdictDelayMs, 150);
    EXPECT_EQ(config.splitBannerAt, 12);

    WriteText(ini, "[BootLoader]\nRefuseRecord=2:\\x00G\\x4\n");
    EXPECT_EQ(sim::LoadBootLoaderConfig(ini).refuseReply, std::string("\0G\\x4", 5));

    const sim::BootLoaderConfig defaults = sim::LoadBootLoaderConfig(dir.File("none.ini"));
    EXPECT_EQ(defaults.resetAfterMs, 1000);
    EXPECT_TRUE(defaults.wakeUp && defaults.eraseReply && defaults.loadReply);
    EXPECT_EQ(defaults.refuseRecord, 0);
    EXPECT_EQ(defaults.flashSize, 131072u);
}

} // namespace
