#include "link/CrvSerialDevice.h"

#include "link/LineSettings.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>

#include "platform/Clock.h"

namespace {

constexpr std::uint32_t kDefaultBaudRate = 57600;
constexpr std::size_t kMaxPortName = 14;
constexpr std::uint32_t kPurgeBoth = platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR;

// "com3:" opens COM3. Device paths are taken whole and keep their case: udev's by-path names
// hold colons, and /dev/serial/by-id names run far beyond 14 characters.
std::string NormalizePortName(std::string_view name)
{
    name = name.substr(0, name.find('\0'));
    if (!name.empty() && name.front() == '/')
        return std::string(name);
    std::string text(name.substr(0, kMaxPortName));
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const auto colon = text.find(':');
    if (colon != std::string::npos)
        text.resize(colon);
    return text;
}

std::atomic<SerialTraceHook> traceHook{nullptr};

// The request, timed and told to the hook when one is set; moved(result) names the bytes.
template <typename Call, typename Moved>
auto Traced(const char* name, const Call& call, const Moved& moved)
{
    const SerialTraceHook hook = traceHook.load(std::memory_order_relaxed);
    if (hook == nullptr)
        return call();
    const auto start = std::chrono::steady_clock::now();
    const auto result = call();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    const std::span<const std::uint8_t> bytes = moved(result);
    hook(name, static_cast<unsigned long>(result), static_cast<long long>(took.count()), bytes.data(),
         static_cast<unsigned long>(bytes.size()));
    return result;
}

std::span<const std::uint8_t> NoBytes(BOOL /*result*/)
{
    return {};
}

} // namespace

void SetSerialTrace(SerialTraceHook hook)
{
    traceHook.store(hook);
}

CCrvSerialDevice::CCrvSerialDevice() = default;

CCrvSerialDevice::~CCrvSerialDevice()
{
    CCrvSerialDevice::ClosePort();
}

BOOL CCrvSerialDevice::OpenPort(std::string_view portName)
{
    return Traced("Serial_OpenPort", [&] { return OpenPortUntraced(portName); }, NoBytes);
}

BOOL CCrvSerialDevice::OpenPortUntraced(std::string_view portName)
{
    const std::string name = NormalizePortName(portName);
    if (name.size() >= m_szPortName.size())
        return FALSE; // a path cut short would name another file
    m_hPort = platform::OpenSerialPort(name);
    if (m_hPort == platform::kInvalidSerialHandle)
        return FALSE;
    m_szPortName.fill(0);
    std::copy(name.begin(), name.end(), m_szPortName.begin());

    platform::Dcb dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    (void)platform::GetCommState(m_hPort, dcb);
    ApplyPlainLine(dcb,
                   BaudRateOverride != 0 ? static_cast<std::uint32_t>(BaudRateOverride)
                                         : kDefaultBaudRate,
                   platform::RTS_CONTROL_DISABLE);
    (void)platform::SetCommState(m_hPort, dcb);

    // Reads return at once with whatever is buffered; a write may take 100 ms a byte.
    const platform::CommTimeouts timeouts{std::numeric_limits<std::uint32_t>::max(), 0, 0, 100, 1};
    if (!platform::SetCommTimeouts(m_hPort, timeouts))
        return FALSE;
    return TRUE;
}

BOOL CCrvSerialDevice::WriteByte(std::int32_t value)
{
    const std::uint8_t byte = static_cast<std::uint8_t>(value);
    return Traced("Serial_WriteByte", [&]() -> BOOL {
        if (m_bLinkLost)
            return TRUE;
        if (m_hPort == platform::kInvalidSerialHandle)
            return FALSE;
        std::uint32_t written = 0;
        if (platform::WriteFile(m_hPort, &byte, 1, &written) && written == 1)
            return TRUE;
        platform::ClearCommError(m_hPort);
        return FALSE;
    }, [&](BOOL) { return std::span<const std::uint8_t>(&byte, 1); });
}

