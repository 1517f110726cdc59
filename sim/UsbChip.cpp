#include "sim/UsbChip.h"

#include <algorithm>

#include "sim/Converter.h"

namespace sim {

using namespace d2xx;

namespace {


void Put16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

int CopyOut(const std::vector<std::uint8_t>& bytes, std::uint8_t* data, std::uint16_t length)
{
    const std::size_t n = std::min<std::size_t>(bytes.size(), length);
    if (n && !data)
        return kUsbInvalidParam;
    std::copy_n(bytes.begin(), n, data);
    return static_cast<int>(n);
}

int Descriptor(const UsbIdentity& id, std::uint16_t value, std::uint8_t* data, std::uint16_t length)
{
    switch (value >> 8) {
    case 1:
        return CopyOut(DeviceDescriptor(id), data, length);
    case 2:
        if ((value & 0xFF) != 0)
            return kUsbPipe;
        return CopyOut(ConfigurationDescriptor(id), data, length);
    case 3:
        if (auto s = StringDescriptor(id, value & 0xFF))
            return CopyOut(*s, data, length);
        return kUsbPipe;
    default:
        return kUsbPipe;
    }
}

// Request 4: data bits, parity, stop bits and break in one value.
bool SetData(Converter& c, std::uint16_t value, SimTime nowMs)
{
    FTDCB dcb;
    c.GetLine(dcb);
    dcb.ByteSize = static_cast<UCHAR>(value & 0xFF);
    dcb.Parity = static_cast<UCHAR>((value >> 8) & 7);
    dcb.StopBits = static_cast<UCHAR>((value >> 11) & 7);
    if (dcb.Parity > 4 || dcb.StopBits > 2 || !c.SetLine(dcb, nowMs))
        return false;
    c.Escape(value & 0x4000 ? SETBREAK : CLRBREAK, nowMs);
    return true;
}

} // namespace

UsbIdentity IdentityOf(const Converter& c, int slot)
{
    UsbIdentity id = c.UsbIdentityFromEeprom();
    if (slot > 0)
        id.serial = c.Config().serialNumber.substr(0, 12) + "-" + std::to_string(slot + 1);
    return id;
}

std::vector<std::uint8_t> DeviceDescriptor(const UsbIdentity& id)
{
    std::vector<std::uint8_t> d{18, 1};
    Put16(d, 0x0200);                // USB 2.0
    d.insert(d.end(), {0, 0, 0, 8}); // class per interface; control endpoint 8 bytes
    Put16(d, id.vendorId);
    Put16(d, id.productId);
    Put16(d, id.bcdDevice);
    d.insert(d.end(), {1, 2, static_cast<std::uint8_t>(id.useSerial ? 3 : 0), 1});
    return d;
}

std::vector<std::uint8_t> ConfigurationDescriptor(const UsbIdentity& id)
{
    std::vector<std::uint8_t> d{9, 2};
    Put16(d, 32);
    d.insert(d.end(), {1, 1, 0, id.attributes, id.maxPower});
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2});
    // IN before OUT, as the chips list them.
    const auto lo = static_cast<std::uint8_t>(id.packetSize & 0xFF);
    const auto hi = static_cast<std::uint8_t>(id.packetSize >> 8);
    d.insert(d.end(), {7, 5, 0x81, 2, lo, hi, 0});
    d.insert(d.end(), {7, 5, 0x02, 2, lo, hi, 0});
    return d;
}

std::optional<std::vector<std::uint8_t>> StringDescriptor(const UsbIdentity& id, int index)
{
    if (index == 0)
        return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};
    const std::string* s = index == 1 ? &id.manufacturer
                           : index == 2 ? &id.product
                           : index == 3 && id.useSerial ? &id.serial
                                                        : nullptr;
    if (!s)
        return std::nullopt;
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * s->size()), 3};
    for (char ch : *s)
        Put16(d, static_cast<std::uint8_t>(ch));
    return d;
}

std::uint32_t BaudFromDivisor(std::uint16_t value, std::uint16_t index)
{
    // Fraction codes in eighths: 0, 1/2, 1/4, 1/8, 3/8, 5/8, 3/4, 7/8.
    static const std::uint32_t kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const std::uint32_t code = (value >> 14) | ((index & 1u) << 2);
    const std::uint32_t whole = value & 0x3FFF;
    if (code == 0 && whole == 0)
        return 3000000;
    if (code == 0 && whole == 1)
        return 2000000;
    const std::uint32_t eighths = whole * 8 + kEighths[code];
    return (24000000 + eighths / 2) / eighths;
}

