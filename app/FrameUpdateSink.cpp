#include "app/FrameUpdateSink.h"

#include "platform/StopSignals.h"

#include <QMetaObject>
#include <QThread>
#include <memory>

#include "app/ChildView.h"
#include "app/MainFrame.h"
#include "dialogs/QtText.h"
#include "app/StatusBar.h"

namespace gui {

FrameUpdateSink& FrameUpdateSink::Instance()
{
    // Leaked on purpose: a worker thread may still hold it while statics are destroyed.
    static FrameUpdateSink* sink = new FrameUpdateSink;
    return *sink;
}

void FrameUpdateSink::Attach(CMainFrame* frame)
{
    std::lock_guard lock(mutex_);
    frame_ = frame;
    ++generation_;
    done_.notify_all();
}

void FrameUpdateSink::Detach()
{
    std::lock_guard lock(mutex_);
    frame_ = nullptr;
    ++generation_;
    done_.notify_all();
}

bool FrameUpdateSink::Attached() const
{
    std::lock_guard lock(mutex_);
    return frame_ != nullptr;
}

void FrameUpdateSink::RunOnUi(const std::function<void(CMainFrame&, bool)>& fn)
{
    std::unique_lock lock(mutex_);
    CMainFrame* frame = frame_;
    if (frame == nullptr)
        return;
    if (QThread::currentThread() == frame->thread()) {
        lock.unlock();
        fn(*frame, false);
        return;
    }
    const std::uint64_t generation = generation_;
    auto finished = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        frame,
        [this, fn, finished, generation] {
            CMainFrame* target = nullptr;
            {
                std::lock_guard inner(mutex_);
                if (generation_ == generation)
                    target = frame_;
            }
            if (target != nullptr)
                fn(*target, true);
            std::lock_guard inner(mutex_);
            *finished = true;
            done_.notify_all();
        },
        Qt::QueuedConnection);
    // The frame being destroyed drops the queued call; Detach() then ends the wait.
    done_.wait(lock, [&] { return *finished || generation_ != generation; });
}

void FrameUpdateSink::ShowStatusText(const std::string& text)
{
    const QString qtext = ToQtLines(text);
    RunOnUi([qtext](CMainFrame& frame, bool fromWorker) {
        // Only the UI thread may take the focus; from the worker that step has no effect.
        frame.m_wndView->ShowStatusText(qtext, !fromWorker);
    });
}

void FrameUpdateSink::CreateProgressBar()
{
    RunOnUi([](CMainFrame& frame, bool) { frame.m_wndStatusBar->CreateProgressBar(); });
}

void FrameUpdateSink::SetProgressPos(int percent)
{
    RunOnUi([percent](CMainFrame& frame, bool) { frame.OnUpdateProgress(percent); });
}

void FrameUpdateSink::DestroyProgressBar()
{
    RunOnUi([](CMainFrame& frame, bool) { frame.EndProgress(); });
}

void FrameUpdateSink::PostUpdateFinished()
{
    std::lock_guard lock(mutex_);
    if (frame_ != nullptr)
        frame_->PostMessage(CMainFrame::WM_USER);
}

bool FrameUpdateSink::StopRequested()
{
    return platform::StopRequested();
}

} // namespace gui
