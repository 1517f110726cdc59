#include "app/QtUi.h"

#include <QApplication>
#include <QMetaObject>
#include <QThread>
#include <cstdio>
#include <memory>
#include <optional>

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
    if (QThread::currentThread() != qApp->thread())
        return MessageBoxFromWorker(text, caption, flags, owner);
    QWidget* parent = nullptr;
    if (owner == platform::BoxOwner::MainWindow)
        parent = frame_;
    else if (owner == platform::BoxOwner::Dialog)
        parent = QApplication::activeModalWidget() != nullptr ? QApplication::activeModalWidget()
                                                              : frame_;
    return ShowMessageBox(parent, text, caption, flags);
}

int QtUi::AnswerOnStderr(const std::string& text, const std::string& caption, unsigned flags)
{
    std::fprintf(stderr, "%s\n", BoxLine(caption, text).c_str());
    std::fflush(stderr);
    // Nobody chose: a question gets the answer that changes nothing.
    return (flags & 0x0F) == platform::MB_OK ? platform::IDOK : platform::IDCANCEL;
}

int QtUi::MessageBoxFromWorker(const std::string& text, const std::string& caption,
                               unsigned flags, platform::BoxOwner owner)
{
    // A queued call and a wait that ReleaseWorkers() ends, never a blocking queued call: the
    // UI thread may be about to wait for this thread and would then never run the call.
    std::unique_lock lock(workerMutex_);
    if (workersReleased_) {
        lock.unlock();
        return AnswerOnStderr(text, caption, flags);
    }
    const std::uint64_t generation = workerGeneration_;
    auto answer = std::make_shared<std::optional<int>>();
    QMetaObject::invokeMethod(
        qApp,
        [this, answer, generation, text, caption, flags, owner] {
            {
                std::lock_guard inner(workerMutex_);
                if (workerGeneration_ != generation)
                    return; // the asking thread has been answered already
            }
            const int pressed = MessageBox(text, caption, flags, owner);
            std::lock_guard inner(workerMutex_);
            *answer = pressed;
            workerAnswered_.notify_all();
        },
        Qt::QueuedConnection);
    workerAnswered_.wait(lock,
                         [&] { return answer->has_value() || workerGeneration_ != generation; });
    if (answer->has_value())
        return **answer;
    lock.unlock();
    return AnswerOnStderr(text, caption, flags);
}

void QtUi::ReleaseWorkers()
{
    std::lock_guard lock(workerMutex_);
    workersReleased_ = true;
    ++workerGeneration_;
    workerAnswered_.notify_all();
}

void QtUi::EngageWorkers()
{
    std::lock_guard lock(workerMutex_);
    workersReleased_ = false;
    ++workerGeneration_;
}

void QtUi::MessageBeep(unsigned)
{
    QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

void QtUi::SetStatusViewText(const std::string& text)
{
    // A job on a worker thread (the unit job) reports here too; widgets are the UI thread's.
    if (QThread::currentThread() != qApp->thread()) {
        QMetaObject::invokeMethod(qApp, [this, text] { SetStatusViewText(text); }, Qt::QueuedConnection);
        return;
    }
    if (frame_)
        frame_->SetStatusViewText(text);
}

void QtUi::SetStatusBarMessage(const std::string& text)
{
    if (QThread::currentThread() != qApp->thread()) {
        QMetaObject::invokeMethod(qApp, [this, text] { SetStatusBarMessage(text); }, Qt::QueuedConnection);
        return;
    }
    if (frame_)
        frame_->m_wndStatusBar->SetMessage(ToQt(text));
}

} // namespace gui