void StatusBytes(const Converter& c, std::uint8_t out[2])
{
    (void)c;
    // CTS and DSR: the display is powered. Line: transmitter empty.
    out[0] = 0x01 | 0x10 | 0x20;
    out[1] = 0x60;
}

int ControlTransfer(Converter& c, const UsbIdentity& id, std::uint8_t requestType,
                    std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::uint8_t* data, std::uint16_t length, SimTime nowMs)
{
    if (requestType == 0x80 && request == 6)
        return Descriptor(id, value, data, length);
    if (requestType == 0x80 && request == 8) // GET_CONFIGURATION
        return CopyOut({1}, data, length);
    if (requestType == 0x00 && (request == 9 || request == 3 || request == 1)) // SET_CONFIGURATION, features
        return 0;
    if (requestType == 0xC0) {
        switch (request) {
        case 0x05: { // modem status
            std::uint8_t s[2];
            StatusBytes(c, s);
            return CopyOut({s[0], s[1]}, data, length);
        }
        case 0x0A: // latency timer
            return CopyOut({c.LatencyTimer()}, data, length);
        case 0x0C: // pins
            return CopyOut({0xFF}, data, length);
        case 0x90: { // EEPROM word
            std::uint16_t w = 0;
            if (c.ReadWordWrapped(index, w) != FT_OK)
                return kUsbIo;
            return CopyOut({static_cast<std::uint8_t>(w & 0xFF), static_cast<std::uint8_t>(w >> 8)},
                           data, length);
        }
        default:
            return kUsbPipe;
        }
    }
    if (requestType != 0x40)
        return kUsbPipe;
    switch (request) {
    case 0x00: // reset (0), or purge: 1 the chip's transmit side, 2 its receive side
        if (value == 0)
            c.ResetSio(nowMs);
        else if (value == 1)
            c.PurgeTransmit();
        else if (value == 2)
            c.PurgeReceive();
        else
            return kUsbPipe;
        return 0;
    case 0x01: // modem control: bits 8 and 9 say which of DTR (bit 0) and RTS (bit 1) to set
        if (value & 0x0100)
            c.Escape(value & 0x01 ? SETDTR : CLRDTR, nowMs);
        if (value & 0x0200)
            c.Escape(value & 0x02 ? SETRTS : CLRRTS, nowMs);
        return 0;
    case 0x02: // flow control, kept as the line's handshake
        return 0;
    case 0x03: {
        FTDCB dcb;
        c.GetLine(dcb);
        dcb.BaudRate = BaudFromDivisor(value, index);
        return c.SetLine(dcb, nowMs) ? 0 : kUsbPipe;
    }
    case 0x04:
        return SetData(c, value, nowMs) ? 0 : kUsbPipe;
    case 0x06: // event character: the character, bit 8 enables it
        c.SetEventChar(static_cast<std::uint8_t>(value & 0xFF), (value & 0x100) != 0, nowMs);
        return 0;
    case 0x07:
        c.SetErrorChar(static_cast<std::uint8_t>(value & 0xFF), (value & 0x100) != 0);
        return 0;
    case 0x0B: // bit mode
        return 0;
    case 0x09:
        return c.SetLatencyTimer(static_cast<std::uint8_t>(value & 0xFF), 1) ? 0 : kUsbPipe;
    case 0x91:
        if (c.WriteWord(index, value) == FT_OK)
            return 0;
        return c.CablePulled() ? kUsbNoDevice : kUsbIo;
    case 0x92:
        return c.Erase() == FT_OK ? 0 : kUsbIo;
    default:
        return kUsbPipe;
    }
}

std::size_t BulkIn(Converter& c, std::uint8_t* out, std::size_t length, SimTime nowMs)
{
    if (length < 2)
        return 0;
    std::uint8_t status[2];
    StatusBytes(c, status);
    const std::size_t packet = c.UsbPacketSize();
    const std::size_t payload = packet - 2;
    std::size_t done = 0;
    for (;;) {
        out[done] = status[0];
        out[done + 1] = status[1];
        const std::size_t room = std::min(payload, length - done - 2);
        const std::uint32_t n =
            c.Read(std::span<std::uint8_t>(out + done + 2, room), nowMs);
        done += 2 + n;
        // A short packet ends the transfer.
        if (n < payload || length - done < packet || c.QueuedForHost(nowMs) == 0)
            return done;
    }
}

} // namespace sim
