// The simulated converter behind the libusb-1.0 interface: the functions libftdi1, its
// ftdi_eeprom program and python3-usb call, with libusb's own declarations, so that loading
// this library in place of libusb-1.0.so.0 puts them in front of the simulated chip. One
// sim::Converter, built from $KESTRUNE_SIM like the D2XX provider's; calls are serialised.
#include <libusb.h>

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/Converter.h"
#include "sim/UsbChip.h"

#define USB_EXPORT extern "C" __attribute__((visibility("default")))

struct libusb_context {
    int debug = 0;
};

struct libusb_device {
    int slot = 0;        // the file's converters first, then the first one's others
    int refs = 0;
    sim::UsbIdentity id; // as enumerated when it was listed
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    std::uint64_t session = 0; // the converter's session once the interface is claimed
    std::uint64_t generation = 0; // of the converter that session belongs to
    bool claimed = false;
};

namespace {

constexpr int kSlots = 16;

std::chrono::steady_clock::time_point ClockStart()
{
    static const auto start = std::chrono::steady_clock::now();
    return start;
}

sim::SimTime OwnTime()
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - ClockStart()).count();
    return {static_cast<std::uint32_t>(ns / 1000000), static_cast<std::uint32_t>(ns % 1000000)};
}

std::uint32_t OwnClock()
{
    return OwnTime().ms;
}

// Between two calls on the bus the chip changes only when a byte is due to move (a packet
// leaves at a tick, a full packet or an event character) or the display's side has something
// due; else the wait runs to its end. Waking every millisecond instead cost a core's percents.
std::chrono::steady_clock::time_point NextChange(const sim::Converter& c,
                                                 std::chrono::steady_clock::time_point end)
{
    const auto now = std::chrono::steady_clock::now();
    auto next = end;
    const std::int64_t due = c.NanosToNextDelivery();
    if (due >= 0) {
        // A floor, so that a moment the chip has just reached cannot spin the wait.
        next = std::min(next, now + std::chrono::nanoseconds(std::max<std::int64_t>(due, 20000)));
    }
    return next;
}

class Bus {
public:
    std::mutex mutex;
    std::condition_variable changed; // a call on the bus ended: waiting bulk reads look again

    // The file's first converter, which the control entries act on.
    sim::Converter& Sim() { return *Converters().front(); }
    const std::vector<std::unique_ptr<sim::Converter>>& Converters()
    {
        const std::string file = sim::SimConfigFileFromEnvironment();
        if (converters_.empty() || (open_ == 0 && file != converters_.front()->Config().file)) {
            converters_.clear();
            for (sim::SimConfig& config : sim::LoadSimConfigs(file))
                converters_.push_back(std::make_unique<sim::Converter>(std::move(config)));
        }
        return converters_;
    }
    // Slots 0.. hold the file's converters in their order, then the first one's others, which
    // someone else holds (no converter here).
    sim::Converter* At(int slot)
    {
        const auto& all = Converters();
        return slot >= 0 && static_cast<std::size_t>(slot) < all.size() ? all[static_cast<std::size_t>(slot)].get()
                                                                         : nullptr;
    }
    int Other(int slot) { return slot - static_cast<int>(Converters().size()) + 1; }
    libusb_device* Device(int slot) { return &devices_[slot]; }
    bool Listed(int slot)
    {
        if (sim::Converter* c = At(slot))
            return c->Config().present && !c->CablePulled();
        const sim::SimConfig& first = Sim().Config();
        return first.present && Other(slot) < first.count;
    }
    sim::UsbIdentity Identity(int slot)
    {
        sim::Converter* c = At(slot);
        return c ? sim::IdentityOf(*c, 0) : sim::IdentityOf(Sim(), Other(slot));
    }
    // An open session of the slot's converter; 0 when it cannot be had.
    std::uint64_t Claim(int slot)
    {
        sim::Converter* c = At(slot);
        const std::uint64_t s = c ? c->Open(OwnTime()) : 0;
        if (s)
            ++open_;
        return s;
    }
    void Release(int slot, std::uint64_t session, std::uint64_t generation)
    {
        if (!session || generation != generation_)
            return;
        --open_;
        if (sim::Converter* c = At(slot))
            c->Close(session, OwnTime());
    }
    // Sessions of a converter that was dropped are dead; their handles fail with NO_DEVICE.
    std::uint64_t Generation() const { return generation_; }
    void Drop()
    {
        converters_.clear();
        open_ = 0;
        ++generation_;
    }

private:
    std::vector<std::unique_ptr<sim::Converter>> converters_;
    libusb_device devices_[kSlots];
    int open_ = 0;
    std::uint64_t generation_ = 1;
};

