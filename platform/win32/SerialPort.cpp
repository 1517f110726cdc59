#include "platform/win32/Windows.h"

#include "platform/SerialPort.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace platform {

namespace {

static_assert(sizeof(DCB) == sizeof(Dcb));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(CommTimeouts));

HANDLE Native(SerialHandle port)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(port));
}

bool IsComName(const std::string& name)
{
    if (name.size() < 4 || (name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm'))
        return false;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return name.size() <= 7 && name[3] != '0';
}

} // namespace

std::string MapComName(const std::string& name)
{
    // COM10 and above open only through the device namespace; COM1 works either way.
    if (IsComName(name))
        return "\\\\.\\" + name;
    return name;
}

SerialHandle OpenSerialPort(const std::string& name)
{
    const std::string path = MapComName(name);
    if (path.empty()) {
        ::SetLastError(2);
        return kInvalidSerialHandle;
    }
    // Share mode 0: a second opener is refused by the system itself.
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return kInvalidSerialHandle;
    return static_cast<SerialHandle>(reinterpret_cast<std::intptr_t>(handle));
}

bool GetCommState(SerialHandle port, Dcb& dcb)
{
    DCB native{};
    native.DCBlength = sizeof native;
    if (!::GetCommState(Native(port), &native))
        return false;
    std::memcpy(&dcb, &native, sizeof dcb);
    return true;
}

bool SetCommState(SerialHandle port, const Dcb& dcb)
{
    DCB native{};
    std::memcpy(&native, &dcb, sizeof native);
    native.DCBlength = sizeof native;
    native.fBinary = TRUE;
    return ::SetCommState(Native(port), &native) != 0;
}

bool SetCommTimeouts(SerialHandle port, const CommTimeouts& timeouts)
{
    COMMTIMEOUTS native{};
    std::memcpy(&native, &timeouts, sizeof native);
    return ::SetCommTimeouts(Native(port), &native) != 0;
}

bool ReadFile(SerialHandle port, void* buffer, std::uint32_t count, std::uint32_t* got)
{
    DWORD n = 0;
    const BOOL ok = ::ReadFile(Native(port), buffer, count, &n, nullptr);
    *got = n;
    return ok != 0;
}

bool WriteFile(SerialHandle port, const void* data, std::uint32_t count, std::uint32_t* written)
{
    DWORD n = 0;
    const BOOL ok = ::WriteFile(Native(port), data, count, &n, nullptr);
    *written = n;
    return ok != 0;
}

bool ClearCommError(SerialHandle port)
{
    DWORD errors = 0;
    COMSTAT status{};
    return ::ClearCommError(Native(port), &errors, &status) != 0;
}

bool PurgeComm(SerialHandle port, std::uint32_t flags)
{
    return ::PurgeComm(Native(port), flags) != 0;
}

bool CloseSerialPort(SerialHandle port)
{
    if (port == kInvalidSerialHandle) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::CloseHandle(Native(port)) != 0;
}

bool WaitReadable(SerialHandle port, std::uint32_t timeoutMs)
{
    // The queue's fill is polled: an event wait would need the port opened overlapped, which
    // the transport's plain reads and writes do not want.
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(Native(port), &errors, &status) || status.cbInQue > 0)
            return true; // bytes, or a port that is gone
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
}

// The simulated display serves a pseudo-terminal on Linux only; on Windows its D2XX face is
// the way in, and a COM port is mapped to it by Wine's own device folder.
bool OpenPseudoTerminal(PseudoTerminal& pty)
{
    pty = PseudoTerminal{};
    return false;
}

void ClosePseudoTerminal(PseudoTerminal& pty)
{
    pty = PseudoTerminal{};
}

bool WaitPseudoTerminal(const PseudoTerminal&, bool, std::uint32_t, bool& readable)
{
    readable = false;
    return false;
}

std::size_t ReadPseudoTerminal(const PseudoTerminal&, std::span<std::uint8_t>)
{
    return 0;
}

std::size_t WritePseudoTerminal(const PseudoTerminal&, std::span<const std::uint8_t>)
{
    return 0;
}

} // namespace platform
