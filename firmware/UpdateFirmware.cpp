// The boot-loader sequence over the USB link: start procedure, erase and load requests, the
// record lines with their verdicts.
#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "firmware/Firmware.h"
#include "firmware/FirmwareCheck.h"
#include "firmware/UpdateWorker.h"
#include "link/CrvUsbDevice.h"
#include "platform/Clock.h"
#include "platform/LastError.h"
#include "platform/Sha256.h"
#include "res/Strings.h"

namespace {

constexpr std::size_t kReplyBufferSize = 1024;
// A device that never stops talking must not hold the run in a read loop for ever.
constexpr std::size_t kMaxDrainBytes = 65536;

constexpr std::uint32_t kDtrPulseMs = 100;
constexpr std::uint32_t kWakeUpTimeoutMs = 5000;
constexpr std::uint32_t kRequestTimeoutMs = 20000;
constexpr std::uint32_t kAfterLoadRequestMs = 200;
constexpr std::uint32_t kVerdictTimeoutMs = 100;
constexpr int kResetPolls = 60;
constexpr std::uint32_t kResetPollMs = 1000;
constexpr std::uint32_t kAfterBannerMs = 1000;
// The banner or a reply may straddle a latency-timer flush: its rest comes one period later.
// Four periods of the converter's default 16 ms timer.
constexpr std::uint32_t kReplyRestMs = 64;
// Each verdict waits for the converter's latency timer; 2 ms is the shortest it takes.
constexpr d2xx::UCHAR kUpdateLatencyMs = 2;

constexpr std::string_view kBanner = "C8051F120 Firmware Updater";

constexpr std::int32_t kResultFile = -1;
constexpr std::int32_t kResultDtr = -2;
constexpr std::int32_t kResultNoAnswer = -3;
constexpr std::int32_t kResultNoEraseAnswer = -33;
constexpr std::int32_t kResultNoLoadAnswer = -34;
constexpr std::int32_t kResultStopped = kUpdateStopped;

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The progress bar lives exactly as long as the run after the file checks.
class ProgressBar {
public:
    explicit ProgressBar(platform::UpdateSink* frame) : frame_(frame) {
        if (frame_ != nullptr) {
            frame_->CreateProgressBar();
        }
    }
    ~ProgressBar() {
        if (frame_ != nullptr) {
            frame_->DestroyProgressBar();
        }
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

private:
    platform::UpdateSink* frame_;
};

// The latency timer shortened for the run and given back at its end, whatever the exit.
class LatencyTuning {
public:
    LatencyTuning(CCrvUsbDevice& device, bool on) : device_(device) {
        if (!on) {
            return;
        }
        d2xx::UCHAR previous = 0;
        const d2xx::FT_HANDLE handle = device_.DeviceHandle();
        if (device_.Library().GetLatencyTimer(handle, &previous) == d2xx::FT_OK &&
            device_.Library().SetLatencyTimer(handle, kUpdateLatencyMs) == d2xx::FT_OK) {
            previous_ = previous;
            active_ = true;
        }
    }
    ~LatencyTuning() {
        if (active_ && d2xx::IsValidHandle(device_.DeviceHandle())) {
            device_.Library().SetLatencyTimer(device_.DeviceHandle(), previous_);
        }
    }
    LatencyTuning(const LatencyTuning&) = delete;
    LatencyTuning& operator=(const LatencyTuning&) = delete;

private:
    CCrvUsbDevice& device_;
    d2xx::UCHAR previous_ = 0;
    bool active_ = false;
};

// The boot loader's good verdict as the converter's event character: each "G" reaches us at
// once instead of at the next latency-timer tick. The previous characters come back at every
// exit. Through FT_SetChars when the provider has it, else through the DCB, whose DTR must stay
// set: a drop would restart the display in the middle of the run.
class VerdictFlush {
public:
    explicit VerdictFlush(CCrvUsbDevice& device) : device_(device) {
        D2xxLibrary& lib = device_.Library();
        const d2xx::FT_HANDLE handle = device_.DeviceHandle();
        if (lib.W32_GetCommState(handle, &previous_) == FALSE) {
            return;
        }
        if (lib.SetChars(handle, kGood, 1, Char(previous_.ErrorChar), previous_.fErrorChar) == d2xx::FT_OK) {
            mode_ = Mode::Chars;
            return;
        }
        previous_.fDtrControl = d2xx::DTR_CONTROL_ENABLE;
        d2xx::FTDCB dcb = previous_;
        dcb.EvtChar = static_cast<char>(kGood);
        if (lib.W32_SetCommState(handle, &dcb) != FALSE) {
            mode_ = Mode::Dcb;
        }
    }
    ~VerdictFlush() {
        const d2xx::FT_HANDLE handle = device_.DeviceHandle();
        if (mode_ == Mode::None || !d2xx::IsValidHandle(handle)) {
            return;
        }
        D2xxLibrary& lib = device_.Library();
        if (mode_ == Mode::Chars) {
            const d2xx::UCHAR event = Char(previous_.EvtChar);
            lib.SetChars(handle, event, event != 0 ? 1 : 0, Char(previous_.ErrorChar), previous_.fErrorChar);
        } else {
            lib.W32_SetCommState(handle, &previous_);
        }
    }
    VerdictFlush(const VerdictFlush&) = delete;
    VerdictFlush& operator=(const VerdictFlush&) = delete;

private:
    enum class Mode { None, Chars, Dcb };
    static constexpr d2xx::UCHAR kGood = 'G';
    static d2xx::UCHAR Char(char c) { return static_cast<d2xx::UCHAR>(c); }