Bus& B()
{
    static Bus* bus = [] {
        auto* b = new Bus; // never destroyed: clients call in from their own exit handlers
        for (int i = 0; i < kSlots; ++i)
            b->Device(i)->slot = i;
        return b;
    }();
    return *bus;
}

// Every call on the bus holds it; leaving, it wakes bulk reads waiting for the chip.
class BusLock {
public:
    BusLock() : lock_(B().mutex) {}
    ~BusLock()
    {
        lock_.unlock();
        B().changed.notify_all();
    }
    BusLock(const BusLock&) = delete;
    BusLock& operator=(const BusLock&) = delete;
    std::unique_lock<std::mutex>& Lock() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

#define LOCKED BusLock lock

// The converter behind a claimed handle, or nullptr (the status says why).
sim::Converter* Live(libusb_device_handle* h, int& status)
{
    if (!h || !h->dev) {
        status = LIBUSB_ERROR_INVALID_PARAM;
        return nullptr;
    }
    const int slot = h->dev->slot;
    sim::Converter* c = B().At(slot);
    if (!B().Listed(slot) ||
        (h->session && (h->generation != B().Generation() || !c || !c->Alive(h->session)))) {
        status = LIBUSB_ERROR_NO_DEVICE;
        return nullptr;
    }
    if (!h->session) {
        // Requests to a handle whose interface nobody claimed still reach the chip.
        if (!c || c->Config().busy || !(h->session = B().Claim(slot))) {
            status = LIBUSB_ERROR_BUSY;
            return nullptr;
        }
        h->generation = B().Generation();
    }
    status = 0;
    return c;
}

int BulkOut(libusb_device_handle* h, unsigned char* data, int length, int* actual)
{
    int status;
    sim::Converter* c = Live(h, status);
    if (!c)
        return status;
    std::uint32_t written = 0;
    const bool ok = c->Write(std::span<const std::uint8_t>(data, static_cast<std::size_t>(length)),
                             OwnTime(), written);
    if (actual)
        *actual = static_cast<int>(written);
    return ok ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

// Waits, unlocked, until bytes reach the chip's USB side or the latency timer runs out; the
// chip answers with a status-only packet then.
int BulkIn(libusb_device_handle* h, unsigned char* data, int length, int* actual,
           unsigned int timeoutMs, std::unique_lock<std::mutex>& lock)
{
    if (actual)
        *actual = 0;
    int status;
    sim::Converter* c = Live(h, status);
    if (!c)
        return status;
    const std::uint32_t start = OwnClock();
    const std::uint32_t latency = std::max<std::uint32_t>(c->LatencyTimer(), 1);
    std::uint32_t wait = latency;
    if (timeoutMs && timeoutMs < wait)
        wait = timeoutMs;
    while (c->QueuedForHost(OwnTime()) == 0 && OwnClock() - start < wait) {
        B().changed.wait_until(lock, NextChange(*c, ClockStart() + std::chrono::milliseconds(start + wait)));
        if (!(c = Live(h, status)))
            return status;
    }
    const std::size_t n = sim::BulkIn(*c, data, static_cast<std::size_t>(length), OwnTime());
    if (actual)
        *actual = static_cast<int>(n);
    // Pulled in the middle of the transfer: libusb reports the bytes that came, and the loss.
    return c->CablePulled() ? LIBUSB_ERROR_NO_DEVICE : 0;
}

int Bulk(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
         int* actual, unsigned int timeout, std::unique_lock<std::mutex>& lock)
{
    if (length < 0 || (length && !data))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (endpoint == 0x02)
        return BulkOut(h, data, length, actual);
    if (endpoint == 0x81)
        return BulkIn(h, data, length, actual, timeout, lock);
    return LIBUSB_ERROR_PIPE;
}

// Submitted transfers wait here until the client handles events.
std::deque<libusb_transfer*>& Pending()
{
    static auto* pending = new std::deque<libusb_transfer*>;
    return *pending;
}

} // namespace

// Contexts and the device list

USB_EXPORT int libusb_init(libusb_context** ctx)
{
    if (ctx)
        *ctx = new libusb_context;
    return 0;
}

USB_EXPORT void libusb_exit(libusb_context* ctx)
{
    delete ctx;
}

USB_EXPORT void libusb_set_debug(libusb_context* ctx, int level)
{
    if (ctx)
        ctx->debug = level;
}

USB_EXPORT int libusb_set_option(libusb_context*, enum libusb_option, ...)
{
    return 0;
}

USB_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    LOCKED;
    if (!list)
        return LIBUSB_ERROR_INVALID_PARAM;
    auto** out = static_cast<libusb_device**>(std::calloc(kSlots + 1, sizeof(libusb_device*)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    ssize_t n = 0;
    for (const auto& c : B().Converters())
        c->Replug();
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!B().Listed(slot))
            continue;
        libusb_device* d = B().Device(slot);
        d->id = B().Identity(slot);
        ++d->refs;
        out[n++] = d;
    }
    *list = out;
    return n;
}

