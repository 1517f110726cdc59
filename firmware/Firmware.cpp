#include "firmware/Firmware.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <thread>

#include "firmware/FirmwareCheck.h"
#include "platform/LastError.h"
#include "platform/System.h"

namespace {

// The system error numbers a Windows station shows for the same failures.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorHandleEof = 38;
constexpr std::uint32_t kErrorInvalidName = 123;

// 100 % means every record was answered, which only the end of the run knows.
constexpr std::uint32_t kLastSendingPercent = 99;

bool PrefixMatches(const std::string& fileName, const char* prefix, std::size_t length) {
    // The name's first bytes go into a zero-filled buffer, so a shorter name leaves NULs that
    // cannot match the prefix.
    std::array<char, 16> buffer{};
    for (std::size_t i = 0; i < length && i < fileName.size(); ++i) {
        buffer[i] = fileName[i];
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(buffer[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::uint32_t OpenErrorCode(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return kErrorFileNotFound;
    case EWOULDBLOCK:
        return kErrorSharingViolation;
    default:
        return kErrorAccessDenied;
    }
}

std::uint32_t Fail(std::uint32_t code) {
    platform::SetLastError(code);
    return 0;
}

} // namespace

bool FirmwareNameFits(const std::string& fileName, std::int32_t family) {
    switch (family) {
    case FamilyKv:
        return PrefixMatches(fileName, "KV", 2);
    case FamilyOpal:
    case FamilyOpalKeyboard:
        return PrefixMatches(fileName, "opal", 4);
    case FamilyNova:
        return PrefixMatches(fileName, "nova", 4);
    case FamilyHeron:
        return PrefixMatches(fileName, "heron", 5) || PrefixMatches(fileName, "pika", 4);
    default:
        return true;
    }
}

namespace {

// A gang of stations flashing one file each holds it for the moment of reading it; they take
// turns instead of refusing each other. A holder that keeps it longer is refused.
constexpr int kLockWaitMs = 2000;

bool LockWithin(int fd, int waitMs) {
    for (int waited = 0;; waited += 10) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK || waited >= waitMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The checks of CheckFirmwareFile on an open that stays open (and locked) for the caller:
// the descriptor, or -1 with the reason set.
int OpenChecked(const std::string& path, std::int32_t family, std::uint64_t& size) {
    if (!FirmwareNameFits(platform::PathFindFileName(path), family)) {
        Fail(kErrorInvalidName);
        return -1;
    }
    if (!platform::PathFileExists(path)) {
        Fail(kErrorFileNotFound);
        return -1;
    }
    const std::string local = platform::MapPath(path);
    // Without O_NONBLOCK the open of a FIFO waits for a writer, for ever.
    const int fd = ::open(local.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(OpenErrorCode(errno));
        return -1;
    }
    struct stat info {};
    std::uint32_t code = 0;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        code = kErrorAccessDenied; // a folder or a device cannot be opened as a file on the stations
    } else if (!LockWithin(fd, kLockWaitMs)) {
        // Exclusive open: a file another program holds locked is refused, as share mode 0 would.
        code = OpenErrorCode(errno);
    } else if (info.st_size == 0) {
        code = kErrorHandleEof;
    } else if (static_cast<std::uint64_t>(info.st_size) > kFirmwareMaxSize) {
        code = kFirmwareTooLarge;
    }
    if (code != 0) {
        ::close(fd);
        Fail(code);
        return -1;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return fd;
}

// Reads to the end, at most kFirmwareMaxSize + 1 bytes (one more tells a file that grew).
bool ReadAll(int fd, std::string& bytes, std::uint64_t sizeHint) {
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(sizeHint, kFirmwareMaxSize)) + 1);
    std::array<char, 65536> chunk{};
    while (bytes.size() <= kFirmwareMaxSize) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            Fail(kErrorAccessDenied);
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    if (bytes.empty()) {
        Fail(kErrorHandleEof);
        return false;
    }
    if (bytes.size() > kFirmwareMaxSize) {
        Fail(kFirmwareTooLarge);
        return false;
    }
    return true;
}

} // namespace

std::uint32_t CheckFirmwareFile(const std::string& path, std::int32_t family) {
    std::uint64_t size = 0;
    const int fd = OpenChecked(path, family, size);
    if (fd < 0) {
        return 0;
    }
    ::close(fd);
    return static_cast<std::uint32_t>(size);
}

bool ReadFirmwareFile(const std::string& path, std::int32_t family, std::string& bytes) {
    std::uint64_t size = 0;
    const int fd = OpenChecked(path, family, size);
    if (fd < 0) {
        bytes.clear();
        return false;
    }
    const bool read = ReadAll(fd, bytes, size);
    ::close(fd);
    if (!read) {
        bytes.clear();
    }
    return read;
}

std::string DescribeFirmwareFileError(std::uint32_t code, std::int32_t family) {
    switch (code) {
    case kErrorInvalidName: {
        const char* prefixes = family == FamilyKv                                      ? "KV"
                               : family == FamilyOpal || family == FamilyOpalKeyboard ? "opal"
                               : family == FamilyNova                                  ? "nova"
                                                                                       : "heron or pika";
        return "the name does not fit family " + std::to_string(family) + ": it must begin with " + prefixes;
    }
    case kErrorFileNotFound: return "the file does not exist";
    case kErrorAccessDenied: return "it is not a regular file, or it cannot be read";
    case kErrorSharingViolation: return "another program holds the file locked";
    case kErrorHandleEof: return "the file is empty";
    case kFirmwareTooLarge: return "the file is larger than 16 MiB";
    default: return {};
    }
}

bool FirmwareTextFile::Open(const std::string& path) {
    Close();
    const int fd = ::open(platform::MapPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(OpenErrorCode(errno));
        return false;
    }
    // A FIFO or a device must not block the reader.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        Fail(kErrorAccessDenied);
        return false;
    }
    std::string bytes;
    // An empty file opens and has no pieces; only a failed read is a failure here.
    const bool read = ReadAll(fd, bytes, static_cast<std::uint64_t>(info.st_size)) || bytes.empty();
    ::close(fd);
    if (!read) {
        return false;
    }
    own_ = std::move(bytes);
    bytes_ = own_;
    at_ = 0;
    open_ = true;
    return true;
}

void FirmwareTextFile::Close() {
    own_.clear();
    bytes_ = {};
    at_ = 0;
    open_ = false;
}

int FirmwareTextFile::Get() {
    if (at_ >= bytes_.size()) {
        return EOF;
    }
    const unsigned char c = static_cast<unsigned char>(bytes_[at_++]);
    if (c == 0x1A) {
        at_ = bytes_.size();
        return EOF;
    }
    if (c == '\r' && at_ < bytes_.size() && bytes_[at_] == '\n') {
        ++at_;
        return '\n';
    }
    return c;
}

bool ReadRecordLine(FirmwareTextFile& file, std::string& piece) {
    piece.clear();
    while (piece.size() < kLineBufferSize - 2) {
        const int c = file.Get();
        if (c == EOF) {
            break;
        }
        piece.push_back(static_cast<char>(c));
        if (c == '\n') {
            break;
        }
    }
    return !piece.empty();
}

std::optional<std::string> PrepareRecordText(const std::string& piece, std::int32_t family) {
    if (piece.empty() || piece.front() != ':') {
        return std::nullopt;
    }
    std::string text = piece;
    // The file's last line may lack its end; the boot loader acts on a record at its LF.
    if (family == FamilyKv || text.back() != '\n') {
        text.push_back('\n');
    }
    return text;
}

std::optional<std::uint32_t> CountProgress(UpdateProgress& progress, std::uint32_t length) {
    progress.m_nSent += length;
    progress.m_nSinceStep += length;
    if (progress.m_nStep == 0) {
        if (progress.m_nSize == 0) {
            return std::nullopt;
        }
        const std::uint64_t percent = std::uint64_t{progress.m_nSent} * 100 / progress.m_nSize;
        progress.m_nSinceStep = 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(percent, kLastSendingPercent));
    }
    if (progress.m_nSinceStep < progress.m_nStep) {
        return std::nullopt;
    }
    progress.m_nSinceStep %= progress.m_nStep;
    return std::min(progress.m_nSent / progress.m_nStep, kLastSendingPercent);
}

std::uint32_t FinishProgress(const UpdateProgress&) { return 100; }
