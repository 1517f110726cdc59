#pragma once
// The second-generation displays' framed command protocol over any transport.
#include "protocol/CrvDevice.h"
#include "protocol/ReplyParser.h"

class CCrv2Device : public CCrvDevice {
public:
    std::int32_t GetKeyTables(const std::uint8_t** first, const std::uint8_t** second) override;
    void Identify(std::uint32_t timeoutMs) override;
    BOOL ProbeDevice(std::string_view portName, std::uint32_t timeoutMs, BOOL retry) override;
    BOOL WriteDisplay(std::span<const std::uint8_t> buffer) override;
    // Through this link's own parser; true when this byte completed a good frame.
    BOOL FeedReplyByte(std::uint8_t byte, std::uint8_t* letter, std::uint32_t* count,
                       KeyEventQueue* queue) override;
    std::uint8_t ReverseBits(std::uint8_t byte) override;
    BOOL SendConfiguration() override;
    BOOL SendIdentifyRequest() override;
    // Sends the model's cell count; a shorter buffer is padded with zero cells.
    BOOL WriteCells(std::span<const std::uint8_t> cells) override;
    BOOL WriteAux(std::span<const std::uint8_t> buffer) override;
    BOOL SendInitValues() override;
    BOOL SetDotFirmness(std::int32_t first, std::int32_t second) override;
    BOOL IsReady() override;
    std::int32_t ReadIdentityReply(std::uint32_t timeoutMs) override;

    // Payload bytes of a cell write for the selected model.
    std::int32_t CellCount() const;

    protocol::ReplyParser& Parser() { return parser_; }
    const protocol::ReplyParser& Parser() const { return parser_; }

private:
    void Send(std::span<const std::uint8_t> frame);

    protocol::ReplyParser parser_;
};
