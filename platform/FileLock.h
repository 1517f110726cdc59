#pragma once
// Byte-range locks, held per open file, so two threads or two processes exclude each other.
// Waiting is bounded.
#include <cstdint>

#include "platform/File.h"

namespace platform {

// Exclusive lock on [start, start+length) (length 0: to the end of the file, however it
// grows). Waits at most timeoutMs; false when the lock could not be had.
inline bool LockFileRange(File& file, std::uint64_t start, std::uint64_t length, std::uint32_t timeoutMs)
{
    return file.LockRange(start, length, timeoutMs);
}
inline void UnlockFileRange(File& file, std::uint64_t start, std::uint64_t length)
{
    file.UnlockRange(start, length);
}

} // namespace platform
