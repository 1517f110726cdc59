#pragma once
// The one clock of the program: a 32-bit millisecond tick count that wraps, and Sleep.
// Tests install a VirtualClock so that long time-outs cost no real time.
#include <atomic>
#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps after 49.7 days (compare by unsigned difference).
    virtual std::uint32_t TickCount() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
    // A wait of about `us` microseconds, for polling loops that must notice a byte soon after it
    // lands. Clocks without finer time take a whole tick.
    virtual void Nap(std::uint32_t us) { (void)us; Sleep(1); }
    // Microseconds on the same time line, for such loops' timing; wraps like TickCount.
    virtual std::uint64_t MicroCount() { return std::uint64_t{TickCount()} * 1000u; }
};

// Monotonic time; Sleep really sleeps.
class RealClock final : public Clock {
public:
    std::uint32_t TickCount() override;
    void Sleep(std::uint32_t ms) override;
    void Nap(std::uint32_t us) override;
    std::uint64_t MicroCount() override;
};

// Time moves only when someone sleeps or calls Advance. Safe to use from several threads.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t start = 0) : now_(start) {}
    std::uint32_t TickCount() override { return now_.load(); }
    void Sleep(std::uint32_t ms) override { now_.fetch_add(ms == 0 ? 1 : ms); }
    void Advance(std::uint32_t ms) { now_.fetch_add(ms); }

private:
    std::atomic<std::uint32_t> now_;
};

// The clock in use: a RealClock unless a test installed another (nullptr restores it).
Clock& CurrentClock();
void SetClock(Clock* clock);

// The Windows names, through the current clock.
std::uint32_t GetTickCount();
void Sleep(std::uint32_t ms);
inline constexpr std::uint32_t kNapUs = 200;
void Nap(std::uint32_t us = kNapUs);
std::uint64_t MicroCount();

} // namespace platform
