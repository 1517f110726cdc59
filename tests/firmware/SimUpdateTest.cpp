// Whole updates against the simulated converter and boot loader, on the virtual clock that
// both sides share.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "HexFile.h"
#include "support/TempDir.h"
#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "platform/Clock.h"
#include "platform/Sha256.h"
#include "sim/d2xx/KestruneSim.h"

#ifdef KESTRUNE_SIM_LIBRARY

namespace {

const std::string kReady = "Kestrune is ready";
const std::string kErasing = "Erasing flash memory, please wait...";
const std::string kPleaseReset = "Please reset the device to start the firmware update procedure";

std::uint32_t SharedTickCount() { return platform::GetTickCount(); }

// The status texts that report progress, as their percentages.
std::vector<int> ProgressTexts(const std::vector<std::string>& texts) {
    const std::string prefix = "Updating flash memory: ";
    std::vector<int> percents;
    for (const std::string& text : texts) {
        if (text.rfind(prefix, 0) == 0) {
            EXPECT_EQ(text.substr(text.size() - 2), " %");
            percents.push_back(std::atoi(text.c_str() + prefix.size()));
        }
    }
    return percents;
}

// Also keeps the line of a refused record, and acts on chosen status texts.
class ActingSink : public platform::RecordingUpdateSink {
public:
    std::function<void(const std::string&)> onText;
    std::uint32_t refusedLine = 0;
    void ShowStatusText(const std::string& text) override {
        if (onText) {
            onText(text);
        }
        RecordingUpdateSink::ShowStatusText(text);
    }
    void RecordRefused(std::uint32_t line) override { refusedLine = line; }
    bool StopRequested() override { return stop || (stopAt != 0 && platform::GetTickCount() >= stopAt); }
    std::atomic<bool> stop{false};
    std::uint32_t stopAt = 0; // a tick count from which the stop is asked for; 0 never
};

// The chip's event character as FT_W32_GetCommState shows it: 0 when off.
char EventChar(sim::SimControl& control) {
    d2xx::FTDCB dcb{};
    EXPECT_TRUE(control.GetCommState(&dcb));
    return dcb.EvtChar;
}

class SimUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClock(&clock_);
        setenv("KESTRUNE_D2XX", KESTRUNE_SIM_LIBRARY, 1);
        setenv("KESTRUNE_SIM", dir_.File("sim.ini").c_str(), 1);
        ASSERT_TRUE(control_.Loaded());
        control_.SetTimeSource(&SharedTickCount);
    }
    void TearDown() override {
        device_.ClosePort();
        control_.SetTimeSource(nullptr);
        platform::SetClock(nullptr);
    }

    // A fresh converter with these [BootLoader] (and [Link]) lines, opened.
    void Configure(const std::string& bootLoaderLines, const std::string& linkLines = "") {
        device_.ClosePort();
        std::filesystem::remove(dir_.File("flash.bin"));
        WriteText(dir_.File("sim.ini"), "[State]\nFolder=" + dir_.Path() + "\n[BootLoader]\n" +
                                                      bootLoaderLines + "[Link]\n" + linkLines);
        control_.Reset();
        ASSERT_EQ(device_.OpenPort("USB"), TRUE);
    }

    std::string WriteImage(const std::string& name, const testhex::Image& image) {
        WriteText(dir_.File(name), image.text);
        return dir_.File(name);
    }

    // flash.bin once the host has let go of the converter.
    std::string FlashFile() {
        device_.ClosePort();
        return ReadText(dir_.File("flash.bin"));
    }

    platform::VirtualClock clock_{1000};
    TempDir dir_;
    sim::SimControl control_{KESTRUNE_SIM_LIBRARY};
    CCrvUsbDevice device_;
    platform::RecordingUpdateSink sink_;
};

