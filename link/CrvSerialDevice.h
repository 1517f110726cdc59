#pragma once
// The display over a COM port.
#include <array>
#include <climits>

#include "platform/SerialPort.h"
#include "protocol/Crv2Device.h"

// Told of every request on a serial link when set (kestrune-cli -v), as the D2XX trace is of the
// converter's: the method's name, its result, its duration in microseconds and the bytes that
// moved. Called on the calling thread.
using SerialTraceHook = void (*)(const char* call, unsigned long status, long long micros,
                                 const void* bytes, unsigned long count);
void SetSerialTrace(SerialTraceHook hook);

class CCrvSerialDevice : public CCrv2Device {
public:
    CCrvSerialDevice();
    ~CCrvSerialDevice() override; // ClosePort

    BOOL OpenPort(std::string_view portName) override;
    BOOL WriteByte(std::int32_t value) override;
    BOOL WriteBuffer(std::span<const std::uint8_t> data) override;
    std::int32_t ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    void PurgePort() override;
    void ClosePort() override;

    // Name as opened: a COM name upper case, cut at the first colon, at most 14 characters; a
    // path starting with '/' whole, shorter than PATH_MAX; "" when closed.
    std::array<char, PATH_MAX> m_szPortName{};
    platform::SerialHandle m_hPort = platform::kInvalidSerialHandle;
    BOOL m_bLinkLost = FALSE;

private:
    BOOL OpenPortUntraced(std::string_view portName);
    BOOL WriteBufferUntraced(std::span<const std::uint8_t> data);
    std::int32_t ReadBufferUntraced(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs);
};
