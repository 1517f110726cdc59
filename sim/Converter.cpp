#include "sim/Converter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "link/ConverterRules.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/System.h"
#include "sim/DisplayUnit.h"
#include "sim/UsbChip.h"

namespace sim {

using namespace d2xx;

namespace {

constexpr std::uint64_t kNsPerMs = 1000000;
// A DTR rise this long after a DTR drop is the host's reset pulse (100 ms low), not an
// operator's reset. A rise at once after a drop is no pulse: opening an Opal clears DTR, and
// its update sets DTR again a moment later and waits for the operator.
constexpr std::uint64_t kPulseMinNs = 50 * kNsPerMs;
constexpr std::uint64_t kPulseMaxNs = 300 * kNsPerMs;
// The chip sends a full USB packet (62 data bytes) without waiting for the latency timer.
constexpr std::size_t kPacketBytes = 62;
constexpr std::size_t kHostQueueLimit = 1 << 20;
constexpr const char* kStateFile = "converter.ini";
constexpr const char* kImageFile = "eeprom.bin";
constexpr const char* kLockFile = "converter.lock";

std::string Text(const std::string& file, const char* section, const char* key)
{
    return platform::GetProfileString(section, key, "", file, 16384);
}

// Temporary file in the same folder, fsync, rename: a reader in another process sees the old
// state or the new one, never half of it.
bool WriteFileAtomically(const std::string& path, const std::string& text)
{
    return platform::ReplaceFileContent(path, text, 0644);
}

// No image is larger than 64 KiB; anything larger is not ours.
bool ReadWholeFile(const std::string& path, std::string& out)
{
    return platform::ReadRegularFile(path, out, 65536) == platform::FileStatus::Ok;
}

// Into the caller's 64-byte buffer: a chip's image may claim longer strings.
void CopyString(char* out, const std::string& s)
{
    if (!out)
        return;
    const std::size_t n = std::min<std::size_t>(s.size(), 63);
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
}

// A string from the host: nullopt unless it ends within 64 bytes.
std::optional<std::string> TakeString(const char* s)
{
    if (!s)
        return std::nullopt;
    const std::size_t n = strnlen(s, 64);
    if (n == 64)
        return std::nullopt;
    return std::string(s, n);
}

} // namespace

Converter::Converter(SimConfig config) : config_(std::move(config)), image_(config_.chipType)
{
    manufacturerId_ = config_.eeprom.manufacturerId;
    if (!config_.eepromWords.empty() && config_.eepromWords.size() == image_.WordCount()) {
        for (std::size_t i = 0; i < image_.WordCount(); ++i)
            image_.SetWord(i, config_.eepromWords[i]);
    } else {
        const EepromContents& e = config_.eeprom;
        if (!image_.Encode(e.image, {e.manufacturer, e.description, e.serialNumber})) {
            std::fprintf(stderr,
                         "kestrune-sim: the [Eeprom] strings have more than the %zu characters "
                         "this chip holds; the EEPROM keeps none\n",
                         image_.StringBudget());
            image_.Encode(e.image, {});
        }
        const std::vector<std::uint8_t> blank(image_.UserAreaSize(), 0xFF);
        PutUserArea(blank.data(), blank.size());
        if (!config_.userAreaErased)
            PutUserArea(config_.userArea.data(), config_.userArea.size());
    }
    // The factory's image is no write of the host's: the word faults count from here.
    faultsArmed_ = true;
    latencyMs_ = config_.latencyTimerMs;
    unit_ = std::make_unique<DisplayUnit>(config_.display, config_.bootLoader, config_.stateFolder);
    LoadState();
}

Converter::~Converter()
{
    if (session_)
        Close(session_, lastMs_);
    Unlock();
}

// A real converter takes one open at a time across the whole machine: the lock in the state
// folder stands for that, and the kernel frees it when the holder dies.
bool Converter::LockForSession()
{
    heldElsewhere_ = false;
    if (config_.stateFolder.empty() || lock_.IsOpen())
        return true;
    platform::CreateDirectory(config_.stateFolder);
    platform::FileStatus status = platform::FileStatus::Ok;
    lock_ = platform::File::Open(StatePath(kLockFile), platform::FileAccess::ReadWriteCreate, status, false);
    if (!lock_.IsOpen())
        return true; // a folder we cannot write holds no state to guard either
    if (lock_.TryLockWhole())
        return true;
    Unlock();
    heldElsewhere_ = true;
    return false;
}

void Converter::Unlock()
{
    lock_.Close();
}

int Converter::ListedCount() const
{
    if (!config_.present)
        return 0;
    return cablePulled_ ? config_.count - 1 : config_.count;
}

std::string Converter::ListedSerial(int index) const
{
    if (index < 0 || index >= ListedCount())
        return {};
    if (Listed() && index == 0)
        return config_.serialNumber;
    const int other = Listed() ? index : index + 1;
    std::string s = config_.serialNumber.substr(0, 12) + "-" + std::to_string(other + 1);
    return s;
}

int Converter::IndexBySerial(const std::string& name) const
{
    int prefixed = -1;
    int prefixes = 0;
    for (int i = 0; i < ListedCount(); ++i) {
        const std::string s = ListedSerial(i);
        if (s == name)
            return i;
        if (SerialNames(name, s)) {
            prefixed = i;
            ++prefixes;
        }
    }
    return prefixes == 1 ? prefixed : -1;
}

std::string Converter::ListedDescription(int index) const
{
    if (index < 0 || index >= ListedCount())
        return {};
    return (Listed() && index == 0) ? image_.DecodeStrings().description : "USB Serial Converter";
}

std::uint32_t Converter::LocationId(int index) const
{
    return 0x1011 + static_cast<std::uint32_t>(index);
}

std::uint32_t Converter::UsbId() const
{
    return static_cast<std::uint32_t>(image_.Word(1)) << 16 | image_.Word(2);
}

void Converter::PullCable(SimTime nowMs)
{
    Now(nowMs);
    if (session_ && unit_->InBootLoader())
        unit_->SaveFlash();
    cablePulled_ = true;
    session_ = 0;
    Unlock();
    ClearQueues();
}

std::uint64_t Converter::Open(SimTime nowMs)
{
    if (!Listed() || session_ || config_.busy || config_.accessDenied || !LockForSession())
        return 0;
    // Another process may have programmed the EEPROM since.
    LoadState();
    Now(nowMs);
    ClearQueues();
    opened_ = now_;
    dcb_ = FTDCB{};
    dcb_.DCBlength = sizeof(FTDCB);
    dcb_.BaudRate = 9600;
    dcb_.fBinary = 1;
    dcb_.ByteSize = 8;
    timeouts_ = FTTIMEOUTS{};
    dtr_ = rts_ = false;
    latencyMs_ = config_.latencyTimerMs;
    eventOn_ = errorOn_ = false;
    eventChar_ = errorChar_ = 0;
    unit_->Restart();
    resetPending_ = false;
    haveClrDtr_ = false;
    session_ = ++lastSession_;
    return session_;
}

void Converter::Close(std::uint64_t session, SimTime nowMs)
{
    if (session == 0 || session != session_)
        return;
    Now(nowMs);
    unit_->SaveFlash();
    session_ = 0;
    Unlock();
    ClearQueues();
}

bool Converter::InBootLoader() const
{
    return unit_->InBootLoader();
}

bool Converter::Alive(std::uint64_t session) const
{
    return session != 0 && session == session_ && !cablePulled_;
}

void Converter::ClearQueues()
{
    bannerTail_.clear();
    toDisplay_.clear();
    onWire_.clear();
    chipBuffer_.clear();
    hostQueue_.clear();
    txFree_ = rxFree_ = now_;
}

Converter::Nanos Converter::Now(SimTime nowMs)
{
    const Nanos within = std::min<Nanos>(nowMs.ns, kNsPerMs - 1);
    if (!haveTime_) {
        haveTime_ = true;
        lastMs_ = nowMs.ms;
        msBase_ = now_;
        now_ += within;
        return now_;
    }
    const std::uint32_t delta = nowMs.ms - lastMs_;
    // A clock read on another thread a moment earlier must not throw time forward by 49 days.
    if (delta < 0x80000000u) {
        msBase_ += delta * kNsPerMs;
        lastMs_ = nowMs.ms;
        // Never backwards: a caller without finer time gives the millisecond's start.
        now_ = std::max(now_, msBase_ + within);
    }
    return now_;
}

Converter::Nanos Converter::ByteTime() const
{
    const std::uint64_t baud = dcb_.BaudRate ? dcb_.BaudRate : 9600;
    const std::uint64_t bits = 1 + (dcb_.ByteSize ? dcb_.ByteSize : 8) + (dcb_.Parity ? 1 : 0) +
                               (dcb_.StopBits == 2 ? 2 : 1);
    return bits * 1000000000ull / baud;
}

void Converter::Advance(SimTime nowMs)
{
    const Nanos now = Now(nowMs);
    while (!toDisplay_.empty() && toDisplay_.front().at <= now && !cablePulled_) {
        const Timed t = toDisplay_.front();
        toDisplay_.pop_front();
        if (resetPending_ && resetAt_ <= t.at) {
            resetPending_ = false;
            EnterBootLoader(true, resetAt_);
        }
        DeliverToDisplay(std::span<const std::uint8_t>(&t.byte, 1), t.at);
    }
    if (cablePulled_)
        return;
    if (resetPending_ && resetAt_ <= now) {
        resetPending_ = false;
        EnterBootLoader(true, resetAt_);
    }
    std::vector<std::uint8_t> out;
    unit_->Poll(Millis(now), out);
    FromDisplay(out, now);
    MoveReceived(now);
}

void Converter::DeliverToDisplay(std::span<const std::uint8_t> bytes, Nanos at)
{
    std::vector<std::uint8_t> out;
    unit_->Receive(bytes, Millis(at), out);
    if (unit_->CablePulled()) {
        PullCable(lastMs_);
        return;
    }
    HarvestFrames();
    FromDisplay(out, at);
}

void Converter::FromDisplay(const std::vector<std::uint8_t>& bytes, Nanos at)
{
    const Nanos byteTime = config_.pace ? ByteTime() : 0;
    for (std::uint8_t b : bytes) {
        Nanos arrival = at;
        if (config_.pace) {
            rxFree_ = std::max(rxFree_, at) + byteTime;
            arrival = rxFree_;
        }
        onWire_.push_back({arrival, b});
    }
}

Converter::Nanos Converter::NextTick(Nanos arrival) const
{
    const Nanos period = static_cast<Nanos>(latencyMs_) * kNsPerMs;
    const Nanos since = arrival > opened_ ? arrival - opened_ : 0;
    return opened_ + (since / period + 1) * period;
}

void Converter::MoveReceived(Nanos now)
{
    auto flush = [this] {
        for (const Timed& t : chipBuffer_)
            if (hostQueue_.size() < kHostQueueLimit)
                hostQueue_.push_back(t.byte);
        chipBuffer_.clear();
    };
    for (;;) {
        const bool arrived = !onWire_.empty() && onWire_.front().at <= now;
        if (latencyMs_ == 0) {
            if (!arrived)
                break;
            chipBuffer_.push_back(onWire_.front());
            onWire_.pop_front();
            flush();
            continue;
        }
        if (!chipBuffer_.empty()) {
            const Nanos tick = NextTick(chipBuffer_.front().at);
            if (tick <= now && (!arrived || tick <= onWire_.front().at)) {
                flush();
                continue;
            }
        }
        if (!arrived)
            break;
        chipBuffer_.push_back(onWire_.front());
        onWire_.pop_front();
        if (chipBuffer_.size() >= kPacketBytes || (eventOn_ && chipBuffer_.back().byte == eventChar_))
            flush();
    }
}

std::int64_t Converter::NanosToNextDelivery() const
{
    Nanos next = ~Nanos{0};
    if (!toDisplay_.empty())
        next = toDisplay_.back().at;
    std::size_t held = chipBuffer_.size();
    if (held > 0 && latencyMs_ > 0)
        next = std::min(next, NextTick(chipBuffer_.front().at));
    for (const Timed& t : onWire_) {
        if (t.at >= next)
            break;
        if (held == 0 && latencyMs_ > 0)
            next = std::min(next, NextTick(t.at));
        ++held;
        if (latencyMs_ == 0 || held >= kPacketBytes || (eventOn_ && t.byte == eventChar_)) {
            next = std::min(next, t.at);
            break;
        }
    }
    if (next == ~Nanos{0})
        return -1;
    return next > now_ ? static_cast<std::int64_t>(next - now_) : 0;
}

void Converter::HarvestFrames()
{
    for (auto& frame : unit_->TakeFrames())
        frames_.push_back(std::move(frame));
}

std::vector<std::uint8_t> Converter::Frame(std::size_t index) const
{
    return index < frames_.size() ? frames_[index] : std::vector<std::uint8_t>{};
}

void Converter::SetDisplayResponds(bool responds)
{
    config_.display.responds = responds;
    DisplayConfig c = unit_->Firmware().Config();
    c.responds = responds;
    unit_->Firmware().SetConfig(c);
}

void Converter::EnterBootLoader(bool withBanner, Nanos at)
{
    std::vector<std::uint8_t> out;
    unit_->EnterBootLoader(withBanner, Millis(at), out);
    bannerTail_.clear();
    const auto split = static_cast<std::size_t>(config_.bootLoader.splitBannerAt);
    if (withBanner && split > 0 && split < out.size()) {
        bannerTail_.assign(out.begin() + static_cast<std::ptrdiff_t>(split), out.end());
        out.resize(split);
    }
    FromDisplay(out, at);
}

bool Converter::Write(std::span<const std::uint8_t> data, SimTime nowMs,
                      std::uint32_t& written)
{
    written = 0;
    Advance(nowMs);
    if (cablePulled_)
        return false;
    std::size_t n = data.size();
    bool pullNow = false;
    if (config_.pullCableAfterBytes >= 0 && pullArmed_) {
        const auto limit = static_cast<std::uint64_t>(config_.pullCableAfterBytes);
        const std::uint64_t left = limit > bytesWritten_ ? limit - bytesWritten_ : 0;
        if (n >= left) {
            pullNow = true;
            n = static_cast<std::size_t>(left);
        }
    }
    const auto part = data.first(n);
    if (config_.pace) {
        const Nanos byteTime = ByteTime();
        for (std::uint8_t b : part) {
            txFree_ = std::max(txFree_, now_) + byteTime;
            toDisplay_.push_back({txFree_, b});
        }
    } else if (!part.empty()) {
        DeliverToDisplay(part, now_);
    }
    // The boot loader may have pulled the cable while it took these bytes.
    const bool pulledMeanwhile = cablePulled_;
    bytesWritten_ += n;
    written = static_cast<std::uint32_t>(n);
    if (pullNow) {
        pullArmed_ = false;
        if (!cablePulled_)
            PullCable(nowMs);
    }
    if (!cablePulled_)
        MoveReceived(now_);
    return n == data.size() && !pulledMeanwhile;
}

std::uint32_t Converter::QueuedForHost(SimTime nowMs)
{
    Advance(nowMs);
    ReleaseBannerTail();
    return static_cast<std::uint32_t>(hostQueue_.size());
}

void Converter::ReleaseBannerTail()
{
    // The host is looking at the banner's first packet: the rest left the display just after
    // the flush and comes with the next one, a latency period later.
    if (bannerTail_.empty() || hostQueue_.empty())
        return;
    const Nanos period = static_cast<Nanos>(std::max(latencyMs_, 1)) * kNsPerMs;
    FromDisplay(bannerTail_, now_ + period);
    bannerTail_.clear();
}

std::uint32_t Converter::Read(std::span<std::uint8_t> out, SimTime nowMs)
{
    Advance(nowMs);
    ReleaseBannerTail();
    std::size_t n = std::min(out.size(), hostQueue_.size());
    const auto mark = config_.pullCableAfterReadBytes;
    const bool strikes = mark >= 0 && bytesRead_ + n >= static_cast<std::uint64_t>(mark) &&
                         bytesRead_ <= static_cast<std::uint64_t>(mark) && n > 0;
    if (strikes)
        n = static_cast<std::size_t>(static_cast<std::uint64_t>(mark) - bytesRead_);
    std::copy_n(hostQueue_.begin(), n, out.begin());
    hostQueue_.erase(hostQueue_.begin(), hostQueue_.begin() + static_cast<std::ptrdiff_t>(n));
    bytesRead_ += n;
    // Gone in the middle of a transfer: what reached the host before stays delivered.
    if (strikes) {
        ++bytesRead_; // strikes once
        PullCable(nowMs);
    }
    return static_cast<std::uint32_t>(n);
}

std::uint32_t Converter::QueuedForDisplay(SimTime nowMs)
{
    Advance(nowMs);
    return static_cast<std::uint32_t>(toDisplay_.size());
}

void Converter::PurgeReceive()
{
    chipBuffer_.clear();
    hostQueue_.clear();
}

void Converter::PurgeTransmit()
{
    toDisplay_.clear();
    txFree_ = now_;
}

bool Converter::Escape(std::uint32_t function, SimTime nowMs)
{
    Advance(nowMs);
    switch (function) {
    case SETDTR:
        if (!dtr_) {
            if (haveClrDtr_ && now_ - clrDtrAt_ >= kPulseMinNs && now_ - clrDtrAt_ < kPulseMaxNs) {
                resetPending_ = false;
                EnterBootLoader(false, now_);
            } else if (config_.bootLoader.resetAfterMs >= 0) {
                resetPending_ = true;
                resetAt_ = now_ + static_cast<Nanos>(config_.bootLoader.resetAfterMs) * kNsPerMs;
            }
        }
        dtr_ = true;
        break;
    case CLRDTR:
        dtr_ = false;
        haveClrDtr_ = true;
        clrDtrAt_ = now_;
        resetPending_ = false;
        // The run is over: the display restarts its firmware.
        if (unit_->Finished())
            unit_->LeaveBootLoader();
        break;
    case SETRTS:
        rts_ = true;
        break;
    case CLRRTS:
        rts_ = false;
        break;
    case SETXOFF:
    case SETXON:
    case SETBREAK:
    case CLRBREAK:
        break;
    case RESETDEV:
        PurgeReceive();
        PurgeTransmit();
        break;
    default:
        return false;
    }
    escapes_.push_back(function);
    return true;
}

void Converter::GetLine(FTDCB& dcb) const
{
    dcb = dcb_;
    dcb.EvtChar = static_cast<char>(eventOn_ ? eventChar_ : 0);
    dcb.ErrorChar = static_cast<char>(errorChar_);
    dcb.fErrorChar = errorOn_ ? 1 : 0;
}

bool Converter::SetLine(const FTDCB& dcb, SimTime nowMs)
{
    Advance(nowMs);
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return false;
    // Only a change: a DCB read and written back keeps a NUL event character that FT_SetChars
    // or the USB request enabled.
    FTDCB was;
    GetLine(was);
    dcb_ = dcb;
    if (dcb.EvtChar != was.EvtChar) {
        const auto evt = static_cast<std::uint8_t>(dcb.EvtChar);
        SetEventChar(evt, evt != 0, nowMs);
    }
    if (dcb.ErrorChar != was.ErrorChar || dcb.fErrorChar != was.fErrorChar)
        SetErrorChar(static_cast<std::uint8_t>(dcb.ErrorChar), dcb.fErrorChar != 0);
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        dtr_ = true;
    else if (dcb.fDtrControl == DTR_CONTROL_DISABLE)
        dtr_ = false;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
        rts_ = true;
    else if (dcb.fRtsControl == RTS_CONTROL_DISABLE)
        rts_ = false;
    return true;
}

void Converter::SetChars(std::uint8_t eventChar, bool eventOn, std::uint8_t errorChar, bool errorOn,
                         SimTime nowMs)
{
    SetEventChar(eventChar, eventOn, nowMs);
    SetErrorChar(errorChar, errorOn);
}

void Converter::SetEventChar(std::uint8_t c, bool on, SimTime nowMs)
{
    // Bytes that arrived before the change met the old setting.
    Advance(nowMs);
    eventChar_ = c;
    eventOn_ = on;
}

void Converter::SetErrorChar(std::uint8_t c, bool on)
{
    errorChar_ = c;
    errorOn_ = on;
}

bool Converter::SetLatencyTimer(std::uint8_t ms, std::uint8_t least)
{
    if (ms < least)
        return false;
    latencyMs_ = ms;
    return true;
}

void Converter::ResetSio(SimTime nowMs)
{
    Advance(nowMs);
    PurgeReceive();
    PurgeTransmit();
    dtr_ = rts_ = false;
    eventOn_ = false;
}

void Converter::InjectFromDisplay(std::span<const std::uint8_t> data, SimTime nowMs)
{
    Advance(nowMs);
    FromDisplay(std::vector<std::uint8_t>(data.begin(), data.end()), now_);
    MoveReceived(now_);
}

// EEPROM

std::uint32_t Converter::UserAreaSize() const
{
    return static_cast<std::uint32_t>(image_.UserAreaSize());
}

std::vector<std::uint8_t> Converter::UserAreaBytes() const
{
    std::vector<std::uint8_t> out(image_.UserAreaSize());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = image_.Byte(image_.UserAreaStart() + i);
    return out;
}

// The image must be the structure of this chip type (X series 56 bytes, BM 16; other chips any
// size from the header on) and say so in its header.
bool Converter::ImageFits(const void* image, std::uint32_t size) const
{
    if (!image || size < sizeof(FT_EEPROM_HEADER))
        return false;
    const std::uint32_t expected = config_.chipType == FT_DEVICE_X_SERIES ? sizeof(FT_EEPROM_X_SERIES)
                                   : config_.chipType == FT_DEVICE_BM     ? sizeof(FT_EEPROM_232B)
                                                                          : 0;
    FT_EEPROM_HEADER header{};
    std::memcpy(&header, image, sizeof header);
    return (!expected || size == expected) && header.deviceType == config_.chipType;
}

// A wrong checksum is a write cut off halfway, or a blank part: its fields are no settings.
bool Converter::ImageValid() const
{
    return !EepromWritable(config_.chipType) || image_.ChecksumValid();
}

bool Converter::InUserArea(std::uint32_t wordAddress) const
{
    const std::size_t byte = 2 * static_cast<std::size_t>(wordAddress);
    return byte + 1 >= image_.UserAreaStart() && byte < image_.UserAreaStart() + image_.UserAreaSize();
}

// The structure handed over: the whole X-series one, for other chips the header only (the
// caller's structure may be one this chip's image has no fields for).
std::size_t Converter::FieldBytes() const
{
    return image_.IsXSeries() ? sizeof(FT_EEPROM_X_SERIES) : sizeof(FT_EEPROM_HEADER);
}

FT_STATUS Converter::ReadEeprom(void* image, std::uint32_t size, char* manufacturer,
                                char* manufacturerId, char* description, char* serial)
{
    if (!ImageFits(image, size))
        return FT_INVALID_PARAMETER;
    if (config_.eepromReadFails)
        return FT_EEPROM_READ_FAILED;
    if (!ImageValid())
        return FT_EEPROM_NOT_PROGRAMMED;
    const FT_EEPROM_X_SERIES fields = image_.DecodeFields();
    std::memcpy(image, &fields, FieldBytes());
    const EepromStrings strings = image_.DecodeStrings();
    CopyString(manufacturer, strings.manufacturer);
    CopyString(manufacturerId, manufacturerId_);
    CopyString(description, strings.description);
    CopyString(serial, strings.serialNumber);
    return FT_OK;
}

// A slow chip, so that a test can act while a write is under way.
void Converter::SlowWrite() const
{
    if (config_.eepromWriteDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(config_.eepromWriteDelayMs));
}

FT_STATUS Converter::Program(const FT_EEPROM_X_SERIES& fields, const std::string& manufacturer,
                             const std::string& manufacturerId, const std::string& description,
                             const std::string& serial)
{
    if (config_.eepromProgramFails)
        return FT_EEPROM_WRITE_FAILED;
    SlowWrite();
    FT_EEPROM_X_SERIES stored = fields;
    if (config_.eepromProgramCorrupts)
        stored.common.ProductId ^= 0x0001;
    // Strings beyond the chip's string space: FTDI's library refuses them with this status.
    EepromImage next = image_;
    if (!next.Encode(stored, {manufacturer, description, serial}))
        return FT_OTHER_ERROR;
    manufacturerId_ = manufacturerId;
    const bool stayed = StoreChangedWords(next);
    SaveState();
    return stayed ? FT_OK : FT_IO_ERROR;
}

FT_STATUS Converter::ProgramEeprom(const void* image, std::uint32_t size, const char* manufacturer,
                                   const char* manufacturerId, const char* description,
                                   const char* serial)
{
    if (!ImageFits(image, size))
        return FT_INVALID_PARAMETER;
    auto m = TakeString(manufacturer), mi = TakeString(manufacturerId),
         d = TakeString(description), s = TakeString(serial);
    if (!m || !mi || !d || !s)
        return FT_INVALID_PARAMETER;
    FT_EEPROM_X_SERIES fields = image_.DecodeFields();
    std::memcpy(&fields, image, FieldBytes());
    return Program(fields, *m, *mi, *d, *s);
}

FT_STATUS Converter::ReadProgramData(FT_PROGRAM_DATA& data)
{
    if (data.Signature1 != 0 || data.Signature2 != 0xFFFFFFFFu)
        return FT_INVALID_PARAMETER;
    if (config_.eepromReadFails)
        return FT_EEPROM_READ_FAILED;
    if (!ImageValid())
        return FT_EEPROM_NOT_PROGRAMMED;
    const FT_EEPROM_HEADER h = image_.DecodeFields().common;
    data.VendorId = h.VendorId;
    data.ProductId = h.ProductId;
    data.MaxPower = h.MaxPower;
    data.SelfPowered = h.SelfPowered;
    data.RemoteWakeup = h.RemoteWakeup;
    data.PullDownEnable = h.PullDownEnable;
    data.SerNumEnable = h.SerNumEnable;
    const EepromStrings strings = image_.DecodeStrings();
    CopyString(data.Manufacturer, strings.manufacturer);
    CopyString(data.ManufacturerId, manufacturerId_);
    CopyString(data.Description, strings.description);
    CopyString(data.SerialNumber, strings.serialNumber);
    return FT_OK;
}

FT_STATUS Converter::ProgramProgramData(const FT_PROGRAM_DATA& data)
{
    if (data.Signature1 != 0 || data.Signature2 != 0xFFFFFFFFu)
        return FT_INVALID_PARAMETER;
    auto m = TakeString(data.Manufacturer), mi = TakeString(data.ManufacturerId),
         d = TakeString(data.Description), s = TakeString(data.SerialNumber);
    if (!m || !mi || !d || !s)
        return FT_INVALID_PARAMETER;
    FT_EEPROM_X_SERIES fields = image_.DecodeFields();
    FT_EEPROM_HEADER& h = fields.common;
    h.VendorId = data.VendorId;
    h.ProductId = data.ProductId;
    h.MaxPower = data.MaxPower;
    h.SelfPowered = static_cast<UCHAR>(data.SelfPowered);
    h.RemoteWakeup = static_cast<UCHAR>(data.RemoteWakeup);
    h.PullDownEnable = data.PullDownEnable;
    h.SerNumEnable = data.SerNumEnable;
    return Program(fields, *m, *mi, *d, *s);
}

FT_STATUS Converter::ReadUserArea(std::uint8_t* data, std::uint32_t size, std::uint32_t& got)
{
    got = 0;
    ++blockReads_;
    if (!data)
        return FT_INVALID_PARAMETER;
    if (config_.userAreaReadFails)
        return FT_EEPROM_READ_FAILED;
    const auto bytes = UserAreaBytes();
    const std::uint32_t n = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(bytes.size()));
    std::copy_n(bytes.begin(), n, data);
    got = n;
    return FT_OK;
}

