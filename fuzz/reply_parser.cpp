// Reply bytes from the display, fed through the parser for a model of the table, and key-report
// payloads decoded with layouts taken from the input (cell counts no table row has).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "protocol/Crv2Device.h"
#include "protocol/DeviceModel.h"
#include "protocol/ReplyParser.h"

namespace {

class NoLink : public CCrv2Device {
public:
    BOOL OpenPort(std::string_view) override { return FALSE; }
    BOOL WriteByte(std::int32_t) override { return FALSE; }
    BOOL WriteBuffer(std::span<const std::uint8_t>) override { return FALSE; }
    std::int32_t ReadBuffer(std::span<std::uint8_t>, std::uint32_t) override { return 0; }
    void PurgePort() override {}
    void ClosePort() override {}
};

void FeedAll(NoLink& device, std::span<const std::uint8_t> bytes)
{
    KeyEventQueue queue;
    std::uint8_t letter = 0;
    std::uint32_t count = 0;
    for (std::uint8_t b : bytes) {
        if (device.FeedReplyByte(b, &letter, &count, &queue)) {
            if (letter != 'J' && letter != 'K' && letter != 'L')
                __builtin_trap(); // a good frame always has a known letter
        }
        if (queue.Count > KeyEventQueue::Capacity)
            __builtin_trap();
        if (queue.Count == KeyEventQueue::Capacity)
            queue.Count = 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);

    // The first byte picks the model (or none selected), so the corpus covers every row.
    if (size == 0)
        return 0;
    NoLink device;
    const std::size_t row = data[0] % (DeviceModelTable.size() + 1);
    if (row < DeviceModelTable.size())
        device.SelectDeviceModel(2, DeviceModelTable[row].DeviceId);
    FeedAll(device, input.subspan(1));

    if (size >= 24) {
        std::int32_t fields[6];
        std::memcpy(fields, data, sizeof fields);
        const protocol::KeyLayout layout{fields[0] % 2 == 0 ? protocol::kMirroredKeyModel : fields[0],
                                         fields[1], fields[2], fields[3], fields[4], fields[5]};
        protocol::ReplyParser parser;
        KeyEventQueue queue;
        parser.DecodeKeyReport(input.subspan(24), layout, &queue);
        parser.DecodeKeyReport(input.subspan(24), layout, nullptr);
        if (queue.Count > KeyEventQueue::Capacity)
            __builtin_trap();
    }
    return 0;
}
