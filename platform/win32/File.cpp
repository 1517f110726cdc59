#include "platform/win32/Windows.h"

#include "platform/File.h"
#include "platform/win32/Text.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <random>
#include <system_error>
#include <thread>

namespace platform {

using win32::Narrow;
using win32::Wide;

namespace {

HANDLE Native(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

thread_local DWORD t_lastError = 0;

FileStatus StatusOf(DWORD error)
{
    t_lastError = error;
    switch (error) {
    case ERROR_PATH_NOT_FOUND:
    case 2: // ERROR_FILE_NOT_FOUND
        return FileStatus::Missing;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return FileStatus::Busy;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return FileStatus::Exists;
    default:
        return FileStatus::Unreadable;
    }
}

OVERLAPPED At(std::uint64_t start)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(start);
    at.OffsetHigh = static_cast<DWORD>(start >> 32);
    return at;
}

// Length 0 means "to the end, however it grows": the largest range there is.
void Span(std::uint64_t length, DWORD& low, DWORD& high)
{
    if (length == 0)
        length = ~std::uint64_t{0} - 1;
    low = static_cast<DWORD>(length);
    high = static_cast<DWORD>(length >> 32);
}

unsigned Random()
{
    // The system's cryptographic source: a name nobody can guess in a shared folder.
    thread_local std::random_device source;
    return source();
}

} // namespace

File::~File()
{
    Close();
}

File::File(File&& other) noexcept : handle_(other.handle_)
{
    other.handle_ = kClosed;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        other.handle_ = kClosed;
    }
    return *this;
}

File File::Open(const std::string& path, FileAccess access, FileStatus& status, bool followLinks)
{
    DWORD rights = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (access) {
    case FileAccess::Read:
        break;
    case FileAccess::ReadWrite:
        rights |= GENERIC_WRITE;
        break;
    case FileAccess::ReadWriteCreate:
        rights |= GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    case FileAccess::AppendCreate:
        rights = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
        disposition = OPEN_ALWAYS;
        break;
    case FileAccess::CreateNew:
        rights |= GENERIC_WRITE;
        disposition = CREATE_NEW;
        break;
    }
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (!followLinks)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    File file;
    // Others may read, write and rename while we hold it, as with the POSIX open; exclusion
    // is by the locks below.
    const HANDLE handle = ::CreateFileW(Wide(path).c_str(), rights,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        status = StatusOf(::GetLastError());
        if (status == FileStatus::Unreadable && t_lastError == ERROR_ACCESS_DENIED &&
            (::GetFileAttributesW(Wide(path).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES)
            status = FileStatus::NotRegular;
        return file;
    }
    file.handle_ = reinterpret_cast<std::intptr_t>(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        file.Close();
        status = FileStatus::NotRegular;
        return file;
    }
    status = FileStatus::Ok;
    return file;
}

File File::CreateTemporary(const std::string& prefix, std::string& name)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    File file;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = prefix;
        for (int i = 0; i < 6; ++i) {
            name += kLetters[Random() % (sizeof kLetters - 1)];
        }
        FileStatus status = FileStatus::Ok;
        file = Open(name, FileAccess::CreateNew, status, false);
        if (file.IsOpen())
            return file;
        if (status != FileStatus::Exists)
            break;
    }
    name.clear();
    return file;
}

bool File::Close()
{
    if (!IsOpen())
        return true;
    const BOOL ok = ::CloseHandle(Native(handle_));
    handle_ = kClosed;
    return ok != 0;
}

bool File::Read(std::span<char> buffer, std::size_t& got)
{
    got = 0;
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
    if (!::ReadFile(Native(handle_), buffer.data(), ask, &n, nullptr)) {
        t_lastError = ::GetLastError();
        return t_lastError == ERROR_HANDLE_EOF;
    }
    got = n;
    return true;
}

bool File::WriteAll(std::string_view data)
{
    while (!data.empty()) {
        DWORD n = 0;
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        if (!::WriteFile(Native(handle_), data.data(), ask, &n, nullptr) || n == 0) {
            t_lastError = ::GetLastError();
            return false;
        }
        data.remove_prefix(n);
    }
    return true;
}

bool File::Flush()
{
    return ::FlushFileBuffers(Native(handle_)) != 0;
}

