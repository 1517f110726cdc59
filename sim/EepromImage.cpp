#include "sim/EepromImage.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace sim {

using namespace d2xx;

namespace {

// The FT-X checksum skips the user area, words 0x12 to 0x3F.
constexpr std::size_t kXGapFirst = 0x12;
constexpr std::size_t kXGapEnd = 0x40;

// Drive current in mA as D2XX takes it, as the two-bit code of byte 0x0C.
std::uint8_t DriveCode(UCHAR mA)
{
    return static_cast<std::uint8_t>(mA >= 16 ? 3 : mA >= 12 ? 2 : mA >= 8 ? 1 : 0);
}

} // namespace

std::uint16_t FtdiChecksum(const std::uint8_t* bytes, std::size_t size, bool xSeriesGap)
{
    std::uint16_t c = 0xAAAA;
    for (std::size_t i = 0; i + 1 < size / 2; ++i) {
        if (xSeriesGap && i >= kXGapFirst && i < kXGapEnd)
            continue;
        c ^= static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        c = static_cast<std::uint16_t>(c << 1 | c >> 15);
    }
    return c;
}

EepromImage::EepromImage(std::uint32_t chipType)
    : chipType_(chipType), words_(chipType == FT_DEVICE_X_SERIES ? 128 : 64, 0)
{
    SetWord(1, 0x0403);
    if (IsXSeries()) {
        SetWord(2, 0x6015);
        SetWord(3, 0x1000);
        // Factory words: the chip's own, which the checksum covers and nobody writes.
        for (std::size_t i = 0x40; i < 0x50; ++i)
            SetWord(i, static_cast<std::uint16_t>(0x4600 + i * 0x0101));
    } else if (chipType == FT_DEVICE_232R) {
        SetWord(0, 0x4000);
        SetWord(2, 0x6001);
        SetWord(3, 0x0600);
    } else {
        SetWord(2, 0x6001);
        SetWord(3, 0x0400);
    }
    SetByte(0x08, 0x80);
    SetByte(0x09, 45);
    UpdateChecksum();
}

std::uint8_t EepromImage::Byte(std::size_t offset) const
{
    const std::uint16_t w = words_[offset / 2];
    return static_cast<std::uint8_t>(offset % 2 ? w >> 8 : w & 0xFF);
}

void EepromImage::SetByte(std::size_t offset, std::uint8_t value)
{
    std::uint16_t& w = words_[offset / 2];
    w = offset % 2 ? static_cast<std::uint16_t>((w & 0x00FF) | value << 8)
                   : static_cast<std::uint16_t>((w & 0xFF00) | value);
}

std::vector<std::uint8_t> EepromImage::Bytes() const
{
    std::vector<std::uint8_t> out(ByteCount());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = Byte(i);
    return out;
}

bool EepromImage::SetBytes(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() != ByteCount())
        return false;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        SetByte(i, bytes[i]);
    return true;
}

std::uint16_t EepromImage::ComputeChecksum() const
{
    const auto bytes = Bytes();
    return FtdiChecksum(bytes.data(), bytes.size(), IsXSeries());
}

std::size_t EepromImage::StringStart() const
{
    return IsXSeries() ? 0xA0 : chipType_ == FT_DEVICE_232R ? 0x18 : 0x14;
}

std::size_t EepromImage::StringSpaceEnd() const
{
    return ByteCount() - 2;
}

std::size_t EepromImage::StringBudget() const
{
    return (StringSpaceEnd() - StringStart() - 6) / 2;
}

