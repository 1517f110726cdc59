// A D2XX provider over libftdi1 and libusb-1.0: every entry the program binds, with FTDI's
// signatures and results, for converters of vendor 0x0403 whatever their product ID.
//
// Threads: one reader thread per open converter moves bulk-IN data into the receive queue, as
// FTDI's driver does, so queue counts are cheap and a waiting read sleeps on the queue. All
// other calls on a handle are serialised by its lock (a libftdi1 context is not thread-safe);
// the reader only touches the libusb handle, which is. Any program may load this library, so a
// close from one thread while another is inside a call must be safe: every call holds its own
// share of the device, and a close wakes the waiters, which then answer with an error.
#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftdi/BulkIn.h"
#include "ftdi/Eeprom.h"
#include "link/ConverterRules.h"
#include "link/D2xx.h"

using namespace d2xx;
using namespace ftdiprov;

#define FTDI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kVendor = 0x0403;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr unsigned kReadChunk = 4096;
constexpr unsigned kReaderTransferMs = 100;
constexpr std::uint8_t kRequestWriteEeprom = 0x91;
constexpr std::uint8_t kRequestReadEeprom = 0x90;
constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

// Why the last open failed, for the program's one-sentence explanation (Kestrune_OpenFailure).
enum OpenFailure : DWORD { kNoFailure = 0, kBusy = 1, kAccessDenied = 2 };
std::atomic<DWORD> g_lastOpenFailure{kNoFailure};

struct Listed {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    std::uint16_t productId = 0;
    FT_DEVICE type = 3;
    std::string serial;
    std::string description;
    std::string portPath; // "1-2.3", as sysfs names the port
    bool accessible = false;
    DWORD Id() const { return static_cast<DWORD>(kVendor) << 16 | productId; }
    DWORD LocationId() const { return static_cast<DWORD>(bus) << 8 | address; }
};

struct Device;

// What the library knows across handles: the open devices and the last device list.
struct Registry {
    std::mutex mutex;
    std::map<const void*, std::shared_ptr<Device>> open;
    std::vector<Listed> list;
};

Registry& Reg()
{
    static Registry registry;
    return registry;
}

std::string AsciiString(libusb_device_handle* h, std::uint8_t index)
{
    if (index == 0)
        return {};
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(h, index, text, sizeof text - 1);
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n)) : std::string();
}

// Every converter of our vendor on the bus, with its strings where this user may open it.
std::vector<Listed> Enumerate(libusb_context* usb)
{
    std::vector<Listed> out;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(usb, &devices);
    if (count < 0)
        return out;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(devices[i], &desc) != 0 || desc.idVendor != kVendor)
            continue;
        Listed l;
        l.bus = libusb_get_bus_number(devices[i]);
        l.address = libusb_get_device_address(devices[i]);
        l.productId = desc.idProduct;
        std::uint8_t ports[8] = {};
        const int depth = libusb_get_port_numbers(devices[i], ports, sizeof ports);
        if (depth > 0) {
            l.portPath = std::to_string(l.bus) + "-";
            for (int p = 0; p < depth; ++p)
                l.portPath += (p ? "." : "") + std::to_string(ports[p]);
        }
        l.type = ChipFromBcdDevice(desc.bcdDevice, desc.iSerialNumber != 0);
        libusb_device_handle* h = nullptr;
        if (libusb_open(devices[i], &h) == 0) {
            l.accessible = true;
            l.serial = AsciiString(h, desc.iSerialNumber);
            l.description = AsciiString(h, desc.iProduct);
            libusb_close(h);
        }
        out.push_back(std::move(l));
    }
    libusb_free_device_list(devices, 1);
    return out;
}

std::vector<Listed> Relist()
{
    ftdi_context* ctx = ftdi_new();
    if (!ctx)
        return {};
    std::vector<Listed> list = Enumerate(ctx->usb_ctx);
    ftdi_free(ctx);
    std::lock_guard lock(Reg().mutex);
    Reg().list = list;
    return list;
}

void CopyText(void* out, const std::string& text, std::size_t size)
{
    if (!out || size == 0)
        return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    static_cast<char*>(out)[n] = '\0';
}

