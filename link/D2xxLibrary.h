#pragma once
// The D2XX library bound at run time: one entry per function. A call through an empty entry
// never reaches the library: status functions return FT_NOT_SUPPORTED, FT_W32_CreateFile the
// invalid handle, the other FT_W32 functions FALSE.
#include <string>
#include <vector>

#include "link/D2xx.h"
#include "platform/Types.h"
#include "platform/DynamicLibrary.h"

// Told of every call that reached a provider, when set: the D2XX function's name without
// "FT_", its status (FT_STATUS, or the BOOL of an FT_W32 function), its duration in
// microseconds, and for reads and writes the bytes that moved. Called on the calling thread.
using D2xxTraceHook = void (*)(const char* call, unsigned long status, long long micros,
                               const void* bytes, unsigned long count);
void SetD2xxTrace(D2xxTraceHook hook);

class D2xxLibrary {
public:
    D2xxLibrary() = default;
    ~D2xxLibrary(); // does not unload: ClosePort does
    D2xxLibrary(const D2xxLibrary&) = delete;
    D2xxLibrary& operator=(const D2xxLibrary&) = delete;

    // The provider files in the order they are tried: $KESTRUNE_D2XX alone when it is set;
    // else FTDI's "libftd2xx.so" ("Ftd2xx.dll" on Windows), then our
    // libkestrune-ftdi.so beside the program, then in the installed library folder.
    static std::vector<std::string> ProviderFiles();

    // BindD2xxLibrary: TRUE at once when bound; loads the first provider that loads (FALSE
    // when none does) and looks the entries up in their order, FALSE at the first missing
    // required one. A failed binding keeps the module loaded. A provider that is there but does
    // not load is named on stderr, once a process.
    BOOL Bind();
    // The file of the loaded provider; "" when none is loaded.
    std::string ProviderPath() const;
    // "PATH, version X.YY.ZZ" of the provider Bind would load (loaded for the question and
    // unloaded again), or "none found".
    static std::string DescribeProvider();
    bool IsLoaded() const { return module_ != nullptr; }
    // FreeLibrary and every entry emptied.
    void Free();

    d2xx::FT_STATUS Open(int index, d2xx::FT_HANDLE* handle);
    d2xx::FT_STATUS ListDevices(void* arg1, void* arg2, d2xx::DWORD flags);
    d2xx::FT_STATUS Rescan();
    d2xx::FT_STATUS Reload(d2xx::WORD vid, d2xx::WORD pid);
    d2xx::FT_STATUS GetQueueStatus(d2xx::FT_HANDLE h, d2xx::DWORD* count);
    d2xx::FT_STATUS ClrDtr(d2xx::FT_HANDLE h);
    d2xx::FT_STATUS SetDtr(d2xx::FT_HANDLE h);
    d2xx::FT_STATUS Purge(d2xx::FT_HANDLE h, d2xx::ULONG mask);
    d2xx::FT_STATUS StopInTask(d2xx::FT_HANDLE h);
    d2xx::FT_STATUS RestartInTask(d2xx::FT_HANDLE h);
    d2xx::FT_STATUS GetDriverVersion(d2xx::FT_HANDLE h, d2xx::DWORD* version);
    d2xx::FT_STATUS GetDeviceInfoDetail(d2xx::DWORD index, d2xx::DWORD* flags, d2xx::DWORD* type,
                                        d2xx::DWORD* id, d2xx::DWORD* locId, void* serial,
                                        void* description, d2xx::FT_HANDLE* handle);
    d2xx::FT_STATUS GetDeviceInfo(d2xx::FT_HANDLE h, d2xx::FT_DEVICE* type, d2xx::DWORD* id,
                                  char* serial, char* description, void* reserved);
    d2xx::FT_STATUS EE_Read(d2xx::FT_HANDLE h, d2xx::FT_PROGRAM_DATA* data);
    d2xx::FT_STATUS EE_Program(d2xx::FT_HANDLE h, d2xx::FT_PROGRAM_DATA* data);
    d2xx::FT_STATUS EEPROM_Read(d2xx::FT_HANDLE h, void* image, d2xx::DWORD size, char* manufacturer,
                                char* manufacturerId, char* description, char* serial);
    d2xx::FT_STATUS EEPROM_Program(d2xx::FT_HANDLE h, void* image, d2xx::DWORD size,
                                   char* manufacturer, char* manufacturerId, char* description,
                                   char* serial);
    d2xx::FT_STATUS EE_UARead(d2xx::FT_HANDLE h, d2xx::UCHAR* data, d2xx::DWORD size,
                              d2xx::DWORD* got);
    d2xx::FT_STATUS EE_UAWrite(d2xx::FT_HANDLE h, d2xx::UCHAR* data, d2xx::DWORD size);
    d2xx::FT_STATUS EE_UASize(d2xx::FT_HANDLE h, d2xx::DWORD* size);
    d2xx::FT_STATUS ReadEE(d2xx::FT_HANDLE h, d2xx::DWORD wordAddress, d2xx::WORD* value);
    d2xx::FT_STATUS WriteEE(d2xx::FT_HANDLE h, d2xx::DWORD wordAddress, d2xx::WORD value);
    d2xx::FT_STATUS EraseEE(d2xx::FT_HANDLE h);
    // Optional entries (a provider without them answers FT_NOT_SUPPORTED).
    d2xx::FT_STATUS GetLibraryVersion(d2xx::DWORD* version);
    d2xx::FT_STATUS SetLatencyTimer(d2xx::FT_HANDLE h, d2xx::UCHAR ms);
    d2xx::FT_STATUS GetLatencyTimer(d2xx::FT_HANDLE h, d2xx::UCHAR* ms);
    d2xx::FT_STATUS SetChars(d2xx::FT_HANDLE h, d2xx::UCHAR eventChar, d2xx::UCHAR eventOn,
                             d2xx::UCHAR errorChar, d2xx::UCHAR errorOn);
    // Our providers' answer to why the last open failed (d2xx::OpenFailure); kOpenFailureUnknown
    // from a provider without the entry.
    d2xx::DWORD OpenFailure();
    // Our providers' USB port path of list entry `index` ("1-2.3"); "" where it is not told.
    std::string PortPath(d2xx::DWORD index);