TEST_F(SimUpdate, Family0FlashesEveryRecordAndTellsItsProgress) {
    Configure("EraseMs=1500\n");
    const testhex::Image image = testhex::MakeImage(4096, 16);
    const std::string path = WriteImage("KV-rev02.hex", image);
    // Every verdict "G" is sent on by the chip at once, not at the latency tick.
    class Watching : public platform::RecordingUpdateSink {
    public:
        explicit Watching(sim::SimControl& control) : control_(control) {}
        void RecordSent(std::uint32_t) override { eventChars += EventChar(control_); }
        std::string eventChars;

    private:
        sim::SimControl& control_;
    } sink(control_);

    EXPECT_EQ(UpdateFirmware(device_, path, &sink, FamilyKv), 0);
    EXPECT_EQ(sink.eventChars, std::string(image.records, 'G'));
    EXPECT_EQ(EventChar(control_), 0) << "off again, as it was";

    const auto texts = sink.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts.front(), kErasing);
    EXPECT_EQ(texts.back(), kReady);
    const auto percents = ProgressTexts(texts);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.size(), texts.size() - 2) << "only progress between the first and last text";
    EXPECT_EQ(percents.front(), 1);
    EXPECT_GE(percents.back(), 98);
    EXPECT_LE(percents.back(), 103);
    EXPECT_EQ(sink.Positions().back(), std::min(percents.back(), 100));
    EXPECT_EQ(sink.BarsCreated(), 1);
    EXPECT_FALSE(sink.BarVisible());
    // DTR pulsed low then high, cleared at the end.
    ASSERT_GE(control_.EscapeCount(), 3u);
    EXPECT_EQ(control_.Escape(0), d2xx::CLRDTR);
    EXPECT_EQ(control_.Escape(1), d2xx::SETDTR);
    EXPECT_EQ(control_.ModemLines() & 1u, 0u);
    d2xx::UCHAR latency = 0;
    EXPECT_EQ(device_.Library().GetLatencyTimer(device_.DeviceHandle(), &latency), d2xx::FT_OK);
    EXPECT_EQ(latency, 16) << "the converter's own latency timer is given back";
    EXPECT_EQ(FlashFile(), std::string(image.data.begin(), image.data.end()));
}

TEST_F(SimUpdate, Family4FlashesAcrossA64KiBBoundaryAfterTheBanner) {
    Configure("");
    const testhex::Image image = testhex::MakeImage(0x10000 + 1000, 64);
    const std::string path = WriteImage("heron-100.hex", image);

    EXPECT_EQ(UpdateFirmware(device_, path, &sink_, FamilyHeron), 0);

    const auto texts = sink_.Texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], kPleaseReset);
    EXPECT_EQ(texts[1], kErasing + "C8051F120 Firmware Updater\r\n: ");
    EXPECT_EQ(texts.back(), kReady);
    const auto percents = ProgressTexts(texts);
    EXPECT_EQ(percents.size(), texts.size() - 3);
    ASSERT_FALSE(percents.empty());
    EXPECT_GE(percents.back(), 95);
    EXPECT_LE(percents.back(), 100);
    EXPECT_EQ(control_.ModemLines() & 1u, 0u);
    EXPECT_EQ(FlashFile(), std::string(image.data.begin(), image.data.end()));
}

TEST_F(SimUpdate, AnOpalIsFlashedAfterTheOperatorsResetRightAfterItsOpen) {
    // Opening an Opal clears DTR and sets RTS; the update sets DTR again a moment later. That is
    // no reset pulse: the boot loader must wait for the operator and send its banner.
    Configure("", "[UserArea]\nDeviceCode=89\n");
    ASSERT_EQ(device_.DeviceId, 89);
    const testhex::Image image = testhex::MakeImage(256, 16);
    const std::string path = WriteImage("opal.hex", image);

    EXPECT_EQ(UpdateFirmware(device_, path, &sink_, FamilyOpal), 0);

    const auto texts = sink_.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], kPleaseReset);
    EXPECT_EQ(texts[1], kErasing + "C8051F120 Firmware Updater\r\n: ");
    EXPECT_EQ(FlashFile(), std::string(image.data.begin(), image.data.end()));
}