struct Device {
    ftdi_context* ctx = nullptr;
    Listed info;
    std::mutex api; // every libftdi call on ctx
    ReceiveQueue rx;
    std::thread reader;
    std::atomic<bool> quit{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> closed{false};

    // Receive task pause: StopInTask waits until the reader stands still.
    std::mutex pauseMutex;
    std::condition_variable pauseChanged;
    bool pauseWanted = false;
    bool paused = false;

    FTDCB dcb{};
    FTTIMEOUTS timeouts{0, 0, 0, 0, 0};
    ULONG eventMask = 0;
    bool breakOn = false;
    std::uint8_t latency = 16;
    // The chip's event character (opening resets it to off); the DCB's EvtChar shows it, 0 off.
    std::uint8_t eventChar = 0;
    bool eventOn = false;
    std::size_t packetSize = 64;

    void ReaderLoop();
    void Pause();
    void Resume();
    bool Usable() const { return !gone.load(); }
    libusb_device_handle* Usb() const { return ctx->usb_dev; }
    void MarkGone()
    {
        gone = true;
        rx.Close();
    }
};

void Device::ReaderLoop()
{
    std::vector<std::uint8_t> buffer(kReadChunk);
    const unsigned char endpoint = static_cast<unsigned char>(ctx->out_ep);
    while (!quit) {
        {
            std::unique_lock lock(pauseMutex);
            if (pauseWanted) {
                paused = true;
                pauseChanged.notify_all();
                pauseChanged.wait(lock, [&] { return !pauseWanted || quit; });
                paused = false;
                continue;
            }
        }
        int got = 0;
        const auto start = Clock::now();
        const int rc = libusb_bulk_transfer(Usb(), endpoint, buffer.data(), static_cast<int>(buffer.size()),
                                            &got, kReaderTransferMs);
        // What came before the converter left is still the caller's to read.
        if (got > 0)
            rx.PushTransfer(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)),
                            packetSize);
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT && rc != LIBUSB_ERROR_INTERRUPTED &&
            rc != LIBUSB_ERROR_OVERFLOW) {
            MarkGone();
            break;
        }
        // A chip answers an idle read only when its latency timer runs out; anything that
        // answers sooner with nothing must not turn this loop into a spin.
        if (got <= 2 && Clock::now() - start < std::chrono::milliseconds(1))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard lock(pauseMutex);
    paused = true;
    pauseChanged.notify_all();
}

void Device::Pause()
{
    std::unique_lock lock(pauseMutex);
    pauseWanted = true;
    pauseChanged.wait(lock, [&] { return paused || quit.load(); });
}

void Device::Resume()
{
    std::lock_guard lock(pauseMutex);
    pauseWanted = false;
    pauseChanged.notify_all();
}

// The caller's share of an open device: it stays whole until the call returns, even when
// another thread closes the handle meanwhile.
std::shared_ptr<Device> Find(FT_HANDLE h)
{
    std::lock_guard lock(Reg().mutex);
    const auto it = Reg().open.find(h);
    return it == Reg().open.end() ? nullptr : it->second;
}

// Runs f under the handle's lock; FT_INVALID_HANDLE for an unknown or closed handle,
// FT_IO_ERROR once the converter is gone.
template <typename F>
FT_STATUS WithDevice(FT_HANDLE h, F f)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    std::lock_guard lock(d->api);
    if (d->closed)
        return FT_INVALID_HANDLE;
    if (!d->Usable())
        return FT_IO_ERROR;
    return f(*d);
}

template <typename F>
BOOL WithDeviceW32(FT_HANDLE h, F f)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d)
        return kFalse;
    std::lock_guard lock(d->api);
    return !d->closed && d->Usable() && f(*d) ? kTrue : kFalse;
}

// A libusb or libftdi result that means the converter left the bus.
void NoteResult(Device& d, int rc)
{
    if (rc == LIBUSB_ERROR_NO_DEVICE)
        d.MarkGone();
}

FT_HANDLE LinuxInvalidHandle()
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the handle value D2XX defines as invalid on Linux
    return reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xFFFFFFFFu});
}

void StopReader(Device& d)
{
    d.quit = true;
    d.Resume();
    if (d.reader.joinable())
        d.reader.join();
}

// The converter a serial number names. A serial longer than the list's buffer reaches the
// caller cut to its first 15 characters, and the caller opens by what it was given: that cut
// names the converter whose serial it begins, when no other one's does.
const Listed* ByListedSerial(const std::vector<Listed>& list, const std::string& serial)
{
    const Listed* prefixed = nullptr;
    int prefixes = 0;
    for (const Listed& l : list) {
        if (l.serial == serial)
            return &l;
        if (SerialNames(serial, l.serial)) {
            prefixed = &l;
            ++prefixes;
        }
    }
    return prefixes == 1 ? prefixed : nullptr;
}

