#pragma once
// The libftdi1 provider's open devices, shared by its files: the device list entry, the open
// device with its reader thread and receive queue, and the calls that run under its lock.
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

#define FTDI_EXPORT extern "C" __attribute__((visibility("default")))

namespace ftdiprov {

using namespace d2xx;

using Clock = std::chrono::steady_clock;

inline constexpr int kVendor = 0x0403;
inline constexpr unsigned kControlTimeoutMs = 1000;
inline constexpr unsigned kReadChunk = 4096;
inline constexpr unsigned kReaderTransferMs = 100;
inline constexpr std::uint8_t kRequestWriteEeprom = 0x91;
inline constexpr std::uint8_t kRequestReadEeprom = 0x90;
inline constexpr DWORD kMaxDword = 0xFFFFFFFFu;
inline constexpr BOOL kTrue = 1;
inline constexpr BOOL kFalse = 0;

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

Registry& Reg();

void CopyText(void* out, const std::string& text, std::size_t size);

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

// The caller's share of an open device: it stays whole until the call returns, even when
// another thread closes the handle meanwhile.
std::shared_ptr<Device> Find(FT_HANDLE h);

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
void NoteResult(Device& d, int rc);

FT_HANDLE LinuxInvalidHandle();

void StopReader(Device& d);

} // namespace ftdiprov
