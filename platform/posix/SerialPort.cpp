#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/Profile.h"

namespace platform {

namespace {

struct Rate {
    std::uint32_t baud;
    speed_t code;
};

constexpr Rate kRates[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(std::uint32_t baud, speed_t& code)
{
    for (const Rate& rate : kRates) {
        if (rate.baud == baud) {
            code = rate.code;
            return true;
        }
    }
    return false;
}

std::uint32_t BaudOf(speed_t code)
{
    for (const Rate& rate : kRates) {
        if (rate.code == code)
            return rate.baud;
    }
    return 0;
}

// The time-outs each open port was given, as the Win32 driver keeps them per handle.
std::mutex g_timeoutsMutex;
std::map<int, CommTimeouts> g_timeouts;

CommTimeouts TimeoutsOf(int port)
{
    std::lock_guard lock(g_timeoutsMutex);
    const auto it = g_timeouts.find(port);
    return it == g_timeouts.end() ? CommTimeouts{} : it->second;
}

bool IsOpenDescriptor(int port)
{
    return port >= 0 && fcntl(port, F_GETFD) != -1;
}

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline)
{
    // Rounded up: a poll() that ends before the deadline would end a read before its time-out.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

// poll() for events until the deadline, retrying EINTR; the revents seen, 0 on time-out.
short PollUntil(int port, short events, SteadyClock::time_point deadline)
{
    for (;;) {
        pollfd entry{port, events, 0};
        const int result = poll(&entry, 1, RemainingMs(deadline));
        if (result > 0)
            return entry.revents;
        if (result == 0 && SteadyClock::now() >= deadline)
            return 0;
        if (result == 0)
            continue;
        if (errno != EINTR)
            return POLLERR;
    }
}

bool HungUp(int port)
{
    pollfd entry{port, POLLIN, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void SetModemLine(int port, int line, bool on)
{
    // Pseudo-terminals and some adapters have no modem lines; the line settings still hold.
    (void)ioctl(port, on ? TIOCMBIS : TIOCMBIC, &line);
}

int Fd(SerialHandle handle)
{
    return static_cast<int>(handle);
}

} // namespace

std::string MapComName(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.front() == '/')
        return name;
    std::string mapped = GetProfileString("Ports", name, "", ProfileStorePath());
    if (!mapped.empty())
        return mapped;
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm')) {
        unsigned number = 0;
        for (std::size_t i = 3; i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9' || number > 9999)
                return {};
            number = number * 10 + static_cast<unsigned>(name[i] - '0');
        }
        if (number >= 1)
            return "/dev/ttyS" + std::to_string(number - 1);
    }
    return {};
}

SerialHandle OpenSerialPort(const std::string& name)
{
    const std::string path = MapComName(name);
    if (path.empty()) {
        errno = ENOENT;
        return kInvalidSerialHandle;
    }
    // Non-blocking so that reads return at once with what is buffered and writes can be bounded.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return kInvalidSerialHandle;
    // A COM port is opened with share mode 0: a second opener must fail. TIOCEXCL makes the
    // kernel refuse further opens of the tty, but not to privileged processes; the flock()
    // catches those too among programs that lock serial ports the same way.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        const int error = isatty(fd) ? errno : ENOTTY;
        close(fd);
        errno = error == EWOULDBLOCK ? EBUSY : error;
        return kInvalidSerialHandle;
    }
    return static_cast<SerialHandle>(fd);
}

bool GetCommState(SerialHandle handle, Dcb& dcb)
{
    const int port = Fd(handle);
    termios tio{};
    if (tcgetattr(port, &tio) != 0)
        return false;
    dcb.DCBlength = sizeof(Dcb);
    dcb.BaudRate = BaudOf(cfgetospeed(&tio));
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_cflag & PARENB) ? 1 : 0;
    dcb.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    dcb.Parity = !(tio.c_cflag & PARENB) ? 0 : (tio.c_cflag & PARODD) ? 1 : 2;
    dcb.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    int lines = 0;
    if (ioctl(port, TIOCMGET, &lines) == 0) {
        dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = dcb.fOutxCtsFlow ? RTS_CONTROL_HANDSHAKE
                          : (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE
                                                : RTS_CONTROL_DISABLE;
    }
    return true;
}

bool SetCommState(SerialHandle handle, const Dcb& dcb)
{
    const int port = Fd(handle);
    termios tio{};
    if (tcgetattr(port, &tio) != 0)
        return false;
    speed_t speed;
    if (!SpeedCode(dcb.BaudRate, speed)) {
        errno = EINVAL;
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    switch (dcb.ByteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: errno = EINVAL; return false;
    }
    switch (dcb.Parity) {
    case 0: break;
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    default: errno = EINVAL; return false; // mark and space parity are not offered here
    }
    if (dcb.StopBits != 0)
        tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(port, TCSANOW, &tio) != 0)
        return false;
    SetModemLine(port, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
        SetModemLine(port, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    return true;
}

bool SetCommTimeouts(SerialHandle handle, const CommTimeouts& timeouts)
{
    const int port = Fd(handle);
    if (!IsOpenDescriptor(port)) {
        errno = EBADF;
        return false;
    }
    std::lock_guard lock(g_timeoutsMutex);
    g_timeouts[port] = timeouts;
    return true;
}

bool ReadFile(SerialHandle handle, void* buffer, std::uint32_t count, std::uint32_t* got)
{
    const int port = Fd(handle);
    *got = 0;
    if (count == 0)
        return true;
    for (;;) {
        const ssize_t n = read(port, buffer, count);
        if (n > 0) {
            *got = static_cast<std::uint32_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // Nothing buffered. A hung-up line also reads as empty; report it as the failed read
        // that Windows gives for a vanished port, so callers do not wait on a dead line.
        if (HungUp(port)) {
            errno = EIO;
            return false;
        }
        return true;
    }
}

bool WriteFile(SerialHandle handle, const void* data, std::uint32_t count, std::uint32_t* written)
{
    const int port = Fd(handle);
    *written = 0;
    const CommTimeouts timeouts = TimeoutsOf(port);
    const bool bounded = timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0;
    const auto deadline = SteadyClock::now() +
        std::chrono::milliseconds(std::uint64_t{timeouts.WriteTotalTimeoutMultiplier} * count +
                                  timeouts.WriteTotalTimeoutConstant);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (*written < count) {
        const ssize_t n = write(port, bytes + *written, count - *written);
        if (n > 0) {
            *written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // The output queue is full: wait for room, but no longer than the write time-out.
        const short events = PollUntil(port, POLLOUT, bounded ? deadline : SteadyClock::time_point::max());
        if (events == 0)
            return true; // timed out: fewer bytes written, as the Win32 call reports it
        if (events & (POLLERR | POLLHUP | POLLNVAL)) {
            errno = EIO;
            return false;
        }
    }
    return true;
}

bool ClearCommError(SerialHandle handle)
{
    const int port = Fd(handle);
    // termios keeps no sticky error state to clear.
    return IsOpenDescriptor(port);
}

bool PurgeComm(SerialHandle handle, std::uint32_t flags)
{
    const int port = Fd(handle);
    const bool tx = (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) != 0;
    const bool rx = (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) != 0;
    if (!tx && !rx)
        return IsOpenDescriptor(port);
    return tcflush(port, tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) == 0;
}

bool CloseSerialPort(SerialHandle handle)
{
    const int port = Fd(handle);
    if (port < 0) {
        errno = EBADF;
        return false;
    }
    {
        std::lock_guard lock(g_timeoutsMutex);
        g_timeouts.erase(port);
    }
    // TIOCEXCL outlives this descriptor while anyone else holds the tty open (a simulator
    // keeps its pseudo-terminal open): give it back, or an unprivileged reopen would be refused.
    (void)ioctl(port, TIOCNXCL);
    return close(port) == 0;
}

bool WaitReadable(SerialHandle handle, std::uint32_t timeoutMs)
{
    const int port = Fd(handle);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    return PollUntil(port, POLLIN, deadline) != 0;
}

bool OpenPseudoTerminal(PseudoTerminal& pty)
{
    pty = PseudoTerminal{};
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return false;
    char path[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0) {
        close(master);
        return false;
    }
    const int slave = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        return false;
    }
    // A fresh pseudo-terminal echoes and translates line ends; a display line does neither.
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        (void)tcsetattr(slave, TCSANOW, &tio);
    }
    pty.master = static_cast<SerialHandle>(master);
    pty.slave = static_cast<SerialHandle>(slave);
    pty.slavePath = path;
    return true;
}

void ClosePseudoTerminal(PseudoTerminal& pty)
{
    if (pty.slave != kInvalidSerialHandle)
        close(Fd(pty.slave));
    if (pty.master != kInvalidSerialHandle)
        close(Fd(pty.master));
    pty = PseudoTerminal{};
}

} // namespace platform

namespace platform {

bool WaitPseudoTerminal(const PseudoTerminal& pty, bool writing, std::uint32_t timeoutMs, bool& readable)
{
    readable = false;
    pollfd entry{Fd(pty.master), static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT_MAX)));
    if (ready < 0)
        return errno == EINTR;
    readable = ready > 0 && (entry.revents & POLLIN) != 0;
    return true;
}

std::size_t ReadPseudoTerminal(const PseudoTerminal& pty, std::span<std::uint8_t> buffer)
{
    const ssize_t n = read(Fd(pty.master), buffer.data(), buffer.size());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t WritePseudoTerminal(const PseudoTerminal& pty, std::span<const std::uint8_t> bytes)
{
    const ssize_t n = write(Fd(pty.master), bytes.data(), bytes.size());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

} // namespace platform
