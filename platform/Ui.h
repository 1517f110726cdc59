#pragma once
// What the core shows to the operator. The GUI implements it with Qt, the CLI with the terminal,
// tests with RecordingUi. The core never calls a toolkit itself.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// Message box flags and answers, with the Windows values the design names.
enum : unsigned {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_ICONERROR = 0x10,
    MB_ICONHAND = 0x10,
    MB_ICONSTOP = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_ICONASTERISK = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2 };

// Who owns a message box: none (the desktop), the main window, or the dialog in front.
enum class BoxOwner { None, MainWindow, Dialog };

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // Modal message box; returns the button pressed (IDOK, IDCANCEL). UI thread only.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                           BoxOwner owner) = 0;
    // A warning sound (MB_ICONEXCLAMATION and friends). Any thread.
    virtual void MessageBeep(unsigned type) = 0;
    // Plain replace of the main window's status view text. UI thread only.
    virtual void SetStatusViewText(const std::string& text) = 0;
    // Text of the status bar's message pane. UI thread only.
    virtual void SetStatusBarMessage(const std::string& text) = 0;
};

// The main window as the update worker sees it (the frame handed to StartUpdate).
// Called from the worker thread; each call has completed on the UI thread when it returns.
class UpdateSink {
public:
    virtual ~UpdateSink() = default;
    // Whole text replaced, caret at the end, scrolled into view, repainted.
    virtual void ShowStatusText(const std::string& text) = 0;
    // The progress bar over the status bar's message pane: range 0..100.
    virtual void CreateProgressBar() = 0;
    virtual void SetProgressPos(int percent) = 0;
    virtual void DestroyProgressBar() = 0;
    // The end-of-run message (WM_USER): posted, never waited for.
    virtual void PostUpdateFinished() = 0;
    // A record line was sent; line: its line number in the file, from 1. Lets a front end name
    // the record a boot loader refused.
    virtual void RecordSent(std::uint32_t line) { (void)line; }
    // The file was refused before the display was touched; line: where (from 1), 0 for the
    // file as a whole.
    virtual void FirmwareRefused(std::uint32_t line, const std::string& reason) { (void)line; (void)reason; }
    // The boot loader refused the record on this file line (verdicts may come records late).
    virtual void RecordRefused(std::uint32_t line) { (void)line; }
    // Polled by the run between records and while it waits: true stops it cleanly.
    virtual bool StopRequested() { return false; }
};

// The interface in use. Without one installed, a quiet default answers IDOK and shows nothing.
UserInterface& Ui();
// Installs ui (nullptr: the quiet default) and returns the one installed before.
UserInterface* SetUi(UserInterface* ui);

// Records every call and answers message boxes from a queue of prepared answers (IDOK when empty).
class RecordingUi : public UserInterface {
public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned flags;
        BoxOwner owner;
    };
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                   BoxOwner owner) override;
    void MessageBeep(unsigned type) override;
    void SetStatusViewText(const std::string& text) override;
    void SetStatusBarMessage(const std::string& text) override;

    void QueueAnswer(int answer);
    std::vector<Box> Boxes() const;
    std::vector<unsigned> Beeps() const;
    std::string StatusViewText() const;
    std::string StatusBarMessage() const;
    int StatusViewWrites() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::vector<Box> boxes_;
    std::vector<unsigned> beeps_;
    std::string statusView_;
    std::string statusBar_;
    int statusViewWrites_ = 0;
};

// Records what an update run shows; thread-safe.
class RecordingUpdateSink : public UpdateSink {
public:
    void ShowStatusText(const std::string& text) override;
    void CreateProgressBar() override;
    void SetProgressPos(int percent) override;
    void DestroyProgressBar() override;
    void PostUpdateFinished() override;

    std::vector<std::string> Texts() const;
    std::vector<int> Positions() const;
    bool BarVisible() const;
    int BarsCreated() const;
    int FinishedPosts() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<int> positions_;
    bool barVisible_ = false;
    int barsCreated_ = 0;
    int finished_ = 0;
};

// Installs a RecordingUi for the lifetime of the object and restores the previous one.
class ScopedRecordingUi : public RecordingUi {
public:
    ScopedRecordingUi();
    ~ScopedRecordingUi() override;
    ScopedRecordingUi(const ScopedRecordingUi&) = delete;
    ScopedRecordingUi& operator=(const ScopedRecordingUi&) = delete;

private:
    UserInterface* previous_;
};

} // namespace platform
