// The libftdi1 provider's EEPROM and user-area entries: images laid out by libftdi1, written
// word by word where they differ, and read back.
#include "ftdi/ProviderDevice.h"

using namespace d2xx;
using namespace ftdiprov;

namespace {

// --- EEPROM helpers (under the handle's lock) ---

bool ReadImage(Device& d, std::vector<std::uint8_t>& image)
{
    if (ftdi_read_eeprom(d.ctx) != 0)
        return false;
    std::vector<std::uint8_t> all(256);
    if (ftdi_get_eeprom_buf(d.ctx, all.data(), static_cast<int>(all.size())) != 0)
        return false;
    all.resize(EepromSize(d.info.type));
    image = std::move(all);
    return true;
}

bool ReadWord(Device& d, DWORD address, WORD& value)
{
    unsigned char buf[2] = {};
    const int rc = libusb_control_transfer(d.Usb(), 0xC0, kRequestReadEeprom, 0,
                                           static_cast<std::uint16_t>(address), buf, 2, kControlTimeoutMs);
    NoteResult(d, rc);
    if (rc != 2)
        return false;
    value = static_cast<WORD>(buf[0] | buf[1] << 8);
    return true;
}

// libftdi1's own single-word write refuses the low addresses on most chips, so the request
// goes out raw.
bool WriteWord(Device& d, DWORD address, WORD value)
{
    const int rc = libusb_control_transfer(d.Usb(), 0x40, kRequestWriteEeprom, value,
                                           static_cast<std::uint16_t>(address), nullptr, 0, kControlTimeoutMs);
    NoteResult(d, rc);
    return rc == 0;
}

// Writes the words that differ, then reads them back. The X series' factory words are never
// touched.
FT_STATUS WriteChangedWords(Device& d, const std::vector<std::uint8_t>& before,
                            const std::vector<std::uint8_t>& after)
{
    const bool r = d.info.type == FT_DEVICE_232R;
    // The FT232R's internal EEPROM writes reliably only with this latency set.
    if (r)
        ftdi_set_latency_timer(d.ctx, 0x77);
    FT_STATUS status = FT_OK;
    for (std::size_t w = 0; w < after.size() / 2 && status == FT_OK; ++w) {
        if (d.info.type == FT_DEVICE_X_SERIES && w >= 0x40 && w < 0x50)
            continue;
        const WORD value = static_cast<WORD>(after[2 * w] | after[2 * w + 1] << 8);
        const WORD old = static_cast<WORD>(before[2 * w] | before[2 * w + 1] << 8);
        if (value == old)
            continue;
        WORD back = 0;
        if (!WriteWord(d, static_cast<DWORD>(w), value) || !ReadWord(d, static_cast<DWORD>(w), back) ||
            back != value)
            status = FT_EEPROM_WRITE_FAILED;
    }
    if (r)
        ftdi_set_latency_timer(d.ctx, d.latency);
    return status;
}

struct CommonFields {
    WORD vendorId = 0, productId = 0, maxPower = 0;
    UCHAR selfPowered = 0, remoteWakeup = 0, pullDown = 0, serNum = 0;
};

int Value(ftdi_context* ctx, ftdi_eeprom_value name)
{
    int v = 0;
    ftdi_get_eeprom_value(ctx, name, &v);
    return v;
}

// Reads and decodes the image. Programming takes it whatever its checksum says: every byte the
// caller does not set is kept, and a restore must be able to mend a half-written part.
bool Decode(Device& d, std::vector<std::uint8_t>& image)
{
    if (!ReadImage(d, image))
        return false;
    ftdi_eeprom_decode(d.ctx, 0);
    return true;
}

// For the read entries: an image whose checksum is wrong (a write cut off by a kill or a pulled
// cable, or a part never programmed) holds no settings, so it is not handed out as if it did.
FT_STATUS DecodeValid(Device& d, std::vector<std::uint8_t>& image)
{
    if (!ReadImage(d, image))
        return FT_EEPROM_READ_FAILED;
    if (EepromWritable(d.info.type) && !ChecksumValid(image, d.info.type))
        return FT_EEPROM_NOT_PROGRAMMED;
    ftdi_eeprom_decode(d.ctx, 0);
    return FT_OK;
}

// Every write entry asks first: a chip whose EEPROM layout we do not know is never written.
bool WritableChip(const Device& d)
{
    return EepromWritable(d.info.type);
}

CommonFields DecodedCommon(Device& d)
{
    CommonFields c;
    c.vendorId = static_cast<WORD>(Value(d.ctx, VENDOR_ID));
    c.productId = static_cast<WORD>(Value(d.ctx, PRODUCT_ID));
    c.maxPower = static_cast<WORD>(Value(d.ctx, MAX_POWER));
    c.selfPowered = static_cast<UCHAR>(Value(d.ctx, SELF_POWERED) != 0);
    c.remoteWakeup = static_cast<UCHAR>(Value(d.ctx, REMOTE_WAKEUP) != 0);
    c.pullDown = static_cast<UCHAR>(Value(d.ctx, SUSPEND_PULL_DOWNS) != 0);
    c.serNum = static_cast<UCHAR>(Value(d.ctx, USE_SERIAL) != 0);
    return c;
}

struct Strings {
    std::string manufacturer, description, serial;
};

Strings ImageStrings(const std::vector<std::uint8_t>& image)
{
    return {DescriptorString(image, 0x0E), DescriptorString(image, 0x10), DescriptorString(image, 0x12)};
}

// Lays out a new image with libftdi1 from the decoded one and the new fields, keeps what the
// structures do not carry, and writes the difference. `extra` sets chip-specific values.
template <typename Extra>
FT_STATUS ProgramImage(Device& d, const CommonFields& c, const char* manufacturer,
                       const char* description, const char* serial, Extra extra,
                       const std::vector<std::uint8_t>* xBytes = nullptr)
{
    // Refused before anything is written: libftdi1 would store it, and it would not read back.
    if (!WritableString(manufacturer, 31) || !WritableString(description, 63))
        return FT_INVALID_PARAMETER;
    std::vector<std::uint8_t> before;
    if (!Decode(d, before))
        return FT_EEPROM_READ_FAILED;
    const Strings old = ImageStrings(before);
    // The chip's own serial number, whole or as our 16-byte buffers handed it out, stays as the
    // chip holds it: a caller that read it could not have had more of it.
    const bool keepSerial = serial && SerialNames(std::string_view(serial, strnlen(serial, 64)), old.serial);
    if (!keepSerial && !WritableString(serial, kListedSerialMax))
        return FT_INVALID_PARAMETER;
    ftdi_context* ctx = d.ctx;
    ftdi_set_eeprom_value(ctx, VENDOR_ID, c.vendorId);
    ftdi_set_eeprom_value(ctx, PRODUCT_ID, c.productId);
    ftdi_set_eeprom_value(ctx, MAX_POWER, c.maxPower);
    ftdi_set_eeprom_value(ctx, SELF_POWERED, c.selfPowered != 0);
    ftdi_set_eeprom_value(ctx, REMOTE_WAKEUP, c.remoteWakeup != 0);
    ftdi_set_eeprom_value(ctx, SUSPEND_PULL_DOWNS, c.pullDown != 0);
    ftdi_set_eeprom_value(ctx, USE_SERIAL, c.serNum != 0);
    extra(ctx);
    if (d.info.type == FT_DEVICE_BM || Value(ctx, CHIP_TYPE) == -1)
        ftdi_set_eeprom_value(ctx, CHIP_TYPE, 0x46);
    const std::string m = manufacturer ? manufacturer : old.manufacturer;
    const std::string p = description ? description : old.description;
    const std::string s = serial && !keepSerial ? serial : old.serial;
    if (ftdi_eeprom_set_strings(ctx, m.c_str(), p.c_str(), s.c_str()) != 0)
        return FT_EEPROM_WRITE_FAILED;
    if (ftdi_eeprom_build(ctx) < 0)
        return FT_OTHER_ERROR; // strings too long for the chip, as FTDI's library says: nothing written
    std::vector<std::uint8_t> built(256);
    if (ftdi_get_eeprom_buf(ctx, built.data(), static_cast<int>(built.size())) != 0)
        return FT_EEPROM_WRITE_FAILED;
    built.resize(before.size());
    if (xBytes) {
        // CBUS0..CBUS6 as given: libftdi1 1.5 handles only the first four on the X series.
        std::copy(xBytes->begin(), xBytes->end(), built.begin() + 0x1A);
    }
    return WriteChangedWords(d, before, MergeProgrammedImage(before, built, d.info.type));
}

bool HeaderFits(Device& d, const void* image, DWORD size)
{
    if (!image || size < sizeof(FT_EEPROM_HEADER))
        return false;
    FT_EEPROM_HEADER header{};
    std::memcpy(&header, image, sizeof header);
    const DWORD expected = d.info.type == FT_DEVICE_X_SERIES ? sizeof(FT_EEPROM_X_SERIES)
                           : d.info.type == FT_DEVICE_BM     ? sizeof(FT_EEPROM_232B)
                                                             : 0;
    return (!expected || size == expected) && header.deviceType == d.info.type;
}

void FillHeader(FT_EEPROM_HEADER& h, const CommonFields& c)
{
    h.VendorId = c.vendorId;
    h.ProductId = c.productId;
    h.MaxPower = c.maxPower;
    h.SelfPowered = c.selfPowered;
    h.RemoteWakeup = c.remoteWakeup;
    h.PullDownEnable = c.pullDown;
    h.SerNumEnable = c.serNum;
}

CommonFields FromHeader(const FT_EEPROM_HEADER& h)
{
    CommonFields c;
    c.vendorId = h.VendorId;
    c.productId = h.ProductId;
    c.maxPower = h.MaxPower;
    c.selfPowered = h.SelfPowered;
    c.remoteWakeup = h.RemoteWakeup;
    c.pullDown = h.PullDownEnable;
    c.serNum = h.SerNumEnable;
    return c;
}

// Strings through the caller's buffers: D2XX's limits (manufacturer 32, its ID 16, description
// 64, serial 16 characters with the NUL).
void GiveStrings(const std::vector<std::uint8_t>& image, char* m, char* mid, char* desc, char* ser)
{
    const Strings s = ImageStrings(image);
    CopyText(m, s.manufacturer, 32);
    CopyText(mid, ManufacturerIdFromSerial(s.serial), 16);
    CopyText(desc, s.description, 64);
    CopyText(ser, s.serial, 16);
}

// FT_PROGRAM_DATA's two signatures say which layout the caller filled in.
bool SignedProgramData(const FT_PROGRAM_DATA* data)
{
    return data && data->Signature1 == 0 && data->Signature2 == 0xFFFFFFFFu;
}

} // namespace

