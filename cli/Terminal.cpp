#include "cli/Terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/StopSignals.h"
#include "platform/System.h"
#include "res/Strings.h"

namespace cli {

std::string BoxLine(const std::string& caption, const std::string& text)
{
    std::string line = caption + ": ";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') continue;
            line += " / ";
        } else if (text[i] == '\n') {
            line += " / ";
        } else {
            line += text[i];
        }
    }
    return line;
}

TerminalUi::TerminalUi(bool assumeYes, bool interactive, std::FILE* in, std::FILE* err)
    : assumeYes_(assumeYes), interactive_(interactive), in_(in), err_(err)
{
}

namespace {

bool IsYes(std::string answer)
{
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.pop_back();
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes" || answer == "ok";
}

} // namespace

int TerminalUi::MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                           platform::BoxOwner)
{
    const std::string line = BoxLine(caption, text);
    if ((flags & 0x0F) != platform::MB_OKCANCEL) {
        std::fprintf(err_, "%s\n", line.c_str());
        std::fflush(err_);
        return platform::IDOK;
    }
    if (assumeYes_) {
        if (quiet_) return platform::IDOK;
        std::fprintf(err_, "%s\n", line.c_str());
        std::fflush(err_);
        return platform::IDOK;
    }
    if (!interactive_) {
        std::fprintf(err_, "%s\nkestrune-cli: not confirmed: standard input is not a terminal "
                           "(--yes answers OK)\n",
                     line.c_str());
        std::fflush(err_);
        return platform::IDCANCEL;
    }
    std::fprintf(err_, "%s [y/N] ", line.c_str());
    std::fflush(err_);
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, in_)) {
        std::fprintf(err_, "\n");
        return platform::IDCANCEL;
    }
    return IsYes(answer) ? platform::IDOK : platform::IDCANCEL;
}

// A bell in a script's log is noise; only an operator at a terminal hears it.
void TerminalUi::MessageBeep(unsigned)
{
    if (::isatty(::fileno(err_)) != 1) return;
    std::fputc('\a', err_);
    std::fflush(err_);
}

TerminalProgress::TerminalProgress(bool bar, std::FILE* err) : bar_(bar), err_(err) {}

void TerminalProgress::EndBarLine()
{
    if (lineOpen_) {
        std::fputc('\n', err_);
        lineOpen_ = false;
    }
}

std::string TerminalProgress::BarLine(int percent, int columns)
{
    const std::string label = LoadString(IDS_UPDATING_FLASH);
    char number[16];
    std::snprintf(number, sizeof number, "%3d %%", percent);
    const int room = columns - 1; // the last column would wrap on many terminals
    constexpr int kWidest = 40;
    // Label, bar and number; then without the label; then the number alone.
    for (const bool withLabel : {true, false}) {
        const int fixed = (withLabel ? static_cast<int>(label.size()) : 0) + 3 + static_cast<int>(std::strlen(number));
        const int width = std::min(kWidest, room - fixed);
        if (width >= 10) {
            std::string bar(static_cast<std::size_t>(std::clamp(percent, 0, 100) * width / 100), '#');
            bar.resize(static_cast<std::size_t>(width), '.');
            return (withLabel ? label : std::string()) + "[" + bar + "] " + number;
        }
    }
    if (columns <= 0) return number; // width unknown
    // Tighter and tighter, down to nothing on a terminal too narrow even for the digits.
    const std::string digits = std::to_string(percent);
    for (const std::string& form : {std::string(number), digits + "%", digits}) {
        if (static_cast<int>(form.size()) <= room) return form;
    }
    return {};
}

void TerminalProgress::DrawBar()
{
    if (quiet_) return;
    int columns = 80;
    // Asked at every redraw, so the bar follows a resized window.
    if (const int width = platform::TerminalColumns(err_); width > 0) columns = width;
    // Clear to the end of the line: a narrower bar must not leave the old one's tail.
    std::fprintf(err_, "\r%s\x1b[K", BarLine(percent_, columns).c_str());
    std::fflush(err_);
    lineOpen_ = true;
}

void TerminalProgress::ShowStatusText(const std::string& text)
{
    std::lock_guard lock(mutex_);
    // The status view shows the boot loader's banner with its line end; one line here.
    std::string line;
    for (char c : text) {
        if (c != '\r' && c != '\n') line += c;
    }
    if (bar_ && line.rfind(LoadString(IDS_UPDATING_FLASH), 0) == 0) return; // the bar shows it
    if (line == lastText_ || quiet_) return;
    lastText_ = line;
    EndBarLine();
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
}

void TerminalProgress::CreateProgressBar() {}

void TerminalProgress::SetProgressPos(int percent)
{
    std::lock_guard lock(mutex_);
    percent_ = percent;
    if (bar_) DrawBar();
}

void TerminalProgress::DestroyProgressBar()
{
    std::lock_guard lock(mutex_);
    EndBarLine();
}

void TerminalProgress::PostUpdateFinished() {}

void TerminalProgress::RecordSent(std::uint32_t line)
{
    std::lock_guard lock(mutex_);
    lastRecordLine_ = line;
}

void TerminalProgress::FirmwareRefused(std::uint32_t line, const std::string& reason)
{
    std::lock_guard lock(mutex_);
    refusal_ = (line > 0 ? std::to_string(line) + ": " : std::string(" ")) + reason;
}

std::string TerminalProgress::Refusal()
{
    std::lock_guard lock(mutex_);
    return refusal_;
}

void TerminalProgress::RecordRefused(std::uint32_t line)
{
    std::lock_guard lock(mutex_);
    refusedLine_ = line;
}

void TerminalProgress::FlashChangeStarts()
{
    std::lock_guard lock(mutex_);
    flashChanged_ = true;
}

bool TerminalProgress::FlashChanged()
{
    std::lock_guard lock(mutex_);
    return flashChanged_;
}

bool TerminalProgress::StopRequested()
{
    if (platform::RunSignals() > 0) {
        std::lock_guard lock(mutex_);
        // Nothing written yet: stopping costs nothing, so no second signal is asked for.
        if (!flashChanged_) return true;
        if (!warned_) {
            warned_ = true;
            const bool redraw = lineOpen_;
            EndBarLine();
            std::fprintf(err_, "%s\n", LoadString(IDS_UPDATE_STOP_WARNING));
            std::fflush(err_);
            if (redraw) DrawBar();
        }
    }
    return platform::StopRequested();
}

std::uint32_t TerminalProgress::RefusedLine()
{
    std::lock_guard lock(mutex_);
    return refusedLine_;
}

std::uint32_t TerminalProgress::LastRecordLine()
{
    std::lock_guard lock(mutex_);
    return lastRecordLine_;
}

void TerminalProgress::Finish()
{
    std::lock_guard lock(mutex_);
    EndBarLine();
}

} // namespace cli
