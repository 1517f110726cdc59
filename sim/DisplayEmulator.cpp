#include "sim/DisplayEmulator.h"

#include "protocol/Frame.h"

namespace sim {

namespace {

std::vector<std::uint8_t> IdentityReply(const DisplayConfig& config)
{
    const auto id = protocol::EncodeDataByte(config.deviceId);
    const auto minor = protocol::EncodeDataByte(config.revisionMinor);
    // The "J" length field counts characters, not bytes: five of them.
    const auto length = protocol::EncodeLengthByte(5);
    return {protocol::kStx, 'J', length[0], length[1], id[0], id[1],
            static_cast<std::uint8_t>('0' + config.revisionMajor), minor[0], minor[1],
            protocol::kEtx};
}

ReceivedFrame Decode(std::vector<std::uint8_t> raw)
{
    ReceivedFrame frame;
    if (raw.size() >= 2)
        frame.letter = static_cast<char>(raw[1]);
    if (raw.size() > 5) {
        const std::span<const std::uint8_t> chars(raw.data() + 4, raw.size() - 5);
        frame.payload.resize(chars.size() / 2);
        protocol::DecodeDataBytes(chars, frame.payload);
    }
    frame.raw = std::move(raw);
    return frame;
}

} // namespace

DisplayEmulator::DisplayEmulator(DisplayConfig config) : config_(config) {}

void DisplayEmulator::Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                              std::vector<std::uint8_t>& out)
{
    (void)nowMs;
    std::lock_guard lock(mutex_);
    for (std::uint8_t byte : bytes) {
        if (byte == protocol::kStx) {
            pending_.assign(1, byte);
            continue;
        }
        if (pending_.empty())
            continue; // noise between frames
        pending_.push_back(byte);
        if (byte != protocol::kEtx) {
            // A host frame is at most 515 bytes; anything longer is noise, not a frame.
            if (pending_.size() > protocol::kMaxFrameSize)
                pending_.clear();
            continue;
        }
        ReceivedFrame frame = Decode(std::move(pending_));
        pending_.clear();
        if (frame.letter == 'B' && config_.responds) {
            const auto reply = IdentityReply(config_);
            out.insert(out.end(), reply.begin(), reply.end());
        }
        frames_.push_back(std::move(frame));
    }
    out.insert(out.end(), outgoing_.begin(), outgoing_.end());
    outgoing_.clear();
}

void DisplayEmulator::SetConfig(const DisplayConfig& config)
{
    std::lock_guard lock(mutex_);
    config_ = config;
}

DisplayConfig DisplayEmulator::Config() const
{
    std::lock_guard lock(mutex_);
    return config_;
}

std::vector<ReceivedFrame> DisplayEmulator::Frames() const
{
    std::lock_guard lock(mutex_);
    return frames_;
}

void DisplayEmulator::ClearFrames()
{
    std::lock_guard lock(mutex_);
    frames_.clear();
}

void DisplayEmulator::QueueKeyReport(std::span<const std::uint8_t> payloadBytes)
{
    const auto frame = protocol::BuildRequest('K', payloadBytes);
    std::lock_guard lock(mutex_);
    outgoing_.insert(outgoing_.end(), frame.begin(), frame.end());
}

void DisplayEmulator::QueueLReply(std::span<const std::uint8_t> payloadBytes)
{
    const auto frame = protocol::BuildRequest('L', payloadBytes);
    std::lock_guard lock(mutex_);
    outgoing_.insert(outgoing_.end(), frame.begin(), frame.end());
}

void DisplayEmulator::Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out)
{
    (void)nowMs;
    std::lock_guard lock(mutex_);
    out.insert(out.end(), outgoing_.begin(), outgoing_.end());
    outgoing_.clear();
}

} // namespace sim
