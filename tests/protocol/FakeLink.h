#pragma once
// A protocol device over a scripted link: records every write, hands out queued replies.
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "protocol/Crv2Device.h"

using Bytes = std::vector<std::uint8_t>;

class FakeLink : public CCrv2Device {
public:
    BOOL OpenPort(std::string_view name) override
    {
        opened.emplace_back(name);
        return openResult;
    }
    BOOL WriteByte(std::int32_t value) override
    {
        writes.push_back({static_cast<std::uint8_t>(value)});
        return TRUE;
    }
    BOOL WriteBuffer(std::span<const std::uint8_t> data) override
    {
        writes.emplace_back(data.begin(), data.end());
        return writeResult;
    }
    // Each call takes the next queued reply (cut to the buffer); none queued reads nothing.
    std::int32_t ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override
    {
        readTimeouts.push_back(timeoutMs);
        if (replies.empty())
            return 0;
        const Bytes reply = replies.front();
        replies.pop_front();
        const std::size_t n = std::min(reply.size(), buffer.size());
        std::copy_n(reply.begin(), n, buffer.begin());
        return static_cast<std::int32_t>(n);
    }
    void PurgePort() override {}
    void ClosePort() override { ++closes; }

    BOOL openResult = TRUE;
    BOOL writeResult = TRUE;
    std::vector<std::string> opened;
    std::vector<Bytes> writes;
    std::deque<Bytes> replies;
    std::vector<std::uint32_t> readTimeouts;
    int closes = 0;
};

inline Bytes Hex(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}
