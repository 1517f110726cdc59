#include "platform/File.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

int Fd(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void FlushFolder(const std::string& folder)
{
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

bool SetLock(int fd, short type, std::uint64_t start, std::uint64_t length)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0; // must be 0 for OFD locks
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
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
    int flags = O_RDONLY;
    switch (access) {
    case FileAccess::Read:
        break;
    case FileAccess::ReadWrite:
        flags = O_RDWR;
        break;
    case FileAccess::ReadWriteCreate:
        flags = O_RDWR | O_CREAT;
        break;
    case FileAccess::AppendCreate:
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    case FileAccess::CreateNew:
        flags = O_RDWR | O_CREAT | O_EXCL;
        break;
    }
    if (!followLinks)
        flags |= O_NOFOLLOW;
    File file;
    // O_NONBLOCK: opening a FIFO without a writer, or a serial device, would otherwise wait.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            status = FileStatus::Missing;
        else if (errno == EEXIST)
            status = FileStatus::Exists;
        else if (errno == EISDIR || errno == ENXIO || errno == ENODEV || errno == ELOOP)
            status = FileStatus::NotRegular;
        else
            status = FileStatus::Unreadable;
        return file;
    }
    file.handle_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file.Close();
        status = FileStatus::NotRegular;
        return file;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    status = FileStatus::Ok;
    return file;
}

File File::CreateTemporary(const std::string& prefix, std::string& name)
{
    name = prefix + "XXXXXX";
    File file;
    // mkostemp creates with O_EXCL and mode 0600.
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        name.clear();
    else
        file.handle_ = fd;
    return file;
}

bool File::Close()
{
    if (!IsOpen())
        return true;
    const int rc = ::close(Fd(handle_));
    handle_ = kClosed;
    return rc == 0;
}

bool File::Read(std::span<char> buffer, std::size_t& got)
{
    got = 0;
    for (;;) {
        const ssize_t n = ::read(Fd(handle_), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        got = static_cast<std::size_t>(n);
        return true;
    }
}

bool File::WriteAll(std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(Fd(handle_), data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool File::Flush()
{
    return ::fsync(Fd(handle_)) == 0;
}

bool File::Size(std::uint64_t& size) const
{
    struct stat st {};
    if (::fstat(Fd(handle_), &st) != 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool File::SeekToEnd(std::uint64_t& end)
{
    const off_t at = ::lseek(Fd(handle_), 0, SEEK_END);
    if (at < 0)
        return false;
    end = static_cast<std::uint64_t>(at);
    return true;
}

bool File::Truncate(std::uint64_t size)
{
    return ::ftruncate(Fd(handle_), static_cast<off_t>(size)) == 0;
}

bool File::SetMode(unsigned mode)
{
    return ::fchmod(Fd(handle_), static_cast<mode_t>(mode & 07777)) == 0;
}

bool File::Mode(unsigned& mode) const
{
    struct stat st {};
    if (::fstat(Fd(handle_), &st) != 0)
        return false;
    mode = static_cast<unsigned>(st.st_mode & 07777);
    return true;
}

bool File::TakeGroupOf(const std::string& path)
{
    struct stat dir {};
    if (::stat(path.c_str(), &dir) != 0)
        return false;
    // Not a member of the folder's group: the file keeps ours, which is no failure.
    return ::fchown(Fd(handle_), static_cast<uid_t>(-1), dir.st_gid) == 0 || errno == EPERM;
}

bool File::ModifiedAt(std::int64_t& unixTime) const
{
    struct stat st {};
    if (::fstat(Fd(handle_), &st) != 0)
        return false;
    unixTime = static_cast<std::int64_t>(st.st_mtime);
    return true;
}

bool File::IsNamedBy(const std::string& path) const
{
    struct stat mine {};
    struct stat named {};
    return ::fstat(Fd(handle_), &mine) == 0 && ::stat(path.c_str(), &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

bool File::LockRange(std::uint64_t start, std::uint64_t length, std::uint32_t timeoutMs)
{
    // The holder is another process, so this waits in real time, never on the program clock.
    // F_OFD_SETLKW cannot be bounded without a signal, hence polling.
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    auto pause = milliseconds(1);
    for (;;) {
        if (SetLock(Fd(handle_), F_WRLCK, start, length))
            return true;
        if (errno != EAGAIN && errno != EACCES)
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
    SetLock(Fd(handle_), F_UNLCK, start, length);
}

bool File::TryLockWhole()
{
    return ::flock(Fd(handle_), LOCK_EX | LOCK_NB) == 0;
}

unsigned SharedFileMode()
{
    // umask can only be read by setting it; the moment between is harmless for our own files.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

bool MoveIntoPlace(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0) {
        ::unlink(from.c_str());
        return false;
    }
    // Make the rename itself durable; failing here does not undo a completed replacement.
    FlushFolder(FolderOf(to));
    return true;
}

PublishResult PublishFile(const std::string& temp, const std::string& path)
{
    // link() never replaces an existing name.
    if (::link(temp.c_str(), path.c_str()) == 0) {
        ::unlink(temp.c_str());
        FlushFolder(FolderOf(path));
        return PublishResult::Published;
    }
    if (errno == EEXIST)
        return PublishResult::Exists;
    ::unlink(temp.c_str());
    return PublishResult::Failed;
}

std::string LastFileErrorText()
{
    return std::generic_category().message(errno);
}

bool RemoveFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool IsSymbolicLink(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string ResolveSymbolicLink(const std::string& path)
{
    if (!IsSymbolicLink(path))
        return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return path;
    std::string resolved = real;
    std::free(real);
    return resolved;
}

bool NameExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names)
{
    names.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return true;
}

} // namespace platform
