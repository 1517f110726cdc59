#include "platform/Ui.h"

#include <atomic>

namespace platform {

namespace {

// Without a front end nobody can answer, so every box counts as confirmed.
class QuietUi final : public UserInterface {
public:
    int MessageBox(const std::string&, const std::string&, unsigned, BoxOwner) override { return IDOK; }
    void MessageBeep(unsigned) override {}
    void SetStatusViewText(const std::string&) override {}
    void SetStatusBarMessage(const std::string&) override {}
};

QuietUi& TheQuietUi()
{
    static QuietUi ui;
    return ui;
}

std::atomic<UserInterface*> installed{nullptr};

} // namespace

UserInterface& Ui()
{
    UserInterface* ui = installed.load(std::memory_order_acquire);
    return ui != nullptr ? *ui : TheQuietUi();
}

UserInterface* SetUi(UserInterface* ui)
{
    return installed.exchange(ui, std::memory_order_acq_rel);
}

int RecordingUi::MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                            BoxOwner owner)
{
    std::lock_guard lock(mutex_);
    boxes_.push_back({text, caption, flags, owner});
    if (answers_.empty())
        return IDOK;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void RecordingUi::MessageBeep(unsigned type)
{
    std::lock_guard lock(mutex_);
    beeps_.push_back(type);
}

void RecordingUi::SetStatusViewText(const std::string& text)
{
    std::lock_guard lock(mutex_);
    statusView_ = text;
    ++statusViewWrites_;
}

void RecordingUi::SetStatusBarMessage(const std::string& text)
{
    std::lock_guard lock(mutex_);
    statusBar_ = text;
}

void RecordingUi::QueueAnswer(int answer)
{
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

std::vector<RecordingUi::Box> RecordingUi::Boxes() const
{
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::vector<unsigned> RecordingUi::Beeps() const
{
    std::lock_guard lock(mutex_);
    return beeps_;
}

std::string RecordingUi::StatusViewText() const
{
    std::lock_guard lock(mutex_);
    return statusView_;
}

std::string RecordingUi::StatusBarMessage() const
{
    std::lock_guard lock(mutex_);
    return statusBar_;
}

int RecordingUi::StatusViewWrites() const
{
    std::lock_guard lock(mutex_);
    return statusViewWrites_;
}

void RecordingUi::Clear()
{
    std::lock_guard lock(mutex_);
    answers_.clear();
    boxes_.clear();
    beeps_.clear();
    statusView_.clear();
    statusBar_.clear();
    statusViewWrites_ = 0;
}

void RecordingUpdateSink::ShowStatusText(const std::string& text)
{
    std::lock_guard lock(mutex_);
    texts_.push_back(text);
}

void RecordingUpdateSink::CreateProgressBar()
{
    std::lock_guard lock(mutex_);
    barVisible_ = true;
    ++barsCreated_;
}

void RecordingUpdateSink::SetProgressPos(int percent)
{
    std::lock_guard lock(mutex_);
    positions_.push_back(percent);
}

void RecordingUpdateSink::DestroyProgressBar()
{
    std::lock_guard lock(mutex_);
    barVisible_ = false;
}

void RecordingUpdateSink::PostUpdateFinished()
{
    std::lock_guard lock(mutex_);
    ++finished_;
}

std::vector<std::string> RecordingUpdateSink::Texts() const
{
    std::lock_guard lock(mutex_);
    return texts_;
}

std::vector<int> RecordingUpdateSink::Positions() const
{
    std::lock_guard lock(mutex_);
    return positions_;
}

bool RecordingUpdateSink::BarVisible() const
{
    std::lock_guard lock(mutex_);
    return barVisible_;
}

int RecordingUpdateSink::BarsCreated() const
{
    std::lock_guard lock(mutex_);
    return barsCreated_;
}

int RecordingUpdateSink::FinishedPosts() const
{
    std::lock_guard lock(mutex_);
    return finished_;
}

ScopedRecordingUi::ScopedRecordingUi() : previous_(SetUi(this)) {}

ScopedRecordingUi::~ScopedRecordingUi()
{
    SetUi(previous_);
}

} // namespace platform
