// Throughput of the frame codec and the reply parser: frames built and reply bytes parsed per
// second, on this machine, without any link.
#include <chrono>
#include <cstdio>
#include <vector>

#include "protocol/Crv2Device.h"
#include "protocol/Frame.h"
#include "protocol/ReplyParser.h"

namespace {

using Clock = std::chrono::steady_clock;

class NullLink : public CCrv2Device {
public:
    BOOL OpenPort(std::string_view) override { return TRUE; }
    BOOL WriteByte(std::int32_t) override { return TRUE; }
    BOOL WriteBuffer(std::span<const std::uint8_t> data) override
    {
        bytes += data.size();
        return TRUE;
    }
    std::int32_t ReadBuffer(std::span<std::uint8_t>, std::uint32_t) override { return 0; }
    void PurgePort() override {}
    void ClosePort() override {}
    std::size_t bytes = 0;
};

template <typename Body>
void Measure(const char* what, std::size_t rounds, Body body)
{
    std::size_t bytes = 0;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < rounds; ++i)
        bytes += body(i);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-44s %10.0f ops/s %9.1f MB/s\n", what, rounds / seconds, bytes / seconds / 1e6);
}

volatile std::uint8_t sink;

} // namespace

int main()
{
    constexpr std::size_t kRounds = 2'000'000;

    NullLink device;
    device.SelectDeviceModel(2, 86); // KV80II: 86-byte cell frames
    std::vector<std::uint8_t> cells(86, 0x5A);

    Measure("configuration frame (31 bytes)", kRounds, [](std::size_t i) {
        protocol::FrameBuffer frame;
        protocol::ConfigurationValues values{95, 57600, 0, 1, 40, 0, 1, 2, 0, 1, 0, 1};
        values.DeviceId = static_cast<std::int32_t>(i);
        const std::size_t size = protocol::BuildConfigurationFrame(values, frame);
        sink = frame[size / 2];
        return size;
    });
    Measure("cell frame, 86 cells, via WriteCells", kRounds, [&](std::size_t i) {
        const std::size_t before = device.bytes;
        cells[i % cells.size()] = static_cast<std::uint8_t>(i);
        device.WriteCells(cells);
        return device.bytes - before;
    });
    Measure("largest request frame (255 bytes)", kRounds / 4, [](std::size_t i) {
        static std::vector<std::uint8_t> payload(255, 0xA5);
        payload[0] = static_cast<std::uint8_t>(i);
        protocol::FrameBuffer frame;
        const std::size_t size = protocol::BuildRequest('C', payload, frame);
        sink = frame[size - 2];
        return size;
    });

    // A receive stream: an identity reply, then key reports alternating pressed and released.
    std::vector<std::uint8_t> stream{0x02, 0x4A, 0x50, 0x55, 0x35, 0x3F, 0x31, 0x32, 0x33, 0x03};
    for (int k = 0; k < 2; ++k) {
        std::vector<std::uint8_t> report(25, k ? 0x00 : 0xA5);
        const auto frame = protocol::BuildRequest('K', report);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    device.Parser().Reset();
    std::size_t events = 0;
    Measure("reply parsing, J + two K reports (KV80II)", kRounds / 20, [&](std::size_t) {
        KeyEventQueue queue;
        std::uint8_t letter = 0;
        std::uint32_t count = 0;
        for (std::uint8_t b : stream)
            device.FeedReplyByte(b, &letter, &count, &queue);
        events += queue.Count;
        return stream.size();
    });
    std::printf("(%zu key events decoded, %zu bytes a stream)\n", events, stream.size());
    return 0;
}
