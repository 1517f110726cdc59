#include "platform/System.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

bool HasDrive(const std::string& path)
{
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HomeDirectory()
{
    std::string home = Env("HOME");
    if (!home.empty())
        return home;
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr)
        return result->pw_dir;
    return "/";
}

// XDG base directories must be absolute; a relative value is to be ignored.
std::string XdgHome(const char* variable, const char* fallback)
{
    std::string base = Env(variable);
    if (base.empty() || base[0] != '/')
        base = HomeDirectory() + "/" + fallback;
    return base + "/kestrune";
}

std::string DriveRoot(char letter)
{
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    std::string variable = "KESTRUNE_DRIVE_";
    variable += upper;
    std::string root = Env(variable.c_str());
    if (root.empty())
        root = DataHome() + "/drive_" + lower;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string Slashes(std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

bool MakeDirectories(const std::string& path, mode_t mode = 0777)
{
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return false;
    }
    return DirectoryExists(path);
}

} // namespace

std::string MapPath(const std::string& path)
{
    if (HasDrive(path)) {
        std::string rest = Slashes(path.substr(2));
        std::string root = DriveRoot(path[0]);
        if (rest.empty())
            return root;
        // "C:name" is relative to the drive's current folder, which is its root here.
        if (rest[0] != '/')
            rest.insert(rest.begin(), '/');
        return root == "/" ? rest : root + rest;
    }
    // "\LOG\x" is rooted on the current drive; "\\server\share" has no local meaning either way.
    if (path.size() >= 2 && path[0] == '\\' && path[1] != '\\')
        return MapPath("C:" + path);
    // A relative Windows path; a name holding a '/' is taken as POSIX and left alone.
    if (path.find('\\') != std::string::npos && path.find('/') == std::string::npos)
        return Slashes(path);
    return path;
}

bool PathFileExists(const std::string& path)
{
    if (path.empty())
        return false;
    struct stat st {};
    return stat(MapPath(path).c_str(), &st) == 0;
}

bool CreateDirectory(const std::string& path)
{
    if (path.empty())
        return false;
    const std::string local = MapPath(path);
    // A drive always exists on Windows; here its folder is ours to make on first use. The
    // default drives live in our own data folder, which nobody else needs to enter.
    if (HasDrive(path)) {
        const std::string root = DriveRoot(path[0]);
        const std::string data = DataHome();
        if (root.rfind(data + "/", 0) == 0 && !CreatePrivateFolders(data))
            return false;
        if (!MakeDirectories(root))
            return false;
    }
    return mkdir(local.c_str(), 0777) == 0;
}

bool DirectoryExists(const std::string& path)
{
    if (path.empty())
        return false;
    struct stat st {};
    return stat(MapPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path)
{
    if (path.empty())
        return false;
    const std::string local = MapPath(path);
    struct stat st {};
    if (lstat(local.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    return unlink(local.c_str()) == 0;
}

std::string GetTempPath()
{
    std::string dir = Env("TMPDIR");
    if (dir.empty())
        dir = "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

std::string GetUserName()
{
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_name != nullptr && result->pw_name[0] != '\0')
        return result->pw_name;
    // Containers often run with a uid that has no passwd entry.
    std::string name = Env("LOGNAME");
    if (name.empty())
        name = Env("USER");
    return name;
}

std::string GetComputerName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

std::string ConfigHome()
{
    return XdgHome("XDG_CONFIG_HOME", ".config");
}

std::string DataHome()
{
    return XdgHome("XDG_DATA_HOME", ".local/share");
}

bool CreatePrivateFolders(const std::string& path)
{
    return !path.empty() && MakeDirectories(path, 0700);
}

} // namespace platform
