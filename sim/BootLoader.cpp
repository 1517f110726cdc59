#include "sim/BootLoader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/Profile.h"
#include "platform/SafeFile.h"

namespace sim {
namespace {

constexpr const char* kSection = "BootLoader";

long ParseNumber(const std::string& text, long def) {
    if (text.empty()) {
        return def;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || errno != 0) {
        return def;
    }
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void Append(std::vector<std::uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// \xNN stands for any byte, so a reply can hold what an INI value cannot (a NUL, a CR).
std::string UnescapeReply(const std::string& text) {
    std::string reply;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size() && HexDigit(text[i + 2]) >= 0 &&
            HexDigit(text[i + 3]) >= 0) {
            reply.push_back(static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3])));
            i += 3;
        } else {
            reply.push_back(text[i]);
        }
    }
    return reply;
}

} // namespace

BootLoaderConfig LoadBootLoaderConfig(const std::string& iniPath, const std::string& own) {
    BootLoaderConfig config;
    auto get = [&](const char* key) {
        std::string v = own.empty() ? std::string() : platform::GetProfileString(own, key, "", iniPath);
        return v.empty() ? platform::GetProfileString(kSection, key, "", iniPath) : v;
    };

    if (const std::string banner = get("Banner"); !banner.empty()) {
        config.banner = banner;
    }
    config.resetAfterMs = static_cast<int>(ParseNumber(get("ResetAfterMs"), config.resetAfterMs));
    config.wakeUp = ParseNumber(get("WakeUp"), 1) != 0;
    config.eraseReply = ParseNumber(get("EraseReply"), 1) != 0;
    config.loadReply = ParseNumber(get("LoadReply"), 1) != 0;
    config.eraseMs = static_cast<int>(ParseNumber(get("EraseMs"), config.eraseMs));
    if (config.eraseMs < 0) {
        config.eraseMs = 0;
    }
    const std::string refuse = get("RefuseRecord");
    if (const auto colon = refuse.find(':'); colon != std::string::npos && colon + 1 < refuse.size()) {
        const long n = ParseNumber(refuse.substr(0, colon), 0);
        if (n > 0) {
            config.refuseRecord = static_cast<int>(n);
            config.refuseReply = UnescapeReply(refuse.substr(colon + 1));
        }
    }
    config.pullCableAtRecord = static_cast<int>(ParseNumber(get("PullCableAtRecord"), 0));
    config.silentFromRecord = static_cast<int>(std::max(0L, ParseNumber(get("SilentFromRecord"), 0)));
    config.verdictDelayMs = static_cast<int>(std::clamp(ParseNumber(get("VerdictDelayMs"), 0), 0L, 600000L));
    config.splitBannerAt = static_cast<int>(std::max(0L, ParseNumber(get("SplitBannerAt"), 0)));
    config.splitReplyAt = static_cast<int>(std::max(0L, ParseNumber(get("SplitReplyAt"), 0)));
    const long size = ParseNumber(get("FlashSize"), static_cast<long>(config.flashSize));
    // A zero or absurd size would make every record an address fault or exhaust memory.
    if (size > 0 && size <= 16L * 1024 * 1024) {
        config.flashSize = static_cast<std::uint32_t>(size);
    }
    return config;
}

BootLoader::BootLoader(BootLoaderConfig config)
    : config_(std::move(config)), flash_(config_.flashSize, 0xFF) {}

void BootLoader::Enter(bool withBanner, std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    (void)nowMs;
    std::lock_guard lock(mutex_);
    line_.clear();
    held_.clear();
    records_ = 0;
    base_ = 0;
    segmented_ = false;
    cablePulled_ = false;
    finished_ = false;
    erasePending_ = false;
    erased_ = false;
    delayed_.clear();
    if (withBanner) {
        Append(out, config_.banner);
        Append(out, "\r\n");
        mode_ = Mode::Commands;
    } else {
        mode_ = Mode::Quiet;
    }
}

void BootLoader::Leave() {
    std::lock_guard lock(mutex_);
    mode_ = Mode::Off;
    line_.clear();
    held_.clear();
    delayed_.clear();
    erasePending_ = false;
}

BootLoader::Mode BootLoader::CurrentMode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

bool BootLoader::CablePulled() const {
    std::lock_guard lock(mutex_);
    return cablePulled_;
}

