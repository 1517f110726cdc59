#include "firmware/Firmware.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <thread>

#include "firmware/FirmwareCheck.h"
#include "platform/File.h"
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

std::uint32_t OpenErrorCode(platform::FileStatus status) {
    switch (status) {
    case platform::FileStatus::Missing:
        return kErrorFileNotFound;
    case platform::FileStatus::Busy:
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

bool LockWithin(platform::File& file, int waitMs) {
    for (int waited = 0;; waited += 10) {
        if (file.TryLockWhole())
            return true;
        if (waited >= waitMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The checks of CheckFirmwareFile on an open that stays open (and locked) for the caller:
// the file, or a closed one with the reason set.
platform::File OpenChecked(const std::string& path, std::int32_t family, std::uint64_t& size) {
    if (!FirmwareNameFits(platform::PathFindFileName(path), family)) {
        Fail(kErrorInvalidName);
        return {};
    }
    if (!platform::PathFileExists(path)) {
        Fail(kErrorFileNotFound);
        return {};
    }
    platform::FileStatus status = platform::FileStatus::Ok;
    platform::File file = platform::File::Open(platform::MapPath(path), platform::FileAccess::Read, status);
    std::uint32_t code = 0;
    if (!file.IsOpen()) {
        // A folder or a device cannot be opened as a file on the stations.
        code = status == platform::FileStatus::NotRegular ? kErrorAccessDenied : OpenErrorCode(status);
    } else if (!LockWithin(file, kLockWaitMs)) {
        // Exclusive open: a file another program holds locked is refused, as share mode 0 would.
        code = kErrorSharingViolation;
    } else if (!file.Size(size)) {
        code = kErrorAccessDenied;
    } else if (size == 0) {
        code = kErrorHandleEof;
    } else if (size > kFirmwareMaxSize) {
        code = kFirmwareTooLarge;
    }
    if (code != 0) {
        Fail(code);
        return {};
    }
    return file;
}

// Reads to the end, at most kFirmwareMaxSize bytes: 0, or the error code of the failure.
std::uint32_t ReadAll(platform::File& file, std::string& bytes) {
    std::uint64_t sizeHint = 0;
    if (!file.Size(sizeHint)) {
        return kErrorAccessDenied;
    }
    bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(sizeHint, kFirmwareMaxSize)));
    switch (platform::ReadToEnd(file, bytes, kFirmwareMaxSize)) {
    case platform::FileStatus::Ok:
        return bytes.empty() ? kErrorHandleEof : 0;
    case platform::FileStatus::TooLarge:
        return kFirmwareTooLarge;
    default:
        return kErrorAccessDenied;
    }
}

} // namespace

std::uint32_t CheckFirmwareFile(const std::string& path, std::int32_t family) {
    std::uint64_t size = 0;
    const platform::File file = OpenChecked(path, family, size);
    if (!file.IsOpen()) {
        return 0;
    }
    return static_cast<std::uint32_t>(size);
}

bool ReadFirmwareFile(const std::string& path, std::int32_t family, std::string& bytes) {
    std::uint64_t size = 0;
    platform::File file = OpenChecked(path, family, size);
    if (!file.IsOpen()) {
        bytes.clear();
        return false;
    }
    if (const std::uint32_t code = ReadAll(file, bytes); code != 0) {
        Fail(code);
        bytes.clear();
        return false;
    }
    return true;
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
    // A FIFO or a device must not block the reader.
    platform::FileStatus status = platform::FileStatus::Ok;
    platform::File file = platform::File::Open(platform::MapPath(path), platform::FileAccess::Read, status);
    if (!file.IsOpen()) {
        Fail(OpenErrorCode(status));
        return false;
    }
    std::string bytes;
    // An empty file opens and has no pieces; only a failed read is a failure here.
    if (const std::uint32_t code = ReadAll(file, bytes); code != 0 && code != kErrorHandleEof) {
        Fail(code);
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