void Converter::PutUserArea(const std::uint8_t* data, std::size_t size)
{
    EepromImage next = image_;
    for (std::size_t i = 0; i < size; ++i)
        next.SetByte(next.UserAreaStart() + i, data[i]);
    if (next.UserAreaInChecksum())
        next.UpdateChecksum();
    StoreChangedWords(next);
}

bool Converter::StoreChangedWords(const EepromImage& next)
{
    for (std::size_t w = 0; w < next.WordCount(); ++w) {
        if (next.Word(w) != image_.Word(w) && !StoreWord(static_cast<std::uint32_t>(w), next.Word(w)))
            return false;
    }
    return true;
}

bool Converter::StoreWord(std::uint32_t address, std::uint16_t value)
{
    if (!faultsArmed_) {
        image_.SetWord(address, value);
        return true;
    }
    const bool inArea = InUserArea(address);
    const std::uint32_t counted = inArea ? ++userAreaWordWrites_ : ++eepromWordWrites_;
    if (counted == (inArea ? config_.userAreaPullAtWord : config_.eepromPullAtWord)) {
        PullCable(lastMs_);
        return false;
    }
    if (++wordWrites_ == config_.wordWriteCorrupts)
        value ^= 0x0001;
    image_.SetWord(address, value);
    return true;
}

