// The simulated converter as a D2XX provider library: every function the program binds, with
// the published signatures, over one sim::Converter; plus control entries for tests.
// Compile definitions build reduced providers for the binding tests:
//   KESTRUNE_SIM_OMIT_OPTIONAL  without FT_GetLibraryVersion, FT_Rescan, FT_Reload and the
//                               latency-timer entries and FT_SetChars
//   KESTRUNE_SIM_OMIT_REQUIRED  without FT_W32_WaitCommEvent
//   KESTRUNE_SIM_OMIT_ERASE     without FT_EraseEE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "link/ConverterRules.h"
#include "link/D2xx.h"
#include "platform/Types.h"
#include "sim/Converter.h"

using namespace d2xx;

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Session {
    std::uint64_t id;
    sim::Converter* converter;
};

sim::SimTime OwnClock()
{
    static const auto start = std::chrono::steady_clock::now();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return {static_cast<std::uint32_t>(ns / 1000000), static_cast<std::uint32_t>(ns % 1000000)};
}

// One line of the device list: a simulated converter, or one of the first converter's
// Count-1 others that someone else holds (converter null).
struct Entry {
    sim::Converter* converter = nullptr;
    std::string portPath; // as the simulated bus numbers its ports
    std::string serial;
    std::string description;
    DWORD locationId = 0;
    DWORD usbId = 0;
    DWORD chipType = 0;
};

// The library's whole state; calls from any thread are serialised.
class Provider {
public:
    ~Provider() { Drop(); }

    std::mutex mutex;

    sim::SimTime Now() const { return now_ ? sim::SimTime(now_()) : OwnClock(); }
    void SetTimeSource(std::uint32_t (*now)(void)) { now_ = now; }

    // The first converter, built on first use, and again when $KESTRUNE_SIM names another file
    // while nothing is open (tests switch configurations within one process).
    sim::Converter& Sim() { return *Converters().front(); }
    const std::vector<std::unique_ptr<sim::Converter>>& Converters()
    {
        const std::string file = sim::SimConfigFileFromEnvironment();
        if (converters_.empty() || (sessions_.empty() && file != converters_.front()->Config().file))
            Rebuild(file);
        return converters_;
    }
    void Rebuild(const std::string& file)
    {
        Drop();
        for (sim::SimConfig& config : sim::LoadSimConfigs(file)) {
            if (!config.problem.empty())
                std::fprintf(stderr, "kestrune-sim: KESTRUNE_SIM=%s\n", config.problem.c_str());
            converters_.push_back(std::make_unique<sim::Converter>(std::move(config)));
        }
    }
    void Reset() { Rebuild(sim::SimConfigFileFromEnvironment()); }