USB_EXPORT void libusb_free_device_list(libusb_device** list, int unref)
{
    if (!list)
        return;
    {
        LOCKED;
        for (libusb_device** d = list; unref && *d; ++d)
            --(*d)->refs;
    }
    std::free(list);
}

USB_EXPORT libusb_device* libusb_ref_device(libusb_device* dev)
{
    LOCKED;
    if (dev)
        ++dev->refs;
    return dev;
}

USB_EXPORT void libusb_unref_device(libusb_device* dev)
{
    LOCKED;
    if (dev)
        --dev->refs;
}

USB_EXPORT libusb_device* libusb_get_parent(libusb_device*)
{
    return nullptr;
}

USB_EXPORT uint8_t libusb_get_bus_number(libusb_device*)
{
    return 1;
}

USB_EXPORT uint8_t libusb_get_device_address(libusb_device* dev)
{
    return static_cast<uint8_t>(dev ? 2 + dev->slot : 0);
}

USB_EXPORT int libusb_get_device_speed(libusb_device*)
{
    return LIBUSB_SPEED_FULL;
}

USB_EXPORT uint8_t libusb_get_port_number(libusb_device* dev)
{
    return static_cast<uint8_t>(dev ? 1 + dev->slot : 0);
}

USB_EXPORT int libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int len)
{
    if (!dev || !ports || len < 1)
        return LIBUSB_ERROR_OVERFLOW;
    ports[0] = static_cast<uint8_t>(1 + dev->slot);
    return 1;
}

USB_EXPORT int libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint)
{
    LOCKED;
    sim::Converter* c = dev ? B().At(dev->slot) : nullptr;
    return endpoint == 0x81 || endpoint == 0x02 ? static_cast<int>((c ? *c : B().Sim()).UsbPacketSize())
                                                : LIBUSB_ERROR_NOT_FOUND;
}

USB_EXPORT int libusb_get_max_iso_packet_size(libusb_device*, unsigned char)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

// Descriptors

USB_EXPORT int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc)
{
    if (!dev || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    LOCKED;
    const auto d = sim::DeviceDescriptor(dev->id);
    desc->bLength = d[0];
    desc->bDescriptorType = d[1];
    desc->bcdUSB = static_cast<uint16_t>(d[2] | d[3] << 8);
    desc->bDeviceClass = d[4];
    desc->bDeviceSubClass = d[5];
    desc->bDeviceProtocol = d[6];
    desc->bMaxPacketSize0 = d[7];
    desc->idVendor = static_cast<uint16_t>(d[8] | d[9] << 8);
    desc->idProduct = static_cast<uint16_t>(d[10] | d[11] << 8);
    desc->bcdDevice = static_cast<uint16_t>(d[12] | d[13] << 8);
    desc->iManufacturer = d[14];
    desc->iProduct = d[15];
    desc->iSerialNumber = d[16];
    desc->bNumConfigurations = d[17];
    return 0;
}

namespace {

// One block holds the configuration and everything it points to, so one free releases it.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor altsetting;
    libusb_endpoint_descriptor endpoints[2];
};

} // namespace

