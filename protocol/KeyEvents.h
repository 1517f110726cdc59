#pragma once
// Key events decoded from the display's key reports.
#include <cstdint>

struct KeyEvent {
    std::int32_t Code;     // 1-8 front keys, 11-14, 256+i / 512+i routing keys of cell i
    std::int32_t Pressed;  // 1 pressed, 0 released
    std::uint8_t KeyState; // mask of keys 11-14: bit 2 = 11 ... bit 5 = 14
};

struct KeyEventQueue {
    static constexpr std::uint32_t Capacity = 256;
    std::uint32_t Reserved = 0; // left alone by the decoder
    std::uint32_t Count = 0;    // further events are dropped once it reaches Capacity
    KeyEvent Events[Capacity] = {};
};