    // The device list in its order: the converters of the file that are present, then the
    // first one's others.
    std::vector<Entry> List()
    {
        std::vector<Entry> list;
        DWORD location = 0x1011;
        for (const auto& c : Converters()) {
            if (c->Listed())
                list.push_back({c.get(), "1-" + sim::Decimal(location - 0x1011 + 1), c->ListedSerial(0), c->ListedDescription(0), location,
                                c->UsbId(), c->Config().chipType});
            ++location;
        }
        sim::Converter& first = Sim();
        if (!first.Config().present)
            return list;
        --location; // the first's others are numbered on from it, as they always were
        for (int other = 1; other < first.Config().count; ++other)
            list.push_back({nullptr, "1-" + sim::Decimal(location - 0x1011 + 1 + other),
                            first.Config().serialNumber.substr(0, 12) + "-" + sim::Decimal(other + 1),
                            "USB Serial Converter", location + static_cast<DWORD>(other),
                            first.UsbId(), first.Config().chipType});
        return list;
    }
    // The entry an open by serial number names: the whole serial, or the list's cut of a
    // longer one when only one listed serial begins with it. -1: none.
    static int IndexBySerial(const std::vector<Entry>& list, const std::string& name)
    {
        int prefixed = -1;
        int prefixes = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i].serial == name)
                return static_cast<int>(i);
            if (SerialNames(name, list[i].serial)) {
                prefixed = static_cast<int>(i);
                ++prefixes;
            }
        }
        return prefixes == 1 ? prefixed : -1;
    }

    FT_HANDLE Open(const Entry& e)
    {
        lastTried_ = e.converter;
        if (!e.converter)
            return nullptr;
        const std::uint64_t id = e.converter->Open(Now());
        if (!id)
            return nullptr;
        auto* s = new Session{id, e.converter};
        sessions_.insert(s);
        return s;
    }
    bool Close(FT_HANDLE h)
    {
        auto* s = static_cast<Session*>(h);
        if (!sessions_.erase(s))
            return false;
        s->converter->Close(s->id, Now());
        delete s;
        return true;
    }
    // The converter behind a handle: status FT_INVALID_HANDLE for a handle we never gave out,
    // FT_IO_ERROR for one whose converter is gone.
    sim::Converter* Live(FT_HANDLE h, FT_STATUS& status)
    {
        auto* s = static_cast<Session*>(h);
        if (!sessions_.count(s)) {
            status = FT_INVALID_HANDLE;
            return nullptr;
        }
        if (!s->converter->Alive(s->id)) {
            status = FT_IO_ERROR;
            return nullptr;
        }
        status = FT_OK;
        return s->converter;
    }
    sim::Converter* Live(FT_HANDLE h)
    {
        FT_STATUS ignored;
        return Live(h, ignored);
    }
    FT_HANDLE HandleOf(const sim::Converter* c) const
    {
        for (Session* s : sessions_)
            if (s->converter == c)
                return s;
        return nullptr;
    }
    // Why the last open failed; another's converter in the list counts as busy.
    DWORD OpenFailure() const
    {
        if (!lastTried_)
            return kOpenFailureBusy;
        const sim::SimConfig& c = lastTried_->Config();
        return c.accessDenied ? kOpenFailureAccessDenied
               : lastTried_->Busy() ? kOpenFailureBusy
                                    : kOpenFailureUnknown;
    }

    std::uint32_t rescans = 0;
    std::uint32_t reloads = 0;

private:
    void Drop()
    {
        for (Session* s : sessions_) {
            s->converter->Close(s->id, Now());
            delete s;
        }
        sessions_.clear();
        converters_.clear();
        lastTried_ = nullptr;
    }

    std::uint32_t (*now_)(void) = nullptr;
    std::vector<std::unique_ptr<sim::Converter>> converters_;
    std::set<Session*> sessions_;
    sim::Converter* lastTried_ = nullptr;
};

Provider& P()
{
    static Provider provider;
    return provider;
}

#define LOCKED std::lock_guard<std::mutex> lock(P().mutex)

// Runs f on the converter behind a handle, under the lock; a bad or dead handle gets its status
// (FT_STATUS functions) or FALSE (FT_W32 functions) without f.
template <typename F>
FT_STATUS WithConverter(FT_HANDLE h, F f)
{
    LOCKED;
    FT_STATUS status;
    sim::Converter* c = P().Live(h, status);
    return c ? f(*c) : status;
}

template <typename F>
BOOL WithConverterW32(FT_HANDLE h, F f)
{
    LOCKED;
    sim::Converter* c = P().Live(h);
    return c && f(*c) ? TRUE : FALSE;
}

// FT_W32_CreateFile's failure value on Linux: all ones in 32 bits, not in 64.
FT_HANDLE LinuxInvalidHandle()
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the value is the ABI's, never dereferenced.
    return reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xFFFFFFFFu});
}

void CopyText(void* out, const std::string& text, std::size_t size)
{
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    static_cast<char*>(out)[n] = '\0';
}

