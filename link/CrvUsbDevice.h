#pragma once
// The display over its USB serial converter, through the D2XX library.
#include <array>
#include <optional>
#include <string>

#include "link/D2xx.h"
#include "link/D2xxLibrary.h"
#include "link/UserArea.h"
#include "protocol/Crv2Device.h"

class CCrvUsbDevice : public CCrv2Device {
public:
    CCrvUsbDevice();
    ~CCrvUsbDevice() override; // ClosePort

    // Opens the first converter found (the name is not used for the search; callers pass "USB").
    BOOL OpenPort(std::string_view portName) override;
    BOOL WriteByte(std::int32_t value) override;
    BOOL WriteBuffer(std::span<const std::uint8_t> data) override;
    std::int32_t ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    void PurgePort() override;
    // Purges and closes the handle, leaves the lost state and unloads the library.
    void ClosePort() override;

    BOOL BindD2xxLibrary();
    // Serial number of device 0, or of the converter named with --device (at most size-1
    // characters).
    BOOL FindFirstDevice(std::string& serial, int size = 128);
    // Receive-queue count, or -1 when the query fails.
    std::int32_t GetBytesAvailable();

    // The identification record in the converter's user area.
    BOOL ReadUserArea();
    // DeviceId from the record; beeps twice on a checksum mismatch. Returns UserAreaValid.
    BOOL ParseUserArea();

    // For the firmware update and the EEPROM operations, which call the library on the handle.
    D2xxLibrary& Library() { return m_d2xx; }
    d2xx::FT_HANDLE DeviceHandle() const { return m_hDevice; }
    bool IsOpen() const { return d2xx::IsValidHandle(m_hDevice); }

    // Members in the documented order.
    d2xx::FT_HANDLE m_hDevice;
    std::uint32_t ChipType = 0;
    d2xx::FT_EEPROM_X_SERIES m_eepromX{};
    d2xx::FT_EEPROM_232B m_eepromBm{};
    std::array<char, 64> Manufacturer{};
    std::array<char, 64> ManufacturerId{};
    std::array<char, 64> Description{};
    std::array<char, 64> SerialNumber{};
    D2xxLibrary m_d2xx;
    BOOL m_bLinkLost = FALSE;
    // Why the last OpenPort found a converter but could not open it, where the provider tells
    // (d2xx::OpenFailure); unknown otherwise.
    d2xx::DWORD OpenFailureCause = d2xx::kOpenFailureUnknown;
    // Ours, beside the providers' causes: the converter named with --device is not attached.
    static constexpr d2xx::DWORD kOpenFailureNotNamed = 0x100;
    static constexpr d2xx::DWORD kOpenFailureAmbiguous = 0x101;
    // Set when the converter's listed serial would not name it alone.
    std::optional<d2xx::DWORD> OpenLocation;
    // The plain sentence naming that cause; "" when it is not known.
    std::string OpenFailureSentence() const;
    // "serial:KS000042" when the last open chose among several converters or by --device;
    // "" with one converter and no choice.
    std::string ChosenConverter;
    BOOL UserAreaValid = FALSE;
    UserAreaImageBuffer UserAreaImage{};

private:
    void NoteWritten(std::size_t bytes);
    void PollNap(std::uint32_t mostUs) const;

    std::uint32_t m_lineBaud = 0;
    std::uint64_t m_lineFreeAtUs = 0; // when the bytes written last have left at the line rate
};
