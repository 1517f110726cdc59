#include "protocol/ReplyParser.h"

#include <algorithm>
#include <vector>

namespace protocol {

namespace {

// Front-key bit number to key code.
constexpr std::int32_t kFrontKeyCodes[8] = {4, 3, 7, 8, 5, 1, 6, 2};

void AddEvent(KeyEventQueue* queue, std::int32_t code, bool pressed, std::uint8_t keyState)
{
    if (queue == nullptr || queue->Count >= KeyEventQueue::Capacity)
        return;
    queue->Events[queue->Count++] = KeyEvent{code, pressed ? 1 : 0, keyState};
}

// Reads report bits least significant first, byte after byte; bits past the report's end
// read as 0, so a short report cannot make the decoder read past its data.
class BitReader {
public:
    BitReader(std::span<const std::uint8_t> bytes, std::size_t start) : bytes_(bytes), pos_(start) {}
    bool Next()
    {
        const std::size_t pos = pos_++;
        return pos / 8 < bytes_.size() && ((bytes_[pos / 8] >> (pos % 8)) & 1) != 0;
    }
    bool Peek(std::size_t offset) const
    {
        const std::size_t pos = pos_ + offset;
        return pos / 8 < bytes_.size() && ((bytes_[pos / 8] >> (pos % 8)) & 1) != 0;
    }
    void Skip(std::size_t bits) { pos_ += bits; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_;
};

// Fills the routing array one byte at a time; the mirrored model shifts bits in at the
// bottom, every other model at the top.
class RoutingWriter {
public:
    RoutingWriter(std::span<std::uint8_t> out, bool mirrored) : out_(out), mirrored_(mirrored) {}
    void Put(bool bit)
    {
        if (mirrored_)
            current_ = static_cast<std::uint8_t>((current_ << 1) | (bit ? 1 : 0));
        else
            current_ = static_cast<std::uint8_t>((current_ >> 1) | (bit ? 0x80 : 0));
        if (++filled_ == 8) {
            out_[index_++] = current_;
            current_ = 0;
            filled_ = 0;
        }
    }
    void Finish()
    {
        if (filled_ == 0)
            return;
        out_[index_] = mirrored_ ? current_ : static_cast<std::uint8_t>(current_ >> (8 - filled_));
    }

private:
    std::span<std::uint8_t> out_;
    bool mirrored_;
    std::uint8_t current_ = 0;
    int filled_ = 0;
    std::size_t index_ = 0;
};

std::size_t CellCount(std::int32_t cells)
{
    return static_cast<std::size_t>(std::clamp<std::int32_t>(cells, 0, ReplyParser::kMaxCells));
}

bool BitAt(std::span<const std::uint8_t> bits, std::size_t position)
{
    return ((bits[position / 8] >> (position % 8)) & 1) != 0;
}

} // namespace

void ReplyParser::Reset()
{
    *this = ReplyParser();
}

bool ReplyParser::Feed(std::uint8_t byte, const KeyLayout& layout, std::uint8_t* letter,
                       std::uint32_t* count, KeyEventQueue* queue)
{
    switch (state_) {
    case 0:
        if (byte == kStx) {
            error_ = false;
            expected_ = 0;
            received_ = 0;
            letter_ = 0;
            payload_.fill(0);
            state_ = 1;
        }
        return false;
    case 1:
        if (byte == 'J' || byte == 'K' || byte == 'L') {
            letter_ = byte;
            state_ = 2;
        } else {
            error_ = true;
            state_ = 5;
        }
        return false;
    case 2:
        lengthChars_[0] = byte;
        state_ = 3;
        return false;
    case 3: {
        lengthChars_[1] = byte;
        const std::uint32_t n = DecodePair(lengthChars_[0], lengthChars_[1], kLengthBase);
        // The identity reply counts characters; the others count bytes of two characters.
        expected_ = letter_ == 'J' ? n : 2 * n;
        received_ = 0;
        state_ = 4;
        return false;
    }
    case 4:
        // received_ never passes expected_ (at most 510) or, for a zero length, 1.
        if (received_ < payload_.size())
            payload_[received_++] = byte;
        if (received_ >= expected_) {
            state_ = 5;
        } else if (byte == kEtx) {
            error_ = true;
            state_ = 5;
        }
        return false;
    case 5:
        if (byte != kEtx)
            return false;
        // A report cut short by an early ETX is decoded all the same, from what arrived.
        if (letter_ == 'K')
            DecodeKeyReport(Payload(), layout, queue);
        if (letter != nullptr)
            *letter = letter_;
        if (count != nullptr)
            *count = expected_;
        state_ = 0;
        return !error_;
    default:
        state_ = 0;
        return false;
    }
}

void ReplyParser::DecodeKeyReport(std::span<const std::uint8_t> chars, const KeyLayout& layout,
                                  KeyEventQueue* queue)
{
    if (firstReport_) {
        previousKeys_ = 0;
        previousFront_ = 0;
        previousRouting_.fill(0);
        firstReport_ = false;
    }

    std::array<std::uint8_t, kFrameBufferSize / 2> report{};
    const std::size_t reportBytes = std::min(report.size(), chars.size() / 2);
    DecodeDataBytes(chars, std::span(report).first(reportBytes));
    const std::span<const std::uint8_t> b(report.data(), reportBytes);

    const bool mirrored = layout.DeviceId == kMirroredKeyModel;
    const std::size_t p = static_cast<std::size_t>(
        std::clamp<std::int64_t>(std::int64_t{layout.ExtraUnits1} + layout.ExtraUnits2, 0, 255));
    const std::size_t leading = CellCount(layout.LeadingCells);
    const std::size_t rest = std::min(CellCount(layout.MainCells) + CellCount(layout.TrailingCells),
                                      kMaxCells - leading);
    const std::size_t cells = leading + rest;

    std::size_t offset = 0;
    if (!mirrored) {
        // Pads the report so that the routing bits end on a byte boundary.
        const std::int64_t bits = 2 * static_cast<std::int64_t>(cells) - 4 * static_cast<std::int64_t>(p);
        offset = static_cast<std::size_t>((8 - ((bits % 8) + 8) % 8) % 8);
    }

    const std::uint8_t front = p < b.size() ? b[p] : 0;
    BitReader source(b, 8 * (p + 1) + offset);

    std::array<std::uint8_t, kMaxCells * 2 / 8 + 2> routing{};
    RoutingWriter writer(routing, mirrored);
    for (std::size_t i = 0; i < 2 * leading; ++i)
        writer.Put(source.Next());

    std::uint8_t keys = 0;
    if (source.Peek(0))
        keys |= 1 << 2;
    else if (source.Peek(1))
        keys |= 1 << 3;
    source.Skip(mirrored ? 8 : 4);

    for (std::size_t i = 0; i < 2 * rest; ++i)
        writer.Put(source.Next());
    writer.Finish();

    if (source.Peek(0))
        keys |= 1 << 4;
    else if (source.Peek(1))
        keys |= 1 << 5;

    for (int bit = 0; bit < 8; ++bit) {
        if (((keys ^ previousKeys_) >> bit) & 1)
            AddEvent(queue, 9 + bit, (keys >> bit) & 1, keys);
    }
    previousKeys_ = keys;

    for (int bit = 0; bit < 8; ++bit) {
        if (((front ^ previousFront_) >> bit) & 1)
            AddEvent(queue, kFrontKeyCodes[bit], (front >> bit) & 1, keys);
    }
    previousFront_ = front;

    for (std::size_t cell = 0; cell < cells; ++cell) {
        const std::int32_t code = static_cast<std::int32_t>(cell);
        for (std::size_t k = 0; k < 2; ++k) {
            const bool now = BitAt(routing, 2 * cell + k);
            if (now != BitAt(previousRouting_, 2 * cell + k))
                AddEvent(queue, (k == 0 ? 256 : 512) + code, now, keys);
        }
    }
    previousRouting_ = routing;
}

} // namespace protocol