// One entry of the device list into a caller's buffer, by the FT_OPEN_BY_* kind asked for.
FT_STATUS ListEntry(const Entry& e, void* out, DWORD flags)
{
    if (!out)
        return FT_INVALID_PARAMETER;
    if (flags & FT_OPEN_BY_LOCATION)
        *static_cast<DWORD*>(out) = e.locationId;
    else if (flags & FT_OPEN_BY_DESCRIPTION)
        CopyText(out, e.description, 64);
    else
        CopyText(out, e.serial, 16);
    return FT_OK;
}

} // namespace

// Device list and open

SIM_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags)
{
    LOCKED;
    const std::vector<Entry> list = P().List();
    const auto count = static_cast<DWORD>(list.size());
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            return FT_INVALID_PARAMETER;
        *static_cast<DWORD*>(arg1) = count;
        return FT_OK;
    }
    if (flags & FT_LIST_BY_INDEX) {
        const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(arg1));
        if (index >= count)
            return FT_DEVICE_NOT_FOUND;
        return ListEntry(list[index], arg2, flags);
    }
    if (flags & FT_LIST_ALL) {
        if (!arg1 || !arg2)
            return FT_INVALID_PARAMETER;
        auto** buffers = static_cast<void**>(arg1);
        // The caller's array ends with a null entry; never write past it.
        for (DWORD i = 0; i < count && buffers[i]; ++i)
            ListEntry(list[i], buffers[i], flags);
        *static_cast<DWORD*>(arg2) = count;
        return FT_OK;
    }
    return FT_INVALID_ARGS;
}

SIM_EXPORT FT_STATUS FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                            DWORD* locId, void* serial, void* description,
                                            FT_HANDLE* handle)
{
    LOCKED;
    const std::vector<Entry> list = P().List();
    if (index >= list.size())
        return FT_DEVICE_NOT_FOUND;
    const Entry& e = list[index];
    if (flags) // others' converters are in use
        *flags = (e.converter ? (e.converter->IsOpen() ? 1u : 0u) : 1u) | 2u;
    if (type)
        *type = e.chipType;
    if (id)
        *id = e.usbId;
    if (locId)
        *locId = e.locationId;
    if (serial)
        CopyText(serial, e.serial, 16);
    if (description)
        CopyText(description, e.description, 64);
    if (handle)
        *handle = e.converter ? P().HandleOf(e.converter) : nullptr;
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE* handle)
{
    LOCKED;
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    const std::vector<Entry> list = P().List();
    if (index < 0 || static_cast<std::size_t>(index) >= list.size())
        return FT_DEVICE_NOT_FOUND;
    *handle = P().Open(list[static_cast<std::size_t>(index)]);
    return *handle ? FT_OK : FT_DEVICE_NOT_OPENED;
}

SIM_EXPORT FT_STATUS FT_Close(FT_HANDLE h)
{
    LOCKED;
    return P().Close(h) ? FT_OK : FT_INVALID_HANDLE;
}

SIM_EXPORT FT_HANDLE FT_W32_CreateFile(const char* name, DWORD /*access*/, DWORD /*share*/,
                                       void* /*security*/, DWORD /*disposition*/, DWORD flags,
                                       void* /*templ*/)
{
    LOCKED;
    const std::vector<Entry> list = P().List();
    int index = -1;
    if (flags & FT_OPEN_BY_LOCATION) {
        const auto wanted = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(name));
        for (std::size_t i = 0; i < list.size() && index < 0; ++i)
            if (list[i].locationId == wanted)
                index = static_cast<int>(i);
    } else if (name && (flags & FT_OPEN_BY_DESCRIPTION)) {
        for (std::size_t i = 0; i < list.size() && index < 0; ++i)
            if (list[i].description == name)
                index = static_cast<int>(i);
    } else if (name) {
        index = Provider::IndexBySerial(list, name);
    }
    if (index < 0)
        return LinuxInvalidHandle();
    FT_HANDLE h = P().Open(list[static_cast<std::size_t>(index)]);
    return h ? h : LinuxInvalidHandle();
}

