#pragma once
// The link contract: the root of the device class tree. Every transport meets it.
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/Types.h"

class CBrailleDevice {
public:
    virtual ~CBrailleDevice() = default;
    // Opens and configures the port; non-zero on success.
    virtual BOOL OpenPort(std::string_view portName) = 0;
    // Sends the low byte of value. 1 when written, or while the link is lost.
    virtual BOOL WriteByte(std::int32_t value) = 0;
    // 1 when all bytes were written, or while the link is lost and cannot be reopened;
    // 0 on failure (the port is then closed and the link lost).
    virtual BOOL WriteBuffer(std::span<const std::uint8_t> data) = 0;
    // Reads up to buffer.size() bytes, waiting at most timeoutMs (tick count). Returns the count
    // read; 0 after a read error; 1 while the link is lost (buffer untouched).
    virtual std::int32_t ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) = 0;
    // Discards what waits in the transmit and receive queues.
    virtual void PurgePort() {}
};
