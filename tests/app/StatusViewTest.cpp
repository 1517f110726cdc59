// The status view: written from the worker's thread, read-only but selectable, always the whole
// client area, and heard by screen readers.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QTest>
#include <atomic>
#include <thread>

#include "GuiTest.h"
#include "app/ChildView.h"
#include "app/CrvsetupApp.h"
#include "app/FrameUpdateSink.h"
#include "app/MainFrame.h"
#include "dialogs/QtText.h"
#include "app/StatusBar.h"

class StatusView : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        UseNoDisplay();
        StartApp();
        ASSERT_TRUE(WaitFor([] { return theApp.StartupTimerRuns() > 0; }));
    }
    QPlainTextEdit& Edit() { return *theApp.MainWindow()->m_wndView->StatusView; }
};

TEST_F(StatusView, ShowStatusTextFromAnotherThread)
{
    std::string longText;
    for (int i = 0; i < 200; ++i)
        longText += "line " + std::to_string(i) + "\r\n";
    longText += "Updating flash memory: 100 %";

    std::atomic<bool> done{false};
    std::string seenByWorker;
    std::thread worker([&] {
        gui::FrameUpdateSink& sink = gui::FrameUpdateSink::Instance();
        sink.ShowStatusText("first text that must vanish");
        sink.ShowStatusText(longText);
        // Each write has completed on the UI thread when the call returns.
        seenByWorker = gui::FromQt(Edit().toPlainText());
        done = true;
    });
    ASSERT_TRUE(WaitFor([&] { return done.load(); }));
    worker.join();

    std::string expected = longText;
    for (size_t at; (at = expected.find("\r\n")) != std::string::npos;)
        expected.replace(at, 2, "\n");
    EXPECT_EQ(seenByWorker, expected);
    EXPECT_EQ(gui::FromQt(Edit().toPlainText()), expected);
    const QTextCursor caret = Edit().textCursor();
    EXPECT_FALSE(caret.hasSelection());
    EXPECT_EQ(caret.position(), Edit().document()->characterCount() - 1);
    // Scrolled so that the caret after the last line is visible.
    EXPECT_GT(Edit().verticalScrollBar()->value(), 0);
    EXPECT_TRUE(Edit().viewport()->rect().contains(Edit().cursorRect()));
}

TEST_F(StatusView, EmptyTextLeavesTheViewEmpty)
{
    gui::FrameUpdateSink::Instance().ShowStatusText("");
    EXPECT_TRUE(Edit().toPlainText().isEmpty());
}

TEST_F(StatusView, DetachedSinkReleasesAWaitingWorker)
{
    // The UI thread does not serve the queued call; detaching must still let the worker go on.
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        gui::FrameUpdateSink::Instance().ShowStatusText("never shown");
        returned = true;
    });
    QThread::msleep(100);
    EXPECT_FALSE(returned.load());
    gui::FrameUpdateSink::Instance().Detach();
    worker.join();
    EXPECT_TRUE(returned.load());
    Pump(50);
    EXPECT_NE(Edit().toPlainText(), "never shown");
    gui::FrameUpdateSink::Instance().Attach(theApp.MainWindow());
}

TEST_F(StatusView, ReadOnlyButSelectable)
{
    theApp.MainWindow()->SetStatusViewText("Kestrune is ready - nothing to change");
    Edit().setFocus();
    QTest::keyClicks(&Edit(), "typed");
    QTest::keyClick(&Edit(), Qt::Key_Backspace);
    QTest::keyClick(&Edit(), Qt::Key_Delete);
    EXPECT_EQ(Edit().toPlainText(), "Kestrune is ready - nothing to change");

    QTest::keyClick(&Edit(), Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&Edit(), Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(Edit().textCursor().selectedText(), "Kestrune is ready - nothing to change");
    QApplication::clipboard()->clear();
    QTest::keyClick(&Edit(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "Kestrune is ready - nothing to change");
}

TEST_F(StatusView, CoversTheViewWhenTheWindowIsResized)
{
    CMainFrame* frame = theApp.MainWindow();
    for (const QSize size : {QSize(700, 300), QSize(400, 500), QSize(1000, 180)}) {
        frame->resize(size);
        Pump(20);
        EXPECT_EQ(Edit().geometry(), frame->m_wndView->contentsRect());
        EXPECT_GT(Edit().width(), 0);
    }
}

TEST_F(StatusView, ScreenReadersReadTheMessagePaneAndKeepTheirPlaceInAnUnchangedText)
{
    // (That each change is told once, and nothing else, needs the real bus: see
    // tests/accessibility.)
    CMainFrame* frame = theApp.MainWindow();
    QLabel* pane = frame->m_wndStatusBar->MessagePane();
    QAccessibleInterface* paneInterface = QAccessible::queryAccessibleInterface(pane);
    ASSERT_NE(paneInterface, nullptr);
    EXPECT_EQ(paneInterface->text(QAccessible::Name), "Kestrune is ready");
    frame->m_wndStatusBar->SetMessage("Settings saved to file.");
    EXPECT_EQ(paneInterface->text(QAccessible::Name), "Settings saved to file.");

    // Writing the text that is already there changes nothing, not even the reader's selection.
    frame->SetStatusViewText("Kestrune is ready - same line");
    Edit().selectAll();
    frame->SetStatusViewText("Kestrune is ready - same line");
    EXPECT_EQ(Edit().textCursor().selectedText(), "Kestrune is ready - same line");
    gui::FrameUpdateSink::Instance().ShowStatusText("Erasing flash memory, please wait...");
    EXPECT_EQ(Edit().toPlainText(), "Erasing flash memory, please wait...");
    EXPECT_FALSE(Edit().textCursor().hasSelection());
}

TEST_F(StatusView, ProgressBarLiesOverTheMessagePane)
{
    CStatusBar* bar = theApp.MainWindow()->m_wndStatusBar;
    gui::FrameUpdateSink& sink = gui::FrameUpdateSink::Instance();
    std::vector<int> told;
    std::atomic<bool> sent{false};
    std::thread worker([&] {
        sink.CreateProgressBar();
        // Told in steps of 10 %: each change of the value is an event a screen reader speaks.
        for (int percent : {42, 47, 49, 50, 51})
            sink.SetProgressPos(percent);
        sent = true;
    });
    // Each call waits for the UI thread: the loop runs until the worker is through, then joins.
    const bool through = WaitFor([&] {
        if (bar->ProgressBar() != nullptr && (told.empty() || told.back() != bar->ProgressBar()->value()))
            told.push_back(bar->ProgressBar()->value());
        return sent.load();
    });
    worker.join();
    ASSERT_TRUE(through);
    Pump(50);
    for (int value : told)
        EXPECT_EQ(value % 10, 0) << value;
    EXPECT_EQ(bar->ProgressBar()->value(), 50);
    EXPECT_EQ(theApp.MainWindow()->windowTitle(), "Kestrune - 50 %");
    EXPECT_EQ(bar->ProgressBar()->objectName(), "progress51");
    EXPECT_EQ(bar->ProgressBar()->geometry(), bar->MessagePane()->geometry());
    EXPECT_EQ(bar->ProgressBar()->minimum(), 0);
    EXPECT_EQ(bar->ProgressBar()->maximum(), 100);
    std::thread done([&] { sink.DestroyProgressBar(); });
    ASSERT_TRUE(WaitFor([&] { return bar->ProgressBar() == nullptr; }));
    done.join();
}
