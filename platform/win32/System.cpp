#include "platform/win32/Windows.h"

#include "platform/System.h"
#include "platform/win32/Text.h"

#include <cstdlib>

namespace platform {

using win32::Narrow;
using win32::Wide;

namespace {

// A known folder of the user's (roaming or local application data) plus our own name.
std::string KnownFolder(const KNOWNFOLDERID& id)
{
    PWSTR folder = nullptr;
    std::string path;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &folder)) && folder != nullptr)
        path = Narrow(folder, std::wcslen(folder)) + "\\kestrune";
    ::CoTaskMemFree(folder);
    return path;
}

} // namespace

// Drive letters are what they say on a station.
std::string MapPath(const std::string& path)
{
    return path;
}

bool PathFileExists(const std::string& path)
{
    return !path.empty() && ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateDirectory(const std::string& path)
{
    return !path.empty() && ::CreateDirectoryW(Wide(path).c_str(), nullptr) != 0;
}

bool DirectoryExists(const std::string& path)
{
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool DeleteFile(const std::string& path)
{
    // DeleteFileW refuses a folder by itself.
    return !path.empty() && ::DeleteFileW(Wide(path).c_str()) != 0;
}

std::string GetTempPath()
{
    wchar_t buffer[MAX_PATH + 2] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    return length == 0 || length > MAX_PATH + 1 ? std::string("C:\\") : Narrow(buffer, length);
}

std::string GetUserName()
{
    wchar_t buffer[257] = {};
    DWORD length = 257;
    if (!::GetUserNameW(buffer, &length) || length == 0)
        return {};
    return Narrow(buffer, length - 1); // the count includes the terminating NUL
}

std::string GetComputerName()
{
    wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(buffer, &length))
        return {};
    return Narrow(buffer, length);
}

std::string ConfigHome()
{
    return KnownFolder(FOLDERID_RoamingAppData);
}

std::string DataHome()
{
    return KnownFolder(FOLDERID_LocalAppData);
}

bool CreatePrivateFolders(const std::string& path)
{
    if (path.empty())
        return false;
    // The user's own application-data folders are private already; the ACL comes from them.
    const int result = ::SHCreateDirectoryExW(nullptr, Wide(path).c_str(), nullptr);
    return (result == 0 || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) &&
           DirectoryExists(path);
}

} // namespace platform
