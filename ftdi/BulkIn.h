#pragma once
// The converter's bulk-IN stream: every packet starts with two status bytes (modem status, line
// status) before at most packetSize-2 data bytes. The receive queue holds the data for the
// D2XX calls, as FTDI's driver does with its own read task.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>

namespace ftdiprov {

struct LineStatus {
    std::uint8_t modem = 0; // CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
    std::uint8_t line = 0;  // OE 0x02, PE 0x04, FE 0x08, BI 0x10
    bool seen = false;
};

// One bulk-IN transfer split at packetSize boundaries (the last packet may be short). Calls
// sink(data) for every non-empty payload; the status of the last packet lands in status, and
// the line errors of all packets are or-ed into errors. A tail of one byte carries nothing.
template <typename Sink>
void SplitBulkIn(std::span<const std::uint8_t> transfer, std::size_t packetSize,
                 LineStatus& status, std::uint8_t& errors, Sink&& sink)
{
    if (packetSize < 3)
        return;
    for (std::size_t pos = 0; pos + 2 <= transfer.size(); pos += packetSize) {
        const std::size_t end = std::min(transfer.size(), pos + packetSize);
        status.modem = transfer[pos];
        status.line = transfer[pos + 1];
        status.seen = true;
        errors |= static_cast<std::uint8_t>(transfer[pos + 1] & 0x1E);
        if (end > pos + 2)
            sink(transfer.subspan(pos + 2, end - pos - 2));
    }
}

// Bytes from the converter waiting for the host. Push comes from the reader thread, the rest
// from the D2XX calls. Beyond the capacity bytes are dropped and counted as an overrun, as the
// chip's own buffer would.
class ReceiveQueue {
public:
    explicit ReceiveQueue(std::size_t capacity = 1u << 20) : capacity_(capacity) {}

    // Takes one bulk-IN transfer; wakes a waiting reader when data came.
    void PushTransfer(std::span<const std::uint8_t> transfer, std::size_t packetSize);
    // Up to buffer.size() bytes; waits until that many are queued, the deadline passes or the
    // queue is closed. Returns the count copied (short on time-out).
    std::size_t Pop(std::span<std::uint8_t> buffer, std::chrono::steady_clock::time_point deadline);
    // Waits (no longer than the deadline) until at least one byte is queued.
    bool WaitForData(std::chrono::steady_clock::time_point deadline);
    std::size_t Size() const;
    void Clear();
    // The converter is gone: waiters return at once.
    void Close();
    bool Closed() const;
    LineStatus Status() const;
    // Line errors since the last call (CE_* bits, overrun of the queue as CE_RXOVER 0x1).
    std::uint32_t TakeErrors();

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::uint8_t> bytes_;
    std::size_t capacity_;
    LineStatus status_;
    std::uint8_t lineErrors_ = 0;
    bool overrun_ = false;
    bool closed_ = false;
};

} // namespace ftdiprov
