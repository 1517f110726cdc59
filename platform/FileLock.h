#pragma once
// Byte-range locks on an open file description (F_OFD_SETLKW): held per open file, so two
// threads or two processes exclude each other. Waiting is bounded.
#include <cstdint>
#include <sys/types.h>

namespace platform {

// Exclusive lock on [start, start+length) (length 0: to the end of the file, however it
// grows). Waits at most timeoutMs; false when the lock could not be had.
bool LockFileRange(int fd, off_t start, off_t length, std::uint32_t timeoutMs);
void UnlockFileRange(int fd, off_t start, off_t length);

} // namespace platform