FT_STATUS Converter::WriteUserArea(const std::uint8_t* data, std::uint32_t size)
{
    if (!data || size > UserAreaSize())
        return FT_INVALID_PARAMETER;
    if (config_.userAreaWriteFails)
        return FT_EEPROM_WRITE_FAILED;
    // Where the checksum covers the area, a write would bless a damaged image with a fresh one.
    if (image_.UserAreaInChecksum() && !ImageValid())
        return FT_EEPROM_NOT_PROGRAMMED;
    SlowWrite();
    std::vector<std::uint8_t> stored(data, data + size);
    // A weak cell: the serial number's last digit comes back wrong.
    if (config_.userAreaWriteCorrupts && size > 10)
        stored[10] ^= 0x01;
    PutUserArea(stored.data(), stored.size());
    SaveState();
    return cablePulled_ ? FT_IO_ERROR : FT_OK;
}

FT_STATUS Converter::ReadWord(std::uint32_t address, std::uint16_t& value)
{
    ++wordReads_;
    if (address >= image_.WordCount())
        return FT_INVALID_PARAMETER;
    if (InUserArea(address) ? config_.userAreaReadFails : config_.eepromReadFails)
        return FT_EEPROM_READ_FAILED;
    value = image_.Word(address);
    return FT_OK;
}

