#include "link/D2xxLibrary.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/SimulationSwitch.h"

using namespace d2xx;

struct D2xxLibrary::Entries {
    PFN_FT_Open Open = nullptr;
    PFN_FT_ListDevices ListDevices = nullptr;
    PFN_FT_GetQueueStatus GetQueueStatus = nullptr;
    PFN_FT_Handle ClrDtr = nullptr;
    PFN_FT_Handle SetDtr = nullptr;
    PFN_FT_W32_CreateFile W32_CreateFile = nullptr;
    PFN_FT_W32_Handle W32_CloseHandle = nullptr;
    PFN_FT_W32_ReadFile W32_ReadFile = nullptr;
    PFN_FT_W32_WriteFile W32_WriteFile = nullptr;
    PFN_FT_W32_GetOverlappedResult W32_GetOverlappedResult = nullptr;
    PFN_FT_W32_Handle W32_ClearCommBreak = nullptr;
    PFN_FT_W32_ClearCommError W32_ClearCommError = nullptr;
    PFN_FT_W32_EscapeCommFunction W32_EscapeCommFunction = nullptr;
    PFN_FT_W32_GetCommModemStatus W32_GetCommModemStatus = nullptr;
    PFN_FT_W32_CommState W32_GetCommState = nullptr;
    PFN_FT_W32_CommTimeouts W32_GetCommTimeouts = nullptr;
    PFN_FT_W32_PurgeComm W32_PurgeComm = nullptr;
    PFN_FT_W32_Handle W32_SetCommBreak = nullptr;
    PFN_FT_W32_SetCommMask W32_SetCommMask = nullptr;
    PFN_FT_W32_CommState W32_SetCommState = nullptr;
    PFN_FT_W32_CommTimeouts W32_SetCommTimeouts = nullptr;
    PFN_FT_W32_SetupComm W32_SetupComm = nullptr;
    PFN_FT_W32_WaitCommEvent W32_WaitCommEvent = nullptr;
    PFN_FT_Purge Purge = nullptr;
    PFN_FT_Handle RestartInTask = nullptr;
    PFN_FT_Handle StopInTask = nullptr;
    PFN_FT_EE_Program EE_Program = nullptr;
    PFN_FT_EE_Program EE_Read = nullptr;
    PFN_FT_GetDeviceInfo GetDeviceInfo = nullptr;
    PFN_FT_GetDeviceInfoDetail GetDeviceInfoDetail = nullptr;
    PFN_FT_GetDriverVersion GetDriverVersion = nullptr;
    PFN_FT_EEPROM_Read EEPROM_Read = nullptr;
    PFN_FT_EEPROM_Read EEPROM_Program = nullptr;
    PFN_FT_EE_UARead EE_UARead = nullptr;
    PFN_FT_EE_UASize EE_UASize = nullptr;
    PFN_FT_EE_UAWrite EE_UAWrite = nullptr;
    PFN_FT_ReadEE ReadEE = nullptr;
    PFN_FT_WriteEE WriteEE = nullptr;
    PFN_FT_Handle EraseEE = nullptr;
    PFN_FT_GetLibraryVersion GetLibraryVersion = nullptr;
    PFN_FT_Rescan Rescan = nullptr;
    PFN_FT_Reload Reload = nullptr;
    PFN_FT_SetLatencyTimer SetLatencyTimer = nullptr;
    PFN_FT_GetLatencyTimer GetLatencyTimer = nullptr;
    PFN_FT_SetChars SetChars = nullptr;
    PFN_Kestrune_OpenFailure OpenFailure = nullptr;
    PFN_Kestrune_PortPath PortPath = nullptr;
};

namespace {

template <typename Fn>
bool Lookup(platform::ModuleHandle module, const char* name, Fn& entry)
{
    entry = reinterpret_cast<Fn>(platform::GetProcAddress(module, name));
    return entry != nullptr;
}

} // namespace

D2xxLibrary::~D2xxLibrary()
{
    delete entries_;
}

