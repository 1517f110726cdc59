#include "platform/FileLock.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <thread>

namespace platform {

namespace {
bool SetLock(int fd, short type, off_t start, off_t length)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    fl.l_pid = 0; // must be 0 for OFD locks
    int rc;
    do {
        rc = fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}
} // namespace

bool LockFileRange(int fd, off_t start, off_t length, std::uint32_t timeoutMs)
{
    // The holder is another process, so this waits in real time, never on the program clock.
    // F_OFD_SETLKW cannot be bounded without a signal, hence polling.
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    auto pause = milliseconds(1);
    for (;;) {
        if (SetLock(fd, F_WRLCK, start, length))
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

void UnlockFileRange(int fd, off_t start, off_t length)
{
    SetLock(fd, F_UNLCK, start, length);
}

} // namespace platform
