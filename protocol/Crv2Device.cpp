#include "protocol/Crv2Device.h"

#include <algorithm>
#include <array>

#include "platform/Clock.h"
#include "protocol/Frame.h"
#include "protocol/ReplyParser.h"

namespace {

constexpr std::array<std::uint8_t, 16> kKeyTable = {11, 12, 13, 14, 15, 16, 17, 18,
                                                    20, 21, 20, 21, 22, 23, 22, 23};
constexpr std::array<std::uint8_t, 16> kKeyTable2 = kKeyTable;

constexpr std::size_t kIdentityReplySize = 10;

// The first count bytes of data, zero-padded when the caller's buffer is shorter.
std::size_t BuildPaddedRequest(std::uint8_t letter, std::span<const std::uint8_t> data,
                               std::int32_t count, protocol::FrameBuffer& frame)
{
    if (count < 0 || static_cast<std::size_t>(count) > protocol::kMaxPayloadBytes)
        return 0; // the length byte could not describe it: a frame the display would misread
    std::array<std::uint8_t, protocol::kMaxPayloadBytes> payload{};
    const std::size_t n = static_cast<std::size_t>(count);
    std::copy_n(data.begin(), std::min(n, data.size()), payload.begin());
    return protocol::BuildRequest(letter, std::span(payload).first(n), frame);
}

} // namespace

void CCrv2Device::Send(std::span<const std::uint8_t> frame)
{
    // A lost link is the transport's business; the protocol reports success regardless.
    if (!frame.empty())
        WriteBuffer(frame);
}

std::int32_t CCrv2Device::GetKeyTables(const std::uint8_t** first, const std::uint8_t** second)
{
    if (first != nullptr)
        *first = kKeyTable.data();
    if (second != nullptr)
        *second = kKeyTable2.data();
    return static_cast<std::int32_t>(kKeyTable.size());
}

void CCrv2Device::Identify(std::uint32_t timeoutMs)
{
    if (timeoutMs == 0)
        return;
    DeviceId = -1;
    SendIdentifyRequest();
    DeviceId = ReadIdentityReply(timeoutMs);
    for (int retry = 0; retry < 5 && DeviceId == -1; ++retry) {
        SendIdentifyRequest();
        platform::Sleep(500);
        DeviceId = ReadIdentityReply(250);
    }
}

BOOL CCrv2Device::ProbeDevice(std::string_view portName, std::uint32_t timeoutMs, BOOL retry)
{
    if (!OpenPort(portName))
        return FALSE;
    SendIdentifyRequest();
    std::int32_t result = ReadIdentityReply(timeoutMs);
    for (int again = 0; again < 2 && result == -1 && retry; ++again) {
        SendIdentifyRequest();
        result = ReadIdentityReply(timeoutMs);
    }
    ClosePort();
    return result != -1 ? TRUE : FALSE;
}

BOOL CCrv2Device::WriteDisplay(std::span<const std::uint8_t> buffer)
{
    WriteCells(buffer);
    return WriteAux(buffer);
}

BOOL CCrv2Device::FeedReplyByte(std::uint8_t byte, std::uint8_t* letter, std::uint32_t* count,
                                KeyEventQueue* queue)
{
    const protocol::KeyLayout layout{DeviceId,     LeadingCells, MainCells,
                                     TrailingCells, ExtraUnits1, ExtraUnits2};
    return parser_.Feed(byte, layout, letter, count, queue) ? TRUE : FALSE;
}

std::uint8_t CCrv2Device::ReverseBits(std::uint8_t byte)
{
    std::uint8_t mirrored = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (byte & (1u << bit))
            mirrored = static_cast<std::uint8_t>(mirrored | (0x80u >> bit));
    }
    return mirrored;
}

BOOL CCrv2Device::SendConfiguration()
{
    if (SelectionKind != 2)
        return TRUE;
    const protocol::ConfigurationValues values{DeviceId,      BaudRate,    LeadingCells, ExtraUnits1,
                                               MainCells,     TrailingCells, ExtraUnits2, Option1,
                                               AuxWriteBytes, Option2,     Option3,      Option4};
    protocol::FrameBuffer frame;
    const std::size_t size = protocol::BuildConfigurationFrame(values, frame);
    Send(std::span(frame).first(size));
    return TRUE;
}

BOOL CCrv2Device::SendIdentifyRequest()
{
    protocol::FrameBuffer frame;
    const std::size_t size = protocol::BuildRequest('B', {}, frame);
    Send(std::span(frame).first(size));
    return TRUE;
}

std::int32_t CCrv2Device::CellCount() const
{
    std::int64_t count = std::int64_t{MainCells} + LeadingCells + TrailingCells;
    // The Opal takes its cells without the extra units.
    if (DeviceId != protocol::kMirroredKeyModel)
        count += 2 * (std::int64_t{ExtraUnits1} + ExtraUnits2);
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(count, -1, 0x7FFFFFFF));
}

BOOL CCrv2Device::WriteCells(std::span<const std::uint8_t> cells)
{
    protocol::FrameBuffer frame;
    const std::size_t size = BuildPaddedRequest('C', cells, CellCount(), frame);
    Send(std::span(frame).first(size));
    return TRUE;
}

BOOL CCrv2Device::WriteAux(std::span<const std::uint8_t> buffer)
{
    if (AuxWriteBytes <= 0)
        return FALSE;
    protocol::FrameBuffer frame;
    const std::size_t size = BuildPaddedRequest('D', buffer, AuxWriteBytes, frame);
    Send(std::span(frame).first(size));
    return TRUE;
}

BOOL CCrv2Device::SendInitValues()
{
    std::array<std::uint8_t, 6> values;
    std::transform(std::begin(InitValues), std::end(InitValues), values.begin(),
                   [](std::int32_t v) { return static_cast<std::uint8_t>(v); });
    protocol::FrameBuffer frame;
    const std::size_t size = protocol::BuildRequest('A', values, frame);
    Send(std::span(frame).first(size));
    return TRUE;
}

BOOL CCrv2Device::SetDotFirmness(std::int32_t first, std::int32_t second)
{
    const std::array<std::uint8_t, 2> values{static_cast<std::uint8_t>(first),
                                             static_cast<std::uint8_t>(second)};
    protocol::FrameBuffer frame;
    const std::size_t size = protocol::BuildRequest('F', values, frame);
    Send(std::span(frame).first(size));
    return TRUE;
}

BOOL CCrv2Device::IsReady()
{
    return TRUE;
}

std::int32_t CCrv2Device::ReadIdentityReply(std::uint32_t timeoutMs)
{
    std::array<std::uint8_t, kIdentityReplySize> reply{};
    const std::int32_t got = ReadBuffer(reply, timeoutMs);
    if (got < static_cast<std::int32_t>(reply.size()) || reply[1] != 'J')
        return -1;
    DeviceId = protocol::DecodePair(reply[4], reply[5], protocol::kDataBase);
    RevisionMajor = reply[6] - '0';
    RevisionMinor = protocol::DecodePair(reply[7], reply[8], protocol::kDataBase);
    return DeviceId;
}