FT_STATUS Converter::WriteWord(std::uint32_t address, std::uint16_t value)
{
    if (address >= image_.WordCount())
        return FT_INVALID_PARAMETER;
    if (InUserArea(address) ? config_.userAreaWriteFails : config_.eepromProgramFails)
        return FT_EEPROM_WRITE_FAILED;
    // The factory words of an FT-X are the chip's own.
    if (image_.IsXSeries() && address >= 0x40 && address < 0x50)
        return FT_EEPROM_WRITE_FAILED;
    SlowWrite();
    const bool stayed = StoreWord(address, value);
    SaveState();
    if (!stayed)
        return FT_IO_ERROR;
    return FT_OK;
}

FT_STATUS Converter::Erase()
{
    // The FT232R's internal EEPROM cannot be erased.
    if (config_.chipType == FT_DEVICE_232R)
        return FT_EEPROM_ERASE_FAILED;
    if (config_.eepromProgramFails)
        return FT_EEPROM_ERASE_FAILED;
    SlowWrite();
    for (std::size_t i = 0; i < image_.WordCount(); ++i)
        if (!image_.IsXSeries() || i < 0x40 || i >= 0x50)
            image_.SetWord(i, 0xFFFF);
    manufacturerId_.clear();
    SaveState();
    return FT_OK;
}