bool File::Size(std::uint64_t& size) const
{
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(Native(handle_), &value))
        return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

bool File::SeekToEnd(std::uint64_t& end)
{
    LARGE_INTEGER zero{};
    LARGE_INTEGER at{};
    if (!::SetFilePointerEx(Native(handle_), zero, &at, FILE_END))
        return false;
    end = static_cast<std::uint64_t>(at.QuadPart);
    return true;
}

bool File::Truncate(std::uint64_t size)
{
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(Native(handle_), at, nullptr, FILE_BEGIN) && ::SetEndOfFile(Native(handle_));
}

bool File::SetMode(unsigned)
{
    return true; // the folder's access list decides, as for every file of the station
}

bool File::Mode(unsigned& mode) const
{
    mode = 0644;
    return true;
}

bool File::TakeGroupOf(const std::string&)
{
    return true;
}

bool File::ModifiedAt(std::int64_t& unixTime) const
{
    FILETIME written{};
    if (!::GetFileTime(Native(handle_), nullptr, nullptr, &written))
        return false;
    const std::uint64_t ticks = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
    unixTime = static_cast<std::int64_t>(ticks / 10000000u) - 11644473600LL;
    return true;
}

bool File::IsNamedBy(const std::string& path) const
{
    BY_HANDLE_FILE_INFORMATION mine{};
    if (!::GetFileInformationByHandle(Native(handle_), &mine))
        return false;
    FileStatus status = FileStatus::Ok;
    const File named = Open(path, FileAccess::Read, status);
    BY_HANDLE_FILE_INFORMATION other{};
    return named.IsOpen() && ::GetFileInformationByHandle(Native(named.handle_), &other) &&
           mine.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == other.nFileIndexHigh && mine.nFileIndexLow == other.nFileIndexLow;
}

bool File::LockRange(std::uint64_t start, std::uint64_t length, std::uint32_t timeoutMs)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    auto pause = milliseconds(1);
    DWORD low = 0;
    DWORD high = 0;
    Span(length, low, high);
    for (;;) {
        OVERLAPPED at = At(start);
        if (::LockFileEx(Native(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, low, high, &at))
            return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING)
            return false;
        const auto now = steady_clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, milliseconds(20));
    }
}

void File::UnlockRange(std::uint64_t start, std::uint64_t length)
{
    DWORD low = 0;
    DWORD high = 0;
    Span(length, low, high);
    OVERLAPPED at = At(start);
    ::UnlockFileEx(Native(handle_), 0, low, high, &at);
}

bool File::TryLockWhole()
{
    DWORD low = 0;
    DWORD high = 0;
    Span(0, low, high);
    OVERLAPPED at = At(0);
    return ::LockFileEx(Native(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, low, high, &at) != 0;
}

unsigned SharedFileMode()
{
    return 0666;
}

bool MoveIntoPlace(const std::string& from, const std::string& to)
{
    // ReplaceFileW keeps the target's attributes and access list; a target that is not there
    // yet takes the plain move.
    const std::wstring source = Wide(from);
    const std::wstring target = Wide(to);
    if (::ReplaceFileW(target.c_str(), source.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                       nullptr))
        return true;
    if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    t_lastError = ::GetLastError();
    ::DeleteFileW(source.c_str());
    return false;
}

PublishResult PublishFile(const std::string& temp, const std::string& path)
{
    // Without MOVEFILE_REPLACE_EXISTING the move never replaces an existing name.
    if (::MoveFileExW(Wide(temp).c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH))
        return PublishResult::Published;
    const DWORD error = ::GetLastError();
    t_lastError = error;
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return PublishResult::Exists;
    ::DeleteFileW(Wide(temp).c_str());
    return PublishResult::Failed;
}

std::string LastFileErrorText()
{
    return std::system_category().message(static_cast<int>(t_lastError));
}

bool RemoveFile(const std::string& path)
{
    return ::DeleteFileW(Wide(path).c_str()) != 0;
}

bool IsSymbolicLink(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string ResolveSymbolicLink(const std::string& path)
{
    return path; // the profile is written through a link by the replacement itself
}

bool NameExists(const std::string& path)
{
    return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names)
{
    names.clear();
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        std::string name = Narrow(found.cFileName, std::wcslen(found.cFileName));
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return true;
}

} // namespace platform