d2xx::FT_EEPROM_X_SERIES EepromImage::DecodeFields() const
{
    FT_EEPROM_X_SERIES f{};
    FT_EEPROM_HEADER& h = f.common;
    h.deviceType = chipType_;
    h.VendorId = Word(1);
    h.ProductId = Word(2);
    h.SelfPowered = (Byte(0x08) & 0x40) ? 1 : 0;
    h.RemoteWakeup = (Byte(0x08) & 0x20) ? 1 : 0;
    h.MaxPower = static_cast<WORD>(Byte(0x09) * 2);
    h.PullDownEnable = (Byte(0x0A) & 0x04) ? 1 : 0;
    h.SerNumEnable = (Byte(0x0A) & 0x08) ? 1 : 0;
    if (!IsXSeries())
        return f;
    const std::uint8_t invert = Byte(0x0B);
    UCHAR* inv[8] = {&f.InvertTXD, &f.InvertRXD, &f.InvertRTS, &f.InvertCTS,
                     &f.InvertDTR, &f.InvertDSR, &f.InvertDCD, &f.InvertRI};
    for (int i = 0; i < 8; ++i)
        *inv[i] = (invert >> i) & 1;
    static const UCHAR kMa[4] = {4, 8, 12, 16};
    const std::uint8_t drive = Byte(0x0C);
    f.ADDriveCurrent = kMa[drive & 3];
    f.ADSlowSlew = (drive >> 2) & 1;
    f.ADSchmittInput = (drive >> 3) & 1;
    f.ACDriveCurrent = kMa[(drive >> 4) & 3];
    f.ACSlowSlew = (drive >> 6) & 1;
    f.ACSchmittInput = (drive >> 7) & 1;
    UCHAR* cbus[7] = {&f.Cbus0, &f.Cbus1, &f.Cbus2, &f.Cbus3, &f.Cbus4, &f.Cbus5, &f.Cbus6};
    for (int i = 0; i < 7; ++i)
        *cbus[i] = Byte(0x1A + static_cast<std::size_t>(i));
    // No published map places the rest; they live where libftdi keeps nothing of its own.
    const std::uint8_t config = Byte(0x00);
    f.BCDEnable = config & 1;
    f.BCDForceCbusPWREN = (config >> 1) & 1;
    f.BCDDisableSleep = (config >> 2) & 1;
    f.DriverType = (config >> 3) & 1;
    const std::uint8_t flags = Byte(0x01);
    f.I2CDisableSchmitt = flags & 1;
    f.FT1248Cpol = (flags >> 1) & 1;
    f.FT1248Lsb = (flags >> 2) & 1;
    f.FT1248FlowControl = (flags >> 3) & 1;
    f.RS485EchoSuppress = (flags >> 4) & 1;
    f.PowerSaveEnable = (flags >> 5) & 1;
    f.I2CSlaveAddress = Word(0x0A);
    f.I2CDeviceId = static_cast<DWORD>(Word(0x0B)) | static_cast<DWORD>(Word(0x0C)) << 16;
    return f;
}

EepromStrings EepromImage::DecodeStrings() const
{
    auto one = [this](std::size_t at) {
        // Pointers carry bit 7 (byte 0x80 of a 128-byte image), so they are taken modulo the
        // image size, as the chip does.
        const std::size_t start = Byte(at) & (ByteCount() - 1);
        const std::size_t length = Byte(at + 1);
        std::string s;
        if (length < 2 || start + length > ByteCount())
            return s;
        for (std::size_t i = start + 2; i + 1 < start + length; i += 2) {
            const std::uint8_t lo = Byte(i), hi = Byte(i + 1);
            s += hi || !lo ? '?' : static_cast<char>(lo);
        }
        return s;
    };
    return {one(0x0E), one(0x10), one(0x12)};
}

