#pragma once
// Every file the core reads or writes by itself goes through this: one interface, a POSIX and a
// Win32 side (platform/posix, platform/win32). The handle is opaque; no descriptor, flag or
// system type leaves the platform folder.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class FileStatus {
    Ok,
    Missing,    // no such file (or a path component is missing)
    NotRegular, // a folder, a FIFO, a device, a socket, or a refused link
    TooLarge,
    Unreadable, // no permission, or an I/O error
    Busy,       // another program holds it locked
    Exists,     // a new file was asked for and the name is taken
};

enum class FileAccess {
    Read,
    ReadWrite,
    ReadWriteCreate, // created with mode 0666 less the umask when missing
    AppendCreate,    // every write lands at the end, whatever others appended
    CreateNew,       // read and write a file made by this very call (Exists when the name is taken)
};

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // A regular file only, opened without blocking (a FIFO or a device never stalls the
    // program). With followLinks false a symbolic link as the last component is refused.
    static File Open(const std::string& path, FileAccess access, FileStatus& status, bool followLinks = true);
    // prefix + six unpredictable characters, created exclusively for the owner alone.
    static File CreateTemporary(const std::string& prefix, std::string& name);

    bool IsOpen() const { return handle_ != kClosed; }
    // False when the system reported an error on the close (written data may be lost).
    bool Close();

    // Streamed read: up to buffer.size() bytes, got 0 at the end; false on a read error.
    bool Read(std::span<char> buffer, std::size_t& got);
    bool WriteAll(std::string_view data);
    bool Flush(); // through to the disk
    bool Size(std::uint64_t& size) const;
    bool SeekToEnd(std::uint64_t& end);
    bool Truncate(std::uint64_t size);
    // Permission bits and the folder's group, where the system has them (true elsewhere).
    bool SetMode(unsigned mode);
    bool Mode(unsigned& mode) const;
    bool TakeGroupOf(const std::string& path); // of that file or folder
    bool ModifiedAt(std::int64_t& unixTime) const;
    // Whether path still names this very file (a writer may have replaced it meanwhile).
    bool IsNamedBy(const std::string& path) const;

    // Exclusive lock on [start, start+length) (length 0: to the end, however the file grows),
    // held per open file, so two opens in one process exclude each other too. Waits at most
    // timeoutMs in real time.
    bool LockRange(std::uint64_t start, std::uint64_t length, std::uint32_t timeoutMs);
    void UnlockRange(std::uint64_t start, std::uint64_t length);
    // The whole file kept from every other program that locks it, at once or not at all, as
    // an open with share mode 0 on the stations.
    bool TryLockWhole();

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
};

// 0666 less the umask: what a file created for everybody gets.
unsigned SharedFileMode();

// The whole content of a regular file of at most maxSize bytes.
constexpr std::size_t kMaxTextFileSize = 16u << 20;
FileStatus ReadRegularFile(const std::string& path, std::string& text,
                           std::size_t maxSize = kMaxTextFileSize);

// Streamed read from where the file stands to its end; TooLarge past maxSize bytes.
FileStatus ReadToEnd(File& file, std::string& out, std::size_t maxSize = kMaxTextFileSize);

// Writes text into a new file beside path and puts it in path's place in one step: a reader
// sees the old content or the new, never a part. mode applies where the system has it.
bool ReplaceFileContent(const std::string& path, std::string_view text, unsigned mode = 0644);
// The last step of the above for a temporary file the caller wrote and closed: from takes the
// place of to; from is gone either way.
bool MoveIntoPlace(const std::string& from, const std::string& to);

enum class PublishResult { Published, Exists, Failed };
// Gives the written temporary file the name path unless path exists (never replaced), durably.
// temp is gone afterwards unless the result is Exists.
PublishResult PublishFile(const std::string& temp, const std::string& path);

// The system's own words for why this thread's last file call failed ("Permission denied").
std::string LastFileErrorText();

bool RemoveFile(const std::string& path); // the name only; false when it was not there
bool IsSymbolicLink(const std::string& path);
// The file a symbolic link finally names; path itself when it is none or cannot be resolved.
std::string ResolveSymbolicLink(const std::string& path);
// False only when path leads to nothing (a dangling link leads nowhere).
bool NameExists(const std::string& path);
// Names in folder (no "." or ".."); empty when it cannot be read.
bool ListFolder(const std::string& folder, std::vector<std::string>& names);

} // namespace platform