    CCrvUsbDevice& device_;
    d2xx::FTDCB previous_{};
    Mode mode_ = Mode::None;
};

class UpdateRun {
public:
    UpdateRun(CCrvUsbDevice& device, platform::UpdateSink* frame, std::int32_t family,
              std::string_view bytes)
        : device_(device), frame_(frame), family_(family),
          progress_(UpdateProgress::ForSize(static_cast<std::uint32_t>(bytes.size()))), bytes_(bytes) {}

    void ResetLink() {
        D2xxLibrary& lib = device_.Library();
        const d2xx::FT_HANDLE handle = device_.DeviceHandle();
        lib.StopInTask(handle);
        lib.W32_PurgeComm(handle, d2xx::PURGE_TXCLEAR | d2xx::PURGE_RXCLEAR);
        lib.RestartInTask(handle);
        lib.W32_ClearCommError(handle);
    }

    std::int32_t AutomaticStart() {
        const std::int32_t result = AutomaticSequence();
        if (result == kResultStopped && !recordLoopEnded_) {
            file_.reset();
            Finish();
        }
        return result;
    }

    std::int32_t ManualStart() {
        const std::int32_t result = ManualSequence();
        if (!recordLoopEnded_) {
            file_.reset();
            Finish();
        }
        return result;
    }

private:
    std::int32_t AutomaticSequence() {
        if (!Escape(d2xx::CLRDTR)) {
            return kResultDtr;
        }
        platform::Sleep(kDtrPulseMs);
        if (!Escape(d2xx::SETDTR)) {
            return kResultDtr;
        }
        platform::Sleep(kDtrPulseMs);
        file_.emplace(bytes_);
        // On these exits DTR stays set and the link keeps its state.
        Request("\r\n");
        if (!AwaitReply(kWakeUpTimeoutMs)) {
            return StopOr(kResultNoAnswer);
        }
        if (!StartErase()) {
            return kResultStopped;
        }
        ShowStatus(LoadStdString(IDS_ERASING_FLASH));
        Request("K\r\n");
        if (!AwaitReply(kRequestTimeoutMs)) {
            return StopOr(kResultNoAnswer);
        }
        Request("L\r\n");
        platform::Sleep(kAfterLoadRequestMs);
        if (!AwaitReply(kRequestTimeoutMs)) {
            return StopOr(kResultNoAnswer);
        }
        if (const auto ended = RecordLoop()) {
            return *ended;
        }
        file_.reset();
        const std::int32_t result = FinalAnswer();
        Finish();
        recordLoopEnded_ = true;
        return result;
    }

