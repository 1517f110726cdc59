#include "platform/win32/Windows.h"

#include "platform/DynamicLibrary.h"

#include <system_error>

namespace platform {

namespace {
thread_local std::string lastLoadError;

void RememberError()
{
    const DWORD code = ::GetLastError();
    lastLoadError = code != 0 ? std::system_category().message(static_cast<int>(code)) : "unknown error";
}
} // namespace

ModuleHandle LoadLibrary(const std::string& file)
{
    // No error box for a missing dependency: the caller reports it in its own words.
    const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = ::LoadLibraryA(file.c_str());
    if (module == nullptr)
        RememberError();
    ::SetErrorMode(previous);
    return reinterpret_cast<ModuleHandle>(module);
}

void* GetProcAddress(ModuleHandle module, const char* name)
{
    if (module == nullptr || name == nullptr) {
        lastLoadError = "no module or no symbol name";
        return nullptr;
    }
    const FARPROC symbol = ::GetProcAddress(static_cast<HMODULE>(module), name);
    if (symbol == nullptr)
        RememberError();
    return reinterpret_cast<void*>(symbol);
}

void FreeLibrary(ModuleHandle module)
{
    if (module != nullptr && !::FreeLibrary(static_cast<HMODULE>(module)))
        RememberError();
}

std::string ModuleFile(ModuleHandle module)
{
    if (module == nullptr)
        return {};
    char name[MAX_PATH * 4] = {};
    const DWORD length = ::GetModuleFileNameA(static_cast<HMODULE>(module), name, sizeof name);
    return length == 0 || length >= sizeof name ? std::string() : std::string(name, length);
}

std::string LastLoadError()
{
    return lastLoadError;
}

} // namespace platform
