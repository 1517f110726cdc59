#include "platform/SafeFile.h"

namespace platform {

FileStatus CheckRegularFile(const std::string& path, std::size_t maxSize)
{
    FileStatus status = FileStatus::Ok;
    const File file = File::Open(path, FileAccess::Read, status);
    if (!file.IsOpen())
        return status;
    std::uint64_t size = 0;
    if (!file.Size(size) || size > maxSize)
        status = FileStatus::TooLarge;
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
    case FileStatus::Busy:
        return path + ": locked by another program";
    case FileStatus::Exists:
        return path + ": exists already";
    case FileStatus::Unreadable:
        break;
    }
    return path + ": cannot be read";
}

} // namespace platform
