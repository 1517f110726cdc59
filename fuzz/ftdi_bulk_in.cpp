// The libftdi1 provider's bulk-IN path: transfers of any size with any status bytes, split at
// any packet size, into a small receive queue read in random bites. The queue must hold exactly
// the payload a plain reference split gives (up to its capacity) and never grow past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ftdi/BulkIn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t packetSize = data[0] % 70; // includes sizes that carry nothing
    const std::size_t capacity = 1 + data[1] % 200;
    ftdiprov::ReceiveQueue queue(capacity);
    std::vector<std::uint8_t> expected; // what the queue should hand out, in order
    std::vector<std::uint8_t> got;
    std::size_t queued = 0;
    std::size_t pos = 2;
    while (pos < size) {
        const std::size_t length = std::min<std::size_t>(data[pos] * 2u, size - pos - 1);
        const std::uint8_t* transfer = data + pos + 1;
        // The reference: a status pair at every packet boundary, the rest is payload.
        if (packetSize >= 3) {
            for (std::size_t p = 0; p + 2 <= length; p += packetSize) {
                for (std::size_t i = p + 2; i < std::min(length, p + packetSize); ++i) {
                    if (queued < capacity) {
                        expected.push_back(transfer[i]);
                        ++queued;
                    }
                }
            }
        }
        queue.PushTransfer(std::span<const std::uint8_t>(transfer, length), packetSize);
        if (queue.Size() > capacity || queue.Size() != queued)
            std::abort();
        // Read a bite whose size the data chooses, without waiting.
        std::vector<std::uint8_t> bite(length % 17);
        const std::size_t n = queue.Pop(bite, std::chrono::steady_clock::now());
        got.insert(got.end(), bite.begin(), bite.begin() + static_cast<std::ptrdiff_t>(n));
        queued -= n;
        queue.TakeErrors();
        pos += 1 + length;
    }
    std::vector<std::uint8_t> rest(queue.Size());
    const std::size_t n = queue.Pop(rest, std::chrono::steady_clock::now());
    got.insert(got.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
    if (got != expected)
        std::abort();
    return 0;
}