USB_EXPORT int libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                            libusb_config_descriptor** config)
{
    if (!dev || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    LOCKED;
    const auto d = sim::ConfigurationDescriptor(dev->id);
    auto* b = static_cast<ConfigBlock*>(std::calloc(1, sizeof(ConfigBlock)));
    if (!b)
        return LIBUSB_ERROR_NO_MEM;
    b->config.bLength = d[0];
    b->config.bDescriptorType = d[1];
    b->config.wTotalLength = static_cast<uint16_t>(d[2] | d[3] << 8);
    b->config.bNumInterfaces = d[4];
    b->config.bConfigurationValue = d[5];
    b->config.iConfiguration = d[6];
    b->config.bmAttributes = d[7];
    b->config.MaxPower = d[8];
    b->config.interface = &b->interface;
    b->interface.altsetting = &b->altsetting;
    b->interface.num_altsetting = 1;
    const std::uint8_t* i = &d[9];
    b->altsetting.bLength = i[0];
    b->altsetting.bDescriptorType = i[1];
    b->altsetting.bInterfaceNumber = i[2];
    b->altsetting.bAlternateSetting = i[3];
    b->altsetting.bNumEndpoints = i[4];
    b->altsetting.bInterfaceClass = i[5];
    b->altsetting.bInterfaceSubClass = i[6];
    b->altsetting.bInterfaceProtocol = i[7];
    b->altsetting.iInterface = i[8];
    b->altsetting.endpoint = b->endpoints;
    for (int k = 0; k < 2; ++k) {
        const std::uint8_t* e = &d[18 + 7 * k];
        libusb_endpoint_descriptor& ep = b->endpoints[k];
        ep.bLength = e[0];
        ep.bDescriptorType = e[1];
        ep.bEndpointAddress = e[2];
        ep.bmAttributes = e[3];
        ep.wMaxPacketSize = static_cast<uint16_t>(e[4] | e[5] << 8);
        ep.bInterval = e[6];
    }
    *config = &b->config;
    return 0;
}

USB_EXPORT int libusb_get_active_config_descriptor(libusb_device* dev,
                                                   libusb_config_descriptor** config)
{
    return libusb_get_config_descriptor(dev, 0, config);
}

USB_EXPORT void libusb_free_config_descriptor(libusb_config_descriptor* config)
{
    // The configuration is the first member of its block.
    std::free(config);
}

// Opening

USB_EXPORT int libusb_open(libusb_device* dev, libusb_device_handle** handle)
{
    if (!dev || !handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    LOCKED;
    if (!B().Listed(dev->slot))
        return LIBUSB_ERROR_NO_DEVICE;
    if (sim::Converter* c = B().At(dev->slot); c && c->Config().accessDenied)
        return LIBUSB_ERROR_ACCESS;
    ++dev->refs;
    *handle = new libusb_device_handle{dev, 0, 0, false};
    return 0;
}

USB_EXPORT void libusb_close(libusb_device_handle* h)
{
    if (!h)
        return;
    LOCKED;
    B().Release(h->dev->slot, h->session, h->generation);
    --h->dev->refs;
    delete h;
}

USB_EXPORT libusb_device* libusb_get_device(libusb_device_handle* h)
{
    return h ? h->dev : nullptr;
}

USB_EXPORT int libusb_get_configuration(libusb_device_handle* h, int* config)
{
    if (!h || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    *config = 1;
    return 0;
}

USB_EXPORT int libusb_set_configuration(libusb_device_handle*, int)
{
    return 0;
}

USB_EXPORT int libusb_claim_interface(libusb_device_handle* h, int interface)
{
    if (!h)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    LOCKED;
    if (!B().Listed(h->dev->slot))
        return LIBUSB_ERROR_NO_DEVICE;
    if (h->claimed)
        return 0;
    // Another program holds the converter: the busy key, the other slots, or an open session.
    if (!h->session) {
        sim::Converter* c = B().At(h->dev->slot);
        if (!c || c->Config().busy || !(h->session = B().Claim(h->dev->slot)))
            return LIBUSB_ERROR_BUSY;
        h->generation = B().Generation();
    }
    h->claimed = true;
    return 0;
}

USB_EXPORT int libusb_release_interface(libusb_device_handle* h, int)
{
    if (!h)
        return LIBUSB_ERROR_INVALID_PARAM;
    LOCKED;
    B().Release(h->dev->slot, h->session, h->generation);
    h->session = 0;
    h->claimed = false;
    return 0;
}

USB_EXPORT int libusb_set_interface_alt_setting(libusb_device_handle*, int, int)
{
    return 0;
}

USB_EXPORT int libusb_clear_halt(libusb_device_handle*, unsigned char)
{
    return 0;
}

USB_EXPORT int libusb_reset_device(libusb_device_handle* h)
{
    if (!h)
        return LIBUSB_ERROR_INVALID_PARAM;
    LOCKED;
    return B().Listed(h->dev->slot) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

USB_EXPORT int libusb_kernel_driver_active(libusb_device_handle*, int)
{
    return 0;
}

USB_EXPORT int libusb_detach_kernel_driver(libusb_device_handle*, int)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

USB_EXPORT int libusb_attach_kernel_driver(libusb_device_handle*, int)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

USB_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int)
{
    return 0;
}

// Synchronous transfers

USB_EXPORT int libusb_control_transfer(libusb_device_handle* h, uint8_t requestType,
                                       uint8_t request, uint16_t value, uint16_t index,
                                       unsigned char* data, uint16_t length, unsigned int)
{
    if (!h || !h->dev)
        return LIBUSB_ERROR_INVALID_PARAM;
    LOCKED;
    if (!B().Listed(h->dev->slot))
        return LIBUSB_ERROR_NO_DEVICE;
    // Descriptors come from the device itself; everything else from the chip's session.
    if ((requestType & 0x60) == 0) {
        sim::Converter* own = B().At(h->dev->slot);
        return sim::ControlTransfer(own ? *own : B().Sim(), h->dev->id, requestType, request, value, index,
                                    data, length, OwnTime());
    }
    int status;
    sim::Converter* c = Live(h, status);
    if (!c)
        return status;
    return sim::ControlTransfer(*c, h->dev->id, requestType, request, value, index, data, length,
                                OwnTime());
}

USB_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index,
                                                  unsigned char* data, int length)
{
    if (!h || !h->dev || !data || length <= 0 || index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    LOCKED;
    if (!B().Listed(h->dev->slot))
        return LIBUSB_ERROR_NO_DEVICE;
    const auto s = sim::StringDescriptor(h->dev->id, index);
    if (!s)
        return LIBUSB_ERROR_PIPE;
    int n = 0;
    for (std::size_t i = 2; i + 1 < s->size() && n < length - 1; i += 2)
        data[n++] = (*s)[i + 1] ? '?' : (*s)[i];
    data[n] = 0;
    return n;
}

USB_EXPORT int libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint,
                                    unsigned char* data, int length, int* actual,
                                    unsigned int timeout)
{
    LOCKED;
    return Bulk(h, endpoint, data, length, actual, timeout, lock.Lock());
}

USB_EXPORT int libusb_interrupt_transfer(libusb_device_handle*, unsigned char, unsigned char*, int,
                                         int* actual, unsigned int)
{
    if (actual)
        *actual = 0;
    return LIBUSB_ERROR_PIPE;
}

// Asynchronous transfers: carried out when the client handles events.

USB_EXPORT libusb_transfer* libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets < 0)
        return nullptr;
    return static_cast<libusb_transfer*>(std::calloc(
        1, sizeof(libusb_transfer) +
               sizeof(libusb_iso_packet_descriptor) * static_cast<std::size_t>(isoPackets)));
}