    std::int32_t ManualSequence() {
        file_.emplace(bytes_);
        Escape(d2xx::SETDTR);
        platform::Sleep(kDtrPulseMs);
        ShowStatus(LoadStdString(IDS_PLEASE_RESET));
        int polls = 0;
        // A failed queue query (-1) counts as data: the banner check then decides.
        while (device_.GetBytesAvailable() == 0) {
            platform::Sleep(kResetPollMs);
            if (Stopping()) {
                return kResultStopped;
            }
            if (++polls == kResetPolls) {
                return kResultNoAnswer;
            }
        }
        reply_.fill(0);
        const std::size_t n = ReadBanner();
        const std::string text = ReplyText(n);
        if (LinkLost() || text.compare(0, kBanner.size(), kBanner) != 0) {
            return StopOr(kResultNoAnswer);
        }
        ShowStatus(LoadStdString(IDS_ERASING_FLASH) + text + ": ");
        platform::Sleep(kAfterBannerMs);
        if (!StartErase()) {
            return kResultStopped;
        }
        Request("K\r\n");
        if (!AwaitReply(kRequestTimeoutMs)) {
            return StopOr(LinkLost() ? kResultNoAnswer : kResultNoEraseAnswer);
        }
        Request("L\r\n");
        platform::Sleep(kAfterLoadRequestMs);
        if (!AwaitReply(kRequestTimeoutMs)) {
            return StopOr(LinkLost() ? kResultNoAnswer : kResultNoLoadAnswer);
        }
        if (const auto ended = RecordLoop()) {
            recordLoopEnded_ = true;
            return *ended;
        }
        return FinalAnswer();
    }

    // Success needs the boot loader's answer after the end-of-file record's verdict: a loader
    // that fell silent has not taken the end of the file. A "G" here is one verdict more than records sent, not the answer: the loader answered
    // some record twice, so another may be missing from the flash. No verdict code fits;
    // reported as the garbled verdict 0 is, a loader not answering as it should.
    std::int32_t FinalAnswer() {
        reply_.fill(0);
        const std::size_t n = AwaitReplyCount(kRequestTimeoutMs);
        if (n == 0 || LinkLost() || reply_[0] == 'G') {
            return StopOr(kResultNoAnswer);
        }
        return 0;
    }

    bool Stopping() const { return frame_ != nullptr && frame_->StopRequested(); }

    // A stop asked for before the erase ends the run with the display's firmware intact.
    bool StartErase() {
        if (Stopping()) {
            return false;
        }
        if (frame_ != nullptr) {
            frame_->FlashChangeStarts();
        }
        return true;
    }

    // A wait cut short by a stop request ends the run as stopped, not as the wait's failure.
    std::int32_t StopOr(std::int32_t result) const { return Stopping() ? kResultStopped : result; }

    // The banner up to its line end: what is queued, then the rest while it keeps coming.
    std::size_t ReadBanner() {
        return ReadLineRest(ReadQueued(0), platform::GetTickCount(), kWakeUpTimeoutMs);
    }

    // Sends every record line and matches each verdict, however late, to the record it
    // answers, in order. A value when the run ends here (its exit steps taken); nothing when
    // every record was answered "G". One exit path, so that the loop can be wrapped whole.
    std::optional<std::int32_t> RecordLoop() {
        // The verdicts reach the host at once, not at the next latency tick.
        const VerdictFlush flush(device_);
        const std::optional<LoopEnd> end = SendRecords();
        if (!end) {
            ShowProgress(FinishProgress(progress_));
            return std::nullopt;
        }
        if (end->code == kResultStopped || end->silent) {
            file_.reset();
            Finish();
            recordLoopEnded_ = true;
            return end->code;
        }
        if (end->line != 0 && frame_ != nullptr) {
            frame_->RecordRefused(end->line);
        }
        recordLoopEnded_ = true;
        return EndRecordLoop(end->code);
    }

    struct LoopEnd {
        std::int32_t code = 0;
        std::uint32_t line = 0; // the refused record's file line
        bool silent = false;    // records left unanswered
    };

    std::optional<LoopEnd> SendRecords() {
        std::string piece;
        piece.reserve(kLineBufferSize);
        reply_.fill(0);
        pending_.clear();
        // Whatever came after the load reply was read is no verdict of a record not sent yet.
        DropStale();
        std::uint32_t nextLine = 1;
        while (ReadRecordLine(*file_, piece)) {
            const std::uint32_t line = nextLine;
            if (!piece.empty() && piece.back() == '\n') {
                ++nextLine;
            }
            const auto text = PrepareRecordText(piece, family_);
            if (!text) {
                continue;
            }
            Send(*text);
            pending_.push_back(line);
            if (frame_ != nullptr) {
                frame_->RecordSent(line);
            }
            if (const auto percent = CountProgress(progress_, static_cast<std::uint32_t>(text->size()))) {
                ShowProgress(*percent);
            }
            if (LinkLost()) {
                return LoopEnd{kResultNoAnswer};
            }
            // At most the verdict wait before the next record; what came meanwhile is counted.
            if (auto end = TakeVerdicts(kVerdictTimeoutMs)) {
                return end;
            }
            if (Stopping()) {
                return LoopEnd{kResultStopped};
            }
        }
        // The verdicts still owed, each within the final answer's wait of the one before.
        while (!pending_.empty()) {
            if (auto end = TakeVerdicts(kRequestTimeoutMs)) {
                return end;
            }
            if (Stopping()) {
                return LoopEnd{kResultStopped};
            }
        }
        return std::nullopt;
    }

