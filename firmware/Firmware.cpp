#include "firmware/Firmware.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>

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

std::uint32_t CheckFirmwareFile(const std::string& path, std::int32_t family) {
    if (!FirmwareNameFits(platform::PathFindFileName(path), family)) {
        return Fail(kErrorInvalidName);
    }
    if (!platform::PathFileExists(path)) {
        return Fail(kErrorFileNotFound);
    }
    const std::string local = platform::MapPath(path);
    // Without O_NONBLOCK the open of a FIFO waits for a writer, for ever.
    const int fd = ::open(local.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(OpenErrorCode(errno));
    }
    struct stat info {};
    std::uint32_t code = 0;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        code = kErrorAccessDenied; // a folder or a device cannot be opened as a file on the stations
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Exclusive open: a file another program holds locked is refused, as share mode 0 would.
        code = OpenErrorCode(errno);
    } else if (info.st_size == 0) {
        code = kErrorHandleEof;
    } else if (static_cast<std::uint64_t>(info.st_size) > kFirmwareMaxSize) {
        code = kFirmwareTooLarge;
    }
    ::close(fd);
    if (code != 0) {
        return Fail(code);
    }
    return static_cast<std::uint32_t>(info.st_size);
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
    ended_ = false;
    const int fd = ::open(platform::MapPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(OpenErrorCode(errno));
        return false;
    }
    // A file swapped for a FIFO or a device after the checks must not block the run.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        Fail(kErrorAccessDenied);
        return false;
    }
    file_ = ::fdopen(fd, "rb");
    if (file_ == nullptr) {
        Fail(OpenErrorCode(errno));
        ::close(fd);
    }
    return file_ != nullptr;
}

void FirmwareTextFile::Close() {
    if (file_ != nullptr) {
        (void)std::fclose(file_); // read only: a failing close loses nothing
        file_ = nullptr;
    }
}

int FirmwareTextFile::Get() {
    if (file_ == nullptr || ended_) {
        return EOF;
    }
    // One thread owns the file: the unlocked reads keep a 1 MiB check in milliseconds.
    const int c = getc_unlocked(file_);
    if (c == EOF || c == 0x1A) {
        ended_ = true;
        return EOF;
    }
    if (c == '\r') {
        const int next = getc_unlocked(file_);
        if (next == '\n') {
            return '\n';
        }
        if (next != EOF) {
            (void)std::ungetc(next, file_); // one character back after a read always fits
        }
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
        return static_cast<std::uint32_t>(percent > 100 ? 100 : percent);
    }
    if (progress.m_nSinceStep < progress.m_nStep) {
        return std::nullopt;
    }
    progress.m_nSinceStep %= progress.m_nStep;
    return progress.m_nSent / progress.m_nStep;
}

std::optional<std::uint32_t> FinishProgress(const UpdateProgress& progress) {
    if (progress.m_nStep == 0) {
        return 100;
    }
    return std::nullopt;
}
