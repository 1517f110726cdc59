#include "platform/win32/Windows.h"

#include "platform/SimulationSwitch.h"
#include "platform/System.h"

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace platform {

std::string ExecutableFolder()
{
    wchar_t name[32768] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, name, 32768);
    if (length == 0 || length >= 32768)
        return {};
    // UTF-8, as every path inside the program.
    const std::u8string folder = std::filesystem::path(std::wstring(name, length)).parent_path().u8string();
    return {folder.begin(), folder.end()};
}

int TerminalColumns(std::FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    if (!::GetConsoleScreenBufferInfo(console, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool SetEnvironment(const std::string& name, const std::string& value)
{
    // Both the C run-time's copy (getenv) and the process's (a loaded DLL may read either).
    return ::_putenv_s(name.c_str(), value.c_str()) == 0 &&
           ::SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

} // namespace platform
