#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/LastError.h"
#include "platform/Ui.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace platform;

namespace {

TEST(Clock, VirtualClockIsInstalledAndWraps)
{
    VirtualClock clock(0xFFFFFF00u);
    SetClock(&clock);
    const std::uint32_t start = GetTickCount();
    Sleep(60000);
    clock.Advance(5);
    EXPECT_EQ(GetTickCount(), 0xFFFFFF00u + 60005u); // wrapped past zero
    EXPECT_EQ(GetTickCount() - start, 60005u);
    Sleep(0); // still moves, so a polling loop cannot spin forever
    EXPECT_EQ(GetTickCount() - start, 60006u);
    SetClock(nullptr);
    EXPECT_NE(&CurrentClock(), &clock);
}

TEST(Clock, VirtualClockCountsSleepsFromManyThreads)
{
    VirtualClock clock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                clock.Sleep(3);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(clock.TickCount(), 12000u);
}

TEST(Clock, RealClockMovesWithRealTime)
{
    RealClock clock;
    const std::uint32_t start = clock.TickCount();
    clock.Sleep(20);
    const std::uint32_t elapsed = clock.TickCount() - start;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(Ui, QuietDefaultAndRecorderSeam)
{
    EXPECT_EQ(Ui().MessageBox("t", "c", MB_OKCANCEL, BoxOwner::None), IDOK);
    {
        ScopedRecordingUi ui;
        EXPECT_EQ(&Ui(), &ui);
        ui.QueueAnswer(IDCANCEL);
        EXPECT_EQ(Ui().MessageBox("Are you sure?", "Save", MB_OKCANCEL | MB_ICONQUESTION, BoxOwner::Dialog),
                  IDCANCEL);
        EXPECT_EQ(Ui().MessageBox("No USB device found.", "Kestrune Error", MB_ICONERROR, BoxOwner::MainWindow),
                  IDOK);
        Ui().MessageBeep(MB_ICONEXCLAMATION);
        Ui().SetStatusViewText("one");
        Ui().SetStatusViewText("two");
        Ui().SetStatusBarMessage("Ready");
        const auto boxes = ui.Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, "Are you sure?");
        EXPECT_EQ(boxes[0].flags, MB_OKCANCEL | MB_ICONQUESTION);
        EXPECT_EQ(boxes[0].owner, BoxOwner::Dialog);
        EXPECT_EQ(boxes[1].caption, "Kestrune Error");
        EXPECT_EQ(ui.Beeps(), std::vector<unsigned>{MB_ICONEXCLAMATION});
        EXPECT_EQ(ui.StatusViewText(), "two");
        EXPECT_EQ(ui.StatusViewWrites(), 2);
        EXPECT_EQ(ui.StatusBarMessage(), "Ready");
        {
            ScopedRecordingUi inner;
            EXPECT_EQ(&Ui(), &inner);
        }
        EXPECT_EQ(&Ui(), &ui);
        ui.Clear();
        EXPECT_TRUE(ui.Boxes().empty());
    }
    EXPECT_EQ(SetUi(nullptr), nullptr);
}

TEST(Ui, UpdateSinkRecordsAcrossThreads)
{
    RecordingUpdateSink sink;
    std::thread worker([&] {
        sink.CreateProgressBar();
        for (int i = 0; i <= 100; i += 50) {
            sink.SetProgressPos(i);
            sink.ShowStatusText("record " + std::to_string(i));
        }
        sink.DestroyProgressBar();
        sink.PostUpdateFinished();
    });
    worker.join();
    EXPECT_EQ(sink.Positions(), (std::vector<int>{0, 50, 100}));
    EXPECT_EQ(sink.Texts().back(), "record 100");
    EXPECT_FALSE(sink.BarVisible());
    EXPECT_EQ(sink.BarsCreated(), 1);
    EXPECT_EQ(sink.FinishedPosts(), 1);
}

TEST(LastError, PerThreadAndTexts)
{
    SetLastError(5);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(7);
    }).join();
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(ErrorText(E_FAIL), "Unspecified error");
    EXPECT_EQ(ErrorText(E_INVALIDARG), "The parameter is incorrect.");
    EXPECT_EQ(ErrorText(0x80070005), "Error 0x80070005");
    try {
        throw CommandError(E_INVALIDARG);
    } catch (const CommandError& e) {
        EXPECT_EQ(e.HResult(), E_INVALIDARG);
        EXPECT_STREQ(e.what(), "The parameter is incorrect.");
    }
}

TEST(DynamicLibrary, LoadsResolvesAndReportsFailures)
{
    EXPECT_EQ(LoadLibrary("/nonexistent/libnothing.so"), nullptr);
    EXPECT_NE(LastLoadError().find("libnothing"), std::string::npos);
    ModuleHandle libc = LoadLibrary("libc.so.6");
    ASSERT_NE(libc, nullptr) << LastLoadError();
    EXPECT_NE(GetProcAddress(libc, "strlen"), nullptr);
    EXPECT_EQ(GetProcAddress(libc, "no_such_symbol_here"), nullptr);
    EXPECT_NE(LastLoadError().find("no_such_symbol_here"), std::string::npos);
    FreeLibrary(libc);
}

} // namespace
