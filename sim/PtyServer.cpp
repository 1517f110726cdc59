#include "sim/PtyServer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace sim {

namespace {

// Often enough for answers a peer keeps for later (an erase that takes time) to go out promptly.
constexpr int kPollIntervalMs = 10;

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
    std::uint8_t buffer[4096];
    while (!stop_) {
        pollfd entry{pty_.master, static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0};
        const int ready = poll(&entry, 1, kPollIntervalMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (entry.revents & POLLIN)) {
            const ssize_t n = read(pty_.master, buffer, sizeof buffer);
            if (n > 0) {
                received_ += static_cast<std::uint64_t>(n);
                peer_.Receive(std::span(buffer, static_cast<std::size_t>(n)), nowMs(), outgoing);
            }
        }
        peer_.Poll(nowMs(), outgoing);
        if (!outgoing.empty()) {
            const ssize_t n = write(pty_.master, outgoing.data(), outgoing.size());
            if (n > 0)
                outgoing.erase(outgoing.begin(), outgoing.begin() + n);
        }
    }
}

} // namespace sim
