#pragma once
// Serves one simulated display (any Peer) on the master side of a pseudo-terminal pair, from
// its own thread: the program opens SlavePath() like a serial port and talks to the peer.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/SerialPort.h"
#include "sim/Peer.h"

namespace sim {

class PtyServer {
public:
    explicit PtyServer(Peer& peer);
    ~PtyServer(); // HangUp
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens a new pair and starts serving it; false when no pseudo-terminal could be had.
    bool Start();
    // Stops serving; the pair stays open, so the program's side sees a silent line.
    void Stop();
    // Stops and closes the pair: the program's side sees the line hang up.
    void HangUp();

    const std::string& SlavePath() const { return pty_.slavePath; }
    // The server's own descriptor of the program's side (for reading its line settings).
    platform::SerialHandle SlaveHandle() const { return pty_.slave; }
    std::uint64_t BytesReceived() const { return received_.load(); }

private:
    void Serve();

    Peer& peer_;
    platform::PseudoTerminal pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> received_{0};
};

} // namespace sim
