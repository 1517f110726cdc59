#include "platform/SafeFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
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

int OpenRegularFile(const std::string& path, int flags, FileStatus& status, unsigned mode)
{
    // O_NONBLOCK: opening a FIFO without a writer, or a serial device, would otherwise wait.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            status = FileStatus::Missing;
        else if (errno == EISDIR || errno == ENXIO || errno == ENODEV)
            status = FileStatus::NotRegular;
        else
            status = FileStatus::Unreadable;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        status = FileStatus::NotRegular;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    status = FileStatus::Ok;
    return fd;
}

FileStatus ReadRegularFile(const std::string& path, std::string& text, std::size_t maxSize)
{
    text.clear();
    FileStatus status = FileStatus::Ok;
    const int fd = OpenRegularFile(path, O_RDONLY, status);
    if (fd < 0)
        return status;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) > maxSize) {
        ::close(fd);
        return FileStatus::TooLarge;
    }
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            status = FileStatus::Unreadable;
            break;
        }
        if (n == 0)
            break;
        // The file may grow after the size was taken.
        if (text.size() + static_cast<std::size_t>(n) > maxSize) {
            status = FileStatus::TooLarge;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (status != FileStatus::Ok)
        text.clear();
    return status;
}

FileStatus CheckRegularFile(const std::string& path, std::size_t maxSize)
{
    FileStatus status = FileStatus::Ok;
    const int fd = OpenRegularFile(path, O_RDONLY, status);
    if (fd < 0)
        return status;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) > maxSize)
        status = FileStatus::TooLarge;
    ::close(fd);
    return status;
}

std::string FileStatusText(const std::string& path, FileStatus status)
{
    switch (status) {
    case FileStatus::Ok:
        return {};
    case FileStatus::Missing:
        return path + ": no such file";
    case FileStatus::NotRegular:
        return path + ": not a regular file";
    case FileStatus::TooLarge:
        return path + ": larger than " + std::to_string(kMaxTextFileSize >> 20) + " MiB";
    case FileStatus::Unreadable:
        break;
    }
    return path + ": cannot be read";
}

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

int CreateTemporaryFile(const std::string& prefix, std::string& name)
{
    name = prefix + "XXXXXX";
    // mkostemp creates with O_EXCL and mode 0600.
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        name.clear();
    return fd;
}

} // namespace platform