// Opens the listed converter; nullptr with g_lastOpenFailure set when it cannot.
Device* OpenListed(const Listed& wanted)
{
    auto d = std::make_shared<Device>();
    d->ctx = ftdi_new();
    if (!d->ctx)
        return nullptr;
    // Give the kernel's serial driver back when we close, so the tty returns.
    d->ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(d->ctx->usb_ctx, &devices);
    libusb_device* chosen = nullptr;
    for (ssize_t i = 0; i < count && !chosen; ++i) {
        if (libusb_get_bus_number(devices[i]) == wanted.bus &&
            libusb_get_device_address(devices[i]) == wanted.address)
            chosen = devices[i];
    }
    int rc = chosen ? 0 : -1;
    if (chosen) {
        libusb_device_handle* probe = nullptr;
        const int probeRc = libusb_open(chosen, &probe);
        if (probeRc == 0)
            libusb_close(probe);
        rc = probeRc == LIBUSB_ERROR_ACCESS ? -8 : ftdi_usb_open_dev(d->ctx, chosen);
        if (probeRc == LIBUSB_ERROR_ACCESS || rc == -8)
            g_lastOpenFailure = kAccessDenied;
        else if (rc == -5 || rc == -3)
            g_lastOpenFailure = kBusy;
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);
    if (rc != 0) {
        ftdi_free(d->ctx);
        return nullptr;
    }
    g_lastOpenFailure = kNoFailure;
    d->info = wanted;
    d->packetSize = d->ctx->max_packet_size >= 3 ? d->ctx->max_packet_size : 64;
    unsigned char latency = 16;
    if (ftdi_get_latency_timer(d->ctx, &latency) == 0)
        d->latency = latency;
    d->dcb.DCBlength = sizeof(FTDCB);
    d->dcb.BaudRate = 9600; // what opening sets
    d->dcb.fBinary = 1;
    d->dcb.ByteSize = 8;
    Device* raw = d.get();
    raw->reader = std::thread([raw] { raw->ReaderLoop(); });
    std::lock_guard lock(Reg().mutex);
    Reg().open.emplace(raw, std::move(d));
    return raw;
}

// Takes the handle out of the registry (only one of two closing threads gets it), wakes every
// waiter, and frees the libftdi1 context once no call is inside it. The device itself lives on
// until the last caller's share is gone.
bool CloseDevice(FT_HANDLE h)
{
    std::shared_ptr<Device> d;
    {
        std::lock_guard lock(Reg().mutex);
        const auto it = Reg().open.find(h);
        if (it == Reg().open.end())
            return false;
        d = std::move(it->second);
        Reg().open.erase(it);
    }
    d->closed = true;
    d->rx.Close();
    StopReader(*d);
    std::lock_guard lock(d->api);
    ftdi_usb_close(d->ctx);
    ftdi_free(d->ctx);
    d->ctx = nullptr;
    return true;
}

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

// --- Device list and open ---

FTDI_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags)
{
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            return FT_INVALID_PARAMETER;
        *static_cast<DWORD*>(arg1) = static_cast<DWORD>(Relist().size());
        return FT_OK;
    }
    auto entry = [flags](const Listed& l, void* out) {
        if (flags & FT_OPEN_BY_LOCATION)
            *static_cast<DWORD*>(out) = l.LocationId();
        else if (flags & FT_OPEN_BY_DESCRIPTION)
            CopyText(out, l.description, 64);
        else
            CopyText(out, l.serial, 16);
    };
    if (flags & FT_LIST_BY_INDEX) {
        const auto index = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(arg1));
        const std::vector<Listed> list = Relist();
        if (index >= list.size())
            return FT_DEVICE_NOT_FOUND;
        if (!arg2)
            return FT_INVALID_PARAMETER;
        entry(list[index], arg2);
        return FT_OK;
    }
    if (flags & FT_LIST_ALL) {
        if (!arg1 || !arg2)
            return FT_INVALID_PARAMETER;
        const std::vector<Listed> list = Relist();
        auto** buffers = static_cast<void**>(arg1);
        for (std::size_t i = 0; i < list.size() && buffers[i]; ++i)
            entry(list[i], buffers[i]);
        *static_cast<DWORD*>(arg2) = static_cast<DWORD>(list.size());
        return FT_OK;
    }
    return FT_INVALID_ARGS;
}

FTDI_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = static_cast<DWORD>(Relist().size());
    return FT_OK;
}