BOOL CCrvSerialDevice::WriteBuffer(std::span<const std::uint8_t> data)
{
    return Traced("Serial_WriteBuffer", [&] { return WriteBufferUntraced(data); }, [&](BOOL) { return data; });
}

BOOL CCrvSerialDevice::WriteBufferUntraced(std::span<const std::uint8_t> data)
{
    if (m_bLinkLost) {
        const std::string name(m_szPortName.data());
        if (!OpenPort(name))
            return TRUE; // the data are dropped: callers go on as if the display took them
        m_bLinkLost = FALSE;
    }
    if (m_hPort == platform::kInvalidSerialHandle)
        return FALSE;
    const std::uint32_t count = static_cast<std::uint32_t>(
        std::min<std::size_t>(data.size(), std::numeric_limits<std::int32_t>::max()));
    std::uint32_t written = 0;
    if (platform::WriteFile(m_hPort, data.data(), count, &written) && written == count)
        return TRUE;
    platform::ClearCommError(m_hPort);
    platform::PurgeComm(m_hPort, kPurgeBoth);
    platform::CloseSerialPort(m_hPort);
    m_hPort = platform::kInvalidSerialHandle;
    m_bLinkLost = TRUE;
    return FALSE;
}

std::int32_t CCrvSerialDevice::ReadBuffer(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs)
{
    return Traced("Serial_ReadBuffer", [&] { return ReadBufferUntraced(buffer, timeoutMs); },
                  [&](std::int32_t got) {
                      return std::span<const std::uint8_t>(buffer).first(m_bLinkLost ? 0 : static_cast<std::size_t>(got));
                  });
}

std::int32_t CCrvSerialDevice::ReadBufferUntraced(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs)
{
    const std::uint32_t start = platform::GetTickCount();
    if (m_bLinkLost)
        return 1;
    if (m_hPort == platform::kInvalidSerialHandle)
        return 0;
    const std::uint32_t count = static_cast<std::uint32_t>(
        std::min<std::size_t>(buffer.size(), std::numeric_limits<std::int32_t>::max()));
    std::uint32_t got = 0;
    bool waitedOut = false;
    while (got < count) {
        std::uint32_t n = 0;
        if (!platform::ReadFile(m_hPort, buffer.data() + got, count - got, &n)) {
            platform::ClearCommError(m_hPort);
            platform::PurgeComm(m_hPort, kPurgeBoth);
            return 0;
        }
        got += n;
        const std::uint32_t elapsed = platform::GetTickCount() - start;
        // waitedOut: the whole remaining time passed without data; a tick count that did not
        // move meanwhile (a test's virtual clock) must not keep the read going for ever.
        if (elapsed > timeoutMs || waitedOut)
            break;
        // Sleep in poll() until data come or the time-out passes, instead of spinning; the
        // extra millisecond lets the tick count pass the time-out before the last attempt.
        if (got < count) {
            const std::uint32_t left = timeoutMs - elapsed;
            waitedOut = !platform::WaitReadable(m_hPort, left == UINT32_MAX ? left : left + 1);
        }
    }
    return static_cast<std::int32_t>(got);
}

void CCrvSerialDevice::PurgePort()
{
    if (m_hPort != platform::kInvalidSerialHandle)
        Traced("Serial_PurgePort", [&] { return platform::PurgeComm(m_hPort, kPurgeBoth) ? TRUE : FALSE; }, NoBytes);
}

void CCrvSerialDevice::ClosePort()
{
    if (m_hPort != platform::kInvalidSerialHandle) {
        CCrvSerialDevice::PurgePort(); // also run by the destructor: no virtual call
        platform::CloseSerialPort(m_hPort);
    }
    m_hPort = platform::kInvalidSerialHandle;
    m_szPortName.fill(0);
    m_bLinkLost = FALSE;
}
