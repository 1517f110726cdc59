// The firmware-update commands and the end of a run, through the frame's command table.
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <set>
#include <QProgressBar>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "GuiTest.h"
#include "app/ChildView.h"
#include "app/CrvsetupApp.h"
#include "app/MainFrame.h"
#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "app/StatusBar.h"
#include "firmware/Firmware.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"
#include "sim/d2xx/KestruneSim.h"

class Update : public GuiTest {
protected:
    // Started with the display of the fixture; the start-up timer has run.
    void Start()
    {
        StartApp();
        ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }));
    }
    CMainFrame& MainFrame() { return *theApp.MainWindow(); }
    // Waits for the end-of-run message to be handled.
    bool AwaitEndOfRun()
    {
        return WaitFor([this] { return !MainFrame().UpdateActive(); }, 20000);
    }
};

TEST(UpdateFilter, HexFilterInQtForm)
{
    EXPECT_EQ(gui::ToQtFilter("HEX Data Files (*.hex)|*.hex|All files (*.*)|*.*||"),
              "HEX Data Files (*.hex);;All files (*)");
    EXPECT_EQ(gui::ToQtFilter("EEPROM Data Files (*.bin)|*.bin|All files (*.*)|*.*||"),
              "EEPROM Data Files (*.bin);;All files (*)");
    EXPECT_EQ(gui::ToQtFilter("Two|*.a;*.b||"), "Two (*.a *.b)");
}

TEST_F(Update, DisplayAbsentReportsItAndOpensNoDialog)
{
    UseNoDisplay();
    Start();
    const size_t before = BoxTexts().size();
    EXPECT_TRUE(MainFrame().findChild<QAction*>("action32804") != nullptr);
    MainFrame().findChild<QAction*>("action32804")->trigger();
    const auto boxes = BoxTexts();
    ASSERT_EQ(boxes.size(), before + 1);
    EXPECT_EQ(boxes.back(), "No USB device found.");
    EXPECT_TRUE(gui::seams::FileRequests().empty());
    EXPECT_FALSE(MainFrame().UpdateActive());
}

TEST_F(Update, FileDialogOfEachCommand)
{
    Start();
    struct Row {
        unsigned id;
        const char* name;
    };
    const Row rows[] = {{32794, "kv-rev01.hex"}, {32795, "opal.hex"}, {32792, "opal_brt.hex"},
                        {32802, "nova-100.hex"}, {32804, "heron-100.hex"}};
    for (const Row& row : rows) {
        gui::seams::QueueFileAnswer(std::nullopt); // Cancel: no run, no message
        EXPECT_TRUE(MainFrame().SendCommand(row.id));
    }
    const auto requests = gui::seams::FileRequests();
    ASSERT_EQ(requests.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_FALSE(requests[i].save);
        EXPECT_EQ(requests[i].defaultName, rows[i].name);
        EXPECT_EQ(requests[i].defaultExtension, "hex");
        EXPECT_EQ(requests[i].flags, 0x806u);
        EXPECT_EQ(requests[i].filter, "HEX Data Files (*.hex)|*.hex|All files (*.*)|*.*||");
    }
    EXPECT_TRUE(gui::seams::Boxes().empty());
    EXPECT_FALSE(MainFrame().UpdateActive());
    EXPECT_FALSE(Device().Worker().IsRunning());
}

TEST_F(Update, FileOfAnotherFamilyIsRefusedByTheWorker)
{
    Start();
    const std::string file = WriteFirmware("opal.hex");
    gui::seams::QueueFileAnswer(file);
    MainFrame().SendCommand(ID_UPDATE_KV);
    ASSERT_TRUE(AwaitEndOfRun());
    EXPECT_EQ(Device().Worker().m_nFamily, 0);
    EXPECT_EQ(Device().Worker().m_nResult.load(), -1);
    const auto boxes = gui::seams::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("Error loading firmware file. (", 0), 0u) << boxes[0].text;
    EXPECT_EQ(boxes[0].caption, "Error writing flash.");
    EXPECT_EQ(boxes[0].flags, platform::MB_ICONERROR);
}