// The port a converter is plugged into, as our libftdi1 provider tells it.
SIM_EXPORT FT_STATUS Kestrune_PortPath(DWORD index, char* path, DWORD size)
{
    LOCKED;
    const std::vector<Entry> list = P().List();
    if (!path || size == 0)
        return FT_INVALID_PARAMETER;
    if (index >= list.size())
        return FT_DEVICE_NOT_FOUND;
    CopyText(path, list[index].portPath, size);
    return FT_OK;
}

// Why an open fails, as our libftdi1 provider tells it (no D2XX function): the program asks
// only after an open failed.
SIM_EXPORT DWORD Kestrune_OpenFailure(void)
{
    LOCKED;
    return P().OpenFailure();
}

SIM_EXPORT BOOL FT_W32_CloseHandle(FT_HANDLE h)
{
    LOCKED;
    return P().Close(h) ? TRUE : FALSE;
}

SIM_EXPORT FT_STATUS FT_GetDriverVersion(FT_HANDLE h, DWORD* version)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!version)
            return FT_INVALID_PARAMETER;
        if (!c.Config().driverVersion)
            return FT_IO_ERROR;
        *version = *c.Config().driverVersion;
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE* type, DWORD* id, char* serial,
                                      char* description, void* /*reserved*/)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (type)
            *type = c.Config().chipType;
        if (id)
            *id = c.UsbId();
        if (serial)
            CopyText(serial, c.ListedSerial(0), 16);
        if (description)
            CopyText(description, c.ListedDescription(0), 64);
        return FT_OK;
    });
}

#ifndef KESTRUNE_SIM_OMIT_OPTIONAL
SIM_EXPORT FT_STATUS FT_GetLibraryVersion(DWORD* version)
{
    LOCKED;
    if (!version)
        return FT_INVALID_PARAMETER;
    *version = P().Sim().Config().libraryVersion;
    return FT_OK;
}

// The Linux library answers these two with FT_NOT_SUPPORTED; the simulator lists its
// converter at once anyway, so they only count.
SIM_EXPORT FT_STATUS FT_Rescan(void)
{
    LOCKED;
    ++P().rescans;
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_Reload(WORD /*vid*/, WORD /*pid*/)
{
    LOCKED;
    ++P().reloads;
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, UCHAR ms)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        return c.SetLatencyTimer(ms) ? FT_OK : FT_INVALID_PARAMETER;
    });
}

SIM_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE h, UCHAR* ms)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!ms)
            return FT_INVALID_PARAMETER;
        *ms = c.LatencyTimer();
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR eventChar, UCHAR eventOn, UCHAR errorChar,
                                 UCHAR errorOn)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        c.SetChars(eventChar, eventOn != 0, errorChar, errorOn != 0, P().Now());
        return FT_OK;
    });
}
#endif

// Byte stream

SIM_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* count)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!count)
            return FT_INVALID_PARAMETER;
        *count = c.QueuedForHost(P().Now());
        return FT_OK;
    });
}

SIM_EXPORT BOOL FT_W32_ReadFile(FT_HANDLE h, void* buffer, DWORD count, DWORD* got,
                                void* /*overlapped*/)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (!got || (!buffer && count))
            return false;
        *got = c.Read(std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), count), P().Now());
        return true;
    });
}

SIM_EXPORT BOOL FT_W32_WriteFile(FT_HANDLE h, void* buffer, DWORD count, DWORD* written,
                                 void* /*overlapped*/)
{
    if (written)
        *written = 0;
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (!written || (!buffer && count))
            return false;
        std::uint32_t n = 0;
        const bool ok = c.Write(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(buffer), count),
            P().Now(), n);
        *written = n;
        return ok;
    });
}

// Nothing is ever done overlapped here, so there is never a result to collect.
SIM_EXPORT BOOL FT_W32_GetOverlappedResult(FT_HANDLE /*h*/, void* /*overlapped*/, DWORD* count,
                                           BOOL /*wait*/)
{
    if (count)
        *count = 0;
    return FALSE;
}

