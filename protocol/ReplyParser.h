#pragma once
// The receive side of the display protocol: a parser that takes reply frames ("J" identity,
// "K" key report, "L" counted) byte by byte, and the key-report decoder that turns "K" payloads
// into key events. Each link object owns one and feeds it from one thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/Frame.h"
#include "protocol/KeyEvents.h"

namespace protocol {

// What the key decoder needs of the selected model.
struct KeyLayout {
    std::int32_t DeviceId = -1;
    std::int32_t LeadingCells = 0;
    std::int32_t MainCells = 0;
    std::int32_t TrailingCells = 0;
    std::int32_t ExtraUnits1 = 0;
    std::int32_t ExtraUnits2 = 0;
};

// The model whose key reports carry their routing bits most significant bit first, with a
// wider gap for keys 11 and 12 and no leading padding.
inline constexpr std::int32_t kMirroredKeyModel = 89;

class ReplyParser {
public:
    // Back to the state at process start: idle, previous key state released, first report due.
    void Reset();

    // Advances by one received byte; true exactly when it completed a frame without error.
    // When a frame completes (good or not), *letter gets its letter (0 after a rejected one) and
    // *count the number of payload characters expected; "K" frames are decoded into queue.
    bool Feed(std::uint8_t byte, const KeyLayout& layout, std::uint8_t* letter,
              std::uint32_t* count, KeyEventQueue* queue);

    // Decodes the payload characters of one key report and appends the changes since the
    // previous report to queue (null: events dropped; at most KeyEventQueue::Capacity in all).
    void DecodeKeyReport(std::span<const std::uint8_t> chars, const KeyLayout& layout,
                         KeyEventQueue* queue);

    int State() const { return state_; }
    // The payload characters stored for the current or last frame.
    std::span<const std::uint8_t> Payload() const
    {
        return std::span(payload_).first(received_);
    }

    // Routing bits of up to this many cells (a 255-byte report cannot carry more).
    static constexpr std::size_t kMaxCells = 1020;

private:
    int state_ = 0;
    std::uint8_t letter_ = 0;
    std::uint8_t lengthChars_[2] = {};
    std::uint32_t expected_ = 0;
    std::uint32_t received_ = 0;
    bool error_ = false;
    std::array<std::uint8_t, kFrameBufferSize> payload_{};

    std::uint8_t previousKeys_ = 0;  // keys 11-14 mask
    std::uint8_t previousFront_ = 0; // front-key byte
    std::array<std::uint8_t, kMaxCells * 2 / 8 + 2> previousRouting_{};
    bool firstReport_ = true;
};

} // namespace protocol