int BootLoader::RecordsSeen() const {
    std::lock_guard lock(mutex_);
    return records_;
}

bool BootLoader::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void BootLoader::Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                         std::vector<std::uint8_t>& out) {
    std::lock_guard lock(mutex_);
    for (const std::uint8_t byte : bytes) {
        if (erasePending_) {
            // The loader is busy erasing; what the host sends meanwhile waits in its buffer.
            held_.push_back(byte);
            continue;
        }
        HandleByte(byte, nowMs, out);
    }
}

void BootLoader::Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    std::lock_guard lock(mutex_);
    std::size_t due = 0;
    while (due < delayed_.size() && static_cast<std::int32_t>(nowMs - delayed_[due].dueMs) >= 0) {
        Append(out, delayed_[due].bytes);
        ++due;
    }
    delayed_.erase(delayed_.begin(), delayed_.begin() + static_cast<std::ptrdiff_t>(due));
    if (!erasePending_ || static_cast<std::int32_t>(nowMs - eraseDoneAt_) < 0) {
        return;
    }
    FinishErase(nowMs, out);
    std::vector<std::uint8_t> held;
    held.swap(held_);
    for (std::size_t i = 0; i < held.size(); ++i) {
        if (erasePending_) {
            held_.insert(held_.end(), held.begin() + static_cast<std::ptrdiff_t>(i), held.end());
            break;
        }
        HandleByte(held[i], nowMs, out);
    }
}

void BootLoader::HandleByte(std::uint8_t byte, std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    if (mode_ == Mode::Off || mode_ == Mode::Done || cablePulled_) {
        return;
    }
    if (byte != '\n') {
        // A runaway line without an end must not grow without bound.
        if (line_.size() < 4096) {
            line_.push_back(static_cast<char>(byte));
        }
        return;
    }
    // Requests may end in CR LF; a record line keeps its CR and is refused for it.
    if (mode_ != Mode::Records && !line_.empty() && line_.back() == '\r') {
        line_.pop_back();
    }
    HandleLine(nowMs, out);
    line_.clear();
}

void BootLoader::HandleLine(std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    switch (mode_) {
    case Mode::Quiet:
        // Any line end wakes it; the host sends a bare CR LF.
        if (config_.wakeUp) {
            Append(out, kWakeUpReply);
            mode_ = Mode::Commands;
        }
        break;
    case Mode::Commands:
        if (line_ == "K") {
            erased_ = true;
            Erase();
            if (config_.eraseMs > 0) {
                erasePending_ = true;
                eraseDoneAt_ = nowMs + static_cast<std::uint32_t>(config_.eraseMs);
            } else {
                FinishErase(nowMs, out);
            }
        } else if (line_ == "L" && erased_) {
            if (config_.loadReply) {
                Reply(kLoadReply, nowMs, out);
            }
            mode_ = Mode::Records;
        }
        break;
    case Mode::Records:
        if (!line_.empty() && line_.front() == ':') {
            HandleRecord(nowMs, out);
        }
        break;
    case Mode::Off:
    case Mode::Done:
        break;
    }
}

void BootLoader::Erase() {
    std::fill(flash_.begin(), flash_.end(), std::uint8_t{0xFF});
    highest_ = 0;
    any_ = false;
}

void BootLoader::FinishErase(std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    erasePending_ = false;
    if (config_.eraseReply) {
        Reply(kEraseReply, nowMs, out);
    }
}

void BootLoader::Reply(std::string_view reply, std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    const auto split = static_cast<std::size_t>(config_.splitReplyAt);
    if (split == 0 || split >= reply.size()) {
        Append(out, reply);
        return;
    }
    Append(out, reply.substr(0, split));
    delayed_.push_back({nowMs + kSplitReplyRestMs, std::string(reply.substr(split))});
}

void BootLoader::Answer(std::string_view reply, std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    if (config_.verdictDelayMs <= 0) {
        Append(out, reply);
        return;
    }
    delayed_.push_back({nowMs + static_cast<std::uint32_t>(config_.verdictDelayMs), std::string(reply)});
}