bool EepromImage::Encode(const FT_EEPROM_X_SERIES& f, const EepromStrings& strings)
{
    const std::string* parts[3] = {&strings.manufacturer, &strings.description,
                                   &strings.serialNumber};
    std::size_t total = 0;
    for (const std::string* s : parts)
        total += s->size();
    if (total > StringBudget())
        return false;
    const FT_EEPROM_HEADER& h = f.common;
    SetWord(1, h.VendorId);
    SetWord(2, h.ProductId);
    SetByte(0x08, static_cast<std::uint8_t>(0x80 | (h.SelfPowered ? 0x40 : 0) |
                                            (h.RemoteWakeup ? 0x20 : 0)));
    SetByte(0x09, static_cast<std::uint8_t>(std::min<int>(h.MaxPower / 2, 0xFF)));
    SetByte(0x0A, static_cast<std::uint8_t>((Byte(0x0A) & ~0x0C) | (h.PullDownEnable ? 0x04 : 0) |
                                            (h.SerNumEnable ? 0x08 : 0)));
    if (IsXSeries()) {
        const UCHAR inv[8] = {f.InvertTXD, f.InvertRXD, f.InvertRTS, f.InvertCTS,
                              f.InvertDTR, f.InvertDSR, f.InvertDCD, f.InvertRI};
        std::uint8_t invert = 0;
        for (int i = 0; i < 8; ++i)
            invert = static_cast<std::uint8_t>(invert | (inv[i] ? 1 << i : 0));
        SetByte(0x0B, invert);
        SetByte(0x0C, static_cast<std::uint8_t>(
                          DriveCode(f.ADDriveCurrent) | (f.ADSlowSlew ? 4 : 0) |
                          (f.ADSchmittInput ? 8 : 0) | DriveCode(f.ACDriveCurrent) << 4 |
                          (f.ACSlowSlew ? 0x40 : 0) | (f.ACSchmittInput ? 0x80 : 0)));
        const UCHAR cbus[7] = {f.Cbus0, f.Cbus1, f.Cbus2, f.Cbus3, f.Cbus4, f.Cbus5, f.Cbus6};
        for (int i = 0; i < 7; ++i)
            SetByte(0x1A + static_cast<std::size_t>(i), cbus[i]);
        SetByte(0x00, static_cast<std::uint8_t>((Byte(0x00) & 0xF0) | (f.BCDEnable ? 1 : 0) |
                                                (f.BCDForceCbusPWREN ? 2 : 0) |
                                                (f.BCDDisableSleep ? 4 : 0) |
                                                (f.DriverType ? 8 : 0)));
        SetByte(0x01, static_cast<std::uint8_t>(
                          (f.I2CDisableSchmitt ? 1 : 0) | (f.FT1248Cpol ? 2 : 0) |
                          (f.FT1248Lsb ? 4 : 0) | (f.FT1248FlowControl ? 8 : 0) |
                          (f.RS485EchoSuppress ? 0x10 : 0) | (f.PowerSaveEnable ? 0x20 : 0)));
        SetWord(0x0A, f.I2CSlaveAddress);
        SetWord(0x0B, static_cast<std::uint16_t>(f.I2CDeviceId & 0xFFFF));
        SetWord(0x0C, static_cast<std::uint16_t>(f.I2CDeviceId >> 16));
    }
    std::size_t at = StringStart();
    for (int i = 0; i < 3; ++i) {
        const std::string& s = *parts[i];
        const auto length = static_cast<std::uint8_t>(2 + 2 * s.size());
        SetByte(0x0E + 2 * static_cast<std::size_t>(i), static_cast<std::uint8_t>(at | 0x80));
        SetByte(0x0F + 2 * static_cast<std::size_t>(i), length);
        SetByte(at, length);
        SetByte(at + 1, 3);
        for (std::size_t k = 0; k < s.size(); ++k) {
            SetByte(at + 2 + 2 * k, static_cast<std::uint8_t>(s[k]));
            SetByte(at + 3 + 2 * k, 0);
        }
        at += length;
    }
    UpdateChecksum();
    return true;
}

std::size_t EepromImage::UserAreaStart() const
{
    if (IsXSeries())
        return 2 * kXGapFirst;
    // Right after the serial-number string, wherever the image says that one ends.
    const std::size_t start = Byte(0x12) & (ByteCount() - 1);
    const std::size_t end = start + Byte(0x13);
    return std::clamp<std::size_t>(end, StringStart(), StringSpaceEnd());
}

std::size_t EepromImage::UserAreaSize() const
{
    if (IsXSeries())
        return 2 * (kXGapEnd - kXGapFirst);
    return StringSpaceEnd() - UserAreaStart();
}

std::optional<std::vector<std::uint16_t>> ParseHexWords(const std::string& text)
{
    std::vector<std::uint16_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c) || c == ',') {
            ++i;
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X'))
            i += 2;
        std::size_t j = i;
        while (j < text.size() && std::isxdigit(static_cast<unsigned char>(text[j])))
            ++j;
        if (j == i || j - i > 4 ||
            (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j])) && text[j] != ','))
            return std::nullopt;
        out.push_back(static_cast<std::uint16_t>(std::strtoul(text.substr(i, j - i).c_str(), nullptr, 16)));
        i = j;
    }
    return out;
}

} // namespace sim