// --- EEPROM ---

FTDI_EXPORT FT_STATUS FT_EEPROM_Read(FT_HANDLE h, void* image, DWORD size, char* manufacturer,
                                     char* manufacturerId, char* description, char* serial)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!HeaderFits(d, image, size))
            return FT_INVALID_PARAMETER;
        std::vector<std::uint8_t> raw;
        if (const FT_STATUS status = DecodeValid(d, raw); status != FT_OK)
            return status;
        auto* header = static_cast<FT_EEPROM_HEADER*>(image);
        // Fields libftdi1 does not decode, and the padding, read as zeros rather than as
        // whatever the caller's buffer held: a read-back compares whole images.
        std::memset(static_cast<char*>(image) + sizeof(FT_EEPROM_HEADER), 0,
                    size - sizeof(FT_EEPROM_HEADER));
        FillHeader(*header, DecodedCommon(d));
        if (d.info.type == FT_DEVICE_X_SERIES) {
            auto* x = static_cast<FT_EEPROM_X_SERIES*>(image);
            UCHAR* cbus[] = {&x->Cbus0, &x->Cbus1, &x->Cbus2, &x->Cbus3, &x->Cbus4, &x->Cbus5, &x->Cbus6};
            for (std::size_t i = 0; i < 7; ++i)
                *cbus[i] = raw[0x1A + i];
            const int invert = Value(d.ctx, INVERT);
            UCHAR* inv[] = {&x->InvertTXD, &x->InvertRXD, &x->InvertRTS, &x->InvertCTS,
                            &x->InvertDTR, &x->InvertDSR, &x->InvertDCD, &x->InvertRI};
            for (int i = 0; i < 8; ++i)
                *inv[i] = static_cast<UCHAR>((invert >> i) & 1);
            // libftdi1 numbers the drive strength 0..3 for 4..16 mA; D2XX gives milliamperes.
            x->ADDriveCurrent = static_cast<UCHAR>(4 * (Value(d.ctx, GROUP0_DRIVE) + 1));
            x->ADSchmittInput = static_cast<UCHAR>(Value(d.ctx, GROUP0_SCHMITT) != 0);
            x->ADSlowSlew = static_cast<UCHAR>(Value(d.ctx, GROUP0_SLEW) != 0);
            x->ACDriveCurrent = static_cast<UCHAR>(4 * (Value(d.ctx, GROUP1_DRIVE) + 1));
            x->ACSchmittInput = static_cast<UCHAR>(Value(d.ctx, GROUP1_SCHMITT) != 0);
            x->ACSlowSlew = static_cast<UCHAR>(Value(d.ctx, GROUP1_SLEW) != 0);
        }
        GiveStrings(raw, manufacturer, manufacturerId, description, serial);
        return FT_OK;
    });
}