USB_EXPORT void libusb_free_transfer(libusb_transfer* t)
{
    if (t && (t->flags & LIBUSB_TRANSFER_FREE_BUFFER))
        std::free(t->buffer);
    std::free(t);
}

USB_EXPORT int libusb_submit_transfer(libusb_transfer* t)
{
    if (!t || !t->dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    LOCKED;
    if (!B().Listed(t->dev_handle->dev->slot))
        return LIBUSB_ERROR_NO_DEVICE;
    t->status = LIBUSB_TRANSFER_COMPLETED;
    t->actual_length = 0;
    Pending().push_back(t);
    return 0;
}

USB_EXPORT int libusb_cancel_transfer(libusb_transfer* t)
{
    LOCKED;
    auto& p = Pending();
    if (std::find(p.begin(), p.end(), t) == p.end())
        return LIBUSB_ERROR_NOT_FOUND;
    t->status = LIBUSB_TRANSFER_CANCELLED;
    return 0;
}

USB_EXPORT int libusb_handle_events_timeout_completed(libusb_context*, struct timeval*, int* completed)
{
    for (;;) {
        libusb_transfer* t = nullptr;
        {
            LOCKED;
            if (Pending().empty())
                break;
            t = Pending().front();
            Pending().pop_front();
            if (t->status != LIBUSB_TRANSFER_CANCELLED) {
                int actual = 0;
                const int rc = Bulk(t->dev_handle, t->endpoint, t->buffer, t->length, &actual,
                                    t->timeout, lock.Lock());
                t->actual_length = actual;
                t->status = rc == 0                        ? LIBUSB_TRANSFER_COMPLETED
                            : rc == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
                                                           : LIBUSB_TRANSFER_ERROR;
            }
        }
        const bool freeIt = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
        if (t->callback)
            t->callback(t);
        if (freeIt)
            libusb_free_transfer(t);
        if (completed && *completed)
            break;
    }
    return 0;
}

USB_EXPORT int libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

USB_EXPORT int libusb_handle_events(libusb_context* ctx)
{
    return libusb_handle_events_timeout_completed(ctx, nullptr, nullptr);
}

USB_EXPORT int libusb_handle_events_completed(libusb_context* ctx, int* completed)
{
    return libusb_handle_events_timeout_completed(ctx, nullptr, completed);
}

USB_EXPORT const char* libusb_strerror(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    default: return "Other error";
    }
}