    // Waits up to timeoutMs for a verdict, then takes every verdict already queued, each for
    // the oldest record without one. A value when the run ends: a refusal, a lost link, or
    // (with records owed and the long wait over) silence.
    std::optional<LoopEnd> TakeVerdicts(std::uint32_t timeoutMs) {
        // Cleared first: a read that reports a byte without storing one must not pass for the
        // previous verdict.
        reply_[0] = 0;
        std::int32_t got = ReadFirstByte(timeoutMs);
        for (;;) {
            if (LinkLost()) {
                return LoopEnd{kResultNoAnswer};
            }
            if (got <= 0) {
                if (timeoutMs >= kRequestTimeoutMs && !Stopping()) {
                    return LoopEnd{kResultNoAnswer, 0, true};
                }
                return std::nullopt; // silence within the verdict wait: the record stays owed
            }
            const std::uint32_t line = pending_.front();
            pending_.pop_front();
            if (reply_[0] != 'G') {
                // A 0 byte would read as the success code.
                return LoopEnd{reply_[0] == 0 ? kResultNoAnswer : std::int32_t{reply_[0]}, line};
            }
            // A byte beyond the records sent stays queued: it is the next record's verdict, or
            // after the last record the final answer, whose step tells a surplus verdict from it.
            if (pending_.empty() || device_.GetBytesAvailable() <= 0) {
                return std::nullopt;
            }
            reply_[0] = 0;
            got = device_.ReadBuffer(std::span(reply_.data(), 1), 0);
        }
    }

    // One byte into the reply buffer within timeoutMs, waited for in slices so that a stop
    // request is seen within one verdict wait.
    std::int32_t ReadFirstByte(std::uint32_t timeoutMs) {
        const std::uint32_t start = platform::GetTickCount();
        for (;;) {
            const std::uint32_t spent = platform::GetTickCount() - start;
            const std::uint32_t slice = std::min(timeoutMs - std::min(spent, timeoutMs), kVerdictTimeoutMs);
            const std::int32_t got = device_.ReadBuffer(std::span(reply_.data(), 1), slice);
            if (got > 0 || LinkLost() || Stopping() || platform::GetTickCount() - start >= timeoutMs) {
                return got;
            }
        }
    }

    std::int32_t EndRecordLoop(std::int32_t result) {
        ShowStatus(LoadStdString(IDS_IDLE_MESSAGE));
        if (family_ != FamilyKv) {
            Escape(d2xx::CLRDTR);
        }
        file_.reset();
        return result;
    }

    void Finish() {
        Escape(d2xx::CLRDTR);
        ResetLink();
        ShowStatus(LoadStdString(IDS_IDLE_MESSAGE));
    }

    bool Escape(d2xx::DWORD function) {
        return device_.Library().W32_EscapeCommFunction(device_.DeviceHandle(), function) != FALSE;
    }

    void Send(std::string_view text) {
        if (device_.WriteBuffer(Bytes(text)) == FALSE) {
            lost_ = true;
        }
    }

    // A loss seen once spoils the run, even if a later write reopened the converter.
    bool LinkLost() {
        lost_ = lost_ || device_.m_bLinkLost != FALSE;
        return lost_;
    }

    // One byte within the time-out, then whatever else is queued. A lost link is no reply.
    bool AwaitReply(std::uint32_t timeoutMs) {
        return AwaitReplyCount(timeoutMs) > 0 && !LinkLost();
    }

    // A reply ends at its line end, or when the line has been quiet for a while: the converter
    // may hand it over in two packets, and its tail must not pass for the next request's reply.
    // The request's time-out bounds the whole reply, its first byte and its rest alike.
    std::size_t AwaitReplyCount(std::uint32_t timeoutMs) {
        const std::uint32_t start = platform::GetTickCount();
        const std::size_t n = static_cast<std::size_t>(std::max(0, ReadFirstByte(timeoutMs)));
        return n == 0 ? 0 : ReadLineRest(ReadQueued(n), start, timeoutMs);
    }