FTDI_EXPORT FT_STATUS FT_EEPROM_Program(FT_HANDLE h, void* image, DWORD size, char* manufacturer,
                                        char* /*manufacturerId*/, char* description, char* serial)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!WritableChip(d))
            return FT_NOT_SUPPORTED;
        if (!HeaderFits(d, image, size))
            return FT_INVALID_PARAMETER;
        const auto* header = static_cast<const FT_EEPROM_HEADER*>(image);
        if (d.info.type != FT_DEVICE_X_SERIES)
            return ProgramImage(d, FromHeader(*header), manufacturer, description, serial, [](ftdi_context*) {});
        const auto* x = static_cast<const FT_EEPROM_X_SERIES*>(image);
        const std::vector<std::uint8_t> cbus = {x->Cbus0, x->Cbus1, x->Cbus2, x->Cbus3,
                                                x->Cbus4, x->Cbus5, x->Cbus6};
        const UCHAR inv[] = {x->InvertTXD, x->InvertRXD, x->InvertRTS, x->InvertCTS,
                             x->InvertDTR, x->InvertDSR, x->InvertDCD, x->InvertRI};
        int invert = 0;
        for (int i = 0; i < 8; ++i)
            invert |= (inv[i] ? 1 : 0) << i;
        return ProgramImage(
            d, FromHeader(*header), manufacturer, description, serial,
            [&](ftdi_context* ctx) { ftdi_set_eeprom_value(ctx, INVERT, invert); }, &cbus);
    });
}

