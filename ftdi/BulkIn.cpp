#include "ftdi/BulkIn.h"

#include <algorithm>

namespace ftdiprov {

void ReceiveQueue::PushTransfer(std::span<const std::uint8_t> transfer, std::size_t packetSize)
{
    std::lock_guard lock(mutex_);
    bool added = false;
    SplitBulkIn(transfer, packetSize, status_, lineErrors_, [&](std::span<const std::uint8_t> data) {
        const std::size_t room = capacity_ - std::min(capacity_, bytes_.size());
        const std::size_t n = std::min(room, data.size());
        bytes_.insert(bytes_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
        overrun_ = overrun_ || n < data.size();
        added = added || n > 0;
    });
    if (added)
        arrived_.notify_all();
}

std::size_t ReceiveQueue::Pop(std::span<std::uint8_t> buffer,
                              std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    arrived_.wait_until(lock, deadline, [&] { return closed_ || bytes_.size() >= buffer.size(); });
    const std::size_t n = std::min(buffer.size(), bytes_.size());
    std::copy_n(bytes_.begin(), n, buffer.begin());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

bool ReceiveQueue::WaitForData(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_until(lock, deadline, [&] { return closed_ || !bytes_.empty(); }) &&
           !bytes_.empty();
}

std::size_t ReceiveQueue::Size() const
{
    std::lock_guard lock(mutex_);
    return bytes_.size();
}

void ReceiveQueue::Clear()
{
    std::lock_guard lock(mutex_);
    bytes_.clear();
}

void ReceiveQueue::Close()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    arrived_.notify_all();
}

bool ReceiveQueue::Closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

LineStatus ReceiveQueue::Status() const
{
    std::lock_guard lock(mutex_);
    return status_;
}

std::uint32_t ReceiveQueue::TakeErrors()
{
    std::lock_guard lock(mutex_);
    // The line-status bits OE, PE, FE and BI have the positions of CE_OVERRUN .. CE_BREAK.
    std::uint32_t errors = lineErrors_ | (overrun_ ? 0x1u : 0u);
    lineErrors_ = 0;
    overrun_ = false;
    return errors;
}

} // namespace ftdiprov