void BootLoader::HandleRecord(std::uint32_t nowMs, std::vector<std::uint8_t>& out) {
    ++records_;
    if (config_.pullCableAtRecord > 0 && records_ == config_.pullCableAtRecord) {
        cablePulled_ = true;
        return;
    }
    // A hung loader: it swallows the rest of the file without programming or answering.
    if (config_.silentFromRecord > 0 && records_ >= config_.silentFromRecord) {
        return;
    }
    if (config_.refuseRecord > 0 && records_ == config_.refuseRecord && !config_.refuseReply.empty()) {
        Answer(config_.refuseReply, nowMs, out);
        return;
    }
    Record record;
    const char verdict = Parse(line_, record);
    if (verdict != 'G') {
        Answer(std::string(1, verdict), nowMs, out);
        return;
    }
    switch (record.type) {
    case 0x00:
        for (std::size_t i = 0; i < record.data.size(); ++i) {
            const std::uint32_t address =
                segmented_ ? base_ + ((record.offset + i) & 0xFFFFu) : base_ + record.offset + static_cast<std::uint32_t>(i);
            flash_[address] = record.data[i];
            if (!any_ || address > highest_) {
                highest_ = address;
            }
            any_ = true;
        }
        break;
    case 0x02:
        base_ = static_cast<std::uint32_t>((record.data[0] << 8) | record.data[1]) << 4;
        segmented_ = true;
        break;
    case 0x04:
        base_ = static_cast<std::uint32_t>((record.data[0] << 8) | record.data[1]) << 16;
        segmented_ = false;
        break;
    default:
        break;
    }
    if (record.type == 0x01) {
        Answer(std::string("G") + kFinalReply, nowMs, out);
        finished_ = true;
        mode_ = Mode::Done;
    } else {
        Answer("G", nowMs, out);
    }
}

char BootLoader::CheckRecord(const std::string& line) const {
    std::lock_guard lock(mutex_);
    Record record;
    return Parse(line, record);
}

char BootLoader::Parse(const std::string& line, Record& record) const {
    if (line.empty() || line.front() != ':') {
        return 'H';
    }
    const std::string digits = line.substr(1);
    for (const char c : digits) {
        if (HexDigit(c) < 0) {
            return 'H';
        }
    }
    // Count, address, type and checksum make 5 bytes at least.
    if (digits.size() % 2 != 0 || digits.size() < 10) {
        return 'L';
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
    }
    const std::size_t count = bytes[0];
    if (bytes.size() != count + 5) {
        return 'L';
    }
    std::uint8_t sum = 0;
    for (const std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    if (sum != 0) {
        return 'S';
    }
    record.offset = static_cast<std::uint16_t>((bytes[1] << 8) | bytes[2]);
    record.type = bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    switch (record.type) {
    case 0x00:
    case 0x01:
        break;
    case 0x02:
    case 0x04:
        if (count != 2) {
            return 'L';
        }
        break;
    default:
        return 'R';
    }
    if (record.type == 0x00) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t address =
                segmented_ ? std::uint64_t{base_} + ((record.offset + i) & 0xFFFFu)
                           : std::uint64_t{base_} + record.offset + i;
            if (address >= flash_.size()) {
                return 'A';
            }
        }
    }
    return 'G';
}

std::vector<std::uint8_t> BootLoader::FlashImage() const {
    std::lock_guard lock(mutex_);
    if (!any_) {
        return {};
    }
    return {flash_.begin(), flash_.begin() + static_cast<std::ptrdiff_t>(highest_) + 1};
}

bool BootLoader::SaveFlash(const std::string& file) const {
    const std::vector<std::uint8_t> image = FlashImage();
    // An exclusive, unpredictable name (the state folder may be shared, and a name known in
    // advance could be a link planted there), synced before the rename, so that a crash never
    // leaves a renamed but empty flash.bin behind.
    return platform::ReplaceFileContent(
        file, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()), 0644);
}

bool BootLoader::LoadFlash(const std::string& file) {
    std::string image;
    if (platform::ReadRegularFile(file, image, flash_.size()) != platform::FileStatus::Ok) {
        return false;
    }
    std::lock_guard lock(mutex_);
    std::fill(flash_.begin(), flash_.end(), std::uint8_t{0xFF});
    std::copy(image.begin(), image.end(), flash_.begin());
    any_ = !image.empty();
    highest_ = any_ ? static_cast<std::uint32_t>(image.size() - 1) : 0;
    return true;
}

} // namespace sim
