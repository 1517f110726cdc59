#include "platform/File.h"

#include <array>

namespace platform {

FileStatus ReadRegularFile(const std::string& path, std::string& text, std::size_t maxSize)
{
    text.clear();
    FileStatus status = FileStatus::Ok;
    File file = File::Open(path, FileAccess::Read, status);
    if (!file.IsOpen())
        return status;
    std::uint64_t size = 0;
    if (!file.Size(size) || size > maxSize)
        return FileStatus::TooLarge;
    text.reserve(static_cast<std::size_t>(size));
    return ReadToEnd(file, text, maxSize);
}

FileStatus ReadToEnd(File& file, std::string& out, std::size_t maxSize)
{
    out.clear();
    std::array<char, 65536> buffer{};
    for (;;) {
        std::size_t got = 0;
        if (!file.Read(buffer, got)) {
            out.clear();
            return FileStatus::Unreadable;
        }
        if (got == 0)
            return FileStatus::Ok;
        // The file may grow after its size was taken.
        if (out.size() + got > maxSize) {
            out.clear();
            return FileStatus::TooLarge;
        }
        out.append(buffer.data(), got);
    }
}

bool ReplaceFileContent(const std::string& path, std::string_view text, unsigned mode)
{
    std::string temp;
    File file = File::CreateTemporary(path + ".tmp", temp);
    if (!file.IsOpen())
        return false;
    bool ok = file.WriteAll(text) && file.SetMode(mode) && file.Flush();
    ok = file.Close() && ok;
    if (!ok) {
        RemoveFile(temp);
        return false;
    }
    return MoveIntoPlace(temp, path);
}

} // namespace platform
