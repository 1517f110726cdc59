// The libftdi1 provider's byte stream, line settings, modem lines and Win32-style comm calls.
#include "ftdi/ProviderDevice.h"

using namespace d2xx;
using namespace ftdiprov;

namespace {

FT_STATUS ApplyLine(Device& d, const FTDCB& dcb)
{
    ftdi_context* ctx = d.ctx;
    if (ftdi_set_baudrate(ctx, static_cast<int>(dcb.BaudRate)) != 0)
        return FT_INVALID_BAUD_RATE;
    const auto bits = dcb.ByteSize == 7 ? BITS_7 : BITS_8;
    const auto stop = dcb.StopBits == 2 ? STOP_BIT_2 : dcb.StopBits == 1 ? STOP_BIT_15 : STOP_BIT_1;
    const auto parity = static_cast<ftdi_parity_type>(std::min<int>(dcb.Parity, 4));
    if (ftdi_set_line_property2(ctx, bits, stop, parity, d.breakOn ? BREAK_ON : BREAK_OFF) != 0)
        return FT_IO_ERROR;
    int flow = SIO_DISABLE_FLOW_CTRL;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2)
        flow = SIO_RTS_CTS_HS;
    else if (dcb.fOutxDsrFlow || dcb.fDtrControl == 2)
        flow = SIO_DTR_DSR_HS;
    const int rc = (dcb.fOutX || dcb.fInX)
                       ? ftdi_setflowctrl_xonxoff(ctx, static_cast<unsigned char>(dcb.XonChar),
                                                  static_cast<unsigned char>(dcb.XoffChar))
                       : ftdi_setflowctrl(ctx, flow);
    if (rc != 0)
        return FT_IO_ERROR;
    if (dcb.fDtrControl != 2 && ftdi_setdtr(ctx, dcb.fDtrControl == 1) != 0)
        return FT_IO_ERROR;
    if (dcb.fRtsControl != 2 && ftdi_setrts(ctx, dcb.fRtsControl == 1) != 0)
        return FT_IO_ERROR;
    return FT_OK;
}

FT_STATUS SetEventChar(Device& d, UCHAR c, bool on)
{
    if (ftdi_set_event_char(d.ctx, c, on ? 1 : 0) != 0)
        return FT_IO_ERROR;
    d.eventChar = c;
    d.eventOn = on;
    return FT_OK;
}

FT_STATUS Escape(Device& d, DWORD function)
{
    int rc = -1;
    switch (function) {
    case SETDTR: rc = ftdi_setdtr(d.ctx, 1); break;
    case CLRDTR: rc = ftdi_setdtr(d.ctx, 0); break;
    case SETRTS: rc = ftdi_setrts(d.ctx, 1); break;
    case CLRRTS: rc = ftdi_setrts(d.ctx, 0); break;
    case SETBREAK:
    case CLRBREAK: {
        d.breakOn = function == SETBREAK;
        const auto bits = d.dcb.ByteSize == 7 ? BITS_7 : BITS_8;
        const auto stop = d.dcb.StopBits == 2 ? STOP_BIT_2 : d.dcb.StopBits == 1 ? STOP_BIT_15 : STOP_BIT_1;
        rc = ftdi_set_line_property2(d.ctx, bits, stop, static_cast<ftdi_parity_type>(std::min<int>(d.dcb.Parity, 4)),
                                     d.breakOn ? BREAK_ON : BREAK_OFF);
        break;
    }
    default: return FT_NOT_SUPPORTED;
    }
    return rc == 0 ? FT_OK : FT_IO_ERROR;
}

// A device round trip: the program uses the line-state query to learn whether the converter
// is still there.
bool PollModem(Device& d, unsigned short& status)
{
    const int rc = ftdi_poll_modem_status(d.ctx, &status);
    if (rc != 0) {
        d.MarkGone();
        return false;
    }
    return true;
}

void PurgeDevice(Device& d, bool rx, bool tx)
{
    if (rx) {
        ftdi_tciflush(d.ctx);
        d.rx.Clear();
    }
    if (tx)
        ftdi_tcoflush(d.ctx);
}

Clock::time_point ReadDeadline(const FTTIMEOUTS& t, DWORD count, bool& immediate, bool& forever)
{
    // FTDI's Linux library ignores the interval and the multiplier; Win32's "return at once"
    // combination (interval MAXDWORD, totals zero) is what the program sets.
    immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                t.ReadTotalTimeoutConstant == 0;
    forever = !immediate && t.ReadTotalTimeoutConstant == 0 && t.ReadTotalTimeoutMultiplier == 0;
    const std::uint64_t ms = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                             t.ReadTotalTimeoutConstant;
    return Clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

// --- Byte stream ---

FTDI_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* count)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!count)
        return FT_INVALID_PARAMETER;
    // Bytes that came before the converter left are counted until they are read.
    const std::size_t queued = d->rx.Size();
    if (!d->Usable() && queued == 0)
        return FT_IO_ERROR;
    *count = static_cast<DWORD>(queued);
    return FT_OK;
}