    // The rest of a line whose first n bytes are in the reply buffer: what is queued, then more
    // while it keeps coming within kReplyRestMs. A line that keeps trickling without ending
    // until limitMs after start, or one cut short by a stop request, is no reply: 0.
    std::size_t ReadLineRest(std::size_t n, std::uint32_t start, std::uint32_t limitMs) {
        const auto lineEnded = [this](std::size_t count) {
            const auto end = reply_.begin() + static_cast<std::ptrdiff_t>(count);
            return std::find(reply_.begin(), end, '\n') != end;
        };
        while (n < reply_.size() && !lineEnded(n) && !LinkLost()) {
            if (Stopping() || platform::GetTickCount() - start >= limitMs) {
                return 0;
            }
            const std::int32_t got = device_.ReadBuffer(std::span(&reply_[n], 1), kReplyRestMs);
            if (got <= 0) {
                break;
            }
            n = ReadQueued(n + static_cast<std::size_t>(got));
        }
        return n;
    }

    // A request goes out on a quiet line: bytes that came after the last reply was read (a late
    // tail, a second answer) must not pass for this request's reply.
    void Request(std::string_view text) {
        DropStale();
        Send(text);
    }

    void DropStale() { ReadQueued(reply_.size()); }

    // Reads what the receive queue holds, one byte at a time, after the n bytes already in the
    // reply buffer; bytes beyond its end are read and dropped. Returns the bytes stored.
    std::size_t ReadQueued(std::size_t n) {
        std::size_t drained = 0;
        std::uint8_t dropped = 0;
        while (drained < kMaxDrainBytes && device_.GetBytesAvailable() > 0) {
            std::uint8_t* target = n < reply_.size() ? &reply_[n] : &dropped;
            const std::int32_t got = device_.ReadBuffer(std::span(target, 1), 0);
            if (got > 0 && n < reply_.size()) {
                n += static_cast<std::size_t>(got);
            }
            ++drained;
        }
        return n;
    }

    std::string ReplyText(std::size_t n) const {
        const auto end = std::find(reply_.begin(), reply_.begin() + static_cast<std::ptrdiff_t>(n), 0);
        return {reply_.begin(), end};
    }

    void ShowStatus(const std::string& text) {
        if (frame_ != nullptr) {
            frame_->ShowStatusText(text);
        }
    }

    void ShowProgress(std::uint32_t percent) {
        if (frame_ == nullptr) {
            return;
        }
        frame_->SetProgressPos(static_cast<int>(std::min<std::uint32_t>(percent, 100)));
        frame_->ShowStatusText(LoadStdString(IDS_UPDATING_FLASH) + std::to_string(percent) + " %");
    }

    CCrvUsbDevice& device_;
    platform::UpdateSink* frame_;
    std::int32_t family_;
    UpdateProgress progress_;
    std::string_view bytes_;
    std::optional<FirmwareTextFile> file_;
    std::deque<std::uint32_t> pending_; // file lines of the records without a verdict yet
    std::array<std::uint8_t, kReplyBufferSize> reply_{};
    bool lost_ = false;
    bool recordLoopEnded_ = false; // the loop's own exit steps were taken
};

} // namespace

std::int32_t UpdateFirmware(CCrvUsbDevice& device, const std::string& path,
                            platform::UpdateSink* frame, std::int32_t family, bool latencyTuning,
                            CheckedFirmware* checked) {
    std::string bytes;
    if (!ReadFirmwareFile(path, family, bytes)) {
        return kResultFile;
    }
    if (checked != nullptr) {
        checked->size = bytes.size();
        checked->sha256 = platform::Sha256Hex(Bytes(bytes));
    }
    if (const FirmwareContentProblem problem = CheckFirmwareContent(std::string_view(bytes)); problem.error != 0) {
        if (frame != nullptr) {
            frame->FirmwareRefused(problem.line, problem.reason);
        }
        platform::SetLastError(problem.error);
        return kResultFile;
    }
    ProgressBar bar(frame);
    UpdateRun run(device, frame, family, bytes);
    run.ResetLink();
    LatencyTuning latency(device, latencyTuning);
    if (family == FamilyKv) {
        return run.AutomaticStart();
    }
    return run.ManualStart();
}