namespace {

constexpr const char* kOwnProvider = "libkestrune-ftdi.so";

// A candidate that is simply absent is no news; one that is there and does not load is.
bool Missing(const std::string& file)
{
    if (file.find_first_of("/\\") != std::string::npos)
        return !std::filesystem::exists(file);
    return platform::LastLoadFoundNothing();
}

void NameFailure(const std::string& file, const std::string& error)
{
    static std::mutex mutex;
    static std::set<std::string> named;
    std::lock_guard lock(mutex);
    if (named.insert(file).second)
        std::fprintf(stderr, "kestrune: the D2XX provider %s does not load: %s\n", file.c_str(),
                     error.c_str());
}

platform::ModuleHandle LoadFirstProvider()
{
    // A provider the operator named is news even when it is absent: a typo there must not
    // pass for "no converter".
    const char* chosen = std::getenv("KESTRUNE_D2XX");
    const bool named = chosen != nullptr && *chosen != '\0';
    for (const std::string& file : D2xxLibrary::ProviderFiles()) {
        platform::ModuleHandle module = platform::LoadLibrary(file);
        if (module)
            return module;
        const std::string error = platform::LastLoadError();
        if (named || !Missing(file))
            NameFailure(file, error);
    }
    return nullptr;
}

} // namespace

std::vector<std::string> D2xxLibrary::ProviderFiles()
{
    const char* file = std::getenv("KESTRUNE_D2XX");
    if (file && *file)
        return {file};
    std::vector<std::string> files = {platform::SystemD2xxLibrary()};
    // Found from the program's own folder, so a package or an install under any prefix works.
    const std::string folder = platform::ExecutableFolder();
    if (!folder.empty()) {
        const std::filesystem::path beside(folder);
        files.push_back((beside / kOwnProvider).string());
        const auto installed = beside / platform::kInstalledLibraryFolder / kOwnProvider;
        files.push_back(installed.lexically_normal().string());
    }
    return files;
}

std::string D2xxLibrary::ProviderPath() const
{
    return platform::ModuleFile(module_);
}

std::string D2xxLibrary::DescribeProvider()
{
    platform::ModuleHandle module = LoadFirstProvider();
    if (!module)
        return "none found";
    std::string text = platform::ModuleFile(module);
    auto version = reinterpret_cast<PFN_FT_GetLibraryVersion>(
        platform::GetProcAddress(module, "FT_GetLibraryVersion"));
    DWORD number = 0;
    if (version && version(&number) == FT_OK) {
        char digits[32];
        std::snprintf(digits, sizeof digits, ", version %x.%02x.%02x", (number >> 16) & 0xFF,
                      (number >> 8) & 0xFF, number & 0xFF);
        text += digits;
    }
    platform::FreeLibrary(module);
    return text;
}

BOOL D2xxLibrary::Bind()
{
    // A module kept from a failed binding counts as bound: callers rely on the empty entries
    // answering safely rather than on a second lookup.
    if (module_)
        return TRUE;
    module_ = LoadFirstProvider();
    if (!module_)
        return FALSE;
    delete entries_;
    entries_ = new Entries;
    Entries& e = *entries_;
    platform::ModuleHandle m = module_;

    const bool required =
        Lookup(m, "FT_Open", e.Open) && Lookup(m, "FT_ListDevices", e.ListDevices) &&
        Lookup(m, "FT_GetQueueStatus", e.GetQueueStatus) && Lookup(m, "FT_ClrDtr", e.ClrDtr) &&
        Lookup(m, "FT_SetDtr", e.SetDtr) && Lookup(m, "FT_W32_CreateFile", e.W32_CreateFile) &&
        Lookup(m, "FT_W32_CloseHandle", e.W32_CloseHandle) &&
        Lookup(m, "FT_W32_ReadFile", e.W32_ReadFile) &&
        Lookup(m, "FT_W32_WriteFile", e.W32_WriteFile) &&
        Lookup(m, "FT_W32_GetOverlappedResult", e.W32_GetOverlappedResult) &&
        Lookup(m, "FT_W32_ClearCommBreak", e.W32_ClearCommBreak) &&
        Lookup(m, "FT_W32_ClearCommError", e.W32_ClearCommError) &&
        Lookup(m, "FT_W32_EscapeCommFunction", e.W32_EscapeCommFunction) &&
        Lookup(m, "FT_W32_GetCommModemStatus", e.W32_GetCommModemStatus) &&
        Lookup(m, "FT_W32_GetCommState", e.W32_GetCommState) &&
        Lookup(m, "FT_W32_GetCommTimeouts", e.W32_GetCommTimeouts) &&
        Lookup(m, "FT_W32_PurgeComm", e.W32_PurgeComm) &&
        Lookup(m, "FT_W32_SetCommBreak", e.W32_SetCommBreak) &&
        Lookup(m, "FT_W32_SetCommMask", e.W32_SetCommMask) &&
        Lookup(m, "FT_W32_SetCommState", e.W32_SetCommState) &&
        Lookup(m, "FT_W32_SetCommTimeouts", e.W32_SetCommTimeouts) &&
        Lookup(m, "FT_W32_SetupComm", e.W32_SetupComm) &&
        Lookup(m, "FT_W32_WaitCommEvent", e.W32_WaitCommEvent) &&
        Lookup(m, "FT_Purge", e.Purge) && Lookup(m, "FT_RestartInTask", e.RestartInTask) &&
        Lookup(m, "FT_StopInTask", e.StopInTask) && Lookup(m, "FT_EE_Program", e.EE_Program) &&
        Lookup(m, "FT_EE_Read", e.EE_Read) && Lookup(m, "FT_GetDeviceInfo", e.GetDeviceInfo) &&
        Lookup(m, "FT_GetDeviceInfoDetail", e.GetDeviceInfoDetail) &&
        Lookup(m, "FT_GetDriverVersion", e.GetDriverVersion) &&
        Lookup(m, "FT_EEPROM_Read", e.EEPROM_Read) &&
        Lookup(m, "FT_EEPROM_Program", e.EEPROM_Program) &&
        Lookup(m, "FT_EE_UARead", e.EE_UARead) && Lookup(m, "FT_EE_UASize", e.EE_UASize) &&
        Lookup(m, "FT_EE_UAWrite", e.EE_UAWrite);
    if (!required)
        return FALSE;

    // The three word-access entries come as a set; a provider with only some of them is refused.
    const bool haveRead = Lookup(m, "FT_ReadEE", e.ReadEE);
    const bool haveWrite = Lookup(m, "FT_WriteEE", e.WriteEE);
    const bool haveErase = Lookup(m, "FT_EraseEE", e.EraseEE);
    if (!(haveRead && haveWrite && haveErase))
        return FALSE;
    if (!Lookup(m, "FT_GetDeviceInfo", e.GetDeviceInfo))
        return FALSE;

    Lookup(m, "FT_GetLibraryVersion", e.GetLibraryVersion);
    Lookup(m, "FT_Rescan", e.Rescan);
    Lookup(m, "FT_Reload", e.Reload);
    Lookup(m, "FT_SetLatencyTimer", e.SetLatencyTimer);
    Lookup(m, "FT_GetLatencyTimer", e.GetLatencyTimer);
    Lookup(m, "FT_SetChars", e.SetChars);
    Lookup(m, "Kestrune_OpenFailure", e.OpenFailure);
    Lookup(m, "Kestrune_PortPath", e.PortPath);
    bound_ = true;
    return TRUE;
}

