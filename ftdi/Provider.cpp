// A D2XX provider over libftdi1 and libusb-1.0: every entry the program binds, with FTDI's
// signatures and results, for converters of vendor 0x0403 whatever their product ID.
//
// Threads: one reader thread per open converter moves bulk-IN data into the receive queue, as
// FTDI's driver does, so queue counts are cheap and a waiting read sleeps on the queue. All
// other calls on a handle are serialised by its lock (a libftdi1 context is not thread-safe);
// the reader only touches the libusb handle, which is. Any program may load this library, so a
// close from one thread while another is inside a call must be safe: every call holds its own
// share of the device, and a close wakes the waiters, which then answer with an error.
#include "ftdi/ProviderDevice.h"

namespace ftdiprov {

Registry& Reg()
{
    static Registry registry;
    return registry;
}

void CopyText(void* out, const std::string& text, std::size_t size)
{
    if (!out || size == 0)
        return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    static_cast<char*>(out)[n] = '\0';
}

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

} // namespace ftdiprov