FT_STATUS Converter::ReadWordWrapped(std::uint32_t address, std::uint16_t& value)
{
    return ReadWord(address % image_.WordCount(), value);
}

UsbIdentity Converter::UsbIdentityFromEeprom() const
{
    UsbIdentity id;
    id.vendorId = image_.Word(1);
    id.productId = image_.Word(2);
    // The release number by which hosts tell the chips apart (FT2232C 0x0500 to FT232H 0x0900).
    id.bcdDevice = config_.chipType == FT_DEVICE_X_SERIES                  ? 0x1000
                   : config_.chipType >= 4 && config_.chipType <= 8 && config_.chipType != FT_DEVICE_232R
                       ? static_cast<std::uint16_t>((config_.chipType + 1) << 8)
                   : config_.chipType == FT_DEVICE_232R ? 0x0600
                                                        : 0x0400;
    id.packetSize = static_cast<std::uint16_t>(UsbPacketSize());
    id.attributes = static_cast<std::uint8_t>(0x80 | (image_.Byte(0x08) & 0x60));
    id.maxPower = image_.Byte(0x09);
    const EepromStrings strings = image_.DecodeStrings();
    id.manufacturer = strings.manufacturer;
    id.product = strings.description;
    id.serial = strings.serialNumber;
    id.useSerial = (image_.Byte(0x0A) & 0x08) != 0;
    return id;
}