USB_EXPORT const char* libusb_error_name(int code)
{
    return libusb_strerror(code);
}

USB_EXPORT int libusb_has_capability(uint32_t)
{
    return 0;
}

USB_EXPORT const libusb_version* libusb_get_version(void)
{
    static const libusb_version v{1, 0, 26, 0, "", "kestrune simulated bus"};
    return &v;
}

// Control entries for tests that hold the bus in their own process (dlsym on this library).

// Drops the converter (open handles then fail with LIBUSB_ERROR_NO_DEVICE) and builds it again
// from $KESTRUNE_SIM and the state folder at the next call.
USB_EXPORT void KestruneUsbSim_Reset(void)
{
    LOCKED;
    B().Drop();
}

USB_EXPORT void KestruneUsbSim_PullCable(void)
{
    LOCKED;
    B().Sim().PullCable(OwnTime());
}

USB_EXPORT void KestruneUsbSim_PlugCable(void)
{
    LOCKED;
    B().Sim().PlugCable();
}

// Bit 0 DTR, bit 1 RTS.
USB_EXPORT std::uint32_t KestruneUsbSim_ModemLines(void)
{
    LOCKED;
    return (B().Sim().Dtr() ? 1u : 0u) | (B().Sim().Rts() ? 2u : 0u);
}

USB_EXPORT std::uint32_t KestruneUsbSim_InBootLoader(void)
{
    LOCKED;
    B().Sim().Update(OwnTime());
    return B().Sim().InBootLoader() ? 1 : 0;
}

USB_EXPORT void KestruneUsbSim_InjectFromDisplay(const std::uint8_t* data, std::uint32_t size)
{
    LOCKED;
    if (data)
        B().Sim().InjectFromDisplay(std::span<const std::uint8_t>(data, size), OwnTime());
}

USB_EXPORT void KestruneUsbSim_SetDisplayResponds(int on)
{
    LOCKED;
    B().Sim().SetDisplayResponds(on != 0);
}

USB_EXPORT std::uint32_t KestruneUsbSim_FrameCount(void)
{
    LOCKED;
    B().Sim().Update(OwnTime());
    return static_cast<std::uint32_t>(B().Sim().FrameCount());
}