void D2xxLibrary::Free()
{
    if (module_)
        platform::FreeLibrary(module_);
    module_ = nullptr;
    bound_ = false;
    delete entries_;
    entries_ = nullptr;
}

namespace {

std::atomic<D2xxTraceHook> traceHook{nullptr};

// The call, timed and told to the hook when one is set.
template <typename Call>
auto Traced(const char* name, const Call& call, const void* bytes = nullptr, const DWORD* count = nullptr)
{
    const D2xxTraceHook hook = traceHook.load(std::memory_order_relaxed);
    if (hook == nullptr) return call();
    const auto start = std::chrono::steady_clock::now();
    const auto result = call();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    hook(name, static_cast<unsigned long>(result), static_cast<long long>(took.count()), bytes,
         count != nullptr ? static_cast<unsigned long>(*count) : 0UL);
    return result;
}

} // namespace

void SetD2xxTrace(D2xxTraceHook hook) { traceHook.store(hook); }

// Every call goes through one of these: an empty entry (no module, or a name the provider
// lacks) answers without reaching the library.
#define D2XX_STATUS(name, ...)                                                                 \
    return entries_ && entries_->name ? Traced(#name, [&] { return entries_->name(__VA_ARGS__); }) \
                                      : FT_STATUS{FT_NOT_SUPPORTED}
#define D2XX_W32(name, ...)                                                                    \
    return entries_ && entries_->name ? Traced(#name, [&] { return entries_->name(__VA_ARGS__); }) \
                                      : BOOL{FALSE}

FT_STATUS D2xxLibrary::Open(int index, FT_HANDLE* handle) { D2XX_STATUS(Open, index, handle); }
FT_STATUS D2xxLibrary::ListDevices(void* arg1, void* arg2, DWORD flags)
{
    D2XX_STATUS(ListDevices, arg1, arg2, flags);
}
FT_STATUS D2xxLibrary::Rescan() { D2XX_STATUS(Rescan); }
FT_STATUS D2xxLibrary::Reload(WORD vid, WORD pid) { D2XX_STATUS(Reload, vid, pid); }
FT_STATUS D2xxLibrary::GetQueueStatus(FT_HANDLE h, DWORD* count)
{
    D2XX_STATUS(GetQueueStatus, h, count);
}
FT_STATUS D2xxLibrary::ClrDtr(FT_HANDLE h) { D2XX_STATUS(ClrDtr, h); }
FT_STATUS D2xxLibrary::SetDtr(FT_HANDLE h) { D2XX_STATUS(SetDtr, h); }
FT_STATUS D2xxLibrary::Purge(FT_HANDLE h, ULONG mask) { D2XX_STATUS(Purge, h, mask); }
FT_STATUS D2xxLibrary::StopInTask(FT_HANDLE h) { D2XX_STATUS(StopInTask, h); }
FT_STATUS D2xxLibrary::RestartInTask(FT_HANDLE h) { D2XX_STATUS(RestartInTask, h); }
FT_STATUS D2xxLibrary::GetDriverVersion(FT_HANDLE h, DWORD* version)
{
    D2XX_STATUS(GetDriverVersion, h, version);
}
FT_STATUS D2xxLibrary::GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                           DWORD* locId, void* serial, void* description,
                                           FT_HANDLE* handle)
{
    D2XX_STATUS(GetDeviceInfoDetail, index, flags, type, id, locId, serial, description, handle);
}
FT_STATUS D2xxLibrary::GetDeviceInfo(FT_HANDLE h, FT_DEVICE* type, DWORD* id, char* serial,
                                     char* description, void* reserved)
{
    D2XX_STATUS(GetDeviceInfo, h, type, id, serial, description, reserved);
}
FT_STATUS D2xxLibrary::EE_Read(FT_HANDLE h, FT_PROGRAM_DATA* data) { D2XX_STATUS(EE_Read, h, data); }
FT_STATUS D2xxLibrary::EE_Program(FT_HANDLE h, FT_PROGRAM_DATA* data)
{
    D2XX_STATUS(EE_Program, h, data);
}
FT_STATUS D2xxLibrary::EEPROM_Read(FT_HANDLE h, void* image, DWORD size, char* manufacturer,
                                   char* manufacturerId, char* description, char* serial)
{
    D2XX_STATUS(EEPROM_Read, h, image, size, manufacturer, manufacturerId, description, serial);
}
FT_STATUS D2xxLibrary::EEPROM_Program(FT_HANDLE h, void* image, DWORD size, char* manufacturer,
                                      char* manufacturerId, char* description, char* serial)
{
    D2XX_STATUS(EEPROM_Program, h, image, size, manufacturer, manufacturerId, description, serial);
}
FT_STATUS D2xxLibrary::EE_UARead(FT_HANDLE h, UCHAR* data, DWORD size, DWORD* got)
{
    D2XX_STATUS(EE_UARead, h, data, size, got);
}
FT_STATUS D2xxLibrary::EE_UAWrite(FT_HANDLE h, UCHAR* data, DWORD size)
{
    D2XX_STATUS(EE_UAWrite, h, data, size);
}
FT_STATUS D2xxLibrary::EE_UASize(FT_HANDLE h, DWORD* size) { D2XX_STATUS(EE_UASize, h, size); }
FT_STATUS D2xxLibrary::ReadEE(FT_HANDLE h, DWORD wordAddress, WORD* value)
{
    D2XX_STATUS(ReadEE, h, wordAddress, value);
}
FT_STATUS D2xxLibrary::WriteEE(FT_HANDLE h, DWORD wordAddress, WORD value)
{
    D2XX_STATUS(WriteEE, h, wordAddress, value);
}
FT_STATUS D2xxLibrary::EraseEE(FT_HANDLE h) { D2XX_STATUS(EraseEE, h); }
FT_STATUS D2xxLibrary::GetLibraryVersion(DWORD* version) { D2XX_STATUS(GetLibraryVersion, version); }
FT_STATUS D2xxLibrary::SetLatencyTimer(FT_HANDLE h, UCHAR ms) { D2XX_STATUS(SetLatencyTimer, h, ms); }
FT_STATUS D2xxLibrary::GetLatencyTimer(FT_HANDLE h, UCHAR* ms) { D2XX_STATUS(GetLatencyTimer, h, ms); }
FT_STATUS D2xxLibrary::SetChars(FT_HANDLE h, UCHAR eventChar, UCHAR eventOn, UCHAR errorChar, UCHAR errorOn)
{
    D2XX_STATUS(SetChars, h, eventChar, eventOn, errorChar, errorOn);
}
DWORD D2xxLibrary::OpenFailure()
{
    return entries_ && entries_->OpenFailure ? entries_->OpenFailure() : DWORD{kOpenFailureUnknown};
}

std::string D2xxLibrary::PortPath(DWORD index)
{
    std::array<char, 64> path{};
    if (!entries_ || !entries_->PortPath || entries_->PortPath(index, path.data(), path.size()) != FT_OK)
        return {};
    path.back() = '\0';
    return path.data();
}

FT_HANDLE D2xxLibrary::W32_CreateFile(const char* name, DWORD access, DWORD share, void* security,
                                      DWORD disposition, DWORD flags, void* templ)
{
    if (!entries_ || !entries_->W32_CreateFile)
        return InvalidHandle();
    FT_HANDLE handle = InvalidHandle();
    Traced("W32_CreateFile", [&] {
        handle = entries_->W32_CreateFile(name, access, share, security, disposition, flags, templ);
        return IsValidHandle(handle) ? BOOL{TRUE} : BOOL{FALSE};
    });
    return handle;
}
BOOL D2xxLibrary::W32_CloseHandle(FT_HANDLE h) { D2XX_W32(W32_CloseHandle, h); }
BOOL D2xxLibrary::W32_ReadFile(FT_HANDLE h, void* buffer, DWORD count, DWORD* got)
{
    if (!entries_ || !entries_->W32_ReadFile) return FALSE;
    return Traced("W32_ReadFile", [&] { return entries_->W32_ReadFile(h, buffer, count, got, nullptr); },
                  buffer, got);
}
BOOL D2xxLibrary::W32_WriteFile(FT_HANDLE h, const void* data, DWORD count, DWORD* written)
{
    if (!entries_ || !entries_->W32_WriteFile) return FALSE;
    // The provider's prototype takes a non-const buffer but only reads it.
    return Traced("W32_WriteFile",
                  [&] { return entries_->W32_WriteFile(h, const_cast<void*>(data), count, written, nullptr); },
                  data, written);
}
BOOL D2xxLibrary::W32_ClearCommError(FT_HANDLE h)
{
    DWORD errors = 0;
    FTCOMSTAT status{};
    return W32_ClearCommError(h, &errors, &status);
}
BOOL D2xxLibrary::W32_ClearCommError(FT_HANDLE h, DWORD* errors, FTCOMSTAT* status)
{
    D2XX_W32(W32_ClearCommError, h, errors, status);
}
BOOL D2xxLibrary::W32_EscapeCommFunction(FT_HANDLE h, DWORD function)
{
    D2XX_W32(W32_EscapeCommFunction, h, function);
}
BOOL D2xxLibrary::W32_GetCommState(FT_HANDLE h, FTDCB* dcb) { D2XX_W32(W32_GetCommState, h, dcb); }
BOOL D2xxLibrary::W32_SetCommState(FT_HANDLE h, FTDCB* dcb) { D2XX_W32(W32_SetCommState, h, dcb); }
BOOL D2xxLibrary::W32_SetCommTimeouts(FT_HANDLE h, FTTIMEOUTS* timeouts)
{
    D2XX_W32(W32_SetCommTimeouts, h, timeouts);
}
BOOL D2xxLibrary::W32_GetCommTimeouts(FT_HANDLE h, FTTIMEOUTS* timeouts)
{
    D2XX_W32(W32_GetCommTimeouts, h, timeouts);
}
BOOL D2xxLibrary::W32_PurgeComm(FT_HANDLE h, DWORD flags) { D2XX_W32(W32_PurgeComm, h, flags); }
BOOL D2xxLibrary::W32_GetCommModemStatus(FT_HANDLE h, DWORD* status)
{
    D2XX_W32(W32_GetCommModemStatus, h, status);
}
BOOL D2xxLibrary::W32_SetCommBreak(FT_HANDLE h) { D2XX_W32(W32_SetCommBreak, h); }
BOOL D2xxLibrary::W32_ClearCommBreak(FT_HANDLE h) { D2XX_W32(W32_ClearCommBreak, h); }
BOOL D2xxLibrary::W32_SetCommMask(FT_HANDLE h, ULONG mask) { D2XX_W32(W32_SetCommMask, h, mask); }
BOOL D2xxLibrary::W32_SetupComm(FT_HANDLE h, DWORD readSize, DWORD writeSize)
{
    D2XX_W32(W32_SetupComm, h, readSize, writeSize);
}
BOOL D2xxLibrary::W32_WaitCommEvent(FT_HANDLE h, ULONG* events, void* overlapped)
{
    D2XX_W32(W32_WaitCommEvent, h, events, overlapped);
}
BOOL D2xxLibrary::W32_GetOverlappedResult(FT_HANDLE h, void* overlapped, DWORD* count, BOOL wait)
{
    D2XX_W32(W32_GetOverlappedResult, h, overlapped, count, wait);
}