TEST_F(SimUpdate, AFileUnderOneHundredBytesEndsWithAFullBar) {
    Configure("");
    const std::string path = WriteImage("pika-s.hex", testhex::MakeImage(4, 4));
    EXPECT_EQ(UpdateFirmware(device_, path, &sink_, FamilyHeron), 0);
    ASSERT_FALSE(sink_.Positions().empty());
    EXPECT_EQ(sink_.Positions().back(), 100);
    EXPECT_EQ(ProgressTexts(sink_.Texts()).back(), 100);
}

TEST_F(SimUpdate, EveryFailureEndsWithItsCodeAndNeverAsSuccess) {
    testhex::Image image = testhex::MakeImage(1024, 16);
    const std::string kv = WriteImage("kv-rev01.hex", image);
    const std::string heron = WriteImage("heron-100.hex", image);
    const std::string opal = WriteImage("opal.hex", image);
    testhex::Image badSum = image;
    badSum.text.replace(image.text.find("\r\n") - 2, 2, "00");
    const std::string kvBad = WriteImage("kv-bad.hex", badSum);
    const std::string heronBig = WriteImage("heron-big.hex", testhex::MakeImage(0x300, 16));
    const std::string nova = WriteImage("nova-100.hex", image);

    struct Case {
        const char* what;
        std::string config;
        std::string path;
        std::int32_t family;
        std::int32_t result;
        std::uint32_t minElapsedMs;
        std::string report;
    } cases[] = {
        {"no wake-up reply", "WakeUp=0\n", kv, FamilyKv, -3, 5000, "Error. Device not responding."},
        {"no erase reply, family 0", "EraseReply=0\n", kv, FamilyKv, -3, 20000, "Error. Device not responding."},
        {"no load reply, family 0", "LoadReply=0\n", kv, FamilyKv, -3, 20000, "Error. Device not responding."},
        {"no reset within 60 s", "ResetAfterMs=-1\n", opal, FamilyOpal, -3, 60000, "Error writing flash. (-3)."},
        {"another banner", "Banner=C8051F020 Firmware Updater\n", heron, FamilyHeron, -3, 0, "Error writing flash. (-3)."},
        {"no erase reply", "EraseReply=0\n", heron, FamilyHeron, -33, 20000, "Error writing flash. (-33)."},
        {"no load reply", "LoadReply=0\n", nova, FamilyNova, -34, 20000, "Error writing flash. (-34)."},
        // The erase reply's line end arrives after its first packet: it is no load reply.
        {"erase reply in two packets, no load reply, family 0", "SplitReplyAt=3\nLoadReply=0\n", kv, FamilyKv, -3,
         20000, "Error. Device not responding."},
        {"erase reply in two packets, no load reply", "SplitReplyAt=2\nLoadReply=0\n", nova, FamilyNova, -34, 20000,
         "Error writing flash. (-34)."},
        // Junk that came during the pause after the banner is no erase reply.
        {"junk after the banner, no erase reply", "LateByte=300:X\nEraseReply=0\n", heron, FamilyHeron, -33, 20000,
         "Error writing flash. (-33)."},
        // A reply that never ends its line is none, however long it keeps coming.
        {"an erase reply trickling without end, family 0", "TrickleReplyMs=30\n", kv, FamilyKv, -3, 20000,
         "Error. Device not responding."},
        {"an erase reply trickling without end", "TrickleReplyMs=30\n", nova, FamilyNova, -33, 20000,
         "Error writing flash. (-33)."},
        {"refused record, family 0", "RefuseRecord=3:S\n", kv, FamilyKv, 'S', 0, "Record with incorrect checksum."},
        {"refused record, family 4", "RefuseRecord=3:S\n", heron, FamilyHeron, 'S', 0, "Error writing flash. (83)."},
        {"record with a wrong checksum: refused before the display is touched", "", kvBad, FamilyKv, -1, 0,
         "Error loading firmware file. (0) "},
        {"record outside the flash", "FlashSize=0x200\n", heronBig, FamilyHeron, 'A', 0, "Error writing flash. (65)."},
        {"verdict byte 0", "RefuseRecord=4:\\x00\n", kv, FamilyKv, -3, 0, "Error. Device not responding."},
        {"cable pulled, family 0", "PullCableAtRecord=5\n", kv, FamilyKv, -3, 0, "Error. Device not responding."},
        {"cable pulled, family 4", "PullCableAtRecord=5\n", heron, FamilyHeron, -3, 0, "Error writing flash. (-3)."},
        // Silence is no verdict, but the run needs the answer after the end-of-file record.
        {"silent from record 5, family 0", "SilentFromRecord=5\n", kv, FamilyKv, -3, 20000, "Error. Device not responding."},
        {"silent from record 5, family 4", "SilentFromRecord=5\n", heron, FamilyHeron, -3, 20000, "Error writing flash. (-3)."},
        {"silent at the end-of-file record", "SilentFromRecord=65\n", opal, FamilyOpal, -3, 20000, "Error writing flash. (-3)."},
        // Late verdicts are read one record late; a refusal still ends the run.
        {"late refusal", "VerdictDelayMs=150\nRefuseRecord=3:S\n", heron, FamilyHeron, 'S', 0, "Error writing flash. (83)."},
        {"late refusal of the end-of-file record", "VerdictDelayMs=150\nRefuseRecord=65:S\n", heron, FamilyHeron,
         'S', 0, "Error writing flash. (83)."},
        // One verdict too many: some record was skipped, whatever the verdicts that follow say.
        {"a record answered twice, family 0", "RefuseRecord=5:GG\n", kv, FamilyKv, -3, 0, "Error. Device not responding."},
        {"a record answered twice, family 4", "RefuseRecord=5:GG\n", heron, FamilyHeron, -3, 0, "Error writing flash. (-3)."},
        {"the last data record answered twice", "RefuseRecord=64:GG\n", heron, FamilyHeron, -3, 0,
         "Error writing flash. (-3)."},
        {"a record answered twice, late", "VerdictDelayMs=150\nRefuseRecord=5:GG\n", heron, FamilyHeron, -3, 0,
         "Error writing flash. (-3)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Configure(c.config);
        // A setting of someone else's, to be given back whatever the exit.
        ASSERT_EQ(device_.Library().SetChars(device_.DeviceHandle(), '#', 1, 0, 0), d2xx::FT_OK);
        platform::RecordingUpdateSink sink;
        const std::uint32_t start = platform::GetTickCount();
        const std::int32_t result = UpdateFirmware(device_, c.path, &sink, c.family);
        EXPECT_EQ(result, c.result);
        // A pulled cable took the chip and its setting with it.
        if (c.config.find("PullCable") == std::string::npos) {
            EXPECT_EQ(EventChar(control_), '#');
        }
        EXPECT_GE(platform::GetTickCount() - start, c.minElapsedMs);
        EXPECT_EQ(DescribeUpdateResult(result, c.family, 0).text, c.report);
        EXPECT_FALSE(sink.BarVisible());
    }
}

TEST_F(SimUpdate, EveryVerdictIsCountedHoweverLateItComes) {
    // 64 data records, the end-of-file record on line 65.
    const testhex::Image image = testhex::MakeImage(1024, 16);
    const std::string kv = WriteImage("kv-late.hex", image);
    const std::string heron = WriteImage("heron-late.hex", image);
    const std::string full(image.data.begin(), image.data.end());
    struct Outcome {
        const char* what;
        std::string config;
        std::int32_t result;
        std::uint32_t refusedLine;
        bool wholeInFlash;
    } outcomes[] = {
        {"all G", "", 0, 0, true},
        {"first refused", "RefuseRecord=1:S\n", 'S', 1, false},
        {"middle refused", "RefuseRecord=32:S\n", 'S', 32, false},
        // The data is all in, but the loader never said the file was taken.
        {"last refused", "RefuseRecord=65:S\n", 'S', 65, true},
        {"silent from the middle", "SilentFromRecord=32\n", -3, 0, false},
        {"silent at the end", "SilentFromRecord=65\n", -3, 0, true},
    };
    const int delays[] = {0, 50, 150, 250, 1000, 21000};
    std::string table = "family outcome                  ";
    for (const int delay : delays) {
        char cell[16];
        std::snprintf(cell, sizeof cell, "%9d", delay);
        table += cell;
    }
    table += "\n";
    for (const std::int32_t family : {FamilyKv, FamilyHeron}) {
        for (const Outcome& o : outcomes) {
            char head[48];
            std::snprintf(head, sizeof head, "%6d %-24s", family, o.what);
            table += head;
            for (const int delay : delays) {
                SCOPED_TRACE(std::string(o.what) + ", family " + std::to_string(family) + ", " +
                             std::to_string(delay) + " ms");
                Configure("VerdictDelayMs=" + std::to_string(delay) + "\n" + o.config);
                ActingSink sink;
                const std::int32_t result = UpdateFirmware(device_, family == FamilyKv ? kv : heron, &sink, family);
                EXPECT_EQ(result, o.result);
                EXPECT_EQ(sink.refusedLine, o.refusedLine);
                EXPECT_EQ(FlashFile() == full, o.wholeInFlash);
                if (result == 0) {
                    EXPECT_EQ(sink.Positions().back(), 100);
                }
                char cell[16];
                std::snprintf(cell, sizeof cell, result > 0 ? "%6c@%-2u" : "%9d", result > 0 ? static_cast<int>(result) : result,
                              sink.refusedLine);
                table += cell;
            }
            table += "\n";
        }
    }
    std::printf("%s", table.c_str());
}

TEST_F(SimUpdate, RecordsTheLoaderRefusesLeaveTheFlashUntouched) {
    Configure("");
    const testhex::Image image = testhex::MakeImage(256, 16);
    ASSERT_EQ(UpdateFirmware(device_, WriteImage("heron-good.hex", image), &sink_, FamilyHeron), 0);
    const std::string flashed = FlashFile();
    ASSERT_EQ(flashed, std::string(image.data.begin(), image.data.end()));
    const std::size_t end = image.text.find(":00000001FF");
    const std::string bad[] = {
        image.text.substr(0, end) + ":0400000500000000F7\r\n:00000001FF\r\n",
        ":0400000300000000F9\r\n" + image.text,
        ":03000004000100F8\r\n" + image.text,
        ":0100000210ED\r\n" + image.text,
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text.substr(0, 20));
        ASSERT_EQ(device_.OpenPort("USB"), TRUE);
        WriteText(dir_.File("heron-bad.hex"), text);
        platform::RecordingUpdateSink sink;
        EXPECT_EQ(UpdateFirmware(device_, dir_.File("heron-bad.hex"), &sink, FamilyHeron), -1);
        EXPECT_TRUE(sink.Texts().empty()) << "nothing was asked of the display";
        EXPECT_EQ(FlashFile(), flashed);
    }
}

