#pragma once
// The terminal as kestrune-cli's user interface: message boxes become lines on standard
// error, confirmations are asked on a terminal, an update's progress is a bar or lines.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/Ui.h"

namespace cli {

// One line for a box: "caption: text", line feeds inside the text as " / ".
std::string BoxLine(const std::string& caption, const std::string& text);

class TerminalUi : public platform::UserInterface {
public:
    // assumeYes: --yes. interactive: standard input is a terminal the operator answers on.
    TerminalUi(bool assumeYes, bool interactive, std::FILE* in = stdin, std::FILE* err = stderr);
    // -v: a confirmation answered by --yes is echoed (else it is not: the operator chose it).
    void EchoAnswered() { echo_ = true; }

    // Boxes with OK and Cancel are confirmations: OK with --yes, asked when interactive,
    // refused otherwise. Every other box is shown and answered OK.
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                   platform::BoxOwner owner) override;
    void MessageBeep(unsigned type) override;
    // The status view and status bar have no place on a terminal: the commands print results.
    void SetStatusViewText(const std::string&) override {}
    void SetStatusBarMessage(const std::string&) override {}

private:
    bool assumeYes_;
    bool interactive_;
    bool echo_ = false;
    std::FILE* in_;
    std::FILE* err_;
};

// An update run's status texts and progress on standard error: a bar redrawn in place on a
// terminal, otherwise one line per status text (so one per percentage).
class TerminalProgress : public platform::UpdateSink {
public:
    explicit TerminalProgress(bool bar, std::FILE* err = stderr);

    void ShowStatusText(const std::string& text) override;
    void CreateProgressBar() override;
    void SetProgressPos(int percent) override;
    void DestroyProgressBar() override;
    void PostUpdateFinished() override;
    void RecordSent(std::uint32_t line) override;
    void FirmwareRefused(std::uint32_t line, const std::string& reason) override;
    void RecordRefused(std::uint32_t line) override;
    // Before the erase the operator's first signal (platform/StopSignals.h); from the erase
    // on the second, after one warning.
    bool StopRequested() override;
    void FlashChangeStarts() override;
    // Whether the run got as far as the erase request.
    bool FlashChanged();

    // -q: no status texts and no bar; the refusal and record line are still kept.
    void Silence() { quiet_ = true; }
    // Ends a bar line that is still open.
    void Finish();
    // The file line of the last record sent (0: none).
    std::uint32_t LastRecordLine();
    // The file line of the record the boot loader refused (0: none).
    std::uint32_t RefusedLine();
    // Columns of the bar line for a terminal this wide: the line never reaches the last column,
    // where a terminal would wrap it.
    static std::string BarLine(int percent, int columns);
    // Why the file was refused before the display was touched: "301: checksum ..." or, for the
    // file as a whole, " no data record"; empty when it was not.
    std::string Refusal();

private:
    void EndBarLine();
    void DrawBar();

    std::mutex mutex_;
    bool bar_;
    std::FILE* err_;
    bool lineOpen_ = false;
    bool quiet_ = false;
    int percent_ = -1;
    std::uint32_t lastRecordLine_ = 0;
    std::uint32_t refusedLine_ = 0;
    bool warned_ = false;
    bool flashChanged_ = false;
    std::string refusal_;
    std::string lastText_;
};

} // namespace cli
