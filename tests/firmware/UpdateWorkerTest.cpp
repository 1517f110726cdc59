// The worker: one run at a time, the end-of-run post, the result box. The converter is not
// open here, so a run ends early on its own (DTR cannot be switched, no banner comes).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "support/TempDir.h"
#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "platform/Clock.h"
#include "platform/LastError.h"

namespace {

// Holds the worker inside its first status text until released.
class GateSink : public platform::RecordingUpdateSink {
public:
    void ShowStatusText(const std::string& text) override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        lock.unlock();
        RecordingUpdateSink::ShowStatusText(text);
    }
    void WaitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

class UpdateWorkerRun : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClock(&clock_);
        WriteText(dir_.File("heron-1.hex"), ":0100000000FF\r\n:00000001FF\r\n");
        WriteText(dir_.File("kv-1.hex"), ":0100000000FF\r\n:00000001FF\r\n");
    }
    void TearDown() override { platform::SetClock(nullptr); }

    platform::VirtualClock clock_;
    TempDir dir_;
    CCrvUsbDevice device_;
};

TEST_F(UpdateWorkerRun, ASecondStartWhileRunningIsRefusedAndChangesNothing) {
    UpdateWorker worker(device_);
    GateSink sink;
    ASSERT_EQ(worker.StartUpdate(dir_.File("heron-1.hex"), FamilyHeron, &sink), TRUE);
    sink.WaitEntered();
    EXPECT_TRUE(worker.IsRunning());
    platform::RecordingUpdateSink other;
    EXPECT_EQ(worker.StartUpdate(dir_.File("kv-1.hex"), FamilyKv, &other), FALSE);
    EXPECT_EQ(std::string(worker.m_szFirmwarePath.data()), dir_.File("heron-1.hex"));
    EXPECT_EQ(worker.m_nFamily, FamilyHeron);
    EXPECT_EQ(worker.m_pMainFrame, &sink);
    sink.Open();
    worker.Wait();
    EXPECT_FALSE(worker.IsRunning());
    // Nothing answers on a closed converter: no banner.
    EXPECT_EQ(worker.m_nResult.load(), -3);
    EXPECT_EQ(sink.FinishedPosts(), 1);
    EXPECT_EQ(other.FinishedPosts(), 0);
    EXPECT_EQ(sink.BarsCreated(), 1);
    EXPECT_FALSE(sink.BarVisible());
    ASSERT_FALSE(sink.Texts().empty());
    EXPECT_EQ(sink.Texts().front(), "Please reset the device to start the firmware update procedure");
    EXPECT_EQ(sink.Texts().back(), "Kestrune is ready");

    // Once the run has ended the next one starts.
    platform::RecordingUpdateSink next;
    ASSERT_EQ(worker.StartUpdate(dir_.File("kv-1.hex"), FamilyKv, &next), TRUE);
    worker.Wait();
    EXPECT_EQ(worker.m_nResult.load(), -2) << "DTR cannot be switched on a closed converter";
    EXPECT_EQ(next.FinishedPosts(), 1);
    EXPECT_FALSE(next.BarVisible());
}

TEST_F(UpdateWorkerRun, APathLongerThanTheBufferIsRefusedNotCut) {
    // The first 259 characters name an existing file: cutting would flash that one.
    std::string shortPath = dir_.Path() + "/";
    shortPath += "kv" + std::string(259 - shortPath.size() - 6, 'k') + ".hex";
    ASSERT_EQ(shortPath.size(), 259u);
    WriteText(shortPath, ":0100000000FF\r\n:00000001FF\r\n");
    const std::string longPath = shortPath + "x";

    UpdateWorker worker(device_);
    platform::RecordingUpdateSink sink;
    ASSERT_EQ(worker.StartUpdate(longPath, FamilyKv, &sink), TRUE);
    worker.Wait();
    EXPECT_EQ(worker.m_nResult.load(), -1);
    {
        platform::ScopedRecordingUi ui;
        worker.ReportUpdateResult();
        ASSERT_EQ(ui.Boxes().size(), 1u);
        EXPECT_EQ(ui.Boxes()[0].text, "Error loading firmware file. (206) ");
    }
    EXPECT_EQ(sink.BarsCreated(), 0);
    EXPECT_TRUE(sink.Texts().empty());
    EXPECT_EQ(sink.FinishedPosts(), 1);

    // The longest path that fits is taken whole.
    ASSERT_EQ(worker.StartUpdate(shortPath, FamilyKv, &sink), TRUE);
    worker.Wait();
    EXPECT_EQ(std::string(worker.m_szFirmwarePath.data()), shortPath);
    EXPECT_EQ(worker.m_nResult.load(), -2);
}

TEST_F(UpdateWorkerRun, TheReportShowsTheLastRunWithoutAnOwner) {
    platform::ScopedRecordingUi ui;
    UpdateWorker worker(device_);
    ASSERT_EQ(worker.StartUpdate(dir_.File("kv-missing.hex"), FamilyKv, nullptr), TRUE);
    worker.Wait();
    // The number is the run's own (the file was not found), not what the calling thread holds.
    platform::SetLastError(1234);
    worker.ReportUpdateResult();
    ASSERT_EQ(worker.StartUpdate(dir_.File("kv-1.hex"), FamilyKv, nullptr), TRUE);
    worker.Wait();
    worker.ReportUpdateResult();
    worker.ReportUpdateResult();

    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "Error loading firmware file. (2) ");
    EXPECT_EQ(boxes[0].caption, "Error writing flash.");
    EXPECT_EQ(boxes[0].flags, 0x10u);
    EXPECT_EQ(boxes[0].owner, platform::BoxOwner::None);
    EXPECT_EQ(boxes[1].text, "Error setting communication parameters.");
    EXPECT_EQ(boxes[2].text, boxes[1].text);
}

} // namespace