SIM_EXPORT BOOL FT_W32_ClearCommError(FT_HANDLE h, DWORD* errors, FTCOMSTAT* status)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (errors)
            *errors = 0;
        if (status) {
            *status = FTCOMSTAT{};
            status->cbInQue = c.QueuedForHost(P().Now());
            status->cbOutQue = c.QueuedForDisplay(P().Now());
        }
        return true;
    });
}

SIM_EXPORT BOOL FT_W32_PurgeComm(FT_HANDLE h, DWORD flags)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (flags & (PURGE_RXCLEAR | PURGE_RXABORT))
            c.PurgeReceive();
        if (flags & (PURGE_TXCLEAR | PURGE_TXABORT))
            c.PurgeTransmit();
        return true;
    });
}

SIM_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (mask & FT_PURGE_RX)
            c.PurgeReceive();
        if (mask & FT_PURGE_TX)
            c.PurgeTransmit();
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_StopInTask(FT_HANDLE h)
{
    return WithConverter(h, [](sim::Converter&) -> FT_STATUS { return FT_OK; });
}

SIM_EXPORT FT_STATUS FT_RestartInTask(FT_HANDLE h)
{
    return WithConverter(h, [](sim::Converter&) -> FT_STATUS { return FT_OK; });
}

// Line settings and modem lines

SIM_EXPORT BOOL FT_W32_EscapeCommFunction(FT_HANDLE h, DWORD function)
{
    return WithConverterW32(h, [&](sim::Converter& c) { return c.Escape(function, P().Now()); });
}

SIM_EXPORT FT_STATUS FT_SetDtr(FT_HANDLE h)
{
    return WithConverter(h, [](sim::Converter& c) -> FT_STATUS {
        c.Escape(SETDTR, P().Now());
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_ClrDtr(FT_HANDLE h)
{
    return WithConverter(h, [](sim::Converter& c) -> FT_STATUS {
        c.Escape(CLRDTR, P().Now());
        return FT_OK;
    });
}

SIM_EXPORT BOOL FT_W32_GetCommModemStatus(FT_HANDLE h, DWORD* status)
{
    return WithConverterW32(h, [&](sim::Converter&) {
        if (!status)
            return false;
        *status = 0x10 | 0x20; // CTS and DSR: the display is powered and ready
        return true;
    });
}

SIM_EXPORT BOOL FT_W32_GetCommState(FT_HANDLE h, FTDCB* dcb)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (dcb)
            c.GetLine(*dcb);
        return dcb != nullptr;
    });
}

SIM_EXPORT BOOL FT_W32_SetCommState(FT_HANDLE h, FTDCB* dcb)
{
    return WithConverterW32(h, [&](sim::Converter& c) { return dcb && c.SetLine(*dcb, P().Now()); });
}

SIM_EXPORT BOOL FT_W32_GetCommTimeouts(FT_HANDLE h, FTTIMEOUTS* timeouts)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (timeouts)
            c.GetTimeouts(*timeouts);
        return timeouts != nullptr;
    });
}

SIM_EXPORT BOOL FT_W32_SetCommTimeouts(FT_HANDLE h, FTTIMEOUTS* timeouts)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (timeouts)
            c.SetTimeouts(*timeouts);
        return timeouts != nullptr;
    });
}

SIM_EXPORT BOOL FT_W32_SetCommBreak(FT_HANDLE h)
{
    return WithConverterW32(h, [](sim::Converter& c) { return c.Escape(SETBREAK, P().Now()); });
}

SIM_EXPORT BOOL FT_W32_ClearCommBreak(FT_HANDLE h)
{
    return WithConverterW32(h, [](sim::Converter& c) { return c.Escape(CLRBREAK, P().Now()); });
}

SIM_EXPORT BOOL FT_W32_SetCommMask(FT_HANDLE h, ULONG /*mask*/)
{
    return WithConverterW32(h, [](sim::Converter&) { return true; });
}

SIM_EXPORT BOOL FT_W32_SetupComm(FT_HANDLE h, DWORD /*readSize*/, DWORD /*writeSize*/)
{
    return WithConverterW32(h, [](sim::Converter&) { return true; });
}