FTDI_EXPORT FT_STATUS FT_EE_Read(FT_HANDLE h, FT_PROGRAM_DATA* data)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!SignedProgramData(data))
            return FT_INVALID_PARAMETER;
        std::vector<std::uint8_t> raw;
        if (const FT_STATUS status = DecodeValid(d, raw); status != FT_OK)
            return status;
        const CommonFields c = DecodedCommon(d);
        data->VendorId = c.vendorId;
        data->ProductId = c.productId;
        data->MaxPower = c.maxPower;
        data->SelfPowered = c.selfPowered;
        data->RemoteWakeup = c.remoteWakeup;
        data->PnP = static_cast<WORD>(Value(d.ctx, IS_NOT_PNP) == 0);
        data->PullDownEnable = c.pullDown;
        data->SerNumEnable = c.serNum;
        data->Rev4 = d.info.type == FT_DEVICE_BM ? 1 : 0;
        data->IsoIn = static_cast<UCHAR>(Value(d.ctx, IN_IS_ISOCHRONOUS) != 0);
        data->IsoOut = static_cast<UCHAR>(Value(d.ctx, OUT_IS_ISOCHRONOUS) != 0);
        data->USBVersionEnable = static_cast<UCHAR>(Value(d.ctx, USE_USB_VERSION) != 0);
        data->USBVersion = static_cast<WORD>(Value(d.ctx, USB_VERSION));
        GiveStrings(raw, data->Manufacturer, data->ManufacturerId, data->Description, data->SerialNumber);
        return FT_OK;
    });
}

