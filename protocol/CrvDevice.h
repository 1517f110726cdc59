#pragma once
// Middle of the device class tree: the link operations stay pure, the protocol slots are
// declared; the object holds the selected model's fields and the registry settings.
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/BrailleDevice.h"
#include "protocol/KeyEvents.h"

class CCrvDevice : public CBrailleDevice {
public:
    CCrvDevice(); // model fields cleared, DeviceId -1, then LoadRegistrySettings
    ~CCrvDevice() override = default;

    // Slots 1-5 again pure (PurgePort included), 6 added.
    BOOL OpenPort(std::string_view portName) override = 0;
    BOOL WriteByte(std::int32_t value) override = 0;
    BOOL WriteBuffer(std::span<const std::uint8_t> data) override = 0;
    std::int32_t ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override = 0;
    void PurgePort() override = 0;
    virtual void ClosePort() = 0;

    // Protocol slots 7-20 (implemented by CCrv2Device).
    virtual std::int32_t GetKeyTables(const std::uint8_t** first, const std::uint8_t** second) = 0;
    virtual void Identify(std::uint32_t timeoutMs) = 0;
    virtual BOOL ProbeDevice(std::string_view portName, std::uint32_t timeoutMs, BOOL retry) = 0;
    virtual BOOL WriteDisplay(std::span<const std::uint8_t> buffer) = 0;
    virtual BOOL FeedReplyByte(std::uint8_t byte, std::uint8_t* letter, std::uint32_t* count,
                               KeyEventQueue* queue) = 0;
    virtual std::uint8_t ReverseBits(std::uint8_t byte) = 0;
    virtual BOOL SendConfiguration() = 0;
    virtual BOOL SendIdentifyRequest() = 0;
    virtual BOOL WriteCells(std::span<const std::uint8_t> cells) = 0;
    virtual BOOL WriteAux(std::span<const std::uint8_t> buffer) = 0;
    virtual BOOL SendInitValues() = 0;
    virtual BOOL SetDotFirmness(std::int32_t first, std::int32_t second) = 0;
    virtual BOOL IsReady() = 0;
    virtual std::int32_t ReadIdentityReply(std::uint32_t timeoutMs) = 0;

    // Copies the model row of id and returns id; -1 (object unchanged) when there is none.
    std::int32_t SelectDeviceModel(std::int32_t selectionKind, std::uint32_t id);
    // Reads LoggingMode, BaudRateOverride and ReadUserAreaMethod (0 when absent).
    void LoadRegistrySettings();

    std::int32_t SelectionKind = 0;
    std::int32_t DeviceId = -1;
    std::int32_t RevisionMajor = 0;
    std::int32_t RevisionMinor = 0;
    std::int32_t MainCells = 0;
    std::int32_t LeadingCells = 0;
    std::int32_t TrailingCells = 0;
    std::int32_t ExtraUnits1 = 0;
    std::int32_t ExtraUnits2 = 0;
    std::int32_t Option1 = 0;
    std::int32_t SpareCount = 0;
    std::int32_t AuxWriteBytes = 0;
    std::int32_t Option2 = 0;
    std::int32_t Option3 = 0;
    std::int32_t Option4 = 0;
    std::int32_t BaudRate = 0;
    std::int32_t InitValues[6] = {};
    std::int32_t LoggingMode = 0;
    std::int32_t BaudRateOverride = 0;
    std::int32_t ReadUserAreaMethod = 0;
};
