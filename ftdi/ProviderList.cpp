// The libftdi1 provider's device list, open and close: converters of vendor 0x0403 whatever their
// product ID, opened by index, serial number, description or location.
#include "ftdi/ProviderDevice.h"

using namespace d2xx;
using namespace ftdiprov;

namespace {

// Why the last open failed, for the program's one-sentence explanation (Kestrune_OpenFailure).
enum OpenFailure : DWORD { kNoFailure = 0, kBusy = 1, kAccessDenied = 2 };
std::atomic<DWORD> g_lastOpenFailure{kNoFailure};

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
