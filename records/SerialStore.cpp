#include "records/SerialStore.h"

#include <ctime>
#include <vector>

#include "platform/FileLock.h"
#include "platform/Profile.h"
#include "platform/SafeFile.h"
#include "platform/TextNumber.h"

namespace records {

namespace {

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Every station account that may write the folder must be able to lock and replace the store:
// new files take the folder's group and 0666 less the umask, as the shared log does.
bool ShareLikeFolder(platform::File& file, const std::string& folder, unsigned mode)
{
    return file.TakeGroupOf(folder) && file.SetMode(mode);
}

// A reservation killed between its temporary file and the rename leaves the file behind; the
// lock is held, so one older than a minute is nobody's.
void RemoveStaleTemporaries(const std::string& path)
{
    const std::string folder = FolderOf(path);
    const std::string prefix = path.substr(path.find_last_of('/') + 1) + ".tmp";
    std::vector<std::string> names;
    platform::ListFolder(folder, names);
    const std::time_t now = std::time(nullptr);
    for (const std::string& name : names) {
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string stale = folder;
        stale += '/';
        stale += name;
        platform::FileStatus status = platform::FileStatus::Ok;
        const platform::File file = platform::File::Open(stale, platform::FileAccess::Read, status, false);
        if (std::int64_t modified = 0; file.IsOpen() && file.ModifiedAt(modified) && now - modified > 60)
            platform::RemoveFile(stale);
    }
}

// The whole store when it is a regular file (or missing: empty); else why not. mode is the
// old file's permission bits.
std::string ReadStore(const std::string& path, std::string& text, unsigned& mode, bool& exists)
{
    text.clear();
    exists = false;
    // The store is replaced by rename, so a link in its place is never ours.
    platform::FileStatus status = platform::FileStatus::Ok;
    platform::File file = platform::File::Open(path, platform::FileAccess::Read, status, false);
    if (!file.IsOpen()) {
        if (status == platform::FileStatus::Missing && !platform::NameExists(path))
            return {};
        if (platform::IsSymbolicLink(path))
            return "the serial-number store " + path + " is a symbolic link; it was not followed";
        if (status == platform::FileStatus::NotRegular)
            return "the serial-number store " + path + " is not a regular file of ours";
        return "the serial-number store " + path + " cannot be read";
    }
    if (std::uint64_t size = 0; !file.Size(size) || size > platform::kMaxTextFileSize || !file.Mode(mode))
        return "the serial-number store " + path + " is not a regular file of ours";
    if (platform::ReadToEnd(file, text) != platform::FileStatus::Ok)
        return "the serial-number store " + path + " cannot be read";
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
    const unsigned shared = platform::SharedFileMode();
    // The store itself is replaced by rename, so the lock lives on a file that stays. A link in
    // its place would have us create or lock a file anywhere.
    const std::string lockPath = path + ".lock";
    using platform::FileAccess;
    using platform::FileStatus;
    FileStatus status = FileStatus::Ok;
    platform::File lock = platform::File::Open(lockPath, FileAccess::ReadWrite, status, false);
    if (!lock.IsOpen() && status == FileStatus::Missing) {
        lock = platform::File::Open(lockPath, FileAccess::CreateNew, status, false);
        if (lock.IsOpen() && !ShareLikeFolder(lock, folder, shared))
            lock.Close();
        if (!lock.IsOpen() && status == FileStatus::Exists)
            lock = platform::File::Open(lockPath, FileAccess::ReadWrite, status, false);
    }
    if (!lock.IsOpen()) {
        r.error = "the lock file " + lockPath +
                  (platform::IsSymbolicLink(lockPath) ? " is a symbolic link; it was not followed"
                                                      : " cannot be opened");
        return r;
    }
    if (!platform::LockFileRange(lock, 0, 0, timeoutMs)) {
        r.error = "other stations kept " + lockPath + " locked for more than " +
                  std::to_string(timeoutMs / 1000) + " seconds";
        return r;
    }
    // Closing the lock file lets go of the lock.
    RemoveStaleTemporaries(path);

    std::string text;
    unsigned oldMode = 0;
    bool exists = false;
    if (std::string why = ReadStore(path, text, oldMode, exists); !why.empty()) {
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
    platform::File file = platform::File::CreateTemporary(path + ".tmp", temp);
    bool ok = file.IsOpen();
    if (ok && exists)
        ok = file.TakeGroupOf(path) && file.SetMode(oldMode);
    else if (ok)
        ok = ShareLikeFolder(file, folder, shared);
    ok = ok && file.WriteAll(doc.Text()) && file.Flush();
    if (file.IsOpen())
        ok = file.Close() && ok;
    if (ok)
        ok = platform::MoveIntoPlace(temp, path);
    else if (!temp.empty())
        platform::RemoveFile(temp);
    if (!ok) {
        r.error = "the serial-number store " + path + " cannot be written";
        return r;
    }
    r.number = next;
    return r;
}

} // namespace records