FTDI_EXPORT FT_STATUS FT_EE_Program(FT_HANDLE h, FT_PROGRAM_DATA* data)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!WritableChip(d))
            return FT_NOT_SUPPORTED;
        if (!SignedProgramData(data))
            return FT_INVALID_PARAMETER;
        CommonFields c;
        c.vendorId = data->VendorId;
        c.productId = data->ProductId;
        c.maxPower = data->MaxPower;
        c.selfPowered = static_cast<UCHAR>(data->SelfPowered != 0);
        c.remoteWakeup = static_cast<UCHAR>(data->RemoteWakeup != 0);
        c.pullDown = data->PullDownEnable;
        c.serNum = data->SerNumEnable;
        const bool pnp = data->PnP != 0;
        const bool useVersion = data->USBVersionEnable != 0;
        const int version = data->USBVersion;
        return ProgramImage(d, c, data->Manufacturer, data->Description, data->SerialNumber,
                            [&](ftdi_context* ctx) {
                                ftdi_set_eeprom_value(ctx, IS_NOT_PNP, !pnp);
                                ftdi_set_eeprom_value(ctx, USE_USB_VERSION, useVersion);
                                if (useVersion)
                                    ftdi_set_eeprom_value(ctx, USB_VERSION, version);
                            });
    });
}

FTDI_EXPORT FT_STATUS FT_ReadEE(FT_HANDLE h, DWORD address, WORD* value)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!value || address >= EepromSize(d.info.type) / 2)
            return FT_INVALID_PARAMETER;
        return ReadWord(d, address, *value) ? FT_OK : FT_EEPROM_READ_FAILED;
    });
}

FTDI_EXPORT FT_STATUS FT_WriteEE(FT_HANDLE h, DWORD address, WORD value)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!WritableChip(d))
            return FT_NOT_SUPPORTED;
        if (address >= EepromSize(d.info.type) / 2)
            return FT_INVALID_PARAMETER;
        return WriteWord(d, address, value) ? FT_OK : FT_EEPROM_WRITE_FAILED;
    });
}

// Only an external EEPROM (the BM's) can be erased; libftdi1 would report success for the
// internal ones without touching them.
FTDI_EXPORT FT_STATUS FT_EraseEE(FT_HANDLE h)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (d.info.type != FT_DEVICE_BM)
            return FT_NOT_SUPPORTED;
        return ftdi_erase_eeprom(d.ctx) == 0 ? FT_OK : FT_EEPROM_ERASE_FAILED;
    });
}

FTDI_EXPORT FT_STATUS FT_EE_UASize(FT_HANDLE h, DWORD* size)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!size)
            return FT_INVALID_PARAMETER;
        std::vector<std::uint8_t> raw;
        if (!ReadImage(d, raw))
            return FT_EEPROM_READ_FAILED;
        *size = static_cast<DWORD>(UserArea(raw, d.info.type).size);
        return FT_OK;
    });
}

FTDI_EXPORT FT_STATUS FT_EE_UARead(FT_HANDLE h, UCHAR* data, DWORD size, DWORD* got)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!data || !got)
            return FT_INVALID_PARAMETER;
        *got = 0;
        std::vector<std::uint8_t> raw;
        if (!ReadImage(d, raw))
            return FT_EEPROM_READ_FAILED;
        const ByteRange area = UserArea(raw, d.info.type);
        const std::size_t n = std::min<std::size_t>(size, area.size);
        std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(area.start), n, data);
        *got = static_cast<DWORD>(n);
        return FT_OK;
    });
}

FTDI_EXPORT FT_STATUS FT_EE_UAWrite(FT_HANDLE h, UCHAR* data, DWORD size)
{
    return WithDevice(h, [&](Device& d) -> FT_STATUS {
        if (!WritableChip(d))
            return FT_NOT_SUPPORTED;
        if (!data)
            return FT_INVALID_PARAMETER;
        std::vector<std::uint8_t> before;
        if (!ReadImage(d, before))
            return FT_EEPROM_READ_FAILED;
        // Where the checksum covers the area, a write would bless a damaged image with a fresh one.
        if (d.info.type != FT_DEVICE_X_SERIES && !ChecksumValid(before, d.info.type))
            return FT_EEPROM_NOT_PROGRAMMED;
        const ByteRange area = UserArea(before, d.info.type);
        if (size > area.size)
            return FT_INVALID_PARAMETER;
        std::vector<std::uint8_t> after = before;
        std::copy_n(data, size, after.begin() + static_cast<std::ptrdiff_t>(area.start));
        // Outside the X series the user area is inside the checksum.
        if (d.info.type != FT_DEVICE_X_SERIES)
            StoreChecksum(after, d.info.type);
        return WriteChangedWords(d, before, after);
    });
}