#ifndef KESTRUNE_SIM_OMIT_REQUIRED
// Never blocks: reports a received character when one is queued.
SIM_EXPORT BOOL FT_W32_WaitCommEvent(FT_HANDLE h, ULONG* events, void* /*overlapped*/)
{
    return WithConverterW32(h, [&](sim::Converter& c) {
        if (!events)
            return false;
        *events = c.QueuedForHost(P().Now()) ? 0x1 : 0;
        return true;
    });
}
#endif

// EEPROM. The write entries refuse a chip whose EEPROM layout D2XX's structures do not cover,
// before anything reaches the chip, as the libftdi1 provider does.

SIM_EXPORT FT_STATUS FT_EE_Read(FT_HANDLE h, FT_PROGRAM_DATA* data)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        return data ? c.ReadProgramData(*data) : FT_INVALID_PARAMETER;
    });
}

SIM_EXPORT FT_STATUS FT_EE_Program(FT_HANDLE h, FT_PROGRAM_DATA* data)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!d2xx::EepromWritable(c.Config().chipType))
            return FT_NOT_SUPPORTED;
        return data ? c.ProgramProgramData(*data) : FT_INVALID_PARAMETER;
    });
}

SIM_EXPORT FT_STATUS FT_EEPROM_Read(FT_HANDLE h, void* image, DWORD size, char* manufacturer,
                                    char* manufacturerId, char* description, char* serial)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        return c.ReadEeprom(image, size, manufacturer, manufacturerId, description, serial);
    });
}

SIM_EXPORT FT_STATUS FT_EEPROM_Program(FT_HANDLE h, void* image, DWORD size, char* manufacturer,
                                       char* manufacturerId, char* description, char* serial)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!d2xx::EepromWritable(c.Config().chipType))
            return FT_NOT_SUPPORTED;
        return c.ProgramEeprom(image, size, manufacturer, manufacturerId, description, serial);
    });
}

SIM_EXPORT FT_STATUS FT_EE_UASize(FT_HANDLE h, DWORD* size)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!size)
            return FT_INVALID_PARAMETER;
        *size = c.UserAreaSize();
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_EE_UARead(FT_HANDLE h, UCHAR* data, DWORD size, DWORD* got)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!got)
            return FT_INVALID_PARAMETER;
        std::uint32_t n = 0;
        const FT_STATUS st = c.ReadUserArea(data, size, n);
        *got = n;
        return st;
    });
}

SIM_EXPORT FT_STATUS FT_EE_UAWrite(FT_HANDLE h, UCHAR* data, DWORD size)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!d2xx::EepromWritable(c.Config().chipType))
            return FT_NOT_SUPPORTED;
        return c.WriteUserArea(data, size);
    });
}

SIM_EXPORT FT_STATUS FT_ReadEE(FT_HANDLE h, DWORD address, WORD* value)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!value)
            return FT_INVALID_PARAMETER;
        return c.ReadWord(address, *value);
    });
}

SIM_EXPORT FT_STATUS FT_WriteEE(FT_HANDLE h, DWORD address, WORD value)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!d2xx::EepromWritable(c.Config().chipType))
            return FT_NOT_SUPPORTED;
        return c.WriteWord(address, value);
    });
}

#ifndef KESTRUNE_SIM_OMIT_ERASE
SIM_EXPORT FT_STATUS FT_EraseEE(FT_HANDLE h)
{
    return WithConverter(h, [&](sim::Converter& c) -> FT_STATUS {
        if (!d2xx::EepromWritable(c.Config().chipType))
            return FT_NOT_SUPPORTED;
        return c.Erase();
    });
}
#endif

// Control entries for tests

SIM_EXPORT void KestruneSim_SetTimeSource(std::uint32_t (*now)(void))
{
    LOCKED;
    P().SetTimeSource(now);
}

SIM_EXPORT void KestruneSim_Reset(void)
{
    LOCKED;
    P().Reset();
    P().rescans = P().reloads = 0;
}

