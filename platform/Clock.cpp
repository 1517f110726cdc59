#include "platform/Clock.h"

#include <cerrno>
#include <ctime>
#include <thread>

namespace platform {

std::uint32_t RealClock::TickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Truncation to 32 bits is the wrap the callers expect.
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void RealClock::Sleep(std::uint32_t ms)
{
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t RealClock::MicroCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

void RealClock::Nap(std::uint32_t us)
{
    timespec left{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {
RealClock& TheRealClock()
{
    static RealClock clock;
    return clock;
}
std::atomic<Clock*> installed{nullptr};
} // namespace

Clock& CurrentClock()
{
    Clock* clock = installed.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : TheRealClock();
}

void SetClock(Clock* clock)
{
    installed.store(clock, std::memory_order_release);
}

std::uint32_t GetTickCount()
{
    return CurrentClock().TickCount();
}

void Sleep(std::uint32_t ms)
{
    CurrentClock().Sleep(ms);
}

void Nap(std::uint32_t us)
{
    CurrentClock().Nap(us);
}

std::uint64_t MicroCount()
{
    return CurrentClock().MicroCount();
}

} // namespace platform
