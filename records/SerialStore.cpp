#include "records/SerialStore.h"

#include <cerrno>
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

} // namespace

Reservation ReserveSerialNumber(const std::string& path, std::int32_t deviceCode, std::int64_t floor,
                                std::int64_t maxNumber, std::uint32_t timeoutMs)
{
    Reservation r;
    // The store itself is replaced by rename, so the lock lives on a file that stays.
    const std::string lockPath = path + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0) {
        r.error = "the lock file " + lockPath + " cannot be opened";
        return r;
    }
    if (!platform::LockFileRange(lock, 0, 0, timeoutMs)) {
        ::close(lock);
        r.error = "other stations kept " + lockPath + " locked for more than " +
                  std::to_string(timeoutMs / 1000) + " seconds";
        return r;
    }

    std::string text;
    const platform::FileStatus status = platform::ReadRegularFile(path, text);
    if (status != platform::FileStatus::Ok && status != platform::FileStatus::Missing) {
        platform::UnlockFileRange(lock, 0, 0);
        ::close(lock);
        r.error = "the serial-number store " + path + " cannot be read";
        return r;
    }
    platform::ProfileDocument doc = platform::ProfileDocument::Parse(text);
    const std::string key = "Device" + std::to_string(deviceCode);
    const std::int64_t last = platform::LeadingDecimal(doc.Get("Serials", key).value_or("0"));
    const std::int64_t next = std::max(last, floor) + 1;
    if (next > maxNumber) {
        platform::UnlockFileRange(lock, 0, 0);
        ::close(lock);
        r.error = "the running numbers of device code " + std::to_string(deviceCode) + " end at " +
                  std::to_string(maxNumber);
        return r;
    }
    doc.Set("Serials", key, std::to_string(next));

    // The store lies in a folder all stations write to: a temporary name known in advance
    // could be a link planted there. The new file keeps the old one's permissions.
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    std::string temp;
    const int fd = platform::CreateTemporaryFile(path + ".tmp", temp);
    bool ok = fd >= 0 && ::fchmod(fd, mode) == 0 && WriteAllSynced(fd, doc.Text());
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    platform::UnlockFileRange(lock, 0, 0);
    ::close(lock);
    if (!ok) {
        r.error = "the serial-number store " + path + " cannot be written";
        return r;
    }
    r.number = next;
    return r;
}

} // namespace records