    d2xx::FT_HANDLE W32_CreateFile(const char* name, d2xx::DWORD access, d2xx::DWORD share,
                                   void* security, d2xx::DWORD disposition, d2xx::DWORD flags,
                                   void* templ);
    d2xx::BOOL W32_CloseHandle(d2xx::FT_HANDLE h);
    d2xx::BOOL W32_ReadFile(d2xx::FT_HANDLE h, void* buffer, d2xx::DWORD count, d2xx::DWORD* got);
    d2xx::BOOL W32_WriteFile(d2xx::FT_HANDLE h, const void* data, d2xx::DWORD count,
                             d2xx::DWORD* written);
    d2xx::BOOL W32_ClearCommError(d2xx::FT_HANDLE h); // error mask and status discarded
    d2xx::BOOL W32_ClearCommError(d2xx::FT_HANDLE h, d2xx::DWORD* errors, d2xx::FTCOMSTAT* status);
    d2xx::BOOL W32_EscapeCommFunction(d2xx::FT_HANDLE h, d2xx::DWORD function);
    d2xx::BOOL W32_GetCommState(d2xx::FT_HANDLE h, d2xx::FTDCB* dcb);
    d2xx::BOOL W32_SetCommState(d2xx::FT_HANDLE h, d2xx::FTDCB* dcb);
    d2xx::BOOL W32_SetCommTimeouts(d2xx::FT_HANDLE h, d2xx::FTTIMEOUTS* timeouts);
    d2xx::BOOL W32_PurgeComm(d2xx::FT_HANDLE h, d2xx::DWORD flags);
    d2xx::BOOL W32_GetCommTimeouts(d2xx::FT_HANDLE h, d2xx::FTTIMEOUTS* timeouts);
    d2xx::BOOL W32_GetCommModemStatus(d2xx::FT_HANDLE h, d2xx::DWORD* status);
    d2xx::BOOL W32_SetCommBreak(d2xx::FT_HANDLE h);
    d2xx::BOOL W32_ClearCommBreak(d2xx::FT_HANDLE h);
    d2xx::BOOL W32_SetCommMask(d2xx::FT_HANDLE h, d2xx::ULONG mask);
    d2xx::BOOL W32_SetupComm(d2xx::FT_HANDLE h, d2xx::DWORD readSize, d2xx::DWORD writeSize);
    d2xx::BOOL W32_WaitCommEvent(d2xx::FT_HANDLE h, d2xx::ULONG* events, void* overlapped);
    d2xx::BOOL W32_GetOverlappedResult(d2xx::FT_HANDLE h, void* overlapped, d2xx::DWORD* count,
                                       d2xx::BOOL wait);

private:
    platform::ModuleHandle module_ = nullptr;
    bool bound_ = false;
    struct Entries;            // the function table, defined beside Bind
    Entries* entries_ = nullptr;
};
