#include "records/SerialStore.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileLock.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/TextNumber.h"

namespace records {

namespace {

bool WriteAllSynced(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0;
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t CurrentUmask()
{
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// Every station account that may write the folder must be able to lock and replace the store:
// new files take the folder's group and 0666 less the umask, as the shared log does.
bool ShareLikeFolder(int fd, const std::string& folder, mode_t mode)
{
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) == 0 && ::fchown(fd, static_cast<uid_t>(-1), dir.st_gid) != 0 &&
        errno != EPERM)
        return false;
    return ::fchmod(fd, mode) == 0;
}

// A reservation killed between its temporary file and the rename leaves the file behind; the
// lock is held, so one older than a minute is nobody's.
void RemoveStaleTemporaries(const std::string& path)
{
    const std::string folder = FolderOf(path);
    const std::string prefix = path.substr(path.find_last_of('/') + 1) + ".tmp";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            now - st.st_mtime > 60)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

// The whole store when it is a regular file (or missing: empty); else why not.
std::string ReadStore(const std::string& path, std::string& text, struct stat& old, bool& exists)
{
    text.clear();
    exists = false;
    // The store is replaced by rename, so a link in its place is never ours.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP)
            return "the serial-number store " + path + " is a symbolic link; it was not followed";
        return "the serial-number store " + path + " cannot be read";
    }
    if (::fstat(fd, &old) != 0 || !S_ISREG(old.st_mode) ||
        static_cast<std::size_t>(old.st_size) > platform::kMaxTextFileSize) {
        ::close(fd);
        return "the serial-number store " + path + " is not a regular file of ours";
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text.size() + static_cast<std::size_t>(std::max<ssize_t>(n, 0)) > platform::kMaxTextFileSize) {
            ::close(fd);
            return "the serial-number store " + path + " cannot be read";
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    exists = true;
    return {};
}

bool AllDigits(const std::string& text)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

class HeldLock {
public:
    explicit HeldLock(int fd) : fd_(fd) {}
    ~HeldLock()
    {
        platform::UnlockFileRange(fd_, 0, 0);
        ::close(fd_);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    int fd_;
};

} // namespace

Reservation ReserveSerialNumber(const std::string& path, std::int32_t deviceCode, std::int64_t floor,
                                std::int64_t maxNumber, std::uint32_t timeoutMs)
{
    Reservation r;
    const std::string folder = FolderOf(path);
    if (const std::string refused = platform::CheckLinkInSharedFolder(folder); !refused.empty()) {
        r.error = refused;
        return r;
    }
    const mode_t shared = 0666 & ~CurrentUmask();
    // The store itself is replaced by rename, so the lock lives on a file that stays. A link in
    // its place would have us create or lock a file anywhere.
    const std::string lockPath = path + ".lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (lock < 0 && errno == ENOENT) {
        lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, shared);
        if (lock >= 0 && !ShareLikeFolder(lock, folder, shared)) {
            ::close(lock);
            lock = -1;
        }
        if (lock < 0 && errno == EEXIST)
            lock = ::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    struct stat lockInfo {};
    if (lock >= 0 && (::fstat(lock, &lockInfo) != 0 || !S_ISREG(lockInfo.st_mode))) {
        ::close(lock);
        lock = -1;
        errno = EINVAL;
    }
    if (lock < 0) {
        r.error = "the lock file " + lockPath +
                  (errno == ELOOP ? " is a symbolic link; it was not followed" : " cannot be opened");
        return r;
    }
    if (!platform::LockFileRange(lock, 0, 0, timeoutMs)) {
        ::close(lock);
        r.error = "other stations kept " + lockPath + " locked for more than " +
                  std::to_string(timeoutMs / 1000) + " seconds";
        return r;
    }
    HeldLock held(lock);
    RemoveStaleTemporaries(path);

    std::string text;
    struct stat old {};
    bool exists = false;
    if (std::string why = ReadStore(path, text, old, exists); !why.empty()) {
        r.error = why;
        return r;
    }
    platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
    const std::string key = "Device" + std::to_string(deviceCode);
    const std::optional<std::string> value = doc.Get("Serials", key);
    // Read as 0, a damaged value would start the numbers again and repeat them.
    if (value && !AllDigits(*value)) {
        r.error = "the serial-number store " + path + " holds no number for " + key + " on line " +
                  std::to_string(doc.LineOf("Serials", key).value_or(0)) + " (\"" + *value + "\")";
        return r;
    }
    const std::int64_t last = value ? std::stoll(*value) : 0;
    const std::int64_t next = std::max(last, floor) + 1;
    if (next > maxNumber) {
        r.error = "the running numbers of device code " + std::to_string(deviceCode) + " end at " +
                  std::to_string(maxNumber);
        return r;
    }
    doc.Set("Serials", key, std::to_string(next));

    // The store lies in a folder all stations write to: a temporary name known in advance
    // could be a link planted there. The new file keeps the old one's permissions and group.
    std::string temp;
    const int fd = platform::CreateTemporaryFile(path + ".tmp", temp);
    bool ok = fd >= 0;
    if (ok && exists)
        ok = (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0 || errno == EPERM) &&
             ::fchmod(fd, old.st_mode & 07777) == 0;
    else if (ok)
        ok = ShareLikeFolder(fd, folder, shared);
    ok = ok && WriteAllSynced(fd, doc.Text());
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok && !temp.empty())
        ::unlink(temp.c_str());
    if (!ok) {
        r.error = "the serial-number store " + path + " cannot be written";
        return r;
    }
    r.number = next;
    return r;
}

} // namespace records
