#include "platform/System.h"

// The shell's path helpers work on the text alone, the same on every system.
namespace platform {

namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool HasDrive(const std::string& path)
{
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

} // namespace

std::string PathFindFileName(const std::string& path)
{
    // A trailing separator belongs to the last component ("C:\dir\" gives "dir\").
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        const char c = path[i];
        if ((IsSeparator(c) || c == ':') && !IsSeparator(path[i + 1]))
            start = i + 1;
    }
    return path.substr(start);
}

std::string PathAppend(const std::string& dir, const std::string& more)
{
    std::size_t skip = 0;
    while (skip < more.size() && IsSeparator(more[skip]))
        ++skip;
    std::string tail = more.substr(skip);
    if (dir.empty())
        return tail;
    if (tail.empty())
        return dir;
    const bool windowsForm = HasDrive(dir) || dir.find('\\') != std::string::npos;
    std::string result = dir;
    if (!IsSeparator(result.back()))
        result += windowsForm ? '\\' : '/';
    return result + tail;
}

std::string PathRemoveFileSpec(const std::string& path)
{
    std::size_t pos = 0;
    std::size_t cut = 0;
    // A rooted path keeps its root separator, a UNC path its two.
    if (pos < path.size() && IsSeparator(path[pos]))
        cut = ++pos;
    if (pos < path.size() && IsSeparator(path[pos]))
        cut = ++pos;
    while (pos < path.size()) {
        if (IsSeparator(path[pos])) {
            cut = pos;
        } else if (path[pos] == ':') {
            // The separator after a drive is the root and stays.
            cut = pos + 1;
            if (pos + 1 < path.size() && IsSeparator(path[pos + 1]))
                cut = ++pos + 1;
        }
        ++pos;
    }
    return path.substr(0, cut);
}

std::string PathStripToRoot(const std::string& path)
{
    if (HasDrive(path))
        return path.size() >= 3 && IsSeparator(path[2]) ? path.substr(0, 3) : path.substr(0, 2);
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // \\server\share
        std::size_t end = 2;
        int parts = 0;
        while (end < path.size()) {
            if (IsSeparator(path[end]) && ++parts == 2)
                break;
            ++end;
        }
        return path.substr(0, end);
    }
    if (!path.empty() && IsSeparator(path[0]))
        return path.substr(0, 1);
    return "";
}

} // namespace platform
