#include "platform/SafeFile.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string CheckLinkInSharedFolder(const std::string& path)
{
    // Every component: a linked folder inside a shared folder leads as far as a linked file.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string part = path.substr(0, end);
        struct stat link {};
        if (!part.empty() && part.back() != '/' && ::lstat(part.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            struct stat folder {};
            if (::stat(FolderOf(part).c_str(), &folder) != 0)
                return part + ": a symbolic link in a folder that cannot be checked; not followed";
            if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && link.st_uid != ::geteuid() &&
                link.st_uid != folder.st_uid)
                return part + ": a symbolic link of another user in a folder others can write to; not followed";
        }
        if (end == std::string::npos)
            return {};
    }
}

File OpenSharedForAppend(const std::string& path, FileStatus& status, bool& linkRefused)
{
    linkRefused = false;
    File file = File::Open(path, FileAccess::AppendCreate, status, false);
    if (file.IsOpen() || status != FileStatus::NotRegular)
        return file;
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
        return file; // a folder or a FIFO, not a link
    if (!CheckLinkInSharedFolder(path).empty()) {
        linkRefused = true;
        return file;
    }
    file = File::Open(path, FileAccess::AppendCreate, status);
    if (!file.IsOpen())
        return file;
    struct stat again {};
    if (::lstat(path.c_str(), &again) != 0 || again.st_ino != link.st_ino || again.st_dev != link.st_dev ||
        again.st_uid != link.st_uid || !file.IsNamedBy(path)) {
        file.Close();
        linkRefused = true;
    }
    return file;
}

} // namespace platform