TEST_F(Update, WholeRunFromTheMenuThenResultThenReadyLine)
{
    Start();
    const std::string file = WriteFirmware("heron-100.hex", 4096);
    const std::string ready = StatusText();
    ASSERT_EQ(ready.rfind("Kestrune is ready - ", 0), 0u);
    MainFrame().SetStatusViewText("before the end");

    std::string statusAtResult;
    gui::seams::SetBoxAnswerer([&](const gui::BoxRequest&) {
        statusAtResult = StatusText();
        return platform::IDOK;
    });
    gui::seams::QueueFileAnswer(file);
    // Where a menu used from the keyboard can leave the focus.
    MainFrame().menuBar()->setFocus();
    MainFrame().findChild<QAction*>("action32804")->trigger();
    ASSERT_TRUE(MainFrame().UpdateActive());
    // Back in the status view of the active window, so that screen readers follow the run.
    QPlainTextEdit* view = MainFrame().m_wndView->StatusView;
    EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == &MainFrame() && QApplication::focusWidget() == view; }, 5000));

    // During the run: the progress bar over the message pane, texts from the worker, and every
    // device command and the window's close refused.
    ASSERT_TRUE(WaitFor([this] { return MainFrame().m_wndStatusBar->ProgressBar() != nullptr; }));
    MainFrame().SendCommand(ID_UPDATE_OPAL);
    EXPECT_FALSE(MainFrame().close());
    EXPECT_TRUE(MainFrame().isVisible());
    auto boxes = gui::seams::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, LoadStdString(IDS_UPDATE_RUNNING));
    EXPECT_EQ(boxes[1].text, LoadStdString(IDS_UPDATE_RUNNING));
    EXPECT_EQ(gui::seams::FileRequests().size(), 1u);

    bool sawProgress = false;
    std::set<QString> titles;
    ASSERT_TRUE(WaitFor([&] {
        sawProgress = sawProgress || StatusText().rfind("Updating flash memory: ", 0) == 0;
        titles.insert(MainFrame().windowTitle());
        return !MainFrame().UpdateActive();
    }, 20000));
    EXPECT_TRUE(sawProgress);
    // The title carried the progress, and is the program's name again.
    EXPECT_TRUE(std::any_of(titles.begin(), titles.end(), [](const QString& t) {
        return t.startsWith("Kestrune - ") && t.endsWith(" %") && t != "Kestrune - 0 %";
    })) << titles.size();
    EXPECT_EQ(MainFrame().windowTitle(), "Kestrune");
    EXPECT_EQ(QApplication::focusWidget(), view);
    boxes = gui::seams::Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text, "Firmware successfully updated.");
    EXPECT_EQ(boxes[2].caption, "Kestrune");
    // The worker's last text was on screen when the result came, the ready line after it.
    EXPECT_EQ(statusAtResult, "Kestrune is ready");
    EXPECT_EQ(StatusText(), ready);
    EXPECT_EQ(MainFrame().m_wndStatusBar->ProgressBar(), nullptr);
}

TEST_F(Update, TheResultWaitsUntilTheRefusalBoxHasClosed)
{
    Start();
    gui::seams::QueueFileAnswer(WriteFirmware("heron-100.hex", 2048));
    MainFrame().SendCommand(ID_UPDATE_HERON);
    ASSERT_TRUE(MainFrame().UpdateActive());

    // Real boxes from here on: the operator leaves the refusal box open until the run is over,
    // then answers what comes.
    gui::seams::SetUnattended(false);
    std::vector<std::string> shownWithTheResult;
    QElapsedTimer since;
    since.start();
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        const bool result = box != nullptr && box->text() == "Firmware successfully updated.";
        if (!result && since.elapsed() < 30000)
            return;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* shown = qobject_cast<QMessageBox*>(w); shown != nullptr && shown->isVisible())
                shownWithTheResult.push_back(shown->text().toStdString());
        if (box != nullptr)
            box->accept();
    });
    answer.start(20);
    MainFrame().SendCommand(ID_RECONNECT); // returns once its refusal box has closed
    ASSERT_TRUE(WaitFor([this] { return !MainFrame().UpdateActive(); }, 30000));
    answer.stop();
    EXPECT_EQ(shownWithTheResult, std::vector<std::string>{"Firmware successfully updated."});
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{LoadStdString(IDS_UPDATE_RUNNING), "Firmware successfully updated."}));
    // The window comes back to the front through the window system, a moment later.
    EXPECT_TRUE(WaitFor([this] { return QApplication::focusWidget() == MainFrame().m_wndView->StatusView; }, 5000));
}