TEST_F(SimUpdate, TheFileIsReadOnceWhateverHappensToItDuringTheRun) {
    const testhex::Image image = testhex::MakeImage(2048, 16);
    const std::string checked = image.text;
    testhex::Image other = testhex::MakeImage(2048, 16, "\r\n", 7);
    const std::string path = dir_.File("heron-once.hex");
    const std::string when[] = {kPleaseReset, "Updating flash memory: 10 %", "Updating flash memory: 50 %",
                                "Updating flash memory: 90 %"};
    const std::function<void()> changes[] = {
        [&] { // a new release copied over it by rename
            WriteText(path + ".new", other.text);
            std::filesystem::rename(path + ".new", path);
        },
        [&] { WriteText(path, other.text); }, // rewritten in place, as a plain cp does
        [&] { std::filesystem::resize_file(path, checked.size() / 3); },
        [&] { std::ofstream(path, std::ios::app) << ":0100000000FF\r\n"; },
    };
    for (const std::string& moment : when) {
        for (std::size_t c = 0; c < std::size(changes); ++c) {
            SCOPED_TRACE(moment + ", change " + std::to_string(c));
            Configure("");
            WriteText(path, checked);
            ActingSink sink;
            bool changed = false;
            sink.onText = [&](const std::string& text) {
                if (!changed && text == moment) {
                    changes[c]();
                    changed = true;
                }
            };
            CheckedFirmware read;
            EXPECT_EQ(UpdateFirmware(device_, path, &sink, FamilyHeron, true, &read), 0);
            EXPECT_TRUE(changed);
            EXPECT_EQ(FlashFile(), std::string(image.data.begin(), image.data.end()));
            EXPECT_EQ(read.size, checked.size());
            EXPECT_EQ(read.sha256, platform::Sha256Hex({reinterpret_cast<const std::uint8_t*>(checked.data()),
                                                        checked.size()}));
        }
    }
}

