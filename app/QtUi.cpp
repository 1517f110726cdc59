#include "app/QtUi.h"

#include <QApplication>
#include <QMetaObject>
#include <QThread>
#include <cstdio>

#include "app/MainFrame.h"
#include "dialogs/QtText.h"
#include "dialogs/Seams.h"
#include "app/StatusBar.h"

namespace gui {

std::string BoxLine(const std::string& caption, const std::string& text)
{
    std::string line = caption + ": ";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n' || text[i] == '\r')
            line += " / ";
        else
            line += text[i];
    }
    return line;
}

int QtUi::MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                     platform::BoxOwner owner)
{
    if (toStderr_) {
        std::fprintf(stderr, "%s\n", BoxLine(caption, text).c_str());
        std::fflush(stderr);
        return platform::IDOK;
    }
    if (QThread::currentThread() != qApp->thread()) {
        // Not expected from the core; done on the UI thread, which never waits for a worker.
        int answer = platform::IDOK;
        QMetaObject::invokeMethod(
            qApp, [&] { answer = MessageBox(text, caption, flags, owner); },
            Qt::BlockingQueuedConnection);
        return answer;
    }
    QWidget* parent = nullptr;
    if (owner == platform::BoxOwner::MainWindow)
        parent = frame_;
    else if (owner == platform::BoxOwner::Dialog)
        parent = QApplication::activeModalWidget() != nullptr ? QApplication::activeModalWidget()
                                                              : frame_;
    return ShowMessageBox(parent, text, caption, flags);
}

void QtUi::MessageBeep(unsigned)
{
    QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

void QtUi::SetStatusViewText(const std::string& text)
{
    if (frame_)
        frame_->SetStatusViewText(text);
}

void QtUi::SetStatusBarMessage(const std::string& text)
{
    if (frame_)
        frame_->m_wndStatusBar->SetMessage(ToQt(text));
}

} // namespace gui
