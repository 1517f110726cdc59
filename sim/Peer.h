#pragma once
// Something on the display's side of a byte link: the display's firmware or its boot loader.
// The converter (or the pseudo-terminal front end) hands it the host's bytes and collects what
// it answers. Times are the simulator's milliseconds.
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

class Peer {
public:
    virtual ~Peer() = default;
    // Bytes from the host; answers are appended to out.
    virtual void Receive(std::span<const std::uint8_t> bytes, std::uint32_t nowMs,
                         std::vector<std::uint8_t>& out) = 0;
    // Time passes: answers that were due later (an erase that takes time) are appended to out.
    virtual void Poll(std::uint32_t nowMs, std::vector<std::uint8_t>& out) { (void)nowMs; (void)out; }
    // The earliest time at which Poll has something to send, if anything is waiting.
    virtual bool NextDue(std::uint32_t& dueMs) const { (void)dueMs; return false; }
};

} // namespace sim