TEST_F(SimUpdate, AStopRequestEndsTheRunCleanlyWhereverItWaits) {
    const testhex::Image image = testhex::MakeImage(1024, 16);
    const std::string kv = WriteImage("kv-stop.hex", image);
    const std::string heron = WriteImage("heron-stop.hex", image);
    const struct {
        const char* what;
        std::string config;
        std::string path;
        std::int32_t family;
        std::string when;
        std::uint32_t afterMs = 0; // the stop comes this long after that text
    } cases[] = {
        {"in the record loop", "", kv, FamilyKv, "Updating flash memory: 30 %"},
        {"while late verdicts are owed", "VerdictDelayMs=21000\n", heron, FamilyHeron, "Updating flash memory: 99 %"},
        {"waiting for the operator's reset", "ResetAfterMs=-1\n", heron, FamilyHeron, kPleaseReset},
        {"waiting for the erase", "EraseReply=0\n", kv, FamilyKv, kErasing},
        {"while the erase reply trickles", "TrickleReplyMs=30\n", kv, FamilyKv, kErasing, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Configure(c.config);
        ActingSink sink;
        sink.onText = [&](const std::string& text) {
            if (text == c.when && c.afterMs == 0) {
                sink.stop = true;
            } else if (text == c.when) {
                sink.stopAt = platform::GetTickCount() + c.afterMs;
            }
        };
        const std::uint32_t start = platform::GetTickCount();
        EXPECT_EQ(UpdateFirmware(device_, c.path, &sink, c.family), kUpdateStopped);
        EXPECT_LT(platform::GetTickCount() - start, 15000u) << "no wait runs to its end";
        if (c.afterMs != 0) {
            EXPECT_LT(platform::GetTickCount() - sink.stopAt, 500u) << "the stop seen within a read";
        }
        EXPECT_EQ(sink.Texts().back(), kReady);
        EXPECT_EQ(control_.ModemLines() & 1u, 0u) << "DTR cleared";
        EXPECT_EQ(control_.Escape(control_.EscapeCount() - 1), d2xx::CLRDTR);
    }
    EXPECT_EQ(DescribeUpdateResult(kUpdateStopped, FamilyKv, 0).text,
              "Firmware update stopped; the display holds part of the new firmware: flash it again.");
}

TEST_F(SimUpdate, ABannerInTwoPacketsAndLateVerdictsStillSucceed) {
    const testhex::Image image = testhex::MakeImage(256, 16);
    const std::string path = WriteImage("heron-split.hex", image);
    const std::string line = "C8051F120 Firmware Updater\r\n";
    for (std::size_t k = 1; k < line.size(); ++k) {
        SCOPED_TRACE("split after " + std::to_string(k));
        Configure("SplitBannerAt=" + std::to_string(k) + "\n");
        platform::RecordingUpdateSink sink;
        ASSERT_EQ(UpdateFirmware(device_, path, &sink, FamilyHeron), 0);
        ASSERT_GE(sink.Texts().size(), 2u);
        EXPECT_EQ(sink.Texts()[1], kErasing + line + ": ");
    }
    for (const char* config : {"SplitReplyAt=3\n", "VerdictDelayMs=150\n", "LateByte=100:X\n"}) {
        SCOPED_TRACE(config);
        Configure(config);
        EXPECT_EQ(UpdateFirmware(device_, path, &sink_, FamilyHeron), 0);
    }
    EXPECT_EQ(FlashFile(), std::string(image.data.begin(), image.data.end()));
}

TEST_F(SimUpdate, AVerdictOfSeveralBytesIsReadOneByteARecord) {
    // Record 2 is answered "GS": it passes, and the 'S' is taken as record 3's verdict.
    Configure("RefuseRecord=2:GS\n");
    const testhex::Image image = testhex::MakeImage(64, 16);
    const std::string path = WriteImage("heron-2.hex", image);
    EXPECT_EQ(UpdateFirmware(device_, path, &sink_, FamilyHeron), 'S');
    EXPECT_EQ(sink_.Texts().back(), kReady);
    // The loader programmed records 1 and 3 and refused record 2.
    std::string expected(image.data.begin(), image.data.begin() + 48);
    expected.replace(16, 16, std::string(16, '\xFF'));
    EXPECT_EQ(FlashFile(), expected);
}

TEST_F(SimUpdate, ABannerLongerThanTheReplyBufferIsCutNotOverrun) {
    // Without a latency timer every byte is in the host's queue as soon as it is sent.
    Configure("ResetAfterMs=-1\n", "LatencyTimerMs=0\n");
    const std::string path = WriteImage("heron-3.hex", testhex::MakeImage(256, 16));
    // The display speaks up while the host waits for the reset.
    class Injecting : public platform::RecordingUpdateSink {
    public:
        explicit Injecting(sim::SimControl& control) : control_(control) {}
        void ShowStatusText(const std::string& text) override {
            if (text == "Please reset the device to start the firmware update procedure") {
                const std::string banner = "C8051F120 Firmware Updater" + std::string(3000, '.') + "\r\n";
                control_.InjectFromDisplay(reinterpret_cast<const std::uint8_t*>(banner.data()),
                                           static_cast<std::uint32_t>(banner.size()));
            }
            RecordingUpdateSink::ShowStatusText(text);
        }

    private:
        sim::SimControl& control_;
    } sink(control_);

    // Nothing answers the requests: the boot loader never came, only its words.
    EXPECT_EQ(UpdateFirmware(device_, path, &sink, FamilyHeron, false), -33);
    const auto texts = sink.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[1], kErasing + "C8051F120 Firmware Updater" + std::string(1024 - 26, '.') + ": ");
}

TEST_F(SimUpdate, TheWorkerRunsTheUpdateAndReportsSuccess) {
    Configure("");
    const testhex::Image image = testhex::MakeImage(512, 16);
    const std::string path = WriteImage("kv-rev03.hex", image);
    platform::ScopedRecordingUi ui;
    UpdateWorker worker(device_);
    ASSERT_EQ(worker.StartUpdate(path, FamilyKv, &sink_), TRUE);
    worker.Wait();
    EXPECT_EQ(sink_.FinishedPosts(), 1);
    EXPECT_EQ(worker.m_nResult.load(), 0);
    worker.ReportUpdateResult();
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_EQ(ui.Boxes()[0].text, "Firmware successfully updated.");
    EXPECT_EQ(ui.Boxes()[0].caption, "Kestrune");
    EXPECT_EQ(ui.Boxes()[0].flags, 0u);
    EXPECT_EQ(FlashFile(), std::string(image.data.begin(), image.data.end()));
}

} // namespace

#endif
