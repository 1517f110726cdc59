#pragma once
// The COM-port stand-in over termios, shaped like the Win32 calls the serial transport makes.
// OpenSerialPort takes a COM name as the transport passes it (upper case, no colon): section
// [Ports] of the profile store maps it (COM3=/dev/ttyUSB0); an unmapped COMn is /dev/ttyS(n-1);
// a name starting with '/' is a device path. The open is exclusive (TIOCEXCL plus a lock).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

// The Win32 DCB layout (28 bytes), as the transport fills it.
struct Dcb {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint32_t fBinary : 1;
    std::uint32_t fParity : 1;
    std::uint32_t fOutxCtsFlow : 1;
    std::uint32_t fOutxDsrFlow : 1;
    std::uint32_t fDtrControl : 2;
    std::uint32_t fDsrSensitivity : 1;
    std::uint32_t fTXContinueOnXoff : 1;
    std::uint32_t fOutX : 1;
    std::uint32_t fInX : 1;
    std::uint32_t fErrorChar : 1;
    std::uint32_t fNull : 1;
    std::uint32_t fRtsControl : 2;
    std::uint32_t fAbortOnError : 1;
    std::uint32_t fDummy2 : 17;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28);

struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};

enum : std::uint32_t {
    DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2,
    RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
    NOPARITY = 0, ONESTOPBIT = 0,
    PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4, PURGE_RXCLEAR = 0x8,
};

// An open port; what it holds is the implementation's own business.
enum class SerialHandle : std::intptr_t {};
inline constexpr SerialHandle kInvalidSerialHandle{-1};

// The device path a COM name maps to (see above).
std::string MapComName(const std::string& name);

SerialHandle OpenSerialPort(const std::string& name);   // kInvalidSerialHandle on failure
bool GetCommState(SerialHandle port, Dcb& dcb);
bool SetCommState(SerialHandle port, const Dcb& dcb);   // raw mode, rate, 8N1, DTR/RTS levels
bool SetCommTimeouts(SerialHandle port, const CommTimeouts& timeouts);
// Returns at once with what is buffered (the read time-outs the transport sets); fails on a
// hung-up line (the far end of a pseudo-terminal closed, an adapter unplugged).
bool ReadFile(SerialHandle port, void* buffer, std::uint32_t count, std::uint32_t* got);
// Bounded by the write time-outs: multiplier x count + constant milliseconds.
bool WriteFile(SerialHandle port, const void* data, std::uint32_t count, std::uint32_t* written);
bool ClearCommError(SerialHandle port);
bool PurgeComm(SerialHandle port, std::uint32_t flags);  // tcflush
bool CloseSerialPort(SerialHandle port);
// Waits (poll) until bytes can be read or timeoutMs passed; true when readable or hung up.
bool WaitReadable(SerialHandle port, std::uint32_t timeoutMs);

// A pseudo-terminal pair for the simulated display: the display serves the master side, the
// program opens slavePath like a serial port. The slave is set raw and kept open by `slave`,
// so the master does not see a hang-up while the program has the port closed.
struct PseudoTerminal {
    SerialHandle master = kInvalidSerialHandle;
    SerialHandle slave = kInvalidSerialHandle;
    std::string slavePath;
};
bool OpenPseudoTerminal(PseudoTerminal& pty);  // both ends non-blocking
void ClosePseudoTerminal(PseudoTerminal& pty); // the program's side then reads as hung up
// The serving side: waits until the master side can be read (or, writing, written) or
// timeoutMs passed; readable says whether bytes came. False on a failure other than a signal.
bool WaitPseudoTerminal(const PseudoTerminal& pty, bool writing, std::uint32_t timeoutMs, bool& readable);
// What one call moves at once without waiting; 0 when nothing.
std::size_t ReadPseudoTerminal(const PseudoTerminal& pty, std::span<std::uint8_t> buffer);
std::size_t WritePseudoTerminal(const PseudoTerminal& pty, std::span<const std::uint8_t> bytes);

} // namespace platform
