#pragma once
// Both transports put the line into the same plain state; only the rate and the RTS control
// differ. Works on the Win32 DCB stand-in and on the D2XX FTDCB, which share their layout.
#include <cstdint>

// Binary 8N1, no flow control, no special characters, DTR control disabled; fParity and the
// reserved fields stay as the port reported them.
template <class Dcb>
void ApplyPlainLine(Dcb& dcb, std::uint32_t baudRate, std::uint32_t rtsControl)
{
    dcb.BaudRate = baudRate;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = 0; // DTR_CONTROL_DISABLE
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = rtsControl;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = 8;
    dcb.Parity = 0;   // NOPARITY
    dcb.StopBits = 0; // ONESTOPBIT
    dcb.XonChar = 0;
    dcb.XoffChar = 0;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
}