FTDI_EXPORT BOOL FT_W32_ReadFile(FT_HANDLE h, void* buffer, DWORD count, DWORD* got, void* /*overlapped*/)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d || !got || (!buffer && count))
        return kFalse;
    *got = 0;
    FTTIMEOUTS t{};
    {
        std::lock_guard lock(d->api);
        t = d->timeouts;
    }
    bool immediate = false;
    bool forever = false;
    Clock::time_point deadline = ReadDeadline(t, count, immediate, forever);
    if (immediate)
        deadline = Clock::now();
    else if (forever)
        deadline = Clock::time_point::max();
    // Waiting happens on the queue, outside the handle's lock, so writes and line changes from
    // another thread go on meanwhile.
    const std::size_t n =
        d->rx.Pop(std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), count), deadline);
    *got = static_cast<DWORD>(n);
    return n > 0 || (d->Usable() && !d->closed) ? kTrue : kFalse;
}

FTDI_EXPORT BOOL FT_W32_WriteFile(FT_HANDLE h, void* buffer, DWORD count, DWORD* written, void* /*overlapped*/)
{
    if (written)
        *written = 0;
    return WithDeviceW32(h, [&](Device& d) {
        if (!written || (!buffer && count))
            return false;
        // A chip with a full FIFO holds a 64-byte packet for about 5.5 ms at 115200 baud: the
        // caller's write time-out cannot be taken literally when it is a millisecond.
        const std::uint64_t ms = static_cast<std::uint64_t>(d.timeouts.WriteTotalTimeoutMultiplier) * count +
                                 d.timeouts.WriteTotalTimeoutConstant;
        d.ctx->usb_write_timeout = static_cast<int>(std::clamp<std::uint64_t>(ms, 1000, 600000));
        const int rc = ftdi_write_data(d.ctx, static_cast<const unsigned char*>(buffer), static_cast<int>(count));
        if (rc < 0) {
            // libftdi1 says only "failed"; a converter gone from the bus fails every request.
            unsigned short status = 0;
            PollModem(d, status);
            return false;
        }
        *written = static_cast<DWORD>(rc);
        return static_cast<DWORD>(rc) == count;
    });
}

FTDI_EXPORT BOOL FT_W32_GetOverlappedResult(FT_HANDLE /*h*/, void* /*overlapped*/, DWORD* count, BOOL /*wait*/)
{
    if (count)
        *count = 0;
    return kFalse; // nothing is ever done overlapped on Linux
}

FTDI_EXPORT BOOL FT_W32_ClearCommError(FT_HANDLE h, DWORD* errors, FTCOMSTAT* status)
{
    return WithDeviceW32(h, [&](Device& d) {
        unsigned short modem = 0;
        if (!PollModem(d, modem))
            return false;
        if (errors)
            *errors = d.rx.TakeErrors() | ((modem >> 8) & 0x1E);
        if (status) {
            *status = FTCOMSTAT{};
            status->cbInQue = static_cast<DWORD>(d.rx.Size());
            status->cbOutQue = 0;
        }
        return true;
    });
}

FTDI_EXPORT BOOL FT_W32_PurgeComm(FT_HANDLE h, DWORD flags)
{
    return WithDeviceW32(h, [&](Device& d) {
        PurgeDevice(d, flags & (PURGE_RXCLEAR | PURGE_RXABORT), flags & (PURGE_TXCLEAR | PURGE_TXABORT));
        return true;
    });
}

FTDI_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        PurgeDevice(d, mask & FT_PURGE_RX, mask & FT_PURGE_TX);
        return FT_OK;
    });
}

FTDI_EXPORT FT_STATUS FT_StopInTask(FT_HANDLE h)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    d->Pause();
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_RestartInTask(FT_HANDLE h)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    d->Resume();
    return FT_OK;
}

// --- Line settings and modem lines ---

FTDI_EXPORT BOOL FT_W32_EscapeCommFunction(FT_HANDLE h, DWORD function)
{
    return WithDeviceW32(h, [&](Device& d) { return Escape(d, function) == FT_OK; });
}

FTDI_EXPORT FT_STATUS FT_SetDtr(FT_HANDLE h)
{
    return WithDevice(h, [](Device& d) { return Escape(d, SETDTR); });
}

FTDI_EXPORT FT_STATUS FT_ClrDtr(FT_HANDLE h)
{
    return WithDevice(h, [](Device& d) { return Escape(d, CLRDTR); });
}

