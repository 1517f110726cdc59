#include "platform/SimulationSwitch.h"
#include "platform/System.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace platform {

std::string ExecutableFolder()
{
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : exe.parent_path().string();
}

int TerminalColumns(std::FILE* stream)
{
    winsize size{};
    return ::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool SetEnvironment(const std::string& name, const std::string& value)
{
    return ::setenv(name.c_str(), value.c_str(), 1) == 0; // NOLINT(concurrency-mt-unsafe)
}

} // namespace platform