// Not a D2XX function: the USB port path of a listed converter, so that a bench names a
// converter by the socket it is plugged into.
FTDI_EXPORT FT_STATUS Kestrune_PortPath(DWORD index, char* path, DWORD size)
{
    std::vector<Listed> list;
    {
        std::lock_guard lock(Reg().mutex);
        list = Reg().list;
    }
    if (list.empty())
        list = Relist();
    if (!path || size == 0)
        return FT_INVALID_PARAMETER;
    if (index >= list.size())
        return FT_DEVICE_NOT_FOUND;
    CopyText(path, list[index].portPath, size);
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                             DWORD* locId, void* serial, void* description,
                                             FT_HANDLE* handle)
{
    std::vector<Listed> list;
    {
        std::lock_guard lock(Reg().mutex);
        list = Reg().list;
    }
    if (list.empty())
        list = Relist();
    if (index >= list.size())
        return FT_DEVICE_NOT_FOUND;
    const Listed& l = list[index];
    Device* ours = nullptr;
    {
        std::lock_guard lock(Reg().mutex);
        for (const auto& [h, d] : Reg().open)
            if (d->info.bus == l.bus && d->info.address == l.address)
                ours = d.get();
    }
    if (flags)
        *flags = ours || !l.accessible ? 1u : 0u; // FT_FLAGS_OPENED; full speed only
    if (type)
        *type = l.type;
    if (id)
        *id = l.Id();
    if (locId)
        *locId = l.LocationId();
    CopyText(serial, l.serial, 16);
    CopyText(description, l.description, 64);
    if (handle)
        *handle = ours;
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE* handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    const std::vector<Listed> list = Relist();
    if (index < 0 || static_cast<std::size_t>(index) >= list.size())
        return FT_DEVICE_NOT_FOUND;
    Device* d = OpenListed(list[static_cast<std::size_t>(index)]);
    if (!d)
        return FT_DEVICE_NOT_OPENED;
    *handle = d;
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    const std::vector<Listed> list = Relist();
    const Listed* wanted = nullptr;
    bool deniedCandidate = false;
    if (arg && (flags & FT_OPEN_BY_SERIAL_NUMBER) && !(flags & (FT_OPEN_BY_LOCATION | FT_OPEN_BY_DESCRIPTION)))
        wanted = ByListedSerial(list, static_cast<const char*>(arg));
    for (const Listed& l : list) {
        if (wanted)
            break;
        if (flags & FT_OPEN_BY_LOCATION) {
            if (l.LocationId() == static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(arg)))
                wanted = &l;
        } else if (arg && (flags & FT_OPEN_BY_DESCRIPTION)) {
            if (l.description == static_cast<const char*>(arg))
                wanted = &l;
        }
        deniedCandidate = deniedCandidate || !l.accessible;
    }
    if (!wanted) {
        // A converter we may not open has no strings to match: that is the likely reason.
        g_lastOpenFailure = deniedCandidate ? kAccessDenied : kNoFailure;
        return FT_DEVICE_NOT_FOUND;
    }
    Device* d = OpenListed(*wanted);
    if (!d)
        return FT_DEVICE_NOT_OPENED;
    *handle = d;
    return FT_OK;
}

FTDI_EXPORT FT_HANDLE FT_W32_CreateFile(const char* name, DWORD /*access*/, DWORD /*share*/,
                                        void* /*security*/, DWORD /*disposition*/, DWORD flags,
                                        void* /*templ*/)
{
    FT_HANDLE h = nullptr;
    const DWORD by = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_LOCATION);
    if (!by || FT_OpenEx(const_cast<char*>(name), by, &h) != FT_OK)
        return LinuxInvalidHandle();
    return h;
}

FTDI_EXPORT FT_STATUS FT_Close(FT_HANDLE h)
{
    return CloseDevice(h) ? FT_OK : FT_INVALID_HANDLE;
}

FTDI_EXPORT BOOL FT_W32_CloseHandle(FT_HANDLE h)
{
    return FT_Close(h) == FT_OK ? kTrue : kFalse;
}

FTDI_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE* type, DWORD* id, char* serial,
                                       char* description, void* /*reserved*/)
{
    const std::shared_ptr<Device> d = Find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    if (type)
        *type = d->info.type;
    if (id)
        *id = d->info.Id();
    CopyText(serial, d->info.serial, 16);
    CopyText(description, d->info.description, 64);
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_GetDriverVersion(FT_HANDLE h, DWORD* version)
{
    if (!Find(h))
        return FT_INVALID_HANDLE;
    if (!version)
        return FT_INVALID_PARAMETER;
    // No driver of its own: the library is the driver, as with FTDI's Linux library.
    const ftdi_version_info v = ftdi_get_library_version();
    *version = D2xxVersionNumber(v.major, v.minor, v.micro);
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_GetLibraryVersion(DWORD* version)
{
    if (!version)
        return FT_INVALID_PARAMETER;
    const ftdi_version_info v = ftdi_get_library_version();
    *version = D2xxVersionNumber(v.major, v.minor, v.micro);
    return FT_OK;
}

// libusb lists what is on the bus at every call: there is nothing to rescan, and no driver of
// ours to reload.
FTDI_EXPORT FT_STATUS FT_Rescan(void)
{
    return FT_OK;
}

FTDI_EXPORT FT_STATUS FT_Reload(WORD /*vid*/, WORD /*pid*/)
{
    return FT_NOT_SUPPORTED;
}

// Why the last open failed: 0 not known, 1 another program holds the converter, 2 no
// permission. Not a D2XX function; the program asks for it where a provider has it.
FTDI_EXPORT DWORD Kestrune_OpenFailure(void)
{
    return g_lastOpenFailure.load();
}

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
