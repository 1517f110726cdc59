#pragma once
// The fuzz input as a file the code under test opens by name: an anonymous memory file,
// reached through /proc/self/fd, closed when this goes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz-input", 0))
    {
        if (fd_ >= 0 && size > 0 && write(fd_, data, size) != static_cast<ssize_t>(size)) {
            close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0)
            path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~InputFile()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Ok() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    int fd_;
    std::string path_;
};