TEST_F(Update, EndOfRunWithTheDisplayGone)
{
    Start();
    sim::SimControl control(KESTRUNE_SIM_LIBRARY);
    ASSERT_TRUE(control.Loaded());
    control.PullCable();
    MainFrame().SetStatusViewText("worker text");
    MainFrame().SendMessage(CMainFrame::WM_USER);
    // Only the connect's report: no result box, no ready line.
    const auto boxes = gui::seams::Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "No USB device found.");
    EXPECT_EQ(boxes[0].caption, "Kestrune Error");
    EXPECT_EQ(boxes[0].flags, platform::MB_ICONINFORMATION);
    EXPECT_EQ(StatusText(), "No USB device found.");
}

TEST_F(Update, EndOfRunWithTheDisplayPresent)
{
    Start();
    const std::string ready = StatusText();
    MainFrame().SetStatusViewText("worker text");
    std::string statusAtResult;
    gui::seams::SetBoxAnswerer([&](const gui::BoxRequest&) {
        statusAtResult = StatusText();
        return platform::IDOK;
    });
    Device().Worker().m_nResult = 0;
    MainFrame().PostMessage(CMainFrame::WM_USER);
    ASSERT_TRUE(WaitFor([] { return !gui::seams::Boxes().empty(); }));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Firmware successfully updated."});
    EXPECT_EQ(statusAtResult, "worker text");
    EXPECT_EQ(StatusText(), ready);
}

// A run whose worker asks a question through the UI (as a run meeting a problem would) while
// the loop has ended abnormally: the end of the program must neither hang nor show the box.
class AskingSink : public platform::UpdateSink {
public:
    void ShowStatusText(const std::string&) override { Ask(); }
    void CreateProgressBar() override { Ask(); }
    void SetProgressPos(int) override { Ask(); }
    void DestroyProgressBar() override { Ask(); }
    void PostUpdateFinished() override {}

    std::atomic<bool> asking{false};
    std::atomic<int> answer{0};

private:
    void Ask()
    {
        if (asking.exchange(true))
            return;
        answer = platform::Ui().MessageBox("Go on?", "Kestrune", platform::MB_OKCANCEL,
                                           platform::BoxOwner::None);
    }
};

TEST_F(Update, AbnormalEndWhileTheWorkerWaitsForABox)
{
    UseNoDisplay();
    StartApp();
    AskingSink sink;
    ASSERT_TRUE(Device().Worker().StartUpdate(WriteFirmware(), FamilyHeron, &sink));
    // No events run from here on: nobody answers the box.
    for (int i = 0; i < 2000 && !sink.asking.load(); ++i)
        QThread::msleep(5);
    ASSERT_TRUE(sink.asking.load());
    QThread::msleep(50);

    // A hang here is the failure; it must not wait for ctest's time-out.
    std::promise<void> ended;
    std::thread watchdog([future = ended.get_future()]() mutable {
        if (future.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
            std::fputs("the end of the program waits for the worker, which waits for it\n", stdout);
            std::fflush(stdout);
            std::_Exit(1);
        }
    });
    testing::internal::CaptureStderr();
    const int status = theApp.ExitInstance(3);
    const std::string said = testing::internal::GetCapturedStderr();
    ended.set_value();
    watchdog.join();

    EXPECT_EQ(status, 3);
    EXPECT_FALSE(Device().Worker().IsRunning());
    EXPECT_EQ(sink.answer.load(), platform::IDCANCEL);
    EXPECT_NE(said.find("Kestrune: Go on?"), std::string::npos) << said;
    Pump(50); // the box's queued call comes too late to show anything
    EXPECT_TRUE(gui::seams::Boxes().empty());
}