FTDI_EXPORT BOOL FT_W32_GetCommModemStatus(FT_HANDLE h, DWORD* status)
{
    return WithDeviceW32(h, [&](Device& d) {
        unsigned short modem = 0;
        if (!status || !PollModem(d, modem))
            return false;
        *status = modem & 0xF0; // MS_CTS_ON .. MS_RLSD_ON sit where the chip puts them
        return true;
    });
}

FTDI_EXPORT BOOL FT_W32_GetCommState(FT_HANDLE h, FTDCB* dcb)
{
    return WithDeviceW32(h, [&](Device& d) {
        unsigned short modem = 0;
        if (!dcb || !PollModem(d, modem))
            return false;
        *dcb = d.dcb;
        dcb->EvtChar = static_cast<char>(d.eventOn ? d.eventChar : 0);
        return true;
    });
}

FTDI_EXPORT BOOL FT_W32_SetCommState(FT_HANDLE h, FTDCB* dcb)
{
    return WithDeviceW32(h, [&](Device& d) {
        if (!dcb || ApplyLine(d, *dcb) != FT_OK)
            return false;
        // Sent only on a change, so a DCB read and written back costs no request.
        const auto evt = static_cast<UCHAR>(dcb->EvtChar);
        if (evt != (d.eventOn ? d.eventChar : 0) && SetEventChar(d, evt, evt != 0) != FT_OK)
            return false;
        d.dcb = *dcb;
        return true;
    });
}

FTDI_EXPORT FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR eventChar, UCHAR eventOn, UCHAR errorChar,
                                  UCHAR errorOn)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (SetEventChar(d, eventChar, eventOn != 0) != FT_OK ||
            ftdi_set_error_char(d.ctx, errorChar, errorOn ? 1 : 0) != 0)
            return FT_IO_ERROR;
        d.dcb.ErrorChar = static_cast<char>(errorChar);
        d.dcb.fErrorChar = errorOn ? 1 : 0;
        return FT_OK;
    });
}

FTDI_EXPORT BOOL FT_W32_GetCommTimeouts(FT_HANDLE h, FTTIMEOUTS* timeouts)
{
    return WithDeviceW32(h, [&](Device& d) {
        if (timeouts)
            *timeouts = d.timeouts;
        return timeouts != nullptr;
    });
}

FTDI_EXPORT BOOL FT_W32_SetCommTimeouts(FT_HANDLE h, FTTIMEOUTS* timeouts)
{
    return WithDeviceW32(h, [&](Device& d) {
        if (timeouts)
            d.timeouts = *timeouts;
        return timeouts != nullptr;
    });
}

FTDI_EXPORT BOOL FT_W32_SetCommBreak(FT_HANDLE h)
{
    return WithDeviceW32(h, [](Device& d) { return Escape(d, SETBREAK) == FT_OK; });
}

FTDI_EXPORT BOOL FT_W32_ClearCommBreak(FT_HANDLE h)
{
    return WithDeviceW32(h, [](Device& d) { return Escape(d, CLRBREAK) == FT_OK; });
}

FTDI_EXPORT BOOL FT_W32_SetCommMask(FT_HANDLE h, ULONG mask)
{
    return WithDeviceW32(h, [&](Device& d) {
        d.eventMask = mask;
        return true;
    });
}

FTDI_EXPORT BOOL FT_W32_SetupComm(FT_HANDLE h, DWORD /*readSize*/, DWORD /*writeSize*/)
{
    return WithDeviceW32(h, [](Device&) { return true; }); // accepted, as FTDI's library does
}

// Waits for a received character when the mask asks for one (EV_RXCHAR); other events are
// not watched.
FTDI_EXPORT BOOL FT_W32_WaitCommEvent(FT_HANDLE h, ULONG* events, void* /*overlapped*/)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d || !events)
        return kFalse;
    ULONG mask = 0;
    {
        std::lock_guard lock(d->api);
        mask = d->eventMask;
    }
    *events = 0;
    if (mask & 0x1) {
        if (d->rx.WaitForData(Clock::time_point::max()))
            *events = 0x1;
    }
    // A close wakes the wait; a converter gone still reports what it sent before it left.
    if (d->closed)
        return kFalse;
    return *events || d->Usable() ? kTrue : kFalse;
}

FTDI_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, UCHAR ms)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (ms < 1)
            return FT_INVALID_PARAMETER;
        const int rc = ftdi_set_latency_timer(d.ctx, ms);
        if (rc != 0)
            return rc == -1 ? FT_INVALID_PARAMETER : FT_IO_ERROR;
        d.latency = ms;
        return FT_OK;
    });
}

FTDI_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE h, UCHAR* ms)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!ms)
            return FT_INVALID_PARAMETER;
        unsigned char value = 0;
        if (ftdi_get_latency_timer(d.ctx, &value) != 0)
            return FT_IO_ERROR;
        *ms = value;
        return FT_OK;
    });
}