std::size_t Converter::UsbPacketSize() const
{
    return config_.chipType >= 6 && config_.chipType <= 8 ? 512 : 64;
}

void Converter::Replug()
{
    if (!session_)
        LoadState();
}

// State

std::string Converter::StatePath(const char* name) const
{
    return platform::PathAppend(config_.stateFolder, name);
}

void Converter::SaveState() const
{
    if (config_.stateFolder.empty())
        return;
    const auto bytes = image_.Bytes();
    WriteFileAtomically(StatePath(kImageFile), std::string(bytes.begin(), bytes.end()));
    std::string text = "; Programmed state of the simulated converter; its EEPROM is eeprom.bin\r\n";
    text += "[Converter]\r\nChipType=" + std::to_string(config_.chipType) + "\r\n";
    text += "[Eeprom]\r\nManufacturerId=" +
            ToHex(reinterpret_cast<const std::uint8_t*>(manufacturerId_.data()),
                  manufacturerId_.size()) +
            "\r\n";
    WriteFileAtomically(StatePath(kStateFile), text);
}

void Converter::LoadState()
{
    if (config_.stateFolder.empty())
        return;
    const std::string file = StatePath(kStateFile);
    if (!platform::PathFileExists(file))
        return;
    // A state written for another chip type does not fit this converter's EEPROM.
    if (ParseNumber(Text(file, "Converter", "ChipType")) != config_.chipType)
        return;
    auto id = FromHex(Text(file, "Eeprom", "ManufacturerId"));
    std::string bytes;
    if (!id || id->size() > 63 || !ReadWholeFile(StatePath(kImageFile), bytes))
        return;
    if (image_.SetBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end())))
        manufacturerId_.assign(id->begin(), id->end());
}

} // namespace sim
