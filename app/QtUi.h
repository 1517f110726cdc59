#pragma once
// The core's user interface (message boxes, beeps, status texts) shown with Qt.
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Ui.h"

class CMainFrame;

namespace gui {

class QtUi final : public platform::UserInterface {
public:
    void SetMainWindow(CMainFrame* frame) { frame_ = frame; }

    // From another thread the box is shown on the UI thread and the caller waits for the answer,
    // until ReleaseWorkers(): then it is written to standard error and answered at once (IDOK
    // for MB_OK, else IDCANCEL), so that the UI thread can wait for that thread.
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                   platform::BoxOwner owner) override;
    // UI thread, before it waits for the update worker at the end of the program.
    void ReleaseWorkers();
    // UI thread: boxes from other threads are shown again (a new start of the application).
    void EngageWorkers();
    void MessageBeep(unsigned type) override;
    void SetStatusViewText(const std::string& text) override;
    void SetStatusBarMessage(const std::string& text) override;

    // While set, a box is written to standard error as "caption: text" (line ends as " / ")
    // and answered OK: for moments when nobody is at the screen.
    void SetReportsToStderr(bool on) { toStderr_ = on; }
    bool ReportsToStderr() const { return toStderr_; }

    class ScopedReportsToStderr {
    public:
        ScopedReportsToStderr(QtUi& ui, bool on) : ui_(ui), old_(ui.ReportsToStderr())
        {
            if (on)
                ui_.SetReportsToStderr(true);
        }
        ~ScopedReportsToStderr() { ui_.SetReportsToStderr(old_); }
        ScopedReportsToStderr(const ScopedReportsToStderr&) = delete;
        ScopedReportsToStderr& operator=(const ScopedReportsToStderr&) = delete;

    private:
        QtUi& ui_;
        bool old_;
    };

private:
    int MessageBoxFromWorker(const std::string& text, const std::string& caption, unsigned flags,
                             platform::BoxOwner owner);
    static int AnswerOnStderr(const std::string& text, const std::string& caption, unsigned flags);

    CMainFrame* frame_ = nullptr; // the application clears it before the frame goes
    std::atomic<bool> toStderr_{false};
    std::mutex workerMutex_;
    std::condition_variable workerAnswered_;
    bool workersReleased_ = false;
    std::uint64_t workerGeneration_ = 0;
};

// "caption: text" on one line, as the box would have said it.
std::string BoxLine(const std::string& caption, const std::string& text);

} // namespace gui
