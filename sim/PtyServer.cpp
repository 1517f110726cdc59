#include "sim/PtyServer.h"

#include <array>
#include <chrono>
#include <vector>

namespace sim {

namespace {

// Often enough for answers a peer keeps for later (an erase that takes time) to go out promptly.
constexpr std::uint32_t kPollIntervalMs = 10;

} // namespace

PtyServer::PtyServer(Peer& peer) : peer_(peer) {}

PtyServer::~PtyServer()
{
    HangUp();
}

bool PtyServer::Start()
{
    HangUp();
    if (!platform::OpenPseudoTerminal(pty_))
        return false;
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void PtyServer::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void PtyServer::HangUp()
{
    Stop();
    platform::ClosePseudoTerminal(pty_);
}

void PtyServer::Serve()
{
    const auto start = std::chrono::steady_clock::now();
    auto nowMs = [start] {
        return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
    };
    std::vector<std::uint8_t> outgoing;
    std::array<std::uint8_t, 4096> buffer{};
    while (!stop_) {
        bool readable = false;
        if (!platform::WaitPseudoTerminal(pty_, !outgoing.empty(), kPollIntervalMs, readable))
            break;
        if (readable) {
            const std::size_t n = platform::ReadPseudoTerminal(pty_, buffer);
            if (n > 0) {
                received_ += n;
                peer_.Receive(std::span(buffer.data(), n), nowMs(), outgoing);
            }
        }
        peer_.Poll(nowMs(), outgoing);
        if (!outgoing.empty()) {
            const std::size_t n = platform::WritePseudoTerminal(pty_, outgoing);
            outgoing.erase(outgoing.begin(), outgoing.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
}

} // namespace sim
