#pragma once
// The main frame as the update worker sees it. The worker calls from its own thread; each call
// is carried out on the UI thread and has completed when it returns. Detach() (the frame going
// away, or shutdown) turns every later call into nothing and releases a waiting worker, so the
// UI thread may then wait for the worker without a deadlock.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/Ui.h"

class CMainFrame;

namespace gui {

class FrameUpdateSink final : public platform::UpdateSink {
public:
    // The one sink of the process; it is never destroyed, so a worker can always reach it.
    static FrameUpdateSink& Instance();

    void Attach(CMainFrame* frame); // UI thread
    void Detach();                  // UI thread
    bool Attached() const;

    void ShowStatusText(const std::string& text) override;
    void CreateProgressBar() override;
    void SetProgressPos(int percent) override;
    void DestroyProgressBar() override;
    void PostUpdateFinished() override;
    // Any thread: the signal's flag, no trip to the UI thread.
    bool StopRequested() override;

private:
    FrameUpdateSink() = default;
    // Runs fn with the frame on the UI thread; fromWorker tells fn whether it was called from
    // another thread. Returns once fn has run or the sink was detached.
    void RunOnUi(const std::function<void(CMainFrame&, bool fromWorker)>& fn);

    mutable std::mutex mutex_;
    std::condition_variable done_;
    CMainFrame* frame_ = nullptr;
    std::uint64_t generation_ = 0;
};

} // namespace gui
