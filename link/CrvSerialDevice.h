#pragma once
// The display over a COM port.
#include <array>
#include <climits>

#include "platform/SerialPort.h"
#include "protocol/Crv2Device.h"

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
};
