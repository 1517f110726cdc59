#pragma once
// The display's firmware as the host sees it: answers the identify request, takes the
// configuration, init, cell, aux and dot-firmness frames and records them, and can be told to
// send key reports and "L" replies.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Peer.h"

namespace sim {

struct DisplayConfig {
    std::uint8_t deviceId = 0x62;  // code in the identity reply
    int revisionMajor = 1;         // revision as 1.23: major 1, minor 0x23
    std::uint8_t revisionMinor = 0x23;
    bool responds = true;          // false: never answers
};

struct ReceivedFrame {
    char letter = 0;
    std::vector<std::uint8_t> payload; // decoded data bytes
    std::vector<std::uint8_t> raw;     // the frame as received, STX to ETX
};

class DisplayEmulator : public Peer {
public:
    explicit DisplayEmulator(DisplayConfig config = {});
    void Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                 std::vector<std::uint8_t>& out) override;

    void SetConfig(const DisplayConfig& config);
    DisplayConfig Config() const;
    std::vector<ReceivedFrame> Frames() const; // every complete frame, in order
    void ClearFrames();

    // Frames the display sends on its own: queued and appended to the next Receive/Poll output.
    void QueueKeyReport(std::span<const std::uint8_t> payloadBytes);
    void QueueLReply(std::span<const std::uint8_t> payloadBytes);
    void Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) override;

private:
    mutable std::mutex mutex_;
    DisplayConfig config_;
    std::vector<ReceivedFrame> frames_;
    std::vector<std::uint8_t> pending_;  // bytes of an incomplete frame
    std::vector<std::uint8_t> outgoing_; // queued unsolicited frames
};

} // namespace sim