SIM_EXPORT void KestruneSim_PullCable(void)
{
    LOCKED;
    P().Sim().PullCable(P().Now());
}

SIM_EXPORT void KestruneSim_PlugCable(void)
{
    LOCKED;
    P().Sim().PlugCable();
}

SIM_EXPORT std::uint32_t KestruneSim_ModemLines(void)
{
    LOCKED;
    sim::Converter& c = P().Sim();
    return (c.Dtr() ? 1u : 0u) | (c.Rts() ? 2u : 0u);
}

SIM_EXPORT std::uint32_t KestruneSim_IsOpen(void)
{
    LOCKED;
    return P().Sim().IsOpen() ? 1 : 0;
}

SIM_EXPORT std::uint32_t KestruneSim_InBootLoader(void)
{
    LOCKED;
    P().Sim().Update(P().Now());
    return P().Sim().InBootLoader() ? 1 : 0;
}

SIM_EXPORT std::uint32_t KestruneSim_RescanCount(void)
{
    LOCKED;
    return P().rescans;
}

SIM_EXPORT std::uint32_t KestruneSim_ReloadCount(void)
{
    LOCKED;
    return P().reloads;
}

SIM_EXPORT std::uint32_t KestruneSim_BytesWritten(void)
{
    LOCKED;
    return static_cast<std::uint32_t>(P().Sim().BytesWritten());
}

SIM_EXPORT std::uint32_t KestruneSim_BlockReads(void)
{
    LOCKED;
    return P().Sim().BlockReads();
}

SIM_EXPORT std::uint32_t KestruneSim_WordReads(void)
{
    LOCKED;
    return P().Sim().WordReads();
}

SIM_EXPORT std::uint32_t KestruneSim_EscapeCount(void)
{
    LOCKED;
    return static_cast<std::uint32_t>(P().Sim().EscapeLog().size());
}

SIM_EXPORT std::uint32_t KestruneSim_Escape(std::uint32_t index)
{
    LOCKED;
    const auto& log = P().Sim().EscapeLog();
    return index < log.size() ? log[index] : 0;
}

SIM_EXPORT int KestruneSim_GetCommState(void* dcb28)
{
    LOCKED;
    if (!dcb28)
        return 0;
    FTDCB dcb{};
    P().Sim().GetLine(dcb);
    std::memcpy(dcb28, &dcb, sizeof dcb);
    return 1;
}

SIM_EXPORT std::uint32_t KestruneSim_UserArea(std::uint8_t* out, std::uint32_t size)
{
    LOCKED;
    const auto bytes = P().Sim().UserAreaBytes();
    const std::size_t n = std::min<std::size_t>(size, bytes.size());
    if (out)
        std::copy_n(bytes.begin(), n, out);
    return static_cast<std::uint32_t>(n);
}

SIM_EXPORT std::uint32_t KestruneSim_FrameCount(void)
{
    LOCKED;
    P().Sim().Update(P().Now());
    return static_cast<std::uint32_t>(P().Sim().FrameCount());
}

SIM_EXPORT std::uint32_t KestruneSim_Frame(std::uint32_t index, std::uint8_t* out,
                                           std::uint32_t size)
{
    LOCKED;
    P().Sim().Update(P().Now());
    const auto frame = P().Sim().Frame(index);
    const std::size_t n = std::min<std::size_t>(size, frame.size());
    if (out)
        std::copy_n(frame.begin(), n, out);
    return static_cast<std::uint32_t>(n);
}

SIM_EXPORT void KestruneSim_InjectFromDisplay(const std::uint8_t* data, std::uint32_t size)
{
    LOCKED;
    if (data)
        P().Sim().InjectFromDisplay(std::span<const std::uint8_t>(data, size), P().Now());
}

SIM_EXPORT void KestruneSim_SetDisplayResponds(int on)
{
    LOCKED;
    P().Sim().SetDisplayResponds(on != 0);
}
