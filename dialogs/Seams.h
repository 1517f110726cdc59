#pragma once
// Everything modal goes through here: message boxes, file dialogs and modal dialogs. A hook can
// answer in the user's place ("next answer"), so tests and scripted runs never block; Reset()
// drops every hook and recorded request (tests call it in SetUp and TearDown).
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Ui.h"

class QDialog;
class QWidget;

namespace gui {

struct BoxRequest {
    std::string text;
    std::string caption;
    unsigned flags = 0;
    platform::BoxOwner owner = platform::BoxOwner::None;
};

// File dialog flags, with the Windows values the handlers name.
enum : unsigned {
    OFN_OVERWRITEPROMPT = 0x0002,
    OFN_HIDEREADONLY = 0x0004,
    OFN_PATHMUSTEXIST = 0x0800,
};

// A file dialog as the handler asks for it, with the flags and the '|'-separated filter of the
// string table.
struct FileRequest {
    bool save = false;
    std::string defaultExtension; // without the dot
    std::string defaultName;
    std::string filter;
    unsigned flags = 0;
};

// The '|'-separated filter as Qt writes it: "HEX Data Files (*.hex);;All files (*)". "*.*"
// becomes "*", because on this system a file name need not contain a dot.
QString ToQtFilter(const std::string& filter);

// Modal message box; returns IDOK or IDCANCEL (the Windows values). UI thread only. While the
// box is open, *open (when given) points to it, so that its owner can close it early.
int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                   unsigned flags, QPointer<QDialog>* open = nullptr);
// File-open or file-save dialog starting in the current directory; the full path chosen, or
// nothing when the user cancels.
std::optional<std::string> GetFileName(QWidget* owner, const FileRequest& request);
// Runs the dialog modally (exec) and returns its result code.
int RunModal(QDialog& dialog);

namespace seams {

// The answer to the next message box (IDOK, IDCANCEL); answers are used in order.
void QueueBoxAnswer(int answer);
// Answers every box that has no queued answer; it sees the box before the answer is used.
void SetBoxAnswerer(std::function<int(const BoxRequest&)> answerer);
// The answer to the next file dialog: a path, or nothing for Cancel.
void QueueFileAnswer(std::optional<std::string> path);
// Called with each dialog once it runs modally (after the event loop has shown it); the driver
// fills fields and clicks buttons like the user would.
void SetDialogDriver(std::function<void(QDialog&)> driver);
// With nobody to answer: a box takes its default button, a file dialog is cancelled, a dialog
// is rejected; nothing waits for input.
void SetUnattended(bool unattended);
bool Unattended();

// What was asked, in order (kept until Reset).
std::vector<BoxRequest> Boxes();
std::vector<FileRequest> FileRequests();
int DialogsRun();

void Reset();

} // namespace seams
} // namespace gui
